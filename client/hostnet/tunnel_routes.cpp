// Rearranges the host's routes for the tunnel: traffic for the tunnel to the
// utun interface, the tunnel's own connection, excluded networks and the
// local network outside it. Every change is recorded for the restore.
#include <arpa/inet.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "client/route_entry.h"

// The bring-up owns the utun name; this stands in until it is linked.

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr const char kQn2Module[] = "vpn_useconfig_qn2";

constexpr uint32_t kPeer = 0x01010101;  // 1.1.1.1, the same in either order
const uint32_t kLoopNet = htonl(0x7f000000);
const uint32_t kLinkLocalNet = htonl(0xa9fe0000);
const uint32_t kLoopHost = htonl(0x7f000001);
constexpr uint32_t kHostMask = 0xffffffffu;

int mask_bits(uint32_t net_order_mask) { return std::countl_one(ntohl(net_order_mask)); }

bool is_special(const vpn_route_entry& r) {
  const uint32_t net = r.dst & r.netmask;
  return r.dst == kPeer || net == kLoopNet || net == kLinkLocalNet;
}

void copy_name(char (&dst)[sizeof(vpn_route_entry::ifname)], const char* src, size_t max) {
  std::memset(dst, 0, sizeof dst);
  const size_t n = strnlen(src, max < sizeof dst - 1 ? max : sizeof dst - 1);
  std::memcpy(dst, src, n);
}

uint32_t capped(uint32_t count) {
  return count > kResourceCapacity ? static_cast<uint32_t>(kResourceCapacity) : count;
}

}  // namespace

int find_route(uint32_t addr, const route_list& list, vpn_route_entry* out) {
  const vpn_route_entry* best = nullptr;
  for (const auto& r : list) {
    if ((addr & r.netmask) != (r.dst & r.netmask)) continue;
    if (r.dst == 0 && !(r.flags & RTF_GATEWAY_BSD)) continue;
    if (!best || mask_bits(r.netmask) > mask_bits(best->netmask)) best = &r;
  }
  if (!best) return 0;
  *out = *best;
  return 1;
}

int check_default_route() {
  bool with_gateway = false, without_gateway = false;
  for (const auto& r : rt_ori_list) {
    if (r.dst != 0) continue;
    if (r.flags & RTF_GATEWAY_BSD)
      with_gateway = true;
    else
      without_gateway = true;
  }
  return (without_gateway && !with_gateway) ? -1 : 0;
}

int filterout_exclude_route_entry(const vpn_route_entry& e) {
  const _VPN_RESOURCE_LIST_* ex = m_pExcludeResouceList;
  if (!ex || ex->count == 0) return 0;
  for (uint32_t i = 0; i < capped(ex->count); ++i) {
    const _VPN_RESOURCE_& r = ex->entries[i];
    if (r.type == 2) continue;
    if ((e.dst & e.netmask) == (r.ip & r.mask) && e.netmask == r.mask) {
      vpn_log(kQn2Module, __LINE__, __func__, "A route entry is excluded by network");
      return 1;
    }
  }
  return 0;
}

void clean_all_old_routes(route_list& snapshot, route_list& deleted) {
  for (const auto& r : snapshot) {
    if (is_special(r) || filterout_exclude_route_entry(r)) continue;
    del_route_mac(r, 3, 3);
    deleted.push_back(r);
  }
}

void clean_old_net_route(const vpn_route_entry& resource, route_list& snapshot, route_list& deleted) {
  const uint32_t net = resource.dst & resource.netmask;
  if (net == 0) {
    vpn_log(kQn2Module, __LINE__, __func__, "subnet route entry is not valid");
    return;
  }
  for (const auto& r : snapshot) {
    if (is_special(r)) continue;
    if ((r.dst & r.netmask) != net) continue;
    del_route_mac(r, 3, 3);
    deleted.push_back(r);
  }
}

