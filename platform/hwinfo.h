// Stands in for the machine's hardware UUID as the system profiler reports it.
// The tool runs as on the Mac: "/usr/sbin/system_profiler SPHardwareDataType"
// (the test host provides a stand-in that prints a "Hardware UUID:" line).
#pragma once
#include <cstddef>

// Runs the tool and reads its output up to the first line that holds
// "Hardware UUID:". `out` receives the rest of that line after the label and
// the one character that follows it (normally a blank), the line's newline
// kept, cut to outlen - 1 characters.
// Answers 1 when such a line was found, 0 when the tool ran without one
// (`out` empty), -1 when the tool could not be started (`out` untouched).
int get_hardware_uuid(char* out, std::size_t outlen);
