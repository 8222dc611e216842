// Points a Firefox profile at a PAC file through its user.js and puts the
// profile back; asks scutil for the primary interface. Silent by design: the
// edit and the restore report nothing, the query leaves the caller's buffer.
//
// The edit keeps a record of what it changed (backups it made, user.js moved
// aside, user.js written) so the restore undoes exactly that, once; a backup
// that is already there is never overwritten.
#include "client/proxy/firefox_profile.h"

#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "client/proxy/proxy_internal.h"
#include "client/cmd_runner.h"
#include "platform/child_run.h"

char prefsfilepath[512] = {};

namespace {

constexpr size_t kPathSize = sizeof prefsfilepath;
constexpr const char kFindProfiles[] = "find ~/Library/Application\\ Support/Firefox/Profiles -name prefs.js";
constexpr const char kPacDir[] = "/usr/local/tevra_vpn/";
constexpr const char kTypeLine[] = "user_pref(\"network.proxy.type\",2);\n";
constexpr const char kUrlLine[] = "user_pref(\"network.proxy.autoconfig_url\",\"file://%s%s\");";
constexpr const char kPrefs[] = "prefs.js";
constexpr const char kPrefsBackup[] = "prefs.js.bak.tevra";
constexpr const char kUser[] = "user.js";
constexpr const char kUserBackup[] = "user.js.bak.tevra";

constexpr const char kScutilQuery[] = "get State:/Network/Global/IPv4\nd.show\n";
static_assert(sizeof kScutilQuery == 39, "the two commands and their terminating zero byte");
constexpr const char kKey[] = "PrimaryInterface : ";
constexpr size_t kKeyLen = sizeof kKey - 1;
constexpr int kScutilBoundMs = 5000;

struct edit_record {
  bool in_force = false;
  bool prefs_backup_made = false;
  bool user_moved = false;
  bool user_written = false;
};

std::mutex g_lock;
edit_record g_edit;

// The PAC name ends up inside a JavaScript string of user.js.
bool pac_name_ok(const char* name) {
  if (!name || !*name) return false;
  for (const char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

bool join(char (&out)[kPathSize], const char* dir, const char* file) {
  const int n = std::snprintf(out, sizeof out, "%s%s", dir, file);
  return n > 0 && static_cast<size_t>(n) < sizeof out;
}

// The profile directory (with the '/') of the last prefs.js that find lists
// whose every name formed from the directory fits.
bool find_profile(char (&dir)[kPathSize]) {
  std::string text;
  char path[kPathSize];
  const bool found = read_tool_output(kFindProfiles, 1 << 20, &text) &&
                     last_prefs_js_line_of(text, path, sizeof path, [](const char*, size_t len) {
                       return len - (sizeof kPrefs - 1) + sizeof kPrefsBackup <= kPathSize;
                     });
  if (!found) return false;
  const size_t dir_len = std::strlen(path) - (sizeof kPrefs - 1);
  std::memcpy(dir, path, dir_len);
  dir[dir_len] = '\0';
  return true;
}

// Byte-for-byte copy into a file that must not exist yet.
bool copy_new(const char* from, const char* to) {
  FILE* in = std::fopen(from, "rb");
  if (!in) return false;
  FILE* out = std::fopen(to, "wbx");
  if (!out) {
    std::fclose(in);
    return false;
  }
  char buf[1024];
  bool ok = true;
  size_t n;
  while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0) ok = std::fwrite(buf, 1, n, out) == n;
  ok = ok && !std::ferror(in);
  std::fclose(in);
  ok = std::fclose(out) == 0 && ok;
  if (!ok) std::remove(to);
  return ok;
}

// Writes the two proxy lines, the second without a newline. `created` tells
// whether the file now exists (the restore must remove it then).
bool write_user_js(const char* path, const char* pac_name, bool* created) {
  FILE* out = std::fopen(path, "w");
  *created = out != nullptr;
  if (!out) return false;
  bool ok = std::fputs(kTypeLine, out) >= 0;
  ok = std::fprintf(out, kUrlLine, kPacDir, pac_name) > 0 && ok;
  return std::fclose(out) == 0 && ok;
}

}  // namespace

void setfirefoxvpnproxy(const char* pac_name) {
  if (!pac_name_ok(pac_name)) return;
  std::lock_guard<std::mutex> lk(g_lock);
  char dir[kPathSize] = {};
  if (!find_profile(dir)) return;  // no profile: nothing is written anywhere

  char prefs[kPathSize], prefs_bak[kPathSize], user[kPathSize], user_bak[kPathSize];
  if (!join(prefs, dir, kPrefs) || !join(prefs_bak, dir, kPrefsBackup) || !join(user, dir, kUser) ||
      !join(user_bak, dir, kUserBackup))
    return;

  if (g_edit.in_force) {
    // A second edit keeps the first one's backups and rewrites only a
    // user.js that the first one wrote.
    if (std::strcmp(dir, prefsfilepath) != 0 || !g_edit.user_written) return;
    bool created = false;
    write_user_js(user, pac_name, &created);
    return;
  }

  edit_record rec;
  // An edit that stops early still records what it changed so far.
  auto commit = [&] {
    if (!rec.prefs_backup_made && !rec.user_moved && !rec.user_written) return;
    rec.in_force = true;
    g_edit = rec;
    std::memcpy(prefsfilepath, dir, sizeof prefsfilepath);
  };

  if (!copy_new(prefs, prefs_bak)) return;
  rec.prefs_backup_made = true;

  if (access(user, F_OK) == 0) {
    if (access(user_bak, F_OK) == 0 || std::rename(user, user_bak) != 0) return commit();
    rec.user_moved = true;
  }
  bool created = false;
  write_user_js(user, pac_name, &created);
  rec.user_written = created;
  commit();
}

void setfirefoxoriginalproxy() {
  std::lock_guard<std::mutex> lk(g_lock);
  if (!g_edit.in_force || !prefsfilepath[0]) return;
  char prefs[kPathSize], prefs_bak[kPathSize], user[kPathSize], user_bak[kPathSize];
  if (join(prefs, prefsfilepath, kPrefs) && join(prefs_bak, prefsfilepath, kPrefsBackup) &&
      join(user, prefsfilepath, kUser) && join(user_bak, prefsfilepath, kUserBackup)) {
    if (g_edit.user_written) std::remove(user);
    if (g_edit.user_moved) std::rename(user_bak, user);
    // Preferences that Firefox wrote into prefs.js meanwhile go with it.
    if (g_edit.prefs_backup_made) std::rename(prefs_bak, prefs);
  }
  g_edit = edit_record{};
  prefsfilepath[0] = '\0';
}

void getintffromscutil(char* out, std::size_t capacity) {
  if (!out || capacity == 0) return;
  // scutil waits for more commands until its input ends; the runner ends
  // it after the query.
  const std::string query(kScutilQuery, sizeof kScutilQuery);
  std::string reply;
  const char* argv[] = {"/bin/sh", "-c", "scutil", nullptr};
  child_spec spec;
  spec.argv = argv;
  spec.bound_ms = kScutilBoundMs;
  spec.input = &query;
  spec.output = &reply;
  spec.output_limit = 1 << 16;
  // A reply cut off by the bound is a failed query: the buffer stays.
  if (const child_result r = vpnc_child_run(spec); !r.started || r.timed_out) return;
  for (std::size_t at = 0; at < reply.size();) {
    std::size_t end = reply.find('\n', at);
    end = end == std::string::npos ? reply.size() : end;
    const std::string line = reply.substr(at, end - at);
    at = end + 1;
    const std::size_t key = line.find(kKey);
    if (key == std::string::npos) continue;
    size_t n = line.size() - key - kKeyLen;
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(out, line.data() + key + kKeyLen, n);
    out[n] = '\0';
    return;
  }
}
