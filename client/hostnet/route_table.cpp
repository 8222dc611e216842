// Route entries: reading the kernel's IPv4 routing table and turning an entry
// into a run of /sbin/route.
#include <arpa/inet.h>
#include <net/if.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "client/cmd_runner.h"
#include "client/diag.h"
#include "client/hostnet/hostnet_internal.h"
#include "client/route_entry.h"
#include "platform/route_dump.h"

namespace {
constexpr const char kLogModule[] = "vpn_route_monitor";

using namespace rtdump;

constexpr uint32_t kLoopbackHost = 0x0100007f;  // 127.0.0.1, network order
constexpr uint32_t kPeerAddr = 0x01010101;      // 1.1.1.1

// Offsets inside one message.
constexpr size_t kDstOff = kRtMsgHdrSize;
constexpr size_t kGwOff = kDstOff + kSockaddrInSize;

bool name_of_index(unsigned idx, char (&out)[100]) {
  char name[IF_NAMESIZE] = {};
  if (idx == 0 || !if_indextoname(idx, name)) return false;
  std::memset(out, 0, sizeof out);
  std::memcpy(out, name, strnlen(name, sizeof name - 1));
  return true;
}

uint32_t read_addr(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

enum class verdict { take, skip, malformed, stop_fail };

// Walks the messages of a dump; `each` sees one whole message inside the
// buffer. The walk ends at a zero length or at a message past the dump.
template <typename Fn>
void walk_messages(const uint8_t* buf, size_t len, const char* func, Fn each) {
  size_t off = 0;
  while (off < len) {
    if (len - off < kRtMsgHdrSize) {
      vpn_log(kLogModule, __LINE__, func, "routing message at %zu is cut short, walk ended", off);
      return;
    }
    const rt_msghdr h = decode_rt_msghdr(buf + off);
    if (h.rtm_msglen == 0 || h.rtm_msglen > len - off || h.rtm_msglen < kRtMsgHdrSize) {
      vpn_log(kLogModule, __LINE__, func, "routing message at %zu has length %u, walk ended", off,
              h.rtm_msglen);
      return;
    }
    switch (each(buf + off, static_cast<size_t>(h.rtm_msglen), h)) {
      case verdict::malformed:
        vpn_log(kLogModule, __LINE__, func, "routing message at %zu is too short for its addresses, walk ended",
                off);
        return;
      case verdict::stop_fail:
        return;
      default:
        break;
    }
    off += h.rtm_msglen;
  }
}

enum class gw_decode { ok, malformed, no_name, other_family };

// Fills the gateway fields of `e` from the message's gateway record and tells
// where the netmask record starts (after an AF_INET-sized record for any
// family but AF_LINK).
gw_decode decode_gateway(const uint8_t* m, size_t mlen, const rt_msghdr& h, const char* func,
                         vpn_route_entry& e, size_t* mask_off) {
  *mask_off = kGwOff + kSockaddrInSize;
  if (mlen < kGwOff + 2) return gw_decode::malformed;
  const uint8_t family = m[kGwOff + 1];
  if (family == FAM_INET) {
    if (mlen < kGwOff + kSockaddrInSize) return gw_decode::malformed;
    e.gw_family = FAM_INET;
    e.gateway = decode_sockaddr_in4(m + kGwOff).sin_addr;
    e.ifindex = h.rtm_index;
    if (!name_of_index(h.rtm_index, e.ifname)) {
      vpn_log(kLogModule, __LINE__, func, "get if name failed, set to en0");
      std::snprintf(e.ifname, sizeof e.ifname, "en0");
    }
    return gw_decode::ok;
  }
  if (family != FAM_LINK) return gw_decode::other_family;
  if (mlen < kGwOff + kSockaddrDlSize) return gw_decode::malformed;
  const sockaddr_dl dl = decode_sockaddr_dl_head(m + kGwOff);
  e.gw_family = FAM_LINK;
  e.ifindex = dl.sdl_index ? dl.sdl_index : h.rtm_index;
  e.if_type = dl.sdl_type;
  *mask_off = kGwOff + kSockaddrDlSize;
  return name_of_index(e.ifindex, e.ifname) ? gw_decode::ok : gw_decode::no_name;
}

}  // namespace

int walk_route_snapshot(const uint8_t* buf, size_t len, route_list& list) {
  const char* func = "route_snapshot_mac";
  walk_messages(buf, len, func, [&](const uint8_t* m, size_t mlen, const rt_msghdr& h) {
    // A link-layer entry is the ARP table's (the next hop's pinned one, say),
    // not a route: deleting it would drop the pin, adding it back would make
    // a route without its link-level address.
    if ((h.rtm_flags & (RTF_WASCLONED | RTF_LLINFO)) || !(h.rtm_flags & RTF_STATIC) || !(h.rtm_addrs & RTA_DST))
      return verdict::skip;
    vpn_route_entry e{};
    e.flags = h.rtm_flags;
    if (mlen < kGwOff) return verdict::malformed;
    const sockaddr_in4 dst = decode_sockaddr_in4(m + kDstOff);
    if (dst.sin_family != FAM_INET) return verdict::skip;
    e.dst = dst.sin_addr;
    if (e.dst == kLoopbackHost) return verdict::skip;
    if (!(h.rtm_addrs & RTA_GATEWAY)) {
      vpn_log(kLogModule, __LINE__, func, "route entry don't have gateway");
      return verdict::skip;
    }
    size_t mask_off = 0;
    switch (decode_gateway(m, mlen, h, func, e, &mask_off)) {
      case gw_decode::ok:
        break;
      case gw_decode::malformed:
        return verdict::malformed;
      case gw_decode::no_name:
        return verdict::skip;
      case gw_decode::other_family:
        vpn_log(kLogModule, __LINE__, func, "route entry family is %d", m[kGwOff + 1]);
        return verdict::skip;
    }
    if (e.dst == 0) {
      e.netmask = 0;
    } else if (h.rtm_addrs & RTA_NETMASK) {
      if (mlen < mask_off + kSinAddrOffset + 4) return verdict::malformed;
      e.netmask = read_addr(m + mask_off + kSinAddrOffset);
    } else if (h.rtm_flags & RTF_HOST) {
      e.netmask = 0xffffffffu;
    } else {
      return verdict::skip;
    }
    list.push_back(e);
    return verdict::take;
  });
  return 0;
}

int walk_route_4one(const uint8_t* buf, size_t len, route_list& list) {
  const char* func = "route_snapshot_4one_mac";
  int result = -1;
  walk_messages(buf, len, func, [&](const uint8_t* m, size_t mlen, const rt_msghdr& h) {
    if ((h.rtm_flags & RTF_WASCLONED) || !(h.rtm_flags & RTF_HOST) || !(h.rtm_addrs & RTA_DST) ||
        !(h.rtm_addrs & RTA_GATEWAY))
      return verdict::skip;
    vpn_route_entry e{};
    e.flags = h.rtm_flags;
    if (mlen < kGwOff + 2) return verdict::malformed;
    const sockaddr_in4 dst = decode_sockaddr_in4(m + kDstOff);
    if (dst.sin_family != FAM_INET || dst.sin_addr != kPeerAddr) return verdict::skip;
    e.dst = dst.sin_addr;
    size_t mask_off = 0;
    switch (decode_gateway(m, mlen, h, func, e, &mask_off)) {
      case gw_decode::ok:
      case gw_decode::other_family:  // taken without gateway fields
        break;
      case gw_decode::malformed:
        return verdict::malformed;
      case gw_decode::no_name:
        return verdict::stop_fail;
    }
    if (h.rtm_addrs & RTA_NETMASK) {
      if (mlen < mask_off + kSinAddrOffset + 4) return verdict::malformed;
      e.netmask = read_addr(m + mask_off + kSinAddrOffset);
    } else {
      e.netmask = 0xffffffffu;
    }
    list.push_back(e);
    result = 0;
    return verdict::stop_fail;  // only the first one is taken
  });
  return result;
}

namespace {
// The 32-bit value whose bytes are the address in network order, read as a
// little-endian integer (127.0.0.1 is 100007F): the backup file's form.
unsigned backup_word(const uint8_t* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8 | static_cast<unsigned>(p[2]) << 16 |
         static_cast<unsigned>(p[3]) << 24;
}
}  // namespace

void walk_route_backup(const uint8_t* buf, size_t len, std::string& out) {
  const char* func = "backup_route_table";
  walk_messages(buf, len, func, [&](const uint8_t* m, size_t mlen, const rt_msghdr& h) {
    if (!(h.rtm_flags & RTF_STATIC) || (h.rtm_flags & RTF_WASCLONED) || !(h.rtm_addrs & RTA_DST))
      return verdict::skip;
    if (mlen < kGwOff) return verdict::malformed;
    const sockaddr_in4 dst = decode_sockaddr_in4(m + kDstOff);
    if (dst.sin_family != FAM_INET || dst.sin_addr == kLoopbackHost) return verdict::skip;
    char name[100] = {};
    if (!name_of_index(h.rtm_index, name)) std::snprintf(name, sizeof name, "en0");
    unsigned gw = 0;
    size_t mask_off = kGwOff;
    if (h.rtm_addrs & RTA_GATEWAY) {
      vpn_route_entry e{};
      switch (decode_gateway(m, mlen, h, func, e, &mask_off)) {
        case gw_decode::malformed:
          return verdict::malformed;
        case gw_decode::other_family:
          return verdict::skip;
        case gw_decode::ok:
        case gw_decode::no_name:
          break;
      }
      if (e.gw_family == FAM_INET) gw = backup_word(m + kGwOff + kSinAddrOffset);
    }
    unsigned mask = 0xFFFFFFFFu;
    if (dst.sin_addr == 0) {
      mask = 0;
    } else if (h.rtm_addrs & RTA_NETMASK) {
      if (mlen < mask_off + kSinAddrOffset + 4) return verdict::malformed;
      mask = backup_word(m + mask_off + kSinAddrOffset);
    }
    uint8_t dst_bytes[4];
    std::memcpy(dst_bytes, &dst.sin_addr, 4);
    char line[256];
    std::snprintf(line, sizeof line, "%s %X %X %X %d %d %d %X %d %d %d\n", name, backup_word(dst_bytes), gw,
                  static_cast<unsigned>(h.rtm_flags), 0, 0, 0, mask, 0, 0, 0);
    out += line;
    return verdict::take;
  });
}

namespace {

// Fetches the routing-table dump: size, buffer, contents.
bool fetch_route_dump(std::unique_ptr<uint8_t[]>& buf, size_t& len, const char* func) {
  size_t need = 0;
  if (rt_sysctl(dump_kind::routes, nullptr, &need) != 0) {
    vpn_log(kLogModule, __LINE__, func, "sysctl: net.route.0.0.dump estimate");
    return false;
  }
  buf.reset(new (std::nothrow) uint8_t[need ? need : 1]);
  if (!buf) {
    vpn_log(kLogModule, __LINE__, func, "malloc failed");
    return false;
  }
  len = need;
  if (rt_sysctl(dump_kind::routes, buf.get(), &len) != 0) {
    vpn_log(kLogModule, __LINE__, func, "sysctl: net.route.0.0.dump");
    return false;
  }
  return true;
}

}  // namespace

int route_snapshot_mac(route_list& list, const char*) {
  std::unique_ptr<uint8_t[]> buf;
  size_t len = 0;
  if (!fetch_route_dump(buf, len, __func__)) return -1;
  return walk_route_snapshot(buf.get(), len, list);
}

int route_snapshot_4one_mac(route_list& list, const char*) {
  std::unique_ptr<uint8_t[]> buf;
  size_t len = 0;
  if (!fetch_route_dump(buf, len, __func__)) return -1;
  return walk_route_4one(buf.get(), len, list);
}

int route_table_has(uint32_t net, uint32_t mask, const char* scope) {
  std::unique_ptr<uint8_t[]> buf;
  size_t len = 0;
  if (!fetch_route_dump(buf, len, __func__)) return -1;
  bool found = false;
  walk_messages(buf.get(), len, __func__, [&](const uint8_t* m, size_t mlen, const rt_msghdr& h) {
    // The kernel replaces a cloned entry on an add of its key, and a
    // link-layer entry is the ARP table's: neither is a route that stands.
    if ((h.rtm_flags & (RTF_WASCLONED | RTF_LLINFO)) || !(h.rtm_addrs & RTA_DST) || !(h.rtm_addrs & RTA_GATEWAY))
      return verdict::skip;
    // Scoped and unscoped entries of one destination and mask are different
    // routes, and so are scoped ones of different interfaces.
    const bool scoped = (h.rtm_flags & RTF_IFSCOPE) != 0;
    if (scoped != (scope != nullptr)) return verdict::take;
    if (mlen < kGwOff + 2) return verdict::malformed;
    const sockaddr_in4 dst = decode_sockaddr_in4(m + kDstOff);
    if (dst.sin_family != FAM_INET) return verdict::skip;
    const uint8_t family = m[kGwOff + 1];
    unsigned idx = h.rtm_index;
    size_t mask_off = kGwOff + kSockaddrInSize;
    if (family == FAM_LINK) {
      if (mlen < kGwOff + kSockaddrDlSize) return verdict::malformed;
      const sockaddr_dl dl = decode_sockaddr_dl_head(m + kGwOff);
      if (dl.sdl_index) idx = dl.sdl_index;
      mask_off = kGwOff + kSockaddrDlSize;
    }
    uint32_t m_mask = 0xffffffffu;
    if (dst.sin_addr == 0) {
      m_mask = 0;
    } else if (h.rtm_addrs & RTA_NETMASK) {
      if (mlen < mask_off + kSinAddrOffset + 4) return verdict::malformed;
      m_mask = read_addr(m + mask_off + kSinAddrOffset);
    }
    char name[100];
    if ((dst.sin_addr & m_mask) == net && m_mask == mask &&
        (!scope || (name_of_index(idx, name) && std::strncmp(name, scope, sizeof name) == 0))) {
      found = true;
      return verdict::stop_fail;
    }
    return verdict::take;
  });
  return found ? 1 : 0;
}

bool ifname_is_shell_safe(const char* s, size_t max) {
  const size_t n = strnlen(s, max);
  if (n == 0 || n == max) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-' || c == ':';
    if (!ok) return false;
  }
  return true;
}

