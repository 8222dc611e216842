// Stand-in for the BSD sysctl routing dumps: {CTL_NET, PF_ROUTE, 0, AF_INET,
// NET_RT_DUMP, 0} (the IPv4 routing table) and {..., NET_RT_FLAGS, RTF_LLINFO}
// (the ARP table). Linux has neither; here the same message stream is built
// from the kernel's IPv4 main routing table and neighbour table, read over
// netlink (RTM_GETROUTE / RTM_GETNEIGH).
//
// A dump is a sequence of messages: a routing-message header, then socket
// addresses. Routes: destination (16-byte IPv4 address), gateway (16-byte
// IPv4 address or 20-byte link-level address), netmask (16 bytes, address at
// offset 4). ARP entries: IPv4 ARP address, then the link-level address
// starting at the IPv4 record's length rounded up to 8.
//
// The layouts below are our own; multi-byte header fields are little-endian
// (host order of the machines we run on), addresses are in network order.
// Everything is encoded and decoded byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace rtdump {

// Route flags as the messages carry them.
inline constexpr uint32_t RTF_UP = 0x1;
inline constexpr uint32_t RTF_GATEWAY = 0x2;
inline constexpr uint32_t RTF_HOST = 0x4;
inline constexpr uint32_t RTF_CLONING = 0x100;
inline constexpr uint32_t RTF_LLINFO = 0x400;
inline constexpr uint32_t RTF_STATIC = 0x800;
inline constexpr uint32_t RTF_WASCLONED = 0x20000;
inline constexpr uint32_t RTF_IFSCOPE = 0x1000000;
// Which socket addresses follow the header (not the netlink RTA_* values:
// inside this namespace those need "::").
inline constexpr uint32_t RTA_DST = 0x1;
inline constexpr uint32_t RTA_GATEWAY = 0x2;
inline constexpr uint32_t RTA_NETMASK = 0x4;
// Address families as the messages carry them.
inline constexpr uint8_t FAM_INET = 2;
inline constexpr uint8_t FAM_LINK = 18;
// Link types (sdl_type).
inline constexpr uint8_t IFT_OTHER = 0x1;
inline constexpr uint8_t IFT_ETHER = 0x6;
inline constexpr uint8_t IFT_LOOP = 0x18;
inline constexpr uint8_t RTM_VERSION = 5;
inline constexpr uint8_t RTM_GET = 0x4;

struct rt_msghdr {
  uint16_t rtm_msglen;  // whole message, header included
  uint8_t rtm_version;
  uint8_t rtm_type;
  uint16_t rtm_index;  // interface index
  uint16_t rtm_reserved;
  uint32_t rtm_flags;
  uint32_t rtm_addrs;
  int32_t rtm_pid;
  int32_t rtm_seq;
  int32_t rtm_errno;
  uint32_t rtm_use;
};
inline constexpr size_t kRtMsgHdrSize = 32;
static_assert(sizeof(rt_msghdr) == kRtMsgHdrSize);
static_assert(offsetof(rt_msghdr, rtm_msglen) == 0);
static_assert(offsetof(rt_msghdr, rtm_index) == 4);
static_assert(offsetof(rt_msghdr, rtm_flags) == 8);
static_assert(offsetof(rt_msghdr, rtm_addrs) == 12);
static_assert(offsetof(rt_msghdr, rtm_pid) == 16);
static_assert(offsetof(rt_msghdr, rtm_use) == 28);

struct sockaddr_in4 {
  uint8_t sin_len;
  uint8_t sin_family;
  uint16_t sin_port;  // network order
  uint32_t sin_addr;  // network order
  uint8_t sin_zero[8];
};
inline constexpr size_t kSockaddrInSize = 16;
inline constexpr size_t kSinAddrOffset = 4;
static_assert(sizeof(sockaddr_in4) == kSockaddrInSize);
static_assert(offsetof(sockaddr_in4, sin_addr) == kSinAddrOffset);

struct sockaddr_inarp {
  uint8_t sin_len;
  uint8_t sin_family;
  uint16_t sin_port;
  uint32_t sin_addr;     // network order
  uint32_t sin_srcaddr;  // network order
  uint16_t sin_tos;
  uint16_t sin_other;
};
inline constexpr size_t kSockaddrInarpSize = 16;
static_assert(sizeof(sockaddr_inarp) == kSockaddrInarpSize);
static_assert(offsetof(sockaddr_inarp, sin_addr) == 4);
static_assert(offsetof(sockaddr_inarp, sin_srcaddr) == 8);

