// Launcher control channel: package, requests, replies and the FIFO writer.
#include "platform/fd_ops.h"
#include "client/launcher_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/controller.h"
#include "client/vpn_globals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
// Lines logged by helpers carry the name of the operation they belong to.
#define LOG_AS(op, ...) vpn_log(kLogModule, __LINE__, op, __VA_ARGS__)

using Clock = std::chrono::steady_clock;

// The last package read with the right magic (main thread only).
config_pkg g_last_pkg;

// Length of the text at `off` up to its first zero byte, or -1 when the
// package ends first.
long pkg_text_len(const uint8_t* pkg, std::size_t off) {
  const void* z = std::memchr(pkg + off, 0, kConfigPkgSize - off);
  return z ? static_cast<const uint8_t*>(z) - (pkg + off) : -1;
}

// Copies the text at `off` into `dst` when it is shorter than `cap`.
bool take_text(const uint8_t* pkg, std::size_t off, char* dst, std::size_t cap) {
  long n = pkg_text_len(pkg, off);
  if (n < 0 || static_cast<std::size_t>(n) >= cap) return false;
  std::memcpy(dst, pkg + off, static_cast<std::size_t>(n));
  dst[n] = '\0';
  return true;
}

uint32_t load_raw32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Clock::time_point reply_deadline() { return Clock::now() + std::chrono::seconds(kReplySendBoundSec); }

// Waits until fd is ready for `events` or `deadline` has passed; false once
// it has. The caller's non-blocking call tells what the readiness was.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd pfd{fd, events, 0};
  poll(&pfd, 1, static_cast<int>(left));
  return true;
}

// All of buf before `deadline`: a launcher that stops reading (or reads a
// byte now and then) cannot keep a thread in here.
bool send_all(int fd, const void* buf, std::size_t len, Clock::time_point deadline) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = vpnc_send_nosignal(fd, p, len, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_ready(fd, POLLOUT, deadline)) {
        LOG_AS("java_socket_process", "the launcher did not take the reply within %d s", kReplySendBoundSec);
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}

// Every send on a launcher socket is bounded, also the plain ones of the
// "commandline" replies.
void bound_sends(int fd) {
  timeval tv{};
  tv.tv_sec = kReplySendBoundSec;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Closes `fd` when it is still the current launcher connection; the exit
// path may have taken and closed it already.
void drop_connfd(int fd) {
  int expected = fd;
  if (connfd.compare_exchange_strong(expected, -1)) close(fd);
}

void setup_listener() {
  int fd = vpnc_socket_cloexec(AF_INET, SOCK_STREAM, 0);
  if (fd == -1) vpnc_exit(0, kLogModule, "read_config", __LINE__, "create socket failed\n");
  sockfdctl.store(fd);
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
    LOG_AS("read_config", "Failed to set reuse port");
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    LOG_AS("read_config", "Failed to set reuse address");
  linger lg{};
  lg.l_onoff = 1;
  lg.l_linger = 0;
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  LOG_AS("read_config", "start bind\n");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kLauncherPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    LOG_AS("read_config", "bind failed, error id %d\n", errno);
    vpnc_exit(0, kLogModule, "read_config", __LINE__, nullptr);
  }
  LOG_AS("read_config", "start listen\n");
  if (listen(fd, 100) != 0) vpnc_exit(0, kLogModule, "read_config", __LINE__, "listen failed\n");
  LOG_AS("read_config", "start connect\n");
}

bool pkg_is_commandline(const config_pkg& pkg) {
  char mode[64];
  return take_text(pkg.raw, config_pkg_off::navtype, mode, sizeof mode) &&
         std::strcmp(mode, "commandline") == 0;
}

