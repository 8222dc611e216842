#include "tests/unit/log_capture.h"
#include "client/launcher_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/vpn_globals.h"

namespace {
uint32_t ip4(const char* text) {
  uint32_t v = 0;
  inet_pton(AF_INET, text, &v);
  return v;
}

// A listening socket on a free loopback port; its address in *a. -1 on failure.
int loopback_listener(sockaddr_in* a) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  *a = {};
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof *a;
  if (bind(fd, reinterpret_cast<sockaddr*>(a), sizeof *a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(a), &len) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Builds a package byte by byte from the field table.
struct Pkg {
  uint8_t raw[kConfigPkgSize] = {};
  Pkg() {
    be32(config_pkg_off::magic, CONFIG_PKG_MAGIC);
    addr(config_pkg_off::gateway_ip, "198.18.0.1");
    be32(config_pkg_off::gateway_port, 443);
    text(config_pkg_off::session_cookie, "SESSID=abc");
    text(config_pkg_off::navtype, "Firefox");
    text(config_pkg_off::hostname, "gw.example.test");
  }
  Pkg& be32(std::size_t off, uint32_t v) {
    raw[off] = uint8_t(v >> 24);
    raw[off + 1] = uint8_t(v >> 16);
    raw[off + 2] = uint8_t(v >> 8);
    raw[off + 3] = uint8_t(v);
    return *this;
  }
  Pkg& addr(std::size_t off, const char* ip) {
    uint32_t v = ip4(ip);
    std::memcpy(raw + off, &v, 4);
    return *this;
  }
  // Writes the bytes and a zero byte after them (when it fits in the package).
  Pkg& text(std::size_t off, const std::string& s) {
    std::memcpy(raw + off, s.data(), s.size());
    if (off + s.size() < kConfigPkgSize) raw[off + s.size()] = 0;
    return *this;
  }
  Pkg& fill(std::size_t off, std::size_t n, char c) { return text(off, std::string(n, c)); }
};

struct PkgCase {
  const char* name;
  std::function<void(Pkg&)> build;
  int expected;
  std::function<void(const vpnc_session&)> check;
  const char* log = nullptr;  // a line that must be logged
};

std::string ip6_text(const uint8_t* a) {
  char t[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, a, t, sizeof t);
  return t;
}
}  // namespace

TEST(LauncherPackage, FieldTable) {
  const PkgCase cases[] = {
      {"ipv4 gateway", [](Pkg&) {}, 0,
       [](const vpnc_session& s) {
         EXPECT_EQ(s.gateway_ip, ip4("198.18.0.1"));
         EXPECT_EQ(s.connect_ip, s.gateway_ip);
         EXPECT_EQ(s.gateway_port, 443);
         EXPECT_EQ(s.connect_port, 443);
         EXPECT_STREQ(s.session_cookie, "SESSID=abc");
         EXPECT_STREQ(s.navtype, "Firefox");
         EXPECT_STREQ(s.hostname, "gw.example.test");
         EXPECT_EQ(s.proxy_type, OUTPROXY_NONE);
         EXPECT_EQ(s.proxy_mode.load(), PROXYMODE_NONE);
       },
       "NAVTYPE := Firefox"},
      {"port uses the low 16 bits", [](Pkg& p) { p.be32(config_pkg_off::gateway_port, 0x0001'01bb); }, 0,
       [](const vpnc_session& s) { EXPECT_EQ(s.gateway_port, 443); }},
      {"proxy type word 0x00000100 is type 0",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, 0x100).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.be32(config_pkg_off::proxy_port, 3128);
       },
       0,
       [](const vpnc_session& s) {
         EXPECT_EQ(s.proxy_type, OUTPROXY_NONE);
         EXPECT_EQ(s.connect_ip, ip4("198.18.0.1"));
         EXPECT_EQ(s.connect_port, 443);
         EXPECT_EQ(s.proxy_ip, 0u);
       }},
      {"ipv6 with brackets",
       [](Pkg& p) {
         p.be32(config_pkg_off::is_ipv6, 1).text(config_pkg_off::gateway_ip6_text, "[2001:db8::1]");
       },
       0,
       [](const vpnc_session& s) {
         EXPECT_NE(s.is_ipv6, 0);
         EXPECT_EQ(ip6_text(s.gateway_ip6), "2001:db8::1");
         EXPECT_EQ(s.connect_ip, 0u);
         EXPECT_EQ(s.gateway_ip, 0u);
       }},
      {"ipv6 without brackets",
       [](Pkg& p) {
         p.be32(config_pkg_off::is_ipv6, 1).text(config_pkg_off::gateway_ip6_text, "2001:db8::1");
       },
       0,
       [](const vpnc_session& s) {
         EXPECT_EQ(ip6_text(s.gateway_ip6), "2001:db8::1");
         EXPECT_EQ(s.connect_ip, 0u);
       }},
      {"ipv6 empty text refused", [](Pkg& p) { p.be32(config_pkg_off::is_ipv6, 1); }, -1,
       [](const vpnc_session& s) { EXPECT_STREQ(s.session_cookie, ""); },
       "Failed to translate java ip string to ipv6 format"},
      {"ipv6 unspecified address refused",
       [](Pkg& p) { p.be32(config_pkg_off::is_ipv6, 1).text(config_pkg_off::gateway_ip6_text, "[::]"); }, -1,
       nullptr, "gateway address :: is not valid"},
      {"ipv4 gateway 0.0.0.0 refused", [](Pkg& p) { p.addr(config_pkg_off::gateway_ip, "0.0.0.0"); }, -1,
       [](const vpnc_session& s) { EXPECT_EQ(s.connect_ip, 0u); }, "gateway address 0.0.0.0 is not valid"},
      {"http proxy replaces the connect address only",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_HTTP).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.be32(config_pkg_off::proxy_port, 3128);
       },
       0,
       [](const vpnc_session& s) {
         EXPECT_EQ(s.proxy_mode.load(), PROXYMODE_OUTSIDE);
         EXPECT_EQ(s.connect_ip, ip4("10.9.9.9"));
         EXPECT_EQ(s.connect_port, 3128);
         EXPECT_EQ(s.gateway_ip, ip4("198.18.0.1"));
         EXPECT_EQ(s.gateway_port, 443);
       }},
      {"proxy address 0.0.0.0 refused", [](Pkg& p) { p.be32(config_pkg_off::proxy_type, OUTPROXY_HTTP); }, -1,
       [](const vpnc_session& s) { EXPECT_EQ(s.connect_ip, ip4("198.18.0.1")); },
       "outside proxy address 0.0.0.0 is not valid"},
      {"proxy type 7 refused after the address was replaced",
       [](Pkg& p) { p.be32(config_pkg_off::proxy_type, 7).addr(config_pkg_off::proxy_ip, "10.9.9.9"); }, -1,
       [](const vpnc_session& s) {
         EXPECT_EQ(s.connect_ip, ip4("10.9.9.9"));
         EXPECT_STREQ(s.navtype, "");
       }},
      {"basic proxy user of 63 bytes taken",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_BASIC).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.fill(config_pkg_off::proxy_user, 63, 'u').fill(config_pkg_off::proxy_passwd, 31, 'p');
         p.fill(config_pkg_off::proxy_domain, 200, 'd');  // not read for Basic
       },
       0,
       [](const vpnc_session& s) {
         EXPECT_EQ(std::strlen(s.proxy_user), 63u);
         EXPECT_EQ(std::strlen(s.proxy_passwd), 31u);
         EXPECT_STREQ(s.proxy_domain, "");
         EXPECT_STREQ(s.navtype, "Firefox");
       }},
      {"basic proxy user of 64 bytes refused",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_BASIC).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.fill(config_pkg_off::proxy_user, 64, 'u');
       },
       -1,
       [](const vpnc_session& s) {
         EXPECT_STREQ(s.navtype, "");
         EXPECT_STREQ(s.hostname, "");
       },
       "proxy uname is larger than destination's buffer"},
      {"proxy password of 32 bytes refused",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_NTLM).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.fill(config_pkg_off::proxy_passwd, 32, 'p');
       },
       -1, nullptr, "proxy passwd is larger than destination's buffer"},
      {"ntlm domain of 99 bytes taken",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_NTLM).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.text(config_pkg_off::proxy_user, "bob").fill(config_pkg_off::proxy_domain, 99, 'd');
       },
       0, [](const vpnc_session& s) { EXPECT_EQ(std::strlen(s.proxy_domain), 99u); }},
      {"ntlm domain of 100 bytes refused",
       [](Pkg& p) {
         p.be32(config_pkg_off::proxy_type, OUTPROXY_NTLM).addr(config_pkg_off::proxy_ip, "10.9.9.9");
         p.fill(config_pkg_off::proxy_domain, 100, 'd');
       },
       -1, nullptr, "proxy domain is larger than destination's buffer"},
      {"launch mode of 63 bytes taken", [](Pkg& p) { p.fill(config_pkg_off::navtype, 63, 'n'); }, 0,
       [](const vpnc_session& s) { EXPECT_EQ(std::strlen(s.navtype), 63u); }},
      {"launch mode of 64 bytes refused", [](Pkg& p) { p.fill(config_pkg_off::navtype, 64, 'n'); }, -1,
       [](const vpnc_session& s) {
         EXPECT_STREQ(s.navtype, "");
         EXPECT_STREQ(s.hostname, "");
       }},
      {"host name of 63 bytes taken", [](Pkg& p) { p.fill(config_pkg_off::hostname, 63, 'h'); }, 0,
       [](const vpnc_session& s) { EXPECT_EQ(std::strlen(s.hostname), 63u); }},
      {"host name of 64 bytes refused", [](Pkg& p) { p.fill(config_pkg_off::hostname, 64, 'h'); }, -1,
       [](const vpnc_session& s) { EXPECT_STREQ(s.hostname, ""); },
       "source hostname length is larger then destination"},
      {"host name without zero byte to the end refused",
       [](Pkg& p) { std::memset(p.raw + config_pkg_off::hostname, 'h', 256); }, -1, nullptr,
       "source hostname length is larger then destination"},
      {"cookie of 300 bytes runs into the next field",
       [](Pkg& p) { p.fill(config_pkg_off::session_cookie, 300, 'c'); }, 0,
       [](const vpnc_session& s) { EXPECT_EQ(std::strlen(s.session_cookie), 300u); }},
      {"no zero byte from the cookie to the end refused",
       [](Pkg& p) { std::memset(p.raw + config_pkg_off::session_cookie, 'c', kConfigPkgSize - 164); }, -1,
       [](const vpnc_session& s) { EXPECT_STREQ(s.session_cookie, ""); },
       "source cookie length is larger then destination"},
  };
  for (const PkgCase& c : cases) {
    SCOPED_TRACE(c.name);
    Pkg p;
    c.build(p);
    vpnc_session s;
    vpnc_session_reset(&s);
    LogCapture logs;
    EXPECT_EQ(fill_session_from_pkg(p.raw, &s), c.expected);
    if (c.check) c.check(s);
    if (c.log) {
      EXPECT_TRUE(logs.has(c.log)) << c.log;
    }
  }
}

