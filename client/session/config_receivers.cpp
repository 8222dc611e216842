#include "client/session/config_receivers.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "client/diag.h"
#include "client/session.h"

namespace {
constexpr const char kLogModule[] = "vpn_getconfig_qn2";

// Excess bytes are thrown away through a buffer of this size.
constexpr std::size_t kDiscardChunk = 4096;
// How long a non-blocking TLS call waits for its socket before failing.
constexpr int kTlsWaitMs = 30000;
constexpr int kMaxInterruptedRetries = 1000;

// An address word kept in network order: its bytes as they came.
uint32_t rd_raw32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Subtracts `used` from a section budget, stopping at 0.
uint64_t consume(uint64_t remaining, uint64_t used) { return used >= remaining ? 0 : remaining - used; }

// Reads a text of `len` bytes into `field` (capacity `cap`, zero-terminated,
// at most cap - 1 characters kept) and drops the rest.
bool read_text(cfg_stream* s, char* field, std::size_t cap, uint64_t len) {
  std::memset(field, 0, cap);
  const std::size_t keep = static_cast<std::size_t>(std::min<uint64_t>(len, cap - 1));
  if (keep > 0 && cfg_read_full(s, field, keep) != static_cast<long>(keep)) return false;
  return cfg_discard(s, len - keep) == 1;
}

void text_of_ipv6(const uint8_t* ip6, char* out, std::size_t cap) {
  char tmp[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET6, ip6, tmp, sizeof tmp)) tmp[0] = '\0';
  std::snprintf(out, cap, "%s", tmp);
}

long long steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Past the stream's whole deadline: the call fails, and says so once.
bool out_of_time(cfg_stream* s) {
  if (s->until_ms == 0 || steady_ms() < s->until_ms) return false;
  if (!s->timed_out)
    vpn_log(kLogModule, __LINE__, s->deadline_who, "the configuration records did not all arrive within %d s, given up",
            s->deadline_ms / 1000);
  s->timed_out = true;
  return true;
}

bool wait_socket(cfg_stream* s, SSL* ssl, int ssl_err) {
  const int fd = SSL_get_fd(ssl);
  if (fd < 0) return false;
  pollfd p{};
  p.fd = fd;
  p.events = ssl_err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  int r;
  do {
    long long wait_ms = kTlsWaitMs;
    if (s->until_ms != 0) {
      if (out_of_time(s)) return false;
      wait_ms = std::min<long long>(wait_ms, s->until_ms - steady_ms());
      if (wait_ms < 0) wait_ms = 0;
    }
    r = poll(&p, 1, static_cast<int>(wait_ms));
  } while (r < 0 && errno == EINTR);
  if (r == 0) out_of_time(s);
  return r > 0;
}

// One TLS call with the retries a non-blocking or interrupted socket needs.
template <typename Op>
int ssl_call(cfg_stream* s, Op op) {
  SSL* ssl = static_cast<SSL*>(s->ctx);
  if (!ssl) {
    s->last_err = SSL_ERROR_SSL;
    return -1;
  }
  // A wait that sees no byte for kTlsWaitMs fails the call; a signal storm
  // is cut off after kMaxInterruptedRetries.
  int interrupted = 0;
  for (;;) {
    if (out_of_time(s)) {
      s->last_err = SSL_ERROR_SYSCALL;
      errno = ETIMEDOUT;
      return -1;
    }
    ERR_clear_error();
    errno = 0;
    const int n = op(ssl);
    if (n > 0) return n;
    const int err = SSL_get_error(ssl, n);
    s->last_err = err;
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (wait_socket(s, ssl, err)) continue;
      return -1;
    }
    if (err == SSL_ERROR_SYSCALL && errno == EINTR && ++interrupted < kMaxInterruptedRetries) continue;
    return -1;
  }
}

int ssl_read_fn(cfg_stream* s, void* buf, int len) {
  return ssl_call(s, [&](SSL* ssl) { return SSL_read(ssl, buf, len); });
}
int ssl_write_fn(cfg_stream* s, const void* buf, int len) {
  return ssl_call(s, [&](SSL* ssl) { return SSL_write(ssl, buf, len); });
}

int mem_read_fn(cfg_stream* s, void* buf, int len) {
  auto* m = static_cast<cfg_mem_stream*>(s->ctx);
  if (m->pos >= m->input.size()) return m->fail_at_end ? -1 : 0;
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(len), m->input.size() - m->pos);
  if (m->chunk) n = std::min(n, m->chunk);
  std::memcpy(buf, m->input.data() + m->pos, n);
  m->pos += n;
  return static_cast<int>(n);
}
int mem_write_fn(cfg_stream* s, const void* buf, int len) {
  auto* m = static_cast<cfg_mem_stream*>(s->ctx);
  if (m->fail_writes) return -1;
  const auto* b = static_cast<const uint8_t*>(buf);
  m->output.insert(m->output.end(), b, b + len);
  return len;
}

