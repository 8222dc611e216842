#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hwinfo.h"
#include "platform/hwinfo_command.h"

TEST(HardwareUuid, ReadFromTheToolOutput) {
  struct Case {
    const char* name;
    const char* command;
    int ret;
    const char* id;
  };
  const std::vector<Case> cases = {
      {"first matching line, newline kept",
       "printf 'Hardware Overview:\\n      Hardware UUID: 5A1B-77\\nHardware UUID: other\\n'", 1, "5A1B-77\n"},
      {"label with nothing after it", "printf 'Hardware UUID:'", 1, ""},
      {"label then newline", "printf 'Hardware UUID:\\n'", 1, ""},
      {"no such line", "printf 'Serial: 1\\n'", 0, ""},
      {"tool missing", "/nonexistent/system_profiler SPHardwareDataType 2>/dev/null", -1, "untouched"},
  };
  for (const auto& c : cases) {
    char out[64] = "untouched";
    EXPECT_EQ(get_hardware_uuid_from(c.command, out, sizeof out), c.ret) << c.name;
    EXPECT_STREQ(out, c.id) << c.name;
  }
}

TEST(HardwareUuid, OutputIsBoundedByTheCallersBuffer) {
  char out[8];
  EXPECT_EQ(get_hardware_uuid_from("printf 'Hardware UUID: 0123456789ABCDEF\\n'", out, sizeof out), 1);
  EXPECT_STREQ(out, "0123456");
}
