// The PAC file for the gateway's inside proxy (full tunnel, no outside
// proxy): local names, the gateway, the excluded networks and, with local
// access, the host's own networks direct; the rest to the inside proxy or to
// the decision of the script it names.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/proxy/pac_text.h"
#include "client/proxy/proxy.h"
#include "client/proxy/proxy_internal.h"
#include "client/unique_fd.h"
#include "platform/child_run.h"

namespace {
constexpr const char kLogModule[] = "vpn_useconfig_qn1";
constexpr char kInsidePacName[] = "/Library/Frameworks//tev_prox.pac";
constexpr char kDownloadName[] = "/usr/local/tevra_vpn/tev_prox.tmp";
constexpr char kInsideName[] = "__InProxyForURL";
constexpr int kDirectAttempts = 3;
// Wall-clock bound of one download, past curl's own -m 3.
constexpr int kDownloadBoundSeconds = 5;
// The largest script taken, as for the user's own PAC file. curl's own
// --max-filesize stops only a transfer that announces its size; the cap on
// the child's files (one byte more, so that a larger script is told apart)
// stops any other on disk.
constexpr long long kPacSizeLimit = 4LL << 20;

std::string file_root;
std::string curl_path = "/usr/bin/curl";
void real_sleep(unsigned secs) { sleep(secs); }
void (*sleep_hook)(unsigned) = real_sleep;

// 1 absent, 2 not openable, 3 holds the function name within one piece of
// at most 79 characters, 4 not a script.
int classify(const char* path) {
  if (access(path, F_OK) != 0) return 1;
  std::FILE* f = std::fopen(path, "r");
  if (!f) return 2;
  char piece[80];
  int rc = 4;
  while (std::fgets(piece, sizeof piece, f)) {
    if (std::strstr(piece, kPacFunctionName)) {
      rc = 3;
      break;
    }
  }
  std::fclose(f);
  return rc;
}

// The text after `marker` in `text` up to the next '#'; false when no '#'.
bool hash_field(const std::string& text, const char* marker, std::string* out) {
  const std::size_t at = text.find(marker);
  const std::size_t from = at + std::strlen(marker);
  const std::size_t end = text.find('#', from);
  if (end == std::string::npos) return false;
  *out = text.substr(from, end - from);
  return true;
}

struct pac_output {
  std::FILE* f = nullptr;
  std::string path;
  // Drops the file: nothing incomplete is left to be installed later.
  void discard() {
    if (f) std::fclose(f);
    f = nullptr;
    unlink(path.c_str());
  }
};
}  // namespace

void proxy_set_file_root(const std::string& root) { file_root = root; }
std::string proxy_file_path(const char* host_path) { return file_root + host_path; }
void proxy_set_curl_path(const char* path) { curl_path = path ? path : "/usr/bin/curl"; }
void proxy_set_sleep_hook(void (*hook)(unsigned)) { sleep_hook = hook ? hook : real_sleep; }

int deletefile(const char* path) {
  if (access(path, F_OK) != 0) return 1;
  return unlink(path) == 0 ? 0 : 2;
}

