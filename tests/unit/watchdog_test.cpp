#include "client/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/process_handler.h"
#include "client/vpn_globals.h"
#include "platform/power.h"
#include "tests/unit/log_capture.h"

namespace {

constexpr int64_t kStart = 1'000'000;

// A simulated world for the watchdogs: a wall clock that only sleeps move,
// a gateway that may answer each keepalive, a scripted controller and a
// scripted browser command.
struct World {
  int64_t now = kStart;
  // Seconds after each keepalive at which the gateway answers; none: silent.
  std::optional<int64_t> answer_after;
  // Receipt stamps (relative to g_starttick) that show up once the clock
  // reaches `when` (absolute).
  struct Receipt {
    int64_t when;
    int64_t stamp;
  };
  std::vector<Receipt> receipts;
  std::vector<int64_t> keepalives;  // elapsed second of each write
  std::vector<std::string> packets;
  bool lock_held_in_write = true;
  int write_result = 20;

  struct DtorCall {
    int64_t elapsed;
    int reconnect;
    int force;
  };
  std::vector<DtorCall> dtor_calls;
  std::deque<int> dtor_results;  // empty: DTOR_RECONNECTED
  int fulltunnel = 0;
  std::deque<bool> route_in_tun;  // empty: true
  int route_probes = 0;

  struct Reply {
    int result;
    const char* text;
  };
  std::deque<Reply> replies;
  std::vector<std::string> commands;
  std::vector<std::string> events;  // "cmd" and "sleep N", in order
  bool replies_ran_out = false;

  int64_t elapsed() const { return now - kStart; }
  void deliver() {
    for (auto it = receipts.begin(); it != receipts.end();) {
      if (it->when <= now) {
        g_lasttunnelrecv = it->stamp;
        it = receipts.erase(it);
      } else {
        ++it;
      }
    }
  }
};
World* W;

int64_t fake_now() { return W->now; }
void fake_sleep(unsigned secs) {
  W->events.push_back("sleep " + std::to_string(secs));
  W->now += secs;
  W->deliver();
}
int fake_write(const void* buf, int len) {
  // The connection lock is held: another thread cannot take it now.
  auto other = std::async(std::launch::async, [] {
    if (!g_conn_lock.try_lock()) return true;
    g_conn_lock.unlock();
    return false;
  });
  W->lock_held_in_write = W->lock_held_in_write && other.get();
  W->keepalives.push_back(W->elapsed());
  W->packets.emplace_back(static_cast<const char*>(buf), static_cast<std::size_t>(len));
  if (W->answer_after) W->receipts.push_back({W->now + *W->answer_after, W->elapsed() + *W->answer_after});
  W->deliver();
  return W->write_result;
}
int fake_dtor(vpnc_session* s, int reconnect, int force, int* done) {
  EXPECT_EQ(s, &session);
  W->dtor_calls.push_back({W->elapsed(), reconnect, force});
  int r = DTOR_RECONNECTED;
  if (!W->dtor_results.empty()) {
    r = W->dtor_results.front();
    W->dtor_results.pop_front();
  }
  *done = r == DTOR_DESTROYED;
  return r;
}
int fake_fulltunnel() { return W->fulltunnel; }
bool fake_route_in_tun() {
  ++W->route_probes;
  if (W->route_in_tun.empty()) return true;
  bool v = W->route_in_tun.front();
  W->route_in_tun.pop_front();
  return v;
}
int fake_read_line(const char* cmd, char* line, std::size_t size) {
  W->commands.emplace_back(cmd);
  W->events.push_back("cmd");
  if (W->replies.empty()) {
    // Ends any loop that asks more than the script holds.
    W->replies_ran_out = true;
    std::snprintf(line, size, "0\n");
    return 1;
  }
  World::Reply r = W->replies.front();
  W->replies.pop_front();
  if (r.result == 1) std::snprintf(line, size, "%s", r.text);
  return r.result;
}

const watchdog_ops kFakeOps = {fake_now,   fake_sleep,       fake_write,        fake_dtor,
                               fake_fulltunnel, fake_route_in_tun, fake_read_line};

class Watchdog : public ::testing::Test {
 protected:
  World world;
  _VPN_COMMON_HEADER_ header{};
  _VPN_COMMON_HEADER_* saved_header = nullptr;