int proxy_fields(vpnc_session* s, const uint8_t* pkg) {
  uint8_t type = pkg[config_pkg_off::proxy_type + 3];
  LOG_AS("read_proxy_config", "OUTSIDE_PROXY_TYPE=%d", type);
  s->proxy_mode = PROXYMODE_NONE;
  s->proxy_type = type;
  if (type == OUTPROXY_NONE) return 1;

  uint32_t ip = load_raw32(pkg + config_pkg_off::proxy_ip);
  if (ip == 0 && type <= OUTPROXY_NTLM) {
    LOG_AS("read_proxy_config", "outside proxy address 0.0.0.0 is not valid");
    return -1;
  }
  s->proxy_mode = PROXYMODE_OUTSIDE;
  s->proxy_ip = ip;
  s->connect_ip = ip;
  s->proxy_port = static_cast<uint16_t>(load_be32(pkg + config_pkg_off::proxy_port));
  s->connect_port = s->proxy_port;
  char iptext[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &ip, iptext, sizeof iptext);
  LOG_AS("read_proxy_config", "OUTPROXY_ADDR :%s  OUTPROXY_PORT :%d, qn host name %s, type %d", iptext,
         s->proxy_port, s->hostname, type);
  if (type == OUTPROXY_HTTP) return 1;
  if (type != OUTPROXY_BASIC && type != OUTPROXY_NTLM) return -1;

  if (!take_text(pkg, config_pkg_off::proxy_user, s->proxy_user, sizeof s->proxy_user)) {
    LOG_AS("read_proxy_config", "proxy uname is larger than destination's buffer");
    return -1;
  }
  if (!take_text(pkg, config_pkg_off::proxy_passwd, s->proxy_passwd, sizeof s->proxy_passwd)) {
    LOG_AS("read_proxy_config", "proxy passwd is larger than destination's buffer");
    return -1;
  }
  if (type == OUTPROXY_NTLM &&
      !take_text(pkg, config_pkg_off::proxy_domain, s->proxy_domain, sizeof s->proxy_domain)) {
    LOG_AS("read_proxy_config", "proxy domain is larger than destination's buffer");
    return -1;
  }
  // The package's domain field, bounded for the log line.
  char src_domain[256] = {};
  long n = pkg_text_len(pkg, config_pkg_off::proxy_domain);
  std::size_t keep = (n < 0 || n >= long(sizeof src_domain)) ? sizeof src_domain - 1 : std::size_t(n);
  std::memcpy(src_domain, pkg + config_pkg_off::proxy_domain, keep);
  LOG_AS("read_proxy_config", "username  :%s, passwd %s, domain %s, source domain %s", s->proxy_user,
         s->proxy_passwd, s->proxy_domain, src_domain);
  return 1;
}
}  // namespace

std::atomic<int> sockfd_autolaunch{-1};
pthread_t g_namedpipeid{};

uint8_t* translate_javastr2ipv6(char* text) {
  static uint8_t addr6[16];
  if (text == nullptr) return nullptr;
  if (*text == '[') ++text;
  std::size_t len = std::strlen(text);
  if (len > 0 && text[len - 1] == ']') text[len - 1] = '\0';
  std::memset(addr6, 0, sizeof addr6);
  if (inet_pton(AF_INET6, text, addr6) != 1) return nullptr;
  return addr6;
}

int read_proxy_config(vpnc_session* s, const config_pkg* pkg) { return proxy_fields(s, pkg->raw); }

