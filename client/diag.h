// Diagnostics: everything goes to syslog; there is no log file or level.
#pragma once
#include <cstddef>
#include <functional>

inline constexpr std::size_t kLogBufferSize = 1024;

// Common form "%s at %d function: %s:%s" (module, line, operation, message)
// at LOG_ERR. The message is cut to the 1024-byte buffer.
void vpn_log(const char* module, int line, const char* func, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Plain text at LOG_ERR (utun set-up, client id, default-route restore).
void vpn_log_plain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Plain text at LOG_INFO ("ssl connecting\n").
void vpn_log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Test seam: when set, lines go to the sink instead of syslog.
using vpn_log_sink = std::function<void(int priority, const char* line)>;
void vpn_log_set_sink(vpn_log_sink sink);

// Each source file defines `static constexpr const char kLogModule[] = "...";`
#define VPN_LOG(...) vpn_log(kLogModule, __LINE__, __func__, __VA_ARGS__)
