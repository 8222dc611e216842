#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/diag.h"
#include "platform/hwinfo.h"

TEST(HardwareUuid, ReadFromTheToolOutput) {
  struct Case {
    const char* name;
    const char* command;
    int ret;
    const char* id;
  };
  const std::vector<Case> cases = {
      {"first matching line, newline kept",
       "printf 'Hardware Overview:\\n      Hardware UUID: 5A1B-77\\nHardware UUID: other\\n'", 0, "5A1B-77\n"},
      {"label with nothing after it", "printf 'Hardware UUID:'", 0, ""},
      {"label then newline", "printf 'Hardware UUID:\\n'", 0, ""},
      {"no such line", "printf 'Serial: 1\\n'", 0, ""},
      {"tool missing", "/nonexistent/system_profiler SPHardwareDataType 2>/dev/null", -1, "untouched"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> log;
    vpn_log_set_sink([&log](int, const char* l) { log.emplace_back(l); });
    char out[64] = "untouched";
    EXPECT_EQ(get_hardware_uuid_from(c.command, out, sizeof out), c.ret) << c.name;
    vpn_log_set_sink(nullptr);
    EXPECT_STREQ(out, c.id) << c.name;
    if (c.ret == 0) {
      ASSERT_FALSE(log.empty()) << c.name;
      EXPECT_EQ(log.back(), std::string("str_uuid is ") + c.id) << c.name;
    }
  }
}

TEST(HardwareUuid, OutputIsBoundedByTheCallersBuffer) {
  char out[8];
  EXPECT_EQ(get_hardware_uuid_from("printf 'Hardware UUID: 0123456789ABCDEF\\n'", out, sizeof out), 0);
  EXPECT_STREQ(out, "0123456");
}
