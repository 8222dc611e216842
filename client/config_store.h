// The gateway's tunnel configuration: two fixed-capacity blocks and the
// pointers every subsystem reads them through.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

enum : uint32_t { NETCFG_FULL_TUNNEL = 1, NETCFG_LOCAL_ACCESS = 2 };
enum : uint8_t { PORT_MATCH_ONE = 1, PORT_MATCH_LIST = 2, PORT_MATCH_RANGE = 3 };
enum : uint32_t { PROXY_MANUAL = 0, PROXY_SCRIPT = 1, PROXY_NONE = 2 };

inline constexpr std::size_t kCommonHeaderWireSize = 56;
inline constexpr std::size_t kNetworkHeaderWireSize = 36;
inline constexpr std::size_t kResourceWireSize = 24;

// Integers little-endian on the wire.
struct _VPN_COMMON_HEADER_ {
  uint32_t reserved0;
  uint32_t reserved4;
  uint32_t keepalive_interval;
  uint32_t dns_priority[3];
  uint32_t reserved24[4];
  uint32_t host_map_len;
  uint32_t launch_cmd_len;
  uint32_t disconnect_cmd_len;
  uint32_t reserved52;
};
static_assert(sizeof(_VPN_COMMON_HEADER_) == kCommonHeaderWireSize);
static_assert(offsetof(_VPN_COMMON_HEADER_, keepalive_interval) == 8);
static_assert(offsetof(_VPN_COMMON_HEADER_, dns_priority) == 12);
static_assert(offsetof(_VPN_COMMON_HEADER_, reserved24) == 24);
static_assert(offsetof(_VPN_COMMON_HEADER_, host_map_len) == 40);
static_assert(offsetof(_VPN_COMMON_HEADER_, launch_cmd_len) == 44);
static_assert(offsetof(_VPN_COMMON_HEADER_, disconnect_cmd_len) == 48);
static_assert(offsetof(_VPN_COMMON_HEADER_, reserved52) == 52);

// Counts little-endian; vnc_clientip and virtual_mask in network order.
struct _VPN_NETWORK_HEADER_ {
  uint32_t flags;
  uint32_t resource_count;
  uint32_t exclude_count;
  uint32_t inside_proxy_len;
  uint32_t vnc_clientip;  // read/written across threads via clientip_load/store
  uint32_t virtual_mask;
  uint32_t dns_count;
  uint32_t wins_count;
  uint32_t search_domain_len;
};
static_assert(sizeof(_VPN_NETWORK_HEADER_) == kNetworkHeaderWireSize);
static_assert(offsetof(_VPN_NETWORK_HEADER_, resource_count) == 4);
static_assert(offsetof(_VPN_NETWORK_HEADER_, exclude_count) == 8);
static_assert(offsetof(_VPN_NETWORK_HEADER_, inside_proxy_len) == 12);
static_assert(offsetof(_VPN_NETWORK_HEADER_, vnc_clientip) == 16);
static_assert(offsetof(_VPN_NETWORK_HEADER_, virtual_mask) == 20);
static_assert(offsetof(_VPN_NETWORK_HEADER_, dns_count) == 24);
static_assert(offsetof(_VPN_NETWORK_HEADER_, wins_count) == 28);
static_assert(offsetof(_VPN_NETWORK_HEADER_, search_domain_len) == 32);

struct _VPN_RESOURCE_ {
  uint32_t ip;    // network order, bytes as received
  uint32_t mask;  // network order
  uint8_t reserved8;
  uint8_t port_match;
  uint16_t ports[5];  // decoded from little-endian
  uint8_t type;
  uint8_t reserved21[3];
};
static_assert(sizeof(_VPN_RESOURCE_) == kResourceWireSize);
static_assert(offsetof(_VPN_RESOURCE_, mask) == 4);
static_assert(offsetof(_VPN_RESOURCE_, port_match) == 9);
static_assert(offsetof(_VPN_RESOURCE_, ports) == 10);
static_assert(offsetof(_VPN_RESOURCE_, type) == 20);

inline constexpr std::size_t kHostMapCapacity = 128;
inline constexpr std::size_t kCommandCapacity = 128;
inline constexpr std::size_t kResourceCapacity = 1024;
inline constexpr std::size_t kIpListCapacity = 128;
inline constexpr std::size_t kSearchDomainCapacity = 128;