TEST(LauncherPackage, LaunchModeTooLongIsRefusedWithoutMessage) {
  Pkg p;
  p.fill(config_pkg_off::navtype, 64, 'n');
  vpnc_session s;
  vpnc_session_reset(&s);
  LogCapture logs;
  EXPECT_EQ(fill_session_from_pkg(p.raw, &s), -1);
  ASSERT_FALSE(logs.lines.empty());
  EXPECT_NE(logs.lines.back().find("OUTSIDE_PROXY_TYPE=0"), std::string::npos);
}

TEST(LauncherPackage, ReceivedWholeOrNotAtAll) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Pkg p;
  ASSERT_EQ(write(sv[1], p.raw, 500), 500);
  ASSERT_EQ(write(sv[1], p.raw + 500, kConfigPkgSize - 500), ssize_t(kConfigPkgSize - 500));
  config_pkg got{};
  EXPECT_EQ(recv_config_pkg(sv[0], &got), kPkgWhole);
  EXPECT_EQ(std::memcmp(got.raw, p.raw, kConfigPkgSize), 0);
  // A connection that ends part-way is not a package.
  ASSERT_EQ(write(sv[1], p.raw, 1187), 1187);
  close(sv[1]);
  EXPECT_EQ(recv_config_pkg(sv[0], &got), kPkgCut);
  close(sv[0]);
}