// Link-level address: 8 bytes of header, then sdl_nlen bytes of interface
// name and sdl_alen bytes of address in sdl_data. The record is at least 20
// bytes; a longer name and address make it longer (sdl_len says how long).
struct sockaddr_dl {
  uint8_t sdl_len;
  uint8_t sdl_family;
  uint16_t sdl_index;
  uint8_t sdl_type;
  uint8_t sdl_nlen;
  uint8_t sdl_alen;
  uint8_t sdl_slen;
  uint8_t sdl_data[12];
};
inline constexpr size_t kSockaddrDlSize = 20;
inline constexpr size_t kSockaddrDlHeadSize = 8;
static_assert(sizeof(sockaddr_dl) == kSockaddrDlSize);
static_assert(offsetof(sockaddr_dl, sdl_index) == 2);
static_assert(offsetof(sockaddr_dl, sdl_type) == 4);
static_assert(offsetof(sockaddr_dl, sdl_nlen) == 5);
static_assert(offsetof(sockaddr_dl, sdl_alen) == 6);
static_assert(offsetof(sockaddr_dl, sdl_data) == kSockaddrDlHeadSize);

// Explicit codecs. Decoders read exactly the fixed size from `p`; the caller
// has checked that those bytes lie inside its buffer.
void encode_rt_msghdr(const rt_msghdr& h, uint8_t* out);
rt_msghdr decode_rt_msghdr(const uint8_t* p);
void encode_sockaddr_in4(const sockaddr_in4& a, uint8_t* out);
sockaddr_in4 decode_sockaddr_in4(const uint8_t* p);
void encode_sockaddr_inarp(const sockaddr_inarp& a, uint8_t* out);
sockaddr_inarp decode_sockaddr_inarp(const uint8_t* p);
// Only the 8-byte head; sdl_data is read from the buffer by the caller.
void encode_sockaddr_dl_head(const sockaddr_dl& a, uint8_t* out);
sockaddr_dl decode_sockaddr_dl_head(const uint8_t* p);

// One route as the Linux kernel reports it, before it becomes a message.
struct route_record {
  uint32_t dst = 0;      // network order
  uint8_t dst_len = 0;   // prefix length
  uint32_t gateway = 0;  // network order; 0: none
  uint32_t ifindex = 0;
  uint8_t if_type = 0;
  char ifname[16] = {};
  bool by_kernel = false;  // made by the kernel itself, not static (the utun peer's host route)
  // The interface's own network route: BSD shows it static and cloning, so
  // the route code deletes and adds it back like any static route.
  bool cloning = false;
  // Scoped to its interface (RTF_IFSCOPE): on macOS the default route of
  // every active service but the primary one, and the network route of an
  // interface on a network that another interface has already. An unscoped
  // add or delete of the same destination and mask does not touch it.
  bool ifscope = false;
  // Made by cloning a parent route (RTF_WASCLONED), such as a host route the
  // kernel learnt on use; the kernel replaces it on an add of its key.
  bool wascloned = false;
  // A link-layer (ARP) entry (RTF_LLINFO).
  bool llinfo = false;
};
// One neighbour entry.
struct arp_record {
  uint32_t addr = 0;  // network order
  uint32_t ifindex = 0;
  uint8_t if_type = 0;
  char ifname[16] = {};
  uint8_t lladdr[16] = {};
  uint8_t lladdr_len = 0;  // 0: incomplete entry
  bool permanent = false;
};

// Message builders shared by the netlink reader and the unit tests.
void append_route_message(std::vector<uint8_t>& dump, const route_record& r);
void append_arp_message(std::vector<uint8_t>& dump, const arp_record& r);

// Which dump.
enum class dump_kind { routes, arp };

// sysctl-like access: with `buf` null, stores in *len a size estimate for
// the dump (the table may grow before the fetch); with `buf`, fetches into
// it and stores the bytes written in *len. Answers 0, or -1 with errno set
// (ENOMEM when the buffer is too small for the dump).
int rt_sysctl(dump_kind kind, uint8_t* buf, size_t* len);

// Test seam: when set, the dumps come from the source instead of the kernel.
// The source answers 0 and fills `out`, or -1 for a failed read.
using dump_source = std::function<int(dump_kind kind, std::vector<uint8_t>& out)>;
void set_dump_source(dump_source source);

}  // namespace rtdump
