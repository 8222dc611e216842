// Stand-in for the system power notifications (sleep and wake) and the run
// loop that delivers them.
//
// On macOS a thread registers a callback for the system's sleep and wake
// messages and runs a run loop that calls it; every message must be
// acknowledged. Linux has no such service here: registration always fails,
// so no callback is ever made. The acknowledgements are recorded so the
// callback can be checked by driving it directly.
#pragma once
#include <cstdint>
#include <vector>

// Messages of the power service.
inline constexpr uint32_t kIOMessageCanSystemSleep = 0xE0000270;
inline constexpr uint32_t kIOMessageSystemWillSleep = 0xE0000280;
inline constexpr uint32_t kIOMessageSystemWillPowerOn = 0xE0000320;
inline constexpr uint32_t kIOMessageSystemHasPoweredOn = 0xE0000300;

using io_connect_t = uint32_t;  // 0: no connection
using io_service_t = uint32_t;
struct power_notify_port;       // never made here
using power_callback = void (*)(void* refcon, io_service_t service, uint32_t message_type,
                                void* message_argument);

// Registers `callback` for the system's power messages. The connection on
// success; 0 on failure (always, on Linux), with `*port` set to null.
io_connect_t IORegisterForSystemPower(void* refcon, power_notify_port** port, power_callback callback,
                                      uint32_t* notifier);
// Adds the port's source to the calling thread's run loop and runs it; does
// not return. Never reached on Linux (there is no port).
[[noreturn]] void power_run_loop(power_notify_port* port);
// Acknowledges one message. Recorded; always 0.
int IOAllowPowerChange(io_connect_t connection, intptr_t notification_id);

struct power_ack {
  io_connect_t connection;
  intptr_t notification_id;
};
// Acknowledgements so far, oldest first; and forgetting them (unit tests).
std::vector<power_ack> power_acks();
void power_acks_clear();
