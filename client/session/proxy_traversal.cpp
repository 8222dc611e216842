// The CONNECT traversal of the outside proxy. It runs inside sock_connect for
// every TLS attempt; the three handlers call one another directly and never
// change the session's state.
#include "platform/fd_ops.h"
#include "client/session/proxy_traversal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/base64.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "client/session/ntlm.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";

char mp[kConnectRequestSize];
char hostname_port[96];
unsigned char ntlm_msg[kNtlmNegotiateSize];
char negotiate_token[kNegotiateTokenCapacity];
uint8_t authenticate_msg[kAuthenticateCapacity];
char authenticate_token[kAuthenticateCapacity];

// Writes the whole request: a short write is continued, EINTR retried, and a
// proxy that has gone fails the write instead of raising SIGPIPE. The byte
// count, or -1.
int write_request(int fd, const char* text) {
  const std::size_t len = std::strlen(text);
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = vpnc_send_nosignal(fd, text + done, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<int>(done);
}

// Connects `fd` to the proxy within kProxyConnectTimeoutSec; 0 or -1.
int connect_proxy(int fd, uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ip;
  a.sin_port = htons(port);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc != 0 && errno == EINPROGRESS) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(kProxyConnectTimeoutSec);
    rc = -1;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        VPN_LOG("connect to proxy %s:%d timed out after %d s", text, port, kProxyConnectTimeoutSec);
        errno = ETIMEDOUT;
        break;
      }
      pollfd p{fd, POLLOUT, 0};
      int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
        rc = 0;
      else
        errno = err;
      break;
    }
  }
  if (fcntl(fd, F_SETFL, flags) != 0) return -1;
  if (rc == 0 && vpnc_connection_cut()) {
    errno = ECONNABORTED;
    return -1;
  }
  return rc;
}

// Closes the current connection and puts a new IPv4 stream socket (no
// TCP_NODELAY) in sockfd, which is -1 in between; false when none was made.
bool new_proxy_socket(vpnc_session* s) {
  vpnc_close_sockfd(s);
  int fd = vpnc_socket_cloexec(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  s->sockfd = fd;
  return true;
}

// Owns the zeroed working areas of one NTLM challenge.
std::unique_ptr<char[]> zeroed_area(std::size_t n) { return std::unique_ptr<char[]>(new (std::nothrow) char[n]()); }

// The sockets of one traversal carry the read and write time-outs the first
// one was given (the connection that ends up carrying the tunnel keeps them);
// while the traversal waits for a reply, a socket without a read time-out
// gets kProxyReplyTimeoutSec, so a stalled proxy never hangs the daemon.
class socket_bounds {
 public:
  explicit socket_bounds(vpnc_session* s) : s_(s) {
    socklen_t len = sizeof rcv_;
    if (getsockopt(s->sockfd, SOL_SOCKET, SO_RCVTIMEO, &rcv_, &len) != 0) rcv_ = {};
    len = sizeof snd_;
    if (getsockopt(s->sockfd, SOL_SOCKET, SO_SNDTIMEO, &snd_, &len) != 0) snd_ = {};
    apply(s->sockfd);
  }
  ~socket_bounds() {
    const int fd = s_->sockfd;
    if (fd < 0) return;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv_, sizeof rcv_);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd_, sizeof snd_);
  }
  socket_bounds(const socket_bounds&) = delete;
  socket_bounds& operator=(const socket_bounds&) = delete;
  // For the traversal's own sockets and for the first one while it runs.
  void apply(int fd) const {
    if (fd < 0) return;
    const bool unbounded = rcv_.tv_sec == 0 && rcv_.tv_usec == 0;
    const timeval rcv = unbounded ? timeval{kProxyReplyTimeoutSec, 0} : rcv_;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd_, sizeof snd_);
  }

 private:
  vpnc_session* s_;
  timeval rcv_{};
  timeval snd_{};
};

// The bounds of the traversal that runs now (one at a time, see sock_connect).
const socket_bounds* g_bounds = nullptr;

// Closes the current connection, makes a new socket with the traversal's
// bounds and connects it to the proxy. 1 connected; 0 no socket; -1 no
// connection (the socket stays in sockfd).
int reconnect_proxy(vpnc_session* s) {
  if (!new_proxy_socket(s)) return 0;
  if (g_bounds) g_bounds->apply(s->sockfd);
  return connect_proxy(s->sockfd, s->connect_ip, s->connect_port) == 0 ? 1 : -1;
}
}  // namespace