namespace {

// Appends to a fixed buffer; remembers when something did not fit.
struct line_builder {
  char* out;
  size_t size;
  size_t used = 0;
  bool overflow = false;

  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (overflow) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out + used, size - used, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size - used) {
      overflow = true;
      return;
    }
    used += static_cast<size_t>(n);
  }
};

struct quad {
  char text[16];
  explicit quad(uint32_t net_order) {
    const auto* b = reinterpret_cast<const unsigned char*>(&net_order);
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  }
};

}  // namespace

int build_route_command(const vpn_route_entry& e, bool add, char* out, size_t out_size) {
  if (!out || out_size == 0) return -1;
  out[0] = '\0';
  const char* verb = add ? "add" : "delete";
  line_builder b{out, out_size};
  if (e.dst == 0) {
    b.add("/sbin/route %s default %s", verb, quad(e.gateway).text);
  } else {
    const bool via_if = e.gw_family != FAM_INET;
    const bool scoped = (e.flags & RTF_IFSCOPE_BSD) != 0;
    if ((via_if || scoped) && !ifname_is_shell_safe(e.ifname, sizeof e.ifname)) return -1;
    if (e.flags & RTF_HOST_BSD)
      b.add("/sbin/route %s -host %s ", verb, quad(e.dst).text);
    else
      b.add("/sbin/route %s -net %s ", verb, quad(add ? e.dst : (e.dst & e.netmask)).text);
    const bool host = (e.flags & RTF_HOST_BSD) != 0;
    if (!via_if) {
      if (host)
        b.add("-gateway %s", quad(e.gateway).text);
      else
        b.add("-netmask %s -gateway %s", quad(e.netmask).text, quad(e.gateway).text);
    } else {
      if (host)
        b.add("-interface %s", e.ifname);
      else
        b.add("-netmask %s -interface %s", quad(e.netmask).text, e.ifname);
    }
    if (e.flags & RTF_CLONING_BSD) b.add(" -cloning");
    if (scoped) b.add(" -ifscope %s", e.ifname);
  }
  if (b.overflow) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

namespace {

// Runs the route command of `e`; the tool's exit status (-1 when no command
// could be built or run).
int run_route(const vpn_route_entry& e, bool add, const char* func) {
  char name[sizeof e.ifname + 1] = {};
  std::memcpy(name, e.ifname, strnlen(e.ifname, sizeof e.ifname));
  char cmd[kCommandBufferSize];
  if (build_route_command(e, add, cmd, sizeof cmd) != 0) {
    vpn_log(kLogModule, __LINE__, func, "route command for %s refused: interface name '%s' not usable",
            quad(e.dst).text, name);
    return -1;
  }
  const int status = forknexec_status(cmd);
  vpn_log(kLogModule, __LINE__, func, "Route execute '%s' flag is %0x, if is %s", cmd, e.flags, name);
  return status;
}

}  // namespace

int add_route_mac(const vpn_route_entry& e, int, int) {
  run_route(e, true, __func__);
  return 0;
}

int del_route_mac(const vpn_route_entry& e, int, int) {
  run_route(e, false, __func__);
  return 0;
}

int add_route_checked(const vpn_route_entry& e) { return run_route(e, true, "add_route_mac"); }

bool add_route_owned(const vpn_route_entry& e) {
  const uint32_t mask = e.dst == 0 ? 0 : e.netmask;
  const uint32_t net = e.dst & mask;
  // The scope the command gives the route (a default route never has one).
  char scope[sizeof e.ifname + 1] = {};
  const bool scoped = e.dst != 0 && (e.flags & RTF_IFSCOPE_BSD);
  if (scoped) std::memcpy(scope, e.ifname, strnlen(e.ifname, sizeof e.ifname));
  // The restore deletes by destination, mask and scope: with such a route
  // of the host's own there, that delete would take the host's route. Where
  // the table leaves a doubt the add runs, and the kernel judges.
  if (route_table_has(net, mask, scoped ? scope : nullptr) == 1) {
    vpn_log(kLogModule, __LINE__, "add_route_mac", "route to %s/%s%s%s is the host's own, not added",
            quad(net).text, quad(mask).text, scoped ? " scoped to " : "", scope);
    return false;
  }
  const int status = run_route(e, true, "add_route_mac");
  if (status != 0) {
    vpn_log(kLogModule, __LINE__, "add_route_mac", "route to %s/%s refused by the route tool (%d), not recorded",
            quad(net).text, quad(mask).text, status);
    return false;
  }
  return true;
}

void add_route_recorded(const vpn_route_entry& e) {
  if (add_route_owned(e)) rt_del_list.push_back(e);
}
