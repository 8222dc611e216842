// The destroy-and-reconnect controller and what other modules need of it.
#pragma once
#include <atomic>
#include <cstdint>

#include "client/config_store.h"
#include "client/session.h"

// Grows whenever the controller closes the gateway connection or puts a new
// one in place. The main loop notes it before its wait; the relay does not
// serve a readiness noted under an older number.
extern std::atomic<uint32_t> g_conn_generation;

// Called under g_conn_lock on the reconnecting thread once a new connection
// is in place: bytes kept from the old connection must be dropped. The relay
// module defines it; the default does nothing.
void relay_reset_carry_over();

// True once a forced call was made (never cleared).
bool vpn_dtor_interrupted();

// The first handshake holds the controller's mutex so that a forced teardown
// cannot restore the host while the handshake still changes it. The driver
// calls these itself for vpnc_handshake_states. begin: 0 when held; -1 when
// the controller is busy or a forced end was asked for. end(failed): a
// failed first handshake's own teardown does not count as a forced end for
// its logout, which keeps all of its attempts.
int vpnc_handshake_begin();
void vpnc_handshake_end(bool failed = false);

// Host state owned by other modules that the teardown reads.
extern char if_name_to_lum[16];
// Unit N of the /dev/tunN node the legacy tun device made; -1: none.
extern int tundev_created;

// Test seam: every outside step the controller takes. Null members use the
// real operation.
struct vpn_dtor_ops {
  void (*sleep_seconds)(unsigned secs);
  int (*reconnect_attempt)(vpnc_session* s);  // the reconnection state table
  int (*is_fulltunnel)();
  bool (*default_route_is_tun)();
  int (*reconn_delete_route)();
  int (*reconnected_add_route)(vpnc_session* s);
  int (*forknexec)(const char* cmd, int secs);
  int (*executeCommand)(_VPN_COMMAND_LIST_* list);
  int (*restoreHostMap)();
  bool (*dns_config_is_kept)();
  int (*restore_dns_config)();
  void (*restore_routes)();
  void (*restore_default_route)();
  int (*setoriginalproxy_mac)(vpnc_session* s);
  int (*logout_vpn)(vpnc_session* s);
};
void vpn_dtor_set_ops(const vpn_dtor_ops* ops);
// The steps in use (the generation-1 teardown runs the same ones).
const vpn_dtor_ops& vpn_dtor_current_ops();
// Unit tests only: back to the idle, not-cleared state.
void vpn_dtor_reset_for_test();
