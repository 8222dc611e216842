#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "client/session.h"
#include "hostnet_test_util.h"

using namespace hostnet_test;
using rtdump::route_record;

namespace {

constexpr uint32_t G = RTF_GATEWAY_BSD, S = RTF_STATIC_BSD, H = RTF_HOST_BSD;

vpn_route_entry via(const char* dst, const char* mask, const char* gw, const char* ifname = "en0") {
  return entry(dst, mask, gw, G | S, 2, ifname);
}
vpn_route_entry dev(const char* dst, const char* mask, const char* ifname = "en0") {
  return entry(dst, mask, nullptr, S, 18, ifname);
}

// Route holders, store pointers and the recorder, reset around each test.
class TunnelRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_ori_list.clear();
    rt_add_list.clear();
    rt_del_list.clear();
    std::memset(&qn_route, 0, sizeof qn_route);
    std::memset(&m_VPNNetworkConfig.resources, 0, sizeof m_VPNNetworkConfig.resources);
    std::memset(&m_VPNNetworkConfig.exclude_resources, 0, sizeof m_VPNNetworkConfig.exclude_resources);
    m_pResouceList = &m_VPNNetworkConfig.resources;
    m_pExcludeResouceList = nullptr;
    std::snprintf(tunname, sizeof tunname, "utun10");
    vpnc_session_reset(&s_);
    s_.connect_ip = ip("198.18.0.1");
    // The peer route the kernel made for the utun interface.
    rtdump::append_route_message(dumps_.routes, route("1.1.1.1", 32, nullptr, kLoIndex, true));
  }
  void TearDown() override {
    m_pResouceList = nullptr;
    m_pExcludeResouceList = nullptr;
    rt_ori_list.clear();
    rt_add_list.clear();
    rt_del_list.clear();
  }
  void resource(const char* addr, const char* mask) {
    auto& l = m_VPNNetworkConfig.resources;
    l.entries[l.count].ip = ip(addr);
    l.entries[l.count].mask = ip(mask);
    ++l.count;
  }
  void exclude(const char* addr, const char* mask, uint8_t type = 0) {
    auto& l = m_VPNNetworkConfig.exclude_resources;
    l.entries[l.count].ip = ip(addr);
    l.entries[l.count].mask = ip(mask);
    l.entries[l.count].type = type;
    ++l.count;
    m_pExcludeResouceList = &l;
  }

  DumpSource dumps_;
  vpnc_session s_;
};

TEST(FindRoute, LongestCoveringMaskWinsAndTheFirstOfEqualOnes) {
  route_list a{via("10.0.0.0", "255.0.0.0", "10.77.0.5"), via("10.1.0.0", "255.255.0.0", "10.77.0.6")};
  route_list b{a[1], a[0]};
  route_list c{via("10.1.0.0", "255.255.0.0", "10.77.0.7"), via("10.1.0.0", "255.255.0.0", "10.77.0.8")};
  for (auto* l : {&a, &b}) {
    vpn_route_entry out{};
    ASSERT_EQ(find_route(ip("10.1.2.3"), *l, &out), 1);
    EXPECT_EQ(out.gateway, ip("10.77.0.6"));
  }
  vpn_route_entry out{};
  ASSERT_EQ(find_route(ip("10.1.2.3"), c, &out), 1);
  EXPECT_EQ(out.gateway, ip("10.77.0.7"));
}

TEST(FindRoute, ADefaultRouteCountsOnlyWithAGateway) {
  route_list l{dev("0.0.0.0", "0.0.0.0")};
  vpn_route_entry out = via("9.9.9.9", "255.255.255.255", "9.9.9.9");
  const vpn_route_entry before = out;
  EXPECT_EQ(find_route(ip("198.18.0.1"), l, &out), 0);
  EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);  // unchanged
  l.push_back(via("0.0.0.0", "0.0.0.0", "10.77.0.1"));
  ASSERT_EQ(find_route(ip("198.18.0.1"), l, &out), 1);
  EXPECT_EQ(out.gateway, ip("10.77.0.1"));
}

TEST(CheckDefaultRoute, InvalidOnlyWhenEveryDefaultRouteLacksAGateway) {
  rt_ori_list = {via("10.1.0.0", "255.255.0.0", "10.77.0.1")};
  EXPECT_EQ(check_default_route(), 0);
  rt_ori_list.push_back(dev("0.0.0.0", "0.0.0.0"));
  EXPECT_EQ(check_default_route(), -1);
  rt_ori_list.push_back(via("0.0.0.0", "0.0.0.0", "10.77.0.1"));
  EXPECT_EQ(check_default_route(), 0);
  rt_ori_list.clear();
}

