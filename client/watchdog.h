// The threads that watch the session from outside the main loop: the
// keepalive thread (with the full-tunnel default-route watch), the browser
// watch, the one-shot inside-proxy thread and the sleep and wake watcher.
// The thread bodies themselves are declared in client/vpn_globals.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/session.h"
#include "platform/power.h"

// Seconds since g_starttick at which the last keepalive went out; 0 until
// the first. Keepalive thread only.
extern int64_t g_lastkeepalive;

inline constexpr std::size_t kKeepalivePacketSize = 20;
// protocol 255, source 0.1.0.0, everything else 0 but the header's form
inline constexpr uint8_t kKeepalivePacket[kKeepalivePacketSize] = {
    0x45, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff,
    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
static_assert(sizeof kKeepalivePacket == 20);

inline constexpr uint32_t kDefaultKeepaliveInterval = 120;

// Test seam: the outside steps of the watchdogs. Null members use the real
// operation.
struct watchdog_ops {
  int64_t (*now)();                    // wall-clock second
  void (*sleep_seconds)(unsigned secs);
  int (*tls_write)(const void* buf, int len);  // called with g_conn_lock held; like SSL_write
  int (*dtor)(vpnc_session* s, int reconnect, int force, int* done);
  int (*is_fulltunnel)();
  bool (*default_route_is_tun)();
  // Runs `cmd` through the shell and reads one line of at most size-1
  // characters into `line`: 1 when a line was read, 0 when nothing came,
  // -1 when the command could not be started.
  int (*read_command_line)(const char* cmd, char* line, std::size_t size);
};
void watchdog_set_ops(const watchdog_ops* ops);
// The controller as the watchdogs call it (the seam's, or vpnc_dtor).
int watchdog_dtor(vpnc_session* s, int reconnect, int force, int* done);

// The keepalive thread's state between passes.
struct keepalive_state {
  uint64_t interval = kDefaultKeepaliveInterval;
  int misses = 0;
};
// The interval from the common configuration header (0 means 120 s).
keepalive_state keepalive_begin();
// One pass of the keepalive thread. false: the controller tore the session
// down and the process must end.
bool keepalive_pass(keepalive_state* st);

// The browser's process count command for a launch mode; null for a mode
// that names no browser.
const char* browser_command(const char* launch_mode);
// The browser watch up to the end of the process: 0 when the mode is not
// watched (the thread just ends), 1 once the browser is gone and the
// controller reported the session torn down (the process must end).
int browser_watch_run(const char* launch_mode);

// Sleep and wake watcher; no path of the daemon starts it.
void* detect_sys_sleep_thread(void*);
void SleepCbk(void* refcon, io_service_t service, uint32_t message_type, void* message_argument);
extern io_connect_t root_port;
