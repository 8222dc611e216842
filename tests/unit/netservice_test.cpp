#include "tests/unit/log_capture.h"
#include "client/netservice.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/diag.h"
#include "client/dns_config.h"
#include "client/hostnet/route_restore.h"
#include "client/proxy/proxy.h"
#include "tests/unit/sysconfig_fixture.h"

namespace {

// One service of each kind the filter tells apart.
constexpr const char kPrefs[] = R"json({
  "ServiceOrder": ["WIFI", "ETH"],
  "NetworkServices": {
    "ETH":   {"UserDefinedName": "Ethernet", "Interface": {"Type": "Ethernet", "UserDefinedName": "Ethernet"}},
    "WIFI":  {"UserDefinedName": "Wi-Fi", "Interface": {"Type": "IEEE80211", "UserDefinedName": "Wi-Fi"}},
    "WIFI2": {"UserDefinedName": "Wi-Fi off", "Interface": {"Type": "IEEE80211"}},
    "L2TP":  {"UserDefinedName": "VPN (L2TP)", "Interface": {"Type": "PPP", "UserDefinedName": "PPP --> L2TP"}},
    "PPTP":  {"UserDefinedName": "VPN (PPTP)", "Interface": {"Type": "PPP", "UserDefinedName": "PPP --> PPTP"}},
    "DUN":   {"UserDefinedName": "Phone", "Interface": {"Type": "PPP", "UserDefinedName": "PPP --> Bluetooth DUN"}},
    "PPPOE": {"UserDefinedName": "DSL", "Interface": {"Type": "PPP", "UserDefinedName": "PPP --> Ethernet"}},
    "MODEM": {"UserDefinedName": "Modem", "Interface": {"Type": "Modem"}},
    "WWAN":  {"UserDefinedName": "Mobile", "Interface": {"Type": "WWAN"}},
    "BT":    {"UserDefinedName": "Bluetooth PAN", "Interface": {"Type": "Bluetooth"}},
    "FW":    {"UserDefinedName": "FireWire", "Interface": {"Type": "FireWire"}},
    "BOND":  {"UserDefinedName": "Bond", "Interface": {"Type": "Bond"}},
    "NOIF":  {"UserDefinedName": "No interface"},
    "LOWER": {"UserDefinedName": "lower case", "Interface": {"Type": "ethernet"}}
  }
})json";

std::string active_store() {
  std::string s = "{";
  const char* ids[] = {"ETH", "WIFI", "L2TP", "PPTP", "DUN", "PPPOE", "MODEM", "WWAN", "BT", "FW", "BOND", "NOIF", "LOWER"};
  bool first = true;
  for (const char* id : ids) {
    if (!first) s += ",";
    first = false;
    s += std::string("\"State:/Network/Service/") + id + "/IPv4\": {\"InterfaceName\": \"x\"}";
  }
  // Any value makes a service active, also an empty one.
  s += R"(, "State:/Network/Service/WIFI2/DNS": {"ServerAddresses": []}})";
  return s;
}

class NetServiceTest : public SysconfigRoot {};

TEST_F(NetServiceTest, ListsActiveServicesOfTheAcceptedTypesInOrder) {
  write_prefs(kPrefs);
  write_store(active_store());
  const std::vector<std::string> expected{"WIFI", "ETH", "PPPOE", "MODEM", "WWAN"};
  {
    LogCapture log;
    std::vector<std::string> ids;
    EXPECT_EQ(get_active_network_service(ids), 0);
    EXPECT_EQ(ids, expected);
    EXPECT_TRUE(log.has("vpn_useconfig_qn1 at "));
    EXPECT_TRUE(log.has("function: get_active_network_service:Found Active Service, ID : WIFI\n"));
    EXPECT_FALSE(log.has("Network Service:"));
  }
  {
    LogCapture log;
    std::vector<std::string> ids;
    EXPECT_EQ(get_active_network_service_qn2(ids), 0);
    EXPECT_EQ(ids, expected);
    EXPECT_TRUE(log.has("vpn_useconfig_qn2 at "));
    EXPECT_TRUE(log.has("function: get_active_network_service_qn2:"
                        "Network Service: VPN (L2TP), id: L2TP IfType: PPP, IfName PPP --> L2TP"));
    EXPECT_TRUE(log.has("Network Service: Modem, id: MODEM IfType: Modem, IfName (null)"));
    // Services without interface type are left out before the per-service line.
    EXPECT_FALSE(log.has("id: NOIF"));
  }
}

TEST_F(NetServiceTest, ServiceWithoutIPv4StateIsNotActive) {
  write_prefs(kPrefs);
  write_store(R"({"State:/Network/Service/ETH/IPv4": {}})");
  std::vector<std::string> ids;
  EXPECT_EQ(get_active_network_service(ids), 0);
  EXPECT_EQ(ids, std::vector<std::string>{"ETH"});
  // The list is appended to, never cleared.
  EXPECT_EQ(get_active_network_service(ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"ETH", "ETH"}));
}

TEST_F(NetServiceTest, EmptyOrMissingStoresGiveAnEmptyList) {
  std::vector<std::string> ids;
  EXPECT_EQ(get_active_network_service(ids), 0);
  EXPECT_EQ(get_active_network_service_qn2(ids), 0);
  write_prefs(R"({"NetworkServices": {}})");
  EXPECT_EQ(get_active_network_service(ids), 0);
  EXPECT_TRUE(ids.empty());
}

