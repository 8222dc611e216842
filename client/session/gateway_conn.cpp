// TCP to the gateway (or the outside proxy), the cleartext preamble and the
// three TLS attempts.
#include "platform/fd_ops.h"
#include "client/session/gateway_conn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>
#include <thread>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/tls_methods.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";

// A gateway, proxy or network that stops answering ends in a failed attempt
// or a failed read or write, never in a wait without end (the relay reads
// and writes under the connection lock). The I/O bound (also the bound of a
// whole HTTP reply) is long enough never to cut a slow but live gateway.
std::atomic<int> g_connect_bound_ms{10 * 1000};
std::atomic<int> g_io_bound_ms{30 * 1000};

timeval as_timeval(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

// The forced end's clock, shared by every logout watch.
std::atomic<int> g_logout_bound_ms{kLogoutAfterForcedEndMs};
std::atomic<bool> g_connection_cut{false};
std::mutex g_end_m;
std::condition_variable g_end_cv;
bool g_end_asked = false;  // under g_end_m
std::chrono::steady_clock::time_point g_end_at;

bool set_blocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, on ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
}  // namespace

void set_gateway_wait_bounds(int connect_ms, int io_ms) {
  g_connect_bound_ms.store(connect_ms);
  g_io_bound_ms.store(io_ms);
}

int gateway_io_bound_ms() { return g_io_bound_ms.load(); }

int connect_within(int fd, const sockaddr* peer, socklen_t peer_len, int bound_ms) {
  if (!set_blocking(fd, false)) return -1;
  int rc = connect(fd, peer, peer_len);
  if (rc != 0 && errno == EINPROGRESS) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(bound_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      pollfd pfd{fd, POLLOUT, 0};
      const int n = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) {
        VPN_LOG("no answer to the connect within %d s, attempt given up", bound_ms / 1000);
        errno = ETIMEDOUT;
        return -1;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
      if (err != 0) {
        errno = err;
        return -1;
      }
      rc = 0;
      break;
    }
  }
  if (rc != 0) return -1;
  if (vpnc_connection_cut()) {
    errno = ECONNABORTED;
    return -1;
  }
  return set_blocking(fd, true) ? 0 : -1;
}

namespace {
long long steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

io_deadline::io_deadline(int fd, const char* who, const char* what)
    : fd_(fd), who_(who), what_(what), until_ms_(steady_ms() + g_io_bound_ms.load()) {
  if (fd_ < 0) return;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0 && set_blocking(fd_, false)) restore_ = flags;
}

io_deadline::~io_deadline() {
  if (restore_ >= 0) fcntl(fd_, F_SETFL, restore_);
}

