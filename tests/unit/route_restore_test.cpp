#include "client/hostnet/route_restore.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "platform/route_dump.h"
#include "tests/unit/hostnet_test_util.h"
#include "tests/unit/sysconfig_fixture.h"

// Lets the tests link before the command runner is built in.
__attribute__((weak)) void set_command_hook(command_hook) {}

namespace {

uint32_t ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

vpn_route_entry via_gateway(const char* dst, const char* mask, const char* gw, uint32_t flags = 0) {
  vpn_route_entry e{};
  e.dst = ip(dst);
  e.netmask = ip(mask);
  e.gateway = ip(gw);
  e.gw_family = 2;
  e.flags = flags;
  return e;
}

vpn_route_entry via_interface(const char* dst, const char* mask, const char* ifname, uint32_t flags = 0) {
  vpn_route_entry e{};
  e.dst = ip(dst);
  e.netmask = ip(mask);
  std::snprintf(e.ifname, sizeof e.ifname, "%s", ifname);
  e.flags = flags;
  return e;
}

interface_ip iface(const char* name, const char* addr) {
  interface_ip i{};
  std::snprintf(i.ifname, sizeof i.ifname, "%s", name);
  std::snprintf(i.ipaddr, sizeof i.ipaddr, "%s", addr);
  return i;
}

class RouteRestoreTest : public SysconfigRoot {
 protected:
  void SetUp() override {
    SysconfigRoot::SetUp();
    rt_ori_list.clear();
    rt_add_list.clear();
    rt_del_list.clear();
    iface_list.clear();
    qn_route = vpn_route_entry{};
    std::memset(new_ifname, 0, sizeof new_ifname);
    std::memset(if_name_to_lum, 0, sizeof if_name_to_lum);
    // No tunnel configuration: a new set-up stops at its first check.
    saved_ = {m_pNetConfigFlag, m_pResouceList, m_pExcludeResouceList};
    m_pNetConfigFlag = nullptr;
    m_pResouceList = nullptr;
    m_pExcludeResouceList = nullptr;
    set_command_hook([this](const std::string& cmd, bool) { commands.push_back(cmd); });
    set_read_command_hook([this](const std::string& cmd, std::string* out) {
      reads.push_back(cmd);
      *out = route_output;
      return route_runs;
    });
    vpn_log_set_sink([this](int, const char* l) { log.emplace_back(l); });
  }
  void TearDown() override {
    vpn_log_set_sink(nullptr);
    set_command_status_hook(nullptr);
    set_command_hook(nullptr);
    set_read_command_hook(nullptr);
    m_pNetConfigFlag = saved_.flags;
    m_pResouceList = saved_.resources;
    m_pExcludeResouceList = saved_.excludes;
    rt_ori_list.clear();
    rt_add_list.clear();
    rt_del_list.clear();
    iface_list.clear();
    SysconfigRoot::TearDown();
  }
  // The route command builders belong to another module; without them the
  // command texts cannot be checked.
  bool commands_built() {
    vpn_route_entry probe = via_gateway("0.0.0.0", "0.0.0.0", "192.0.2.99");
    commands.clear();
    add_route_mac(probe, 3, 3);
    bool ok = commands == std::vector<std::string>{"/sbin/route add default 192.0.2.99"};
    commands.clear();
    log.clear();
    return ok;
  }
  bool logged(const std::string& part) const {
    for (const auto& l : log)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

  struct {
    _VPN_NETWORK_HEADER_* flags;
    _VPN_RESOURCE_LIST_* resources;
    _VPN_RESOURCE_LIST_* excludes;
  } saved_{};
  std::vector<std::string> commands;
  std::vector<std::string> reads;
  std::vector<std::string> log;
  std::string route_output;
  bool route_runs = true;
};

TEST_F(RouteRestoreTest, TeardownDeletesWhatWasAddedThenAddsBackAllButTheDefault) {
  const bool built = commands_built();
  rt_del_list = {
      via_gateway("172.16.0.0", "255.240.0.0", "10.77.0.1"),
      via_gateway("0.0.0.0", "0.0.0.0", "1.1.1.1"),
      via_gateway("10.77.0.2", "255.255.255.255", "127.0.0.1", RTF_HOST_BSD),
      via_interface("10.77.0.1", "255.255.255.255", "en0", RTF_HOST_BSD | RTF_CLONING_BSD),
      via_gateway("198.18.0.1", "255.255.255.255", "10.77.0.1", RTF_HOST_BSD),
      via_interface("1.1.1.1", "255.255.255.255", "utun0", RTF_HOST_BSD),
  };
  rt_add_list = {
      via_gateway("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD),
      via_gateway("10.5.0.0", "255.255.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD),
      via_interface("192.168.9.0", "255.255.255.0", "en0", RTF_STATIC_BSD),
  };
  restore_routes();
  EXPECT_TRUE(rt_del_list.empty());
  EXPECT_TRUE(rt_add_list.empty());
  if (!built) GTEST_SKIP() << "route command builders not linked in: command texts not checked";
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "/sbin/route delete -net 172.16.0.0 -netmask 255.240.0.0 -gateway 10.77.0.1",
                          "/sbin/route delete default 1.1.1.1",
                          "/sbin/route delete -host 10.77.0.2 -gateway 127.0.0.1",
                          "/sbin/route delete -host 10.77.0.1 -interface en0 -cloning",
                          "/sbin/route delete -host 198.18.0.1 -gateway 10.77.0.1",
                          "/sbin/route delete -host 1.1.1.1 -interface utun0",
                          "/sbin/route add -net 10.5.0.0 -netmask 255.255.0.0 -gateway 10.77.0.1",
                          "/sbin/route add -net 192.168.9.0 -netmask 255.255.255.0 -interface en0",
                      }));
}

TEST_F(RouteRestoreTest, RepairDeletesTheDaemonsRoutesFirstThenAddsTheHostsBack) {
  const bool built = commands_built();
  route_output = "   route to: default\ndestination: default\n       mask: default\n    gateway: 10.77.0.1\n"
                 "  interface: en0\n      flags: <UP,GATEWAY,DONE,STATIC>\n";
  std::snprintf(qn_route.ifname, sizeof qn_route.ifname, "en0");
  // "lo" has the same address as when the routes were set, "en7" had one and
  // lost it, "nosuch9" had none then and has none now.
  iface_list = {iface("lo", "127.0.0.1"), iface("en7", "192.168.5.2")};
  rt_add_list = {
      via_gateway("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD),
      via_interface("10.77.0.1", "255.255.255.255", "en0", RTF_HOST_BSD | RTF_STATIC_BSD),
      via_gateway("10.5.0.0", "255.255.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD),
      via_interface("10.50.7.0", "255.255.255.0", "en0", RTF_STATIC_BSD),
      via_interface("10.50.8.0", "255.255.255.0", "en7", RTF_STATIC_BSD),
      via_interface("127.0.0.0", "255.0.0.0", "lo", RTF_STATIC_BSD | RTF_CLONING_BSD),
      via_interface("192.168.6.0", "255.255.255.0", "nosuch9", RTF_STATIC_BSD),
  };
  rt_del_list = {
      via_gateway("0.0.0.0", "0.0.0.0", "1.1.1.1"),
      via_interface("10.1.0.0", "255.255.0.0", "utun0"),
      via_interface("1.1.1.1", "255.255.255.255", "utun0", RTF_HOST_BSD),
  };
  EXPECT_EQ(reconn_delete_route(), 0);
  EXPECT_STREQ(new_ifname, "en0");
  EXPECT_EQ(reads, std::vector<std::string>{"/sbin/route -n get default"});
  EXPECT_TRUE(logged("vpn_version_control at "));
  EXPECT_TRUE(logged("function: reconn_delete_route:ret 0, new interface name: en0,old interface name: en0"));
  EXPECT_TRUE(logged("ret 0,interface en7 current ip: ,interface old ip: 192.168.5.2"));
  EXPECT_TRUE(logged("ret 0,interface nosuch9 current ip: ,interface old ip: "));
  EXPECT_TRUE(rt_add_list.empty());
  EXPECT_TRUE(rt_del_list.empty());
  if (!built) GTEST_SKIP() << "route command builders not linked in: command texts not checked";
  // The peer route goes with the daemon's others; the static route through
  // en0, which carries the default route now, comes back with the rest.
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "/sbin/route delete -net 10.1.0.0 -netmask 255.255.0.0 -interface utun0",
                          "/sbin/route delete -host 1.1.1.1 -interface utun0",
                          "/sbin/route add -host 10.77.0.1 -interface en0",
                          "/sbin/route add -net 10.5.0.0 -netmask 255.255.0.0 -gateway 10.77.0.1",
                          "/sbin/route add -net 10.50.7.0 -netmask 255.255.255.0 -interface en0",
                          "/sbin/route add -net 127.0.0.0 -netmask 255.0.0.0 -interface lo -cloning",
                          "/sbin/route add -net 192.168.6.0 -netmask 255.255.255.0 -interface nosuch9",
                      }));
  // The static route through en7, whose address is gone, is not lost: the
  // teardown adds it.
  commands.clear();
  restore_routes();
  EXPECT_EQ(commands, std::vector<std::string>{"/sbin/route add -net 10.50.8.0 -netmask 255.255.255.0 -interface en7"});
}

