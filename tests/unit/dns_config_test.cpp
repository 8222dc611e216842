#include "client/dns_config.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/hostnet_ops.h"
#include "hostnet_test_util.h"
#include "tests/unit/sysconfig_fixture.h"

using namespace hostnet_test;
using nlohmann::ordered_json;

namespace {

// Services of every kind the read tells apart: manual with keys the daemon
// never writes, DHCP (values only in the live state), configured domains
// without servers, no DNS values at all, and one that is not active.
constexpr const char kPrefs[] = R"json({
  "ServiceOrder": ["MAN", "DHCP", "DOM", "NONE", "OFF"],
  "NetworkServices": {
    "MAN":  {"UserDefinedName": "Ethernet", "Interface": {"Type": "Ethernet"},
             "DNS": {"DomainName": "corp.test", "ServerAddresses": ["10.1.1.1", "10.0.0.53"],
                     "SearchDomains": ["b", "c"], "SearchOrder": 1}},
    "DHCP": {"UserDefinedName": "Wi-Fi", "Interface": {"Type": "IEEE80211"}, "DNS": {}},
    "DOM":  {"UserDefinedName": "USB", "Interface": {"Type": "Ethernet"},
             "DNS": {"ServerAddresses": [], "SearchDomains": ["own.test", "テストテスト"]}},
    "NONE": {"UserDefinedName": "Thunderbolt", "Interface": {"Type": "Ethernet"}, "DNS": {}},
    "OFF":  {"UserDefinedName": "Off", "Interface": {"Type": "Ethernet"}, "DNS": {"ServerAddresses": ["9.9.9.9"]}}
  }
})json";

constexpr const char kStore[] = R"json({
  "State:/Network/Service/MAN/IPv4": {}, "State:/Network/Service/DHCP/IPv4": {},
  "State:/Network/Service/DOM/IPv4": {}, "State:/Network/Service/NONE/IPv4": {},
  "State:/Network/Service/DHCP/DNS": {"ServerAddresses": ["192.168.1.1"], "SearchDomains": ["d1"]},
  "State:/Network/Service/DOM/DNS": {"ServerAddresses": ["192.168.9.9"], "SearchDomains": ["live.test"]}
})json";

std::string flush_command() {
  utsname u{};
  uname(&u);
  return dns_flush_command(u.release);
}

class DnsConfigTest : public SysconfigRoot {
 protected:
  void SetUp() override {
    SysconfigRoot::SetUp();
    write_prefs(kPrefs);
    write_store(kStore);
    seeded_ = read_json(prefs_path());
    std::memset(&m_VPNNetworkConfig, 0, sizeof m_VPNNetworkConfig);
    m_pDNSList = &m_VPNNetworkConfig.dns;
    m_pSearchDomainList = &m_VPNNetworkConfig.search_domains;
    dnsconfig = {};
  }
  void TearDown() override {
    m_pDNSList = nullptr;
    m_pSearchDomainList = nullptr;
    dnsconfig = {};
    SysconfigRoot::TearDown();
  }
  void gateway(std::vector<const char*> servers, std::vector<const char*> domains) {
    m_VPNNetworkConfig.dns.count = static_cast<uint32_t>(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) m_VPNNetworkConfig.dns.ips[i] = ip(servers[i]);
    m_VPNNetworkConfig.search_domains.count = static_cast<uint32_t>(domains.size());
    for (size_t i = 0; i < domains.size(); ++i)
      std::strcpy(m_VPNNetworkConfig.search_domains.domains[i], domains[i]);
  }
  // Compared as unordered JSON: keys the write adds come after the others.
  nlohmann::json dns(const char* id) { return nlohmann::json(read_json(prefs_path())["NetworkServices"][id]["DNS"]); }

  ordered_json seeded_;
};

