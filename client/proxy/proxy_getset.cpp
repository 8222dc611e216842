// Desktop proxy settings of the user's Firefox profile and of the GNOME
// desktop. Values are read from shell pipelines (find, sed, tr, awk,
// gsettings) and written with "gsettings set"; every text that comes from
// outside (a profile path, a value) is quoted before it reaches a shell.
#include "client/proxy/proxy_getset.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/diag.h"
#include "client/proxy/proxy_internal.h"
#include "client/vpn_globals.h"
#include "client/cmd_runner.h"
#include "platform/child_run.h"

namespace {
constexpr const char kLogModule[] = "proxy_getset";
constexpr size_t kCmdSize = 1024;
constexpr size_t kCaptureSize = 1024;
// The Firefox item reader keeps host and port in texts of this size.
constexpr size_t kFfItemTextSize = 32;
constexpr int kWriteBoundSeconds = 10;
constexpr const char kTestScript[] = "/usr/local/tevra_vpn/tev_prox.pac";

// A command's standard output: at most kCaptureSize - 1 characters, the rest
// read and dropped so the command never blocks on a full pipe.
struct capture {
  char text[kCaptureSize];
  size_t len;
};

// Nonzero low seven bits (a signal) or second byte (exit code), or no status.
bool ended_badly(int status) { return status == -1 || (status & 0x7f) != 0 || ((status >> 8) & 0xff) != 0; }

// Runs `cmd` and keeps its output: false when it could not be started.
// `bad` tells whether it ended badly (a run past its bound did, and its
// output is dropped).
bool run_capture(const char* cmd, capture* out, bool* bad) {
  std::memset(out->text, 0, sizeof out->text);
  out->len = 0;
  std::string text;
  int status = -1;
  const bool done = read_tool_output(cmd, kCaptureSize - 1, &text, &status);
  if (!done && status == -1) return false;
  if (!done) text.clear();
  std::memcpy(out->text, text.data(), text.size());
  out->len = text.size();
  *bad = !done || ended_badly(status);
  return true;
}

// The captured text without its trailing newline, if it has one.
void drop_newline(capture* c) {
  if (c->len > 0 && c->text[c->len - 1] == '\n') c->text[--c->len] = '\0';
}

// Copies a value into a field of `cap` bytes; a longer value would name
// something else once cut, so it is refused and the field kept.
bool store_field(char* field, size_t cap, const char* value, const char* what) {
  const size_t n = std::strlen(value);
  if (n >= cap) {
    vpn_log(kLogModule, __LINE__, "store_field", "%s of %zu characters is longer than %zu, not taken\n", what, n,
            cap - 1);
    return false;
  }
  std::memcpy(field, value, n + 1);
  return true;
}

// Appends `text` to `out` as one shell word in single quotes ('\'' for a
// quote). False when it does not fit.
bool append_shell_quoted(char* out, size_t cap, const char* text) {
  size_t n = std::strlen(out);
  auto put = [&](char c) {
    if (n + 1 >= cap) return false;
    out[n++] = c;
    out[n] = '\0';
    return true;
  };
  if (!put('\'')) return false;
  for (const char* p = text; *p; ++p) {
    if (*p == '\'') {
      for (const char* q = "'\\''"; *q; ++q)
        if (!put(*q)) return false;
    } else if (!put(*p)) {
      return false;
    }
  }
  return put('\'');
}

// A text that a shell and gsettings both take as one plain word.
bool is_bare_word(const char* text, const char* extra) {
  if (!*text) return false;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && !std::strchr(extra, c)) return false;
  }
  return true;
}

