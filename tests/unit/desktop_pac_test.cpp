#include "client/proxy/desktop_pac.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/unique_fd.h"
#include "tests/unit/desktop_env.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/pac_eval.h"

using namespace desktop_test;

namespace {

uint32_t ip4(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

const std::string kGolden = VPNC_SOURCE_DIR "/tests/unit/desktop_pac/";
const std::vector<std::string> kUrls = {
    "http://198.18.0.1/login",      // the gateway
    "http://192.168.50.7/",         // the excluded network
    "http://10.10.3.4/index.html",  // a resource
    "http://www.example.com/",      // anything else
};

class DesktopPac : public ::testing::Test {
 protected:
  void SetUp() override {
    initial_network_config();
    m_pNetConfigFlag->flags = 0;
    m_pExcludeResouceList->count = 1;
    m_pExcludeResouceList->entries[0].ip = ip4("192.168.50.0");
    m_pExcludeResouceList->entries[0].mask = ip4("255.255.255.0");
    m_pResouceList->count = 2;
    m_pResouceList->entries[0].ip = ip4("10.10.0.0");
    m_pResouceList->entries[0].mask = ip4("255.255.0.0");
    m_pResouceList->entries[1].ip = ip4("172.16.5.0");
    m_pResouceList->entries[1].mask = ip4("255.255.255.0");
    vpnc_session_reset(&s);
    s.tunfd = tun.get();
    std::snprintf(s.hostname, sizeof s.hostname, "198.18.0.1");
    pacdir = env.file("pac") + "/";
    mkdirs(pacdir);
  }
  void TearDown() override {
    initial_network_config();
    vpnc_session_reset(&s);
  }

  void outside_proxy() {
    s.proxy_type = OUTPROXY_HTTP;
    s.proxy_ip = ip4("10.0.0.5");
    s.proxy_port = 8080;
  }
  std::string gsettings_get(const char* schema, const char* key) {
    FILE* p = popen(("gsettings get " + std::string(schema) + " " + key).c_str(), "r");
    char buf[512] = {};
    if (p) {
      std::fread(buf, 1, sizeof buf - 1, p);
      pclose(p);
    }
    return buf;
  }
  std::string pac() const { return pacdir + "tev_prox.pac"; }

  DesktopEnv env;
  unique_fd tun{open("/dev/null", O_RDONLY)};
  vpnc_session s;
  std::string pacdir;
};

TEST_F(DesktopPac, GoldenFilesAndWhatTheyAnswer) {
  const std::string script = "function FindProxyForURL(url, host) { return \"PROXY user.proxy:3128\"; } // FindProxyForURL\n";
  const struct {
    const char* golden;
    const char* desktop;  // gsettings lines run first
    bool outside;
    bool full;
    std::vector<std::string> answers;
  } rows[] = {
      {"manual_http", "gsettings set org.gnome.system.proxy mode manual && "
                      "gsettings set org.gnome.system.proxy.http host 10.9.9.9 && "
                      "gsettings set org.gnome.system.proxy.http port 3128",
       true, false, {"PROXY 10.0.0.5:8080", "PROXY 10.0.0.5:8080", "DIRECT", "PROXY 10.9.9.9:3128"}},
      {"manual_no_item", "gsettings set org.gnome.system.proxy mode manual", true, false,
       {"PROXY 10.0.0.5:8080", "PROXY 10.0.0.5:8080", "DIRECT", "DIRECT"}},
      {"auto_script_no_outside", "gsettings set org.gnome.system.proxy mode auto && "
                                 "gsettings set org.gnome.system.proxy autoconfig-url \"$USER_SCRIPT\"",
       false, false, {"DIRECT", "DIRECT", "DIRECT", "PROXY user.proxy:3128"}},
      {"auto_empty_script", "gsettings set org.gnome.system.proxy mode auto", true, false,
       {"PROXY 10.0.0.5:8080", "PROXY 10.0.0.5:8080", "DIRECT", "DIRECT"}},
      {"manual_full_tunnel", "gsettings set org.gnome.system.proxy mode manual && "
                             "gsettings set org.gnome.system.proxy.http host 10.9.9.9 && "
                             "gsettings set org.gnome.system.proxy.http port 3128",
       true, true, {"PROXY 10.0.0.5:8080", "PROXY 10.0.0.5:8080", "DIRECT", "DIRECT"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.golden);
    DesktopEnv desk;  // a fresh desktop per row
    const std::string user_script = desk.file("user.pac");
    spit(user_script, script);
    setenv("USER_SCRIPT", user_script.c_str(), 1);
    ASSERT_EQ(sh(row.desktop), 0);
    unsetenv("USER_SCRIPT");
    vpnc_session_reset(&s);
    s.tunfd = tun.get();
    std::snprintf(s.hostname, sizeof s.hostname, "198.18.0.1");
    if (row.outside) outside_proxy();
    m_pNetConfigFlag->flags = row.full ? uint32_t{NETCFG_FULL_TUNNEL} : 0u;

    ASSERT_EQ(generate_outside_script(&s, pacdir.c_str()), 0);
    const std::string text = slurp(pac());
    const std::string golden = kGolden + row.golden + ".pac";
    if (std::getenv("VPNC_UPDATE_GOLDEN")) spit(golden, text);
    EXPECT_EQ(text, slurp(golden));

    const pac_eval_result r = pac_evaluate(pac(), kUrls);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.answers, row.answers);
    // The desktop now follows the new file.
    EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "mode"), "'auto'\n");
    EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "autoconfig-url"), "'file://" + pac() + "'\n");
    EXPECT_NE(saved_proxysetting.type, PROXY_TYPE_NONE);
  }
}

