#include "platform/iflist.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {
std::atomic<iflist_source> g_source{nullptr};

iflist_entry* find_or_add(iflist_entry* out, std::size_t cap, std::size_t* n, const char* name) {
  for (std::size_t i = 0; i < *n; ++i)
    if (std::strncmp(out[i].name, name, sizeof out[i].name - 1) == 0) return &out[i];
  if (*n >= cap) return nullptr;
  iflist_entry* e = &out[(*n)++];
  std::memset(e, 0, sizeof *e);
  std::strncpy(e->name, name, sizeof e->name - 1);
  return e;
}

// Interfaces without a packet-level record still have a hardware address.
void fill_hwaddr_by_ioctl(iflist_entry* e) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, e->name, sizeof ifr.ifr_name - 1);
  if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0 && ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
    e->is_ethernet = true;
    std::memcpy(e->hwaddr, ifr.ifr_hwaddr.sa_data, sizeof e->hwaddr);
  }
  close(fd);
}

int read_kernel(iflist_entry* out, std::size_t cap, std::size_t* n) {
  *n = 0;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return -1;
  bool seen_packet[64] = {};
  for (ifaddrs* a = all; a; a = a->ifa_next) {
    if (!a->ifa_name) continue;
    iflist_entry* e = find_or_add(out, cap, n, a->ifa_name);
    if (!e) continue;
    e->up = (a->ifa_flags & IFF_UP) != 0;
    e->running = (a->ifa_flags & IFF_RUNNING) != 0;
    e->loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    if (!a->ifa_addr) continue;
    if (a->ifa_addr->sa_family == AF_INET && !e->has_ipv4) {
      sockaddr_in sin;
      std::memcpy(&sin, a->ifa_addr, sizeof sin);
      e->has_ipv4 = true;
      e->ipv4 = sin.sin_addr.s_addr;
    } else if (a->ifa_addr->sa_family == AF_PACKET) {
      sockaddr_ll sll;
      std::memcpy(&sll, a->ifa_addr, sizeof sll);
      const std::size_t idx = static_cast<std::size_t>(e - out);
      if (idx < sizeof seen_packet) seen_packet[idx] = true;
      if (sll.sll_hatype == ARPHRD_ETHER && sll.sll_halen == 6) {
        e->is_ethernet = true;
        std::memcpy(e->hwaddr, sll.sll_addr, sizeof e->hwaddr);
      }
    }
  }
  freeifaddrs(all);
  for (std::size_t i = 0; i < *n; ++i)
    if ((i >= sizeof seen_packet || !seen_packet[i]) && out[i].has_ipv4) fill_hwaddr_by_ioctl(&out[i]);
  return 0;
}
}  // namespace

int iflist_read(iflist_entry* out, std::size_t cap, std::size_t* n) {
  *n = 0;
  if (const iflist_source src = g_source.load()) return src(out, cap, n);
  return read_kernel(out, cap, n);
}

void iflist_set_source(iflist_source src) { g_source.store(src); }
