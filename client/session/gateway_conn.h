// Connection to the VPN gateway: TCP (optionally through the outside proxy),
// the cleartext ClientHello preamble and the TLS client connection.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include <mutex>

#include "client/session.h"

// One TLS attempt offers exactly one of these protocol versions.
enum : int { VPNC_PROTO_TLS1_0 = 0x0301, VPNC_PROTO_TLS1_2 = 0x0303, VPNC_PROTO_SSL3 = 0x0300 };

inline constexpr std::size_t kPreambleSize = 82;

// The 82-byte TLS record (a ClientHello) sent in the clear before the real
// handshake; `now` is the current time in seconds.
void build_preamble(uint8_t out[kPreambleSize], uint32_t now);
// Sends the preamble on `socket`: 1 when one send took all 82 bytes, else 0.
int SslDisableClientCert(int socket);

// TCP to the gateway or to the outside proxy (then the CONNECT traversal).
// 0 with session->sockfd connected; -1 with nothing left open. The connect
// waits at most 10 s; every later read or write on the socket at most 30 s,
// and an HTTP reply on it as a whole as long (gateway_io_bound_ms).
int sock_connect(vpnc_session* s);
// connect() on the blocking socket `fd` that waits at most `bound_ms` (logged
// when it gives up, errno ETIMEDOUT); 0 connected, -1 with errno set.
int connect_within(int fd, const sockaddr* peer, socklen_t peer_len, int bound_ms);
// Test seam: the connect and the read/write bounds of sock_connect, in ms.
void set_gateway_wait_bounds(int connect_ms, int io_ms);
int gateway_io_bound_ms();

// One deadline for a whole exchange on `fd` (an HTTP reply, the TLS
// handshake): a peer that sends a byte now and then must not hold the caller
// (or the connection lock) longer than a silent one. The socket is
// non-blocking while the object lives; run() calls `op` until it answers
// anything but kIoWantRead / kIoWantWrite, waiting on the socket for what is
// left of gateway_io_bound_ms() in between, and answers -1 (errno ETIMEDOUT,
// logged as `who`) once that time is up. Without a socket a want is -1.
inline constexpr int kIoWantRead = -2;
inline constexpr int kIoWantWrite = -3;
class io_deadline {
 public:
  io_deadline(int fd, const char* who, const char* what);
  ~io_deadline();
  io_deadline(const io_deadline&) = delete;
  io_deadline& operator=(const io_deadline&) = delete;
  template <class Op>
  int run(Op op) {
    for (;;) {
      const int n = op();
      if (n != kIoWantRead && n != kIoWantWrite) return n;
      if (wait(n) != 0) return -1;
    }
  }

 private:
  int wait(int want);
  int fd_;
  const char* who_;
  const char* what_;
  long long until_ms_;
  int restore_ = -1;
};
// One complete attempt with one protocol version; 0 with sockfd, ssl_ctx and
// ssl set, -1 with all three clear. Frees the TLS objects it replaces.
int ssl_connect_vpn(vpnc_session* s, int version);
int ssl_conn_use_method(vpnc_session* s, int version);
// TLS 1.0, then TLS 1.2, then SSL 3.0, each on a fresh TCP connection.
int ssl_connect_try_all_methods(vpnc_session* s);
// ssl_connect_try_all_methods for the logout; 0, or 4 when all failed.
int connect_server(vpnc_session* s, int version);

// Closes sockfd (when open) and marks it closed. Every close of the
// session's sockfd goes through here, under g_sockfd_guard, so that a thread
// waking the connection never shuts down a descriptor number reused since.
void vpnc_close_sockfd(vpnc_session* s);
// Leaf lock around closing sockfd and waking it (shutdown) from another
// thread; nothing else is taken while it is held.
extern std::mutex g_sockfd_guard;
// Frees the TLS objects of the session and clears both fields.
void vpnc_release_tls(vpnc_session* s);

// A forced end (signal, terminate request, browser watch...) was asked for:
// from its first call on, the logout may take kLogoutAfterForcedEndMs at
// most, on whichever thread it runs.
inline constexpr int kLogoutAfterForcedEndMs = 30 * 1000;
void vpnc_note_forced_end();
// Test seams: the bound in ms, and back to "no forced end asked".
void set_logout_after_forced_end_ms(int ms);
void vpnc_forced_end_reset_for_test();
// Held around the logout: once its time after a forced end is up, the
// connection in use is shut down (never closed: its owner is on another
// thread, or blocked in it) and no further connection is made.
class logout_watch {
 public:
  explicit logout_watch(vpnc_session* s);
  ~logout_watch();
  logout_watch(const logout_watch&) = delete;
  logout_watch& operator=(const logout_watch&) = delete;

 private:
  struct impl;
  impl* p_;
};
// True once a logout watch has cut the connection; connects check it after
// they succeed, because a shutdown before the connect does nothing.
bool vpnc_connection_cut();
