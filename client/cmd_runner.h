// Runners for system tools and for the gateway's commands.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "client/config_store.h"

// Runs `cmd` through /bin/sh -c with its output discarded, waits, then sleeps
// `secs` seconds when nonzero. Always 0.
int forknexec(const char* cmd, int secs);
// The same without a pause, for a caller that needs to know whether the
// tool did it: the command's exit status (0 done, else refused; -1 when it
// could not be run).
int forknexec_status(const char* cmd);
// Runs `cmd` under /bin/sh -c within the tool bound and reads its output (at
// most `limit` bytes kept). False when it could not be started or ran past
// its bound (logged; `out` holds what it printed so far, to be taken as a
// failed read). `status`, when given, receives the wait status (-1 when
// there is none); `cut`, when given, whether output past `limit` was dropped.
bool read_tool_output(const char* cmd, std::size_t limit, std::string* out, int* status = nullptr,
                      bool* cut = nullptr);
// Starts every command of the list under /bin/bash without waiting; 0 for a
// null or empty list, else 1.
int executeCommand(_VPN_COMMAND_LIST_* list);
int forknexec_Command(const char* cmd, int wait);
void checktunrwandchange(const char* path);
int echoff(int fd);
int echon(int fd);

// Test seam: when set, forknexec and forknexec_Command hand the command line
// (as given, before any redirection suffix) to the hook instead of running it;
// the pause after it is skipped too.
using command_hook = std::function<void(const std::string& cmd, bool waited)>;
void set_command_hook(command_hook hook);
// With the command hook set, the status forknexec_status answers (0 when
// no status hook is set).
using command_status_hook = std::function<int(const std::string& cmd)>;
void set_command_status_hook(command_status_hook hook);
