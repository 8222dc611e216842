// The older way to a tunnel device: a tun driver's character node, made with
// mknod when missing, and the driver's reload. No path of the daemon opens
// one; the teardown still removes a node that was made here.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/session/controller.h"
#include "client/tunnel_ops.h"
#include "platform/legacy_tun.h"

namespace {
constexpr const char kLogModule[] = "vpn_version_control";
constexpr int kTunNodes = 16;
constexpr const char kCloneDevice[] = "/dev/net/tun";
constexpr const char kTunExtension[] = "/Library/Extensions/tun.kext";

bool node_exists(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0;
}
}  // namespace

// -1: no node was made. 0 is /dev/tun0, which the teardown must remove too.
int tundev_created = -1;

// 0 answers both /dev/net/tun and /dev/tun0: either way the interface is tun0.
int get_tun_device(vpnc_session* s) {
  checktunrwandchange(kCloneDevice);
  if (int fd = legacy_tun_open(kCloneDevice, 0); fd >= 0) {
    s->tunfd = fd;
    return 0;
  }
  for (int n = 0; n < kTunNodes && s->tunfd.load() < 0; ++n) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/tun%d", n);
    checktunrwandchange(path);
    if (int fd = legacy_tun_open(path, n); fd >= 0) {
      s->tunfd = fd;
      VPN_LOG("TUN DEVICE %s UP", path);
      return n;
    }
    VPN_LOG("Tunnel open %s failed!errno %d", path, errno);
    const bool existed = node_exists(path);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "/sbin/mknod %s c 10 200", path);
    forknexec(cmd, 0);
    const bool made = !existed && node_exists(path);
    checktunrwandchange(path);
    if (int fd = legacy_tun_open(path, n); fd >= 0) {
      s->tunfd = fd;
      if (made) tundev_created = n;
      return n;
    }
    // A node this call made and cannot use would only be left behind.
    if (made) {
      std::snprintf(cmd, sizeof cmd, "/bin/rm -f %s", path);
      forknexec(cmd, 0);
    }
  }
  return -1;
}

int config_tun_ipaddr_mac(int unit, vpnc_session* s) {
  char clientip[16] = {};
  get_clientip(clientip);
  clientip[sizeof clientip - 1] = '\0';
  char cmd[96];
  std::snprintf(cmd, sizeof cmd, "/sbin/ifconfig tun%d %s %s mtu 1400", unit, clientip, "1.1.1.1");
  forknexec(cmd, 0);
  const int fd = s->tunfd.load();
  const int fl = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) VPN_LOG("Failed to set tun device option to non-block");
  return 0;
}

int resetup_tun_device_mac() {
  char cmd[96];
  std::snprintf(cmd, sizeof cmd, "/sbin/kextunload %s", kTunExtension);
  forknexec(cmd, 2);
  std::snprintf(cmd, sizeof cmd, "/sbin/kextload %s", kTunExtension);
  forknexec(cmd, 2);
  return 0;
}
