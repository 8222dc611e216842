// The destroy-and-reconnect controller: one caller at a time (try-lock),
// twelve reconnection attempts 10 s apart, then the teardown in fixed order.
#include "client/session/controller.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/proxy/proxy.h"
#include "client/session/gateway_conn.h"
#include "client/session/http_reply.h"
#include "client/session/tls_methods.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"

// True while the DNS module keeps settings to put back.
bool dns_config_kept();

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
#define DLOG(...) vpn_log(kLogModule, __LINE__, "vpn_dtor_qn2", __VA_ARGS__)

// Read without the mutex by callers that found it taken: whole words.
std::atomic<int> interrupt_flag{0};
std::atomic<int> vpn_clear_flag{0};
std::atomic<int> reconnect_now{0};

// What the holder of the controller's mutex is doing; changed under
// g_sockfd_guard so that a forced caller's immediate wake-up never reaches a
// logout (the logout watch bounds that one).
enum : int { PHASE_IDLE, PHASE_HANDSHAKE, PHASE_RECONNECTING, PHASE_TEARDOWN };
std::atomic<int> phase{PHASE_IDLE};
// Set when the first handshake failed: the forced call that tears that
// session down keeps all of its logout's attempts.
std::atomic<bool> first_handshake_failed{false};

void set_phase(int p) {
  std::lock_guard<std::mutex> lk(g_sockfd_guard);
  phase = p;
}

// A forced caller that finds the controller taken by the first handshake or
// a reconnection shuts the connection in use down, so that a stalled gateway
// cannot keep the end waiting; the holder sees the interrupt flag next.
bool wake_for_forced_end(vpnc_session* s) {
  std::lock_guard<std::mutex> lk(g_sockfd_guard);
  const int p = phase.load();
  if (p != PHASE_HANDSHAKE && p != PHASE_RECONNECTING) return false;
  if (int fd = s->sockfd.load(); fd != -1) shutdown(fd, SHUT_RDWR);
  return true;
}

