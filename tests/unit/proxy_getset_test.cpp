#include "client/proxy/proxy_getset.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "client/proxy/proxy_internal.h"
#include "tests/unit/desktop_env.h"
#include "tests/unit/log_capture.h"

using namespace desktop_test;

namespace {

_proxy_setting zeroed() {
  _proxy_setting s;
  std::memset(&s, 0, sizeof s);
  return s;
}

void set_item(_proxy_item& item, const char* host, const char* port) {
  std::snprintf(item.host, sizeof item.host, "%s", host);
  std::snprintf(item.port, sizeof item.port, "%s", port);
}

constexpr const char kPrefs[] =
    "// Mozilla User Preferences\n"
    "user_pref(\"browser.startup.homepage\", \"about:blank\");\n"
    "user_pref(\"network.proxy.http\", \"10.1.2.3\");\n"
    "user_pref(\"network.proxy.http_port\", 3128);\n"
    "user_pref(\"network.proxy.ssl\", \"secure.example\");\n"
    "user_pref(\"network.proxy.type\", 1);\n"
    "user_pref(\"network.proxy.autoconfig_url\", \"http://wpad.example/proxy.pac\");\n";

std::string make_profile(const DesktopEnv& env, const std::string& dir, const std::string& prefs = kPrefs) {
  const std::string profile = env.home + "/.mozilla/firefox/" + dir;
  mkdirs(profile);
  spit(profile + "/prefs.js", prefs);
  return profile + "/prefs.js";
}

TEST(FirefoxProxyReaders, ReadTheProfilesPreferences) {
  DesktopEnv env;
  make_profile(env, "abcd.default");
  _proxy_setting s = zeroed();
  set_item(s.https, "keep", "1");

  EXPECT_EQ(get_ff_proxy_type(&s), 0);
  EXPECT_EQ(s.type, 1);
  EXPECT_EQ(get_ff_proxy_manual_item(PROXY_SCHEMA_HTTP, &s), 0);
  EXPECT_STREQ(s.http.host, "10.1.2.3");  // not the http_port line
  EXPECT_STREQ(s.http.port, "3128");
  // A host without its port preference is not stored.
  EXPECT_EQ(get_ff_proxy_manual_item(PROXY_SCHEMA_HTTPS, &s), 1);
  EXPECT_STREQ(s.https.host, "keep");
  EXPECT_EQ(get_ff_proxy_script_filepath(&s), 0);
  EXPECT_STREQ(s.script, "http://wpad.example/proxy.pac");

  LogCapture log;
  _proxy_setting all = zeroed();
  EXPECT_EQ(get_ff_proxysettings(&all), 0);
  EXPECT_STREQ(all.http.host, "10.1.2.3");
  EXPECT_STREQ(all.ftp.host, "");
  EXPECT_TRUE(log.has("firefox manual proxy setting: none https item\n"));
  EXPECT_TRUE(log.has("firefox manual proxy setting: none socket item\n"));
}

TEST(FirefoxProxyReaders, HostileProfileDirectoryIsOnlyRead) {
  DesktopEnv env;
  make_profile(env, "a b;$(touch X)'q");
  _proxy_setting s = zeroed();
  EXPECT_EQ(get_ff_proxy_manual_item(PROXY_SCHEMA_HTTP, &s), 0);
  EXPECT_STREQ(s.http.host, "10.1.2.3");
  EXPECT_FALSE(exists(env.work + "/X"));
  EXPECT_FALSE(exists(env.home + "/X"));
}

TEST(FirefoxProxyReaders, SeveralProfilesReadOneOfThem) {
  DesktopEnv env;
  make_profile(env, "one.default");
  make_profile(env, "two.default");
  char path[1024] = {};
  EXPECT_EQ(get_ff_prefs_filepath(path), 0);
  EXPECT_EQ(std::string(path).find('\n'), std::string::npos);
  EXPECT_TRUE(exists(path)) << path;
  _proxy_setting s = zeroed();
  EXPECT_EQ(get_ff_proxy_type(&s), 0);
  EXPECT_EQ(s.type, 1);
}

TEST(FirefoxProxyReaders, NoProfileLeavesFieldsAndReadsNoStdin) {
  DesktopEnv env;
  // An open pipe on stdin: a command that fell back to reading it would hang.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved_in = dup(0);
  dup2(p[0], 0);

  _proxy_setting s = zeroed();
  s.type = 7;
  set_item(s.http, "keep", "1");
  std::snprintf(s.script, sizeof s.script, "keep.pac");
  const int type_rc = get_ff_proxy_type(&s);
  const int item_rc = get_ff_proxy_manual_item(PROXY_SCHEMA_HTTP, &s);
  const int script_rc = get_ff_proxy_script_filepath(&s);

  dup2(saved_in, 0);
  close(saved_in);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(type_rc, 0);
  EXPECT_EQ(item_rc, 1);
  EXPECT_EQ(script_rc, 0);
  EXPECT_EQ(s.type, 7);
  EXPECT_STREQ(s.http.host, "keep");
  EXPECT_STREQ(s.script, "keep.pac");
}

// What find printed, read through a small buffer so that overlong lines
// are easy to make.
TEST(FirefoxProfileLine, LastWholeLineNamingAPrefsJs) {
  constexpr size_t kCap = 32;
  const std::string x40(40, 'x');
  const std::string fits = "/" + std::string(kCap - 12, 'f') + "/prefs.js";  // kCap - 2 characters
  const std::string too_long = "/" + std::string(kCap - 11, 'g') + "/prefs.js";  // kCap - 1
  const struct {
    const char* name;
    std::string output;
    bool refuse_b;
    const char* want;  // null: none taken, the buffer as it was
  } cases[] = {
      {"nothing listed", "", false, nullptr},
      {"the last of several", "/a/prefs.js\n/b/prefs.js\n", false, "/b/prefs.js"},
      {"other names passed over", "/a/prefs.js\n/b/user.js\n/c/xprefs.js\nprefs.js\n", false, "/a/prefs.js"},
      {"a last line without newline", "/a/prefs.js\n/b/prefs.js", false, "/b/prefs.js"},
      {"the tail of an overlong line is no path", "/a/prefs.js\n/" + x40 + "/c/prefs.js\n", false, "/a/prefs.js"},
      {"an overlong last line without newline", "/a/prefs.js\n/" + x40 + "/prefs.js", false, "/a/prefs.js"},
      {"the longest line that fits", "/a/prefs.js\n" + fits + "\n", false, fits.c_str()},
      {"one character more does not", "/a/prefs.js\n" + too_long + "\n", false, "/a/prefs.js"},
      {"a refused line is passed over", "/a/prefs.js\n/b/prefs.js\n", true, "/a/prefs.js"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.output;
    FILE* fp = fmemopen(text.data(), text.size(), "r");
    if (text.empty()) fp = std::fopen("/dev/null", "r");
    ASSERT_NE(fp, nullptr);
    char out[kCap];
    std::strcpy(out, "untouched");
    const bool taken = last_prefs_js_line(fp, out, sizeof out,
                                          c.refuse_b ? +[](const char* path, size_t) {
                                            return std::strcmp(path, "/b/prefs.js") != 0;
                                          }
                                                     : nullptr);
    std::fclose(fp);
    EXPECT_EQ(taken, c.want != nullptr);
    EXPECT_STREQ(out, c.want ? c.want : "untouched");
  }
}

TEST(GnomeProxyReaders, ReadWhatGsettingsHolds) {
  DesktopEnv env;
  ASSERT_EQ(sh("gsettings set org.gnome.system.proxy mode manual && "
               "gsettings set org.gnome.system.proxy autoconfig-url 'file:///tmp/x.pac' && "
               "gsettings set org.gnome.system.proxy.http host 10.0.0.9 && "
               "gsettings set org.gnome.system.proxy.http port 8080 && "
               "gsettings set org.gnome.system.proxy.socks host \"'socks.example'\" && "
               "gsettings set org.gnome.system.proxy.socks port 1080"),
            0);
  _proxy_setting s = zeroed();
  ASSERT_EQ(get_gnome_proxysettings(&s), 0);
  EXPECT_EQ(s.type, PROXY_TYPE_MANUAL);
  EXPECT_STREQ(s.script, "file:///tmp/x.pac");
  EXPECT_STREQ(s.http.host, "10.0.0.9");
  EXPECT_STREQ(s.http.port, "8080");
  EXPECT_STREQ(s.socks.host, "socks.example");
  EXPECT_STREQ(s.socks.port, "1080");
  EXPECT_STREQ(s.ftp.host, "");
  EXPECT_STREQ(s.ftp.port, "0");

  ASSERT_EQ(sh("gsettings set org.gnome.system.proxy mode auto"), 0);
  EXPECT_EQ(get_gnome_proxy_type(&s), 0);
  EXPECT_EQ(s.type, PROXY_TYPE_AUTO);
}

TEST(GnomeProxyReaders, ValueFormsOfGsettings) {
  const struct {
    const char* printed;
    const char* value;
  } cases[] = {
      {"'auto'\n", "auto"},   {"''\n", ""},           {"8080\n", "8080"},        {"'\n", ""},
      {"\"it's\"\n", "it's"}, {"'a\\\\b'\n", "a\\b"}, {"'no newline'", "no newline"},
  };
  for (const auto& c : cases) {
    DesktopEnv env;
    env.fake_tool("gsettings", c.printed);
    char buf[1024];
    std::memset(buf, 'x', sizeof buf);
    buf[sizeof buf - 1] = '\0';
    EXPECT_EQ(get_gsettings_value_forschemaandkey("org.gnome.system.proxy", "mode", buf), 0) << c.printed;
    EXPECT_STREQ(buf, c.value) << c.printed;
    EXPECT_EQ(env.tool_args("gsettings"), "get org.gnome.system.proxy mode\n");
  }
}

TEST(GnomeProxyReaders, OddModeAndOverlongValues) {
  DesktopEnv env;
  LogCapture log;
  env.fake_tool("gsettings", "'elsewhere'\n");
  _proxy_setting s = zeroed();
  s.type = PROXY_TYPE_AUTO;
  EXPECT_EQ(get_gnome_proxy_type(&s), 0);
  EXPECT_EQ(s.type, PROXY_TYPE_NONE);
  EXPECT_TRUE(log.has("not found gnome proxy type\n"));

  // A cut host would name another machine: the field keeps its value.
  env.fake_tool("gsettings", "'" + std::string(200, 'h') + "'\n");
  set_item(s.http, "keep", "8");
  std::snprintf(s.script, sizeof s.script, "keep.pac");
  EXPECT_EQ(get_gnome_proxy_manualsettings(&s), 0);
  EXPECT_STREQ(s.http.host, "keep");
  EXPECT_STREQ(s.http.port, "8");
  EXPECT_EQ(get_gnome_proxy_script_filepath(&s), 0);
  EXPECT_STREQ(s.script, "keep.pac");
  EXPECT_TRUE(log.has("longer than 127, not taken"));

  // gsettings failing ends the entry with its step's message.
  env.fake_tool("gsettings", "", 1);
  EXPECT_EQ(get_gnome_proxysettings(&s), 1);
  EXPECT_TRUE(log.has("get_gnome_proxy_type failed\n"));
}

TEST(GnomeProxyWriter, ScriptsReadBackExactly) {
  const char* scripts[] = {"file:///tmp/x.pac", "", "/tmp/a b;$(touch X)'q", "C:\\dir\\\"x\".pac"};
  for (const char* script : scripts) {
    DesktopEnv env;
    LogCapture log;
    _proxy_setting s = zeroed();
    s.type = PROXY_TYPE_AUTO;
    std::snprintf(s.script, sizeof s.script, "%s", script);
    ASSERT_EQ(set_gnome_proxysettings(&s), 0) << script;
    _proxy_setting back = zeroed();
    ASSERT_EQ(get_gnome_proxysettings(&back), 0);
    EXPECT_EQ(back.type, PROXY_TYPE_AUTO);
    EXPECT_STREQ(back.script, script);
    EXPECT_FALSE(exists(env.work + "/X"));
    EXPECT_TRUE(log.has("exec cmd: [ gsettings set org.gnome.system.proxy mode auto ]\n"));
  }
}

TEST(GnomeProxyWriter, FailuresAreReported) {
  DesktopEnv env;
  LogCapture log;
  _proxy_setting s = zeroed();
  s.type = 3;
  EXPECT_EQ(set_gnome_proxysettings(&s), 1);
  EXPECT_TRUE(log.has("not fount the proxy type\n"));

  env.fake_tool("gsettings", "", 1);
  EXPECT_FALSE(exists(env.file("gsettings.args")));  // type 3 ran nothing
  s.type = PROXY_TYPE_MANUAL;
  EXPECT_EQ(set_gnome_proxysettings(&s), 1);
  EXPECT_TRUE(log.has("set gnome proxy auto mode failed\n"));
  EXPECT_EQ(env.tool_args("gsettings"), "set org.gnome.system.proxy mode manual\n");
}

TEST(GnomeProxyWriter, SelfTestOnTheFileBackend) {
  DesktopEnv env;
  EXPECT_EQ(test_main(), 0);
  _proxy_setting s = zeroed();
  ASSERT_EQ(get_gnome_proxysettings(&s), 0);
  EXPECT_STREQ(s.script, "/usr/local/tevra_vpn/tev_prox.pac");
}

int zombie_children() {
  int n = 0;
  const std::string me = std::to_string(getpid());
  for (const auto& pid : dir_names("/proc")) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = slurp("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    n += state == "Z" && ppid == me;
  }
  return n;
}

TEST(ForkExec, WaitsDropsAmpersandAndReapsDetachedCommands) {
  DesktopEnv env;
  char cmd[] = "touch F&";
  EXPECT_EQ(fork_exec(cmd, 0), 0);
  EXPECT_STREQ(cmd, "touch F");
  EXPECT_TRUE(exists(env.work + "/F"));

  char empty[] = "";
  EXPECT_EQ(fork_exec(empty, 0), 0);
  char only_amp[] = "&";
  EXPECT_EQ(fork_exec(only_amp, 1), 0);

  const int zombies_before = zombie_children();
  char detached[] = "echo $$ > G.tmp && mv G.tmp G";
  EXPECT_EQ(fork_exec(detached, 1), 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!exists(env.work + "/G") && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(exists(env.work + "/G"));
  // The command ran in a grandchild that is none of ours.
  const pid_t shell = std::stoi(slurp(env.work + "/G"));
  int status = 0;
  EXPECT_EQ(waitpid(shell, &status, WNOHANG), -1);
  EXPECT_EQ(zombie_children(), zombies_before);
}

}  // namespace
