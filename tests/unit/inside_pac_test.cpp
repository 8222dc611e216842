#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "tests/unit/log_capture.h"
#include "tests/unit/proxy_fixture.h"

namespace {

std::atomic<int> sleeps{0};
void count_sleep(unsigned) { ++sleeps; }

class InsidePac : public ProxyRoot {
 public:
  void SetUp() override {
    ProxyRoot::SetUp();
    s.proxy_type = OUTPROXY_NONE;
    add(m_pResouceList, "0.0.0.0", "0.0.0.0");
    full_tunnel(true);
    one_service(R"j({"HTTPEnable": 1, "HTTPProxy": "manual.example", "HTTPPort": 8080})j");
    // A curl that records its arguments and environment, waits while curl.hold exists and
    // curl.release does not, sleeps curl.delay seconds, writes curl.body
    // (when there is one) to its -o file, records the size that file reached
    // and exits with curl.exit (or 0).
    const std::string r = "'" + root_ + "/curl.";
    write_file(root_ + "/curl", "#!/bin/sh\necho \"$@\" >> " + r + "args'\nenv >> " + r + "env'\nout=\n"
               "while [ $# -gt 0 ]; do [ \"$1\" = -o ] && out=\"$2\"; shift; done\n"
               "if [ -f " + r + "hold' ]; then while [ ! -f " + r + "release' ]; do sleep 0.05; done; fi\n"
               "[ -f " + r + "delay' ] && sleep \"$(cat " + r + "delay')\"\n"
               "if [ -f " + r + "body' ]; then cat " + r + "body' > \"$out\"; st=$?; wc -c < \"$out\" >> " + r + "sizes'\n"
               // a write past the file cap ends curl itself
               "  [ $st = 0 ] || kill -XFSZ $$; fi\n"
               "[ -f " + r + "exit' ] && exit \"$(cat " + r + "exit')\"\nexit 0\n");
    chmod((root_ + "/curl").c_str(), 0755);
    proxy_set_curl_path((root_ + "/curl").c_str());
    sleeps = 0;
    proxy_set_sleep_hook(count_sleep);
  }
  void inside(uint32_t type, const char* text) {
    m_pNetConfigFlag->inside_proxy_len = 1;
    m_pInsideProxy->type = type;
    std::snprintf(m_pInsideProxy->proxy, sizeof m_pInsideProxy->proxy, "%s", text);
  }
  std::string inside_pac() const { return root_ + "/Library/Frameworks/tev_prox.pac"; }
  pac_eval_result eval_installed(const std::vector<std::string>& urls) {
    auto files = installed();
    EXPECT_EQ(files.size(), 1u);
    return pac_evaluate(files.empty() ? "/nonexistent" : files[0], urls,
                        {{"vpn.example.com", "198.18.0.1"}, {"intranet.corp", "10.1.2.3"},
                         {"excluded.corp", "10.9.0.5"}, {"www.example.org", "203.0.113.9"}});
  }
  std::vector<std::string> curl_calls() const {
    std::vector<std::string> out;
    std::ifstream f(root_ + "/curl.args");
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
  }
};

TEST_F(InsidePac, ManualProxyFileIsExactAndInstalled) {
  inside(PROXY_MANUAL, "inside.corp:3128");
  add(m_pExcludeResouceList, "10.9.0.0", "255.255.0.0");
  LogCapture log;
  EXPECT_EQ(generate_insideproxy_script(&s), 0);
  EXPECT_EQ(s.proxy_mode.load(), PROXYMODE_INSIDE);
  EXPECT_TRUE(log.has("inside proxy type is 0, PROXY_MANUAL is 0, PROXY_SCRIPT is 1"));
  EXPECT_TRUE(log.has("here find excluded network zones in inside proxy"));
  auto files = installed();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_text(files[0]),
            "\nfunction FindProxyForURL(url, host)\n{\n"
            "\tif (host == \"localhost\") {\n\t\treturn \"DIRECT\";\n\t}\n"
            "\tif (host == \"127.0.0.1\") {\n\t\treturn \"DIRECT\";\n\t}\n"
            "\tif (dnsResolve(host) == 'vpn.example.com' || localHostOrDomainIs('vpn.example.com', host)) {\n"
            "\t\treturn \"DIRECT\";\n\t}\n"
            "\tif (isInNet(host, \"10.9.0.0\", \"255.255.0.0\")) {\n\t\treturn \"DIRECT\";\n\t}\n"
            "\treturn \"PROXY inside.corp:3128\";\n}\n");
  auto r = eval_installed({"http://localhost/", "http://127.0.0.1/", "https://vpn.example.com/",
                           "http://excluded.corp/", "http://intranet.corp/", "http://www.example.org/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"DIRECT", "DIRECT", "DIRECT", "DIRECT", "PROXY inside.corp:3128",
                                                 "PROXY inside.corp:3128"}));
  EXPECT_EQ(proxies_of("ETH")["ProxyAutoConfigEnable"], 1);
}