// The bound holds for the whole package: a peer that never lets a single
// read wait long, one byte at a time, is given up all the same.
TEST(LauncherPackage, TricklingOrSilentPeerIsGivenUpWithinOneBound) {
  using namespace std::chrono;
  for (auto gap : {milliseconds(20), milliseconds(0)}) {  // 0: sends nothing
    SCOPED_TRACE(gap.count());
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
      Pkg p;
      for (std::size_t i = 0; gap.count() > 0 && i < kConfigPkgSize && !stop.load(); ++i) {
        if (write(sv[1], p.raw + i, 1) != 1) break;
        std::this_thread::sleep_for(gap);
      }
    });
    config_pkg got{};
    auto t0 = steady_clock::now();
    EXPECT_EQ(recv_config_pkg(sv[0], &got, 500), kPkgLate);
    auto took = steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(450));
    EXPECT_LT(took, seconds(10));  // a whole trickled package takes 24 s
    stop.store(true);
    trickler.join();
    close(sv[0]);
    close(sv[1]);
  }
}

// The package is awaited on every connection at once: a peer that sent a
// few bytes and went quiet, and one whose package was refused for its magic
// (the peer keeps it open), hold neither the launcher's package nor a
// descriptor; both are let go.
TEST(LauncherPackage, ConnectionsAreReadSideBySideAndRefusalsClosed) {
  sockaddr_in a{};
  int lfd = loopback_listener(&a);
  ASSERT_NE(lfd, -1);
  sockfdctl = lfd;
  auto dial = [&a] {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return c;
  };
  Pkg good;
  good.text(config_pkg_off::session_cookie, "TAKEN");
  Pkg bad;
  bad.be32(config_pkg_off::magic, 0xFEEDC0DF);
  int quiet = dial();
  ASSERT_EQ(send(quiet, good.raw, 10, MSG_NOSIGNAL), 10);
  int refused = dial();
  ASSERT_EQ(send(refused, bad.raw, kConfigPkgSize, MSG_NOSIGNAL), ssize_t(kConfigPkgSize));
  std::thread launcher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int c = dial();
    EXPECT_EQ(send(c, good.raw, kConfigPkgSize, MSG_NOSIGNAL), ssize_t(kConfigPkgSize));
  });
  LogCapture logs;
  vpnc_session s;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(read_config(&s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kPackageReadBoundSec / 2));
  launcher.join();
  EXPECT_STREQ(s.session_cookie, "TAKEN");
  EXPECT_TRUE(logs.has("read finish but pkg is invalid"));
  char b;
  EXPECT_EQ(recv(refused, &b, 1, 0), 0);
  EXPECT_EQ(recv(quiet, &b, 1, 0), 0);
  EXPECT_TRUE(logs.has("1 other connections awaiting a package dropped"));
  // The listener is as the later accept loop expects it: blocking.
  EXPECT_EQ(fcntl(lfd, F_GETFL) & O_NONBLOCK, 0);
  close(connfd.exchange(-1));
  sockfdctl = -1;
  close(lfd);
  close(quiet);
  close(refused);
}

