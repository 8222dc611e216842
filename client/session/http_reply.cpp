// HTTP reply readers (outside proxy and gateway), the page fetch and the
// logout request.
#include "client/session/http_reply.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "client/diag.h"
#include "client/session/gateway_conn.h"
#include "client/session/tls_methods.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";

// Largest logout reply body fetched a second time; a bigger announced length
// is not allocated.
constexpr unsigned kLogoutPageMax = 1u << 20;

const char* find(const char* hay, std::size_t hay_len, const char* needle) {
  return static_cast<const char*>(memmem(hay, hay_len, needle, std::strlen(needle)));
}

int sock_result(ssize_t n) {
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kReplyWantRead;
  return static_cast<int>(n);
}
int sock_peek(void* ctx, char* data, int len) {
  int fd = *static_cast<int*>(ctx);
  ssize_t n;
  do n = recv(fd, data, static_cast<std::size_t>(len), MSG_PEEK);
  while (n < 0 && errno == EINTR);
  return sock_result(n);
}
int sock_read(void* ctx, char* data, int len) {
  int fd = *static_cast<int*>(ctx);
  ssize_t n;
  do n = recv(fd, data, static_cast<std::size_t>(len), 0);
  while (n < 0 && errno == EINTR);
  return sock_result(n);
}
static_assert(kReplyWantRead == kIoWantRead && kReplyWantWrite == kIoWantWrite);
static_assert(kTlsWantRead == kIoWantRead && kTlsWantWrite == kIoWantWrite);
int ssl_peek_fn(void* ctx, char* data, int len) { return tls_peek_nb(static_cast<SSL*>(ctx), data, len); }
int ssl_read_fn(void* ctx, char* data, int len) { return tls_read_nb(static_cast<SSL*>(ctx), data, len); }

}  // namespace

char buf[kReplyBufferSize];

int read_parse_rsp(const http_transport& io, http_rsp* rsp, int* token_len, char** token) {
  auto read_failed = [&io]() {
    if (io.tls)
      VPN_LOG("%s ERROR, errno is %d", "read", errno);
    else
      VPN_LOG("read");
    return -1;
  };
  std::memset(buf, 0, kReplyBufferSize - 1);
  int received = 0;
  io_deadline clock(io.fd, io.tls ? "read_parse_https_rsp" : "read_parse_http_rsp", "reply");
  auto peek = [&](char* d, int len) { return clock.run([&] { return io.peek(io.ctx, d, len); }); };
  auto read = [&](char* d, int len) { return clock.run([&] { return io.read(io.ctx, d, len); }); };

  // Header: look at what has arrived and take only up to the empty line, so
  // whatever follows the header stays in the connection.
  for (;;) {
    int room = kReplyHeaderMax - received;
    if (room <= 0) return read_failed();
    int n = peek(buf + received, room);
    if (n <= 0) return read_failed();
    if (n > room) n = room;
    int from = received >= 3 ? received - 3 : 0;
    const char* end = find(buf + from, static_cast<std::size_t>(received + n - from), "\r\n\r\n");
    int take = end ? static_cast<int>(end - buf) + 4 - received : n;
    int got = read(buf + received, take);
    if (got <= 0 || got > take) return read_failed();
    std::memset(buf + received + got, 0, static_cast<std::size_t>(n - got));
    received += got;
    if (end && got == take) break;
  }
  const std::size_t text_len = static_cast<std::size_t>(received);

  if (find(buf, text_len, "Transfer-Encoding:")) return -1;

  uint64_t content_length = 0;
  const char* cl = find(buf, text_len, "Content-Length:");
  if (!cl) cl = find(buf, text_len, "content-length:");
  if (cl) {
    const char* p = cl;
    const char* stop = buf + text_len;
    while (p < stop && (*p < '0' || *p > '9')) {
      if (*p == '\r' || *p == '\n') return -1;
      ++p;
    }
    if (p == stop) return -1;
    while (p < stop && *p >= '0' && *p <= '9') {
      content_length = content_length * 10 + static_cast<uint64_t>(*p - '0');
      if (content_length > INT32_MAX) return -1;  // no reply of ours is that long
      ++p;
    }
  } else if (io.tls) {
    VPN_LOG("No content length found");
  }

  if (find(buf, text_len, "HTTP/1.1 200") || find(buf, text_len, "HTTP/1.0 200")) {
    rsp->status = HTTP_RSP_OK;
    if (io.tls) VPN_LOG("HTTP RESPOND=HTTP/1.1 200");
  } else if (find(buf, text_len, "HTTP/1.1 407") || find(buf, text_len, "HTTP/1.0 407")) {
    const char* auth = find(buf, text_len, "Proxy-Authenticate: NTLM ");
    if (auth) {
      rsp->status = HTTP_RSP_NTLM_CHALLENGE;
      char* tok = buf + (auth - buf) + 25;
      char* tok_end = tok;
      while (tok_end < buf + text_len && *tok_end != '\r' && *tok_end != '\n') ++tok_end;
      if (token) *token = tok;
      if (token_len) *token_len = static_cast<int>(tok_end - tok);
    } else {
      rsp->status = HTTP_HEAD_INVALID;
      if (io.tls) VPN_LOG("HTTP RESPOND=HTTP_HEAD_INVALID");
    }
  } else {
    rsp->status = HTTP_RSP_OTHER;
    if (io.tls) VPN_LOG("HTTP RESPOND=not found HTTP/1.1 407");
  }

  // Body: read exactly the announced length into scratch, so the header (and
  // the token in it) stays intact and the next message is left in place.
  char scratch[4096];
  while (content_length > 0) {
    int want = content_length < sizeof scratch ? static_cast<int>(content_length) : static_cast<int>(sizeof scratch);
    int n = read(scratch, want);
    if (n <= 0 || n > want) return read_failed();
    content_length -= static_cast<uint64_t>(n);
  }
  return 0;
}

