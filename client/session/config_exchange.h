// The generation-2 configuration exchange with the gateway: the tunnel
// request, the 'P'/'Q'/'T'/'U' records that fill the configuration store,
// and the reconnection's drain of the same records.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "client/config_store.h"
#include "client/route_entry.h"
#include "client/session.h"
#include "client/session/config_receivers.h"

enum : uint8_t {
  MSG_COMMON_CONFIG_RQT = 'P',
  MSG_COMMON_CONFIG_REPLY = 'Q',
  MSG_NETCONFIG_RQT = 'T',
  MSG_NETCONFIG_REPLY = 'U',
};

inline constexpr std::size_t kMsgHeaderWireSize = 16;
inline constexpr std::size_t kConfigRequestWireSize = 48;
inline constexpr std::size_t kMaxRequestAddresses = 5;

// Message header; `length` little-endian on the wire.
struct _VPN_MSG_HEADER_ {
  uint8_t msgtype;
  uint8_t reserved[11];
  uint32_t length;
};
static_assert(sizeof(_VPN_MSG_HEADER_) == kMsgHeaderWireSize);
static_assert(offsetof(_VPN_MSG_HEADER_, reserved) == 1);
static_assert(offsetof(_VPN_MSG_HEADER_, length) == 12);

// Payload of the 'T' request: count little-endian, addresses in network
// order, then the hardware address of the interface carrying the connection.
struct _iprequest_data {
  uint32_t count;
  uint32_t ips[kMaxRequestAddresses];
  uint8_t mac[6];
  uint8_t pad[2];
};
static_assert(sizeof(_iprequest_data) == 32);
static_assert(offsetof(_iprequest_data, ips) == 4);
static_assert(offsetof(_iprequest_data, mac) == 24);
static_assert(offsetof(_iprequest_data, pad) == 30);

struct _VPN_CONFIG_REQUEST_ {
  _VPN_MSG_HEADER_ header;
  _iprequest_data data;
};
static_assert(sizeof(_VPN_CONFIG_REQUEST_) == kConfigRequestWireSize);
static_assert(offsetof(_VPN_CONFIG_REQUEST_, data) == kMsgHeaderWireSize);

void encode_msg_header(const _VPN_MSG_HEADER_& h, uint8_t (&wire)[kMsgHeaderWireSize]);
void decode_msg_header(const uint8_t (&wire)[kMsgHeaderWireSize], _VPN_MSG_HEADER_* h);
void encode_config_request(const _VPN_CONFIG_REQUEST_& r, uint8_t (&wire)[kConfigRequestWireSize]);

// The tunnel request is built whole: host name (63), cookie (1023) and
// client id (1023) always fit.
inline constexpr std::size_t kTunnelRequestSize = 4096;
// Formats the tunnel request into `out`; its length, or -1 (out untouched)
// when it would not fit.
int build_tunnel_request(char* out, std::size_t cap, const char* host, const char* cookie,
                         const char* clientid);
// Takes the client id from the system profiler's output (see hwinfo.h):
// 1 found, 0 no "Hardware UUID:" line.
int clientid_from_profiler_output(FILE* f, char* out, std::size_t outlen);

// Dotted text of the gateway socket's local IPv4 address; empty when the
// socket is not an IPv4 one or cannot be asked.
void gateway_local_address_text(int sockfd, char* out, std::size_t cap);

// Reads and decodes the two configuration headers: 1 success, 0 failure.
int read_common_header(cfg_stream* s, _VPN_COMMON_HEADER_* out);
int read_network_header(cfg_stream* s, _VPN_NETWORK_HEADER_* out);

int recv_common_config(cfg_stream* s);
int RequestReply(cfg_stream* s, const char* local_ip);
int FillIPListAndMac_Macos(_iprequest_data* out, const char* local_ip);
int recv_network_config(cfg_stream* s);

// The handlers over a given stream; the handler table's entries run them on
// the session's TLS connection.
int config_rqt_on(vpnc_session* s, cfg_stream* io);
int config_receive_on(vpnc_session* s, cfg_stream* io);
int exhaust_config_reply_on(vpnc_session* s, cfg_stream* io);

// Test seam for the drain: the utun and route operations it calls.
struct reconnect_tun_ops {
  int (*open_device)();
  int (*address_device)(vpnc_session* s);
  int (*peer_route)(route_list& list, const char* text);
  int (*delete_route)(const vpn_route_entry& e, int kind, int via);
};
// Null restores the real operations.
void drain_set_tun_ops(const reconnect_tun_ops* ops);
