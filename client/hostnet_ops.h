// Host network operations the session code calls.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/route_entry.h"
#include "client/session.h"

struct interface_ip {
  char ifname[16];
  char ipaddr[16];
};
struct _LocalHostNetInfo {
  char ipaddr[20];
  char netmask[20];
};
extern std::vector<interface_ip> iface_list;

// Interface of qn_route as the tunnel bring-up found it: read by the
// default-route restore, cleared by the teardown.
extern char if_name_to_lum[16];
// The same name for IPv4 gateways (generation-1 teardown).
extern char usedifname[512];

// Tunnel routes.
int find_route(uint32_t addr, const route_list& list, vpn_route_entry* out);
int check_default_route();
int set_vpn_route_table(vpn_route_entry* route, vpnc_session* s);

// Local access and interface queries.
void get_localhost_netinfo(const char* ifname, _LocalHostNetInfo* out);
int get_active_interface_addr(std::vector<interface_ip>& list);
int get_interface_name(char* out);
// 1 and the local network of the route's interface; 0 (mask and network 0)
// when that interface has no IPv4 address, so nothing counts as local.
int enable_splittunnel_local_access(vpn_route_entry* route, uint32_t* mask, uint32_t* net);
void enable_fulltunnel_local_access_mac(vpn_route_entry* route);
// The local-access route's command and its undo ("echo" when the route stands
// in for a host route the set-up deleted; empty when none was added).
extern char g_localaccesscmd[1024];
extern char g_restorelocalaccesscmd[1024];
// Name of the open utun interface (set by the tunnel bring-up).
extern char tunname[16];

// Host map and ARP.
extern int g_restore_hostmap;
int setHostMap(_VPN_HOST_MAP_LIST_* list);
int restoreHostMap();
void sethost_mac(unsigned long ip, const char* ifname);

// Route repair and restore.
void restore_routes();
void restore_default_route();
bool default_route_is_tun();
int reconn_delete_route();
int reconnected_add_route(vpnc_session* s);

// DNS and search domains.
struct dns_configure;
// Kept DNS settings of the active services (the DNS module's).
extern dns_configure dnsconfig;
// Network service named for the search domains; nothing fills it.
extern char g_NetworkServiceName[512];
int set_vpn_dns_server_mac(dns_configure* cfg);
int restore_dns_config();
int set_dns_search_domains_mac(_VPN_SEARCHDOMAIN_LIST_* list, const char* service);
// Stop flag of the route-change monitor: set by the teardown, never cleared.
extern std::atomic<int> g_thread_stop;

// Proxy settings.
int generate_outside_script_mac(vpnc_session* s, const char* directory);
int setoriginalproxy_mac(vpnc_session* s);
