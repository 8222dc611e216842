#include "platform/fd_ops.h"
#include "client/session/relay.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/gateway_conn.h"
#include "client/session/controller.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"
#include "platform/utun.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";

constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoVpnControl = 255;

// Fixed buffers: the relay allocates nothing. Both are touched by the main
// thread only.
uint8_t packet_buf[kRelayBufferSize];
uint8_t incomplete_buf[kRelayBufferSize];
std::size_t incomplete_len = 0;

// Set by the controller when a new connection is in place; consumed under
// the connection lock together with the first read from it.
std::atomic<bool> g_drop_carry_over{false};

// The relay never asks SSL_get_error; a failure's queued errors are dropped
// at once (errno kept for the log line) so that the next user of the
// connection starts with an empty queue, and the per-packet path does not
// clear an empty one every time.
int after_tls_call(int n) {
  if (n <= 0) {
    const int e = errno;
    ERR_clear_error();
    errno = e;
  }
  return n;
}
int ssl_read_default(void* buf, int len) {
  return session.ssl == nullptr ? -1 : after_tls_call(SSL_read(session.ssl, buf, len));
}
int ssl_write_default(const void* buf, int len) {
  return session.ssl == nullptr ? -1 : after_tls_call(SSL_write(session.ssl, buf, len));
}
// With read-ahead the library may hold whole records it has not decrypted
// yet; SSL_pending counts only decrypted bytes and would leave those to the
// 3-second wait.
int ssl_pending_default() { return session.ssl == nullptr ? 0 : SSL_has_pending(session.ssl); }

constexpr relay_tls_io kSslIo{ssl_read_default, ssl_write_default, ssl_pending_default};
std::atomic<const relay_tls_io*> g_io{&kSslIo};

// The connection generation the main loop noted before its wait (main
// thread only).
uint32_t noted_generation = 0;

// Whether the library still held bytes after the relay's last read, and of
// which connection: the answer while another thread holds the connection
// lock, so that records read ahead never wait for the 3-second time-out
// because a keepalive write was under way (main thread only).
bool left_pending = false;
uint32_t left_generation = 0;

std::atomic<relay_dtor_fn> g_dtor{vpnc_dtor};

// utun descriptors retired by another thread, parked until the main thread
// closes them. Two at most are ever waiting (a replaced device, then the
// teardown's); a number that finds no free slot just stays parked.
constexpr int kRetiredSlots = 4;
std::atomic<int> g_retired[kRetiredSlots] = {-1, -1, -1, -1};