void log_dropped(const char* func, const char* what, uint64_t dropped, std::size_t cap) {
  if (dropped)
    vpn_log(kLogModule, __LINE__, func, "%llu %s beyond the capacity of %zu read and dropped",
            static_cast<unsigned long long>(dropped), what, cap);
}
}  // namespace

cfg_deadline::cfg_deadline(cfg_stream* io, SSL* ssl, const char* who, int bound_ms) : io_(io) {
  io_->until_ms = steady_ms() + bound_ms;
  io_->timed_out = false;
  io_->deadline_who = who;
  io_->deadline_ms = bound_ms;
  fd_ = ssl ? SSL_get_fd(ssl) : -1;
  if (fd_ < 0) return;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0) restore_ = flags;
}

cfg_deadline::~cfg_deadline() {
  if (restore_ >= 0) fcntl(fd_, F_SETFL, restore_);
  io_->until_ms = 0;
}

cfg_stream cfg_stream_ssl(SSL* ssl) {
  cfg_stream s;
  s.read = ssl_read_fn;
  s.write = ssl_write_fn;
  s.ctx = ssl;
  return s;
}

cfg_stream cfg_mem_stream::stream() {
  cfg_stream s;
  s.read = mem_read_fn;
  s.write = mem_write_fn;
  s.ctx = this;
  return s;
}

long cfg_read_full(cfg_stream* s, void* buf, std::size_t len) {
  auto* p = static_cast<uint8_t*>(buf);
  std::size_t got = 0;
  while (got < len) {
    const std::size_t want = std::min<std::size_t>(len - got, 1u << 30);
    const int n = s->read(s, p + got, static_cast<int>(want));
    if (n <= 0) return n;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(len);
}

int cfg_discard(cfg_stream* s, uint64_t len) {
  uint8_t sink[kDiscardChunk];
  while (len > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(len, sizeof sink));
    if (cfg_read_full(s, sink, n) != static_cast<long>(n)) return 0;
    len -= n;
  }
  return 1;
}

long cfg_write_full(cfg_stream* s, const void* buf, std::size_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  std::size_t put = 0;
  while (put < len) {
    const std::size_t want = std::min<std::size_t>(len - put, 1u << 30);
    const int n = s->write(s, p + put, static_cast<int>(want));
    if (n <= 0) return n;
    put += static_cast<std::size_t>(n);
  }
  return static_cast<long>(len);
}

int RecvHostMap(cfg_stream* s, _VPN_HOST_MAP_LIST_* list, uint32_t budget) {
  list->count = 0;

  char host[sizeof session.hostname] = {};
  std::memcpy(host, session.hostname, strnlen(session.hostname, sizeof host - 1));
  if (inet_addr(host) != INADDR_NONE || std::strchr(host, ':')) {
    VPN_LOG("virtual site ip: %s", host);
  } else {
    _VPN_HOST_MAP_& e = list->entries[0];
    std::memset(&e, 0, sizeof e);
    if (session.is_ipv6) {
      e.ip = 0;
      text_of_ipv6(session.gateway_ip6, e.ip_text, sizeof e.ip_text);
    } else {
      e.ip = session.gateway_ip;
    }
    std::snprintf(e.host_name, sizeof e.host_name, "%s", host);
    VPN_LOG("virtual site host: %s", host);
    list->count = 1;
  }

  uint64_t remaining = budget;
  uint64_t dropped = 0;
  int ok = 1;
  while (remaining > 0) {
    _VPN_HOST_MAP_ e{};
    uint8_t w[4];
    if (cfg_read_full(s, w, sizeof w) != 4) {
      ok = 0;
      break;
    }
    e.ip = rd_raw32(w);
    if (e.ip == 0) {
      if (session.is_ipv6)
        text_of_ipv6(session.gateway_ip6, e.ip_text, sizeof e.ip_text);
      else
        ipv4_text(session.connect_ip, e.ip_text, sizeof e.ip_text);
    }
    if (cfg_read_full(s, w, sizeof w) != 4) {
      ok = 0;
      break;
    }
    const uint64_t name_len = load_be32(w);
    if (!read_text(s, e.host_name, sizeof e.host_name, name_len)) {
      ok = 0;
      break;
    }
    // The last entry is read whole even when it runs past the section.
    remaining = consume(remaining, 8 + name_len);
    if (list->count < kHostMapCapacity) {
      list->entries[list->count] = e;
      VPN_LOG("Host: %s(%s)", e.host_name, e.ip_text);
      ++list->count;
    } else {
      ++dropped;
    }
  }
  log_dropped(__func__, "host map entries", dropped, kHostMapCapacity);
  return ok;
}

