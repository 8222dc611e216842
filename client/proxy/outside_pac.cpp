// The PAC file for a connection through an outside proxy: the gateway and
// the excluded networks through that proxy, the tunnel's networks direct,
// everything else as the user's own settings say.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <vector>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/proxy/pac_text.h"
#include "client/proxy/proxy.h"
#include "client/proxy/proxy_internal.h"
#include "client/unique_fd.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";
constexpr std::size_t kPacNameLimit = 510;
constexpr std::size_t kProtocolTextCapacity = 255;
constexpr std::size_t kUserPacCap = 4u << 20;
constexpr int kLinkLimit = 40;  // as the kernel's own walk

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string percent_decoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The local file a user's PAC URL names, or empty when the URL is not used.
std::string user_pac_path(const std::string& url, int enable) {
  if (url.empty()) return {};
  if (enable != 1) {
    VPN_LOG("pac file %s is switched off, not used", url.c_str());
    return {};
  }
  std::string path;
  for (const char* prefix : {"file://localhost/", "file:///"}) {
    if (url.compare(0, std::strlen(prefix), prefix) == 0) {
      path = percent_decoded(url.substr(std::strlen(prefix) - 1));
      break;
    }
  }
  if (path.empty() || path.find('\0') != std::string::npos) {
    VPN_LOG("pac file %s is not a local file, not used", url.c_str());
    return {};
  }
  // A file this daemon installed (left by an earlier run) would make the
  // new file call itself.
  constexpr char kOwn[] = "/Library/Frameworks/tev_prox";
  if (path.compare(0, std::strlen(kOwn), kOwn) == 0 && path.size() >= 4 &&
      path.compare(path.size() - 4, 4, ".pac") == 0) {
    VPN_LOG("pac file %s was installed by this program, not used", url.c_str());
    return {};
  }
  return path;
}

// The engines turn shExpMatch's pattern into a regular expression of their
// own kind, so no escaping makes an arbitrary text safe there: only plain
// host names (and address literals) are written into that gateway rule.
bool plain_host_name(const char* name) {
  if (!*name) return false;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_' || c == ':' || c == '[' || c == ']'))
      return false;
  }
  return true;
}

// The folders from "/" down to the file root (a test's stand-in for "/")
// are the test machine's, not looked at. None on a real host.
bool at_or_above_file_root(const std::string& real, const std::string& root) {
  return !root.empty() && (real == "/" || real == root || root.compare(0, real.size() + 1, real + "/") == 0);
}

// True when others may pass through the folder open at `fd`: a file others
// cannot reach is not theirs to read, whatever its own bits say.
bool others_may_enter(int fd, const std::string& real, const std::string& root, const std::string& url) {
  if (at_or_above_file_root(real, root)) return true;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !(st.st_mode & S_IXOTH)) {
    VPN_LOG("pac file %s is in a folder others cannot enter (%s), not used", url.c_str(), real.c_str());
    return false;
  }
  return true;
}

