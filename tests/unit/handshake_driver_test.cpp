#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/diag.h"
#include "client/process_handler.h"
#include "client/session/controller.h"

namespace {

std::vector<int> g_calls;
int g_next[10];   // state each handler stores
int g_answer[10];  // what each handler answers

int handler(vpnc_session* s, int row) {
  g_calls.push_back(row);
  if (g_next[row] >= 0) s->state = g_next[row];
  return g_answer[row];
}
template <int Row>
int h(vpnc_session* s) {
  return handler(s, Row);
}

struct Driver : ::testing::Test {
  vpnc_state_entry table[5] = {{0, h<0>, "S0"}, {1, h<1>, "S1"}, {2, h<2>, "S2"}, {3, h<3>, "S3"}, {4, nullptr, "END"}};
  vpnc_session s;
  std::vector<std::string> log;
  void SetUp() override {
    vpnc_session_reset(&s);
    g_calls.clear();
    for (int i = 0; i < 10; ++i) g_next[i] = -1, g_answer[i] = VPNC_STATE_DONE;
    vpn_log_set_sink([this](int, const char* l) { log.emplace_back(l); });
  }
  void TearDown() override { vpn_log_set_sink(nullptr); }
};

}  // namespace

TEST_F(Driver, StateOutsideTheTableCallsNothing) {
  for (int st : {-1, 5, 1000}) {
    s.state = st;
    EXPECT_EQ(vpnc_handshake_driver_rows(&s, table, 5, false), -1) << st;
  }
  s.state = 10;
  EXPECT_EQ(vpnc_handshake_driver(&s, vpnc_handshake_states), -1);
  s.state = 8;
  EXPECT_EQ(vpnc_handshake_driver(&s, vpnc_reconnect_states), -1);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_TRUE(log.empty());
}

TEST_F(Driver, NextFollowsTheStoredStateUntilDone) {
  g_next[0] = 2, g_answer[0] = VPNC_STATE_NEXT;
  g_next[2] = 1, g_answer[2] = VPNC_STATE_NEXT;
  g_answer[1] = VPNC_STATE_DONE;
  s.state = 0;
  EXPECT_EQ(vpnc_handshake_driver_rows(&s, table, 5, false), 0);
  EXPECT_EQ(g_calls, (std::vector<int>{0, 2, 1}));
}

TEST_F(Driver, Results) {
  struct Case {
    int answer;
    int result;
    bool logged;
  };
  for (Case c : {Case{VPNC_STATE_FATAL, -1, true}, Case{VPNC_STATE_STOP, 0, false}, Case{VPNC_STATE_DONE, 0, false},
                 Case{-1, 0, false}, Case{7, 0, false}}) {
    log.clear();
    g_answer[3] = c.answer;
    s.state = 3;
    EXPECT_EQ(vpnc_handshake_driver_rows(&s, table, 5, false), c.result) << c.answer;
    EXPECT_EQ(log.size(), c.logged ? 1u : 0u) << c.answer;
    if (c.logged) {
      EXPECT_NE(log[0].find("vpn_client at "), std::string::npos);
      EXPECT_NE(log[0].find(":Error happen on vpn driver, exit daemon"), std::string::npos);
    }
  }
}

TEST_F(Driver, StoredStateOutsideTheTableEndsTheRun) {
  g_next[0] = 9, g_answer[0] = VPNC_STATE_NEXT;
  s.state = 0;
  EXPECT_EQ(vpnc_handshake_driver_rows(&s, table, 5, false), -1);
  EXPECT_EQ(g_calls, (std::vector<int>{0}));
}

TEST_F(Driver, FirstHandshakeStopsBetweenStatesOnceAForcedEndIsAsked) {
  vpn_dtor_reset_for_test();
  ASSERT_EQ(vpnc_handshake_begin(), 0);
  g_next[0] = 1, g_answer[0] = VPNC_STATE_NEXT;
  s.state = 0;
  // Row 0 runs; a forced end raised while it runs stops the run before row 1.
  g_answer[0] = VPNC_STATE_NEXT;
  auto raise = +[](vpnc_session* ss) {
    int done = 0;
    // Busy: the handshake holds the controller.
    int r = vpn_dtor_qn2(ss, 0, 1, &done);
    g_calls.push_back(100 + r);
    ss->state = 1;
    return static_cast<int>(VPNC_STATE_NEXT);
  };
  vpn_dtor_ops fake{};
  fake.sleep_seconds = [](unsigned) {};
  vpn_dtor_set_ops(&fake);
  vpnc_state_entry t[3] = {{0, raise, "A"}, {1, h<1>, "B"}, {2, nullptr, "C"}};
  EXPECT_EQ(vpnc_handshake_driver_rows(&s, t, 3, true), -1);
  vpnc_handshake_end();
  EXPECT_EQ(g_calls, (std::vector<int>{100 + DTOR_BUSY}));
  // With the flag raised the first handshake does not start at all.
  s.state = 0;
  EXPECT_EQ(vpnc_handshake_driver(&s, vpnc_handshake_states), -1);
  EXPECT_EQ(g_calls.size(), 1u);
  vpn_dtor_set_ops(nullptr);
  vpn_dtor_reset_for_test();
}

