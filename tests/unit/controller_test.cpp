#include <fcntl.h>
#include <openssl/ssl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/session/controller.h"
#include "client/session/gateway_conn.h"
#include "client/vpn_globals.h"
#include "platform/child_run.h"
#include "tests/unit/retired_fd.h"

namespace {

// What the controller did, in order, from every thread.
struct Journal {
  std::mutex m;
  std::vector<std::string> calls;
  void add(const std::string& c) {
    std::lock_guard<std::mutex> lk(m);
    calls.push_back(c);
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> lk(m);
    return calls;
  }
  int count(const std::string& c) {
    std::lock_guard<std::mutex> lk(m);
    int n = 0;
    for (auto& x : calls) n += x == c;
    return n;
  }
  int index(const std::string& c) {
    std::lock_guard<std::mutex> lk(m);
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == c) return static_cast<int>(i);
    return -1;
  }
};
Journal* J;

// A gate a fake step waits at until the test opens it.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool open = false;
  void pass() {
    std::unique_lock<std::mutex> lk(m);
    entered = true;
    cv.notify_all();
    cv.wait_for(lk, std::chrono::seconds(20), [this] { return open; });
  }
  void wait_entered() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait_for(lk, std::chrono::seconds(20), [this] { return entered; });
  }
  void release() {
    std::lock_guard<std::mutex> lk(m);
    open = true;
    cv.notify_all();
  }
};

std::atomic<int> g_attempt_fail_count{0};  // attempts that fail before one succeeds; -1 never succeeds
std::atomic<int> g_attempts{0};
std::atomic<int> g_fulltunnel{0};
std::atomic<bool> g_default_in_tun{false};
Gate* g_attempt_gate = nullptr;
// Set: the fake step blocks reading the session's socket (up to the given
// time-out) and stores what the read answered.
std::atomic<int> g_block_attempt_ms{0};
std::atomic<int> g_block_logout_ms{0};
std::atomic<bool> g_blocked{false};
std::atomic<long> g_block_result{-2};
long block_on_socket(vpnc_session* s, int ms) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  s->sockfd = sv[0];
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  g_blocked = true;
  char b;
  long n = recv(sv[0], &b, 1, 0);
  close(sv[1]);
  return n;
}
Gate* g_restore_gate = nullptr;