TEST_F(TunnelRoutes, ExcludedNetworkMatchesOnNetworkAndMask) {
  exclude("10.5.0.0", "255.255.0.0", 2);  // type 2 never counts
  EXPECT_EQ(filterout_exclude_route_entry(via("10.5.0.0", "255.255.0.0", "10.77.0.1")), 0);
  exclude("10.5.0.0", "255.255.0.0");
  LogCapture log;
  EXPECT_EQ(filterout_exclude_route_entry(via("10.5.0.0", "255.255.0.0", "10.77.0.1")), 1);
  EXPECT_EQ(filterout_exclude_route_entry(via("10.5.0.0", "255.255.255.0", "10.77.0.1")), 0);
  EXPECT_TRUE(log.has("vpn_useconfig_qn2 at "));
  EXPECT_TRUE(log.has("filterout_exclude_route_entry:A route entry is excluded by network"));
}

TEST_F(TunnelRoutes, FullTunnelCleanDeletesAllButThePeerLoopbackLinkLocalAndExcluded) {
  exclude("10.5.0.0", "255.255.0.0");
  route_list snap{via("0.0.0.0", "0.0.0.0", "10.77.0.1"), dev("169.254.0.0", "255.255.0.0"),
                  dev("127.0.0.0", "255.0.0.0", "lo"),   entry("1.1.1.1", "255.255.255.255", nullptr, H, 18, "utun0"),
                  via("10.5.0.0", "255.255.0.0", "10.77.0.9"), via("10.2.0.0", "255.255.0.0", "10.77.0.9")};
  CommandRecorder rec;
  route_list deleted;
  clean_all_old_routes(snap, deleted);
  ASSERT_EQ(deleted.size(), 2u);
  EXPECT_EQ(deleted[0].dst, 0u);
  EXPECT_EQ(deleted[1].dst, ip("10.2.0.0"));
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{"/sbin/route delete default 10.77.0.1",
                                                "/sbin/route delete -net 10.2.0.0 -netmask 255.255.0.0 -gateway 10.77.0.9"}));
}

TEST_F(TunnelRoutes, SplitCleanComparesNetworkAddressesOnly) {
  route_list snap{via("10.0.0.0", "255.255.0.0", "10.77.0.9"), via("10.1.0.0", "255.255.0.0", "10.77.0.9")};
  CommandRecorder rec;
  LogCapture log;
  route_list deleted;
  clean_old_net_route(entry("10.0.0.0", "255.0.0.0", "1.1.1.1", 0, 0, ""), snap, deleted);
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted[0].netmask, ip("255.255.0.0"));
  clean_old_net_route(entry("0.0.0.0", "0.0.0.0", "1.1.1.1", 0, 0, ""), snap, deleted);
  EXPECT_TRUE(log.has("subnet route entry is not valid"));
  EXPECT_EQ(deleted.size(), 1u);
}

TEST_F(TunnelRoutes, ExcludedNetworksGetRoutesThroughTheirLongestCoveringRoute) {
  rtdump::append_route_message(dumps_.routes, route("10.50.0.0", 16, "10.77.0.1", kLoIndex));
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1"), via("10.0.0.0", "255.0.0.0", "10.77.0.254"),
                 dev("172.20.0.0", "255.255.0.0"), via("10.9.0.0", "255.255.0.0", "10.88.0.1", "en1")};
  exclude("10.1.0.0", "255.255.0.0", 2);  // invalid
  exclude("0.0.0.0", "255.0.0.0");        // invalid
  exclude("10.50.0.0", "255.255.0.0");    // has its own route already
  exclude("10.1.2.0", "255.255.255.0");   // under the /8
  exclude("192.0.2.7", "255.255.255.255");  // only under the default route
  exclude("172.20.5.0", "255.255.255.0");   // under a route through the interface
  exclude("10.9.9.0", "255.255.255.0");     // covered on en0 only by the /8
  CommandRecorder rec;
  LogCapture log;
  set_excludenetwork_route_entry("en0");
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{
                          "/sbin/route add -net 10.1.2.0 -netmask 255.255.255.0 -gateway 10.77.0.254",
                          "/sbin/route add -host 192.0.2.7 -gateway 10.77.0.1 -cloning",
                          "/sbin/route add -net 172.20.5.0 -netmask 255.255.255.0 -interface en0",
                          "/sbin/route add -net 10.9.9.0 -netmask 255.255.255.0 -gateway 10.77.0.254",
                      }));
  EXPECT_EQ(rt_del_list.size(), 4u);
  EXPECT_TRUE(log.has("a invalid network source 2,"));
  EXPECT_TRUE(log.has("Find a existed route entry for excluded network"));
}

