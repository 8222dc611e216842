// The legacy tun device against the real tun driver, each case in private
// mount and network namespaces with a fresh tmpfs on /dev: nodes are only
// ever made there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/cmd_runner.h"
#include "client/process_handler.h"
#include "client/session.h"
#include "client/session/controller.h"
#include "client/tunnel_ops.h"
#include "platform/legacy_tun.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/private_ns.h"

namespace {

bool tun_usable(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root for private namespaces and device nodes";
    return false;
  }
  if (access("/dev/net/tun", R_OK | W_OK) != 0) {
    *why = "/dev/net/tun is not available";
    return false;
  }
  return true;
}

std::string private_dev() {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "could not make / private";
  if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755") != 0) return "could not mount a tmpfs on /dev";
  return "";
}

bool exists(const std::string& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0;
}

// Records every command and carries out the three the legacy tun device
// runs: mknod (with the given device numbers), chmod and rm.
struct ToolHook {
  std::vector<std::string> lines;
  unsigned major = 10, minor = 200;
  ToolHook() {
    set_command_hook([this](const std::string& cmd, bool) {
      lines.push_back(cmd);
      char path[64];
      if (std::sscanf(cmd.c_str(), "/sbin/mknod %63s c 10 200", path) == 1)
        mknod(path, S_IFCHR | 0666, makedev(major, minor));
      else if (std::sscanf(cmd.c_str(), "/bin/chmod a+rw %63s", path) == 1)
        chmod(path, 0666);
      else if (std::sscanf(cmd.c_str(), "/bin/rm -f %63s", path) == 1)
        unlink(path);
    });
  }
  ~ToolHook() { set_command_hook(nullptr); }
  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};

int make_node(const char* path) { return mknod(path, S_IFCHR | 0666, makedev(10, 200)); }

}  // namespace

