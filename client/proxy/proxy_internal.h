// Shared between the proxy files only.
#pragma once
#include <mutex>
#include <string>
#include <vector>

// The lock between the inside-proxy thread's installation and the teardown's
// write-back, and the flag the teardown sets under it.
std::unique_lock<std::mutex> proxy_lock_take();
bool proxy_teardown_has_begun();  // caller holds the lock
void setvpnproxy_locked();        // caller holds the lock

// Runs `argv` (argv[0] a path) without a shell, its output discarded, and
// waits. Its exit status as waitpid gives it, or -1 when it cannot start.
int proxy_run_argv(const std::vector<std::string>& argv);
