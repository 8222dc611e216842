// Handshake state tables and the protocol handler slots.
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/session.h"

enum : int { VPNC_STATE_FATAL = 200, VPNC_STATE_STOP = 201, VPNC_STATE_DONE = 202, VPNC_STATE_NEXT = 203 };
enum : int { XFER_PENDING = 1, XFER_OK = 2, XFER_FAILED = 3 };
enum : int { DTOR_DESTROYED = 0, DTOR_BUSY = -1, DTOR_RECONNECTED = -2, DTOR_RECONNECTING = -3 };

using vpnc_state_handler = int (*)(vpnc_session*);

struct vpnc_state_entry {
  uint32_t state;
  vpnc_state_handler handler;
  const char* name;
};

struct process_handler_table {
  char* (*create_get)(vpnc_session*, const char* path);
  int (*config_rqt)(vpnc_session*);
  int (*config_receive)(vpnc_session*);
  int (*config_tunnel)(vpnc_session*);
  int (*post_config)(vpnc_session*);
  int (*data_transfer)(vpnc_session*);
  int (*dtor)(vpnc_session*, int reconnect, int force, int* done);
};

extern process_handler_table process_handler;
extern vpnc_state_entry vpnc_handshake_states[10];
extern vpnc_state_entry vpnc_reconnect_states[8];

int initial_process_handler(unsigned version);
int vpnc_handshake_driver(vpnc_session* s, vpnc_state_entry* table);
int vpnc_data_transfer(vpnc_session* s);
int vpnc_dtor(vpnc_session* s, int reconnect, int force, int* done);

// State handlers.
int vpnc_client_start(vpnc_session* s);
int vpnc_client_proxy_connect(vpnc_session* s);
int vpnc_client_wait_proxy_auth(vpnc_session* s);
int vpnc_client_wait_ntlm_neg(vpnc_session* s);
int vpnc_client_start_atp(vpnc_session* s);
int vpnc_client_wait_atp_config_rqt(vpnc_session* s);
int vpnc_client_wait_commonconfig_reply(vpnc_session* s);
int vpnc_client_exhaust_config_reply(vpnc_session* s);
int vpnc_client_config_tunnel(vpnc_session* s);
int vpnc_client_post_config_client(vpnc_session* s);

// Generation-2 handler set.
char* create_get_qn2(vpnc_session* s, const char* path);
int config_rqt_qn2(vpnc_session* s);
int config_receive_qn2(vpnc_session* s);
int config_tunnel(vpnc_session* s);
int post_config_qn2(vpnc_session* s);
int vpn_data_transfer_qn2(vpnc_session* s);
int vpn_dtor_qn2(vpnc_session* s, int reconnect, int force, int* done);

// Generation-1 handler set (never selected by start-up).
char* create_get_qn1(vpnc_session* s, const char* path);
int config_rqt_qn1(vpnc_session* s);
int config_receive_qn1(vpnc_session* s);
int post_config_qn1(vpnc_session* s);
int vpn_data_transfer_qn1(vpnc_session* s);
int vpn_dtor_qn1(vpnc_session* s, int reconnect, int force, int* done);

// The driver over any table of `rows` rows (unit tests, and the two tables
// above); `first_connection` stops between states once a forced end is asked.
int vpnc_handshake_driver_rows(vpnc_session* s, const vpnc_state_entry* table, std::size_t rows,
                               bool first_connection);
