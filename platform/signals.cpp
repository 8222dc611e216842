#include "platform/signals.h"

#include <pthread.h>

#include <initializer_list>

namespace {
constexpr int kEndByDefault[] = {SIGHUP, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR, SIGIO};
}  // namespace

void vpnc_signal_set(sigset_t* set) {
  sigemptyset(set);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, kSigStatsFifo, SIGTSTP}) {
    sigaddset(set, sig);
  }
  for (int sig : kEndByDefault) sigaddset(set, sig);
  // SIGRTMIN already leaves out the ones the C library keeps for itself.
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(set, sig);
}

bool vpnc_signal_ends_by_default(int sig) {
  for (int s : kEndByDefault)
    if (s == sig) return true;
  return false;
}

void vpnc_child_restore_signals() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t set;
  vpnc_signal_set(&set);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void vpnc_child_default_signals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}
