#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "client/proxy/pac_text.h"
#include "client/proxy/proxy_internal.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/proxy_fixture.h"

namespace {

class OutsidePac : public ProxyRoot {
 protected:
  void SetUp() override {
    ProxyRoot::SetUp();
    s.proxy_type = OUTPROXY_HTTP;
    add(m_pResouceList, "10.1.0.0", "255.255.0.0");
    add(m_pResouceList, "172.16.5.0", "255.255.255.0");
  }
  int run() { return generate_outside_script_mac(&s, "/Library/Frameworks/"); }
  // The installed file's text (the one the service now points at).
  std::string installed_text() {
    auto files = installed();
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : read_text(files[0]);
  }
  pac_eval_result eval_installed(const std::vector<std::string>& urls) {
    auto files = installed();
    EXPECT_EQ(files.size(), 1u);
    return pac_evaluate(files.empty() ? "/nonexistent" : files[0], urls, kNames);
  }
  const std::map<std::string, std::string> kNames = {
      {"vpn.example.com", "198.18.0.1"}, {"intranet.corp", "10.1.2.3"}, {"excluded.corp", "10.9.0.5"},
      {"www.example.org", "203.0.113.9"}, {"printer.local", "192.168.1.20"}};
};

constexpr char kGatewayRules[] =
    "\nfunction FindProxyForURL(url, host)\n{\n"
    "\tif(dnsResolve(host) == \"vpn.example.com\") {\n\t\treturn \"PROXY 192.0.2.8:3128\";\n\t}\n"
    "\tif(shExpMatch(host, \"vpn.example.com\")) {\n\t\treturn \"PROXY 192.0.2.8:3128\";\n\t}\n";
constexpr char kResourceRules[] =
    "\tif (isInNet(host, \"10.1.0.0\", \"255.255.0.0\")) {\n\t\treturn \"DIRECT\";\n\t}\n"
    "\tif (isInNet(host, \"172.16.5.0\", \"255.255.255.0\")) {\n\t\treturn \"DIRECT\";\n\t}\n";

TEST_F(OutsidePac, FullTunnelFileIsExactAndInstalledOnTheService) {
  one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "proxy.example.com", "HTTPPort": 8080,
                  "ExceptionsList": ["*.local"], "ExcludeSimpleHostnames": 1})j");
  add(m_pResouceList, "0.0.0.0", "0.0.0.0");
  full_tunnel(true);
  LogCapture log;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(installed_text(), std::string(kGatewayRules) + kResourceRules +
                                  "\tif (isInNet(host, \"0.0.0.0\", \"0.0.0.0\")) {\n\t\treturn \"DIRECT\";\n\t}\n"
                                  "\treturn \"DIRECT\";\n}\n");
  EXPECT_TRUE(log.has("GenerateScript:the bypass is :<local>;*.local"));
  EXPECT_FALSE(log.has("GenerateBypassScript"));
  const std::string name = installed()[0].substr(pac_dir().size());
  EXPECT_EQ(commands[0], "rm -f /Library/Frameworks/tev_prox?*.pac");
  EXPECT_EQ(commands[1], "mv /Library/Frameworks/tev_prox.pac /Library/Frameworks/" + name);
  auto p = proxies_of("ETH");
  EXPECT_EQ(p["ProxyAutoConfigURLString"], "file://localhost/Library/Frameworks/" + name);
  EXPECT_EQ(p["ProxyAutoConfigEnable"], 1);
  EXPECT_EQ(p["HTTPEnable"], 0);
  EXPECT_EQ(p["HTTPProxy"], "proxy.example.com");
  auto r = eval_installed({"https://vpn.example.com/", "http://intranet.corp/", "http://www.example.org/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"PROXY 192.0.2.8:3128", "DIRECT", "DIRECT"}));
}

TEST_F(OutsidePac, SplitTunnelFollowsTheSavedProxiesAndBypass) {
  one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "proxy.example.com", "HTTPPort": 8080,
                  "HTTPSEnable": 1, "HTTPSProxy": "secure.example.com", "HTTPSPort": 8443,
                  "RTSPEnable": 1, "RTSPProxy": "media.example.com", "RTSPPort": 554,
                  "SOCKSEnable": 1, "SOCKSProxy": "socks.example.com", "SOCKSPort": 1080,
                  "ExceptionsList": ["*.local", "169.254/16", "", "host(1)"], "ExcludeSimpleHostnames": 1})j");
  add(m_pExcludeResouceList, "10.9.0.0", "255.255.0.0");
  EXPECT_EQ(run(), 0);
  const std::string text = installed_text();
  const std::string bypass =
      "\tif(isPlainHostName(host) || host.search(/.*\\.local|169\\.254\\/16|host\\(1\\)/) >= 0) {\n"
      "\t\treturn \"DIRECT\";\n\t}\n";
  EXPECT_NE(text.find("\tif (url.substring(0, 5) == \"http:\") {\n" + bypass +
                      "\t\treturn \"PROXY proxy.example.com:8080\";\n\t}\n\n"
                      "\tif (url.substring(0, 6) == \"https:\") {\n" + bypass),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(bypass + "\treturn \"SOCKS socks.example.com:1080\";\n}\n"), std::string::npos) << text;
  auto r = eval_installed({"https://vpn.example.com/", "http://excluded.corp/", "http://intranet.corp/",
                           "http://www.example.org/", "https://www.example.org/", "rtsp://www.example.org/s",
                           "ftp://www.example.org/", "http://printer.local/", "http://intranet/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"PROXY 192.0.2.8:3128", "PROXY 192.0.2.8:3128", "DIRECT",
                                                 "PROXY proxy.example.com:8080", "PROXY secure.example.com:8443",
                                                 "PROXY media.example.com:554", "SOCKS socks.example.com:1080",
                                                 "DIRECT", "DIRECT"}));
}