TEST_F(TunnelRoutes, ExcludedNetworksWithoutAFreshSnapshotGetNothing) {
  dumps_.fail_routes = true;
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1")};
  exclude("10.1.2.0", "255.255.255.0");
  CommandRecorder rec;
  LogCapture log;
  set_excludenetwork_route_entry("en0");
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_TRUE(log.has("route change event, failed to get current route table"));
}

TEST_F(TunnelRoutes, SplitTunnelRoutesEachResourceIntoTheTunnel) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1"), via("10.0.0.0", "255.255.0.0", "10.77.0.254")};
  qn_route = rt_ori_list[0];
  resource("10.0.0.0", "255.0.0.0");
  resource("0.0.0.0", "255.255.0.0");  // no address: skipped
  resource("192.168.50.0", "255.255.255.0");
  resource("172.16.1.1", "255.255.255.255");
  CommandRecorder rec;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), 0);
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{
                          "/sbin/route delete -net 10.0.0.0 -netmask 255.255.0.0 -gateway 10.77.0.254",
                          "/sbin/route add -net 10.0.0.0 -netmask 255.0.0.0 -interface utun10",
                          "/sbin/route add -net 192.168.50.0 -netmask 255.255.255.0 -interface utun10",
                          "/sbin/route add -net 172.16.1.1 -netmask 255.255.255.255 -interface utun10",
                          "/sbin/route add -host 10.77.0.1 -interface en0 -cloning",
                          "/sbin/route add -host 198.18.0.1 -gateway 10.77.0.1",
                      }));
  ASSERT_EQ(rt_add_list.size(), 1u);
  EXPECT_EQ(rt_add_list[0].dst, ip("10.0.0.0"));
  ASSERT_EQ(rt_del_list.size(), 6u);  // five added, plus the peer route
  EXPECT_EQ(rt_del_list[5].dst, ip("1.1.1.1"));
  EXPECT_STREQ(rt_del_list[5].ifname, "lo");
}

// The restore deletes by destination and mask: a route that stood before
// the add, or an add the tool refused, must never be recorded for it.
TEST_F(TunnelRoutes, OnlyRoutesTheSetUpMadeAreRecorded) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1")};
  qn_route = rt_ori_list[0];
  // In the table now: the host's own route to the next hop, and a route with
  // a resource's destination and mask that came after the snapshot.
  rtdump::append_route_message(dumps_.routes, route("10.77.0.1", 32, nullptr, kLoIndex));
  rtdump::append_route_message(dumps_.routes, route("10.60.0.0", 16, "10.77.0.1", kLoIndex));
  resource("10.60.0.0", "255.255.0.0");
  resource("10.99.0.0", "255.255.255.0");
  resource("10.98.0.0", "255.255.0.0");
  CommandRecorder rec;
  set_command_status_hook([](const std::string& cmd) { return cmd.find(" 10.99.0.0 ") != cmd.npos ? 1 : 0; });
  LogCapture log;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), 0);
  set_command_status_hook(nullptr);
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{
                          "/sbin/route add -net 10.99.0.0 -netmask 255.255.255.0 -interface utun10",
                          "/sbin/route add -net 10.98.0.0 -netmask 255.255.0.0 -interface utun10",
                          "/sbin/route add -host 198.18.0.1 -gateway 10.77.0.1",
                      }));
  std::vector<std::string> recorded;
  for (const auto& e : rt_del_list) recorded.push_back(dotted(e.dst));
  EXPECT_EQ(recorded, (std::vector<std::string>{"10.98.0.0", "198.18.0.1", "1.1.1.1"}));
  EXPECT_TRUE(log.has("route to 10.60.0.0/255.255.0.0 is the host's own, not added"));
  EXPECT_TRUE(log.has("route to 10.77.0.1/255.255.255.255 is the host's own, not added"));
  EXPECT_TRUE(log.has("route to 10.99.0.0/255.255.255.0 refused by the route tool (1), not recorded"));
}

