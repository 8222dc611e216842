// Points every active network service at the installed PAC file and writes
// the kept settings back at teardown.
#include <ctime>
#include <mutex>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/netservice.h"
#include "client/proxy/proxy.h"
#include "client/proxy/proxy_internal.h"

namespace {
constexpr const char kLogModule[] = "vpn_useconfig_qn1";

// The keys a switch of the service changes; nothing else is ever written.
constexpr const char* kSwitchKeys[] = {
    kSCPropNetProxiesProxyAutoDiscoveryEnable, kSCPropNetProxiesProxyAutoConfigEnable,
    kSCPropNetProxiesHTTPEnable,               kSCPropNetProxiesHTTPSEnable,
    kSCPropNetProxiesFTPEnable,                kSCPropNetProxiesSOCKSEnable,
    kSCPropNetProxiesGopherEnable,             kSCPropNetProxiesRTSPEnable,
};

bool read_switch(CFDictionaryRef d, const char* key) {
  int v = 0;
  CFTypeRef n = CFDictionaryGetValue(d, key);
  return n && CFNumberToInt(n, &v) && v != 0;
}

CFNumberRef switch_value(bool on) { return CFNumberCreateInt(on ? 1 : 0); }

std::mutex proxy_lock;
bool teardown_begun = false;  // under proxy_lock

}  // namespace

std::vector<struct_proxy_setting> proxy_list_mac;

std::unique_lock<std::mutex> proxy_lock_take() { return std::unique_lock<std::mutex>(proxy_lock); }
bool proxy_teardown_has_begun() { return teardown_begun; }

void proxy_teardown_begin() {
  auto lk = proxy_lock_take();
  teardown_begun = true;
}

int get_network_service_proxy(const char* service_id, struct_proxy_setting* out) {
  VPN_LOG("get proxy for service %s", service_id);
  const auto entity = open_service_entity({kLogModule, __LINE__, __func__}, service_id, kSCNetworkProtocolTypeProxies);
  if (!entity) return -1;
  const SCNetworkProtocolRef& proto = entity->proto;
  out->auto_discovery_enable = out->auto_config_enable = false;
  out->auto_config_url.clear();
  out->http_enable = out->https_enable = out->ftp_enable = false;
  out->socks_enable = out->rtsp_enable = out->gopher_enable = false;
  out->original = nullptr;
  CFDictionaryRef config = proto ? SCNetworkProtocolGetConfiguration(proto) : nullptr;
  if (!config) {
    VPN_LOG("get proxy for service %s, setting is empty", service_id);
    return -1;
  }
  out->auto_discovery_enable = read_switch(config, kSCPropNetProxiesProxyAutoDiscoveryEnable);
  out->auto_config_enable = read_switch(config, kSCPropNetProxiesProxyAutoConfigEnable);
  out->http_enable = read_switch(config, kSCPropNetProxiesHTTPEnable);
  out->https_enable = read_switch(config, kSCPropNetProxiesHTTPSEnable);
  out->ftp_enable = read_switch(config, kSCPropNetProxiesFTPEnable);
  out->socks_enable = read_switch(config, kSCPropNetProxiesSOCKSEnable);
  out->rtsp_enable = read_switch(config, kSCPropNetProxiesRTSPEnable);
  out->gopher_enable = read_switch(config, kSCPropNetProxiesGopherEnable);
  if (out->auto_config_enable) {
    std::string url;
    if (CFStringToCString(CFDictionaryGetValue(config, kSCPropNetProxiesProxyAutoConfigURLString),
                          kCFStringEncodingUTF8, url))
      out->auto_config_url = url;
  }
  // Keep every key a switch changes as it stands, so that the write-back
  // restores it whole, whatever its type and whether or not it is enabled.
  CFMutableDictionaryRef kept = CFDictionaryCreateMutable();
  for (const char* key : kSwitchKeys)
    if (CFTypeRef v = CFDictionaryGetValue(config, key)) CFDictionarySetValue(kept, key, v);
  if (CFTypeRef v = CFDictionaryGetValue(config, kSCPropNetProxiesProxyAutoConfigURLString))
    CFDictionarySetValue(kept, kSCPropNetProxiesProxyAutoConfigURLString, v);
  out->original = kept;
  return 0;
}