namespace {
// curl reads no configuration of its own (-q, first), takes the URL as one
// literal transfer (no [a-b] or {a,b} expansion), speaks http or https only
// and stops at the size a PAC file may have. The runner gives it no
// environment of the daemon's (no proxy or key-log variables).
std::vector<std::string> curl_argv() {
  return {curl_path, "-q", "--globoff", "--proto", "=http,https", "-m", "3", "--max-filesize", "4M"};
}

// Runs one download into `path` within the bound; a transfer that did not end
// well, or a file past the size limit, leaves no part of a file that could
// pass for a script. True when a file was kept.
bool run_download(std::vector<std::string> argv, const char* path, const char* url) {
  argv.insert(argv.end(), {"-o", path, url});
  std::vector<const char*> args;
  for (const auto& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  child_spec spec;
  spec.argv = args.data();
  spec.bound_ms = kDownloadBoundSeconds * 1000;
  spec.file_size_limit = kPacSizeLimit + 1;
  const child_result r = vpnc_child_run(spec);
  if (r.timed_out) VPN_LOG("%s did not end within %d s, stopped", args[0], kDownloadBoundSeconds);
  if (!r.timed_out && r.status >= 0 && WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGXFSZ)
    VPN_LOG("downloaded script is larger than %lld, not used", kPacSizeLimit);
  if (!r.ok()) {
    unlink(path);
    return false;
  }
  // curl made the file under the daemon's umask; its mode is set here, on
  // the file itself, before anything reads it.
  unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0 && errno == ENOENT) return false;
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !pac_make_public(fd.get())) {
    VPN_LOG("downloaded file %s is not a plain file of this program's, not used", path);
    unlink(path);
    return false;
  }
  if (st.st_size > kPacSizeLimit) {
    VPN_LOG("downloaded script of %lld bytes is larger than %lld, not used", static_cast<long long>(st.st_size),
            static_cast<long long>(kPacSizeLimit));
    unlink(path);
    return false;
  }
  return true;
}

// True when `name` occurs in the rest of `f`; the pieces overlap so that no
// occurrence is missed at an edge.
bool file_holds(std::FILE* f, const char* name) {
  const std::size_t keep = std::strlen(name) - 1;
  std::string window;
  char piece[65536];
  for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, f)) > 0;) {
    window.append(piece, got);
    if (window.find(name) != std::string::npos) return true;
    if (window.size() > keep) window.erase(0, window.size() - keep);
  }
  return false;
}
}  // namespace

int directdownload(const char* path, const char* url) {
  deletefile(path);
  std::vector<std::string> argv = curl_argv();
  argv.insert(argv.end(), {"--noproxy", "*"});
  run_download(argv, path, url);
  return classify(path);
}

int proxydownload(const char* path, const char* url, vpnc_session* s) {
  deletefile(path);
  if (s->proxy_type == OUTPROXY_NONE) return 1;  // no proxy to go through
  std::vector<std::string> argv = curl_argv();
  argv.insert(argv.end(), {"--proxy", pac_dotted(s->proxy_ip) + ":" + std::to_string(s->proxy_port)});
  if (s->proxy_type == OUTPROXY_BASIC || s->proxy_type == OUTPROXY_NTLM) {
    argv.push_back(s->proxy_type == OUTPROXY_BASIC ? "--proxy-basic" : "--proxy-ntlm");
    argv.push_back("--proxy-user");
    argv.push_back(std::string(s->proxy_user, strnlen(s->proxy_user, sizeof s->proxy_user)) + ":" +
                   std::string(s->proxy_passwd, strnlen(s->proxy_passwd, sizeof s->proxy_passwd)));
  }
  run_download(argv, path, url);
  return classify(path);
}

int GetScriptFile(std::string* out_path, const char* url, vpnc_session* s) {
  const std::string download = proxy_file_path(kDownloadName);
  deletefile(download.c_str());
  // Only a plain http URL: "contains http://" would let file:///x#http://
  // have the daemon read a local file of the gateway's choosing.
  if (std::strncmp(url, "http://", 7) != 0) {
    VPN_LOG("inside proxy url format not include http invalid");
    return -1;
  }
  int rc = 1;
  for (int attempt = 0; attempt < kDirectAttempts && rc == 1; ++attempt) {
    rc = directdownload(download.c_str(), url);
    if (rc == 1) sleep_hook(1);
  }
  if (rc == 3) {
    *out_path = download;
    VPN_LOG("download url script for inside proxy directly");
    return 0;
  }
  if (proxydownload(download.c_str(), url, s) == 3) {
    *out_path = download;
    VPN_LOG("download url script for inside proxy by outside proxy");
    return 0;
  }
  VPN_LOG("failed to download the url script for inside proxy");
  return -1;
}

