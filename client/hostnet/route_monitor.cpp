// Watching and recording the routing table: the route-change monitor, the
// route probe and the route-table backup. No path of the daemon starts them.
#include "client/hostnet/route_monitor.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "client/route_entry.h"
#include "client/vpn_globals.h"
#include "platform/route_dump.h"
#include "platform/route_socket.h"

namespace {
constexpr const char kLogModule[] = "vpn_route_monitor";

using rtdump::kRtMsgHdrSize;
using rtdump::kSockaddrInSize;

constexpr std::size_t kMonitorBufferSize = 2048;
constexpr std::size_t kProbeRequestSize = kRtMsgHdrSize + kSockaddrInSize;
constexpr std::size_t kProbeReplySize = kRtMsgHdrSize + 512;
static_assert(kProbeRequestSize == 48 && kProbeReplySize == 544);
constexpr int32_t kProbeSeq = 9999;
// The probe waits this long for its answer; the monitor wakes this often to
// see the stop flag.
constexpr int kProbeTimeoutSeconds = 3;
constexpr int kMonitorWakeSeconds = 1;
constexpr int kMaxRetries = 3;
constexpr uint32_t kTunPeer = 0x01010101;  // 1.1.1.1, network order

struct rtsock_handle {
  int fd;
  explicit rtsock_handle(int f) : fd(f) {}
  ~rtsock_handle() { rtsock::rtsock_close(fd); }
  rtsock_handle(const rtsock_handle&) = delete;
  rtsock_handle& operator=(const rtsock_handle&) = delete;
};

void set_text(char* out, const char* text) { std::snprintf(out, kProbeTextSize, "%s", text); }

bool same_net(const vpn_route_entry& a, const vpn_route_entry& b) {
  return (a.dst & a.netmask) == (b.dst & b.netmask);
}

// Steps 5 to 8 of one route-change event; the caller holds the controller's
// mutex.
void repair_routes() {
  route_list current;
  if (route_snapshot_mac(current, "") != 0) {
    VPN_LOG("route change event, failed to get current route table");
    return;
  }
  if (route_snapshot_4one_mac(current, "") != 0) VPN_LOG("get 1.1.1.1 route failed");

  for (auto& removed : rt_add_list) {
    if (removed.dst == 0 || removed.retry_count >= kMaxRetries) continue;
    for (const auto& c : current) {
      if (c.dst == removed.dst && c.netmask == removed.netmask && c.flags == removed.flags) {
        del_route_mac(removed, 0, 0);
        ++removed.retry_count;
        break;
      }
    }
  }
  for (const auto& added : rt_del_list) {
    bool present = false;
    for (const auto& c : current) present = present || same_net(c, added);
    if (!present) add_route_mac(added, 0, 0);
  }
  if (is_fulltunnel()) {
    for (const auto& c : current) {
      if (c.dst != 0) continue;
      if (c.gw_family == rtdump::FAM_INET && c.gateway == kTunPeer) break;
      del_route_mac(c, 0, 0);
      vpn_route_entry def{};
      def.gw_family = rtdump::FAM_INET;
      def.gateway = kTunPeer;
      add_route_mac(def, 0, 0);
      break;  // only the first default route
    }
  }
}

}  // namespace

std::atomic<int> g_thread_stop{0};

