#include "client/session.h"

#include <cstring>

vpnc_session session;

void vpnc_session_reset(vpnc_session* s) {
  s->state = 0;
  s->version_index = 0;
  s->sockfd = -1;
  s->tunfd = -1;
  s->is_ipv6 = 0;
  s->connect_ip = 0;
  std::memset(s->gateway_ip6, 0, sizeof s->gateway_ip6);
  s->connect_port = 0;
  std::memset(s->hostname, 0, sizeof s->hostname);
  s->gateway_ip = 0;
  s->gateway_port = 0;
  std::memset(s->session_cookie, 0, sizeof s->session_cookie);
  s->proxy_type = OUTPROXY_NONE;
  s->proxy_mode = PROXYMODE_NONE;
  s->proxy_ip = 0;
  s->proxy_port = 0;
  std::memset(s->proxy_user, 0, sizeof s->proxy_user);
  std::memset(s->proxy_passwd, 0, sizeof s->proxy_passwd);
  std::memset(s->proxy_domain, 0, sizeof s->proxy_domain);
  std::memset(s->navtype, 0, sizeof s->navtype);
  s->ssl_ctx = nullptr;
  s->ssl = nullptr;
  s->peer_cert = nullptr;
  s->cert_line = nullptr;
  s->ready_flags = 0;
}

void vpnc_session_take_launch_fields(vpnc_session* dst, const vpnc_session& src) {
  dst->is_ipv6 = src.is_ipv6;
  dst->connect_ip = src.connect_ip;
  std::memcpy(dst->gateway_ip6, src.gateway_ip6, sizeof dst->gateway_ip6);
  dst->connect_port = src.connect_port;
  std::memcpy(dst->hostname, src.hostname, sizeof dst->hostname);
  dst->gateway_ip = src.gateway_ip;
  dst->gateway_port = src.gateway_port;
  std::memcpy(dst->session_cookie, src.session_cookie, sizeof dst->session_cookie);
  dst->proxy_type = src.proxy_type;
  dst->proxy_mode.store(src.proxy_mode.load());
  dst->proxy_ip = src.proxy_ip;
  dst->proxy_port = src.proxy_port;
  std::memcpy(dst->proxy_user, src.proxy_user, sizeof dst->proxy_user);
  std::memcpy(dst->proxy_passwd, src.proxy_passwd, sizeof dst->proxy_passwd);
  std::memcpy(dst->proxy_domain, src.proxy_domain, sizeof dst->proxy_domain);
  std::memcpy(dst->navtype, src.navtype, sizeof dst->navtype);
}