// An interface's own network route (the interface had an address on it
// when the routes were set) comes back only while the interface still has
// an address on that network; a static route a user set through the
// interface always comes back, at the latest at the teardown.
struct NetRouteCase {
  const char* name;
  vpn_route_entry route;
  interface_ip was;       // the route interface's address when the routes were set
  const char* default_if;  // interface of the default route at the repair, and of the gateway's route
  bool repair;            // a reconnection's repair before the teardown
  bool at_repair;         // put back by the repair
  bool at_teardown;       // put back by the teardown
};

void PrintTo(const NetRouteCase& c, std::ostream* os) { *os << c.name; }

class NetworkRouteOfAnInterface : public RouteRestoreTest, public ::testing::WithParamInterface<NetRouteCase> {};

TEST_P(NetworkRouteOfAnInterface, ComesBackOnlyWhileTheInterfaceIsOnItsNetwork) {
  const NetRouteCase& c = GetParam();
  if (!commands_built()) GTEST_SKIP() << "route command builders not linked in";
  route_output = std::string("  interface: ") + c.default_if + "\n";
  std::snprintf(qn_route.ifname, sizeof qn_route.ifname, "%s", c.default_if);
  iface_list = {c.was};
  rt_add_list = {c.route};
  char add[kCommandBufferSize];
  ASSERT_EQ(build_route_command(c.route, true, add, sizeof add), 0);
  if (c.repair) {
    reconn_delete_route();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), add), c.at_repair ? 1 : 0);
    commands.clear();
  }
  restore_routes();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), add), c.at_teardown ? 1 : 0);
  const bool dropped = c.repair ? !c.at_repair && !c.at_teardown : !c.at_teardown;
  EXPECT_EQ(logged(std::string(c.route.ifname) + " has no address on "), dropped);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkRouteOfAnInterface,
    ::testing::Values(
        // lo keeps 127.0.0.1, en7 and en0 have no address here any more.
        NetRouteCase{"still_on_its_network_repair", via_interface("127.0.0.0", "255.0.0.0", "lo", RTF_CLONING_BSD),
                     iface("lo", "127.0.0.1"), "en0", true, true, false},
        NetRouteCase{"still_on_its_network_teardown", via_interface("127.0.0.0", "255.0.0.0", "lo", RTF_CLONING_BSD),
                     iface("lo", "127.0.0.1"), "en0", false, false, true},
        NetRouteCase{"left_its_network_repair", via_interface("10.88.0.0", "255.255.255.0", "en7", RTF_CLONING_BSD),
                     iface("en7", "10.88.0.2"), "en0", true, false, false},
        NetRouteCase{"left_its_network_teardown", via_interface("10.88.0.0", "255.255.255.0", "en7", RTF_CLONING_BSD),
                     iface("en7", "10.88.0.2"), "en0", false, false, false},
        NetRouteCase{"gateway_interface_left_its_network_repair",
                     via_interface("10.77.0.0", "255.255.255.0", "en0", RTF_CLONING_BSD), iface("en0", "10.77.0.2"),
                     "en0", true, false, false},
        NetRouteCase{"static_route_interface_changed_address_repair",
                     via_interface("10.50.8.0", "255.255.255.0", "en7"), iface("en7", "10.88.0.2"), "en0", true,
                     false, true},
        NetRouteCase{"static_route_interface_changed_address_teardown",
                     via_interface("10.50.8.0", "255.255.255.0", "en7"), iface("en7", "10.88.0.2"), "en0", false,
                     false, true},
        NetRouteCase{"static_route_through_the_gateway_interface_repair",
                     via_interface("10.50.7.0", "255.255.255.0", "en0"), iface("en0", "10.77.0.2"), "en0", true,
                     true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The route tool refuses a route whose gateway is not reachable yet; the
// restore tries it again once the routes after it are in.
TEST_F(RouteRestoreTest, RefusedRoutesAreTriedAgainOnceTheOthersAreIn) {
  if (!commands_built()) GTEST_SKIP() << "route command builders not linked in";
  bool lan_back = false;
  set_command_status_hook([&](const std::string& cmd) {
    if (cmd.find("-net 172.16.0.0 ") != cmd.npos) lan_back = true;
    if (cmd.find("-gateway 172.16.0.1") != cmd.npos && !lan_back) return 1;
    if (cmd.find("-net 10.9.0.0 ") != cmd.npos) return 1;  // never taken
    return 0;
  });
  rt_add_list = {
      via_gateway("10.60.0.0", "255.255.0.0", "172.16.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD),
      via_interface("10.9.0.0", "255.255.0.0", "en0", RTF_STATIC_BSD),
      via_interface("172.16.0.0", "255.255.255.0", "en0", RTF_STATIC_BSD),
  };
  restore_routes();
  set_command_status_hook(nullptr);
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "/sbin/route add -net 10.60.0.0 -netmask 255.255.0.0 -gateway 172.16.0.1",
                          "/sbin/route add -net 10.9.0.0 -netmask 255.255.0.0 -interface en0",
                          "/sbin/route add -net 172.16.0.0 -netmask 255.255.255.0 -interface en0",
                          "/sbin/route add -net 10.60.0.0 -netmask 255.255.0.0 -gateway 172.16.0.1",
                          "/sbin/route add -net 10.9.0.0 -netmask 255.255.0.0 -interface en0",
                          "/sbin/route add -net 10.9.0.0 -netmask 255.255.0.0 -interface en0",
                      }));
}

