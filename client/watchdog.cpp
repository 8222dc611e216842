// The keepalive thread with the full-tunnel default-route watch, the browser
// watch and the one-shot inside-proxy thread.
#include "client/watchdog.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/proxy/proxy.h"
#include "client/vpn_globals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
// The thread bodies' lines carry the thread's name, not the helper's.
#define KA_LOG(...) vpn_log(kLogModule, __LINE__, "keepalive_thread", __VA_ARGS__)
#define BW_LOG(...) vpn_log(kLogModule, __LINE__, "browser_closed_or_not", __VA_ARGS__)

int64_t real_now() { return static_cast<int64_t>(std::time(nullptr)); }

void real_sleep(unsigned secs) {
  timespec left{static_cast<time_t>(secs), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int real_tls_write(const void* buf, int len) {
  if (session.ssl == nullptr) return -1;
  ERR_clear_error();
  return SSL_write(session.ssl, buf, len);
}

// The first line of the command's output, as fgets would give it: -1 when
// it could not be started, 0 when nothing came (or it ran past its bound).
int real_read_command_line(const char* cmd, char* line, std::size_t size) {
  if (size == 0) return 0;
  std::string out;
  int status = -1;
  const bool done = read_tool_output(cmd, 4096, &out, &status);
  if (!done && status == -1 && out.empty()) return -1;
  if (!done || out.empty()) return 0;
  std::size_t n = out.find('\n');
  n = n == std::string::npos ? out.size() : n + 1;
  if (n > size - 1) n = size - 1;
  std::memcpy(line, out.data(), n);
  line[n] = '\0';
  return 1;
}

const watchdog_ops kRealOps = {
    .now = real_now,
    .sleep_seconds = real_sleep,
    .tls_write = real_tls_write,
    .dtor = vpnc_dtor,
    .is_fulltunnel = is_fulltunnel,
    .default_route_is_tun = default_route_is_tun,
    .read_command_line = real_read_command_line,
};
watchdog_ops ops = kRealOps;

void log_someone_reconnecting() { KA_LOG("Someone is reconnecting now, keepalive abandon reconnection try"); }
}  // namespace

int64_t g_lastkeepalive = 0;

void watchdog_set_ops(const watchdog_ops* o) {
  ops = kRealOps;
  if (!o) return;
#define TAKE(m) \
  if (o->m) ops.m = o->m
  TAKE(now);
  TAKE(sleep_seconds);
  TAKE(tls_write);
  TAKE(dtor);
  TAKE(is_fulltunnel);
  TAKE(default_route_is_tun);
  TAKE(read_command_line);
#undef TAKE
}

int watchdog_dtor(vpnc_session* s, int reconnect, int force, int* done) {
  return ops.dtor(s, reconnect, force, done);
}

keepalive_state keepalive_begin() {
  keepalive_state st;
  const uint32_t configured = m_pCommonCfg != nullptr ? m_pCommonCfg->keepalive_interval : 0;
  st.interval = configured != 0 ? configured : kDefaultKeepaliveInterval;
  return st;
}

bool keepalive_pass(keepalive_state* st) {
  // A full tunnel whose default route left the tunnel: the host's traffic
  // no longer goes through it.
  if (ops.is_fulltunnel() == 1 && !ops.default_route_is_tun()) {
    ops.sleep_seconds(2);
    // A reconnection that replaced the device drops the tunnel's default
    // route until it has set the routes again; once it has, asking for
    // another one would only cut the new connection.
    if (!ops.default_route_is_tun()) {
      int done = 0;
      switch (ops.dtor(&session, 1, 0, &done)) {
        case DTOR_RECONNECTING:
          log_someone_reconnecting();
          break;
        case DTOR_DESTROYED:
          return false;
        case DTOR_RECONNECTED:
          st->misses = 0;
          break;
        default:  // busy: the next pass looks at the route again
          break;
      }
    }
  }

  // Unsigned on purpose: a negative difference (the clock set back, a
  // receipt stamped after our clock reading) counts as a long silence.
  const int64_t elapsed = ops.now() - g_starttick.load();
  const uint64_t since_recv = static_cast<uint64_t>(elapsed - g_lasttunnelrecv.load());
  const uint64_t since_keepalive = static_cast<uint64_t>(elapsed - g_lastkeepalive);
  if (since_recv <= st->interval || since_keepalive <= st->interval) {
    ops.sleep_seconds(1);
    return true;
  }

  int written;
  {
    std::lock_guard<std::mutex> lk(g_conn_lock);
    written = ops.tls_write(kKeepalivePacket, static_cast<int>(kKeepalivePacketSize));
  }
  if (written < 1) KA_LOG("Send keepalive failed.");
  g_lastkeepalive = ops.now() - g_starttick.load();
  ops.sleep_seconds(5);

  // Answered: the last receipt lies within [sent - interval, sent + 5].
  const uint64_t answer_gap = static_cast<uint64_t>(g_lastkeepalive + 5 - g_lasttunnelrecv.load());
  if (answer_gap <= st->interval + 5) {
    st->misses = 0;
    return true;
  }

  if (st->misses > 2) {
    KA_LOG("Detected diconnected, disconnect vpn now.");
    int done = 0;
    int result;
    do {
      result = ops.dtor(&session, 1, 0, &done);
    } while (result == DTOR_BUSY);
    if (result == DTOR_RECONNECTING) log_someone_reconnecting();
    if (result == DTOR_DESTROYED) return false;
    st->misses = -1;
  }
  ++st->misses;
  KA_LOG("Detected diconnected, sending keepalive no response %d times.", st->misses);
  return true;
}

void* keepalive_thread(void*) {
  keepalive_state st = keepalive_begin();
  while (keepalive_pass(&st)) {
  }
  VPNC_EXIT(0, "Exsit vpn client daemon on keepalive");
}

const char* browser_command(const char* launch_mode) {
  if (launch_mode == nullptr) return nullptr;
  if (std::strcmp(launch_mode, "Firefox") == 0) return "ps -e | grep -c firefox";
  if (std::strcmp(launch_mode, "Safari") == 0) return "ps -cA | grep -c Safari";
  if (std::strcmp(launch_mode, "Chrome") == 0) return "ps -e | grep -c chrome";
  return nullptr;
}

int browser_watch_run(const char* launch_mode) {
  BW_LOG("Nav:[%s]", launch_mode != nullptr ? launch_mode : "");
  const char* cmd = browser_command(launch_mode);
  // No browser to count: the session runs until another end.
  if (cmd == nullptr) return 0;
  BW_LOG("CMD:[%s]", cmd);

  int quit = 0;
  for (;;) {
    char line[8] = {};
    const int got = ops.read_command_line(cmd, line, sizeof line);
    // A failing start or an empty reply is retried after a pause, never in
    // a tight loop of forks and log lines.
    if (got < 0) {
      BW_LOG("popen failed");
      ops.sleep_seconds(1);
      continue;
    }
    if (got == 0) {
      BW_LOG("get popen file failed");
      ops.sleep_seconds(1);
      continue;
    }
    line[sizeof line - 1] = '\0';
    if (const std::size_t n = std::strlen(line); n > 0) line[n - 1] = '\0';
    const long count = std::strtol(line, nullptr, 10);
    if (count != 0) {
      ops.sleep_seconds(1);
      continue;
    }
    if (quit >= 3) break;
    ++quit;
  }

  BW_LOG("browser is quit, vpnc should exit!");
  int result = -1;
  int done = 0;
  while (result != DTOR_DESTROYED && done == 0) result = ops.dtor(&session, 0, 1, &done);
  return 1;
}

void* browser_closed_or_not(void* launch_mode) {
  if (browser_watch_run(static_cast<const char*>(launch_mode)) == 0) return nullptr;
  VPNC_EXIT(0, "Exsit vpn client daemon on brower detect");
}

void* inside_proxy_download_thread(void*) {
  ops.sleep_seconds(1);
  generate_insideproxy_script(&session);
  return nullptr;
}
