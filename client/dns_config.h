// DNS servers and search domains of the host's network services while the
// tunnel is up, and the search domains set through networksetup.
#pragma once
#include <string>
#include <vector>

#include "client/config_store.h"
#include "client/hostnet/route_restore.h"
#include "platform/sysconfig.h"

enum : int {
  DNSCFG_MANUAL = 1,             // the service's configuration lists servers
  DNSCFG_DHCP = 2,               // values taken from the live state
  DNSCFG_NO_SERVERS = 4,         // a source had no server list at all
  DNSCFG_NO_SEARCH_DOMAINS = 8,  // a source had no search-domain list at all
};

struct dns_setting {
  std::vector<std::string> dns_servers;
  std::vector<std::string> search_domains;
  int options = 0;
  // The service's DNS configuration as it was read (null: none), put back
  // whole by the restore, so keys the daemon never writes survive.
  CFDictionaryRef entity;
};

struct dns_configure {
  std::vector<std::string> services;
  std::vector<dns_setting> settings;
};

extern dns_configure dnsconfig;

int set_vpn_dns_server_mac(dns_configure* cfg);
// `entity`, when given, receives the configuration dictionary as read.
int get_network_service_dns(const char* service_id, int* options, std::vector<std::string>& servers,
                            std::vector<std::string>& domains, CFDictionaryRef* entity = nullptr);
// Sets the two keys on the service's DNS configuration and keeps the others
// (without DNSCFG_MANUAL the server list is removed).
int set_network_service_dns(const char* service_id, int options, const std::vector<std::string>& servers,
                            const std::vector<std::string>& domains);
void create_searchdomain_noduplicate(std::vector<std::string>& to, const std::vector<std::string>& from);
// The cache flush command for a kernel release text ("13.4.0").
const char* dns_flush_command(const char* release);
void clear_dns_cache_on_mac();
void restore_dns(dns_configure* cfg);
int restore_dns_config();

// Search domains through networksetup and scutil.
extern char localsearchdomains_p[512];
extern int oldSearchDomainLen;
int set_dns_search_domains_mac(_VPN_SEARCHDOMAIN_LIST_* list, const char* service);
void save_original_searchdomain(char* out, int* len);
void setOriginalDnsSearchDomains(int mode, const char* service);
int GetDnsNameManualOrDHCP(const char* service);
int GetSearchDomainsManualOrDHCP(const char* service);
int save_original_dnsserver(char* out);
void get_network_service_name(const char* addr, char* name_out);

// A text as one shell word that the shell hands over literally: domain
// texts of letters, digits, '.', '-' and '_' stay as they are, anything
// else is single-quoted. A service name goes between double quotes unless it
// holds a character the shell would act on there, then single-quoted.
std::string shell_domain_word(const std::string& text);
std::string shell_service_word(const char* name);

// Test seam: output of the commands run for reading (scutil, networksetup);
// false from the hook: the command could not be started.
void set_dns_read_hook(read_command_hook hook);
