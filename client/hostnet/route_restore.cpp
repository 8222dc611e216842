// Putting the host's routes back at teardown, and undoing and redoing the
// tunnel routes around a reconnection, from the records the set-up kept.
#include "client/hostnet/route_restore.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/netservice.h"
#include "platform/child_run.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr uint32_t kPeerAddr = 0x01010101;  // 1.1.1.1, the same in either byte order

std::mutex g_read_hook_lock;
read_command_hook g_read_hook;

// The host's own default route among the routes a set-up deleted (a default
// through the peer is the tunnel's): the unscoped one first, the one that
// served every destination and that the unscoped delete took.
bool recorded_host_default(const route_list& deleted, vpn_route_entry* out) {
  bool found = false;
  for (const vpn_route_entry& e : deleted) {
    if (e.dst != 0 || e.gateway == kPeerAddr) continue;
    if (!(e.flags & RTF_IFSCOPE_BSD)) {
      *out = e;
      return true;
    }
    if (!found) *out = e;
    found = true;
  }
  return found;
}

// The host's own default route, as the full tunnel's set-up took it away
// (recorded with dst 0 among the deleted routes). It outlives the lists,
// which the repair and the restore empty: a default route comes back only
// when a set-up took one away, through the link that one went through.
std::mutex g_saved_default_lock;
vpn_route_entry g_saved_default{};
bool g_default_taken = false;

void keep_saved_default(const route_list& deleted) {
  vpn_route_entry e{};
  if (!recorded_host_default(deleted, &e)) return;
  std::lock_guard<std::mutex> lk(g_saved_default_lock);
  g_saved_default = e;
  g_default_taken = true;
}

// Output of a command run for reading, at most `limit` bytes.
bool read_command(const char* cmd, size_t limit, std::string* out) {
  out->clear();
  {
    std::lock_guard<std::mutex> lk(g_read_hook_lock);
    if (g_read_hook) {
      bool ok = g_read_hook(cmd, out);
      if (out->size() > limit) out->resize(limit);
      return ok;
    }
  }
  return read_tool_output(cmd, limit, out);
}

std::string dotted(uint32_t addr_net) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = addr_net;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// Copies at most size - 1 bytes and terminates.
void copy_text(char* out, size_t size, const char* text) {
  size_t n = ::strnlen(text, size - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// True while the lists still hold the records of a set-up. After the repair
// they are empty but for the peer route that a recreated device brings.
bool setup_recorded() {
  for (const vpn_route_entry& e : rt_del_list)
    if (e.dst != kPeerAddr) return true;
  return !rt_add_list.empty();
}

// Static routes through an interface that a repair did not put back, since
// the interface no longer has the address it had when the routes were set:
// they come back at the teardown. Only the controller (under its mutex)
// touches them.
route_list g_deferred_routes;

bool through_interface_net(const vpn_route_entry& e) {
  return e.dst != 0 && e.gw_family != AF_INET && !(e.flags & RTF_HOST_BSD);
}

// True when the interface had, as the routes were set (iface_list), an
// address on the route's network: the route is the one the kernel keeps
// for that interface's network, not one a user set through it.
bool own_network_route(const vpn_route_entry& e) {
  for (const interface_ip& i : iface_list) {
    if (std::strncmp(i.ifname, e.ifname, sizeof i.ifname) != 0) continue;
    char text[sizeof i.ipaddr + 1] = {};
    std::memcpy(text, i.ipaddr, sizeof i.ipaddr);
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) == 1 && (a.s_addr & e.netmask) == (e.dst & e.netmask)) return true;
  }
  return false;
}

// True when the route's interface has an IPv4 address on its network now.
bool has_address_on_network(const vpn_route_entry& e) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return true;  // cannot tell: the tool judges
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
    if (std::strncmp(i->ifa_name, e.ifname, sizeof e.ifname) != 0) continue;
    sockaddr_in sin{};
    std::memcpy(&sin, i->ifa_addr, sizeof sin);
    found = (sin.sin_addr.s_addr & e.netmask) == (e.dst & e.netmask);
  }
  ::freeifaddrs(list);
  return found;
}

