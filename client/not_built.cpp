// Operations this version does not build (PAC files and proxy settings,
// keepalive and watchdog threads). Each says so in the log and answers failure, never success.
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