// Puts the names of `path` on `todo` so that its first name is taken next.
// Empty names stay: "file/" must not open a file as the last name.
void push_names(const std::string& path, std::vector<std::string>* todo) {
  std::vector<std::string> names;
  for (std::size_t from = 0;;) {
    const std::size_t slash = path.find('/', from);
    names.push_back(path.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
  todo->insert(todo->end(), names.rbegin(), names.rend());
}

struct open_folder {
  unique_fd fd;
  std::string real;  // its path, every link on the way resolved
};

}  // namespace

// Reads the user's own PAC file. The path is walked from "/" one name at a
// time, each folder opened without following a link and checked on its
// descriptor, so the folders checked are the ones the file was opened in,
// whatever the user swaps meanwhile. A link is read and its target walked
// the same way (from "/" when absolute, else from the link's folder; ".."
// leaves the folder actually entered). Only a regular file is read (opened
// without blocking, so a FIFO cannot hold the bring-up, and within the cap,
// so a device cannot fill the memory), and only one its owner made readable
// to others: the installed PAC file is readable by everyone.
user_pac read_user_pac(const std::string& path, const std::string& url, std::string* out) {
  if (path.empty() || path[0] != '/') return user_pac::unopened;
  std::string root = proxy_file_path("");
  if (!root.empty()) {
    char* r = realpath(root.c_str(), nullptr);
    root = r ? r : "";
    std::free(r);
  }
  std::vector<open_folder> folders;
  folders.push_back({unique_fd(open("/", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)), "/"});
  if (folders.back().fd.get() < 0) return user_pac::unopened;
  if (!others_may_enter(folders.back().fd.get(), "/", root, url)) return user_pac::refused;
  std::vector<std::string> todo;
  push_names(path, &todo);
  int links = 0;
  unique_fd fd;
  while (!todo.empty()) {
    const std::string name = std::move(todo.back());
    todo.pop_back();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (folders.size() > 1) folders.pop_back();
      continue;
    }
    const int at = folders.back().fd.get();
    const bool last = todo.empty();
    const int kind = last ? O_NOCTTY : O_DIRECTORY;
    unique_fd next(openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | kind));
    if (next.get() < 0) {
      // A link fails the open (ELOOP, or ENOTDIR as a folder): read it
      // instead. Anything else, or a name swapped back meanwhile, ends here.
      char target[PATH_MAX];
      const ssize_t got = readlinkat(at, name.c_str(), target, sizeof target);
      if (got <= 0 || static_cast<std::size_t>(got) >= sizeof target) return user_pac::unopened;
      if (++links > kLinkLimit) {
        VPN_LOG("pac file %s goes through more than %d links, not used", url.c_str(), kLinkLimit);
        return user_pac::unopened;
      }
      if (target[0] == '/') folders.erase(folders.begin() + 1, folders.end());
      push_names(std::string(target, static_cast<std::size_t>(got)), &todo);
      continue;
    }
    const std::string& here = folders.back().real;
    const std::string real = (here == "/" ? "" : here) + "/" + name;
    if (last) {
      fd = std::move(next);
    } else {
      if (!others_may_enter(next.get(), real, root, url)) return user_pac::refused;
      folders.push_back({std::move(next), real});
    }
  }
  struct stat st {};
  // A walk that ends on a folder ("pub/..") opened no file.
  if (fd.get() >= 0 && fstat(fd.get(), &st) != 0) return user_pac::unopened;
  if (fd.get() < 0 || !S_ISREG(st.st_mode)) {
    VPN_LOG("pac file %s is not a regular file, not used", url.c_str());
    return user_pac::refused;
  }
  if (!(st.st_mode & S_IROTH)) {
    VPN_LOG("pac file %s is not readable by others, not used", url.c_str());
    return user_pac::refused;
  }
  std::string text;
  char piece[65536];
  for (;;) {
    const ssize_t got = read(fd.get(), piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return user_pac::unopened;
    if (got == 0) break;
    if (text.size() + static_cast<std::size_t>(got) > kUserPacCap) {
      VPN_LOG("pac file %s is larger than %zu bytes, not used", url.c_str(), kUserPacCap);
      return user_pac::refused;
    }
    text.append(piece, static_cast<std::size_t>(got));
  }
  *out = std::move(text);
  return user_pac::read;
}

namespace {

// The value of `key` in the saved-proxy text, up to the next ";".
bool protocol_value(const std::string& saved, const char* key, std::string* value) {
  const std::size_t at = saved.find(key);
  if (at == std::string::npos) return false;
  const std::size_t from = at + std::strlen(key);
  const std::size_t end = saved.find(';', from);
  *value = saved.substr(from, end == std::string::npos ? std::string::npos : end - from);
  if (value->size() > kProtocolTextCapacity) {
    vpn_log(kLogModule, __LINE__, "generate_outside_script_mac", "proxy for %s longer than %zu characters, not used",
            key, kProtocolTextCapacity);
    return false;
  }
  return true;
}

std::string manual_tail(const std::string& saved, const std::string& bypass_block) {
  struct proto {
    const char* key;
    const char* scheme;
  };
  static constexpr proto kOrder[] = {
      {"ftp=", "ftp"}, {"gopher=", "gopher"}, {"http=", "http"}, {"https=", "https"}, {"rtsp=", "rtsp"},
  };
  std::string tail;
  std::string value, proxy;
  for (const auto& p : kOrder) {
    if (!protocol_value(saved, p.key, &value) || !SkipHttpOrHttpsString(value, &proxy)) continue;
    tail += pac_scheme_test(p.scheme) + bypass_block + pac_return_proxy_block(proxy) + "\n";
  }
  if (protocol_value(saved, "socks=", &value) && SkipHttpOrHttpsString(value, &proxy))
    tail += bypass_block + "\treturn \"SOCKS " + pac_js_escape(proxy) + "\";\n}\n";
  else
    tail += kPacReturnDirectEnd;
  return tail;
}

// Writes the whole file, or removes what was written.
bool write_pac(const std::string& path, const std::string& text) {
  std::FILE* f = pac_file_create(path);
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    vpn_log(kLogModule, __LINE__, "generate_outside_script_mac", "failed to write %s: %s", path.c_str(),
            std::strerror(errno));
    unlink(path.c_str());
  }
  return ok;
}
}  // namespace