// An interface's own network route comes back only while the interface is
// still on that network: put back for a network it left, it would send
// that range to the wrong link.
bool stale_network_route(const vpn_route_entry& e, const char* op) {
  if (!through_interface_net(e) || !own_network_route(e) || has_address_on_network(e)) return false;
  vpn_log(kLogModule, __LINE__, op, "%s has no address on %s/%s any more, its network route is not put back",
          e.ifname, dotted(e.dst & e.netmask).c_str(), dotted(e.netmask).c_str());
  return true;
}

// Adds the host's routes back. A route whose gateway is reached only through
// another one of the list (a network route through the interface, say) is
// refused until that one is in: refused ones are tried again as long as a
// pass puts at least one more route back.
void put_routes_back(const route_list& routes) {
  route_list todo = routes;
  while (!todo.empty()) {
    route_list refused;
    for (const vpn_route_entry& e : todo)
      if (add_route_checked(e) != 0) refused.push_back(e);
    if (refused.size() == todo.size()) break;
    todo = std::move(refused);
  }
}

// Deletes what the set-up added, front to back, and empties the record but
// for the peer route when `keep_peer` (a recreated device's, which the new
// set-up records again). A repair leaves the tunnel's default route alone.
void delete_recorded(bool repair, bool keep_peer) {
  route_list kept;
  for (const vpn_route_entry& e : rt_del_list) {
    if (keep_peer && e.dst == kPeerAddr) {
      kept.push_back(e);
      continue;
    }
    if (!(repair && e.dst == 0)) del_route_mac(e, 3, 3);
  }
  rt_del_list = std::move(kept);
}

// The repair of reconn_delete_route. The daemon's routes go first, so that
// none of them refuses a host route of the same destination and mask.
void undo_tunnel_routes(bool keep_peer) {
  // Logged as the operation whose repair this is.
  const char* const op = "reconn_delete_route";
  keep_saved_default(rt_add_list);
  const int ret = get_default_route_interface(new_ifname);
  vpn_log(kLogModule, __LINE__, op, "ret %d, new interface name: %s,old interface name: %s", ret, new_ifname,
          qn_route.ifname);

  delete_recorded(true, keep_peer);

  route_list back;
  for (const vpn_route_entry& e : rt_add_list) {
    if (e.dst == 0) continue;  // the host's default route: restore_default_route's job
    if (!through_interface_net(e)) {
      back.push_back(e);
      continue;
    }
    if (own_network_route(e)) {
      // Back while the interface is on that network, whatever its address
      // there now (refused when the kernel made it again).
      if (!stale_network_route(e, op)) back.push_back(e);
      continue;
    }
    // A static route through the interface that carries the default route
    // now is the host's too: back with the others.
    if (std::strcmp(new_ifname, e.ifname) == 0 && std::strcmp(new_ifname, qn_route.ifname) == 0) {
      back.push_back(e);
      continue;
    }
    char old_ip[16] = {};
    char cur_ip[16] = {};
    const int r1 = get_bakup_interface_addr(e.ifname, old_ip);
    vpn_log(kLogModule, __LINE__, op, "get_bakup_interface_addr ret %d", r1);
    const int r2 = get_interface_address_by_ifname(e.ifname, cur_ip);
    vpn_log(kLogModule, __LINE__, op, "ret %d,interface %s current ip: %s,interface old ip: %s", r2, e.ifname, cur_ip,
            old_ip);
    if (std::strcmp(cur_ip, old_ip) == 0)
      back.push_back(e);
    else
      g_deferred_routes.push_back(e);
  }
  rt_add_list.clear();
  put_routes_back(back);

  if (dns_config_kept()) restore_dns_config();
}

