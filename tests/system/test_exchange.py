"""The daemon in the test host against the test gateway, started by a "commandline"
launcher: the connection, the tunnel request and the configuration exchange."""

import os
import re
import signal
import ssl
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
th_mod = pytest.importorskip("testhost", reason="tests/system/testhost.py not merged yet")
launcher_mod = pytest.importorskip("launcher", reason="tests/system/launcher.py not merged yet")
import gateway as g  # noqa: E402
import scenario  # noqa: E402
from scenario import COOKIE, HOSTNAME, gateway  # noqa: E402,F401  (gateway: fixture)

needs_exchange = pytest.mark.skipif(
    not scenario.exchange_built(), reason="the daemon has no gateway exchange yet (weak stand-ins)")
needs_tunnel = pytest.mark.skipif(
    not scenario.tunnel_built(),
    reason="tunnel bring-up not built yet: the daemon answers CONNECT FAIL")


def run_daemon(testhost, gw, **pkg):
    """Daemon + "commandline" launcher; answers the verdict."""
    return scenario.start_session(testhost, launcher_mod, **pkg)[1]


def assert_failed_cleanly(testhost, verdict):
    assert verdict == "FAIL"
    rc = testhost.wait_daemon_exit(30)
    assert rc == 0, "daemon ended with %r after CONNECT FAIL" % rc


def host_mac(testhost, ifname="en0"):
    out = testhost.run_host(["ip", "-o", "link", "show", ifname], capture_output=True,
                            text=True).stdout
    return bytes.fromhex(re.search(r"link/ether ([0-9a-f:]+)", out).group(1).replace(":", ""))


# ------------------------------------------------------------------ good exchange

@needs_exchange
def test_gateway_sees_exact_preamble_request_and_t_layout(testhost, gateway):
    gw = gateway(g.rich_scenario())
    run_daemon(testhost, gw)   # the verdict depends on the tunnel bring-up, not checked here
    assert gw.wait_for(lambda: any(c.kind == "tunnel" and c.t_request for c in gw.connections), 10)
    conn = [c for c in gw.connections if c.kind == "tunnel"][0]
    # TLS 1.0 is refused by this OpenSSL; the daemon then comes back with TLS 1.2
    first, second = gw.connections[0], gw.connections[1]
    assert first.tls_error and not first.tls_ok
    assert second.tls_ok and second.tls_version == "TLSv1.2"
    for c in (first, second):
        assert len(c.preamble) == 82 and c.preamble_problems == [], c.preamble.hex()
    # bytes 11-14 change with the time only
    assert first.preamble[:11] == second.preamble[:11]
    assert first.preamble[15:] == second.preamble[15:]

    clientid = scenario.expected_clientid(testhost)
    assert conn.request == g.expected_tunnel_request(HOSTNAME, COOKIE, clientid)
    if clientid:
        assert conn.request.endswith(b"\n\r\n\r\n")   # the UUID line keeps its newline

    assert conn.p_request == b"P" + bytes(15)
    t = conn.t_request
    assert t is not None and t.problems() == []
    assert "10.77.0.2" in t.ips[:t.count]
    assert t.mac == host_mac(testhost)   # the interface that carries the gateway connection


@needs_exchange
@pytest.mark.parametrize("chunk", [1, 7])
def test_records_in_small_tls_records_are_read_whole(testhost, gateway, chunk):
    # every field spread over several reads of the daemon
    gw = gateway(g.rich_scenario(chunk=chunk))
    run_daemon(testhost, gw)
    conn = [c for c in gw.connections if c.kind == "tunnel"][0]
    assert conn.t_request is not None and conn.t_request.problems() == []
    for line in (r"Host: intra\.example\.test\(", r"vnc_clientip is 200c80a",
                 r"insert resource: type = 1, ip=620a$"):
        testhost.wait_log(line, timeout=5)