// gsettings prints strings in single quotes, or in double quotes when the
// text holds a single quote, with backslash escapes; numbers bare.
void unquote_gsettings(const char* in, size_t n, char* out) {
  if (n == 0 || (in[0] != '\'' && in[0] != '"') || in[n - 1] != in[0]) {
    std::memcpy(out, in, n);
    out[n] = '\0';
    return;
  }
  const size_t end = n > 1 ? n - 1 : 1;
  size_t o = 0;
  for (size_t i = 1; i < end; ++i) {
    char c = in[i];
    if (c == '\\' && i + 1 < end) {
      c = in[++i];
      switch (c) {
        case 'n': c = '\n'; break;
        case 't': c = '\t'; break;
        case 'r': c = '\r'; break;
        case 'f': c = '\f'; break;
        case 'v': c = '\v'; break;
        case 'a': c = '\a'; break;
        case 'b': c = '\b'; break;
        default: break;  // \\ \' \" stand for the character itself
      }
    }
    out[o++] = c;
  }
  out[o] = '\0';
}

// Firefox preference commands ---------------------------------------------

// The value pipeline for one preference of the profile `prefs`. False when
// there is no profile or the line does not fit.
bool ff_value_cmd(const char* pref, const char* prefs, char (&cmd)[kCmdSize]) {
  if (!*prefs) {
    vpn_log(kLogModule, __LINE__, "ff_value_cmd", "no firefox profile found, %s not read\n", pref);
    return false;
  }
  char quoted[kCmdSize] = {};
  if (!append_shell_quoted(quoted, sizeof quoted, prefs)) {
    vpn_log(kLogModule, __LINE__, "ff_value_cmd", "profile path too long, %s not read\n", pref);
    return false;
  }
  const int n =
      std::snprintf(cmd, sizeof cmd, "sed -n /\"\\\"%s\\\"\"/p %s | tr '(\",);' ' ' | awk '{print $3}'", pref, quoted);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
    vpn_log(kLogModule, __LINE__, "ff_value_cmd", "profile path too long, %s not read\n", pref);
    return false;
  }
  return true;
}

// Runs one value pipeline: 0 run (value in `out`, maybe empty), 2 popen
// failed. `bad` tells whether the command ended badly.
int ff_run_value(const char* cmd, capture* out, bool* bad) {
  if (!run_capture(cmd, out, bad)) return 2;
  drop_newline(out);
  return 0;
}

struct ff_schema_prefs {
  const char* host;
  const char* port;
};
constexpr ff_schema_prefs kSchemaPrefs[] = {
    {"network.proxy.ssl", "network.proxy.ssl_port"},       {"network.proxy.http", "network.proxy.http_port"},
    {"network.proxy.ftp", "network.proxy.ftp_port"},       {"network.proxy.socks", "network.proxy.socks_port"},
    {"network.proxy.gopher", "network.proxy.gopher_port"},
};

_proxy_item* item_of(proxy_schema schema, _proxy_setting* s) {
  switch (schema) {
    case PROXY_SCHEMA_HTTPS: return &s->https;
    case PROXY_SCHEMA_HTTP: return &s->http;
    case PROXY_SCHEMA_FTP: return &s->ftp;
    case PROXY_SCHEMA_SOCKS: return &s->socks;
    case PROXY_SCHEMA_GOPHER: return &s->gopher;
  }
  return nullptr;
}

// Runs `cmd` under bash and waits at most `bound_ms`; then its group is
// killed. The wait status, or -1 when it did not start or was stopped.
int run_bounded(const char* cmd, int bound_ms) {
  const char* argv[] = {"/bin/bash", "-c", cmd, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = bound_ms;
  const child_result r = vpnc_child_run(spec);
  if (!r.started) {
    VPN_LOG("fork failed\n");
    return -1;
  }
  if (r.timed_out) {
    VPN_LOG("command did not end within %d s, stopped: [ %s ]\n", bound_ms / 1000, cmd);
    return -1;
  }
  return r.status;
}

}  // namespace

// Firefox ------------------------------------------------------------------

bool last_prefs_js_line_of(const std::string& text, char* out, size_t capacity,
                           bool (*accept)(const char* path, size_t len)) {
  if (text.empty()) return false;
  std::FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!fp) return false;
  const bool found = last_prefs_js_line(fp, out, capacity, accept);
  std::fclose(fp);
  return found;
}

