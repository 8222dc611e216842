#include "platform/signals.h"

#include <pthread.h>

#include <initializer_list>

void vpnc_signal_set(sigset_t* set) {
  sigemptyset(set);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, kSigStatsFifo, SIGTSTP}) {
    sigaddset(set, sig);
  }
}

void vpnc_child_restore_signals() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t set;
  vpnc_signal_set(&set);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
