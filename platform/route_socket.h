// Stand-in for a BSD routing socket (PF_ROUTE, SOCK_RAW).
//
// On Linux the socket is a netlink route socket that listens to the IPv4
// route group and the IPv4 and IPv6 address groups. Each read hands out one
// message in the routing-message layout of platform/route_dump.h:
//   - a route added, replaced (NLM_F_REPLACE) or deleted in the main table:
//     RTM_ADD, RTM_CHANGE or RTM_DELETE, rtm_pid the port id of the socket
//     that made the change (0: the kernel), then the destination (AF_INET),
//     the gateway (AF_INET, or AF_LINK carrying only the interface index) and,
//     for a network route, the netmask; each record padded to 8 bytes;
//   - an address added or removed: RTM_NEWADDR or RTM_DELADDR, header only,
//     rtm_index the interface.
// A written RTM_GET (header and an AF_INET destination record) becomes a
// route lookup; its answer is read as RTM_GET with the request's seq and pid
// and the matching route's records, or rtm_errno ESRCH when there is none.
//
// The descriptor is pollable; replies are single datagrams, so what poll
// reports is what the next read gives.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace rtsock {

// BSD routing-message types.
inline constexpr uint8_t RTM_ADD = 0x1;
inline constexpr uint8_t RTM_DELETE = 0x2;
inline constexpr uint8_t RTM_CHANGE = 0x3;
inline constexpr uint8_t RTM_GET = 0x4;
inline constexpr uint8_t RTM_NEWADDR = 0xc;
inline constexpr uint8_t RTM_DELADDR = 0xd;
inline constexpr uint8_t RTM_NEWMADDR = 0xf;
inline constexpr uint8_t RTM_DELMADDR = 0x10;
// Address family of an IPv6 record (the BSD number).
inline constexpr uint8_t FAM_INET6 = 30;
// Every record takes its length rounded up to this (a length of 0 takes it).
inline constexpr std::size_t kRecordAlign = 8;
inline constexpr std::size_t round_record(std::size_t len) {
  return len == 0 ? kRecordAlign : (len + kRecordAlign - 1) & ~(kRecordAlign - 1);
}

// Opens a routing socket; with `timeout_seconds` above 0 a read waits at most
// that long (then -1 with EAGAIN). The descriptor, or -1 with errno.
int rtsock_open(int timeout_seconds);
// One message into `buf` (cut to `len`): its length, or -1 with errno.
ssize_t rtsock_read(int fd, uint8_t* buf, std::size_t len);
// Accepts RTM_GET requests only: `len`, or -1 with errno (EINVAL for anything
// else, EOPNOTSUPP for another message type).
ssize_t rtsock_write(int fd, const uint8_t* buf, std::size_t len);
void rtsock_close(int fd);

// Test seam: when set, reads come from the source instead of the kernel. It
// writes one message into `buf` (at most `len` bytes) and answers its
// length, or -1 with errno set.
using message_source = std::function<ssize_t(uint8_t* buf, std::size_t len)>;
void set_message_source(message_source source);

}  // namespace rtsock