int fill_session_from_pkg(const uint8_t (&pkg)[kConfigPkgSize], vpnc_session* s) {
  s->is_ipv6 = static_cast<int32_t>(load_be32(pkg + config_pkg_off::is_ipv6));
  if (s->is_ipv6 != 0) {
    // The text may run past its 40 bytes; no IPv6 text is anywhere near 64.
    char text[64] = {};
    uint8_t* addr = nullptr;
    if (take_text(pkg, config_pkg_off::gateway_ip6_text, text, sizeof text))
      addr = translate_javastr2ipv6(text);
    if (addr == nullptr) {
      LOG_AS("read_config", "Failed to translate java ip string to ipv6 format");
      return -1;
    }
    static const uint8_t kAny[16] = {};
    if (std::memcmp(addr, kAny, sizeof kAny) == 0) {
      LOG_AS("read_config", "gateway address :: is not valid");
      return -1;
    }
    std::memcpy(s->gateway_ip6, addr, sizeof s->gateway_ip6);
    s->connect_ip = 0;
  } else {
    std::memset(s->gateway_ip6, 0, sizeof s->gateway_ip6);
    uint32_t ip = load_raw32(pkg + config_pkg_off::gateway_ip);
    if (ip == 0) {
      LOG_AS("read_config", "gateway address 0.0.0.0 is not valid");
      return -1;
    }
    s->gateway_ip = ip;
    s->connect_ip = ip;
    LOG_AS("read_config", "QN_HOSTNAME := 0x%0x, qnname %s", load_le32(pkg + config_pkg_off::gateway_ip),
           s->hostname);
  }

  uint32_t port = load_be32(pkg + config_pkg_off::gateway_port);
  s->gateway_port = static_cast<uint16_t>(port);
  s->connect_port = s->gateway_port;
  LOG_AS("read_config", "QN_port := ntoh 0x%0x, old: 0x%0x", port,
         load_le32(pkg + config_pkg_off::gateway_port));

  if (!take_text(pkg, config_pkg_off::session_cookie, s->session_cookie, sizeof s->session_cookie)) {
    LOG_AS("read_config", "source cookie length is larger then destination");
    return -1;
  }
  LOG_AS("read_config", "SESSION COOKIE : %s", s->session_cookie);

  if (proxy_fields(s, pkg) < 0) return -1;

  if (!take_text(pkg, config_pkg_off::navtype, s->navtype, sizeof s->navtype)) return -1;

  if (!take_text(pkg, config_pkg_off::hostname, s->hostname, sizeof s->hostname)) {
    LOG_AS("read_config", "source hostname length is larger then destination");
    return -1;
  }
  LOG_AS("read_config", "NAVTYPE := %s", s->navtype);
  return 0;
}

namespace {
// Reads what has arrived of a package: kPkgWhole, kPkgCut, or kPkgLate for
// "not all there yet" (the caller's bound decides when that is final).
int pkg_read_some(int fd, config_pkg* out, std::size_t* got) {
  while (*got < kConfigPkgSize) {
    ssize_t n = recv(fd, out->raw + *got, kConfigPkgSize - *got, MSG_DONTWAIT);
    if (n > 0) {
      *got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return kPkgCut;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return kPkgLate;
    } else if (errno != EINTR) {
      return kPkgCut;
    }
  }
  return kPkgWhole;
}

// A connection whose package is awaited; its bound runs from its own accept.
struct PendingPkg {
  int fd;
  std::size_t got;
  Clock::time_point deadline;
  config_pkg pkg;
};

void set_blocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, on ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// The listener is non-blocking while packages are awaited: a connection that
// went between poll() and accept() must not hold the other ones.
struct NonBlockingListener {
  explicit NonBlockingListener(int f) : fd(f) { set_blocking(fd, false); }
  ~NonBlockingListener() { set_blocking(fd, true); }
  NonBlockingListener(const NonBlockingListener&) = delete;
  NonBlockingListener& operator=(const NonBlockingListener&) = delete;
  const int fd;
};

// Takes one connection into `pending`; false when accept failed for want of
// something (descriptors above all) and the listener should rest a while.
bool accept_pending(int lfd, std::vector<PendingPkg>& pending) {
  int fd = vpnc_accept_cloexec(lfd);
  if (fd == -1) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    LOG_AS("read_config", "accept failed\n");
    return false;
  }
  // macOS hands the listener's O_NONBLOCK on to the accepted socket; the
  // launcher connection is served blocking later on.
  set_blocking(fd, true);
  LOG_AS("read_config", "accept success\n");
  bound_sends(fd);
  pending.push_back(PendingPkg{fd, 0, Clock::now() + std::chrono::seconds(kPackageReadBoundSec), {}});
  return true;
}
}  // namespace

int recv_config_pkg(int fd, config_pkg* out, int bound_ms) {
  // One bound for the whole package: a peer sending a byte now and then
  // must not keep the real launcher's package waiting behind it.
  auto deadline = Clock::now() + std::chrono::milliseconds(bound_ms);
  std::size_t got = 0;
  for (;;) {
    int r = pkg_read_some(fd, out, &got);
    if (r != kPkgLate) return r;
    if (!wait_ready(fd, POLLIN, deadline)) return kPkgLate;
  }
}

