#include "platform/legacy_tun.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int legacy_tun_open(const char* path, int unit) {
  if (path == nullptr || unit < 0) {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "tun%d", unit);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}
