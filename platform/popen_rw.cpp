#include "platform/popen_rw.h"

#include "platform/signals.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long elapsed_ms(const timespec& since) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

}  // namespace

popen_rw_t popen_rw(const char* cmd) {
  popen_rw_t p;
  if (!cmd) return p;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return p;
  const pid_t pid = fork();
  if (pid < 0) {
    close(sv[0]);
    close(sv[1]);
    return p;
  }
  if (pid == 0) {
    // Own process group, so a bound can stop the command with its children.
    setpgid(0, 0);
    vpnc_child_default_signals();  // nothing blocked or ignored carries over
    dup2(sv[1], 0);
    dup2(sv[1], 1);
    close_range(3, ~0U, 0);
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  close(sv[1]);
  p.stream = fdopen(sv[0], "r+");
  if (!p.stream) {
    close(sv[0]);
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return p;
  }
  p.child = pid;
  return p;
}

int popen_rw_write(const popen_rw_t& p, const void* data, std::size_t len) {
  if (!p.stream) return -1;
  const char* at = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = send(fileno(p.stream), at, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    at += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

void popen_rw_shutdown_write(const popen_rw_t& p) {
  if (p.stream) shutdown(fileno(p.stream), SHUT_WR);
}

void popen_rw_read_timeout(const popen_rw_t& p, int ms) {
  if (!p.stream || ms < 0) return;
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;  // zero would mean "no bound"
  setsockopt(fileno(p.stream), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int pclose_rw(popen_rw_t* p, int timeout_ms) {
  if (!p || !p->stream) return -1;
  popen_rw_shutdown_write(*p);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  int status = -1;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(p->child, &st, WNOHANG);
    if (r == p->child) {
      status = st;
      break;
    }
    if (r < 0 && errno != EINTR) break;
    if (elapsed_ms(start) >= timeout_ms) {
      kill(-p->child, SIGKILL);
      kill(p->child, SIGKILL);
      while (waitpid(p->child, nullptr, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  std::fclose(p->stream);
  p->stream = nullptr;
  p->child = -1;
  return status;
}