namespace {
class Requests : public ::testing::Test {
 protected:
  int sv[2] = {-1, -1};
  vpnc_session s;
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    vpnc_session_reset(&s);
    initial_network_config();
    g_byte_in = 0;
    g_byte_out = 0;
  }
  void TearDown() override {
    if (sv[0] != -1) close(sv[0]);
    if (sv[1] != -1) close(sv[1]);
  }
  void request(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(sv[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  std::vector<uint8_t> reply() {
    std::vector<uint8_t> out(kStatReplySize + 1);
    ssize_t n = recv(sv[1], out.data(), out.size(), MSG_DONTWAIT);
    out.resize(n < 0 ? 0 : std::size_t(n));
    return out;
  }
};
const std::vector<uint8_t> kStat = {0xfe, 0xed, 0xc0, 0xde};

std::string field(const std::vector<uint8_t>& r, std::size_t off, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(r.data()) + off, n);
}
}  // namespace

TEST_F(Requests, StatisticsBeforeNetworkConfiguration) {
  request(kStat);
  EXPECT_EQ(java_socket_process(&s, sv[0]), 1);
  auto r = reply();
  ASSERT_EQ(r.size(), kStatReplySize);
  EXPECT_EQ(field(r, 0, 15), std::string("0.0.0.0") + std::string(8, '\0'));
  EXPECT_EQ(field(r, 15, 100), std::string("0") + std::string(99, '\0'));
  EXPECT_EQ(field(r, 115, 100), std::string("0") + std::string(99, '\0'));
}

TEST_F(Requests, StatisticsFifteenCharacterAddressAndCounters) {
  clientip_store(m_pNetConfigFlag, ip4("192.168.100.200"));
  g_byte_in = 18446744073709551615ull;
  g_byte_out = 1234;
  request(kStat);
  EXPECT_EQ(java_socket_process(&s, sv[0]), 1);
  auto r = reply();
  ASSERT_EQ(r.size(), kStatReplySize);
  EXPECT_EQ(field(r, 0, 15), "192.168.100.200");
  EXPECT_EQ(field(r, 15, 20), "18446744073709551615");
  EXPECT_EQ(r[35], 0);
  EXPECT_EQ(field(r, 115, 5), std::string("1234") + '\0');
}

TEST_F(Requests, BadShortClosedAndInvalidSocket) {
  LogCapture logs;
  request({0, 0, 0, 0});
  EXPECT_EQ(java_socket_process(&s, sv[0]), -1);
  EXPECT_TRUE(logs.has("statistics request code is not valid"));
  EXPECT_TRUE(reply().empty());

  logs.lines.clear();
  request({0xfe, 0xed});  // incomplete, then the launcher goes
  shutdown(sv[1], SHUT_WR);
  EXPECT_EQ(java_socket_process(&s, sv[0]), -1);
  EXPECT_TRUE(logs.has("statistics request code is not valid"));

  logs.lines.clear();
  EXPECT_EQ(java_socket_process(&s, sv[0]), -1);
  EXPECT_TRUE(logs.has("socket between java applet has been closed by java side"));

  logs.lines.clear();
  EXPECT_EQ(java_socket_process(&s, -1), -1);
  EXPECT_TRUE(logs.has("socket between java applet is not valid"));
}

namespace {
// Sends statistics requests without reading a reply until the peer stops
// taking them for two seconds: its server is then stuck on the replies.
void pipeline_until_stuck(int fd) {
  std::vector<uint8_t> reqs;
  for (int i = 0; i < 4096; ++i) reqs.insert(reqs.end(), kStat.begin(), kStat.end());
  std::size_t total = 0;
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 2000) == 0) return;
    // the requests repeat every 4 bytes: a partial send goes on in step
    ssize_t n = send(fd, reqs.data() + total % 4, reqs.size() - 4, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    ASSERT_GT(n, 0) << strerror(errno);
    total += std::size_t(n);
    ASSERT_LT(total, std::size_t(64) << 20) << "the peer never stopped reading";
  }
}
}  // namespace

