// The one way out of the process. Several threads can decide to end the
// daemon at the same moment (signal, terminate request, keepalive, browser
// watch); only the first one ends the launcher sockets and exits, the others
// park here until the process is gone.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "client/diag.h"
#include "client/vpn_globals.h"

namespace {
std::atomic<bool> g_exit_taken{false};
std::atomic<void (*)(int)> g_exit_hook{nullptr};

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

[[noreturn]] void vpnc_exit(int status, const char* module, const char* func, int line, const char* message) {
  if (g_exit_taken.exchange(true)) {
    for (;;) pause();
  }
  end_launcher_connection(connfd);
  close_listener(sockfdctl);
  if (message != nullptr) vpn_log(module, line, func, "%s", message);
  std::fflush(nullptr);
  if (void (*hook)(int) = g_exit_hook.load()) hook(status);
  // Other threads keep running until the process is gone; skipping the
  // static destructors keeps them from touching torn-down globals.
  _exit(status);
}
