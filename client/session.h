// The one session record shared by every thread of the daemon.
#pragma once
#include <openssl/types.h>

#include <atomic>
#include <cstdint>

enum : uint8_t { OUTPROXY_NONE = 0, OUTPROXY_HTTP = 1, OUTPROXY_BASIC = 2, OUTPROXY_NTLM = 3 };
enum : uint8_t { PROXYMODE_NONE = 0, PROXYMODE_OUTSIDE = 1, PROXYMODE_INSIDE = 2 };
enum : uint32_t { READY_TUNNEL = 0x1, READY_TUN = 0x2 };

struct vpnc_session {
  // Words the main loop reads without the connection lock.
  std::atomic<int32_t> state{0};
  uint32_t version_index = 0;
  std::atomic<int32_t> sockfd{-1};  // -1: none (0 is an ordinary descriptor)
  std::atomic<int32_t> tunfd{-1};
  int32_t is_ipv6 = 0;
  uint32_t connect_ip = 0;  // network order
  uint8_t gateway_ip6[16] = {};
  uint16_t connect_port = 0;  // host order
  char hostname[64] = {};
  uint32_t gateway_ip = 0;  // network order
  uint16_t gateway_port = 0;
  char session_cookie[1024] = {};
  uint8_t proxy_type = OUTPROXY_NONE;
  std::atomic<uint8_t> proxy_mode{PROXYMODE_NONE};
  uint32_t proxy_ip = 0;  // network order
  uint16_t proxy_port = 0;
  char proxy_user[64] = {};
  char proxy_passwd[32] = {};
  char proxy_domain[100] = {};
  char navtype[64] = {};
  SSL_CTX* ssl_ctx = nullptr;  // guarded by the connection lock
  SSL* ssl = nullptr;          // guarded by the connection lock
  X509* peer_cert = nullptr;
  char* cert_line = nullptr;
  uint32_t ready_flags = 0;  // main thread only
};

extern vpnc_session session;

// Clears the record and marks both descriptors closed.
void vpnc_session_reset(vpnc_session* s);
// Copies the fields the launcher's package fills (gateway, ports, host name,
// cookie, outside proxy, launch mode) from `src`.
void vpnc_session_take_launch_fields(vpnc_session* dst, const vpnc_session& src);

inline bool navtype_is(const vpnc_session* s, const char* mode) {
  const char* a = s->navtype;
  while (*a && *a == *mode) {
    ++a;
    ++mode;
  }
  return *a == *mode;
}