int read_config(vpnc_session* s) {
  if (sockfdctl.load() == -1) setup_listener();
  NonBlockingListener listener(sockfdctl.load());
  // Every connection is read side by side, each within its own bound: peers
  // that trickle or stay silent hold no one behind them. A refused package
  // closes its connection at once, so refusals cannot fill the descriptor
  // table either.
  std::vector<PendingPkg> pending;
  pending.reserve(kPendingPackagesMax);
  auto accept_rest_until = Clock::now();
  std::vector<pollfd> pfds;
  for (;;) {
    const auto now = Clock::now();
    const bool may_accept = pending.size() < kPendingPackagesMax && now >= accept_rest_until;
    pfds.clear();
    pfds.push_back(pollfd{listener.fd, static_cast<short>(may_accept ? POLLIN : 0), 0});
    auto wake = now + std::chrono::seconds(kPackageReadBoundSec);
    if (!may_accept && pending.size() < kPendingPackagesMax && accept_rest_until < wake) wake = accept_rest_until;
    for (const PendingPkg& p : pending) {
      pfds.push_back(pollfd{p.fd, POLLIN, 0});
      if (p.deadline < wake) wake = p.deadline;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    poll(pfds.data(), pfds.size(), static_cast<int>(left < 0 ? 0 : left));

    for (std::size_t i = 0; i < pending.size();) {
      PendingPkg& p = pending[i];
      int r = (pfds[i + 1].revents != 0) ? pkg_read_some(p.fd, &p.pkg, &p.got) : kPkgLate;
      if (r == kPkgLate && Clock::now() < p.deadline) {
        ++i;
        continue;
      }
      if (r == kPkgLate)
        VPN_LOG("the whole package did not arrive within %d s, connection dropped", kPackageReadBoundSec);
      else if (r == kPkgCut)
        VPN_LOG("connection ended or failed before the whole package arrived");
      else if (load_be32(p.pkg.raw + config_pkg_off::magic) != CONFIG_PKG_MAGIC)
        VPN_LOG("read finish but pkg is invalid");
      if (r == kPkgWhole && load_be32(p.pkg.raw + config_pkg_off::magic) == CONFIG_PKG_MAGIC) {
        std::memcpy(g_last_pkg.raw, p.pkg.raw, kConfigPkgSize);
        connfd.store(p.fd);
        // The package is in: connections still on their way to one are let go.
        std::size_t others = 0;
        for (std::size_t j = 0; j < pending.size(); ++j) {
          if (j != i) {
            close(pending[j].fd);
            ++others;
          }
        }
        if (others > 0)
          VPN_LOG("%zu other connections awaiting a package dropped", others);
        return fill_session_from_pkg(g_last_pkg.raw, s);
      }
      close(p.fd);
      pfds.erase(pfds.begin() + static_cast<long>(i) + 1);
      pending.erase(pending.begin() + static_cast<long>(i));
    }
    if (may_accept && (pfds[0].revents & POLLIN) && !accept_pending(listener.fd, pending))
      accept_rest_until = Clock::now() + std::chrono::milliseconds(100);  // keeps a lack of descriptors from spinning
  }
}

namespace {
// The signal thread's teardown reads the session record while the package is
// awaited: the launch fields go in under the controller's mutex, never beside
// a teardown. Once a forced end is under way it ends the process; nothing
// goes in any more.
void publish_launch_fields(vpnc_session* s, const vpnc_session& taken) {
  for (;;) {
    if (!vpn_dtor_interrupted() && pthread_mutex_trylock(&mutex) == 0) {
      if (!vpn_dtor_interrupted()) break;
      pthread_mutex_unlock(&mutex);
    }
    if (vpn_dtor_interrupted()) {
      for (;;) pause();
    }
    usleep(10 * 1000);
  }
  vpnc_session_take_launch_fields(s, taken);
  pthread_mutex_unlock(&mutex);
}
}  // namespace

void read_launcher_config(vpnc_session* s) {
  for (;;) {
    // Filled aside: nothing of a refused package reaches the record.
    vpnc_session taken;
    if (read_config(&taken) == 0) {
      publish_launch_fields(s, taken);
      return;
    }
    LOG_AS("main", "configuration package refused, waiting for the next one");
    int fd = connfd.load();
    if (fd != -1 && pkg_is_commandline(g_last_pkg) &&
        !send_all(fd, kConnectFail, sizeof kConnectFail, reply_deadline())) {
      LOG_AS("main", "Failed to send fail response to cmdline");
    }
    if (fd != -1) drop_connfd(fd);
  }
}

void build_stat_reply(uint32_t clientip_netorder, uint64_t byte_in, uint64_t byte_out,
                      uint8_t (&out)[kStatReplySize]) {
  std::memset(out, 0, sizeof out);
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &clientip_netorder, ip, sizeof ip);
  std::size_t n = std::strlen(ip);
  std::memcpy(out, ip, n < kStatIpField ? n : kStatIpField);
  char count[kStatCountField] = {};
  snprintf(count, sizeof count, "%" PRIu64, byte_in);
  std::memcpy(out + kStatIpField, count, std::strlen(count));
  std::memset(count, 0, sizeof count);
  snprintf(count, sizeof count, "%" PRIu64, byte_out);
  std::memcpy(out + kStatIpField + kStatCountField, count, std::strlen(count));
}

