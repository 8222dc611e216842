#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/hostnet/hostnet_internal.h"
#include "hostnet_test_util.h"
#include "private_ns.h"

using namespace hostnet_test;
using rtdump::route_record;

namespace {

// Changes the header of the last message appended at `at`.
void patch(std::vector<uint8_t>& dump, size_t at, uint32_t set_flags, uint32_t clear_flags,
           uint32_t clear_addrs = 0) {
  rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(dump.data() + at);
  h.rtm_flags = (h.rtm_flags | set_flags) & ~clear_flags;
  h.rtm_addrs &= ~clear_addrs;
  rtdump::encode_rt_msghdr(h, dump.data() + at);
}

// Walks over a heap copy of exactly the dump's size, so that a read past its
// end is caught by the sanitizer build.
int walk(const std::vector<uint8_t>& dump, route_list& out) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[dump.size() ? dump.size() : 1]);
  if (!dump.empty()) std::memcpy(exact.get(), dump.data(), dump.size());
  return walk_route_snapshot(exact.get(), dump.size(), out);
}

struct SnapshotCase {
  const char* name;
  route_record rec;
  uint32_t set_flags, clear_flags, clear_addrs;
  uint8_t gw_family_override;  // 0: as built
  bool taken;
  uint32_t netmask;  // expected when taken
  int gw_family;
  const char* ifname;
  const char* log;  // expected log text, or null
};

class SnapshotWalk : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(SnapshotWalk, TakesOrSkipsOneMessage) {
  const SnapshotCase& c = GetParam();
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, c.rec);
  patch(dump, 0, c.set_flags, c.clear_flags, c.clear_addrs);
  if (c.gw_family_override) dump[rtdump::kRtMsgHdrSize + rtdump::kSockaddrInSize + 1] = c.gw_family_override;
  LogCapture log;
  route_list out;
  EXPECT_EQ(walk(dump, out), 0);
  ASSERT_EQ(out.size(), c.taken ? 1u : 0u);
  if (c.taken) {
    EXPECT_EQ(out[0].dst, c.rec.dst);
    EXPECT_EQ(out[0].netmask, c.netmask);
    EXPECT_EQ(out[0].gw_family, c.gw_family);
    EXPECT_EQ(out[0].gateway, c.gw_family == 2 ? c.rec.gateway : 0u);
    EXPECT_STREQ(out[0].ifname, c.ifname);
    EXPECT_EQ(out[0].retry_count, 0);
  }
  if (c.log) {
    EXPECT_TRUE(log.has(c.log)) << c.log;
  }
}

