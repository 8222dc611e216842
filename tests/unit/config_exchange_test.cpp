// The configuration exchange over an in-memory stream: the tunnel request
// byte for byte, the 'P' and 'T' requests, the store filled exactly by a
// good record sequence, every failure path, a fixed-seed fuzz loop, and the
// reconnection drain with its utun operations replaced.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/log_capture.h"
#include "tests/unit/tls_test_server.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/session.h"
#include "client/session/config_exchange.h"
#include "client/session/gateway_conn.h"
#include "client/session/tls_methods.h"
#include "client/tunnel_ops.h"
#include "platform/iflist.h"
#include "tests/unit/retired_fd.h"

void alloc_track_begin();
std::size_t alloc_track_end();

namespace {
struct Wire {
  std::vector<uint8_t> b;
  Wire& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Wire& le32(uint32_t v) {
    for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
    return *this;
  }
  Wire& be32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
    return *this;
  }
  Wire& raw32(uint32_t v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + 4);
    return *this;
  }
  Wire& bytes(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Wire& fill(std::size_t n, uint8_t v = 0) {
    b.insert(b.end(), n, v);
    return *this;
  }
  Wire& append(const Wire& w) {
    b.insert(b.end(), w.b.begin(), w.b.end());
    return *this;
  }
  Wire& msg(uint8_t type) { return u8(type).fill(11).le32(0); }
  Wire& host(uint32_t ip, const std::string& name) {
    return raw32(ip).be32(static_cast<uint32_t>(name.size() + 1)).bytes(name).u8(0);
  }
  Wire& command(const std::string& t) { return be32(static_cast<uint32_t>(t.size() + 1)).bytes(t).u8(0); }
  Wire& resource(const char* ip, const char* mask, uint8_t type, uint8_t match = 0, uint16_t port = 0) {
    raw32(inet_addr(ip)).raw32(inet_addr(mask)).u8(0).u8(match);
    u8(static_cast<uint8_t>(port)).u8(static_cast<uint8_t>(port >> 8)).fill(8);
    return u8(type).fill(3);
  }
};

// What a gateway sends after 'P' and after 'T', built from a scenario.
struct Scenario {
  uint8_t common_type = 'Q';
  uint32_t keepalive = 30;
  Wire hosts, launch, disconnect;
  uint8_t net_type = 'U';
  uint32_t flags = NETCFG_LOCAL_ACCESS;
  uint32_t clientip = inet_addr("10.9.0.5");
  uint32_t mask = inet_addr("255.255.255.0");
  Wire res, excl, proxy, dns;
  uint32_t res_count = 0, excl_count = 0, dns_count = 0;
  std::string search;

  // Offsets of each part in the stream, for cutting it inside one.
  std::map<std::string, std::size_t> at;

  std::vector<uint8_t> build() {
    Wire w;
    at["qheader"] = w.b.size();
    w.msg(common_type);
    at["common"] = w.b.size();
    w.le32(0).le32(0).le32(keepalive).le32(2).le32(3).le32(2).fill(16);
    w.le32(uint32_t(hosts.b.size())).le32(uint32_t(launch.b.size())).le32(uint32_t(disconnect.b.size())).le32(0);
    at["hosts"] = w.b.size();
    w.append(hosts);
    at["launch"] = w.b.size();
    w.append(launch);
    at["disconnect"] = w.b.size();
    w.append(disconnect);
    at["uheader"] = w.b.size();
    w.msg(net_type);
    at["network"] = w.b.size();
    w.le32(flags).le32(res_count).le32(excl_count).le32(uint32_t(proxy.b.size())).raw32(clientip).raw32(mask);
    w.le32(dns_count).le32(0).le32(uint32_t(search.size()));
    at["resources"] = w.b.size();
    w.append(res);
    at["excluded"] = w.b.size();
    w.append(excl);
    at["proxy"] = w.b.size();
    w.append(proxy);
    at["dns"] = w.b.size();
    w.append(dns);
    at["search"] = w.b.size();
    w.bytes(search);
    at["end"] = w.b.size();
    return w.b;
  }
};

Scenario full_scenario() {
  Scenario sc;
  sc.hosts.host(inet_addr("10.1.0.10"), "wiki.corp.test").host(0, "portal.corp.test");
  sc.launch.command("echo up");
  sc.disconnect.command("echo down").command("echo bye");
  sc.res.resource("10.1.0.0", "255.255.0.0", 1, PORT_MATCH_ONE, 443)
      .resource("10.2.0.0", "255.255.0.0", 2)
      .resource("10.1.0.0", "255.255.255.0", 1)
      .resource("172.20.0.0", "255.252.0.0", 0);
  sc.res_count = 4;
  sc.excl.resource("10.1.99.0", "255.255.255.0", 1);
  sc.excl_count = 1;
  sc.proxy.be32(PROXY_SCRIPT).be32(23).bytes("http://pac.corp.test/p").u8(0).u8(0);
  sc.dns.raw32(inet_addr("10.1.0.53")).raw32(inet_addr("10.1.0.54"));
  sc.dns_count = 2;
  sc.search = "corp.test,lab.corp.test";
  return sc;
}

// A fixed host for the 'T' request.
iflist_entry iface(const char* name, bool up, bool running, bool loopback, const char* ip, bool ether,
                   uint8_t mac_last = 0) {
  iflist_entry e{};
  std::snprintf(e.name, sizeof e.name, "%s", name);
  e.up = up;
  e.running = running;
  e.loopback = loopback;
  if (ip) {
    e.has_ipv4 = true;
    e.ipv4 = inet_addr(ip);
  }
  e.is_ethernet = ether;
  if (ether) {
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, mac_last};
    std::memcpy(e.hwaddr, mac, 6);
  }
  return e;
}

