// Section receivers over an in-memory stream: good input fills the lists
// exactly; hostile lengths, counts over capacity, texts without a zero byte
// and truncated sections never crash, never allocate by a wire length and
// leave the stream in step.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tests/unit/log_capture.h"
#include "client/diag.h"
#include "client/session.h"
#include "client/session/config_receivers.h"

// Largest single allocation made while tracking is on: a receiver that sized
// a buffer by a length from the wire shows up here.
namespace {
std::atomic<bool> g_track{false};
std::atomic<std::size_t> g_max_alloc{0};
void note_alloc(std::size_t n) {
  if (!g_track.load(std::memory_order_relaxed)) return;
  std::size_t cur = g_max_alloc.load(std::memory_order_relaxed);
  while (n > cur && !g_max_alloc.compare_exchange_weak(cur, n)) {
  }
}
void* alloc_or_throw(std::size_t n) {
  note_alloc(n);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return alloc_or_throw(n); }
void* operator new[](std::size_t n) { return alloc_or_throw(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The nothrow forms too: other modules allocate with them, and their memory
// comes back through the delete above.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  note_alloc(n);
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  note_alloc(n);
  return std::malloc(n ? n : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

// Shared with the exchange tests.
void alloc_track_begin() {
  g_max_alloc = 0;
  g_track = true;
}
std::size_t alloc_track_end() {
  g_track = false;
  return g_max_alloc.load();
}

namespace {
// No allocation in the receivers may come near a hostile length.
constexpr std::size_t kAllocCeiling = 64 * 1024;

struct Wire {
  std::vector<uint8_t> b;
  Wire& be32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
    return *this;
  }
  Wire& raw32(uint32_t v) {  // an address word, network order already
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + 4);
    return *this;
  }
  Wire& bytes(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Wire& zero() {
    b.push_back(0);
    return *this;
  }
  Wire& host(uint32_t ip, const std::string& name) {  // name with its zero byte
    return raw32(ip).be32(static_cast<uint32_t>(name.size() + 1)).bytes(name).zero();
  }
  Wire& command(const std::string& text) { return be32(static_cast<uint32_t>(text.size() + 1)).bytes(text).zero(); }
  Wire& resource(const char* ip, const char* mask, uint8_t type, uint8_t match = 0, uint16_t port0 = 0,
                 uint16_t port1 = 0) {
    raw32(inet_addr(ip)).raw32(inet_addr(mask));
    b.push_back(0);
    b.push_back(match);
    const uint16_t ports[5] = {port0, port1, 0, 0, 0};
    for (uint16_t p : ports) {
      b.push_back(static_cast<uint8_t>(p));
      b.push_back(static_cast<uint8_t>(p >> 8));
    }
    b.push_back(type);
    b.insert(b.end(), 3, 0);
    return *this;
  }
};

struct Mem {
  cfg_mem_stream m;
  cfg_stream s;
  explicit Mem(const std::vector<uint8_t>& in, std::size_t chunk = 0) {
    m.input = in;
    m.chunk = chunk;
    s = m.stream();
  }
  bool consumed() const { return m.pos == m.input.size(); }
};

class Receivers : public ::testing::Test {
 protected:
  void SetUp() override {
    vpnc_session_reset(&session);
    std::strcpy(session.hostname, "vpn.example.test");
    session.gateway_ip = inet_addr("198.18.0.1");
    session.connect_ip = inet_addr("198.18.0.1");
  }
  void TearDown() override { vpnc_session_reset(&session); }
  // Big lists live outside the stack.
  static inline _VPN_HOST_MAP_LIST_ hosts;
  static inline _VPN_COMMAND_LIST_ cmds;
  static inline _VPN_RESOURCE_LIST_ res;
  static inline _VPN_INSIDEPROXY_ proxy;
  static inline _VPN_IP_LIST_ ips;
  static inline _VPN_SEARCHDOMAIN_LIST_ domains;
};

TEST_F(Receivers, HostMapWithVirtualSiteAndProxyAddressForZero) {
  session.connect_ip = inet_addr("10.77.0.1");  // an outside proxy
  Wire w;
  w.host(inet_addr("10.1.2.3"), "intranet.test").host(0, "portal.test");
  for (std::size_t chunk : {0u, 1u, 3u}) {
    LogCapture logs;
    Mem in(w.b, chunk);
    ASSERT_EQ(RecvHostMap(&in.s, &hosts, static_cast<uint32_t>(w.b.size())), 1);
    EXPECT_TRUE(in.consumed());
    ASSERT_EQ(hosts.count, 3u);
    EXPECT_EQ(hosts.entries[0].ip, inet_addr("198.18.0.1"));  // the gateway, never the proxy
    EXPECT_STREQ(hosts.entries[0].host_name, "vpn.example.test");
    EXPECT_STREQ(hosts.entries[0].ip_text, "");
    EXPECT_EQ(hosts.entries[1].ip, inet_addr("10.1.2.3"));
    EXPECT_STREQ(hosts.entries[1].host_name, "intranet.test");
    EXPECT_STREQ(hosts.entries[1].ip_text, "");
    EXPECT_EQ(hosts.entries[2].ip, 0u);
    EXPECT_STREQ(hosts.entries[2].ip_text, "10.77.0.1");
    EXPECT_STREQ(hosts.entries[2].host_name, "portal.test");
    EXPECT_TRUE(logs.has("vpn_getconfig_qn2 at "));
    EXPECT_TRUE(logs.has("function: RecvHostMap:virtual site host: vpn.example.test"));
    EXPECT_TRUE(logs.has("RecvHostMap:Host: portal.test(10.77.0.1)"));
  }
}

TEST_F(Receivers, HostMapVirtualSiteByHostNameKind) {
  struct Case {
    const char* hostname;
    int ipv6;
    uint32_t expect_count;
    const char* expect_log;
  } cases[] = {
      {"198.18.0.1", 0, 1, "virtual site ip: 198.18.0.1"},
      {"2001:db8::1", 1, 1, "virtual site ip: 2001:db8::1"},
      {"gw6.example.test", 1, 2, "virtual site host: gw6.example.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hostname);
    std::snprintf(session.hostname, sizeof session.hostname, "%s", c.hostname);
    session.is_ipv6 = c.ipv6;
    inet_pton(AF_INET6, "2001:db8::1", session.gateway_ip6);
    Wire w;
    w.host(0, "zero.test");
    LogCapture logs;
    Mem in(w.b);
    ASSERT_EQ(RecvHostMap(&in.s, &hosts, static_cast<uint32_t>(w.b.size())), 1);
    EXPECT_EQ(hosts.count, c.expect_count);
    EXPECT_TRUE(logs.has(c.expect_log));
    const _VPN_HOST_MAP_& last = hosts.entries[hosts.count - 1];
    EXPECT_STREQ(last.ip_text, c.ipv6 ? "2001:db8::1" : "198.18.0.1");
    if (c.expect_count == 2) {
      EXPECT_EQ(hosts.entries[0].ip, 0u);
      EXPECT_STREQ(hosts.entries[0].ip_text, "2001:db8::1");
    }
  }
}

TEST_F(Receivers, HostMapNamesAreCutAndStreamStaysInStep) {
  Wire w;
  const std::string long_name(200, 'n');
  w.raw32(inet_addr("10.0.0.1")).be32(200).bytes(long_name);       // no zero byte, too long
  w.raw32(inet_addr("10.0.0.2")).be32(5).bytes("abcde");           // no zero byte
  w.raw32(inet_addr("10.0.0.3")).be32(0);                          // empty name
  w.raw32(inet_addr("10.0.0.4")).be32(6).bytes("ab").zero().bytes("cd").zero();  // inner zero
  Mem in(w.b, 7);
  ASSERT_EQ(RecvHostMap(&in.s, &hosts, static_cast<uint32_t>(w.b.size())), 1);
  EXPECT_TRUE(in.consumed());
  ASSERT_EQ(hosts.count, 5u);
  EXPECT_EQ(std::string(hosts.entries[1].host_name), std::string(63, 'n'));
  EXPECT_STREQ(hosts.entries[2].host_name, "abcde");
  EXPECT_STREQ(hosts.entries[3].host_name, "");
  EXPECT_STREQ(hosts.entries[4].host_name, "ab");
  EXPECT_EQ(hosts.entries[4].ip, inet_addr("10.0.0.4"));
}

TEST_F(Receivers, HostMapEntryRunningPastTheBudgetIsReadWhole) {
  Wire w;
  w.host(inet_addr("10.0.0.1"), "first.test").host(inet_addr("10.0.0.2"), "second.test");
  Mem in(w.b);
  ASSERT_EQ(RecvHostMap(&in.s, &hosts, 10), 1);  // budget ends inside the first entry
  EXPECT_EQ(hosts.count, 2u);
  EXPECT_EQ(in.m.pos, 8u + 11u);
}

TEST_F(Receivers, HostMapOverCapacityIsReadAndDropped) {
  Wire w;
  for (int i = 0; i < 200; ++i) w.host(htonl(0x0a000000u + i), "h" + std::to_string(i));
  w.bytes("NEXT");
  LogCapture logs;
  Mem in(w.b);
  ASSERT_EQ(RecvHostMap(&in.s, &hosts, static_cast<uint32_t>(w.b.size() - 4)), 1);
  EXPECT_EQ(hosts.count, 128u);  // the virtual site and 127 from the wire
  EXPECT_STREQ(hosts.entries[127].host_name, "h126");
  EXPECT_EQ(in.m.pos, w.b.size() - 4);
  EXPECT_TRUE(logs.has("RecvHostMap:73 host map entries beyond the capacity of 128 read and dropped"));
}

TEST_F(Receivers, CommandsCutToTheirSlotAndStreamStaysInStep) {
  Wire w;
  w.command("echo one").command(std::string(1500, 'c')).bytes(std::string()).be32(3).bytes("two");
  Mem in(w.b, 100);
  ASSERT_EQ(RecvCommand(&in.s, &cmds, static_cast<uint32_t>(w.b.size())), 1);
  EXPECT_TRUE(in.consumed());
  ASSERT_EQ(cmds.count, 3u);
  EXPECT_STREQ(cmds.commands[0], "echo one");
  EXPECT_EQ(std::string(cmds.commands[1]), std::string(1023, 'c'));
  EXPECT_STREQ(cmds.commands[2], "two");
}

TEST_F(Receivers, CommandsOverCapacityAreReadAndDropped) {
  Wire w;
  for (int i = 0; i < 130; ++i) w.command("cmd" + std::to_string(i));
  LogCapture logs;
  Mem in(w.b);
  ASSERT_EQ(RecvCommand(&in.s, &cmds, static_cast<uint32_t>(w.b.size())), 1);
  EXPECT_TRUE(in.consumed());
  EXPECT_EQ(cmds.count, 128u);
  EXPECT_STREQ(cmds.commands[127], "cmd127");
  EXPECT_TRUE(logs.has("RecvCommand:2 commands beyond the capacity of 128 read and dropped"));
}

TEST_F(Receivers, ResourcesSkipTypeTwoAndRepeatedMaskedAddresses) {
  Wire w;
  w.resource("10.0.0.0", "255.0.0.0", 1, PORT_MATCH_RANGE, 80, 443)
      .resource("10.0.0.0", "255.255.0.0", 1)  // same masked address: a repeat
      .resource("10.1.0.0", "255.255.0.0", 0)
      .resource("192.168.5.0", "255.255.255.0", 2)  // never stored
      .resource("10.1.2.9", "255.255.0.0", 3);      // masks to 10.1.0.0: a repeat
  LogCapture logs;
  Mem in(w.b, 5);
  ASSERT_EQ(RecvResource(&in.s, &res, 5, 0), 1);
  EXPECT_TRUE(in.consumed());
  ASSERT_EQ(res.count, 2u);
  EXPECT_EQ(res.entries[0].ip, inet_addr("10.0.0.0"));
  EXPECT_EQ(res.entries[0].mask, inet_addr("255.0.0.0"));
  EXPECT_EQ(res.entries[0].port_match, PORT_MATCH_RANGE);
  EXPECT_EQ(res.entries[0].ports[0], 80);
  EXPECT_EQ(res.entries[0].ports[1], 443);
  EXPECT_EQ(res.entries[0].type, 1);
  EXPECT_EQ(res.entries[1].ip, inet_addr("10.1.0.0"));
  EXPECT_TRUE(logs.has("RecvResource:insert resource: type = 1, ip=a"));
  EXPECT_TRUE(logs.has("RecvResource:skip resource: type = 2, ip=5a8c0"));
  EXPECT_TRUE(logs.has("RecvResource:insert resource: type = 0, ip=10a"));
}

TEST_F(Receivers, ResourcesEmptyOnlyWhenAllowed) {
  Wire w;
  w.resource("192.168.5.0", "255.255.255.0", 2);
  {
    Mem in(w.b);
    EXPECT_EQ(RecvResource(&in.s, &res, 1, 0), 0);
    EXPECT_TRUE(in.consumed());
  }
  {
    Mem in(w.b);
    EXPECT_EQ(RecvResource(&in.s, &res, 1, 1), 1);
  }
  Mem none(std::vector<uint8_t>{});
  EXPECT_EQ(RecvResource(&none.s, &res, 0, 0), 0);
  EXPECT_EQ(RecvResource(&none.s, &res, 0, 1), 1);
}

TEST_F(Receivers, ResourcesOverCapacityAreReadAndDropped) {
  Wire w;
  for (uint32_t i = 0; i < 1100; ++i) {
    char ip[32];
    std::snprintf(ip, sizeof ip, "10.%u.%u.0", i / 256, i % 256);
    w.resource(ip, "255.255.255.0", 1);
  }
  w.bytes("NEXT");
  LogCapture logs;
  Mem in(w.b);
  ASSERT_EQ(RecvResource(&in.s, &res, 1100, 0), 1);
  EXPECT_EQ(res.count, 1024u);
  EXPECT_EQ(in.m.pos, w.b.size() - 4);
  EXPECT_TRUE(logs.has("RecvResource:76 resource records beyond the capacity of 1024 read and dropped"));
}

TEST_F(Receivers, InsideProxyTextAndTrailingByte) {
  struct Case {
    uint32_t type;
    std::string text;
    std::string expect;
  } cases[] = {
      {PROXY_MANUAL, "proxy.corp:8080", "proxy.corp:8080"},
      {PROXY_SCRIPT, "http://pac.corp/p.pac", "http://pac.corp/p.pac"},
      {7, std::string(300, 'p'), std::string(255, 'p')},
      {PROXY_MANUAL, "", ""},
  };
  for (const Case& c : cases) {
    Wire w;
    w.be32(c.type).be32(static_cast<uint32_t>(c.text.size())).bytes(c.text).bytes("X").bytes("NEXT");
    Mem in(w.b, 9);
    proxy.type = PROXY_NONE;
    ASSERT_EQ(RecvInsideProxy(&in.s, &proxy, 1), 1);
    EXPECT_EQ(proxy.type, c.type);
    EXPECT_EQ(std::string(proxy.proxy), c.expect);
    EXPECT_EQ(in.m.pos, w.b.size() - 4);  // the trailing byte is read, the next field is not
  }
  Mem none(std::vector<uint8_t>{1, 2, 3});
  proxy.type = PROXY_NONE;
  EXPECT_EQ(RecvInsideProxy(&none.s, &proxy, 0), 1);
  EXPECT_EQ(proxy.type, static_cast<uint32_t>(PROXY_NONE));
  EXPECT_EQ(none.m.pos, 0u);
}

TEST_F(Receivers, IpListKeepsNetworkOrderAndDropsBeyondCapacity) {
  Wire w;
  for (uint32_t i = 0; i < 130; ++i) w.raw32(htonl(0x0a000000u + i));
  w.bytes("NEXT");
  Mem in(w.b);
  ASSERT_EQ(RecvIPList(&in.s, &ips, 130), 1);
  EXPECT_EQ(ips.count, 128u);
  EXPECT_EQ(ips.ips[0], inet_addr("10.0.0.0"));
  EXPECT_EQ(ips.ips[127], inet_addr("10.0.0.127"));
  EXPECT_EQ(in.m.pos, w.b.size() - 4);
}

TEST_F(Receivers, SearchDomainsSplitAtEveryComma) {
  struct Case {
    std::string text;
    std::vector<std::string> expect;
  } cases[] = {
      {"corp.test,lab.test", {"corp.test", "lab.test"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {",", {"", ""}},
      {"solo", {"solo"}},
      {std::string("x.test\0y.test,z", 15), {"x.test"}},  // a zero byte ends the text
      {std::string(300, 'd') + ",e", {std::string(255, 'd'), "e"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Wire w;
    w.bytes(c.text).bytes("NEXT");
    Mem in(w.b, 4);
    ASSERT_EQ(RecvSearchDomain(&in.s, &domains, static_cast<uint32_t>(c.text.size())), 1);
    EXPECT_EQ(in.m.pos, c.text.size());
    ASSERT_EQ(domains.count, c.expect.size());
    for (std::size_t i = 0; i < c.expect.size(); ++i) EXPECT_EQ(std::string(domains.domains[i]), c.expect[i]);
  }
}

TEST_F(Receivers, SearchDomainsOverCapacityAndEmptyLength) {
  std::string text;
  for (int i = 0; i < 130; ++i) text += (i ? "," : "") + std::string("d") + std::to_string(i);
  Mem in(std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_EQ(RecvSearchDomain(&in.s, &domains, static_cast<uint32_t>(text.size())), 1);
  EXPECT_EQ(domains.count, 128u);
  EXPECT_STREQ(domains.domains[127], "d127");
  EXPECT_TRUE(in.consumed());

  Mem none(std::vector<uint8_t>{'x'});
  EXPECT_EQ(RecvSearchDomain(&none.s, &domains, 0), 1);
  EXPECT_EQ(domains.count, 128u);  // untouched
  EXPECT_EQ(none.m.pos, 0u);
}

// Lengths and counts from a hostile gateway over a short stream: every
// receiver fails cleanly, keeps its count exact and allocates nothing big.
TEST_F(Receivers, HostileLengthsFailWithoutAllocatingByThem) {
  const uint32_t lengths[] = {0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000000u, 0xFFFFFFF8u};
  vpn_log_set_sink([](int, const char*) {});
  for (uint32_t len : lengths) {
    SCOPED_TRACE(len);
    Wire good;
    good.host(inet_addr("10.0.0.9"), "ok.test");
    Wire text;
    text.bytes("some text without a zero byte");
    alloc_track_begin();
    {
      Wire w = good;
      w.raw32(inet_addr("10.0.0.1")).be32(len).bytes("short");
      Mem in(w.b);
      EXPECT_EQ(RecvHostMap(&in.s, &hosts, 0xFFFFFFFFu), 0);
      EXPECT_EQ(hosts.count, 2u);  // virtual site and the whole entry
    }
    {
      Mem in(good.b);
      EXPECT_EQ(RecvHostMap(&in.s, &hosts, len), 0);  // budget beyond the stream
      EXPECT_EQ(hosts.count, 2u);
    }
    {
      Wire w;
      w.command("ok").be32(len).bytes("short");
      Mem in(w.b);
      EXPECT_EQ(RecvCommand(&in.s, &cmds, len), 0);
      EXPECT_EQ(cmds.count, 1u);
    }
    {
      Wire w;
      w.resource("10.0.0.0", "255.0.0.0", 1);
      Mem in(w.b);
      EXPECT_EQ(RecvResource(&in.s, &res, len, 1), 0);
      EXPECT_EQ(res.count, 1u);
    }
    {
      Wire w;
      w.be32(PROXY_MANUAL).be32(len).bytes("short");
      Mem in(w.b);
      EXPECT_EQ(RecvInsideProxy(&in.s, &proxy, len), 0);
    }
    {
      Wire w;
      w.raw32(inet_addr("10.0.0.53"));
      Mem in(w.b);
      EXPECT_EQ(RecvIPList(&in.s, &ips, len), 0);
      EXPECT_EQ(ips.count, 1u);
    }
    {
      Mem in(text.b);
      EXPECT_EQ(RecvSearchDomain(&in.s, &domains, len), 0);  // answers, never exits
      EXPECT_EQ(domains.count, 0u);
    }
    EXPECT_LT(alloc_track_end(), kAllocCeiling);
  }
  vpn_log_set_sink(nullptr);
}

// Every strict prefix of a good section fails; reading in chunks of one byte
// gives what reading whole gives.
TEST_F(Receivers, SectionsTruncatedAtEveryOffsetFail) {
  Wire hm;
  hm.host(inet_addr("10.0.0.1"), "a.test").host(0, "b.test");
  Wire cm;
  cm.command("echo a").command("echo b");
  Wire rs;
  rs.resource("10.0.0.0", "255.0.0.0", 1).resource("10.2.0.0", "255.255.0.0", 1);
  Wire px;
  px.be32(PROXY_SCRIPT).be32(8).bytes("http://p").zero();
  Wire dn;
  dn.raw32(inet_addr("10.0.0.53")).raw32(inet_addr("10.0.0.54"));
  Wire sd;
  sd.bytes("corp.test,lab.test");

  struct Section {
    const char* name;
    const std::vector<uint8_t>* wire;
    int (*recv)(cfg_stream*, std::size_t);
  } sections[] = {
      {"hostmap", &hm.b, [](cfg_stream* s, std::size_t n) { return RecvHostMap(s, &hosts, uint32_t(n)); }},
      {"command", &cm.b, [](cfg_stream* s, std::size_t n) { return RecvCommand(s, &cmds, uint32_t(n)); }},
      {"resource", &rs.b, [](cfg_stream* s, std::size_t) { return RecvResource(s, &res, 2, 1); }},
      {"proxy", &px.b, [](cfg_stream* s, std::size_t) { return RecvInsideProxy(s, &proxy, 1); }},
      {"dns", &dn.b, [](cfg_stream* s, std::size_t) { return RecvIPList(s, &ips, 2); }},
      {"search", &sd.b, [](cfg_stream* s, std::size_t n) { return RecvSearchDomain(s, &domains, uint32_t(n)); }},
  };
  for (const Section& sec : sections) {
    SCOPED_TRACE(sec.name);
    const std::vector<uint8_t>& full = *sec.wire;
    for (std::size_t chunk : {0u, 1u}) {
      Mem whole(full, chunk);
      EXPECT_EQ(sec.recv(&whole.s, full.size()), 1);
      EXPECT_TRUE(whole.consumed());
    }
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
      for (bool as_error : {false, true}) {
        Mem in(part);
        in.m.fail_at_end = as_error;
        EXPECT_EQ(sec.recv(&in.s, full.size()), 0) << "cut at " << cut;
      }
    }
  }
}
}  // namespace