// The table as the real platform keys it, at the moment the full tunnel's
// routes are added: what the host's deleted routes left. Only an entry of
// the same destination, mask and scope that is neither cloned nor an ARP
// entry keeps the set-up from adding (and recording) its route.
struct PlatformTableCase {
  const char* name;
  std::vector<route_record> table;
  bool default_route;  // the tunnel's default route is added and recorded
  bool next_hop;       // its host route to the next hop
  bool gateway;        // its host route to the gateway
};

void PrintTo(const PlatformTableCase& c, std::ostream* os) { *os << c.name; }

route_record flagged(route_record r, bool ifscope, bool wascloned, bool llinfo, bool by_kernel = false) {
  r.ifscope = ifscope;
  r.wascloned = wascloned;
  r.llinfo = llinfo;
  r.by_kernel = by_kernel;
  return r;
}

class FullTunnelOnThePlatformTable : public TunnelRoutes, public ::testing::WithParamInterface<PlatformTableCase> {};

TEST_P(FullTunnelOnThePlatformTable, GetsItsDefaultRouteAndItsGatewayHostRoute) {
  const PlatformTableCase& c = GetParam();
  for (const route_record& r : c.table) rtdump::append_route_message(dumps_.routes, r);
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "lo")};
  qn_route = rt_ori_list[0];
  CommandRecorder rec;
  LogCapture log;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, true, false), 0);
  const struct {
    bool want;
    const char* cmd;
    uint32_t dst;
  } routes[] = {{c.default_route, "/sbin/route add default 1.1.1.1", 0},
                {c.next_hop, "/sbin/route add -host 10.77.0.1 -interface lo -cloning", ip("10.77.0.1")},
                {c.gateway, "/sbin/route add -host 198.18.0.1 -gateway 10.77.0.1", ip("198.18.0.1")}};
  for (const auto& r : routes) {
    EXPECT_EQ(std::count(rec.cmds.begin(), rec.cmds.end(), r.cmd), r.want ? 1 : 0) << r.cmd;
    const auto n = std::count_if(rt_del_list.begin(), rt_del_list.end(), [&](const vpn_route_entry& e) {
      return e.dst == r.dst && e.gateway != ip("127.0.0.1");
    });
    EXPECT_EQ(n, r.want ? 1 : 0) << r.cmd;
  }
  EXPECT_EQ(log.has("is the host's own, not added"), !(c.default_route && c.next_hop && c.gateway));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullTunnelOnThePlatformTable,
    ::testing::Values(
        PlatformTableCase{"scoped_default_route_of_a_second_service",
                          {flagged(route("0.0.0.0", 0, "10.88.0.1", kLoIndex), true, false, false)}, true, true,
                          true},
        PlatformTableCase{"cloned_host_route_to_the_gateway",
                          {flagged(route("198.18.0.1", 32, "10.77.0.1", kLoIndex), true, true, false, true)}, true,
                          true, true},
        PlatformTableCase{"arp_entry_of_the_next_hop",
                          {flagged(route("10.77.0.1", 32, nullptr, kLoIndex), true, true, true, true)}, true, true,
                          true},
        PlatformTableCase{"pinned_arp_entry_of_the_next_hop",
                          {flagged(route("10.77.0.1", 32, nullptr, kLoIndex), false, false, true)}, true, true, true},
        PlatformTableCase{"all_of_them",
                          {flagged(route("0.0.0.0", 0, "10.88.0.1", kLoIndex), true, false, false),
                           flagged(route("198.18.0.1", 32, "10.77.0.1", kLoIndex), true, true, false, true),
                           flagged(route("10.77.0.1", 32, nullptr, kLoIndex), true, true, true, true)},
                          true, true, true},
        // Routes that do stand: unscoped ones the host set itself.
        PlatformTableCase{"unscoped_default_route_stands",
                          {route("0.0.0.0", 0, "10.88.0.1", kLoIndex)}, false, true, true},
        PlatformTableCase{"static_host_routes_stand",
                          {route("10.77.0.1", 32, nullptr, kLoIndex), route("198.18.0.1", 32, "10.77.0.1", kLoIndex)},
                          true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TunnelRoutes, SplitTunnelWithLocalAccessLeavesLocalResourcesOut) {
  // The loopback interface stands in for the local network: 127.0.0.0/8.
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "lo")};
  qn_route = rt_ori_list[0];
  resource("127.5.0.0", "255.255.0.0");  // inside the local network
  resource("127.0.0.0", "254.0.0.0");    // only contains it
  CommandRecorder rec;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, true), 0);
  ASSERT_GE(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "/sbin/route add -net 127.0.0.0 -netmask 254.0.0.0 -interface utun10");
  for (const auto& c : rec.cmds) EXPECT_EQ(c.find("127.5.0.0"), std::string::npos) << c;
}

