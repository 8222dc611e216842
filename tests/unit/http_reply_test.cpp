#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/diag.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "tests/unit/tls_test_server.h"

namespace {

// In-memory stream delivered in the given pieces; a peek sees the rest of the
// current piece only, like a TLS record.
struct Pieces {
  std::vector<std::string> pieces;
  size_t at = 0;
  size_t off = 0;
  bool fail = false;  // error instead of end of stream
  std::string rest() const {
    std::string r;
    for (size_t i = at; i < pieces.size(); ++i) r += i == at ? pieces[i].substr(off) : pieces[i];
    return r;
  }
  static int peek(void* c, char* d, int len) {
    auto* p = static_cast<Pieces*>(c);
    while (p->at < p->pieces.size() && p->off == p->pieces[p->at].size()) {
      ++p->at;
      p->off = 0;
    }
    if (p->at == p->pieces.size()) return p->fail ? -1 : 0;
    const std::string& cur = p->pieces[p->at];
    int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(len), cur.size() - p->off));
    std::memcpy(d, cur.data() + p->off, static_cast<size_t>(n));
    return n;
  }
  static int read(void* c, char* d, int len) {
    auto* p = static_cast<Pieces*>(c);
    int n = peek(c, d, len);
    if (n > 0) p->off += static_cast<size_t>(n);
    return n;
  }
};

struct Result {
  int ret;
  int status;
  std::string token;
  std::string rest;
  std::vector<std::string> log;
};

Result parse(std::vector<std::string> pieces, bool fail_at_end = false) {
  Result r{};
  vpn_log_set_sink([&r](int, const char* l) { r.log.emplace_back(l); });
  Pieces p{std::move(pieces), 0, 0, fail_at_end};
  http_transport io{&p, Pieces::peek, Pieces::read, true};
  http_rsp rsp{-7};
  int tok_len = -1;
  char* tok = nullptr;
  r.ret = read_parse_rsp(io, &rsp, &tok_len, &tok);
  r.status = rsp.status;
  if (tok) r.token.assign(tok, static_cast<size_t>(tok_len));
  r.rest = p.rest();
  vpn_log_set_sink(nullptr);
  return r;
}

bool logged(const Result& r, const std::string& needle) {
  for (auto& l : r.log)
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(HttpReply, Classification) {
  struct Case {
    const char* name;
    std::string reply;
    int ret;
    int status;
  };
  const std::vector<Case> cases = {
      {"ok 1.1", "HTTP/1.1 200 OK\r\n\r\n", 0, HTTP_RSP_OK},
      {"ok 1.0", "HTTP/1.0 200 OK\r\n\r\n", 0, HTTP_RSP_OK},
      {"407 ntlm", "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n\r\n", 0,
       HTTP_RSP_NTLM_CHALLENGE},
      {"407 ntlm without token", "HTTP/1.0 407 Auth\r\nProxy-Authenticate: NTLM\r\n\r\n", 0, HTTP_HEAD_INVALID},
      {"407 basic", "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic realm=x\r\n\r\n", 0, HTTP_HEAD_INVALID},
      {"other", "HTTP/1.1 403 Forbidden\r\n\r\n", 0, HTTP_RSP_OTHER},
      {"200 wins over 407", "HTTP/1.1 407 x\r\nX-Note: HTTP/1.0 200\r\n\r\n", 0, HTTP_RSP_OK},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", -1, -7},
      {"length without digits", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", -1, -7},
      {"length overflow", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", -1, -7},
  };
  for (const auto& c : cases) {
    Result r = parse({c.reply});
    EXPECT_EQ(r.ret, c.ret) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
  }
}

TEST(HttpReply, TlsReaderLogLines) {
  EXPECT_TRUE(logged(parse({"HTTP/1.1 200 OK\r\n\r\n"}), "No content length found"));
  EXPECT_TRUE(logged(parse({"HTTP/1.1 200 OK\r\n\r\n"}), "HTTP RESPOND=HTTP/1.1 200"));
  EXPECT_TRUE(logged(parse({"HTTP/1.1 407 x\r\n\r\n"}), "HTTP RESPOND=HTTP_HEAD_INVALID"));
  EXPECT_TRUE(logged(parse({"HTTP/1.1 500 x\r\n\r\n"}), "HTTP RESPOND=not found HTTP/1.1 407"));
}

TEST(HttpReply, HeaderSplitAcrossReadsAndTheEmptyLineSplitToo) {
  Result r = parse({"HTTP/1.1 2", "00 OK\r\nContent-Len", "gth: 3\r\n\r", "\nabc"});
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.status, HTTP_RSP_OK);
  EXPECT_EQ(r.rest, "");
}

TEST(HttpReply, BodyIsReadUpToContentLengthAndNothingAfter) {
  // Header, body and the next message in one piece: only the reply is taken.
  Result r = parse({"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbodyNEXT"});
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.rest, "NEXT");
  // No Content-Length: nothing after the empty line is read.
  r = parse({"HTTP/1.1 200 OK\r\n\r\nQ-record"});
  EXPECT_EQ(r.rest, "Q-record");
  // Capitals throughout are not a Content-Length: no body read.
  r = parse({"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 5\r\n\r\nhello"});
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.rest, "hello");
  // The lower-case form is one.
  r = parse({"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello"});
  EXPECT_EQ(r.rest, "");
}

