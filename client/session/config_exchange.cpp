#include "client/session/config_exchange.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/diag.h"
#include "client/process_handler.h"
#include "platform/hwinfo.h"
#include "platform/iflist.h"

extern char** environ;

namespace {
// The handlers log as the version control, the readers as the store's filler.
constexpr const char kLogModule[] = "vpn_version_control";
constexpr const char kGetConfigModule[] = "vpn_getconfig_qn2";

#define LOG_AS(module, func, ...) vpn_log((module), __LINE__, (func), __VA_ARGS__)

constexpr const char kRequestFormat[] =
    "Get /vpntunnel HTTP/1.1\r\nHost: %.*s\r\nCookie: %.*s\r\nappid: SQNVPN\r\nclientid: %.*s\r\n\r\n";
// Everything of the format but its six conversion characters per field.
constexpr std::size_t kRequestFixedChars = sizeof kRequestFormat - 1 - 3 * 4;
constexpr std::size_t kClientIdSize = 1024;
static_assert(kRequestFixedChars + (sizeof session.hostname - 1) + (sizeof session.session_cookie - 1) +
                      (kClientIdSize - 1) <
                  kTunnelRequestSize,
              "the tunnel request must always fit whole");

// The request text; kept from one call to the next.
char g_request[kTunnelRequestSize];

// Field by field, so the client address word is written as one word.
void store_network_header(_VPN_NETWORK_HEADER_* dst, const _VPN_NETWORK_HEADER_& src) {
  dst->flags = src.flags;
  dst->resource_count = src.resource_count;
  dst->exclude_count = src.exclude_count;
  dst->inside_proxy_len = src.inside_proxy_len;
  clientip_store(dst, src.vnc_clientip);
  dst->virtual_mask = src.virtual_mask;
  dst->dns_count = src.dns_count;
  dst->wins_count = src.wins_count;
  dst->search_domain_len = src.search_domain_len;
}
}  // namespace

void encode_msg_header(const _VPN_MSG_HEADER_& h, uint8_t (&wire)[kMsgHeaderWireSize]) {
  wire[0] = h.msgtype;
  std::memcpy(wire + 1, h.reserved, sizeof h.reserved);
  cfg_put_le32(wire + 12, h.length);
}

void decode_msg_header(const uint8_t (&wire)[kMsgHeaderWireSize], _VPN_MSG_HEADER_* h) {
  h->msgtype = wire[0];
  std::memcpy(h->reserved, wire + 1, sizeof h->reserved);
  h->length = load_le32(wire + 12);
}

void encode_config_request(const _VPN_CONFIG_REQUEST_& r, uint8_t (&wire)[kConfigRequestWireSize]) {
  uint8_t head[kMsgHeaderWireSize];
  encode_msg_header(r.header, head);
  std::memcpy(wire, head, sizeof head);
  cfg_put_le32(wire + 16, r.data.count);
  for (std::size_t i = 0; i < kMaxRequestAddresses; ++i) std::memcpy(wire + 20 + 4 * i, &r.data.ips[i], 4);
  std::memcpy(wire + 40, r.data.mac, sizeof r.data.mac);
  std::memcpy(wire + 46, r.data.pad, sizeof r.data.pad);
}

int build_tunnel_request(char* out, std::size_t cap, const char* host, const char* cookie,
                         const char* clientid) {
  const int host_len = static_cast<int>(strnlen(host, sizeof session.hostname - 1));
  const int cookie_len = static_cast<int>(strnlen(cookie, sizeof session.session_cookie - 1));
  const int id_len = static_cast<int>(strnlen(clientid, kClientIdSize - 1));
  char tmp[kTunnelRequestSize];
  const int n = std::snprintf(tmp, sizeof tmp, kRequestFormat, host_len, host, cookie_len, cookie, id_len, clientid);
  if (n < 0 || static_cast<std::size_t>(n) >= cap || static_cast<std::size_t>(n) >= sizeof tmp) return -1;
  std::memcpy(out, tmp, static_cast<std::size_t>(n) + 1);
  return n;
}

int clientid_from_profiler_output(FILE* f, char* out, std::size_t outlen) {
  static constexpr char kLabel[] = "Hardware UUID:";
  char line[1024];
  while (std::fgets(line, sizeof line, f)) {
    const char* p = std::strstr(line, kLabel);
    if (!p) continue;
    p += sizeof kLabel - 1;
    // The label is followed by one separator; a line that ends at the label
    // gives an empty id rather than a read past it.
    if (*p) ++p;
    std::snprintf(out, outlen, "%s", p);
    return 1;
  }
  if (outlen) out[0] = '\0';
  return 0;
}


