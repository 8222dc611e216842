#include "client/session/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/config_store.h"
#include "tests/unit/tls_test_server.h"
#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/controller.h"
#include "client/session/gateway_conn.h"
#include "client/session/tls_methods.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"

// Largest C++ allocation while tracking is on (0: none); shared with the
// receiver tests.
void alloc_track_begin();
std::size_t alloc_track_end();

namespace {

// Allocations of the TLS library, counted from before its first use.
std::atomic<long> g_crypto_allocs{0};
void* counting_malloc(std::size_t n, const char*, int) {
  g_crypto_allocs.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n);
}
void* counting_realloc(void* p, std::size_t n, const char*, int) {
  g_crypto_allocs.fetch_add(1, std::memory_order_relaxed);
  return std::realloc(p, n);
}
void counting_free(void* p, const char*, int) { std::free(p); }
const bool g_crypto_counted = CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free) == 1;

// ---- fake TLS side ---------------------------------------------------------
std::deque<std::string> g_tls_reads;     // one entry per read; "" answers 0
std::vector<std::string> g_tls_written;  // one entry per write
int g_tls_pending = 0;

int fake_read(void* buf, int len) {
  if (g_tls_reads.empty()) return -1;
  std::string chunk = g_tls_reads.front();
  g_tls_reads.pop_front();
  if (static_cast<int>(chunk.size()) > len) return -1;  // the test's own mistake
  std::memcpy(buf, chunk.data(), chunk.size());
  return static_cast<int>(chunk.size());
}
int fake_write(const void* buf, int len) {
  g_tls_written.emplace_back(static_cast<const char*>(buf), static_cast<std::size_t>(len));
  return len;
}
int fake_pending() { return g_tls_pending; }
const relay_tls_io kFakeIo{fake_read, fake_write, fake_pending};

// ---- packets ---------------------------------------------------------------
std::string ip_packet(std::size_t total, uint8_t proto, const char* src, const char* dst,
                      uint16_t dport = 0, char fill = 'x') {
  std::string p(total < 24 ? 24 : total, fill);
  p[0] = 0x45;
  p[2] = static_cast<char>(total >> 8);
  p[3] = static_cast<char>(total & 0xFF);
  p[9] = static_cast<char>(proto);
  in_addr a{};
  inet_pton(AF_INET, src, &a);
  std::memcpy(&p[12], &a, 4);
  inet_pton(AF_INET, dst, &a);
  std::memcpy(&p[16], &a, 4);
  p[22] = static_cast<char>(dport >> 8);
  p[23] = static_cast<char>(dport & 0xFF);
  p.resize(total);
  return p;
}
std::string pkt(std::size_t total, char fill) { return ip_packet(total, 6, "10.0.0.1", "10.0.0.2", 80, fill); }
std::string bad_len(uint16_t total) {
  std::string p = pkt(20, 'b');
  p[2] = static_cast<char>(total >> 8);
  p[3] = static_cast<char>(total & 0xFF);
  return p;
}
const std::string kLinuxPiIp("\x00\x00\x08\x00", 4);

