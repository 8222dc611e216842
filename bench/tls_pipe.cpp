// tls_pipe: the benchmark's own TLS plumbing, outside the daemon.
//
//   tls_pipe client LISTEN_IP PORT SERVER_IP PORT [RECORD]
//       accepts TCP and carries each connection over TLS 1.2 to SERVER.
//   tls_pipe server LISTEN_IP PORT CERT KEY TARGET_IP PORT [RECORD]
//       accepts TLS 1.2 and carries each connection as plain TCP to TARGET.
//   RECORD: the most bytes one TLS write carries (default 16384, a full
//   record); 1400 makes one record per packet-sized write, as the daemon
//   does, and turns read-ahead on, as the gateway end has it.
//   tls_pipe gateway LISTEN_IP PORT CERT KEY TUN REPLY Q U
//       a fast gateway end for the daemon: takes the 82-byte preamble, TLS,
//       the tunnel request, answers with the bytes of the files REPLY, Q and
//       U (after the daemon's 'P' and 'T' requests), then relays IPv4 packets
//       between the TLS stream and the TUN device TUN, answering keepalives.
//       Connections are served one after the other.
//
// client + server make the baselines: the same bulk transfer over TLS on the
// same uplink, without the daemon. Each prints "ready" once it listens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRecord = 16384;  // one full TLS record of payload
constexpr std::size_t kPreamble = 82;
constexpr std::size_t kMsgHeader = 16;
constexpr std::size_t kTRequest = 48;
constexpr std::size_t kMaxRequest = 65536;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

void die(const char* what) {
  std::fprintf(stderr, "tls_pipe: %s: %s\n", what, std::strerror(errno));
  ERR_print_errors_fp(stderr);
  std::exit(1);
}

bool parse_addr(const char* ip, const char* port, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  char* end = nullptr;
  const long p = std::strtol(port, &end, 10);
  if (!end || *end || p <= 0 || p > 65535) return false;
  out->sin_port = htons(static_cast<uint16_t>(p));
  return inet_pton(AF_INET, ip, &out->sin_addr) == 1;
}

int listen_on(const sockaddr_in& a) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) die("bind");
  if (listen(fd, 64) != 0) die("listen");
  return fd;
}

int connect_to(const sockaddr_in& a) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void tune(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

CtxPtr make_ctx(bool server, const char* cert, const char* key) {
  CtxPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
  if (!ctx) die("SSL_CTX_new");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (server) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert) != 1) die("certificate");
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key, SSL_FILETYPE_PEM) != 1) die("key");
  }
  return ctx;
}

struct Buf {
  std::array<unsigned char, 65536> b{};
  std::size_t off = 0, len = 0;
  bool empty() const { return off == len; }
  std::size_t left() const { return len - off; }
};

// Result of one TLS call: progress, or the direction it waits for, or the end.
enum class Io { kDone, kWantRead, kWantWrite, kEof, kError };

Io ssl_io(SSL* ssl, int n) {
  if (n > 0) return Io::kDone;
  switch (SSL_get_error(ssl, n)) {
    case SSL_ERROR_WANT_READ: return Io::kWantRead;
    case SSL_ERROR_WANT_WRITE: return Io::kWantWrite;
    case SSL_ERROR_ZERO_RETURN: return Io::kEof;
    case SSL_ERROR_SYSCALL: return n == 0 ? Io::kEof : Io::kError;
    default: return Io::kError;
  }
}

short want_bits(Io io) { return io == Io::kWantRead ? POLLIN : io == Io::kWantWrite ? POLLOUT : 0; }

