// Stand-in for the macOS signal SIGEMT, which Linux does not have.
//
// On macOS the statistics FIFO writer is started by SIGEMT. On Linux the
// otherwise unused SIGSTKFLT takes its place: `kill -STKFLT <pid>` starts a
// writer. Everything else about the daemon's signals is plain POSIX.
#pragma once
#include <signal.h>
#include <sys/types.h>

inline constexpr int kSigStatsFifo = SIGSTKFLT;

// The signals the daemon takes on its dedicated signal thread: SIGTERM,
// SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, kSigStatsFifo and SIGTSTP, and
// every other signal whose default action would end the process (SIGHUP,
// SIGALRM, ... and the real-time ones): left to their default, they would end
// the daemon with the host half changed.
void vpnc_signal_set(sigset_t* set);

// True for the signals of the set above that only end the process by default
// (the daemon ends through its teardown on them); false for the real-time
// signals, which it ignores, and for the ones it has its own use for.
bool vpnc_signal_ends_by_default(int sig);

// Undoes, in a forked child, what the daemon did to its own signals (the set
// above blocked, SIGPIPE ignored), so the tools it runs get the usual ones.
// Async-signal-safe. Registered for every fork once signal handling starts.
void vpnc_child_restore_signals();

// In a freshly forked child about to exec a tool: every signal at its default
// action and none blocked, whatever the parent had. Async-signal-safe.
void vpnc_child_default_signals();
