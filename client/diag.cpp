#include "client/diag.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_sink_lock;
vpn_log_sink g_sink;

void emit(int priority, const char* line) {
  {
    std::lock_guard<std::mutex> lk(g_sink_lock);
    if (g_sink) {
      g_sink(priority, line);
      return;
    }
  }
  syslog(priority, "%s", line);
}

void vemit(int priority, const char* fmt, va_list ap) {
  char buf[kLogBufferSize] = {};
  vsnprintf(buf, sizeof buf, fmt, ap);
  emit(priority, buf);
}
}  // namespace

void vpn_log_set_sink(vpn_log_sink sink) {
  std::lock_guard<std::mutex> lk(g_sink_lock);
  g_sink = std::move(sink);
}

void vpn_log(const char* module, int line, const char* func, const char* fmt, ...) {
  char msg[kLogBufferSize] = {};
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  char buf[kLogBufferSize] = {};
  snprintf(buf, sizeof buf, "%s at %d function: %s:%s", module, line, func, msg);
  emit(LOG_ERR, buf);
}

void vpn_log_plain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vemit(LOG_ERR, fmt, ap);
  va_end(ap);
}

void vpn_log_info(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vemit(LOG_INFO, fmt, ap);
  va_end(ap);
}