int fake_host_interfaces(iflist_entry* out, std::size_t cap, std::size_t* n) {
  const iflist_entry all[] = {
      iface("lo", true, true, true, "127.0.0.1", false),
      iface("eth0", false, false, false, "10.0.0.1", true, 1),
      iface("eth1", true, false, false, "10.0.1.1", true, 2),
      iface("en0", true, true, false, "10.77.0.2", true, 3),
      iface("tun0", true, true, false, "10.9.0.1", false),
      iface("en1", true, true, false, nullptr, true, 4),
      iface("en2", true, true, false, "192.168.2.2", true, 5),
      iface("en3", true, true, false, "192.168.3.2", true, 6),
      iface("en4", true, true, false, "192.168.4.2", true, 7),
      iface("en5", true, true, false, "192.168.5.2", true, 8),
  };
  *n = 0;
  for (const iflist_entry& e : all)
    if (*n < cap) out[(*n)++] = e;
  return 0;
}

int unreadable_interfaces(iflist_entry*, std::size_t, std::size_t* n) {
  *n = 0;
  return -1;
}

void point_store_at_globals() {
  initial_common_config();
  initial_network_config();
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    vpnc_session_reset(&session);
    std::strcpy(session.hostname, "vpn.example.test");
    session.gateway_ip = inet_addr("198.18.0.1");
    session.connect_ip = inet_addr("198.18.0.1");
    point_store_at_globals();
    iflist_set_source(fake_host_interfaces);
  }
  void TearDown() override {
    iflist_set_source(nullptr);
    vpnc_session_reset(&session);
  }
  int receive(const std::vector<uint8_t>& in, cfg_mem_stream* m = nullptr, std::size_t chunk = 0) {
    cfg_mem_stream local;
    cfg_mem_stream& mem = m ? *m : local;
    mem.input = in;
    mem.chunk = chunk;
    cfg_stream s = mem.stream();
    return config_receive_on(&session, &s);
  }
};

// The 'T' request the fake host gives for the local address 10.77.0.2.
std::vector<uint8_t> expected_t_request(bool readable) {
  Wire w;
  w.u8('T').fill(11).le32(32);
  if (!readable) return w.fill(32).b;
  w.le32(5);
  for (const char* ip : {"10.77.0.2", "10.9.0.1", "192.168.2.2", "192.168.3.2", "192.168.4.2"}) w.raw32(inet_addr(ip));
  w.u8(0x02).u8(0x00).u8(0x5e).u8(0x10).u8(0x00).u8(3).fill(2);
  return w.b;
}

TEST(TunnelRequest, IsTheFormatWithTheFieldsPutIn) {
  char buf[kTunnelRequestSize];
  const int n = build_tunnel_request(buf, sizeof buf, "gw.example.test", "SESSION=abc123", "0A1B-22CD\n");
  const std::string want =
      "Get /vpntunnel HTTP/1.1\r\nHost: gw.example.test\r\nCookie: SESSION=abc123\r\nappid: SQNVPN\r\n"
      "clientid: 0A1B-22CD\n\r\n\r\n";
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(n, static_cast<int>(want.size()));
}

TEST(TunnelRequest, FullSizeFieldsAreNeverCut) {
  const std::string host(63, 'h');
  const std::string cookie(1023, 'c');
  const std::string id = std::string(1022, 'u') + "\n";
  char buf[kTunnelRequestSize];
  const int n = build_tunnel_request(buf, sizeof buf, host.c_str(), cookie.c_str(), id.c_str());
  const std::string want = "Get /vpntunnel HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + cookie +
                           "\r\nappid: SQNVPN\r\nclientid: " + id + "\r\n\r\n";
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(n, static_cast<int>(want.size()));
  char small[64];
  std::memcpy(small, "untouched", 10);
  EXPECT_EQ(build_tunnel_request(small, sizeof small, host.c_str(), cookie.c_str(), id.c_str()), -1);
  EXPECT_STREQ(small, "untouched");
}

