// Hardware UUID through the system profiler tool.
#include "platform/hwinfo.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "platform/hwinfo_command.h"
#include "platform/signals.h"

int get_hardware_uuid_from(const char* command, char* out, std::size_t outlen) {
  pid_t pid = -1;
  FILE* pipe = vpnc_popen_read(command, &pid);
  if (!pipe) return -1;
  char id[1024] = {};
  int found = 0;
  char line[1024];
  static constexpr char kLabel[] = "Hardware UUID:";
  while (std::fgets(line, sizeof line, pipe)) {
    const char* at = std::strstr(line, kLabel);
    if (!at) continue;
    // The value starts after the label and the one character that follows
    // it; a line that ends before that has an empty value.
    if (std::strlen(at) >= sizeof kLabel) std::snprintf(id, sizeof id, "%s", at + sizeof kLabel);
    found = 1;
    break;
  }
  int status = vpnc_pclose(pipe, pid);
  // The shell answers 127 when the tool itself could not be run.
  if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) return -1;
  if (outlen) std::snprintf(out, outlen, "%s", id);
  return found;
}

int get_hardware_uuid(char* out, std::size_t outlen) {
  return get_hardware_uuid_from("/usr/sbin/system_profiler SPHardwareDataType", out, outlen);
}
