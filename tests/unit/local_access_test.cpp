#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "client/session.h"
#include "hostnet_test_util.h"

using namespace hostnet_test;

namespace {

TEST(LocalhostNetinfo, ReadsAddressAndNetmaskOfAnInterface) {
  _LocalHostNetInfo info{};
  get_localhost_netinfo("lo", &info);
  EXPECT_STREQ(info.ipaddr, "127.0.0.1");
  EXPECT_STREQ(info.netmask, "255.0.0.0");
}

TEST(LocalhostNetinfo, UnknownOrOverlongNamesYieldNoAddress) {
  for (const char* name : {"nosuch0", "lo_with_a_long_name", ""}) {
    _LocalHostNetInfo info{};
    get_localhost_netinfo(name, &info);
    EXPECT_STREQ(info.ipaddr, "0.0.0.0") << name;
    EXPECT_STREQ(info.netmask, "0.0.0.0") << name;
  }
}

TEST(ActiveInterfaceAddr, AppendsEveryIpv4AddressWithItsInterface) {
  std::vector<interface_ip> list(1);
  LogCapture log;
  ASSERT_EQ(get_active_interface_addr(list), 0);
  bool lo = false;
  for (size_t i = 1; i < list.size(); ++i)
    if (std::string(list[i].ifname) == "lo" && std::string(list[i].ipaddr) == "127.0.0.1") lo = true;
  EXPECT_TRUE(lo);
  EXPECT_TRUE(log.has(" lo address: 127.0.0.1\n"));
}

class FullTunnelLocalAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_add_list.clear();
    g_localaccesscmd[0] = g_restorelocalaccesscmd[0] = '\0';
    route_ = entry("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD, 2, "lo");
  }
  void TearDown() override { rt_add_list.clear(); }
  vpn_route_entry route_;
  DumpSource dumps_;  // the current table: empty unless a test fills it
};

TEST_F(FullTunnelLocalAccess, StandsInForTheDeletedLocalRoute) {
  // Same network address, another mask, same interface: the host's own route.
  rt_add_list = {entry("127.0.0.0", "255.0.0.0", nullptr, 0, 18, "en0"),
                 entry("127.0.0.0", "255.255.0.0", nullptr, 0, 18, "lo"),
                 entry("10.0.0.0", "255.0.0.0", "10.77.0.1", 0, 2, "lo")};
  CommandRecorder rec;
  LogCapture log;
  enable_fulltunnel_local_access_mac(&route_);
  EXPECT_EQ(rec.cmds, std::vector<std::string>{"/sbin/route add -net 127.0.0.0 -netmask 255.0.0.0 -interface lo"});
  EXPECT_STREQ(g_localaccesscmd, "/sbin/route add -net 127.0.0.0 -netmask 255.0.0.0 -interface lo");
  EXPECT_STREQ(g_restorelocalaccesscmd, "echo");
  ASSERT_EQ(rt_add_list.size(), 2u);
  EXPECT_STREQ(rt_add_list[0].ifname, "en0");
  EXPECT_EQ(rt_add_list[1].dst, ip("10.0.0.0"));
  EXPECT_TRUE(log.has("localaccess add this entry: 127.0.0.0, mask 0xffff, gw 0.0.0.0"));
}

TEST_F(FullTunnelLocalAccess, ARefusedAddLeavesTheDeletedLocalRouteToTheRestore) {
  rt_add_list = {entry("127.0.0.0", "255.0.0.0", nullptr, 0, 18, "lo")};
  CommandRecorder rec;
  set_command_status_hook([](const std::string&) { return 1; });
  LogCapture log;
  enable_fulltunnel_local_access_mac(&route_);
  set_command_status_hook(nullptr);
  EXPECT_EQ(rec.cmds, std::vector<std::string>{"/sbin/route add -net 127.0.0.0 -netmask 255.0.0.0 -interface lo"});
  ASSERT_EQ(rt_add_list.size(), 1u);  // still added back at teardown
  EXPECT_STREQ(g_restorelocalaccesscmd, "echo");
  EXPECT_TRUE(log.has("refused by the route tool (1), not recorded"));
}

TEST_F(FullTunnelLocalAccess, WithoutADeletedLocalRouteTheUndoDeletesTheAddedOne) {
  CommandRecorder rec;
  enable_fulltunnel_local_access_mac(&route_);
  EXPECT_STREQ(g_restorelocalaccesscmd, "/sbin/route delete -net 127.0.0.0 -netmask 255.0.0.0 -interface lo");
}

TEST_F(FullTunnelLocalAccess, ARouteTheKernelKeepsForTheInterfaceIsNotDeletedByTheUndo) {
  rtdump::append_route_message(dumps_.routes, route("127.0.0.0", 16, nullptr, kLoIndex, true));  // other mask
  rtdump::append_route_message(dumps_.routes, route("127.0.0.0", 8, nullptr, kLoIndex, true));
  CommandRecorder rec;
  LogCapture log;
  enable_fulltunnel_local_access_mac(&route_);
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_STREQ(g_localaccesscmd, "/sbin/route add -net 127.0.0.0 -netmask 255.0.0.0 -interface lo");
  EXPECT_STREQ(g_restorelocalaccesscmd, "echo");
  EXPECT_TRUE(log.has("route to 127.0.0.0/255.0.0.0 is the host's own, not added"));
  EXPECT_TRUE(log.has("is not ours, kept at teardown"));
}

TEST_F(FullTunnelLocalAccess, InterfaceWithoutAddressAddsNothing) {
  std::snprintf(route_.ifname, sizeof route_.ifname, "nosuch0");
  CommandRecorder rec;
  enable_fulltunnel_local_access_mac(&route_);
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_STREQ(g_restorelocalaccesscmd, "");
}

TEST(SplitTunnelLocalAccess, ReportsTheLocalNetworkOrNone) {
  vpn_route_entry r = entry("0.0.0.0", "0.0.0.0", "10.77.0.1", 0, 2, "lo");
  uint32_t mask = 1, net = 1;
  EXPECT_EQ(enable_splittunnel_local_access(&r, &mask, &net), 1);
  EXPECT_EQ(mask, ip("255.0.0.0"));
  EXPECT_EQ(net, ip("127.0.0.0"));
  std::snprintf(r.ifname, sizeof r.ifname, "nosuch0");
  EXPECT_EQ(enable_splittunnel_local_access(&r, &mask, &net), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(net, 0u);
}

bool has_ipv6_loopback() {
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) != 0) return false;
  bool found = false;
  for (ifaddrs* i = ifs; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6) continue;
    sockaddr_in6 sa;
    std::memcpy(&sa, i->ifa_addr, sizeof sa);
    if (IN6_IS_ADDR_LOOPBACK(&sa.sin6_addr)) found = true;
  }
  freeifaddrs(ifs);
  return found;
}

TEST(InterfaceName, FindsTheInterfaceOfTheGatewaySocket) {
  char out[100] = {};
  session.sockfd = -1;
  LogCapture log;
  EXPECT_EQ(get_interface_name(out), -1);
  EXPECT_TRUE(log.has("get local_info.ipaddr failed\n"));
  if (!has_ipv6_loopback()) GTEST_SKIP() << "no ::1 in this namespace";
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  session.sockfd = fd;
  EXPECT_EQ(get_interface_name(out), 0);
  EXPECT_STREQ(out, "lo");
  EXPECT_TRUE(log.has("vsite ip is ::1\n"));
  session.sockfd = -1;
  close(fd);
}

}  // namespace
