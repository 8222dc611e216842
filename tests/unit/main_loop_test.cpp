#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/vpn_client.h"
#include "client/vpn_globals.h"

namespace {
std::vector<uint32_t> g_relay_calls;  // ready_flags seen by each relay call
int g_relay_result = XFER_OK;
std::vector<int> g_dtor_script;  // answers of the fake controller, in order
std::vector<std::pair<int, int>> g_dtor_args;

int fake_relay(vpnc_session* s) {
  g_relay_calls.push_back(s->ready_flags);
  s->ready_flags = 0;
  return g_relay_result;
}
int fake_dtor(vpnc_session*, int reconnect, int force, int* done) {
  g_dtor_args.emplace_back(reconnect, force);
  int r = g_dtor_script.empty() ? DTOR_RECONNECTED : g_dtor_script.front();
  if (!g_dtor_script.empty()) g_dtor_script.erase(g_dtor_script.begin());
  if (r == DTOR_DESTROYED) *done = 1;
  return r;
}

// Two pipes standing for the gateway socket and the utun device; the fake
// relay reads nothing, so a side that has data stays readable.
class MainLoop : public ::testing::Test {
 protected:
  int gw[2] = {-1, -1};
  int tun[2] = {-1, -1};
  vpnc_session s;
  main_loop_state st;
  main_loop_ops ops{fake_relay, fake_dtor, 50};

  void SetUp() override {
    ASSERT_EQ(pipe2(gw, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(tun, O_CLOEXEC), 0);
    vpnc_session_reset(&s);
    s.sockfd = gw[0];
    s.tunfd = tun[0];
    s.state = 7;
    g_relay_calls.clear();
    g_relay_result = XFER_OK;
    g_dtor_script.clear();
    g_dtor_args.clear();
  }
  void TearDown() override {
    for (int fd : {gw[0], gw[1], tun[0], tun[1]}) close(fd);
  }
  static void make_ready(int wfd) { ASSERT_EQ(write(wfd, "x", 1), 1); }
  int pass() { return vpnc_main_loop_pass(&s, &st, ops); }
};
}  // namespace

TEST_F(MainLoop, BothReadyAlternateOneSidePerPass) {
  make_ready(gw[1]);
  make_ready(tun[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);  // deferred gateway goes first
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);
  EXPECT_EQ(g_relay_calls, (std::vector<uint32_t>{READY_TUN, READY_TUNNEL, READY_TUN, READY_TUNNEL}));
}

TEST_F(MainLoop, SingleSideServedEveryPass) {
  make_ready(tun[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  char c;
  ASSERT_EQ(read(tun[0], &c, 1), 1);
  make_ready(gw[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);
}

TEST_F(MainLoop, GatewayWatchedOnlyPastTheConfigurationExchange) {
  make_ready(gw[1]);
  s.state = 6;
  EXPECT_EQ(pass(), LOOP_SERVED_NONE);
  make_ready(tun[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);  // no deferral: the gateway was not watched
  s.state = 7;
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);
}

TEST_F(MainLoop, ClosedDescriptorsAreNotWatched) {
  make_ready(gw[1]);
  make_ready(tun[1]);
  s.sockfd = -1;
  s.tunfd = -1;
  EXPECT_EQ(pass(), LOOP_SERVED_NONE);  // waits the timeout
  EXPECT_TRUE(g_relay_calls.empty());
}

TEST_F(MainLoop, DescriptorZeroIsAnOrdinaryDescriptor) {
  int saved = dup(0);
  ASSERT_NE(saved, -1);
  ASSERT_EQ(dup2(tun[0], 0), 0);
  s.tunfd = 0;
  make_ready(tun[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  dup2(saved, 0);
  close(saved);
}

TEST_F(MainLoop, RelayFailureAsksAgainWhileBusyThenGoesOn) {
  make_ready(tun[1]);
  g_relay_result = XFER_FAILED;
  g_dtor_script = {DTOR_BUSY, DTOR_BUSY, DTOR_RECONNECTING};
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(g_dtor_args, (std::vector<std::pair<int, int>>(3, {1, 0})));
  g_dtor_script = {DTOR_RECONNECTED};
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  EXPECT_EQ(g_dtor_args.size(), 4u);
}

namespace {
void log_to_stderr() {
  vpn_log_set_sink([](int, const char* l) { std::fprintf(stderr, "%s\n", l); });
}
}  // namespace

TEST_F(MainLoop, RelayFailureTornDownExitsZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  make_ready(gw[1]);
  g_relay_result = XFER_FAILED;
  g_dtor_script = {DTOR_BUSY, DTOR_DESTROYED};
  EXPECT_EXIT(
      {
        log_to_stderr();
        pass();
      },
      ::testing::ExitedWithCode(0), "Exsit vpn client daemon error tunnel data");
}

namespace {
constexpr const char kLogModule[] = "vpn_client";
std::atomic<bool> g_first_in_hook{false};

void slow_exit_hook(int status) {
  g_first_in_hook = true;
  // The launcher sockets are closed before the process ends.
  if (connfd.load() != -1 || sockfdctl.load() != -1) _exit(9);
  // A second caller that got this far would end the process first.
  if (status == 5) usleep(300 * 1000);
  _exit(status);
}

void two_callers() {
  log_to_stderr();
  int p[2];
  if (pipe(p) != 0) _exit(8);
  connfd = p[0];
  sockfdctl = p[1];
  vpnc_set_exit_hook(slow_exit_hook);
  std::thread first([] { VPNC_EXIT(5, "first way out"); });
  while (!g_first_in_hook) usleep(1000);
  VPNC_EXIT(6, "second way out");  // must wait for the first
}
}  // namespace

TEST(ExitRoutine, FirstCallerEndsTheProcessLaterCallersWait) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(two_callers(), ::testing::ExitedWithCode(5), "first way out");
}

TEST_F(MainLoop, BytesHeldByTheTlsLibraryAreServedWithoutWaiting) {
  static bool pending;
  ops.tls_pending = [] { return pending; };
  ops.timeout_ms = 3000;
  pending = true;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);  // the socket itself has nothing
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  s.state = 6;  // before the exchange is over the gateway side is not watched
  make_ready(tun[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUN);
  pending = false;
}

// The connection is noted before the descriptors are read: a connection put
// in place right after the note is the one the wait looks at, never one the
// note did not see.
TEST_F(MainLoop, ConnectionNotedBeforeTheDescriptorsAreRead) {
  static vpnc_session* sess;
  static int new_sock;
  static int notes;
  sess = &s;
  new_sock = gw[0];
  notes = 0;
  s.sockfd = -1;
  ops.note_generation = [] {
    ++notes;
    sess->sockfd = new_sock;  // a reconnection finishing right after the note
  };
  make_ready(gw[1]);
  EXPECT_EQ(pass(), LOOP_SERVED_TUNNEL);
  EXPECT_EQ(notes, 1);
}
