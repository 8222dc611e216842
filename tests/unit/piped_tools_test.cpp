// Every reader that takes a tool's output through a pipe starts the tool with
// default dispositions and nothing blocked, whatever the calling thread has:
// here each runs on a thread with the daemon's blocked set and SIGPIPE
// ignored, and the stand-in tools record their own signal state. Debian's
// /bin/sh clears the blocked set itself, so what a plain popen gives away
// here is the ignored SIGPIPE, which no shell puts back.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dns_config.h"
#include "client/process_handler.h"
#include "client/proxy/firefox_profile.h"
#include "client/proxy/proxy.h"
#include "client/proxy/proxy_getset.h"
#include "client/watchdog.h"
#include "platform/signals.h"
#include "tests/unit/desktop_env.h"

using namespace desktop_test;

namespace {

int destroyed(vpnc_session*, int, int, int*) { return DTOR_DESTROYED; }
void no_sleep(unsigned) {}

// Runs `body` on a thread that blocks what the daemon's threads block, with
// SIGPIPE ignored for the process meanwhile.
void run_as_daemon_thread(const std::function<void()>& body) {
  struct sigaction ign {}, old_pipe {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  std::thread t([&] {
    sigset_t set;
    vpnc_signal_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    body();
  });
  t.join();
  sigaction(SIGPIPE, &old_pipe, nullptr);
}

struct Reader {
  const char* name;
  const char* tool;         // the stand-in it must start
  const char* find_output;  // what the find stand-in prints
  std::function<void()> run;
};

}  // namespace

TEST(PipedTools, EveryReaderStartsItsToolWithDefaultSignals) {
  DesktopEnv env;
  const std::string record = env.file("signals.rec");
  watchdog_ops quick{};
  quick.sleep_seconds = no_sleep;
  quick.dtor = destroyed;
  watchdog_set_ops(&quick);
  const Reader readers[] = {
      {"browser watch", "ps", "", [] { browser_watch_run("Firefox"); }},
      {"scutil --dns", "scutil", "",
       [] {
         char kept[512] = {};
         int len = 0;
         save_original_searchdomain(kept, &len);
       }},
      {"scutil --proxy", "scutil", "",
       [] {
         std::string host, port;
         getproxy("HTTPProxy :", "HTTPPort :", "HTTPEnable :", &host, &port);
       }},
      {"firefox profile edit", "find", "", [] { setfirefoxvpnproxy("vpn.pac"); }},
      {"firefox prefs path", "find", "", [] {
         char path[1024] = {};
         get_ff_prefs_filepath(path);
       }},
      {"firefox value pipeline", "sed", "/nowhere/p/prefs.js\n", [] {
         _proxy_setting s{};
         get_ff_proxy_type(&s);
       }},
      {"gsettings get", "gsettings", "", [] {
         char value[1024] = {};
         get_gsettings_value_forschemaandkey("org.gnome.system.proxy", "mode", value);
       }},
  };
  for (const Reader& r : readers) {
    SCOPED_TRACE(r.name);
    spit(record, "");
    spit(env.file("find.out"), r.find_output);
    for (const char* tool : {"ps", "scutil", "find", "sed", "gsettings"}) {
      const std::string out = std::string(tool) == "find" ? "cat " + shell_quote(env.file("find.out")) + "\n" : "";
      spit(env.bin + "/" + tool, std::string("#!/bin/sh\n{ printf '%s ' \"${0##*/}\"; "
                                             "grep -E '^Sig(Blk|Ign):' /proc/self/status | tr '\\n\\t' '  '; echo; } >> ") +
                                     shell_quote(record) + "\n" + out);
      chmod((env.bin + "/" + tool).c_str(), 0755);
    }
    run_as_daemon_thread(r.run);
    std::istringstream lines(slurp(record));
    std::string line;
    bool started = false;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string tool, blk_key, blk, ign_key, ign;
      words >> tool >> blk_key >> blk >> ign_key >> ign;
      ASSERT_EQ(blk_key + ign_key, "SigBlk:SigIgn:") << line;
      started = started || tool == r.tool;
      EXPECT_EQ(std::strtoull(blk.c_str(), nullptr, 16), 0u) << line;
      // Signals 32 and 33 stay ignored in every child the C library spawns.
      EXPECT_EQ(std::strtoull(ign.c_str(), nullptr, 16) & ~0x180000000ull, 0u) << line;
    }
    EXPECT_TRUE(started) << r.tool << " never ran:\n" << slurp(record);
  }
  watchdog_set_ops(nullptr);
}