// A launcher that stops reading its replies ends its own service within the
// bound instead of holding the thread that serves it.
TEST_F(Requests, ReplyNotTakenWithinTheBoundEndsTheService) {
  int small = 4096;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::thread client([this] { pipeline_until_stuck(sv[1]); });
  LogCapture logs;
  auto t0 = std::chrono::steady_clock::now();
  int served = 0;
  while (java_socket_process(&s, sv[0]) == 1) ++served;
  auto took = std::chrono::steady_clock::now() - t0;
  client.join();
  EXPECT_GT(served, 0);
  EXPECT_LT(took, std::chrono::seconds(kReplySendBoundSec + 30));
  EXPECT_TRUE(logs.has("the launcher did not take the reply within"));
  EXPECT_EQ(logs.count("Failed to send ip address to java applet") +
                logs.count("Failed to send receive data statistics to java applet") +
                logs.count("Failed to send sent data statistics to java applet"),
            1u);
}

TEST_F(Requests, PeerGoneDuringReplyIsAnErrorNotAnEnd) {
  LogCapture logs;
  request(kStat);
  close(sv[1]);
  sv[1] = -1;
  EXPECT_EQ(java_socket_process(&s, sv[0]), -1);  // SIGPIPE must not end us
  EXPECT_TRUE(logs.has("Failed to send ip address to java applet"));
}

