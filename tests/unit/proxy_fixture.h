// A private root for the proxy code: the SystemConfiguration store, the
// folders the PAC files go to, the installing commands run inside the root,
// and the saved settings read through the scutil stand-in from that store.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/proxy/proxy.h"
#include "client/session.h"
#include "tests/unit/pac_eval.h"
#include "tests/unit/sysconfig_fixture.h"

inline uint32_t ip4(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

class ProxyRoot : public SysconfigRoot {
 protected:
  void SetUp() override {
    SysconfigRoot::SetUp();
    std::filesystem::create_directories(root_ + "/Library/Frameworks");
    std::filesystem::create_directories(root_ + "/usr/local/tevra_vpn");
    proxy_set_file_root(root_);
    proxy_reset_for_test();
    use_scutil_stand_in();
    set_command_hook([this](const std::string& cmd, bool) {
      commands.push_back(cmd);
      std::string rooted;
      for (std::size_t i = 0; i < cmd.size();) {
        if (cmd.compare(i, 9, "/Library/") == 0) rooted += root_;
        rooted += cmd[i++];
      }
      if (std::system(rooted.c_str()) == -1) ADD_FAILURE() << rooted;
    });
    initial_network_config();
    vpnc_session_reset(&s);
    s.tunfd = 7;
    std::snprintf(s.hostname, sizeof s.hostname, "%s", "vpn.example.com");
    s.proxy_ip = ip4("192.0.2.8");
    s.proxy_port = 3128;
  }
  void TearDown() override {
    set_command_hook(nullptr);
    proxy_set_scutil_command(nullptr);
    proxy_set_file_root("");
    proxy_set_curl_path(nullptr);
    proxy_set_sleep_hook(nullptr);
    proxy_reset_for_test();
    SysconfigRoot::TearDown();
  }

  // The saved settings come from the store as the scutil stand-in prints it.
  void use_scutil_stand_in() {
    scutil_cmd_ = "VPNC_SYSCONFIG_DIR='" + root_ + "/Library/Preferences/SystemConfiguration' VPNC_TOOL_JOURNAL=/dev/null " +
                  VPNC_SOURCE_DIR "/tools/bin/scutil --proxy\n";
    proxy_set_scutil_command(scutil_cmd_.c_str());
  }
  // The saved settings come from a fixed text; `tail` is shell run after it.
  void use_scutil_text(const std::string& text, const std::string& tail = "") {
    write_file(root_ + "/scutil.out", text);
    scutil_cmd_ = "cat '" + root_ + "/scutil.out'" + (tail.empty() ? "" : "; " + tail);
    proxy_set_scutil_command(scutil_cmd_.c_str());
  }

  // One active Ethernet service "ETH" with the given Proxies entity (JSON
  // object text, or empty for none), plus more services when given.
  void one_service(const std::string& proxies) {
    write_prefs(R"({"ServiceOrder": ["ETH"], "NetworkServices": {"ETH": {"UserDefinedName": "Ethernet",
      "Interface": {"Type": "Ethernet", "UserDefinedName": "Ethernet"})" +
                (proxies.empty() ? "" : ", \"Proxies\": " + proxies) + "}}}");
    write_store(R"({"State:/Network/Service/ETH/IPv4": {"InterfaceName": "en0"},
                    "State:/Network/Global/IPv4": {"PrimaryService": "ETH"}})");
  }
  nlohmann::ordered_json proxies_of(const char* id) { return read_json(prefs_path())["NetworkServices"][id]["Proxies"]; }

  static void add(_VPN_RESOURCE_LIST_* l, const char* ip, const char* mask) {
    l->entries[l->count].ip = ip4(ip);
    l->entries[l->count].mask = ip4(mask);
    ++l->count;
  }
  void full_tunnel(bool on) {
    if (on)
      m_pNetConfigFlag->flags |= NETCFG_FULL_TUNNEL;
    else
      m_pNetConfigFlag->flags &= ~uint32_t(NETCFG_FULL_TUNNEL);
  }

  std::string pac_dir() const { return root_ + "/Library/Frameworks/"; }
  std::string pac_path() const { return pac_dir() + "tev_prox.pac"; }
  static std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Installed files tev_prox<N>.pac in the frameworks folder.
  std::vector<std::string> installed() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(pac_dir())) {
      const std::string n = e.path().filename();
      if (n.rfind("tev_prox", 0) == 0 && n != "tev_prox.pac") out.push_back(e.path());
    }
    return out;
  }

  vpnc_session s;
  std::vector<std::string> commands;
  std::string scutil_cmd_;
};