// The relay's lines carry the operation's name, not the helper's.
#define RELAY_LOG(...) vpn_log(kLogModule, __LINE__, "vpn_data_transfer_qn2", __VA_ARGS__)

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Gateway to utun: one TLS read, then every packet it completed.
int relay_inbound(vpnc_session* s) {
  s->ready_flags &= ~READY_TUNNEL;
  const relay_tls_io* io = g_io.load();
  int n;
  int err;
  bool drop;
  {
    std::lock_guard<std::mutex> lk(g_conn_lock);
    // The connection was replaced after the wait saw it readable (the new
    // one may even have the same descriptor number): a blocking read here
    // would hold the lock until the new one speaks. The next wait looks at
    // the new one.
    if (relay_conn_replaced()) {
      RELAY_LOG("connection replaced since the wait, readiness dropped");
      return XFER_OK;
    }
    errno = 0;
    n = io->read(packet_buf, kRelayReadMax);
    err = errno;
    drop = g_drop_carry_over.exchange(false);
    left_pending = n > 0 && io->pending() > 0;
    left_generation = noted_generation;
  }
  if (drop) incomplete_len = 0;
  if (n <= 0) {
    if (err == EAGAIN || err == EWOULDBLOCK)
      RELAY_LOG("the gateway left a record unfinished for %d s, read given up", gateway_io_bound_ms() / 1000);
    RELAY_LOG("read ip from ssl failed!read bytes %d, errno is %d", n, err);
    return XFER_FAILED;
  }
  g_byte_in.fetch_add(static_cast<uint64_t>(n));
  g_lasttunnelrecv.store(static_cast<int64_t>(std::time(nullptr)) - g_starttick.load());

  const std::size_t got = static_cast<std::size_t>(n);
  const uint8_t* work = packet_buf;
  std::size_t avail = got;
  if (incomplete_len > 0 || got < kIpHeaderSize) {
    if (got > sizeof incomplete_buf - incomplete_len) {
      RELAY_LOG("carry-over of %zu bytes cannot take %zu more, dropping the stream", incomplete_len, got);
      incomplete_len = 0;
      return XFER_FAILED;
    }
    std::memcpy(incomplete_buf + incomplete_len, packet_buf, got);
    incomplete_len += got;
    work = incomplete_buf;
    avail = incomplete_len;
  }

  if (avail < kIpHeaderSize) {
    RELAY_LOG("receive ssl data less than ip header, continue to wait");
    return XFER_PENDING;
  }
  std::size_t len = be16(work + 2);
  if (len < kIpHeaderSize) {
    RELAY_LOG("total length %zu is below the ip header, dropping the stream", len);
    incomplete_len = 0;
    return XFER_FAILED;
  }
  if (avail < len) {
    if (work == packet_buf) {
      std::memcpy(incomplete_buf, work, avail);
      incomplete_len = avail;
    }
    RELAY_LOG("receive ssl data less than ip_len, continue to wait");
    return XFER_PENDING;
  }
  const int tunfd = s->tunfd.load();
  if (avail == len) {
    filterout_session_notify_exit(work, len);
    if (utun_write(tunfd, work, len) == -1) {
      RELAY_LOG("write tun failed!");
      return XFER_FAILED;
    }
    incomplete_len = 0;
    return XFER_OK;
  }

  std::size_t pos = 0;
  for (;;) {
    filterout_session_notify_exit(work + pos, len);
    if (utun_write(tunfd, work + pos, len) == -1) {
      RELAY_LOG("write tun ip ssl failed!");
      return XFER_FAILED;
    }
    pos += len;
    const std::size_t rest = avail - pos;
    if (rest < kIpHeaderSize) break;
    len = be16(work + pos + 2);
    if (len < kIpHeaderSize) {
      RELAY_LOG("total length %zu is below the ip header, dropping the stream", len);
      incomplete_len = 0;
      return XFER_FAILED;
    }
    if (rest < len) break;
  }
  const std::size_t rest = avail - pos;
  if (rest > 0) std::memmove(incomplete_buf, work + pos, rest);
  incomplete_len = rest;
  return XFER_OK;
}

// utun to gateway: one packet, filtered, written unchanged.
int relay_outbound(vpnc_session* s) {
  s->ready_flags &= ~READY_TUN;
  errno = 0;
  const int n = utun_read(s->tunfd.load(), packet_buf, kRelayReadMax);
  if (n < 0) {
    // The descriptor is non-blocking: a readiness that found no packet.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return XFER_OK;
    RELAY_LOG("read from tun failed!");
    return XFER_FAILED;
  }
  if (n == 0) return XFER_OK;
  if (DiscardOrNot(packet_buf, static_cast<std::size_t>(n), m_pExcludeResouceList) == 0) return XFER_OK;
  const relay_tls_io* io = g_io.load();
  int w;
  int err;
  {
    // Waits here while a reconnection on another thread replaces the
    // connection; the packet then goes out on the new one.
    std::lock_guard<std::mutex> lk(g_conn_lock);
    errno = 0;
    w = io->write(packet_buf, n);
    err = errno;
  }
  if (w <= 0) {
    if (err == EAGAIN || err == EWOULDBLOCK)
      RELAY_LOG("the gateway took nothing for %d s, write given up", gateway_io_bound_ms() / 1000);
    RELAY_LOG("write to ssl failed!");
    return XFER_FAILED;
  }
  g_byte_out.fetch_add(static_cast<uint64_t>(w));
  return XFER_OK;
}

}  // namespace

