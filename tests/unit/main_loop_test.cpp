#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "client/config_store.h"
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

namespace {
int g_launcher_side = -1;

// What the launcher sees by the time the process would end: the reply sent
// before, then the end of the connection.
void launcher_sees_the_end_hook(int) {
  if (connfd.load() != -1) _exit(9);
  timeval tv{};
  tv.tv_sec = 30;
  setsockopt(g_launcher_side, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char reply[5] = {};
  if (recv(g_launcher_side, reply, 4, MSG_WAITALL) != 4 || std::strcmp(reply, "DONE") != 0) _exit(3);
  char more;
  _exit(recv(g_launcher_side, &more, 1, 0) == 0 ? 0 : 4);
}

// The state of thread `tid` is "in recvfrom()" (read from /proc: no
// synchronisation with that thread that a race detector would see).
bool in_recv(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  long nr = -1;
  const bool ok = std::fscanf(f, "%ld", &nr) == 1 && nr == SYS_recvfrom;
  std::fclose(f);
  return ok;
}

void exit_while_the_launcher_thread_reads() {
  log_to_stderr();
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) _exit(8);
  g_launcher_side = sv[1];
  connfd = sv[0];
  if (send(sv[0], "DONE", 4, MSG_NOSIGNAL) != 4) _exit(8);
  static _VPN_NETWORK_HEADER_ header{};
  m_pNetConfigFlag = &header;
  static std::atomic<pid_t> reader_tid{0};
  std::thread reader([] {
    reader_tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
    main_socket_listen_thread(nullptr);
  });
  reader.detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!in_recv(reader_tid.load(std::memory_order_relaxed))) {
    if (std::chrono::steady_clock::now() > deadline) _exit(7);
    usleep(1000);
  }
  vpnc_set_exit_hook(launcher_sees_the_end_hook);
  VPNC_EXIT(0, "way out while the launcher thread reads");
}
}  // namespace

// The exit path ends the launcher connection that a launcher thread is
// blocked reading: the launcher sees the end at once, and the descriptor is
// not taken from under the reader (a race detector build reports that).
TEST(ExitRoutine, LauncherConnectionEndsUnderABlockedReader) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit_while_the_launcher_thread_reads(), ::testing::ExitedWithCode(0),
              "way out while the launcher thread reads");
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
