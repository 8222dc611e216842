// Start-up, signal handling and the main loop of the daemon.
#include "platform/fd_ops.h"
#include "client/vpn_client.h"

#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/launcher_channel.h"
#include "client/process_handler.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"
#include "platform/signals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
// Start-up's lines and exits carry the operation name "main".
#define MAIN_LOG(...) vpn_log(kLogModule, __LINE__, "main", __VA_ARGS__)
#define MAIN_EXIT(status, message) vpnc_exit((status), kLogModule, "main", __LINE__, (message))

sigset_t g_daemon_signals;

void* signal_thread(void*) {
  for (;;) {
    int signo = 0;
    if (sigwait(&g_daemon_signals, &signo) != 0) continue;
    sighandler(signo);
  }
  return nullptr;
}

// The terminating signals and the FIFO writers' signal are taken on one
// thread that never holds the controller's mutex; every other thread,
// created after this, inherits the blocked mask.
int start_signal_handling() {
  signal(SIGPIPE, SIG_IGN);  // a peer that has gone is an error, never the end
  vpnc_signal_set(&g_daemon_signals);
  if (pthread_sigmask(SIG_BLOCK, &g_daemon_signals, nullptr) != 0) return -1;
  // Blocked signals and an ignored SIGPIPE would pass through exec to every
  // tool and gateway command the daemon runs.
  pthread_atfork(nullptr, nullptr, vpnc_child_restore_signals);
  pthread_t tid;
  if (pthread_create(&tid, nullptr, signal_thread, nullptr) != 0) return -1;
  pthread_detach(tid);
  return 0;
}

void send_cmdline_reply(const char* text, std::size_t len, const char* failure_log) {
  int fd = connfd.load();
  if (fd == -1 || vpnc_send_nosignal(fd, text, len, 0) != static_cast<ssize_t>(len)) {
    MAIN_LOG("%s", failure_log);
  }
}

void start_thread(void* (*body)(void*), void* arg, const char* failure_log) {
  pthread_t tid;
  if (pthread_create(&tid, nullptr, body, arg) != 0) {
    MAIN_LOG("%s", failure_log);
    return;
  }
  pthread_detach(tid);
}

// The controller after a relay failure: reconnect, asking again while busy.
void handle_relay_failure(vpnc_session* s, const main_loop_ops& ops, const char* exit_message) {
  int done = 0;
  int result;
  do {
    result = ops.dtor(s, 1, 0, &done);
  } while (result == DTOR_BUSY);
  if (result == DTOR_DESTROYED) MAIN_EXIT(0, exit_message);
}

int serve(vpnc_session* s, uint32_t bit, const main_loop_ops& ops, const char* exit_message) {
  s->ready_flags = bit;
  if (ops.relay(s) == XFER_FAILED) handle_relay_failure(s, ops, exit_message);
  return bit == READY_TUN ? LOOP_SERVED_TUN : LOOP_SERVED_TUNNEL;
}

// Logged as the signal handler's own lines.
[[noreturn]] void end_on_signal(int signo) {
  vpn_log(kLogModule, __LINE__, "sighandler", "call vpnc_dtor:%d\n", signo);
  int result = -1;
  int done = 0;
  while (result != DTOR_DESTROYED && done == 0) result = vpnc_dtor(&session, 0, 1, &done);
  vpnc_exit(0, kLogModule, "sighandler", __LINE__, "Exsit vpn client daemon on signal");
}
}  // namespace

char g_absolute_bin_path[256];
std::atomic<int> detectrouteopen{0};

void sighandler(int signo) {
  if (signo == kSigStatsFifo) {
    pthread_t tid;
    if (pthread_create(&tid, nullptr, vpnc_writepipe, nullptr) == 0) {
      g_namedpipeid = tid;
      pthread_detach(tid);
    }
    return;
  }
  switch (signo) {
    case SIGTSTP:
      g_vpnExit.store(1);
      return;
    case SIGSYS:
      VPN_LOG("detectrouteopen = 1!");
      detectrouteopen.store(1);
      return;
    case SIGTERM:
    case SIGINT:
    case SIGQUIT:
    case SIGUSR1:
    case SIGUSR2:
      end_on_signal(signo);
    default:
      // Signals that would end the process by default (a closed terminal's
      // SIGHUP above all) end it through the same teardown; the real-time
      // ones are taken and ignored.
      if (vpnc_signal_ends_by_default(signo)) end_on_signal(signo);
      return;
  }
}

int parse_parameter(int, char** argv) {
  char resolved[PATH_MAX] = {};
  const char* dir = ".";
  if (argv != nullptr && argv[0] != nullptr && realpath(argv[0], resolved) != nullptr)
    dir = dirname(resolved);
  snprintf(g_absolute_bin_path, sizeof g_absolute_bin_path, "%s", dir);
  VPN_LOG("bin path:%s", g_absolute_bin_path);
  return 0;
}

main_loop_ops default_main_loop_ops() {
  return main_loop_ops{vpnc_data_transfer, vpnc_dtor, 3000, relay_tls_pending, relay_note_generation};
}