const uint32_t kMask16 = ip("255.255.0.0");

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotWalk,
    ::testing::Values(
        SnapshotCase{"static_default", route("0.0.0.0", 0, "10.77.0.1", kLoIndex), 0, 0, 0, 0, true, 0, 2, "lo",
                     nullptr},
        SnapshotCase{"kernel_route_not_static", route("10.77.0.0", 24, nullptr, kLoIndex, true), 0, 0, 0, 0,
                     false, 0, 0, "", nullptr},
        SnapshotCase{"cloned_route", route("10.2.0.0", 16, "10.77.0.1", kLoIndex), rtdump::RTF_WASCLONED, 0, 0,
                     0, false, 0, 0, "", nullptr},
        SnapshotCase{"no_dst_address", route("10.2.0.0", 16, "10.77.0.1", kLoIndex), 0, 0, rtdump::RTA_DST, 0,
                     false, 0, 0, "", nullptr},
        SnapshotCase{"loopback_host_left_out", route("127.0.0.1", 32, nullptr, kLoIndex), 0, 0, 0, 0, false, 0,
                     0, "", nullptr},
        SnapshotCase{"loopback_net_taken", route("127.0.0.0", 8, nullptr, kLoIndex), 0, 0, 0, 0, true,
                     ip("255.0.0.0"), 18, "lo", nullptr},
        SnapshotCase{"host_route_without_netmask", route("192.0.2.10", 32, nullptr, kLoIndex), 0, 0, 0, 0,
                     true, 0xffffffff, 18, "lo", nullptr},
        SnapshotCase{"net_route_without_netmask_or_host", route("10.2.0.0", 16, "10.77.0.1", kLoIndex), 0, 0,
                     rtdump::RTA_NETMASK, 0, false, 0, 0, "", nullptr},
        SnapshotCase{"network_route", route("10.2.0.0", 16, "10.77.0.1", kLoIndex), 0, 0, 0, 0, true, kMask16,
                     2, "lo", nullptr},
        SnapshotCase{"link_gateway_without_name", route("10.3.0.0", 16, nullptr, kNoSuchIndex), 0, 0, 0, 0,
                     false, 0, 0, "", nullptr},
        SnapshotCase{"inet_gateway_without_name", route("10.4.0.0", 16, "10.77.0.1", kNoSuchIndex), 0, 0, 0,
                     0, true, kMask16, 2, "en0", "get if name failed, set to en0"},
        SnapshotCase{"no_gateway", route("10.5.0.0", 16, "10.77.0.1", kLoIndex), 0, 0, rtdump::RTA_GATEWAY, 0,
                     false, 0, 0, "", "route entry don't have gateway"},
        SnapshotCase{"other_gateway_family", route("10.6.0.0", 16, "10.77.0.1", kLoIndex), 0, 0, 0, 28, false,
                     0, 0, "", "route entry family is 28"},
        SnapshotCase{"interface_default_route", route("0.0.0.0", 0, nullptr, kLoIndex), 0, 0, 0, 0, true, 0, 18,
                     "lo", nullptr},
        // The ARP table's entries, the pinned one of the next hop too, are
        // not routes to delete and add back.
        SnapshotCase{"static_arp_entry", route("10.77.0.1", 32, nullptr, kLoIndex), rtdump::RTF_LLINFO, 0, 0, 0,
                     false, 0, 0, "", nullptr},
        SnapshotCase{"scoped_default_of_a_second_service", route("0.0.0.0", 0, "10.88.0.1", kLoIndex),
                     rtdump::RTF_IFSCOPE, 0, 0, 0, true, 0, 2, "lo", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SnapshotWalk, DestinationOfAnotherFamilyIsSkippedSilently) {
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("10.2.0.0", 16, "10.77.0.1", kLoIndex));
  dump[rtdump::kRtMsgHdrSize + 1] = 30;
  LogCapture log;
  route_list out;
  walk(dump, out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.lines.empty());
}

TEST(SnapshotWalk, TakesEveryQualifyingMessageInOrder) {
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("0.0.0.0", 0, "10.77.0.1", kLoIndex));
  rtdump::append_route_message(dump, route("10.77.0.0", 24, nullptr, kLoIndex, true));
  rtdump::append_route_message(dump, route("192.0.2.10", 32, nullptr, kLoIndex));
  rtdump::append_route_message(dump, route("10.2.0.0", 16, "10.77.0.1", kLoIndex));
  route_list out;
  ASSERT_EQ(walk(dump, out), 0);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].dst, 0u);
  EXPECT_EQ(out[1].dst, ip("192.0.2.10"));
  EXPECT_EQ(out[2].dst, ip("10.2.0.0"));
}