const char* create_qn_connect(const char* host, int port, const char* basic_token, const char* ntlm_token) {
  std::memset(mp, 0, sizeof mp);
  std::snprintf(hostname_port, sizeof hostname_port, "%s:%d", host, port);
  const char* kind = basic_token ? "Basic" : ntlm_token ? "NTLM" : nullptr;
  const char* token = basic_token ? basic_token : ntlm_token;
  int n = std::snprintf(mp, sizeof mp,
                        "CONNECT %s HTTP/1.0\r\nUser-Agent: Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.7.2) "
                        "Gecko/20040805 Netscape/7.2\r\nHost: %s\r\nContent-Length: 0\r\n"
                        "Proxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n",
                        hostname_port, host);
  if (kind && n > 0 && static_cast<std::size_t>(n) < sizeof mp)
    n += std::snprintf(mp + n, sizeof mp - n, "Proxy-Authorization: %s %s\r\n", kind, token);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof mp) std::snprintf(mp + n, sizeof mp - n, "\r\n");
  return mp;
}

const unsigned char* create_ntlm_negotiate_message() {
  static constexpr unsigned char kHead[16] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 1, 0, 0, 0, 0x07, 0x82, 0x00, 0x80};
  std::memset(ntlm_msg, 0, sizeof ntlm_msg);
  std::memcpy(ntlm_msg, kHead, sizeof kHead);
  return ntlm_msg;
}

int vpnc_client_proxy_connect(vpnc_session* s) {
  socket_bounds bounds(s);
  g_bounds = &bounds;
  struct clear_bounds {
    ~clear_bounds() { g_bounds = nullptr; }
  } clear;
  const char* req = create_qn_connect(s->hostname, s->gateway_port, nullptr, nullptr);
  int err = write_request(s->sockfd, req);
  VPN_LOG("err %d qn =%s", err, req);
  if (err < 0) {
    VPN_LOG("proxy connect write cp failed");
    return VPNC_STATE_FATAL;
  }
  return vpnc_client_wait_proxy_auth(s);
}

int vpnc_client_wait_proxy_auth(vpnc_session* s) {
  http_rsp rsp{HTTP_HEAD_INVALID};
  if (read_parse_http_rsp(s->sockfd, &rsp, nullptr, nullptr) != 0) {
    VPN_LOG("read response from proxy error");
    return VPNC_STATE_FATAL;
  }
  if (rsp.status == HTTP_RSP_OK) return VPNC_STATE_NEXT;
  if (rsp.status == HTTP_RSP_OTHER) {
    VPN_LOG("read response from proxy error with no found 407");
    return VPNC_STATE_FATAL;
  }

  if (s->proxy_type == OUTPROXY_NTLM) {
    if (!new_proxy_socket(s)) {
      VPN_LOG("socket");
      return VPNC_STATE_FATAL;
    }
    if (g_bounds) g_bounds->apply(s->sockfd);
    VPN_LOG("%x, %d", s->connect_ip, s->connect_port);
    if (connect_proxy(s->sockfd, s->connect_ip, s->connect_port) != 0) {
      VPN_LOG("connect error");
      return VPNC_STATE_FATAL;
    }
    if (vpnc_client_wait_ntlm_neg(s) == VPNC_STATE_NEXT) return VPNC_STATE_NEXT;
  }

  char credential[kBasicCapacity] = {};
  char token[kBasicCapacity] = {};
  std::snprintf(credential, sizeof credential, "%s:%s", s->proxy_user, s->proxy_passwd);
  int n = base64_encode(reinterpret_cast<const uint8_t*>(credential), static_cast<int>(std::strlen(credential)), token,
                        kBasicCapacity);
  // The encoder answers 0 for a text that does not fit; never send an empty token.
  if (n <= 0 || n >= kBasicCapacity) {
    VPN_LOG("read response from proxy error size invalid");
    return VPNC_STATE_FATAL;
  }
  const char* req = create_qn_connect(s->hostname, s->gateway_port, token, nullptr);
  const int made = reconnect_proxy(s);
  if (made == 0) {
    VPN_LOG("Basic socket");
    return VPNC_STATE_FATAL;
  }
  if (made < 0 || write_request(s->sockfd, req) < 0) {
    VPN_LOG("basic connect");
    return VPNC_STATE_FATAL;
  }
  rsp.status = HTTP_HEAD_INVALID;
  if (read_parse_http_rsp(s->sockfd, &rsp, nullptr, nullptr) != 0) {
    VPN_LOG("read response from proxy invalid");
    return VPNC_STATE_FATAL;
  }
  if (rsp.status == HTTP_RSP_OK) return VPNC_STATE_NEXT;
  VPN_LOG("read response again from proxy error");
  return VPNC_STATE_FATAL;
}

