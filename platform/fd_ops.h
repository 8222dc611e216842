// Descriptor calls whose best form differs between the platforms.
//
// The daemon is written against macOS's C library; Linux has shorter,
// race-free forms of a few descriptor calls (close-on-exec set at creation,
// one call to close a range, a send that never raises SIGPIPE). client/ uses
// only these functions for such jobs; here they are the Linux calls, on
// macOS the same job is done with the calls it has (socket() then
// fcntl(FD_CLOEXEC), dup2() then fcntl(), a close() loop, SO_NOSIGPIPE).
#pragma once
#include <sys/types.h>

#include <cstddef>

// socket() with close-on-exec set. -1 and errno on failure.
int vpnc_socket_cloexec(int domain, int type, int protocol);

// accept() of a connection with close-on-exec set (the peer's address is not
// kept). -1 and errno on failure.
int vpnc_accept_cloexec(int listen_fd);

// Puts descriptor `from` onto number `to` (closing what `to` held, in one
// step) with close-on-exec set on `to`. `to`, or -1 and errno.
int vpnc_dup_onto_cloexec(int from, int to);

// Closes every descriptor from `lowest` up. Async-signal-safe: for a forked
// child before exec.
void vpnc_close_from(int lowest);

// send() that reports a closed peer as EPIPE instead of raising SIGPIPE.
ssize_t vpnc_send_nosignal(int fd, const void* buf, size_t len, int flags);
