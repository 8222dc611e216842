// Two-way pipe to a command, as popen(cmd, "r+") gives on macOS. The Linux C
// library has no "r+" mode (popen answers null, EINVAL): here the command
// runs under /bin/sh -c with its standard input and output on one socket pair
// and the caller gets one read-write stream on the other end.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

struct popen_rw_t {
  std::FILE* stream = nullptr;  // read and write; null when not started
  pid_t child = -1;
};

// Starts `cmd`; the stream is null when the socket pair or the fork fails.
popen_rw_t popen_rw(const char* cmd);
// Writes all `len` bytes straight to the socket (no stdio buffer, never
// SIGPIPE): 0, or -1 when the command has gone.
int popen_rw_write(const popen_rw_t& p, const void* data, std::size_t len);
// Half-closes the write side: the command sees the end of its input.
void popen_rw_shutdown_write(const popen_rw_t& p);
// Reads of the stream wait at most `ms` milliseconds each, then fail.
void popen_rw_read_timeout(const popen_rw_t& p, int ms);
// Half-closes the write side, waits up to `timeout_ms` for the command (then
// kills it and reaps it) and closes the stream. The wait status, or -1.
int pclose_rw(popen_rw_t* p, int timeout_ms);
