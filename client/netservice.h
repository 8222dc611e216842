// The host's active network services and the CF value conversions that the
// DNS, proxy and default-route code share.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/sysconfig.h"

// Client name of every SystemConfiguration handle the daemon opens.
inline constexpr const char kSCClientName[] = "TevraVPN";

// Where a helper's log lines are attributed: the caller's module, line and
// operation, so that they read as the caller's own.
struct log_site {
  const char* module;
  int line;
  const char* func;
};

// The network preferences; null after logging "SCPreferencesCreate failed,
// error %d: %s" at `at` when they cannot be opened.
SCPreferencesRef open_network_preferences(const log_site& at);

// A service's protocol entity together with the preferences it came from
// (needed to commit a change to it). `proto` is null when the service or its
// entity of that type does not exist.
struct service_entity {
  SCPreferencesRef prefs;
  SCNetworkProtocolRef proto;
};
// nullopt when the preferences cannot be opened (logged as above).
std::optional<service_entity> open_service_entity(const log_site& at, const char* service_id, const char* type);

// Appends the IDs of the active services (accepted interface type and an
// IPv4 state in the dynamic store), in the preferences' order.
// 0; -1 when the preferences or the dynamic store cannot be opened.
int get_active_network_service(std::vector<std::string>& ids);
// The same for the DNS side: logs every visited service; failure code 1.
int get_active_network_service_qn2(std::vector<std::string>& ids);

// True when `out` was assigned the text of `s`; on false `out` is unchanged.
bool CFStringToCString(CFStringRef s, CFStringEncoding enc, std::string& out);
bool CFStringToCStringQN2(CFStringRef s, CFStringEncoding enc, std::string& out);
// False for a null or floating-point number, else whether it reads as a
// 32-bit signed integer into `out`.
bool CFNumberToInt(CFNumberRef n, int* out);