// After the earlier set-up was put back without the repair before the
// reconnection, the tunnel's default route may have gone with a replaced
// device while the host's own one is still deleted: nothing would then lead
// to the gateway. Put the host's one back, unless it has an unscoped default
// route again by now, so that the new set-up starts from the host as it was.
void put_host_default_back(const vpn_route_entry& host_default) {
  route_list now;
  if (route_snapshot_mac(now, "") == -1) return;
  for (const vpn_route_entry& e : now)
    if (e.dst == 0 && !(e.flags & RTF_IFSCOPE_BSD)) return;
  vpn_log(kLogModule, __LINE__, "reconnected_add_route",
          "the host has no default route, its own through %s is put back", dotted(host_default.gateway).c_str());
  add_route_mac(host_default, 3, 3);
}
}  // namespace

char new_ifname[104] = {};

void set_read_command_hook(read_command_hook hook) {
  std::lock_guard<std::mutex> lk(g_read_hook_lock);
  g_read_hook = std::move(hook);
}

void restore_routes() {
  keep_saved_default(rt_add_list);
  delete_recorded(false, false);
  route_list back;
  for (const vpn_route_entry& e : rt_add_list)
    if (e.dst != 0 && !stale_network_route(e, "restore_routes")) back.push_back(e);
  back.insert(back.end(), g_deferred_routes.begin(), g_deferred_routes.end());
  rt_add_list.clear();
  g_deferred_routes.clear();
  put_routes_back(back);
  if (IsEnableLocalAccess() && is_fulltunnel() && g_restorelocalaccesscmd[0] != '\0')
    forknexec(g_restorelocalaccesscmd, 0);
}

namespace {
// Logged as the operation these serve.
#define RESTORE_LOG(...) vpn_log(kLogModule, __LINE__, "restore_default_route", __VA_ARGS__)

// The router of the first active service on `want` that has one, each
// service asked logged; false when none has.
bool router_of_service_on(const std::vector<std::string>& ids, const char* want, in_addr* gw) {
  for (const std::string& id : ids) {
    std::string router;
    std::string ifname;
    get_network_service_info(id.c_str(), router, ifname);
    RESTORE_LOG("ns %s, router %s, if %s\n", id.c_str(), router.c_str(), ifname.c_str());
    if (router.empty() || ifname.empty() || ifname != want) continue;
    if (::inet_pton(AF_INET, router.c_str(), gw) != 1) {
      // A router text that is no IPv4 address would make a bogus route.
      RESTORE_LOG("router %s of service %s is no IPv4 address, not used", router.c_str(), id.c_str());
      continue;
    }
    return true;
  }
  return false;
}

// Adds a default route through `gw`; false when the route tool refused it.
bool add_default_route(uint32_t gw) {
  vpn_route_entry e{};
  e.gateway = gw;
  e.gw_family = AF_INET;
  const int status = add_route_checked(e);
  if (status == 0) return true;
  RESTORE_LOG("default route through %s refused by the route tool (%d)", dotted(gw).c_str(), status);
  return false;
}

// The default route goes back through the link the host's own one left by
// (its router now, which may have changed meanwhile, else the route as it
// was), not through the link that leads to the gateway: the two may differ.
// Only when neither is accepted, the gateway's link's router is tried.
void put_default_route_back(const std::vector<std::string>& ids, const vpn_route_entry& saved) {
  char via[sizeof saved.ifname + 1] = {};
  copy_text(via, sizeof via, saved.ifname[0] ? saved.ifname : if_name_to_lum);
  in_addr gw{};
  const bool have_router = router_of_service_on(ids, via, &gw);
  if (have_router) {
    RESTORE_LOG("restore default route : add route\n");
    if (add_default_route(gw.s_addr)) return;
  }
  if (saved.gateway != 0 && !(have_router && gw.s_addr == saved.gateway)) {
    // Without this the host would end without any default route.
    if (have_router)
      RESTORE_LOG("the saved default route through %s is put back", dotted(saved.gateway).c_str());
    else
      RESTORE_LOG("no router for %s in the network-service store, the saved default route through %s is put back",
                  via, dotted(saved.gateway).c_str());
    if (add_default_route(saved.gateway)) return;
  }
  if (std::strcmp(via, if_name_to_lum) == 0) return;
  const uint32_t refused = have_router ? gw.s_addr : 0;
  if (!router_of_service_on(ids, if_name_to_lum, &gw) || gw.s_addr == refused || gw.s_addr == saved.gateway) return;
  RESTORE_LOG("no default route through %s could be put back, the router %s of %s is used", via,
              dotted(gw.s_addr).c_str(), if_name_to_lum);
  add_default_route(gw.s_addr);
}
#undef RESTORE_LOG
}  // namespace

