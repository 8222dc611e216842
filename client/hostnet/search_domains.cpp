// Search domains of one network service through networksetup, the first
// resolver's values as scutil reports them, and the networksetup readers.
// Nothing here writes to the log.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/dns_config.h"
#include "client/session.h"
#include "platform/child_run.h"

namespace {
constexpr const char kLogModule[] = "vpn_useconfig_qn2";  // no line is logged here

constexpr size_t kCommandMax = 1023;   // characters of a command text
constexpr size_t kKeptMax = 511;       // characters of the kept search domains
constexpr size_t kServersMax = 255;    // characters of the kept name servers
constexpr size_t kReadLimit = 1 << 20;  // bytes read of one tool's output

std::mutex g_hook_lock;
read_command_hook g_hook;

char g_search_cmd[kCommandMax + 1];

bool read_output(const std::string& cmd, std::string* out) {
  out->clear();
  {
    std::lock_guard<std::mutex> lk(g_hook_lock);
    if (g_hook) return g_hook(cmd, out);
  }
  return read_tool_output(cmd.c_str(), kReadLimit, out);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// Values of the first resolver's lines holding `marker` (up to `max_values`,
// each a whole word that fits in `room` characters with its blank), as
// shell words each followed by a blank. False when a matching line has no
// colon.
bool first_resolver_values(const std::string& output, const char* marker, int max_values, size_t room,
                           std::string* kept) {
  int count = 0;
  for (const std::string& line : lines_of(output)) {
    if (count >= max_values || line.find("#2") != std::string::npos) break;
    if (line.find(marker) == std::string::npos) continue;
    size_t p = line.find(':');
    if (p == std::string::npos) return false;
    ++p;
    while (p < line.size() && blank(line[p])) ++p;
    size_t e = p;
    while (e < line.size() && !blank(line[e]) && line[e] != '\r') ++e;
    if (e == p) continue;
    const std::string word = shell_domain_word(line.substr(p, e - p)) + " ";
    if (kept->size() + word.size() > room) continue;  // never half a value
    *kept += word;
    ++count;
  }
  return true;
}

// Appends `word` when the command still has room for it whole.
void append_word(std::string& cmd, const std::string& word) {
  if (cmd.size() + word.size() <= kCommandMax) cmd += word;
}

int ask_networksetup(const char* verb, const char* service, const char* none) {
  if (!service) return 2;
  std::string out;
  const std::string cmd = std::string("/usr/sbin/networksetup ") + verb + " " + shell_service_word(service);
  if (!read_output(cmd, &out) || out.empty()) return 2;
  const std::string first = lines_of(out).front().substr(0, 79);
  return first.find(none) != std::string::npos ? 0 : 1;
}
}  // namespace

char localsearchdomains_p[512];
int oldSearchDomainLen = 0;

namespace {
// One shell word in single quotes ('\'' for a quote): the shell hands it over literally.
std::string single_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}
}  // namespace

