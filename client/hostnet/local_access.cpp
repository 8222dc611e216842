// Local access while the tunnel is up, and the interface queries the route
// code needs.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

#include "platform/fd_ops.h"
#include "client/cmd_runner.h"
#include "client/unique_fd.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"

char g_localaccesscmd[1024] = {};
char g_restorelocalaccesscmd[1024] = {};

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr char kNoAddress[] = "0.0.0.0";

class ifaddrs_guard {
 public:
  ifaddrs* list = nullptr;
  ~ifaddrs_guard() {
    if (list) freeifaddrs(list);
  }
};

void dotted(const sockaddr* sa, char* out, size_t size) {
  std::snprintf(out, size, "%s", kNoAddress);
  if (sa && sa->sa_family == AF_INET) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    inet_ntop(AF_INET, &sin.sin_addr, out, static_cast<socklen_t>(size));
  }
}

uint32_t text_addr(const char* s) {
  in_addr a{};
  return inet_pton(AF_INET, s, &a) == 1 ? a.s_addr : 0;
}

// The interface name of a route entry, bounded by its slot.
void entry_ifname(const vpn_route_entry& e, char (&out)[sizeof(vpn_route_entry::ifname)]) {
  std::memset(out, 0, sizeof out);
  std::memcpy(out, e.ifname, strnlen(e.ifname, sizeof e.ifname - 1));
}

}  // namespace

void get_localhost_netinfo(const char* ifname, _LocalHostNetInfo* out) {
  std::snprintf(out->ipaddr, sizeof out->ipaddr, "%s", kNoAddress);
  std::snprintf(out->netmask, sizeof out->netmask, "%s", kNoAddress);
  unique_fd s(vpnc_socket_cloexec(AF_INET, SOCK_STREAM, 0));
  if (s.get() < 0) {
    // The routes may be half changed by now: report no address and go on.
    VPN_LOG("socket for the interface query cannot be opened: %s", std::strerror(errno));
    return;
  }
  // A name that does not fit is no interface: it is never cut to another one.
  if (!ifname || strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ) return;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, ifname, std::strlen(ifname));
  if (ioctl(s.get(), SIOCGIFADDR, &ifr) == 0) dotted(&ifr.ifr_addr, out->ipaddr, sizeof out->ipaddr);
  // The mask comes back in ifr_addr: the one member both platforms name.
  if (ioctl(s.get(), SIOCGIFNETMASK, &ifr) == 0) dotted(&ifr.ifr_addr, out->netmask, sizeof out->netmask);
}

int get_active_interface_addr(std::vector<interface_ip>& list) {
  ifaddrs_guard ifs;
  if (getifaddrs(&ifs.list) != 0) return errno;
  for (ifaddrs* i = ifs.list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    interface_ip e{};
    std::snprintf(e.ifname, sizeof e.ifname, "%s", i->ifa_name);
    const int rc = getnameinfo(i->ifa_addr, sizeof(sockaddr_in), e.ipaddr, sizeof e.ipaddr, nullptr, 0,
                               NI_NUMERICHOST);
    if (rc != 0) {
      VPN_LOG(" getnameinfo failed %d", rc);
      dotted(i->ifa_addr, e.ipaddr, sizeof e.ipaddr);
    }
    VPN_LOG(" %s address: %s\n", e.ifname, e.ipaddr);
    list.push_back(e);
  }
  return 0;
}

