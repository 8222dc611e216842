// Proxy configuration: the outside- and inside-proxy PAC files, the user's
// saved proxy settings as scutil prints them, and the proxy settings of the
// active network services.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "client/session.h"
#include "platform/sysconfig.h"

// ---- network-service proxy settings ----------------------------------------

struct struct_proxy_setting {
  std::string service_id;
  bool auto_discovery_enable = false;
  bool auto_config_enable = false;
  std::string auto_config_url;
  bool http_enable = false;
  bool https_enable = false;
  bool ftp_enable = false;
  bool socks_enable = false;
  bool rtsp_enable = false;
  bool gopher_enable = false;
  // The keys that switching a service changes, exactly as they stood (value
  // and type; a key missing here was absent). Set by
  // get_network_service_proxy; when set, set_network_service_proxy writes
  // these back instead of the switches above.
  CFDictionaryRef original;
};

extern std::vector<struct_proxy_setting> proxy_list_mac;

void setvpnproxy_mac();
int setoriginalproxy_mac(vpnc_session* s);
int get_network_service_proxy(const char* service_id, struct_proxy_setting* out);
// `committed` (when given) tells whether the change reached the preferences,
// also when applying it failed afterwards.
int set_network_service_proxy(const char* service_id, const struct_proxy_setting* setting,
                              bool* committed = nullptr);

// The teardown calls this before it decides whether to write the kept
// settings back: it waits for an inside-proxy installation under way, and
// from then on no service is switched any more in this run.
void proxy_teardown_begin();

// ---- saved user proxy settings (scutil --proxy) ----------------------------

int getproxy(const char* host_key, const char* port_key, const char* enable_key, std::string* host_out,
             std::string* port_out);
void GetSavedUserProxyString(std::string* out);
int GetSavedUserProxyScriptFileName(std::string* out);
int getbypass(std::string* out);
// Starts one round of the readers above (one PAC file): once scutil has run
// past its bound in a round, the round's later readers do not start it again
// and answer as for a tool that ended badly.
void saved_settings_round_begin();

// ---- outside-proxy PAC file -------------------------------------------------

int generate_outside_script_mac(vpnc_session* s, const char* dir);
int GenerateBypassScript(std::string* out, const std::string& bypass);
// True with the proxy text of a protocol value, false when it is refused.
bool SkipHttpOrHttpsString(const std::string& value, std::string* proxy);

// ---- inside-proxy PAC file --------------------------------------------------

int generate_insideproxy_script(vpnc_session* s);
int GetScriptFile(std::string* out_path, const char* url, vpnc_session* s);
int directdownload(const char* path, const char* url);
int proxydownload(const char* path, const char* url, vpnc_session* s);
int deletefile(const char* path);
int ChangeScriptFile(std::FILE* out, const char* path, const char* new_name);
void FindProxyHostInProxyString(std::string* out, const char* proxy_text, int depth);

// ---- test seams ------------------------------------------------------------

// Directory that stands for "/" for the files the generators read and write
// (empty: "/"). Command lines keep the host's own paths.
void proxy_set_file_root(const std::string& root);
std::string proxy_file_path(const char* host_path);
// Command line the scutil readers run (default "scutil --proxy\n").
void proxy_set_scutil_command(const char* cmd);
// Program run for downloads (default "/usr/bin/curl").
void proxy_set_curl_path(const char* path);
// Sleep between direct download attempts (default: one second).
void proxy_set_sleep_hook(void (*hook)(unsigned seconds));
// Back to the state at start: empty list, no teardown begun.
void proxy_reset_for_test();
