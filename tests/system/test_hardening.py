"""Every way the daemon can end puts the host back, and a peer that stops
answering never holds it: SIGHUP (a closed terminal) tears down like SIGTERM,
the terminate echo reaches its launcher while a newer connection arrives,
a gateway that stops in the middle of a TLS record or never answers the
connect costs a bounded wait, the full tunnel's default route comes back
when the network-service store names no router, and /etc/hosts ends as it
was also when there was none or a backup of an earlier run was left."""

import contextlib
import functools
import os
import signal
import socket
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import launcher as launcher_mod  # noqa: E402
import scenario  # noqa: E402
import sysconfig_store  # noqa: E402
import testhost as th_mod  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import TunnelSession, teardowns  # noqa: E402

pytestmark = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpn_dtor_qn2", "logout_vpn")),
    reason="probe: tunnel bring-up or controller not built in this daemon")

TERMINATE_ECHO = b"\xde\xed\xc0\xde"
IO_BOUND = 30        # the daemon's bound on a gateway read or write, s
CONNECT_BOUND = 10   # its bound on one TCP connect, s


def session_scenario(flags=0):
    """Routes, host map, DNS and a disconnect command: all of it must come back."""
    return g.Scenario(flags=flags, resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                      host_map=[("10.99.0.10", "intra.example.test")],
                      dns=["10.99.0.53"], search_domains=["corp.example.test"],
                      disconnect_commands=["true disconnect"])


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("flags", [0, g.NETCFG_FULL_TUNNEL], ids=["split", "full"])
def test_sighup_tears_down_and_puts_the_host_back(testhost, gateway, flags):
    gw = gateway(session_scenario(flags))
    sess = TunnelSession(testhost, gw).start()
    assert (testhost.etc_dir / "hosts").read_bytes() != sess.before.hosts
    testhost.signal_daemon(signal.SIGHUP)
    testhost.wait_log(r"call vpnc_dtor:%d$" % signal.SIGHUP, 20)
    sess.assert_ended(60)
    sess.assert_host_put_back()
    assert len(sess.logouts()) == 1


@pytest.mark.time_limit(60)
def test_realtime_signal_is_ignored(testhost, gateway):
    sess = TunnelSession(testhost, gateway(session_scenario())).start()
    testhost.signal_daemon(signal.SIGRTMIN + 2)
    # the daemon goes on: a signal sent after it is still taken
    mark = testhost.log_mark()
    testhost.signal_daemon(signal.SIGSYS)
    testhost.wait_log(r"detectrouteopen = 1!", 10, start=mark)
    assert testhost.daemon_status is None
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended(60)
    sess.assert_host_put_back()


def slow_teardown_tools(testhost, tmp_path):
    """The stand-ins, with a route tool that takes 3 s to delete the resource
    network's route: a teardown long enough to connect during it."""
    wrapper = tmp_path / "route"
    wrapper.write_text('#!/bin/sh\n'
                       'case " $* " in *" delete -net 10.99.0.0 "*) sleep 3;; esac\n'
                       f'exec {th_mod.REPO}/tools/bin/route "$@"\n')
    wrapper.chmod(0o755)
    tools = {p.name: p for p in th_mod.default_tools()}
    tools["route"] = wrapper
    return tools


@pytest.mark.time_limit(90)
def test_terminate_echo_reaches_its_connection_while_a_newer_one_arrives(
        testhost, gateway, make_launcher, tmp_path):
    start = testhost.start_daemon
    testhost.start_daemon = functools.partial(start, tools=slow_teardown_tools(testhost, tmp_path))
    sess = TunnelSession(testhost, gateway(session_scenario())).start(navtype="standalone")
    first = make_launcher()
    testhost.wait_log(r"received data from autolaunch socket", 10)
    mark = testhost.log_mark()
    first.request(launcher_mod.TERMINATE_REQUEST_CODE)
    testhost.wait_log(r"receive a terminate signal from java applet", 20, start=mark)
    testhost.wait_log(r"vpn_dtor_qn2:will close vpn_session sock", 20, start=mark)
    # a second extra connection, accepted while the teardown waits for the route tool
    make_launcher()
    assert first.recv_exact(4, 60) == TERMINATE_ECHO
    sess.assert_ended(60)
    assert not any("Failed to send dead response" in ln for ln in testhost.log_lines())
    sess.assert_host_put_back()


