#include "platform/power.h"

#include <unistd.h>

#include <mutex>

namespace {
std::mutex g_acks_lock;
std::vector<power_ack> g_acks;
}  // namespace

io_connect_t IORegisterForSystemPower(void*, power_notify_port** port, power_callback, uint32_t* notifier) {
  if (port != nullptr) *port = nullptr;
  if (notifier != nullptr) *notifier = 0;
  return 0;
}

void power_run_loop(power_notify_port*) {
  for (;;) pause();
}

int IOAllowPowerChange(io_connect_t connection, intptr_t notification_id) {
  std::lock_guard<std::mutex> lk(g_acks_lock);
  g_acks.push_back({connection, notification_id});
  return 0;
}

std::vector<power_ack> power_acks() {
  std::lock_guard<std::mutex> lk(g_acks_lock);
  return g_acks;
}

void power_acks_clear() {
  std::lock_guard<std::mutex> lk(g_acks_lock);
  g_acks.clear();
}