void build_fifo_record(uint64_t byte_in, uint64_t byte_out, char (&out)[kFifoRecordSize]) {
  std::memset(out, 0, sizeof out);
  snprintf(out, sizeof out, "byte in:%" PRIu64 ", byte out:%" PRIu64, byte_in, byte_out);
}

namespace {
// Connections whose terminate request was read and not yet answered. Each
// stays open until the process ends: the first connection is never closed
// after its package, and an extra connection's worker holds its share while
// it serves the request.
constexpr std::size_t kOwedEchoesMax = 2 * kExtraWorkersMax + 2;
std::mutex g_echo_mutex;
int g_owed_echo[kOwedEchoesMax];
std::size_t g_owed_echoes = 0;
bool g_echoes_sent = false;

bool echo_owed(int fd) {
  std::lock_guard<std::mutex> lk(g_echo_mutex);
  for (std::size_t i = 0; i < g_owed_echoes; ++i)
    if (g_owed_echo[i] == fd) return true;
  return false;
}

void owe_echo(int fd) {
  std::lock_guard<std::mutex> lk(g_echo_mutex);
  if (g_echoes_sent) return;  // the exit is under way: read too late
  for (std::size_t i = 0; i < g_owed_echoes; ++i)
    if (g_owed_echo[i] == fd) return;
  if (g_owed_echoes == kOwedEchoesMax) {
    LOG_AS("java_socket_process", "too many terminate requests at once, no echo on %d", fd);
    return;
  }
  g_owed_echo[g_owed_echoes++] = fd;
}
}  // namespace

void launcher_send_owed_echoes() {
  std::lock_guard<std::mutex> lk(g_echo_mutex);
  if (g_echoes_sent) return;
  g_echoes_sent = true;
  static constexpr uint8_t kEcho[4] = {0xDE, 0xED, 0xC0, 0xDE};
  // One bound for all of them: a launcher that takes nothing holds the exit
  // no longer than one reply would.
  auto deadline = reply_deadline();
  for (std::size_t i = 0; i < g_owed_echoes; ++i) {
    LOG_AS("java_socket_process", "send terminate response code to java applet");
    if (!send_all(g_owed_echo[i], kEcho, sizeof kEcho, deadline))
      LOG_AS("java_socket_process", "Failed to send dead response to java applet");
  }
  g_owed_echoes = 0;
}

void launcher_echoes_reset_for_test() {
  std::lock_guard<std::mutex> lk(g_echo_mutex);
  g_owed_echoes = 0;
  g_echoes_sent = false;
}

