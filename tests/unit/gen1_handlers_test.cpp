// The generation-1 handler set: the request and the one-pass reply over a
// memory stream, the relay on a datagram "utun", the teardown through the
// command hook and the controller's steps.
#include "client/session/gen1_handlers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/dns_config.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/session/controller.h"
#include "client/session/relay.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"
#include "platform/iflist.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/retired_fd.h"

namespace {

uint32_t be32_at(const std::vector<uint8_t>& b, std::size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& be32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
    return *this;
  }
  Bytes& le32(uint32_t v) {
    for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
    return *this;
  }
  Bytes& addr(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    const auto* p = reinterpret_cast<const uint8_t*>(&a.s_addr);
    b.insert(b.end(), p, p + 4);
    return *this;
  }
  Bytes& text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& fill(std::size_t n, uint8_t v = 0) {
    b.insert(b.end(), n, v);
    return *this;
  }
};

// The reply's fixed part with its counts, then the sections as given.
struct Reply {
  uint32_t type = 1003, length = 68, flags = 0x80;
  std::vector<std::pair<const char*, const char*>> resources = {{"10.10.0.0", "255.255.0.0"}, {"0.0.0.0", "0.0.0.0"}};
  std::vector<const char*> dns = {"10.10.0.53"}, wins = {"10.10.0.54"};
  std::string search = "a,b";
  std::string skip = "SKIP", launch = "LAUNCH", disconnect = "BYE";
  uint32_t proxy_type = 2;
  std::string proxy_text = std::string("proxy.example.test:8080") + '\0';
  bool with_proxy = true;
  uint32_t override_resource_count = 0;
  uint32_t override_search_len = 0;
  uint32_t override_proxy_len = 0xFFFFFFFF;

  std::vector<uint8_t> bytes() const {
    const uint32_t proxy_len = override_proxy_len != 0xFFFFFFFF ? override_proxy_len
                               : with_proxy                      ? static_cast<uint32_t>(4 + proxy_text.size())
                                                                 : 0;
    Bytes w;
    w.be32(type).be32(length).be32(1).be32(2).be32(3).be32(4);
    w.addr("10.8.0.5").addr("255.255.255.0");
    w.le32(override_resource_count ? override_resource_count : static_cast<uint32_t>(resources.size()))
        .le32(static_cast<uint32_t>(dns.size()))
        .le32(static_cast<uint32_t>(wins.size()))
        .le32(override_search_len ? override_search_len : static_cast<uint32_t>(search.size()))
        .le32(static_cast<uint32_t>(skip.size()))
        .be32(flags)
        .le32(static_cast<uint32_t>(launch.size()))
        .le32(proxy_len)
        .le32(static_cast<uint32_t>(disconnect.size()));
    if (length > 68) w.fill(length - 68);
    for (auto& r : resources) w.addr(r.first).addr(r.second);
    for (auto* d : dns) w.addr(d);
    for (auto* d : wins) w.addr(d);
    w.text(search).text(skip).text(launch);
    if (with_proxy)
      w.be32(proxy_type).text(proxy_text);
    else if (override_proxy_len != 0xFFFFFFFF)
      w.fill(override_proxy_len, 'p');
    w.text(disconnect);
    return w.b;
  }
};

int receive(const std::vector<uint8_t>& in, std::size_t chunk = 0, std::size_t* left = nullptr) {
  cfg_mem_stream m;
  m.input = in;
  m.chunk = chunk;
  cfg_stream s = m.stream();
  vpnc_session sess;
  const int r = config_receive_qn1_on(&sess, &s);
  if (left) *left = m.input.size() - m.pos;
  return r;
}

std::string dotted(uint32_t net) {
  char t[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &net, t, sizeof t);
  return t;
}

}  // namespace

