// Generation-1 handlers: every step after TLS differs from generation 2; the
// tunnel configuration and the ready bits are shared with it.
#include "client/session/gen1_handlers.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/dns_config.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/session/controller.h"
#include "client/session/gateway_conn.h"
#include "client/session/relay.h"
#include "client/session/tls_methods.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"
#include "platform/iflist.h"
#include "platform/proclist.h"
#include "platform/utun.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
#define LOG_IN(func, ...) vpn_log(kLogModule, __LINE__, func, __VA_ARGS__)

constexpr const char kGetFormat[] = "GET /%s HTTP/1.1\r\nHost: %s\r\nCookie: KXsession=%s\r\nappid: ssl_vpn\r\n\r\n";
constexpr std::size_t kMaxPath = 255;
constexpr std::size_t kMaxHost = sizeof(vpnc_session::hostname) - 1;
constexpr std::size_t kMaxCookie = sizeof(vpnc_session::session_cookie) - 1;
// The format less its three "%s", plus the longest path, host and cookie.
constexpr std::size_t kGetRequestSize = sizeof kGetFormat - 6 + kMaxPath + kMaxHost + kMaxCookie;
static_assert(kGetRequestSize >= 63 + 1023 + 93);
char g_get_request[kGetRequestSize];

constexpr std::size_t kSessionIdDigits = 8;
constexpr std::size_t kMaxSearchText = 254;
constexpr std::size_t kProxyTextMax = 255;
constexpr const char kDaemonName[] = "dorvex";

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t net_word(const uint8_t* p) {  // bytes as they come
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The reply's receive buffer and the relay's buffers: main thread only.
uint8_t g_buf[65536];
static_assert(sizeof g_buf > kGen1ReplyMax);
uint8_t g_packet[kRelayBufferSize];
uint8_t g_carry[kRelayBufferSize];
std::size_t g_carry_len = 0;

// Reads until `got` reaches `want`, asking only for what is still awaited.
bool read_until(cfg_stream* io, std::size_t* got, std::size_t want) {
  while (*got < want) {
    errno = 0;
    const int r = io->read(io, g_buf + *got, static_cast<int>(want - *got));
    if (r <= 0) {
      LOG_IN("config_receive_qn1", "%s ERROR, errno is %d", "read", errno);
      return false;
    }
    *got += static_cast<std::size_t>(r);
  }
  return true;
}

std::mutex g_dtor_lock;
bool g_dtor_ran = false;
gen1_kill_fn g_kill_hook = nullptr;

bool service_name_usable(const char* name) {
  for (const char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '$' || c == '`' || c == '\\' || c < 0x20) return false;
  }
  return true;
}

// Addresses separated by blanks, at least one.
bool dns_text_usable(const char* text) {
  std::size_t words = 0;
  const char* p = text;
  while (*p) {
    while (*p == ' ') ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && *p != ' ') ++p;
    const std::string word(start, p);
    unsigned char tmp[16];
    if (inet_pton(AF_INET, word.c_str(), tmp) != 1 && inet_pton(AF_INET6, word.c_str(), tmp) != 1) return false;
    ++words;
  }
  return words > 0;
}

