#include "platform/route_dump.h"
#include "client/unique_fd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace rtdump {
namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
// Addresses stay in network order: copied as bytes.
void put_addr(uint8_t* p, uint32_t net_order) { std::memcpy(p, &net_order, 4); }
uint32_t get_addr(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint32_t prefix_mask(uint8_t len) {
  if (len == 0) return 0;
  if (len >= 32) return 0xffffffffu;
  return htonl(~((1u << (32 - len)) - 1));
}

std::mutex g_source_lock;
dump_source g_source;

uint8_t link_type_of(const char* ifname) {
  unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) return IFT_OTHER;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  if (ioctl(s.get(), SIOCGIFHWADDR, &ifr) != 0) return IFT_OTHER;
  switch (ifr.ifr_hwaddr.sa_family) {
    case ARPHRD_ETHER:
      return IFT_ETHER;
    case ARPHRD_LOOPBACK:
      return IFT_LOOP;
    default:
      return IFT_OTHER;
  }
}

// Runs one netlink dump request and hands every reply message to `each`.
// Answers 0, or -1 with errno set.
template <typename Fn>
int netlink_dump(uint16_t type, const void* body, size_t body_len, Fn each) {
  unique_fd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (s.get() < 0) return -1;
  timeval tv{2, 0};  // a kernel that does not answer must not hang the daemon
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  alignas(nlmsghdr) uint8_t req[NLMSG_SPACE(64)] = {};
  auto* nh = reinterpret_cast<nlmsghdr*>(req);
  nh->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body_len));
  nh->nlmsg_type = type;
  nh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  nh->nlmsg_seq = 1;
  std::memcpy(NLMSG_DATA(nh), body, body_len);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(s.get(), req, nh->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return -1;

  alignas(nlmsghdr) static thread_local uint8_t rx[32768];
  for (int rounds = 0; rounds < 100000; ++rounds) {
    ssize_t n = recv(s.get(), rx, sizeof rx, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    size_t left = static_cast<size_t>(n);
    for (auto* m = reinterpret_cast<nlmsghdr*>(rx); NLMSG_OK(m, left); m = NLMSG_NEXT(m, left)) {
      if (m->nlmsg_type == NLMSG_DONE) return 0;
      if (m->nlmsg_type == NLMSG_ERROR) {
        const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
        errno = err->error ? -err->error : EIO;
        return -1;
      }
      each(m);
    }
  }
  errno = EIO;
  return -1;
}

int kernel_routes(std::vector<uint8_t>& out) {
  rtmsg rq{};
  rq.rtm_family = AF_INET;
  // The connected routes seen so far, to tell a second interface's on the same network.
  std::vector<route_record> connected;
  return netlink_dump(RTM_GETROUTE, &rq, sizeof rq, [&](nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWROUTE) return;
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(m));
    if (rt->rtm_family != AF_INET || rt->rtm_type != RTN_UNICAST || (rt->rtm_flags & RTM_F_CLONED)) return;
    uint32_t table = rt->rtm_table;
    uint32_t metric = 0;
    route_record r;
    r.dst_len = rt->rtm_dst_len;
    r.by_kernel = rt->rtm_protocol == RTPROT_KERNEL;
    int attr_len = static_cast<int>(RTM_PAYLOAD(m));
    for (auto* a = RTM_RTA(rt); RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
      const size_t plen = RTA_PAYLOAD(a);
      switch (a->rta_type) {
        case RTA_TABLE:
          if (plen >= 4) std::memcpy(&table, RTA_DATA(a), 4);
          break;
        case ::RTA_DST:
          if (plen >= 4) std::memcpy(&r.dst, RTA_DATA(a), 4);
          break;
        case ::RTA_GATEWAY:
          if (plen >= 4) std::memcpy(&r.gateway, RTA_DATA(a), 4);
          break;
        case RTA_OIF:
          if (plen >= 4) std::memcpy(&r.ifindex, RTA_DATA(a), 4);
          break;
        case RTA_PRIORITY:
          if (plen >= 4) std::memcpy(&metric, RTA_DATA(a), 4);
          break;
        case RTA_MULTIPATH: {
          // The first next hop stands for the route.
          if (plen < sizeof(rtnexthop)) break;
          const auto* nhp = static_cast<const rtnexthop*>(RTA_DATA(a));
          if (nhp->rtnh_len < sizeof(rtnexthop) || nhp->rtnh_len > plen) break;
          if (!r.ifindex) r.ifindex = static_cast<uint32_t>(nhp->rtnh_ifindex);
          int nlen = nhp->rtnh_len - static_cast<int>(RTNH_LENGTH(0));
          for (auto* na = RTNH_DATA(nhp); RTA_OK(na, nlen); na = RTA_NEXT(na, nlen)) {
            if (na->rta_type == ::RTA_GATEWAY && RTA_PAYLOAD(na) >= 4 && !r.gateway)
              std::memcpy(&r.gateway, RTA_DATA(na), 4);
          }
          break;
        }
        default:
          break;
      }
    }
    if (table != RT_TABLE_MAIN) return;
    if (r.by_kernel && r.dst_len < 32 && r.gateway == 0) {
      r.by_kernel = false;
      r.cloning = true;
    }
    // macOS keeps one unscoped default route, the primary service's; every
    // other service's default route is scoped to its interface. Linux tells
    // several default routes apart by metric: the one of metric 0 stands for
    // the primary one, any other for a second service's.
    if (r.dst_len == 0 && metric != 0 && r.ifindex != 0) r.ifscope = true;
    // Of two interfaces on one network macOS keeps the network route of the
    // second one scoped to it. Linux lists the routes of one prefix in the
    // order an unscoped delete finds them: the first stands for the unscoped one.
    if (r.cloning) {
      for (const route_record& c : connected)
        if (c.dst == r.dst && c.dst_len == r.dst_len && c.ifindex != r.ifindex) r.ifscope = true;
      connected.push_back(r);
    }
    char name[IF_NAMESIZE] = {};
    if (r.ifindex && if_indextoname(r.ifindex, name)) {
      std::memcpy(r.ifname, name, sizeof r.ifname - 1);
      r.if_type = link_type_of(name);
    }
    append_route_message(out, r);
  });
}

