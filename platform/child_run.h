// The one way the daemon starts a child process.
//
// Every child starts with every signal at its default action and none
// blocked, in a process group of its own, with nothing of the daemon's open
// but the pipes named here (its standard descriptors on /dev/null, or
// closed, otherwise), and with a fixed environment: PATH of the system
// folders and root's HOME from the user database (the shell needs HOME for
// "~" in a command line), read once at start. Nothing of the daemon's own
// environment reaches a tool: whoever started the daemon chooses neither
// the programs a command line finds nor proxy or TLS key-log variables.
// Each run has a wall-clock bound: past it the whole group is killed and
// the child reaped. A run may cap the size of every file the child writes
// (RLIMIT_FSIZE, set in the child before the exec: a write past it ends the
// child with SIGXFSZ), and says when it dropped output past its limit.
//
// On Linux the pipes are made with pipe2(O_CLOEXEC) and the child closes the
// rest with close_range; macOS does the same with pipe() and fcntl() under a
// lock against concurrent forks, and a close() loop. Process groups and
// kill(-group) are plain POSIX on both, as are RLIMIT_FSIZE and SIGXFSZ.
// On macOS root's HOME from the user database is /var/root.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>

// Bound of one run of a system tool. The slowest tool the daemon runs,
// system_profiler (which gathers its hardware data cold at start-up, a few
// seconds on a busy Mac), ends well within it; scutil, networksetup, ps and
// route take a fraction of a second.
inline constexpr int kToolBoundMs = 10000;

struct child_spec {
  const char* const* argv = nullptr;  // argv[0] is the program's path
  int bound_ms = 0;
  const std::string* input = nullptr;  // written to standard input, then its end; null: /dev/null
  std::string* output = nullptr;       // standard output is read into it; null: /dev/null
  std::size_t output_limit = 1 << 20;  // bytes kept of the output; the rest is read and dropped
  bool std_closed = false;  // descriptors 0-2 closed instead of on /dev/null (no input or output)
  bool as_root = false;     // real and effective user ids set to 0 before the program runs
  long long file_size_limit = 0;  // bytes any file written by the child may reach; 0: no cap
};

struct child_result {
  bool started = false;
  bool timed_out = false;  // the bound ran out: the group was killed
  int status = -1;         // wait status once reaped; -1 when it never started
  bool output_cut = false;  // output past `output_limit` came and was dropped
  // Started, ended within its bound with exit status 0.
  bool ok() const;
};

// Runs the child and waits for it, at most `bound_ms`. A run past its bound
// answers what was read so far, `timed_out` set.
child_result vpnc_child_run(const child_spec& spec);

// `cmd` under "/bin/sh -c" with its output read into `out` (at most
// `limit` bytes kept).
child_result vpnc_shell_read(const char* cmd, int bound_ms, std::size_t limit, std::string* out);

// Starts the child without waiting for it: a watcher process, which the
// daemon does not wait for either (it is reaped at once by its start and
// then belongs to init), waits for the child, and kills its group past
// `bound_ms`. Input and output of the spec are not used. False when it
// could not be started.
bool vpnc_child_start_detached(const child_spec& spec);

// Test seam: the PATH and HOME values every child gets from now on in place
// of the fixed ones (a fake tool's folder, a private home); null for either
// puts the fixed value back.
void vpnc_child_env_override(const char* path, const char* home);