vpn_dtor_ops fake_ops() {
  vpn_dtor_ops o{};
  o.sleep_seconds = [](unsigned s) {
    J->add("sleep" + std::to_string(s));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  o.reconnect_attempt = [](vpnc_session* s) {
    J->add("attempt state=" + std::to_string(s->state.load()));
    if (g_block_attempt_ms) {
      g_block_result = block_on_socket(s, g_block_attempt_ms);
      return -1;
    }
    int n = g_attempts.fetch_add(1);
    if (g_attempt_gate) g_attempt_gate->pass();
    // Each attempt leaves a socket behind, as a real one does.
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    close(sv[1]);
    s->sockfd = sv[0];
    // and a TLS object on it
    if (!s->ssl_ctx) s->ssl_ctx = SSL_CTX_new(TLS_client_method());
    s->ssl = SSL_new(s->ssl_ctx);
    SSL_set_fd(s->ssl, sv[0]);
    int fails = g_attempt_fail_count.load();
    if (fails < 0 || n < fails) return -1;
    s->state = 7;
    return 0;
  };
  o.is_fulltunnel = [] { return g_fulltunnel.load(); };
  o.default_route_is_tun = [] { return g_default_in_tun.load(); };
  o.reconn_delete_route = [] {
    J->add("reconn_delete_route");
    return 0;
  };
  o.reconnected_add_route = [](vpnc_session*) {
    J->add("reconnected_add_route");
    return 0;
  };
  o.forknexec = [](const char* cmd, int) {
    J->add(std::string("forknexec ") + cmd);
    return 0;
  };
  o.executeCommand = [](_VPN_COMMAND_LIST_*) {
    J->add("executeCommand");
    return 1;
  };
  o.restoreHostMap = [] {
    J->add("restoreHostMap");
    return 0;
  };
  o.dns_config_is_kept = [] { return true; };
  o.restore_dns_config = [] {
    J->add("restore_dns_config");
    return 0;
  };
  o.restore_routes = [] {
    if (g_restore_gate) g_restore_gate->pass();
    J->add("restore_routes");
  };
  o.restore_default_route = [] { J->add("restore_default_route"); };
  o.setoriginalproxy_mac = [](vpnc_session*) {
    J->add("setoriginalproxy_mac");
    return 0;
  };
  o.logout_vpn = [](vpnc_session* s) {
    J->add("logout_vpn");
    if (g_block_logout_ms) g_block_result = block_on_socket(s, g_block_logout_ms);
    return 0;
  };
  return o;
}

struct Controller : ::testing::Test {
  Journal journal;
  vpnc_session s;
  std::mutex log_m;
  std::vector<std::string> log;
  _VPN_COMMAND_LIST_* cmds = nullptr;

  void SetUp() override {
    J = &journal;
    vpn_dtor_reset_for_test();
    vpn_dtor_ops o = fake_ops();
    vpn_dtor_set_ops(&o);
    g_attempt_fail_count = 0;
    g_attempts = 0;
    g_fulltunnel = 0;
    g_default_in_tun = false;
    g_attempt_gate = nullptr;
    g_restore_gate = nullptr;
    g_block_attempt_ms = 0;
    g_block_logout_ms = 0;
    g_blocked = false;
    g_block_result = -2;
    vpnc_session_reset(&s);
    std::snprintf(s.navtype, sizeof s.navtype, "Safari");
    std::snprintf(s.hostname, sizeof s.hostname, "gw.test");
    vpn_log_set_sink([this](int, const char* l) {
      std::lock_guard<std::mutex> lk(log_m);
      log.emplace_back(l);
    });
  }
  void TearDown() override {
    vpn_log_set_sink(nullptr);
    vpn_dtor_set_ops(nullptr);
    vpn_dtor_reset_for_test();
    m_pDisconnectCommandList = nullptr;
    g_restore_hostmap = 0;
    g_thread_stop = 0;
    delete cmds;
    if (s.sockfd != -1) close(s.sockfd);
    SSL_free(s.ssl);
    SSL_CTX_free(s.ssl_ctx);
  }
  bool logged(const std::string& needle) {
    std::lock_guard<std::mutex> lk(log_m);
    for (auto& l : log)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  int give_socket() {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    s.sockfd = sv[0];
    return sv[1];
  }
};

}  // namespace

TEST_F(Controller, TeardownRunsEveryStepInOrder) {
  int peer = give_socket();
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  s.tunfd = p[0];
  s.proxy_mode = PROXYMODE_OUTSIDE;
  cmds = new _VPN_COMMAND_LIST_{};
  m_pDisconnectCommandList = cmds;
  g_restore_hostmap = 1;
  tundev_created = 3;
  std::snprintf(if_name_to_lum, sizeof if_name_to_lum, "en0");

  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 0, &done), DTOR_DESTROYED);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"executeCommand", "restoreHostMap", "restore_dns_config",
                                                     "restore_routes", "restore_default_route",
                                                     "forknexec /bin/rm -f /dev/tun3", "setoriginalproxy_mac"}));
  EXPECT_EQ(s.sockfd.load(), -1);
  EXPECT_EQ(s.tunfd.load(), -1);
  char b;
  EXPECT_EQ(recv(peer, &b, 1, MSG_DONTWAIT), 0);  // the gateway socket is closed (its number may be reused)
  EXPECT_EQ(retired_fd::parked_then_closed(p[0], p[1]), "");
  close(p[1]);
  EXPECT_EQ(s.hostname[0], '\0');
  EXPECT_EQ(if_name_to_lum[0], '\0');
  EXPECT_EQ(tundev_created, -1);
  EXPECT_EQ(g_thread_stop, 1);
  EXPECT_EQ(g_restore_hostmap, 0);
  EXPECT_TRUE(logged("vpn_version_control at "));
  EXPECT_TRUE(logged("function: vpn_dtor_qn2:Vpn destroy has release mutex lock"));
  close(p[1]);
  close(peer);

  // Cleared is final: a later call answers at once and does nothing.
  done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 1, &done), DTOR_DESTROYED);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(journal.get().size(), 7u);
  EXPECT_TRUE(logged("Vpn already has been cleared, no need call destroy"));
}

TEST_F(Controller, CommandlineSendsTheLogoutAndLeavesTheProxySettings) {
  std::snprintf(s.navtype, sizeof s.navtype, "commandline");
  s.proxy_mode = PROXYMODE_OUTSIDE;
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_DESTROYED);
  EXPECT_EQ(journal.count("logout_vpn"), 1);
  EXPECT_EQ(journal.count("setoriginalproxy_mac"), 0);
  EXPECT_TRUE(logged("Vpn interruptted flag has be set, it will force to destroy"));
}

