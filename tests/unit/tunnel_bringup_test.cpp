#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/session.h"
#include "client/tunnel_ops.h"
#include "client/dns_config.h"
#include "hostnet_test_util.h"
#include "tests/unit/private_ns.h"

using namespace hostnet_test;

namespace {

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (auto& x : v) s += "\n  " + x;
  return s;
}

const std::vector<uint8_t> kMac = {0x00, 0x0c, 0x29, 0x0a, 0x00, 0x01};

// The store as the exchange leaves it: a split tunnel to 10.10.0.0/16 and the
// client address 10.8.0.5.
void split_tunnel_store() {
  std::memset(&m_VPNNetworkConfig, 0, sizeof m_VPNNetworkConfig);
  m_pNetConfigFlag = &m_VPNNetworkConfig.header;
  m_pResouceList = &m_VPNNetworkConfig.resources;
  m_pExcludeResouceList = nullptr;
  m_pSearchDomainList = nullptr;
  clientip_store(m_pNetConfigFlag, ip("10.8.0.5"));
  auto& r = m_VPNNetworkConfig.resources;
  r.entries[0].ip = ip("10.10.0.0");
  r.entries[0].mask = ip("255.255.0.0");
  r.count = 1;
}

struct BringUpCase {
  const char* name;
  bool fail_dump;
  bool default_has_gateway;
  bool resources;
  int result;
  const char* log;
};

TEST(ConfigTunnel, StepsInOrderAndTheirFailures) {
  if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0)
    GTEST_SKIP() << "needs root and /dev/net/tun to open utun interfaces in a private network namespace";
  const BringUpCase cases[] = {
      {"split tunnel comes up", false, true, true, 0, nullptr},
      {"routing table unreadable", true, true, true, -1, "save original route table failed"},
      {"default route without gateway", false, false, true, -1, "Original default route is not valid"},
      {"split tunnel without resources", false, true, false, -1, "set vpn route table failed"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string err = in_private_netns([&]() -> std::string {
      split_tunnel_store();
      if (!tc.resources) m_pResouceList = nullptr;
      DumpSource dumps;
      dumps.fail_routes = tc.fail_dump;
      rtdump::append_route_message(dumps.routes,
                                   route("0.0.0.0", 0, tc.default_has_gateway ? "10.77.0.1" : nullptr, kLoIndex));
      rtdump::append_route_message(dumps.routes, route("1.1.1.1", 32, nullptr, kLoIndex, true));
      rtdump::append_arp_message(dumps.arp, arp("10.77.0.1", kMac, "lo", kLoIndex));
      CommandRecorder rec;
      LogCapture log;
      vpnc_session s;
      vpnc_session_reset(&s);
      s.connect_ip = ip("198.18.0.1");
      const int r = config_tunnel(&s);
      const std::string cmds = joined(rec.cmds);
      if (r != tc.result) return "config_tunnel answered " + std::to_string(r) + cmds;
      if (tc.log != nullptr && !log.has(tc.log)) return std::string("no log line ") + tc.log;
      // The device is open and addressed whatever fails later.
      const std::string tun = tunname;
      if (s.tunfd < 0 || if_nametoindex(tunname) == 0) return "no utun interface " + tun;
      if ((fcntl(s.tunfd, F_GETFL) & O_NONBLOCK) == 0) return "tunfd is blocking";
      if (rec.cmds.empty() || rec.cmds[0] != "/sbin/ifconfig " + tun + " 10.8.0.5 1.1.1.1 mtu 1400")
        return "first command is not the addressing" + cmds;
      if (!log.has("Assigned ip is 10.8.0.5") || !log.has("Route execute /sbin/ifconfig " + tun))
        return "addressing lines missing";
      if (tc.result != 0) return "";

      bool tunnel_route = false;
      for (auto& c : rec.cmds)
        if (c == "/sbin/route add -net 10.10.0.0 -netmask 255.255.0.0 -interface " + tun) tunnel_route = true;
      if (!tunnel_route) return "no resource route into " + tun + cmds;
      // The DNS step comes last: the pinned next hop, then the cache flush.
      utsname u{};
      uname(&u);
      if (rec.cmds.size() < 2 || rec.cmds[rec.cmds.size() - 2] != "/usr/sbin/arp -s 10.77.0.1 0:c:29:a:0:1 ifscope lo" ||
          rec.cmds.back() != dns_flush_command(u.release))
        return "the next hop is not pinned before the DNS step" + cmds;
      if (std::string(if_name_to_lum) != "lo" || std::string(usedifname) != "lo")
        return "interface names not recorded";
      if (!log.has("get_active_interface_addr ret 0")) return "interface list line missing";
      return "";
    });
    EXPECT_EQ(err, "");
  }
}

TEST(PostConfig, FlushesArpThenStartsTheLaunchCommands) {
  static _VPN_COMMAND_LIST_ launch{};
  launch.count = 2;
  std::snprintf(launch.commands[0], sizeof launch.commands[0], "echo one");
  std::snprintf(launch.commands[1], sizeof launch.commands[1], "echo two");
  m_pLaunchCommandList = &launch;
  m_pHostMapList = nullptr;
  g_restore_hostmap = 0;
  CommandRecorder rec;
  LogCapture log;
  vpnc_session s;
  vpnc_session_reset(&s);
  EXPECT_EQ(post_config_qn2(&s), 0);
  m_pLaunchCommandList = nullptr;
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{"/usr/sbin/arp -a -d", "echo one", "echo two"}));
  EXPECT_EQ(rec.waited, (std::vector<bool>{true, false, false}));
  EXPECT_TRUE(log.has("start post config to local machine."));
  EXPECT_TRUE(log.has("launch command"));
  EXPECT_FALSE(log.has("set config on local machine."));  // no host map: /etc/hosts untouched
  EXPECT_EQ(g_restore_hostmap, 0);
}

}  // namespace