int get_interface_name(char* out) {
  char local[INET6_ADDRSTRLEN] = {};
  sockaddr_in6 sa{};
  socklen_t sl = sizeof sa;
  const int fd = session.sockfd.load();
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &sl) != 0 || sa.sin6_family != AF_INET6) {
    VPN_LOG("get local_info.ipaddr failed\n");
  } else {
    inet_ntop(AF_INET6, &sa.sin6_addr, local, sizeof local);
    VPN_LOG("vsite ip is %s\n", local);
  }
  ifaddrs_guard ifs;
  if (getifaddrs(&ifs.list) != 0) {
    VPN_LOG("get interfaces info failed!\n");
    return -1;
  }
  for (ifaddrs* i = ifs.list; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    const int fam = i->ifa_addr->sa_family;
    if (fam != AF_INET && fam != AF_INET6) continue;
    char text[NI_MAXHOST] = {};
    const socklen_t len = fam == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(i->ifa_addr, len, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
      VPN_LOG("getnameinfo() failed!\n");
      continue;
    }
    VPN_LOG("%s:local address: %s\n", i->ifa_name, text);
    if (local[0] && std::strncmp(text, local, INET6_ADDRSTRLEN) == 0) {
      // The whole name (up to 15 characters): a cut name is another interface.
      std::snprintf(out, IFNAMSIZ, "%s", i->ifa_name);
      VPN_LOG("find interface name !\n");
      return 0;
    }
  }
  return -1;
}

int enable_splittunnel_local_access(vpn_route_entry* route, uint32_t* mask, uint32_t* net) {
  char name[sizeof route->ifname];
  entry_ifname(*route, name);
  _LocalHostNetInfo info{};
  get_localhost_netinfo(name, &info);
  const uint32_t addr = text_addr(info.ipaddr);
  *mask = text_addr(info.netmask);
  *net = addr & *mask;
  if (addr == 0) {
    // No IPv4 address, no local network: nothing counts as local.
    *mask = 0;
    *net = 0;
    VPN_LOG("%s has no IPv4 address, no local network", name);
    return 0;
  }
  return 1;
}

void enable_fulltunnel_local_access_mac(vpn_route_entry* route) {
  char name[sizeof route->ifname];
  entry_ifname(*route, name);
  _LocalHostNetInfo info{};
  get_localhost_netinfo(name, &info);
  const uint32_t addr = text_addr(info.ipaddr);
  const uint32_t mask = text_addr(info.netmask);
  if (addr == 0) {
    VPN_LOG("%s has no IPv4 address, no local access route", name);
    return;
  }
  if (!ifname_is_shell_safe(name, sizeof name)) {
    VPN_LOG("interface name '%s' not usable, no local access route", name);
    return;
  }
  const uint32_t local_net = addr & mask;
  vpn_route_entry local{};
  local.dst = local_net;
  local.netmask = mask;
  std::memcpy(local.ifname, name, strnlen(name, sizeof local.ifname - 1));
  build_route_command(local, true, g_localaccesscmd, sizeof g_localaccesscmd);
  char net_text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &local_net, net_text, sizeof net_text);
  // Not ours when the host has such a route (the kernel's own for the
  // interface, say) or the tool refused it: the undo must then leave it.
  const bool ours = add_route_owned(local);

  for (auto it = rt_add_list.begin(); ours && it != rt_add_list.end(); ++it) {
    if ((it->dst & it->netmask) != local_net) continue;
    if (strncmp(it->ifname, name, sizeof it->ifname) != 0) continue;
    char dst[INET_ADDRSTRLEN] = {}, gw[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &it->dst, dst, sizeof dst);
    inet_ntop(AF_INET, &it->gateway, gw, sizeof gw);
    VPN_LOG("localaccess add this entry: %s, mask 0x%0x, gw %s", dst, it->netmask, gw);
    rt_add_list.erase(it);
    // The route just added stands in for the host's own one.
    std::snprintf(g_restorelocalaccesscmd, sizeof g_restorelocalaccesscmd, "echo");
    return;
  }
  if (!ours) {
    VPN_LOG("route to %s/%s on %s is not ours, kept at teardown", net_text, info.netmask, name);
    std::snprintf(g_restorelocalaccesscmd, sizeof g_restorelocalaccesscmd, "echo");
    return;
  }
  build_route_command(local, false, g_restorelocalaccesscmd, sizeof g_restorelocalaccesscmd);
}