int io_deadline::wait(int want) {
  if (fd_ < 0) return -1;
  for (;;) {
    const long long left = until_ms_ - steady_ms();
    if (left <= 0) {
      vpn_log(kLogModule, __LINE__, who_, "no complete %s within %d s, given up", what_, g_io_bound_ms.load() / 1000);
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p{fd_, static_cast<short>(want == kIoWantWrite ? POLLOUT : POLLIN), 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return 0;
    if (n < 0 && errno != EINTR) return -1;
  }
}

void build_preamble(uint8_t out[kPreambleSize], uint32_t now) {
  static constexpr uint8_t kHead[11] = {0x16, 0x03, 0x01, 0x00, 0x4D, 0x01, 0x00, 0x00, 0x49, 0x03, 0x01};
  std::memcpy(out, kHead, sizeof kHead);
  out[11] = static_cast<uint8_t>(now >> 24);
  out[12] = static_cast<uint8_t>(now >> 16);
  out[13] = static_cast<uint8_t>(now >> 8);
  out[14] = static_cast<uint8_t>(now);
  for (int i = 0; i < 28; ++i) out[15 + i] = static_cast<uint8_t>(i + 1);
  out[43] = 0x20;
  std::memset(out + 44, 0xFF, 32);
  out[76] = 0x00;
  out[77] = 0x02;
  out[78] = 0x00;
  out[79] = 0x04;
  out[80] = 0x01;
  out[81] = 0x00;
}

int SslDisableClientCert(int socket) {
  uint8_t rec[kPreambleSize];
  build_preamble(rec, static_cast<uint32_t>(time(nullptr)));
  ssize_t n = vpnc_send_nosignal(socket, rec, sizeof rec, 0);
  return n == static_cast<ssize_t>(sizeof rec) ? 1 : 0;
}

std::mutex g_sockfd_guard;

void vpnc_close_sockfd(vpnc_session* s) {
  std::lock_guard<std::mutex> lk(g_sockfd_guard);
  int fd = s->sockfd.exchange(-1);
  if (fd != -1) close(fd);
}

void vpnc_release_tls(vpnc_session* s) {
  SSL* ssl = s->ssl;
  SSL_CTX* ctx = s->ssl_ctx;
  s->ssl = nullptr;
  s->ssl_ctx = nullptr;
  tls_free(ssl, ctx);
}

void vpnc_note_forced_end() {
  std::lock_guard<std::mutex> lk(g_end_m);
  if (!g_end_asked) {
    g_end_asked = true;
    g_end_at = std::chrono::steady_clock::now();
  }
  g_end_cv.notify_all();
}

void set_logout_after_forced_end_ms(int ms) { g_logout_bound_ms.store(ms); }

void vpnc_forced_end_reset_for_test() {
  std::lock_guard<std::mutex> lk(g_end_m);
  g_end_asked = false;
  g_connection_cut = false;
}

bool vpnc_connection_cut() { return g_connection_cut.load(); }

struct logout_watch::impl {
  explicit impl(vpnc_session* sess) : s(sess) {}
  vpnc_session* s;
  bool done = false;  // under g_end_m
  std::thread t;

  void run() {
    std::unique_lock<std::mutex> lk(g_end_m);
    g_end_cv.wait(lk, [this] { return done || g_end_asked; });
    const int bound_ms = g_logout_bound_ms.load();
    const auto until = g_end_at + std::chrono::milliseconds(bound_ms);
    if (g_end_cv.wait_until(lk, until, [this] { return done; })) return;
    lk.unlock();
    VPN_LOG("logout given up %d s after the forced end", bound_ms / 1000);
    // The flag first: a socket made after it is never connected, one made
    // before it is connected by now and the shutdown reaches it.
    g_connection_cut = true;
    std::lock_guard<std::mutex> g(g_sockfd_guard);
    if (int fd = s->sockfd.load(); fd != -1) shutdown(fd, SHUT_RDWR);
  }
};

logout_watch::logout_watch(vpnc_session* s) : p_(new impl(s)) {
  g_connection_cut = false;
  try {
    p_->t = std::thread([p = p_] { p->run(); });
  } catch (const std::system_error&) {
    VPN_LOG("no thread to bound the logout, it runs unwatched");
  }
}

logout_watch::~logout_watch() {
  {
    std::lock_guard<std::mutex> lk(g_end_m);
    p_->done = true;
  }
  g_end_cv.notify_all();
  if (p_->t.joinable()) p_->t.join();
  delete p_;
}

int sock_connect(vpnc_session* s) {
  // The outside proxy is reached over IPv4 only: with a proxy configured the
  // connection always goes to it, also for an IPv6 gateway.
  const bool via_proxy = s->proxy_ip != 0;
  const bool v6 = s->is_ipv6 != 0 && !via_proxy;
  int fd = vpnc_socket_cloexec(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    VPN_LOG("socket to lum create faild!");
    return -1;
  }
  s->sockfd = fd;
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    VPN_LOG("socket to lum set socket option TCP_NODELAY fail!");
    vpnc_close_sockfd(s);
    return -1;
  }
  // Every read and write on this socket (TLS included) gives up after the
  // bound with EAGAIN, which the callers take as the failure it is.
  const timeval io = as_timeval(g_io_bound_ms.load());
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &io, sizeof io) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &io, sizeof io) != 0) {
    VPN_LOG("socket to lum set read and write time-outs fail!");
    vpnc_close_sockfd(s);
    return -1;
  }
  sockaddr_storage peer{};
  socklen_t peer_len = 0;
  if (v6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&peer);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(s->connect_port);
    std::memcpy(&a6->sin6_addr, s->gateway_ip6, 16);
    peer_len = sizeof *a6;
    int16_t g[8];
    std::memcpy(g, &a6->sin6_addr, 16);
    VPN_LOG("Begin to connect qn ipv6: ip :0x%0x:%0x:%0x:%0x:%0x:%0x:%0x:%0x, port : 0x%0x", g[0], g[1], g[2], g[3],
            g[4], g[5], g[6], g[7], a6->sin6_port);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&peer);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(s->connect_port);
    a4->sin_addr.s_addr = via_proxy ? s->proxy_ip : s->connect_ip;
    peer_len = sizeof *a4;
    VPN_LOG("Begin to connect qn: ip :0x%0x, port : 0x%0x", a4->sin_addr.s_addr, a4->sin_port);
  }
  if (connect_within(fd, reinterpret_cast<sockaddr*>(&peer), peer_len, g_connect_bound_ms.load()) != 0) {
    VPN_LOG("socket to LUM,connect error, errno %d", errno);
    vpnc_close_sockfd(s);
    return -1;
  }
  if (via_proxy) {
    char proxy_text[INET_ADDRSTRLEN] = {};
    in_addr pa{};
    pa.s_addr = s->proxy_ip;
    inet_ntop(AF_INET, &pa, proxy_text, sizeof proxy_text);
    VPN_LOG("outside proxy configured: %s:%d, user name %s, passwd %s, ntlm domain %s", proxy_text, s->proxy_port,
            s->proxy_user, s->proxy_passwd, s->proxy_domain);
    if (vpnc_client_proxy_connect(s) != VPNC_STATE_NEXT) {
      vpnc_close_sockfd(s);
      return -1;
    }
  }
  return 0;
}

