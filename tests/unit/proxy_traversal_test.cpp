#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/process_handler.h"
#include "client/session.h"
#include "client/session/base64.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "client/session/proxy_traversal.h"
#include "tests/unit/log_capture.h"

namespace {

const std::string kUA = "User-Agent: Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.7.2) Gecko/20040805 Netscape/7.2\r\n";

std::string expected_request(const std::string& host, int port, const std::string& auth) {
  return "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.0\r\n" + kUA + "Host: " + host +
         "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n" + auth + "\r\n";
}

TEST(ProxyConnect, RequestTextByteForByte) {
  std::string plain = create_qn_connect("gw.example.com", 443, nullptr, nullptr);
  EXPECT_EQ(plain, expected_request("gw.example.com", 443, ""));
  EXPECT_EQ(plain.size(), 219u);
  EXPECT_EQ(std::string(create_qn_connect("h", 8443, "Og==", nullptr)),
            expected_request("h", 8443, "Proxy-Authorization: Basic Og==\r\n"));
  EXPECT_EQ(std::string(create_qn_connect("h", 443, nullptr, "TlRMTQ==")),
            expected_request("h", 443, "Proxy-Authorization: NTLM TlRMTQ==\r\n"));
  // both given: Basic wins
  EXPECT_EQ(std::string(create_qn_connect("h", 443, "Og==", "TlRMTQ==")),
            expected_request("h", 443, "Proxy-Authorization: Basic Og==\r\n"));
  // the longest: 63-character host, port 65535, a 450-byte authenticate message
  std::string host(63, 'h'), token(600, 'T');
  EXPECT_EQ(std::string(create_qn_connect(host.c_str(), 65535, nullptr, token.c_str())).size(), 947u);
}

TEST(ProxyConnect, NegotiateMessage) {
  char token[1024];
  EXPECT_EQ(base64_encode(create_ntlm_negotiate_message(), kNtlmNegotiateSize, token, sizeof token), 64);
  EXPECT_STREQ(token, "TlRMTVNTUAABAAAAB4IAgAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
}

// A proxy on the loopback answering each request of each connection from a
// script; records what it received. A reply of "" closes the connection
// without answering; "HALF:" sends what follows and closes.
class FakeProxy {
 public:
  explicit FakeProxy(std::vector<std::vector<std::string>> script) : script_(std::move(script)) {
    lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    EXPECT_EQ(listen(lfd_, 8), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeProxy() {
    join();
    for (int fd : open_) close(fd);
    close(lfd_);
  }
  uint16_t port() const { return port_; }
  // Ends the script; `requests` may be read after this.
  void join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // The session's first connection, as sock_connect leaves it.
  void connect_first(vpnc_session* s) {
    s->connect_ip = htonl(INADDR_LOOPBACK);
    s->connect_port = port_;
    s->proxy_ip = s->connect_ip;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = s->connect_ip;
    a.sin_port = htons(port_);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    s->sockfd = fd;
  }
  std::vector<std::vector<std::string>> requests;  // read after the traversal

 private:
  bool readable(int fd) {
    for (int i = 0; i < 200 && !stop_; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  void run() {
    for (std::size_t c = 0; c < script_.size(); ++c) {
      if (!readable(lfd_)) return;
      int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      open_.push_back(fd);
      requests.emplace_back();
      for (const std::string& reply : script_[c]) {
        std::string req;
        while (req.find("\r\n\r\n") == std::string::npos) {
          if (!readable(fd)) return;
          char b[4096];
          ssize_t n = recv(fd, b, sizeof b, 0);
          if (n <= 0) break;
          req.append(b, static_cast<std::size_t>(n));
        }
        requests.back().push_back(req);
        if (reply.empty()) break;
        bool half = reply.rfind("HALF:", 0) == 0;
        std::string out = half ? reply.substr(5) : reply;
        std::size_t done = 0;
        while (done < out.size()) {
          ssize_t n = send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
          if (n <= 0) break;
          done += static_cast<std::size_t>(n);
        }
        if (half) break;
      }
      shutdown(fd, SHUT_WR);
    }
  }
  std::vector<std::vector<std::string>> script_;
  std::vector<int> open_;
  int lfd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const std::string k200 = "HTTP/1.0 200 Connection established\r\n\r\n";
const std::string k403 = "HTTP/1.1 403 Forbidden\r\nContent-Length: 5\r\n\r\nnope!";
const std::string k407 =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
    "Proxy-Authenticate: Basic realm=\"x\"\r\nContent-Length: 10\r\n\r\n0123456789";
const std::string k407Basic = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n";

std::string challenge_reply(uint32_t flags) {
  uint8_t ch[48] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2};
  for (int i = 0; i < 4; ++i) ch[20 + i] = static_cast<uint8_t>(flags >> (8 * i));
  for (int i = 0; i < 8; ++i) ch[24 + i] = static_cast<uint8_t>(0x11 * (i + 1));
  char tok[128];
  base64_encode(ch, sizeof ch, tok, sizeof tok);
  return std::string("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM ") + tok +
         "\r\nContent-Length: 3\r\n\r\nabc";
}

std::string auth_header(const std::string& req) {
  auto at = req.find("Proxy-Authorization: ");
  if (at == std::string::npos) return "";
  return req.substr(at + 21, req.find("\r\n", at) - at - 21);
}

struct Flow {
  const char* name;
  uint8_t type;
  std::vector<std::vector<std::string>> script;
  int result;
  // Proxy-Authorization of each request, by connection ("" for none)
  std::vector<std::vector<std::string>> auths;
  std::vector<const char*> lines;  // log lines that must appear
};

TEST(ProxyConnect, FlowsByProxyType) {
  const std::string basic_alice = "Basic YWxpY2U6cHc=";  // alice:pw
  const std::string neg = "NTLM TlRMTVNTUAABAAAAB4IAgAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
  const std::string any_ntlm = "NTLM *";
  std::string huge_token_reply =
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM " + std::string(60000, 'A') + "\r\n\r\n";
  const Flow flows[] = {
      {"200 first, http", OUTPROXY_HTTP, {{k200}}, VPNC_STATE_NEXT, {{""}}, {}},
      {"200 first, basic", OUTPROXY_BASIC, {{k200}}, VPNC_STATE_NEXT, {{""}}, {}},
      {"200 first, ntlm", OUTPROXY_NTLM, {{k200}}, VPNC_STATE_NEXT, {{""}}, {}},
      {"http: lone colon", OUTPROXY_HTTP, {{k407}, {k200}}, VPNC_STATE_NEXT, {{""}, {"Basic Og=="}}, {}},
      {"basic", OUTPROXY_BASIC, {{k407}, {k200}}, VPNC_STATE_NEXT, {{""}, {basic_alice}}, {}},
      {"basic refused again", OUTPROXY_BASIC, {{k407}, {k407Basic}}, VPNC_STATE_FATAL, {{""}, {basic_alice}},
       {"read response again from proxy error"}},
      {"ntlm", OUTPROXY_NTLM, {{k407}, {challenge_reply(0x80008207), k200}}, VPNC_STATE_NEXT,
       {{""}, {neg, any_ntlm}}, {}},
      {"ntlm oem", OUTPROXY_NTLM, {{k407}, {challenge_reply(0x00000002), k200}}, VPNC_STATE_NEXT,
       {{""}, {neg, any_ntlm}}, {}},
      {"ntlm negotiate-128 then basic", OUTPROXY_NTLM, {{k407}, {challenge_reply(0x20000001)}, {k200}},
       VPNC_STATE_NEXT, {{""}, {neg}, {basic_alice}}, {"read ntlm response error when create ntlm message"}},
      {"ntlm no token then basic", OUTPROXY_NTLM, {{k407}, {k407}, {k200}}, VPNC_STATE_NEXT,
       {{""}, {neg}, {basic_alice}}, {"read ntlm response unexpect result"}},
      {"ntlm 60000-character token then basic", OUTPROXY_NTLM, {{k407}, {huge_token_reply}, {k200}},
       VPNC_STATE_NEXT, {{""}, {neg}, {basic_alice}}, {"read ntlm response error when decode"}},
      {"ntlm authenticate refused then basic", OUTPROXY_NTLM, {{k407}, {challenge_reply(1), k407Basic}, {k200}},
       VPNC_STATE_NEXT, {{""}, {neg, any_ntlm}, {basic_alice}}, {"read ntlm response authenticate failed, code 0"}},
      {"ntlm negotiate answered 403", OUTPROXY_NTLM, {{k407}, {k403}, {k407Basic}}, VPNC_STATE_FATAL,
       {{""}, {neg}, {basic_alice}}, {"read ntlm response code not found 407", "read response again from proxy error"}},
      {"ntlm proxy closes after negotiate", OUTPROXY_NTLM, {{k407}, {""}, {k200}}, VPNC_STATE_NEXT,
       {{""}, {neg}, {basic_alice}}, {"read ntlm response to proxy error"}},
      {"403 first", OUTPROXY_NTLM, {{k403}}, VPNC_STATE_FATAL, {{""}},
       {"read response from proxy error with no found 407"}},
      {"closed mid-reply", OUTPROXY_BASIC, {{"HALF:HTTP/1.1 407 Proxy Auth"}}, VPNC_STATE_FATAL, {{""}},
       {"read response from proxy error"}},
      {"body cut short", OUTPROXY_BASIC, {{"HALF:HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort"}},
       VPNC_STATE_FATAL, {{""}}, {"read response from proxy error"}},
      {"huge content length then close", OUTPROXY_BASIC,
       {{"HALF:HTTP/1.1 407 x\r\nContent-Length: 99999999999999999999999\r\n\r\n"}}, VPNC_STATE_FATAL, {{""}},
       {"read response from proxy error"}},
  };
  for (const Flow& f : flows) {
    SCOPED_TRACE(f.name);
    vpnc_session s;
    std::strcpy(s.hostname, "gw.example.com");
    s.gateway_port = 443;
    s.proxy_type = f.type;
    if (f.type != OUTPROXY_HTTP) {
      std::strcpy(s.proxy_user, "alice");
      std::strcpy(s.proxy_passwd, "pw");
      std::strcpy(s.proxy_domain, "corp");
    }
    s.state = 42;
    LogCapture log;
    int result;
    {
      FakeProxy proxy(f.script);
      proxy.connect_first(&s);
      result = vpnc_client_proxy_connect(&s);
      // the connection in sockfd is the last one the proxy accepted
      if (result == VPNC_STATE_NEXT) {
        ASSERT_GE(s.sockfd.load(), 0);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        EXPECT_EQ(getpeername(s.sockfd, reinterpret_cast<sockaddr*>(&peer), &len), 0);
      }
      vpnc_close_sockfd(&s);
      proxy.join();
      EXPECT_EQ(s.state.load(), 42);
      EXPECT_EQ(result, f.result);
      ASSERT_EQ(proxy.requests.size(), f.auths.size());
      for (std::size_t c = 0; c < f.auths.size(); ++c) {
        ASSERT_EQ(proxy.requests[c].size(), f.auths[c].size()) << "connection " << c;
        for (std::size_t r = 0; r < f.auths[c].size(); ++r) {
          const std::string& req = proxy.requests[c][r];
          EXPECT_EQ(req.rfind("CONNECT gw.example.com:443 HTTP/1.0\r\n", 0), 0u) << req;
          std::string got = auth_header(req);
          if (f.auths[c][r] == any_ntlm) {
            ASSERT_EQ(got.rfind("NTLM ", 0), 0u) << got;
            // the authenticate message for alice in domain corp
            uint8_t msg[1024];
            int n = base64_decode(got.c_str() + 5, static_cast<int>(got.size()) - 5, msg, sizeof msg);
            ASSERT_GT(n, 64);
            EXPECT_EQ(msg[8], 3);
            const bool wide = n == 64 + 8 + 10 + 14 + 48;
            EXPECT_EQ(n, wide ? 144 : 64 + 4 + 5 + 7 + 48);
            std::string user(reinterpret_cast<char*>(msg) + 64 + (wide ? 8 : 4), wide ? 10 : 5);
            EXPECT_EQ(user, wide ? std::string("A\0L\0I\0C\0E\0", 10) : std::string("alice"));
          } else {
            EXPECT_EQ(got, f.auths[c][r]) << "connection " << c << " request " << r;
          }
        }
      }
    }
    for (const char* l : f.lines) EXPECT_TRUE(log.has(std::string(":") + l)) << l;
  }
}

}  // namespace

namespace {

// The proxy reply reader over a socket pair, the proxy writing from a thread
// and then closing: every hostile reply ends in its result, never a crash or
// a wait for bytes that cannot come.
TEST(ProxyReplyReader, HostileReplies) {
  const std::string token(60000, 'B');
  struct {
    const char* name;
    std::string reply;
    int ret;
    int32_t status;  // -7: left as the caller set it
    int token_len;
  } cases[] = {
      {"407 header over 65534 bytes",
       "HTTP/1.1 407 x\r\nX-Pad: " + std::string(70000, 'p') + "\r\n\r\n", -1, -7, -1},
      {"transfer-encoding", "HTTP/1.1 407 x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", -1, -7, -1},
      {"content-length with letters", "HTTP/1.1 407 x\r\nContent-Length: abc\r\n\r\n", -1, -7, -1},
      {"content-length beyond any reply, then the end", "HTTP/1.1 407 x\r\nContent-Length: 99999999999999999999999\r\n\r\nxy",
       -1, -7, -1},
      {"challenge token of 60000 characters",
       "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM " + token + "\r\nContent-Length: 2\r\n\r\nok", 0,
       HTTP_RSP_NTLM_CHALLENGE, 60000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::thread writer([fd = sv[1], &c] {
      std::size_t done = 0;
      while (done < c.reply.size()) {
        ssize_t n = send(fd, c.reply.data() + done, c.reply.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      shutdown(fd, SHUT_WR);
    });
    http_rsp rsp{-7};
    int len = -1;
    char* tok = nullptr;
    int ret = read_parse_http_rsp(sv[0], &rsp, &len, &tok);
    shutdown(sv[0], SHUT_RDWR);  // a writer still sending fails at once
    writer.join();
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(ret, c.ret);
    EXPECT_EQ(rsp.status, c.status);
    EXPECT_EQ(len, c.token_len);
    if (c.token_len > 0 && len == c.token_len) {
      EXPECT_EQ(std::string(tok, static_cast<std::size_t>(len)), token);
    }
  }
}

}  // namespace

namespace {

// A proxy whose accept queue is full drops the SYN of the NTLM connection:
// the connect gives up after its bound instead of hanging the daemon.
TEST(ProxyConnect, StalledProxyConnectIsBounded) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t alen = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &alen);
  ASSERT_EQ(listen(lfd, 0), 0);

  vpnc_session s;
  std::strcpy(s.hostname, "gw.example.com");
  s.gateway_port = 443;
  s.proxy_type = OUTPROXY_NTLM;
  s.connect_ip = s.proxy_ip = a.sin_addr.s_addr;
  s.connect_port = ntohs(a.sin_port);
  int first = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(first, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  s.sockfd = first;

  std::vector<int> fillers;
  std::thread proxy([&] {
    int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    // fill the accept queue before answering, so the next SYN is dropped
    for (int i = 0; i < 2; ++i) {
      int f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers.push_back(f);
    }
    char b[2048];
    recv(c, b, sizeof b, 0);
    send(c, k407.data(), k407.size(), MSG_NOSIGNAL);
    close(c);
  });
  LogCapture log;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(vpnc_client_proxy_connect(&s), VPNC_STATE_FATAL);
  auto took = std::chrono::steady_clock::now() - t0;
  proxy.join();
  vpnc_close_sockfd(&s);
  for (int f : fillers) close(f);
  close(lfd);
  EXPECT_GE(took, std::chrono::seconds(kProxyConnectTimeoutSec - 1));
  EXPECT_LT(took, std::chrono::seconds(kProxyConnectTimeoutSec + 20));
  EXPECT_TRUE(log.has("timed out after 10 s"));
  EXPECT_TRUE(log.has(":connect error"));
  EXPECT_FALSE(log.has("basic connect"));  // no Basic after a failed NTLM connection
}

}  // namespace
