// Collects the daemon's log lines for the lifetime of the object.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "client/diag.h"

struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    vpn_log_set_sink([this](int, const char* l) { lines.emplace_back(l); });
  }
  ~LogCapture() { vpn_log_set_sink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  bool has(const std::string& part) const { return count(part) > 0; }
  std::size_t count(const std::string& part) const {
    std::size_t n = 0;
    for (const auto& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
};