TEST_F(DnsConfigTest, GatewayValuesGoFirstWhileConnectedAndTheStoreIsPutBackExactly) {
  gateway({"10.0.0.53"}, {"a", "b"});
  CommandRecorder rec;
  LogCapture log;
  EXPECT_EQ(set_vpn_dns_server_mac(&dnsconfig), 0);
  EXPECT_TRUE(log.has("vpn_version_control at "));
  EXPECT_TRUE(log.has("function: set_vpn_dns_server_mac:enter config_dns"));
  EXPECT_TRUE(log.has("function: set_vpn_dns_server_mac:active service num 4\n"));

  // No removal of duplicate servers; domains merged without duplicates;
  // keys the daemon never writes stay.
  EXPECT_EQ(dns("MAN"), nlohmann::json::parse(R"({"DomainName": "corp.test",
      "ServerAddresses": ["10.0.0.53", "10.1.1.1", "10.0.0.53"], "SearchDomains": ["a", "b", "c"], "SearchOrder": 1})"));
  EXPECT_EQ(dns("DHCP"), nlohmann::json::parse(R"({"ServerAddresses": ["10.0.0.53", "192.168.1.1"],
                                                 "SearchDomains": ["a", "b", "d1"]})"));
  // Configured domains ahead of the live ones; a multi-byte domain converts.
  EXPECT_EQ(dns("DOM"), nlohmann::json::parse(R"({"ServerAddresses": ["10.0.0.53", "192.168.9.9"],
      "SearchDomains": ["a", "b", "own.test", "テストテスト", "live.test"]})"));
  EXPECT_EQ(dns("NONE"), nlohmann::json::parse(R"({"ServerAddresses": ["10.0.0.53"], "SearchDomains": ["a", "b"]})"));
  EXPECT_EQ(dns("OFF"), seeded_["NetworkServices"]["OFF"]["DNS"]);
  EXPECT_TRUE(dns_config_kept());
  ASSERT_EQ(dnsconfig.services, (std::vector<std::string>{"MAN", "DHCP", "DOM", "NONE"}));
  const int kept_options[] = {DNSCFG_MANUAL, DNSCFG_DHCP, DNSCFG_DHCP,
                              DNSCFG_DHCP | DNSCFG_NO_SERVERS | DNSCFG_NO_SEARCH_DOMAINS};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(dnsconfig.settings[i].options, kept_options[i]) << i;
  EXPECT_TRUE(log.has("vpn_useconfig_qn2 at "));
  EXPECT_TRUE(log.has("function: set_network_service_dns:set dns for service MAN, options: 1"));
  EXPECT_TRUE(log.has("set dns for service MAN, set dns server 10.0.0.53"));
  EXPECT_TRUE(log.has("set dns for service DHCP, successful"));
  EXPECT_TRUE(log.has("function: clear_dns_cache_on_mac:" + flush_command() + " return 0"));
  EXPECT_EQ(rec.cmds, std::vector<std::string>{flush_command()});

  EXPECT_EQ(restore_dns_config(), 0);
  EXPECT_FALSE(dns_config_kept());
  EXPECT_EQ(read_json(prefs_path()), seeded_);
  EXPECT_TRUE(log.has("function: restore_dns:enter restore dns"));
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{flush_command(), flush_command()}));
}

TEST_F(DnsConfigTest, ApplyWithSettingsStillKeptPutsThemBackFirst) {
  gateway({"10.0.0.53"}, {"a"});
  set_vpn_dns_server_mac(&dnsconfig);
  gateway({"10.0.0.54"}, {"g2"});
  set_vpn_dns_server_mac(&dnsconfig);  // after a reconnection that no restore preceded
  EXPECT_EQ(dns("NONE"), nlohmann::json::parse(R"({"ServerAddresses": ["10.0.0.54"], "SearchDomains": ["g2"]})"));
  EXPECT_EQ(dns("MAN")["ServerAddresses"], nlohmann::json::parse(R"(["10.0.0.54", "10.1.1.1", "10.0.0.53"])"));
  restore_dns_config();
  EXPECT_EQ(read_json(prefs_path()), seeded_);
}

TEST_F(DnsConfigTest, NoActiveServiceOnlyFlushes) {
  write_store("{}");
  CommandRecorder rec;
  EXPECT_EQ(set_vpn_dns_server_mac(&dnsconfig), 0);
  EXPECT_FALSE(dns_config_kept());
  EXPECT_EQ(rec.cmds, std::vector<std::string>{flush_command()});
  EXPECT_EQ(read_json(prefs_path()), seeded_);
}

