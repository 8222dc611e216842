// Packet relay between the utun interface and the TLS connection, and the
// excluded-network filter for outbound packets.
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/config_store.h"
#include "client/session.h"

inline constexpr std::size_t kRelayBufferSize = 65536;
inline constexpr int kRelayReadMax = 0xFFFE;
inline constexpr std::size_t kIpHeaderSize = 20;

// Relay results are XFER_* (client/process_handler.h).
int vpn_data_transfer_qn2(vpnc_session* s);

// 1: send the packet of `len` bytes to the gateway, 0: drop it. Only bytes
// inside the packet decide; a rule that needs bytes the packet lacks does
// not match.
int DiscardOrNot(const uint8_t* packet, std::size_t len, const _VPN_RESOURCE_LIST_* excluded);

// Protocol 255 with a source address beginning 0.2: the gateway ends the
// session.
bool is_session_kill_notice(const uint8_t* packet, std::size_t len);
// Returns when the packet is no session-kill notice; otherwise tears the
// session down and ends the process with status 0.
void filterout_session_notify_exit(const uint8_t* packet, std::size_t len);

// The TLS side of the relay. Called with g_conn_lock held. read/write answer
// like SSL_read/SSL_write; pending nonzero when the library holds bytes of
// the connection, decrypted or not yet.
struct relay_tls_io {
  int (*read)(void* buf, int len);
  int (*write)(const void* buf, int len);
  int (*pending)();
};
// Test seam: null restores SSL_read/SSL_write/SSL_has_pending on session.ssl.
void relay_set_tls_io(const relay_tls_io* io);
// The TLS side in use (the generation-1 relay shares it).
const relay_tls_io* relay_tls_io_current();
// Whether the connection in place is not the one the main loop noted before
// its wait (ask under g_conn_lock): its readiness belongs to the old one.
bool relay_conn_replaced();

// Test seam: the controller call of the session-kill path (null restores
// vpnc_dtor).
using relay_dtor_fn = int (*)(vpnc_session* s, int reconnect, int force, int* done);
void relay_set_dtor(relay_dtor_fn fn);

// Bytes the carry-over holds (tests and diagnostics).
int relay_carry_over_len();
