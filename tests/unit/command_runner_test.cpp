#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "client/cmd_runner.h"
#include "platform/child_run.h"
#include "hostnet_test_util.h"

using namespace hostnet_test;

#include "tests/unit/file_text.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vpnc_runner_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using test_files::slurp;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Detached commands finish on their own time; wait for the file they write.
bool wait_for(const std::string& path, double seconds = 5.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (exists(path) && !slurp(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::unique_ptr<_VPN_COMMAND_LIST_> command_list(std::initializer_list<const char*> cmds) {
  auto list = std::make_unique<_VPN_COMMAND_LIST_>();
  list->count = 0;
  for (const char* c : cmds) std::snprintf(list->commands[list->count++], 1024, "%s", c);
  return list;
}

// Runs `fn` with our standard error sent into a file; answers what it got.
template <typename Fn>
std::string capture_stderr(const TempDir& d, Fn fn) {
  const std::string path = d.file("stderr");
  int saved = dup(2);
  int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(f, 2);
  close(f);
  fn();
  dup2(saved, 2);
  close(saved);
  return slurp(path);
}

// The daemon's own standard error reaches no command of a list, the first
// ones (which the line's redirection leaves alone) included.
TEST(Forknexec, NoCommandOfAListWritesToTheDaemonsError) {
  TempDir d;
  std::string err = capture_stderr(d, [] { forknexec("echo first 1>&2; echo second 1>&2", 0); });
  EXPECT_EQ(err, "");
}

TEST(Forknexec, WaitsForTheCommandThenPauses) {
  TempDir d;
  const std::string f = d.file("done");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(forknexec(("sleep 0.3; touch " + f).c_str(), 2), 0);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(exists(f));
  EXPECT_GE(took, 2.3);
  EXPECT_LT(took, 6.0);
}

TEST(Forknexec, ALineThatDoesNotFitIsRefusedNotCut) {
  TempDir d;
  LogCapture log;
  const std::string ran = d.file("ran");
  // Padded with a comment: cut short, the line would still run the touch.
  std::string fits = "touch " + ran + " #";
  fits.resize(1005, 'x');
  std::string too_long = fits + "yy";
  EXPECT_EQ(forknexec(too_long.c_str(), 0), 0);
  EXPECT_FALSE(exists(ran));
  EXPECT_TRUE(log.has("too long"));
  EXPECT_EQ(forknexec(fits.c_str(), 0), 0);
  EXPECT_TRUE(exists(ran));
}

TEST(Forknexec, ChildKeepsNoDaemonDescriptorAndNoBlockedSignals) {
  TempDir d;
  const std::string out = d.file("state");
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_EQ(dup2(leaked, 77), 77);
  close(leaked);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  struct sigaction ign {}, prev {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &prev);

  // The runner silences the last command of the line: end it with "true".
  forknexec(("(ls /proc/self/fd; grep -E '^Sig(Blk|Ign)' /proc/self/status) > " + out + "; true").c_str(), 0);

  sigaction(SIGPIPE, &prev, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(77);
  const std::string state = slurp(out);
  EXPECT_EQ(state.find("\n77\n"), std::string::npos) << state;
  EXPECT_NE(state.find("SigBlk:\t0000000000000000"), std::string::npos) << state;
  EXPECT_NE(state.find("SigIgn:\t0000000000000000"), std::string::npos) << state;
}

TEST(ExecuteCommand, NullOrEmptyListRunsNothing) {
  CommandRecorder rec;
  EXPECT_EQ(executeCommand(nullptr), 0);
  auto list = command_list({});
  EXPECT_EQ(executeCommand(list.get()), 0);
  EXPECT_TRUE(rec.cmds.empty());
}

TEST(ExecuteCommand, StartsEveryCommandWithoutItsTrailingAmpersand) {
  CommandRecorder rec;
  auto list = command_list({"open -a Calculator &", "a &&", "plain"});
  EXPECT_EQ(executeCommand(list.get()), 1);
  ASSERT_EQ(rec.cmds.size(), 3u);
  EXPECT_EQ(rec.cmds[0], "open -a Calculator ");
  EXPECT_EQ(rec.cmds[1], "a &");
  EXPECT_EQ(rec.cmds[2], "plain");
  EXPECT_FALSE(rec.waited[0]);
  EXPECT_STREQ(list->commands[0], "open -a Calculator ");  // the stored text loses it too
}

TEST(ExecuteCommand, UnterminatedSlotIsNotRun) {
  CommandRecorder rec;
  LogCapture log;
  auto list = command_list({"x", "y"});
  std::memset(list->commands[0], 'a', sizeof list->commands[0]);
  EXPECT_EQ(executeCommand(list.get()), 1);
  ASSERT_EQ(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "y");
}

TEST(ExecuteCommand, CommandsRunDetachedCleanAndLeaveNoZombie) {
  TempDir d;
  const std::string out = d.file("state"), stdout_rc = d.file("rc");
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(leaked, 77), 77);
  close(leaked);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  struct sigaction ign {}, prev {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &prev);

  const std::string probe = "(ls /proc/self/fd; grep -E '^Sig(Blk|Ign)' /proc/self/status) > " + out + ".t; mv " +
                            out + ".t " + out + " &";
  const std::string closed = "echo hi; echo $? > " + stdout_rc;
  auto list = command_list({probe.c_str(), closed.c_str()});
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(executeCommand(list.get()), 1);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);

  sigaction(SIGPIPE, &prev, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(77);

  ASSERT_TRUE(wait_for(out));
  ASSERT_TRUE(wait_for(stdout_rc));
  const std::string state = slurp(out);
  EXPECT_EQ(state.find("\n77\n"), std::string::npos) << state;
  EXPECT_NE(state.find("SigBlk:\t0000000000000000"), std::string::npos) << state;
  EXPECT_NE(state.find("SigIgn:\t0000000000000000"), std::string::npos) << state;
  // Standard output is closed for the gateway's commands.
  EXPECT_EQ(slurp(stdout_rc), "1\n");
  // Nothing of ours is left to collect: the commands were never our children.
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ForknexecCommand, WaitZeroWaitsAndTheCallersTextStays) {
  TempDir d;
  const std::string f = d.file("done");
  const std::string cmd = "sleep 0.2; touch " + f + " &";
  EXPECT_EQ(forknexec_Command(cmd.c_str(), 0), 0);
  EXPECT_TRUE(exists(f));
  std::string too_long(1100, 'x');
  EXPECT_EQ(forknexec_Command(too_long.c_str(), -1), -1);
}

TEST(CommandHook, RecordsInsteadOfRunning) {
  TempDir d;
  const std::string f = d.file("never");
  CommandRecorder rec;
  forknexec(("touch " + f).c_str(), 2);
  forknexec("", 0);
  EXPECT_FALSE(exists(f));
  ASSERT_EQ(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "touch " + f);
  EXPECT_TRUE(rec.waited[0]);
}


// The teardown's clock, set by hand.
std::atomic<long long> g_teardown_now{0};
long long teardown_now() { return g_teardown_now.load(); }
struct TeardownClock {
  explicit TeardownClock(long long at = 0) {
    g_teardown_now = at;
    set_teardown_clock_hook(teardown_now);
  }
  ~TeardownClock() { set_teardown_clock_hook(nullptr); }
  void at(long long ms) { g_teardown_now = ms; }
};

constexpr const char kRouteHung[] =
    "'/sbin/route' did not end within 10 s; its further runs in this teardown get short bounds";
constexpr const char kRouteSkipped[] = "'/sbin/route' skipped: the teardown is past its time";

// One teardown on a host whose route tool hangs: the bound each run gets as
// the teardown goes on (0: skipped), and whether the run went past it.
TEST(TeardownToolBounds, AHungToolGetsShortBoundsThenNoneWhileOthersKeepTheirs) {
  struct run {
    long long at;
    const char* cmd;
    int bound;
    bool past;
  };
  const run runs[] = {
      {0, "/sbin/route delete -net 10.99.0.0 -netmask 255.255.255.0 -interface utun3", 10000, true},
      {10000, "/sbin/route delete -net 10.99.1.0 -netmask 255.255.255.0 -interface utun3", 1000, true},
      {11000, "/sbin/route add -net 10.98.0.0 -netmask 255.255.0.0 -gateway 10.77.0.1", 1000, false},
      {11100, "/bin/mv -f /etc/hosts.bak /etc/hosts;/bin/mv -f a b", 10000, false},
      {11200, "  killall -HUP mDNSResponder", 10000, false},
      {24999, "/sbin/route delete -host 198.18.0.1", 1000, false},
      {25000, "/sbin/route delete -net 10.99.2.0", 0, false},
      {26000, "/sbin/route add default 10.77.0.1", 0, false},
      {26000, "/bin/rm -f /dev/tun3", 2000, false},  // what is left of the teardown's time
      {27500, "/bin/mv -f x y", 500, true},
      {28000, "/usr/sbin/arp -a -d", 0, false},
  };
  TeardownClock clock;
  LogCapture log;
  {
    const teardown_tool_bounds teardown;
    for (const run& r : runs) {
      clock.at(r.at);
      EXPECT_EQ(tool_run_bound(r.cmd, kToolBoundMs), r.bound) << r.at << " " << r.cmd;
      if (r.bound != 0) tool_run_ended(r.cmd, r.bound, r.past);
    }
  }
  // each mark and each skip is logged once, for the tool
  EXPECT_EQ(log.count(kRouteHung), 1u);
  EXPECT_EQ(log.count(kRouteSkipped), 1u);
  EXPECT_EQ(log.count("'/bin/mv' did not end within 1 s; its further runs in this teardown get short bounds"), 1u);
  EXPECT_EQ(log.count("'/usr/sbin/arp' skipped: the teardown is past its time"), 1u);
  EXPECT_EQ(log.count("'/bin/rm'"), 0u);
  EXPECT_EQ(log.count("killall"), 0u);
  // after the teardown, and on other threads during one, tools keep their bounds
  EXPECT_EQ(tool_run_bound(runs[0].cmd, kToolBoundMs), kToolBoundMs);
  const teardown_tool_bounds next;
  tool_run_ended(runs[0].cmd, kToolBoundMs, true);
  EXPECT_EQ(tool_run_bound(runs[0].cmd, kToolBoundMs), kHungToolBoundMs);
  int other = -1;
  std::thread([&] {
    tool_run_ended(runs[0].cmd, kToolBoundMs, true);
    other = tool_run_bound(runs[0].cmd, kToolBoundMs);
  }).join();
  EXPECT_EQ(other, kToolBoundMs);
}

// A new teardown starts with no marks and its own clock.
TEST(TeardownToolBounds, MarksAndTimeBelongToOneTeardown) {
  TeardownClock clock(1000000);
  LogCapture log;
  {
    const teardown_tool_bounds first;
    tool_run_ended("/sbin/route delete x", kToolBoundMs, true);
    clock.at(1000000 + kTeardownLateMs);
    EXPECT_EQ(tool_run_bound("/sbin/route delete y", kToolBoundMs), 0);
  }
  const teardown_tool_bounds second;
  EXPECT_EQ(tool_run_bound("/sbin/route delete y", kToolBoundMs), kToolBoundMs);
  EXPECT_EQ(log.count(kRouteHung), 1u);
}

// The runners themselves: a run cut at its bound marks its tool, a later run
// of that tool past the late mark is not started, and a tool that answers
// still runs.
TEST(TeardownToolBounds, RunnersStopAndSkipAHungTool) {
  TempDir d;
  const std::string touched = d.file("answered");
  TeardownClock clock;
  LogCapture log;
  const teardown_tool_bounds teardown;
  clock.at(kTeardownBoundMs - kTeardownReserveMs - 1000);  // 1 s of the teardown's time left
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(forknexec_status("sleep 30"), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
  EXPECT_EQ(log.count("command did not end within 1 s, stopped: 'sleep 30'"), 1u);
  EXPECT_EQ(log.count("'sleep' did not end within 1 s; its further runs in this teardown get short bounds"), 1u);
  const auto t1 = std::chrono::steady_clock::now();
  std::string out = "old";
  int status = 0;
  EXPECT_FALSE(read_tool_output("sleep 30; echo late", 100, &out, &status));
  EXPECT_EQ(forknexec_status("sleep 30"), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(500));
  EXPECT_EQ(out, "");
  EXPECT_EQ(status, -1);
  EXPECT_EQ(log.count("'sleep' skipped: the teardown is past its time"), 1u);
  clock.at(kTeardownLateMs);
  EXPECT_EQ(forknexec_status(("touch " + touched).c_str()), 0);
  EXPECT_TRUE(exists(touched));
}

}  // namespace