TEST(Gen1Request, SessionIdFromTheCookie) {
  struct Case {
    const char* cookie;
    bool found;
    uint32_t id;
  };
  const Case cases[] = {
      {"abc+0000002A", true, 0x2A}, {"x+12z9", true, 0x12},  {"x+FFFFFFFF9", true, 0xFFFFFFFF},
      {"x+ -1", true, 0},           {"x+", true, 0},         {"x+0x12", true, 0},
      {"a+1+2", true, 1},           {"no-plus-at-all", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cookie);
    uint32_t id = 77;
    EXPECT_EQ(gen1_session_id(c.cookie, std::strlen(c.cookie) + 1, &id), c.found);
    if (c.found) {
      EXPECT_EQ(id, c.id);
    }
  }
  // A '+' in the field's last byte, no terminator: nothing past the field is read.
  std::vector<char> field(1024, 'a');
  field.back() = '+';
  uint32_t id = 77;
  EXPECT_TRUE(gen1_session_id(field.data(), field.size(), &id));
  EXPECT_EQ(id, 0u);
}

namespace {
int seven_interfaces(iflist_entry* out, std::size_t cap, std::size_t* n) {
  const char* names[] = {"en0", "lo", "en1", "en2", "en3", "en4", "en5"};
  *n = 0;
  for (std::size_t i = 0; i < 7 && i < cap; ++i) {
    iflist_entry e{};
    std::snprintf(e.name, sizeof e.name, "%s", names[i]);
    e.up = e.running = e.has_ipv4 = true;
    e.loopback = i == 1;
    e.ipv4 = htonl(0x0A000001 + static_cast<uint32_t>(i));  // 10.0.0.1 + i
    out[(*n)++] = e;
  }
  return 0;
}
}  // namespace

