// The one way out of the process. Several threads can decide to end the
// daemon at the same moment (signal, terminate request, keepalive, browser
// watch); only the first one closes the launcher sockets and exits, the others
// park here until the process is gone.
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "client/diag.h"
#include "client/vpn_globals.h"

namespace {
std::atomic<bool> g_exit_taken{false};
std::atomic<void (*)(int)> g_exit_hook{nullptr};

void close_launcher_fd(std::atomic<int>& fd) {
  int old = fd.exchange(-1);
  if (old != -1) close(old);
}
}  // namespace

void vpnc_set_exit_hook(void (*hook)(int status)) { g_exit_hook.store(hook); }

[[noreturn]] void vpnc_exit(int status, const char* module, const char* func, int line, const char* message) {
  if (g_exit_taken.exchange(true)) {
    for (;;) pause();
  }
  close_launcher_fd(connfd);
  close_launcher_fd(sockfdctl);
  if (message != nullptr) vpn_log(module, line, func, "%s", message);
  std::fflush(nullptr);
  if (void (*hook)(int) = g_exit_hook.load()) hook(status);
  // Other threads keep running until the process is gone; skipping the
  // static destructors keeps them from touching torn-down globals.
  _exit(status);
}