TEST_F(DesktopPac, NothingToDoWithoutADesktopProxy) {
  LogCapture log;
  outside_proxy();
  EXPECT_EQ(generate_outside_script(&s, pacdir.c_str()), 0);
  EXPECT_TRUE(log.has("proxy type none, no need to set\n"));
  EXPECT_FALSE(exists(pac()));
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "mode"), "'none'\n");
}

TEST_F(DesktopPac, RefusalsLeaveFilesAndDesktopAlone) {
  LogCapture log;
  outside_proxy();
  ASSERT_EQ(sh("gsettings set org.gnome.system.proxy mode auto && "
               "gsettings set org.gnome.system.proxy autoconfig-url file:///home/u/proxy.pac"),
            0);
  spit(pac(), "earlier file\n");
  EXPECT_EQ(generate_outside_script(&s, pacdir.c_str()), 1);
  EXPECT_TRUE(log.has("failed to open file file:///home/u/proxy.pac for reading"));
  EXPECT_EQ(tree_files(pacdir), (std::map<std::string, std::string>{{"tev_prox.pac", "earlier file\n"}}));
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "autoconfig-url"), "'file:///home/u/proxy.pac'\n");

  ASSERT_EQ(sh("gsettings set org.gnome.system.proxy mode manual"), 0);
  // "tev_prox.pac" after this directory is 121 characters.
  const std::string long_dir = env.file(std::string(121 - 12 - env.file("").size() - 1, 'd')) + "/";
  ASSERT_EQ(long_dir.size() + 12, 121u);
  mkdirs(long_dir);
  EXPECT_EQ(generate_outside_script(&s, long_dir.c_str()), 1);
  EXPECT_TRUE(dir_names(long_dir).empty());

  EXPECT_EQ(generate_outside_script(&s, (env.file("missing") + "/").c_str()), 1);
  EXPECT_TRUE(log.has("ClearProxySettings: failed to open file"));

  s.tunfd = -1;
  EXPECT_EQ(generate_outside_script(&s, pacdir.c_str()), 1);
  EXPECT_TRUE(log.has("tun fd is not valid\n"));
  EXPECT_EQ(generate_outside_script(nullptr, pacdir.c_str()), 1);
  EXPECT_EQ(generate_outside_script(&s, nullptr), 1);
  EXPECT_TRUE(log.has("generate_outside_script: input param NULL\n"));
  EXPECT_EQ(slurp(pac()), "earlier file\n");
  EXPECT_EQ(gsettings_get("org.gnome.system.proxy", "mode"), "'manual'\n");
}

TEST_F(DesktopPac, HostileGatewayNameAndMissingLists) {
  outside_proxy();
  ASSERT_EQ(sh("gsettings set org.gnome.system.proxy mode manual"), 0);
  std::snprintf(s.hostname, sizeof s.hostname, "gw\"); x = (\"\\");
  _VPN_RESOURCE_LIST_* const resources = m_pResouceList;
  _VPN_RESOURCE_LIST_* const excluded = m_pExcludeResouceList;
  m_pResouceList = nullptr;
  m_pExcludeResouceList = nullptr;
  const int rc = generate_outside_script(&s, pacdir.c_str());
  m_pResouceList = resources;
  m_pExcludeResouceList = excluded;
  ASSERT_EQ(rc, 0);
  const pac_eval_result r = pac_evaluate(pac(), {"http://10.10.3.4/", "http://www.example.com/"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.answers, (std::vector<std::string>{"DIRECT", "DIRECT"}));
  EXPECT_NE(slurp(pac()).find("localHostOrDomainIs(\"gw\\\"); x = (\\\"\\\\\", host)"), std::string::npos);
}

TEST_F(DesktopPac, FailedDesktopWriteIsAFailure) {
  LogCapture log;
  outside_proxy();
  spit(env.bin + "/gsettings",
       "#!/bin/sh\ncase \"$1\" in get) [ \"$3\" = mode ] && echo \"'manual'\" || echo \"''\";; *) exit 1;; esac\n");
  chmod((env.bin + "/gsettings").c_str(), 0755);
  EXPECT_EQ(generate_outside_script(&s, pacdir.c_str()), 1);
  EXPECT_TRUE(log.has("set gnome proxy auto mode failed\n"));
  EXPECT_TRUE(log.has("set_gnome_proxysettings failed\n"));
}

}  // namespace
