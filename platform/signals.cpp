#include "platform/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

FILE* vpnc_popen_read(const char* cmd, pid_t* pid) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(cmd), nullptr};
  extern char** environ;
  const int rc = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    errno = rc;
    return nullptr;
  }
  FILE* stream = fdopen(fds[0], "r");
  if (stream == nullptr) {
    close(fds[0]);
    vpnc_pclose(nullptr, *pid);
  }
  return stream;
}

int vpnc_pclose(FILE* stream, pid_t pid) {
  if (stream != nullptr) fclose(stream);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}
