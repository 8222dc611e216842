#include "platform/route_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/route_dump.h"

namespace rtsock {
namespace {

using rtdump::rt_msghdr;
using rtdump::kRtMsgHdrSize;
using rtdump::kSockaddrInSize;
using rtdump::kSockaddrDlSize;

struct pending_get {
  int32_t seq;
  int32_t pid;
  uint32_t dst;  // network order
};
struct socket_state {
  uint32_t next_seq = 1;
  std::map<uint32_t, pending_get> gets;  // by netlink sequence number
  std::deque<std::vector<uint8_t>> queued;
};

std::mutex g_lock;
std::map<int, socket_state> g_sockets;
std::mutex g_source_lock;
message_source g_source;

uint32_t prefix_mask(uint8_t len) {
  if (len == 0) return 0;
  if (len >= 32) return 0xffffffffu;
  return htonl(~((1u << (32 - len)) - 1));
}

void put_in4(std::vector<uint8_t>& out, uint32_t addr) {
  rtdump::sockaddr_in4 a{};
  a.sin_len = kSockaddrInSize;
  a.sin_family = rtdump::FAM_INET;
  a.sin_addr = addr;
  const size_t at = out.size();
  out.resize(at + round_record(kSockaddrInSize), 0);
  rtdump::encode_sockaddr_in4(a, out.data() + at);
}

void put_link(std::vector<uint8_t>& out, uint32_t ifindex) {
  rtdump::sockaddr_dl dl{};
  dl.sdl_len = kSockaddrDlSize;
  dl.sdl_family = rtdump::FAM_LINK;
  dl.sdl_index = static_cast<uint16_t>(ifindex);
  const size_t at = out.size();
  out.resize(at + round_record(kSockaddrDlSize), 0);
  rtdump::encode_sockaddr_dl_head(dl, out.data() + at);
}

void put_header(std::vector<uint8_t>& out, rt_msghdr h) {
  h.rtm_msglen = static_cast<uint16_t>(out.size());
  h.rtm_version = rtdump::RTM_VERSION;
  rtdump::encode_rt_msghdr(h, out.data());
}

struct route_facts {
  uint32_t table = 0;
  uint32_t dst = 0;
  uint32_t gateway = 0;
  uint32_t oif = 0;
};

route_facts read_route(const nlmsghdr* m, const rtmsg* rt) {
  route_facts f;
  f.table = rt->rtm_table;
  int attr_len = static_cast<int>(RTM_PAYLOAD(m));
  for (auto* a = RTM_RTA(rt); RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
    const size_t plen = RTA_PAYLOAD(a);
    if (plen < 4) continue;
    switch (a->rta_type) {
      case RTA_TABLE:
        std::memcpy(&f.table, RTA_DATA(a), 4);
        break;
      case ::RTA_DST:
        std::memcpy(&f.dst, RTA_DATA(a), 4);
        break;
      case ::RTA_GATEWAY:
        std::memcpy(&f.gateway, RTA_DATA(a), 4);
        break;
      case RTA_OIF:
        std::memcpy(&f.oif, RTA_DATA(a), 4);
        break;
      default:
        break;
    }
  }
  return f;
}

// One route as a routing message of `type`.
std::vector<uint8_t> route_message(uint8_t type, const rtmsg* rt, const route_facts& f, int32_t pid, int32_t seq) {
  const bool host = rt->rtm_dst_len >= 32;
  std::vector<uint8_t> out(kRtMsgHdrSize, 0);
  put_in4(out, f.dst & prefix_mask(rt->rtm_dst_len));
  if (f.gateway)
    put_in4(out, f.gateway);
  else
    put_link(out, f.oif);
  if (!host) put_in4(out, prefix_mask(rt->rtm_dst_len));
  rt_msghdr h{};
  h.rtm_type = type;
  h.rtm_index = static_cast<uint16_t>(f.oif);
  h.rtm_flags = rtdump::RTF_UP | (f.gateway ? rtdump::RTF_GATEWAY : 0) | (host ? rtdump::RTF_HOST : 0) |
                (rt->rtm_protocol == RTPROT_KERNEL ? 0 : rtdump::RTF_STATIC);
  h.rtm_addrs = rtdump::RTA_DST | rtdump::RTA_GATEWAY | (host ? 0 : rtdump::RTA_NETMASK);
  h.rtm_pid = pid;
  h.rtm_seq = seq;
  put_header(out, h);
  return out;
}

// Turns one netlink message into a routing message; false for those that
// have none (other tables, cloned routes, other families, stray replies).
bool translate(socket_state& st, const nlmsghdr* m, std::vector<uint8_t>& out) {
  if (m->nlmsg_type == NLMSG_ERROR) {
    auto it = st.gets.find(m->nlmsg_seq);
    if (it == st.gets.end() || m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return false;
    const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
    const int e = -err->error;
    const pending_get g = it->second;
    st.gets.erase(it);
    out.assign(kRtMsgHdrSize, 0);
    put_in4(out, g.dst);
    rt_msghdr h{};
    h.rtm_type = RTM_GET;
    h.rtm_addrs = rtdump::RTA_DST;
    h.rtm_pid = g.pid;
    h.rtm_seq = g.seq;
    h.rtm_errno = (e == ENETUNREACH || e == EHOSTUNREACH || e == ESRCH || e == 0) ? ESRCH : e;
    put_header(out, h);
    return true;
  }
  if (m->nlmsg_type == ::RTM_NEWADDR || m->nlmsg_type == ::RTM_DELADDR) {
    if (m->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return false;
    const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
    out.assign(kRtMsgHdrSize, 0);
    rt_msghdr h{};
    h.rtm_type = m->nlmsg_type == ::RTM_NEWADDR ? RTM_NEWADDR : RTM_DELADDR;
    h.rtm_index = static_cast<uint16_t>(ifa->ifa_index);
    h.rtm_pid = static_cast<int32_t>(m->nlmsg_pid);
    put_header(out, h);
    return true;
  }
  if (m->nlmsg_type != ::RTM_NEWROUTE && m->nlmsg_type != ::RTM_DELROUTE) return false;
  if (m->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return false;
  const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(m));
  if (rt->rtm_family != AF_INET) return false;
  const route_facts f = read_route(m, rt);
  if (auto it = st.gets.find(m->nlmsg_seq); it != st.gets.end() && m->nlmsg_type == ::RTM_NEWROUTE) {
    const pending_get g = it->second;
    st.gets.erase(it);
    out = route_message(RTM_GET, rt, f, g.pid, g.seq);
    return true;
  }
  if (f.table != RT_TABLE_MAIN || (rt->rtm_flags & RTM_F_CLONED)) return false;
  uint8_t type = RTM_DELETE;
  if (m->nlmsg_type == ::RTM_NEWROUTE) type = (m->nlmsg_flags & NLM_F_REPLACE) ? RTM_CHANGE : RTM_ADD;
  out = route_message(type, rt, f, static_cast<int32_t>(m->nlmsg_pid), 0);
  return true;
}

ssize_t hand_out(const std::vector<uint8_t>& msg, uint8_t* buf, std::size_t len) {
  const std::size_t n = msg.size() < len ? msg.size() : len;
  std::memcpy(buf, msg.data(), n);
  return static_cast<ssize_t>(n);
}

}  // namespace

int rtsock_open(int timeout_seconds) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  if (timeout_seconds > 0) {
    timeval tv{timeout_seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  std::lock_guard<std::mutex> lk(g_lock);
  g_sockets[fd] = socket_state{};
  return fd;
}

ssize_t rtsock_read(int fd, uint8_t* buf, std::size_t len) {
  {
    message_source src;
    {
      std::lock_guard<std::mutex> lk(g_source_lock);
      src = g_source;
    }
    if (src) return src(buf, len);
  }
  {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = g_sockets.find(fd);
    if (it == g_sockets.end()) {
      errno = EBADF;
      return -1;
    }
    if (!it->second.queued.empty()) {
      const std::vector<uint8_t> msg = std::move(it->second.queued.front());
      it->second.queued.pop_front();
      return hand_out(msg, buf, len);
    }
  }
  alignas(nlmsghdr) static thread_local uint8_t rx[16384];
  for (;;) {
    // The wait is the cancellation point of a thread blocked here; no lock is held.
    const ssize_t n = recv(fd, rx, sizeof rx, 0);
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = g_sockets.find(fd);
    if (it == g_sockets.end()) {
      errno = EBADF;
      return -1;
    }
    socket_state& st = it->second;
    size_t left = static_cast<size_t>(n);
    for (auto* m = reinterpret_cast<nlmsghdr*>(rx); NLMSG_OK(m, left); m = NLMSG_NEXT(m, left)) {
      std::vector<uint8_t> msg;
      if (translate(st, m, msg)) st.queued.push_back(std::move(msg));
    }
    if (!st.queued.empty()) {
      const std::vector<uint8_t> msg = std::move(st.queued.front());
      st.queued.pop_front();
      return hand_out(msg, buf, len);
    }
  }
}

ssize_t rtsock_write(int fd, const uint8_t* buf, std::size_t len) {
  if (buf == nullptr || len < kRtMsgHdrSize) {
    errno = EINVAL;
    return -1;
  }
  const rt_msghdr h = rtdump::decode_rt_msghdr(buf);
  if (h.rtm_type != RTM_GET) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (h.rtm_msglen != len || !(h.rtm_addrs & rtdump::RTA_DST) || len < kRtMsgHdrSize + kSockaddrInSize) {
    errno = EINVAL;
    return -1;
  }
  const rtdump::sockaddr_in4 dst = rtdump::decode_sockaddr_in4(buf + kRtMsgHdrSize);
  if (dst.sin_family != rtdump::FAM_INET || dst.sin_len < kSockaddrInSize) {
    errno = EINVAL;
    return -1;
  }
  struct {
    nlmsghdr nh;
    rtmsg rt;
    alignas(RTA_ALIGNTO) uint8_t attr[RTA_SPACE(4)];
  } req{};
  uint32_t seq = 0;
  {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = g_sockets.find(fd);
    if (it == g_sockets.end()) {
      errno = EBADF;
      return -1;
    }
    seq = it->second.next_seq++;
    it->second.gets[seq] = pending_get{h.rtm_seq, h.rtm_pid, dst.sin_addr};
  }
  req.nh.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(rtmsg)) + RTA_SPACE(4));
  req.nh.nlmsg_type = RTM_GETROUTE;
  req.nh.nlmsg_flags = NLM_F_REQUEST;
  req.nh.nlmsg_seq = seq;
  req.rt.rtm_family = AF_INET;
  req.rt.rtm_dst_len = 32;
  req.rt.rtm_flags = RTM_F_FIB_MATCH;  // answer with the matching route, not a cached next hop
  auto* a = reinterpret_cast<rtattr*>(req.attr);
  a->rta_type = ::RTA_DST;
  a->rta_len = static_cast<unsigned short>(RTA_LENGTH(4));
  std::memcpy(RTA_DATA(a), &dst.sin_addr, 4);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &req, req.nh.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    const int e = errno;
    std::lock_guard<std::mutex> lk(g_lock);
    if (auto it = g_sockets.find(fd); it != g_sockets.end()) it->second.gets.erase(seq);
    errno = e;
    return -1;
  }
  return static_cast<ssize_t>(len);
}

void rtsock_close(int fd) {
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lk(g_lock);
    g_sockets.erase(fd);
  }
  close(fd);
}

void set_message_source(message_source source) {
  std::lock_guard<std::mutex> lk(g_source_lock);
  g_source = std::move(source);
}

}  // namespace rtsock