int kernel_neighbours(std::vector<uint8_t>& out) {
  ndmsg rq{};
  rq.ndm_family = AF_INET;
  return netlink_dump(RTM_GETNEIGH, &rq, sizeof rq, [&](nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWNEIGH) return;
    const auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(m));
    if (nd->ndm_family != AF_INET || (nd->ndm_state & NUD_NOARP)) return;
    arp_record r;
    r.ifindex = static_cast<uint32_t>(nd->ndm_ifindex);
    r.permanent = (nd->ndm_state & NUD_PERMANENT) != 0;
    bool have_dst = false;
    int attr_len = static_cast<int>(m->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(ndmsg)));
    for (auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(NLMSG_DATA(m)) + NLMSG_ALIGN(sizeof(ndmsg)));
         RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
      const size_t plen = RTA_PAYLOAD(a);
      if (a->rta_type == NDA_DST && plen >= 4) {
        std::memcpy(&r.addr, RTA_DATA(a), 4);
        have_dst = true;
      } else if (a->rta_type == NDA_LLADDR && plen <= sizeof r.lladdr) {
        std::memcpy(r.lladdr, RTA_DATA(a), plen);
        r.lladdr_len = static_cast<uint8_t>(plen);
      }
    }
    if (!have_dst) return;
    // An unresolved entry has no usable link-level address.
    if (nd->ndm_state & (NUD_INCOMPLETE | NUD_FAILED)) r.lladdr_len = 0;
    char name[IF_NAMESIZE] = {};
    if (r.ifindex && if_indextoname(r.ifindex, name)) {
      std::memcpy(r.ifname, name, sizeof r.ifname - 1);
      r.if_type = link_type_of(name);
    }
    append_arp_message(out, r);
  });
}

int build_dump(dump_kind kind, std::vector<uint8_t>& out) {
  {
    std::lock_guard<std::mutex> lk(g_source_lock);
    if (g_source) return g_source(kind, out);
  }
  return kind == dump_kind::routes ? kernel_routes(out) : kernel_neighbours(out);
}

}  // namespace

void encode_rt_msghdr(const rt_msghdr& h, uint8_t* out) {
  put16(out + 0, h.rtm_msglen);
  out[2] = h.rtm_version;
  out[3] = h.rtm_type;
  put16(out + 4, h.rtm_index);
  put16(out + 6, h.rtm_reserved);
  put32(out + 8, h.rtm_flags);
  put32(out + 12, h.rtm_addrs);
  put32(out + 16, static_cast<uint32_t>(h.rtm_pid));
  put32(out + 20, static_cast<uint32_t>(h.rtm_seq));
  put32(out + 24, static_cast<uint32_t>(h.rtm_errno));
  put32(out + 28, h.rtm_use);
}

