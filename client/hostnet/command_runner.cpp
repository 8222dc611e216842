// Runners for system tools (waited for, output discarded) and for the
// gateway's own commands (started under bash, never waited for).
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/session.h"
#include "client/vpn_globals.h"
#include "platform/child_run.h"

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

// The gateway's commands are the gateway's own (an application to open, a
// script to run): they get far more time than a tool before their group is
// stopped.
constexpr int kGatewayCommandBoundMs = 60000;

// Runs one gateway command under bash with descriptors 0-2 closed. With
// `wait` 0 the caller waits for it; otherwise it is started detached and
// never stays behind as a zombie of the daemon.
int run_gateway_command(const char* cmd, int wait) {
  if (hand_to_hook(cmd, wait == 0)) return 0;
  const char* argv[] = {"/bin/bash", "-c", cmd, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = kGatewayCommandBoundMs;
  spec.std_closed = true;
  if (wait != 0) {
    if (!vpnc_child_start_detached(spec)) {
      VPN_LOG("fork failed: command '%s' not started", cmd);
      return -1;
    }
    return 0;
  }
  const child_result r = vpnc_child_run(spec);
  if (!r.started) {
    VPN_LOG("fork failed: %s", std::strerror(errno));
    return -1;
  }
  if (r.timed_out) VPN_LOG("command did not end within %d s, stopped: '%s'", kGatewayCommandBoundMs / 1000, cmd);
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
  const char* argv[] = {"/bin/sh", "-c", line, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = kToolBoundMs;
  spec.as_root = true;
  const child_result r = vpnc_child_run(spec);
  if (!r.started) {
    VPN_LOG("fork failed: %s, command '%s' not run", std::strerror(errno), cmd);
    return -1;
  }
  if (r.timed_out) VPN_LOG("command did not end within %d s, stopped: '%s'", kToolBoundMs / 1000, cmd);
  const int status = r.timed_out ? -1 : exit_status(r.status);
  if (secs) sleep_seconds(secs);
  return status;
}

}  // namespace

void set_command_status_hook(command_status_hook hook) {
  std::lock_guard<std::mutex> lk(g_hook_lock);
  g_status_hook = std::move(hook);
}

bool read_tool_output(const char* cmd, std::size_t limit, std::string* out, int* status, bool* cut) {
  out->clear();
  const child_result r = vpnc_shell_read(cmd, kToolBoundMs, limit, out);
  if (status) *status = r.status;
  if (cut) *cut = r.output_cut;
  if (!r.started) return false;
  if (r.timed_out) {
    VPN_LOG("'%s' did not end within %d s, stopped; its output is not used", cmd, kToolBoundMs / 1000);
    return false;
  }
  return true;
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
