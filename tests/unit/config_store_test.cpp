#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/config_store.h"

namespace {
uint32_t ip4(const char* text) {
  uint32_t v = 0;
  inet_pton(AF_INET, text, &v);
  return v;
}

class ConfigStore : public ::testing::Test {
 protected:
  void SetUp() override {
    initial_network_config();
    initial_common_config();
  }
  void add_resource(const char* ip, const char* mask) {
    _VPN_RESOURCE_& r = m_pResouceList->entries[m_pResouceList->count++];
    r.ip = ip4(ip);
    r.mask = ip4(mask);
  }
};
}  // namespace

TEST(ConfigDecoders, CommonHeaderIsLittleEndian) {
  uint8_t w[kCommonHeaderWireSize] = {};
  for (std::size_t i = 0; i < sizeof w; ++i) w[i] = uint8_t(i);
  _VPN_COMMON_HEADER_ h{};
  decode_common_header(w, &h);
  EXPECT_EQ(h.reserved0, 0x03020100u);
  EXPECT_EQ(h.keepalive_interval, 0x0b0a0908u);
  EXPECT_EQ(h.dns_priority[0], 0x0f0e0d0cu);
  EXPECT_EQ(h.dns_priority[2], 0x17161514u);
  EXPECT_EQ(h.reserved24[3], 0x27262524u);
  EXPECT_EQ(h.host_map_len, 0x2b2a2928u);
  EXPECT_EQ(h.launch_cmd_len, 0x2f2e2d2cu);
  EXPECT_EQ(h.disconnect_cmd_len, 0x33323130u);
  EXPECT_EQ(h.reserved52, 0x37363534u);
}

TEST(ConfigDecoders, NetworkHeaderKeepsAddressBytes) {
  const uint8_t w[kNetworkHeaderWireSize] = {
      3, 0, 0, 0,  2, 1, 0, 0,  7, 0, 0, 0,  1, 0, 0, 0,  // flags, counts, proxy len
      10, 1, 2, 3,  255, 255, 255, 0,                      // client ip, mask (network order)
      4, 0, 0, 0,  0, 0, 0, 0,  0x10, 0x20, 0, 0};         // dns, wins, search len
  _VPN_NETWORK_HEADER_ h{};
  decode_network_header(w, &h);
  EXPECT_EQ(h.flags, 3u);
  EXPECT_EQ(h.resource_count, 0x102u);
  EXPECT_EQ(h.exclude_count, 7u);
  EXPECT_EQ(h.inside_proxy_len, 1u);
  EXPECT_EQ(h.vnc_clientip, ip4("10.1.2.3"));
  EXPECT_EQ(h.virtual_mask, ip4("255.255.255.0"));
  EXPECT_EQ(h.dns_count, 4u);
  EXPECT_EQ(h.search_domain_len, 0x2010u);
}

TEST(ConfigDecoders, ResourcePortsLittleEndianAddressesAsReceived) {
  const uint8_t w[kResourceWireSize] = {192, 168, 1, 0,  255, 255, 255, 0,  9, PORT_MATCH_RANGE,
                                        0x50, 0x00, 0xbb, 0x01, 1, 2, 3, 4, 5, 6,
                                        2, 0xaa, 0xbb, 0xcc};
  _VPN_RESOURCE_ r{};
  decode_resource(w, &r);
  EXPECT_EQ(r.ip, ip4("192.168.1.0"));
  EXPECT_EQ(r.mask, ip4("255.255.255.0"));
  EXPECT_EQ(r.reserved8, 9);
  EXPECT_EQ(r.port_match, PORT_MATCH_RANGE);
  EXPECT_EQ(r.ports[0], 80);
  EXPECT_EQ(r.ports[1], 443);
  EXPECT_EQ(r.ports[2], 0x0201);
  EXPECT_EQ(r.ports[4], 0x0605);
  EXPECT_EQ(r.type, 2);
  EXPECT_EQ(r.reserved21[2], 0xcc);
}

TEST(ConfigDecoders, ByteReaders) {
  const uint8_t b[4] = {0xfe, 0xed, 0xc0, 0xde};
  EXPECT_EQ(load_be32(b), 0xfeedc0deu);
  EXPECT_EQ(load_le32(b), 0xdec0edfeu);
  EXPECT_EQ(load_be16(b), 0xfeed);
  EXPECT_EQ(load_le16(b), 0xedfe);
}