void set_excludenetwork_route_entry(const char* ifname) {
  const _VPN_RESOURCE_LIST_* ex = m_pExcludeResouceList;
  if (!ex || ex->count == 0) return;
  route_list current;
  if (route_snapshot_mac(current, "") != 0) {
    VPN_LOG("route change event, failed to get current route table");
    return;
  }
  for (uint32_t i = 0; i < capped(ex->count); ++i) {
    const _VPN_RESOURCE_& res = ex->entries[i];
    if (res.type == 2 || res.ip == 0 || res.mask == 0) {
      VPN_LOG("a invalid network source %d, %0x,%0x", res.type, res.ip, res.mask);
      continue;
    }
    bool exists = false;
    for (const auto& r : current) {
      if ((r.dst & r.netmask) == (res.ip & res.mask) && r.netmask == res.mask) {
        exists = true;
        break;
      }
    }
    if (exists) {
      VPN_LOG("Find a existed route entry for excluded network");
      continue;
    }
    const vpn_route_entry* chosen = nullptr;
    for (const auto& r : rt_ori_list) {
      if (strncmp(r.ifname, ifname, sizeof r.ifname) != 0) continue;
      if ((res.ip & r.netmask) != (r.dst & r.netmask)) continue;
      if (!chosen || mask_bits(r.netmask) >= mask_bits(chosen->netmask)) chosen = &r;
    }
    if (!chosen) continue;
    vpn_route_entry e{};
    e.dst = res.ip;
    e.netmask = res.mask;
    if (res.mask == kHostMask) e.flags = RTF_HOST_BSD | RTF_CLONING_BSD;
    if (chosen->flags & RTF_GATEWAY_BSD) {
      e.gateway = chosen->gateway;
      e.gw_family = 2;
    } else {
      e.gw_family = 0;
      copy_name(e.ifname, chosen->ifname, sizeof chosen->ifname);
    }
    add_route_recorded(e);
  }
}

// The set-up's lines carry the name of the operation callers know.
#define SETUP_LOG(...) vpn_log(kLogModule, __LINE__, "set_vpn_route_table", __VA_ARGS__)

int set_vpn_route_table(vpn_route_entry* route, vpnc_session* s) {
  return set_vpn_route_table_for(route, s, is_fulltunnel() != 0, IsEnableLocalAccess() != 0);
}

int set_vpn_route_table_for(vpn_route_entry* route, vpnc_session* s, bool full_tunnel, bool local_access) {
  char ifn[sizeof route->ifname];
  copy_name(ifn, route->ifname, sizeof route->ifname);

  set_excludenetwork_route_entry(ifn);

  if (full_tunnel) {
    clean_all_old_routes(rt_ori_list, rt_add_list);

    vpn_route_entry def{};
    def.gateway = kPeer;
    def.gw_family = 2;
    add_route_recorded(def);

    _LocalHostNetInfo info{};
    get_localhost_netinfo(ifn, &info);
    in_addr own{};
    if (inet_pton(AF_INET, info.ipaddr, &own) == 1 && own.s_addr != 0) {
      vpn_route_entry lo{};
      lo.dst = own.s_addr;
      lo.netmask = kHostMask;
      lo.flags = RTF_HOST_BSD;
      lo.gateway = kLoopHost;
      lo.gw_family = 2;
      add_route_recorded(lo);
    } else {
      // Without an address this would replace the default route.
      SETUP_LOG("%s has no IPv4 address, no loopback route for it", ifn);
    }
  } else {
    const _VPN_RESOURCE_LIST_* res = m_pResouceList;
    if (!res) {
      SETUP_LOG("network resource list pointer is not valid");
      return -1;
    }
    uint32_t local_mask = 0, local_net = 0;
    bool have_local = false;
    if (local_access)
      have_local = enable_splittunnel_local_access(route, &local_mask, &local_net) == 1;
    for (uint32_t i = 0; i < capped(res->count); ++i) {
      const _VPN_RESOURCE_& r = res->entries[i];
      if (r.ip == 0) continue;
      vpn_route_entry e{};
      e.dst = r.ip;
      e.netmask = r.mask;
      e.gateway = kPeer;
      e.gw_family = 0;
      if (have_local && (r.ip & r.mask & local_mask) == local_net) continue;
      if (filterout_exclude_route_entry(e)) continue;
      clean_old_net_route(e, rt_ori_list, rt_add_list);
      copy_name(e.ifname, tunname, sizeof tunname);
      add_route_recorded(e);
    }
  }

  if (route->gateway != 0) {
    vpn_route_entry hop{};
    hop.dst = route->gateway;
    copy_name(hop.ifname, ifn, 99);
    hop.netmask = kHostMask;
    hop.flags = RTF_HOST_BSD | RTF_CLONING_BSD;
    hop.gw_family = 0;
    add_route_recorded(hop);
  }

  if (s->is_ipv6 == 0) {
    vpn_route_entry gw{};
    gw.dst = s->connect_ip;
    copy_name(gw.ifname, ifn, sizeof ifn);
    gw.netmask = kHostMask;
    if (route->gateway != 0) {
      gw.flags = RTF_HOST_BSD;
      gw.gateway = route->gateway;
      gw.gw_family = 2;
    } else {
      gw.flags = RTF_HOST_BSD | RTF_CLONING_BSD;
      gw.gw_family = 0;
    }
    add_route_recorded(gw);
  }

  route_list peer;
  if (route_snapshot_4one_mac(peer, "") == -1) SETUP_LOG("get 1.1.1.1 route failed");
  for (const auto& r : peer) {
    if (r.dst == kPeer) {
      rt_del_list.push_back(r);
      break;
    }
  }
  return 0;
}