// Copies both ways between a plain TCP socket and a TLS connection until
// either side ends. Every call is non-blocking; poll() only when no step
// made progress, so bytes the TLS library already holds are never left
// waiting for the socket.
void pump(int tcp, SSL* ssl, std::size_t record) {
  const int sfd = SSL_get_fd(ssl);
  set_nonblocking(tcp);
  set_nonblocking(sfd);
  Buf up, down;  // up: TCP -> TLS, down: TLS -> TCP
  bool tcp_eof = false, tls_eof = false;
  for (;;) {
    bool progress = false;
    short want_ssl = 0, want_tcp = 0;
    if (!tcp_eof && up.empty()) {
      const ssize_t n = read(tcp, up.b.data(), kRecord);
      if (n > 0) {
        up.off = 0;
        up.len = static_cast<std::size_t>(n);
        progress = true;
      } else if (n == 0) {
        tcp_eof = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        return;
      }
    }
    if (!up.empty()) {
      const std::size_t chunk = up.left() < record ? up.left() : record;
      const int n = SSL_write(ssl, up.b.data() + up.off, static_cast<int>(chunk));
      const Io io = ssl_io(ssl, n);
      if (io == Io::kDone) {
        up.off += static_cast<std::size_t>(n);
        progress = true;
      } else if (io == Io::kEof || io == Io::kError) {
        return;
      }
      want_ssl |= want_bits(io);
    }
    if (!tls_eof && down.empty()) {
      const int n = SSL_read(ssl, down.b.data(), static_cast<int>(down.b.size()));
      const Io io = ssl_io(ssl, n);
      if (io == Io::kDone) {
        down.off = 0;
        down.len = static_cast<std::size_t>(n);
        progress = true;
      } else if (io == Io::kEof) {
        tls_eof = true;
      } else if (io == Io::kError) {
        return;
      }
      want_ssl |= want_bits(io);
    }
    if (!down.empty()) {
      const ssize_t n = write(tcp, down.b.data() + down.off, down.left());
      if (n > 0) {
        down.off += static_cast<std::size_t>(n);
        progress = true;
      } else if (errno == EAGAIN || errno == EINTR) {
        want_tcp |= POLLOUT;
      } else {
        return;
      }
    }
    if ((tcp_eof && up.empty()) || (tls_eof && down.empty())) return;
    if (progress) continue;
    if (!tcp_eof && up.empty()) want_tcp |= POLLIN;
    pollfd p[2] = {{tcp, want_tcp, 0}, {sfd, want_ssl, 0}};
    // no time-out: iperf3's control connection stays idle for a whole run
    poll(p, 2, -1);
  }
}

void serve_client(int in, sockaddr_in server, SSL_CTX* ctx, std::size_t record) {
  Fd tcp(in);
  tune(in);
  Fd out(connect_to(server));
  if (out.get() < 0) return;
  tune(out.get());
  SslPtr ssl(SSL_new(ctx));
  SSL_set_fd(ssl.get(), out.get());
  if (SSL_connect(ssl.get()) != 1) return;
  pump(tcp.get(), ssl.get(), record);
  SSL_shutdown(ssl.get());
}

void serve_server(int in, sockaddr_in target, SSL_CTX* ctx, std::size_t record) {
  Fd raw(in);
  tune(in);
  SslPtr ssl(SSL_new(ctx));
  SSL_set_fd(ssl.get(), in);
  if (SSL_accept(ssl.get()) != 1) return;
  Fd out(connect_to(target));
  if (out.get() < 0) return;
  tune(out.get());
  pump(out.get(), ssl.get(), record);
  SSL_shutdown(ssl.get());
}

// ------------------------------------------------------------ gateway mode

std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) die(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

bool read_exact_fd(int fd, unsigned char* p, std::size_t n) {
  while (n) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool ssl_read_exact(SSL* ssl, unsigned char* p, std::size_t n) {
  while (n) {
    const int r = SSL_read(ssl, p, static_cast<int>(n));
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool ssl_write_all(SSL* ssl, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    const int r = SSL_write(ssl, s.data() + off, static_cast<int>(s.size() - off));
    if (r <= 0) return false;
    off += static_cast<std::size_t>(r);
  }
  return true;
}

int open_tun(const char* name) {
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) die("/dev/net/tun");
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(fd, TUNSETIFF, &ifr) != 0) die("TUNSETIFF");
  set_nonblocking(fd);
  return fd;
}

constexpr unsigned char kKeepalive[20] = {0x45, 0, 0, 20, 0, 0, 0, 0, 0, 255, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};

// Writes whole IPv4 packets into the TUN on a thread of its own. A TUN write
// carries the receiving TCP stack's work; on the relay's thread it would
// share one core with the TLS work and cap the daemon before the daemon's
// own limit.
class TunWriter {
 public:
  explicit TunWriter(int tun) : tun_(tun), thread_([this] { run(); }) {}
  TunWriter(const TunWriter&) = delete;
  TunWriter& operator=(const TunWriter&) = delete;
  ~TunWriter() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      stop_ = true;
    }
    ready_.notify_one();
    thread_.join();
  }
  // Packets back to back, each cut by its total length; waits while the
  // writer is far behind, as a full wire would push back.
  void push(const unsigned char* p, std::size_t n) {
    std::unique_lock<std::mutex> lk(mu_);
    room_.wait(lk, [&] { return queued_.size() < kMaxQueued; });
    queued_.insert(queued_.end(), p, p + n);
    lk.unlock();
    ready_.notify_one();
  }

 private:
  static constexpr std::size_t kMaxQueued = 1 << 20;

  void run() {
    std::vector<unsigned char> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lk(mu_);
        ready_.wait(lk, [&] { return stop_ || !queued_.empty(); });
        if (queued_.empty()) return;
        batch.swap(queued_);
      }
      room_.notify_one();
      for (std::size_t pos = 0; batch.size() - pos >= 20;) {
        const std::size_t tl = (std::size_t{batch[pos + 2]} << 8) | batch[pos + 3];
        (void)!write(tun_, batch.data() + pos, tl);  // a full queue drops, as a wire would
        pos += tl;
      }
      batch.clear();
    }
  }

  int tun_;
  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::vector<unsigned char> queued_;
  bool stop_ = false;
  std::thread thread_;
};

