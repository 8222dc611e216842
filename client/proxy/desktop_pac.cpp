// The desktop variant of the outside-proxy PAC file: the user's settings come
// from the GNOME desktop and the finished file becomes the desktop's proxy
// script. The file is written under a temporary name and renamed into place,
// so a file the desktop already points at is never left empty or half done.
#include "client/proxy/desktop_pac.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/proxy/pac_text.h"

_proxy_setting saved_proxysetting = {};

namespace {
constexpr const char kLogModule[] = "vpn_states";
constexpr const char kFunc[] = "generate_outside_script";
// "file://" and the name must fit the desktop record's script field.
constexpr std::size_t kPacNameLimit = 120;
static_assert(kPacNameLimit + sizeof "file://" <= sizeof(_proxy_setting::script));
constexpr const char kRenamed[] = "_indProxyForURL";
static_assert(sizeof kRenamed == sizeof kPacFunctionName);

#define LOG_G(...) vpn_log(kLogModule, __LINE__, kFunc, __VA_ARGS__)

uint32_t bounded_count(const _VPN_RESOURCE_LIST_* list) {
  if (!list) return 0;
  return list->count > kResourceCapacity ? static_cast<uint32_t>(kResourceCapacity) : list->count;
}

std::string if_line(const char* head, const std::string& quoted, const char* tail) {
  return std::string(head) + quoted + tail;
}

// Closes the script and the temporary file; removes the latter.
struct open_files {
  std::FILE* script = nullptr;
  std::FILE* pac = nullptr;
  std::string tmp;
  ~open_files() {
    if (script) std::fclose(script);
    if (pac) std::fclose(pac);
    if (!tmp.empty()) unlink(tmp.c_str());
  }
};

std::string manual_end(const _proxy_setting& d) {
  std::string out;
  const struct {
    const char* scheme;
    const _proxy_item& item;
  } items[] = {{"ftp", d.ftp}, {"http", d.http}, {"https", d.https}, {"socks", d.socks}};
  for (const auto& it : items) {
    if (!it.item.host[0]) continue;
    out += pac_scheme_test(it.scheme);
    out += pac_return_proxy_block(std::string(it.item.host) + ":" + it.item.port);
    out += "\n";
  }
  return out + kPacReturnDirectEnd;
}

}  // namespace

int generate_outside_script(vpnc_session* s, const char* dir) {
  if (!s || !dir) {
    LOG_G("generate_outside_script: input param NULL\n");
    return 1;
  }
  const std::string name = std::string(dir) + "tev_prox.pac";
  if (name.size() > kPacNameLimit) {
    LOG_G("pac file name %s is longer than %zu characters, not written\n", name.c_str(), kPacNameLimit);
    return 1;
  }
  if (s->tunfd.load() < 0) {
    LOG_G("tun fd is not valid\n");
    return 1;
  }
  _proxy_setting desktop;
  std::memset(&desktop, 0, sizeof desktop);
  if (get_gnome_proxysettings(&desktop) != 0) {
    LOG_G("get_gnome_proxysettings failed\n");
    return 1;
  }
  saved_proxysetting = desktop;
  if (desktop.type == PROXY_TYPE_NONE) {
    LOG_G("proxy type none, no need to set\n");
    return 0;
  }

  const uint32_t resources = bounded_count(m_pResouceList);
  const uint32_t excluded = bounded_count(m_pExcludeResouceList);
  open_files f;
  // The user's script first: a script that cannot be read leaves every
  // file as it was.
  if (desktop.type == PROXY_TYPE_AUTO && desktop.script[0]) {
    f.script = std::fopen(desktop.script, "r");
    if (!f.script) {
      LOG_G("failed to open file %s for reading", desktop.script);
      return 1;
    }
  }
  std::string tmpl = name + ".XXXXXX";
  const int fd = mkstemp(tmpl.data());
  if (fd >= 0) {
    f.tmp = tmpl;
    if (pac_make_public(fd)) f.pac = fdopen(fd, "w");  // the desktop user reads it
    if (!f.pac) close(fd);
  }
  if (!f.pac) {
    LOG_G("ClearProxySettings: failed to open file %s for writing\n", name.c_str());
    return 1;
  }

  long renamed = 0;
  if (f.script) {
    renamed = pac_copy_renamed(f.script, f.pac, kRenamed);
    if (renamed < 0 || std::ferror(f.script)) {
      LOG_G("failed to copy %s into %s\n", desktop.script, name.c_str());
      return 1;
    }
  }

  const bool outside = s->proxy_type != OUTPROXY_NONE;
  const std::string through_proxy =
      outside ? pac_return_proxy_block(pac_dotted(s->proxy_ip) + ":" + std::to_string(s->proxy_port))
              : std::string(kPacReturnDirectBlock);
  const std::string gateway = pac_js_quote(std::string(s->hostname, strnlen(s->hostname, sizeof s->hostname)));

  std::string text = kPacHead;
  text += "\tif(\"127.0.0.1\" == host) {\n";
  text += kPacReturnDirectBlock;
  text += "\tif(\"localhost\" == host) {\n";
  text += kPacReturnDirectBlock;
  text += if_line("\tif(dnsResolve(", gateway, ") == host) {\n") + through_proxy;
  text += if_line("\tif(localHostOrDomainIs(", gateway, ", host)) {\n") + through_proxy;
  if (excluded > 0) {
    LOG_G("here find excluded network zones in adapter object");
    for (uint32_t i = 0; i < excluded; ++i) {
      const _VPN_RESOURCE_& r = m_pExcludeResouceList->entries[i];
      LOG_G("net mask is %s", pac_dotted(r.mask).c_str());
      // Without an outside proxy these networks are reached directly.
      text += pac_isinnet_test(r.ip, r.mask) + through_proxy;
    }
  }
  for (uint32_t i = 0; i < resources; ++i) {
    const _VPN_RESOURCE_& r = m_pResouceList->entries[i];
    LOG_G("net mask is %s", pac_dotted(r.mask).c_str());
    text += pac_isinnet_test(r.ip, r.mask) + kPacReturnDirectBlock;
  }
  if (is_fulltunnel()) {
    text += kPacReturnDirectEnd;
  } else if (desktop.type == PROXY_TYPE_AUTO && renamed > 0) {
    text += "\treturn _indProxyForURL(url, host);\n}\n";
  } else if (desktop.type == PROXY_TYPE_MANUAL) {
    text += manual_end(desktop);
  } else {
    text += kPacReturnDirectEnd;
  }

  bool ok = std::fwrite(text.data(), 1, text.size(), f.pac) == text.size();
  ok = std::fflush(f.pac) == 0 && ok;
  ok = fsync(fileno(f.pac)) == 0 && ok;
  ok = std::fclose(f.pac) == 0 && ok;
  f.pac = nullptr;
  if (!ok || std::rename(f.tmp.c_str(), name.c_str()) != 0) {
    LOG_G("failed to write %s\n", name.c_str());
    return 1;
  }
  f.tmp.clear();

  _proxy_setting pointed;
  std::memset(&pointed, 0, sizeof pointed);
  pointed.type = PROXY_TYPE_AUTO;
  std::snprintf(pointed.script, sizeof pointed.script, "file://%s", name.c_str());
  print_proxy_setting(&pointed);
  if (set_gnome_proxysettings(&pointed) != 0) {
    LOG_G("set_gnome_proxysettings failed\n");
    return 1;
  }
  return 0;
}
