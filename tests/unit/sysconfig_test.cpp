#include "platform/sysconfig.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/unit/sysconfig_fixture.h"

namespace {

using nlohmann::ordered_json;

constexpr const char kPrefs[] = R"({
  "ServiceOrder": ["B", "A"],
  "NetworkServices": {
    "A": {"UserDefinedName": "Ethernet", "Interface": {"Type": "Ethernet", "DeviceName": "en0",
          "UserDefinedName": "Ethernet"},
          "IPv4": {"ConfigMethod": "Manual", "Router": "10.77.0.1"},
          "Proxies": {"HTTPEnable": 1, "HTTPPort": 8080, "Ratio": 0.5, "ExceptionsList": ["*.local", "169.254/16"]}},
    "B": {"UserDefinedName": "Wi-Fi", "Interface": {"Type": "IEEE80211", "DeviceName": "en1"}},
    "C": {"UserDefinedName": "Bluetooth PAN", "Interface": {"Type": "Bluetooth"}}
  }
})";

class SysconfigTest : public SysconfigRoot {};

TEST_F(SysconfigTest, ServicesComeInServiceOrderThenFileOrder) {
  write_prefs(kPrefs);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(p);
  auto all = SCNetworkServiceCopyAll(p);
  ASSERT_TRUE(all.has_value());
  std::vector<std::string> ids;
  for (const auto& s : *all) ids.push_back(CFStringGetText(SCNetworkServiceGetServiceID(s)));
  EXPECT_EQ(ids, (std::vector<std::string>{"B", "A", "C"}));
  auto iface = SCNetworkServiceGetInterface((*all)[1]);
  EXPECT_TRUE(CFStringEqual(SCNetworkInterfaceGetInterfaceType(iface), "Ethernet"));
  EXPECT_TRUE(CFStringEqual(SCNetworkInterfaceGetBSDName(iface), "en0"));
  EXPECT_TRUE(CFStringEqual(SCNetworkServiceGetName((*all)[0]), "Wi-Fi"));
  EXPECT_EQ(SCNetworkInterfaceGetLocalizedDisplayName(SCNetworkServiceGetInterface((*all)[0])), nullptr);
}

