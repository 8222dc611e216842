// Host-network helpers shared between the modules and their unit tests:
// dump walks on plain buffers, command builders, the ARP lookup and the
// file-system root seam.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/config_store.h"
#include "client/route_entry.h"
#include "platform/route_dump.h"

inline constexpr size_t kCommandBufferSize = 1024;

// True when `s` (bounded by `max`) is a non-empty interface name that can be
// put on a shell line as it is.
bool ifname_is_shell_safe(const char* s, size_t max);

// Routing-table dump walks; the layout is that of platform/route_dump.h.
// Both stop at a message of length 0 or one that reaches past `len`.
int walk_route_snapshot(const uint8_t* buf, size_t len, route_list& list);
int walk_route_4one(const uint8_t* buf, size_t len, route_list& list);
// Appends one route-table backup line per static IPv4 route of the dump.
void walk_route_backup(const uint8_t* buf, size_t len, std::string& out);

// 1 when the kernel's table holds a route (static or not) to net/mask of
// the same scope: scoped to the interface `scope`, or unscoped when `scope`
// is null. Cloned and link-layer entries never count. 0 when not, -1 when
// the table cannot be read.
int route_table_has(uint32_t net, uint32_t mask, const char* scope);

// The add of add_route_mac, answering the route tool's exit status (0: the
// route was added; else refused, or -1 when no command could be run).
int add_route_checked(const vpn_route_entry& e);
// An add that the restore may undo: run only when the table has no route of
// the entry's destination and mask, and true only when the tool took it.
bool add_route_owned(const vpn_route_entry& e);
// Every route a set-up adds: add_route_owned, and recorded in rt_del_list
// when it is ours. A refused add or a route of the host's own is never
// recorded, so no repair or teardown deletes it.
void add_route_recorded(const vpn_route_entry& e);

// The /sbin/route command for an entry. Answers 0, or -1 (with `out` empty)
// when the entry's interface name cannot go on a shell line or the command
// would not fit.
int build_route_command(const vpn_route_entry& e, bool add, char* out, size_t out_size);

// ARP table.
struct arp_link {
  rtdump::sockaddr_dl head;
  const uint8_t* data;  // sdl_data: name, then address
  size_t data_len;      // bytes of sdl_data inside the message
};
using arp_callback = void (*)(const arp_link& dl, const rtdump::sockaddr_inarp& in,
                              const rtdump::rt_msghdr& rtm, char* text);
inline constexpr size_t kMacTextSize = 32;
void ether_print(const unsigned char* six_bytes, char* text);
void print_entry(const arp_link& dl, const rtdump::sockaddr_inarp& in, const rtdump::rt_msghdr& rtm,
                 char* text);
// Calls `cb` for every entry with IPv4 address `addr` (network order), or for
// every entry when `addr` is 0. Answers 0, or -1 when the table cannot be read.
int search(unsigned long addr, arp_callback cb, char* text);
int walk_arp_dump(const uint8_t* buf, size_t len, uint32_t addr, arp_callback cb, char* text);
void getGwMac(unsigned long ip, char* mac);

// Tunnel-route steps.
int filterout_exclude_route_entry(const vpn_route_entry& e);
void clean_all_old_routes(route_list& snapshot, route_list& deleted);
void clean_old_net_route(const vpn_route_entry& resource, route_list& snapshot, route_list& deleted);
void set_excludenetwork_route_entry(const char* ifname);
// set_vpn_route_table with the tunnel mode given instead of read from the
// configuration store.
struct vpnc_session;
int set_vpn_route_table_for(vpn_route_entry* route, vpnc_session* s, bool full_tunnel, bool local_access);

// Test seam: prefix put before the /etc paths of the host map ("" by default).
void hostnet_set_root(const char* prefix);