TEST_F(InsidePac, ProxyTextForms) {
  struct row {
    const char* text;
    std::vector<std::string> answers;  // http, https, ftp, gopher
  };
  const row rows[] = {
      {"IEPROTO#http=h.corp:1;https=s.corp:2#", {"PROXY h.corp:1", "PROXY s.corp:2", "DIRECT", "DIRECT"}},
      {"IEPROTO#ftp=f:21;gopher=g:70;socks=k:1080#", {"DIRECT", "DIRECT", "PROXY f:21", "PROXY g:70"}},
      {"IEPROTO#single.corp:8080#", {"PROXY single.corp:8080", "PROXY single.corp:8080", "PROXY single.corp:8080",
                                     "PROXY single.corp:8080"}},
      // The manual wrapper's own closing "#" ends the list.
      {"IEPROTO#open", {"PROXY open", "PROXY open", "PROXY open", "PROXY open"}},
      {"q\"uote\\');x", {"PROXY q\"uote\\');x", "PROXY q\"uote\\');x", "PROXY q\"uote\\');x", "PROXY q\"uote\\');x"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    proxy_reset_for_test();
    s.proxy_mode = PROXYMODE_NONE;
    inside(PROXY_MANUAL, r.text);
    EXPECT_EQ(generate_insideproxy_script(&s), 0);
    auto e = eval_installed({"http://www.example.org/", "https://www.example.org/", "ftp://www.example.org/",
                             "gopher://www.example.org/"});
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.answers, r.answers);
  }
  std::string lines;
  FindProxyHostInProxyString(&lines, "IEPROTO#http=h:1;https=s:2#", 1);
  EXPECT_EQ(lines, "\tif (url.substring(0, 5) == \"http:\") {\n\t\treturn \"PROXY h:1\";\n\t}\n"
                   "\tif (url.substring(0, 6) == \"https:\") {\n\t\treturn \"PROXY s:2\";\n\t}\n"
                   "\treturn \"DIRECT\";\n");
}

TEST_F(InsidePac, Refusals) {
  struct row {
    const char* name;
    std::function<void(InsidePac*)> prepare;
    const char* log;
  };
  const row rows[] = {
      {"outside proxy", [](InsidePac* t) { t->s.proxy_mode = PROXYMODE_OUTSIDE; },
       "Outside proxy has been set, so inside is auto disabled here"},
      {"split tunnel", [](InsidePac* t) { t->full_tunnel(false); },
       "Tunnel has not been created or tunnel is not full tunneling mode!"},
      {"no tunnel", [](InsidePac* t) { t->s.tunfd = -1; },
       "Tunnel has not been created or tunnel is not full tunneling mode!"},
      {"no section", [](InsidePac*) { m_pNetConfigFlag->inside_proxy_len = 0; },
       "inside proxy type is disabled, proxy len 0, proxy type 0"},
      {"other type", [](InsidePac*) { m_pInsideProxy->type = PROXY_NONE; },
       "inside proxy type is disabled, proxy len 1, proxy type 2"},
      {"teardown begun", [](InsidePac*) { proxy_teardown_begin(); }, "teardown has begun, inside proxy is not set"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    proxy_reset_for_test();
    s.proxy_mode = PROXYMODE_NONE;
    s.tunfd = 7;
    full_tunnel(true);
    inside(PROXY_MANUAL, "p:1");
    const uint8_t mode_before = r.name == std::string("outside proxy") ? PROXYMODE_OUTSIDE : PROXYMODE_NONE;
    r.prepare(this);
    LogCapture log;
    EXPECT_EQ(generate_insideproxy_script(&s), -1);
    EXPECT_TRUE(log.has(r.log));
    EXPECT_EQ(s.proxy_mode.load(), mode_before);
    EXPECT_FALSE(std::filesystem::exists(inside_pac()));
    EXPECT_TRUE(commands.empty());
  }
}

TEST_F(InsidePac, DownloadedScriptDecidesTheRest) {
  write_file(root_ + "/curl.body",
             "function FindProxyForURL(url, host) {\n  return \"PROXY from-script.corp:9\";\n}\n");
  inside(PROXY_SCRIPT, "http://wpad.corp/proxy.pac\"$(touch /tmp/x)");
  LogCapture log;
  EXPECT_EQ(generate_insideproxy_script(&s), 0);
  EXPECT_TRUE(log.has("download url script for inside proxy directly"));
  ASSERT_EQ(curl_calls().size(), 1u);
  // One literal transfer of http or https, no configuration of curl's own read.
  EXPECT_EQ(curl_calls()[0], "-q --globoff --proto =http,https -m 3 --max-filesize 4M --noproxy * -o " + root_ +
                                 "/usr/local/tevra_vpn/tev_prox.tmp http://wpad.corp/proxy.pac\"$(touch /tmp/x)");
  const std::string text = read_text(installed().at(0));
  EXPECT_EQ(text.rfind("function __InProxyForURL(url, host) {\n", 0), 0u);
  EXPECT_NE(text.find("\treturn __InProxyForURL(url, host);\n}\n"), std::string::npos);
  auto r = eval_installed({"http://localhost/", "http://www.example.org/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"DIRECT", "PROXY from-script.corp:9"}));
  // The download file stays.
  EXPECT_TRUE(std::filesystem::exists(root_ + "/usr/local/tevra_vpn/tev_prox.tmp"));
}

TEST_F(InsidePac, FailedDownloadsLeaveNothingToInstall) {
  struct row {
    const char* name;
    const char* body;  // null: curl writes nothing
    const char* url;
    size_t curl_runs;
    int waits;
    const char* log;
    std::uintmax_t size = 0;  // the body padded to this size
  };
  const char* script = "function FindProxyForURL(url, host) { return \"PROXY big.corp:1\"; }\n";
  const row rows[] = {
      {"nothing downloaded", nullptr, "http://wpad.corp/p.pac", 3, 3, "failed to download the url script for inside proxy"},
      // curl stops at the limit itself; a file past it is not taken either way.
      {"past the size limit", script, "http://wpad.corp/p.pac", 3, 3, "is larger than 4194304, not used",
       (4u << 20) + 1},
      // A transfer that announced no size: curl's own limit does not stop
      // it, the cap on its files does.
      {"far past the size limit", script, "http://wpad.corp/p.pac", 3, 3, "is larger than 4194304, not used",
       6u << 20},
      {"not a script", "<html>error</html>\n", "http://wpad.corp/p.pac", 1, 0,
       "failed to download the url script for inside proxy"},
      {"no http URL", nullptr, "https://wpad.corp/p.pac", 0, 0, "inside proxy url format not include http invalid"},
      // Only a URL that begins with http:// reaches curl.
      {"file URL", "x", "file:///etc/hostname#http://", 0, 0, "inside proxy url format not include http invalid"},
      {"gopher URL", "x", "gopher://wpad.corp/http://", 0, 0, "inside proxy url format not include http invalid"},
      {"dict URL", "x", "dict://wpad.corp/http://", 0, 0, "inside proxy url format not include http invalid"},
      {"smb URL", "x", "smb://wpad.corp/share/http://p.pac", 0, 0, "inside proxy url format not include http invalid"},
      {"http later in the URL", "x", " http://wpad.corp/p.pac", 0, 0,
       "inside proxy url format not include http invalid"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    proxy_reset_for_test();
    s.proxy_mode = PROXYMODE_NONE;
    sleeps = 0;
    std::filesystem::remove(root_ + "/curl.args");
    std::filesystem::remove(root_ + "/curl.body");
    std::filesystem::remove(root_ + "/curl.sizes");
    if (r.body) write_file(root_ + "/curl.body", r.body);
    if (r.size) std::filesystem::resize_file(root_ + "/curl.body", r.size);
    write_file(inside_pac(), "stale");
    inside(PROXY_SCRIPT, r.url);
    LogCapture log;
    EXPECT_EQ(generate_insideproxy_script(&s), -1);
    EXPECT_TRUE(log.has(r.log));
    EXPECT_TRUE(log.has("Failed to download inside proxy url script"));
    EXPECT_EQ(curl_calls().size(), r.curl_runs);  // no proxied attempt without an outside proxy
    std::ifstream sizes(root_ + "/curl.sizes");
    for (long long size; sizes >> size;) EXPECT_LE(size, (4LL << 20) + 1);  // never more on disk
    EXPECT_EQ(sleeps.load(), r.waits);
    EXPECT_EQ(s.proxy_mode.load(), PROXYMODE_INSIDE);
    EXPECT_FALSE(std::filesystem::exists(inside_pac()));
    EXPECT_TRUE(commands.empty());
  }
}

// Proxy and key-log variables of the daemon's environment would send the
// direct download through a proxy or have curl write TLS secrets.
TEST_F(InsidePac, CurlSeesNoneOfTheDaemonsEnvironment) {
  const char* names[] = {"http_proxy", "HTTPS_PROXY", "ALL_PROXY", "SSLKEYLOGFILE", "CURL_HOME"};
  for (const char* n : names) setenv(n, "http://192.0.2.1:1/", 1);
  write_file(root_ + "/curl.body", "function FindProxyForURL(u, h) { return \"DIRECT\"; }\n");
  const std::string path = root_ + "/usr/local/tevra_vpn/tev_prox.tmp";
  const int rc = directdownload(path.c_str(), "http://wpad.corp/p.pac");
  for (const char* n : names) unsetenv(n);
  EXPECT_EQ(rc, 3);
  const std::string env = read_text(root_ + "/curl.env");
  std::istringstream lines(env);
  int paths = 0;
  for (std::string l; std::getline(lines, l);)
    if (l.rfind("PATH=", 0) == 0) {
      ++paths;
      EXPECT_EQ(l, "PATH=/usr/bin:/bin:/usr/sbin:/sbin");
    }
  EXPECT_EQ(paths, 1) << env;
  for (const char* n : names) EXPECT_EQ(env.find(n), std::string::npos) << n << "\n" << env;
}

TEST_F(InsidePac, ProxiedDownloadArguments) {
  s.proxy_type = OUTPROXY_NTLM;
  s.proxy_ip = ip4("192.0.2.8");
  s.proxy_port = 3128;
  std::snprintf(s.proxy_user, sizeof s.proxy_user, "%s", "dom user");
  std::snprintf(s.proxy_passwd, sizeof s.proxy_passwd, "%s", "p;w$(x)");
  write_file(root_ + "/curl.body", "function FindProxyForURL(u, h) { return \"DIRECT\"; }\n");
  const std::string path = root_ + "/usr/local/tevra_vpn/tev_prox.tmp";
  EXPECT_EQ(proxydownload(path.c_str(), "http://wpad.corp/p.pac", &s), 3);
  ASSERT_EQ(curl_calls().size(), 1u);
  EXPECT_EQ(curl_calls()[0], "-q --globoff --proto =http,https -m 3 --max-filesize 4M --proxy 192.0.2.8:3128 --proxy-ntlm --proxy-user dom user:p;w$(x) -o " + path +
                                 " http://wpad.corp/p.pac");
  s.proxy_type = OUTPROXY_NONE;
  EXPECT_EQ(proxydownload(path.c_str(), "http://wpad.corp/p.pac", &s), 1);
  EXPECT_EQ(curl_calls().size(), 1u);
}

TEST_F(InsidePac, LocalAccessKeepsTheHostsNetworksDirect) {
  m_pNetConfigFlag->flags |= NETCFG_LOCAL_ACCESS;
  inside(PROXY_MANUAL, "p:1");
  EXPECT_EQ(generate_insideproxy_script(&s), 0);
  const std::string text = read_text(installed().at(0));
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, addr, sizeof addr);
    const bool listed = text.find(std::string("isInNet(host, \"") + addr + "\"") != std::string::npos;
    const bool wanted = (a->ifa_flags & (IFF_UP | IFF_RUNNING)) && !(a->ifa_flags & (IFF_LOOPBACK | IFF_POINTOPOINT));
    EXPECT_EQ(listed, wanted) << a->ifa_name << " " << addr;
  }
  freeifaddrs(list);
  EXPECT_TRUE(pac_evaluate(installed().at(0), {"http://x/"}).ok);
}

TEST_F(InsidePac, TeardownDuringADownloadNeitherWaitsNorLeavesASwitch) {
  const auto original = nlohmann::json::parse(proxies_of("ETH").dump());
  write_file(root_ + "/curl.body", "function FindProxyForURL(u, h) { return \"PROXY s:1\"; }\n");
  write_file(root_ + "/curl.hold", "");
  inside(PROXY_SCRIPT, "http://wpad.corp/p.pac");
  LogCapture log;
  std::atomic<int> result{1};
  std::thread t([&] { result = generate_insideproxy_script(&s); });
  for (int i = 0; i < 600 && !std::filesystem::exists(root_ + "/curl.args"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(std::filesystem::exists(root_ + "/curl.args"));
  // The teardown's proxy step, as the controller runs it, while curl is held,
  // and then its clearing of the session's host name.
  proxy_teardown_begin();
  if (s.proxy_mode.load() != PROXYMODE_NONE) setoriginalproxy_mac(&s);
  std::memset(s.hostname, 0, sizeof s.hostname);
  write_file(root_ + "/curl.release", "");
  t.join();
  // curl was let go only after the teardown's step: had that step waited for
  // the download, curl would have been stopped at its bound first.
  EXPECT_FALSE(log.has("did not end within"));
  EXPECT_TRUE(log.has("teardown has begun, inside proxy is not set"));
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(s.proxy_mode.load(), PROXYMODE_INSIDE);
  EXPECT_EQ(nlohmann::json::parse(proxies_of("ETH").dump()), original);  // nothing switched is left behind
  EXPECT_TRUE(installed().empty());
  EXPECT_FALSE(std::filesystem::exists(inside_pac()));
}

TEST_F(InsidePac, DownloadThatDoesNotEndWellLeavesNoScript) {
  struct row {
    const char* name;
    const char* delay;
    const char* exit;
    const char* log;
  };
  const row rows[] = {
      // curl ignores its own limit: the whole run is bounded, curl and its
      // children are stopped.
      {"past the bound", "60", nullptr, "did not end within 5 s, stopped"},
      // curl's limit cut the transfer: what it wrote is no whole script.
      {"cut by curl's limit", nullptr, "28", nullptr},
  };
  const std::string path = root_ + "/usr/local/tevra_vpn/tev_prox.tmp";
  write_file(root_ + "/curl.body", "function FindProxyForURL(u, h) {\n");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove(root_ + "/curl.delay");
    std::filesystem::remove(root_ + "/curl.exit");
    if (r.delay) write_file(root_ + "/curl.delay", r.delay);
    if (r.exit) write_file(root_ + "/curl.exit", r.exit);
    LogCapture log;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(directdownload(path.c_str(), "http://wpad.corp/p.pac"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(40));
    if (r.log) {
      EXPECT_TRUE(log.has(r.log));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST_F(InsidePac, ScriptThatAlreadyHoldsTheInsideNameIsNotChained) {
  // This daemon's own inside PAC, republished by the gateway.
  write_file(root_ + "/curl.body", "function FindProxyForURL(url, host) {\n  return \"PROXY from-script.corp:9\";\n}\n");
  inside(PROXY_SCRIPT, "http://wpad.corp/p.pac");
  ASSERT_EQ(generate_insideproxy_script(&s), 0);
  const std::string own = read_text(installed().at(0));
  struct row {
    const char* name;
    std::string body;
  };
  // The name once, across the edge of a 64 KiB piece the check reads.
  const std::string chaining = "function FindProxyForURL(u, h) { return __InProxyForURL(u, h); }\n";
  const std::size_t pad = 65536 - 7 - chaining.find("__In") - std::strlen("//\n");
  const row rows[] = {
      {"republished inside PAC", own},
      {"name at a piece edge", "//" + std::string(pad, 'x') + "\n" + chaining},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    proxy_reset_for_test();
    s.proxy_mode = PROXYMODE_NONE;
    write_file(root_ + "/curl.body", r.body);
    LogCapture log;
    EXPECT_EQ(generate_insideproxy_script(&s), 0);
    EXPECT_TRUE(log.has("already holds __InProxyForURL, not used"));
    const auto files = installed();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(read_text(files[0]).find("from-script"), std::string::npos);
    // Without the refusal every URL no rule catches ends in "too much recursion".
    auto e = eval_installed({"http://www.example.org/", "http://localhost/"});
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.answers, (std::vector<std::string>{"DIRECT", "DIRECT"}));
  }
}

}  // namespace
