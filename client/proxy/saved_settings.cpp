// The user's proxy settings in force on the host, read from "scutil --proxy":
// the manual proxy of each enabled protocol, the PAC URL and the bypass list.
//
// Only top-level keys count (two blanks of indentation): the platform repeats
// every key, deeper, inside its __SCOPED__ block. A value is the text after
// the key and one blank up to the line feed; a value longer than its
// capacity is refused whole, never cut.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "client/diag.h"
#include "client/proxy/proxy.h"
#include "client/cmd_runner.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";

constexpr std::size_t kValueCapacity = 78;
constexpr std::size_t kHostPortCapacity = 31;
constexpr std::size_t kItemCapacity = 30;
constexpr std::size_t kItemsCapacity = 1023;
constexpr std::size_t kLineLimit = 65536;  // longer lines are dropped whole
constexpr std::size_t kOutputLimit = 1 << 20;

std::string scutil_command = "scutil --proxy\n";

enum { kToolOk = 0, kToolNotStarted = 2, kToolAbnormal = 3 };

// Set when scutil ran past its bound in this round of readers.
std::atomic<bool> g_stalled{false};

// Runs the tool and hands every whole line (line feed removed) to `each`.
// A run past its bound, or one whose output was cut at the limit, is a
// failed read: its lines are not used.
int run_scutil(const std::function<void(const std::string&)>& each) {
  if (g_stalled.load()) {
    VPN_LOG("scutil did not answer in time before, not run again for these settings");
    return kToolAbnormal;
  }
  std::string out;
  int status = -1;
  bool cut = false;
  if (!read_tool_output(scutil_command.c_str(), kOutputLimit, &out, &status, &cut)) {
    if (status == -1) return kToolNotStarted;
    g_stalled.store(true);
    return kToolAbnormal;
  }
  // Its last line may stop in the middle of a value: nothing of it is used.
  if (cut) {
    VPN_LOG("scutil printed more than %zu bytes; its output is not used", kOutputLimit);
    return kToolAbnormal;
  }
  std::string line;
  bool too_long = false;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    const bool ends = end != std::string::npos;
    if (!ends) end = out.size();
    if (!too_long) {
      line.append(out, at, end - at);
      if (line.size() > kLineLimit) too_long = true;
    }
    at = ends ? end + 1 : end;
    if (!ends) continue;
    if (!too_long) each(line);
    line.clear();
    too_long = false;
  }
  if (!line.empty() && !too_long) each(line);
  if (status == -1 || (status & 0x7f) != 0 || ((status >> 8) & 0xff) != 0) return kToolAbnormal;
  return kToolOk;
}

// The value of top-level key `key` ("HTTPProxy :") in `line`, or false.
bool top_level_value(const std::string& line, const char* key, std::string* value) {
  const std::size_t klen = std::strlen(key);
  if (line.size() < 2 + klen || line.compare(0, 2, "  ") != 0 || line.compare(2, klen, key) != 0) return false;
  const std::size_t at = 2 + klen;
  if (at == line.size()) {
    value->clear();
    return true;
  }
  if (line[at] != ' ') return false;
  *value = line.substr(at + 1);
  if (!value->empty() && value->back() == '\r') value->pop_back();
  return true;
}

bool within(const char* func, const char* key, const std::string& value, std::size_t cap) {
  if (value.size() <= cap) return true;
  vpn_log(kLogModule, __LINE__, func, "value of %s longer than %zu characters, not used", key, cap);
  return false;
}

int leading_int(const std::string& v) {
  long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 1000000) break;
  }
  return static_cast<int>(n);
}

struct protocol_keys {
  const char* entry;
  const char* host;
  const char* port;
  const char* enable;
};
constexpr protocol_keys kProtocols[] = {
    {"https=", "HTTPSProxy :", "HTTPSPort :", "HTTPSEnable :"},
    {"http=", "HTTPProxy :", "HTTPPort :", "HTTPEnable :"},
    {"ftp=", "FTPProxy :", "FTPPort :", "FTPEnable :"},
    {"rtsp=", "RTSPProxy :", "RTSPPort :", "RTSPEnable :"},
    {"socks=", "SOCKSProxy :", "SOCKSPort :", "SOCKSEnable :"},
    {"gopher=", "GopherProxy :", "GopherPort :", "GopherEnable :"},
};
}  // namespace