TEST_F(RouteRestoreTest, RedoWithoutRepairPutsTheEarlierSetUpBackFirst) {
  const bool built = commands_built();
  route_output = "  interface: en0\n";
  const vpn_route_entry peer = via_interface("1.1.1.1", "255.255.255.255", "utun1", RTF_HOST_BSD);
  rt_add_list = {via_gateway("10.5.0.0", "255.255.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD)};
  rt_del_list = {via_gateway("0.0.0.0", "0.0.0.0", "1.1.1.1"),
                 via_gateway("198.18.0.1", "255.255.255.255", "10.77.0.1", RTF_HOST_BSD), peer};
  vpnc_session s;
  reconnected_add_route(&s);
  // Nothing of the earlier set-up stays recorded but the device's peer route.
  for (const vpn_route_entry& e : rt_del_list) EXPECT_EQ(std::memcmp(&e, &peer, sizeof peer), 0);
  EXPECT_TRUE(rt_add_list.empty());
  EXPECT_TRUE(logged("routes of the earlier set-up are still recorded, putting them back first"));
  if (!built) GTEST_SKIP() << "route command builders not linked in: command texts not checked";
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "/sbin/route delete -host 198.18.0.1 -gateway 10.77.0.1");
  EXPECT_EQ(commands[1], "/sbin/route add -net 10.5.0.0 -netmask 255.255.0.0 -gateway 10.77.0.1");
  // the new device's peer route is not the earlier set-up's
  for (const std::string& c : commands) EXPECT_EQ(c.find("delete -host 1.1.1.1"), std::string::npos) << c;
}

// A full tunnel whose device was replaced: the tunnel's default route went
// with the old device and the host's own one is still among the deleted
// routes. The host is given its default route back before the new snapshot,
// unless it has one of its own again; either way the way to the gateway is
// found.
struct LostDefaultCase {
  const char* name;
  const char* own_default;  // the host's default route now, or null for none
  bool put_back;
  const char* next_hop;  // qn_route's gateway afterwards
};

void PrintTo(const LostDefaultCase& c, std::ostream* os) { *os << c.name; }

class RedoAfterReplacedDevice : public RouteRestoreTest, public ::testing::WithParamInterface<LostDefaultCase> {};

TEST_P(RedoAfterReplacedDevice, FindsTheWayToTheGateway) {
  const LostDefaultCase& c = GetParam();
  const bool built = commands_built();
  if (!built) GTEST_SKIP() << "route command builders not linked in: the table cannot follow the commands";
  // The routing table follows the default-route commands that were run.
  rtdump::set_dump_source([&](rtdump::dump_kind kind, std::vector<uint8_t>& out) {
    if (kind != rtdump::dump_kind::routes) return -1;
    out.clear();
    const char* dflt = c.own_default;
    for (const std::string& cmd : commands)
      if (cmd == "/sbin/route add default 10.77.0.1") dflt = "10.77.0.1";
    if (dflt) rtdump::append_route_message(out, hostnet_test::route("0.0.0.0", 0, dflt, hostnet_test::kLoIndex));
    return 0;
  });
  rt_add_list = {via_gateway("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD | RTF_STATIC_BSD)};
  rt_del_list = {via_gateway("0.0.0.0", "0.0.0.0", "1.1.1.1"),
                 via_gateway("198.18.0.1", "255.255.255.255", "10.77.0.1", RTF_HOST_BSD),
                 via_interface("1.1.1.1", "255.255.255.255", "utun1", RTF_HOST_BSD)};
  vpnc_session s;
  s.connect_ip = ip("198.18.0.1");
  reconnected_add_route(&s);
  rtdump::set_dump_source(nullptr);
  const auto at = std::find(commands.begin(), commands.end(), "/sbin/route add default 10.77.0.1");
  EXPECT_EQ(at != commands.end(), c.put_back);
  if (c.put_back) {
    // after the earlier set-up was undone
    EXPECT_GT(at - commands.begin(), 0);
    EXPECT_EQ(commands[0], "/sbin/route delete -host 198.18.0.1 -gateway 10.77.0.1");
    EXPECT_TRUE(logged("reconnected_add_route:the host has no default route, its own through 10.77.0.1 is put back"));
  }
  EXPECT_TRUE(logged("qn_route name is lo"));
  EXPECT_EQ(qn_route.gateway, ip(c.next_hop));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RedoAfterReplacedDevice,
    ::testing::Values(LostDefaultCase{"NoDefaultLeft", nullptr, true, "10.77.0.1"},
                      LostDefaultCase{"HostHasOneOfItsOwn", "10.66.0.1", false, "10.66.0.1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RouteRestoreTest, RedoAfterRepairDoesNotRepairAgain) {
  rt_del_list = {via_interface("1.1.1.1", "255.255.255.255", "utun1", RTF_HOST_BSD)};
  vpnc_session s;
  reconnected_add_route(&s);
  EXPECT_FALSE(logged("putting them back first"));
  EXPECT_TRUE(reads.empty());
}

struct InfoCase {
  const char* name;
  const char* ipv4;   // the service's IPv4 entity (JSON), or null for none
  const char* state;  // its dynamic-store IPv4 state (JSON), or null for none
  const char* router;
  const char* ifname;
  std::vector<const char*> messages;
};

class ServiceInfo : public SysconfigRoot, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ServiceInfo, RouterAndInterface) {
  const InfoCase& c = GetParam();
  std::string svc = R"({"UserDefinedName": "Ethernet", "Interface": {"Type": "Ethernet"})";
  if (c.ipv4) svc += std::string(R"(, "IPv4": )") + c.ipv4;
  svc += "}";
  write_prefs(std::string(R"({"NetworkServices": {"S1": )") + svc + "}}");
  write_store(c.state ? std::string(R"({"State:/Network/Service/S1/IPv4": )") + c.state + "}" : "{}");
  std::vector<std::string> log;
  vpn_log_set_sink([&](int, const char* l) { log.emplace_back(l); });
  std::string router = "", ifname = "";
  EXPECT_EQ(get_network_service_info("S1", router, ifname), 0);
  vpn_log_set_sink(nullptr);
  EXPECT_EQ(router, c.router);
  EXPECT_EQ(ifname, c.ifname);
  for (const char* m : c.messages) {
    bool found = false;
    for (const auto& l : log) found |= l.find(std::string("function: get_network_service_info:") + m) != std::string::npos;
    EXPECT_TRUE(found) << m;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceInfo,
    ::testing::Values(
        InfoCase{"manual", R"({"ConfigMethod": "Manual", "Router": "10.77.0.1"})",
                 R"({"InterfaceName": "en0", "Router": "10.99.0.1"})", "10.77.0.1", "en0",
                 {"service S1: manual.", "service S1: router 10.77.0.1", "service S1: ifname en0"}},
        InfoCase{"manual_without_state", R"({"ConfigMethod": "Manual", "Router": "10.77.0.1"})", nullptr,
                 "10.77.0.1", "",
                 {"service S1: manual, dynamic ipv4 config is empty.", "service S1: ifname is not set."}},
        InfoCase{"dhcp", R"({"ConfigMethod": "DHCP", "Router": "10.99.9.9"})",
                 R"({"InterfaceName": "en1", "Router": "192.168.1.1"})", "192.168.1.1", "en1",
                 {"service S1: dhcp.", "service S1: router 192.168.1.1"}},
        InfoCase{"no_method_counts_as_dhcp", R"({})", R"({"InterfaceName": "en1", "Router": "192.168.1.1"})",
                 "192.168.1.1", "en1", {"service S1: dhcp."}},
        InfoCase{"dhcp_without_state", R"({"ConfigMethod": "DHCP"})", nullptr, "", "",
                 {"service S1: dhcp, but ipv4 config is empty.", "service S1: router is not set.",
                  "service S1: ifname is not set."}},
        InfoCase{"router_not_a_string", R"({"ConfigMethod": "Manual", "Router": 17})", R"({"InterfaceName": "en0"})",
                 "", "en0", {"service S1: convert router failed"}},
        InfoCase{"no_ipv4_entity", nullptr, R"({"InterfaceName": "en0", "Router": "10.77.0.1"})", "", "",
                 {"service S1: no IPv4 protocol, no router and interface"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RouteRestoreTest, ServiceInfoFailsWhenTheStoresCannotBeOpened) {
  write_prefs("{");
  std::string router, ifname;
  EXPECT_EQ(get_network_service_info("S1", router, ifname), 1);
  EXPECT_TRUE(logged("SCPreferencesCreate failed, error 1001: Failed!"));
  write_prefs(R"({"NetworkServices": {"S1": {"IPv4": {"ConfigMethod": "DHCP"}}}})");
  write_store("{");
  EXPECT_EQ(get_network_service_info("S1", router, ifname), 1);
  EXPECT_TRUE(logged("SCDynamicStoreCreate failed, error 1001: Failed!"));
}

TEST_F(RouteRestoreTest, DefaultRouteComesBackThroughTheRouterOfItsInterface) {
  const bool built = commands_built();
  write_prefs(R"({"ServiceOrder": ["ETH", "WIFI", "V6"], "NetworkServices": {
      "ETH":  {"Interface": {"Type": "Ethernet"}, "IPv4": {"ConfigMethod": "Manual", "Router": "10.77.0.1"}},
      "V6":   {"Interface": {"Type": "Ethernet"}, "IPv4": {"ConfigMethod": "DHCP"}},
      "WIFI": {"Interface": {"Type": "IEEE80211"}, "IPv4": {"ConfigMethod": "DHCP"}}}})");
  write_store(R"({"State:/Network/Service/ETH/IPv4": {"InterfaceName": "en0"},
                  "State:/Network/Service/V6/IPv4": {"InterfaceName": "en2", "Router": "fe80::1"},
                  "State:/Network/Service/WIFI/IPv4": {"InterfaceName": "en1", "Router": "192.168.1.1"}})");
  struct Case {
    const char* lum;
    std::vector<std::string> cmds;
  };
  for (const Case& c : {Case{"en1", {"/sbin/route add default 192.168.1.1"}},
                        Case{"en0", {"/sbin/route add default 10.77.0.1"}}, Case{"en2", {}}, Case{"en9", {}}}) {
    // The full tunnel's set-up took the host's default route away (one
    // through the interface, so there is no router of its own to fall back on).
    rt_add_list = {via_interface("0.0.0.0", "0.0.0.0", c.lum, RTF_STATIC_BSD)};
    restore_routes();
    commands.clear();
    log.clear();
    std::snprintf(if_name_to_lum, sizeof if_name_to_lum, "%s", c.lum);
    restore_default_route();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "restore default route begin\n");
    EXPECT_EQ(log.back(), "restore default route end\n");
    EXPECT_EQ(logged("restore default route : add route\n"), !c.cmds.empty()) << c.lum;
    EXPECT_TRUE(logged("ns ETH, router 10.77.0.1, if en0\n"));
    EXPECT_EQ(logged("router fe80::1 of service V6 is no IPv4 address, not used"), std::string(c.lum) == "en2");
    if (built) {
      EXPECT_EQ(commands, c.cmds) << c.lum;
    }
  }
  // Without a default route taken away (a split tunnel, a host without one)
  // none is added.
  commands.clear();
  log.clear();
  std::snprintf(if_name_to_lum, sizeof if_name_to_lum, "en1");
  restore_default_route();
  EXPECT_TRUE(commands.empty());
  EXPECT_TRUE(logged("no default route was taken away, none is added"));
  if (!built) GTEST_SKIP() << "route command builders not linked in: command texts not checked";
}

// A store without a router for the gateway's interface must not leave the
// host without a default route: the one the full tunnel took away comes back.
TEST_F(RouteRestoreTest, DefaultRouteComesBackFromTheSavedOneWhenTheStoreHasNoRouter) {
  const bool built = commands_built();
  std::snprintf(if_name_to_lum, sizeof if_name_to_lum, "en0");
  struct Case {
    const char* name;
    bool repaired_first;  // a reconnection's repair emptied the lists before
    std::vector<vpn_route_entry> deleted;
    const char* expected;  // the default route command, or null
  };
  const Case cases[] = {
      {"teardown", false,
       {via_gateway("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD),
        via_gateway("10.5.0.0", "255.255.0.0", "10.77.0.2")},
       "/sbin/route add default 10.77.0.1"},
      {"after a repair", true, {via_gateway("0.0.0.0", "0.0.0.0", "10.77.0.1", RTF_GATEWAY_BSD)},
       "/sbin/route add default 10.77.0.1"},
      {"split tunnel: nothing taken", false, {via_gateway("10.5.0.0", "255.255.0.0", "10.77.0.2")}, nullptr},
  };
  for (const Case& c : cases) {
    rt_add_list = route_list(c.deleted.begin(), c.deleted.end());
    if (c.repaired_first) reconn_delete_route();
    restore_routes();
    commands.clear();
    log.clear();
    restore_default_route();
    EXPECT_EQ(logged("the saved default route through 10.77.0.1 is put back"), c.expected != nullptr) << c.name;
    if (built) {
      std::vector<std::string> defaults;
      for (const auto& cmd : commands)
        if (cmd.find(" default ") != cmd.npos) defaults.push_back(cmd);
      EXPECT_EQ(defaults, c.expected ? std::vector<std::string>{c.expected} : std::vector<std::string>{}) << c.name;
    }
    // Used once: a later teardown without a saved route adds nothing.
    commands.clear();
    restore_default_route();
    EXPECT_TRUE(commands.empty()) << c.name;
  }
  if (!built) GTEST_SKIP() << "route command builders not linked in: command texts not checked";
}

// The host's default route goes back through the link it went through, which
// need not be the one that leads to the gateway (en0 here): the router of the
// active service there (as it is now), else the route as it was; a refused
// add is not taken as done.
struct DefaultBackCase {
  const char* name;
  std::vector<vpn_route_entry> deleted;  // by the full tunnel's set-up
  const char* en1_router;                // the router of the service on en1, or null for none
  std::vector<std::string> refused;      // default-route adds the tool refuses
  std::vector<std::string> adds;         // the default-route adds run, in order
  std::vector<std::string> lines;        // among the log lines
};

void PrintTo(const DefaultBackCase& c, std::ostream* os) { *os << c.name; }

vpn_route_entry host_default(const char* gw, const char* ifname, uint32_t flags = 0) {
  vpn_route_entry e = via_gateway("0.0.0.0", "0.0.0.0", gw, RTF_GATEWAY_BSD | RTF_STATIC_BSD | flags);
  std::snprintf(e.ifname, sizeof e.ifname, "%s", ifname);
  return e;
}

class DefaultRouteBack : public RouteRestoreTest, public ::testing::WithParamInterface<DefaultBackCase> {};

TEST_P(DefaultRouteBack, ThroughTheLinkItWentThrough) {
  const DefaultBackCase& c = GetParam();
  if (!commands_built()) GTEST_SKIP() << "route command builders not linked in";
  // en0's router changed during the session: the table had 10.77.0.1.
  write_prefs(R"({"ServiceOrder": ["ETH", "WIFI"], "NetworkServices": {
      "ETH":  {"Interface": {"Type": "Ethernet"}, "IPv4": {"ConfigMethod": "DHCP"}},
      "WIFI": {"Interface": {"Type": "IEEE80211"}, "IPv4": {"ConfigMethod": "DHCP"}}}})");
  const std::string wifi = c.en1_router ? std::string(R"(, "Router": ")") + c.en1_router + "\"" : "";
  write_store(R"({"State:/Network/Service/ETH/IPv4": {"InterfaceName": "en0", "Router": "10.77.0.9"},
                  "State:/Network/Service/WIFI/IPv4": {"InterfaceName": "en1")" + wifi + "}}");
  set_command_status_hook([&](const std::string& cmd) {
    return std::find(c.refused.begin(), c.refused.end(), cmd) != c.refused.end() ? 1 : 0;
  });
  rt_add_list = route_list(c.deleted.begin(), c.deleted.end());
  restore_routes();
  commands.clear();
  std::snprintf(if_name_to_lum, sizeof if_name_to_lum, "en0");
  restore_default_route();
  std::vector<std::string> adds;
  for (const auto& cmd : commands)
    if (cmd.find(" default ") != cmd.npos) adds.push_back(cmd);
  EXPECT_EQ(adds, c.adds);
  for (const std::string& l : c.lines) EXPECT_TRUE(logged("restore_default_route:" + l)) << l;
  // A refused add is never logged as the one put back.
  if (c.refused.empty()) {
    EXPECT_FALSE(logged("refused by the route tool"));
  }
}

const std::string kAdd = "/sbin/route add default ";

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultRouteBack,
    ::testing::Values(
        DefaultBackCase{"same_interface_its_router_now", {host_default("10.77.0.1", "en0")}, nullptr, {},
                        {kAdd + "10.77.0.9"}, {"restore default route : add route\n"}},
        DefaultBackCase{"other_interface_its_router", {host_default("10.88.0.1", "en1")}, "10.88.0.9", {},
                        {kAdd + "10.88.0.9"}, {"ns WIFI, router 10.88.0.9, if en1\n"}},
        DefaultBackCase{"other_interface_without_router_the_saved_one",
                        {host_default("10.88.0.1", "en1")}, nullptr, {}, {kAdd + "10.88.0.1"},
                        {"no router for en1 in the network-service store, the saved default route through "
                         "10.88.0.1 is put back"}},
        DefaultBackCase{"the_unscoped_one_is_saved",
                        {host_default("10.77.0.1", "en0", RTF_IFSCOPE_BSD), host_default("10.88.0.1", "en1")},
                        nullptr, {}, {kAdd + "10.88.0.1"}, {}},
        DefaultBackCase{"refused_router_then_the_saved_one", {host_default("10.88.0.1", "en1")}, "10.88.0.9",
                        {kAdd + "10.88.0.9"}, {kAdd + "10.88.0.9", kAdd + "10.88.0.1"},
                        {"default route through 10.88.0.9 refused by the route tool (1)",
                         "the saved default route through 10.88.0.1 is put back"}},
        DefaultBackCase{"both_refused_on_its_link_then_the_gateways_link",
                        {host_default("10.88.0.1", "en1")}, "10.88.0.9", {kAdd + "10.88.0.9", kAdd + "10.88.0.1"},
                        {kAdd + "10.88.0.9", kAdd + "10.88.0.1", kAdd + "10.77.0.9"},
                        {"default route through 10.88.0.1 refused by the route tool (1)",
                         "no default route through en1 could be put back, the router 10.77.0.9 of en0 is used"}},
        DefaultBackCase{"refused_on_the_gateways_link", {host_default("10.77.0.1", "en0")}, nullptr,
                        {kAdd + "10.77.0.9", kAdd + "10.77.0.1"}, {kAdd + "10.77.0.9", kAdd + "10.77.0.1"},
                        {"default route through 10.77.0.9 refused by the route tool (1)",
                         "default route through 10.77.0.1 refused by the route tool (1)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RouteRestoreTest, DefaultRouteProbeLooksForUtunInTheFirst511Bytes) {
  struct Case {
    std::string output;
    bool runs;
    bool expected;
  };
  const std::string pad(600, ' ');
  for (const Case& c : {Case{"  interface: utun3\n", true, true}, Case{"  interface: en0\n", true, false},
                        Case{"", true, false}, Case{"  interface: utun3\n", false, false},
                        Case{pad + "interface: utun3\n", true, false},
                        Case{std::string(500, ' ') + "utun", true, true}}) {
    route_output = c.output;
    route_runs = c.runs;
    EXPECT_EQ(default_route_is_tun(), c.expected) << c.output.size();
  }
  EXPECT_EQ(reads.back(), "/sbin/route get default");
}

TEST_F(RouteRestoreTest, DefaultRouteInterfaceFromTheToolOutput) {
  struct Case {
    std::string output;
    bool runs;
    int ret;
    std::string expected;
  };
  const std::string long_name(200, 'x');
  for (const Case& c : {Case{"   route to: default\n  interface: en0\n  interface: en1\n", true, 0, "en0"},
                        Case{"  interface: utun2", true, 0, "utun2"},
                        Case{"   route to: default\n", true, 0, "kept"},
                        Case{"  interface: en0\n", false, -1, "kept"},
                        Case{"  interface:\n", true, 0, ""},
                        Case{"  interface: " + long_name + "\n", true, 0, long_name.substr(0, 103)}}) {
    std::snprintf(new_ifname, sizeof new_ifname, "kept");
    route_output = c.output;
    route_runs = c.runs;
    EXPECT_EQ(get_default_route_interface(new_ifname), c.ret);
    EXPECT_EQ(std::string(new_ifname), c.expected) << c.output;
  }
}

TEST_F(RouteRestoreTest, InterfaceAddressLookups) {
  iface_list = {iface("en0", "10.77.0.2"), iface("en0", "10.77.0.3"), iface("lo", "127.0.0.1")};
  char out[16] = "untouched";
  EXPECT_EQ(get_bakup_interface_addr("en0", out), 0);
  EXPECT_STREQ(out, "10.77.0.2");
  std::snprintf(out, sizeof out, "untouched");
  EXPECT_EQ(get_bakup_interface_addr("en1", out), -1);
  EXPECT_STREQ(out, "untouched");

  char cur[16] = {};
  EXPECT_EQ(get_interface_address_by_ifname("lo", cur), 0);
  EXPECT_STREQ(cur, "127.0.0.1");
  char none[16] = {};
  EXPECT_EQ(get_interface_address_by_ifname("nosuch9", none), 0);
  EXPECT_STREQ(none, "");
}

}  // namespace
