#include "platform/child_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/unit/file_text.h"

namespace {

using test_files::slurp;

// Gone, or a zombie until its new parent reaps it.
bool dead(pid_t pid) {
  const std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = st.rfind(')');
  return st.empty() || (close != std::string::npos && st.compare(close + 2, 1, "Z") == 0);
}

bool becomes_dead(pid_t pid) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!dead(pid) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return dead(pid);
}

child_result shell(const char* cmd, std::string* out, int bound_ms = 30000) {
  return vpnc_shell_read(cmd, bound_ms, 1 << 20, out);
}

}  // namespace

// What the child starts with, whatever the daemon's thread has: default
// dispositions, nothing blocked, its own group, no descriptor but its pipe
// and /dev/null, PATH and HOME only.
TEST(ChildRun, ChildStartsWithNothingOfTheDaemon) {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGTERM);
  sigset_t old_mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  struct sigaction ign {}, old_pipe {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  setenv("http_proxy", "http://192.0.2.1:1/", 1);
  setenv("SSLKEYLOGFILE", "/tmp/keys", 1);
  const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);

  std::string out;
  const child_result r = shell(
      "grep -E '^Sig(Ign|Blk):' /proc/self/status; "
      "echo pgrp $(( $$ == $(cut -d' ' -f5 /proc/$$/stat) )); "
      "ls /proc/$$/fd | tr '\\n' ' '; echo; "
      "env | cut -d= -f1 | sort | tr '\\n' ' '; exit 3",
      &out);

  close(stray);
  unsetenv("http_proxy");
  unsetenv("SSLKEYLOGFILE");
  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << r.status;
  EXPECT_FALSE(r.ok());
  // The shell itself adds PWD to what it was given.
  std::string want = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\npgrp 1\n0 1 2 \n";
  want += std::string(std::getenv("HOME") ? "HOME " : "") + "PATH PWD ";
  EXPECT_EQ(out, want);
}

TEST(ChildRun, InputThenOutputAndTheLimit) {
  const std::string input = "hello\nworld\n";
  std::string out;
  const char* argv[] = {"/usr/bin/tr", "a-z", "A-Z", nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = 30000;
  spec.input = &input;
  spec.output = &out;
  EXPECT_TRUE(vpnc_child_run(spec).ok());
  EXPECT_EQ(out, "HELLO\nWORLD\n");

  // Past the limit the output is read and dropped: the tool is not held up.
  out.clear();
  const child_result big = vpnc_shell_read("head -c 5000000 /dev/zero | tr '\\0' x", 30000, 10, &out);
  EXPECT_TRUE(big.ok());
  EXPECT_EQ(out, "xxxxxxxxxx");

  // A tool that never reads its input still ends the run.
  out.clear();
  const std::string lots(1 << 20, 'y');
  const char* gone[] = {"/bin/sh", "-c", "echo done", nullptr};
  spec.argv = gone;
  spec.input = &lots;
  EXPECT_TRUE(vpnc_child_run(spec).ok());
  EXPECT_EQ(out, "done\n");
}

// Past the bound the whole group goes, the tool's own children with it, and
// the caller gets what was printed before.
TEST(ChildRun, PastItsBoundTheGroupIsKilled) {
  std::string out;
  const auto start = std::chrono::steady_clock::now();
  const child_result r = shell("sleep 60 & echo $!; sleep 60", &out, 300);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL) << r.status;
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(becomes_dead(std::stoi(out)));

  // A tool that closed its output and hangs on is bound the same way.
  out.clear();
  EXPECT_TRUE(shell("exec >&-; sleep 60", &out, 300).timed_out);
}

TEST(ChildRun, DetachedCommandIsBoundByItsWatcher) {
  char dir[] = "/tmp/child_run_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string pid_file = std::string(dir) + "/pid";
  const std::string cmd = "sleep 60 & echo $! > " + pid_file + ".tmp; mv " + pid_file + ".tmp " + pid_file + "; wait";
  const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = 500;
  spec.std_closed = true;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(vpnc_child_start_detached(spec));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // not waited for
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (slurp(pid_file).empty() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string text = slurp(pid_file);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(becomes_dead(std::stoi(text)));
  unlink(pid_file.c_str());
  rmdir(dir);
}

TEST(ChildRun, ProgramThatCannotRun) {
  std::string out;
  const char* argv[] = {"/nonexistent/tool", nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = 30000;
  spec.output = &out;
  const child_result r = vpnc_child_run(spec);
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 127);
  EXPECT_FALSE(r.ok());
}
