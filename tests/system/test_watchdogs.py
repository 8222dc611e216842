"""The keepalive thread, the full-tunnel default-route watch, the browser
watch and the one-shot inside-proxy thread end to end in the test host,
against a gateway that names a short keepalive interval."""

import functools
import os
import re
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import scenario  # noqa: E402
import sysconfig_store  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import (CLIENT_IP, NEXT_HOP, HungTool, TunnelSession, log_count,  # noqa: E402
                            store_contents)

pytestmark = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("keepalive_thread", "browser_closed_or_not",
                                                     "vpn_dtor_qn2", "reconnected_add_route")),
    reason="probe: tunnel, controller or watchdog threads not built in this daemon")

INTERVAL = 2
MISS = "keepalive_thread:Detected diconnected, sending keepalive no response {} times."
ROUTE_PROBE = ["/sbin/route", "get", "default"]


def route_probes(testhost) -> int:
    return sum(c == ROUTE_PROBE for c in testhost.journal())


def shell_count(testhost, line) -> int:
    return sum(s == line for s in testhost.shell_lines())


def wait_for(pred, timeout, what, testhost):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return
        time.sleep(0.05)
    assert pred(), f"{what}: {testhost.describe_daemon()}"


def watchdog_lines(testhost, text_start):
    return [ln.split("function: ", 1)[-1] for ln in testhost.log_lines() if text_start in ln]


@pytest.mark.time_limit(120)
@pytest.mark.parametrize("answer", ["keepalive", "packet"])
def test_answered_keepalives_keep_the_session_on_one_connection(testhost, gateway, answer):
    gw = gateway(g.Scenario(keepalive_interval=INTERVAL, answer_keepalive=answer == "keepalive"))
    sess = TunnelSession(testhost, gw).start()
    conn = sess.conn
    probes = route_probes(testhost)
    seen, times = 0, []
    while seen < 4:
        assert conn.wait(lambda: conn.keepalives > seen, 30), testhost.describe_daemon()
        times.append(time.monotonic())
        seen = conn.keepalives
        if answer == "packet":
            # any packet within 5 s is the answer
            conn.send_packets([g.udp_packet(g.GATEWAY_IP, CLIENT_IP, 4000, 9, b"not a keepalive")])
    kas = [p for p in conn.received_packets() if p.is_keepalive]
    assert kas and all(p.raw == g.keepalive_packet() for p in kas)
    assert len(kas[0].raw) == 20
    # each goes out only after the interval of silence that followed the answer
    assert all(b - a > INTERVAL - 0.5 for a, b in zip(times, times[1:])), times
    assert watchdog_lines(testhost, "Detected diconnected") == []
    assert gw.tunnels() == [conn] and not conn.closed
    assert route_probes(testhost) == probes  # a split tunnel never probes the route
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()
    # the sleep and wake watcher never runs
    assert not any("function: SleepCbk:" in ln or "function: detect_sys_sleep_thread:" in ln
                   for ln in testhost.log_raw())


@pytest.mark.time_limit(150)
def test_four_unanswered_keepalives_lead_to_a_reconnection(testhost, gateway):
    gw = gateway(g.Scenario(keepalive_interval=INTERVAL, answer_keepalive=False))
    sess = TunnelSession(testhost, gw).start()
    first = sess.conn
    gw.scenario = g.Scenario(keepalive_interval=INTERVAL)  # the next connection answers
    testhost.wait_log(r"keepalive_thread:Detected diconnected, disconnect vpn now\.$", 90)
    second = gw.wait_tunnel(2, 60)
    assert second is not None, testhost.describe_daemon()
    testhost.wait_log(r"keepalive_thread:Detected diconnected, sending keepalive no response 0 times\.$", 30)
    assert first.keepalives == 4 and first.closed
    assert watchdog_lines(testhost, "keepalive_thread:Detected diconnected") == [
        MISS.format(1), MISS.format(2), MISS.format(3),
        "keepalive_thread:Detected diconnected, disconnect vpn now.", MISS.format(0)]
    # the new connection's answers keep the counter from climbing. Its first
    # answer may be read late: the main loop can sit up to 3 s in a wait that
    # still holds the old connection before it looks at the new one, and a
    # busy machine adds to that, so one miss right after the reconnection is
    # possible; two in a row are not.
    assert second.wait(lambda: second.keepalives >= 3, 60), testhost.describe_daemon()
    assert log_count(testhost, MISS.format(2)) == 1
    assert log_count(testhost, "keepalive_thread:Detected diconnected, disconnect vpn now.") == 1
    assert len(gw.tunnels()) == 2 and not second.closed
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


