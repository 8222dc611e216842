// Desktop proxy settings: the proxy preferences of the user's Firefox profile
// and the GNOME desktop's proxy keys (read and written through gsettings).
// Answers: 0 success, 1 missing argument or failed step, 2 a command that
// does not start or ends badly.
#pragma once
#include <cstdint>

// Desktop proxy kinds. They are not the store's PROXY_MANUAL / PROXY_SCRIPT /
// PROXY_NONE: different numbers for a different record.
inline constexpr int32_t PROXY_TYPE_NONE = 0;
inline constexpr int32_t PROXY_TYPE_MANUAL = 1;
inline constexpr int32_t PROXY_TYPE_AUTO = 2;

struct _proxy_item {
  char host[128];  // empty: no proxy for this protocol
  char port[16];   // decimal text
};

struct _proxy_setting {
  int32_t type;  // PROXY_TYPE_*; the Firefox reader stores the profile's number as is
  char script[128];
  _proxy_item ftp;
  _proxy_item http;
  _proxy_item https;
  _proxy_item socks;
  _proxy_item gopher;  // Firefox only
};

enum proxy_schema : int {
  PROXY_SCHEMA_HTTPS = 0,
  PROXY_SCHEMA_HTTP = 1,
  PROXY_SCHEMA_FTP = 2,
  PROXY_SCHEMA_SOCKS = 3,
  PROXY_SCHEMA_GOPHER = 4,
};

// Firefox profile under ~/.mozilla/firefox/. `path` is a 1024-byte buffer;
// it receives the last prefs.js that find lists and is left as it was when
// there is none.
int get_ff_prefs_filepath(char* path);
int get_ff_proxy_type(_proxy_setting* s);
int get_ff_proxy_manual_item(proxy_schema schema, _proxy_setting* s);
int get_ff_proxy_manualsettings(_proxy_setting* s);
int get_ff_proxy_script_filepath(_proxy_setting* s);
int get_ff_proxy_bypass(_proxy_setting* s);
int get_ff_proxysettings(_proxy_setting* s);

void print_proxy_setting(const _proxy_setting* s);

// `value` is a 1024-byte buffer, left as it was when gsettings prints nothing.
int get_gsettings_value_forschemaandkey(const char* schema, const char* key, char* value);
// Waits for gsettings (bounded); 1 when it does not end with status 0.
int set_gsettings_value_forschemaandkey(const char* schema, const char* key, const char* value);
// Runs `cmd` (a trailing '&' is dropped in place) under /bin/bash -c. With
// `nowait` 0 it returns once the command has ended; otherwise at once, and the
// command never stays behind as a zombie. Both are bounded like every tool
// run. Always 0; a command that cannot be started is logged.
int fork_exec(char* cmd, int nowait);

int get_gnome_proxy_type(_proxy_setting* s);
int get_gnome_proxy_manualsettings(_proxy_setting* s);
int get_gnome_proxy_script_filepath(_proxy_setting* s);
int get_gnome_proxy_bypass(_proxy_setting* s);
int get_gnome_proxysettings(_proxy_setting* s);
// Writes the mode and the autoconfig-url; the manual items are not written.
int set_gnome_proxysettings(const _proxy_setting* s);

// Self-test: read, write a fixed script path, read again, print.
int test_main();