int ChangeScriptFile(std::FILE* out, const char* path, const char* new_name) {
  if (!out || !path || !*path || !new_name) return 0;
  std::FILE* in = std::fopen(path, "r");
  if (!in) {
    VPN_LOG("errer to open %s", path);
    return 0;
  }
  // A script that already holds the new name (this program's own file,
  // republished) would call itself once renamed.
  if (file_holds(in, new_name)) {
    VPN_LOG("script %s already holds %s, not used", path, new_name);
    std::fclose(in);
    return 0;
  }
  std::rewind(in);
  const long changed = pac_copy_renamed(in, out, new_name);
  std::fclose(in);
  return changed > 0 ? 1 : 0;
}

void FindProxyHostInProxyString(std::string* out, const char* proxy_text, int depth) {
  const std::string indent(static_cast<std::size_t>(depth < 0 ? 0 : depth > 255 ? 255 : depth), '\t');
  const std::string text = proxy_text ? proxy_text : "";
  const std::string direct = indent + "return \"DIRECT\";\n";
  auto proxy_line = [&](const std::string& p) { return indent + "return \"PROXY " + pac_js_escape(p) + "\";\n"; };
  if (text.find("IEPROTO#") != std::string::npos) {
    std::string list;
    if (!hash_field(text, "IEPROTO#", &list)) list.clear();
    if (list.find('=') != std::string::npos) {
      struct key {
        const char* key;
        const char* scheme;
      };
      static constexpr key kKeys[] = {
          {"ftp=", "ftp"}, {"http=", "http"}, {"https=", "https"}, {"gopher=", "gopher"}, {"socks=", "socks"},
      };
      for (const auto& k : kKeys) {
        const std::size_t at = list.find(k.key);
        if (at == std::string::npos) continue;
        const std::size_t from = at + std::strlen(k.key);
        const std::size_t end = list.find(';', from);
        const std::string p = list.substr(from, end == std::string::npos ? std::string::npos : end - from);
        std::string test = pac_scheme_test(k.scheme);  // "\tif (...) {\n"
        *out += indent + test.substr(1, test.size() - 2) + "\n";
        *out += indent + "\treturn \"PROXY " + pac_js_escape(p) + "\";\n";
        *out += indent + "}\n";
      }
      *out += direct;
    } else {
      *out += list.empty() ? direct : proxy_line(list);
    }
    return;
  }
  if (text.find("PROXY#") != std::string::npos) {
    std::string p;
    *out += hash_field(text, "PROXY#", &p) ? proxy_line(p) : direct;
    return;
  }
  *out += direct;
}