void saved_settings_round_begin() { g_stalled.store(false); }

void proxy_set_scutil_command(const char* cmd) { scutil_command = cmd ? cmd : "scutil --proxy\n"; }

int getproxy(const char* host_key, const char* port_key, const char* enable_key, std::string* host_out,
             std::string* port_out) {
  if (!host_out || !port_out) return 2;
  int enable = 0;
  bool refused = false;
  const int rc = run_scutil([&](const std::string& line) {
    std::string v;
    if (top_level_value(line, host_key, &v)) {
      if (within("getproxy", host_key, v, kHostPortCapacity))
        *host_out = v;
      else
        refused = true;
    }
    if (top_level_value(line, enable_key, &v) && within("getproxy", enable_key, v, kValueCapacity))
      enable = leading_int(v);
    if (top_level_value(line, port_key, &v)) {
      if (within("getproxy", port_key, v, kHostPortCapacity))
        *port_out = v;
      else
        refused = true;
    }
  });
  if (rc == kToolNotStarted) {
    VPN_LOG("can't popen outside proxy configure");
    return 2;
  }
  if (rc == kToolAbnormal) return 3;
  // A proxy whose host or port could not be taken whole is not used at all.
  if (refused && enable == 1) enable = 0;
  return enable;
}

void GetSavedUserProxyString(std::string* out) {
  if (!out) return;
  int entries = 0;
  for (const auto& p : kProtocols) {
    std::string host, port;
    if (getproxy(p.host, p.port, p.enable, &host, &port) == 1) {
      *out += p.entry + host + ":" + port + ";";
      ++entries;
    }
  }
  if (entries > 0)
    out->pop_back();
  else
    *out = "none";
}

int GetSavedUserProxyScriptFileName(std::string* out) {
  if (!out) return 2;
  int enable = 0;
  const int rc = run_scutil([&](const std::string& line) {
    std::string v;
    if (top_level_value(line, "ProxyAutoConfigURLString :", &v) &&
        within("GetSavedUserProxyScriptFileName", "ProxyAutoConfigURLString :", v, kValueCapacity))
      *out = v;
    if (top_level_value(line, "ProxyAutoConfigEnable :", &v) &&
        within("GetSavedUserProxyScriptFileName", "ProxyAutoConfigEnable :", v, kValueCapacity))
      enable = leading_int(v);
  });
  if (rc != kToolOk) return rc;
  return enable;
}

int getbypass(std::string* out) {
  if (!out) return 1;
  int simple = 0;
  std::string items;
  std::size_t item_count = 0;
  bool in_list = false;
  const int rc = run_scutil([&](const std::string& line) {
    std::string v;
    if (in_list) {
      if (line.compare(0, 3, "  }") == 0 && line.find_first_not_of(' ', 2) == 2) {
        in_list = false;
        return;
      }
      if (line.compare(0, 4, "    ") != 0 || line.size() < 5 || line[4] == ' ') return;  // nested deeper
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) return;
      std::string item = colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
      if (!item.empty() && item.back() == '\r') item.pop_back();
      if (item.empty() || !within("getbypass", "ExceptionsList", item, kItemCapacity)) return;
      if (item.find(';') != std::string::npos) {
        VPN_LOG("exception %s holds the separator ';', not used", item.c_str());
        return;
      }
      if (items.size() + item.size() + (items.empty() ? 0 : 1) > kItemsCapacity) {
        VPN_LOG("exception list longer than %zu characters, %s not used", kItemsCapacity, item.c_str());
        return;
      }
      if (!items.empty()) items += ';';
      items += item;
      ++item_count;
      return;
    }
    if (top_level_value(line, "ExcludeSimpleHostnames :", &v) &&
        within("getbypass", "ExcludeSimpleHostnames :", v, kValueCapacity))
      simple = leading_int(v);
    if (top_level_value(line, "ExceptionsList :", &v) && v == "<array> {") in_list = true;
  });
  if (rc == kToolNotStarted) return 2;
  int parts = 0;
  out->clear();
  if (simple == 1) {
    *out = "<local>";
    ++parts;
  }
  if (item_count > 0) {
    if (!out->empty()) *out += ';';
    *out += items;
    ++parts;
  }
  if (rc == kToolAbnormal) return 3;
  return parts;
}