// Relays between the daemon's TLS stream and the TUN device until the stream
// ends or breaks. Packets from the TUN are gathered into records of up to
// 16 KB; the daemon cuts the stream by the packets' total-length fields.
void gateway_relay(SSL* ssl, int tun) {
  const int sfd = SSL_get_fd(ssl);
  set_nonblocking(sfd);
  Buf up;                      // TUN -> TLS
  std::vector<unsigned char> in;  // TLS -> TUN, with a partial packet kept
  in.reserve(1 << 17);
  std::array<unsigned char, 65536> rd{};
  std::array<unsigned char, 65536> pkt{};
  int pending_keepalives = 0;
  TunWriter to_tun(tun);
  for (;;) {
    bool progress = false;
    short want_ssl = 0, want_tun = 0;
    if (up.empty()) {
      up.off = up.len = 0;
      while (pending_keepalives > 0 && up.len + sizeof kKeepalive <= kRecord) {
        std::memcpy(up.b.data() + up.len, kKeepalive, sizeof kKeepalive);
        up.len += sizeof kKeepalive;
        --pending_keepalives;
      }
      while (up.len + 1500 <= kRecord) {
        const ssize_t n = read(tun, pkt.data(), pkt.size());
        if (n <= 0) break;
        if (up.len + static_cast<std::size_t>(n) > up.b.size()) break;  // cannot happen for MTU 1500
        std::memcpy(up.b.data() + up.len, pkt.data(), static_cast<std::size_t>(n));
        up.len += static_cast<std::size_t>(n);
      }
      if (!up.empty()) progress = true;
    }
    if (!up.empty()) {
      const int n = SSL_write(ssl, up.b.data() + up.off, static_cast<int>(up.left()));
      const Io io = ssl_io(ssl, n);
      if (io == Io::kDone) {
        up.off += static_cast<std::size_t>(n);
        progress = true;
      } else if (io == Io::kEof || io == Io::kError) {
        return;
      }
      want_ssl |= want_bits(io);
    } else {
      want_tun |= POLLIN;
    }
    {
      const int n = SSL_read(ssl, rd.data(), static_cast<int>(rd.size()));
      const Io io = ssl_io(ssl, n);
      if (io == Io::kDone) {
        in.insert(in.end(), rd.begin(), rd.begin() + n);
        progress = true;
        std::size_t pos = 0;
        std::size_t run_from = 0;  // start of the packets not handed over yet
        while (in.size() - pos >= 20) {
          const std::size_t tl = (std::size_t{in[pos + 2]} << 8) | in[pos + 3];
          if (tl < 20) return;  // not a packet stream
          if (in.size() - pos < tl) break;
          const unsigned char* p = in.data() + pos;
          if (p[9] == 255 && p[12] == 0 && p[13] == 1) {
            ++pending_keepalives;
            if (pos > run_from) to_tun.push(in.data() + run_from, pos - run_from);
            run_from = pos + tl;
          }
          pos += tl;
        }
        if (pos > run_from) to_tun.push(in.data() + run_from, pos - run_from);
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
      } else if (io == Io::kEof || io == Io::kError) {
        return;
      }
      want_ssl |= want_bits(io);
    }
    if (progress) continue;
    pollfd p[2] = {{tun, want_tun, 0}, {sfd, want_ssl, 0}};
    poll(p, 2, 1000);
  }
}

