// HTTP replies from the outside proxy and the gateway, the page fetch and the
// logout.
#pragma once
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/session.h"

enum : int32_t { HTTP_HEAD_INVALID = 0, HTTP_RSP_OK = 1, HTTP_RSP_OTHER = 3, HTTP_RSP_NTLM_CHALLENGE = 4 };
struct http_rsp {
  int32_t status;
};

enum : int { GETPAGE_OK = 0, GETPAGE_READ_FAILED = 2, GETPAGE_WRITE_FAILED = 3, GETPAGE_TOO_SMALL = 23 };

inline constexpr std::size_t kReplyBufferSize = 65536;
inline constexpr int kReplyHeaderMax = 65534;
// Shared receive buffer of the reply readers (and the generation-1 handlers).
extern char buf[kReplyBufferSize];

// Plain socket reader (outside proxy) and TLS reader (gateway). 0 when the
// reply was read and classified, -1 on failure. Token out-parameters may be
// null and are set only for HTTP_RSP_NTLM_CHALLENGE; the token lies in `buf`.
int read_parse_http_rsp(int sock, http_rsp* rsp, int* token_len, char** token);
int read_parse_https_rsp(SSL* ssl, http_rsp* rsp, int* token_len, char** token);

int ssl_get_page(SSL* ssl, const char* request, char* page, unsigned capacity, unsigned* out_len);
// Logout on a fresh connection: 0 when connected (whatever came back), 1 when
// no connection could be made. The logout connection is closed afterwards.
int logout_vpn(vpnc_session* s);
// The whole logout request for the session (never cut).
std::string build_logout_request(const vpnc_session* s);

// Transport seam of the readers. `peek` returns bytes without consuming them
// (so nothing after the reply header is taken); `read` consumes. Both answer
// the byte count, 0 at the end of the stream, kReplyWantRead/kReplyWantWrite
// when nothing is there yet, other negatives on error. A reply as a whole
// gets gateway_io_bound_ms(): `fd` (put in non-blocking mode meanwhile) is
// waited on for what is left of that time, however the peer spreads its
// bytes; without an fd a want is a failure.
inline constexpr int kReplyWantRead = -2;   // kIoWantRead
inline constexpr int kReplyWantWrite = -3;  // kIoWantWrite
struct http_transport {
  void* ctx;
  int (*peek)(void* ctx, char* data, int len);
  int (*read)(void* ctx, char* data, int len);
  bool tls;  // selects the TLS reader's log lines
  int fd = -1;
};
int read_parse_rsp(const http_transport& io, http_rsp* rsp, int* token_len, char** token);
