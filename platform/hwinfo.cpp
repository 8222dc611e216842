// Hardware UUID through the system profiler tool.
#include "platform/hwinfo.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/hwinfo_command.h"
#include "platform/child_run.h"

int get_hardware_uuid_from(const char* command, char* out, std::size_t outlen) {
  std::string text;
  const child_result run = vpnc_shell_read(command, kToolBoundMs, 1 << 20, &text);
  // Past its bound the output is not used: a cut-off value is no id.
  if (!run.started || run.timed_out) return -1;
  char id[1024] = {};
  int found = 0;
  static constexpr char kLabel[] = "Hardware UUID:";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(at, end - at);
    at = end;
    const std::size_t label = line.find(kLabel);
    if (label == std::string::npos) continue;
    // The value starts after the label and the one character that follows
    // it; a line that ends before that has an empty value.
    if (line.size() - label >= sizeof kLabel) std::snprintf(id, sizeof id, "%s", line.c_str() + label + sizeof kLabel);
    found = 1;
    break;
  }
  const int status = run.status;
  // The shell answers 127 when the tool itself could not be run.
  if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) return -1;
  if (outlen) std::snprintf(out, outlen, "%s", id);
  return found;
}

int get_hardware_uuid(char* out, std::size_t outlen) {
  return get_hardware_uuid_from("/usr/sbin/system_profiler SPHardwareDataType", out, outlen);
}