TEST_F(DnsConfigTest, ReadFlagsAndLogLines) {
  struct Case {
    const char* id;
    int options;
    std::vector<std::string> servers, domains;
    const char* line;
  } cases[] = {
      {"MAN", DNSCFG_MANUAL, {"10.1.1.1", "10.0.0.53"}, {"b", "c"}, "service MAN: dns method manual."},
      {"DHCP", DNSCFG_DHCP, {"192.168.1.1"}, {"d1"}, "service DHCP: dns method dhcp."},
      {"DOM", DNSCFG_DHCP, {"192.168.9.9"}, {"own.test", "テストテスト", "live.test"},
       "service DOM: dns server is empty."},
      {"NONE", DNSCFG_DHCP | DNSCFG_NO_SERVERS | DNSCFG_NO_SEARCH_DOMAINS, {}, {},
       "service NONE: dns method dhcp, but dns config is empty."},
      {"NONE", DNSCFG_DHCP | DNSCFG_NO_SERVERS | DNSCFG_NO_SEARCH_DOMAINS, {}, {},
       "service NONE: original serarch domain is not set."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    LogCapture log;
    int options = -1;
    std::vector<std::string> servers, domains;
    EXPECT_EQ(get_network_service_dns(c.id, &options, servers, domains), 0);
    EXPECT_EQ(options, c.options);
    EXPECT_EQ(servers, c.servers);
    EXPECT_EQ(domains, c.domains);
    EXPECT_TRUE(log.has(std::string("function: get_network_service_dns:") + c.line));
  }
  write_store("[]");
  LogCapture log;
  int options = 0;
  std::vector<std::string> servers, domains;
  EXPECT_EQ(get_network_service_dns("NONE", &options, servers, domains), 1);
  EXPECT_TRUE(log.has("SCDynamicStoreCreate failed, error 1001: Failed!"));
}

TEST_F(DnsConfigTest, WriteToAServiceThatIsGoneFails) {
  LogCapture log;
  EXPECT_EQ(set_network_service_dns("GONE", DNSCFG_MANUAL, {"1.2.3.4"}, {}), 1);
  EXPECT_TRUE(log.has("Set configuration failed, error 1002: Invalid argument\n"));
  // Without DNSCFG_MANUAL the server list goes, the search domains are set.
  EXPECT_EQ(set_network_service_dns("MAN", 0, {"1.2.3.4"}, {}), 0);
  EXPECT_TRUE(log.has("set dns for service MAN, set to dhcp"));
  EXPECT_EQ(dns("MAN"), nlohmann::json::parse(R"({"DomainName": "corp.test", "SearchDomains": [], "SearchOrder": 1})"));
}

TEST(DnsMerge, NoDuplicates) {
  using V = std::vector<std::string>;
  struct Case {
    V to, from, expected;
  } cases[] = {
      {{"a", "b"}, {"b", "c"}, {"a", "b", "c"}},
      {{}, {"x", "x"}, {"x"}},
      {{"a", "a"}, {"A"}, {"a", "a", "A"}},  // exact, case-sensitive; duplicates already there stay
  };
  for (auto& c : cases) {
    create_searchdomain_noduplicate(c.to, c.from);
    EXPECT_EQ(c.to, c.expected);
  }
}

TEST(DnsFlush, CommandByKernelRelease) {
  const std::map<std::string, std::string> cases = {
      {"13.4.0", "killall -HUP mDNSResponder"},
      {"12.0.0", "killall -HUP mDNSResponder"},
      {"14.0.0", "discoveryutil udnsflushcaches;discoveryutil mdnsflushcache"},
      {"23.1.0", "discoveryutil udnsflushcaches;discoveryutil mdnsflushcache"},
      {"11.4.2", "dscacheutil -flushcache"},
      {"6.1.0-28-amd64", "dscacheutil -flushcache"},
      {"", "dscacheutil -flushcache"},
      {"x14", "dscacheutil -flushcache"},
  };
  for (const auto& [release, cmd] : cases) EXPECT_EQ(dns_flush_command(release.c_str()), cmd) << release;
}

// ---- search domains through networksetup ------------------------------------------

struct ReadHook {
  std::map<std::string, std::string> outputs;  // command -> output; absent: cannot start
  std::vector<std::string> asked;
  ReadHook() {
    set_dns_read_hook([this](const std::string& cmd, std::string* out) {
      asked.push_back(cmd);
      auto it = outputs.find(cmd);
      if (it == outputs.end()) return false;
      *out = it->second;
      return true;
    });
  }
  ~ReadHook() { set_dns_read_hook(nullptr); }
};

constexpr const char kScutil[] =
    "DNS configuration\n\nresolver #1\n"
    "  search domain[0] :\t\tx.test\n  search domain[1] : y.test\n"
    "  search domain[2] : z.test\n  search domain[3] : w.test\n"
    "  nameserver[0] : 10.0.0.53\n  nameserver[1] : 10.1.1.1\n"
    "\nresolver #2\n  search domain[0] : second.test\n  nameserver[0] : 9.9.9.9\n";

class SearchDomains : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&list_, 0, sizeof list_);
    std::memset(&m_VPNNetworkConfig, 0, sizeof m_VPNNetworkConfig);
    m_pNetConfigFlag = &m_VPNNetworkConfig.header;
  }
  void domains(std::vector<std::string> d) {
    list_.count = static_cast<uint32_t>(d.size());
    for (size_t i = 0; i < d.size(); ++i) std::memcpy(list_.domains[i], d[i].c_str(), d[i].size() + 1);
  }
  _VPN_SEARCHDOMAIN_LIST_ list_;
};