TEST(HandlerTable, SlotsPerGeneration) {
  std::vector<std::string> log;
  vpn_log_set_sink([&log](int, const char* l) { log.emplace_back(l); });
  auto saved = process_handler;
  process_handler = {};
  EXPECT_EQ(initial_process_handler(3), -1);
  EXPECT_EQ(process_handler.config_tunnel, &config_tunnel);
  EXPECT_EQ(process_handler.create_get, nullptr);
  EXPECT_EQ(process_handler.config_rqt, nullptr);
  EXPECT_EQ(process_handler.config_receive, nullptr);
  EXPECT_EQ(process_handler.post_config, nullptr);
  EXPECT_EQ(process_handler.data_transfer, nullptr);
  EXPECT_EQ(process_handler.dtor, nullptr);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find(":Invalid quon version index"), std::string::npos);

  EXPECT_EQ(initial_process_handler(2), 0);
  EXPECT_EQ(process_handler.create_get, &create_get_qn2);
  EXPECT_EQ(process_handler.config_rqt, &config_rqt_qn2);
  EXPECT_EQ(process_handler.config_receive, &config_receive_qn2);
  EXPECT_EQ(process_handler.config_tunnel, &config_tunnel);
  EXPECT_EQ(process_handler.post_config, &post_config_qn2);
  EXPECT_EQ(process_handler.data_transfer, &vpn_data_transfer_qn2);
  EXPECT_EQ(process_handler.dtor, &vpn_dtor_qn2);
  EXPECT_EQ(initial_process_handler(1), 0);
  EXPECT_EQ(process_handler.dtor, &vpn_dtor_qn1);
  process_handler = saved;
  vpn_log_set_sink(nullptr);
}

TEST(HandlerTable, StateTables) {
  const char* first[] = {"VPNC_CLIENT_START",
                         "VPNC_CLIENT_WAIT_PROXY_CONNECT",
                         "VPNC_CLIENT_WAIT_PROXY_AUTH",
                         "VPNC_CLIENT_WAIT_NTLM_NEG",
                         "VPNC_CLIENT_START_ATP",
                         "VPNC_CLIENT_WAIT_ATP_CONFIG_RQT",
                         "VPNC_CLIENT_WAIT_COMMON_CONFIG_REPLY",
                         "VPNC_CLIENT_CONFIG_TUNNEL",
                         "VPNC_CLIENT_POST_CONFIG_CLIENT",
                         "VPNC_TUNNEL_CLOSED"};
  for (unsigned i = 0; i < 10; ++i) {
    EXPECT_EQ(vpnc_handshake_states[i].state, i);
    EXPECT_STREQ(vpnc_handshake_states[i].name, first[i]);
  }
  EXPECT_EQ(vpnc_handshake_states[9].handler, nullptr);
  for (unsigned i = 0; i < 6; ++i) {
    EXPECT_EQ(vpnc_reconnect_states[i].handler, vpnc_handshake_states[i].handler);
    EXPECT_STREQ(vpnc_reconnect_states[i].name, first[i]);
  }
  EXPECT_EQ(vpnc_reconnect_states[6].handler, &vpnc_client_exhaust_config_reply);
  EXPECT_STREQ(vpnc_reconnect_states[6].name, "VPNC_CLIENT_EXHAUST_CONFIG_REPLY");
  EXPECT_EQ(vpnc_reconnect_states[7].handler, nullptr);
  EXPECT_STREQ(vpnc_reconnect_states[7].name, "VPNC_TUNNEL_CLOSED");
  EXPECT_EQ(vpnc_handshake_states[6].handler, &vpnc_client_wait_commonconfig_reply);
  EXPECT_EQ(vpnc_handshake_states[7].handler, &vpnc_client_config_tunnel);
  EXPECT_EQ(vpnc_handshake_states[8].handler, &vpnc_client_post_config_client);
}

namespace {
int g_slot_answer = 0;
int slot(vpnc_session*) { return g_slot_answer; }
}  // namespace

TEST(StateHandlers, SlotResultsDecideTheNextState) {
  struct Case {
    int (*state_handler)(vpnc_session*);
    int slot_answer;
    int result;
    int state;  // state afterwards (starts at 42)
  };
  const std::vector<Case> cases = {
      {vpnc_client_wait_commonconfig_reply, 0, VPNC_STATE_NEXT, 7},
      {vpnc_client_wait_commonconfig_reply, -1, VPNC_STATE_FATAL, 42},
      {vpnc_client_wait_commonconfig_reply, VPNC_STATE_FATAL, VPNC_STATE_FATAL, 42},
      {vpnc_client_config_tunnel, 0, VPNC_STATE_NEXT, 8},
      {vpnc_client_config_tunnel, 5, VPNC_STATE_NEXT, 8},
      {vpnc_client_config_tunnel, -1, VPNC_STATE_FATAL, 42},
      {vpnc_client_post_config_client, -1, VPNC_STATE_DONE, 42},
  };
  auto saved = process_handler;
  process_handler.config_receive = slot;
  process_handler.config_tunnel = slot;
  process_handler.post_config = slot;
  vpnc_session s;
  for (size_t i = 0; i < cases.size(); ++i) {
    vpnc_session_reset(&s);
    s.state = 42;
    g_slot_answer = cases[i].slot_answer;
    EXPECT_EQ(cases[i].state_handler(&s), cases[i].result) << i;
    EXPECT_EQ(s.state.load(), cases[i].state) << i;
  }
  process_handler = saved;
}

TEST(StateHandlers, StartAtpWithoutAConnectionFailsOnTheCertificate) {
  std::vector<std::string> log;
  vpn_log_set_sink([&log](int, const char* l) { log.emplace_back(l); });
  vpnc_session s;
  vpnc_session_reset(&s);
  s.state = 4;
  EXPECT_EQ(vpnc_client_start_atp(&s), VPNC_STATE_FATAL);
  EXPECT_EQ(s.state.load(), 4);
  vpn_log_set_sink(nullptr);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find(":server cert ERROR"), std::string::npos);
}