TEST(Gen1Request, WholeRequestOnTheWire) {
  iflist_set_source(seven_interfaces);
  vpnc_session s;
  vpnc_session_reset(&s);
  std::snprintf(s.session_cookie, sizeof s.session_cookie, "abc+0000002A");
  cfg_mem_stream m;
  cfg_stream io = m.stream();
  LogCapture log;
  EXPECT_EQ(config_rqt_qn1_on(&s, &io), 0);
  iflist_set_source(nullptr);
  ASSERT_EQ(m.output.size(), kGen1RequestWireSize);
  const uint32_t words[] = {1001, 60, 7, 3, 3, 0, 0x2A, 5};
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(be32_at(m.output, 4 * i), words[i]) << i;
  // The first five addresses that are not loopback, then zeros.
  const char* want[] = {"10.0.0.1", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6"};
  for (std::size_t i = 0; i < 5; ++i) {
    uint32_t a;
    std::memcpy(&a, m.output.data() + 32 + 4 * i, 4);
    EXPECT_EQ(dotted(a), want[i]);
  }
  EXPECT_TRUE(std::all_of(m.output.begin() + 52, m.output.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(log.has("vpn_version_control at "));
  EXPECT_TRUE(log.has("function: config_rqt_qn1:SEND ATP CONFIG REQUEST"));
}

TEST(Gen1Request, RefusalsAndFailedWrite) {
  vpnc_session s;
  vpnc_session_reset(&s);
  std::snprintf(s.session_cookie, sizeof s.session_cookie, "cookie-without-plus");
  cfg_mem_stream m;
  cfg_stream io = m.stream();
  LogCapture log;
  EXPECT_EQ(config_rqt_qn1_on(&s, &io), VPNC_STATE_FATAL);
  EXPECT_TRUE(m.output.empty());
  EXPECT_TRUE(log.has("session cookie has no '+', no session id"));

  std::snprintf(s.session_cookie, sizeof s.session_cookie, "x+1");
  m.fail_writes = true;
  EXPECT_EQ(config_rqt_qn1_on(&s, &io), VPNC_STATE_FATAL);
  EXPECT_TRUE(log.has("write ERROR, errno is"));
}

TEST(Gen1Request, LongestGetRequestIsWhole) {
  vpnc_session s;
  vpnc_session_reset(&s);
  std::memset(s.hostname, 'h', sizeof s.hostname - 1);
  std::memset(s.session_cookie, 'c', sizeof s.session_cookie - 1);
  const char* req = create_get_qn1(&s, "prx/000/http/localhost/atp.html");
  ASSERT_NE(req, nullptr);
  const std::string want = "GET /prx/000/http/localhost/atp.html HTTP/1.1\r\nHost: " + std::string(63, 'h') +
                           "\r\nCookie: KXsession=" + std::string(1023, 'c') + "\r\nappid: ssl_vpn\r\n\r\n";
  EXPECT_EQ(std::string(req), want);
  EXPECT_GT(want.size(), 1024u);
}

TEST(Gen1Reply, GoodReplyFillsTheStoreWholeOrByteByByte) {
  const std::vector<uint8_t> reply = Reply{}.bytes();
  std::vector<uint8_t> in = reply;
  in.insert(in.end(), {0x45, 0, 0, 20});  // a packet after the reply stays unread
  for (std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(chunk);
    initial_network_config();
    std::size_t left = 0;
    ASSERT_EQ(receive(in, chunk, &left), 0);
    EXPECT_EQ(left, 4u);
    char ip[32] = {};
    get_clientip(ip);
    EXPECT_STREQ(ip, "10.8.0.5");
    EXPECT_EQ(dotted(m_pNetConfigFlag->virtual_mask), "255.255.255.0");
    EXPECT_EQ(m_pNetConfigFlag->flags, uint32_t{NETCFG_LOCAL_ACCESS | NETCFG_FULL_TUNNEL});
    ASSERT_EQ(m_pResouceList->count, 2u);
    EXPECT_EQ(dotted(m_pResouceList->entries[0].ip), "10.10.0.0");
    EXPECT_EQ(dotted(m_pResouceList->entries[0].mask), "255.255.0.0");
    ASSERT_EQ(m_pDNSList->count, 1u);
    EXPECT_EQ(dotted(m_pDNSList->ips[0]), "10.10.0.53");
    ASSERT_EQ(m_pWINSList->count, 1u);
    EXPECT_EQ(dotted(m_pWINSList->ips[0]), "10.10.0.54");
    ASSERT_EQ(m_pSearchDomainList->count, 2u);
    EXPECT_STREQ(m_pSearchDomainList->domains[0], "a");
    EXPECT_STREQ(m_pSearchDomainList->domains[1], "b");
    EXPECT_EQ(m_pInsideProxy->type, uint32_t{PROXY_MANUAL});
    EXPECT_STREQ(m_pInsideProxy->proxy, "proxy.example.test:8080");
    EXPECT_EQ(m_pCommonCfg->launch_cmd_len, 6u);
    EXPECT_EQ(m_pCommonCfg->disconnect_cmd_len, 3u);
    EXPECT_EQ(m_pLaunchCommandList->count, 0u);
    EXPECT_EQ(creply.msgtype, 1003u);
    EXPECT_EQ(creply.length, 68u);
    EXPECT_EQ(creply.reserved[3], 4u);
    EXPECT_EQ(creply.skip_len, 4u);
    EXPECT_EQ(creply.flags, 0x80u);
  }
}

TEST(Gen1Reply, SectionVariants) {
  struct Case {
    const char* name;
    Reply r;
    uint32_t proxy_type;
    std::vector<std::string> domains;
  };
  Reply script;
  script.proxy_type = 1;
  Reply other;
  other.proxy_type = 7;
  Reply short_proxy;
  short_proxy.with_proxy = false;
  short_proxy.override_proxy_len = 3;
  Reply long_search;
  long_search.search = std::string(300, 'd');
  Reply commas;
  commas.search = ",x,,y,";
  const Case cases[] = {
      {"script proxy", script, PROXY_SCRIPT, {"a", "b"}},
      {"unknown proxy type", other, PROXY_NONE, {"a", "b"}},
      {"inside-proxy length below 4", short_proxy, PROXY_NONE, {"a", "b"}},
      {"search text of 300 uses 254", long_search, PROXY_MANUAL, {std::string(254, 'd')}},
      {"empty pieces are no domains", commas, PROXY_MANUAL, {"x", "y"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    initial_network_config();
    ASSERT_EQ(receive(c.r.bytes()), 0);
    EXPECT_EQ(m_pInsideProxy->type, c.proxy_type);
    std::vector<std::string> got;
    for (uint32_t i = 0; i < m_pSearchDomainList->count; ++i) got.emplace_back(m_pSearchDomainList->domains[i]);
    EXPECT_EQ(got, c.domains);
  }
}

TEST(Gen1Reply, FailingReplies) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  Reply wrong_type;
  wrong_type.type = 1004;
  Reply zero_len;
  zero_len.length = 0;
  Reply huge_len;
  huge_len.length = 65535;
  Reply short_len;
  short_len.length = 67;
  Reply wraps;
  wraps.override_resource_count = 0x20000000;  // 8 x count wraps 32 bits to 0
  Reply too_long;
  too_long.override_search_len = 65500;
  std::vector<uint8_t> http(100, ' ');
  std::memcpy(http.data(), "HTTP/1.1 404 Not Found", 22);
  std::vector<uint8_t> zero_len_bytes = zero_len.bytes();
  const Case cases[] = {
      {"HTTP page", http},
      {"wrong type", wrong_type.bytes()},
      {"length 0", std::vector<uint8_t>(zero_len_bytes.begin(), zero_len_bytes.begin() + 24)},
      {"length 65535", huge_len.bytes()},
      {"length below its fixed part", short_len.bytes()},
      {"counts that wrap", wraps.bytes()},
      {"total above 65534", too_long.bytes()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    initial_network_config();
    EXPECT_EQ(receive(c.bytes), VPNC_STATE_FATAL);
  }
  // The stream ending at each offset fails, with a read line.
  const std::vector<uint8_t> good = Reply{}.bytes();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    LogCapture log;
    EXPECT_EQ(receive(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut))),
              VPNC_STATE_FATAL)
        << cut;
    EXPECT_TRUE(log.has("function: config_receive_qn1:read ERROR, errno is")) << cut;
  }
}

TEST(Gen1Reply, FixedSeedFuzzStaysInsideTheBytes) {
  const std::vector<uint8_t> good = Reply{}.bytes();
  std::mt19937 rng(20261210);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> b = good;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (rng() % 4 == 0) b.resize(rng() % b.size());
    if (rng() % 4 == 0) b.insert(b.end(), rng() % 70000, static_cast<uint8_t>(rng()));
    initial_network_config();
    const int r = receive(b, rng() % 3);
    ASSERT_TRUE(r == 0 || r == VPNC_STATE_FATAL);
    ASSERT_LE(m_pResouceList->count, kResourceCapacity);
    ASSERT_LE(m_pSearchDomainList->count, kSearchDomainCapacity);
  }
}

// ---- relay ----------------------------------------------------------------
namespace {
std::deque<std::string> g_reads;
std::vector<std::string> g_written;
int g_write_result = -2;  // -2: the whole buffer
int fake_read(void* buf, int len) {
  if (g_reads.empty()) return 0;
  std::string c = g_reads.front();
  g_reads.pop_front();
  if (static_cast<int>(c.size()) > len) return -1;
  std::memcpy(buf, c.data(), c.size());
  return static_cast<int>(c.size());
}
int fake_write(const void* buf, int len) {
  g_written.emplace_back(static_cast<const char*>(buf), static_cast<std::size_t>(len));
  return g_write_result == -2 ? len : g_write_result;
}
int fake_pending() { return 0; }
const relay_tls_io kIo{fake_read, fake_write, fake_pending};

std::string packet(std::size_t total, uint8_t proto, const char* src, char fill) {
  std::string p(total, fill);
  p[0] = 0x45;
  p[2] = static_cast<char>(total >> 8);
  p[3] = static_cast<char>(total & 0xFF);
  p[9] = static_cast<char>(proto);
  in_addr a{};
  inet_pton(AF_INET, src, &a);
  std::memcpy(&p[12], &a, 4);
  return p;
}
const std::string kPiIp("\x00\x00\x08\x00", 4);

class Gen1Relay : public ::testing::Test {
 protected:
  int sp[2] = {-1, -1};
  vpnc_session s;
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sp), 0);
    vpnc_session_reset(&s);
    s.tunfd = sp[0];
    g_reads.clear();
    g_written.clear();
    g_write_result = -2;
    g_byte_in = 0;
    g_byte_out = 0;
    relay_set_tls_io(&kIo);
    relay_note_generation();  // the connection in place is the one the loop saw
    gen1_reset_for_test();
  }
  void TearDown() override {
    relay_set_tls_io(nullptr);
    close(sp[0]);
    close(sp[1]);
  }
  int side(uint32_t bit) {
    s.ready_flags = bit;
    const int r = vpn_data_transfer_qn1(&s);
    EXPECT_EQ(s.ready_flags & bit, 0u);
    return r;
  }
  std::vector<std::string> from_utun() {
    std::vector<std::string> out;
    char buf[70000];
    for (ssize_t r; (r = recv(sp[1], buf, sizeof buf, 0)) >= 4;) {
      EXPECT_EQ(std::string(buf, 4), kPiIp);
      out.emplace_back(buf + 4, static_cast<std::size_t>(r - 4));
    }
    return out;
  }
};
}  // namespace