void serve_gateway(int in, SSL_CTX* ctx, int tun, const std::string& reply, const std::string& q,
                   const std::string& u) {
  Fd raw(in);
  tune(in);
  std::array<unsigned char, kPreamble> pre{};
  if (!read_exact_fd(in, pre.data(), pre.size())) return;
  SslPtr ssl(SSL_new(ctx));
  SSL_set_fd(ssl.get(), in);
  if (SSL_accept(ssl.get()) != 1) return;  // the daemon's TLS 1.0 attempt ends here
  std::string req;
  std::array<unsigned char, 4096> chunk{};
  while (req.find("\r\n\r\n") == std::string::npos) {
    if (req.size() >= kMaxRequest) return;
    const int r = SSL_read(ssl.get(), chunk.data(), static_cast<int>(chunk.size()));
    if (r <= 0) return;
    req.append(reinterpret_cast<const char*>(chunk.data()), static_cast<std::size_t>(r));
  }
  if (req.rfind("GET /prx/000/http/localhost/logout", 0) == 0) {
    ssl_write_all(ssl.get(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    SSL_shutdown(ssl.get());
    return;
  }
  std::array<unsigned char, kTRequest> msg{};
  if (!ssl_write_all(ssl.get(), reply)) return;
  if (!ssl_read_exact(ssl.get(), msg.data(), kMsgHeader)) return;  // 'P'
  if (!ssl_write_all(ssl.get(), q)) return;
  if (!ssl_read_exact(ssl.get(), msg.data(), kTRequest)) return;   // 'T'
  if (!ssl_write_all(ssl.get(), u)) return;
  std::fprintf(stderr, "tls_pipe: tunnel up (%s)\n", SSL_get_version(ssl.get()));
  gateway_relay(ssl.get(), tun);
  SSL_shutdown(ssl.get());
}

// The optional RECORD argument: 0 when it is not a size from 1 to 16384.
std::size_t record_arg(int argc, char** argv, int at) {
  if (argc <= at) return kRecord;
  char* end = nullptr;
  const long v = std::strtol(argv[at], &end, 10);
  return end && !*end && v > 0 && v <= static_cast<long>(kRecord) ? static_cast<std::size_t>(v) : 0;
}

// Per-packet records: the receiving end takes many per read(), like the
// gateway end does.
void set_record_mode(SSL_CTX* ctx, std::size_t record) {
  if (record < kRecord) SSL_CTX_set_read_ahead(ctx, 1);
}

int usage() {
  std::fprintf(stderr,
               "usage: tls_pipe client LISTEN_IP PORT SERVER_IP PORT [RECORD]\n"
               "       tls_pipe server LISTEN_IP PORT CERT KEY TARGET_IP PORT [RECORD]\n"
               "       tls_pipe gateway LISTEN_IP PORT CERT KEY TUN REPLY Q U\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  sockaddr_in listen_addr{}, peer{};
  if (mode == "client" && (argc == 6 || argc == 7)) {
    const std::size_t record = record_arg(argc, argv, 6);
    if (!parse_addr(argv[2], argv[3], &listen_addr) || !parse_addr(argv[4], argv[5], &peer) || record == 0)
      return usage();
    CtxPtr ctx = make_ctx(false, nullptr, nullptr);
    set_record_mode(ctx.get(), record);
    Fd ls(listen_on(listen_addr));
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
      const int c = accept4(ls.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::thread(serve_client, c, peer, ctx.get(), record).detach();
    }
  }
  if (mode == "server" && (argc == 8 || argc == 9)) {
    const std::size_t record = record_arg(argc, argv, 8);
    if (!parse_addr(argv[2], argv[3], &listen_addr) || !parse_addr(argv[6], argv[7], &peer) || record == 0)
      return usage();
    CtxPtr ctx = make_ctx(true, argv[4], argv[5]);
    set_record_mode(ctx.get(), record);
    Fd ls(listen_on(listen_addr));
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
      const int c = accept4(ls.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::thread(serve_server, c, peer, ctx.get(), record).detach();
    }
  }
  if (mode == "gateway" && argc == 10) {
    if (!parse_addr(argv[2], argv[3], &listen_addr)) return usage();
    CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) die("SSL_CTX_new");
    // what the daemon's attempts meet at the test gateway: this library's
    // defaults, so its TLS 1.0 attempt fails and TLS 1.2 follows
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // the daemon sends one record per packet: take many per read() call
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), argv[4]) != 1) die("certificate");
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), argv[5], SSL_FILETYPE_PEM) != 1) die("key");
    Fd tun(open_tun(argv[6]));
    const std::string reply = read_file(argv[7]), q = read_file(argv[8]), u = read_file(argv[9]);
    Fd ls(listen_on(listen_addr));
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
      const int c = accept4(ls.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      serve_gateway(c, ctx.get(), tun.get(), reply, q, u);
    }
  }
  return usage();
}