@needs_tunnel
def test_good_exchange_answers_connect_ok(testhost, gateway):
    gw = gateway(g.rich_scenario())
    assert run_daemon(testhost, gw) == "OK"
    conn = gw.wait_tunnel(1, timeout=10)
    assert conn is not None and conn.errors == []
    testhost.daemon.send_signal(signal.SIGTERM)
    assert testhost.wait_daemon_exit(60) == 0
    # "commandline": the teardown logs out on a fresh connection
    assert gw.wait_for(lambda: len(gw.logouts) == 1, 10)
    assert gw.logouts[0] == g.expected_logout_request(HOSTNAME, COOKIE)


# What the TLS 1.0 attempt comes to, by the one suite the gateway offers: at
# OpenSSL's default security level a key exchange signed with TLS 1.0's
# MD5+SHA1 is refused, ECDHE and DHE alike; plain RSA key transport is not.
TLS10_BY_SUITE = {"AES128-SHA": True, "ECDHE-RSA-AES128-SHA": False, "DHE-RSA-AES128-SHA": False}


@needs_exchange
@pytest.mark.parametrize("suite", list(TLS10_BY_SUITE))
def test_tls10_attempt_by_the_gateways_suite(testhost, gateway, suite):
    gw = gateway(g.Scenario(), ciphers=suite)
    run_daemon(testhost, gw)
    assert gw.wait_for(lambda: any(c.tls_ok for c in gw.connections), 20)
    first = gw.connections[0]
    if TLS10_BY_SUITE[suite]:
        assert first.tls_ok and first.tls_version == "TLSv1"
        assert not any("TLSv1 failed, try TLSv1_2!" in ln for ln in testhost.log_lines())
    else:
        assert first.tls_error and not first.tls_ok
        testhost.wait_log(r"TLSv1 failed, try TLSv1_2!", timeout=5)
        assert gw.connections[1].tls_ok and gw.connections[1].tls_version == "TLSv1.2"
    testhost.wait_log(r"SSL connection using %s$" % suite, timeout=10)


# ------------------------------------------------------------------ refused exchanges

@needs_exchange
def test_gateway_refusing_every_tls_version(testhost, gateway):
    gw = gateway(tls_min=ssl.TLSVersion.TLSv1_3)   # the daemon offers at most TLS 1.2
    assert_failed_cleanly(testhost, run_daemon(testhost, gw))
    first = gw.connections[:3]     # TLS 1.0, TLS 1.2, SSL 3.0: each on a new connection
    assert len(first) == 3 and not any(c.tls_ok for c in gw.connections)
    assert all(c.preamble_problems == [] for c in first)
    testhost.wait_log(r"TLSv1 failed, try TLSv1_2!", timeout=5)


# case: (scenario, a log line that names the reason, or None where none is specified)
FAIL_CASES = {
    "reply 403": (g.Scenario(http_status=403, http_reason="Forbidden", http_body=b"denied"),
                  r"HTTP RESPOND=not found HTTP/1.1 407"),
    "reply 302": (g.Scenario(http_status=302, http_reason="Found",
                             http_headers=[("Location", "/login")]),
                  r"HTTP RESPOND=not found HTTP/1.1 407"),
    "chunked reply": (g.Scenario(http_headers=[("Transfer-Encoding", "chunked")],
                                 content_length=-1), None),
    "Q of wrong type": (g.Scenario(q_type=b"R"),
                        r"read common config is not common config response, exit"),
    "client 0.0.0.0": (g.rich_scenario(client_ip="0.0.0.0"), r"vnc_clientip is null!"),
    "no resources": (g.Scenario(resources=[]), None),
    "only type-2 resources": (g.Scenario(resources=[
        g.Resource("10.99.0.0", "255.255.255.0", type=2),
        g.Resource("10.98.0.0", "255.255.0.0", type=2)]),
        r"skip resource: type = 2, ip=620a$"),   # the second one, printed as the host reads it
}


@needs_exchange
@pytest.mark.parametrize("case", list(FAIL_CASES))
def test_refused_configuration_answers_connect_fail(testhost, gateway, case):
    sc, reason = FAIL_CASES[case]
    gw = gateway(sc)
    assert_failed_cleanly(testhost, run_daemon(testhost, gw))
    if reason:
        testhost.wait_log(reason, timeout=5)
    if "reply" in case:
        conn = [c for c in gw.connections if c.kind == "tunnel"][0]
        assert conn.trailing == b""    # no 'P' (nor anything else) after a refused reply


