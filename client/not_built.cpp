// Weak stand-ins for operations that are not built yet. Each one says so in
// the log and answers failure; the real definition replaces it at link time.
#include "client/cmd_runner.h"
#include "client/config_store.h"
#include "client/diag.h"
#include "client/hostnet_ops.h"
#include "client/process_handler.h"
#include "client/route_entry.h"
#include "client/tunnel_ops.h"
#include "client/vpn_globals.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
void not_built(const char* func) { vpn_log(kLogModule, __LINE__, func, "not built in this version"); }
}  // namespace

#define WEAK __attribute__((weak))

WEAK int initial_process_handler(unsigned) {
  not_built("initial_process_handler");
  return -1;
}

WEAK int vpnc_handshake_driver(vpnc_session*, vpnc_state_entry*) {
  not_built("vpnc_handshake_driver");
  return -1;
}

WEAK int vpnc_data_transfer(vpnc_session*) {
  not_built("vpnc_data_transfer");
  return XFER_FAILED;
}

WEAK int vpnc_dtor(vpnc_session*, int, int, int* done) {
  not_built("vpnc_dtor");
  return (*done = 1, DTOR_DESTROYED);
}

WEAK char* create_get_qn2(vpnc_session*, const char*) {
  not_built("create_get_qn2");
  return nullptr;
}

WEAK int config_rqt_qn2(vpnc_session*) {
  not_built("config_rqt_qn2");
  return -1;
}

WEAK int config_receive_qn2(vpnc_session*) {
  not_built("config_receive_qn2");
  return -1;
}

WEAK int config_tunnel(vpnc_session*) {
  not_built("config_tunnel");
  return -1;
}

WEAK int post_config_qn2(vpnc_session*) {
  not_built("post_config_qn2");
  return 0;
}

WEAK int vpn_data_transfer_qn2(vpnc_session*) {
  not_built("vpn_data_transfer_qn2");
  return XFER_FAILED;
}

WEAK int vpn_dtor_qn2(vpnc_session*, int, int, int* done) {
  not_built("vpn_dtor_qn2");
  return (*done = 1, DTOR_DESTROYED);
}