void restore_default_route() {
  vpn_log_plain("restore default route begin\n");
  vpn_route_entry saved{};
  bool taken = false;
  {
    std::lock_guard<std::mutex> lk(g_saved_default_lock);
    saved = g_saved_default;
    taken = g_default_taken;
    g_saved_default = vpn_route_entry{};
    g_default_taken = false;
  }
  std::vector<std::string> ids;
  get_active_network_service(ids);
  if (taken)
    put_default_route_back(ids, saved);
  else
    // A default route of the host's own still stands, or the host had none.
    VPN_LOG("no default route was taken away, none is added");
  vpn_log_plain("restore default route end\n");
}

int get_network_service_info(const char* service_id, std::string& router, std::string& ifname) {
  const auto entity = open_service_entity({kLogModule, __LINE__, __func__}, service_id, kSCNetworkProtocolTypeIPv4);
  if (!entity) return 1;
  const SCNetworkProtocolRef& ipv4 = entity->proto;
  if (!ipv4) {
    VPN_LOG("service %s: no IPv4 protocol, no router and interface", service_id);
    return 0;
  }
  CFDictionaryRef config = SCNetworkProtocolGetConfiguration(ipv4);
  const bool manual =
      config && CFStringEqual(CFDictionaryGetValue(config, kSCPropNetIPv4ConfigMethod), kSCValNetIPv4ConfigMethodManual);

  CFTypeRef router_value;
  CFTypeRef ifname_value;
  const std::string key = std::string("State:/Network/Service/") + service_id + "/IPv4";
  if (manual) {
    VPN_LOG("service %s: manual.", service_id);
    router_value = CFDictionaryGetValue(config, kSCPropNetIPv4Router);
  } else {
    VPN_LOG("service %s: dhcp.", service_id);
  }
  SCDynamicStoreRef store = SCDynamicStoreCreate(kSCClientName, nullptr, nullptr);
  if (!store) {
    VPN_LOG("SCDynamicStoreCreate failed, error %d: %s", SCError(), SCErrorString(SCError()));
    return 1;
  }
  CFDictionaryRef state = SCDynamicStoreCopyValue(store, key.c_str());
  if (manual) {
    if (!state) VPN_LOG("service %s: manual, dynamic ipv4 config is empty.", service_id);
  } else {
    if (!state) VPN_LOG("service %s: dhcp, but ipv4 config is empty.", service_id);
    router_value = CFDictionaryGetValue(state, kSCPropNetIPv4Router);
  }
  ifname_value = CFDictionaryGetValue(state, kSCPropInterfaceName);

  if (!router_value)
    VPN_LOG("service %s: router is not set.", service_id);
  else if (CFStringToCString(router_value, kCFStringEncodingUTF8, router))
    VPN_LOG("service %s: router %s", service_id, router.c_str());
  else
    VPN_LOG("service %s: convert router failed", service_id);

  if (!ifname_value)
    VPN_LOG("service %s: ifname is not set.", service_id);
  else if (CFStringToCString(ifname_value, kCFStringEncodingUTF8, ifname))
    VPN_LOG("service %s: ifname %s", service_id, ifname.c_str());
  else
    VPN_LOG("service %s: convert ifname failed", service_id);
  return 0;
}

