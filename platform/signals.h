// Stand-in for the macOS signal SIGEMT, which Linux does not have.
//
// On macOS the statistics FIFO writer is started by SIGEMT. On Linux the
// otherwise unused SIGSTKFLT takes its place: `kill -STKFLT <pid>` starts a
// writer. Everything else about the daemon's signals is plain POSIX.
#pragma once
#include <signal.h>

inline constexpr int kSigStatsFifo = SIGSTKFLT;

// The signals the daemon takes on its dedicated signal thread: SIGTERM,
// SIGINT, SIGQUIT, SIGSYS, SIGUSR1, SIGUSR2, kSigStatsFifo and SIGTSTP.
void vpnc_signal_set(sigset_t* set);

// Undoes, in a forked child, what the daemon did to its own signals (the set
// above blocked, SIGPIPE ignored), so the tools it runs get the usual ones.
// Async-signal-safe. Registered for every fork once signal handling starts.
void vpnc_child_restore_signals();