bool SkipHttpOrHttpsString(const std::string& value, std::string* proxy) {
  const std::size_t sep = value.find("://");
  if (sep == std::string::npos) {
    *proxy = value;
    return true;
  }
  std::string scheme = value.substr(0, std::min<std::size_t>(sep + 3, 127));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (contains(scheme, "http://") || contains(scheme, "https://") || contains(scheme, "ftp://")) {
    *proxy = value.substr(sep + 3);
    return true;
  }
  return false;
}

int GenerateBypassScript(std::string* out, const std::string& bypass) {
  out->clear();
  if (bypass.empty()) {
    VPN_LOG("GenerateBypassScript: no bypass rules\n");
    return 0;
  }
  const bool local = contains(bypass, "<local>");
  std::string alternatives;
  std::size_t at = 0;
  while (at <= bypass.size()) {
    std::size_t end = bypass.find(';', at);
    if (end == std::string::npos) end = bypass.size();
    const std::string entry = bypass.substr(at, end - at);
    if (!entry.empty() && !contains(entry, "<local>")) {
      if (!alternatives.empty()) alternatives += '|';
      alternatives += pac_host_pattern(entry);
    }
    at = end + 1;
  }
  if (!local && alternatives.empty()) {
    VPN_LOG("GenerateBypassScript: no bypass rules\n");
    return 0;
  }
  std::string cond;
  if (local) {
    VPN_LOG("GenerateBypassScript:rule <local> found\n");
    cond = "isPlainHostName(host)";
  }
  if (!alternatives.empty()) {
    if (local) cond += " || ";
    cond += "host.search(/" + alternatives + "/) >= 0";
  }
  *out = "\tif(" + cond + ") {\n\t\treturn \"DIRECT\";\n\t}\n";
  return 1;
}

