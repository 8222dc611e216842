// Runners for system tools and for the gateway's commands.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "client/config_store.h"

// Runs `cmd` through /bin/sh -c with its output discarded, waits, then sleeps
// `secs` seconds when nonzero. Always 0.
int forknexec(const char* cmd, int secs);
// The same without a pause, for a caller that needs to know whether the
// tool did it: the command's exit status (0 done, else refused; -1 when it
// could not be run).
int forknexec_status(const char* cmd);
// Runs `cmd` under /bin/sh -c within the tool bound and reads its output (at
// most `limit` bytes kept). False when it could not be started or ran past
// its bound (logged; `out` holds what it printed so far, to be taken as a
// failed read). `status`, when given, receives the wait status (-1 when
// there is none); `cut`, when given, whether output past `limit` was dropped.
bool read_tool_output(const char* cmd, std::size_t limit, std::string* out, int* status = nullptr,
                      bool* cut = nullptr);
// Starts every command of the list under /bin/bash without waiting; 0 for a
// null or empty list, else 1.
int executeCommand(_VPN_COMMAND_LIST_* list);
int forknexec_Command(const char* cmd, int wait);
void checktunrwandchange(const char* path);
int echoff(int fd);
int echon(int fd);

// Test seam: when set, forknexec and forknexec_Command hand the command line
// (as given, before any redirection suffix) to the hook instead of running it;
// the pause after it is skipped too.
using command_hook = std::function<void(const std::string& cmd, bool waited)>;
void set_command_hook(command_hook hook);
// With the command hook set, the status forknexec_status answers (0 when
// no status hook is set).
using command_status_hook = std::function<int(const std::string& cmd)>;
void set_command_status_hook(command_status_hook hook);

// Tool runs of a teardown. While one of these lives on a thread, that
// thread's runs belong to one teardown: a tool program (a command line's
// first word) that ran past its bound once in it gets kHungToolBoundMs for
// its later runs, and none once the teardown has run kTeardownLateMs; every
// run ends kTeardownReserveMs before kTeardownBoundMs, so that a host whose
// tools hang cannot keep the daemon past a service manager's patience, while
// the tools that answer still put their part of the host back.
inline constexpr int kTeardownBoundMs = 30000;
inline constexpr int kTeardownLateMs = 25000;
inline constexpr int kTeardownReserveMs = 2000;
inline constexpr int kHungToolBoundMs = 1000;
class teardown_tool_bounds {
 public:
  teardown_tool_bounds();
  ~teardown_tool_bounds();
  teardown_tool_bounds(const teardown_tool_bounds&) = delete;
  teardown_tool_bounds& operator=(const teardown_tool_bounds&) = delete;
};
// For every runner that waits for a tool: the bound a run of `cmd` (a shell
// line or a program path) gets, `own_ms` outside a teardown; 0 when the run
// is skipped (logged once per tool).
int tool_run_bound(const char* cmd, int own_ms);
// After such a run: whether it went past the bound it was given.
void tool_run_ended(const char* cmd, int bound_ms, bool past_bound);
// Test seam: the teardown's clock, in milliseconds (null: the monotonic one).
void set_teardown_clock_hook(long long (*now_ms)());
