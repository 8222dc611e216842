// Shared between the proxy files only.
#pragma once
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// The lock between the inside-proxy thread's installation and the teardown's
// write-back, and the flag the teardown sets under it.
std::unique_lock<std::mutex> proxy_lock_take();
bool proxy_teardown_has_begun();  // caller holds the lock
void setvpnproxy_locked();        // caller holds the lock

// The last whole line of `fp` that names a prefs.js (ends in "/prefs.js")
// into `out`, a buffer of `capacity` bytes (at most 1024). A line longer than
// the buffer holds is passed over, never taken in pieces; so is one that
// `accept` (when given) refuses. False, `out` as it was, when none is taken.
// The same over a tool's whole output.
bool last_prefs_js_line_of(const std::string& text, char* out, std::size_t capacity,
                           bool (*accept)(const char* path, std::size_t len) = nullptr);
bool last_prefs_js_line(std::FILE* fp, char* out, std::size_t capacity,
                        bool (*accept)(const char* path, std::size_t len) = nullptr);

// Reads the user's own PAC file at `path` (`url` names it in the log) into
// `out`: unopened when it cannot be reached, refused when a rule keeps it out.
enum class user_pac { read, unopened, refused };
user_pac read_user_pac(const std::string& path, const std::string& url, std::string* out);
