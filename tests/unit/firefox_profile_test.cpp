#include "client/proxy/firefox_profile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/unit/desktop_env.h"

using namespace desktop_test;

namespace {

constexpr const char kEdited[] =
    "user_pref(\"network.proxy.type\",2);\n"
    "user_pref(\"network.proxy.autoconfig_url\",\"file:///usr/local/tevra_vpn/tev_prox.pac\");";
constexpr const char kPrefs[] = "user_pref(\"browser.startup.homepage\", \"about:blank\");\n";

std::string profiles_dir(const DesktopEnv& env) { return env.home + "/Library/Application Support/Firefox/Profiles"; }

std::string make_profile(const DesktopEnv& env, const std::string& name, const char* user_js) {
  const std::string dir = profiles_dir(env) + "/" + name;
  mkdirs(dir);
  spit(dir + "/prefs.js", kPrefs);
  if (user_js) spit(dir + "/user.js", user_js);
  return dir;
}

TEST(FirefoxProfileEdit, UserJsHoldsTheTwoLinesOnceAndTheRestoreGivesEverythingBack) {
  const struct {
    const char* name;
    const char* user_js;  // null: none
  } cases[] = {
      {"none", nullptr},
      {"other prefs and a type line",
       "user_pref(\"browser.cache\", false);\nuser_pref(\"network.proxy.type\", 1);\nuser_pref(\"x\", 2);\n"},
      {"type and autoconfig_url",
       "user_pref(\"network.proxy.type\", 2);\nuser_pref(\"network.proxy.autoconfig_url\", \"http://w/p.pac\");\n"},
      {"autoconfig_url only", "user_pref(\"network.proxy.autoconfig_url\", \"http://w/p.pac\");\n"},
      {"two type lines", "user_pref(\"network.proxy.type\", 1);\nuser_pref(\"network.proxy.type\", 0);"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopEnv env;
    const std::string dir = make_profile(env, "abcd.default", c.user_js);
    const auto before = tree_files(env.home);

    setfirefoxvpnproxy("tev_prox.pac");
    EXPECT_EQ(std::string(prefsfilepath), dir + "/");
    EXPECT_EQ(slurp(dir + "/user.js"), kEdited);
    EXPECT_EQ(slurp(dir + "/prefs.js.bak.tevra"), kPrefs);
    if (c.user_js) {
      EXPECT_EQ(slurp(dir + "/user.js.bak.tevra"), c.user_js);
    }

    spit(dir + "/prefs.js", "written by the browser meanwhile\n");
    setfirefoxoriginalproxy();
    EXPECT_EQ(tree_files(env.home), before);
    EXPECT_STREQ(prefsfilepath, "");
    // A second restore has nothing left to undo.
    spit(dir + "/user.js", "the user's own\n");
    setfirefoxoriginalproxy();
    EXPECT_EQ(slurp(dir + "/user.js"), "the user's own\n");
  }
}

TEST(FirefoxProfileEdit, TwoProfilesEditAndRestoreTheSameOne) {
  DesktopEnv env;
  make_profile(env, "one.default", nullptr);
  make_profile(env, "two.default", "user_pref(\"a\", 1);\n");
  const auto before = tree_files(env.home);
  setfirefoxvpnproxy("tev_prox.pac");
  const std::string edited = prefsfilepath;
  ASSERT_FALSE(edited.empty());
  int changed = 0;
  for (const char* name : {"one.default", "two.default"}) {
    const std::string dir = profiles_dir(env) + "/" + name;
    const bool is_edited = edited == dir + "/";
    changed += is_edited;
    EXPECT_EQ(slurp(dir + "/user.js") == kEdited, is_edited) << name;
  }
  EXPECT_EQ(changed, 1);
  setfirefoxoriginalproxy();
  EXPECT_EQ(tree_files(env.home), before);
}

TEST(FirefoxProfileEdit, HostileProfileDirectory) {
  DesktopEnv env;
  const std::string dir = make_profile(env, "a b'q;$(touch X)", "user_pref(\"a\", 1);\n");
  const auto before = tree_files(env.home);
  setfirefoxvpnproxy("tev_prox.pac");
  EXPECT_EQ(slurp(dir + "/user.js"), kEdited);
  setfirefoxoriginalproxy();
  EXPECT_EQ(tree_files(env.home), before);
  EXPECT_FALSE(exists(env.work + "/X"));
}

TEST(FirefoxProfileEdit, NoProfileTouchesNothingAnywhere) {
  DesktopEnv env;
  mkdirs(profiles_dir(env));
  // Files a relative name would hit from the working directory.
  spit(env.work + "/user.js", "mine\n");
  spit(env.work + "/prefs.js", "mine too\n");
  spit(env.work + "/prefs.js.bak.tevra", "stale\n");
  const auto work_before = tree_files(env.work);
  const auto home_before = tree_files(env.home);
  setfirefoxvpnproxy("tev_prox.pac");
  EXPECT_STREQ(prefsfilepath, "");
  setfirefoxoriginalproxy();
  EXPECT_EQ(tree_files(env.work), work_before);
  EXPECT_EQ(tree_files(env.home), home_before);
}

TEST(FirefoxProfileEdit, SecondEditKeepsTheFirstBackups) {
  DesktopEnv env;
  const char* original = "user_pref(\"network.proxy.type\", 1);\n";
  const std::string dir = make_profile(env, "abcd.default", original);
  const auto before = tree_files(env.home);
  setfirefoxvpnproxy("first.pac");
  setfirefoxvpnproxy("tev_prox.pac");
  EXPECT_EQ(slurp(dir + "/user.js"), kEdited);
  EXPECT_EQ(slurp(dir + "/user.js.bak.tevra"), original);
  EXPECT_EQ(slurp(dir + "/prefs.js.bak.tevra"), kPrefs);
  setfirefoxoriginalproxy();
  EXPECT_EQ(tree_files(env.home), before);
}

TEST(FirefoxProfileEdit, RestoreWithoutEditAndRefusedNames) {
  DesktopEnv env;
  const std::string dir = make_profile(env, "abcd.default", "user_pref(\"a\", 1);\n");
  spit(dir + "/user.js.bak.tevra", "stale user\n");
  spit(dir + "/prefs.js.bak.tevra", "stale prefs\n");
  const auto before = tree_files(env.home);
  setfirefoxoriginalproxy();
  EXPECT_EQ(tree_files(env.home), before);
  // A stale backup is never overwritten: the edit stops before changing anything.
  setfirefoxvpnproxy("tev_prox.pac");
  EXPECT_EQ(tree_files(env.home), before);

  std::remove((dir + "/user.js.bak.tevra").c_str());
  std::remove((dir + "/prefs.js.bak.tevra").c_str());
  const auto clean = tree_files(env.home);
  for (const char* name : {"a\");evil(\"", "a b.pac", "../x.pac", "", "x\\.pac"}) {
    setfirefoxvpnproxy(name);
    EXPECT_EQ(tree_files(env.home), clean) << name;
  }
  setfirefoxvpnproxy(nullptr);
  EXPECT_EQ(tree_files(env.home), clean);
}

// scutil -------------------------------------------------------------------

// A fake scutil that keeps its input and answers once the input has ended.
void fake_scutil(const DesktopEnv& env, const std::string& reply) {
  spit(env.file("scutil.reply"), reply);
  spit(env.bin + "/scutil", "#!/bin/sh\necho $$ > " + shell_quote(env.file("scutil.pid")) + "\ncat > " +
                                shell_quote(env.file("scutil.in")) + "\ncat " + shell_quote(env.file("scutil.reply")) +
                                "\n");
  chmod((env.bin + "/scutil").c_str(), 0755);
}

std::string dictionary(const std::string& key_line) {
  return "<dictionary> {\n  Router : 10.0.0.1\n" + key_line + "  PrimaryService : 4F0C-11\n}\n";
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(PrimaryInterface, ReadFromScutil) {
  DesktopEnv env;
  fake_scutil(env, dictionary("  PrimaryInterface : en0\n"));
  char name[32] = "unchanged";
  getintffromscutil(name, sizeof name);
  EXPECT_STREQ(name, "en0");
  EXPECT_EQ(slurp(env.file("scutil.in")), std::string("get State:/Network/Global/IPv4\nd.show\n\0", 39));
}

TEST(PrimaryInterface, NoKeyLineOrNoScutilLeavesTheBuffer) {
  DesktopEnv env;
  fake_scutil(env, dictionary(""));
  char name[32] = "unchanged";
  const auto t = std::chrono::steady_clock::now();
  getintffromscutil(name, sizeof name);
  EXPECT_LT(seconds_since(t), 3.0);  // well before the bound: the reply ended
  EXPECT_STREQ(name, "unchanged");

  std::remove((env.bin + "/scutil").c_str());
  vpnc_child_env_override(env.bin.c_str(), env.home.c_str());
  getintffromscutil(name, sizeof name);
  EXPECT_STREQ(name, "unchanged");
  getintffromscutil(nullptr, 16);
}

TEST(PrimaryInterface, LongNameStaysInsideTheBuffer) {
  DesktopEnv env;
  fake_scutil(env, dictionary("  PrimaryInterface : " + std::string(100, 'e') + "\n"));
  struct {
    char name[16];
    char guard[16];
  } buf;
  std::memset(&buf, '#', sizeof buf);
  getintffromscutil(buf.name, sizeof buf.name);
  EXPECT_EQ(std::string(buf.name), std::string(15, 'e'));
  EXPECT_EQ(std::string(buf.guard, sizeof buf.guard), std::string(16, '#'));
}

TEST(PrimaryInterface, SilentScutilIsStoppedAtTheBound) {
  DesktopEnv env;
  spit(env.bin + "/scutil", "#!/bin/sh\necho $$ > " + shell_quote(env.file("scutil.pid")) + "\nexec sleep 600\n");
  chmod((env.bin + "/scutil").c_str(), 0755);
  char name[32] = "unchanged";
  const auto t = std::chrono::steady_clock::now();
  getintffromscutil(name, sizeof name);
  EXPECT_LT(seconds_since(t), 30.0);
  EXPECT_STREQ(name, "unchanged");
  // Killed: gone, or a zombie until its new parent reaps it.
  const std::string stat = "/proc/" + std::to_string(std::stoi(slurp(env.file("scutil.pid")))) + "/stat";
  auto dead = [&] {
    const std::string st = slurp(stat);
    const size_t close = st.rfind(')');
    return st.empty() || (close != std::string::npos && st.compare(close + 2, 1, "Z") == 0);
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!dead() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(dead());
}

}  // namespace