void real_sleep(unsigned secs) {
  timespec left{static_cast<time_t>(secs), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
int real_reconnect(vpnc_session* s) { return vpnc_handshake_driver(s, vpnc_reconnect_states); }
bool dns_kept() { return dns_config_kept(); }

const vpn_dtor_ops kRealOps = {
    .sleep_seconds = real_sleep,
    .reconnect_attempt = real_reconnect,
    .is_fulltunnel = is_fulltunnel,
    .default_route_is_tun = default_route_is_tun,
    .reconn_delete_route = reconn_delete_route,
    .reconnected_add_route = reconnected_add_route,
    .forknexec = forknexec,
    .executeCommand = executeCommand,
    .restoreHostMap = restoreHostMap,
    .dns_config_is_kept = dns_kept,
    .restore_dns_config = restore_dns_config,
    .restore_routes = restore_routes,
    .restore_default_route = restore_default_route,
    .setoriginalproxy_mac = setoriginalproxy_mac,
    .logout_vpn = logout_vpn,
};
vpn_dtor_ops ops = kRealOps;
}  // namespace

std::atomic<uint32_t> g_conn_generation{0};

void vpn_dtor_set_ops(const vpn_dtor_ops* o) {
  ops = kRealOps;
  if (!o) return;
#define TAKE(m) \
  if (o->m) ops.m = o->m
  TAKE(sleep_seconds);
  TAKE(reconnect_attempt);
  TAKE(is_fulltunnel);
  TAKE(default_route_is_tun);
  TAKE(reconn_delete_route);
  TAKE(reconnected_add_route);
  TAKE(forknexec);
  TAKE(executeCommand);
  TAKE(restoreHostMap);
  TAKE(dns_config_is_kept);
  TAKE(restore_dns_config);
  TAKE(restore_routes);
  TAKE(restore_default_route);
  TAKE(setoriginalproxy_mac);
  TAKE(logout_vpn);
#undef TAKE
}

const vpn_dtor_ops& vpn_dtor_current_ops() { return ops; }

void vpn_dtor_reset_for_test() {
  vpnc_exit_reset_for_test();
  phase = PHASE_IDLE;
  first_handshake_failed = false;
  vpnc_forced_end_reset_for_test();
  interrupt_flag = 0;
  vpn_clear_flag = 0;
  reconnect_now = 0;
}

bool vpn_dtor_interrupted() { return interrupt_flag.load() != 0; }

int vpnc_handshake_begin() {
  if (interrupt_flag.load() != 0) return -1;
  if (pthread_mutex_trylock(&mutex) != 0) return -1;
  if (interrupt_flag.load() != 0 || vpn_clear_flag.load() != 0) {
    pthread_mutex_unlock(&mutex);
    return -1;
  }
  set_phase(PHASE_HANDSHAKE);
  return 0;
}

void vpnc_handshake_end(bool failed) {
  if (failed) first_handshake_failed = true;
  set_phase(PHASE_IDLE);
  pthread_mutex_unlock(&mutex);
}

int vpn_dtor_qn2(vpnc_session* s, int reconnect, int force, int* done) {
  if (force) {
    DLOG("Vpn interruptted flag has be set, it will force to destroy");
    interrupt_flag = 1;
  }
  DLOG("Vpn try to get mutex lock(%d)", reconnect);
  if (pthread_mutex_trylock(&mutex) != 0) {
    DLOG("Vpn get mutex lock(%d), someone has token it", reconnect);
    if (force) vpnc_note_forced_end();
    if (force && wake_for_forced_end(s))
      DLOG("Vpn connection in use is shut down to end it sooner");
    if (reconnect && reconnect_now.load() == 1) {
      DLOG("Someone is reconnecting now, current reconnect request is omitted");
      ops.sleep_seconds(10);
      return DTOR_RECONNECTING;
    }
    ops.sleep_seconds(10);
    *done = vpn_clear_flag.load();
    return DTOR_BUSY;
  }
  if (force && !first_handshake_failed.load()) vpnc_note_forced_end();
  if (reconnect) reconnect_now = 1;
  DLOG("Vpn destroy has got mutex lock, whether need reconnect %d", reconnect);
  if (vpn_clear_flag.load() == 1) {
    reconnect_now = 0;
    pthread_mutex_unlock(&mutex);
    *done = 1;
    DLOG("Vpn already has been cleared, no need call destroy");
    return DTOR_DESTROYED;
  }

  DLOG("will close vpn_session sock");
  // A relay read or keepalive write blocked on the connection holds the
  // connection lock: wake it first. Only holders of the controller's mutex
  // replace sockfd, so the descriptor cannot change under us.
  if (int fd = s->sockfd.load(); fd != -1) shutdown(fd, SHUT_RDWR);
  std::unique_lock<std::mutex> conn(g_conn_lock);
  // The socket goes now; a later TLS shutdown of this object must not write.
  tls_set_quiet(s->ssl);
  vpnc_close_sockfd(s);
  g_conn_generation.fetch_add(1);
  DLOG("finish close vpn session sock");

  if (reconnect) {
    set_phase(PHASE_RECONNECTING);
    DLOG("begin reonnecting vpn");
    // The old connection's objects are not used again.
    vpnc_release_tls(s);
    if (!ops.is_fulltunnel() || !ops.default_route_is_tun()) {
      DLOG("networks has been changed");
      ops.reconn_delete_route();
      ops.forknexec("/usr/sbin/arp -a -d", 0);
    }
    int attempt = 0;
    int result = -1;
    while (result == -1 && attempt < 12 && interrupt_flag.load() == 0) {
      s->state = 0;
      DLOG("vpn dtor reconnect begin %d time", attempt);
      result = ops.reconnect_attempt(s);
      if (result == -1) {
        DLOG("vpn dtor reconnect failed %d time", attempt);
        // A failed attempt may leave its TLS object; it must never write
        // into the descriptor number once the socket is gone.
        tls_set_quiet(s->ssl);
        vpnc_close_sockfd(s);
        vpnc_release_tls(s);
        ops.sleep_seconds(10);
      }
      ++attempt;
    }
    if (result == 0 && interrupt_flag.load() == 0) {
      g_conn_generation.fetch_add(1);
      relay_reset_carry_over();
      DLOG("Vpn destroy has release mutex lock in reconnection");
      reconnect_now = 0;
      DLOG("Vpn reconnection successful, no need to destroy vpn");
      if (!ops.is_fulltunnel() || !ops.default_route_is_tun()) {
        DLOG("Vpn reconnection successful, will set route again");
        int r = ops.reconnected_add_route(s);
        DLOG("reconnected_add_route return %d", r);
      }
      set_phase(PHASE_IDLE);
      conn.unlock();
      pthread_mutex_unlock(&mutex);
      *done = 0;
      return DTOR_RECONNECTED;
    }
    if (interrupt_flag.load() != 0)
      DLOG("Vpn reconnection is interruptted");
    else
      DLOG("Vpn reconnection failed and reach maximum times, destroy vpn now");
  }

  // Teardown. Its tools get bounds that keep it within its time as a whole;
  // a reconnection's repair above is not one: the tunnel may go on after it.
  set_phase(PHASE_TEARDOWN);
  const teardown_tool_bounds tool_bounds;
  if (s->ssl) tls_shutdown(s->ssl);  // quiet unless an interrupted last attempt left a live one
  vpnc_close_sockfd(s);
  if (m_pDisconnectCommandList) {
    if (ops.executeCommand(m_pDisconnectCommandList) == 0) DLOG("no disconnect commandlist");
  }
  g_thread_stop = 1;
  if (g_restore_hostmap == 1) {
    ops.restoreHostMap();
    g_restore_hostmap = 0;
  }
  if (ops.dns_config_is_kept()) ops.restore_dns_config();
  ops.restore_routes();
  ops.restore_default_route();
  std::memset(if_name_to_lum, 0, sizeof if_name_to_lum);
  relay_retire_tunfd(s->tunfd.exchange(-1));
  if (tundev_created != -1) {
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "/bin/rm -f /dev/tun%d", tundev_created);
    ops.forknexec(cmd, 0);
    tundev_created = -1;
  }
  if (!navtype_is(s, "commandline")) {
    // Waits for an inside-proxy installation under way and stops any later
    // one, so the mode read below covers every service that was switched.
    proxy_teardown_begin();
    if (s->proxy_mode.load() != 0) ops.setoriginalproxy_mac(s);
  } else {
    logout_watch watch(s);
    ops.logout_vpn(s);
  }
  std::memset(s->hostname, 0, sizeof s->hostname);
  // Before anyone can see the session cleared: this caller ends the process.
  vpnc_exit_reserve();
  vpn_clear_flag = 1;
  *done = 1;
  reconnect_now = 0;
  DLOG("Vpn destroy has release mutex lock");
  set_phase(PHASE_IDLE);
  conn.unlock();
  pthread_mutex_unlock(&mutex);
  return DTOR_DESTROYED;
}
