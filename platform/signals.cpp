#include "platform/signals.h"

#include <initializer_list>

void vpnc_signal_set(sigset_t* set) {
  sigemptyset(set);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, kSigStatsFifo, SIGTSTP}) {
    sigaddset(set, sig);
  }
}