char* create_get_qn2(vpnc_session* s, const char* /*path*/) {
  char clientid[kClientIdSize] = {};
  const int rc = get_hardware_uuid(clientid, sizeof clientid);
  if (rc < 0) {
    // On a reconnection the previous request goes out again; on the first
    // call the request is built with an empty client id.
    if (g_request[0]) return g_request;
    vpn_log_plain("system_profiler could not be started, clientid left empty");
    clientid[0] = '\0';
  } else {
    if (rc == 1) vpn_log_plain("clientid string is %s", clientid);
    vpn_log_plain("str_uuid is %s", clientid);
  }
  build_tunnel_request(g_request, sizeof g_request, s->hostname, s->session_cookie, clientid);
  return g_request;
}

void gateway_local_address_text(int sockfd, char* out, std::size_t cap) {
  if (cap) out[0] = '\0';
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (sockfd < 0 || getsockname(sockfd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return;
  if (ss.ss_family != AF_INET) return;
  sockaddr_in sin;
  std::memcpy(&sin, &ss, sizeof sin);
  ipv4_text(sin.sin_addr.s_addr, out, cap);
}

int read_common_header(cfg_stream* s, _VPN_COMMON_HEADER_* out) {
  uint8_t w[kCommonHeaderWireSize];
  if (cfg_read_full(s, w, sizeof w) != static_cast<long>(sizeof w)) return 0;
  decode_common_header(w, out);
  return 1;
}

int read_network_header(cfg_stream* s, _VPN_NETWORK_HEADER_* out) {
  uint8_t w[kNetworkHeaderWireSize];
  if (cfg_read_full(s, w, sizeof w) != static_cast<long>(sizeof w)) return 0;
  decode_network_header(w, out);
  return 1;
}

int config_rqt_on(vpnc_session*, cfg_stream* io) {
  LOG_AS(kLogModule, "config_rqt_qn2", "SEND COMMONCONFIG REQUEST");
  _VPN_MSG_HEADER_ h{};
  h.msgtype = MSG_COMMON_CONFIG_RQT;
  uint8_t wire[kMsgHeaderWireSize];
  encode_msg_header(h, wire);
  if (cfg_write_full(io, wire, sizeof wire) <= 0) {
    LOG_AS(kLogModule, "config_rqt_qn2", "%s ERROR, errno is %d", "SSL common config write", errno);
    return VPNC_STATE_FATAL;
  }
  return 0;
}

int config_rqt_qn2(vpnc_session* s) {
  cfg_stream io = cfg_stream_ssl(s->ssl);
  return config_rqt_on(s, &io);
}

int recv_common_config(cfg_stream* s) {
  if (!m_pCommonCfg || !m_pHostMapList || !m_pLaunchCommandList || !m_pDisconnectCommandList) return 0;
  if (!read_common_header(s, m_pCommonCfg)) return 0;
  if (!RecvHostMap(s, m_pHostMapList, m_pCommonCfg->host_map_len)) return 0;
  if (!RecvCommand(s, m_pLaunchCommandList, m_pCommonCfg->launch_cmd_len)) return 0;
  if (!RecvCommand(s, m_pDisconnectCommandList, m_pCommonCfg->disconnect_cmd_len)) return 0;
  return 1;
}

int FillIPListAndMac_Macos(_iprequest_data* out, const char* local_ip) {
  std::memset(out, 0, sizeof *out);
  iflist_entry list[64];
  std::size_t n = 0;
  if (iflist_read(list, sizeof list / sizeof list[0], &n) != 0) return 0;
  for (std::size_t i = 0; i < n; ++i) {
    const iflist_entry& e = list[i];
    if (!e.up || !e.running || e.loopback) continue;
    if (out->count >= kMaxRequestAddresses) break;
    if (!e.has_ipv4) continue;
    out->ips[out->count++] = e.ipv4;
    if (e.is_ethernet && local_ip) {
      char text[INET_ADDRSTRLEN];
      ipv4_text(e.ipv4, text, sizeof text);
      if (strcasecmp(text, local_ip) == 0) std::memcpy(out->mac, e.hwaddr, sizeof out->mac);
    }
  }
  return 1;
}

int RequestReply(cfg_stream* s, const char* local_ip) {
  _VPN_CONFIG_REQUEST_ req{};
  req.header.msgtype = MSG_NETCONFIG_RQT;
  req.header.length = sizeof req.data;
  // An unreadable interface list still gets a request (no addresses, zero
  // hardware address): the gateway answers only a request.
  if (!FillIPListAndMac_Macos(&req.data, local_ip)) {
    std::memset(&req.data, 0, sizeof req.data);
    LOG_AS(kGetConfigModule, "RequestReply", "interface list unreadable, sending no addresses");
  }
  uint8_t wire[kConfigRequestWireSize];
  encode_config_request(req, wire);
  const long wrote = cfg_write_full(s, wire, sizeof wire);
  LOG_AS(kGetConfigModule, "RequestReply", "ssl write client netconfig request err is %d,len is %d",
         static_cast<int>(wrote), static_cast<int>(sizeof wire));
  if (wrote <= 0) {
    LOG_AS(kGetConfigModule, "RequestReply", "ssl write client netconfig request failed");
    return 0;
  }
  LOG_AS(kGetConfigModule, "RequestReply", "sizeof(reply) is %lu", static_cast<unsigned long>(kMsgHeaderWireSize));
  uint8_t head[kMsgHeaderWireSize];
  const long got = cfg_read_full(s, head, sizeof head);
  if (got <= 0) {
    LOG_AS(kGetConfigModule, "RequestReply", "read netconfig failed,length is %d, ssl err code is %d",
           static_cast<int>(got), s->last_err);
    return 0;
  }
  _VPN_MSG_HEADER_ reply{};
  decode_msg_header(head, &reply);
  LOG_AS(kGetConfigModule, "RequestReply", "reply.msgtype is %d, ssl read reply length %d", reply.msgtype,
         static_cast<int>(got));
  return reply.msgtype == MSG_NETCONFIG_REPLY ? 1 : 0;
}

int recv_network_config(cfg_stream* s) {
  if (!m_pNetConfigFlag || !m_pResouceList || !m_pExcludeResouceList || !m_pInsideProxy || !m_pDNSList ||
      !m_pWINSList || !m_pSearchDomainList)
    return 0;
  _VPN_NETWORK_HEADER_ zero{};
  store_network_header(m_pNetConfigFlag, zero);
  std::memset(m_pResouceList, 0, sizeof *m_pResouceList);
  std::memset(m_pExcludeResouceList, 0, sizeof *m_pExcludeResouceList);
  std::memset(m_pInsideProxy, 0, sizeof *m_pInsideProxy);
  std::memset(m_pDNSList, 0, sizeof *m_pDNSList);
  std::memset(m_pWINSList, 0, sizeof *m_pWINSList);
  std::memset(m_pSearchDomainList, 0, sizeof *m_pSearchDomainList);

  _VPN_NETWORK_HEADER_ h{};
  if (!read_network_header(s, &h)) return 0;
  store_network_header(m_pNetConfigFlag, h);
  LOG_AS(kGetConfigModule, "recv_network_config", "vnc_clientip is %0x\n", h.vnc_clientip);
  if (h.vnc_clientip == 0) {
    LOG_AS(kGetConfigModule, "recv_network_config", "vnc_clientip is null!\n");
    return 0;
  }
  if (!RecvResource(s, m_pResouceList, h.resource_count, 0)) return 0;
  set_fulltunnel_flag();
  if (!RecvResource(s, m_pExcludeResouceList, h.exclude_count, 1)) return 0;
  m_pInsideProxy->type = PROXY_NONE;
  if (!RecvInsideProxy(s, m_pInsideProxy, h.inside_proxy_len)) return 0;
  if (!RecvIPList(s, m_pDNSList, h.dns_count)) return 0;
  if (!RecvSearchDomain(s, m_pSearchDomainList, h.search_domain_len)) return 0;
  return 1;
}

int config_receive_on(vpnc_session* s, cfg_stream* io) {
  static constexpr const char kFunc[] = "config_receive_qn2";
  LOG_AS(kLogModule, kFunc, "RECEIVE COMMONCONFIG REQUEST");
  uint8_t head[kMsgHeaderWireSize];
  const long got = cfg_read_full(io, head, sizeof head);
  if (got <= 0) {
    LOG_AS(kLogModule, kFunc, "%s ERROR, errno is %d", "wait commonconfig reply read!", errno);
    return VPNC_STATE_FATAL;
  }
  LOG_AS(kLogModule, kFunc, "ssl read common config err is %d", static_cast<int>(got));
  _VPN_MSG_HEADER_ reply{};
  decode_msg_header(head, &reply);
  if (reply.msgtype != MSG_COMMON_CONFIG_REPLY) {
    LOG_AS(kLogModule, kFunc, "read common config is not common config response, exit");
    return -1;
  }
  initial_common_config();
  if (!recv_common_config(io)) return -1;
  char local[INET_ADDRSTRLEN];
  gateway_local_address_text(s->sockfd.load(), local, sizeof local);
  RequestReply(io, local);
  if (!recv_network_config(io)) return -1;
  return 0;
}

int config_receive_qn2(vpnc_session* s) {
  cfg_stream io = cfg_stream_ssl(s->ssl);
  cfg_deadline whole(&io, s->ssl, "config_receive_qn2");
  return config_receive_on(s, &io);
}