TEST_F(OutsidePac, ProxyValuesWithSchemesAndHostileTexts) {
  // Values as scutil prints them: a scheme before "://" is dropped when it is
  // http, https or ftp; another scheme refuses the protocol.
  std::string p;
  EXPECT_TRUE(SkipHttpOrHttpsString("HTTP://p.example:80", &p));
  EXPECT_EQ(p, "p.example:80");
  EXPECT_FALSE(SkipHttpOrHttpsString("gopher://p.example:70", &p));
  EXPECT_TRUE(SkipHttpOrHttpsString("p.example:80", &p));
  EXPECT_EQ(p, "p.example:80");

  // Gateway names that are no plain host name: the dnsResolve rule stays with
  // the name escaped, only the shExpMatch rule (a regular expression to the
  // engine) is left out.
  for (const char* name : {"gw\"); return \"EVIL\"; //\\", "gw+(1).example"}) {
    SCOPED_TRACE(name);
    proxy_reset_for_test();
    one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "q\"uote\\", "HTTPPort": 1,
                    "ExceptionsList": ["a/b\\"]})j");
    std::snprintf(s.hostname, sizeof s.hostname, "%s", name);
    LogCapture log;
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(log.has("is not a plain host name, its shExpMatch rule is left out"));
    const std::string text = installed_text();
    EXPECT_NE(text.find("\tif(dnsResolve(host) == " + pac_js_quote(name) + ") {\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("shExpMatch"), std::string::npos) << text;
    auto names = kNames;
    names["alias.corp"] = name;  // a host that resolves to the gateway's name
    auto files = installed();
    ASSERT_EQ(files.size(), 1u);
    auto r = pac_evaluate(files[0], {"http://alias.corp/", "http://www.example.org/", "http://intranet.corp/"}, names);
    ASSERT_TRUE(r.ok) << r.error << text;
    EXPECT_EQ(r.answers, (std::vector<std::string>{"PROXY 192.0.2.8:3128", "PROXY q\"uote\\:1", "DIRECT"}));
    for (const auto& f : files) unlink(f.c_str());
  }
}

TEST_F(OutsidePac, LongExceptionListIsWrittenWhole) {
  std::string list;
  // As many items as the saved list holds (30 characters each, 1023 in all).
  for (int i = 10; i < 45; ++i) list += std::string(i > 10 ? "," : "") + "\"h" + std::to_string(i) + "-" +
                                        std::string(16, 'x') + ".example\"";
  one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "p", "HTTPPort": 1, "FTPEnable": 1, "FTPProxy": "f", "FTPPort": 2,
                  "HTTPSEnable": 1, "HTTPSProxy": "s", "HTTPSPort": 3, "ExceptionsList": [)j" + list + "]}");
  EXPECT_EQ(run(), 0);
  auto r = eval_installed({"http://h44-" + std::string(16, 'x') + ".example/", "http://other.example/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"DIRECT", "PROXY p:1"}));
}

TEST_F(OutsidePac, UserScriptIsCalledOnlyWhenEnabledAndLocal) {
  write_file(root_ + "/Users/me.pac", "");
  std::filesystem::create_directories(root_ + "/Users");
  write_file(root_ + "/Users/me.pac",
             "function FindProxyForURL(url, host) {\n  return \"PROXY user.example:1\";\n}\n");
  struct row {
    const char* name;
    const char* url;
    int enable;
    const char* other;  // answer for a URL no rule catches
  };
  const row rows[] = {
      {"enabled localhost URL", "file://localhost/Users/me.pac", 1, "PROXY user.example:1"},
      {"enabled file:/// URL", "file:///Users/me.pac", 1, "PROXY user.example:1"},
      {"switched off", "file://localhost/Users/me.pac", 0, "PROXY manual.example:2"},
      {"remote URL", "http://wpad.example/wpad.dat", 1, "PROXY manual.example:2"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    one_service(std::string(R"j({"HTTPEnable": 1, "HTTPProxy": "manual.example", "HTTPPort": 2,
                  "ProxyAutoConfigEnable": )j") + std::to_string(r.enable) +
                R"(, "ProxyAutoConfigURLString": ")" + r.url + "\"}");
    EXPECT_EQ(run(), 0);
    auto e = eval_installed({"http://www.example.org/", "http://intranet.corp/"});
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.answers, (std::vector<std::string>{r.other, "DIRECT"}));
  }
}

