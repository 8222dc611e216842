#include "platform/child_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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

// Puts an environment variable back as it was when this goes.
class env_saved {
 public:
  explicit env_saved(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) value_ = v, had_ = true;
  }
  ~env_saved() {
    if (had_)
      setenv(name_, value_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string value_;
  bool had_ = false;
};

// What the child starts with, whatever the daemon's thread has: default
// dispositions, nothing blocked, its own group, no descriptor but its pipe
// and /dev/null, and the fixed PATH and root's HOME, never the daemon's.
TEST(ChildRun, ChildStartsWithNothingOfTheDaemon) {
  char evil[] = "/tmp/child_run_evil_XXXXXX";
  ASSERT_NE(mkdtemp(evil), nullptr);
  // A program the daemon's PATH would find first for every tool name used.
  for (const char* tool : {"grep", "cut", "ls", "env", "sort", "tr"}) {
    const std::string fake = std::string(evil) + "/" + tool;
    std::ofstream(fake) << "#!/bin/sh\necho fake\n";
    chmod(fake.c_str(), 0755);
  }
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGTERM);
  sigset_t old_mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  struct sigaction ign {}, old_pipe {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  std::string out;
  child_result r;
  {
    env_saved path("PATH"), home("HOME");
    setenv("PATH", (std::string(evil) + ":/usr/bin:/bin").c_str(), 1);
    setenv("HOME", evil, 1);
    setenv("http_proxy", "http://192.0.2.1:1/", 1);
    setenv("SSLKEYLOGFILE", "/tmp/keys", 1);
    const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(stray, 3);
    r = shell(
        "grep -E '^Sig(Ign|Blk):' /proc/self/status; "
        "echo pgrp $(( $$ == $(cut -d' ' -f5 /proc/$$/stat) )); "
        "ls /proc/$$/fd | tr '\\n' ' '; echo; "
        "echo \"PATH=$PATH\"; echo \"HOME=$HOME\"; "
        "env | cut -d= -f1 | sort | tr '\\n' ' '; exit 3",
        &out);
    close(stray);
    unsetenv("http_proxy");
    unsetenv("SSLKEYLOGFILE");
  }
  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  std::filesystem::remove_all(evil);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << r.status;
  EXPECT_FALSE(r.ok());
  const passwd* root = getpwuid(0);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(std::string(root->pw_dir), evil);
  // The shell itself adds PWD to what it was given.
  const std::string want = std::string("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\npgrp 1\n0 1 2 \n") +
                           "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nHOME=" + root->pw_dir + "\nHOME PATH PWD ";
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
  const child_result whole = vpnc_child_run(spec);
  EXPECT_TRUE(whole.ok());
  EXPECT_FALSE(whole.output_cut);
  EXPECT_EQ(out, "HELLO\nWORLD\n");

  // Past the limit the output is read and dropped: the tool is not held up,
  // and the caller is told that it has a part only.
  struct row {
    const char* name;
    const char* cmd;
    bool cut;
  };
  const row rows[] = {
      {"far past the limit", "head -c 5000000 /dev/zero | tr '\\0' x", true},
      {"one byte past it", "printf xxxxxxxxxxy", true},
      {"exactly at the limit", "printf xxxxxxxxxx", false},
  };
  for (const auto& t : rows) {
    SCOPED_TRACE(t.name);
    out.clear();
    const child_result big = vpnc_shell_read(t.cmd, 30000, 10, &out);
    EXPECT_TRUE(big.ok());
    EXPECT_EQ(big.output_cut, t.cut);
    EXPECT_EQ(out, "xxxxxxxxxx");
  }

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

// A file the child writes stops at the cap: the write past it ends the
// child with SIGXFSZ. The daemon's own limit is not touched.
TEST(ChildRun, FileSizeCapEndsTheChildAtTheCap) {
  char dir[] = "/tmp/child_run_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/big";
  const std::string cmd = "exec head -c 1000000 /dev/zero > " + file;
  const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = 30000;
  spec.file_size_limit = 4097;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const child_result r = vpnc_child_run(spec);
  struct stat st {};
  const bool there = stat(file.c_str(), &st) == 0;
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGXFSZ) << r.status;
  ASSERT_TRUE(there);
  EXPECT_EQ(st.st_size, 4097);
  rlimit after{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &after), 0);
  EXPECT_EQ(after.rlim_cur, before.rlim_cur);
  EXPECT_EQ(after.rlim_max, before.rlim_max);
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
