#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "client/session/tls_methods.h"
#include "tests/unit/tls_test_server.h"

namespace {

struct LogCapture {
  std::mutex m;
  std::vector<std::string> lines;
  LogCapture() {
    vpn_log_set_sink([this](int, const char* l) {
      std::lock_guard<std::mutex> lk(m);
      lines.emplace_back(l);
    });
  }
  ~LogCapture() { vpn_log_set_sink(nullptr); }
  int count(const std::string& needle) {
    std::lock_guard<std::mutex> lk(m);
    int n = 0;
    for (auto& l : lines) n += l.find(needle) != std::string::npos;
    return n;
  }
  // Index of the first line holding needle, -1 if none.
  int index(const std::string& needle) {
    std::lock_guard<std::mutex> lk(m);
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(needle) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
};

void loopback_session(vpnc_session* s, uint16_t port) {
  vpnc_session_reset(s);
  s->connect_ip = htonl(INADDR_LOOPBACK);
  s->gateway_ip = s->connect_ip;
  s->connect_port = port;
  s->gateway_port = port;
  std::snprintf(s->hostname, sizeof s->hostname, "gw.test");
  std::snprintf(s->session_cookie, sizeof s->session_cookie, "SID=abc");
}

uint16_t closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace

TEST(Preamble, BytesAreExact) {
  uint8_t rec[kPreambleSize];
  build_preamble(rec, 0x11223344u);
  std::vector<uint8_t> want = {0x16, 0x03, 0x01, 0x00, 0x4D, 0x01, 0x00, 0x00, 0x49, 0x03, 0x01,
                               0x11, 0x22, 0x33, 0x44};
  for (int i = 1; i <= 28; ++i) want.push_back(static_cast<uint8_t>(i));
  want.push_back(0x20);
  for (int i = 0; i < 32; ++i) want.push_back(0xFF);
  for (uint8_t b : {0x00, 0x02, 0x00, 0x04, 0x01, 0x00}) want.push_back(b);
  ASSERT_EQ(want.size(), kPreambleSize);
  EXPECT_EQ(std::vector<uint8_t>(rec, rec + kPreambleSize), want);
}

TEST(Preamble, SentWholeInOneSendWithTheCurrentTime) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  uint32_t before = static_cast<uint32_t>(time(nullptr));
  EXPECT_EQ(SslDisableClientCert(sv[0]), 1);
  uint8_t rec[100];
  ASSERT_EQ(recv(sv[1], rec, sizeof rec, 0), 82);
  uint32_t t = (uint32_t{rec[11]} << 24) | (uint32_t{rec[12]} << 16) | (uint32_t{rec[13]} << 8) | rec[14];
  EXPECT_GE(t, before);
  EXPECT_LE(t, before + 2);
  close(sv[1]);
  EXPECT_EQ(SslDisableClientCert(sv[0]), 0);  // peer gone: a failed send, not a signal
  close(sv[0]);
}

TEST(GatewayConn, TlsOneZeroRefusedThenTlsOneTwoOnAFreshConnection) {
  LogCapture log;
  TlsTestServer server([](SSL*) {});
  vpnc_session s;
  loopback_session(&s, server.port());
  ASSERT_EQ(ssl_connect_try_all_methods(&s), 0);
  EXPECT_NE(s.sockfd.load(), -1);
  EXPECT_NE(s.ssl, nullptr);
  EXPECT_NE(s.ssl_ctx, nullptr);
  EXPECT_EQ(log.count("first try TLSv1!\n"), 1);
  EXPECT_EQ(log.count("ssl connect failed, error: "), 1);
  EXPECT_EQ(log.count("TLSv1 failed, try TLSv1_2!\n"), 1);
  EXPECT_EQ(log.count("tunnel socket: "), 1);
  EXPECT_LT(log.index("TLSv1 failed"), log.index("tunnel socket: "));
  tls_shutdown(s.ssl);
  vpnc_close_sockfd(&s);
  vpnc_release_tls(&s);
  for (int i = 0; i < 500 && server.connections() < 2; ++i) usleep(10000);
  auto pre = server.preambles();
  ASSERT_EQ(pre.size(), 2u);  // one TCP connection and one preamble per attempt
  for (auto& p : pre) {
    ASSERT_EQ(p.size(), 82u);
    EXPECT_EQ(p.substr(0, 5), std::string("\x16\x03\x01\x00\x4D", 5));
  }
}

TEST(GatewayConn, AllThreeVersionsRefusedLeavesNothingOpen) {
  LogCapture log;
  TlsTestServer server(nullptr, /*refuse_tls=*/true);
  vpnc_session s;
  loopback_session(&s, server.port());
  EXPECT_EQ(ssl_connect_try_all_methods(&s), -1);
  EXPECT_EQ(s.sockfd.load(), -1);
  EXPECT_EQ(s.ssl, nullptr);
  EXPECT_EQ(s.ssl_ctx, nullptr);
  EXPECT_EQ(log.count("ssl connect to server failed!\n"), 3);
  for (int i = 0; i < 500 && server.connections() < 3; ++i) usleep(10000);  // the server may lag behind
  EXPECT_EQ(server.connections(), 3);
  EXPECT_EQ(connect_server(&s, VPNC_PROTO_TLS1_0), 4);
}

TEST(GatewayConn, RefusedTcpConnectClosesAndTriesTheNextVersion) {
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, closed_port());
  EXPECT_EQ(ssl_connect_try_all_methods(&s), -1);
  EXPECT_EQ(log.count("socket to LUM,connect error, errno "), 3);
  EXPECT_EQ(log.count("Begin to connect qn: ip :0x100007f, port : 0x"), 3);
  EXPECT_EQ(s.sockfd.load(), -1);
}

