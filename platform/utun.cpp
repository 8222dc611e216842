#include "platform/utun.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A fresh utun carries no IPv6 until someone configures it; a Linux TUN
// interface would send router solicitations of its own into the tunnel.
void disable_ipv6(const char* ifname) {
  char path[96];
  std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/disable_ipv6", ifname);
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t w = ::write(fd, "1", 1);
  (void)w;
  ::close(fd);
}

// Prints the failed stage, closes the descriptor and keeps errno for the
// caller's own line.
int fail(const char* stage, int fd) {
  const int e = errno;
  std::printf("utun_open: %s failed, error %d\n", stage, e);
  if (fd >= 0) ::close(fd);
  errno = e;
  return -1;
}

int packet_result(ssize_t r) {
  if (r <= 0) return static_cast<int>(r);
  if (r <= static_cast<ssize_t>(kUtunHeaderSize)) return 0;
  return static_cast<int>(r - static_cast<ssize_t>(kUtunHeaderSize));
}

}  // namespace

void utun_af_to_pi(uint32_t af, uint8_t out[kUtunHeaderSize]) {
  uint16_t proto = af == kUtunAfInet ? kEthPIp : af == kUtunAfInet6 ? kEthPIpv6 : 0;
  out[0] = 0;  // flags
  out[1] = 0;
  out[2] = static_cast<uint8_t>(proto >> 8);
  out[3] = static_cast<uint8_t>(proto & 0xFF);
}

uint32_t utun_pi_to_af(const uint8_t pi[kUtunHeaderSize]) {
  uint16_t proto = static_cast<uint16_t>(pi[2] << 8 | pi[3]);
  return proto == kEthPIp ? kUtunAfInet : proto == kEthPIpv6 ? kUtunAfInet6 : 0;
}

int utun_open(utun_opt_t* opt) {
  if (opt == nullptr) {
    std::printf("utun_open: parameter is invalid\n");
    errno = EINVAL;
    return -1;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return fail("create socket", -1);
  // The driver must offer TUN mode with the packet-information header, the
  // counterpart of finding the utun control.
  unsigned int features = 0;
  if (::ioctl(fd, TUNGETFEATURES, &features) < 0) return fail("ioctl", fd);
  if ((features & IFF_TUN) == 0) {
    errno = ENOTSUP;
    return fail("ioctl", fd);
  }
  // Unit 0 of the control: the kernel takes the next free "utunN".
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN;  // with packet information, not persistent
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "utun%%d");
  if (::ioctl(fd, TUNSETIFF, &ifr) < 0) return fail("connect", fd);
  std::memset(&ifr, 0, sizeof ifr);
  if (::ioctl(fd, TUNGETIFF, &ifr) < 0) return fail("get if name", fd);
  static_assert(sizeof opt->ifname == IFNAMSIZ);
  std::memcpy(opt->ifname, ifr.ifr_name, IFNAMSIZ);
  opt->ifname[IFNAMSIZ - 1] = '\0';
  disable_ipv6(opt->ifname);
  return fd;
}

int utun_read(int fd, void* data, std::size_t length) {
  uint8_t pi[kUtunHeaderSize];
  struct iovec iov[2] = {{pi, sizeof pi}, {data, length}};
  return packet_result(::readv(fd, iov, 2));
}

int utun_write(int fd, const void* data, std::size_t length) {
  uint8_t pi[kUtunHeaderSize];
  utun_af_to_pi(kUtunAfInet, pi);
  struct iovec iov[2] = {{pi, sizeof pi}, {const_cast<void*>(data), length}};
  return packet_result(::writev(fd, iov, 2));
}