TEST_F(Controller, SplitTunnelReconnectsAfterFailedAttempts) {
  int peer = give_socket();
  g_attempt_fail_count = 2;
  uint32_t gen = g_conn_generation.load();
  int done = 5;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 0, &done), DTOR_RECONNECTED);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(journal.get(),
            (std::vector<std::string>{"reconn_delete_route", "forknexec /usr/sbin/arp -a -d", "attempt state=0",
                                      "sleep10", "attempt state=0", "sleep10", "attempt state=0",
                                      "reconnected_add_route"}));
  EXPECT_EQ(g_conn_generation.load(), gen + 2);  // old one closed, new one in place
  EXPECT_NE(s.sockfd.load(), -1);
  EXPECT_TRUE(logged("vpn dtor reconnect failed 1 time"));
  EXPECT_TRUE(logged("Vpn reconnection successful, will set route again"));
  close(peer);
  // The controller is idle again, not cleared.
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 0, &done), DTOR_DESTROYED);
  EXPECT_EQ(journal.count("restore_routes"), 1);
}

TEST_F(Controller, FullTunnelStillInTheTunnelKeepsTheRoutes) {
  g_fulltunnel = 1;
  g_default_in_tun = true;
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 0, &done), DTOR_RECONNECTED);
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"attempt state=0"}));
}

TEST_F(Controller, TwelveFailedAttemptsThenTeardown) {
  g_attempt_fail_count = -1;
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 0, &done), DTOR_DESTROYED);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(g_attempts.load(), 12);
  EXPECT_EQ(journal.count("sleep10"), 12);
  EXPECT_EQ(s.sockfd.load(), -1);
  EXPECT_EQ(s.ssl, nullptr);  // each failed attempt's TLS object went with its socket
  EXPECT_TRUE(logged("Vpn reconnection failed and reach maximum times, destroy vpn now"));
  EXPECT_EQ(journal.count("restore_routes"), 1);
}

// While one thread reconnects: a second reconnect request is dropped, a plain
// call is busy, a forced call is busy and makes the reconnection tear down
// after its current attempt (even a successful one).
TEST_F(Controller, SecondCallersWhileReconnecting) {
  Gate gate;
  g_attempt_gate = &gate;
  int doneA = -9;
  int resultA = 99;
  std::thread a([&] { resultA = vpn_dtor_qn2(&s, 1, 0, &doneA); });
  gate.wait_entered();

  int doneB = 7, doneC = 5, doneD = 5;
  int rB = 99, rC = 99, rD = 99;
  std::thread b([&] { rB = vpn_dtor_qn2(&s, 1, 0, &doneB); });
  std::thread c([&] { rC = vpn_dtor_qn2(&s, 0, 0, &doneC); });
  b.join();
  c.join();
  std::thread d([&] { rD = vpn_dtor_qn2(&s, 0, 1, &doneD); });
  d.join();
  EXPECT_EQ(rB, DTOR_RECONNECTING);
  EXPECT_EQ(doneB, 7);  // unchanged
  EXPECT_EQ(rC, DTOR_BUSY);
  EXPECT_EQ(doneC, 0);
  EXPECT_EQ(rD, DTOR_BUSY);
  EXPECT_EQ(doneD, 0);
  EXPECT_TRUE(logged("Someone is reconnecting now, current reconnect request is omitted"));

  gate.release();
  a.join();
  EXPECT_EQ(resultA, DTOR_DESTROYED);
  EXPECT_EQ(doneA, 1);
  EXPECT_EQ(g_attempts.load(), 1);
  EXPECT_TRUE(logged("Vpn reconnection is interruptted"));
  EXPECT_EQ(s.sockfd.load(), -1);  // the new connection goes with the teardown
  EXPECT_EQ(journal.count("reconnected_add_route"), 0);

  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &doneD), DTOR_DESTROYED);
  EXPECT_EQ(doneD, 1);
}

TEST_F(Controller, CallersDuringATeardown) {
  Gate gate;
  g_restore_gate = &gate;
  int doneA = 0;
  std::thread a([&] { vpn_dtor_qn2(&s, 0, 0, &doneA); });
  gate.wait_entered();
  int doneB = 3, doneC = 3;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 0, &doneB), DTOR_BUSY);  // no reconnection is running
  EXPECT_EQ(doneB, 0);
  gate.release();
  a.join();
  EXPECT_EQ(doneA, 1);
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 0, &doneC), DTOR_DESTROYED);
  EXPECT_EQ(doneC, 1);
}