rt_msghdr decode_rt_msghdr(const uint8_t* p) {
  rt_msghdr h{};
  h.rtm_msglen = get16(p + 0);
  h.rtm_version = p[2];
  h.rtm_type = p[3];
  h.rtm_index = get16(p + 4);
  h.rtm_reserved = get16(p + 6);
  h.rtm_flags = get32(p + 8);
  h.rtm_addrs = get32(p + 12);
  h.rtm_pid = static_cast<int32_t>(get32(p + 16));
  h.rtm_seq = static_cast<int32_t>(get32(p + 20));
  h.rtm_errno = static_cast<int32_t>(get32(p + 24));
  h.rtm_use = get32(p + 28);
  return h;
}

void encode_sockaddr_in4(const sockaddr_in4& a, uint8_t* out) {
  out[0] = a.sin_len;
  out[1] = a.sin_family;
  std::memcpy(out + 2, &a.sin_port, 2);
  put_addr(out + 4, a.sin_addr);
  std::memcpy(out + 8, a.sin_zero, 8);
}

sockaddr_in4 decode_sockaddr_in4(const uint8_t* p) {
  sockaddr_in4 a{};
  a.sin_len = p[0];
  a.sin_family = p[1];
  std::memcpy(&a.sin_port, p + 2, 2);
  a.sin_addr = get_addr(p + 4);
  std::memcpy(a.sin_zero, p + 8, 8);
  return a;
}

void encode_sockaddr_inarp(const sockaddr_inarp& a, uint8_t* out) {
  out[0] = a.sin_len;
  out[1] = a.sin_family;
  std::memcpy(out + 2, &a.sin_port, 2);
  put_addr(out + 4, a.sin_addr);
  put_addr(out + 8, a.sin_srcaddr);
  put16(out + 12, a.sin_tos);
  put16(out + 14, a.sin_other);
}

sockaddr_inarp decode_sockaddr_inarp(const uint8_t* p) {
  sockaddr_inarp a{};
  a.sin_len = p[0];
  a.sin_family = p[1];
  std::memcpy(&a.sin_port, p + 2, 2);
  a.sin_addr = get_addr(p + 4);
  a.sin_srcaddr = get_addr(p + 8);
  a.sin_tos = get16(p + 12);
  a.sin_other = get16(p + 14);
  return a;
}

void encode_sockaddr_dl_head(const sockaddr_dl& a, uint8_t* out) {
  out[0] = a.sdl_len;
  out[1] = a.sdl_family;
  put16(out + 2, a.sdl_index);
  out[4] = a.sdl_type;
  out[5] = a.sdl_nlen;
  out[6] = a.sdl_alen;
  out[7] = a.sdl_slen;
}

sockaddr_dl decode_sockaddr_dl_head(const uint8_t* p) {
  sockaddr_dl a{};
  a.sdl_len = p[0];
  a.sdl_family = p[1];
  a.sdl_index = get16(p + 2);
  a.sdl_type = p[4];
  a.sdl_nlen = p[5];
  a.sdl_alen = p[6];
  a.sdl_slen = p[7];
  return a;
}

