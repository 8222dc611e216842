// Stands in for the platform's hardware overview: the machine's hardware
// UUID as the system profiler tool prints it. On Linux the same tool path is
// run (the test host provides a stand-in that prints a "Hardware UUID:" line).
#pragma once
#include <cstddef>

// Runs "/usr/sbin/system_profiler SPHardwareDataType" and copies into `out`
// the text that starts 15 characters after the "Hardware UUID:" label of the
// first line holding it, newline kept ("" when no line has it, or the line
// ends before that). Logs "clientid string is %s" and "str_uuid is %s".
// 0 when the tool ran; -1 when it could not be started (`out` untouched).
int get_hardware_uuid(char* out, std::size_t outlen);
// Same with another command line (tests).
int get_hardware_uuid_from(const char* command, char* out, std::size_t outlen);