TEST_F(OutsidePac, UserFileThatIsNoPlainReadableFileIsNotCopied) {
  const std::string users = root_ + "/Users/";
  std::filesystem::create_directories(users);
  const std::string script = "function FindProxyForURL(url, host) {\n  return \"PROXY user.example:1\";\n}\n";
  struct row {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* log;
  };
  int n = 0;
  const row rows[] = {
      // Opened with blocking, a FIFO would hold the bring-up until a writer came.
      {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, "is not a regular file"},
      {"device", [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
       "is not a regular file"},
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); }, "is not a regular file"},
      {"over the cap",
       [](const std::string& p) {
         write_file(p, "function FindProxyForURL(url, host) { return \"PROXY big:1\"; }\n");
         std::filesystem::resize_file(p, 5u << 20);
         chmod(p.c_str(), 0644);
       },
       "is larger than 4194304 bytes"},
      // The installed file is world-readable: what only root (or a group) may
      // read is never copied into it, with or without a function in it.
      {"root only, no function",
       [](const std::string& p) {
         write_file(p, "secret-root-only-text\n");
         chmod(p.c_str(), 0600);
       },
       "is not readable by others"},
      {"group only",
       [&](const std::string& p) {
         write_file(p, script + "// secret-group-text\n");
         chmod(p.c_str(), 0640);
       },
       "is not readable by others"},
      // Its own bits let everyone read it, but its folder (reached through a
      // link) lets nobody else in.
      {"in a folder others cannot enter",
       [&](const std::string& p) {
         const std::string dir = root_ + "/private-" + std::to_string(n);
         std::filesystem::create_directory(dir);
         chmod(dir.c_str(), 0700);
         write_file(dir + "/user.pac", script + "// secret-folder-text\n");
         chmod((dir + "/user.pac").c_str(), 0644);
         std::filesystem::create_symlink(dir + "/user.pac", p);
       },
       "is in a folder others cannot enter"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    proxy_reset_for_test();
    for (const auto& f : installed()) unlink(f.c_str());
    const std::string file = "u" + std::to_string(n++) + ".pac";
    r.make(users + file);
    one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "manual.example", "HTTPPort": 2,
                     "ProxyAutoConfigEnable": 1, "ProxyAutoConfigURLString": "file:///Users/)j" + file + "\"}");
    LogCapture log;
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(log.has(r.log));
    EXPECT_FALSE(log.has("failed to open file"));
    // Built as when the user has no script of their own.
    const std::string text = installed_text();
    EXPECT_EQ(text.rfind(kGatewayRules, 0), 0u) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos);
    auto e = eval_installed({"http://www.example.org/", "http://intranet.corp/", "https://vpn.example.com/"});
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.answers, (std::vector<std::string>{"PROXY manual.example:2", "DIRECT", "PROXY 192.0.2.8:3128"}));
  }
}

// Folders for the user's file: one everyone may enter, one only its owner
// may, one others may only pass through.
class UserPacWalk : public OutsidePac {
 protected:
  void SetUp() override {
    OutsidePac::SetUp();
    users = root_ + "/Users/";
    folder("", 0755);
    folder("pub", 0755);
    folder("secret", 0700);
    folder("search", 0711);
    file("pub/me.pac", "public-text");
    file("secret/me.pac", "secret-text");
    file("search/me.pac", "search-only-text");
  }
  void folder(const std::string& name, mode_t mode) {
    std::filesystem::create_directories(users + name);
    ASSERT_EQ(chmod((users + name).c_str(), mode), 0);
  }
  void file(const std::string& name, const std::string& text) {
    write_file(users + name, text);
    ASSERT_EQ(chmod((users + name).c_str(), 0644), 0);
  }
  void link(const std::string& name, const std::string& target) {
    ASSERT_EQ(symlink(target.c_str(), (users + name).c_str()), 0) << name;
  }
  user_pac read(const std::string& name, std::string* text) {
    return read_user_pac(users + name, "file:///Users/" + name, text);
  }
  std::string users;
};