namespace {
// The extra-connection listener on a loopback port of its own.
class ExtraConnections : public ::testing::Test {
 protected:
  int lfd = -1;
  sockaddr_in a{};
  pthread_t listener{};
  void SetUp() override {
    initial_network_config();
    lfd = loopback_listener(&a);
    ASSERT_NE(lfd, -1);
    sockfdctl = lfd;
    ASSERT_EQ(pthread_create(&listener, nullptr, sub_socket_listen_thread, nullptr), 0);
  }
  // Ends the listener, which lets its current connection go.
  void stop_listener() {
    sockfdctl = -1;
    shutdown(lfd, SHUT_RDWR);  // wakes the accept
    pthread_join(listener, nullptr);
    close(lfd);
  }
  // The detached workers read the store the next test's set-up writes.
  void TearDown() override {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kReplySendBoundSec + 10);
    while (launcher_extra_workers() != 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // bufsize: small socket buffers for a peer that is to fall behind
  int dial(int bufsize = 0) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bufsize > 0) {
      setsockopt(c, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof bufsize);
      setsockopt(c, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
    }
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return c;
  }
  static ssize_t stats(int c) {
    EXPECT_EQ(send(c, kStat.data(), 4, MSG_NOSIGNAL), 4);
    std::vector<uint8_t> r(kStatReplySize);
    return recv(c, r.data(), r.size(), MSG_WAITALL);
  }
  // Whether the daemon's side lets the connection go within `secs`, seen
  // without reading (reading would let a stuck reply through).
  static bool ends_within(int c, int secs) {
    pollfd p{c, POLLRDHUP, 0};
    return poll(&p, 1, secs * 1000) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
  }
};
}  // namespace

// A newer extra connection replaces the previous one: no more answers on the
// old connection, the new one is served.
TEST_F(ExtraConnections, NewerConnectionReplacesOlder) {
  int first = dial();
  EXPECT_EQ(stats(first), ssize_t(kStatReplySize));
  int second = dial();
  char b;
  EXPECT_EQ(recv(first, &b, 1, 0), 0);
  EXPECT_EQ(stats(second), ssize_t(kStatReplySize));
  EXPECT_NE(sockfd_autolaunch.load(), -1);
  stop_listener();
  EXPECT_EQ(recv(second, &b, 1, 0), 0);  // its worker was ended too
  // Every worker gives its slot back: the listener's bound never fills up
  // with workers long gone.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (launcher_extra_workers() != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(launcher_extra_workers(), 0);
  close(first);
  close(second);
}