WEAK int vpnc_client_start(vpnc_session*) {
  not_built("vpnc_client_start");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_proxy_connect(vpnc_session*) {
  not_built("vpnc_client_proxy_connect");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_wait_proxy_auth(vpnc_session*) {
  not_built("vpnc_client_wait_proxy_auth");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_wait_ntlm_neg(vpnc_session*) {
  not_built("vpnc_client_wait_ntlm_neg");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_start_atp(vpnc_session*) {
  not_built("vpnc_client_start_atp");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_wait_atp_config_rqt(vpnc_session*) {
  not_built("vpnc_client_wait_atp_config_rqt");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_wait_commonconfig_reply(vpnc_session*) {
  not_built("vpnc_client_wait_commonconfig_reply");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_exhaust_config_reply(vpnc_session*) {
  not_built("vpnc_client_exhaust_config_reply");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_config_tunnel(vpnc_session*) {
  not_built("vpnc_client_config_tunnel");
  return VPNC_STATE_FATAL;
}

WEAK int vpnc_client_post_config_client(vpnc_session*) {
  not_built("vpnc_client_post_config_client");
  return VPNC_STATE_FATAL;
}

WEAK char tunname[16];

WEAK int utun_device_config() {
  not_built("utun_device_config");
  return -1;
}

WEAK int config_utun_ip(vpnc_session*) {
  not_built("config_utun_ip");
  return 0;
}

WEAK void* keepalive_thread(void*) {
  not_built("keepalive_thread");
  return nullptr;
}

WEAK void* browser_closed_or_not(void*) {
  not_built("browser_closed_or_not");
  return nullptr;
}

WEAK void* inside_proxy_download_thread(void*) {
  not_built("inside_proxy_download_thread");
  return nullptr;
}

WEAK void* main_socket_listen_thread(void*) {
  not_built("main_socket_listen_thread");
  return nullptr;
}

WEAK void* sub_socket_listen_thread(void*) {
  not_built("sub_socket_listen_thread");
  return nullptr;
}

WEAK void* vpnc_writepipe(void*) {
  not_built("vpnc_writepipe");
  return nullptr;
}

WEAK int forknexec(const char*, int) {
  not_built("forknexec");
  return 0;
}

WEAK int executeCommand(_VPN_COMMAND_LIST_*) {
  not_built("executeCommand");
  return 0;
}

WEAK int forknexec_Command(const char*, int) {
  not_built("forknexec_Command");
  return 0;
}

WEAK int route_snapshot_mac(route_list&, const char*) {
  not_built("route_snapshot_mac");
  return -1;
}

WEAK int route_snapshot_4one_mac(route_list&, const char*) {
  not_built("route_snapshot_4one_mac");
  return -1;
}

WEAK int add_route_mac(const vpn_route_entry&, int, int) {
  not_built("add_route_mac");
  return 0;
}

WEAK int del_route_mac(const vpn_route_entry&, int, int) {
  not_built("del_route_mac");
  return 0;
}

WEAK int find_route(uint32_t, const route_list&, vpn_route_entry*) {
  not_built("find_route");
  return 0;
}

WEAK int check_default_route() {
  not_built("check_default_route");
  return -1;
}

WEAK int set_vpn_route_table(vpn_route_entry*, vpnc_session*) {
  not_built("set_vpn_route_table");
  return -1;
}

WEAK void get_localhost_netinfo(const char*, _LocalHostNetInfo*) {
  not_built("get_localhost_netinfo");
}

WEAK int get_active_interface_addr(std::vector<interface_ip>&) {
  not_built("get_active_interface_addr");
  return -1;
}

WEAK int get_interface_name(char*) {
  not_built("get_interface_name");
  return -1;
}

WEAK int enable_splittunnel_local_access(vpn_route_entry*, uint32_t*, uint32_t*) {
  not_built("enable_splittunnel_local_access");
  return 1;
}

WEAK void enable_fulltunnel_local_access_mac(vpn_route_entry*) {
  not_built("enable_fulltunnel_local_access_mac");
}

WEAK int setHostMap(_VPN_HOST_MAP_LIST_*) {
  not_built("setHostMap");
  return 0;
}

WEAK int restoreHostMap() {
  not_built("restoreHostMap");
  return 1;
}

WEAK void sethost_mac(unsigned long, const char*) {
  not_built("sethost_mac");
}

WEAK void restore_routes() {
  not_built("restore_routes");
}

WEAK void restore_default_route() {
  not_built("restore_default_route");
}

WEAK bool default_route_is_tun() {
  not_built("default_route_is_tun");
  return false;
}

WEAK int reconn_delete_route() {
  not_built("reconn_delete_route");
  return 0;
}

WEAK int reconnected_add_route(vpnc_session*) {
  not_built("reconnected_add_route");
  return -1;
}

WEAK int set_vpn_dns_server_mac(dns_configure*) {
  not_built("set_vpn_dns_server_mac");
  return -1;
}

WEAK int restore_dns_config() {
  not_built("restore_dns_config");
  return -1;
}

WEAK int set_dns_search_domains_mac(_VPN_SEARCHDOMAIN_LIST_*, const char*) {
  not_built("set_dns_search_domains_mac");
  return -1;
}

WEAK int generate_outside_script_mac(vpnc_session*, const char*) {
  not_built("generate_outside_script_mac");
  return -1;
}

WEAK int setoriginalproxy_mac(vpnc_session*) {
  not_built("setoriginalproxy_mac");
  return -1;
}

WEAK int initial_network_config() {
  not_built("initial_network_config");
  return 1;
}

WEAK int initial_common_config() {
  not_built("initial_common_config");
  return 1;
}

WEAK void set_fulltunnel_flag() {
  not_built("set_fulltunnel_flag");
}

WEAK int is_fulltunnel() {
  not_built("is_fulltunnel");
  return 0;
}

WEAK int IsEnableLocalAccess() {
  not_built("IsEnableLocalAccess");
  return 0;
}

WEAK void get_clientip(char*) {
  not_built("get_clientip");
}

// The state table the handshake driver walks; the state machine defines it.
WEAK vpnc_state_entry vpnc_handshake_states[10] = {};
