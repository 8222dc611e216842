// The one way out of the process. Several threads can decide to end the
// daemon at the same moment (signal, terminate request, keepalive, browser
// watch); only the first one ends the launcher sockets and exits, the others
// park here until the process is gone. The thread that ran the teardown has
// the way out reserved before anyone can see the session cleared, so the
// terminate request's echo is sent before the process ends.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "client/diag.h"
#include "client/launcher_channel.h"
#include "client/vpn_globals.h"

namespace {
std::atomic<bool> g_exit_taken{false};
std::atomic<bool> g_exit_reserved{false};
thread_local bool t_exit_reserved = false;
std::atomic<void (*)(int)> g_exit_hook{nullptr};
constexpr int kReservedWaitSeconds = 20;

// A later caller: the process ends through the first one. Only when that is
// the teardown's thread, held up past the bound, does this one end it.
void wait_for_the_first_caller() {
  if (!g_exit_reserved.load()) {
    for (;;) pause();
  }
  timespec left{kReservedWaitSeconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void close_listener(std::atomic<int>& fd) {
  int old = fd.exchange(-1);
  if (old != -1) close(old);
}

// The launcher connection may be in a launcher thread's recv() right now:
// closing it there would pull the descriptor from under the call (its number
// free for reuse) and, the call still holding the socket, would not even end
// the connection. Shutting the sending side down ends it for the launcher at
// once, after whatever reply was already sent; the reader is left blocked
// rather than woken into logging an end the launcher did not make. The
// descriptor goes with the process.
void end_launcher_connection(std::atomic<int>& fd) {
  int old = fd.exchange(-1);
  if (old != -1) shutdown(old, SHUT_WR);
}
}  // namespace

void vpnc_set_exit_hook(void (*hook)(int status)) { g_exit_hook.store(hook); }

void vpnc_exit_reserve() {
  if (g_exit_taken.exchange(true)) return;
  t_exit_reserved = true;
  g_exit_reserved.store(true);
}

void vpnc_exit_reset_for_test() {
  t_exit_reserved = false;
  g_exit_reserved.store(false);
  g_exit_taken.store(false);
  launcher_echoes_reset_for_test();
}

[[noreturn]] void vpnc_exit(int status, const char* module, const char* func, int line, const char* message) {
  if (!t_exit_reserved && g_exit_taken.exchange(true)) wait_for_the_first_caller();
  // After a teardown, every terminate request read so far gets its echo
  // before the launcher connections end, whoever ran the teardown.
  if (g_exit_reserved.load()) launcher_send_owed_echoes();
  end_launcher_connection(connfd);
  close_listener(sockfdctl);
  if (message != nullptr) vpn_log(module, line, func, "%s", message);
  // No stdio flush: the log goes out line by line to syslog and standard
  // output is unbuffered, and flushing every stream would wait for the lock
  // of any stream another thread is blocked in.
  if (void (*hook)(int) = g_exit_hook.load()) hook(status);
  // Other threads keep running until the process is gone; skipping the
  // static destructors keeps them from touching torn-down globals.
  _exit(status);
}