int java_socket_process(vpnc_session* s, int fd) {
  if (fd == -1 || m_pNetConfigFlag == nullptr) {
    VPN_LOG("socket between java applet is not valid");
    return -1;
  }
  uint8_t code[4];
  ssize_t n;
  do {
    n = recv(fd, code, sizeof code, MSG_WAITALL);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    VPN_LOG("socket between java applet has been closed by java side");
    return -1;
  }
  if (n != static_cast<ssize_t>(sizeof code)) {
    VPN_LOG("statistics request code is not valid");
    return -1;
  }
  uint32_t req = load_be32(code);
  if (req == TERMINATE_REQUEST_CODE) {
    VPN_LOG("receive a terminate signal from java applet");
    // Whoever ends the process after the teardown sends the echo: another
    // thread's teardown (a reconnection that saw the forced end) or another
    // terminate request's may come first.
    owe_echo(fd);
    int done = 0;
    int result;
    do {
      result = vpnc_dtor(s, 0, 1, &done);
    } while (result != DTOR_DESTROYED && done == 0);
    VPNC_EXIT(0, "Exsit vpn client daemon on Java request");
  }
  if (req == STAT_REQUEST_CODE) {
    uint8_t reply[kStatReplySize];
    build_stat_reply(clientip_load(m_pNetConfigFlag), g_byte_in.load(), g_byte_out.load(), reply);
    // One bound for the whole reply, its three pieces together.
    auto deadline = reply_deadline();
    if (!send_all(fd, reply, kStatIpField, deadline)) {
      VPN_LOG("Failed to send ip address to java applet");
      return -1;
    }
    if (!send_all(fd, reply + kStatIpField, kStatCountField, deadline)) {
      VPN_LOG("Failed to send receive data statistics to java applet");
      return -1;
    }
    if (!send_all(fd, reply + kStatIpField + kStatCountField, kStatCountField, deadline)) {
      VPN_LOG("Failed to send sent data statistics to java applet");
      return -1;
    }
    return 1;
  }
  VPN_LOG("statistics request code is not valid");
  return -1;
}

void* main_socket_listen_thread(void*) {
  int result = 0;
  int fd;
  while ((fd = connfd.load()) != -1 && result != -1) result = java_socket_process(&session, fd);
  return nullptr;
}

