"""Teardown and reconnection of the daemon in the test host against the test gateway:
SIGTERM in "commandline" mode (logout on a fresh connection, host put back), a dropped
connection (reconnection with a new TCP connection, preamble, request and record drain),
and SIGTERM while the reconnection cannot reach the gateway."""

import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
th_mod = pytest.importorskip("testhost", reason="tests/system/testhost.py not merged yet")
launcher_mod = pytest.importorskip("launcher", reason="tests/system/launcher.py not merged yet")
g = pytest.importorskip("gateway", reason="tests/system/gateway.py not merged yet")
scenario = pytest.importorskip("scenario", reason="tests/system/scenario.py not merged yet")

needs_tunnel = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpn_dtor_qn2", "logout_vpn")),
    reason="tunnel bring-up or controller not built yet")


@pytest.fixture
def gateway(testhost, tmp_path):
    gws = []

    def make(sc=None, **kw):
        gw = g.Gateway.in_testhost(testhost, tmp_path / ("gw%d" % len(gws)), sc or g.Scenario(), **kw)
        gws.append(gw)
        return gw
    yield make
    for gw in gws:
        gw.stop()


def tunnels(gw):
    return [c for c in gw.connections if c.kind == "tunnel" and c.t_request]


def up(testhost, gw):
    lch, verdict = scenario.start_session(testhost, launcher_mod)
    assert verdict == "OK"
    assert gw.wait_for(lambda: len(tunnels(gw)) == 1, 10)
    return lch


def teardowns(testhost):
    return sum("Vpn destroy has release mutex lock" == line.split(":", 2)[-1].rstrip()
               for line in testhost.log_lines())


@needs_tunnel
def test_sigterm_logs_out_on_a_fresh_connection_and_puts_the_routes_back(testhost, gateway):
    before = testhost.routes()
    gw = gateway(g.rich_scenario())
    up(testhost, gw)
    assert testhost.routes() != before
    testhost.daemon.send_signal(signal.SIGTERM)
    assert testhost.wait_daemon_exit(60) == 0
    logouts = [c for c in gw.connections if c.kind == "logout"]
    assert len(logouts) == 1
    assert logouts[0].request == g.expected_logout_request(scenario.HOSTNAME, scenario.COOKIE)
    assert len(logouts[0].preamble) == 82 and logouts[0].preamble_problems == []
    assert logouts[0].wait_closed(5)
    assert any(line.rstrip().endswith(":logout successfully") for line in testhost.log_lines())
    assert teardowns(testhost) == 1
    assert testhost.routes() == before


@needs_tunnel
def test_dropped_connection_is_reestablished(testhost, gateway):
    gw = gateway(g.rich_scenario())
    up(testhost, gw)
    tunnels(gw)[0].drop()
    assert gw.wait_for(lambda: len(tunnels(gw)) == 2, 40)
    testhost.wait_log(r"Vpn reconnection successful, no need to destroy vpn", 20)
    second = tunnels(gw)[1]
    assert len(second.preamble) == 82 and second.preamble_problems == []
    assert second.request == tunnels(gw)[0].request
    testhost.daemon.send_signal(signal.SIGTERM)
    assert testhost.wait_daemon_exit(60) == 0
    assert teardowns(testhost) == 1


@needs_tunnel
def test_sigterm_during_reconnection_stops_it_and_tears_down_once(testhost, gateway):
    before = testhost.routes()
    gw = gateway(g.rich_scenario())
    up(testhost, gw)
    gw.refuse_new = True
    tunnels(gw)[0].drop()
    testhost.wait_log(r"vpn dtor reconnect failed 0 time", 30)
    testhost.daemon.send_signal(signal.SIGTERM)
    assert testhost.wait_daemon_exit(60) == 0
    lines = testhost.log_lines()
    assert any(line.endswith("Vpn reconnection is interruptted") for line in lines)
    assert not any("vpn dtor reconnect begin 2 time" in line for line in lines)
    assert teardowns(testhost) == 1
    assert testhost.routes() == before