// An extra connection that pipelines requests and never reads the replies
// holds neither the listener nor a newer connection; its own service ends
// within the send bound.
TEST_F(ExtraConnections, ReaderThatNeverReadsHoldsNoNewerConnection) {
  int slow = dial(4096);
  pipeline_until_stuck(slow);
  int second = dial();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(stats(second), ssize_t(kStatReplySize));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
  EXPECT_TRUE(ends_within(slow, kReplySendBoundSec + 30));
  EXPECT_EQ(stats(second), ssize_t(kStatReplySize));
  stop_listener();
  close(slow);
  close(second);
}

// Connections that each pipeline requests and never read, more than the
// workers' cap: the oldest replaced ones are ended at once to make room, so
// the newest is served at once and the workers stay within the cap.
TEST_F(ExtraConnections, FloodOfStuckReadersNeverHoldsTheNewest) {
  std::vector<uint8_t> reqs;
  for (int i = 0; i < 15000; ++i) reqs.insert(reqs.end(), kStat.begin(), kStat.end());
  std::vector<int> flood;
  int most = 0;
  for (int i = 0; i < 3 * kExtraWorkersMax; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 1024;
    setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    flood.push_back(c);
    // what the buffers take at once; within the pause the replies fill
    // them and the worker's send is stuck
    EXPECT_GT(send(c, reqs.data(), reqs.size(), MSG_DONTWAIT | MSG_NOSIGNAL), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    most = std::max(most, launcher_extra_workers());
    // the first one made room once the cap was reached, long before its
    // send bound
    if (i == kExtraWorkersMax) {
      EXPECT_TRUE(ends_within(flood.front(), 1));
    }
  }
  int newest = dial();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(stats(newest), ssize_t(kStatReplySize));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kReplySendBoundSec - 2));
  EXPECT_LE(most, kExtraWorkersMax);
  for (int c : flood) close(c);
  stop_listener();
  close(newest);
}

namespace {
class Fifo : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/vpnc-fifo-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    for (const char* n : {"/fifo", "/file", "/link"}) unlink((dir + n).c_str());
    rmdir(dir.c_str());
  }
};
}  // namespace

TEST_F(Fifo, RecordGoesToAFifo) {
  std::string path = dir + "/fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  int rd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_NE(rd, -1);
  g_byte_in = 7;
  g_byte_out = 9;
  EXPECT_EQ(fifo_writer_pass(path.c_str()), int(kFifoRecordSize));
  std::vector<char> rec(kFifoRecordSize + 1);
  EXPECT_EQ(read(rd, rec.data(), rec.size()), ssize_t(kFifoRecordSize));
  EXPECT_STREQ(rec.data(), "byte in:7, byte out:9");
  EXPECT_EQ(rec[kFifoRecordSize - 1], 0);
  close(rd);
}

TEST_F(Fifo, RegularFileAndSymlinkAreNeverWritten) {
  std::string file = dir + "/file";
  std::string link = dir + "/link";
  int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_NE(fd, -1);
  close(fd);
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  EXPECT_EQ(fifo_writer_pass(file.c_str()), -1);
  EXPECT_EQ(fifo_writer_pass(link.c_str()), -1);
  EXPECT_EQ(fifo_writer_pass((dir + "/missing").c_str()), -1);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST(FifoWriter, StopFlagSetEndsNewWriterAtOnce) {
  g_vpnExit = 1;
  EXPECT_EQ(vpnc_writepipe(nullptr), nullptr);  // returns without opening anything
  g_vpnExit = 0;
}