// A relay read blocked under the connection lock must not keep a teardown
// waiting: the controller wakes it before it takes the lock.
TEST_F(Controller, BlockedReadUnderTheConnectionLockIsWoken) {
  int peer = give_socket();
  std::atomic<bool> holding{false};
  std::atomic<long> got{-2};
  std::thread relay([&] {
    std::lock_guard<std::mutex> lk(g_conn_lock);
    int fd = s.sockfd;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    holding = true;
    char b;
    got = recv(fd, &b, 1, 0);
  });
  while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto t0 = std::chrono::steady_clock::now();
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_DESTROYED);
  relay.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(got.load(), 0);  // woken by the shutdown, not by the time-out
  close(peer);
}

// The first handshake holds the controller: a forced end asked for meanwhile
// stops it between states and the teardown runs only after it has let go.
namespace {
std::atomic<int> g_second_state_runs{0};
int first_state(vpnc_session* s) {
  for (int i = 0; i < 20000 && !vpn_dtor_interrupted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s->state = 1;
  return VPNC_STATE_NEXT;
}
int second_state(vpnc_session*) {
  g_second_state_runs++;
  return VPNC_STATE_DONE;
}
}  // namespace

TEST_F(Controller, ForcedEndDuringTheFirstHandshakeWaitsForIt) {
  std::atomic<int> handshake_result{99};
  std::atomic<bool> begun{false};
  std::thread main_thread([&] {
    ASSERT_EQ(vpnc_handshake_begin(), 0);
    begun = true;
    vpnc_state_entry t[3] = {{0, first_state, "A"}, {1, second_state, "B"}, {2, nullptr, "C"}};
    s.state = 0;
    handshake_result = vpnc_handshake_driver_rows(&s, t, 3, true);
    J->add("handshake ended");
    vpnc_handshake_end();
  });
  for (int i = 0; i < 5000 && !begun; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread signal_thread([&] {
    int result = -1, done = 0;
    for (int i = 0; i < 100 && result != DTOR_DESTROYED && done == 0; ++i) result = vpn_dtor_qn2(&s, 0, 1, &done);
    EXPECT_TRUE(result == DTOR_DESTROYED || done == 1);
  });
  main_thread.join();
  signal_thread.join();
  EXPECT_EQ(handshake_result.load(), -1);
  EXPECT_EQ(g_second_state_runs.load(), 0);
  EXPECT_LT(journal.index("handshake ended"), journal.index("restore_routes"));
  EXPECT_GE(journal.index("handshake ended"), 0);
}

// A reconnection attempt stalled on a silent gateway does not keep a forced
// end waiting: the forced caller shuts the connection in use down.
TEST_F(Controller, ForcedCallWakesAStalledReconnectionAttempt) {
  g_block_attempt_ms = 10000;
  int doneA = 0;
  int resultA = 99;
  std::thread a([&] { resultA = vpn_dtor_qn2(&s, 1, 0, &doneA); });
  while (!g_blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto t0 = std::chrono::steady_clock::now();
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_BUSY);
  a.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(g_block_result.load(), 0);  // woken, not timed out
  EXPECT_EQ(resultA, DTOR_DESTROYED);
  EXPECT_EQ(journal.count("attempt state=0"), 1);
  EXPECT_TRUE(logged("Vpn connection in use is shut down to end it sooner"));
  EXPECT_TRUE(logged("Vpn reconnection is interruptted"));
}

// A forced end bounds the logout: its connection is shut down once the
// bound after the first forced call has passed, whether another thread runs
// the teardown or the forced caller itself. The teardown of a failed first
// handshake is the one forced call that leaves its logout unbounded.
TEST_F(Controller, ForcedEndBoundsTheLogout) {
  struct Case {
    const char* name;
    bool failed_handshake;  // the teardown follows a failed first handshake
    bool second_caller;     // a further forced call comes during the logout
    bool cut;
  } cases[] = {
      {"forced call during another caller's teardown", false, true, true},
      {"forced caller runs the teardown itself", false, false, true},
      {"teardown of a failed first handshake", true, false, false},
      {"forced call during a failed handshake's teardown", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vpn_dtor_reset_for_test();
    std::snprintf(s.navtype, sizeof s.navtype, "commandline");
    set_logout_after_forced_end_ms(200);
    g_blocked = false;
    g_block_result = -2;
    g_block_logout_ms = c.cut ? 10000 : 1000;
    if (c.failed_handshake) {
      ASSERT_EQ(vpnc_handshake_begin(), 0);
      vpnc_handshake_end(true);
    }
    const auto t0 = std::chrono::steady_clock::now();
    int doneA = 0;
    // a failed reconnection's teardown is not forced; the others are
    const int force = c.failed_handshake || !c.second_caller ? 1 : 0;
    std::thread a([&] { vpn_dtor_qn2(&s, 0, force, &doneA); });
    if (c.second_caller) {
      while (!g_blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      int done = 0;
      EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_BUSY);
    }
    a.join();
    EXPECT_EQ(doneA, 1);
    EXPECT_EQ(logged("logout given up 0 s after the forced end"), c.cut);
    if (c.cut) {
      EXPECT_EQ(g_block_result.load(), 0);  // woken by the shutdown
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    } else {
      EXPECT_EQ(g_block_result.load(), -1);  // ran into its own time-out
    }
    std::lock_guard<std::mutex> lk(log_m);
    log.clear();
  }
  set_logout_after_forced_end_ms(kLogoutAfterForcedEndMs);
}

namespace {
int stalled_state(vpnc_session* s) {
  g_block_result = block_on_socket(s, 10000);
  return VPNC_STATE_FATAL;
}
}  // namespace

TEST_F(Controller, ForcedCallWakesAStalledFirstHandshake) {
  std::atomic<int> handshake_result{99};
  std::thread main_thread([&] {
    ASSERT_EQ(vpnc_handshake_begin(), 0);
    vpnc_state_entry t[2] = {{0, stalled_state, "A"}, {1, nullptr, "B"}};
    s.state = 0;
    handshake_result = vpnc_handshake_driver_rows(&s, t, 2, true);
    vpnc_handshake_end();
  });
  while (!g_blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_BUSY);
  main_thread.join();
  EXPECT_EQ(g_block_result.load(), 0);
  EXPECT_EQ(handshake_result.load(), -1);
  EXPECT_EQ(vpn_dtor_qn2(&s, 0, 1, &done), DTOR_DESTROYED);
}

namespace {
std::atomic<bool> g_echo_sent{false};
void exit_after_the_echo_hook(int status) { _exit(status == 5 && g_echo_sent ? 5 : 9); }
}  // namespace

// The thread whose call tore the session down ends the process, after what
// its caller still owes (the terminate request's echo). A thread that finds
// the session cleared meanwhile (the main loop after a relay failure) waits
// for it instead of ending the process before the echo went out.
TEST_F(Controller, TheTeardownsThreadEndsTheProcessAfterItsEcho) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vpnc_set_exit_hook(exit_after_the_echo_hook);
        std::atomic<bool> torn{false};
        std::thread worker([&] {
          int done = 0;
          while (vpn_dtor_qn2(&s, 0, 1, &done) != DTOR_DESTROYED) {
          }
          torn = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the echo takes its time
          g_echo_sent = true;
          vpnc_exit(5, "vpn_client", "worker", __LINE__, "way out of the teardown's thread");
        });
        while (!torn) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int done = 0;
        if (vpn_dtor_qn2(&s, 1, 0, &done) != DTOR_DESTROYED) _exit(8);
        vpnc_exit(6, "vpn_client", "main", __LINE__, "way out of a later caller");
      },
      ::testing::ExitedWithCode(5), "");
}