int vpn_data_transfer_qn2(vpnc_session* s) {
  if (s->ready_flags & READY_TUN) return relay_outbound(s);
  if (s->ready_flags & READY_TUNNEL) return relay_inbound(s);
  return XFER_OK;
}

int DiscardOrNot(const uint8_t* packet, std::size_t len, const _VPN_RESOURCE_LIST_* excluded) {
  if (excluded == nullptr || len < kIpHeaderSize) return 1;
  const uint8_t proto = packet[9];
  uint32_t dst;  // kept in network order, like the entries
  std::memcpy(&dst, packet + 16, sizeof dst);
  const bool ported = proto == kProtoTcp || proto == kProtoUdp;
  // The port sits right after a 20-byte header; the header length is not
  // consulted.
  const bool have_port = len >= kIpHeaderSize + 4;
  const uint16_t port = have_port ? be16(packet + kIpHeaderSize + 2) : 0;
  const uint32_t count = excluded->count < kResourceCapacity ? excluded->count : kResourceCapacity;
  int result = 1;
  for (uint32_t i = 0; i < count; ++i) {
    const _VPN_RESOURCE_& e = excluded->entries[i];
    if ((e.ip & e.mask) != (dst & e.mask)) continue;
    if (!ported) {
      result = 0;
      continue;
    }
    if (!have_port) continue;
    switch (e.port_match) {
      case PORT_MATCH_ONE:
        if (port == e.ports[0]) result = 0;
        break;
      case PORT_MATCH_LIST:
        for (uint16_t p : e.ports)
          if (port == p) result = 0;
        break;
      case PORT_MATCH_RANGE:
        if (e.ports[0] <= port && port <= e.ports[1]) result = 0;
        break;
      default:
        break;
    }
  }
  return result;
}

bool is_session_kill_notice(const uint8_t* packet, std::size_t len) {
  return len >= kIpHeaderSize && packet[9] == kProtoVpnControl && packet[12] == 0x00 && packet[13] == 0x02;
}

void filterout_session_notify_exit(const uint8_t* packet, std::size_t len) {
  if (!is_session_kill_notice(packet, len)) return;
  VPN_LOG("Receive a session kill notify from quon, destroy client now");
  int result = -1;
  int done = 0;
  while (result != DTOR_DESTROYED && done == 0) result = g_dtor.load()(&session, 0, 1, &done);
  VPNC_EXIT(0, "Exsit vpn client daemon on session quit");
}

void relay_set_tls_io(const relay_tls_io* io) {
  g_io.store(io != nullptr ? io : &kSslIo);
  left_pending = false;
}

const relay_tls_io* relay_tls_io_current() { return g_io.load(); }
bool relay_conn_replaced() { return g_conn_generation.load() != noted_generation; }

void relay_set_dtor(relay_dtor_fn fn) { g_dtor.store(fn != nullptr ? fn : vpnc_dtor); }

int relay_carry_over_len() { return static_cast<int>(incomplete_len); }

bool relay_tls_pending() {
  std::unique_lock<std::mutex> lk(g_conn_lock, std::try_to_lock);
  if (!lk.owns_lock()) return left_pending && left_generation == g_conn_generation.load();
  return g_io.load()->pending() > 0;
}

void relay_note_generation() { noted_generation = g_conn_generation.load(); }

void relay_reset_carry_over() { g_drop_carry_over.store(true); }

void relay_retire_tunfd(int fd) {
  if (fd < 0) return;
  static const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
  // Without a placeholder the device stays until the main thread's close.
  if (placeholder >= 0) vpnc_dup_onto_cloexec(placeholder, fd);
  for (std::atomic<int>& slot : g_retired) {
    int free_slot = -1;
    if (slot.compare_exchange_strong(free_slot, fd)) return;
  }
}

void relay_close_retired_tunfds() {
  for (std::atomic<int>& slot : g_retired) {
    if (slot.load(std::memory_order_relaxed) == -1) continue;
    if (const int fd = slot.exchange(-1); fd != -1) close(fd);
  }
}
