// Definitions of the process-wide state shared across subsystems.
#include <pthread.h>

#include "client/config_store.h"
#include "client/hostnet_ops.h"
#include "client/route_entry.h"
#include "client/vpn_globals.h"

std::atomic<int64_t> g_starttick{0};
std::atomic<uint64_t> g_byte_in{0};
std::atomic<uint64_t> g_byte_out{0};
std::atomic<int64_t> g_lasttunnelrecv{0};
pthread_mutex_t mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
std::mutex g_conn_lock;

std::atomic<int> sockfdctl{-1};
std::atomic<int> connfd{-1};
std::atomic<int> g_vpnExit{0};

_VPN_COMMON_CONFIG_ m_VPNCommonConfig;
_VPN_NETWORK_CONFIG_ m_VPNNetworkConfig;
_VPN_CONFIG_REPLY_ creply;
_VPN_COMMON_HEADER_* m_pCommonCfg = nullptr;
_VPN_HOST_MAP_LIST_* m_pHostMapList = nullptr;
_VPN_COMMAND_LIST_* m_pLaunchCommandList = nullptr;
_VPN_COMMAND_LIST_* m_pDisconnectCommandList = nullptr;
_VPN_NETWORK_HEADER_* m_pNetConfigFlag = nullptr;
_VPN_RESOURCE_LIST_* m_pResouceList = nullptr;
_VPN_RESOURCE_LIST_* m_pExcludeResouceList = nullptr;
_VPN_INSIDEPROXY_* m_pInsideProxy = nullptr;
_VPN_IP_LIST_* m_pDNSList = nullptr;
_VPN_IP_LIST_* m_pWINSList = nullptr;
_VPN_SEARCHDOMAIN_LIST_* m_pSearchDomainList = nullptr;

route_list rt_ori_list;
route_list rt_add_list;
route_list rt_del_list;
vpn_route_entry qn_route;
std::vector<interface_ip> iface_list;
char if_name_to_lum[16] = {};
char usedifname[512] = {};
char g_NetworkServiceName[512] = {};
int g_restore_hostmap = 0;