// ---- fixture: utun on a datagram socketpair, TLS on the fake ---------------
class Relay : public ::testing::Test {
 protected:
  int sp[2] = {-1, -1};
  std::vector<std::string> log;

  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sp), 0);
    session.tunfd = sp[0];
    session.ready_flags = 0;
    g_tls_reads.clear();
    g_tls_written.clear();
    g_tls_pending = 0;
    relay_note_generation();  // the connection in place is the one waited on
    g_byte_in = 0;
    g_byte_out = 0;
    m_pExcludeResouceList = nullptr;
    relay_set_tls_io(&kFakeIo);
    relay_reset_carry_over();  // dropped on the first read of each test
    vpn_log_set_sink([this](int, const char* l) { log.emplace_back(l); });
  }
  void TearDown() override {
    vpn_log_set_sink(nullptr);
    relay_set_tls_io(nullptr);
    relay_set_dtor(nullptr);
    session.tunfd = -1;
    close(sp[0]);
    close(sp[1]);
  }

  int inbound() {
    session.ready_flags = READY_TUNNEL;
    return vpn_data_transfer_qn2(&session);
  }
  int outbound() {
    session.ready_flags = READY_TUN;
    return vpn_data_transfer_qn2(&session);
  }
  // Every datagram written to "utun", with the 4-byte header checked.
  std::vector<std::string> utun_packets() {
    std::vector<std::string> out;
    char buf[70000];
    for (;;) {
      ssize_t r = recv(sp[1], buf, sizeof buf, 0);
      if (r < 0) break;
      EXPECT_GE(r, 4);
      EXPECT_EQ(std::string(buf, 4), kLinuxPiIp);
      out.emplace_back(buf + 4, static_cast<std::size_t>(r - 4));
    }
    return out;
  }
  void to_utun(const std::string& packet) {
    std::string d = kLinuxPiIp + packet;
    ASSERT_EQ(send(sp[1], d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
  }
  bool logged(const std::string& text) {
    for (auto& l : log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
};

struct InboundCase {
  const char* name;
  std::vector<std::string> reads;
  std::vector<int> results;
  std::vector<std::string> written;
  int carry_after;
};

TEST_F(Relay, InboundCutting) {
  const std::string a = pkt(60, 'a'), b = pkt(100, 'b'), c = pkt(1400, 'c');
  const std::string ka = ip_packet(20, 255, "0.1.0.0", "10.0.0.2");
  const std::vector<InboundCase> cases = {
      {"one whole packet", {a}, {XFER_OK}, {a}, 0},
      {"two packets in one read", {a + b}, {XFER_OK}, {a, b}, 0},
      {"one packet over three reads", {c.substr(0, 500), c.substr(500, 500), c.substr(1000)},
       {XFER_PENDING, XFER_PENDING, XFER_OK}, {c}, 0},
      {"10-byte fragment then the rest", {a.substr(0, 10), a.substr(10)}, {XFER_PENDING, XFER_OK}, {a}, 0},
      {"fragment, then less than a header more", {a.substr(0, 10), a.substr(10, 5), a.substr(15)},
       {XFER_PENDING, XFER_PENDING, XFER_OK}, {a}, 0},
      {"packet and the head of the next", {a + b.substr(0, 30), b.substr(30)}, {XFER_OK, XFER_OK}, {a, b}, 0},
      {"packet and 5 bytes of the next", {a + b.substr(0, 5), b.substr(5) + a}, {XFER_OK, XFER_OK}, {a, b, a}, 0},
      {"tail kept after a batch", {a + a + b.substr(0, 40)}, {XFER_OK}, {a, a}, 40},
      {"keepalive-shaped packet is delivered", {ka + a}, {XFER_OK}, {ka, a}, 0},
      {"total length below 20", {bad_len(19)}, {XFER_FAILED}, {}, 0},
      {"total length 0 after a packet", {a + bad_len(0)}, {XFER_FAILED}, {a}, 0},
      {"total length 0 in the carry-over", {bad_len(0).substr(0, 10), bad_len(0).substr(10)},
       {XFER_PENDING, XFER_FAILED}, {}, 0},
      {"stream goes on after a broken one", {bad_len(3), a}, {XFER_FAILED, XFER_OK}, {a}, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    relay_reset_carry_over();
    g_byte_in = 0;
    uint64_t bytes = 0;
    for (auto& r : tc.reads) {
      g_tls_reads.push_back(r);
      bytes += r.size();
    }
    std::vector<int> results;
    for (std::size_t i = 0; i < tc.reads.size(); ++i) results.push_back(inbound());
    EXPECT_EQ(results, tc.results);
    EXPECT_EQ(utun_packets(), tc.written);
    EXPECT_EQ(relay_carry_over_len(), tc.carry_after);
    EXPECT_EQ(g_byte_in.load(), bytes);  // also bytes that wait in the carry-over
  }
}

TEST_F(Relay, CarryOverOverflowFailsAndEmptiesIt) {
  std::string head = pkt(20, 'h');
  head[2] = static_cast<char>(0xFF);
  head[3] = static_cast<char>(0xFF);  // announces 65535 bytes
  g_tls_reads = {head.substr(0, 10), std::string(kRelayReadMax, 'z'), pkt(60, 'a')};
  EXPECT_EQ(inbound(), XFER_PENDING);
  EXPECT_EQ(relay_carry_over_len(), 10);
  EXPECT_EQ(inbound(), XFER_FAILED);
  EXPECT_EQ(relay_carry_over_len(), 0);
  EXPECT_TRUE(utun_packets().empty());
  EXPECT_EQ(inbound(), XFER_OK);  // nothing of the old bytes sticks
  EXPECT_EQ(utun_packets(), std::vector<std::string>{pkt(60, 'a')});
}

TEST_F(Relay, ResetDropsCarryOverOfTheOldConnection) {
  const std::string a = pkt(60, 'a'), b = pkt(80, 'b');
  g_tls_reads = {a.substr(0, 30), b};
  EXPECT_EQ(inbound(), XFER_PENDING);
  relay_reset_carry_over();
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_EQ(utun_packets(), std::vector<std::string>{b});
}

TEST_F(Relay, TlsReadFailureAndLastReceipt) {
  g_starttick = static_cast<int64_t>(time(nullptr)) - 100;
  g_lasttunnelrecv = 0;
  g_tls_reads = {pkt(40, 'a'), ""};
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_GE(g_lasttunnelrecv.load(), 100);
  EXPECT_LE(g_lasttunnelrecv.load(), 102);
  EXPECT_EQ(inbound(), XFER_FAILED);  // read of 0 bytes
  EXPECT_TRUE(logged("function: vpn_data_transfer_qn2:read ip from ssl failed!read bytes 0, errno is"));
  EXPECT_EQ(session.ready_flags, 0u);
}

TEST_F(Relay, StaleReadinessReadsNothing) {
  g_tls_reads = {pkt(40, 'a')};
  g_conn_generation.fetch_add(1);  // a reconnection put a new connection in place
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_EQ(g_tls_reads.size(), 1u);
  EXPECT_EQ(g_byte_in.load(), 0u);
  EXPECT_EQ(session.ready_flags, 0u);
  EXPECT_TRUE(logged("readiness dropped"));
  relay_note_generation();  // the next wait looks at the new one
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_EQ(utun_packets(), std::vector<std::string>{pkt(40, 'a')});
}

TEST_F(Relay, NeitherBitIsOk) {
  session.ready_flags = 0;
  EXPECT_EQ(vpn_data_transfer_qn2(&session), XFER_OK);
  EXPECT_TRUE(g_tls_written.empty());
}

TEST_F(Relay, UtunSideIsServedFirstAndAlone) {
  const std::string out = pkt(50, 'o');
  to_utun(out);
  g_tls_reads = {pkt(40, 'i')};
  session.ready_flags = READY_TUN | READY_TUNNEL;
  EXPECT_EQ(vpn_data_transfer_qn2(&session), XFER_OK);
  EXPECT_EQ(g_tls_written, std::vector<std::string>{out});
  EXPECT_EQ(session.ready_flags, static_cast<uint32_t>(READY_TUNNEL));
  EXPECT_EQ(g_tls_reads.size(), 1u);
}

TEST_F(Relay, OutboundSendsPacketUnchanged) {
  const std::string p = pkt(300, 'p');
  to_utun(p);
  EXPECT_EQ(outbound(), XFER_OK);
  EXPECT_EQ(g_tls_written, std::vector<std::string>{p});
  EXPECT_EQ(g_byte_out.load(), 300u);
}

TEST_F(Relay, OutboundEmptyNonBlockingReadIsNoFailure) {
  EXPECT_EQ(outbound(), XFER_OK);
  EXPECT_TRUE(g_tls_written.empty());
  EXPECT_FALSE(logged("read from tun failed!"));
}

TEST_F(Relay, OutboundFailures) {
  struct Case {
    const char* name;
    int (*write)(const void*, int);
  } cases[] = {
      {"write answers -1", [](const void*, int) { return -1; }},
      {"write answers 0", [](const void*, int) { return 0; }},
  };
  for (auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    log.clear();
    const relay_tls_io io{fake_read, tc.write, fake_pending};
    relay_set_tls_io(&io);
    to_utun(pkt(40, 'z'));
    EXPECT_EQ(outbound(), XFER_FAILED);
    EXPECT_TRUE(logged("write to ssl failed!"));
    EXPECT_EQ(g_byte_out.load(), 0u);
    relay_set_tls_io(&kFakeIo);
  }
  log.clear();
  session.tunfd = 1000;  // not open
  EXPECT_EQ(outbound(), XFER_FAILED);
  EXPECT_TRUE(logged("read from tun failed!"));
}

TEST_F(Relay, UtunWriteFailureFailsInbound) {
  session.tunfd = 1000;  // not open
  g_tls_reads = {pkt(40, 'a'), pkt(40, 'a') + pkt(40, 'b')};
  EXPECT_EQ(inbound(), XFER_FAILED);
  EXPECT_TRUE(logged("write tun failed!"));
  EXPECT_EQ(inbound(), XFER_FAILED);
  EXPECT_TRUE(logged("write tun ip ssl failed!"));
}

TEST_F(Relay, FilteredPacketIsDroppedAndNotCounted) {
  static _VPN_RESOURCE_LIST_ ex{};
  ex.count = 1;
  ex.entries[0] = {};
  inet_pton(AF_INET, "10.0.0.0", &ex.entries[0].ip);
  inet_pton(AF_INET, "255.255.255.0", &ex.entries[0].mask);
  ex.entries[0].port_match = PORT_MATCH_ONE;
  ex.entries[0].ports[0] = 80;
  m_pExcludeResouceList = &ex;
  to_utun(pkt(40, 'a'));  // 10.0.0.2:80
  EXPECT_EQ(outbound(), XFER_OK);
  EXPECT_TRUE(g_tls_written.empty());
  EXPECT_EQ(g_byte_out.load(), 0u);
}

// A reconnection on another thread holds the connection lock: the packet
// read from utun waits and then goes out on the connection in place.
TEST_F(Relay, OutboundWriteWaitsForTheConnectionLock) {
  to_utun(pkt(40, 'w'));
  std::unique_lock<std::mutex> held(g_conn_lock);
  std::atomic<int> result{0};
  std::thread relay([&] { result = outbound(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(g_tls_written.empty());
  held.unlock();
  relay.join();
  EXPECT_EQ(result.load(), XFER_OK);
  EXPECT_EQ(g_tls_written.size(), 1u);
}

TEST_F(Relay, TlsPendingSeenAndNeverBlocks) {
  EXPECT_FALSE(relay_tls_pending());
  g_tls_pending = 5;
  EXPECT_TRUE(relay_tls_pending());
  // Another thread (a keepalive write, a reconnection) holds the lock: the
  // answer is what the relay's last read left on the connection in place.
  auto while_busy = [] {
    std::atomic<bool> locked{false}, release{false};
    std::thread other([&] {
      std::lock_guard<std::mutex> lk(g_conn_lock);
      locked = true;
      for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    for (int i = 0; i < 500 && !locked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool pending = relay_tls_pending();
    release = true;
    other.join();
    return pending;
  };
  EXPECT_FALSE(while_busy());  // nothing read yet
  g_tls_reads = {pkt(40, 'a')};
  EXPECT_EQ(inbound(), XFER_OK);  // the library still holds bytes
  EXPECT_TRUE(while_busy());
  g_conn_generation.fetch_add(1);
  EXPECT_FALSE(while_busy());  // a new connection: its bytes are not known
  relay_note_generation();
  g_tls_pending = 0;
  g_tls_reads = {pkt(40, 'b')};
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_FALSE(while_busy());  // the last read left nothing
}

// ---- session-kill notice ---------------------------------------------------
TEST(SessionKill, Detection) {
  struct Case {
    uint8_t proto;
    const char* src;
    std::size_t len;
    bool kill;
  } cases[] = {
      {255, "0.2.0.0", 20, true},  {255, "0.2.7.9", 40, true},   {255, "0.1.0.0", 20, false},
      {255, "1.2.0.0", 20, false}, {255, "0.3.0.0", 20, false},  {6, "0.2.0.0", 40, false},
      {17, "0.2.0.0", 40, false},  {255, "0.2.0.0", 19, false},
  };
  for (auto& tc : cases) {
    SCOPED_TRACE(std::string(tc.src) + " proto " + std::to_string(tc.proto));
    std::string p = ip_packet(tc.len < 20 ? 20 : tc.len, tc.proto, tc.src, "10.0.0.2");
    EXPECT_EQ(is_session_kill_notice(reinterpret_cast<const uint8_t*>(p.data()), tc.len), tc.kill);
  }
}

int g_dtor_calls = 0;
int dtor_busy_twice(vpnc_session*, int reconnect, int force, int* done) {
  ++g_dtor_calls;
  std::fprintf(stderr, "dtor call %d reconnect %d force %d\n", g_dtor_calls, reconnect, force);
  if (g_dtor_calls < 3) return DTOR_BUSY;
  *done = 1;
  return DTOR_DESTROYED;
}

using RelayDeathTest = Relay;

// The packets before the notice reach utun; the notice does not; the
// controller is called, forced and without reconnection, until it reports
// the session torn down; the process ends with status 0.
TEST_F(RelayDeathTest, KillNoticeTearsDownAndExitsZero) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string a = pkt(60, 'a'), b = pkt(44, 'b');
  const std::string kill = ip_packet(20, 255, "0.2.0.0", "10.0.0.2");
  g_tls_reads = {a + b + kill + pkt(30, 'c')};
  relay_set_dtor(dtor_busy_twice);
  EXPECT_EXIT(inbound(), ::testing::ExitedWithCode(0), "dtor call 3 reconnect 0 force 1");
  std::vector<std::string> want = {a, b};
  EXPECT_EQ(utun_packets(), want);
}

// ---- filter ----------------------------------------------------------------
_VPN_RESOURCE_ entry(const char* net, const char* mask, uint8_t match, std::vector<uint16_t> ports) {
  _VPN_RESOURCE_ e{};
  inet_pton(AF_INET, net, &e.ip);
  inet_pton(AF_INET, mask, &e.mask);
  e.port_match = match;
  for (std::size_t i = 0; i < ports.size() && i < 5; ++i) e.ports[i] = ports[i];
  return e;
}

TEST(Filter, ExcludedNetworksAndPortRules) {
  static _VPN_RESOURCE_LIST_ ex{};
  ex.count = 5;
  ex.entries[0] = entry("10.1.0.0", "255.255.0.0", PORT_MATCH_ONE, {80});
  ex.entries[1] = entry("10.2.0.0", "255.255.0.0", PORT_MATCH_LIST, {22, 443, 8080, 9000, 9001});
  ex.entries[2] = entry("10.3.0.0", "255.255.0.0", PORT_MATCH_RANGE, {1000, 2000});
  ex.entries[3] = entry("10.4.0.0", "255.255.0.0", 0, {80});
  ex.entries[4] = entry("10.5.5.5", "255.255.255.255", PORT_MATCH_ONE, {53});
  struct Case {
    const char* name;
    uint8_t proto;
    const char* dst;
    uint16_t port;
    std::size_t len;
    int send;
  } cases[] = {
      {"TCP ONE match", 6, "10.1.2.3", 80, 40, 0},
      {"UDP ONE match", 17, "10.1.2.3", 80, 40, 0},
      {"TCP ONE other port", 6, "10.1.2.3", 81, 40, 1},
      {"TCP LIST first", 6, "10.2.0.1", 22, 40, 0},
      {"UDP LIST last", 17, "10.2.0.1", 9001, 40, 0},
      {"TCP LIST miss", 6, "10.2.0.1", 444, 40, 1},
      {"UDP RANGE low end", 17, "10.3.9.9", 1000, 40, 0},
      {"TCP RANGE high end", 6, "10.3.9.9", 2000, 40, 0},
      {"UDP RANGE below", 17, "10.3.9.9", 999, 40, 1},
      {"TCP RANGE above", 6, "10.3.9.9", 2001, 40, 1},
      {"port rule 0 never drops TCP", 6, "10.4.0.1", 80, 40, 1},
      {"port rule 0 drops ICMP", 1, "10.4.0.1", 0, 40, 0},
      {"ICMP to an excluded network", 1, "10.1.2.3", 0, 40, 0},
      {"GRE to an excluded network", 47, "10.3.0.1", 0, 40, 0},
      {"ICMP elsewhere", 1, "10.9.0.1", 0, 40, 1},
      {"host mask match", 17, "10.5.5.5", 53, 40, 0},
      {"host mask neighbour", 17, "10.5.5.6", 53, 40, 1},
      {"TCP outside every network", 6, "11.1.2.3", 80, 40, 1},
      {"port beyond the packet", 6, "10.1.2.3", 80, 22, 1},
      {"ICMP with just a header", 1, "10.1.2.3", 0, 20, 0},
      {"shorter than an IPv4 header", 1, "10.1.2.3", 0, 19, 1},
  };
  for (auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    // The buffer always holds the port; only `len` says how much is packet.
    std::string p = ip_packet(40, tc.proto, "192.168.1.2", tc.dst, tc.port);
    EXPECT_EQ(DiscardOrNot(reinterpret_cast<const uint8_t*>(p.data()), tc.len, &ex), tc.send);
  }
}

TEST(Filter, NoListOrEmptyListSendsEverything) {
  std::string p = ip_packet(40, 1, "192.168.1.2", "10.1.2.3");
  static _VPN_RESOURCE_LIST_ ex{};
  ex.count = 0;
  ex.entries[0] = entry("10.1.0.0", "255.255.0.0", 0, {});
  auto* d = reinterpret_cast<const uint8_t*>(p.data());
  EXPECT_EQ(DiscardOrNot(d, p.size(), nullptr), 1);
  EXPECT_EQ(DiscardOrNot(d, p.size(), &ex), 1);
  ex.count = 1;
  EXPECT_EQ(DiscardOrNot(d, p.size(), &ex), 0);
}

}  // namespace

// ---- the default TLS side: a real TLS connection over a socketpair ---------
namespace {


class RelayTls : public Relay {
 protected:
  TlsSocketPair tls;
  void SetUp() override {
    Relay::SetUp();
    relay_set_tls_io(nullptr);  // SSL_read/SSL_write on session.ssl
    ASSERT_TRUE(tls.open(tls_client_ctx(VPNC_PROTO_TLS1_2)));  // the daemon's own context
    session.ssl = tls.client;
    session.sockfd = tls.fds[0];
  }
  void TearDown() override {
    session.ssl = nullptr;
    session.sockfd = -1;
    Relay::TearDown();
  }
  // One TLS record per call.
  void gateway_sends(const std::string& bytes) {
    ASSERT_EQ(SSL_write(tls.server, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
  }
  bool socket_readable() {
    pollfd pfd{tls.fds[0], POLLIN, 0};
    return poll(&pfd, 1, 0) > 0;
  }
};

TEST_F(RelayTls, PacketsBothWays) {
  const std::string a = pkt(60, 'a'), b = pkt(1400, 'b');
  gateway_sends(a + b);
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_EQ(utun_packets(), (std::vector<std::string>{a, b}));
  EXPECT_EQ(g_byte_in.load(), a.size() + b.size());

  const std::string out = pkt(500, 'o');
  to_utun(out);
  EXPECT_EQ(outbound(), XFER_OK);
  char buf[2000];
  ASSERT_EQ(SSL_read(tls.server, buf, sizeof buf), 500);
  EXPECT_EQ(std::string(buf, 500), out);
  EXPECT_EQ(g_byte_out.load(), 500u);
}

// Bytes behind the last configuration bytes stay in the library, where
// select() cannot see them: in the same record, and (read ahead with it) in
// the records after it.
TEST_F(RelayTls, PendingBytesAreReportedAndServed) {
  const std::string a = pkt(60, 'a'), b = pkt(1400, 'b'), c = pkt(300, 'c');
  gateway_sends("CFG" + a);
  gateway_sends(b);
  gateway_sends(c);
  char cfg[3];
  ASSERT_EQ(SSL_read(tls.client, cfg, sizeof cfg), 3);
  EXPECT_FALSE(socket_readable());  // one socket read took all three records
  for (const std::string& p : {a, b, c}) {
    EXPECT_TRUE(relay_tls_pending());
    EXPECT_EQ(inbound(), XFER_OK);
    EXPECT_EQ(utun_packets(), std::vector<std::string>{p});
  }
  EXPECT_FALSE(relay_tls_pending());
}

// Records that fill the read buffer several times over: each inbound call
// serves one record, and whatever is read ahead is reported until all is
// served.
TEST_F(RelayTls, ManyRecordsAreAllServed) {
  std::vector<std::string> sent;
  std::thread gateway([&] {
    for (int i = 0; i < 40; ++i) {
      std::string rec;
      for (char f = 'a'; rec.size() + 1400 <= 16384; ++f) rec += pkt(1400, static_cast<char>(f + i % 7));
      gateway_sends(rec);
    }
  });
  std::vector<std::string> got;
  for (int calls = 0; calls < 400 && got.size() < 40 * 11; ++calls) {
    if (!relay_tls_pending()) {
      pollfd pfd{tls.fds[0], POLLIN, 0};
      ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    }
    EXPECT_EQ(inbound(), XFER_OK);
    for (std::string& p : utun_packets()) got.push_back(std::move(p));
  }
  gateway.join();
  ASSERT_EQ(got.size(), 40u * 11);
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i], pkt(1400, static_cast<char>('a' + i % 11 + (i / 11) % 7))) << i;
  EXPECT_EQ(relay_carry_over_len(), 0);
  EXPECT_FALSE(relay_tls_pending());
}

// Once the connection's buffers exist, a packet costs the relay no
// allocation either way, and the TLS library none on the way in (its record
// buffers stay; released buffers would cost two large allocations per
// record). On the way out the library's record writer takes two small
// packet-builder frames per record and frees them before it returns.
TEST_F(RelayTls, NoAllocationPerPacket) {
  ASSERT_TRUE(g_crypto_counted) << "the TLS library allocated before the counter was installed";
  const std::string in = pkt(1400, 'i'), out = pkt(1400, 'o');
  char buf[2000];
  std::size_t relay_allocs = 0;  // largest C++ allocation inside the relay's calls
  long tls_in = 0, tls_out = 0;  // the library's allocations inside them
  auto one_each_way = [&] {
    gateway_sends(in);
    to_utun(out);
    long mark = g_crypto_allocs.load();
    alloc_track_begin();
    EXPECT_EQ(inbound(), XFER_OK);
    tls_in += g_crypto_allocs.load() - mark;
    mark = g_crypto_allocs.load();
    EXPECT_EQ(outbound(), XFER_OK);
    tls_out += g_crypto_allocs.load() - mark;
    relay_allocs = std::max(relay_allocs, alloc_track_end());
    EXPECT_EQ(SSL_read(tls.server, buf, sizeof buf), 1400);
    EXPECT_EQ(utun_packets().size(), 1u);
  };
  one_each_way();  // the first record of each direction sets the buffers up
  relay_allocs = 0;
  tls_in = tls_out = 0;
  for (int i = 0; i < 50; ++i) one_each_way();
  EXPECT_EQ(relay_allocs, 0u);
  EXPECT_EQ(tls_in, 0);
  EXPECT_LE(tls_out, 2 * 50);
}

// A reconnection put a new connection in place after the wait, here with the
// same descriptor number and bytes to read: the old readiness is dropped
// without a read, and the next wait serves the new connection.
TEST_F(RelayTls, ReusedDescriptorNumberDoesNotPassForTheWaitedOne) {
  const std::string a = pkt(60, 'a');
  gateway_sends(a);
  g_conn_generation.fetch_add(1);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(utun_packets().empty());
  EXPECT_TRUE(socket_readable());
  relay_note_generation();
  EXPECT_EQ(inbound(), XFER_OK);
  EXPECT_EQ(utun_packets(), std::vector<std::string>{a});
}

TEST_F(RelayTls, GatewayClosingFailsTheRead) {
  SSL_shutdown(tls.server);
  shutdown(tls.fds[1], SHUT_RDWR);
  EXPECT_EQ(inbound(), XFER_FAILED);
  EXPECT_TRUE(logged("read ip from ssl failed!read bytes 0"));
}

// A connection cut without close_notify: the failure's queued library
// errors are not left for the next user of the thread's error queue.
TEST_F(RelayTls, AbruptEndLeavesNoQueuedError) {
  ERR_clear_error();
  shutdown(tls.fds[1], SHUT_WR);  // the library's alert still finds a reader
  EXPECT_EQ(inbound(), XFER_FAILED);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