TEST_F(UserPacWalk, FoldersAndLinksOnThePath) {
  folder("other/deep", 0755);
  file("other/me.pac", "other-text");
  ASSERT_EQ(mkfifo((users + "pub/fifo").c_str(), 0644), 0);
  link("rel", "pub");
  link("abs", users + "pub");
  link("pub/file.pac", "me.pac");
  link("pub/up", users + "other/deep");
  link("priv", "secret");
  link("pub/fifo-link", "fifo");
  link("loop1", "loop2");
  link("loop2", "./loop1");
  link("dangling", "nowhere");
  // A chain: c0 -> c1 -> ... -> c40 -> pub, so c1 takes 40 links, c0 41.
  for (int i = 0; i < 41; ++i) link("c" + std::to_string(i), i == 40 ? "pub" : "c" + std::to_string(i + 1));
  struct row {
    const char* path;
    user_pac result;
    const char* text;  // what is read, or a part of the log line
  };
  const std::string closed = "is in a folder others cannot enter (" + users + "secret)";
  const row rows[] = {
      {"pub/me.pac", user_pac::read, "public-text"},
      {".//pub/./me.pac", user_pac::read, "public-text"},
      {"rel/me.pac", user_pac::read, "public-text"},
      {"abs/me.pac", user_pac::read, "public-text"},
      {"pub/file.pac", user_pac::read, "public-text"},
      // ".." after a link leaves the folder the link led to, not the link's.
      {"pub/up/../me.pac", user_pac::read, "other-text"},
      {"search/me.pac", user_pac::read, "search-only-text"},
      {"c1/me.pac", user_pac::read, "public-text"},
      {"secret/me.pac", user_pac::refused, closed.c_str()},
      {"priv/me.pac", user_pac::refused, closed.c_str()},
      {"secret/../pub/me.pac", user_pac::refused, closed.c_str()},
      // Opened without blocking: a FIFO behind a link cannot hold the read.
      {"pub/fifo-link", user_pac::refused, "is not a regular file"},
      {"loop1", user_pac::unopened, "goes through more than 40 links"},
      {"c0/me.pac", user_pac::unopened, "goes through more than 40 links"},
      {"dangling", user_pac::unopened, ""},
      {"pub/me.pac/", user_pac::unopened, ""},
      {"pub/missing.pac", user_pac::unopened, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    LogCapture log;
    std::string text = "untouched";
    EXPECT_EQ(read(r.path, &text), r.result);
    if (r.result == user_pac::read) {
      EXPECT_EQ(text, r.text);
    } else {
      EXPECT_EQ(text, "untouched");
      if (*r.text) {
        EXPECT_TRUE(log.has(r.text));
      }
    }
  }
}

// A user swaps a link between a file in their closed folder and a public
// file while the daemon reads it: what was read is always what was checked.
TEST_F(UserPacWalk, SwappedLinkNeverReadsTheClosedFolder) {
  link("swapped.pac", users + "pub/me.pac");
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread swapper([&] {
    const std::string tmp = users + "swapping", at = users + "swapped.pac";
    for (long i = 0; !stop; ++i) {
      const std::string target = users + (i % 2 ? "secret/me.pac" : "pub/me.pac");
      unlink(tmp.c_str());
      if (symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), at.c_str()) == 0) ++swaps;
    }
  });
  LogCapture log;
  long secret = 0, pub = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (long i = 0; (i < 5000 || swaps < 2000) && std::chrono::steady_clock::now() < until; ++i) {
    std::string text;
    if (read("swapped.pac", &text) == user_pac::read) ++(text == "secret-text" ? secret : pub);
  }
  stop = true;
  swapper.join();
  EXPECT_GE(swaps, 2000);
  EXPECT_EQ(secret, 0);
  EXPECT_GT(pub, 0);
}

