// One IPv4 route and the process-wide holders the restore works from.
#pragma once
#include <cstdint>
#include <vector>

enum : uint32_t {
  RTF_GATEWAY_BSD = 0x2,
  RTF_HOST_BSD = 0x4,
  RTF_CLONING_BSD = 0x100,
  RTF_STATIC_BSD = 0x800,
  RTF_WASCLONED_BSD = 0x20000,
  RTF_IFSCOPE_BSD = 0x1000000,
};

struct vpn_route_entry {
  char ifname[100];
  uint32_t dst;      // network order; 0: default route
  uint32_t gateway;  // network order; used when gw_family is 2
  uint32_t netmask;  // network order
  uint32_t flags;    // BSD route flags
  int32_t gw_family;  // 2: through the gateway address; else through the interface
  uint16_t ifindex;
  uint8_t if_type;
  int32_t retry_count;
};

using route_list = std::vector<vpn_route_entry>;

extern route_list rt_ori_list;  // the host's static routes at set-up
extern route_list rt_add_list;  // host routes we deleted: added back by the restore
extern route_list rt_del_list;  // routes we added: deleted by the restore
extern vpn_route_entry qn_route;  // the host's route towards connect_ip

int route_snapshot_mac(route_list& list, const char* text);
int route_snapshot_4one_mac(route_list& list, const char* text);
int add_route_mac(const vpn_route_entry& e, int kind, int via);
int del_route_mac(const vpn_route_entry& e, int kind, int via);