TEST(GatewayConn, ProxyWithIpv6GatewayGoesToTheProxyOverIpv4) {
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, closed_port());
  s.is_ipv6 = 1;
  s.connect_ip = 0;
  s.gateway_ip6[15] = 1;
  s.proxy_ip = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(sock_connect(&s), -1);  // nothing listens: refused before any traversal
  EXPECT_EQ(log.count("Begin to connect qn: ip :0x100007f"), 1);
  EXPECT_EQ(log.count("Begin to connect qn ipv6"), 0);
}

TEST(GatewayConn, Ipv6GatewayLogsTheEightGroups) {
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, closed_port());
  s.is_ipv6 = 1;
  s.connect_ip = 0;
  s.gateway_ip6[15] = 1;  // ::1
  EXPECT_EQ(sock_connect(&s), -1);
  EXPECT_EQ(log.count("Begin to connect qn ipv6: ip :0x0:0:0:0:0:0:0:100, port : 0x"), 1);
}

// States 0, 4 and 5 against the test server: TLS, certificate names, the
// tunnel request and its reply; the byte after the reply's body is the first
// one the next state reads.
namespace {
char g_request[] = "Get /vpntunnel HTTP/1.1\r\nHost: gw.test\r\n\r\n";
char* fake_create_get(vpnc_session*, const char*) { return g_request; }
int fake_config_rqt(vpnc_session* s) {
  char c = 0;
  int n = tls_read(s->ssl, &c, 1);
  return (n == 1 && c == 'Q') ? 0 : -1;
}
int fake_drain(vpnc_session* s) {
  s->state = 7;
  return VPNC_STATE_DONE;
}
}  // namespace