bool last_prefs_js_line(FILE* fp, char* out, size_t capacity, bool (*accept)(const char* path, size_t len)) {
  char line[kCaptureSize];
  if (!fp || !out || capacity < 2 || capacity > sizeof line) return false;
  bool whole = true;  // the previous read ended a line
  bool found = false;
  while (std::fgets(line, static_cast<int>(capacity), fp)) {
    const size_t n = std::strlen(line);
    const bool ends = n > 0 && line[n - 1] == '\n';
    const bool starts = whole;
    whole = ends;
    if (!starts || (!ends && !std::feof(fp))) continue;
    const size_t len = ends ? n - 1 : n;
    line[len] = '\0';
    constexpr const char kTail[] = "/prefs.js";
    constexpr size_t kTailLen = sizeof kTail - 1;
    if (len < kTailLen || std::strcmp(line + len - kTailLen, kTail) != 0) continue;
    if (accept && !accept(line, len)) continue;
    std::memcpy(out, line, len + 1);
    found = true;
  }
  return found;
}

int get_ff_prefs_filepath(char* path) {
  if (!path) {
    VPN_LOG("get_ff_prefs_filepath: input param NULL\n");
    return 1;
  }
  char cmd[kCmdSize];
  std::snprintf(cmd, sizeof cmd, "find ~/.mozilla/firefox/ -name %s", "prefs.js");
  VPN_LOG("get_ff_prefs_filepath: exec cmd:[%s]\n", cmd);
  std::string text;
  int status = -1;
  const bool done = read_tool_output(cmd, 1 << 20, &text, &status);
  if (!done && status == -1) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 2;
  }
  // One profile, the one the profile editor takes.
  if (done) last_prefs_js_line_of(text, path, kCaptureSize);
  if (!done || ended_badly(status)) VPN_LOG("pclose() error\n");
  VPN_LOG("firefox prefs.js file path: %s\n", path);
  return 0;
}

int get_ff_proxy_type(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_ff_proxy_type: input param NULL\n");
    return 1;
  }
  char prefs[kCaptureSize] = {};
  get_ff_prefs_filepath(prefs);
  char cmd[kCmdSize];
  if (!ff_value_cmd("network.proxy.type", prefs, cmd)) return 0;
  capture value;
  bool bad = false;
  if (ff_run_value(cmd, &value, &bad) != 0) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 1;
  }
  if (value.len > 0) {
    VPN_LOG("%s#\n", value.text);
    s->type = std::atoi(value.text);
  }
  if (bad) VPN_LOG("pclose() error\n");
  return 0;
}

int get_ff_proxy_manual_item(proxy_schema schema, _proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_ff_proxy_manual_item: input param NULL\n");
    return 1;
  }
  _proxy_item* item = item_of(schema, s);
  if (!item) {
    VPN_LOG("get_ff_proxy_manual_item: unknown proxy schema %d\n", static_cast<int>(schema));
    return 1;
  }
  const ff_schema_prefs& names = kSchemaPrefs[schema];
  char prefs[kCaptureSize] = {};
  get_ff_prefs_filepath(prefs);

  char host[kFfItemTextSize] = {};
  char cmd[kCmdSize];
  if (!ff_value_cmd(names.host, prefs, cmd)) return 1;
  VPN_LOG("get_ff_proxy_manual_item: cmd: [%s]\n", cmd);
  capture value;
  bool bad = false;
  if (ff_run_value(cmd, &value, &bad) != 0) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 2;
  }
  bool refused = false;
  if (value.len > 0) {
    refused = !store_field(host, sizeof host, value.text, names.host);
    if (!refused) VPN_LOG("proxy ip[%s]\n", host);
  }
  if (bad) VPN_LOG("pclose() error\n");

  char port[kFfItemTextSize] = {};
  if (!ff_value_cmd(names.port, prefs, cmd)) return 1;
  VPN_LOG("get_ff_proxy_manual_item(): cmd: [%s]\n", cmd);
  if (ff_run_value(cmd, &value, &bad) != 0) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 2;
  }
  if (bad) VPN_LOG("pclose() error\n");
  if (value.len == 0 || refused) return 1;
  if (!store_field(port, sizeof port, value.text, names.port)) return 1;
  VPN_LOG("proxy port[%s]\n", port);
  if (!store_field(item->host, sizeof item->host, host, names.host) ||
      !store_field(item->port, sizeof item->port, port, names.port))
    return 1;
  VPN_LOG("get_ff_proxy_manual_item: success\n");
  return 0;
}