TEST_F(OutsidePac, SecondRunNeverChainsItsOwnFile) {
  std::filesystem::create_directories(root_ + "/Users");
  write_file(root_ + "/Users/me.pac", "function FindProxyForURL(url, host) {\n  return \"PROXY user.example:1\";\n}\n");
  one_service(R"j({"ProxyAutoConfigEnable": 1, "ProxyAutoConfigURLString": "file://localhost/Users/me.pac",
                   "HTTPProxy": "manual.example", "HTTPPort": 2, "HTTPEnable": 1})j");
  EXPECT_EQ(run(), 0);
  // A "commandline" run leaves the service on its installed file; the next
  // run reads that as the user's script. A copy under another name is
  // caught by its content.
  const std::string own = proxies_of("ETH")["ProxyAutoConfigURLString"];
  ASSERT_EQ(own.rfind("file://localhost/Library/Frameworks/tev_prox", 0), 0u);
  std::filesystem::copy_file(installed()[0], root_ + "/Users/copy.pac");
  for (const std::string& again : {own, std::string("file://localhost/Users/copy.pac")}) {
    SCOPED_TRACE(again);
    proxy_reset_for_test();
    one_service(R"j({"HTTPProxy": "manual.example", "HTTPPort": 2, "HTTPEnable": 1,
                     "ProxyAutoConfigEnable": 1, "ProxyAutoConfigURLString": ")j" + again + "\"}");
    sleep(1);  // a new installed name
    EXPECT_EQ(run(), 0);
    auto e = eval_installed({"http://www.example.org/", "http://intranet.corp/"});
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.answers, (std::vector<std::string>{"PROXY manual.example:2", "DIRECT"}));
  }
}

TEST_F(OutsidePac, PathsThatWriteNoFile) {
  struct row {
    const char* name;
    std::function<void(OutsidePac*)> prepare;
    const char* log;
  };
  const row rows[] = {
      {"no tunnel", [](OutsidePac* t) { t->s.tunfd = -1; }, "tun fd is not valid"},
      {"nothing saved", [](OutsidePac*) {}, "clear proxy settings - no script is necessary"},
      {"user script unreadable",
       [](OutsidePac* t) {
         t->one_service(R"j({"ProxyAutoConfigEnable": 1, "ProxyAutoConfigURLString": "file:///missing.pac"})j");
       },
       "failed to open file file:///missing.pac for reading"},
      {"no resources", [](OutsidePac* t) { m_pResouceList->count = 0; (void)t; }, "here are no zones in adapter object"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    s.tunfd = 7;
    one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "p", "HTTPPort": 1})j");
    if (std::string(r.name) == "nothing saved") one_service(R"j({"HTTPEnable": 0})j");
    r.prepare(this);
    for (const auto& f : installed()) unlink(f.c_str());
    write_file(pac_path(), "stale text of an earlier run");
    LogCapture log;
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(log.has(r.log));
    EXPECT_TRUE(installed().empty());  // nothing stale is installed
    EXPECT_EQ(proxies_of("ETH")["ProxyAutoConfigEnable"], 1);  // the services are switched all the same
  }
}

TEST_F(OutsidePac, ProxyHostContainingNoneIsStillAProxy) {
  one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "nonesuch.corp", "HTTPPort": 80})j");
  EXPECT_EQ(run(), 0);
  auto r = eval_installed({"http://www.example.org/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers[0], "PROXY nonesuch.corp:80");
}

TEST_F(OutsidePac, NoOutsideProxyDoesNothing) {
  s.proxy_type = OUTPROXY_NONE;
  one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "p", "HTTPPort": 1})j");
  LogCapture log;
  EXPECT_EQ(run(), 2);
  EXPECT_TRUE(log.has("no proxy setting or using PPP line, skip operations related to proxy"));
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(proxies_of("ETH")["HTTPEnable"], 1);
}

TEST(BypassScript, Conditions) {
  struct row {
    const char* bypass;
    int answer;
    const char* block;
  };
  const row rows[] = {
      {"", 0, ""},
      {"<local>", 1, "\tif(isPlainHostName(host)) {\n\t\treturn \"DIRECT\";\n\t}\n"},
      {"*.local;10.*", 1, "\tif(host.search(/.*\\.local|10\\..*/) >= 0) {\n\t\treturn \"DIRECT\";\n\t}\n"},
      {"<local>;;a", 1, "\tif(isPlainHostName(host) || host.search(/a/) >= 0) {\n\t\treturn \"DIRECT\";\n\t}\n"},
      {"<local>;<local>", 1, "\tif(isPlainHostName(host)) {\n\t\treturn \"DIRECT\";\n\t}\n"},
      {";;", 0, ""},
  };
  for (const auto& r : rows) {
    std::string out = "x";
    EXPECT_EQ(GenerateBypassScript(&out, r.bypass), r.answer) << r.bypass;
    EXPECT_EQ(out, r.block) << r.bypass;
  }
}

}  // namespace