// Broken dumps end the walk where they break; what came before is kept.
struct BrokenCase {
  const char* name;
  int how;  // 0: length 0; 1: length past the dump; 2: too short for its addresses; 3: stray tail
};
class BrokenDump : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenDump, EndsTheWalkWithoutReadingPastTheBuffer) {
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("10.1.0.0", 16, "10.77.0.1", kLoIndex));
  const size_t second = dump.size();
  rtdump::append_route_message(dump, route("10.2.0.0", 16, "10.77.0.1", kLoIndex));
  rtdump::append_route_message(dump, route("10.3.0.0", 16, "10.77.0.1", kLoIndex));
  rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(dump.data() + second);
  switch (GetParam().how) {
    case 0:
      h.rtm_msglen = 0;
      break;
    case 1:
      h.rtm_msglen = static_cast<uint16_t>(dump.size() - second + 1);
      break;
    case 2:
      h.rtm_msglen = rtdump::kRtMsgHdrSize + 8;
      break;
    case 3:
      dump.resize(second + 10);
      break;
  }
  if (GetParam().how != 3) rtdump::encode_rt_msghdr(h, dump.data() + second);
  LogCapture log;
  route_list out;
  EXPECT_EQ(walk(dump, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].dst, ip("10.1.0.0"));
  EXPECT_TRUE(log.has("walk ended"));
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenDump,
                         ::testing::Values(BrokenCase{"zero_length", 0}, BrokenCase{"past_the_dump", 1},
                                           BrokenCase{"short_for_addresses", 2}, BrokenCase{"stray_tail", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SnapshotWalk, AddressesPastAShortLastMessageAreNotRead) {
  // The last message claims fewer bytes than its netmask needs, and the dump
  // ends with it: the netmask must not be read from beyond the buffer.
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("10.2.0.0", 16, "10.77.0.1", kLoIndex));
  const uint16_t cut = rtdump::kRtMsgHdrSize + 2 * rtdump::kSockaddrInSize + 2;
  rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(dump.data());
  h.rtm_msglen = cut;
  rtdump::encode_rt_msghdr(h, dump.data());
  dump.resize(cut);
  route_list out;
  EXPECT_EQ(walk(dump, out), 0);
  EXPECT_TRUE(out.empty());
}

TEST(PeerRouteWalk, TakesTheFirstNonClonedHostRouteTo1111EvenIfNotStatic) {
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("1.1.1.0", 24, "10.77.0.1", kLoIndex));
  size_t cloned = dump.size();
  rtdump::append_route_message(dump, route("1.1.1.1", 32, "10.77.0.9", kLoIndex));
  patch(dump, cloned, rtdump::RTF_WASCLONED, 0);
  rtdump::append_route_message(dump, route("1.1.1.1", 32, nullptr, kLoIndex, true));
  rtdump::append_route_message(dump, route("1.1.1.1", 32, "10.77.0.1", kLoIndex));
  route_list out;
  ASSERT_EQ(walk_route_4one(dump.data(), dump.size(), out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].dst, ip("1.1.1.1"));
  EXPECT_EQ(out[0].netmask, 0xffffffffu);
  EXPECT_EQ(out[0].gw_family, 18);
  EXPECT_STREQ(out[0].ifname, "lo");
  EXPECT_FALSE(out[0].flags & rtdump::RTF_STATIC);
}

TEST(PeerRouteWalk, NoneOrANamelessLinkGatewayAnswersMinusOne) {
  std::vector<uint8_t> dump;
  rtdump::append_route_message(dump, route("0.0.0.0", 0, "10.77.0.1", kLoIndex));
  route_list out;
  EXPECT_EQ(walk_route_4one(dump.data(), dump.size(), out), -1);
  rtdump::append_route_message(dump, route("1.1.1.1", 32, nullptr, kNoSuchIndex));
  rtdump::append_route_message(dump, route("1.1.1.1", 32, nullptr, kLoIndex));
  EXPECT_EQ(walk_route_4one(dump.data(), dump.size(), out), -1);
  EXPECT_TRUE(out.empty());
}

TEST(RouteSnapshot, FailedDumpAnswersMinusOneAndAppendsNothing) {
  DumpSource src;
  src.fail_routes = true;
  LogCapture log;
  route_list out;
  EXPECT_EQ(route_snapshot_mac(out, ""), -1);
  EXPECT_EQ(route_snapshot_4one_mac(out, ""), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.has("route_snapshot_mac:sysctl: net.route.0.0.dump estimate"));
}

