// The two state tables, the protocol handler slots and the driver that runs a
// table.
#include <cstddef>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/controller.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";
}  // namespace

process_handler_table process_handler{};

vpnc_state_entry vpnc_handshake_states[10] = {
    {0, vpnc_client_start, "VPNC_CLIENT_START"},
    {1, vpnc_client_proxy_connect, "VPNC_CLIENT_WAIT_PROXY_CONNECT"},
    {2, vpnc_client_wait_proxy_auth, "VPNC_CLIENT_WAIT_PROXY_AUTH"},
    {3, vpnc_client_wait_ntlm_neg, "VPNC_CLIENT_WAIT_NTLM_NEG"},
    {4, vpnc_client_start_atp, "VPNC_CLIENT_START_ATP"},
    {5, vpnc_client_wait_atp_config_rqt, "VPNC_CLIENT_WAIT_ATP_CONFIG_RQT"},
    {6, vpnc_client_wait_commonconfig_reply, "VPNC_CLIENT_WAIT_COMMON_CONFIG_REPLY"},
    {7, vpnc_client_config_tunnel, "VPNC_CLIENT_CONFIG_TUNNEL"},
    {8, vpnc_client_post_config_client, "VPNC_CLIENT_POST_CONFIG_CLIENT"},
    {9, nullptr, "VPNC_TUNNEL_CLOSED"},
};

vpnc_state_entry vpnc_reconnect_states[8] = {
    {0, vpnc_client_start, "VPNC_CLIENT_START"},
    {1, vpnc_client_proxy_connect, "VPNC_CLIENT_WAIT_PROXY_CONNECT"},
    {2, vpnc_client_wait_proxy_auth, "VPNC_CLIENT_WAIT_PROXY_AUTH"},
    {3, vpnc_client_wait_ntlm_neg, "VPNC_CLIENT_WAIT_NTLM_NEG"},
    {4, vpnc_client_start_atp, "VPNC_CLIENT_START_ATP"},
    {5, vpnc_client_wait_atp_config_rqt, "VPNC_CLIENT_WAIT_ATP_CONFIG_RQT"},
    {6, vpnc_client_exhaust_config_reply, "VPNC_CLIENT_EXHAUST_CONFIG_REPLY"},
    {7, nullptr, "VPNC_TUNNEL_CLOSED"},
};

int initial_process_handler(unsigned version) {
  process_handler.config_tunnel = config_tunnel;
  switch (version) {
    case 2:
      process_handler.create_get = create_get_qn2;
      process_handler.config_rqt = config_rqt_qn2;
      process_handler.config_receive = config_receive_qn2;
      process_handler.post_config = post_config_qn2;
      process_handler.data_transfer = vpn_data_transfer_qn2;
      process_handler.dtor = vpn_dtor_qn2;
      return 0;
    case 1:
      process_handler.create_get = create_get_qn1;
      process_handler.config_rqt = config_rqt_qn1;
      process_handler.config_receive = config_receive_qn1;
      process_handler.post_config = post_config_qn1;
      process_handler.data_transfer = vpn_data_transfer_qn1;
      process_handler.dtor = vpn_dtor_qn1;
      return 0;
    default:
      VPN_LOG("Invalid quon version index");
      return -1;
  }
}

int vpnc_handshake_driver_rows(vpnc_session* s, const vpnc_state_entry* table, std::size_t rows,
                               bool first_connection) {
  int32_t st = s->state;
  if (st < 0 || static_cast<std::size_t>(st) >= rows) return -1;
  for (;;) {
    // A forced end asked for during the first handshake stops it between
    // states; the teardown then runs with nothing half-changed.
    if (first_connection && vpn_dtor_interrupted()) {
      VPN_LOG("Vpn interruptted flag is set, handshake stopped");
      return -1;
    }
    vpnc_state_handler h = table[st].handler;
    int r = h ? h(s) : VPNC_STATE_FATAL;
    if (r == VPNC_STATE_NEXT) {
      st = s->state;
      if (st < 0 || static_cast<std::size_t>(st) >= rows) return -1;
      continue;
    }
    if (r == VPNC_STATE_FATAL) {
      VPN_LOG("Error happen on vpn driver, exit daemon");
      return -1;
    }
    return 0;
  }
}

int vpnc_handshake_driver(vpnc_session* s, vpnc_state_entry* table) {
  if (table == vpnc_reconnect_states) return vpnc_handshake_driver_rows(s, table, 8, false);
  if (table != vpnc_handshake_states) return -1;
  if (vpnc_handshake_begin() != 0) {
    VPN_LOG("Vpn is being destroyed, handshake not started");
    return -1;
  }
  int r = vpnc_handshake_driver_rows(s, table, 10, true);
  vpnc_handshake_end(r != 0);
  return r;
}

int vpnc_data_transfer(vpnc_session* s) {
  return process_handler.data_transfer ? process_handler.data_transfer(s) : XFER_FAILED;
}

int vpnc_dtor(vpnc_session* s, int reconnect, int force, int* done) {
  // A terminating signal may come before the slots are filled.
  auto dtor = process_handler.dtor ? process_handler.dtor : vpn_dtor_qn2;
  return dtor(s, reconnect, force, done);
}
