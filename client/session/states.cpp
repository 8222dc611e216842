// The handlers of the handshake states.
#include <cerrno>
#include <cstring>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "client/session/tls_methods.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";
}  // namespace

int vpnc_client_start(vpnc_session* s) {
  if (ssl_connect_try_all_methods(s) == 0) {
    s->state = 4;
    return VPNC_STATE_NEXT;
  }
  VPN_LOG("try all client methods, ssl connect failed\n");
  return VPNC_STATE_FATAL;
}

int vpnc_client_start_atp(vpnc_session* s) {
  VPN_LOG("SSL connection using %s", tls_cipher_name(s->ssl));
  static const char* const kMissing[] = {"", "server cert", "subject", "issuer"};
  int missing = tls_check_peer_names(s->ssl, &s->peer_cert, &s->cert_line);
  if (missing != 0) {
    VPN_LOG("%s ERROR", kMissing[missing]);
    return VPNC_STATE_FATAL;
  }
  if (!process_handler.create_get) return VPNC_STATE_FATAL;
  const char* request = process_handler.create_get(s, "prx/000/http/localhost/atp.html");
  if (!request) return VPNC_STATE_FATAL;
  VPN_LOG("QN_GET=%s", request);
  if (tls_write(s->ssl, request, static_cast<int>(std::strlen(request))) > 0) {
    s->state = 5;
    return VPNC_STATE_NEXT;
  }
  VPN_LOG("%s ERROR, errno is %d", "ssl negotiate write", errno);
  return VPNC_STATE_FATAL;
}

int vpnc_client_wait_atp_config_rqt(vpnc_session* s) {
  http_rsp reply{0};
  int token_length = 0;
  char* token = nullptr;
  if (read_parse_https_rsp(s->ssl, &reply, &token_length, &token) == -1) return VPNC_STATE_FATAL;
  if (reply.status == HTTP_RSP_OK) {
    if (!process_handler.config_rqt) return VPNC_STATE_FATAL;
    if (process_handler.config_rqt(s) == 0) {
      s->state = 6;
      return VPNC_STATE_NEXT;
    }
    return VPNC_STATE_FATAL;
  }
  if (reply.status == HTTP_RSP_OTHER) s->proxy_type = OUTPROXY_NONE;
  return VPNC_STATE_FATAL;
}

int vpnc_client_wait_commonconfig_reply(vpnc_session* s) {
  if (process_handler.config_receive && process_handler.config_receive(s) == 0) {
    s->state = 7;
    return VPNC_STATE_NEXT;
  }
  return VPNC_STATE_FATAL;
}

int vpnc_client_config_tunnel(vpnc_session* s) {
  if (process_handler.config_tunnel && process_handler.config_tunnel(s) != -1) {
    s->state = 8;
    return VPNC_STATE_NEXT;
  }
  return VPNC_STATE_FATAL;
}

int vpnc_client_post_config_client(vpnc_session* s) {
  if (process_handler.post_config) process_handler.post_config(s);
  return VPNC_STATE_DONE;
}
