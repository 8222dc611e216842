// The hardware UUID reader with another command line in place of the system
// profiler (unit tests).
#pragma once
#include <cstddef>

int get_hardware_uuid_from(const char* command, char* out, std::size_t outlen);
