// Firefox profile edit (macOS profile location) and the primary interface as
// scutil reports it. These operations log nothing.
#pragma once
#include <cstddef>

// Profile directory of the edit in force, ending in '/'; empty when none.
extern char prefsfilepath[512];

// Points the last profile that find lists at /usr/local/tevra_vpn/<pac_name>
// through its user.js, after backing up prefs.js and any previous user.js.
// A name of other characters than letters, digits and "._-" changes nothing.
void setfirefoxvpnproxy(const char* pac_name);
// Undoes exactly what the edit in force did, once.
void setfirefoxoriginalproxy();
// Name of the primary network interface into `out` (at most capacity - 1
// characters); `out` is left as it was when scutil does not name one.
void getintffromscutil(char* out, std::size_t capacity);
