// The gateway's DNS servers and search domains put in front of every active
// network service's own while the tunnel is up, and the services' settings
// put back afterwards.
#include "client/dns_config.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/netservice.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr const char kLogModuleQn2[] = "vpn_useconfig_qn2";

#define QLOG(func, ...) vpn_log(kLogModuleQn2, __LINE__, func, __VA_ARGS__)

constexpr const char kRead[] = "get_network_service_dns";
constexpr const char kWrite[] = "set_network_service_dns";

// One source (configuration or live state) of a service's DNS values.
void take_lists(const char* id, CFDictionaryRef dict, int* options, std::vector<std::string>& servers,
                std::vector<std::string>& domains) {
  CFArrayRef list = CFDictionaryGetValue(dict, kSCPropNetDNSServerAddresses);
  if (list) {
    if (CFArrayGetCount(list) == 0) {
      *options &= ~DNSCFG_MANUAL;
      QLOG(kRead, "service %s: dns server is empty.", id);
    }
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
      std::string text;
      if (CFStringToCStringQN2(CFArrayGetValueAtIndex(list, i), kCFStringEncodingUTF8, text)) {
        QLOG(kRead, "service %s: dns server %s", id, text.c_str());
        servers.push_back(std::move(text));
      } else {
        QLOG(kRead, "service %s: convert dns server failed", id);
      }
    }
  } else {
    *options |= DNSCFG_NO_SERVERS;
    *options &= ~DNSCFG_MANUAL;
    QLOG(kRead, "service %s: dns server is not set.", id);
  }
  list = CFDictionaryGetValue(dict, kSCPropNetDNSSearchDomains);
  if (list) {
    if (CFArrayGetCount(list) == 0) QLOG(kRead, "service %s: search domain is empty.", id);
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
      std::string text;
      if (CFStringToCStringQN2(CFArrayGetValueAtIndex(list, i), kCFStringEncodingUTF8, text)) {
        QLOG(kRead, "service %s: search domain %s", id, text.c_str());
        domains.push_back(std::move(text));
      } else {
        QLOG(kRead, "service %s: convert dns search domain failed", id);
      }
    }
  } else {
    *options |= DNSCFG_NO_SEARCH_DOMAINS;
    QLOG(kRead, "service %s: original serarch domain is not set.", id);
  }
}

// Sets the entity's configuration, commits and applies: 0, or 1 after
// logging the step that failed.
int write_entity(const char* func, const char* id, const service_entity& entity, CFDictionaryRef config) {
  if (!SCNetworkProtocolSetConfiguration(entity.proto, config)) {
    QLOG(func, "Set configuration failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return 1;
  }
  if (!SCPreferencesCommitChanges(entity.prefs)) {
    QLOG(func, "Commit change failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return 1;
  }
  if (!SCPreferencesApplyChanges(entity.prefs)) {
    QLOG(func, "Apply change failed, error %d: %s\n", SCError(), SCErrorString(SCError()));
    return 1;
  }
  QLOG(func, "set dns for service %s, successful", id);
  return 0;
}

// The DNS entity, a failure logged as the caller's.
std::optional<service_entity> dns_entity(int line, const char* func, const char* id) {
  return open_service_entity({kLogModuleQn2, line, func}, id, kSCNetworkProtocolTypeDNS);
}

// Puts a service's DNS entity back as it was read: every key as it was, no
// configuration as none.
void put_back(const std::string& id, const dns_setting& kept) {
  const char* func = "restore_dns";
  QLOG(func, "set dns for service %s, options: %d", id.c_str(), kept.options);
  const auto dns = dns_entity(__LINE__, func, id.c_str());
  if (!dns) return;
  write_entity(func, id.c_str(), *dns, kept.entity);
}

std::vector<std::string> gateway_servers() {
  std::vector<std::string> out;
  if (!m_pDNSList) return out;
  const uint32_t n = std::min<uint32_t>(m_pDNSList->count, kIpListCapacity);
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t b[4];
    std::memcpy(b, &m_pDNSList->ips[i], 4);  // network order: stored order reads as dotted text
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    out.emplace_back(text);
  }
  return out;
}

std::vector<std::string> gateway_domains() {
  std::vector<std::string> out;
  if (!m_pSearchDomainList) return out;
  const uint32_t n = std::min<uint32_t>(m_pSearchDomainList->count, kSearchDomainCapacity);
  for (uint32_t i = 0; i < n; ++i) {
    const char* d = m_pSearchDomainList->domains[i];
    out.emplace_back(d, ::strnlen(d, sizeof m_pSearchDomainList->domains[i]));
  }
  return out;
}
}  // namespace

dns_configure dnsconfig;

bool dns_config_kept() { return !dnsconfig.services.empty(); }

int get_network_service_dns(const char* service_id, int* options, std::vector<std::string>& servers,
                            std::vector<std::string>& domains, CFDictionaryRef* entity) {
  int dummy = 0;
  if (!options) options = &dummy;
  *options = 0;
  if (entity) *entity = nullptr;
  if (!service_id) return 1;
  const auto dns = dns_entity(__LINE__, kRead, service_id);
  if (!dns) return 1;
  CFDictionaryRef config = SCNetworkProtocolGetConfiguration(dns->proto);
  if (entity) *entity = config;
  bool need_live = true;
  if (config) {
    QLOG(kRead, "service %s: dns method manual.", service_id);
    *options |= DNSCFG_MANUAL;
    take_lists(service_id, config, options, servers, domains);
    need_live = CFArrayGetCount(CFDictionaryGetValue(config, kSCPropNetDNSServerAddresses)) == 0;
  }
  if (need_live) {
    QLOG(kRead, "service %s: dns method dhcp.", service_id);
    *options |= DNSCFG_DHCP;
    SCDynamicStoreRef store = SCDynamicStoreCreate(kSCClientName, nullptr, nullptr);
    if (!store) {
      QLOG(kRead, "SCDynamicStoreCreate failed, error %d: %s", SCError(), SCErrorString(SCError()));
      return 1;
    }
    const std::string key = std::string("State:/Network/Service/") + service_id + "/DNS";
    CFDictionaryRef live = SCDynamicStoreCopyValue(store, key.c_str());
    if (!live) QLOG(kRead, "service %s: dns method dhcp, but dns config is empty.", service_id);
    take_lists(service_id, live, options, servers, domains);
  }
  return 0;
}

