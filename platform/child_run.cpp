#include "platform/child_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/fd_ops.h"
#include "platform/signals.h"

namespace {

// The macOS system folders: a command line finds the system's tools only.
constexpr const char kSystemPath[] = "/usr/bin:/bin:/usr/sbin:/sbin";

// Root's home from the user database; "/" when it names none (a folder that
// always exists and belongs to root).
std::string read_root_home() {
  const passwd* pw = getpwuid(0);
  if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
  return "/";
}

// Read once, before main and so before any thread or child.
const std::string g_root_home = read_root_home();

std::mutex g_override_lock;
std::string g_path_override, g_home_override;
bool g_path_overridden = false, g_home_overridden = false;

// The child's environment, built before the fork (no allocation after it).
struct child_env {
  std::vector<std::string> texts;
  std::vector<char*> ptrs;
  child_env() {
    std::string path = kSystemPath, home = g_root_home;
    {
      std::lock_guard<std::mutex> lk(g_override_lock);
      if (g_path_overridden) path = g_path_override;
      if (g_home_overridden) home = g_home_override;
    }
    texts.push_back("PATH=" + path);
    texts.push_back("HOME=" + home);
    for (auto& t : texts) ptrs.push_back(t.data());
    ptrs.push_back(nullptr);
  }
};

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void pause_ms(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&t, nullptr);
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A descriptor number above the standard ones, so that the dup2 calls below
// never overwrite a source still to be used. Async-signal-safe.
int lift(int fd) { return fd >= 0 && fd < 3 ? fcntl(fd, F_DUPFD, 3) : fd; }

// The child side, after fork: nothing here allocates or takes a lock.
[[noreturn]] void become_child(const child_spec& spec, char* const* envp, int in_fd, int out_fd, int null_fd) {
  setpgid(0, 0);
  if (spec.file_size_limit > 0) {
    // Soft and hard alike: the program cannot lift it again. Failing to set
    // it, the child does not run at all.
    const rlimit cap{static_cast<rlim_t>(spec.file_size_limit), static_cast<rlim_t>(spec.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(127);
  }
  vpnc_child_default_signals();
  in_fd = lift(in_fd);
  out_fd = lift(out_fd);
  null_fd = lift(null_fd);
  if (spec.std_closed && in_fd < 0 && out_fd < 0) {
    close(0);
    close(1);
    close(2);
  } else {
    dup2(in_fd >= 0 ? in_fd : null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    dup2(null_fd, 2);
  }
  vpnc_close_from(3);
  if (spec.as_root) {
    // Raw call: the child has one thread, the library's all-thread id
    // change is not wanted here. A failure leaves the ids as they are.
    syscall(SYS_setreuid, 0, 0);
  }
  execve(spec.argv[0], const_cast<char* const*>(spec.argv), envp);
  _exit(127);
}

int reap(pid_t pid, int options, int* status) {
  for (;;) {
    const pid_t r = waitpid(pid, status, options);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// The group first, then the child itself (in case it had not yet made its
// group when the bound ran out), then its wait status.
int kill_and_reap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = -1;
  if (reap(pid, 0, &status) != pid) return -1;
  return status;
}

void set_nonblocking(int fd) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

}  // namespace

bool child_result::ok() const {
  return started && !timed_out && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

child_result vpnc_child_run(const child_spec& spec) {
  child_result res;
  if (!spec.argv || !spec.argv[0]) return res;
  child_env env;
  int in_pair[2] = {-1, -1};  // a socket pair: the daemon's writes never raise SIGPIPE
  int out_pipe[2] = {-1, -1};
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  bool made = null_fd >= 0;
  if (made && spec.input) made = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) == 0;
  if (made && spec.output) made = pipe2(out_pipe, O_CLOEXEC) == 0;
  int nfd = null_fd;
  if (!made) {
    close_fd(in_pair[0]);
    close_fd(in_pair[1]);
    close_fd(out_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(nfd);
    return res;
  }
  const pid_t pid = fork();
  if (pid == 0) become_child(spec, env.ptrs.data(), in_pair[1], out_pipe[1], null_fd);
  close_fd(in_pair[1]);
  close_fd(out_pipe[1]);
  close_fd(nfd);
  if (pid < 0) {
    close_fd(in_pair[0]);
    close_fd(out_pipe[0]);
    return res;
  }
  res.started = true;
  // Both sides set the group, so a kill reaches it whichever runs first.
  setpgid(pid, pid);
  const long long deadline = now_ms() + (spec.bound_ms > 0 ? spec.bound_ms : 0);
  int in_fd = in_pair[0];
  int out_fd = out_pipe[0];
  std::size_t written = 0;
  if (in_fd >= 0) {
    set_nonblocking(in_fd);
    if (spec.input->empty()) {
      shutdown(in_fd, SHUT_WR);
      close_fd(in_fd);
    }
  }
  if (out_fd >= 0) set_nonblocking(out_fd);
  char buf[4096];
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) break;
    if (in_fd < 0 && out_fd < 0) {
      int status = 0;
      const pid_t r = reap(pid, WNOHANG, &status);
      if (r == pid) {
        res.status = status;
        return res;
      }
      if (r < 0) return res;
      pause_ms(left < 5 ? left : 5);
      continue;
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    const int ready = poll(fds, n, static_cast<int>(left > 1000 ? 1000 : left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t w = vpnc_send_nosignal(in_fd, spec.input->data() + written, spec.input->size() - written, 0);
        if (w > 0) written += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == spec.input->size()) {
          shutdown(in_fd, SHUT_WR);
          close_fd(in_fd);
        }
      } else {
        const ssize_t r = read(out_fd, buf, sizeof buf);
        if (r > 0) {
          const std::size_t room = spec.output_limit > spec.output->size() ? spec.output_limit - spec.output->size() : 0;
          if (static_cast<std::size_t>(r) > room) res.output_cut = true;
          spec.output->append(buf, static_cast<std::size_t>(r) < room ? static_cast<std::size_t>(r) : room);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          close_fd(out_fd);
        }
      }
    }
  }
  close_fd(in_fd);
  close_fd(out_fd);
  res.timed_out = true;
  res.status = kill_and_reap(pid);
  return res;
}

child_result vpnc_shell_read(const char* cmd, int bound_ms, std::size_t limit, std::string* out) {
  const char* argv[] = {"/bin/sh", "-c", cmd, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = bound_ms;
  spec.output = out;
  spec.output_limit = limit;
  return vpnc_child_run(spec);
}

bool vpnc_child_start_detached(const child_spec& spec) {
  if (!spec.argv || !spec.argv[0]) return false;
  child_env env;
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  const pid_t first = fork();
  if (first == 0) {
    // The watcher runs in a grandchild, so this child ends at once and the
    // watcher belongs to init: nobody in the daemon waits for it.
    const pid_t watcher = fork();
    if (watcher != 0) _exit(watcher < 0 ? 1 : 0);
    vpnc_child_default_signals();
    const pid_t pid = fork();
    if (pid == 0) become_child(spec, env.ptrs.data(), -1, -1, null_fd);
    vpnc_close_from(0);
    if (pid < 0) _exit(1);
    setpgid(pid, pid);
    const long long deadline = now_ms() + (spec.bound_ms > 0 ? spec.bound_ms : 0);
    int status = 0;
    while (now_ms() < deadline) {
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno != EINTR)) _exit(0);
      pause_ms(20);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(null_fd);
  if (first < 0) return false;
  int status = 0;
  if (reap(first, 0, &status) != first) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void vpnc_child_env_override(const char* path, const char* home) {
  std::lock_guard<std::mutex> lk(g_override_lock);
  g_path_overridden = path != nullptr;
  g_path_override = path ? path : "";
  g_home_overridden = home != nullptr;
  g_home_override = home ? home : "";
}