struct _VPN_HOST_MAP_ {
  uint32_t ip;  // network order; 0: ip_text holds the address
  char ip_text[40];
  char host_name[64];
};
struct _VPN_HOST_MAP_LIST_ {
  uint32_t count;
  _VPN_HOST_MAP_ entries[kHostMapCapacity];
};
struct _VPN_COMMAND_LIST_ {
  uint32_t count;
  char commands[kCommandCapacity][1024];
};
struct _VPN_RESOURCE_LIST_ {
  uint32_t count;
  _VPN_RESOURCE_ entries[kResourceCapacity];
};
struct _VPN_IP_LIST_ {
  uint32_t count;
  uint32_t ips[kIpListCapacity];  // network order
};
struct _VPN_SEARCHDOMAIN_LIST_ {
  uint32_t count;
  char domains[kSearchDomainCapacity][256];
};
struct _VPN_INSIDEPROXY_ {
  uint32_t type;
  char proxy[256];
};

struct _VPN_COMMON_CONFIG_ {
  _VPN_COMMON_HEADER_ header;
  _VPN_HOST_MAP_LIST_ host_map;
  _VPN_COMMAND_LIST_ launch_commands;
  _VPN_COMMAND_LIST_ disconnect_commands;
};
struct _VPN_NETWORK_CONFIG_ {
  _VPN_NETWORK_HEADER_ header;
  _VPN_RESOURCE_LIST_ resources;
  _VPN_RESOURCE_LIST_ exclude_resources;
  _VPN_INSIDEPROXY_ inside_proxy;
  _VPN_IP_LIST_ dns;
  _VPN_IP_LIST_ wins;
  _VPN_SEARCHDOMAIN_LIST_ search_domains;
};

// Generation-1 reply header (big-endian on the wire); stays zero under
// generation 2.
struct _VPN_CONFIG_REPLY_ {
  uint32_t msgtype;
  uint32_t length;
  uint32_t reserved[4];
  uint32_t skip_len;
  uint32_t flags;  // 0x80 local access, 0x20 local DNS disabled
};

extern _VPN_COMMON_CONFIG_ m_VPNCommonConfig;
extern _VPN_NETWORK_CONFIG_ m_VPNNetworkConfig;
extern _VPN_CONFIG_REPLY_ creply;

extern _VPN_COMMON_HEADER_* m_pCommonCfg;
extern _VPN_HOST_MAP_LIST_* m_pHostMapList;
extern _VPN_COMMAND_LIST_* m_pLaunchCommandList;
extern _VPN_COMMAND_LIST_* m_pDisconnectCommandList;
extern _VPN_NETWORK_HEADER_* m_pNetConfigFlag;
extern _VPN_RESOURCE_LIST_* m_pResouceList;
extern _VPN_RESOURCE_LIST_* m_pExcludeResouceList;
extern _VPN_INSIDEPROXY_* m_pInsideProxy;
extern _VPN_IP_LIST_* m_pDNSList;
extern _VPN_IP_LIST_* m_pWINSList;
extern _VPN_SEARCHDOMAIN_LIST_* m_pSearchDomainList;

// Explicit decoders of the wire layouts (no casts of received buffers).
void decode_common_header(const uint8_t (&wire)[kCommonHeaderWireSize], _VPN_COMMON_HEADER_* out);
void decode_network_header(const uint8_t (&wire)[kNetworkHeaderWireSize], _VPN_NETWORK_HEADER_* out);
void decode_resource(const uint8_t (&wire)[kResourceWireSize], _VPN_RESOURCE_* out);
// Little-/big-endian readers shared by the receivers.
uint32_t load_le32(const uint8_t* p);
uint16_t load_le16(const uint8_t* p);
uint32_t load_be32(const uint8_t* p);
uint16_t load_be16(const uint8_t* p);

// vnc_clientip is one aligned word that a reconnection may replace while the
// statistics worker reads it.
inline uint32_t clientip_load(const _VPN_NETWORK_HEADER_* h) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(h->vnc_clientip)).load(std::memory_order_relaxed);
}
inline void clientip_store(_VPN_NETWORK_HEADER_* h, uint32_t ip) {
  std::atomic_ref<uint32_t>(h->vnc_clientip).store(ip, std::memory_order_relaxed);
}

// Dotted text of a network-order IPv4 address, cut to `cap`; empty on failure.
void ipv4_text(uint32_t netorder, char* out, std::size_t cap);

int initial_network_config();
int initial_common_config();
void set_fulltunnel_flag();
int is_fulltunnel();
int IsEnableLocalAccess();
void get_clientip(char* out);
int IsDisableLocalDns();
int get_qn2_dns_priority();
void Get_QN2_VirtualIPMask(char* out);
uint32_t Get_QN2_KeepAliveInterval();