TEST(RouteSnapshot, ReadsThroughThePlatformDumpAndKeepsTheList) {
  DumpSource src;
  rtdump::append_route_message(src.routes, route("0.0.0.0", 0, "10.77.0.1", kLoIndex));
  route_list out(1);
  EXPECT_EQ(route_snapshot_mac(out, ""), 0);
  ASSERT_EQ(out.size(), 2u);  // not cleared
  EXPECT_EQ(out[1].gateway, ip("10.77.0.1"));
}

TEST(RouteSnapshot, KernelDumpIsWalkedToItsEnd) {
  // The real kernel of this namespace: every message fits and is whole.
  size_t need = 0;
  ASSERT_EQ(rtdump::rt_sysctl(rtdump::dump_kind::routes, nullptr, &need), 0);
  std::vector<uint8_t> buf(need);
  size_t got = buf.size();
  ASSERT_EQ(rtdump::rt_sysctl(rtdump::dump_kind::routes, buf.data(), &got), 0);
  size_t off = 0;
  while (off < got) {
    const auto h = rtdump::decode_rt_msghdr(buf.data() + off);
    ASSERT_GE(h.rtm_msglen, rtdump::kRtMsgHdrSize);
    off += h.rtm_msglen;
  }
  EXPECT_EQ(off, got);
  size_t small = 0;
  if (got > 0) {
    EXPECT_EQ(rtdump::rt_sysctl(rtdump::dump_kind::routes, buf.data(), &small), -1);
  }
}

// The kernel's table as the dump reports it, scoped where macOS keeps a route
// scoped: of two default routes, the one of metric 0 is the unscoped one and
// the other a second service's, scoped to its interface; of two interfaces on
// one network, the second one's network route is scoped to it. An
// interface's own network route is a static cloning route.
struct ScopeCase {
  const char* name;
  const char* setup;  // shell commands in a private namespace
  const char* seen;   // the snapshot: dst/gateway/interface/flags of each entry
  struct has {
    const char* net;
    const char* mask;
    const char* scope;  // null: unscoped
    int answer;         // of route_table_has
  };
  std::vector<has> before;
  const char* del;  // then deleted
  std::vector<has> after;
};

void PrintTo(const ScopeCase& c, std::ostream* os) { *os << c.name; }