EXCHANGE_BOUND = 60  # the whole record sequence, s (client/session/config_receivers.h)


@needs_exchange
@pytest.mark.slow
@pytest.mark.time_limit(EXCHANGE_BOUND + 90)
def test_trickling_records_are_given_up_within_the_whole_exchange_bound(testhost, gateway):
    """A byte a second: no single read waits long, yet the records would take
    148 s; the exchange is given up once its bound is over, as the failed
    exchange it is."""
    gw = gateway(g.Scenario(chunk=1, chunk_gap=1.0))
    testhost.start_daemon()
    lch = launcher_mod.Launcher(testhost).connect()
    lch.send_package(scenario.package(launcher_mod))
    testhost.wait_log(r"RECEIVE COMMONCONFIG REQUEST$", 30)
    t0 = time.monotonic()
    assert scenario.read_verdict(lch, EXCHANGE_BOUND + 40) == "FAIL"
    assert EXCHANGE_BOUND - 2 <= time.monotonic() - t0 <= EXCHANGE_BOUND + 30
    testhost.wait_log(r"config_receive_qn2:the configuration records did not all arrive within %d s, "
                      r"given up$" % EXCHANGE_BOUND, 5)
    assert testhost.wait_daemon_exit(30) == 0


def _cut_cases():
    sc = g.rich_scenario()
    cases = []
    for name, start, end in sc.layout():
        if end - start >= 2:
            cases.append(pytest.param(name, (start + end) // 2, id="inside " + name))
    # one byte short of the whole configuration
    total = sc.layout()[-1][2]
    cases.append(pytest.param("last byte", total - 1, id="last byte missing"))
    return cases


@needs_exchange
@pytest.mark.parametrize("segment,cut", _cut_cases())
def test_stream_cut_short_answers_connect_fail(testhost, gateway, segment, cut):
    gw = gateway(g.rich_scenario(truncate_at=cut))
    assert_failed_cleanly(testhost, run_daemon(testhost, gw))
    conn = [c for c in gw.connections if c.kind == "tunnel"][0]
    assert conn.config_sent == cut


# ------------------------------------------------------------------ hostile input

def _bad_name_length_host_map():
    # one entry whose name length says 0xFFFFFFFF, then the end of the stream
    hm = g.ip4("10.0.0.1") + b"\xff\xff\xff\xff" + b"x" * 40
    return g.msg_header(b"Q") + g.common_header(host_map_len=len(hm)) + hm


HOSTILE = {
    "host map length 0x7FFFFFFF": g.rich_scenario(common_overrides={"host_map_len": 0x7FFFFFFF}),
    "launch length 0xFFFFFFFF": g.rich_scenario(common_overrides={"launch_cmd_len": 0xFFFFFFFF}),
    "host name length 0xFFFFFFFF": g.Scenario(raw_q=_bad_name_length_host_map()),
    "resource count 0xFFFFFFFF": g.rich_scenario(
        network_overrides={"resource_count": 0xFFFFFFFF}),
    "dns count 0x7FFFFFFF": g.rich_scenario(network_overrides={"dns_count": 0x7FFFFFFF}),
    "search length 0xFFFFFFFF": g.rich_scenario(
        network_overrides={"search_domain_len": 0xFFFFFFFF}),
    "proxy text length 0x7FFFFFFF": g.Scenario(
        raw_u=(g.msg_header(b"U") + g.network_header(
            resource_count=1, inside_proxy_len=8, client_ip="10.200.0.2")
            + g.Resource("10.99.0.0", "255.255.255.0").pack()
            + b"\0\0\0\0\x7f\xff\xff\xff" + b"p" * 100)),
}


@needs_exchange
@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_lengths_neither_crash_nor_hang(testhost, gateway, case):
    sc = HOSTILE[case]
    # all records at once, then the end of the stream right after the lying one
    sc.wait_t = False
    sc.close_after_config = True
    gw = gateway(sc)
    assert_failed_cleanly(testhost, run_daemon(testhost, gw))