int generate_outside_script_mac(vpnc_session* s, const char* dir) {
  if (s->proxy_type == OUTPROXY_NONE) {
    VPN_LOG("no proxy setting or using PPP line, skip operations related to proxy");
    return 2;
  }
  std::string saved, url;
  saved_settings_round_begin();
  GetSavedUserProxyString(&saved);
  const int enable = GetSavedUserProxyScriptFileName(&url);
  if (enable == 1 && !url.empty()) VPN_LOG("pac file path:%s", url.c_str());
  std::string user_path = user_pac_path(url, enable);
  const std::string pac_name = std::string(dir) + "tev_prox.pac";
  const std::string pac_path = proxy_file_path(pac_name.c_str());

  // Every path below that writes no file first removes what an earlier run
  // left at the name, so the installation never picks up a stale file.
  auto install_nothing = [&] {
    if (pac_name.size() <= kPacNameLimit) unlink(pac_path.c_str());
    setvpnproxy_mac();
    return 0;
  };

  if (s->tunfd.load() < 0) {
    VPN_LOG("tun fd is not valid");
    return install_nothing();
  }
  const bool saved_proxies = saved != "none" && (contains(saved, "ftp") || contains(saved, "https") ||
                                                 contains(saved, "http") || contains(saved, "gopher") ||
                                                 contains(saved, "socks") || contains(saved, "rtsp"));
  if (user_path.empty() && !saved_proxies) {
    VPN_LOG("clear proxy settings - no script is necessary");
    return install_nothing();
  }
  if (pac_name.size() > kPacNameLimit) {
    VPN_LOG("pac file name longer than %zu characters", kPacNameLimit);
    setvpnproxy_mac();
    return 0;
  }
  std::string bypass, bypass_block;
  if (getbypass(&bypass) == 0) {
    VPN_LOG("Failed to get saved user proxy settings, no Bypass rule");
  } else {
    VPN_LOG("GenerateScript:the bypass is :%s", bypass.c_str());
    if (!is_fulltunnel() && GenerateBypassScript(&bypass_block, bypass) == 0) VPN_LOG("Didn't generatae bypass script");
  }
  if (!m_pExcludeResouceList) {
    VPN_LOG("exclude subnet list is null!");
    return 0;
  }
  if (!m_pResouceList) {
    VPN_LOG("subnet list is null!");
    return 0;
  }
  const long count = static_cast<long>(std::min<uint32_t>(m_pResouceList->count, kResourceCapacity));
  if (count <= 0) {
    VPN_LOG("here are no zones in adapter object");
    return install_nothing();
  }

  std::string text;
  bool user_copied = false;
  if (!user_path.empty()) {
    std::string script;
    const user_pac got = read_user_pac(proxy_file_path(user_path.c_str()), url, &script);
    if (got == user_pac::unopened) {
      VPN_LOG("failed to open file %s for reading", url.c_str());
      return install_nothing();
    }
    // A refused file: the rest is built as without a script of the user's.
    if (got == user_pac::read) {
      long changed = 0;
      std::string renamed = pac_rename_text(script, "_", &changed);
      if (contains(script, "_indProxyForURL")) {
        // Already a renamed copy: handing requests to it could loop for ever.
        VPN_LOG("pac file %s already holds _indProxyForURL, not used", url.c_str());
      } else if (changed == 0) {
        if (!write_pac(pac_path, script))
          VPN_LOG("ClearProxySettings: failed to open file %s for writing\n", pac_name.c_str());
        setvpnproxy_mac();
        return 0;
      } else {
        text = renamed;
        user_copied = true;
      }
    }
  }

  const std::string outside = "PROXY " + pac_dotted(s->proxy_ip) + ":" + std::to_string(s->proxy_port);
  text += kPacHead;
  const std::string hostname(s->hostname, strnlen(s->hostname, sizeof s->hostname));
  // A plain comparison: the escaped name is safe in it whatever it holds.
  text += "\tif(dnsResolve(host) == " + pac_js_quote(hostname) + ") {\n" + pac_return_proxy_block(outside.substr(6));
  if (plain_host_name(hostname.c_str()))
    text += "\tif(shExpMatch(host, \"" + hostname + "\")) {\n" + pac_return_proxy_block(outside.substr(6));
  else
    VPN_LOG("gateway host name %s is not a plain host name, its shExpMatch rule is left out", hostname.c_str());
  const uint32_t excluded = std::min<uint32_t>(m_pExcludeResouceList->count, kResourceCapacity);
  if (excluded > 0) VPN_LOG("here find excluded network zones in adapter object");
  for (uint32_t i = 0; i < excluded; ++i) {
    const auto& r = m_pExcludeResouceList->entries[i];
    VPN_LOG("net mask is %s", pac_dotted(r.mask).c_str());
    text += pac_isinnet_test(r.ip, r.mask) + pac_return_proxy_block(outside.substr(6));
  }
  for (long i = 0; i < count; ++i) {
    const auto& r = m_pResouceList->entries[i];
    VPN_LOG("net mask is %s", pac_dotted(r.mask).c_str());
    text += pac_isinnet_test(r.ip, r.mask) + kPacReturnDirectBlock;
  }
  if (is_fulltunnel())
    text += kPacReturnDirectEnd;
  else if (user_copied)
    text += "\treturn _indProxyForURL(url, host);\n}\n";
  else
    text += manual_tail(saved, bypass_block);

  if (!write_pac(pac_path, text)) VPN_LOG("ClearProxySettings: failed to open file %s for writing\n", pac_name.c_str());
  setvpnproxy_mac();
  return 0;
}
