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
