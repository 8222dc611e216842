// Runners for system tools (waited for, output discarded) and for the
// gateway's own commands (started under bash, never waited for).
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

// The teardown under way on this thread, if any.
struct teardown_runs {
  bool active = false;
  long long started_ms = 0;
  std::vector<std::string> hung;     // tools past their bound once
  std::vector<std::string> skipped;  // tools whose skip was logged
};
thread_local teardown_runs t_teardown;
std::atomic<long long (*)()> g_clock_hook{nullptr};

long long clock_ms() {
  if (long long (*hook)() = g_clock_hook.load()) return hook();
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The program a command line runs first: the key of its marks.
std::string tool_of(const char* cmd) {
  const char* p = cmd;
  while (*p == ' ' || *p == '\t') ++p;
  const char* end = p;
  while (*end && !std::strchr(" \t;&|<>()", *end)) ++end;
  return std::string(p, end);
}

bool listed(const std::vector<std::string>& list, const std::string& tool) {
  return std::find(list.begin(), list.end(), tool) != list.end();
}

int whole_seconds(int ms) { return (ms + 999) / 1000; }

}  // namespace

teardown_tool_bounds::teardown_tool_bounds() {
  t_teardown = teardown_runs{};
  t_teardown.active = true;
  t_teardown.started_ms = clock_ms();
}

teardown_tool_bounds::~teardown_tool_bounds() { t_teardown = teardown_runs{}; }

void set_teardown_clock_hook(long long (*now_ms)()) { g_clock_hook.store(now_ms); }

int tool_run_bound(const char* cmd, int own_ms) {
  teardown_runs& t = t_teardown;
  if (!t.active) return own_ms;
  const std::string tool = tool_of(cmd);
  const long long ran = clock_ms() - t.started_ms;
  const bool hung = listed(t.hung, tool);
  const long long left = kTeardownBoundMs - kTeardownReserveMs - ran;
  if ((hung && ran >= kTeardownLateMs) || left <= 0) {
    if (!listed(t.skipped, tool)) {
      t.skipped.push_back(tool);
      VPN_LOG("'%s' skipped: the teardown is past its time", tool.c_str());
    }
    return 0;
  }
  const long long bound = hung ? std::min(own_ms, kHungToolBoundMs) : own_ms;
  return static_cast<int>(std::min(bound, left));
}

void tool_run_ended(const char* cmd, int bound_ms, bool past_bound) {
  teardown_runs& t = t_teardown;
  if (!t.active || !past_bound) return;
  std::string tool = tool_of(cmd);
  if (listed(t.hung, tool)) return;
  VPN_LOG("'%s' did not end within %d s; its further runs in this teardown get short bounds", tool.c_str(),
          whole_seconds(bound_ms));
  t.hung.push_back(std::move(tool));
}

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
  const int bound = tool_run_bound(cmd, kToolBoundMs);
  if (bound == 0) return -1;
  const char* argv[] = {"/bin/sh", "-c", line, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = bound;
  spec.as_root = true;
  const child_result r = vpnc_child_run(spec);
  if (!r.started) {
    VPN_LOG("fork failed: %s, command '%s' not run", std::strerror(errno), cmd);
    return -1;
  }
  if (r.timed_out) VPN_LOG("command did not end within %d s, stopped: '%s'", whole_seconds(bound), cmd);
  tool_run_ended(cmd, bound, r.timed_out);
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
  if (status) *status = -1;
  if (cut) *cut = false;
  const int bound = tool_run_bound(cmd, kToolBoundMs);
  if (bound == 0) return false;
  const child_result r = vpnc_shell_read(cmd, bound, limit, out);
  if (status) *status = r.status;
  if (cut) *cut = r.output_cut;
  if (!r.started) return false;
  if (r.timed_out) VPN_LOG("'%s' did not end within %d s, stopped; its output is not used", cmd, whole_seconds(bound));
  tool_run_ended(cmd, bound, r.timed_out);
  return !r.timed_out;
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