TEST_F(ConfigStore, NetworkPointersSetAtStartCommonOnlyAfterReply) {
  m_pCommonCfg = nullptr;
  m_pHostMapList = nullptr;
  m_pLaunchCommandList = nullptr;
  m_pDisconnectCommandList = nullptr;
  m_VPNNetworkConfig.header.flags = 7;
  initial_network_config();
  EXPECT_EQ(m_pNetConfigFlag->flags, 0u);
  EXPECT_EQ(m_pNetConfigFlag, &m_VPNNetworkConfig.header);
  EXPECT_EQ(m_pResouceList, &m_VPNNetworkConfig.resources);
  EXPECT_EQ(m_pExcludeResouceList, &m_VPNNetworkConfig.exclude_resources);
  EXPECT_EQ(m_pInsideProxy, &m_VPNNetworkConfig.inside_proxy);
  EXPECT_EQ(m_pDNSList, &m_VPNNetworkConfig.dns);
  EXPECT_EQ(m_pWINSList, &m_VPNNetworkConfig.wins);
  EXPECT_EQ(m_pSearchDomainList, &m_VPNNetworkConfig.search_domains);
  EXPECT_EQ(m_pCommonCfg, nullptr);
  EXPECT_EQ(m_pDisconnectCommandList, nullptr);
  EXPECT_EQ(get_qn2_dns_priority(), 2);  // no common header yet
  EXPECT_EQ(Get_QN2_KeepAliveInterval(), 0u);
  initial_common_config();
  EXPECT_EQ(m_pCommonCfg, &m_VPNCommonConfig.header);
  EXPECT_EQ(m_pHostMapList, &m_VPNCommonConfig.host_map);
  EXPECT_EQ(m_pLaunchCommandList, &m_VPNCommonConfig.launch_commands);
  EXPECT_EQ(m_pDisconnectCommandList, &m_VPNCommonConfig.disconnect_commands);
}

TEST_F(ConfigStore, DnsPriorityTable) {
  struct Case {
    uint32_t w[3];
    int expected;
  };
  const Case cases[] = {
      {{3, 2, 3}, 2}, {{2, 3, 2}, 3}, {{0, 0, 0}, 2}, {{3, 0, 0}, 3},
      {{2, 0, 0}, 2}, {{0, 2, 3}, 2}, {{3, 3, 2}, 3}, {{7, 9, 1}, 2},
  };
  for (const Case& c : cases) {
    std::memcpy(m_pCommonCfg->dns_priority, c.w, sizeof c.w);
    EXPECT_EQ(get_qn2_dns_priority(), c.expected) << c.w[0] << "," << c.w[1] << "," << c.w[2];
  }
}

TEST_F(ConfigStore, FullTunnelFromMaskedAddressOnly) {
  add_resource("10.0.0.0", "255.0.0.0");
  set_fulltunnel_flag();
  EXPECT_EQ(is_fulltunnel(), 0);
  add_resource("10.0.0.0", "0.0.0.0");  // masked address 0: a default network
  set_fulltunnel_flag();
  EXPECT_EQ(is_fulltunnel(), 1);
}

TEST_F(ConfigStore, FullTunnelFlagFromGatewayIsKept) {
  m_pNetConfigFlag->flags = NETCFG_FULL_TUNNEL;
  add_resource("192.168.0.0", "255.255.0.0");
  set_fulltunnel_flag();
  EXPECT_EQ(is_fulltunnel(), 1);
}

TEST_F(ConfigStore, LocalAccessAnswersTheBit) {
  EXPECT_EQ(IsEnableLocalAccess(), 0);
  m_pNetConfigFlag->flags = NETCFG_LOCAL_ACCESS | NETCFG_FULL_TUNNEL;
  EXPECT_EQ(IsEnableLocalAccess(), 2);
}

TEST_F(ConfigStore, AddressTextsAndNullBuffers) {
  clientip_store(m_pNetConfigFlag, ip4("192.168.100.200"));
  m_pNetConfigFlag->virtual_mask = ip4("255.255.252.0");
  char out[16] = {};
  get_clientip(out);
  EXPECT_STREQ(out, "192.168.100.200");
  Get_QN2_VirtualIPMask(out);
  EXPECT_STREQ(out, "255.255.252.0");
  get_clientip(nullptr);
  Get_QN2_VirtualIPMask(nullptr);
  m_pCommonCfg->keepalive_interval = 0;
  EXPECT_EQ(Get_QN2_KeepAliveInterval(), 0u);  // no default applied here
  EXPECT_EQ(IsDisableLocalDns(), 0);
}
