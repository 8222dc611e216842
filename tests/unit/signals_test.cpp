#include "platform/signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
              !sigismember(&now, SIGHUP) && !sigismember(&now, SIGRTMIN) &&
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

// A signal left to its default action would end the daemon without its
// teardown: each is taken on the signal thread, and either ends the daemon
// through the teardown or (the real-time ones) is ignored.
TEST(Signals, EverySignalThatEndsByDefaultIsTaken) {
  sigset_t set;
  vpnc_signal_set(&set);
  struct Case {
    int sig;
    bool ends;
  };
  const Case cases[] = {{SIGHUP, true},   {SIGALRM, true},  {SIGVTALRM, true},  {SIGPROF, true},
                        {SIGXCPU, true},  {SIGXFSZ, true},  {SIGPWR, true},     {SIGIO, true},
                        {SIGRTMIN, false}, {SIGRTMIN + 3, false}, {SIGRTMAX, false}};
  for (const Case& c : cases) {
    EXPECT_TRUE(sigismember(&set, c.sig)) << c.sig;
    EXPECT_EQ(vpnc_signal_ends_by_default(c.sig), c.ends) << c.sig;
  }
  // Their own handling, not the plain teardown-and-exit of the others.
  for (int sig : {SIGTERM, kSigStatsFifo, SIGTSTP, SIGSYS}) EXPECT_FALSE(vpnc_signal_ends_by_default(sig)) << sig;
  // Faults stay with their default action.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) EXPECT_FALSE(sigismember(&set, sig)) << sig;
}

