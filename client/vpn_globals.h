// Process-wide words shared by the threads of the daemon, and the thread
// bodies that start-up launches.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

extern std::atomic<int64_t> g_starttick;      // wall-clock second the tunnel came up
extern std::atomic<uint64_t> g_byte_in;       // bytes read from the gateway
extern std::atomic<uint64_t> g_byte_out;      // bytes written to the gateway
extern std::atomic<int64_t> g_lasttunnelrecv;  // seconds since g_starttick
extern pthread_mutex_t mutex;                  // controller's mutex: error-checking, try-lock only
// Serialises every use and replacement of the TLS connection. Taken after
// the controller's mutex; no holder calls the controller.
extern std::mutex g_conn_lock;

// Launcher channel (descriptor -1: none).
extern std::atomic<int> sockfdctl;
extern std::atomic<int> connfd;
extern std::atomic<int> g_vpnExit;

void* keepalive_thread(void*);
void* browser_closed_or_not(void* launch_mode);
void* inside_proxy_download_thread(void*);
void* main_socket_listen_thread(void*);
void* sub_socket_listen_thread(void*);
void* vpnc_writepipe(void*);

// The one way out of the process: the first caller closes the launcher
// sockets, logs `message` (common form; null logs nothing) and exits with
// `status`; callers that come later block until the process is gone.
[[noreturn]] void vpnc_exit(int status, const char* module, const char* func, int line,
                            const char* message);
#define VPNC_EXIT(status, message) vpnc_exit((status), kLogModule, __func__, __LINE__, (message))

// Called by the controller on the thread that ran the teardown, before any
// other caller can learn that the session is cleared: the way out is that
// thread's, after what its caller still owes (the terminate request's echo).
// Any other thread that comes to vpnc_exit waits for it, 20 s at most (a
// peer that never takes the echo must not keep the daemon alive).
void vpnc_exit_reserve();

// Test seams: replaces the final exit() (unit tests); forgets a reservation.
void vpnc_set_exit_hook(void (*hook)(int status));
void vpnc_exit_reset_for_test();
