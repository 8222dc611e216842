// The route-change monitor, the route probe and the route-table backup: the
// probe and the monitor against the real kernel in a private network
// namespace, the record splitting and the backup on prepared messages.
#include "client/hostnet/route_monitor.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/route_entry.h"
#include "client/vpn_globals.h"
#include "platform/route_dump.h"
#include "platform/route_socket.h"
#include "platform/utun.h"
#include "tests/unit/hostnet_test_util.h"
#include "tests/unit/private_ns.h"

using namespace hostnet_test;

namespace {

// Commands and log lines of the monitor thread, read by the test thread.
struct Shared {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> cmds, logs;
  Shared() {
    set_command_hook([this](const std::string& c, bool) {
      std::lock_guard<std::mutex> lk(m);
      cmds.push_back(c);
      cv.notify_all();
    });
    vpn_log_set_sink([this](int, const char* l) {
      std::lock_guard<std::mutex> lk(m);
      logs.emplace_back(l);
      cv.notify_all();
    });
  }
  ~Shared() {
    set_command_hook(nullptr);
    vpn_log_set_sink(nullptr);
  }
  std::size_t cmd_count(const std::string& prefix) {
    std::lock_guard<std::mutex> lk(m);
    std::size_t n = 0;
    for (auto& c : cmds) n += c.rfind(prefix, 0) == 0;
    return n;
  }
  bool logged(const std::string& part) {
    std::lock_guard<std::mutex> lk(m);
    for (auto& l : logs)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::string all_cmds() {
    std::lock_guard<std::mutex> lk(m);
    std::string s;
    for (auto& c : cmds) s += "\n  " + c;
    return s;
  }
};

// Runs `poke` until `done` holds or 15 s pass: the monitor's socket may
// not be open yet when the first change is made. Each poke must change the
// table: the kernel announces nothing for a route replaced by an equal one.
bool poke_until(const std::function<void(int)>& poke, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    if (done()) return true;
    poke(i);
    for (int w = 0; w < 20 && !done(); ++w) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A second interface d0 (one end of a veth pair) with 10.77.0.2/24, and no IPv6 (whose addresses
// would come and go on their own and end the monitor).
std::string base_net() {
  if (!sh("echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6"))
    return "could not turn IPv6 off";
  if (!sh("ip link set lo up && ip link add d0 type veth peer name d1 && ip addr add 10.77.0.2/24 dev d0 && ip link set d1 up && ip link set d0 up"))
    return "could not set up d0";
  return "";
}

struct MonitorThread {
  pthread_t t{};
  std::atomic<bool> finished{false};
  MonitorThread() {
    g_thread_stop = 0;
    pthread_create(
        &t, nullptr,
        [](void* self) -> void* {
          checkroutes_thread_mac(nullptr);
          static_cast<MonitorThread*>(self)->finished = true;
          return nullptr;
        },
        this);
  }
  bool wait_end(int seconds) {
    for (int i = 0; i < seconds * 100 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return finished;
  }
  ~MonitorThread() {
    g_thread_stop = 1;
    pthread_join(t, nullptr);
  }
};

bool root() { return geteuid() == 0; }

}  // namespace

// Split tunnel: a removed host route that reappears is deleted again three
// times at most; a missing added route is added back on every change.
TEST(RouteMonitor, RepairsRemovedAndAddedRoutesAfterRealChanges) {
  if (!root()) GTEST_SKIP() << "needs root for a private network namespace";
  std::string err = in_private_netns([]() -> std::string {
    if (auto e = base_net(); !e.empty()) return e;
    initial_network_config();
    if (!sh("ip route add 192.0.2.10/32 via 10.77.0.1")) return "could not add the host route";
    route_list snap;
    route_snapshot_mac(snap, "");
    rt_add_list.clear();
    for (auto& e : snap)
      if (e.dst == ip("192.0.2.10")) rt_add_list.push_back(e);
    if (rt_add_list.size() != 1) return "host route not in the snapshot";
    vpn_route_entry added{};
    added.dst = ip("10.66.0.0");
    added.netmask = ip("255.255.0.0");
    added.gateway = ip("10.77.0.1");
    added.gw_family = rtdump::FAM_INET;
    added.flags = RTF_STATIC_BSD | RTF_GATEWAY_BSD;
    rt_del_list = {added};

    Shared sh_;
    MonitorThread mon;
    const std::string add_line = "/sbin/route add -net 10.66.0.0";
    const bool ok = poke_until([](int i) { sh("ip route replace 10.50.0." + std::to_string(i % 250) + "/32 dev d0"); },
                               [&] { return sh_.cmd_count(add_line) >= 5; });
    if (!ok) return "the added route was not put back on five changes:" + sh_.all_cmds();
    if (sh_.cmd_count("/sbin/route delete -host 192.0.2.10") != 3)
      return "the removed route was not deleted exactly three times:" + sh_.all_cmds();
    if (rt_add_list[0].retry_count != 3) return "retry_count " + std::to_string(rt_add_list[0].retry_count);
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(RouteMonitor, FullTunnelPutsTheDefaultRouteBackOntoTheTunnel) {
  if (!root()) GTEST_SKIP() << "needs root for a private network namespace";
  std::string err = in_private_netns([]() -> std::string {
    if (auto e = base_net(); !e.empty()) return e;
    initial_network_config();
    m_pNetConfigFlag->flags = NETCFG_FULL_TUNNEL;
    rt_add_list.clear();
    rt_del_list.clear();
    Shared sh_;
    MonitorThread mon;
    // Deleted and added again: a repeated replace by the same route would be
    // silent, and the first one can come before the monitor listens.
    const bool ok = poke_until([](int) { sh("ip route del default; ip route add default via 10.77.0.1"); },
                               [&] { return sh_.cmd_count("/sbin/route add default 1.1.1.1") >= 1; });
    if (!ok) return "no default route via 1.1.1.1:" + sh_.all_cmds();
    if (sh_.cmd_count("/sbin/route delete default 10.77.0.1") < 1) return "the other default stayed:" + sh_.all_cmds();
    return "";
  });
  EXPECT_EQ(err, "");
}

TEST(RouteMonitor, NewAddressClearsTheClientAddressAndEnds) {
  if (!root()) GTEST_SKIP() << "needs root for a private network namespace";
  std::string err = in_private_netns([]() -> std::string {
    if (auto e = base_net(); !e.empty()) return e;
    initial_network_config();
    clientip_store(m_pNetConfigFlag, ip("10.8.0.5"));
    rt_add_list.clear();
    rt_del_list.clear();
    Shared sh_;
    MonitorThread mon;
    const bool ok = poke_until([](int i) { sh("ip addr add 10.78.0." + std::to_string(i % 250 + 1) + "/24 dev d0"); },
                               [&] { return mon.finished.load(); });
    if (!ok) return "the monitor did not end";
    if (clientip_load(m_pNetConfigFlag) != 0) return "client address not cleared";
    if (!sh_.logged("vpn_route_monitor at ") || !sh_.logged("network changed, notify applet disconnect VPN"))
      return "no network-changed line";
    return "";
  });
  EXPECT_EQ(err, "");
}

// Prepared messages: the monitor's own changes, failed requests and a busy
// controller are not answered; the stop flag ends it.
TEST(RouteMonitor, SkipsOwnFailedAndBusyEvents) {
  initial_network_config();
  rt_add_list.clear();
  vpn_route_entry added{};
  added.dst = ip("10.66.0.0");
  added.netmask = ip("255.255.0.0");
  added.gateway = ip("10.77.0.1");
  added.gw_family = rtdump::FAM_INET;
  added.flags = RTF_STATIC_BSD | RTF_GATEWAY_BSD;
  rt_del_list = {added};
  DumpSource dumps;  // empty table: the added route is missing

  auto msg = [](int32_t pid, int32_t err) {
    rtdump::rt_msghdr h{};
    h.rtm_msglen = rtdump::kRtMsgHdrSize;
    h.rtm_version = rtdump::RTM_VERSION;
    h.rtm_type = rtsock::RTM_ADD;
    h.rtm_pid = pid;
    h.rtm_errno = err;
    std::vector<uint8_t> out(rtdump::kRtMsgHdrSize);
    rtdump::encode_rt_msghdr(h, out.data());
    return out;
  };
  const int32_t self = static_cast<int32_t>(getpid());
  std::vector<std::vector<uint8_t>> feed = {msg(self, 0), msg(self + 1, ESRCH), msg(self + 1, 0), msg(self + 1, 0)};
  std::mutex fm;
  std::condition_variable fcv;
  int allowed = 3;  // the fourth waits until the test holds the controller's mutex
  std::size_t served = 0;
  // Nothing to hand out: EAGAIN after the socket's own wake interval, so the
  // monitor sees the stop flag as it would on a quiet socket.
  rtsock::set_message_source([&](uint8_t* buf, std::size_t len) -> ssize_t {
    std::unique_lock<std::mutex> lk(fm);
    if (!fcv.wait_for(lk, std::chrono::seconds(1),
                      [&] { return served < static_cast<std::size_t>(allowed) && served < feed.size(); })) {
      errno = EAGAIN;
      return -1;
    }
    const auto& m = feed[served++];
    std::memcpy(buf, m.data(), std::min(len, m.size()));
    return static_cast<ssize_t>(m.size());
  });
  {
    Shared sh_;
    MonitorThread mon;
    const auto wait = [&](const std::function<bool()>& p) {
      std::unique_lock<std::mutex> lk(sh_.m);
      return sh_.cv.wait_for(lk, std::chrono::seconds(20), [&] {
        lk.unlock();
        bool r = p();
        lk.lock();
        return r;
      });
    };
    ASSERT_TRUE(wait([&] { return sh_.cmd_count("/sbin/route add -net 10.66.0.0") == 1; })) << sh_.all_cmds();
    ASSERT_EQ(pthread_mutex_lock(&mutex), 0);
    {
      std::lock_guard<std::mutex> lk(fm);
      allowed = 4;
    }
    fcv.notify_all();
    EXPECT_TRUE(wait([&] { return sh_.logged("repair skipped"); }));
    EXPECT_EQ(pthread_mutex_unlock(&mutex), 0);
    g_thread_stop = 1;
    EXPECT_TRUE(mon.wait_end(20));
    EXPECT_EQ(sh_.cmd_count("/sbin/route add -net 10.66.0.0"), 1u) << sh_.all_cmds();
  }
  rtsock::set_message_source(nullptr);
  rt_del_list.clear();
}

struct ProbeCase {
  const char* family;
  const char* dst;
  const char* gateway;  // "IF": the second interface's name
  int answer;
};

TEST(RouteProbe, AsksTheKernelAndComparesTheGateway) {
  if (!root() || access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "needs root and /dev/net/tun";
  std::string err = in_private_netns([]() -> std::string {
    if (auto e = base_net(); !e.empty()) return e;
    utun_opt_t opt{};
    const int tfd = utun_open(&opt);
    if (tfd < 0) return "no utun";
    const std::string tun = opt.ifname;
    if (!sh("ip addr add 10.8.0.5 peer 1.1.1.1 dev " + tun + " && ip link set " + tun +
            " up && ip route add 10.1.0.0/16 via 1.1.1.1"))
      return "could not set up " + tun;
    const ProbeCase cases[] = {
        {"AF_INET", "10.1.2.3", "1.1.1.1", 1}, {"AF_INET", "10.1.2.3", "1.1.1.2", 0},
        {"AF_INET", "10.77.0.9", "1.1.1.1", 0}, {"AF_LINK", "10.77.0.9", "d0", 1},
        {"AF_INET", "192.0.2.1", "1.1.1.1", 0}, {"AF_INET", "10.1.2", "1.1.1.1", 0},
    };
    std::string bad;
    for (const auto& c : cases) {
      const auto t0 = std::chrono::steady_clock::now();
      const int r = routepath(c.family, c.dst, c.gateway);
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
      if (r != c.answer || secs > 5)
        bad += std::string(" ") + c.family + "/" + c.dst + "/" + c.gateway + "=" + std::to_string(r);
    }
    close(tfd);
    return bad;
  });
  EXPECT_EQ(err, "");
}

TEST(RouteProbe, UnparsableDestinationWritesNothing) {
  Shared sh_;
  char fam[kProbeTextSize] = "x", text[kProbeTextSize] = "y";
  char* pair[2] = {fam, text};
  iproute_get_mac(pair, "10.1.2");
  EXPECT_STREQ(fam, "x");
  EXPECT_STREQ(text, "y");
  EXPECT_TRUE(sh_.logged("is no IPv4 address"));
  EXPECT_EQ(routepath("AF_INET", "", ""), 0);
}

namespace {
std::vector<uint8_t> in4_record(const char* addr) {
  std::vector<uint8_t> r(16);
  rtdump::sockaddr_in4 a{};
  a.sin_len = 16;
  a.sin_family = rtdump::FAM_INET;
  a.sin_addr = ip(addr);
  rtdump::encode_sockaddr_in4(a, r.data());
  return r;
}
std::vector<uint8_t> link_record(uint16_t index, uint8_t nlen = 0) {
  std::vector<uint8_t> r(24, 0);  // 20 bytes, padded to 24
  rtdump::sockaddr_dl dl{};
  dl.sdl_len = 20;
  dl.sdl_family = rtdump::FAM_LINK;
  dl.sdl_index = index;
  dl.sdl_nlen = nlen;
  rtdump::encode_sockaddr_dl_head(dl, r.data());
  return r;
}
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
}  // namespace

TEST(RouteProbe, RecordSlotsStayInsideTheBytes) {
  constexpr int kAll = 0x7;  // destination, gateway, netmask
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::size_t avail;
    int addrs;
    std::vector<int> filled_at;  // offset of each slot 0..2, -1: null
  };
  auto inet3 = cat({in4_record("10.0.0.0"), in4_record("192.168.1.1"), in4_record("255.0.0.0")});
  auto link3 = cat({in4_record("10.77.0.0"), link_record(1), in4_record("255.255.255.0")});
  auto huge = inet3;
  huge[16] = 255;  // gateway claims 255 bytes
  const Case cases[] = {
      {"all three inside", inet3, inet3.size(), kAll, {0, 16, 32}},
      {"AF_LINK takes 24", link3, link3.size(), kAll, {0, 16, 40}},
      {"netmask past the bytes read", inet3, 40, kAll, {0, 16, -1}},
      {"record longer than what is left", huge, huge.size(), kAll, {0, -1, -1}},
      {"bits not set", inet3, inet3.size(), 0x1, {0, -1, -1}},
      {"nothing read", inet3, 0, kAll, {-1, -1, -1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint8_t* slots[kRtaxMax];
    std::size_t lens[kRtaxMax];
    get_rtaddrs(c.addrs, c.bytes.data(), c.avail, slots, lens);
    for (int i = 0; i < 3; ++i) {
      if (c.filled_at[i] < 0)
        EXPECT_EQ(slots[i], nullptr) << i;
      else
        EXPECT_EQ(slots[i], c.bytes.data() + c.filled_at[i]) << i;
    }
    for (int i = 3; i < kRtaxMax; ++i) EXPECT_EQ(slots[i], nullptr);
  }
}

TEST(RouteProbe, FormatsEachFamily) {
  struct Case {
    std::vector<uint8_t> rec;
    unsigned len;
    const char* fam;
    const char* text;
  };
  auto odd = in4_record("1.2.3.4");
  odd[1] = 7;
  std::vector<uint8_t> v6(28, 0);
  v6[0] = 28;
  v6[1] = rtsock::FAM_INET6;
  v6[8] = 0xfe;
  v6[9] = 0x80;
  v6[23] = 1;
  const Case cases[] = {
      {in4_record("1.1.1.1"), 16, "AF_INET", "1.1.1.1"},
      {in4_record("1.1.1.1"), 6, "", "keep"},  // too short for its address
      {v6, 28, "AF_INET6", "fe80::1"},
      {link_record(static_cast<uint16_t>(kLoIndex)), 20, "AF_LINK", "lo"},
      {link_record(static_cast<uint16_t>(kLoIndex), 2), 20, "", "keep"},  // carries a name: nothing
      {link_record(static_cast<uint16_t>(kNoSuchIndex)), 20, "", "keep"},
      {odd, 16, "sock_ntop_host: unknown AF_xxx: 7, len 16", "keep"},
  };
  for (const auto& c : cases) {
    char fam[kProbeTextSize] = "", text[kProbeTextSize] = "keep";
    char* pair[2] = {fam, text};
    sock_ntop_host(c.rec.data(), c.len, pair);
    EXPECT_STREQ(fam, c.fam);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(RouteBackup, WritesStaticRoutesAndKeepsTheOldFileOnFailure) {
  char dir[] = "/tmp/route_backup_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/routes";
  DumpSource dumps;
  rtdump::append_route_message(dumps.routes, route("10.0.0.0", 8, "192.168.1.1", kNoSuchIndex));
  rtdump::append_route_message(dumps.routes, route("10.9.9.9", 32, nullptr, kNoSuchIndex));
  rtdump::append_route_message(dumps.routes, route("10.77.0.0", 24, nullptr, kLoIndex, true));  // not static
  rtdump::append_route_message(dumps.routes, route("127.0.0.1", 32, nullptr, kLoIndex));
  rtdump::append_route_message(dumps.routes, route("0.0.0.0", 0, "10.77.0.1", kLoIndex));
  ASSERT_EQ(backup_route_table(path.c_str()), 0);
  auto read = [&] {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  EXPECT_EQ(read(),
            "#The first line is no useful\n"
            "en0 A 101A8C0 803 0 0 0 FF 0 0 0\n"
            "en0 909090A 0 805 0 0 0 FFFFFFFF 0 0 0\n"
            "lo 0 1004D0A 803 0 0 0 0 0 0 0\n");

  dumps.fail_routes = true;
  EXPECT_EQ(backup_route_table(path.c_str()), -1);
  EXPECT_EQ(read().rfind("#The first line is no useful\nen0 A ", 0), 0u);

  // A message cut short ends the walk with a line in the log.
  dumps.fail_routes = false;
  dumps.routes.resize(dumps.routes.size() - 4);
  LogCapture log;
  EXPECT_EQ(backup_route_table(path.c_str()), 0);
  EXPECT_TRUE(log.has("walk ended"));
  std::remove(path.c_str());
  rmdir(dir);
}

namespace {
// Reads until a message of `type` comes (others, such as the connected
// route an address brings, are passed over).
bool read_type(int fd, uint8_t type, std::vector<uint8_t>* out) {
  uint8_t buf[2048];
  for (int i = 0; i < 50; ++i) {
    const ssize_t n = rtsock::rtsock_read(fd, buf, sizeof buf);
    if (n < static_cast<ssize_t>(rtdump::kRtMsgHdrSize)) return false;
    if (buf[3] == type) {
      out->assign(buf, buf + n);
      return true;
    }
  }
  return false;
}
}  // namespace

// Real changes come out as BSD messages: types, the changer's port id and
// the records, each padded to 8 (a 20-byte link record takes 24).
TEST(RouteSocket, KernelChangesAsRoutingMessages) {
  if (!root()) GTEST_SKIP() << "needs root for a private network namespace";
  std::string err = in_private_netns([]() -> std::string {
    if (auto e = base_net(); !e.empty()) return e;
    const int fd = rtsock::rtsock_open(5);
    if (fd < 0) return "rtsock_open failed";
    std::vector<uint8_t> m;
    const uint16_t d0 = static_cast<uint16_t>(if_nametoindex("d0"));

    if (!sh("ip route add 10.50.0.0/24 dev d0") || !read_type(fd, rtsock::RTM_ADD, &m)) return "no RTM_ADD";
    rtdump::rt_msghdr h = rtdump::decode_rt_msghdr(m.data());
    if (h.rtm_msglen != m.size() || m.size() != rtdump::kRtMsgHdrSize + 16 + 24 + 16) return "RTM_ADD size";
    if (h.rtm_addrs != (rtdump::RTA_DST | rtdump::RTA_GATEWAY | rtdump::RTA_NETMASK)) return "RTM_ADD records";
    if (h.rtm_pid <= 0 || h.rtm_pid == getpid()) return "RTM_ADD pid " + std::to_string(h.rtm_pid);
    const uint8_t* gw = m.data() + rtdump::kRtMsgHdrSize + 16;
    if (gw[0] != 20 || gw[1] != rtdump::FAM_LINK || rtdump::decode_sockaddr_dl_head(gw).sdl_index != d0 ||
        gw[5] != 0)
      return "link record";
    if (rtdump::decode_sockaddr_in4(gw + 24).sin_addr != ip("255.255.255.0")) return "netmask record";

    if (!sh("ip route replace 10.50.0.0/24 via 10.77.0.1") || !read_type(fd, rtsock::RTM_CHANGE, &m))
      return "no RTM_CHANGE";
    if (rtdump::decode_sockaddr_in4(m.data() + rtdump::kRtMsgHdrSize + 16).sin_addr != ip("10.77.0.1"))
      return "RTM_CHANGE gateway";
    if (!sh("ip route del 10.50.0.0/24") || !read_type(fd, rtsock::RTM_DELETE, &m)) return "no RTM_DELETE";
    if (!sh("ip addr add 10.79.0.1/24 dev d0") || !read_type(fd, rtsock::RTM_NEWADDR, &m)) return "no RTM_NEWADDR";
    if (rtdump::decode_rt_msghdr(m.data()).rtm_index != d0) return "RTM_NEWADDR index";
    if (!sh("ip addr del 10.79.0.1/24 dev d0") || !read_type(fd, rtsock::RTM_DELADDR, &m)) return "no RTM_DELADDR";

    // Only RTM_GET requests are taken.
    uint8_t bad[rtdump::kRtMsgHdrSize + 16] = {};
    rtdump::rt_msghdr req{};
    req.rtm_msglen = sizeof bad;
    req.rtm_type = rtsock::RTM_ADD;
    rtdump::encode_rt_msghdr(req, bad);
    if (rtsock::rtsock_write(fd, bad, sizeof bad) != -1 || errno != EOPNOTSUPP) return "RTM_ADD written";
    req.rtm_type = rtsock::RTM_GET;
    req.rtm_addrs = rtdump::RTA_DST;
    rtdump::encode_rt_msghdr(req, bad);  // destination record left empty: no family
    if (rtsock::rtsock_write(fd, bad, sizeof bad) != -1 || errno != EINVAL) return "empty destination written";
    rtsock::rtsock_close(fd);
    return "";
  });
  EXPECT_EQ(err, "");
}
