// Route repair around a reconnection and the restore at teardown.
#pragma once
#include <functional>
#include <string>

#include "client/hostnet_ops.h"

// Interface of the host's default route as the last repair read it.
extern char new_ifname[104];
// Interface of qn_route (written by the tunnel bring-up and the repair).
extern char if_name_to_lum[16];
// Undo command of local access in a full tunnel (empty: nothing to undo).
extern char g_restorelocalaccesscmd[1024];
struct dns_configure;
extern dns_configure dnsconfig;
// True while dnsconfig holds kept DNS settings (the DNS module's).
bool dns_config_kept();

// Router and interface of one network service (left empty when it has none).
// 0, or 1 when the preferences or the dynamic store cannot be opened.
int get_network_service_info(const char* service_id, std::string& router, std::string& ifname);
// Interface of the current default route into `out` (104 bytes; kept when
// the tool names none). 0, or -1 when the route tool cannot be run.
int get_default_route_interface(char* out);
// Address the interface had when the routes were set (iface_list) into `out`
// (16 bytes). 0, or -1 when iface_list does not hold it.
int get_bakup_interface_addr(const char* name, char* out);
// Current IPv4 address of the interface into `out` (16 bytes; untouched when
// it has none). 0, or the error number of a failed interface listing.
int get_interface_address_by_ifname(const char* name, char* out);

// Test seam: when set, the output of the route tool is asked of the hook
// (false: the tool could not be run) instead of running it.
using read_command_hook = std::function<bool(const std::string& cmd, std::string* output)>;
void set_read_command_hook(read_command_hook hook);