std::string shell_domain_word(const std::string& text) {
  bool plain = true;
  for (char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_'))
      plain = false;
  return plain ? text : single_quoted(text);
}

std::string shell_service_word(const char* name) {
  const std::string text = name ? name : "";
  // Inside double quotes the shell still acts on $, `, \ and ".
  if (text.find_first_of("$`\\\"") == std::string::npos) return "\"" + text + "\"";
  return single_quoted(text);
}

void set_dns_read_hook(read_command_hook hook) {
  std::lock_guard<std::mutex> lk(g_hook_lock);
  g_hook = std::move(hook);
}

void save_original_searchdomain(char* out, int* len) {
  if (!out) return;
  std::string output;
  if (!read_output("scutil --dns", &output)) return;
  std::string kept;
  first_resolver_values(output, "search domain[", 3, kKeptMax, &kept);
  std::memcpy(out, kept.c_str(), kept.size() + 1);
  if (len) *len = static_cast<int>(kept.size());
}

int set_dns_search_domains_mac(_VPN_SEARCHDOMAIN_LIST_* list, const char* service) {
  std::memset(localsearchdomains_p, 0, sizeof localsearchdomains_p);
  save_original_searchdomain(localsearchdomains_p, &oldSearchDomainLen);
  std::memset(g_search_cmd, 0, sizeof g_search_cmd);
  if (!list || !service) return 0;
  std::string cmd = "/usr/sbin/networksetup -setsearchdomains " + shell_service_word(service) + " ";
  if (cmd.size() > kCommandMax) return 0;  // a name that cannot be given whole: nothing is run
  const uint32_t n = std::min<uint32_t>(list->count, kSearchDomainCapacity);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string d(list->domains[i], ::strnlen(list->domains[i], sizeof list->domains[i]));
    append_word(cmd, shell_domain_word(d) + " ");
  }
  if (!IsDisableLocalDns()) {
    // The kept text is made of whole shell words, each followed by a blank.
    const std::string kept(localsearchdomains_p, ::strnlen(localsearchdomains_p, kKeptMax));
    size_t pos = 0;
    while (pos < kept.size()) {
      size_t end = kept.find(' ', pos);
      if (end == std::string::npos) end = kept.size() - 1;
      append_word(cmd, kept.substr(pos, end + 1 - pos));
      pos = end + 1;
    }
  }
  std::memcpy(g_search_cmd, cmd.c_str(), cmd.size() + 1);
  return forknexec(g_search_cmd, 0);
}

void setOriginalDnsSearchDomains(int mode, const char* service) {
  if (!service) return;
  std::string cmd = "/usr/sbin/networksetup -setsearchdomains " + shell_service_word(service);
  if (mode == 1) {
    const size_t stored = ::strnlen(localsearchdomains_p, kKeptMax);
    const size_t n = oldSearchDomainLen < 0 ? 0 : std::min(stored, static_cast<size_t>(oldSearchDomainLen));
    cmd += " " + std::string(localsearchdomains_p, n);
  } else {
    cmd += " \"\"";
  }
  if (cmd.size() > kCommandMax) return;
  forknexec(cmd.c_str(), 0);
}

int GetDnsNameManualOrDHCP(const char* service) {
  return ask_networksetup("-getdnsservers", service, "There aren't any DNS Servers set");
}

int GetSearchDomainsManualOrDHCP(const char* service) {
  return ask_networksetup("-getsearchdomains", service, "There aren't any Search Domains set");
}

int save_original_dnsserver(char* out) {
  if (!out) return -1;
  std::string output;
  if (!read_output("scutil --dns", &output)) {
    forknexec("/usr/sbin/arp -a -d", 0);
    return -1;
  }
  std::string kept;
  if (!first_resolver_values(output, "nameserver[", 3, kServersMax, &kept)) {
    forknexec("/usr/sbin/arp -a -d", 0);
    return -1;
  }
  std::memcpy(out, kept.c_str(), kept.size() + 1);
  return -1;
}

void get_network_service_name(const char* addr, char* name_out) {
  if (!addr || !name_out) return;
  std::string services;
  if (!read_output("/usr/sbin/networksetup -listallnetworkservices", &services)) return;
  for (const std::string& full : lines_of(services)) {
    const std::string name = full.substr(0, 79);
    std::string info;
    if (!read_output("/usr/sbin/networksetup -getinfo " + shell_service_word(name.c_str()), &info)) return;
    for (const std::string& line : lines_of(info)) {
      bool match = false;
      if (session.is_ipv6) {
        const size_t p = line.find("IPv6 IP address:");
        in6_addr a{}, b{};
        match = p != std::string::npos && line.size() > p + 17 &&
                ::inet_pton(AF_INET6, line.substr(p + 17).c_str(), &a) == 1 && ::inet_pton(AF_INET6, addr, &b) == 1 &&
                std::memcmp(&a, &b, sizeof a) == 0;
      } else {
        const size_t p = line.find("IP address:");
        match = p != std::string::npos && line.size() >= p + 12 && line.substr(p + 12) == addr;
      }
      if (match) {
        std::memcpy(name_out, name.c_str(), name.size() + 1);
        return;
      }
    }
  }
}