TEST(TunnelRequest, ClientIdFromProfilerOutput) {
  struct Case {
    std::string output;
    int found;
    std::string id;
  } cases[] = {
      {"Hardware:\n\n    Hardware Overview:\n      Model Name: Mac\n      Hardware UUID: 5D1C-77AA\n"
       "      Provisioning UDID: x\n",
       1, "5D1C-77AA\n"},
      {"      Hardware UUID: LAST-LINE", 1, "LAST-LINE"},
      {"      Hardware UUID:\n", 1, ""},
      {"      Hardware UUID:", 1, ""},  // nothing after the label: no read past it
      {"Model Name: Mac\n", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::string text = c.output;
    FILE* f = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(f, nullptr);
    char out[1024];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(clientid_from_profiler_output(f, out, sizeof out), c.found);
    EXPECT_EQ(std::string(out), c.id);
    std::fclose(f);
  }
}

TEST_F(Exchange, TunnelRequestWithoutTheToolHasAnEmptyClientId) {
  if (access("/usr/sbin/system_profiler", X_OK) == 0) GTEST_SKIP() << "the tool exists on this machine";
  std::strcpy(session.session_cookie, "SESSION=xyz");
  LogCapture logs;
  const char* req = create_get_qn2(&session, "prx/000/http/localhost/atp.html");
  ASSERT_NE(req, nullptr);
  EXPECT_STREQ(req,
               "Get /vpntunnel HTTP/1.1\r\nHost: vpn.example.test\r\nCookie: SESSION=xyz\r\nappid: SQNVPN\r\n"
               "clientid: \r\n\r\n");
  // A later call that cannot run the tool sends the previous request again.
  std::strcpy(session.session_cookie, "SESSION=other");
  EXPECT_STREQ(create_get_qn2(&session, ""), req);
  EXPECT_NE(std::string(req).find("SESSION=xyz"), std::string::npos);
}

// The tool as the daemon runs it, in a private mount namespace (gone with the
// child) where a script stands at its path.
TEST_F(Exchange, TunnelRequestCarriesTheProfilerLineWithItsNewline) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::strcpy(session.session_cookie, "SESSION=xyz");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0) _exit(10);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(11);
    if (mount("tmpfs", "/usr/sbin", "tmpfs", 0, "size=64k") != 0) _exit(12);
    FILE* f = std::fopen("/usr/sbin/system_profiler", "w");
    if (!f) _exit(13);
    std::fputs("#!/bin/sh\n[ \"$1\" = SPHardwareDataType ] || exit 3\n"
               "echo 'Hardware:'\necho '      Serial Number (system): C02X'\n"
               "echo '      Hardware UUID: 6B29FC40-CA47-1067-B31D-00DD010662DA'\n"
               "echo '      Hardware UUID: SECOND'\n",
               f);
    std::fclose(f);
    chmod("/usr/sbin/system_profiler", 0755);
    LogCapture logs;
    const char* req = create_get_qn2(&session, "");
    const char* want =
        "Get /vpntunnel HTTP/1.1\r\nHost: vpn.example.test\r\nCookie: SESSION=xyz\r\nappid: SQNVPN\r\n"
        "clientid: 6B29FC40-CA47-1067-B31D-00DD010662DA\n\r\n\r\n";
    if (!req || std::strcmp(req, want) != 0) _exit(14);
    if (!logs.has("clientid string is 6B29FC40-CA47-1067-B31D-00DD010662DA\n")) _exit(15);
    if (!logs.has("str_uuid is 6B29FC40")) _exit(16);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10-13 set-up, 14 request text, 15-16 log lines";
}

TEST_F(Exchange, CommonConfigRequestIsSixteenBytes) {
  cfg_mem_stream m;
  cfg_stream s = m.stream();
  LogCapture logs;
  EXPECT_EQ(config_rqt_on(&session, &s), 0);
  std::vector<uint8_t> want(16, 0);
  want[0] = 'P';
  EXPECT_EQ(m.output, want);
  EXPECT_TRUE(logs.has("vpn_version_control at "));
  EXPECT_TRUE(logs.has("function: config_rqt_qn2:SEND COMMONCONFIG REQUEST"));

  cfg_mem_stream broken;
  broken.fail_writes = true;
  cfg_stream b = broken.stream();
  EXPECT_EQ(config_rqt_on(&session, &b), VPNC_STATE_FATAL);
  EXPECT_TRUE(logs.has("config_rqt_qn2:SSL common config write ERROR, errno is"));
}

TEST_F(Exchange, InterfaceListTakesFiveAddressesAndTheMatchingMac) {
  struct Case {
    const char* local;
    uint8_t mac_last;  // 0: zero hardware address
  } cases[] = {
      {"10.77.0.2", 3},
      {"192.168.4.2", 7},
      {"10.9.0.1", 0},     // not Ethernet
      {"192.168.5.2", 0},  // beyond the fifth address
      {"10.0.0.1", 0},     // interface down
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    _iprequest_data d;
    std::memset(&d, 0xAA, sizeof d);
    ASSERT_EQ(FillIPListAndMac_Macos(&d, c.local), 1);
    ASSERT_EQ(d.count, 5u);
    EXPECT_EQ(d.ips[0], inet_addr("10.77.0.2"));
    EXPECT_EQ(d.ips[1], inet_addr("10.9.0.1"));
    EXPECT_EQ(d.ips[4], inet_addr("192.168.4.2"));
    const uint8_t zero[6] = {};
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, c.mac_last};
    EXPECT_EQ(std::memcmp(d.mac, c.mac_last ? mac : zero, 6), 0);
    EXPECT_EQ(d.pad[0] | d.pad[1], 0);
  }
  iflist_set_source(unreadable_interfaces);
  _iprequest_data d;
  std::memset(&d, 0xAA, sizeof d);
  EXPECT_EQ(FillIPListAndMac_Macos(&d, "10.77.0.2"), 0);
  const _iprequest_data zero{};
  EXPECT_EQ(std::memcmp(&d, &zero, sizeof d), 0);
}

TEST_F(Exchange, NetworkConfigRequestLayout) {
  for (bool readable : {true, false}) {
    SCOPED_TRACE(readable);
    iflist_set_source(readable ? fake_host_interfaces : unreadable_interfaces);
    cfg_mem_stream m;
    m.input = Wire().msg('U').b;
    cfg_stream s = m.stream();
    LogCapture logs;
    EXPECT_EQ(RequestReply(&s, "10.77.0.2"), 1);
    EXPECT_EQ(m.output, expected_t_request(readable));
    EXPECT_TRUE(logs.has("vpn_getconfig_qn2 at "));
    EXPECT_TRUE(logs.has("function: RequestReply:ssl write client netconfig request err is 48,len is 48"));
    EXPECT_TRUE(logs.has("RequestReply:reply.msgtype is 85, ssl read reply length 16"));
    EXPECT_EQ(logs.has("interface list unreadable"), !readable);
  }
}