int RecvCommand(cfg_stream* s, _VPN_COMMAND_LIST_* list, uint32_t budget) {
  list->count = 0;
  uint64_t remaining = budget;
  uint64_t dropped = 0;
  char text[sizeof list->commands[0]];
  while (remaining > 0) {
    uint8_t w[4];
    if (cfg_read_full(s, w, sizeof w) != 4) {
      log_dropped(__func__, "commands", dropped, kCommandCapacity);
      return 0;
    }
    const uint64_t len = load_be32(w);
    if (!read_text(s, text, sizeof text, len)) {
      log_dropped(__func__, "commands", dropped, kCommandCapacity);
      return 0;
    }
    remaining = consume(remaining, 4 + len);
    if (list->count < kCommandCapacity) {
      std::memcpy(list->commands[list->count], text, sizeof text);
      ++list->count;
    } else {
      ++dropped;
    }
  }
  log_dropped(__func__, "commands", dropped, kCommandCapacity);
  return 1;
}

int RecvResource(cfg_stream* s, _VPN_RESOURCE_LIST_* list, uint32_t count, int allow_empty) {
  list->count = 0;
  std::unordered_set<uint32_t> seen;
  seen.reserve(kResourceCapacity);
  uint64_t remaining = count;
  uint64_t dropped = 0;
  int ok = 1;
  while (remaining > 0) {
    uint8_t w[kResourceWireSize];
    if (cfg_read_full(s, w, sizeof w) != static_cast<long>(sizeof w)) {
      ok = 0;
      break;
    }
    --remaining;
    _VPN_RESOURCE_ r{};
    decode_resource(w, &r);
    if (r.type == 2) {
      VPN_LOG("skip resource: type = %d, ip=%x", r.type, r.ip);
      continue;
    }
    if (list->count >= kResourceCapacity) {
      ++dropped;
      continue;
    }
    const uint32_t key = r.ip & r.mask;
    if (seen.insert(key).second) {
      VPN_LOG("insert resource: type = %d, ip=%x", r.type, r.ip);
      list->entries[list->count] = r;
      ++list->count;
    } else {
      VPN_LOG("skip resource: type = %d, ip=%x", r.type, r.ip);
    }
  }
  log_dropped(__func__, "resource records", dropped, kResourceCapacity);
  if (!ok) return 0;
  if (list->count == 0 && !allow_empty) return 0;
  return 1;
}

int RecvInsideProxy(cfg_stream* s, _VPN_INSIDEPROXY_* proxy, uint32_t len) {
  if (len == 0) return 1;
  uint8_t w[4];
  if (cfg_read_full(s, w, sizeof w) != 4) return 0;
  proxy->type = load_be32(w);
  if (cfg_read_full(s, w, sizeof w) != 4) return 0;
  const uint64_t text_len = load_be32(w);
  // The text is followed by one more byte that carries nothing.
  char text[sizeof proxy->proxy];
  std::memset(text, 0, sizeof text);
  const std::size_t keep = static_cast<std::size_t>(std::min<uint64_t>(text_len, sizeof text - 1));
  if (keep > 0 && cfg_read_full(s, text, keep) != static_cast<long>(keep)) return 0;
  if (!cfg_discard(s, text_len - keep + 1)) return 0;
  std::memcpy(proxy->proxy, text, sizeof text);
  return 1;
}

int RecvIPList(cfg_stream* s, _VPN_IP_LIST_* list, uint32_t count) {
  list->count = 0;
  uint64_t remaining = count;
  uint64_t dropped = 0;
  int ok = 1;
  while (remaining > 0) {
    uint8_t w[4];
    if (cfg_read_full(s, w, sizeof w) != 4) {
      ok = 0;
      break;
    }
    --remaining;
    if (list->count < kIpListCapacity)
      list->ips[list->count++] = rd_raw32(w);
    else
      ++dropped;
  }
  log_dropped(__func__, "addresses", dropped, kIpListCapacity);
  return ok;
}

int RecvSearchDomain(cfg_stream* s, _VPN_SEARCHDOMAIN_LIST_* list, uint32_t len) {
  if (len == 0) return 1;
  list->count = 0;
  // The text is split while it streams in: pieces between commas, empty ones
  // included; a zero byte ends the text (the rest is read and dropped).
  constexpr std::size_t kDomainChars = sizeof list->domains[0] - 1;
  char piece[sizeof list->domains[0]] = {};
  std::size_t piece_len = 0;
  uint32_t found = 0;
  uint64_t dropped = 0;
  bool ended = false;
  auto emit = [&] {
    piece[piece_len] = '\0';
    if (found < kSearchDomainCapacity)
      std::memcpy(list->domains[found++], piece, piece_len + 1);
    else
      ++dropped;
    piece_len = 0;
  };

  uint8_t chunk[kDiscardChunk];
  uint64_t remaining = len;
  while (remaining > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(remaining, sizeof chunk));
    if (cfg_read_full(s, chunk, n) != static_cast<long>(n)) {
      list->count = 0;
      return 0;
    }
    remaining -= n;
    for (std::size_t i = 0; i < n && !ended; ++i) {
      const char c = static_cast<char>(chunk[i]);
      if (c == '\0') {
        ended = true;
      } else if (c == ',') {
        emit();
      } else if (piece_len < kDomainChars) {
        piece[piece_len++] = c;
      }
    }
  }
  emit();
  list->count = found;
  log_dropped(__func__, "search domains", dropped, kSearchDomainCapacity);
  return 1;
}
