#include <gtest/gtest.h>

#include <chrono>

#include "platform/child_run.h"

#include "tests/unit/log_capture.h"
#include "tests/unit/proxy_fixture.h"

namespace {

class SavedProxySettings : public ProxyRoot {};

// The platform's layout: the global keys, then each again inside
// __SCOPED__, indented deeper and with other values.
constexpr char kScoped[] =
    "<dictionary> {\n"
    "  ExceptionsList : <array> {\n"
    "    0 : *.local\n"
    "    1 : 169.254/16\n"
    "  }\n"
    "  ExcludeSimpleHostnames : 1\n"
    "  FTPEnable : 0\n"
    "  HTTPEnable : 1\n"
    "  HTTPPort : 8080\n"
    "  HTTPProxy : proxy.example.com\n"
    "  HTTPSEnable : 1\n"
    "  HTTPSPort : 8443\n"
    "  HTTPSProxy : secure.example.com\n"
    "  ProxyAutoConfigEnable : 1\n"
    "  ProxyAutoConfigURLString : file://localhost/Users/me/proxy.pac\n"
    "  __SCOPED__ : <dictionary> {\n"
    "    en0 : <dictionary> {\n"
    "      ExceptionsList : <array> {\n"
    "        0 : scoped.only\n"
    "      }\n"
    "      ExcludeSimpleHostnames : 0\n"
    "      HTTPEnable : 0\n"
    "      HTTPProxy : scoped.example.com\n"
    "      ProxyAutoConfigEnable : 0\n"
    "      ProxyAutoConfigURLString : file://localhost/scoped.pac\n"
    "    }\n"
    "  }\n"
    "}\n";

TEST_F(SavedProxySettings, TopLevelKeysWinOverTheScopedRepeats) {
  use_scutil_text(kScoped);
  std::string saved, url, bypass;
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "https=secure.example.com:8443;http=proxy.example.com:8080");
  EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), 1);
  EXPECT_EQ(url, "file://localhost/Users/me/proxy.pac");
  EXPECT_EQ(getbypass(&bypass), 2);
  EXPECT_EQ(bypass, "<local>;*.local;169.254/16");
}

TEST_F(SavedProxySettings, FlatLayoutCases) {
  struct row {
    const char* name;
    const char* text;
    const char* saved;
    int pac_answer;
    const char* url;
    int bypass_answer;
    const char* bypass;
  };
  const row rows[] = {
      {"nothing enabled", "<dictionary> {\n  HTTPEnable : 0\n  HTTPProxy : p\n}\n", "none", 0, "", 0, ""},
      {"enabled without host or port", "<dictionary> {\n  FTPEnable : 1\n}\n", "ftp=:", 0, "", 0, ""},
      {"https and ftp", "<dictionary> {\n  FTPEnable : 1\n  FTPPort : 21\n  FTPProxy : f\n  HTTPSEnable : 1\n"
       "  HTTPSPort : 443\n  HTTPSProxy : s\n}\n", "https=s:443;ftp=f:21", 0, "", 0, ""},
      {"url kept while switched off", "<dictionary> {\n  ProxyAutoConfigEnable : 0\n"
       "  ProxyAutoConfigURLString : http://wpad/wpad.dat\n}\n", "none", 0, "http://wpad/wpad.dat", 0, ""},
      {"simple host names only", "<dictionary> {\n  ExcludeSimpleHostnames : 1\n}\n", "none", 0, "", 1, "<local>"},
      {"two items", "<dictionary> {\n  ExceptionsList : <array> {\n    0 : a.example\n    1 : *.b\n  }\n"
       "  ExcludeSimpleHostnames : 0\n}\n", "none", 0, "", 1, "a.example;*.b"},
      {"unclosed exception block", "<dictionary> {\n  ExceptionsList : <array> {\n    0 : a.example\n"
       "    1 : c.example\n", "none", 0, "", 1, "a.example;c.example"},
      // A key with nothing after it, shorter than where a value would start.
      {"short lines", "<dictionary> {\n  HTTPEnable : 1\n  HTTPProxy :\n  HTTPPort :\n  ProxyAutoConfigEnable :\n"
       "  ProxyAutoConfigURLString :\n}\n", "http=:", 0, "", 0, ""},
      {"host that merely contains none", "<dictionary> {\n  HTTPEnable : 1\n  HTTPPort : 80\n"
       "  HTTPProxy : nonesuch.corp\n}\n", "http=nonesuch.corp:80", 0, "", 0, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    use_scutil_text(r.text);
    std::string saved, url, bypass;
    GetSavedUserProxyString(&saved);
    EXPECT_EQ(saved, r.saved);
    EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), r.pac_answer);
    EXPECT_EQ(url, r.url);
    EXPECT_EQ(getbypass(&bypass), r.bypass_answer);
    EXPECT_EQ(bypass, r.bypass);
  }
}

TEST_F(SavedProxySettings, OverlongValuesAreRefusedWhole) {
  const std::string long_host(140, 'h');
  const std::string long_item(40, 'x');
  use_scutil_text("<dictionary> {\n  ExceptionsList : <array> {\n    0 : " + long_item +
                  "\n    1 : ok.example\n  }\n  HTTPEnable : 1\n  HTTPPort : 80\n  HTTPProxy : " + long_host +
                  "\n  HTTPSEnable : 1\n  HTTPSPort : 443\n  HTTPSProxy : s.example\n"
                  "  ProxyAutoConfigEnable : 1\n  ProxyAutoConfigURLString : file:///" + std::string(100, 'u') +
                  "\n}\n");
  LogCapture log;
  std::string saved, url, bypass;
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "https=s.example:443");  // no cut host ever reaches a PAC file
  EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), 1);
  EXPECT_EQ(url, "");
  EXPECT_EQ(getbypass(&bypass), 1);
  EXPECT_EQ(bypass, "ok.example");
  EXPECT_TRUE(log.has("longer than"));
}