int generate_insideproxy_script(vpnc_session* s) {
  if (s->proxy_mode.load() != PROXYMODE_NONE) {
    VPN_LOG("Outside proxy has been set, so inside is auto disabled here");
    return -1;
  }
  if (!is_fulltunnel() || s->tunfd.load() < 0) {
    VPN_LOG("Tunnel has not been created or tunnel is not full tunneling mode!");
    return -1;
  }
  if (!m_pInsideProxy || !m_pNetConfigFlag) {
    VPN_LOG("inside proxy pointer is null");
    return -1;
  }
  const uint32_t len = m_pNetConfigFlag->inside_proxy_len;
  const uint32_t type = m_pInsideProxy->type;
  if (len == 0 || (type != PROXY_MANUAL && type != PROXY_SCRIPT)) {
    VPN_LOG("inside proxy type is disabled, proxy len %d, proxy type %d", static_cast<int>(len),
            static_cast<int>(type));
    return -1;
  }
  std::string gateway_name;
  // The proxy lock is held only for the mode here and for the installation
  // at the end, never across the download: a teardown meanwhile does not
  // wait, and once it has begun nothing is changed any more.
  {
    auto lk = proxy_lock_take();
    if (proxy_teardown_has_begun()) {
      VPN_LOG("teardown has begun, inside proxy is not set");
      return -1;
    }
    VPN_LOG("inside proxy type is %d, PROXY_MANUAL is %d, PROXY_SCRIPT is %d", static_cast<int>(type), PROXY_MANUAL,
            PROXY_SCRIPT);
    s->proxy_mode = PROXYMODE_INSIDE;
    // The teardown clears the host name once it has begun, which it marks
    // under this lock: taken now, not after the download.
    gateway_name.assign(s->hostname, strnlen(s->hostname, sizeof s->hostname));
  }

  pac_output pac;
  pac.path = proxy_file_path(kInsidePacName);
  pac.f = pac_file_create(pac.path);
  if (!pac.f) {
    VPN_LOG("failed to open inside proxy script file");
    return -1;
  }
  const std::string proxy(m_pInsideProxy->proxy, strnlen(m_pInsideProxy->proxy, sizeof m_pInsideProxy->proxy));
  std::string proxy_text, script_path;
  if (type == PROXY_MANUAL) {
    proxy_text = "PROXY#" + proxy + "#";
  } else {
    VPN_LOG("inside proxy url is %s", proxy.c_str());
    if (GetScriptFile(&script_path, proxy.c_str(), s) == -1) {
      pac.discard();  // before the line, which tells that nothing is left
      VPN_LOG("Failed to download inside proxy url script");
      return -1;
    }
  }
  const bool script = ChangeScriptFile(pac.f, script_path.c_str(), kInsideName) == 1;

  const std::string gateway = pac_js_escape(gateway_name);
  std::string text = kPacHead;
  text += std::string("\tif (host == \"localhost\") {\n") + kPacReturnDirectBlock;
  text += std::string("\tif (host == \"127.0.0.1\") {\n") + kPacReturnDirectBlock;
  text += "\tif (dnsResolve(host) == '" + gateway + "' || localHostOrDomainIs('" + gateway + "', host)) {\n" +
          kPacReturnDirectBlock;
  if (m_pExcludeResouceList) {
    const uint32_t excluded = std::min<uint32_t>(m_pExcludeResouceList->count, kResourceCapacity);
    if (excluded > 0) VPN_LOG("here find excluded network zones in inside proxy");
    for (uint32_t i = 0; i < excluded; ++i) {
      const auto& r = m_pExcludeResouceList->entries[i];
      VPN_LOG("net mask is %s", pac_dotted(r.mask).c_str());
      text += pac_isinnet_test(r.ip, r.mask) + kPacReturnDirectBlock;
    }
  }
  if (IsEnableLocalAccess()) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
      perror("getifaddr error\n");
      pac.discard();
      return -1;
    }
    for (ifaddrs* a = list; a; a = a->ifa_next) {
      if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_netmask) continue;
      if (!(a->ifa_flags & (IFF_UP | IFF_RUNNING)) || (a->ifa_flags & (IFF_LOOPBACK | IFF_POINTOPOINT))) continue;
      sockaddr_in addr{}, mask{};
      std::memcpy(&addr, a->ifa_addr, sizeof addr);
      std::memcpy(&mask, a->ifa_netmask, sizeof mask);
      VPN_LOG("net mask is %s", pac_dotted(mask.sin_addr.s_addr).c_str());
      text += pac_isinnet_test(addr.sin_addr.s_addr, mask.sin_addr.s_addr) + kPacReturnDirectBlock;
    }
    freeifaddrs(list);
  }
  if (script)
    text += "\treturn __InProxyForURL(url, host);\n";
  else
    FindProxyHostInProxyString(&text, proxy_text.c_str(), 1);
  text += "}\n";
  const bool written = std::fwrite(text.data(), 1, text.size(), pac.f) == text.size();
  const bool closed = std::fclose(pac.f) == 0;
  pac.f = nullptr;
  if (!written || !closed) {
    VPN_LOG("failed to write inside proxy script file");
    pac.discard();
    return -1;
  }
  auto lk = proxy_lock_take();
  if (proxy_teardown_has_begun()) {
    VPN_LOG("teardown has begun, inside proxy is not set");
    pac.discard();
    return -1;
  }
  setvpnproxy_locked();
  return 0;
}
