"""The daemon's main job, end to end in the test host: started by the test
launcher against the test gateway it brings utunN up, sets the routes and
carries real packets (ping, a TCP stream, UDP) both ways; the excluded
network's port rule keeps packets from the gateway; records cut anywhere
reach utun as whole packets, once each; the session-kill notice ends it
after the packets before it; the statistics reply counts what the gateway
sent and received."""

import hashlib
import os
import re
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import scenario  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import (CLIENT_IP, GW_TUN_IP, TunnelSession, log_count, ping,  # noqa: E402
                            send_udp_on, udp_dport_of, udp_listener, udp_payload_of, wait_until)

needs_tunnel = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpn_dtor_qn2", "set_vpn_route_table")),
    reason="probe: tunnel bring-up, relay, controller or routes not built in this daemon")

pytestmark = [needs_tunnel, pytest.mark.time_limit(120)]

RESOURCE_HOST = "10.99.0.7"       # answered by the gateway itself (no TUN attached)
UDP_PORT = 5555


def split_scenario(**kw):
    base = dict(resources=[g.Resource("10.99.0.0", "255.255.255.0")])
    base.update(kw)
    return g.Scenario(**base)


@pytest.mark.parametrize("flags,pinged", [
    (0, [RESOURCE_HOST]),
    (g.NETCFG_FULL_TUNNEL, [RESOURCE_HOST, "192.0.2.77"]),   # full: any address goes in
], ids=["split", "full"])
def test_tunnel_up_with_client_address_and_ping_through_it(testhost, gateway, flags, pinged):
    gw = gateway(split_scenario(flags=flags))
    sess = TunnelSession(testhost, gw).start()
    tun = sess.tun

    # addressed through the ifconfig stand-in: client address, peer 1.1.1.1, MTU 1400
    assert ["/sbin/ifconfig", tun, CLIENT_IP, "1.1.1.1", "mtu", "1400"] in testhost.journal()
    link = testhost.links()[tun]
    assert link["mtu"] == 1400
    assert "UP" in link["flags"]
    r = testhost.run_host(["ip", "-4", "-o", "addr", "show", "dev", tun], check=True)
    assert f"inet {CLIENT_IP} peer 1.1.1.1/32" in r.stdout, r.stdout
    routes = testhost.routes()
    want = f"default via 1.1.1.1 dev {tun}" if flags else f"10.99.0.0/24 dev {tun}"
    assert any(line.startswith(want) for line in routes), routes

    for dst in pinged:
        r = ping(testhost, dst, count=3)
        assert r.returncode == 0, r.stdout + r.stderr
        assert " 0% packet loss" in r.stdout, r.stdout
        requests = [p for p in sess.conn.received_packets() if p.is_echo_request and p.dst == dst]
        assert len(requests) == 3
        assert {p.src for p in requests} == {CLIENT_IP}

    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()
    # The legacy tun device is never used: no node made, no driver reloaded.
    tools = {entry[0] for entry in testhost.journal()}
    assert not tools & {"/sbin/mknod", "/sbin/kextload", "/sbin/kextunload"}, tools
    r = testhost.run_host(["ls", "/dev"], check=True)
    assert not [n for n in r.stdout.split() if re.fullmatch(r"tun\d+", n)], r.stdout


def _recv_all(sock, n, timeout):
    h = hashlib.sha256()
    got = 0
    deadline = time.monotonic() + timeout
    while got < n:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            chunk = sock.recv(min(65536, n - got))
        except socket.timeout:
            break
        if not chunk:
            break
        h.update(chunk)
        got += len(chunk)
    return got, h.hexdigest()