TEST_F(SavedProxySettings, AbnormalEndsAnswerThreeAndKeepWhatWasRead) {
  struct row {
    const char* name;
    const char* tail;
  };
  const row rows[] = {{"exit status 1", "exit 1"}, {"killed by a signal", "kill -9 $$"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    use_scutil_text(kScoped, r.tail);
    std::string host, port, url, bypass, saved;
    EXPECT_EQ(getproxy("HTTPProxy :", "HTTPPort :", "HTTPEnable :", &host, &port), 3);
    EXPECT_EQ(host, "proxy.example.com");
    EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), 3);
    EXPECT_EQ(url, "file://localhost/Users/me/proxy.pac");
    EXPECT_EQ(getbypass(&bypass), 3);
    EXPECT_EQ(bypass, "<local>;*.local;169.254/16");
    GetSavedUserProxyString(&saved);
    EXPECT_EQ(saved, "none");
  }
}

// An output cut at the runner's limit ends in the middle of a line: here
// the HTTP proxy's host, which would be taken as "proxy.ex". The whole
// output is refused instead.
TEST_F(SavedProxySettings, OutputCutAtTheLimitIsAFailedRead) {
  std::string text = "<dictionary> {\n  ExceptionsList : <array> {\n";
  const std::string tail = "  }\n  HTTPEnable : 1\n  HTTPPort : 8080\n  HTTPProxy : proxy.ex";
  for (int i = 0; text.size() + tail.size() < (1u << 20) - 40; ++i)
    text += "    " + std::to_string(i) + " : host-" + std::to_string(i) + ".example\n";
  text += "    0 : " + std::string((1u << 20) - text.size() - tail.size() - 9, 'p') + "\n";
  text += tail;
  ASSERT_EQ(text.size(), 1u << 20);
  text += "ample.com\n  ProxyAutoConfigEnable : 1\n  ProxyAutoConfigURLString : file:///x.pac\n}\n";
  use_scutil_text(text);
  LogCapture log;
  std::string host, port, saved, url;
  EXPECT_EQ(getproxy("HTTPProxy :", "HTTPPort :", "HTTPEnable :", &host, &port), 3);
  EXPECT_EQ(host, "");
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "none");
  EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), 3);
  EXPECT_EQ(url, "");
  EXPECT_TRUE(log.has("scutil printed more than 1048576 bytes; its output is not used"));
}

// A scutil that prints and then hangs: its run is stopped at the tool bound,
// what it printed is not used, and the round's other readers do not start
// it again, so the eight reads cost one bound, not eight.
TEST_F(SavedProxySettings, HungToolCostsOneBoundPerRound) {
  use_scutil_text(kScoped, "exec sleep 600");
  saved_settings_round_begin();
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  std::string saved, url, bypass;
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(GetSavedUserProxyScriptFileName(&url), 3);
  EXPECT_EQ(getbypass(&bypass), 3);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(saved, "none");
  EXPECT_EQ(url, "");
  EXPECT_EQ(bypass, "");
  EXPECT_TRUE(log.has("did not end within 10 s, stopped"));
  EXPECT_TRUE(log.has("not run again"));
  EXPECT_GE(took, std::chrono::milliseconds(kToolBoundMs));
  EXPECT_LT(took, std::chrono::milliseconds(2 * kToolBoundMs));
  // The next round asks the tool again.
  use_scutil_text(kScoped);
  saved_settings_round_begin();
  saved.clear();
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "https=secure.example.com:8443;http=proxy.example.com:8080");
}

TEST_F(SavedProxySettings, StandInRendersTheStoreForTheReaders) {
  one_service(R"({"HTTPEnable": 1, "HTTPProxy": "p.example", "HTTPPort": 8080,
                  "ExceptionsList": ["*.local", "169.254/16"], "ExcludeSimpleHostnames": 1})");
  std::string saved, bypass;
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "http=p.example:8080");
  EXPECT_EQ(getbypass(&bypass), 2);
  EXPECT_EQ(bypass, "<local>;*.local;169.254/16");
  // The global proxies entry, when present, is what the tool prints.
  write_store(R"({"State:/Network/Service/ETH/IPv4": {}, "State:/Network/Global/IPv4": {"PrimaryService": "ETH"},
                  "State:/Network/Global/Proxies": {"SOCKSEnable": 1, "SOCKSProxy": "s", "SOCKSPort": 1080,
                    "__SCOPED__": {"en0": {"SOCKSEnable": 0, "HTTPEnable": 1, "HTTPProxy": "x", "HTTPPort": 1}}}})");
  saved.clear();
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "socks=s:1080");
}

TEST_F(SavedProxySettings, MissingToolCountsAsNothingSaved) {
  proxy_set_scutil_command("exec 2>/dev/null; exec /nonexistent/scutil");
  LogCapture log;
  std::string saved;
  GetSavedUserProxyString(&saved);
  EXPECT_EQ(saved, "none");
}

}  // namespace