TEST_F(SysconfigTest, JsonNumbersKeepTheirKindThroughACommit) {
  write_prefs(kPrefs);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(p);
  auto a = SCNetworkServiceCopy(p, "A");
  auto proxies = SCNetworkProtocolGetConfiguration(SCNetworkServiceCopyProtocol(a, kSCNetworkProtocolTypeProxies));
  CFTypeRef port = CFDictionaryGetValue(proxies, kSCPropNetProxiesHTTPPort);
  CFTypeRef ratio = CFDictionaryGetValue(proxies, "Ratio");
  ASSERT_TRUE(CFIsNumber(port) && CFIsNumber(ratio));
  EXPECT_FALSE(CFNumberIsFloatType(port));
  EXPECT_TRUE(CFNumberIsFloatType(ratio));
  EXPECT_EQ(CFArrayGetCount(CFDictionaryGetValue(proxies, kSCPropNetProxiesExceptionsList)), 2);

  // Write the DNS entity whole; everything else must come back as it was.
  auto dns = CFDictionaryCreateMutable();
  auto servers = CFArrayCreateMutable();
  CFArrayAppendValue(servers, CFStringCreateWithCString("10.0.0.53", kCFStringEncodingUTF8));
  CFDictionarySetValue(dns, kSCPropNetDNSServerAddresses, servers);
  CFDictionarySetValue(dns, kSCPropNetDNSSearchDomains, CFArrayCreateMutable());
  auto ipv4 = SCNetworkServiceCopyProtocol(a, kSCNetworkProtocolTypeIPv4);
  auto mproxies = CFDictionaryCreateMutableCopy(proxies);
  CFDictionarySetValue(mproxies, kSCPropNetProxiesHTTPPort, CFNumberCreateInt(3128));
  ASSERT_TRUE(SCNetworkProtocolSetConfiguration(SCNetworkServiceCopyProtocol(a, kSCNetworkProtocolTypeProxies), mproxies));
  ASSERT_TRUE(ipv4);
  // No DNS entity yet: there is no protocol to take.
  EXPECT_EQ(SCNetworkServiceCopyProtocol(a, kSCNetworkProtocolTypeDNS), nullptr);
  ASSERT_TRUE(SCPreferencesSetValue(p, "Marker", CFNumberCreateDouble(2.0)));
  ASSERT_TRUE(SCPreferencesCommitChanges(p));
  ASSERT_TRUE(SCPreferencesApplyChanges(p));

  ordered_json j = read_json(prefs_path());
  EXPECT_EQ(j["NetworkServices"]["A"]["Proxies"]["HTTPPort"], 3128);
  EXPECT_TRUE(j["NetworkServices"]["A"]["Proxies"]["HTTPEnable"].is_number_integer());
  EXPECT_TRUE(j["NetworkServices"]["A"]["Proxies"]["Ratio"].is_number_float());
  EXPECT_TRUE(j["Marker"].is_number_float());
  EXPECT_EQ(j["NetworkServices"]["A"]["IPv4"]["Router"], "10.77.0.1");
  EXPECT_EQ(j["ServiceOrder"], ordered_json::parse(R"(["B","A"])"));
  // Objects keep their file order.
  std::vector<std::string> keys;
  for (auto it = j["NetworkServices"].begin(); it != j["NetworkServices"].end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_FALSE(std::filesystem::exists(prefs_path() + ".tmp"));

  // A set entity and a removed one.
  ordered_json seeded = j;
  seeded["NetworkServices"]["A"]["DNS"] = ordered_json::object();
  write_prefs(seeded.dump());
  SCPreferencesRef q = SCPreferencesCreate("TevraVPN", nullptr);
  auto qa = SCNetworkServiceCopy(q, "A");
  ASSERT_TRUE(SCNetworkProtocolSetConfiguration(SCNetworkServiceCopyProtocol(qa, kSCNetworkProtocolTypeDNS), dns));
  ASSERT_TRUE(SCNetworkProtocolSetConfiguration(SCNetworkServiceCopyProtocol(qa, kSCNetworkProtocolTypeProxies), nullptr));
  ASSERT_TRUE(SCPreferencesCommitChanges(q));
  j = read_json(prefs_path());
  EXPECT_EQ(j["NetworkServices"]["A"]["DNS"], ordered_json::parse(R"({"SearchDomains":[],"ServerAddresses":["10.0.0.53"]})"));
  // No configuration: the entity stays, empty, and reads as none.
  EXPECT_EQ(j["NetworkServices"]["A"]["Proxies"], ordered_json::object());
  auto r = SCNetworkServiceCopyProtocol(SCNetworkServiceCopy(SCPreferencesCreate("TevraVPN", nullptr), "A"),
                                        kSCNetworkProtocolTypeProxies);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(SCNetworkProtocolGetConfiguration(r), nullptr);
}

TEST_F(SysconfigTest, CommitKeepsWhatAnotherWriterCommittedMeanwhile) {
  write_prefs(kPrefs);
  SCPreferencesRef first = SCPreferencesCreate("TevraVPN", nullptr);
  SCPreferencesRef second = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(first && second);
  auto d1 = CFDictionaryCreateMutable();
  CFDictionarySetValue(d1, kSCPropNetIPv4ConfigMethod, CFStringCreateWithCString("DHCP", kCFStringEncodingUTF8));
  ASSERT_TRUE(SCNetworkProtocolSetConfiguration(
      SCNetworkServiceCopyProtocol(SCNetworkServiceCopy(first, "A"), kSCNetworkProtocolTypeIPv4), d1));
  ASSERT_TRUE(SCPreferencesSetValue(second, "Other", CFNumberCreateInt(7)));
  ASSERT_TRUE(SCPreferencesCommitChanges(second));
  ASSERT_TRUE(SCPreferencesCommitChanges(first));
  ordered_json j = read_json(prefs_path());
  EXPECT_EQ(j["Other"], 7);
  EXPECT_EQ(j["NetworkServices"]["A"]["IPv4"], ordered_json::parse(R"({"ConfigMethod":"DHCP"})"));
}

TEST_F(SysconfigTest, CommitKeepsTheFileMode) {
  write_prefs(kPrefs);
  ASSERT_EQ(::chmod(prefs_path().c_str(), 0600), 0);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(SCPreferencesSetValue(p, "X", CFNumberCreateInt(1)));
  ASSERT_TRUE(SCPreferencesCommitChanges(p));
  struct stat st{};
  ASSERT_EQ(::stat(prefs_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SysconfigTest, MissingFilesAreEmptyStores) {
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(p);
  EXPECT_FALSE(SCNetworkServiceCopyAll(p).has_value());
  EXPECT_EQ(SCNetworkServiceCopy(p, "A"), nullptr);
  SCDynamicStoreRef s = SCDynamicStoreCreate("TevraVPN", nullptr, nullptr);
  ASSERT_TRUE(s);
  EXPECT_EQ(SCDynamicStoreCopyValue(s, "State:/Network/Global/IPv4"), nullptr);
  // The first commit makes the file.
  ASSERT_TRUE(SCPreferencesSetValue(p, "ServiceOrder", CFArrayCreateMutable()));
  ASSERT_TRUE(SCPreferencesCommitChanges(p));
  EXPECT_EQ(read_json(prefs_path()), ordered_json::parse(R"({"ServiceOrder":[]})"));
}

TEST_F(SysconfigTest, MalformedFilesCannotBeOpened) {
  for (const char* text : {"{\"NetworkServices\": ", "[1, 2]", "\"text\""}) {
    write_prefs(text);
    write_store(text);
    EXPECT_EQ(SCPreferencesCreate("TevraVPN", nullptr), nullptr) << text;
    EXPECT_EQ(SCError(), kSCStatusFailed);
    EXPECT_STREQ(SCErrorString(SCError()), "Failed!");
    EXPECT_EQ(SCDynamicStoreCreate("TevraVPN", nullptr, nullptr), nullptr) << text;
  }
}

TEST_F(SysconfigTest, DynamicStoreValues) {
  write_store(R"({"State:/Network/Service/A/IPv4": {"InterfaceName": "en0", "Router": "10.77.0.1",
                   "Addresses": ["10.77.0.2"]},
                  "State:/Network/Global/IPv4": {"PrimaryInterface": "en0", "PrimaryService": "A"}})");
  SCDynamicStoreRef s = SCDynamicStoreCreate("TevraVPN", nullptr, nullptr);
  ASSERT_TRUE(s);
  CFTypeRef v = SCDynamicStoreCopyValue(s, "State:/Network/Service/A/IPv4");
  ASSERT_TRUE(CFIsDictionary(v));
  EXPECT_EQ(CFStringGetText(CFDictionaryGetValue(v, kSCPropInterfaceName)), "en0");
  EXPECT_EQ(CFStringGetText(CFArrayGetValueAtIndex(CFDictionaryGetValue(v, "Addresses"), 0)), "10.77.0.2");
  EXPECT_EQ(SCDynamicStoreCopyValue(s, "State:/Network/Service/B/IPv4"), nullptr);
  EXPECT_EQ(SCError(), kSCStatusNoKey);
}

TEST_F(SysconfigTest, LockIsExclusiveAcrossHandles) {
  write_prefs(kPrefs);
  SCPreferencesRef a = SCPreferencesCreate("TevraVPN", nullptr);
  SCPreferencesRef b = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(SCPreferencesLock(a, false));
  EXPECT_FALSE(SCPreferencesLock(b, false));
  EXPECT_EQ(SCError(), kSCStatusLocked);
  // A commit under the held lock does not wait for itself.
  ASSERT_TRUE(SCPreferencesSetValue(a, "X", CFNumberCreateInt(1)));
  ASSERT_TRUE(SCPreferencesCommitChanges(a));
  ASSERT_TRUE(SCPreferencesUnlock(a));
  ASSERT_TRUE(SCPreferencesLock(b, false));
  // Locking re-reads: b sees a's commit.
  EXPECT_EQ(CFStringGetText(SCPreferencesGetValue(b, "X")), "");
  int32_t x = 0;
  EXPECT_TRUE(CFNumberGetSInt32(SCPreferencesGetValue(b, "X"), &x));
  EXPECT_EQ(x, 1);
  a.reset();  // releasing a handle that holds no lock changes nothing
  EXPECT_TRUE(SCPreferencesUnlock(b));
}

TEST(CFValues, Strings) {
  CFStringRef ascii = CFStringCreateWithCString("en0", kCFStringEncodingUTF8);
  CFStringRef euro = CFStringCreateWithCString("\xE2\x82\xAC\xE2\x82\xAC", kCFStringEncodingUTF8);
  CFStringRef emoji = CFStringCreateWithCString("\xF0\x9F\x98\x80", kCFStringEncodingUTF8);
  EXPECT_EQ(CFStringCreateWithCString("\xC3", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString("\xC3\xA9", kCFStringEncodingASCII), nullptr);
  ASSERT_TRUE(ascii && euro && emoji);
  EXPECT_STREQ(CFStringGetCStringPtr(ascii, kCFStringEncodingUTF8), "en0");
  EXPECT_EQ(CFStringGetCStringPtr(euro, kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringGetLength(euro), 2);
  EXPECT_EQ(CFStringGetLength(emoji), 2);
  char buf[7];
  EXPECT_FALSE(CFStringGetCString(euro, buf, 6, kCFStringEncodingUTF8));
  ASSERT_TRUE(CFStringGetCString(euro, buf, 7, kCFStringEncodingUTF8));
  EXPECT_STREQ(buf, "\xE2\x82\xAC\xE2\x82\xAC");
  EXPECT_FALSE(CFStringGetCString(euro, buf, 7, kCFStringEncodingASCII));
  EXPECT_FALSE(CFIsString(CFNumberCreateInt(1)));
}

TEST(CFValues, Numbers) {
  int32_t v = 5;
  EXPECT_TRUE(CFNumberGetSInt32(CFNumberCreateInt(-7), &v));
  EXPECT_EQ(v, -7);
  v = 5;
  EXPECT_FALSE(CFNumberGetSInt32(CFNumberCreateInt(int64_t{1} << 40), &v));
  EXPECT_EQ(v, 5);
  EXPECT_FALSE(CFNumberGetSInt32(CFNumberCreateDouble(1.5), &v));
  EXPECT_TRUE(CFNumberIsFloatType(CFNumberCreateDouble(1.0)));
  EXPECT_FALSE(CFNumberIsFloatType(CFNumberCreateInt(1)));
  EXPECT_FALSE(CFNumberGetSInt32(CFStringCreateWithCString("1", kCFStringEncodingUTF8), &v));
}

// The resolver that apply renders, from one preferences/dynamic-store pair.
struct ResolverCase {
  const char* name;
  const char* prefs;
  const char* store;
  const char* expected;
};

class ResolverRendering : public SysconfigRoot, public ::testing::WithParamInterface<ResolverCase> {};

TEST_P(ResolverRendering, ApplyWritesThePrimaryServicesResolver) {
  const ResolverCase& c = GetParam();
  std::filesystem::create_directories(root_ + "/var/run");
  write_prefs(c.prefs);
  write_store(c.store);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(p);
  ASSERT_TRUE(SCPreferencesApplyChanges(p));
  std::ifstream f(root_ + "/var/run/resolv.conf");
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_EQ(text.str(), c.expected);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/var/run/resolv.conf.tmp"));
}

constexpr const char kTwoServices[] = R"({"ServiceOrder": ["B", "A"], "NetworkServices": {
  "A": {"DNS": {"ServerAddresses": ["10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"], "SearchDomains": ["a.test"]}},
  "B": {"DNS": {"ServerAddresses": [], "SearchDomains": ["b.test", "bad word", "b2.test"]}}}})";

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolverRendering,
    ::testing::Values(
        // The global primary service, at most three servers.
        ResolverCase{"global_primary", kTwoServices,
                     R"({"State:/Network/Global/IPv4": {"PrimaryService": "A"},
                         "State:/Network/Service/A/IPv4": {}, "State:/Network/Service/B/IPv4": {}})",
                     "search a.test\nnameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n"},
        // An inactive primary gives way to the first active one in service
        // order; its empty server list gives way to the live one; a word
        // with a blank never reaches the file.
        ResolverCase{"first_active_and_live_servers", kTwoServices,
                     R"({"State:/Network/Global/IPv4": {"PrimaryService": "C"},
                         "State:/Network/Service/A/IPv4": {}, "State:/Network/Service/B/IPv4": {},
                         "State:/Network/Service/B/DNS": {"ServerAddresses": ["192.168.1.1"],
                                                          "SearchDomains": ["live.test"]}})",
                     "search b.test b2.test\nnameserver 192.168.1.1\n"},
        ResolverCase{"no_active_service", kTwoServices, R"({})", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SysconfigTest, ApplyWritesNoResolverWhereTheDirectoryIsMissing) {
  write_prefs(kPrefs);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  ASSERT_TRUE(SCPreferencesApplyChanges(p));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/var"));
}

TEST_F(SysconfigTest, WritersShareTheDirectoryLock) {
  write_prefs(kPrefs);
  const std::string dir = std::filesystem::path(prefs_path()).parent_path();
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  SCPreferencesRef p = SCPreferencesCreate("TevraVPN", nullptr);
  EXPECT_FALSE(SCPreferencesLock(p, false));
  EXPECT_EQ(SCError(), kSCStatusLocked);
  ::close(fd);
  EXPECT_TRUE(SCPreferencesLock(p, false));
}

}  // namespace