bool default_route_is_tun() {
  std::string out;
  if (!read_command("/sbin/route get default", 511, &out) || out.empty()) return false;
  return out.find("utun") != std::string::npos;
}

int reconn_delete_route() {
  undo_tunnel_routes(false);
  return 0;
}

int get_default_route_interface(char* out) {
  std::string text;
  if (!read_command("/sbin/route -n get default", 1 << 20, &text)) return -1;
  // Lines as a 1024-byte line reader sees them.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    if (end - pos > 1023) end = pos + 1023;
    std::string line = text.substr(pos, end - pos);
    pos = end;
    size_t at = line.find("interface:");
    if (at == std::string::npos) continue;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const std::string name = at + 11 <= line.size() ? line.substr(at + 11) : std::string();
    copy_text(out, 104, name.c_str());
    VPN_LOG("reconn get new interface is %s", out);
    break;
  }
  return 0;
}

int get_bakup_interface_addr(const char* name, char* out) {
  for (const interface_ip& i : iface_list) {
    if (std::strncmp(i.ifname, name, sizeof i.ifname) != 0) continue;
    char ip[sizeof i.ipaddr + 1] = {};
    std::memcpy(ip, i.ipaddr, sizeof i.ipaddr);
    copy_text(out, 16, ip);
    return 0;
  }
  return -1;
}

int get_interface_address_by_ifname(const char* name, char* out) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return errno;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    char host[NI_MAXHOST] = {};
    int rc = ::getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    if (rc != 0) {
      VPN_LOG(" getnameinfo failed %d", rc);
      continue;
    }
    VPN_LOG(" %s address: %s\n", i->ifa_name, host);
    if (std::strcmp(i->ifa_name, name) == 0) {
      copy_text(out, 16, host);
      break;
    }
  }
  ::freeifaddrs(list);
  return 0;
}

int reconnected_add_route(vpnc_session* s) {
  if (setup_recorded()) {
    // The earlier set-up is still recorded (for instance a full tunnel whose
    // device was recreated, taking its default route along): put it back
    // first, so that its host routes return and nothing is recorded twice.
    VPN_LOG("routes of the earlier set-up are still recorded, putting them back first");
    vpn_route_entry host_default{};
    // One through an interface has no next hop the route command could name.
    const bool had_default = recorded_host_default(rt_add_list, &host_default) && host_default.gateway != 0;
    undo_tunnel_routes(true);
    if (had_default) put_host_default_back(host_default);
  }
  rt_ori_list.clear();
  rt_add_list.clear();
  if (route_snapshot_mac(rt_ori_list, "") == -1) {
    VPN_LOG("save original route table failed");
    return -1;
  }
  VPN_LOG("qn_route ip is %s", dotted(qn_route.gateway).c_str());
  if (find_route(s->connect_ip, rt_ori_list, &qn_route) == 0) return -1;
  VPN_LOG("qn_route name is %s", qn_route.ifname);
  VPN_LOG("qn_route ip is %s", dotted(qn_route.gateway).c_str());
  std::memset(if_name_to_lum, 0, sizeof if_name_to_lum);
  copy_text(if_name_to_lum, sizeof if_name_to_lum, qn_route.ifname);
  iface_list.clear();
  const int ret = get_active_interface_addr(iface_list);
  VPN_LOG("get_active_interface_addr ret %d", ret);
  // The set-up records the device's current peer route itself.
  std::erase_if(rt_del_list, [](const vpn_route_entry& e) { return e.dst == kPeerAddr; });
  if (set_vpn_route_table(&qn_route, s) == -1) {
    VPN_LOG("set vpn route table failed");
    return -1;
  }
  set_vpn_dns_server_mac(&dnsconfig);
  return 0;
}
