// Runners for system tools (waited for, output discarded) and for the
// gateway's own commands (started under bash, never waited for).
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/fd_ops.h"
#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/session.h"
#include "client/vpn_globals.h"
#include "platform/signals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
constexpr size_t kLineSize = 1024;
constexpr const char kSilence[] = " 2> /dev/null 1>&2";

std::mutex g_hook_lock;
command_hook g_hook;
command_status_hook g_status_hook;

bool hand_to_hook(const char* cmd, bool waited) {
  command_hook h;
  {
    std::lock_guard<std::mutex> lk(g_hook_lock);
    h = g_hook;
  }
  if (!h) return false;
  h(cmd, waited);
  return true;
}

void sleep_seconds(int secs) {
  timespec left{secs, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Waits for one child; answers its wait status, or -1.
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Runs one gateway command under bash with descriptors and signals of its
// own. With `wait` 0 the caller waits for it; otherwise it is started through
// an intermediate child that exits at once, so the command is reparented and
// never stays behind as a zombie of the daemon.
int run_gateway_command(const char* cmd, int wait) {
  if (hand_to_hook(cmd, wait == 0)) return 0;

  pid_t pid = fork();
  if (pid < 0) {
    VPN_LOG("fork failed: %s", std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
    if (wait != 0) {
      pid_t grandchild = fork();
      if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    }
    vpnc_child_default_signals();  // no blocked or ignored signal (SIGPIPE) carries over
    vpnc_close_from(0);
    execl("/bin/bash", "/bin/bash", "-c", cmd, static_cast<char*>(nullptr));
    _exit(0);
  }
  const int status = reap(pid);
  if (wait != 0 && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 1) {
    VPN_LOG("fork failed: command '%s' not started", cmd);
    return -1;
  }
  return 0;
}

// Copies a command of at most kLineSize - 1 bytes; false when it is longer.
bool bounded_copy(const char* cmd, char (&out)[kLineSize]) {
  const size_t n = strnlen(cmd, kLineSize);
  if (n == kLineSize) return false;
  std::memcpy(out, cmd, n);
  out[n] = '\0';
  return true;
}

// A trailing "&" would only background the command inside its own shell.
void drop_trailing_ampersand(char* cmd) {
  const size_t n = std::strlen(cmd);
  if (n > 0 && cmd[n - 1] == '&') cmd[n - 1] = '\0';
}

}  // namespace

void set_command_hook(command_hook hook) {
  std::lock_guard<std::mutex> lk(g_hook_lock);
  g_hook = std::move(hook);
}

namespace {

// The shell's exit status: 0 when the command did what it was asked, else
// non-zero (-1 when it never ran).
int exit_status(int wait_status) {
  if (wait_status < 0) return -1;
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return -1;
}

int run_waited(const char* cmd, int secs) {
  if (!cmd || !*cmd) return 0;
  char line[kLineSize];
  const int n = std::snprintf(line, sizeof line, "%s%s", cmd, kSilence);
  if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
    // A cut line could be a different command: run nothing.
    VPN_LOG("command of %zu bytes is too long, not run: %.64s...", std::strlen(cmd), cmd);
    return -1;
  }
  if (hand_to_hook(cmd, true)) {
    command_status_hook status;
    {
      std::lock_guard<std::mutex> lk(g_hook_lock);
      status = g_status_hook;
    }
    return status ? status(cmd) : 0;
  }
  const int ctl = sockfdctl.load();
  const int conn = connfd.load();
  pid_t pid = fork();
  if (pid < 0) {
    VPN_LOG("fork failed: %s, command '%s' not run", std::strerror(errno), cmd);
    return -1;
  }
  if (pid == 0) {
    if (conn >= 0) close(conn);
    if (ctl >= 0) close(ctl);
    vpnc_child_default_signals();  // no blocked or ignored signal (SIGPIPE) carries over
    vpnc_close_from(3);
    // Raw call: the child has one thread, the library's all-thread id
    // change is not wanted here. A failure leaves the ids as they are.
    syscall(SYS_setreuid, 0, 0);
    execl("/bin/sh", "/bin/sh", "-c", line, static_cast<char*>(nullptr));
    _exit(1);
  }
  const int status = exit_status(reap(pid));
  if (secs) sleep_seconds(secs);
  return status;
}

}  // namespace

void set_command_status_hook(command_status_hook hook) {
  std::lock_guard<std::mutex> lk(g_hook_lock);
  g_status_hook = std::move(hook);
}

int forknexec(const char* cmd, int secs) {
  run_waited(cmd, secs);
  return 0;
}

int forknexec_status(const char* cmd) { return run_waited(cmd, 0); }

int forknexec_Command(const char* cmd, int wait) {
  if (!cmd) return 0;
  char copy[kLineSize];
  if (!bounded_copy(cmd, copy)) {
    VPN_LOG("gateway command too long, not run: %.64s...", cmd);
    return -1;
  }
  drop_trailing_ampersand(copy);
  return run_gateway_command(copy, wait);
}

int executeCommand(_VPN_COMMAND_LIST_* list) {
  if (!list || list->count == 0) return 0;
  uint32_t count = list->count;
  if (count > kCommandCapacity) {
    VPN_LOG("command list count %u exceeds %zu, extra ones not run", count, kCommandCapacity);
    count = kCommandCapacity;
  }
  for (uint32_t i = 0; i < count; ++i) {
    char* slot = list->commands[i];
    const size_t n = strnlen(slot, sizeof list->commands[i]);
    if (n == sizeof list->commands[i]) {
      VPN_LOG("command %u is not terminated, not run", i);
      continue;
    }
    // The stored command loses its "&", as it is the text that runs.
    drop_trailing_ampersand(slot);
    run_gateway_command(slot, -1);
  }
  return 1;
}

void checktunrwandchange(const char* path) {
  struct stat st {};
  if (!path || stat(path, &st) != 0) return;
  constexpr mode_t kAllRw = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
  if ((st.st_mode & kAllRw) == kAllRw) return;
  for (const char* p = path; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!(std::isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-')) {
      VPN_LOG("device path '%s' not usable on a command line", path);
      return;
    }
  }
  char cmd[kLineSize];
  const int n = std::snprintf(cmd, sizeof cmd, "/bin/chmod a+rw %s", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return;
  forknexec(cmd, 0);
}

namespace {
int set_echo(int fd, bool on) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return -1;
  if (on)
    t.c_lflag |= ECHO;
  else
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  return tcsetattr(fd, TCSAFLUSH, &t);
}
}  // namespace

int echoff(int fd) { return set_echo(fd, false); }
int echon(int fd) { return set_echo(fd, true); }