@pytest.mark.time_limit(150)
def test_full_tunnel_default_route_leaving_the_tunnel_brings_a_new_connection(testhost, gateway):
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL,
                            resources=[g.Resource("10.99.0.0", "255.255.255.0")]))
    sess = TunnelSession(testhost, gw).start()
    tun = sess.tun
    first = sess.conn
    wait_for(lambda: route_probes(testhost) >= 2, 30, "the watch probes the default route", testhost)
    # another program takes the default route back to the local router
    r = testhost.run_host(["ip", "route", "replace", "default", "via", NEXT_HOP, "dev", "en0"])
    assert r.returncode == 0, r.stderr
    changed = time.monotonic()
    second = gw.wait_tunnel(2, 60)
    assert second is not None, testhost.describe_daemon()
    assert time.monotonic() - changed > 1.8  # the 2-second pause before the request
    assert first.closed
    testhost.wait_log(r"reconnected_add_route return 0$", 30)
    wait_for(lambda: any(ln.startswith(f"default via 1.1.1.1 dev {tun}") for ln in testhost.routes()),
             30, "default route back in the tunnel", testhost)
    # the route stays in the tunnel: later probes ask for nothing more
    probes = route_probes(testhost)
    wait_for(lambda: route_probes(testhost) >= probes + 4, 30, "four more probes", testhost)
    assert len(gw.tunnels()) == 2 and not second.closed
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


BROWSERS = [("Safari", "Safari", "ps -cA | grep -c Safari"),
            ("Firefox", "firefox", "ps -e | grep -c firefox"),
            ("Chrome", "chrome", "ps -e | grep -c chrome")]


@pytest.mark.time_limit(120)
@pytest.mark.parametrize("mode,process,command", BROWSERS)
def test_browser_watch_ends_the_session_once_the_browser_is_gone(testhost, gateway, mode,
                                                                 process, command):
    browser = testhost.start_named(process)
    gw = gateway(g.Scenario())
    sess = TunnelSession(testhost, gw).start(navtype=mode)
    testhost.wait_log(re.escape(f"browser_closed_or_not:CMD:[{command}]") + "$", 30)
    # while it runs the count is polled about once a second and the session stays
    wait_for(lambda: shell_count(testhost, command) >= 1, 30, "first poll", testhost)
    start, polls = time.monotonic(), shell_count(testhost, command)
    wait_for(lambda: shell_count(testhost, command) >= polls + 4, 30, "four more polls", testhost)
    assert time.monotonic() - start > 2.5  # a pause after each count, no spinning
    assert testhost.daemon_status is None
    assert log_count(testhost, "browser is quit, vpnc should exit!") == 0

    browser.stop()
    gone = time.monotonic()
    status = testhost.wait_daemon_exit(30)
    assert status == 0, testhost.describe_daemon()
    assert time.monotonic() - gone < 15
    assert log_count(testhost, "browser is quit, vpnc should exit!") == 1
    assert log_count(testhost, "Exsit vpn client daemon on brower detect") == 1
    sess.assert_ended()
    sess.assert_host_put_back()
    assert sess.logouts() == [] and gw.logouts == []


@pytest.mark.time_limit(150)
def test_hung_browser_count_is_stopped_at_its_bound_and_sigterm_ends_the_daemon(
        testhost, gateway, tmp_path):
    hung = HungTool(testhost, tmp_path, "ps")
    testhost.start_daemon = functools.partial(testhost.start_daemon, tools=hung.tools())
    sess = TunnelSession(testhost, gateway(g.Scenario())).start(navtype="Firefox")
    wait_for(lambda: hung.calls(), 30, "the first count", testhost)
    first = hung.calls()[0]
    # past the tool's bound its whole group goes, its child too, the count
    # is a failed read and the watch asks again
    wait_for(lambda: hung.gone(first), 30, "the hung ps and its child ended", testhost)
    testhost.wait_log(r"browser_closed_or_not:get popen file failed$", 30)
    wait_for(lambda: len(hung.calls()) >= 2, 30, "the next count", testhost)
    assert testhost.daemon_status is None
    assert log_count(testhost, "browser is quit, vpnc should exit!") == 0
    # the end comes while the watch waits on a hung ps again
    sent = time.monotonic()
    testhost.signal_daemon()
    sess.assert_ended(30)
    assert time.monotonic() - sent < 30
    sess.assert_host_put_back()


def service_proxies(testhost) -> dict:
    prefs = store_contents(testhost).get("preferences.json", {})
    return prefs.get("NetworkServices", {}).get(sysconfig_store.SERVICE, {}).get("Proxies", {})


@pytest.mark.time_limit(120)
def test_inside_proxy_thread_points_the_services_at_the_pac_file_until_the_end(testhost, gateway):
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL,
                            resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                            inside_proxy=(g.PROXY_MANUAL, "10.99.0.3:3128")))
    (testhost.library_dir / "Frameworks").mkdir(parents=True, exist_ok=True)  # as on every Mac
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    wait_for(lambda: service_proxies(testhost).get("ProxyAutoConfigEnable") == 1, 30,
             "the inside-proxy PAC file set on the service", testhost)
    assert service_proxies(testhost).get("ProxyAutoConfigURLString")
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()  # the store as it was, proxies included