@pytest.mark.time_limit(150)
def test_gateway_stopping_in_a_record_leads_to_a_reconnection_within_the_bound(
        testhost, gateway):
    gw = gateway(session_scenario())
    sess = TunnelSession(testhost, gw).start()
    first = sess.conn
    mark = testhost.log_mark()
    started = time.monotonic()
    first.stall_in_record()
    testhost.wait_log(r"the gateway left a record unfinished for %d s, read given up" % IO_BOUND,
                      IO_BOUND + 30, start=mark)
    waited = time.monotonic() - started
    assert IO_BOUND - 2 <= waited <= IO_BOUND + 25, waited
    second = gw.wait_tunnel(2, 60)
    assert second is not None, testhost.describe_daemon()
    testhost.wait_log(r"reconnected_add_route return 0$", 30, start=mark)
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended(60)
    sess.assert_host_put_back()


@contextlib.contextmanager
def syn_dropping_listener(testhost, port):
    """A listener in the gateway namespace whose accept queue is full: the
    kernel drops every further SYN, as a gateway behind a dead link does."""
    with testhost.gw_ns():
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        ls.bind((g.GATEWAY_IP, port))
        ls.listen(0)
        filler.settimeout(5)
        filler.connect((g.GATEWAY_IP, port))
        yield
    finally:
        filler.close()
        ls.close()


@pytest.mark.time_limit(120)
def test_unanswered_connect_fails_each_attempt_within_the_bound(testhost):
    port = 4443
    with syn_dropping_listener(testhost, port):
        testhost.start_daemon()
        lch = launcher_mod.Launcher(testhost).connect()
        started = time.monotonic()
        lch.send_package(scenario.package(launcher_mod, gateway_port=port))
        # three versions, one connect each, then the failure reply
        assert scenario.read_verdict(lch, 3 * CONNECT_BOUND + 40) == "FAIL"
        waited = time.monotonic() - started
        assert 3 * CONNECT_BOUND - 2 <= waited <= 3 * CONNECT_BOUND + 30, waited
        # the log reader may lag behind the reply
        mark = 0
        for _ in range(3):
            testhost.wait_log(r"no answer to the connect within %d s, attempt given up" % CONNECT_BOUND,
                              10, start=mark)
            mark = next(i for i, r in enumerate(testhost.log_records())
                        if i >= mark and "no answer to the connect" in r.msg) + 1


@pytest.mark.time_limit(90)
def test_full_tunnel_default_route_comes_back_without_a_router_in_the_store(testhost, gateway):
    gw = gateway(session_scenario(g.NETCFG_FULL_TUNNEL))
    sess = TunnelSession(testhost, gw).start()
    assert any(r.startswith("default via 1.1.1.1 ") for r in testhost.routes())
    # the store loses the service (a host whose store differs from its network)
    sysconfig_store.seed(testhost, preferences={"ServiceOrder": [], "NetworkServices": {}},
                         dynamic_store={}, replace=True)
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended(60)
    assert sorted(testhost.routes()) == sess.before.routes
    assert any("the saved default route through %s is put back" % sysconfig_store.ROUTER in ln
               for ln in testhost.log_lines())
    assert teardowns(testhost) == 1


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("case", ["no hosts file", "backup of an earlier run"])
def test_hosts_file_is_put_back_whatever_was_there(testhost, gateway, case):
    gw = gateway(session_scenario())
    sess = TunnelSession(testhost, gw)
    hosts = testhost.etc_dir / "hosts"
    backup = testhost.etc_dir / "hosts.bak.tevra"
    clean = hosts.read_bytes()
    if case == "no hosts file":
        hosts.unlink()
    else:
        # an earlier run ended without its teardown: its line is still in place
        backup.write_bytes(clean)
        hosts.write_bytes(clean + b"10.99.0.99\tstale.example.test\n")
    sess.start()
    up = hosts.read_bytes()
    assert b"intra.example.test" in up and b"stale.example.test" not in up, up
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended(60)
    if case == "no hosts file":
        assert not hosts.exists()
    else:
        assert hosts.read_bytes() == clean
    assert not backup.exists()
    assert sorted(testhost.routes()) == sess.before.routes