TEST_F(Exchange, NetworkConfigRequestFailures) {
  LogCapture logs;
  cfg_mem_stream wrong;
  wrong.input = Wire().msg('Q').b;
  cfg_stream w = wrong.stream();
  EXPECT_EQ(RequestReply(&w, "10.77.0.2"), 0);

  cfg_mem_stream none;
  cfg_stream n = none.stream();
  EXPECT_EQ(RequestReply(&n, "10.77.0.2"), 0);
  EXPECT_TRUE(logs.has("RequestReply:read netconfig failed,length is 0, ssl err code is 0"));

  cfg_mem_stream broken;
  broken.fail_writes = true;
  broken.input = Wire().msg('U').b;
  cfg_stream b = broken.stream();
  EXPECT_EQ(RequestReply(&b, "10.77.0.2"), 0);
  EXPECT_TRUE(logs.has("RequestReply:ssl write client netconfig request failed"));
  EXPECT_EQ(broken.pos, 0u);  // nothing read after a failed write
}

TEST_F(Exchange, GoodSequenceFillsTheStoreExactly) {
  Scenario sc = full_scenario();
  const std::vector<uint8_t> in = sc.build();
  for (std::size_t chunk : {0u, 1u, 13u}) {
    SCOPED_TRACE(chunk);
    point_store_at_globals();
    cfg_mem_stream m;
    LogCapture logs;
    ASSERT_EQ(receive(in, &m, chunk), 0);
    EXPECT_EQ(m.pos, in.size());
    std::vector<uint8_t> want = expected_t_request(true);
    std::fill(want.begin() + 40, want.begin() + 46, 0);  // no socket: no local address, no MAC
    EXPECT_EQ(m.output, want);
    EXPECT_TRUE(logs.has("config_receive_qn2:RECEIVE COMMONCONFIG REQUEST"));
    EXPECT_TRUE(logs.has("config_receive_qn2:ssl read common config err is 16"));
    EXPECT_TRUE(logs.has("vpn_getconfig_qn2 at "));
    EXPECT_TRUE(logs.has("function: recv_network_config:vnc_clientip is 500090a\n"));

    EXPECT_EQ(m_pCommonCfg->keepalive_interval, 30u);
    EXPECT_EQ(m_pCommonCfg->dns_priority[1], 3u);
    EXPECT_EQ(m_pCommonCfg->host_map_len, sc.hosts.b.size());
    ASSERT_EQ(m_pHostMapList->count, 3u);
    EXPECT_STREQ(m_pHostMapList->entries[0].host_name, "vpn.example.test");
    EXPECT_STREQ(m_pHostMapList->entries[1].host_name, "wiki.corp.test");
    EXPECT_STREQ(m_pHostMapList->entries[2].ip_text, "198.18.0.1");
    ASSERT_EQ(m_pLaunchCommandList->count, 1u);
    EXPECT_STREQ(m_pLaunchCommandList->commands[0], "echo up");
    ASSERT_EQ(m_pDisconnectCommandList->count, 2u);
    EXPECT_STREQ(m_pDisconnectCommandList->commands[1], "echo bye");

    EXPECT_EQ(m_pNetConfigFlag->flags & NETCFG_LOCAL_ACCESS, static_cast<uint32_t>(NETCFG_LOCAL_ACCESS));
    EXPECT_EQ(clientip_load(m_pNetConfigFlag), inet_addr("10.9.0.5"));
    EXPECT_EQ(m_pNetConfigFlag->virtual_mask, inet_addr("255.255.255.0"));
    ASSERT_EQ(m_pResouceList->count, 2u);  // type 2 and the repeat dropped
    EXPECT_EQ(m_pResouceList->entries[0].ip, inet_addr("10.1.0.0"));
    EXPECT_EQ(m_pResouceList->entries[0].ports[0], 443);
    EXPECT_EQ(m_pResouceList->entries[1].ip, inet_addr("172.20.0.0"));
    ASSERT_EQ(m_pExcludeResouceList->count, 1u);
    EXPECT_EQ(m_pExcludeResouceList->entries[0].ip, inet_addr("10.1.99.0"));
    EXPECT_EQ(m_pInsideProxy->type, static_cast<uint32_t>(PROXY_SCRIPT));
    EXPECT_STREQ(m_pInsideProxy->proxy, "http://pac.corp.test/p");
    ASSERT_EQ(m_pDNSList->count, 2u);
    EXPECT_EQ(m_pDNSList->ips[1], inet_addr("10.1.0.54"));
    ASSERT_EQ(m_pSearchDomainList->count, 2u);
    EXPECT_STREQ(m_pSearchDomainList->domains[1], "lab.corp.test");
  }
}

const uint32_t out_loopback = inet_addr("127.0.0.1");

int fake_loopback_owner(iflist_entry* out, std::size_t cap, std::size_t* n) {
  fake_host_interfaces(out, cap, n);
  out[3].ipv4 = inet_addr("127.0.0.1");  // en0 owns the connection's local address
  return 0;
}