TEST_F(Gen1Relay, GatewayBytesAreCutIntoWholePackets) {
  const std::string a = packet(60, 6, "10.0.0.1", 'a'), b = packet(100, 17, "10.0.0.1", 'b');
  const std::string c = packet(1400, 6, "10.0.0.1", 'c');
  const std::string kill = packet(40, 255, "0.2.0.1", 'k');  // relayed: generation 1 has no kill check
  g_reads = {a + b, c.substr(0, 500), c.substr(500, 500), c.substr(1000), kill};
  EXPECT_EQ(side(READY_TUNNEL), XFER_OK);
  EXPECT_EQ(side(READY_TUNNEL), XFER_PENDING);
  EXPECT_EQ(side(READY_TUNNEL), XFER_PENDING);
  EXPECT_EQ(side(READY_TUNNEL), XFER_OK);
  EXPECT_EQ(side(READY_TUNNEL), XFER_OK);
  EXPECT_EQ(from_utun(), (std::vector<std::string>{a, b, c, kill}));
  EXPECT_EQ(g_byte_in.load(), a.size() + b.size() + c.size() + kill.size());
  // A total length below a header fails; so does the end of the connection.
  g_reads = {std::string("\x45\x00\x00\x05", 4) + std::string(16, 'z')};
  EXPECT_EQ(side(READY_TUNNEL), XFER_FAILED);
  EXPECT_EQ(side(READY_TUNNEL), XFER_FAILED);
}

