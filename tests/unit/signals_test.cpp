#include "platform/signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

// A child of the daemon must not inherit the blocked signal set or the
// ignored SIGPIPE (both pass through exec).
TEST(Signals, ForkedChildGetsTheUsualSignalsBack) {
  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    sigset_t set;
    vpnc_signal_set(&set);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    vpnc_child_restore_signals();
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    bool ok = !sigismember(&now, SIGTERM) && !sigismember(&now, kSigStatsFifo) && !sigismember(&now, SIGTSTP) &&
              sa.sa_handler == SIG_DFL;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Signals, StatsFifoSignalIsInTheDaemonSet) {
  sigset_t set;
  vpnc_signal_set(&set);
  EXPECT_EQ(kSigStatsFifo, SIGSTKFLT);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, SIGSTKFLT, SIGTSTP}) {
    EXPECT_TRUE(sigismember(&set, sig)) << sig;
  }
  EXPECT_FALSE(sigismember(&set, SIGPIPE));
}
