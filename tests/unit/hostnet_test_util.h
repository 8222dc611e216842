// Fixtures shared by the host-network unit tests: captured log lines,
// recorded commands and prepared routing/ARP dumps.
#pragma once
#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/log_capture.h"
#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/route_entry.h"
#include "platform/route_dump.h"

namespace hostnet_test {

inline uint32_t ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

inline std::string dotted(uint32_t net_order) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &net_order, buf, sizeof buf);
  return buf;
}

// Index 1 is the loopback interface in every network namespace.
inline constexpr uint32_t kLoIndex = 1;
inline constexpr uint32_t kNoSuchIndex = 60000;

struct CommandRecorder {
  std::vector<std::string> cmds;
  std::vector<bool> waited;
  CommandRecorder() {
    set_command_hook([this](const std::string& c, bool w) {
      cmds.push_back(c);
      waited.push_back(w);
    });
  }
  ~CommandRecorder() { set_command_hook(nullptr); }
};

// Serves prepared dumps instead of the kernel's.
struct DumpSource {
  std::vector<uint8_t> routes, arp;
  bool fail_routes = false, fail_arp = false;
  DumpSource() {
    rtdump::set_dump_source([this](rtdump::dump_kind k, std::vector<uint8_t>& out) {
      if (k == rtdump::dump_kind::routes) {
        if (fail_routes) return -1;
        out = routes;
      } else {
        if (fail_arp) return -1;
        out = arp;
      }
      return 0;
    });
  }
  ~DumpSource() { rtdump::set_dump_source(nullptr); }
};

inline rtdump::route_record route(const char* dst, int len, const char* gw, uint32_t ifindex,
                                  bool by_kernel = false) {
  rtdump::route_record r;
  r.dst = ip(dst);
  r.dst_len = static_cast<uint8_t>(len);
  r.gateway = gw ? ip(gw) : 0;
  r.ifindex = ifindex;
  r.by_kernel = by_kernel;
  return r;
}

inline rtdump::arp_record arp(const char* addr, std::vector<uint8_t> mac, const char* ifname = "en0",
                              uint32_t ifindex = 2) {
  rtdump::arp_record r;
  r.addr = ip(addr);
  r.ifindex = ifindex;
  std::snprintf(r.ifname, sizeof r.ifname, "%s", ifname);
  if (!mac.empty()) std::memcpy(r.lladdr, mac.data(), mac.size());
  r.lladdr_len = static_cast<uint8_t>(mac.size());
  return r;
}

inline vpn_route_entry entry(const char* dst, const char* mask, const char* gw, uint32_t flags, int gw_family,
                             const char* ifname) {
  vpn_route_entry e{};
  e.dst = ip(dst);
  e.netmask = ip(mask);
  e.gateway = gw ? ip(gw) : 0;
  e.flags = flags;
  e.gw_family = gw_family;
  std::snprintf(e.ifname, sizeof e.ifname, "%s", ifname ? ifname : "");
  return e;
}

}  // namespace hostnet_test