void put_dns_back(const vpn_dtor_ops& ops) {
  static constexpr const char kFunc[] = "vpn_dtor_qn1";
  const std::size_t n = strnlen(g_NetworkServiceName, sizeof g_NetworkServiceName);
  if (n == 0 || n == sizeof g_NetworkServiceName) {
    LOG_IN(kFunc, "no network service named, its DNS servers are not put back");
    return;
  }
  const char* name = g_NetworkServiceName;
  if (!service_name_usable(name)) {
    LOG_IN(kFunc, "network service name '%s' refused for a command line", name);
    return;
  }
  int searchdomains = 0;
  if (usedifname[0] != '\0') {
    const int servers = GetDnsNameManualOrDHCP(name);
    searchdomains = GetSearchDomainsManualOrDHCP(name);
    char cmd[1200];
    if (servers == 1) {
      dnsip[sizeof dnsip - 1] = '\0';
      if (!dns_text_usable(dnsip)) {
        LOG_IN(kFunc, "saved DNS text '%s' is no list of addresses, refused", dnsip);
        cmd[0] = '\0';
      } else {
        std::snprintf(cmd, sizeof cmd, "/usr/sbin/networksetup -setdnsservers \"%s\" %s", name, dnsip);
      }
    } else {
      std::snprintf(cmd, sizeof cmd, "/usr/sbin/networksetup -setdnsservers \"%s\" empty", name);
    }
    if (cmd[0]) ops.forknexec(cmd, 0);
  }
  setOriginalDnsSearchDomains(searchdomains, name);
}

}  // namespace

char dnsip[512] = {};

char* create_get_qn1(vpnc_session* s, const char* path) {
  if (path == nullptr || strnlen(path, kMaxPath + 1) > kMaxPath) {
    LOG_IN("create_get_qn1", "page path too long for the request");
    return nullptr;
  }
  const int host_len = static_cast<int>(strnlen(s->hostname, kMaxHost));
  const int cookie_len = static_cast<int>(strnlen(s->session_cookie, kMaxCookie));
  std::snprintf(g_get_request, sizeof g_get_request,
                "GET /%s HTTP/1.1\r\nHost: %.*s\r\nCookie: KXsession=%.*s\r\nappid: ssl_vpn\r\n\r\n", path, host_len,
                s->hostname, cookie_len, s->session_cookie);
  return g_get_request;
}

bool gen1_session_id(const char* cookie, std::size_t field_size, uint32_t* id) {
  const std::size_t len = strnlen(cookie, field_size);
  const void* plus = std::memchr(cookie, '+', len);
  if (plus == nullptr) return false;
  std::size_t at = static_cast<std::size_t>(static_cast<const char*>(plus) - cookie) + 1;
  uint32_t v = 0;
  for (std::size_t digits = 0; digits < kSessionIdDigits && at < len; ++digits, ++at) {
    const int h = hex_value(cookie[at]);
    if (h < 0) break;
    v = v << 4 | static_cast<uint32_t>(h);
  }
  *id = v;
  return true;
}

void update_local_ip_list(ip_list* list) {
  std::memset(list, 0, sizeof *list);
  iflist_entry entries[64];
  std::size_t n = 0;
  if (iflist_read(entries, sizeof entries / sizeof entries[0], &n) != 0) return;
  for (std::size_t i = 0; i < n && list->count < kGen1MaxAddresses; ++i) {
    if (entries[i].loopback || !entries[i].has_ipv4) continue;
    list->ips[list->count++] = entries[i].ipv4;
  }
}

int config_rqt_qn1_on(vpnc_session* s, cfg_stream* io) {
  static constexpr const char kFunc[] = "config_rqt_qn1";
  uint32_t id = 0;
  if (!gen1_session_id(s->session_cookie, sizeof s->session_cookie, &id)) {
    LOG_IN(kFunc, "session cookie has no '+', no session id");
    return VPNC_STATE_FATAL;
  }
  uint8_t wire[kGen1RequestWireSize] = {};
  put_be32(wire + 0, kGen1RequestType);
  put_be32(wire + 4, kGen1RequestWireSize);
  put_be32(wire + 8, 7);
  put_be32(wire + 12, 3);
  put_be32(wire + 16, 3);
  put_be32(wire + 20, 0);
  put_be32(wire + 24, id);
  ip_list list;
  update_local_ip_list(&list);
  put_be32(wire + 28, list.count);
  for (std::size_t i = 0; i < list.count; ++i) std::memcpy(wire + 32 + 4 * i, &list.ips[i], 4);
  errno = 0;
  if (cfg_write_full(io, wire, sizeof wire) > 0) {
    LOG_IN(kFunc, "SEND ATP CONFIG REQUEST");
    return 0;
  }
  LOG_IN(kFunc, "%s ERROR, errno is %d", "write", errno);
  return VPNC_STATE_FATAL;
}