  void SetUp() override {
    W = &world;
    watchdog_set_ops(&kFakeOps);
    saved_header = m_pCommonCfg;
    m_pCommonCfg = &header;
    g_starttick = kStart;
    g_lasttunnelrecv = 0;
    g_lastkeepalive = 0;
  }
  void TearDown() override {
    watchdog_set_ops(nullptr);
    m_pCommonCfg = saved_header;
    g_starttick = 0;
    g_lasttunnelrecv = 0;
    g_lastkeepalive = 0;
    W = nullptr;
  }

  // Runs passes until the simulated clock reaches `until` seconds after
  // the tunnel came up; false when a pass asked to end the process.
  bool run_until(keepalive_state* st, int64_t until) {
    for (int passes = 0; world.elapsed() < until; ++passes) {
      if (passes > 100000) {
        ADD_FAILURE() << "no progress of the clock";
        return true;
      }
      if (!keepalive_pass(st)) return false;
    }
    return true;
  }
  keepalive_state start(uint32_t interval) {
    header.keepalive_interval = interval;
    return keepalive_begin();
  }
};

std::string miss_line(int n) {
  return "keepalive_thread:Detected diconnected, sending keepalive no response " + std::to_string(n) +
         " times.";
}

TEST_F(Watchdog, IntervalZeroMeansTwoMinutesOfSilence) {
  keepalive_state st = start(0);
  EXPECT_EQ(st.interval, 120u);
  ASSERT_TRUE(run_until(&st, 125));
  ASSERT_EQ(world.keepalives.size(), 1u);
  EXPECT_EQ(world.keepalives[0], 121);
  EXPECT_EQ(world.packets[0], std::string("\x45\x00\x00\x14\x00\x00\x00\x00\x00\xff\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00", 20));
  EXPECT_TRUE(world.lock_held_in_write);
}

TEST_F(Watchdog, SilentGatewayFourKeepalivesThenReconnection) {
  LogCapture log;
  keepalive_state st = start(30);
  ASSERT_TRUE(run_until(&st, 140));
  EXPECT_EQ(world.keepalives, (std::vector<int64_t>{31, 62, 93, 124}));
  ASSERT_EQ(world.dtor_calls.size(), 1u);
  EXPECT_EQ(world.dtor_calls[0].elapsed, 129);
  EXPECT_EQ(world.dtor_calls[0].reconnect, 1);
  EXPECT_EQ(world.dtor_calls[0].force, 0);
  // 1, 2, 3, the request, then 0 once the tunnel is back
  std::vector<std::string> seen;
  for (const auto& l : log.lines)
    if (l.find("Detected diconnected") != std::string::npos) seen.push_back(l.substr(l.find("keepalive_thread:")));
  EXPECT_EQ(seen, (std::vector<std::string>{miss_line(1), miss_line(2), miss_line(3),
                                            "keepalive_thread:Detected diconnected, disconnect vpn now.",
                                            miss_line(0)}));
  EXPECT_EQ(world.route_probes, 0);  // split tunnel: the route is never probed
}

TEST_F(Watchdog, AnswersWithinFiveSecondsKeepTheCounterAtZero) {
  for (int64_t delay : {0, 3, 5}) {
    SCOPED_TRACE(delay);
    World fresh;
    world = fresh;
    g_lasttunnelrecv = 0;
    g_lastkeepalive = 0;
    world.answer_after = delay;
    LogCapture log;
    keepalive_state st = start(30);
    ASSERT_TRUE(run_until(&st, 400));
    EXPECT_GE(world.keepalives.size(), 8u);
    EXPECT_EQ(st.misses, 0);
    EXPECT_FALSE(log.has("Detected diconnected"));
    EXPECT_TRUE(world.dtor_calls.empty());
  }
}

// Where the last receipt is stamped, relative to the keepalive, decides
// whether it counts as the answer.
TEST_F(Watchdog, AnswerWindowBounds) {
  struct Case {
    int64_t stamp_offset;
    bool answered;
  } cases[] = {{-30, true}, {-31, false}, {0, true}, {5, true}, {6, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stamp_offset);
    keepalive_state st = start(30);
    g_lastkeepalive = 0;
    g_lasttunnelrecv = 0;
    world.now = kStart + 100;
    // The stamp lands while the keepalive is written: the wait cannot hide it.
    world.answer_after.reset();
    world.receipts = {{world.now, 100 + c.stamp_offset}};
    const size_t before = world.keepalives.size();
    ASSERT_TRUE(keepalive_pass(&st));
    ASSERT_EQ(world.keepalives.size(), before + 1);
    EXPECT_EQ(st.misses, c.answered ? 0 : 1);
  }
}

TEST_F(Watchdog, ClockSetBackCountsAsSilence) {
  keepalive_state st = start(30);
  world.now = kStart + 10;
  g_lasttunnelrecv = 9;
  ASSERT_TRUE(keepalive_pass(&st));
  EXPECT_TRUE(world.keepalives.empty());
  world.now = kStart - 3600;  // the wall clock went back an hour
  ASSERT_TRUE(keepalive_pass(&st));
  ASSERT_EQ(world.keepalives.size(), 1u);
  EXPECT_EQ(world.keepalives[0], -3600);
}

TEST_F(Watchdog, FailedWriteIsLoggedAndCountsAsAMiss) {
  LogCapture log;
  world.write_result = -1;
  keepalive_state st = start(30);
  ASSERT_TRUE(run_until(&st, 40));
  EXPECT_EQ(log.count("keepalive_thread:Send keepalive failed."), 1u);
  EXPECT_EQ(st.misses, 1);
}

TEST_F(Watchdog, MissPathControllerResults) {
  struct Case {
    std::deque<int> results;
    size_t calls;
    bool goes_on;
    bool abandons;
  } cases[] = {
      {{DTOR_RECONNECTED}, 1, true, false},
      {{DTOR_BUSY, DTOR_BUSY, DTOR_RECONNECTED}, 3, true, false},
      {{DTOR_RECONNECTING}, 1, true, true},
      {{DTOR_BUSY, DTOR_DESTROYED}, 2, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    LogCapture log;
    keepalive_state st = start(30);
    st.misses = 3;
    world.dtor_calls.clear();
    world.dtor_results = c.results;
    world.now = kStart + 500;
    g_lasttunnelrecv = 0;
    g_lastkeepalive = 0;
    EXPECT_EQ(keepalive_pass(&st), c.goes_on);
    EXPECT_EQ(world.dtor_calls.size(), c.calls);
    EXPECT_EQ(log.has("Someone is reconnecting now, keepalive abandon reconnection try"), c.abandons);
    if (c.goes_on) {
      EXPECT_EQ(st.misses, 0);
      EXPECT_TRUE(log.has(miss_line(0)));
    }
  }
}

TEST_F(Watchdog, DefaultRouteWatchControllerResults) {
  struct Case {
    int result;
    bool goes_on;
    int misses_after;
    bool abandons;
  } cases[] = {
      {DTOR_RECONNECTED, true, 0, false},
      {DTOR_RECONNECTING, true, 2, true},
      {DTOR_BUSY, true, 2, false},
      {DTOR_DESTROYED, false, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    LogCapture log;
    keepalive_state st = start(30);
    st.misses = 2;
    world.fulltunnel = 1;
    world.route_in_tun = {false, false};
    world.dtor_calls.clear();
    world.dtor_results = {c.result};
    world.events.clear();
    world.now = kStart + 10;
    g_lasttunnelrecv = 10;  // not silent: no keepalive in this pass
    EXPECT_EQ(keepalive_pass(&st), c.goes_on);
    // asked once, after a 2-second pause, never repeated while busy
    ASSERT_EQ(world.dtor_calls.size(), 1u);
    EXPECT_EQ(world.dtor_calls[0].reconnect, 1);
    EXPECT_EQ(world.dtor_calls[0].force, 0);
    ASSERT_FALSE(world.events.empty());
    EXPECT_EQ(world.events[0], "sleep 2");
    EXPECT_EQ(st.misses, c.misses_after);
    EXPECT_EQ(log.has("Someone is reconnecting now, keepalive abandon reconnection try"), c.abandons);
  }
}

TEST_F(Watchdog, DefaultRouteBackInTheTunnelAfterThePauseAsksForNothing) {
  // A reconnection on another thread replaced the device and set the routes
  // again while the watch paused.
  keepalive_state st = start(30);
  world.fulltunnel = 1;
  world.route_in_tun = {false, true};
  world.now = kStart + 10;
  g_lasttunnelrecv = 10;
  EXPECT_TRUE(keepalive_pass(&st));
  EXPECT_EQ(world.route_probes, 2);
  EXPECT_TRUE(world.dtor_calls.empty());
  ASSERT_FALSE(world.events.empty());
  EXPECT_EQ(world.events[0], "sleep 2");
}

TEST_F(Watchdog, DefaultRouteInTunnelIsProbedEveryPassAndLeftAlone) {
  keepalive_state st = start(30);
  world.fulltunnel = 1;
  ASSERT_TRUE(run_until(&st, 20));
  EXPECT_GE(world.route_probes, 19);
  EXPECT_TRUE(world.dtor_calls.empty());
}

void log_to_stderr() {
  vpn_log_set_sink([](int, const char* l) { std::fprintf(stderr, "%s\n", l); });
}

TEST_F(Watchdog, TornDownSessionEndsTheProcessFromTheKeepaliveThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  world.fulltunnel = 1;
  world.route_in_tun = {false, false};
  world.dtor_results = {DTOR_DESTROYED};
  EXPECT_EXIT(
      {
        log_to_stderr();
        keepalive_thread(nullptr);
      },
      ::testing::ExitedWithCode(0), "keepalive_thread:Exsit vpn client daemon on keepalive");
}

// ---- browser watch ---------------------------------------------------------

TEST(BrowserCommand, ExactLaunchModes) {
  struct Case {
    const char* mode;
    const char* cmd;
  } cases[] = {
      {"Firefox", "ps -e | grep -c firefox"}, {"Safari", "ps -cA | grep -c Safari"},
      {"Chrome", "ps -e | grep -c chrome"},   {"firefox", nullptr},
      {"Safari ", nullptr},                   {"standalone", nullptr},
      {"", nullptr},                          {nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const char* got = browser_command(c.mode);
    if (c.cmd == nullptr)
      EXPECT_EQ(got, nullptr) << (c.mode ? c.mode : "(null)");
    else
      EXPECT_STREQ(got, c.cmd);
  }
}

TEST_F(Watchdog, BrowserPollLoop) {
  using R = World::Reply;
  struct Case {
    const char* name;
    std::deque<R> replies;
    std::vector<std::string> events;  // what the loop did, in order
  } cases[] = {
      {"four zero polls end it with no pause between them",
       {{1, "2\n"}, {1, "0\n"}, {1, "0\n"}, {1, "0\n"}, {1, "0\n"}},
       {"cmd", "sleep 1", "cmd", "cmd", "cmd", "cmd"}},
      {"an early transient zero is remembered",
       {{1, "0\n"}, {1, "1\n"}, {1, "12\n"}, {1, "0\n"}, {1, "3\n"}, {1, "0\n"}, {1, "0\n"}},
       {"cmd", "cmd", "sleep 1", "cmd", "sleep 1", "cmd", "cmd", "sleep 1", "cmd", "cmd"}},
      {"a failed start and an empty reply pause and do not count",
       {{-1, ""}, {0, ""}, {1, "0\n"}, {1, "0\n"}, {1, "0\n"}, {1, "0\n"}},
       {"cmd", "sleep 1", "cmd", "sleep 1", "cmd", "cmd", "cmd", "cmd"}},
      {"a reply without a number counts as none",
       {{1, "x\n"}, {1, "\n"}, {1, "0"}, {1, "0\n"}},
       {"cmd", "cmd", "cmd", "cmd"}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    world.replies = c.replies;
    world.events.clear();
    world.commands.clear();
    world.dtor_calls.clear();
    world.dtor_results = {DTOR_DESTROYED};
    world.replies_ran_out = false;
    EXPECT_EQ(browser_watch_run("Safari"), 1);
    EXPECT_FALSE(world.replies_ran_out);
    EXPECT_TRUE(world.replies.empty());
    EXPECT_EQ(world.events, c.events);
    for (const auto& cmd : world.commands) EXPECT_EQ(cmd, "ps -cA | grep -c Safari");
    EXPECT_TRUE(log.has("browser_closed_or_not:Nav:[Safari]"));
    EXPECT_TRUE(log.has("browser_closed_or_not:CMD:[ps -cA | grep -c Safari]"));
    EXPECT_EQ(log.count("browser_closed_or_not:browser is quit, vpnc should exit!"), 1u);
    ASSERT_EQ(world.dtor_calls.size(), 1u);
    EXPECT_EQ(world.dtor_calls[0].reconnect, 0);
    EXPECT_EQ(world.dtor_calls[0].force, 1);
  }
}

TEST_F(Watchdog, BrowserFailuresAreLogged) {
  LogCapture log;
  world.replies = {{-1, ""}, {0, ""}};
  world.dtor_results = {DTOR_DESTROYED};
  EXPECT_EQ(browser_watch_run("Chrome"), 1);
  EXPECT_EQ(log.count("browser_closed_or_not:popen failed"), 1u);
  EXPECT_EQ(log.count("browser_closed_or_not:get popen file failed"), 1u);
}

TEST_F(Watchdog, BrowserGoneForcesTheControllerUntilTornDown) {
  world.replies = {};
  world.dtor_results = {DTOR_BUSY, DTOR_BUSY, DTOR_DESTROYED};
  EXPECT_EQ(browser_watch_run("Firefox"), 1);
  EXPECT_EQ(world.dtor_calls.size(), 3u);
  EXPECT_EQ(world.commands.size(), 4u);
}

TEST_F(Watchdog, ModeWithoutABrowserIsNotWatched) {
  LogCapture log;
  EXPECT_EQ(browser_watch_run("Opera"), 0);
  EXPECT_TRUE(world.commands.empty());
  EXPECT_TRUE(world.dtor_calls.empty());
  EXPECT_TRUE(log.has("browser_closed_or_not:Nav:[Opera]"));
  EXPECT_EQ(browser_closed_or_not(const_cast<char*>("Opera")), nullptr);
}

TEST_F(Watchdog, BrowserGoneEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  world.dtor_results = {DTOR_DESTROYED};
  EXPECT_EXIT(
      {
        log_to_stderr();
        browser_closed_or_not(const_cast<char*>("Chrome"));
      },
      ::testing::ExitedWithCode(0), "browser_closed_or_not:Exsit vpn client daemon on brower detect");
}

// ---- sleep and wake watcher -------------------------------------------------

TEST_F(Watchdog, SleepCallbackMessages) {
  struct Case {
    uint32_t message;
    const char* log;  // null: ignored
    bool reconnects;
  } cases[] = {
      {0xE0000270, "SleepCbk:system idle cause CanSystemSleep", false},
      {0xE0000280, "SleepCbk:user does System Sleep, disconnect", false},
      {0xE0000320, "SleepCbk:system will power on\n", false},
      {0xE0000300, "SleepCbk:system has powered on, reconnect\n", true},
      {0xE0000310, nullptr, false},
  };
  root_port = 77;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    power_acks_clear();
    world.dtor_calls.clear();
    std::vector<std::string> lines;
    std::vector<size_t> acks_at_log;
    vpn_log_set_sink([&](int, const char* l) {
      lines.emplace_back(l);
      acks_at_log.push_back(power_acks().size());
    });
    SleepCbk(nullptr, 0, c.message, reinterpret_cast<void*>(intptr_t{4242}));
    vpn_log_set_sink(nullptr);
    if (c.log == nullptr) {
      EXPECT_TRUE(lines.empty());
      EXPECT_TRUE(power_acks().empty());
      EXPECT_TRUE(world.dtor_calls.empty());
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.log), std::string::npos) << lines[0];
    EXPECT_EQ(acks_at_log[0], 1u);  // acknowledged before anything else
    ASSERT_EQ(power_acks().size(), 1u);
    EXPECT_EQ(power_acks()[0].connection, 77u);
    EXPECT_EQ(power_acks()[0].notification_id, 4242);
    EXPECT_EQ(world.dtor_calls.size(), c.reconnects ? 1u : 0u);
    if (c.reconnects) {
      EXPECT_EQ(world.dtor_calls[0].reconnect, 1);
      EXPECT_EQ(world.dtor_calls[0].force, 0);
    }
  }
  root_port = 0;
  power_acks_clear();
}

TEST_F(Watchdog, WakeAfterATeardownEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  world.dtor_results = {DTOR_DESTROYED};
  EXPECT_EXIT(
      {
        log_to_stderr();
        SleepCbk(nullptr, 0, kIOMessageSystemHasPoweredOn, nullptr);
      },
      ::testing::ExitedWithCode(0), "SleepCbk:Exsit vpn client daemon on system wake");
}

TEST(SleepWatcher, RegistrationFailsHere) {
  LogCapture log;
  EXPECT_EQ(detect_sys_sleep_thread(nullptr), nullptr);
  EXPECT_TRUE(log.has("detect_sys_sleep_thread:register for sys powver fail."));
  EXPECT_EQ(root_port, 0u);
}

}  // namespace