int get_ff_proxy_manualsettings(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_ff_manual_proxysettings: input param NULL\n");
    return 1;
  }
  static constexpr struct {
    proxy_schema schema;
    const char* missing;
  } kItems[] = {
      {PROXY_SCHEMA_HTTPS, "firefox manual proxy setting: none https item\n"},
      {PROXY_SCHEMA_HTTP, "firefox manual proxy setting: none http item\n"},
      {PROXY_SCHEMA_FTP, "firefox manual proxy setting: none ftp item\n"},
      {PROXY_SCHEMA_SOCKS, "firefox manual proxy setting: none socket item\n"},
      {PROXY_SCHEMA_GOPHER, "\n"},
  };
  for (const auto& it : kItems)
    if (get_ff_proxy_manual_item(it.schema, s) != 0) VPN_LOG("%s", it.missing);
  return 0;
}

int get_ff_proxy_script_filepath(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_ff_proxy_script_filepath: input param NULL\n");
    return 1;
  }
  char prefs[kCaptureSize] = {};
  get_ff_prefs_filepath(prefs);
  VPN_LOG("%s", prefs);
  char cmd[kCmdSize];
  if (!ff_value_cmd("network.proxy.autoconfig_url", prefs, cmd)) return 0;
  capture value;
  bool bad = false;
  if (ff_run_value(cmd, &value, &bad) != 0) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 2;
  }
  if (value.len > 0) store_field(s->script, sizeof s->script, value.text, "network.proxy.autoconfig_url");
  return bad ? 2 : 0;
}

int get_ff_proxy_bypass(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_ff_proxy_bypass: input param NULL\n");
    return 1;
  }
  return 0;
}

int get_ff_proxysettings(_proxy_setting* s) {
  get_ff_proxy_type(s);
  get_ff_proxy_manualsettings(s);
  get_ff_proxy_script_filepath(s);
  return get_ff_proxy_bypass(s);
}

void print_proxy_setting(const _proxy_setting* s) {
  if (!s) {
    VPN_LOG("print proxy setting: input param NULL\n");
    return;
  }
  VPN_LOG("=====PRINTF PROXY SETTINGS=====\n");
  VPN_LOG("PROXY TYPE:\t%d\n", s->type);
  VPN_LOG("porxy script:\t%s\n", s->script);
  VPN_LOG("proxy manual:\n");
  VPN_LOG("---ftp\t[%s:%s]\n", s->ftp.host, s->ftp.port);
  VPN_LOG("---http \t[%s:%s]\n", s->http.host, s->http.port);
  VPN_LOG("---https \t[%s:%s]\n", s->https.host, s->https.port);
  VPN_LOG("---socks \t[%s:%s]\n", s->socks.host, s->socks.port);
  VPN_LOG("---gohper [%s:%s]\n", s->gopher.host, s->gopher.port);
  VPN_LOG("=====END PRINTF PROXY SETTINGS=====\n");
}

// GNOME --------------------------------------------------------------------

int get_gsettings_value_forschemaandkey(const char* schema, const char* key, char* value) {
  if (!schema || !key || !value) {
    VPN_LOG("get_gsettings_value_forschemaandkey: input param NULL\n");
    return 1;
  }
  if (!is_bare_word(schema, "._-") || !is_bare_word(key, "._-")) {
    VPN_LOG("get_gsettings_value_forschemaandkey: schema or key not usable on a command line\n");
    return 1;
  }
  char cmd[kCmdSize];
  std::snprintf(cmd, sizeof cmd, "gsettings get %s %s", schema, key);
  VPN_LOG("exec cmd: [ %s ]\n", cmd);
  capture out;
  bool bad = false;
  if (!run_capture(cmd, &out, &bad)) {
    VPN_LOG("can't popen outside proxy configure\n");
    return 2;
  }
  if (out.len > 0) {
    drop_newline(&out);
    unquote_gsettings(out.text, out.len, value);
  }
  return bad ? 2 : 0;
}

