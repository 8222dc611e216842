// The system sleep and wake watcher: asks for a reconnection once the
// machine has woken up. No path of the daemon starts it.
#include <cstdint>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/vpn_globals.h"
#include "client/watchdog.h"
#include "platform/power.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
}  // namespace

io_connect_t root_port = 0;

void SleepCbk(void*, io_service_t, uint32_t message_type, void* message_argument) {
  const intptr_t id = reinterpret_cast<intptr_t>(message_argument);
  switch (message_type) {
    case kIOMessageCanSystemSleep:
      IOAllowPowerChange(root_port, id);
      VPN_LOG("system idle cause CanSystemSleep");
      return;
    case kIOMessageSystemWillSleep:
      IOAllowPowerChange(root_port, id);
      VPN_LOG("user does System Sleep, disconnect");
      return;
    case kIOMessageSystemWillPowerOn:
      IOAllowPowerChange(root_port, id);
      VPN_LOG("system will power on\n");
      return;
    case kIOMessageSystemHasPoweredOn: {
      IOAllowPowerChange(root_port, id);
      VPN_LOG("system has powered on, reconnect\n");
      int done = 0;
      // A reconnection that gave up has torn everything down: nothing is
      // left to run for.
      if (watchdog_dtor(&session, 1, 0, &done) == DTOR_DESTROYED)
        VPNC_EXIT(0, "Exsit vpn client daemon on system wake");
      return;
    }
    default:
      return;
  }
}

void* detect_sys_sleep_thread(void*) {
  power_notify_port* port = nullptr;
  uint32_t notifier = 0;
  root_port = IORegisterForSystemPower(nullptr, &port, SleepCbk, &notifier);
  if (root_port == 0) {
    VPN_LOG("register for sys powver fail.");
    return nullptr;
  }
  power_run_loop(port);
}