TEST_F(Gen1Relay, TunSideFirstAndItsResults) {
  const std::string p = packet(84, 1, "10.8.0.5", 'p');
  const std::string d = kPiIp + p;
  ASSERT_EQ(send(sp[1], d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
  s.ready_flags = READY_TUN | READY_TUNNEL;
  EXPECT_EQ(vpn_data_transfer_qn1(&s), XFER_OK);
  EXPECT_EQ(s.ready_flags, uint32_t{READY_TUNNEL});  // the gateway side waits for the next call
  EXPECT_EQ(g_written, std::vector<std::string>{p});
  EXPECT_EQ(g_byte_out.load(), p.size());
  // Nothing to read on the non-blocking device: no failure.
  EXPECT_EQ(side(READY_TUN), XFER_OK);
  // A TLS write of 0 or less ends the session and counts nothing.
  for (int w : {0, -1}) {
    ASSERT_EQ(send(sp[1], d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
    g_write_result = w;
    EXPECT_EQ(side(READY_TUN), XFER_FAILED);
  }
  EXPECT_EQ(g_byte_out.load(), p.size());
  EXPECT_EQ(side(0), XFER_OK);
}

// ---- teardown -------------------------------------------------------------
namespace {
std::mutex g_jm;
std::vector<std::string> g_journal;
void note(const std::string& s) {
  std::lock_guard<std::mutex> lk(g_jm);
  g_journal.push_back(s);
}
std::vector<pid_t> g_killed;
std::atomic<bool> g_hold_routes{false};
std::atomic<bool> g_second_started{false};
std::atomic<bool> g_first_inside{false};

vpn_dtor_ops recording_ops() {
  vpn_dtor_ops o{};
  o.forknexec = [](const char* c, int) {
    note(c);
    return 0;
  };
  o.dns_config_is_kept = [] { return true; };
  o.restore_dns_config = [] {
    g_first_inside = true;
    note("restore_dns_config");
    return 0;
  };
  o.restore_routes = [] {
    while (g_hold_routes && !g_second_started) std::this_thread::yield();
    if (g_hold_routes) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the wait
    note("restore_routes");
  };
  o.restore_default_route = [] { note("restore_default_route"); };
  return o;
}
}  // namespace

TEST(Gen1Teardown, StepsInOrderOnceAndOtherInstancesOnly) {
  gen1_reset_for_test();
  {
    std::lock_guard<std::mutex> lk(g_jm);
    g_journal.clear();
  }
  const vpn_dtor_ops ops = recording_ops();
  vpn_dtor_set_ops(&ops);
  set_command_hook([](const std::string& c, bool) { note(c); });
  set_dns_read_hook([](const std::string& cmd, std::string* out) {
    *out = cmd.find("-getdnsservers") != std::string::npos ? "10.0.0.53\n"
                                                            : "There aren't any Search Domains set on Wi-Fi.\n";
    return true;
  });
  gen1_set_kill_hook([](const std::vector<pid_t>& p) { g_killed = p; });
  initial_network_config();
  m_pDNSList->count = 1;
  std::snprintf(g_NetworkServiceName, sizeof g_NetworkServiceName, "Wi-Fi");
  std::snprintf(usedifname, sizeof usedifname, "en0");
  std::snprintf(dnsip, sizeof dnsip, "10.0.0.53 10.0.0.54");
  tundev_created = 2;
  g_thread_stop = 0;

  // Another "dorvex" (a child of ours) and this process under the same name.
  pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_NAME, "dorvex");
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  char own[32] = {};
  prctl(PR_GET_NAME, own);
  for (int i = 0; i < 500; ++i) {  // until the child has its name
    char path[64], comm[32] = {};
    std::snprintf(path, sizeof path, "/proc/%d/comm", child);
    FILE* f = std::fopen(path, "r");
    if (f) {
      if (!std::fgets(comm, sizeof comm, f)) comm[0] = '\0';
      std::fclose(f);
    }
    if (std::string(comm) == "dorvex\n") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  prctl(PR_SET_NAME, "dorvex");

  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  vpnc_session s;
  vpnc_session_reset(&s);
  s.tunfd = p[0];
  std::snprintf(s.hostname, sizeof s.hostname, "vpn.example.test");

  g_hold_routes = true;
  g_second_started = false;
  g_first_inside = false;
  std::atomic<int> second_done{0};
  std::thread second([&] {
    while (!g_first_inside) std::this_thread::yield();  // the first call is inside
    g_second_started = true;
    int done = 0;
    EXPECT_EQ(vpn_dtor_qn1(&s, 0, 1, &done), DTOR_DESTROYED);
    note("second call returned");
    second_done = done;
  });
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn1(&s, 1, 0, &done), DTOR_DESTROYED);
  second.join();
  prctl(PR_SET_NAME, own);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(second_done.load(), 1);

  const std::vector<std::string> want = {
      "/usr/sbin/networksetup -setdnsservers \"Wi-Fi\" 10.0.0.53 10.0.0.54",
      "/usr/sbin/networksetup -setsearchdomains \"Wi-Fi\" \"\"",
      "restore_dns_config",
      "/bin/rm -f /dev/tun2",
      "restore_routes",
      "restore_default_route",
      "/bin/rm -f /usr/local/tevra_vpn/sessionbegintime",
      "/usr/sbin/arp -a -d",
      "second call returned",
  };
  EXPECT_EQ(g_journal, want);
  EXPECT_NE(std::find(g_killed.begin(), g_killed.end(), child), g_killed.end());
  EXPECT_EQ(std::find(g_killed.begin(), g_killed.end(), getpid()), g_killed.end());
  EXPECT_EQ(s.tunfd.load(), -1);
  EXPECT_EQ(s.hostname[0], '\0');
  EXPECT_EQ(tundev_created, -1);
  EXPECT_EQ(g_thread_stop.load(), 1);
  EXPECT_EQ(retired_fd::parked_then_closed(p[0], p[1]), "");

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(p[1]);
  g_hold_routes = false;
  gen1_set_kill_hook(nullptr);
  set_dns_read_hook(nullptr);
  set_command_hook(nullptr);
  vpn_dtor_set_ops(nullptr);
  g_NetworkServiceName[0] = usedifname[0] = dnsip[0] = '\0';
  gen1_reset_for_test();
}

TEST(Gen1Teardown, UnsafeServiceNameOrDnsTextIsRefused) {
  struct Case {
    const char* name;
    const char* dns;
    const char* log;
    bool searchdomains;
  };
  const Case cases[] = {
      {"", "10.0.0.53", "no network service named", false},
      {"Wi\"-Fi", "10.0.0.53", "refused for a command line", false},
      {"Wi$(reboot)", "10.0.0.53", "refused for a command line", false},
      {"Wi-Fi", "10.0.0.53; reboot", "is no list of addresses", true},
      {"Wi-Fi", "", "is no list of addresses", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gen1_reset_for_test();
    {
      std::lock_guard<std::mutex> lk(g_jm);
      g_journal.clear();
    }
    const vpn_dtor_ops ops = recording_ops();
    vpn_dtor_set_ops(&ops);
    set_command_hook([](const std::string& cmd, bool) { note(cmd); });
    set_dns_read_hook([](const std::string&, std::string* out) {
      *out = "10.0.0.53\n";
      return true;
    });
    gen1_set_kill_hook([](const std::vector<pid_t>&) {});
    initial_network_config();
    m_pDNSList->count = 1;
    std::snprintf(g_NetworkServiceName, sizeof g_NetworkServiceName, "%s", c.name);
    std::snprintf(usedifname, sizeof usedifname, "en0");
    std::snprintf(dnsip, sizeof dnsip, "%s", c.dns);
    LogCapture log;
    vpnc_session s;
    vpnc_session_reset(&s);
    int done = 0;
    vpn_dtor_qn1(&s, 0, 0, &done);
    EXPECT_TRUE(log.has(c.log));
    for (auto& j : g_journal) EXPECT_EQ(j.find("-setdnsservers"), std::string::npos) << j;
    const bool search = std::any_of(g_journal.begin(), g_journal.end(),
                                    [](const std::string& j) { return j.find("-setsearchdomains") != std::string::npos; });
    EXPECT_EQ(search, c.searchdomains);
  }
  gen1_set_kill_hook(nullptr);
  set_dns_read_hook(nullptr);
  set_command_hook(nullptr);
  vpn_dtor_set_ops(nullptr);
  g_NetworkServiceName[0] = usedifname[0] = dnsip[0] = '\0';
  gen1_reset_for_test();
}