int set_gsettings_value_forschemaandkey(const char* schema, const char* key, const char* value) {
  if (!schema || !key || !value) {
    VPN_LOG("set_gsettings_value_forschemaandkey: input param NULL\n");
    return 1;
  }
  if (!is_bare_word(schema, "._-") || !is_bare_word(key, "._-")) {
    VPN_LOG("set_gsettings_value_forschemaandkey: schema or key not usable on a command line\n");
    return 1;
  }
  char cmd[kCmdSize];
  const int head = std::snprintf(cmd, sizeof cmd, "gsettings set %s %s ", schema, key);
  bool fits = head > 0 && static_cast<size_t>(head) < sizeof cmd;
  if (fits && is_bare_word(value, "._:/-")) {
    fits = std::strlen(cmd) + std::strlen(value) < sizeof cmd;
    if (fits) std::strcat(cmd, value);
  } else if (fits) {
    // gsettings' own string syntax, then one shell word.
    char literal[kCmdSize] = "'";
    size_t n = 1;
    for (const char* p = value; *p; ++p) {
      if (n + 3 >= sizeof literal) {
        fits = false;
        break;
      }
      if (*p == '\\' || *p == '\'') literal[n++] = '\\';
      literal[n++] = *p;
    }
    literal[n++] = '\'';
    literal[n] = '\0';
    fits = fits && append_shell_quoted(cmd, sizeof cmd, literal);
  }
  if (!fits) {
    VPN_LOG("set_gsettings_value_forschemaandkey: value of %s %s too long, not written\n", schema, key);
    return 1;
  }
  VPN_LOG("exec cmd: [ %s ]\n", cmd);
  const int status = run_bounded(cmd, kWriteBoundSeconds * 1000);
  if (ended_badly(status)) {
    VPN_LOG("set_gsettings_value_forschemaandkey: gsettings ended badly (status %d)\n", status);
    return 1;
  }
  return 0;
}

int fork_exec(char* cmd, int nowait) {
  if (!cmd || !*cmd) return 0;
  const size_t n = std::strlen(cmd);
  if (cmd[n - 1] == '&') cmd[n - 1] = '\0';
  if (!*cmd) return 0;
  const char* argv[] = {"/bin/bash", "-c", cmd, nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = kToolBoundMs;
  if (nowait) {
    if (!vpnc_child_start_detached(spec)) VPN_LOG("fork failed\n");
  } else if (const child_result r = vpnc_child_run(spec); r.timed_out) {
    VPN_LOG("command did not end within %d s, stopped: [ %s ]\n", kToolBoundMs / 1000, cmd);
  }
  return 0;
}

int get_gnome_proxy_type(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_gnome_proxy_type: input param NULL\n");
    return 1;
  }
  char value[kCaptureSize] = {};
  if (get_gsettings_value_forschemaandkey("org.gnome.system.proxy", "mode", value) != 0) {
    VPN_LOG("get_gnome_proxy_type: get value failed\n");
    return 1;
  }
  if (std::strcmp(value, "manual") == 0) {
    s->type = PROXY_TYPE_MANUAL;
  } else if (std::strcmp(value, "none") == 0) {
    s->type = PROXY_TYPE_NONE;
  } else if (std::strcmp(value, "auto") == 0) {
    s->type = PROXY_TYPE_AUTO;
  } else {
    VPN_LOG("not found gnome proxy type\n");
    s->type = PROXY_TYPE_NONE;
  }
  return 0;
}