// Row by row: what /dev holds at the start, and what get_tun_device answers.
TEST(LegacyTun, OpensTheFirstUsableNode) {
  std::string why;
  if (!tun_usable(&why)) GTEST_SKIP() << why;

  std::string err = in_private_ns(CLONE_NEWNS | CLONE_NEWNET, []() -> std::string {
    if (auto e = private_dev(); !e.empty()) return e;
    mkdir("/dev/net", 0755);
    if (make_node("/dev/net/tun") != 0) return "could not make /dev/net/tun";
    ToolHook hook;
    vpnc_session s;
    vpnc_session_reset(&s);
    tundev_created = -1;
    int r = get_tun_device(&s);
    if (r != 0) return "answered " + std::to_string(r);
    if (s.tunfd.load() < 0 || if_nametoindex("tun0") == 0) return "no tun0 attached";
    if (tundev_created != -1) return "tundev_created " + std::to_string(tundev_created);
    if (hook.count("/sbin/mknod") != 0) return "ran mknod";
    close(s.tunfd);
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(LegacyTun, MakesTunZeroAndTheTeardownRemovesIt) {
  std::string why;
  if (!tun_usable(&why)) GTEST_SKIP() << why;

  std::string err = in_private_ns(CLONE_NEWNS | CLONE_NEWNET, []() -> std::string {
    if (auto e = private_dev(); !e.empty()) return e;
    ToolHook hook;
    LogCapture log;
    vpnc_session s;
    vpnc_session_reset(&s);
    tundev_created = -1;
    int r = get_tun_device(&s);
    if (r != 0) return "answered " + std::to_string(r);
    if (tundev_created != 0) return "tundev_created " + std::to_string(tundev_created);
    if (if_nametoindex("tun0") == 0) return "no tun0";
    if (hook.count("/sbin/mknod /dev/tun0 c 10 200") != 1) return "no mknod of /dev/tun0";
    if (!log.has("Tunnel open /dev/tun0 failed!errno 2")) return "no failed-open line";

    // The teardown removes the node it made, even unit 0.
    vpn_dtor_ops ops{};
    ops.restore_routes = [] {};
    ops.restore_default_route = [] {};
    ops.restore_dns_config = [] { return 0; };
    ops.dns_config_is_kept = [] { return false; };
    ops.logout_vpn = [](vpnc_session*) { return 0; };
    ops.setoriginalproxy_mac = [](vpnc_session*) { return 0; };
    vpn_dtor_set_ops(&ops);
    std::snprintf(s.navtype, sizeof s.navtype, "commandline");
    int done = 0;
    vpn_dtor_qn2(&s, 0, 1, &done);
    vpn_dtor_set_ops(nullptr);
    if (exists("/dev/tun0")) return "/dev/tun0 is still there";
    if (tundev_created != -1) return "tundev_created not reset";
    if (s.tunfd.load() != -1) return "tunfd still open";
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(LegacyTun, SkipsABusyNodeAndKeepsIt) {
  std::string why;
  if (!tun_usable(&why)) GTEST_SKIP() << why;

  std::string err = in_private_ns(CLONE_NEWNS | CLONE_NEWNET, []() -> std::string {
    if (auto e = private_dev(); !e.empty()) return e;
    if (make_node("/dev/tun0") != 0) return "could not make /dev/tun0";
    int holder = legacy_tun_open("/dev/tun0", 0);
    if (holder < 0) return "could not hold tun0";
    ToolHook hook;
    LogCapture log;
    vpnc_session s;
    vpnc_session_reset(&s);
    tundev_created = -1;
    int r = get_tun_device(&s);
    if (r != 1) return "answered " + std::to_string(r);
    if (tundev_created != 1) return "tundev_created " + std::to_string(tundev_created);
    if (if_nametoindex("tun1") == 0) return "no tun1";
    if (!log.has("Tunnel open /dev/tun0 failed!errno 16")) return "no EBUSY line for tun0";
    if (!log.has("Tunnel open /dev/tun1 failed!errno 2")) return "no ENOENT line for tun1";
    if (!exists("/dev/tun0")) return "the old /dev/tun0 was removed";
    if (hook.count("/bin/rm") != 0) return "removed a node";
    close(s.tunfd);
    close(holder);
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(LegacyTun, NodesThatCannotAttachAreAllRemoved) {
  std::string why;
  if (!tun_usable(&why)) GTEST_SKIP() << why;

  std::string err = in_private_ns(CLONE_NEWNS | CLONE_NEWNET, []() -> std::string {
    if (auto e = private_dev(); !e.empty()) return e;
    ToolHook hook;
    hook.major = 1;  // the memory devices: they open, but are no tun
    hook.minor = 5;
    vpnc_session s;
    vpnc_session_reset(&s);
    tundev_created = -1;
    int r = get_tun_device(&s);
    if (r != -1) return "answered " + std::to_string(r);
    if (s.tunfd.load() != -1) return "tunfd set";
    if (tundev_created != -1) return "tundev_created " + std::to_string(tundev_created);
    if (hook.count("/sbin/mknod") != 16) return "mknod lines: " + std::to_string(hook.count("/sbin/mknod"));
    for (int n = 0; n < 16; ++n)
      if (exists("/dev/tun" + std::to_string(n))) return "/dev/tun" + std::to_string(n) + " left behind";
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(LegacyTun, AttachFailureClosesAndKeepsErrno) {
  errno = 0;
  EXPECT_EQ(legacy_tun_open("/nonexistent/tun", 0), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(legacy_tun_open("/dev/null", 0), -1);
  EXPECT_NE(errno, 0);
}

TEST(LegacyTun, DriverReloadAndAddressing) {
  std::vector<std::string> lines;
  set_command_hook([&](const std::string& cmd, bool) { lines.push_back(cmd); });
  EXPECT_EQ(resetup_tun_device_mac(), 0);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  vpnc_session s;
  vpnc_session_reset(&s);
  s.tunfd = p[0];
  initial_network_config();
  clientip_store(m_pNetConfigFlag, htonl(0x0A080005));
  EXPECT_EQ(config_tun_ipaddr_mac(3, &s), 0);
  set_command_hook(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"/sbin/kextunload /Library/Extensions/tun.kext",
                                             "/sbin/kextload /Library/Extensions/tun.kext",
                                             "/sbin/ifconfig tun3 10.8.0.5 1.1.1.1 mtu 1400"}));
  EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  close(p[0]);
  close(p[1]);
}
