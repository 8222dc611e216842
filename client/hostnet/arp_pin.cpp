// Pins the link-level address of the next hop towards the gateway as a
// static ARP entry, read from the kernel's ARP table.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "platform/route_dump.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr size_t kMacBytes = 6;

using namespace rtdump;

// The link-level record starts after the IPv4 record, at its length
// rounded up to 8 (a length of 0 counts as 8).
size_t roundup_sa(size_t len) { return len == 0 ? 8 : ((len + 7) & ~size_t{7}); }

}  // namespace

void ether_print(const unsigned char* b, char* text) {
  std::snprintf(text, kMacTextSize, "%x:%x:%x:%x:%x:%x", b[0], b[1], b[2], b[3], b[4], b[5]);
}

void print_entry(const arp_link& dl, const sockaddr_inarp&, const rt_msghdr&, char* text) {
  // Fewer than six address bytes are no MAC.
  if (dl.head.sdl_alen < kMacBytes) return;
  if (static_cast<size_t>(dl.head.sdl_nlen) + kMacBytes > dl.data_len) return;
  ether_print(dl.data + dl.head.sdl_nlen, text);
}

int walk_arp_dump(const uint8_t* buf, size_t len, uint32_t addr, arp_callback cb, char* text) {
  size_t off = 0;
  while (off < len) {
    if (len - off < kRtMsgHdrSize) {
      VPN_LOG("ARP message at %zu is cut short, walk ended", off);
      return 0;
    }
    const rt_msghdr h = decode_rt_msghdr(buf + off);
    if (h.rtm_msglen == 0 || h.rtm_msglen > len - off) {
      VPN_LOG("ARP message at %zu has length %u, walk ended", off, h.rtm_msglen);
      return 0;
    }
    const uint8_t* m = buf + off;
    const size_t mlen = h.rtm_msglen;
    if (mlen < kRtMsgHdrSize + kSockaddrInarpSize) {
      VPN_LOG("ARP message at %zu is too short for its addresses, walk ended", off);
      return 0;
    }
    const sockaddr_inarp in = decode_sockaddr_inarp(m + kRtMsgHdrSize);
    const size_t dl_off = kRtMsgHdrSize + roundup_sa(in.sin_len);
    if (dl_off + kSockaddrDlHeadSize > mlen) {
      VPN_LOG("ARP message at %zu is too short for its addresses, walk ended", off);
      return 0;
    }
    if (addr == 0 || in.sin_addr == addr) {
      arp_link dl{decode_sockaddr_dl_head(m + dl_off), m + dl_off + kSockaddrDlHeadSize,
                  mlen - dl_off - kSockaddrDlHeadSize};
      cb(dl, in, h, text);
    }
    off += mlen;
  }
  return 0;
}

int search(unsigned long addr, arp_callback cb, char* text) {
  // A table that cannot be read pins nothing; the daemon goes on.
  size_t need = 0;
  if (rt_sysctl(dump_kind::arp, nullptr, &need) != 0) {
    VPN_LOG("route-sysctl-estimate");
    return -1;
  }
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[need ? need : 1]);
  if (!buf) {
    VPN_LOG("malloc");
    return -1;
  }
  size_t got = need;
  if (rt_sysctl(dump_kind::arp, buf.get(), &got) != 0) {
    VPN_LOG("actual retrieval of routing table");
    return -1;
  }
  return walk_arp_dump(buf.get(), got, static_cast<uint32_t>(addr), cb, text);
}

void getGwMac(unsigned long ip, char* mac) { search(ip, print_entry, mac); }

void sethost_mac(unsigned long ip, const char* ifname) {
  const uint32_t addr = static_cast<uint32_t>(ip);
  if (addr == 0) {
    // Address 0 would match every entry and pin 0.0.0.0.
    VPN_LOG("no IPv4 next hop, no ARP entry pinned");
    return;
  }
  if (!ifname || !ifname_is_shell_safe(ifname, sizeof qn_route.ifname)) {
    VPN_LOG("interface name not usable, no ARP entry pinned");
    return;
  }
  char mac[kMacTextSize] = {};
  for (int attempt = 0; attempt < 2; ++attempt) {
    getGwMac(addr, mac);
    sleep(1);
    if (mac[0]) break;
  }
  if (!mac[0]) return;

  char dotted[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
  char cmd[kCommandBufferSize];
  const int n = std::snprintf(cmd, sizeof cmd, "/usr/sbin/arp -s %s %s ifscope %s", dotted, mac, ifname);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
    VPN_LOG("arp command too long, not run");
    return;
  }
  forknexec(cmd, 2);
}