TEST(GatewayConn, StartAtpAndTunnelRequestReply) {
  LogCapture log;
  std::string seen;
  std::optional<TlsTestServer> server;
  server.emplace([&seen](SSL* ssl) {
    seen = TlsTestServer::read_until(ssl, "\r\n\r\n");
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloQ";
    SSL_write(ssl, reply, sizeof reply - 1);
    char b[16];
    SSL_read(ssl, b, sizeof b);  // until the client closes
  });
  vpnc_session s;
  loopback_session(&s, server->port());
  auto saved = process_handler;
  process_handler.create_get = fake_create_get;
  process_handler.config_rqt = fake_config_rqt;
  vpnc_state_entry table[8] = {{0, vpnc_client_start, "a"}, {1, nullptr, "b"},
                               {2, nullptr, "c"},           {3, nullptr, "d"},
                               {4, vpnc_client_start_atp, "e"}, {5, vpnc_client_wait_atp_config_rqt, "f"},
                               {6, fake_drain, "g"},        {7, nullptr, "h"}};
  s.state = 0;
  EXPECT_EQ(vpnc_handshake_driver_rows(&s, table, 8, false), 0);
  EXPECT_EQ(s.state.load(), 7);
  process_handler = saved;
  tls_set_quiet(s.ssl);
  vpnc_close_sockfd(&s);
  vpnc_release_tls(&s);
  server.reset();
  EXPECT_EQ(seen, g_request);
  EXPECT_EQ(log.count("SSL connection using "), 1);
  EXPECT_EQ(log.count("QN_GET=Get /vpntunnel"), 1);
  EXPECT_EQ(log.count("HTTP RESPOND=HTTP/1.1 200"), 1);
  EXPECT_EQ(log.count(" ERROR"), 0);
}

TEST(Logout, RequestIsBuiltWhole) {
  vpnc_session s;
  vpnc_session_reset(&s);
  std::string host(63, 'h');
  std::string cookie(1023, 'c');
  std::memcpy(s.hostname, host.data(), host.size());
  std::memcpy(s.session_cookie, cookie.data(), cookie.size());
  std::string req = build_logout_request(&s);
  EXPECT_EQ(req, "GET /prx/000/http/localhost/logout HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + cookie +
                     "\r\nappid: SQNVPN\r\n\r\n");
  EXPECT_EQ(req.size(), 80 + host.size() + cookie.size());
}

TEST(Logout, LargeReplyIsFetchedTwiceAndTheConnectionClosed) {
  LogCapture log;
  std::vector<std::string> requests;
  int close_seen = 0;
  std::optional<TlsTestServer> server;
  server.emplace([&](SSL* ssl) {
    const std::string body(20000, 'b');
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + body;
    std::string pending;
    char b[4096];
    for (;;) {
      int n = SSL_read(ssl, b, sizeof b);
      if (n <= 0) {
        close_seen = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        return;
      }
      pending.append(b, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
        requests.push_back(pending.substr(0, end + 4));
        pending.erase(0, end + 4);
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
      }
    }
  });
  vpnc_session s;
  loopback_session(&s, server->port());
  EXPECT_EQ(logout_vpn(&s), 0);
  server.reset();
  EXPECT_EQ(s.sockfd.load(), -1);
  EXPECT_EQ(s.ssl, nullptr);
  EXPECT_EQ(s.ssl_ctx, nullptr);
  EXPECT_EQ(log.count("logout vpn begin\n"), 1);
  EXPECT_EQ(log.count("ssl_get_page: buffer too small, buffer length 8192, content length 20000\n"), 1);
  EXPECT_EQ(log.count("logout successfully\n"), 1);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], build_logout_request(&s));
  EXPECT_EQ(requests[0], requests[1]);
  EXPECT_EQ(close_seen, 1);  // close_notify before the socket went
}

TEST(Logout, NoConnectionAnswersOneAndLogsBothRuns) {
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, closed_port());
  EXPECT_EQ(logout_vpn(&s), 1);
  EXPECT_EQ(log.count("connect to vpn using TLSv1 failed, error: 4, try SSLv3"), 1);
  EXPECT_EQ(log.count("connect to vpn using SSLv3, ret: 4"), 1);
  EXPECT_EQ(log.count("logout successfully"), 0);
}

TEST(Logout, FailedFetchIsLoggedAsSuch) {
  LogCapture log;
  TlsTestServer server([](SSL* ssl) { TlsTestServer::read_until(ssl, "\r\n\r\n"); });  // closes without a reply
  vpnc_session s;
  loopback_session(&s, server.port());
  EXPECT_EQ(logout_vpn(&s), 0);
  EXPECT_EQ(log.count("ssl_get_page: read fail"), 1);
  EXPECT_EQ(log.count("logout successfully"), 0);
  EXPECT_EQ(log.count("logout failed, page fetch answered 2"), 1);
}

