// A reconnection reads the gateway's whole record sequence again so that the
// tunnel's packets are read from the right place; only the client address is
// kept from it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/session/config_exchange.h"
#include "client/tunnel_ops.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";
constexpr const char kFunc[] = "vpnc_client_exhaust_config_reply";
#define DRAIN_LOG(...) vpn_log(kLogModule, __LINE__, kFunc, __VA_ARGS__)

int real_open_device() { return utun_device_config(); }
int real_address_device(vpnc_session* s) { return config_utun_ip(s); }
int real_peer_route(route_list& l, const char* t) { return route_snapshot_4one_mac(l, t); }
int real_delete_route(const vpn_route_entry& e, int kind, int via) { return del_route_mac(e, kind, via); }

constexpr reconnect_tun_ops kRealOps = {real_open_device, real_address_device, real_peer_route,
                                        real_delete_route};
std::atomic<const reconnect_tun_ops*> g_ops{&kRealOps};

// The utun peer, 1.1.1.1 (the same word in either byte order).
constexpr uint32_t kPeerAddress = 0x01010101u;

int fail(const char* message) {
  DRAIN_LOG("%s", message);
  return VPNC_STATE_FATAL;
}
}  // namespace

void drain_set_tun_ops(const reconnect_tun_ops* ops) { g_ops.store(ops ? ops : &kRealOps); }

int exhaust_config_reply_on(vpnc_session* s, cfg_stream* io) {
  // Thrown away after every call; drains never overlap (the reconnecting
  // thread holds the controller's mutex and the connection lock).
  static _VPN_COMMON_HEADER_ m_pCommonCfg_tmp;
  static _VPN_COMMON_CONFIG_ m_VPNCommonConfig_tmp;
  static _VPN_NETWORK_CONFIG_ m_VPNNetworkConfig_tmp;
  std::memset(&m_pCommonCfg_tmp, 0, sizeof m_pCommonCfg_tmp);
  std::memset(&m_VPNCommonConfig_tmp, 0, sizeof m_VPNCommonConfig_tmp);
  std::memset(&m_VPNNetworkConfig_tmp, 0, sizeof m_VPNNetworkConfig_tmp);
  const reconnect_tun_ops* ops = g_ops.load();

  uint8_t head[kMsgHeaderWireSize];
  const long got = cfg_read_full(io, head, sizeof head);
  if (got <= 0) {
    DRAIN_LOG("%s ERROR, errno is %d", "wait commonconfig reply read!", errno);
    return VPNC_STATE_FATAL;
  }
  _VPN_MSG_HEADER_ reply{};
  decode_msg_header(head, &reply);
  DRAIN_LOG("server has configure response type %0x", reply.msgtype);
  if (reply.msgtype != MSG_COMMON_CONFIG_REPLY) {
    DRAIN_LOG("Server response type is not valid %d", reply.msgtype);
    return VPNC_STATE_FATAL;
  }

  if (!read_common_header(io, &m_pCommonCfg_tmp))
    return fail("Failed to read server common config response when reconnection");
  DRAIN_LOG("reconnection ssl read common config length is %d, sizeof(commonconfig) is %lu",
            static_cast<int>(kCommonHeaderWireSize), static_cast<unsigned long>(kCommonHeaderWireSize));
  if (!RecvHostMap(io, &m_VPNCommonConfig_tmp.host_map, m_pCommonCfg_tmp.host_map_len))
    return fail("Failed to read server host map config response when reconnection");
  if (!RecvCommand(io, &m_VPNCommonConfig_tmp.launch_commands, m_pCommonCfg_tmp.launch_cmd_len))
    return fail("Failed to read server launchcmd config response when reconnection");
  if (!RecvCommand(io, &m_VPNCommonConfig_tmp.disconnect_commands, m_pCommonCfg_tmp.disconnect_cmd_len))
    return fail("Failed to read server disconnect cmd config response when reconnection");

  char local[INET_ADDRSTRLEN];
  gateway_local_address_text(s->sockfd.load(), local, sizeof local);
  RequestReply(io, local);

  _VPN_NETWORK_CONFIG_& net = m_VPNNetworkConfig_tmp;
  if (!read_network_header(io, &net.header))
    return fail("Failed to read server network config response when reconnection");
  const uint32_t new_ip = net.header.vnc_clientip;
  if (new_ip == 0) return fail("Failed to read server vnc client ip config response when reconnection");
  char new_text[INET_ADDRSTRLEN];
  ipv4_text(new_ip, new_text, sizeof new_text);
  DRAIN_LOG("Reconnection: the assigned ip is %s", new_text);

  if (!RecvResource(io, &net.resources, net.header.resource_count, 1))
    return fail("Failed to read server network resource config response when reconnection");
  if (!RecvResource(io, &net.exclude_resources, net.header.exclude_count, 1))
    return fail("Failed to read server exclude network resource config response when reconnection");
  if (!RecvInsideProxy(io, &net.inside_proxy, net.header.inside_proxy_len))
    return fail("Failed to read server inside proxy config response when reconnection");
  if (!RecvIPList(io, &net.dns, net.header.dns_count))
    return fail("Failed to read server dns list config response when reconnection");
  if (!RecvSearchDomain(io, &net.search_domains, net.header.search_domain_len))
    return fail("Failed to read server search domain list config response when reconnection");

  const uint32_t old_ip = m_pNetConfigFlag ? clientip_load(m_pNetConfigFlag) : 0;
  // The address alone does not prove the device is there: an earlier
  // attempt may have stored the new address and then failed to open utun.
  if (new_ip == old_ip && s->tunfd.load() >= 0) {
    s->state = 7;
    return VPNC_STATE_DONE;
  }

  if (new_ip != old_ip) {
    DRAIN_LOG("Reconnection: Assigned client ip is different 0x%0x, 0x%0x, update to the new one", old_ip, new_ip);
    if (m_pNetConfigFlag) clientip_store(m_pNetConfigFlag, new_ip);
  } else {
    DRAIN_LOG("Reconnection: no tun device is open, open it again for %s", new_text);
  }

  for (auto it = rt_del_list.begin(); it != rt_del_list.end(); ++it) {
    if (it->dst != kPeerAddress) continue;
    DRAIN_LOG("Reconnection: delete old tun route: gw 0x%0x", it->gateway);
    ops->delete_route(*it, 1, 1);
    rt_del_list.erase(it);
    break;
  }

  relay_retire_tunfd(s->tunfd.exchange(-1));

  const int fd = ops->open_device();
  s->tunfd = fd;
  if (fd < 0) {
    s->tunfd = -1;
    DRAIN_LOG("Tunnel open %s failed ,retry reconnection again!errno %d", "", errno);
    return VPNC_STATE_FATAL;
  }
  DRAIN_LOG("Reconnection: tun device has been got again %s", tunname);
  ops->address_device(s);

  route_list peer;
  if (ops->peer_route(peer, "") == -1) DRAIN_LOG("Reconnection:get 1.1.1.1 route failed");
  for (const vpn_route_entry& e : peer) {
    if (e.dst != kPeerAddress) continue;
    rt_del_list.push_back(e);
    break;
  }

  s->state = 7;
  return VPNC_STATE_DONE;
}

int vpnc_client_exhaust_config_reply(vpnc_session* s) {
  cfg_stream io = cfg_stream_ssl(s->ssl);
  cfg_deadline whole(&io, s->ssl, "vpnc_client_exhaust_config_reply");
  return exhaust_config_reply_on(s, &io);
}
