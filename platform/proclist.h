// Stand-in for listing processes by executable name (what killall matches
// on): on Linux the names come from /proc/<pid>/comm.
#pragma once
#include <sys/types.h>

#include <vector>

// The ids of the processes whose name is exactly `name`. 0, or -1 when the
// process table cannot be read.
int proclist_by_name(const char* name, std::vector<pid_t>& out);