int config_rqt_qn1(vpnc_session* s) {
  cfg_stream io = cfg_stream_ssl(s->ssl);
  return config_rqt_qn1_on(s, &io);
}

int config_receive_qn1_on(vpnc_session*, cfg_stream* io) {
  static constexpr const char kFunc[] = "config_receive_qn1";
  initial_common_config();
  if (!m_pCommonCfg || !m_pNetConfigFlag || !m_pResouceList || !m_pInsideProxy || !m_pDNSList || !m_pWINSList ||
      !m_pSearchDomainList)
    return VPNC_STATE_FATAL;
  std::memset(g_buf, 0, sizeof g_buf);
  std::size_t got = 0;
  if (!read_until(io, &got, 24)) return VPNC_STATE_FATAL;
  if (std::memcmp(g_buf, "HTTP", 4) == 0) return VPNC_STATE_FATAL;
  creply = _VPN_CONFIG_REPLY_{};
  creply.msgtype = load_be32(g_buf);
  creply.length = load_be32(g_buf + 4);
  for (int i = 0; i < 4; ++i) creply.reserved[i] = load_be32(g_buf + 8 + 4 * i);
  if (creply.msgtype != kGen1ReplyType || creply.length == 0 || creply.length >= 65535) return VPNC_STATE_FATAL;
  // Offsets 24 to 67 are read only once they have arrived.
  if (creply.length < kGen1ReplyFixedSize) {
    LOG_IN(kFunc, "reply length %u is below its fixed part", creply.length);
    return VPNC_STATE_FATAL;
  }
  if (!read_until(io, &got, creply.length)) return VPNC_STATE_FATAL;

  const uint8_t* b = g_buf;
  const uint32_t resources = load_le32(b + 32), dns = load_le32(b + 36), wins = load_le32(b + 40),
                 search = load_le32(b + 44), launch = load_le32(b + 56), proxy = load_le32(b + 60),
                 disconnect = load_le32(b + 64);
  creply.skip_len = load_le32(b + 48);
  creply.flags = load_be32(b + 52);
  const uint64_t total = uint64_t{creply.length} + 8 * uint64_t{resources} + 4 * uint64_t{dns} + 4 * uint64_t{wins} +
                         search + creply.skip_len + launch + proxy + disconnect;
  if (total > kGen1ReplyMax) {
    LOG_IN(kFunc, "reply of %llu bytes is longer than %llu", static_cast<unsigned long long>(total),
           static_cast<unsigned long long>(kGen1ReplyMax));
    return VPNC_STATE_FATAL;
  }

  _VPN_NETWORK_HEADER_* h = m_pNetConfigFlag;
  std::memset(h, 0, sizeof *h);
  std::memset(m_pResouceList, 0, sizeof *m_pResouceList);
  std::memset(m_pInsideProxy, 0, sizeof *m_pInsideProxy);
  std::memset(m_pDNSList, 0, sizeof *m_pDNSList);
  std::memset(m_pWINSList, 0, sizeof *m_pWINSList);
  std::memset(m_pSearchDomainList, 0, sizeof *m_pSearchDomainList);
  clientip_store(h, net_word(b + 24));
  h->virtual_mask = net_word(b + 28);
  h->resource_count = resources;
  h->dns_count = dns;
  h->wins_count = wins;
  h->search_domain_len = search;
  h->inside_proxy_len = proxy;
  m_pCommonCfg->launch_cmd_len = launch;
  m_pCommonCfg->disconnect_cmd_len = disconnect;
  if (creply.flags & 0x80) h->flags |= NETCFG_LOCAL_ACCESS;

  if (!read_until(io, &got, static_cast<std::size_t>(total))) return VPNC_STATE_FATAL;

  std::size_t pos = kGen1ReplyFixedSize;
  for (uint32_t i = 0; i < resources; ++i, pos += 8) {
    const uint32_t ip = net_word(b + pos);
    if (ip == 0) h->flags |= NETCFG_FULL_TUNNEL;
    if (m_pResouceList->count >= kResourceCapacity) continue;
    _VPN_RESOURCE_& r = m_pResouceList->entries[m_pResouceList->count++];
    r.ip = ip;
    r.mask = net_word(b + pos + 4);
  }
  for (uint32_t i = 0; i < dns; ++i, pos += 4)
    if (m_pDNSList->count < kIpListCapacity) m_pDNSList->ips[m_pDNSList->count++] = net_word(b + pos);
  for (uint32_t i = 0; i < wins; ++i, pos += 4)
    if (m_pWINSList->count < kIpListCapacity) m_pWINSList->ips[m_pWINSList->count++] = net_word(b + pos);
  if (search != 0) {
    const std::size_t cap = search < kMaxSearchText ? search : kMaxSearchText;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(b + pos), cap);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= n; ++i) {
      if (i < n && b[pos + i] != ',') continue;
      // The end of the text counts as the last comma.
      const std::size_t len = i - start;
      if (len > 0 && m_pSearchDomainList->count < kSearchDomainCapacity) {
        char* d = m_pSearchDomainList->domains[m_pSearchDomainList->count++];
        std::memcpy(d, b + pos + start, len);
        d[len] = '\0';
      }
      start = i + 1;
    }
  }
  pos += uint64_t{search} + creply.skip_len + launch;
  m_pInsideProxy->type = PROXY_NONE;
  if (proxy >= 4) {
    const uint32_t type = load_be32(b + pos);
    m_pInsideProxy->type = type == 2 ? PROXY_MANUAL : type == 1 ? PROXY_SCRIPT : PROXY_NONE;
    const std::size_t room = proxy - 4 < kProxyTextMax ? proxy - 4 : kProxyTextMax;
    const std::size_t n = strnlen(reinterpret_cast<const char*>(b + pos + 4), room);
    std::memcpy(m_pInsideProxy->proxy, b + pos + 4, n);
    m_pInsideProxy->proxy[n] = '\0';
  }
  return 0;
}