TEST_F(Exchange, MacIsThatOfTheInterfaceCarryingTheGatewaySocket) {
  iflist_set_source(fake_loopback_owner);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);  // sends nothing
  char text[INET_ADDRSTRLEN];
  gateway_local_address_text(fd, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  session.sockfd = fd;
  Scenario sc = full_scenario();
  cfg_mem_stream m;
  ASSERT_EQ(receive(sc.build(), &m), 0);
  std::vector<uint8_t> want = expected_t_request(true);
  std::memcpy(want.data() + 20, &out_loopback, 4);
  EXPECT_EQ(m.output, want);
  close(fd);

  const int fd6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd6 >= 0) {
    sockaddr_in6 to6{};
    to6.sin6_family = AF_INET6;
    to6.sin6_port = htons(9);
    to6.sin6_addr = in6addr_loopback;
    if (connect(fd6, reinterpret_cast<sockaddr*>(&to6), sizeof to6) == 0) {
      gateway_local_address_text(fd6, text, sizeof text);
      EXPECT_STREQ(text, "");  // an IPv6 socket has no IPv4 local address
    }
    close(fd6);
  }
  gateway_local_address_text(-1, text, sizeof text);
  EXPECT_STREQ(text, "");
}

TEST_F(Exchange, EveryFailureEndsTheExchange) {
  struct Case {
    const char* name;
    void (*edit)(Scenario&);
    int expect;
    const char* log;
  } cases[] = {
      {"not Q", [](Scenario& s) { s.common_type = 'R'; }, -1,
       "config_receive_qn2:read common config is not common config response, exit"},
      {"client 0.0.0.0", [](Scenario& s) { s.clientip = 0; }, -1, "recv_network_config:vnc_clientip is null!\n"},
      {"all type 2",
       [](Scenario& s) {
         s.res = Wire();
         s.res.resource("10.1.0.0", "255.255.0.0", 2).resource("10.2.0.0", "255.255.0.0", 2);
         s.res_count = 2;
       },
       -1, "skip resource: type = 2"},
      {"no resources",
       [](Scenario& s) {
         s.res = Wire();
         s.res_count = 0;
       },
       -1, nullptr},
      {"no excluded resources",
       [](Scenario& s) {
         s.excl = Wire();
         s.excl_count = 0;
       },
       0, nullptr},
      {"U answered with another type", [](Scenario& s) { s.net_type = 'Q'; }, 0,
       "RequestReply:reply.msgtype is 81, ssl read reply length 16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    point_store_at_globals();
    Scenario sc = full_scenario();
    c.edit(sc);
    LogCapture logs;
    EXPECT_EQ(receive(sc.build()), c.expect);
    if (c.log) {
      EXPECT_TRUE(logs.has(c.log));
    }
  }
  LogCapture logs;
  EXPECT_EQ(receive({}), VPNC_STATE_FATAL);
  EXPECT_TRUE(logs.has("config_receive_qn2:wait commonconfig reply read! ERROR, errno is"));
}

TEST_F(Exchange, StreamCutAtEveryOffsetFails) {
  Scenario sc = full_scenario();
  const std::vector<uint8_t> in = sc.build();
  LogCapture logs;
  for (std::size_t cut = 0; cut < in.size(); ++cut) {
    point_store_at_globals();
    const int r = receive(std::vector<uint8_t>(in.begin(), in.begin() + static_cast<long>(cut)));
    EXPECT_EQ(r, cut < 16 ? VPNC_STATE_FATAL : -1) << "cut at " << cut;
  }
}

// Invariants the rest of the daemon relies on, whatever the gateway sent.
void expect_store_sane() {
  ASSERT_LE(m_pHostMapList->count, kHostMapCapacity);
  for (uint32_t i = 0; i < m_pHostMapList->count; ++i) {
    ASSERT_LT(strnlen(m_pHostMapList->entries[i].host_name, 64), 64u);
    ASSERT_LT(strnlen(m_pHostMapList->entries[i].ip_text, 40), 40u);
  }
  for (const _VPN_COMMAND_LIST_* l : {m_pLaunchCommandList, m_pDisconnectCommandList}) {
    ASSERT_LE(l->count, kCommandCapacity);
    for (uint32_t i = 0; i < l->count; ++i) ASSERT_LT(strnlen(l->commands[i], 1024), 1024u);
  }
  for (const _VPN_RESOURCE_LIST_* l : {m_pResouceList, m_pExcludeResouceList}) {
    ASSERT_LE(l->count, kResourceCapacity);
    std::set<uint32_t> keys;
    for (uint32_t i = 0; i < l->count; ++i) {
      ASSERT_NE(l->entries[i].type, 2);
      ASSERT_TRUE(keys.insert(l->entries[i].ip & l->entries[i].mask).second);
    }
  }
  ASSERT_LT(strnlen(m_pInsideProxy->proxy, 256), 256u);
  ASSERT_LE(m_pDNSList->count, kIpListCapacity);
  ASSERT_LE(m_pSearchDomainList->count, kSearchDomainCapacity);
  for (uint32_t i = 0; i < m_pSearchDomainList->count; ++i)
    ASSERT_LT(strnlen(m_pSearchDomainList->domains[i], 256), 256u);
}

TEST_F(Exchange, FixedSeedFuzzNeverCrashesOrAllocatesByWireLengths) {
  Scenario sc = full_scenario();
  const std::vector<uint8_t> good = sc.build();
  std::vector<std::size_t> words;  // offsets of every length and count field
  for (std::size_t off = sc.at["common"] + 40; off < sc.at["common"] + 52; off += 4) words.push_back(off);
  for (std::size_t off = sc.at["network"] + 4; off < sc.at["network"] + 36; off += 4) words.push_back(off);
  words.push_back(sc.at["hosts"] + 4);
  words.push_back(sc.at["launch"]);
  words.push_back(sc.at["proxy"] + 4);
  const uint32_t hostile[] = {0, 1, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000000u, 1025, 129, 0xFFFFFFF0u};

  std::mt19937 rng(20261210u);
  vpn_log_set_sink([](int, const char*) {});
  alloc_track_begin();
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<uint8_t> in = good;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0: {  // a hostile value in a length or count field
          const std::size_t off = words[rng() % words.size()];
          const uint32_t v = (rng() % 3) ? hostile[rng() % 8] : static_cast<uint32_t>(rng());
          const bool big_endian = off == sc.at["hosts"] + 4 || off == sc.at["launch"] || off == sc.at["proxy"] + 4;
          for (int i = 0; i < 4; ++i)
            in[off + i] = static_cast<uint8_t>(big_endian ? v >> (24 - 8 * i) : v >> (8 * i));
          break;
        }
        case 1:  // random bytes
          in[rng() % in.size()] = static_cast<uint8_t>(rng());
          break;
        case 2:  // cut short
          in.resize(rng() % in.size());
          break;
        default: {  // random tail
          const std::size_t n = rng() % 64;
          for (std::size_t i = 0; i < n; ++i) in.push_back(static_cast<uint8_t>(rng()));
        }
      }
      if (in.empty()) break;
    }
    point_store_at_globals();
    const int r = receive(in, nullptr, rng() % 3 == 0 ? 1 + rng() % 7 : 0);
    ASSERT_TRUE(r == 0 || r == -1 || r == VPNC_STATE_FATAL) << "iteration " << iter;
    expect_store_sane();
    if (HasFatalFailure()) FAIL() << "iteration " << iter;
  }
  EXPECT_LT(alloc_track_end(), std::size_t{1} << 20);
  vpn_log_set_sink(nullptr);
}