namespace {
// A loopback listener; with `fill` its accept queue is full (backlog 0, one
// connection never accepted), so the kernel drops further SYNs unanswered.
struct Listener {
  int fd = -1;
  int filler = -1;
  uint16_t port = 0;
  explicit Listener(bool fill) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    listen(fd, fill ? 0 : 8);
    if (fill) {
      filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }
  ~Listener() {
    if (filler != -1) close(filler);
    close(fd);
  }
};

struct WaitBounds {
  WaitBounds(int connect_ms, int io_ms) { set_gateway_wait_bounds(connect_ms, io_ms); }
  ~WaitBounds() { set_gateway_wait_bounds(10 * 1000, 30 * 1000); }
};

double seconds_since(timespec t0) {
  timespec t1{};
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
}
}  // namespace

TEST(GatewayConn, UnansweredConnectGivesUpAfterTheBound) {
  Listener l(true);
  WaitBounds bounds(500, 500);
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, l.port);
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  EXPECT_EQ(sock_connect(&s), -1);
  EXPECT_LT(seconds_since(t0), 5.0);
  EXPECT_EQ(log.count("no answer to the connect within"), 1);
  EXPECT_EQ(log.count("socket to LUM,connect error, errno 110"), 1);  // ETIMEDOUT
  EXPECT_EQ(s.sockfd.load(), -1);
}