int vpnc_main_loop_pass(vpnc_session* s, main_loop_state* st, const main_loop_ops& ops) {
  // The pass before this one has ended: no relay call holds a number now.
  relay_close_retired_tunfds();
  // Before the descriptors: a connection put in place after this is never
  // taken for the one the wait looks at.
  if (ops.note_generation != nullptr) ops.note_generation();
  const int sock = s->sockfd.load();
  const int tun = s->tunfd.load();
  fd_set rset;
  FD_ZERO(&rset);
  int maxfd = -1;
  const bool watch_sock = sock != -1 && sock < FD_SETSIZE && s->state.load() > 6;
  const bool watch_tun = tun != -1 && tun < FD_SETSIZE;
  if (watch_sock) {
    FD_SET(sock, &rset);
    maxfd = sock;
  }
  if (watch_tun) {
    FD_SET(tun, &rset);
    if (tun > maxfd) maxfd = tun;
  }
  // Bytes the TLS library already holds (packets that came with the last
  // configuration record, records read ahead) count as a readable gateway
  // without waiting.
  const bool tls_buffered = watch_sock && ops.tls_pending != nullptr && ops.tls_pending();
  timeval tv{};
  tv.tv_sec = tls_buffered ? 0 : ops.timeout_ms / 1000;
  tv.tv_usec = tls_buffered ? 0 : (ops.timeout_ms % 1000) * 1000;
  const int n = select(maxfd + 1, &rset, nullptr, nullptr, &tv);
  if (n < 0 || (n == 0 && !tls_buffered)) return LOOP_SERVED_NONE;
  if (n == 0) FD_ZERO(&rset);

  // A descriptor replaced while we waited (a reconnection on another thread)
  // is not the one the wait reported on.
  const bool tun_ready = watch_tun && s->tunfd.load() == tun && FD_ISSET(tun, &rset);
  const bool sock_ready =
      watch_sock && s->sockfd.load() == sock && (tls_buffered || FD_ISSET(sock, &rset));

  if (sock_ready && (st->tunnel_deferred || !tun_ready)) {
    st->tunnel_deferred = false;
    return serve(s, READY_TUNNEL, ops, "Exsit vpn client daemon error tunnel data");
  }
  st->tunnel_deferred = sock_ready;
  if (tun_ready) return serve(s, READY_TUN, ops, "Exsit vpn client daemon error local data");
  return LOOP_SERVED_NONE;
}

void vpnc_main_loop(vpnc_session* s) {
  main_loop_state st;
  const main_loop_ops ops = default_main_loop_ops();
  for (;;) vpnc_main_loop_pass(s, &st, ops);
}

int vpnc_main(int argc, char** argv) {
  // Whoever started the daemon chose its umask; every file it makes, and
  // every file its children make, is made under this one instead.
  umask(022);
  vpnc_session_reset(&session);
  session.version_index = 2;
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
    std::printf("VPNC2_1_0_54\n");
    return 0;
  }

  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(&mutex, &attr);
  pthread_mutexattr_destroy(&attr);

  if (start_signal_handling() != 0) MAIN_EXIT(0, "Create signal thread failed.");
  parse_parameter(argc, argv);
  initial_network_config();
  read_launcher_config(&session);

  if (initial_process_handler(session.version_index) == -1)
    MAIN_EXIT(255, "initial process handler failed\n");

  session.state = 0;
  if (vpnc_handshake_driver(&session, vpnc_handshake_states) != 0) {
    if (navtype_is(&session, "commandline")) {
      send_cmdline_reply(kConnectFail, sizeof kConnectFail, "Failed to send fail response to cmdline");
    }
    // Like every forced caller: until the controller reports the session
    // torn down, never exit half torn down after a busy answer.
    int result = -1;
    int done = 0;
    while (result != DTOR_DESTROYED && done == 0) result = vpnc_dtor(&session, 0, 1, &done);
    MAIN_EXIT(0, "Exsit vpn client daemon main start");
  }

  if (navtype_is(&session, "commandline")) {
    send_cmdline_reply(kConnectOk, sizeof kConnectOk, "Failed to ok response to cmdline");
  }
  timeval now{};
  gettimeofday(&now, nullptr);
  g_starttick.store(now.tv_sec);

  const bool cmdline = navtype_is(&session, "commandline");
  start_thread(keepalive_thread, nullptr, "Create keepalive thread failed.");
  if (!cmdline) start_thread(sub_socket_listen_thread, nullptr, "Create sub socket listen thread failed.");
  if (!cmdline) start_thread(main_socket_listen_thread, nullptr, "Create main socket listen failed.");
  if (!cmdline && !navtype_is(&session, "standalone")) {
    start_thread(browser_closed_or_not, session.navtype, "Create browser closed or not thread failed.");
  }
  if (!cmdline)
    start_thread(inside_proxy_download_thread, nullptr, "Create inside proxy download thread failed.");
  vpnc_main_loop(&session);
}