// The drain, with the utun and route operations replaced.
struct FakeTun {
  static inline std::vector<std::string> calls;
  static inline int next_fd = -1;
  static inline bool peer_known = true;
  static inline int watched_fd = -1;
  static inline bool watched_open_at_delete = false;
  static inline std::vector<vpn_route_entry> deleted;
  static vpn_route_entry route(const char* dst, const char* gw) {
    vpn_route_entry e{};
    std::strcpy(e.ifname, "utun0");
    e.dst = inet_addr(dst);
    e.gateway = inet_addr(gw);
    e.netmask = 0xFFFFFFFFu;
    e.flags = RTF_HOST_BSD;
    return e;
  }
  static int open_device() {
    calls.push_back("open");
    if (next_fd >= 0) std::snprintf(tunname, sizeof tunname, "utun%d", 3);
    return next_fd;
  }
  static int address_device(vpnc_session*) {
    calls.push_back("address");
    return 0;
  }
  static int peer_route(route_list& l, const char*) {
    calls.push_back("peer");
    if (!peer_known) return -1;
    l.push_back(route("10.5.0.0", "10.9.0.9"));
    l.push_back(route("1.1.1.1", "10.9.0.6"));
    return 0;
  }
  static int delete_route(const vpn_route_entry& e, int, int) {
    calls.push_back("delete");
    deleted.push_back(e);
    watched_open_at_delete = fcntl(watched_fd, F_GETFD) != -1;
    return 0;
  }
};
constexpr reconnect_tun_ops kFakeOps = {FakeTun::open_device, FakeTun::address_device, FakeTun::peer_route,
                                        FakeTun::delete_route};

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class Drain : public Exchange {
 protected:
  void SetUp() override {
    Exchange::SetUp();
    drain_set_tun_ops(&kFakeOps);
    FakeTun::calls.clear();
    FakeTun::deleted.clear();
    FakeTun::next_fd = -1;
    FakeTun::peer_known = true;
    rt_del_list.clear();
    clientip_store(m_pNetConfigFlag, inet_addr("10.9.0.5"));
    ASSERT_EQ(pipe2(old_tun, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(new_tun, O_CLOEXEC), 0);
    FakeTun::watched_fd = old_tun[0];
    session.tunfd = old_tun[0];
  }
  void TearDown() override {
    drain_set_tun_ops(nullptr);
    rt_del_list.clear();
    for (int fd : {old_tun[0], old_tun[1], new_tun[0], new_tun[1]})
      if (fd_open(fd)) close(fd);
    Exchange::TearDown();
  }
  int drain(const std::vector<uint8_t>& in) {
    cfg_mem_stream m;
    m.input = in;
    cfg_stream s = m.stream();
    return exhaust_config_reply_on(&session, &s);
  }
  static Scenario reconnect_scenario(const char* client) {
    Scenario sc = full_scenario();
    sc.clientip = inet_addr(client);
    sc.res = Wire();  // a reconnection may carry no resources
    sc.res_count = 0;
    return sc;
  }
  int old_tun[2] = {-1, -1};
  int new_tun[2] = {-1, -1};
};

TEST_F(Drain, SameAddressWithOpenDeviceChangesNothing) {
  m_pHostMapList->count = 0;
  LogCapture logs;
  EXPECT_EQ(drain(reconnect_scenario("10.9.0.5").build()), VPNC_STATE_DONE);
  EXPECT_EQ(session.state.load(), 7);
  EXPECT_TRUE(FakeTun::calls.empty());
  EXPECT_EQ(session.tunfd.load(), old_tun[0]);
  EXPECT_TRUE(fd_open(old_tun[0]));
  EXPECT_EQ(m_pHostMapList->count, 0u);  // the drained host map is dropped
  EXPECT_EQ(m_pResouceList->count, 0u);
  EXPECT_TRUE(logs.has("vpn_states at "));
  EXPECT_TRUE(logs.has("function: vpnc_client_exhaust_config_reply:Reconnection: the assigned ip is 10.9.0.5"));
  EXPECT_TRUE(logs.has("vpnc_client_exhaust_config_reply:server has configure response type 51"));
}

TEST_F(Drain, ChangedAddressReplacesDeviceAndPeerRoute) {
  rt_del_list.push_back(FakeTun::route("10.5.0.0", "10.9.0.8"));
  rt_del_list.push_back(FakeTun::route("1.1.1.1", "10.9.0.5"));
  rt_del_list.push_back(FakeTun::route("1.1.1.1", "10.9.0.4"));
  FakeTun::next_fd = new_tun[0];
  LogCapture logs;
  EXPECT_EQ(drain(reconnect_scenario("10.9.0.6").build()), VPNC_STATE_DONE);
  EXPECT_EQ(session.state.load(), 7);
  EXPECT_EQ(FakeTun::calls, (std::vector<std::string>{"delete", "open", "address", "peer"}));
  ASSERT_EQ(FakeTun::deleted.size(), 1u);
  EXPECT_EQ(FakeTun::deleted[0].gateway, inet_addr("10.9.0.5"));
  EXPECT_TRUE(FakeTun::watched_open_at_delete);  // route deleted before the old device closed
  EXPECT_EQ(retired_fd::parked_then_closed(old_tun[0], old_tun[1]), "");
  EXPECT_EQ(session.tunfd.load(), new_tun[0]);
  EXPECT_EQ(clientip_load(m_pNetConfigFlag), inet_addr("10.9.0.6"));
  ASSERT_EQ(rt_del_list.size(), 3u);
  EXPECT_EQ(rt_del_list[1].gateway, inet_addr("10.9.0.4"));
  EXPECT_EQ(rt_del_list[2].dst, inet_addr("1.1.1.1"));
  EXPECT_EQ(rt_del_list[2].gateway, inet_addr("10.9.0.6"));
  EXPECT_TRUE(logs.has("Reconnection: Assigned client ip is different 0x500090a, 0x600090a, update to the new one"));
  EXPECT_TRUE(logs.has("Reconnection: delete old tun route: gw 0x500090a"));
  EXPECT_TRUE(logs.has("Reconnection: tun device has been got again utun3"));
}

TEST_F(Drain, FailedOpenIsRetriedByTheNextAttemptWithTheSameAddress) {
  FakeTun::next_fd = -1;
  LogCapture logs;
  EXPECT_EQ(drain(reconnect_scenario("10.9.0.6").build()), VPNC_STATE_FATAL);
  EXPECT_TRUE(logs.has("Tunnel open  failed ,retry reconnection again!errno"));
  EXPECT_EQ(session.tunfd.load(), -1);
  EXPECT_EQ(retired_fd::parked_then_closed(old_tun[0], old_tun[1]), "");
  EXPECT_EQ(clientip_load(m_pNetConfigFlag), inet_addr("10.9.0.6"));

  // The next attempt brings the same address: without a device it must not
  // report success, it opens one.
  FakeTun::calls.clear();
  FakeTun::next_fd = new_tun[0];
  EXPECT_EQ(drain(reconnect_scenario("10.9.0.6").build()), VPNC_STATE_DONE);
  EXPECT_EQ(FakeTun::calls, (std::vector<std::string>{"open", "address", "peer"}));
  EXPECT_EQ(session.tunfd.load(), new_tun[0]);
  ASSERT_EQ(rt_del_list.size(), 1u);
  EXPECT_EQ(rt_del_list[0].dst, inet_addr("1.1.1.1"));
}

TEST_F(Drain, MissingPeerRouteIsLoggedAndTheDrainSucceeds) {
  FakeTun::next_fd = new_tun[0];
  FakeTun::peer_known = false;
  LogCapture logs;
  EXPECT_EQ(drain(reconnect_scenario("10.9.0.7").build()), VPNC_STATE_DONE);
  EXPECT_TRUE(logs.has("Reconnection:get 1.1.1.1 route failed"));
  EXPECT_TRUE(rt_del_list.empty());
  EXPECT_TRUE(FakeTun::deleted.empty());
}

TEST_F(Drain, EachSectionFailureHasItsMessage) {
  Scenario sc = reconnect_scenario("10.9.0.6");
  sc.res.resource("10.1.0.0", "255.255.0.0", 1);
  sc.res_count = 1;
  const std::vector<uint8_t> in = sc.build();
  struct Case {
    const char* part;  // cut one byte into this part
    const char* message;
  } cases[] = {
      {"qheader", "wait commonconfig reply read! ERROR, errno is"},
      {"common", "Failed to read server common config response when reconnection"},
      {"hosts", "Failed to read server host map config response when reconnection"},
      {"launch", "Failed to read server launchcmd config response when reconnection"},
      {"disconnect", "Failed to read server disconnect cmd config response when reconnection"},
      {"uheader", "Failed to read server network config response when reconnection"},
      {"network", "Failed to read server network config response when reconnection"},
      {"resources", "Failed to read server network resource config response when reconnection"},
      {"excluded", "Failed to read server exclude network resource config response when reconnection"},
      {"proxy", "Failed to read server inside proxy config response when reconnection"},
      {"dns", "Failed to read server dns list config response when reconnection"},
      {"search", "Failed to read server search domain list config response when reconnection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    LogCapture logs;
    const std::size_t cut = sc.at[c.part] + 1;
    EXPECT_EQ(drain(std::vector<uint8_t>(in.begin(), in.begin() + static_cast<long>(cut))), VPNC_STATE_FATAL);
    EXPECT_TRUE(logs.has(std::string("vpnc_client_exhaust_config_reply:") + c.message));
  }
  EXPECT_TRUE(FakeTun::calls.empty());

  Scenario zero = reconnect_scenario("0.0.0.0");
  LogCapture logs;
  EXPECT_EQ(drain(zero.build()), VPNC_STATE_FATAL);
  EXPECT_TRUE(logs.has("Failed to read server vnc client ip config response when reconnection"));
  Scenario wrong = reconnect_scenario("10.9.0.6");
  wrong.common_type = 'Z';
  EXPECT_EQ(drain(wrong.build()), VPNC_STATE_FATAL);
  EXPECT_TRUE(logs.has("Server response type is not valid 90"));
}
}  // namespace

namespace {
TEST(InterfaceList, KernelListHasTheLoopbackOnceWithItsAddress) {
  iflist_entry list[64];
  std::size_t n = 0;
  ASSERT_EQ(iflist_read(list, 64, &n), 0);
  int loopbacks = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) EXPECT_STRNE(list[i].name, list[j].name);
    if (std::strcmp(list[i].name, "lo") != 0) continue;
    ++loopbacks;
    EXPECT_TRUE(list[i].loopback);
    EXPECT_TRUE(list[i].up);
    EXPECT_TRUE(list[i].has_ipv4);
    EXPECT_EQ(list[i].ipv4, inet_addr("127.0.0.1"));
    EXPECT_FALSE(list[i].is_ethernet);
  }
  EXPECT_EQ(loopbacks, 1);
  // A short table is filled up to its capacity, never past it.
  iflist_entry one[1];
  ASSERT_EQ(iflist_read(one, 1, &n), 0);
  EXPECT_EQ(n, 1u);
}