int get_gnome_proxy_manualsettings(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_gnome_proxy_manualsettings: input param NULL\n");
    return 1;
  }
  const struct {
    const char* schema;
    _proxy_item* item;
  } items[] = {
      {"org.gnome.system.proxy.ftp", &s->ftp},
      {"org.gnome.system.proxy.http", &s->http},
      {"org.gnome.system.proxy.https", &s->https},
      {"org.gnome.system.proxy.socks", &s->socks},
  };
  for (const auto& it : items) {
    char value[kCaptureSize] = {};
    if (get_gsettings_value_forschemaandkey(it.schema, "host", value) != 0) {
      VPN_LOG("get_gnome_proxy_manualsettings: get %s host failed\n", it.schema);
      return 1;
    }
    store_field(it.item->host, sizeof it.item->host, value, "proxy host");
    std::memset(value, 0, sizeof value);
    if (get_gsettings_value_forschemaandkey(it.schema, "port", value) != 0) {
      VPN_LOG("get_gnome_proxy_manualsettings: get %s port failed\n", it.schema);
      return 1;
    }
    store_field(it.item->port, sizeof it.item->port, value, "proxy port");
  }
  return 0;
}

int get_gnome_proxy_script_filepath(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_gnome_proxy_script_filepath: input param NULL\n");
    return 1;
  }
  char value[kCaptureSize] = {};
  if (get_gsettings_value_forschemaandkey("org.gnome.system.proxy", "autoconfig-url", value) != 0) {
    VPN_LOG("get_gnome_proxy_script_filepath: failed\n");
    return 1;
  }
  store_field(s->script, sizeof s->script, value, "proxy script");
  return 0;
}

int get_gnome_proxy_bypass(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_gnome_proxy_bypass: input param NULL\n");
    return 1;
  }
  return 0;
}

int get_gnome_proxysettings(_proxy_setting* s) {
  if (!s) {
    VPN_LOG("get_gnome_proxysettings: input param NULL\n");
    return 1;
  }
  if (get_gnome_proxy_type(s) != 0) {
    VPN_LOG("get_gnome_proxy_type failed\n");
    return 1;
  }
  if (get_gnome_proxy_manualsettings(s) != 0) {
    VPN_LOG("get_gnome_proxy_manualsettings failed\n");
    return 1;
  }
  if (get_gnome_proxy_script_filepath(s) != 0) {
    VPN_LOG("get_gnome_proxy_script_filepath failed\n");
    return 1;
  }
  if (get_gnome_proxy_bypass(s) != 0) {
    VPN_LOG("get_gnome_proxy_bypass failed\n");
    return 1;
  }
  return 0;
}

int set_gnome_proxysettings(const _proxy_setting* s) {
  if (!s) {
    VPN_LOG("set_gnome_proxysettings: input param NULL\n");
    return 1;
  }
  const char* mode = nullptr;
  switch (s->type) {
    case PROXY_TYPE_MANUAL: mode = "manual"; break;
    case PROXY_TYPE_NONE: mode = "none"; break;
    case PROXY_TYPE_AUTO: mode = "auto"; break;
    default:
      VPN_LOG("not fount the proxy type\n");
      return 1;
  }
  if (set_gsettings_value_forschemaandkey("org.gnome.system.proxy", "mode", mode) != 0) {
    VPN_LOG("set gnome proxy auto mode failed\n");
    return 1;
  }
  char script[sizeof s->script];
  std::memcpy(script, s->script, sizeof script);
  script[sizeof script - 1] = '\0';
  if (set_gsettings_value_forschemaandkey("org.gnome.system.proxy", "autoconfig-url", script) != 0) {
    VPN_LOG("set gnome proxy script path failed\n");
    return 1;
  }
  return 0;
}

int test_main() {
  _proxy_setting s;
  std::memset(&s, 0, sizeof s);
  get_gnome_proxysettings(&s);
  std::snprintf(s.script, sizeof s.script, "%s", kTestScript);
  set_gnome_proxysettings(&s);
  const int rc = get_gnome_proxysettings(&s);
  print_proxy_setting(&s);
  return rc;
}