TEST_F(TunnelRoutes, SplitTunnelWithLocalAccessOnAnInterfaceWithoutAddressKeepsEveryResource) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "nosuch0")};
  qn_route = rt_ori_list[0];
  resource("10.0.0.0", "255.0.0.0");
  CommandRecorder rec;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, true), 0);
  ASSERT_GE(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "/sbin/route add -net 10.0.0.0 -netmask 255.0.0.0 -interface utun10");
}

TEST_F(TunnelRoutes, SplitTunnelWithoutResourceListFails) {
  m_pResouceList = nullptr;
  LogCapture log;
  CommandRecorder rec;
  EXPECT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), -1);
  EXPECT_TRUE(log.has("set_vpn_route_table:network resource list pointer is not valid"));
}

TEST_F(TunnelRoutes, FullTunnelReplacesTheDefaultRouteAndKeepsTheGatewayOutside) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "lo"), dev("169.254.0.0", "255.255.0.0", "lo"),
                 via("10.3.0.0", "255.255.0.0", "10.77.0.1", "lo")};
  qn_route = rt_ori_list[0];
  CommandRecorder rec;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, true, false), 0);
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{
                          "/sbin/route delete default 10.77.0.1",
                          "/sbin/route delete -net 10.3.0.0 -netmask 255.255.0.0 -gateway 10.77.0.1",
                          "/sbin/route add default 1.1.1.1",
                          "/sbin/route add -host 127.0.0.1 -gateway 127.0.0.1",
                          "/sbin/route add -host 10.77.0.1 -interface lo -cloning",
                          "/sbin/route add -host 198.18.0.1 -gateway 10.77.0.1",
                      }));
  EXPECT_EQ(rt_add_list.size(), 2u);
  EXPECT_EQ(rt_del_list.size(), 5u);
}

TEST_F(TunnelRoutes, FullTunnelOnAnInterfaceWithoutAddressAddsNoLoopbackRoute) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "nosuch0")};
  qn_route = rt_ori_list[0];
  CommandRecorder rec;
  LogCapture log;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, true, false), 0);
  for (const auto& c : rec.cmds) EXPECT_EQ(c.find("127.0.0.1"), std::string::npos) << c;
  EXPECT_TRUE(log.has("no loopback route"));
}

TEST_F(TunnelRoutes, DirectlyReachedIpv4GatewayAndIpv6Gateway) {
  qn_route = dev("198.18.0.0", "255.255.255.0");
  {
    CommandRecorder rec;
    ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), 0);
    EXPECT_EQ(rec.cmds, (std::vector<std::string>{"/sbin/route add -host 198.18.0.1 -interface en0 -cloning"}));
  }
  rt_del_list.clear();
  std::memset(&qn_route, 0, sizeof qn_route);
  std::snprintf(qn_route.ifname, sizeof qn_route.ifname, "en0");
  s_.is_ipv6 = 1;
  CommandRecorder rec;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), 0);
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_EQ(rt_del_list.size(), 1u);  // only the peer route
}

TEST_F(TunnelRoutes, MissingPeerRouteIsLogged) {
  dumps_.routes.clear();
  qn_route = via("0.0.0.0", "0.0.0.0", "10.77.0.1");
  CommandRecorder rec;
  LogCapture log;
  ASSERT_EQ(set_vpn_route_table_for(&qn_route, &s_, false, false), 0);
  EXPECT_TRUE(log.has("get 1.1.1.1 route failed"));
}

}  // namespace

namespace {

TEST_F(TunnelRoutes, TheModeComesFromTheConfigurationStore) {
  rt_ori_list = {via("0.0.0.0", "0.0.0.0", "10.77.0.1", "lo")};
  qn_route = rt_ori_list[0];
  m_VPNNetworkConfig.header.flags = NETCFG_FULL_TUNNEL;
  m_pNetConfigFlag = &m_VPNNetworkConfig.header;
  CommandRecorder rec;
  const int rc = set_vpn_route_table(&qn_route, &s_);
  m_pNetConfigFlag = nullptr;
  m_VPNNetworkConfig.header.flags = 0;
  ASSERT_EQ(rc, 0);
  ASSERT_GE(rec.cmds.size(), 2u);
  EXPECT_EQ(rec.cmds[1], "/sbin/route add default 1.1.1.1");
}

}  // namespace
