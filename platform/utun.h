// Stand-in for the macOS utun kernel control ("com.apple.net.utun_control").
//
// On Linux the device is a TUN interface of /dev/net/tun, opened
// non-persistent under the name "utun%d": the kernel picks the next free
// unit and closing the descriptor removes the interface, as with a utun
// control socket. Packets carry a 4-byte header on both systems; the macOS
// one is an address-family word in network order, the Linux one is the
// packet-information header (16-bit flags, 16-bit ethertype). utun_read and
// utun_write keep the macOS contract and translate between the two.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kUtunHeaderSize = 4;
inline constexpr uint32_t kUtunAfInet = 2;    // AF_INET as written before a packet
inline constexpr uint32_t kUtunAfInet6 = 30;  // AF_INET6 of the utun side
inline constexpr uint16_t kEthPIp = 0x0800;
inline constexpr uint16_t kEthPIpv6 = 0x86DD;

// The option record handed to utun_open; its leading 16 bytes receive the
// interface name.
struct utun_opt_t {
  char ifname[16];
};
static_assert(sizeof(utun_opt_t) == 16);

// Opens a new utun interface: the descriptor (close-on-exec) with the
// interface name in `opt`, or -1 after printing the failed stage on stdout.
int utun_open(utun_opt_t* opt);

// One packet per call. Results count packet bytes only: r <= 0 -> r,
// 0 < r <= 4 -> 0, else r - 4 (r is the read's/write's own result).
int utun_read(int fd, void* data, std::size_t length);
int utun_write(int fd, const void* data, std::size_t length);

// Header translation between the address-family word and the Linux
// packet-information header. Unknown families/ethertypes map to 0.
void utun_af_to_pi(uint32_t af, uint8_t out[kUtunHeaderSize]);
uint32_t utun_pi_to_af(const uint8_t pi[kUtunHeaderSize]);