TEST(HttpReply, NtlmTokenSurvivesALaterBody) {
  std::string body(300, 'z');
  Result r = parse({"HTTP/1.1 407 Proxy Auth\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\nContent-Length: 300\r\n\r\n",
                    body.substr(0, 100), body.substr(100)});
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.status, HTTP_RSP_NTLM_CHALLENGE);
  EXPECT_EQ(r.token, "TlRMTVNTUAACAAAA");
  EXPECT_EQ(r.rest, "");
}

TEST(HttpReply, StreamEndsOrFails) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool fail;
    int status;  // status after the call
  };
  const std::vector<Case> cases = {
      {"end in header", {"HTTP/1.1 200 OK\r\nCont"}, false, -7},
      {"error in header", {"HTTP/1.1 200 OK\r\n"}, true, -7},
      {"nothing at all", {}, false, -7},
      {"end in body keeps status", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}, false, HTTP_RSP_OK},
  };
  for (const auto& c : cases) {
    Result r = parse(c.pieces, c.fail);
    EXPECT_EQ(r.ret, -1) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_TRUE(logged(r, "read ERROR, errno is")) << c.name;
  }
}

TEST(HttpReply, HeaderWithoutEndWithinTheBufferFails) {
  std::string big = "HTTP/1.1 200 OK\r\n" + std::string(70000, 'a');
  Result r = parse({big});
  EXPECT_EQ(r.ret, -1);
  EXPECT_EQ(r.status, -7);
}

TEST(HttpReply, PlainSocketReaderLeavesTheNextBytesInTheSocket) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const char msg[] = "HTTP/1.0 200 Connection established\r\n\r\n\x16\x03\x01";
  ASSERT_EQ(write(sv[1], msg, sizeof msg - 1), static_cast<ssize_t>(sizeof msg - 1));
  http_rsp rsp{0};
  EXPECT_EQ(read_parse_http_rsp(sv[0], &rsp, nullptr, nullptr), 0);
  EXPECT_EQ(rsp.status, HTTP_RSP_OK);
  char rest[8];
  EXPECT_EQ(recv(sv[0], rest, sizeof rest, MSG_DONTWAIT), 3);
  EXPECT_EQ(std::string(rest, 3), "\x16\x03\x01");
  close(sv[1]);
  std::vector<std::string> log;
  vpn_log_set_sink([&log](int, const char* l) { log.emplace_back(l); });
  EXPECT_EQ(read_parse_http_rsp(sv[0], &rsp, nullptr, nullptr), -1);
  vpn_log_set_sink(nullptr);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find(":read"), std::string::npos);
  close(sv[0]);
}

// A peer that sends its reply a byte at a time, each byte well within the
// bound: the reply as a whole still has to arrive within the bound, on the
// plain socket and over TLS alike. The socket is blocking again afterwards.
TEST(HttpReply, TrickledReplyIsBoundAsAWhole) {
  const std::string reply = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM abc\r\n\r\n";
  struct Case {
    const char* name;
    bool tls;
    int gap_ms;
    int bound_ms;
    bool whole;  // the reply arrives within the bound
  } cases[] = {
      {"plain, slow trickle", false, 100, 500, false},
      {"tls, slow trickle", true, 100, 500, false},
      {"plain, quick trickle", false, 5, 10000, true},
      {"tls, quick trickle", true, 5, 10000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_gateway_wait_bounds(10 * 1000, c.bound_ms);
    TlsSocketPair tp;
    int sv[2] = {-1, -1};
    if (c.tls) {
      ASSERT_TRUE(tp.open());
    } else {
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    }
    const int client_fd = c.tls ? tp.fds[0] : sv[0];
    std::atomic<bool> stop{false};
    std::thread peer([&] {
      for (char ch : reply) {
        if (stop.load()) break;
        if (c.tls)
          SSL_write(tp.server, &ch, 1);
        else if (write(sv[1], &ch, 1) != 1)
          break;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms));
      }
    });
    std::mutex m;
    std::vector<std::string> log;
    vpn_log_set_sink([&](int, const char* l) {
      std::lock_guard<std::mutex> lk(m);
      log.emplace_back(l);
    });
    http_rsp rsp{-7};
    int tok_len = 0;
    char* tok = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    const int ret = c.tls ? read_parse_https_rsp(tp.client, &rsp, &tok_len, &tok)
                          : read_parse_http_rsp(sv[0], &rsp, &tok_len, &tok);
    const auto took = std::chrono::steady_clock::now() - t0;
    stop = true;
    peer.join();
    vpn_log_set_sink(nullptr);
    EXPECT_EQ(fcntl(client_fd, F_GETFL) & O_NONBLOCK, 0);
    bool gave_up = false;
    for (auto& l : log) gave_up |= l.find("no complete reply within 0 s, given up") != std::string::npos;
    if (c.whole) {
      EXPECT_EQ(ret, 0);
      EXPECT_EQ(rsp.status, HTTP_RSP_NTLM_CHALLENGE);
      EXPECT_EQ(std::string(tok, static_cast<size_t>(tok_len)), "abc");
      EXPECT_FALSE(gave_up);
    } else {
      // the whole reply takes 8 s at this pace
      EXPECT_EQ(ret, -1);
      EXPECT_EQ(rsp.status, -7);
      EXPECT_TRUE(gave_up);
      EXPECT_LT(took, std::chrono::seconds(4));
      EXPECT_GE(took, std::chrono::milliseconds(450));
    }
    for (int fd : sv)
      if (fd >= 0) close(fd);
  }
  set_gateway_wait_bounds(10 * 1000, 30 * 1000);
}
