// Tunnel operations the other session modules call: the utun device and
// its addressing, and the relay's hooks for the main loop and the
// controller.
#pragma once
#include "client/session.h"

// Name of the open utun interface ("utun" and its unit), whole; empty when
// none was opened.
extern char tunname[16];

// Opens a utun interface and records its name in `tunname`: the descriptor,
// or -1.
int utun_device_config();
// Gives the interface the client address, peer 1.1.1.1 and MTU 1400 and
// makes `tunfd` non-blocking. Always 0.
int config_utun_ip(vpnc_session* s);

// True when the TLS library holds bytes of the connection, decrypted or read
// ahead, that select() cannot see (SSL_has_pending): the main loop should
// serve the gateway side before it waits again. Never blocks: while the
// connection lock is busy, what the relay's last read left on the
// connection still in place. Main thread only.
bool relay_tls_pending();

// Notes the connection in place (g_conn_generation) before the main loop
// reads the descriptors for its wait. A gateway readiness is served only
// while that connection is still in place, with no system call to find out.
// Main thread only.
void relay_note_generation();

// Takes a utun descriptor out of service, from any thread, in place of
// close(): the main thread may be reading or writing the number in the relay
// right now, outside any lock. The number is parked on /dev/null at once (an
// atomic replacement: the device goes with its last reference, and a read or
// write still under way ends on the device or on /dev/null, never on a
// descriptor opened meanwhile); the main thread closes it before its next
// wait.
void relay_retire_tunfd(int fd);
// Closes the descriptors retired since the last pass. Main thread only, at
// the start of a main-loop pass, when no relay call holds a number.
void relay_close_retired_tunfds();

// Drops the bytes of a partial packet kept from the previous connection.
// Call it while holding g_conn_lock, when the new connection is put in place;
// the relay empties its carry-over before it uses the first bytes read after.
void relay_reset_carry_over();

// Legacy tun device (a tun driver's character node). get_tun_device: 0 for
// /dev/net/tun or /dev/tun0, N for /dev/tunN, -1 when none opens; it may make
// the node with mknod and then notes N in `tundev_created` (-1: none made).
int get_tun_device(vpnc_session* s);
// Addresses tun<unit> (client address, peer 1.1.1.1, MTU 1400) and makes
// `tunfd` non-blocking. Always 0.
int config_tun_ipaddr_mac(int unit, vpnc_session* s);
// Reloads the tun driver's kernel extension. Always 0.
int resetup_tun_device_mac();