// The teardown's tool runs share their marks; the repair before the
// reconnection attempts is no teardown, and the marks end with it.
TEST_F(Controller, OnlyTheTeardownsToolRunsShareHungMarks) {
  static constexpr const char kDelete[] = "/sbin/route delete -net 10.99.0.0";
  static constexpr const char kAdd[] = "/sbin/route add -net 10.98.0.0";
  vpn_dtor_ops o = fake_ops();
  o.reconn_delete_route = [] {
    tool_run_ended(kDelete, kToolBoundMs, true);
    J->add("repair " + std::to_string(tool_run_bound(kAdd, kToolBoundMs)));
    return 0;
  };
  o.restore_routes = [] {
    J->add("routes " + std::to_string(tool_run_bound(kAdd, kToolBoundMs)));
    tool_run_ended(kDelete, kToolBoundMs, true);
  };
  o.restore_default_route = [] { J->add("default " + std::to_string(tool_run_bound(kAdd, kToolBoundMs))); };
  vpn_dtor_set_ops(&o);
  g_attempt_fail_count = -1;
  int done = 0;
  EXPECT_EQ(vpn_dtor_qn2(&s, 1, 0, &done), DTOR_DESTROYED);
  EXPECT_EQ(journal.count("repair 10000"), 1);
  EXPECT_EQ(journal.count("routes 10000"), 1);
  EXPECT_EQ(journal.count("default 1000"), 1);
  EXPECT_TRUE(logged("'/sbin/route' did not end within 10 s; its further runs in this teardown get short bounds"));
  EXPECT_EQ(tool_run_bound(kAdd, kToolBoundMs), kToolBoundMs);
}
