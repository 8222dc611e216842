// Operations this version does not build (outside-proxy traversal, PAC
// files and proxy settings, keepalive and watchdog threads). Each says so in the log and answers failure, never success.
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
void* keepalive_thread(void*) {
  not_built("keepalive_thread");
  return nullptr;
}
void* browser_closed_or_not(void*) {
  not_built("browser_closed_or_not");
  return nullptr;
}
void* inside_proxy_download_thread(void*) {
  not_built("inside_proxy_download_thread");
  return nullptr;
}
int generate_outside_script_mac(vpnc_session*, const char*) {
  not_built("generate_outside_script_mac");
  return -1;
}
int setoriginalproxy_mac(vpnc_session*) {
  not_built("setoriginalproxy_mac");
  return -1;
}
