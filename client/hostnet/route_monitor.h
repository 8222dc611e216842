// Route-change monitor, route probe and route-table backup.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kProbeTextSize = 128;
inline constexpr int kRtaxMax = 8;  // address slots: destination, gateway, netmask, ...
inline constexpr int kRtaxGateway = 1;

// Thread body: repairs the routes after each change by another process until
// g_thread_stop is set, its socket fails or an interface address changes.
void* checkroutes_thread_mac(void*);
// Calls routepath when all four are non-null.
void vpn_checkroute(const char* a, const char* family, const char* dst, const char* gateway);
// 1 when the kernel's route towards the IPv4 text `dst` has a gateway of
// family name `family` ("AF_INET", "AF_INET6", "AF_LINK") and text `gateway`.
int routepath(const char* family, const char* dst, const char* gateway);
// out[0]: family text, out[1]: address text (each kProbeTextSize bytes) of
// the gateway of the kernel's route towards `dst`; unchanged when none.
void iproute_get_mac(char** out, const char* dst);
// Splits the address records after a routing-message header: slot i gets
// the record of bit i of `addrs`, or null when the bit is clear or the record
// would reach past the `avail` bytes at `first`; lens[i] its usable length.
void get_rtaddrs(int addrs, const uint8_t* first, std::size_t avail, const uint8_t* slots[kRtaxMax],
                 std::size_t lens[kRtaxMax]);
// Formats one address record of `len` bytes into out[0] and out[1].
void sock_ntop_host(const uint8_t* sa, unsigned len, char** out);
// Writes the static IPv4 routes into `path`: 0, or -1 (the old file kept).
int backup_route_table(const char* path);
