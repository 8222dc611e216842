// The gateway's host-name map, appended to a working copy of /etc/hosts that
// then replaces it; the host's own file is kept aside and moved back.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";

std::mutex g_root_lock;
std::string g_root;  // "" on a real host

// Set when the host map was installed on a host without /etc/hosts: the
// restore then removes the installed file, as there is nothing to move back.
std::atomic<bool> g_hosts_was_absent{false};

struct hosts_paths {
  std::string hosts, work, backup;
};

hosts_paths paths() {
  std::lock_guard<std::mutex> lk(g_root_lock);
  return {g_root + "/etc/hosts", g_root + "/etc/hosts.tevra", g_root + "/etc/hosts.bak.tevra"};
}

// A field that goes into /etc/hosts as one word: terminated inside its slot,
// not empty, no blank or control character.
bool hosts_word(const char* s, size_t slot, size_t* len) {
  const size_t n = strnlen(s, slot);
  if (n == 0 || n == slot) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c <= 0x20 || c == 0x7f) return false;
  }
  *len = n;
  return true;
}

bool is_ip_text(const char* s) {
  unsigned char scratch[16];
  return inet_pton(AF_INET, s, scratch) == 1 || inet_pton(AF_INET6, s, scratch) == 1;
}

bool run_line(char* cmd, size_t size, const char* fmt, const char* a, const char* b, const char* c = nullptr,
              const char* d = nullptr) {
  const int n = std::snprintf(cmd, size, fmt, a, b, c, d);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    VPN_LOG("hosts file command too long, not run");
    return false;
  }
  forknexec(cmd, 0);
  return true;
}

}  // namespace

void hostnet_set_root(const char* prefix) {
  std::lock_guard<std::mutex> lk(g_root_lock);
  g_root = prefix ? prefix : "";
}

int setHostMap(_VPN_HOST_MAP_LIST_* list) {
  if (!list || list->count == 0) {
    VPN_LOG("Host map list is empty.");
    return 0;
  }
  const hosts_paths p = paths();
  char cmd[kCommandBufferSize];
  // A backup already there (left by a run that ended without its teardown,
  // or set by this one before a reconnection) is the host's own file; the one
  // in place still carries the earlier lines. The map goes onto the backup,
  // which stays as it is.
  struct stat bak_st {};
  const bool keep_backup = stat(p.backup.c_str(), &bak_st) == 0;
  if (keep_backup) VPN_LOG("%s already there: kept as the host's own file", p.backup.c_str());
  const std::string& source = keep_backup ? p.backup : p.hosts;
  if (!run_line(cmd, sizeof cmd, "/bin/cp -f %s %s", source.c_str(), p.work.c_str())) return 0;

  struct stat host_st {};
  const bool have_hosts = stat(source.c_str(), &host_st) == 0;
  if (have_hosts && access(p.work.c_str(), F_OK) != 0) {
    // Installing a copy without the host's own lines would lose them.
    VPN_LOG("copy of %s missing, host map not set", source.c_str());
    return 0;
  }
  FILE* f = std::fopen(p.work.c_str(), "a+e");
  if (!f) {
    VPN_LOG("you need administrative priviledge, please contact administrator.");
    return 0;
  }
  // The installed file keeps the mode of the host's own file.
  fchmod(fileno(f), have_hosts ? (host_st.st_mode & 07777) : 0644);

  bool need_newline = false;
  if (std::fseek(f, 0, SEEK_END) == 0 && std::ftell(f) > 0 && std::fseek(f, -1, SEEK_END) == 0)
    need_newline = std::fgetc(f) != '\n';
  std::fseek(f, 0, SEEK_END);

  uint32_t count = list->count;
  if (count > kHostMapCapacity) count = static_cast<uint32_t>(kHostMapCapacity);
  for (uint32_t i = 0; i < count; ++i) {
    const _VPN_HOST_MAP_& e = list->entries[i];
    size_t name_len = 0;
    if (!hosts_word(e.host_name, sizeof e.host_name, &name_len)) {
      VPN_LOG("host map entry %u skipped: host name is empty or holds blanks or control characters", i);
      continue;
    }
    char addr[INET6_ADDRSTRLEN] = {};
    bool v4 = false;
    if (e.ip != 0) {
      inet_ntop(AF_INET, &e.ip, addr, sizeof addr);
      v4 = true;
    } else {
      size_t addr_len = 0;
      if (!hosts_word(e.ip_text, sizeof e.ip_text, &addr_len) || addr_len >= sizeof addr) {
        VPN_LOG("host map entry %u skipped: address text is empty or holds blanks or control characters", i);
        continue;
      }
      std::memcpy(addr, e.ip_text, addr_len);
      if (!is_ip_text(addr)) {
        VPN_LOG("host map entry %u skipped: '%s' is no IP address", i, addr);
        continue;
      }
    }
    if (v4)
      VPN_LOG("ipv4:%s\t%s\n", addr, e.host_name);
    else
      VPN_LOG("ipv6: %s\t%s\n", addr, e.host_name);
    if (need_newline) {
      std::fputc('\n', f);
      need_newline = false;
    }
    std::fprintf(f, "%s\t%s\n", addr, e.host_name);
  }
  const bool write_failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || write_failed) {
    VPN_LOG("writing %s failed, host map not set", p.work.c_str());
    unlink(p.work.c_str());
    return 0;
  }
  if (!keep_backup && !have_hosts) {
    VPN_LOG("%s not there: the host map's file is removed again at the end", p.hosts.c_str());
    g_hosts_was_absent.store(true);
  }
  if (keep_backup || !have_hosts) {
    run_line(cmd, sizeof cmd, "/bin/mv -f %s %s", p.work.c_str(), p.hosts.c_str());
    return 1;
  }
  run_line(cmd, sizeof cmd, "/bin/mv -f %s %s;/bin/mv -f %s %s", p.hosts.c_str(), p.backup.c_str(),
           p.work.c_str(), p.hosts.c_str());
  return 1;
}

int restoreHostMap() {
  const hosts_paths p = paths();
  char cmd[kCommandBufferSize];
  if (g_hosts_was_absent.exchange(false) && access(p.backup.c_str(), F_OK) != 0) {
    run_line(cmd, sizeof cmd, "/bin/rm -f %s", p.hosts.c_str(), nullptr);
    return 1;
  }
  run_line(cmd, sizeof cmd, "/bin/mv -f %s %s", p.backup.c_str(), p.hosts.c_str());
  return 1;
}