int vpnc_client_wait_ntlm_neg(vpnc_session* s) {
  const unsigned char* neg = create_ntlm_negotiate_message();
  int n = base64_encode(neg, kNtlmNegotiateSize, negotiate_token, kNegotiateTokenCapacity);
  if (n <= 0 || n >= kNegotiateTokenCapacity) {
    VPN_LOG("send ntlm request to proxy error");
    return VPNC_STATE_FATAL;
  }
  if (write_request(s->sockfd, create_qn_connect(s->hostname, s->gateway_port, nullptr, negotiate_token)) < 0) {
    VPN_LOG("ntlm negociate type write");
    return VPNC_STATE_FATAL;
  }
  http_rsp rsp{HTTP_HEAD_INVALID};
  int token_len = 0;
  char* token = nullptr;
  if (read_parse_http_rsp(s->sockfd, &rsp, &token_len, &token) != 0) {
    VPN_LOG("read ntlm response to proxy error");
    return VPNC_STATE_FATAL;
  }
  if (rsp.status == HTTP_RSP_OK) return VPNC_STATE_NEXT;
  if (rsp.status == HTTP_RSP_OTHER) {
    VPN_LOG("read ntlm response code not found 407");
    return VPNC_STATE_FATAL;
  }
  if (rsp.status != HTTP_RSP_NTLM_CHALLENGE || token_len <= 0 || token == nullptr) {
    VPN_LOG("read ntlm response unexpect result");
    return VPNC_STATE_FATAL;
  }

  // Both areas go back on every way out of the exchange.
  const std::size_t area = static_cast<std::size_t>(token_len) + 1;
  std::unique_ptr<char[]> copy = zeroed_area(area);
  if (!copy) {
    VPN_LOG("read ntlm response calloc failed");
    return VPNC_STATE_FATAL;
  }
  std::unique_ptr<char[]> clear = zeroed_area(area);
  if (!clear) {
    VPN_LOG("read ntlm response calloc clear failed");
    return VPNC_STATE_FATAL;
  }
  std::memcpy(copy.get(), token, static_cast<std::size_t>(token_len));
  auto* challenge = reinterpret_cast<uint8_t*>(clear.get());
  int clen = base64_decode(copy.get(), token_len, challenge, static_cast<int>(area));
  if (clen <= 0) {
    VPN_LOG("read ntlm response error when decode");
    return VPNC_STATE_FATAL;
  }
  int mlen = create_ntlm_authenticate_message(authenticate_msg, kAuthenticateCapacity, challenge, clen, s->proxy_user,
                                              s->proxy_passwd, s->proxy_domain);
  if (mlen <= 0) {
    VPN_LOG("read ntlm response error when create ntlm message");
    return VPNC_STATE_FATAL;
  }
  n = base64_encode(authenticate_msg, mlen, authenticate_token, kAuthenticateCapacity);
  if (n <= 0 || n >= kAuthenticateCapacity) {
    VPN_LOG("read ntlm response invalid length");
    return VPNC_STATE_FATAL;
  }
  if (write_request(s->sockfd, create_qn_connect(s->hostname, s->gateway_port, nullptr, authenticate_token)) < 0) {
    VPN_LOG("ntlm challenge write");
    return VPNC_STATE_FATAL;
  }
  rsp.status = HTTP_HEAD_INVALID;
  if (read_parse_http_rsp(s->sockfd, &rsp, nullptr, nullptr) != 0) {
    VPN_LOG("read ntlm authenticate response failed");
    return VPNC_STATE_FATAL;
  }
  if (rsp.status == HTTP_RSP_OK) return VPNC_STATE_NEXT;
  VPN_LOG("read ntlm response authenticate failed, code %d", rsp.status);
  return VPNC_STATE_FATAL;
}
