// Queries and wire decoders of the gateway's tunnel configuration.
#include "client/config_store.h"

#include <arpa/inet.h>

#include <cstdio>

#include <cstring>

#include "client/diag.h"

namespace {
constexpr const char kLogModule[] = "vpn_getconfig_qn2";

// Addresses and masks keep their wire bytes: they are network order as
// received and every reader treats them so.
uint32_t load_raw32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace

uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint16_t load_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

void decode_common_header(const uint8_t (&w)[kCommonHeaderWireSize], _VPN_COMMON_HEADER_* out) {
  out->reserved0 = load_le32(w + 0);
  out->reserved4 = load_le32(w + 4);
  out->keepalive_interval = load_le32(w + 8);
  for (int i = 0; i < 3; ++i) out->dns_priority[i] = load_le32(w + 12 + 4 * i);
  for (int i = 0; i < 4; ++i) out->reserved24[i] = load_le32(w + 24 + 4 * i);
  out->host_map_len = load_le32(w + 40);
  out->launch_cmd_len = load_le32(w + 44);
  out->disconnect_cmd_len = load_le32(w + 48);
  out->reserved52 = load_le32(w + 52);
}

void decode_network_header(const uint8_t (&w)[kNetworkHeaderWireSize], _VPN_NETWORK_HEADER_* out) {
  out->flags = load_le32(w + 0);
  out->resource_count = load_le32(w + 4);
  out->exclude_count = load_le32(w + 8);
  out->inside_proxy_len = load_le32(w + 12);
  out->vnc_clientip = load_raw32(w + 16);
  out->virtual_mask = load_raw32(w + 20);
  out->dns_count = load_le32(w + 24);
  out->wins_count = load_le32(w + 28);
  out->search_domain_len = load_le32(w + 32);
}

void decode_resource(const uint8_t (&w)[kResourceWireSize], _VPN_RESOURCE_* out) {
  out->ip = load_raw32(w + 0);
  out->mask = load_raw32(w + 4);
  out->reserved8 = w[8];
  out->port_match = w[9];
  for (int i = 0; i < 5; ++i) out->ports[i] = load_le16(w + 10 + 2 * i);
  out->type = w[20];
  std::memcpy(out->reserved21, w + 21, sizeof out->reserved21);
}

void ipv4_text(uint32_t netorder, char* out, std::size_t cap) {
  if (cap == 0) return;
  char tmp[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &netorder, tmp, sizeof tmp) == nullptr) tmp[0] = '\0';
  std::snprintf(out, cap, "%s", tmp);
}

int initial_network_config() {
  std::memset(&m_VPNNetworkConfig, 0, sizeof m_VPNNetworkConfig);
  m_pNetConfigFlag = &m_VPNNetworkConfig.header;
  m_pResouceList = &m_VPNNetworkConfig.resources;
  m_pExcludeResouceList = &m_VPNNetworkConfig.exclude_resources;
  m_pInsideProxy = &m_VPNNetworkConfig.inside_proxy;
  m_pDNSList = &m_VPNNetworkConfig.dns;
  m_pWINSList = &m_VPNNetworkConfig.wins;
  m_pSearchDomainList = &m_VPNNetworkConfig.search_domains;
  return 1;
}

int initial_common_config() {
  std::memset(&m_VPNCommonConfig, 0, sizeof m_VPNCommonConfig);
  m_pCommonCfg = &m_VPNCommonConfig.header;
  m_pHostMapList = &m_VPNCommonConfig.host_map;
  m_pLaunchCommandList = &m_VPNCommonConfig.launch_commands;
  m_pDisconnectCommandList = &m_VPNCommonConfig.disconnect_commands;
  return 1;
}

void set_fulltunnel_flag() {
  if (m_pResouceList == nullptr || m_pNetConfigFlag == nullptr) {
    VPN_LOG("network resoure list is not valid");
    return;
  }
  uint32_t n = m_pResouceList->count;
  if (n > kResourceCapacity) n = kResourceCapacity;
  for (uint32_t i = 0; i < n; ++i) {
    const _VPN_RESOURCE_& r = m_pResouceList->entries[i];
    if ((r.ip & r.mask) == 0) {
      m_pNetConfigFlag->flags |= NETCFG_FULL_TUNNEL;
      VPN_LOG("This vpn will be set full tunnel mode");
      return;
    }
  }
}

int is_fulltunnel() {
  if (m_pNetConfigFlag == nullptr) return 0;
  return (m_pNetConfigFlag->flags & NETCFG_FULL_TUNNEL) ? 1 : 0;
}

int IsEnableLocalAccess() {
  if (m_pNetConfigFlag == nullptr) return 0;
  return int(m_pNetConfigFlag->flags & NETCFG_LOCAL_ACCESS);
}

void get_clientip(char* out) {
  if (out == nullptr) return;
  ipv4_text(m_pNetConfigFlag ? clientip_load(m_pNetConfigFlag) : 0, out, INET_ADDRSTRLEN);
}

int IsDisableLocalDns() { return (creply.flags & 0x20) ? 1 : 0; }

int get_qn2_dns_priority() {
  if (m_pCommonCfg == nullptr) return 2;
  int last2 = -1;
  int last3 = -1;
  for (int i = 0; i < 3; ++i) {
    if (m_pCommonCfg->dns_priority[i] == 2) last2 = i;
    if (m_pCommonCfg->dns_priority[i] == 3) last3 = i;
  }
  if (last2 >= 0 && last3 >= 0) return last2 > last3 ? 3 : 2;
  return last3 >= 0 ? 3 : 2;
}

void Get_QN2_VirtualIPMask(char* out) {
  if (out == nullptr) return;
  ipv4_text(m_pNetConfigFlag ? m_pNetConfigFlag->virtual_mask : 0, out, INET_ADDRSTRLEN);
}

uint32_t Get_QN2_KeepAliveInterval() { return m_pCommonCfg ? m_pCommonCfg->keepalive_interval : 0; }
