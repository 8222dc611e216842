// Operations this version does not build (outside-proxy traversal). Each
// says so in the log and answers failure, never success.
#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
void not_built(const char* func) { vpn_log(kLogModule, __LINE__, func, "not built in this version"); }
}  // namespace

int vpnc_client_proxy_connect(vpnc_session*) {
  not_built("vpnc_client_proxy_connect");
  return VPNC_STATE_FATAL;
}
int vpnc_client_wait_proxy_auth(vpnc_session*) {
  not_built("vpnc_client_wait_proxy_auth");
  return VPNC_STATE_FATAL;
}
int vpnc_client_wait_ntlm_neg(vpnc_session*) {
  not_built("vpnc_client_wait_ntlm_neg");
  return VPNC_STATE_FATAL;
}