int set_network_service_proxy(const char* service_id, const struct_proxy_setting* setting, bool* committed) {
  if (committed) *committed = false;
  VPN_LOG("set proxy for service %s", service_id);
  const auto entity = open_service_entity({kLogModule, __LINE__, __func__}, service_id, kSCNetworkProtocolTypeProxies);
  if (!entity) return -1;
  const SCNetworkProtocolRef& proto = entity->proto;
  CFMutableDictionaryRef d = CFDictionaryCreateMutableCopy(proto ? SCNetworkProtocolGetConfiguration(proto) : nullptr);
  if (setting->original) {
    for (const char* key : kSwitchKeys) {
      if (CFTypeRef v = CFDictionaryGetValue(setting->original, key))
        CFDictionarySetValue(d, key, v);
      else
        CFDictionaryRemoveValue(d, key);
    }
    if (CFTypeRef v = CFDictionaryGetValue(setting->original, kSCPropNetProxiesProxyAutoConfigURLString))
      CFDictionarySetValue(d, kSCPropNetProxiesProxyAutoConfigURLString, v);
    else
      CFDictionaryRemoveValue(d, kSCPropNetProxiesProxyAutoConfigURLString);
  } else {
    CFDictionarySetValue(d, kSCPropNetProxiesProxyAutoDiscoveryEnable, switch_value(setting->auto_discovery_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesProxyAutoConfigEnable, switch_value(setting->auto_config_enable));
    if (setting->auto_config_enable)
      CFDictionarySetValue(d, kSCPropNetProxiesProxyAutoConfigURLString,
                           CFStringCreateWithCString(setting->auto_config_url.c_str(), kCFStringEncodingUTF8));
    CFDictionarySetValue(d, kSCPropNetProxiesHTTPEnable, switch_value(setting->http_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesHTTPSEnable, switch_value(setting->https_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesFTPEnable, switch_value(setting->ftp_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesSOCKSEnable, switch_value(setting->socks_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesGopherEnable, switch_value(setting->gopher_enable));
    CFDictionarySetValue(d, kSCPropNetProxiesRTSPEnable, switch_value(setting->rtsp_enable));
  }
  if (!proto || !SCNetworkProtocolSetConfiguration(proto, d)) {
    VPN_LOG("Set configuration failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return -1;
  }
  if (!SCPreferencesCommitChanges(entity->prefs)) {
    VPN_LOG("Commit change failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return -1;
  }
  if (committed) *committed = true;
  if (!SCPreferencesApplyChanges(entity->prefs)) {
    VPN_LOG("Apply change failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return -1;
  }
  VPN_LOG("set proxy for service %s, successful", service_id);
  return 0;
}

// Caller holds the proxy lock.
void setvpnproxy_locked() {
  proxy_list_mac.clear();
  if (teardown_begun) {
    VPN_LOG("teardown has begun, proxy settings are left as they are");
    return;
  }
  std::vector<std::string> services;
  if (get_active_network_service(services) == -1) {
    VPN_LOG("Failed to set proxy for MacOS");
    return;
  }
  std::string url;
  for (const auto& id : services) {
    struct_proxy_setting kept;
    if (get_network_service_proxy(id.c_str(), &kept) == -1) {
      VPN_LOG("Failed to get proxy for MacOS");
      continue;
    }
    kept.service_id = id;
    proxy_list_mac.push_back(kept);
    if (url.empty()) {
      const int32_t now = static_cast<int32_t>(std::time(nullptr));
      char cmd[1024];
      forknexec("rm -f /Library/Frameworks/tev_prox?*.pac", 0);
      std::snprintf(cmd, sizeof cmd, "mv /Library/Frameworks/tev_prox.pac /Library/Frameworks/tev_prox%d.pac",
                    static_cast<int>(now));
      forknexec(cmd, 0);
      std::snprintf(cmd, sizeof cmd, "file://localhost/Library/Frameworks/tev_prox%d.pac", static_cast<int>(now));
      url = cmd;
    }
    struct_proxy_setting next;
    next.auto_config_enable = true;
    next.auto_config_url = url;
    next.original = nullptr;
    bool committed = false;
    if (set_network_service_proxy(id.c_str(), &next, &committed) == -1) {
      VPN_LOG("Failed to set proxy for MacOS");
      // Once committed the switch is in the preferences, applied or not:
      // its entry stays so that the teardown writes it back.
      if (!committed) proxy_list_mac.pop_back();
    }
  }
}

void setvpnproxy_mac() {
  auto lk = proxy_lock_take();
  setvpnproxy_locked();
}

int setoriginalproxy_mac(vpnc_session*) {
  auto lk = proxy_lock_take();
  teardown_begun = true;
  for (const auto& kept : proxy_list_mac) {
    if (set_network_service_proxy(kept.service_id.c_str(), &kept) == -1)
      VPN_LOG("Failed to set original proxy for MacOS");
  }
  proxy_list_mac.clear();
  return 0;
}

void proxy_reset_for_test() {
  auto lk = proxy_lock_take();
  proxy_list_mac.clear();
  teardown_begun = false;
}