TEST(GatewayConn, StalledPeerFailsTheReadAfterTheBoundOnABlockingSocket) {
  Listener l(false);
  WaitBounds bounds(500, 300);
  vpnc_session s;
  loopback_session(&s, l.port);
  ASSERT_EQ(sock_connect(&s), 0);
  const int fd = s.sockfd.load();
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // the callers expect a blocking socket
  char b;
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  errno = 0;
  EXPECT_EQ(recv(fd, &b, 1, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  EXPECT_LT(seconds_since(t0), 5.0);
  vpnc_close_sockfd(&s);
}

// A gateway that takes the logout request and then says nothing, or
// answers a byte at a time (each byte well within the bound, the whole reply
// in 8 s): the reply as a whole is given up after the bound, logged, and the
// logout ends as a failed fetch.
TEST(Logout, SilentOrTrickledReplyIsGivenUpAfterTheBoundForTheWhole) {
  for (const bool trickle : {false, true}) {
    SCOPED_TRACE(trickle ? "trickled" : "silent");
    std::atomic<bool> stop{false};
    TlsTestServer server([&](SSL* ssl) {
      TlsTestServer::read_until(ssl, "\r\n\r\n");
      const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Pad: trickled, one byte at a time\r\n\r\nok";
      for (std::size_t i = 0; !stop.load(); ++i) {
        if (trickle && i < reply.size() && SSL_write(ssl, &reply[i], 1) != 1) break;
        usleep(100 * 1000);
      }
    });
    WaitBounds bounds(2000, 500);
    LogCapture log;
    vpnc_session s;
    loopback_session(&s, server.port());
    timespec t0{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(logout_vpn(&s), 0);
    EXPECT_LT(seconds_since(t0), 4.0);
    stop.store(true);
    EXPECT_EQ(log.count("ssl_get_page:no complete reply within 0 s, given up"), 1);
    EXPECT_EQ(log.count("ssl_get_page: read fail, errno: 110"), 1);  // ETIMEDOUT
    EXPECT_EQ(log.count("logout failed, page fetch answered 2"), 1);
  }
}

// After a forced end the logout has its own bound, whatever the peer does:
// here every handshake would wait for the 20 s read bound. The watch shuts
// the connection in use down and no further attempt is made.
TEST(Logout, ForcedEndCutsTheLogoutAfterItsBound) {
  Listener l(false);  // takes the connection, never speaks TLS
  WaitBounds bounds(2000, 20000);
  set_logout_after_forced_end_ms(300);
  vpnc_forced_end_reset_for_test();
  LogCapture log;
  vpnc_session s;
  loopback_session(&s, l.port);
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int r = -1;
  std::thread logout([&] {
    logout_watch watch(&s);
    r = logout_vpn(&s);
  });
  vpnc_note_forced_end();  // as another thread's forced call does
  logout.join();
  EXPECT_LT(seconds_since(t0), 5.0);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(log.count("logout given up 0 s after the forced end"), 1);
  EXPECT_EQ(log.count("Begin to connect qn"), 1);
  EXPECT_EQ(s.sockfd.load(), -1);
  vpnc_forced_end_reset_for_test();
  set_logout_after_forced_end_ms(kLogoutAfterForcedEndMs);
}

// What the TLS 1.0 attempt meets here: OpenSSL's default security level
// refuses TLS 1.0 only with a suite signed through SHA-1/MD5 (ECDHE, DHE);
// a plain-RSA suite works, so a gateway offering one is reached with TLS 1.0.
TEST(GatewayConn, TlsOneZeroWorksWithAPlainRsaSuiteOnly) {
  struct Case {
    const char* server_ciphers;
    bool connects;
  } cases[] = {{"AES128-SHA:@SECLEVEL=0", true}, {"ECDHE-RSA-AES128-SHA:@SECLEVEL=0", false}};
  EVP_PKEY* key = EVP_RSA_gen(2048);
  ASSERT_NE(key, nullptr);
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_sign(cert, key, EVP_sha256());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server_ciphers);
    SSL_CTX* sctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(sctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(sctx, TLS1_VERSION);
    ASSERT_EQ(SSL_CTX_set_cipher_list(sctx, c.server_ciphers), 1);
    SSL_CTX_use_certificate(sctx, cert);
    SSL_CTX_use_PrivateKey(sctx, key);
    SSL_CTX* cctx = tls_client_ctx(VPNC_PROTO_TLS1_0);  // the daemon's own TLS 1.0 context
    ASSERT_NE(cctx, nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    timeval tv{5, 0};
    for (int fd : sv) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL* server = SSL_new(sctx);
    SSL* client = SSL_new(cctx);
    SSL_set_fd(server, sv[1]);
    SSL_set_fd(client, sv[0]);
    std::thread t([&] {
      SSL_accept(server);
      shutdown(sv[1], SHUT_RDWR);  // a refused handshake must not leave the client waiting
    });
    int err = 0;
    const int r = tls_client_handshake(client, &err);
    t.join();
    EXPECT_EQ(r == 1, c.connects);
    if (c.connects) {
      EXPECT_EQ(SSL_version(client), TLS1_VERSION);
    }
    SSL_free(client);
    SSL_free(server);
    SSL_CTX_free(cctx);
    SSL_CTX_free(sctx);
    close(sv[0]);
    close(sv[1]);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
}

// A gateway that trickles its handshake (a record of 16 KB, a byte every
// 100 ms, each byte well within the bound) fails the attempt after the bound
// for the whole handshake.
TEST(GatewayConn, TrickledHandshakeFailsAfterTheBoundForTheWhole) {
  WaitBounds bounds(2000, 500);
  LogCapture log;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::atomic<bool> stop{false};
  std::thread gateway([&] {
    const unsigned char head[] = {0x16, 0x03, 0x03, 0x40, 0x00, 0x02};
    for (size_t i = 0; !stop.load(); ++i) {
      const unsigned char b = i < sizeof head ? head[i] : 0;
      if (send(sv[1], &b, 1, MSG_NOSIGNAL) != 1) break;
      usleep(100 * 1000);
    }
  });
  SSL_CTX* ctx = tls_client_ctx(VPNC_PROTO_TLS1_2);
  SSL* ssl = tls_new_connection(ctx);
  tls_attach_fd(ssl, sv[0]);
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int err = 0;
  EXPECT_NE(tls_client_handshake(ssl, &err), 1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(seconds_since(t0), 4.0);
  EXPECT_EQ(log.count("tls_client_handshake:no complete handshake within 0 s, given up"), 1);
  EXPECT_EQ(fcntl(sv[0], F_GETFL) & O_NONBLOCK, 0);
  stop = true;
  gateway.join();
  tls_free(ssl, ctx);
  close(sv[0]);
  close(sv[1]);
}
