#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "hostnet_test_util.h"

using namespace hostnet_test;

namespace {

std::string mac_of(const std::vector<uint8_t>& dump, const char* addr) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[dump.size() ? dump.size() : 1]);
  if (!dump.empty()) std::memcpy(exact.get(), dump.data(), dump.size());
  char text[kMacTextSize] = {};
  walk_arp_dump(exact.get(), dump.size(), addr ? ip(addr) : 0, print_entry, text);
  return text;
}

const std::vector<uint8_t> kMacA = {0x00, 0x0c, 0x29, 0x0a, 0x00, 0x01};
const std::vector<uint8_t> kMacB = {0x00, 0x1c, 0x42, 0x0a, 0x0b, 0x0c};

TEST(ArpWalk, PrintsTheMacOfTheWantedAddress) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.9", kMacB));
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA));
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "0:c:29:a:0:1");
  EXPECT_EQ(mac_of(dump, "10.77.0.9"), "0:1c:42:a:b:c");
  EXPECT_EQ(mac_of(dump, "10.77.0.2"), "");
}

TEST(ArpWalk, TheLastMatchingEntryWins) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA, "en0", 2));
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacB, "en1", 3));
  rtdump::append_arp_message(dump, arp("10.77.0.1", {}, "en2", 4));  // incomplete: no address
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "0:1c:42:a:b:c");
}

TEST(ArpWalk, LongInterfaceNamesPutTheMacFurtherOn) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA, "enp0s31f6abcdef", 2));
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "0:c:29:a:0:1");
}

TEST(ArpWalk, FewerThanSixAddressBytesGiveNoMac) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", {0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "");
}

TEST(ArpWalk, AddressBytesClaimedPastTheMessageAreNotRead) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA, "en0"));
  // The link-level record claims a name longer than what the message holds.
  dump[rtdump::kRtMsgHdrSize + rtdump::kSockaddrInarpSize + 5] = 200;
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "");
}

TEST(ArpWalk, SinLenDecidesWhereTheLinkRecordStarts) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA));
  // A length of 12 rounds up to 16: the same place as before.
  dump[rtdump::kRtMsgHdrSize] = 12;
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "0:c:29:a:0:1");
  // A length of 0 counts as 8: the record is then read from the middle of
  // the IPv4 record, which holds no usable address length.
  dump[rtdump::kRtMsgHdrSize] = 0;
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "");
}

struct Broken {
  const char* name;
  int how;
};
class ArpBroken : public ::testing::TestWithParam<Broken> {};

TEST_P(ArpBroken, WalkEndsAndKeepsWhatItFound) {
  std::vector<uint8_t> dump;
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacA));
  const size_t second = dump.size();
  rtdump::append_arp_message(dump, arp("10.77.0.1", kMacB));
  rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(dump.data() + second);
  h.rtm_msglen = GetParam().how == 0 ? 0 : static_cast<uint16_t>(dump.size() - second + 4);
  rtdump::encode_rt_msghdr(h, dump.data() + second);
  LogCapture log;
  EXPECT_EQ(mac_of(dump, "10.77.0.1"), "0:c:29:a:0:1");
  EXPECT_TRUE(log.has("walk ended"));
}

INSTANTIATE_TEST_SUITE_P(Cases, ArpBroken, ::testing::Values(Broken{"zero_length", 0}, Broken{"past_the_dump", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SethostMac, PinsTheNextHopOnItsInterface) {
  DumpSource src;
  rtdump::append_arp_message(src.arp, arp("10.77.0.1", kMacA));
  CommandRecorder rec;
  sethost_mac(ip("10.77.0.1"), "en0");
  ASSERT_EQ(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "/usr/sbin/arp -s 10.77.0.1 0:c:29:a:0:1 ifscope en0");
}

TEST(SethostMac, AddressZeroPinsNothing) {
  DumpSource src;
  rtdump::append_arp_message(src.arp, arp("10.77.0.1", kMacA));
  CommandRecorder rec;
  LogCapture log;
  sethost_mac(0, "en0");
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_TRUE(log.has("no IPv4 next hop"));
}

TEST(SethostMac, FailedDumpIsLoggedAndPinsNothing) {
  DumpSource src;
  src.fail_arp = true;
  CommandRecorder rec;
  LogCapture log;
  sethost_mac(ip("10.77.0.1"), "en0");  // returns: the daemon goes on
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_TRUE(log.has("route-sysctl-estimate"));
}

TEST(SethostMac, IncompleteEntryOrUnusableNamePinsNothing) {
  DumpSource src;
  rtdump::append_arp_message(src.arp, arp("10.77.0.1", {}));
  rtdump::append_arp_message(src.arp, arp("10.77.0.2", kMacA));
  CommandRecorder rec;
  sethost_mac(ip("10.77.0.1"), "en0");
  sethost_mac(ip("10.77.0.2"), "en0;reboot");
  EXPECT_TRUE(rec.cmds.empty());
}

}  // namespace