int ssl_connect_vpn(vpnc_session* s, int version) {
  // Objects of an earlier attempt or connection are not used again; the
  // caller holds the connection lock (or runs the first handshake alone).
  vpnc_release_tls(s);
  if (vpnc_connection_cut() || sock_connect(s) != 0) return -1;
  if (SslDisableClientCert(s->sockfd) == 0) VPN_LOG("SslDisableClientCert failed!\n");

  tls_library_init();
  s->ssl_ctx = tls_client_ctx(version);
  s->ssl = tls_new_connection(s->ssl_ctx);
  if (!s->ssl_ctx || !s->ssl) {
    VPN_LOG("cannot connect to vpn server, ssl error :%u\n", static_cast<unsigned>(tls_earliest_error()));
  } else {
    tls_attach_fd(s->ssl, s->sockfd);
    vpn_log_info("ssl connecting\n");
    int err = 0;
    int ret = tls_client_handshake(s->ssl, &err);
    if (ret == 1) {
      VPN_LOG("ssl connected\n");
      return 0;
    }
    int e = errno;
    VPN_LOG("ssl connect failed, error: %d, %d, %d(%s)\n", ret, err, e, strerror(e));
  }
  vpnc_close_sockfd(s);
  vpnc_release_tls(s);
  return -1;
}

int ssl_conn_use_method(vpnc_session* s, int version) {
  int r = ssl_connect_vpn(s, version);
  if (r != 0) VPN_LOG("ssl connect to server failed!\n");
  return r;
}

int ssl_connect_try_all_methods(vpnc_session* s) {
  VPN_LOG("first try TLSv1!\n");
  int r = ssl_conn_use_method(s, VPNC_PROTO_TLS1_0);
  if (r != 0) {
    VPN_LOG("TLSv1 failed, try TLSv1_2!\n");
    r = ssl_conn_use_method(s, VPNC_PROTO_TLS1_2);
  }
  if (r != 0) r = ssl_conn_use_method(s, VPNC_PROTO_SSL3);
  if (r != 0) return -1;
  VPN_LOG("tunnel socket: %d\n", s->sockfd.load());
  return 0;
}

int connect_server(vpnc_session* s, int /*version*/) {
  if (ssl_connect_try_all_methods(s) == 0) return 0;
  VPN_LOG("try all client methods, ssl connect failed\n");
  return 4;
}