namespace {
// One extra connection, shared by the listener and its worker: whichever
// lets go last closes the descriptor. The listener never waits for a worker
// (which may be stuck on its peer), and never pulls the descriptor from
// under one.
struct ExtraConnection {
  explicit ExtraConnection(int f) : fd(f) {}
  ~ExtraConnection() { close(fd); }
  ExtraConnection(const ExtraConnection&) = delete;
  ExtraConnection& operator=(const ExtraConnection&) = delete;
  const int fd;
  std::atomic<bool> retired{false};
};
using ExtraShare = std::shared_ptr<ExtraConnection>;

// Workers alive, and the replaced connections that may still have one,
// oldest first (weak: the worker's share alone keeps a connection open).
// Never destroyed: a detached worker may give its slot back while the
// process ends.
struct Workers {
  std::mutex mutex;
  std::condition_variable cv;
  int live = 0;
  std::deque<std::weak_ptr<ExtraConnection>> retired;
};
Workers& workers() {
  static Workers* w = new Workers;
  return *w;
}

// A newer connection replaced this one: none of its requests is served any
// more. A worker waiting for a request wakes at once; one sending a reply
// ends within the send bound, or at once when the cap needs its slot; one
// serving a terminate request still owes its launcher the echo (the writing
// side stays) and ends the process.
void retire(ExtraShare& conn) {
  conn->retired.store(true);
  shutdown(conn->fd, SHUT_RD);
  {
    Workers& w = workers();
    std::lock_guard<std::mutex> lk(w.mutex);
    std::erase_if(w.retired, [](const std::weak_ptr<ExtraConnection>& c) { return c.expired(); });
    w.retired.push_back(conn);
  }
  conn.reset();
}

void worker_gone() {
  Workers& w = workers();
  std::lock_guard<std::mutex> lk(w.mutex);
  --w.live;
  w.cv.notify_all();
}

struct WorkerSlot {
  WorkerSlot() = default;
  ~WorkerSlot() { worker_gone(); }
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;
};

// Ends the oldest replaced connection's service at once: both ways shut, its
// blocked send fails and its worker ends. One whose terminate request is
// being served keeps its echo. The caller holds the workers' lock; the
// share taken here keeps the descriptor open until the shutdown is done.
bool cut_oldest_retired(Workers& w) {
  while (!w.retired.empty()) {
    const ExtraShare old = w.retired.front().lock();
    w.retired.pop_front();
    if (!old || echo_owed(old->fd)) continue;
    LOG_AS("sub_socket_listen_thread",
           "%d launcher connections still being served, the oldest replaced one (%d) is ended", w.live, old->fd);
    shutdown(old->fd, SHUT_RDWR);
    return true;
  }
  return false;
}

// Before the next accept: a slot for its worker. The newest connection is
// the one to serve, so over the cap an old one makes room, never the new
// one waits behind them.
void wait_for_worker_slot() {
  Workers& w = workers();
  std::unique_lock<std::mutex> lk(w.mutex);
  const auto free_slot = [&w] { return w.live < kExtraWorkersMax; };
  while (!free_slot()) {
    if (!cut_oldest_retired(w)) {
      LOG_AS("sub_socket_listen_thread", "%d launcher connections still being served, next one waits", w.live);
      w.cv.wait(lk, free_slot);
      return;
    }
    w.cv.wait_for(lk, std::chrono::seconds(1), free_slot);
  }
}

void start_worker(const ExtraShare& conn) {
  {
    Workers& w = workers();
    std::lock_guard<std::mutex> lk(w.mutex);
    ++w.live;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto share = std::make_unique<ExtraShare>(conn);
  pthread_t worker;
  if (pthread_create(&worker, &attr, socket_sub_listen_thread, share.get()) == 0) {
    (void)share.release();  // the worker's now
  } else {
    LOG_AS("sub_socket_listen_thread", "Create sub socket listen thread failed.");
    worker_gone();
  }
  pthread_attr_destroy(&attr);
}
}  // namespace

int launcher_extra_workers() {
  Workers& w = workers();
  std::lock_guard<std::mutex> lk(w.mutex);
  return w.live;
}

void* socket_sub_listen_thread(void* p) {
  WorkerSlot slot;  // given back after this worker's share of the connection
  ExtraShare conn = std::move(*std::unique_ptr<ExtraShare>(static_cast<ExtraShare*>(p)));
  VPN_LOG("socket_sub_listen_thread is called %d", conn->fd);
  while (!conn->retired.load() && java_socket_process(&session, conn->fd) != -1) {
  }
  return nullptr;
}

void* sub_socket_listen_thread(void*) {
  ExtraShare current;
  int lfd;
  while ((lfd = sockfdctl.load()) != -1) {
    wait_for_worker_slot();
    int fd = vpnc_accept_cloexec(lfd);
    if (fd == -1) {
      if (sockfdctl.load() == -1) break;
      VPN_LOG("autolaunch statistic socket accept failed, errno is %d\n", errno);
      usleep(100 * 1000);
      continue;
    }
    bound_sends(fd);
    if (current) retire(current);
    current = std::make_shared<ExtraConnection>(fd);
    sockfd_autolaunch.store(fd);
    VPN_LOG("received data from autolaunch socket, %d", fd);
    start_worker(current);
  }
  if (current) {
    sockfd_autolaunch.store(-1);
    retire(current);
  }
  return nullptr;
}

int fifo_writer_pass(const char* path) {
  int fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd == -1) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    LOG_AS("vpnc_writepipe", "%s is not a fifo", path);
    close(fd);
    return -1;
  }
  char record[kFifoRecordSize];
  build_fifo_record(g_byte_in.load(), g_byte_out.load(), record);
  ssize_t n = write(fd, record, sizeof record);
  int err = errno;
  if (n >= 0) {
    LOG_AS("vpnc_writepipe", "real write num is %d, %s", static_cast<int>(n), record);
  } else if (err == EAGAIN) {
    LOG_AS("vpnc_writepipe", "write to fifo error; try later");
  }
  close(fd);
  return n < 0 ? -1 : static_cast<int>(n);
}

void* vpnc_writepipe(void*) {
  while (g_vpnExit.load() == 0) {
    fifo_writer_pass(kStatsFifoPath);
    sleep(2);
  }
  return nullptr;
}