// In a private network namespace (gone when the child exits): a veth
// (Ethernet) interface gives its address and hardware address to the 'T'
// request when it carries the local address.
TEST(InterfaceList, EthernetInterfaceInAPrivateNamespace) {
  if (geteuid() != 0 || (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0))
    GTEST_SKIP() << "needs root and iproute2";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(10);
    if (std::system("ip link add d1 address 02:11:22:33:44:55 type veth peer name d2 && "
                    "ip addr add 10.66.0.1/24 dev d1 && ip link set d1 up && ip link set d2 up && "
                    "ip link set lo up") != 0)
      _exit(11);
    _iprequest_data d{};
    if (FillIPListAndMac_Macos(&d, "10.66.0.1") != 1) _exit(12);
    if (d.count != 1 || d.ips[0] != inet_addr("10.66.0.1")) _exit(13);
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    if (std::memcmp(d.mac, mac, 6) != 0) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 unshare, 11 ip, 12-14 the request's content";
}

// A TLS server on one end of a socket pair, with a certificate made here.

// The handlers on a real TLS connection made with the daemon's own context
// (read-ahead): records cut at odd places and delayed, a non-blocking socket,
// and the requests as the gateway reads them.
TEST_F(Exchange, RecordsOverTlsWithANonBlockingSocket) {
  TlsSocketPair tls;
  ASSERT_TRUE(tls.open(tls_client_ctx(VPNC_PROTO_TLS1_2)));
  fcntl(tls.fds[0], F_SETFL, fcntl(tls.fds[0], F_GETFL) | O_NONBLOCK);
  Scenario sc = full_scenario();
  const std::vector<uint8_t> in = sc.build();
  const std::size_t split = sc.at["uheader"];
  std::vector<uint8_t> got(64);
  int got_len = 0;
  std::thread gateway([&] {
    auto send_part = [&](std::size_t from, std::size_t to) {
      for (std::size_t at = from; at < to;) {
        const std::size_t n = std::min<std::size_t>(to - at, 7 + at % 11);
        SSL_write(tls.server, in.data() + at, static_cast<int>(n));
        at += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    int n = 0;
    while (got_len < 16 && (n = SSL_read(tls.server, got.data() + got_len, 16 - got_len)) > 0) got_len += n;
    send_part(0, split);
    while (got_len < 64 && (n = SSL_read(tls.server, got.data() + got_len, 64 - got_len)) > 0) got_len += n;
    send_part(split, in.size());
    SSL_shutdown(tls.server);
  });
  session.ssl = tls.client;
  EXPECT_EQ(config_rqt_qn2(&session), 0);
  EXPECT_EQ(config_receive_qn2(&session), 0);
  gateway.join();
  session.ssl = nullptr;
  ASSERT_EQ(got_len, 64);
  EXPECT_EQ(got[0], 'P');
  std::vector<uint8_t> want = expected_t_request(true);
  std::fill(want.begin() + 40, want.begin() + 46, 0);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 16, got.end()), want);
  EXPECT_STREQ(m_pSearchDomainList->domains[1], "lab.corp.test");
  EXPECT_EQ(m_pResouceList->count, 2u);

  // After the gateway's close_notify a read reports the end, not an error.
  cfg_stream s = cfg_stream_ssl(tls.client);
  uint8_t b;
  EXPECT_EQ(cfg_read_full(&s, &b, 1), 0);
  cfg_stream none = cfg_stream_ssl(nullptr);
  EXPECT_LT(cfg_read_full(&none, &b, 1), 0);
}
}  // namespace
