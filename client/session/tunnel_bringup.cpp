// Putting the tunnel in place on the host once the gateway's configuration
// is in: the utun interface, its address, and the host-network steps.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/tunnel_ops.h"
#include "platform/utun.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr int kUtunAttempts = 17;
constexpr const char kTunPeer[] = "1.1.1.1";

// Bounded by both arrays; the copy is always terminated and zero-filled.
template <std::size_t D, std::size_t S>
void copy_name(char (&dst)[D], const char (&src)[S]) {
  std::size_t n = strnlen(src, (D - 1 < S ? D - 1 : S));
  std::size_t cap = D;
  std::memset(dst, 0, cap);
  std::memcpy(dst, src, n);
}
}  // namespace

char tunname[16] = {};

int utun_device_config() {
  vpn_log_plain("tun cfg\n");
  std::memset(tunname, 0, sizeof tunname);
  utun_opt_t opt;
  std::memset(&opt, 0, sizeof opt);
  int fd = utun_open(&opt);
  if (fd == -1) {
    int e = errno;
    vpn_log_plain("open tun dev failed, error %d(%s)\n", e, std::strerror(e));
    return -1;
  }
  static_assert(sizeof tunname == sizeof opt.ifname);
  copy_name(tunname, opt.ifname);
  return fd;
}

int config_utun_ip(vpnc_session* s) {
  char clientip[16] = {};
  get_clientip(clientip);
  clientip[sizeof clientip - 1] = '\0';
  vpn_log_plain("Assigned ip is %s", clientip);
  char cmd[128];
  std::snprintf(cmd, sizeof cmd, "/sbin/ifconfig %s %s %s mtu 1400", tunname, clientip, kTunPeer);
  int ret = forknexec(cmd, 0);
  vpn_log_plain("Config utun device ip ret is %d", ret);
  vpn_log_plain("Route execute %s", cmd);
  const int fd = s->tunfd.load();
  int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
    vpn_log_plain("Failed to set tun device option to non-block");
  return 0;
}

int config_tunnel(vpnc_session* s) {
  int fd = -1;
  for (int attempt = 0; attempt < kUtunAttempts && fd < 0; ++attempt) fd = utun_device_config();
  s->tunfd = fd;
  if (fd < 0) return -1;

  config_utun_ip(s);

  if (route_snapshot_mac(rt_ori_list, "") == -1) {
    VPN_LOG("save original route table failed");
    return -1;
  }
  if (check_default_route() == -1) {
    VPN_LOG("Original default route is not valid");
    return -1;
  }
  std::memset(&qn_route, 0, sizeof qn_route);
  if (s->is_ipv6) {
    if (get_interface_name(qn_route.ifname) != 0) VPN_LOG("IPv6: get qn_route.ifname failed!\n");
    qn_route.ifname[sizeof qn_route.ifname - 1] = '\0';
    VPN_LOG("qn_route.ifname is %s\n", qn_route.ifname);
  } else if (find_route(s->connect_ip, rt_ori_list, &qn_route) == 0) {
    return -1;
  }

  iface_list.clear();
  int ret = get_active_interface_addr(iface_list);
  VPN_LOG("get_active_interface_addr ret %d", ret);

  qn_route.ifname[sizeof qn_route.ifname - 1] = '\0';
  copy_name(if_name_to_lum, qn_route.ifname);

  if (set_vpn_route_table(&qn_route, s) == -1) {
    VPN_LOG("set vpn route table failed");
    return -1;
  }
  if (IsEnableLocalAccess() && is_fulltunnel()) enable_fulltunnel_local_access_mac(&qn_route);

  const uint32_t hop = qn_route.gateway != 0 ? qn_route.gateway : s->connect_ip;
  sethost_mac(hop, qn_route.ifname);

  if (!s->is_ipv6) {
    if (qn_route.ifname[0] == '\0') {
      VPN_LOG("doesn't has local interface name, cann't set dns server");
      return -1;
    }
    copy_name(usedifname, qn_route.ifname);
  }

  // Results are not looked at: each step logs its own failures.
  set_vpn_dns_server_mac(&dnsconfig);
  if (m_pSearchDomainList != nullptr && m_pSearchDomainList->count > 0)
    set_dns_search_domains_mac(m_pSearchDomainList, g_NetworkServiceName);
  return 0;
}

int post_config_qn2(vpnc_session* s) {
  VPN_LOG("start post config to local machine.");
  if (m_pHostMapList != nullptr && m_pHostMapList->count != 0) {
    if (setHostMap(m_pHostMapList) == 1) {
      VPN_LOG("successful to set config on local machine.");
      g_restore_hostmap = 1;
    } else {
      VPN_LOG("failed to set config on local machine.");
    }
  }
  generate_outside_script_mac(s, "/Library/Frameworks/");
  forknexec("/usr/sbin/arp -a -d", 0);
  VPN_LOG("launch command");
  executeCommand(m_pLaunchCommandList);
  return 0;
}