void append_route_message(std::vector<uint8_t>& dump, const route_record& r) {
  const bool host = r.dst_len >= 32;
  const size_t gw_size = r.gateway ? kSockaddrInSize : kSockaddrDlSize;
  const size_t len = kRtMsgHdrSize + kSockaddrInSize + gw_size + (host ? 0 : kSockaddrInSize);

  rt_msghdr h{};
  h.rtm_msglen = static_cast<uint16_t>(len);
  h.rtm_version = RTM_VERSION;
  h.rtm_type = RTM_GET;
  h.rtm_index = static_cast<uint16_t>(r.ifindex);
  h.rtm_flags = RTF_UP | (r.gateway ? RTF_GATEWAY : 0) | (host ? RTF_HOST : 0) | (r.by_kernel ? 0 : RTF_STATIC) |
                (r.cloning ? RTF_CLONING : 0) | (r.ifscope ? RTF_IFSCOPE : 0) | (r.wascloned ? RTF_WASCLONED : 0) |
                (r.llinfo ? RTF_LLINFO : 0);
  // A host route carries no netmask, as on BSD.
  h.rtm_addrs = RTA_DST | RTA_GATEWAY | (host ? 0 : RTA_NETMASK);

  const size_t at = dump.size();
  dump.resize(at + len, 0);
  uint8_t* p = dump.data() + at;
  encode_rt_msghdr(h, p);
  p += kRtMsgHdrSize;

  sockaddr_in4 dst{};
  dst.sin_len = kSockaddrInSize;
  dst.sin_family = FAM_INET;
  dst.sin_addr = r.dst & prefix_mask(r.dst_len);
  encode_sockaddr_in4(dst, p);
  p += kSockaddrInSize;

  if (r.gateway) {
    sockaddr_in4 gw{};
    gw.sin_len = kSockaddrInSize;
    gw.sin_family = FAM_INET;
    gw.sin_addr = r.gateway;
    encode_sockaddr_in4(gw, p);
  } else {
    sockaddr_dl dl{};
    dl.sdl_len = kSockaddrDlSize;
    dl.sdl_family = FAM_LINK;
    dl.sdl_index = static_cast<uint16_t>(r.ifindex);
    dl.sdl_type = r.if_type;
    const size_t nlen = strnlen(r.ifname, sizeof r.ifname);
    if (nlen <= sizeof dl.sdl_data) {  // a longer name is left out: the index names it
      dl.sdl_nlen = static_cast<uint8_t>(nlen);
      std::memcpy(p + kSockaddrDlHeadSize, r.ifname, nlen);
    }
    encode_sockaddr_dl_head(dl, p);
  }
  p += gw_size;

  if (!host) {
    sockaddr_in4 mask{};
    mask.sin_len = kSockaddrInSize;
    mask.sin_family = FAM_INET;
    mask.sin_addr = prefix_mask(r.dst_len);
    encode_sockaddr_in4(mask, p);
  }
}

void append_arp_message(std::vector<uint8_t>& dump, const arp_record& r) {
  const size_t nlen = strnlen(r.ifname, sizeof r.ifname);
  size_t dl_len = kSockaddrDlHeadSize + nlen + r.lladdr_len;
  if (dl_len < kSockaddrDlSize) dl_len = kSockaddrDlSize;
  dl_len = (dl_len + 3) & ~size_t{3};
  const size_t len = kRtMsgHdrSize + kSockaddrInarpSize + dl_len;

  rt_msghdr h{};
  h.rtm_msglen = static_cast<uint16_t>(len);
  h.rtm_version = RTM_VERSION;
  h.rtm_type = RTM_GET;
  h.rtm_index = static_cast<uint16_t>(r.ifindex);
  h.rtm_flags = RTF_UP | RTF_HOST | RTF_LLINFO | (r.permanent ? RTF_STATIC : 0);
  h.rtm_addrs = RTA_DST | RTA_GATEWAY;

  const size_t at = dump.size();
  dump.resize(at + len, 0);
  uint8_t* p = dump.data() + at;
  encode_rt_msghdr(h, p);
  p += kRtMsgHdrSize;

  sockaddr_inarp in{};
  in.sin_len = kSockaddrInarpSize;
  in.sin_family = FAM_INET;
  in.sin_addr = r.addr;
  encode_sockaddr_inarp(in, p);
  p += kSockaddrInarpSize;

  sockaddr_dl dl{};
  dl.sdl_len = static_cast<uint8_t>(dl_len);
  dl.sdl_family = FAM_LINK;
  dl.sdl_index = static_cast<uint16_t>(r.ifindex);
  dl.sdl_type = r.if_type;
  dl.sdl_nlen = static_cast<uint8_t>(nlen);
  dl.sdl_alen = r.lladdr_len;
  encode_sockaddr_dl_head(dl, p);
  std::memcpy(p + kSockaddrDlHeadSize, r.ifname, nlen);
  std::memcpy(p + kSockaddrDlHeadSize + nlen, r.lladdr, r.lladdr_len);
}

int rt_sysctl(dump_kind kind, uint8_t* buf, size_t* len) {
  if (!len) {
    errno = EINVAL;
    return -1;
  }
  std::vector<uint8_t> dump;
  if (build_dump(kind, dump) != 0) {
    if (!errno) errno = EIO;
    return -1;
  }
  if (!buf) {
    // Room for the table to grow a little before the fetch.
    *len = dump.size() + dump.size() / 4 + 256;
    return 0;
  }
  if (dump.size() > *len) {
    errno = ENOMEM;
    return -1;
  }
  if (!dump.empty()) std::memcpy(buf, dump.data(), dump.size());
  *len = dump.size();
  return 0;
}

void set_dump_source(dump_source source) {
  std::lock_guard<std::mutex> lk(g_source_lock);
  g_source = std::move(source);
}

}  // namespace rtdump