int set_network_service_dns(const char* service_id, int options, const std::vector<std::string>& servers,
                            const std::vector<std::string>& domains) {
  if (!service_id) return 1;
  QLOG(kWrite, "set dns for service %s, options: %d", service_id, options);
  const auto dns = dns_entity(__LINE__, kWrite, service_id);
  if (!dns) return 1;
  // Only the two keys change; whatever else the entity holds stays.
  CFMutableDictionaryRef dict = CFDictionaryCreateMutableCopy(SCNetworkProtocolGetConfiguration(dns->proto));
  if (options & DNSCFG_MANUAL) {
    QLOG(kWrite, "set dns for service %s, set to manual", service_id);
    CFMutableArrayRef list = CFArrayCreateMutable();
    for (const auto& s : servers) {
      CFStringRef text = CFStringCreateWithCString(s.c_str(), kCFStringEncodingUTF8);
      if (!text) continue;
      QLOG(kWrite, "set dns for service %s, set dns server %s", service_id, s.c_str());
      CFArrayAppendValue(list, text);
    }
    CFDictionarySetValue(dict, kSCPropNetDNSServerAddresses, list);
  } else {
    QLOG(kWrite, "set dns for service %s, set to dhcp", service_id);
    CFDictionaryRemoveValue(dict, kSCPropNetDNSServerAddresses);
  }
  CFMutableArrayRef list = CFArrayCreateMutable();
  for (const auto& d : domains) {
    CFStringRef text = CFStringCreateWithCString(d.c_str(), kCFStringEncodingUTF8);
    if (!text) continue;
    QLOG(kWrite, "set dns for service %s, set search domain %s", service_id, d.c_str());
    CFArrayAppendValue(list, text);
  }
  CFDictionarySetValue(dict, kSCPropNetDNSSearchDomains, list);
  return write_entity(kWrite, service_id, *dns, dict);
}

void create_searchdomain_noduplicate(std::vector<std::string>& to, const std::vector<std::string>& from) {
  for (const auto& d : from) {
    bool present = false;
    for (const auto& t : to)
      if (t == d) present = true;
    if (!present) to.push_back(d);
  }
}

const char* dns_flush_command(const char* release) {
  long major = 0;
  if (release && *release >= '0' && *release <= '9') major = std::strtol(release, nullptr, 10);
  if (major > 13) return "discoveryutil udnsflushcaches;discoveryutil mdnsflushcache";
  if (major >= 12) return "killall -HUP mDNSResponder";
  return "dscacheutil -flushcache";
}

void clear_dns_cache_on_mac() {
  utsname u{};
  const char* cmd = dns_flush_command(::uname(&u) == 0 ? u.release : "");
  const int r = forknexec(cmd, 0);
  QLOG("clear_dns_cache_on_mac", "%s return %d", cmd, r);
}

int set_vpn_dns_server_mac(dns_configure* cfg) {
  vpn_log(kLogModule, __LINE__, "set_vpn_dns_server_mac", "enter config_dns");
  if (!cfg) return 0;
  // Settings still kept are the host's own (an apply after a reconnection
  // that no restore preceded): put them back first, so they are neither
  // lost nor the gateway's values doubled.
  if (!cfg->services.empty()) restore_dns(cfg);
  const std::vector<std::string> gw_servers = gateway_servers();
  const std::vector<std::string> gw_domains = gateway_domains();
  cfg->services.clear();
  cfg->settings.clear();
  std::vector<std::string> ids;
  get_active_network_service_qn2(ids);
  for (const auto& id : ids) {
    vpn_log(kLogModule, __LINE__, "set_vpn_dns_server_mac", "active service num %lu\n",
            static_cast<unsigned long>(ids.size()));
    dns_setting kept;
    if (get_network_service_dns(id.c_str(), &kept.options, kept.dns_servers, kept.search_domains, &kept.entity) ==
        1)
      continue;
    std::vector<std::string> servers = gw_servers;
    servers.insert(servers.end(), kept.dns_servers.begin(), kept.dns_servers.end());
    std::vector<std::string> domains = gw_domains;
    create_searchdomain_noduplicate(domains, kept.search_domains);
    cfg->services.push_back(id);
    cfg->settings.push_back(std::move(kept));
    set_network_service_dns(id.c_str(), DNSCFG_MANUAL, servers, domains);
  }
  clear_dns_cache_on_mac();
  return 0;
}

void restore_dns(dns_configure* cfg) {
  QLOG("restore_dns", "enter restore dns");
  if (!cfg) return;
  for (size_t i = 0; i < cfg->services.size() && i < cfg->settings.size(); ++i)
    put_back(cfg->services[i], cfg->settings[i]);
  cfg->services.clear();
  cfg->settings.clear();
  clear_dns_cache_on_mac();
}

int restore_dns_config() {
  restore_dns(&dnsconfig);
  return 0;
}
