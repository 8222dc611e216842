// Outside-proxy traversal: HTTP/1.0 CONNECT to the gateway through the
// launcher's proxy, with Basic or NTLMv1 credentials when it answers 407.
// vpnc_client_proxy_connect and the two handlers it calls are declared in
// client/process_handler.h.
#pragma once
#include <cstddef>

inline constexpr std::size_t kConnectRequestSize = 1024;
inline constexpr std::size_t kNtlmNegotiateSize = 48;
inline constexpr int kBasicCapacity = 201;
inline constexpr int kNegotiateTokenCapacity = 1024;
inline constexpr int kAuthenticateCapacity = 2048;
// A proxy that takes longer than this to accept a connection is given up.
inline constexpr int kProxyConnectTimeoutSec = 10;
// A proxy that stalls longer than this in a reply is given up.
inline constexpr int kProxyReplyTimeoutSec = 30;

// The CONNECT request in the static buffer `mp` (overwritten by each call);
// Basic wins over NTLM when both tokens are given.
const char* create_qn_connect(const char* host, int port, const char* basic_token, const char* ntlm_token);
// The 48-byte negotiate message in the static buffer `ntlm_msg`.
const unsigned char* create_ntlm_negotiate_message();