TEST_F(SearchDomains, GatewayDomainsThenTheFirstResolversThree) {
  struct Case {
    const char* name;
    const char* scutil;  // null: scutil cannot be started
    std::vector<std::string> gw;
    const char* service;
    const char* kept;
    std::string cmd;
  } cases[] = {
      {"four kept, tabs, second resolver left out", kScutil, {"a", "b"}, "Wi-Fi", "x.test y.test z.test ",
       "/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" a b x.test y.test z.test "},
      {"empty service name", "resolver #1\n  nameserver[0] : 1.2.3.4\n", {"a"}, "", "",
       "/usr/sbin/networksetup -setsearchdomains \"\" a "},
      {"no scutil", nullptr, {"a"}, "Ethernet", "", "/usr/sbin/networksetup -setsearchdomains \"Ethernet\" a "},
      // Gateway text and host text reach the shell only as literal words.
      {"hostile domains and name",
       "resolver #1\n  search domain[0] : $(reboot)\n  search domain[1] : it's\n", {"x;touch${IFS}/tmp/p", "ok-1_a"},
       "Wi-Fi $(id) \"q\"", "'$(reboot)' 'it'\\''s' ",
       "/usr/sbin/networksetup -setsearchdomains 'Wi-Fi $(id) \"q\"' 'x;touch${IFS}/tmp/p' ok-1_a '$(reboot)' "
       "'it'\\''s' "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadHook hook;
    if (c.scutil) hook.outputs["scutil --dns"] = c.scutil;
    CommandRecorder rec;
    domains(c.gw);
    oldSearchDomainLen = 77;
    EXPECT_EQ(set_dns_search_domains_mac(&list_, c.service), 0);
    EXPECT_EQ(hook.asked, std::vector<std::string>{"scutil --dns"});
    EXPECT_STREQ(localsearchdomains_p, c.kept);
    EXPECT_EQ(oldSearchDomainLen, c.scutil ? static_cast<int>(std::strlen(c.kept)) : 77);
    EXPECT_EQ(rec.cmds, std::vector<std::string>{c.cmd});
  }
}

TEST_F(SearchDomains, LongDomainsAreLeftOutWholeNeverCut) {
  const std::string d255a(255, 'a'), d255b(255, 'b'), d255c(255, 'c');
  ReadHook hook;
  hook.outputs["scutil --dns"] = "resolver #1\n  search domain[0] : " + d255a + "\n  search domain[1] : " + d255b +
                                 "\n  search domain[2] : " + d255c + "\n  search domain[3] : short.test\n";
  CommandRecorder rec;
  std::vector<std::string> gw(128, std::string(200, 'g'));
  gw[1] = "second.test";
  domains(gw);
  set_dns_search_domains_mac(&list_, "Wi-Fi");
  // 511 bytes hold two of the long ones; the short one still fits after.
  EXPECT_EQ(std::string(localsearchdomains_p), d255a + " " + "short.test ");
  ASSERT_EQ(rec.cmds.size(), 1u);
  const std::string& cmd = rec.cmds[0];
  EXPECT_LE(cmd.size(), 1023u);
  EXPECT_EQ(cmd, "/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" " + gw[0] + " second.test " + gw[2] + " " +
                     gw[3] + " " + gw[4] + " short.test ");
}

TEST_F(SearchDomains, LocalDnsDisabledLeavesTheKeptOnesOut) {
  creply.flags = 0x20;
  ReadHook hook;
  hook.outputs["scutil --dns"] = kScutil;
  CommandRecorder rec;
  domains({"a"});
  set_dns_search_domains_mac(&list_, "Wi-Fi");
  EXPECT_EQ(rec.cmds, std::vector<std::string>{"/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" a "});
  // Null list or name: the domains are kept all the same, nothing is run.
  rec.cmds.clear();
  EXPECT_EQ(set_dns_search_domains_mac(nullptr, "Wi-Fi"), 0);
  EXPECT_EQ(set_dns_search_domains_mac(&list_, nullptr), 0);
  EXPECT_TRUE(rec.cmds.empty());
  EXPECT_STREQ(localsearchdomains_p, "x.test y.test z.test ");
  creply.flags = 0;
}

TEST_F(SearchDomains, PuttingTheKeptDomainsBack) {
  ReadHook hook;
  hook.outputs["scutil --dns"] = kScutil;
  CommandRecorder rec;
  domains({"a"});
  set_dns_search_domains_mac(&list_, "Wi-Fi");
  rec.cmds.clear();
  setOriginalDnsSearchDomains(1, "Wi-Fi");
  setOriginalDnsSearchDomains(0, "Wi-Fi");
  setOriginalDnsSearchDomains(2, "a$b");
  EXPECT_EQ(rec.cmds, (std::vector<std::string>{
                          "/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" x.test y.test z.test ",
                          "/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" \"\"",
                          "/usr/sbin/networksetup -setsearchdomains 'a$b' \"\""}));
}

TEST(NetworksetupReaders, ManualOrDhcpAnswers) {
  ReadHook hook;
  hook.outputs["/usr/sbin/networksetup -getdnsservers \"None\""] = "There aren't any DNS Servers set on None.\n";
  hook.outputs["/usr/sbin/networksetup -getdnsservers \"Set\""] = "10.0.0.53\n10.1.1.1\n";
  hook.outputs["/usr/sbin/networksetup -getdnsservers \"Silent\""] = "";
  hook.outputs["/usr/sbin/networksetup -getsearchdomains \"None\""] = "There aren't any Search Domains set on None.\n";
  hook.outputs["/usr/sbin/networksetup -getsearchdomains \"Set\""] = "a.test\n";
  struct Case {
    const char* name;
    int servers, domains;
  } cases[] = {{"None", 0, 0}, {"Set", 1, 1}, {"Silent", 2, 2}, {"Missing", 2, 2}, {nullptr, 2, 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(GetDnsNameManualOrDHCP(c.name), c.servers) << (c.name ? c.name : "null");
    EXPECT_EQ(GetSearchDomainsManualOrDHCP(c.name), c.domains) << (c.name ? c.name : "null");
  }
}

TEST(NetworksetupReaders, UncalledReaders) {
  ReadHook hook;
  hook.outputs["scutil --dns"] = kScutil;
  hook.outputs["/usr/sbin/networksetup -listallnetworkservices"] =
      "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\nEthernet\n";
  hook.outputs["/usr/sbin/networksetup -getinfo \"An asterisk (*) denotes that a network service is disabled.\""] =
      "An asterisk (*) denotes that a network service is disabled. is not a recognized network service.\n";
  hook.outputs["/usr/sbin/networksetup -getinfo \"Wi-Fi\""] = "DHCP Configuration\nIP address: 10.77.0.9\n";
  hook.outputs["/usr/sbin/networksetup -getinfo \"Ethernet\""] =
      "Manual Configuration\nIP address: 10.77.0.2\nSubnet mask: 255.255.255.0\n";
  char servers[256];
  EXPECT_EQ(save_original_dnsserver(servers), -1);
  EXPECT_STREQ(servers, "10.0.0.53 10.1.1.1 ");
  EXPECT_EQ(save_original_dnsserver(nullptr), -1);
  char name[80] = {};
  get_network_service_name("10.77.0.2", name);
  EXPECT_STREQ(name, "Ethernet");
  char none[80] = {};
  get_network_service_name("10.77.0.200", none);
  EXPECT_STREQ(none, "");
  // scutil missing: the ARP table is flushed, as before.
  hook.outputs.erase("scutil --dns");
  CommandRecorder rec;
  EXPECT_EQ(save_original_dnsserver(servers), -1);
  EXPECT_EQ(rec.cmds, std::vector<std::string>{"/usr/sbin/arp -a -d"});
}

}  // namespace
