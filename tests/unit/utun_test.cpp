#include "platform/utun.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "client/diag.h"
#include "tests/unit/private_ns.h"
#include "client/process_handler.h"
#include "client/session.h"
#include "client/tunnel_ops.h"

namespace {

TEST(UtunHeader, TranslatesAddressFamilyAndEthertype) {
  struct Case {
    uint32_t af;
    uint8_t pi[4];
  } cases[] = {
      {kUtunAfInet, {0, 0, 0x08, 0x00}},
      {kUtunAfInet6, {0, 0, 0x86, 0xDD}},
      {0, {0, 0, 0, 0}},
  };
  for (auto& tc : cases) {
    SCOPED_TRACE(tc.af);
    uint8_t out[4] = {9, 9, 9, 9};
    utun_af_to_pi(tc.af, out);
    EXPECT_EQ(0, std::memcmp(out, tc.pi, 4));
    EXPECT_EQ(utun_pi_to_af(tc.pi), tc.af);
  }
  const uint8_t flagged[4] = {0x00, 0x01, 0x08, 0x00};  // TUN_PKT_STRIP set
  EXPECT_EQ(utun_pi_to_af(flagged), kUtunAfInet);
  const uint8_t arp[4] = {0, 0, 0x08, 0x06};
  EXPECT_EQ(utun_pi_to_af(arp), 0u);
}

TEST(UtunOpen, NullOptionPrintsItsLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(utun_open(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "utun_open: parameter is invalid\n");
}

TEST(UtunResult, CountsPacketBytesOnly) {
  int sp[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sp), 0);
  const char packet[] = "0123456789";
  EXPECT_EQ(utun_write(sp[0], packet, 10), 10);
  char got[64];
  ASSERT_EQ(recv(sp[1], got, sizeof got, 0), 14);
  EXPECT_EQ(std::string(got, 4), std::string("\x00\x00\x08\x00", 4));
  EXPECT_EQ(std::string(got + 4, 10), "0123456789");

  struct Case {
    std::string datagram;
    int result;
  } cases[] = {{std::string("\0\0\x08\0", 4) + "abc", 3}, {std::string("\0\0\x08\0", 4), 0}, {"ab", 0}};
  for (auto& tc : cases) {
    ASSERT_EQ(send(sp[1], tc.datagram.data(), tc.datagram.size(), 0), static_cast<ssize_t>(tc.datagram.size()));
    char data[16] = {};
    EXPECT_EQ(utun_read(sp[0], data, sizeof data), tc.result);
  }
  EXPECT_EQ(utun_read(-1, got, sizeof got), -1);
  close(sp[0]);
  close(sp[1]);
}

bool can_make_tun(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root to create TUN interfaces in a private network namespace";
    return false;
  }
  if (access("/dev/net/tun", R_OK | W_OK) != 0) {
    *why = "/dev/net/tun is not available";
    return false;
  }
  return true;
}

uint16_t checksum(const uint8_t* p, std::size_t n) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::string set_addr(const char* ifname, unsigned long req, const char* addr) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  inet_pton(AF_INET, addr, &sin.sin_addr);
  std::memcpy(&ifr.ifr_addr, &sin, sizeof sin);
  int r = ioctl(s, req, &ifr);
  close(s);
  return r == 0 ? "" : std::string("address ioctl failed: ") + std::strerror(errno);
}

std::string bring_up(const char* ifname) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname);
  int r = ioctl(s, SIOCGIFFLAGS, &ifr);
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (r == 0) r = ioctl(s, SIOCSIFFLAGS, &ifr);
  close(s);
  return r == 0 ? "" : std::string("bringing up failed: ") + std::strerror(errno);
}