def test_tcp_stream_through_the_tunnel_carries_data_both_ways(testhost, gateway):
    """A real TCP endpoint in the gateway namespace, behind a TUN of the
    gateway: the stream goes through utun, the relay, TLS, and back."""
    gw = gateway(split_scenario())
    gw.attach_tun(g.GatewayTun(testhost, address=f"{GW_TUN_IP}/24", client_ip=CLIENT_IP))
    sess = TunnelSession(testhost, gw).start()

    size = 1 << 20
    up = os.urandom(size)
    down = os.urandom(size)
    with testhost.gw_ns():
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind((GW_TUN_IP, 7000))
    ls.listen(1)
    ls.settimeout(20)
    server = {}

    def serve():
        try:
            c, peer = ls.accept()
        except OSError as e:
            server["error"] = e
            return
        server["peer"] = peer
        with c:
            sender = threading.Thread(target=lambda: c.sendall(down), daemon=True)
            sender.start()
            server["got"] = _recv_all(c, size, 60)
            sender.join(60)
    t = threading.Thread(target=serve, daemon=True)
    t.start()

    with testhost.host_ns():
        cs = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    cs.settimeout(20)
    try:
        cs.connect((GW_TUN_IP, 7000))
        sender = threading.Thread(target=lambda: cs.sendall(up), daemon=True)
        sender.start()
        got_down = _recv_all(cs, size, 60)
        sender.join(60)
    finally:
        cs.close()
    t.join(60)
    ls.close()

    assert server.get("peer", ("?",))[0] == CLIENT_IP, server
    assert server.get("got") == (size, hashlib.sha256(up).hexdigest())
    assert got_down == (size, hashlib.sha256(down).hexdigest())
    # the stream went through the tunnel, not around it
    assert sess.conn.bytes_received > size and sess.conn.bytes_sent > size

    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def test_excluded_network_with_port_rule_never_reaches_the_gateway(testhost, gateway):
    """Packets sent into utun itself (the route of the excluded network leads
    around it), so only the relay's filter stands between them and the gateway."""
    sc = split_scenario(excludes=[
        g.Resource("10.99.0.128", "255.255.255.192", g.PORT_MATCH_ONE, (8080,)),
        g.Resource("10.99.0.64", "255.255.255.192", g.PORT_MATCH_RANGE, (9000, 9010))])
    gw = gateway(sc)
    sess = TunnelSession(testhost, gw).start()
    cases = [  # (destination, port, reaches the gateway)
        ("10.99.0.130", 8080, False),
        ("10.99.0.130", 8081, True),
        ("10.99.0.70", 9000, False),
        ("10.99.0.70", 9010, False),
        ("10.99.0.70", 9011, True),
        ("10.99.0.20", 8080, True),     # the resource network outside the exclusion
    ]
    for i, (dst, port, _) in enumerate(cases):
        send_udp_on(testhost, sess.tun, dst, port, b"case %d" % i)
    # ICMP to an excluded network is dropped whatever its rule
    r = ping(testhost, "10.99.0.130", count=1, ifname=sess.tun)
    assert r.returncode != 0
    # a marker after them all: once it arrived, so did everything before it
    send_udp_on(testhost, sess.tun, "10.99.0.21", 1, b"marker")
    conn = sess.conn
    assert conn.wait_packet(lambda p: p.proto == 17 and p.payload.endswith(b"marker"), 10)
    udp = [p for p in conn.received_packets() if p.proto == 17]
    seen = {(p.dst, udp_dport_of(p.raw)) for p in udp}
    for dst, port, passes in cases:
        assert ((dst, port) in seen) == passes, (dst, port, sorted(seen))
    assert not [p for p in conn.received_packets() if p.proto == 1 and p.dst == "10.99.0.130"]

    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def test_packets_cut_across_records_reach_utun_whole_and_once(testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    conn = sess.conn

    def pkt(tag: bytes, size: int = 300) -> bytes:
        body = tag + b"." + os.urandom(size)
        return g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, body)

    two = [pkt(b"two-a"), pkt(b"two-b", 1200)]
    split = pkt(b"split", 900)
    frag = pkt(b"frag", 57)
    sent = two + [split, frag]
    with udp_listener(testhost, UDP_PORT) as rx:
        assert conn.send_packets(two)                    # both in one TLS record
        assert conn.send_split(split, 3, gap=0.2)        # three records
        assert conn.send_fragments(frag, 10, gap=0.05)   # 10-byte records
        got = rx.wait(len(sent), 10)
        time.sleep(0.5)                                  # nothing more may come
        got = rx.payloads()
    assert sorted(got) == sorted(udp_payload_of(p) for p in sent)
    # the first record of the fragments was shorter than a header and waited
    assert log_count(testhost, "receive ssl data less than ip header, continue to wait") >= 1
    assert log_count(testhost, "receive ssl data less than ip_len, continue to wait") >= 1

    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def test_packet_in_the_record_of_the_last_configuration_is_not_held_back(testhost, gateway):
    """The packet shares the TLS record of the network configuration: the
    library holds it, the socket shows nothing more to read."""
    pkt = g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"with the last record")
    gw = gateway(split_scenario(extra_after_u=pkt))
    with udp_listener(testhost, UDP_PORT) as rx:
        sess = TunnelSession(testhost, gw).start()
        got = rx.wait(1, 5)
    assert got == [udp_payload_of(pkt)]
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def test_session_kill_notice_ends_after_the_packets_before_it(testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    before = [g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"last words %d" % i)
              for i in range(3)]
    with udp_listener(testhost, UDP_PORT) as rx:
        # (the answer may be False: the daemon can end the connection before
        # the gateway looks again)
        sess.conn.send_kill_notice(before=before)
        sess.assert_ended(30)
        got = rx.wait(3, 5)
    assert sorted(got) == sorted(udp_payload_of(p) for p in before)
    assert log_count(testhost, "Receive a session kill notify from quon, destroy client now") == 1
    assert log_count(testhost, "Exsit vpn client daemon on session quit") == 1
    sess.assert_host_put_back()


def test_statistics_match_what_the_gateway_sent_and_received(testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    lch = sess.launcher
    conn = sess.conn

    first = lch.stats()
    assert first.client_ip == CLIENT_IP
    assert (first.bytes_in, first.bytes_out) == (conn.bytes_sent, conn.bytes_received)

    # traffic both ways: pings answered by the gateway, packets it injects
    assert ping(testhost, RESOURCE_HOST, count=4).returncode == 0
    with udp_listener(testhost, UDP_PORT) as rx:
        inj = [g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, os.urandom(n))
               for n in (10, 500, 1300)]
        assert conn.send_packets(inj[:2])
        assert conn.send_split(inj[2], 3, gap=0.1)
        assert len(rx.wait(3, 10)) == 3
    for i in range(5):
        send_udp_on(testhost, sess.tun, "10.99.0.9", 9, b"x" * (100 * i + 1))
    assert conn.wait(lambda: conn.packet_count >= 4 + 5, 10)

    def matches():
        s = lch.stats()
        return (s.bytes_in, s.bytes_out) == (conn.bytes_sent, conn.bytes_received)
    assert wait_until(matches, 10, 0.2), (lch.stats(), conn.bytes_sent, conn.bytes_received)
    s = lch.stats()
    assert s.bytes_in > first.bytes_in and s.bytes_out > first.bytes_out
    assert s.bytes_in >= sum(len(p) for p in inj)

    assert lch.terminate() == b"\xde\xed\xc0\xde"
    sess.assert_ended()
    assert sess.logouts() == []      # only "commandline" logs out
    sess.assert_host_put_back()