TEST_F(NetServiceTest, UnreadableStoresGiveTheFailureCodes) {
  write_prefs("{broken");
  {
    LogCapture log;
    std::vector<std::string> ids{"kept"};
    EXPECT_EQ(get_active_network_service(ids), -1);
    EXPECT_EQ(get_active_network_service_qn2(ids), 1);
    EXPECT_EQ(ids, std::vector<std::string>{"kept"});
    EXPECT_EQ(log.count("SCPreferencesCreate failed, error 1001: Failed!"), 2u);
  }
  write_prefs(kPrefs);
  write_store("[]");
  LogCapture log;
  std::vector<std::string> ids;
  EXPECT_EQ(get_active_network_service(ids), -1);
  EXPECT_EQ(get_active_network_service_qn2(ids), 1);
  EXPECT_EQ(log.count("SCDynamicStoreCreate failed, error 1001: Failed!"), 2u);
}

// Every reader and writer of a service entity fails on preferences that
// cannot be read, and the failure reads as the caller's own line.
TEST_F(NetServiceTest, UnreadablePreferencesFailEveryEntityAccessAsTheCaller) {
  write_prefs("{broken");
  struct_proxy_setting proxy{};
  std::string router, ifname;
  int options = 0;
  std::vector<std::string> servers, domains;
  const struct {
    const char* module;
    const char* func;
    std::function<int()> call;
    int failure;
  } cases[] = {
      {"vpn_useconfig_qn1", "get_network_service_proxy", [&] { return get_network_service_proxy("ETH", &proxy); }, -1},
      {"vpn_useconfig_qn1", "set_network_service_proxy", [&] { return set_network_service_proxy("ETH", &proxy); }, -1},
      {"vpn_useconfig_qn2", "get_network_service_dns",
       [&] { return get_network_service_dns("ETH", &options, servers, domains); }, 1},
      {"vpn_useconfig_qn2", "set_network_service_dns",
       [&] { return set_network_service_dns("ETH", DNSCFG_MANUAL, servers, domains); }, 1},
      {"vpn_version_control", "get_network_service_info",
       [&] { return get_network_service_info("ETH", router, ifname); }, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.func);
    LogCapture log;
    EXPECT_EQ(c.call(), c.failure);
    ASSERT_EQ(log.count("SCPreferencesCreate failed"), 1u);
    // "<module> at <line> function: <func>:<text>", under the caller's names
    const std::string head = std::string(c.module) + " at ";
    const std::string tail =
        std::string(" function: ") + c.func + ":SCPreferencesCreate failed, error 1001: Failed!";
    for (const auto& l : log.lines) {
      if (l.find("SCPreferencesCreate") == std::string::npos) continue;
      ASSERT_TRUE(l.size() > head.size() + tail.size() && l.starts_with(head) && l.ends_with(tail)) << l;
      const std::string number = l.substr(head.size(), l.size() - head.size() - tail.size());
      EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << l;
    }
  }
}

struct ConvCase {
  const char* name;
  const char* text;  // null: a null string
  bool ok;
  const char* message;  // expected log part, or null
};

class StringConversion : public ::testing::TestWithParam<ConvCase> {};

TEST_P(StringConversion, BothTwins) {
  const ConvCase& c = GetParam();
  CFStringRef s = c.text ? CFStringCreateWithCString(c.text, kCFStringEncodingUTF8) : nullptr;
  for (int twin = 0; twin < 2; ++twin) {
    LogCapture log;
    std::string out = "before";
    bool ok = twin == 0 ? CFStringToCString(s, kCFStringEncodingUTF8, out)
                        : CFStringToCStringQN2(s, kCFStringEncodingUTF8, out);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(out, c.ok ? std::string(c.text) : std::string("before"));
    const std::string func = twin == 0 ? "CFStringToCString" : "CFStringToCStringQN2";
    if (c.message) {
      ASSERT_EQ(log.lines.size(), 1u);
      EXPECT_NE(log.lines[0].find("function: " + func + ":" + func + c.message), std::string::npos) << log.lines[0];
    } else {
      EXPECT_TRUE(log.lines.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringConversion,
    ::testing::Values(ConvCase{"null", nullptr, false, ", cfstr is NULL."},
                      ConvCase{"ascii_direct", "en0", true, nullptr},
                      ConvCase{"two_byte", "caf\xC3\xA9", true, nullptr},
                      // Katakana: 3 bytes for each UTF-16 unit.
                      ConvCase{"three_byte", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", true, nullptr},
                      // A surrogate pair: 4 bytes for 2 units.
                      ConvCase{"four_byte", "x\xF0\x9F\x98\x80", true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CFNumberToIntTest, IntegersOnly) {
  int v = 9;
  EXPECT_FALSE(CFNumberToInt(nullptr, &v));
  EXPECT_FALSE(CFNumberToInt(CFNumberCreateDouble(1.0), &v));
  EXPECT_EQ(v, 9);
  EXPECT_TRUE(CFNumberToInt(CFNumberCreateInt(1), &v));
  EXPECT_EQ(v, 1);
  EXPECT_FALSE(CFNumberToInt(CFNumberCreateInt(int64_t{3} << 31), &v));
  EXPECT_FALSE(CFNumberToInt(CFStringCreateWithCString("1", kCFStringEncodingUTF8), &v));
}

}  // namespace
