// The daemon's entry: start-up, signal thread and main loop.
#pragma once
#include <pthread.h>

#include <atomic>

#include "client/session.h"

extern char g_absolute_bin_path[256];
extern std::atomic<int> detectrouteopen;

int vpnc_main(int argc, char** argv);
int parse_parameter(int argc, char** argv);
// Runs on the dedicated signal thread only (never in signal context).
void sighandler(int signo);

// One pass of the main loop, with the relay and the controller as seams.
struct main_loop_ops {
  int (*relay)(vpnc_session*);
  int (*dtor)(vpnc_session*, int reconnect, int force, int* done);
  int timeout_ms;
  // True when the TLS library already holds bytes of the connection, which
  // select() cannot see; null: not asked.
  bool (*tls_pending)() = nullptr;
  // Called first in each pass, before the descriptors are read for the
  // wait: the relay notes which connection is in place. Null: not called.
  void (*note_generation)() = nullptr;
};
main_loop_ops default_main_loop_ops();

struct main_loop_state {
  // The gateway was readable but the pass served the utun side; the next
  // pass serves the gateway first so steady outbound traffic cannot starve it.
  bool tunnel_deferred = false;
};

enum : int { LOOP_SERVED_NONE = 0, LOOP_SERVED_TUN = 1, LOOP_SERVED_TUNNEL = 2 };
int vpnc_main_loop_pass(vpnc_session* s, main_loop_state* st, const main_loop_ops& ops);
[[noreturn]] void vpnc_main_loop(vpnc_session* s);