class KernelDumpScope : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(KernelDumpScope, AsMacOSKeepsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  const ScopeCase& c = GetParam();
  const std::string err = in_private_netns([&]() -> std::string {
    auto sh = [](const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; };
    if (!sh(c.setup)) return "could not set up";
    route_list snap;
    if (route_snapshot_mac(snap, "") != 0) return "no snapshot";
    std::string seen;
    for (const auto& e : snap)
      seen += dotted(e.dst) + "/" + dotted(e.gateway) + "/" + e.ifname + "/" +
              ((e.flags & RTF_IFSCOPE_BSD) ? "scoped" : "") + ((e.flags & RTF_CLONING_BSD) ? "cloning" : "") + " ";
    if (seen != c.seen) return "snapshot: " + seen;
    auto check = [](const std::vector<ScopeCase::has>& hs, const char* when) -> std::string {
      for (const auto& h : hs)
        if (route_table_has(inet_addr(h.net), inet_addr(h.mask), h.scope) != h.answer)
          return std::string(when) + ": " + h.net + "/" + h.mask + " scoped to " + (h.scope ? h.scope : "none");
      return "";
    };
    if (std::string e = check(c.before, "before"); !e.empty()) return e;
    if (!sh(c.del)) return "could not delete";
    return check(c.after, "after the delete");
  });
  EXPECT_EQ(err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelDumpScope,
    ::testing::Values(
        ScopeCase{"second_default_route",
                  "ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && "
                  "ip link set d0 up && ip addr add 10.77.0.2/24 dev d0 && ip route add default via 10.77.0.1 && "
                  "ip route add default via 10.77.0.254 dev d0 metric 100",
                  "0.0.0.0/10.77.0.1/d0/ 0.0.0.0/10.77.0.254/d0/scoped 10.77.0.0/0.0.0.0/d0/cloning ",
                  {{"0.0.0.0", "0.0.0.0", nullptr, 1}, {"0.0.0.0", "0.0.0.0", "d0", 1}},
                  "ip route del default via 10.77.0.1",
                  // the scoped one counts neither as unscoped nor on another interface
                  {{"0.0.0.0", "0.0.0.0", nullptr, 0}, {"0.0.0.0", "0.0.0.0", "d1", 0}}},
        ScopeCase{"second_interface_on_one_network",
                  "ip link set lo up && ip link add d0 type veth peer name d1 && "
                  "ip link add d2 type veth peer name d3 && ip link set d1 up && ip link set d0 up && "
                  "ip link set d3 up && ip link set d2 up && ip addr add 10.77.0.2/24 dev d0 && "
                  "ip addr add 10.77.0.3/24 dev d2 && ip addr add 10.66.0.2/24 dev d2",
                  "10.66.0.0/0.0.0.0/d2/cloning 10.77.0.0/0.0.0.0/d0/cloning 10.77.0.0/0.0.0.0/d2/scopedcloning ",
                  {{"10.77.0.0", "255.255.255.0", nullptr, 1},
                   {"10.77.0.0", "255.255.255.0", "d2", 1},
                   {"10.77.0.0", "255.255.255.0", "d0", 0}},
                  "ip route del 10.77.0.0/24 dev d2",
                  {{"10.77.0.0", "255.255.255.0", "d2", 0}, {"10.77.0.0", "255.255.255.0", nullptr, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CommandCase {
  const char* name;
  vpn_route_entry e;
  const char* add;
  const char* del;
};
class RouteCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(RouteCommand, AddAndDeleteTexts) {
  const CommandCase& c = GetParam();
  char out[kCommandBufferSize];
  ASSERT_EQ(build_route_command(c.e, true, out, sizeof out), 0);
  EXPECT_STREQ(out, c.add);
  ASSERT_EQ(build_route_command(c.e, false, out, sizeof out), 0);
  EXPECT_STREQ(out, c.del);
}

constexpr uint32_t H = RTF_HOST_BSD, C = RTF_CLONING_BSD, S = RTF_IFSCOPE_BSD, G = RTF_GATEWAY_BSD;

INSTANTIATE_TEST_SUITE_P(
    Cases, RouteCommand,
    ::testing::Values(
        CommandCase{"default_via_peer", entry("0.0.0.0", "0.0.0.0", "1.1.1.1", 0, 2, ""), "/sbin/route add default 1.1.1.1",
                    "/sbin/route delete default 1.1.1.1"},
        CommandCase{"split_net_through_utun", entry("10.1.2.0", "255.255.0.0", nullptr, 0, 0, "utun3"),
                    "/sbin/route add -net 10.1.2.0 -netmask 255.255.0.0 -interface utun3",
                    "/sbin/route delete -net 10.1.0.0 -netmask 255.255.0.0 -interface utun3"},
        CommandCase{"host_through_gateway", entry("192.0.2.10", "255.255.255.255", "192.168.1.1", H, 2, ""),
                    "/sbin/route add -host 192.0.2.10 -gateway 192.168.1.1",
                    "/sbin/route delete -host 192.0.2.10 -gateway 192.168.1.1"},
        CommandCase{"host_through_interface_cloning", entry("192.168.1.1", "255.255.255.255", nullptr, H | C, 0, "en0"),
                    "/sbin/route add -host 192.168.1.1 -interface en0 -cloning",
                    "/sbin/route delete -host 192.168.1.1 -interface en0 -cloning"},
        // An interface default route names the gateway 0.0.0.0; options never
        // go with a default route.
        CommandCase{"interface_default_route_has_no_options", entry("0.0.0.0", "0.0.0.0", nullptr, S | C, 18, "en0"), "/sbin/route add default 0.0.0.0",
                    "/sbin/route delete default 0.0.0.0"},
        CommandCase{"scoped_net_through_gateway", entry("10.0.0.0", "255.0.0.0", "10.77.0.1", G | S, 2, "en0"),
                    "/sbin/route add -net 10.0.0.0 -netmask 255.0.0.0 -gateway 10.77.0.1 -ifscope en0",
                    "/sbin/route delete -net 10.0.0.0 -netmask 255.0.0.0 -gateway 10.77.0.1 -ifscope en0"},
        CommandCase{"long_interface_name_cloning_scoped", entry("10.8.0.0", "255.255.0.0", nullptr, C | S, 18, "enp0s31f6"),
                    "/sbin/route add -net 10.8.0.0 -netmask 255.255.0.0 -interface enp0s31f6 -cloning -ifscope "
                    "enp0s31f6",
                    "/sbin/route delete -net 10.8.0.0 -netmask 255.255.0.0 -interface enp0s31f6 -cloning -ifscope "
                    "enp0s31f6"},
        CommandCase{"host_mask_in_net_form_utun10", entry("172.16.5.5", "255.255.255.255", "1.1.1.1", 0, 0, "utun10"),
                    "/sbin/route add -net 172.16.5.5 -netmask 255.255.255.255 -interface utun10",
                    "/sbin/route delete -net 172.16.5.5 -netmask 255.255.255.255 -interface utun10"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RouteCommand, InterfaceNamesThatCannotGoOnAShellLineAreRefused) {
  char out[kCommandBufferSize];
  for (const char* bad : {"en0;reboot", "en0 x", "$(id)", ""}) {
    vpn_route_entry e = entry("10.1.0.0", "255.255.0.0", nullptr, 0, 0, bad);
    EXPECT_EQ(build_route_command(e, true, out, sizeof out), -1) << bad;
    EXPECT_STREQ(out, "");
  }
  vpn_route_entry e = entry("10.1.0.0", "255.255.0.0", nullptr, 0, 0, "");
  std::memset(e.ifname, 'a', sizeof e.ifname);  // not terminated
  EXPECT_EQ(build_route_command(e, true, out, sizeof out), -1);
  // Through a gateway without a scope the name plays no part.
  vpn_route_entry g = entry("10.1.0.0", "255.255.0.0", "10.77.0.1", 0, 2, "en0;x");
  EXPECT_EQ(build_route_command(g, true, out, sizeof out), 0);
}

TEST(RouteCommand, TooSmallBufferIsRefusedNotCut) {
  char out[40];
  vpn_route_entry e = entry("10.1.2.0", "255.255.0.0", nullptr, 0, 0, "utun3");
  EXPECT_EQ(build_route_command(e, true, out, sizeof out), -1);
  EXPECT_STREQ(out, "");
}

TEST(RouteCommand, AddAndDeleteRunTheCommandAndLogIt) {
  CommandRecorder rec;
  LogCapture log;
  vpn_route_entry e = entry("192.168.1.1", "255.255.255.255", nullptr, H | C, 0, "en0");
  EXPECT_EQ(add_route_mac(e, 1, 2), 0);
  EXPECT_EQ(del_route_mac(e, 3, 3), 0);
  vpn_route_entry bad = entry("10.1.0.0", "255.255.0.0", nullptr, 0, 0, "a;b");
  EXPECT_EQ(add_route_mac(bad, 2, 2), 0);
  ASSERT_EQ(rec.cmds.size(), 2u);
  EXPECT_EQ(rec.cmds[0], "/sbin/route add -host 192.168.1.1 -interface en0 -cloning");
  EXPECT_EQ(rec.cmds[1], "/sbin/route delete -host 192.168.1.1 -interface en0 -cloning");
  EXPECT_TRUE(rec.waited[0]);
  EXPECT_TRUE(log.has("vpn_route_monitor at "));
  EXPECT_TRUE(log.has(
      "function: add_route_mac:Route execute '/sbin/route add -host 192.168.1.1 -interface en0 -cloning' flag is "
      "104, if is en0"));
  EXPECT_TRUE(log.has("refused"));
}

}  // namespace