int config_receive_qn1(vpnc_session* s) {
  cfg_stream io = cfg_stream_ssl(s->ssl);
  cfg_deadline whole(&io, s->ssl, "config_receive_qn1");
  return config_receive_qn1_on(s, &io);
}

int post_config_qn1(vpnc_session*) {
  forknexec("/usr/sbin/arp -a -d", 0);
  return 0;
}

int vpn_data_transfer_qn1(vpnc_session* s) {
  const relay_tls_io* io = relay_tls_io_current();
  if (s->ready_flags & READY_TUN) {
    s->ready_flags &= ~READY_TUN;
    errno = 0;
    const int n = utun_read(s->tunfd.load(), g_packet, kRelayReadMax);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? XFER_OK : XFER_FAILED;
    if (n == 0) return XFER_OK;
    int w;
    {
      std::lock_guard<std::mutex> lk(g_conn_lock);
      w = io->write(g_packet, n);
    }
    if (w <= 0) return XFER_FAILED;
    g_byte_out.fetch_add(static_cast<uint64_t>(w));
    return XFER_OK;
  }
  if (!(s->ready_flags & READY_TUNNEL)) return XFER_OK;
  s->ready_flags &= ~READY_TUNNEL;
  int n;
  {
    std::lock_guard<std::mutex> lk(g_conn_lock);
    if (relay_conn_replaced()) return XFER_OK;
    n = io->read(g_packet, kRelayReadMax);
  }
  if (n <= 0) return XFER_FAILED;
  g_byte_in.fetch_add(static_cast<uint64_t>(n));
  g_lasttunnelrecv.store(static_cast<int64_t>(std::time(nullptr)) - g_starttick.load());
  const std::size_t got = static_cast<std::size_t>(n);
  if (got > sizeof g_carry - g_carry_len) {
    g_carry_len = 0;
    return XFER_FAILED;
  }
  std::memcpy(g_carry + g_carry_len, g_packet, got);
  const std::size_t avail = g_carry_len + got;
  std::size_t pos = 0;
  const int tunfd = s->tunfd.load();
  while (avail - pos >= kIpHeaderSize) {
    const std::size_t len = static_cast<std::size_t>(g_carry[pos + 2] << 8 | g_carry[pos + 3]);
    if (len < kIpHeaderSize) {
      g_carry_len = 0;
      return XFER_FAILED;
    }
    if (avail - pos < len) break;
    if (utun_write(tunfd, g_carry + pos, len) == -1) {
      g_carry_len = 0;
      return XFER_FAILED;
    }
    pos += len;
  }
  g_carry_len = avail - pos;
  if (g_carry_len > 0 && pos > 0) std::memmove(g_carry, g_carry + pos, g_carry_len);
  return g_carry_len > 0 ? XFER_PENDING : XFER_OK;
}

