#include <gtest/gtest.h>

#include "tests/unit/log_capture.h"
#include "tests/unit/proxy_fixture.h"

namespace {

class ServiceProxy : public ProxyRoot {
 public:
  nlohmann::json plain(const nlohmann::ordered_json& j) { return nlohmann::json::parse(j.dump()); }
};

constexpr char kThree[] = R"j({"ServiceOrder": ["ETH", "WIFI", "BARE", "OFF"], "NetworkServices": {
  "ETH": {"Interface": {"Type": "Ethernet"}, "Proxies": {
    "HTTPEnable": 1, "HTTPProxy": "manual.example", "HTTPPort": 8080, "FTPEnable": 1.0,
    "ProxyAutoConfigEnable": 0, "ProxyAutoConfigURLString": "http://kept-off.example/p.pac",
    "ExceptionsList": ["*.local"], "FTPPassive": 1}},
  "WIFI": {"Interface": {"Type": "IEEE80211"}, "Proxies": {
    "ProxyAutoConfigEnable": 1, "ProxyAutoConfigURLString": "file://localhost/Users/me/own.pac",
    "ProxyAutoDiscoveryEnable": 1}},
  "BARE": {"Interface": {"Type": "Ethernet"}},
  "OFF": {"Interface": {"Type": "Ethernet"}, "Proxies": {"HTTPEnable": 1}}}})j";
constexpr char kActive[] = R"j({"State:/Network/Service/ETH/IPv4": {}, "State:/Network/Service/WIFI/IPv4": {},
  "State:/Network/Service/BARE/IPv4": {}})j";

TEST_F(ServiceProxy, SwitchesEveryActiveServiceAndPutsEachBackExactly) {
  write_prefs(kThree);
  write_store(kActive);
  write_file(pac_dir() + "tev_prox12345.pac", "an earlier installation");
  write_file(pac_path(), "function FindProxyForURL(u, h) { return \"DIRECT\"; }\n");
  const auto before = plain(read_json(prefs_path()));
  LogCapture log;
  setvpnproxy_mac();
  auto files = installed();
  ASSERT_EQ(files.size(), 1u);
  const std::string url = "file://localhost/Library/Frameworks/" + files[0].substr(pac_dir().size());
  for (const char* id : {"ETH", "WIFI"}) {
    SCOPED_TRACE(id);
    auto p = proxies_of(id);
    EXPECT_EQ(p["ProxyAutoConfigEnable"], 1);
    EXPECT_EQ(p["ProxyAutoConfigURLString"], url);
    for (const char* off : {"ProxyAutoDiscoveryEnable", "HTTPEnable", "HTTPSEnable", "FTPEnable", "SOCKSEnable",
                            "RTSPEnable", "GopherEnable"})
      EXPECT_EQ(p[off], 0) << off;
  }
  EXPECT_EQ(proxies_of("ETH")["HTTPProxy"], "manual.example");
  EXPECT_TRUE(log.has("get proxy for service BARE, setting is empty"));
  EXPECT_TRUE(log.has("Failed to get proxy for MacOS"));
  ASSERT_EQ(proxy_list_mac.size(), 2u);
  // The ftp switch stored as a floating-point number reads as off.
  EXPECT_FALSE(proxy_list_mac[0].ftp_enable);
  EXPECT_TRUE(proxy_list_mac[0].http_enable);
  EXPECT_EQ(proxy_list_mac[1].auto_config_url, "file://localhost/Users/me/own.pac");

  setoriginalproxy_mac(&s);
  EXPECT_TRUE(proxy_list_mac.empty());
  EXPECT_EQ(plain(read_json(prefs_path())), before);  // value, type and absence, as they were
  EXPECT_EQ(installed().size(), 1u);                  // the installed file stays
}

TEST_F(ServiceProxy, CommittedSwitchIsWrittenBackEvenWhenApplyingFailed) {
  struct row {
    const char* name;
    std::string blocked;  // made a directory, so that writing that file fails
    const char* log;
    std::size_t kept;
  };
  const row rows[] = {
      // The switch is in the preferences: the teardown must put it back.
      {"apply fails", root_ + "/var/run/resolv.conf.tmp", "Apply change failed", 2},
      // Nothing was written: there is nothing to put back.
      {"commit fails", prefs_path() + ".tmp", "Commit change failed", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    proxy_reset_for_test();
    write_prefs(kThree);
    write_store(kActive);
    const auto before = plain(read_json(prefs_path()));
    std::filesystem::create_directories(r.blocked);
    LogCapture log;
    setvpnproxy_mac();
    EXPECT_TRUE(log.has(r.log));
    EXPECT_TRUE(log.has("Failed to set proxy for MacOS"));
    EXPECT_EQ(proxy_list_mac.size(), r.kept);
    if (r.kept) {
      EXPECT_EQ(proxies_of("ETH")["ProxyAutoConfigEnable"], 1);
    }
    setoriginalproxy_mac(&s);
    EXPECT_EQ(plain(read_json(prefs_path())), before);
    std::filesystem::remove_all(r.blocked);
  }
}

TEST_F(ServiceProxy, NoServiceListChangesNothing) {
  write_prefs("not json");
  LogCapture log;
  setvpnproxy_mac();
  EXPECT_TRUE(log.has("Failed to set proxy for MacOS"));
  EXPECT_TRUE(commands.empty());
  EXPECT_TRUE(proxy_list_mac.empty());
}

}  // namespace
