// Operations this version does not build. Each says so in the log and
// answers failure, never success.
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
[[maybe_unused]] void not_built(const char* func) {
  vpn_log(kLogModule, __LINE__, func, "not built in this version");
}
}  // namespace