int vpn_dtor_qn1(vpnc_session* s, int, int, int* done) {
  static constexpr const char kFunc[] = "vpn_dtor_qn1";
  // A signal-thread end and a relay failure may both get here: the steps
  // run once, a later caller waits for them.
  std::lock_guard<std::mutex> once(g_dtor_lock);
  if (!g_dtor_ran) {
    g_dtor_ran = true;
    const teardown_tool_bounds tool_bounds;
    const vpn_dtor_ops& ops = vpn_dtor_current_ops();
    g_thread_stop = 1;
    if (m_pDNSList && m_pDNSList->count > 0) put_dns_back(ops);
    if (ops.dns_config_is_kept()) ops.restore_dns_config();
    relay_retire_tunfd(s->tunfd.exchange(-1));
    if (tundev_created != -1) {
      char cmd[64];
      std::snprintf(cmd, sizeof cmd, "/bin/rm -f /dev/tun%d", tundev_created);
      ops.forknexec(cmd, 0);
      tundev_created = -1;
    }
    ops.restore_routes();
    ops.restore_default_route();
    std::memset(if_name_to_lum, 0, sizeof if_name_to_lum);
    std::memset(s->hostname, 0, sizeof s->hostname);
    if (s->cert_line) {
      OPENSSL_free(s->cert_line);
      s->cert_line = nullptr;
    }
    if (s->peer_cert) {
      X509_free(s->peer_cert);
      s->peer_cert = nullptr;
    }
    {
      std::lock_guard<std::mutex> lk(g_conn_lock);
      if (s->ssl) tls_shutdown(s->ssl);
      vpnc_close_sockfd(s);
      vpnc_release_tls(s);
    }
    ops.forknexec("/bin/rm -f /usr/local/tevra_vpn/sessionbegintime", 0);
    // The ARP flush first: ending the other instances must not stop it.
    ops.forknexec("/usr/sbin/arp -a -d", 0);
    std::vector<pid_t> pids;
    if (proclist_by_name(kDaemonName, pids) == 0) {
      const pid_t self = getpid();
      std::erase(pids, self);
      if (g_kill_hook)
        g_kill_hook(pids);
      else
        for (pid_t p : pids) kill(p, SIGKILL);
      LOG_IN(kFunc, "ended %zu other %s processes", pids.size(), kDaemonName);
    } else {
      LOG_IN(kFunc, "process list unreadable, no other %s ended", kDaemonName);
    }
  }
  if (done) *done = 1;
  return DTOR_DESTROYED;
}

void gen1_set_kill_hook(gen1_kill_fn fn) { g_kill_hook = fn; }

void gen1_reset_for_test() {
  std::lock_guard<std::mutex> once(g_dtor_lock);
  g_dtor_ran = false;
  g_carry_len = 0;
}