int read_parse_http_rsp(int sock, http_rsp* rsp, int* token_len, char** token) {
  http_transport io{&sock, sock_peek, sock_read, false, sock};
  return read_parse_rsp(io, rsp, token_len, token);
}

int read_parse_https_rsp(SSL* ssl, http_rsp* rsp, int* token_len, char** token) {
  http_transport io{ssl, ssl_peek_fn, ssl_read_fn, true, tls_fd(ssl)};
  return read_parse_rsp(io, rsp, token_len, token);
}

int ssl_get_page(SSL* ssl, const char* request, char* page, unsigned capacity, unsigned* out_len) {
  *out_len = 0;
  VPN_LOG("ssl_get_page: sending logout to vpn(%s)\n", request);
  const int req_len = static_cast<int>(std::strlen(request));
  int w = tls_write(ssl, request, req_len);
  if (w < req_len) {
    int e = errno;
    VPN_LOG("ssl_get_page: write fail, errno: %d, ssl error: %d\n", e, tls_error_class(ssl, w));
    return GETPAGE_WRITE_FAILED;
  }
  VPN_LOG("ssl_get_page: recieving send logout to vpn\n");
  unsigned received = 0;
  unsigned limit = capacity;
  bool header_seen = false;
  io_deadline clock(tls_fd(ssl), __func__, "reply");
  while (received < limit) {
    unsigned ask = limit - received;
    if (ask > INT_MAX) ask = INT_MAX;
    int n = clock.run([&] { return tls_read_nb(ssl, page + received, static_cast<int>(ask)); });
    if (n <= 0) {
      int e = errno;
      VPN_LOG("ssl_get_page: read fail, errno: %d, ssl error: %d\n", e, tls_error_class(ssl, n));
      return GETPAGE_READ_FAILED;
    }
    const std::size_t total = received + static_cast<unsigned>(n);
    if (!header_seen && find(page, total, "\r\n\r\n")) {
      header_seen = true;
      const char* cl = find(page, total, "Content-Length:");
      if (!cl) {
        VPN_LOG("ssl_get_page: content length not found, stop recv\n");
        *out_len = static_cast<unsigned>(total);
        return GETPAGE_OK;
      }
      const char* p = cl + 15;
      const char* stop = page + total;
      while (p < stop && (*p == ' ' || *p == '\t')) ++p;
      bool negative = false;
      if (p < stop && (*p == '-' || *p == '+')) negative = *p++ == '-';
      uint64_t value = 0;
      while (p < stop && *p >= '0' && *p <= '9' && value <= UINT_MAX) value = value * 10 + static_cast<uint64_t>(*p++ - '0');
      if (negative || value > capacity) {
        // Shown as the unsigned word the signed value makes.
        unsigned shown = negative ? static_cast<unsigned>(-static_cast<int64_t>(value))
                                  : (value > UINT_MAX ? UINT_MAX : static_cast<unsigned>(value));
        *out_len = shown;
        VPN_LOG("ssl_get_page: buffer too small, buffer length %u, content length %u\n", capacity, shown);
        return GETPAGE_TOO_SMALL;
      }
      limit = static_cast<unsigned>(value);
    }
    received = static_cast<unsigned>(total);
  }
  *out_len = received;
  return GETPAGE_OK;
}

std::string build_logout_request(const vpnc_session* s) {
  std::string req = "GET /prx/000/http/localhost/logout HTTP/1.1\r\nHost: ";
  req.append(s->hostname, strnlen(s->hostname, sizeof s->hostname));
  req += "\r\nCookie: ";
  req.append(s->session_cookie, strnlen(s->session_cookie, sizeof s->session_cookie));
  req += "\r\nappid: SQNVPN\r\n\r\n";
  return req;
}

int logout_vpn(vpnc_session* s) {
  // The tunnel connection was shut down by the teardown; its objects go now.
  vpnc_release_tls(s);
  VPN_LOG("logout vpn begin\n");
  int r = connect_server(s, VPNC_PROTO_TLS1_0);
  if (r != 0) {
    VPN_LOG("connect to vpn using TLSv1 failed, error: %d, try SSLv3", r);
    r = connect_server(s, VPNC_PROTO_SSL3);
    if (r != 0) {
      VPN_LOG("connect to vpn using SSLv3, ret: %d", r);
      return 1;
    }
  }
  const std::string req = build_logout_request(s);
  int got = GETPAGE_READ_FAILED;
  unsigned len = 0;
  {
    std::unique_ptr<char[]> page(new (std::nothrow) char[8192]);
    if (page) got = ssl_get_page(s->ssl, req.c_str(), page.get(), 8192, &len);
  }
  if (got == GETPAGE_TOO_SMALL) {
    if (len == 0 || len > kLogoutPageMax) {
      VPN_LOG("logout reply of %u bytes not fetched\n", len);
    } else {
      std::unique_ptr<char[]> page(new (std::nothrow) char[len]);
      unsigned len2 = 0;
      if (page) got = ssl_get_page(s->ssl, req.c_str(), page.get(), len, &len2);
    }
  }
  if (got == GETPAGE_OK)
    VPN_LOG("logout successfully\n");
  else
    VPN_LOG("logout failed, page fetch answered %d\n", got);

  // Close the logout connection properly: close_notify while the socket is
  // still open, then the socket, then the objects.
  tls_shutdown(s->ssl);
  vpnc_close_sockfd(s);
  vpnc_release_tls(s);
  return 0;
}