void* checkroutes_thread_mac(void*) {
  const pid_t self = getpid();
  // Deferred: the thread stops only in its read, never inside an allocation
  // or a command run.
  if (pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr) != 0) VPN_LOG("Failed to set subprocess cancel state");
  if (pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr) != 0) VPN_LOG("Failed to set subprocess cancel type");
  if (setreuid(0, 0) != 0) VPN_LOG("setreuid failed, error %d", errno);

  const int fd = rtsock::rtsock_open(kMonitorWakeSeconds);
  if (fd < 0) {
    VPN_LOG("create route socket failed, error %d", errno);
    return nullptr;
  }
  rtsock_handle sock(fd);
  uint8_t buf[kMonitorBufferSize];
  while (g_thread_stop.load() == 0) {
    const ssize_t n = rtsock::rtsock_read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 1) {
      VPN_LOG("route monitor socket failed, error %d", errno);
      break;
    }
    if (g_thread_stop.load() != 0) {
      VPN_LOG("thread is asked to stop");
      break;
    }
    if (static_cast<std::size_t>(n) < kRtMsgHdrSize) continue;
    const rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(buf);
    if (h.rtm_type == rtsock::RTM_NEWADDR || h.rtm_type == rtsock::RTM_DELADDR ||
        h.rtm_type == rtsock::RTM_NEWMADDR || h.rtm_type == rtsock::RTM_DELMADDR) {
      VPN_LOG("network changed, notify applet disconnect VPN");
      clientip_store(m_pNetConfigFlag, 0);
      break;
    }
    if (h.rtm_type != rtsock::RTM_ADD && h.rtm_type != rtsock::RTM_DELETE && h.rtm_type != rtsock::RTM_CHANGE)
      continue;
    if (h.rtm_pid == self) continue;
    // A failed request reaches every routing socket; answering it with
    // another request could loop for ever.
    if (h.rtm_errno != 0) continue;
    // The controller's repair and restore change the same lists and routes.
    if (pthread_mutex_trylock(&mutex) != 0) {
      VPN_LOG("route change event, routes are being changed, repair skipped");
      continue;
    }
    if (g_thread_stop.load() != 0) {
      pthread_mutex_unlock(&mutex);
      VPN_LOG("thread is asked to stop");
      break;
    }
    repair_routes();
    pthread_mutex_unlock(&mutex);
  }
  return nullptr;
}

void get_rtaddrs(int addrs, const uint8_t* first, std::size_t avail, const uint8_t* slots[kRtaxMax],
                 std::size_t lens[kRtaxMax]) {
  std::size_t off = 0;
  for (int i = 0; i < kRtaxMax; ++i) {
    slots[i] = nullptr;
    lens[i] = 0;
    if (!(static_cast<unsigned>(addrs) & (1u << i))) continue;
    if (first == nullptr || off >= avail) continue;
    const std::size_t sa_len = first[off];
    const std::size_t step = rtsock::round_record(sa_len);
    // A record of length 0 (an empty netmask) still takes its 8 bytes.
    if (sa_len == 1 || sa_len > avail - off || (sa_len == 0 && step > avail - off)) {
      off = avail;
      continue;
    }
    slots[i] = first + off;
    lens[i] = sa_len;
    off = step > avail - off ? avail : off + step;
  }
}

void sock_ntop_host(const uint8_t* sa, unsigned len, char** out) {
  if (sa == nullptr || len < 2) return;
  const uint8_t family = sa[1];
  if (family == rtdump::FAM_INET) {
    char text[INET_ADDRSTRLEN];
    if (len < rtdump::kSinAddrOffset + 4 || !inet_ntop(AF_INET, sa + rtdump::kSinAddrOffset, text, sizeof text))
      return;
    set_text(out[0], "AF_INET");
    set_text(out[1], text);
  } else if (family == rtsock::FAM_INET6) {
    constexpr unsigned kSin6AddrOffset = 8;
    char text[INET6_ADDRSTRLEN];
    if (len < kSin6AddrOffset + 16 || !inet_ntop(AF_INET6, sa + kSin6AddrOffset, text, sizeof text)) return;
    set_text(out[0], "AF_INET6");
    set_text(out[1], text);
  } else if (family == rtdump::FAM_LINK) {
    if (len < rtdump::kSockaddrDlHeadSize) return;
    const rtdump::sockaddr_dl dl = rtdump::decode_sockaddr_dl_head(sa);
    if (dl.sdl_nlen != 0) return;
    char name[IF_NAMESIZE] = {};
    if (dl.sdl_index == 0 || !if_indextoname(dl.sdl_index, name)) return;
    set_text(out[0], "AF_LINK");
    set_text(out[1], name);
  } else {
    std::snprintf(out[0], kProbeTextSize, "sock_ntop_host: unknown AF_xxx: %d, len %d", family, static_cast<int>(len));
  }
}