TEST(UtunDevice, OpensNamedNonPersistentInterfaces) {
  std::string why;
  if (!can_make_tun(&why)) GTEST_SKIP() << why;
  std::string err = in_private_netns([]() -> std::string {
    utun_opt_t a{}, b{};
    int fa = utun_open(&a);
    int fb = utun_open(&b);
    if (fa < 0 || fb < 0) return "utun_open failed";
    std::string na = a.ifname, nb = b.ifname;
    if (na.rfind("utun", 0) != 0 || na.size() < 5) return "unexpected name " + na;
    if (na == nb) return "two opens gave the same name " + na;
    if (if_nametoindex(a.ifname) == 0) return "interface " + na + " does not exist";
    if ((fcntl(fa, F_GETFD) & FD_CLOEXEC) == 0) return "descriptor is not close-on-exec";
    std::string v6 = "/proc/sys/net/ipv6/conf/" + na + "/disable_ipv6";
    if (FILE* f = std::fopen(v6.c_str(), "r")) {
      int c = std::fgetc(f);
      std::fclose(f);
      if (c != '1') return "IPv6 left enabled on " + na;
    }
    close(fa);
    for (int i = 0; i < 50 && if_nametoindex(na.c_str()) != 0; ++i) usleep(10000);
    if (if_nametoindex(na.c_str()) != 0) return "closing did not remove " + na;
    close(fb);
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(UtunDevice, DeviceConfigRecordsTheWholeName) {
  std::string why;
  if (!can_make_tun(&why)) GTEST_SKIP() << why;
  std::string err = in_private_netns([]() -> std::string {
    // Take units until the name passes 6 characters: "utun100" must not be
    // cut to the name of "utun10".
    static int fds[100];
    for (int& fd : fds) {
      utun_opt_t o{};
      fd = utun_open(&o);
      if (fd < 0) return "utun_open failed";
    }
    int fd = utun_device_config();
    if (fd < 0) return "utun_device_config failed";
    if (std::string(tunname) != "utun100") return std::string("tunname is ") + tunname;
    if (if_nametoindex(tunname) == 0) return "tunname names no interface";
    return "";
  });
  EXPECT_EQ(err, "");
}

// The kernel answers an echo request written through utun_write, and the
// answer comes back through utun_read: both header translations hold.
TEST(UtunDevice, PacketsCrossTheRealDevice) {
  std::string why;
  if (!can_make_tun(&why)) GTEST_SKIP() << why;
  std::string err = in_private_netns([]() -> std::string {
    utun_opt_t o{};
    int fd = utun_open(&o);
    if (fd < 0) return "utun_open failed";
    std::string e = set_addr(o.ifname, SIOCSIFADDR, "10.99.0.1");
    if (e.empty()) e = set_addr(o.ifname, SIOCSIFDSTADDR, "10.99.0.2");
    if (e.empty()) e = bring_up(o.ifname);
    if (!e.empty()) return e;

    uint8_t req[84] = {};
    req[0] = 0x45;
    req[3] = sizeof req;
    req[8] = 64;
    req[9] = 1;
    inet_pton(AF_INET, "10.99.0.2", req + 12);
    inet_pton(AF_INET, "10.99.0.1", req + 16);
    uint16_t c = checksum(req, 20);
    req[10] = static_cast<uint8_t>(c >> 8);
    req[11] = static_cast<uint8_t>(c);
    req[20] = 8;  // echo request
    req[24] = 0x12;
    req[25] = 0x34;
    for (int i = 28; i < 84; ++i) req[i] = static_cast<uint8_t>(i);
    c = checksum(req + 20, sizeof req - 20);
    req[22] = static_cast<uint8_t>(c >> 8);
    req[23] = static_cast<uint8_t>(c);
    if (int w = utun_write(fd, req, sizeof req); w != static_cast<int>(sizeof req))
      return "utun_write answered " + std::to_string(w);

    for (int i = 0; i < 20; ++i) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 200) <= 0) continue;
      uint8_t rep[2048];
      int n = utun_read(fd, rep, sizeof rep);
      if (n < 0) return "utun_read failed";
      if (n == 84 && rep[0] == 0x45 && rep[9] == 1 && rep[20] == 0 && std::memcmp(rep + 12, req + 16, 4) == 0 &&
          std::memcmp(rep + 28, req + 28, 56) == 0)
        return "";
    }
    return "no echo reply came back through utun_read";
  });
  EXPECT_EQ(err, "");
}

// With no TUN driver to open, utun_open prints its stage, the device
// configuration logs each failed attempt, and the bring-up gives up after the
// 17th without touching anything else.
TEST(UtunDevice, BringUpGivesUpAfterSeventeenFailedOpens) {
  std::string why;
  if (!can_make_tun(&why)) GTEST_SKIP() << why;
  std::string err = in_private_ns(CLONE_NEWNET | CLONE_NEWNS, []() -> std::string {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/net", "tmpfs", 0, nullptr) != 0)
      return "could not hide /dev/net/tun";
    int out = memfd_create("stdout", MFD_CLOEXEC);
    fflush(stdout);
    dup2(out, 1);
    std::vector<std::string> lines;
    vpn_log_set_sink([&](int, const char* l) { lines.emplace_back(l); });
    vpnc_session s;
    vpnc_session_reset(&s);
    int r = config_tunnel(&s);
    vpn_log_set_sink(nullptr);
    fflush(stdout);
    char buf[8192] = {};
    ssize_t n = pread(out, buf, sizeof buf - 1, 0);
    if (r != -1) return "config_tunnel answered " + std::to_string(r);
    if (s.tunfd != -1) return "tunfd is not -1";
    std::string printed(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    std::string line = "utun_open: create socket failed, error 2\n";
    std::size_t count = 0;
    for (std::size_t at = printed.find(line); at != std::string::npos; at = printed.find(line, at + 1)) ++count;
    if (count != 17 || printed.size() != 17 * line.size()) return "printed: " + printed;
    std::vector<std::string> want;
    for (int i = 0; i < 17; ++i) {
      want.push_back("tun cfg\n");
      want.push_back("open tun dev failed, error 2(No such file or directory)\n");
    }
    if (lines != want) return "logged " + std::to_string(lines.size()) + " lines, first: " + (lines.empty() ? "" : lines[0]);
    return "";
  });
  EXPECT_EQ(err, "");
}

}  // namespace