void iproute_get_mac(char** out, const char* dst) {
  in_addr addr{};
  if (dst == nullptr || inet_pton(AF_INET, dst, &addr) != 1) {
    VPN_LOG("route probe: '%s' is no IPv4 address", dst ? dst : "");
    return;
  }
  const int fd = rtsock::rtsock_open(kProbeTimeoutSeconds);
  if (fd < 0) {
    VPN_LOG("create route socket failed, error %d", errno);
    return;
  }
  rtsock_handle sock(fd);
  const int32_t self = static_cast<int32_t>(getpid());
  uint8_t req[kProbeRequestSize] = {};
  rtdump::rt_msghdr h{};
  h.rtm_msglen = kProbeRequestSize;
  h.rtm_version = rtdump::RTM_VERSION;
  h.rtm_type = rtsock::RTM_GET;
  h.rtm_addrs = rtdump::RTA_DST;
  h.rtm_pid = self;
  h.rtm_seq = kProbeSeq;
  rtdump::encode_rt_msghdr(h, req);
  rtdump::sockaddr_in4 sin{};
  sin.sin_len = kSockaddrInSize;
  sin.sin_family = rtdump::FAM_INET;
  sin.sin_addr = addr.s_addr;
  rtdump::encode_sockaddr_in4(sin, req + kRtMsgHdrSize);
  if (rtsock::rtsock_write(fd, req, sizeof req) != static_cast<ssize_t>(sizeof req)) {
    VPN_LOG("route probe write failed, error %d", errno);
    return;
  }
  uint8_t buf[kProbeReplySize];
  for (;;) {
    const ssize_t n = rtsock::rtsock_read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) {
      VPN_LOG("route probe read failed, error %d", errno);
      return;
    }
    if (static_cast<std::size_t>(n) < kRtMsgHdrSize) continue;
    const rtdump::rt_msghdr r = rtdump::decode_rt_msghdr(buf);
    if (r.rtm_type != rtsock::RTM_GET || r.rtm_seq != kProbeSeq || r.rtm_pid != self) continue;
    if (r.rtm_errno != 0) return;  // no route
    std::size_t have = static_cast<std::size_t>(n);
    if (r.rtm_msglen < have) have = r.rtm_msglen;
    if (have <= kRtMsgHdrSize) return;
    const uint8_t* slots[kRtaxMax];
    std::size_t lens[kRtaxMax];
    get_rtaddrs(static_cast<int>(r.rtm_addrs), buf + kRtMsgHdrSize, have - kRtMsgHdrSize, slots, lens);
    if (slots[kRtaxGateway]) sock_ntop_host(slots[kRtaxGateway], static_cast<unsigned>(lens[kRtaxGateway]), out);
    return;
  }
}

int routepath(const char* family, const char* dst, const char* gateway) {
  if (family == nullptr || dst == nullptr || gateway == nullptr) return 0;
  char fam[kProbeTextSize] = {};
  char text[kProbeTextSize] = {};
  char* pair[2] = {fam, text};
  iproute_get_mac(pair, dst);
  return std::strcmp(fam, family) == 0 && std::strcmp(text, gateway) == 0 && fam[0] != '\0' ? 1 : 0;
}

void vpn_checkroute(const char* a, const char* family, const char* dst, const char* gateway) {
  if (a && family && dst && gateway) routepath(family, dst, gateway);
}

int backup_route_table(const char* path) {
  if (path == nullptr || path[0] == '\0') return -1;
  // The dump first: a table that cannot be read leaves the old backup.
  std::size_t need = 0;
  if (rtdump::rt_sysctl(rtdump::dump_kind::routes, nullptr, &need) != 0) {
    VPN_LOG("route table dump estimate failed, error %d", errno);
    return -1;
  }
  std::unique_ptr<uint8_t[]> dump(new (std::nothrow) uint8_t[need ? need : 1]);
  if (!dump) return -1;
  std::size_t len = need;
  if (rtdump::rt_sysctl(rtdump::dump_kind::routes, dump.get(), &len) != 0) {
    VPN_LOG("route table dump failed, error %d", errno);
    return -1;
  }
  std::string text = "#The first line is no useful\n";
  walk_route_backup(dump.get(), len, text);

  const std::string tmp = std::string(path) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return -1;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), path) != 0) {
    std::remove(tmp.c_str());
    return -1;
  }
  return 0;
}
