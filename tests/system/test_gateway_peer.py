"""Self-test of the test gateway, without the daemon: a plain Python client plays the
daemon's side on 127.0.0.1 (preamble, TLS, request, records, packets) and decodes
what the gateway sends with a small decoder of its own."""

import os
import socket
import ssl
import struct
import sys
import time
import warnings

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402


# ---------------------------------------------------------------- the client

def preamble(now=None):
    t = int(time.time() if now is None else now) & 0xFFFFFFFF
    return (bytes.fromhex("160301004d010000490301") + struct.pack(">I", t) + bytes(range(1, 29))
            + b"\x20" + b"\xff" * 32 + bytes.fromhex("000200040100"))


def read_exact(s, n, timeout=5.0):
    s.settimeout(timeout)
    out = b""
    while len(out) < n:
        chunk = s.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return out


def read_to_eof(s, timeout=5.0):
    s.settimeout(timeout)
    out = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
    except (ssl.SSLError, ConnectionResetError):
        pass
    return out


def client_tls(port, version=ssl.TLSVersion.TLSv1_2, send_preamble=True):
    raw = socket.create_connection(("127.0.0.1", port), timeout=5)
    if send_preamble:
        raw.sendall(preamble())
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # TLS 1.0 on purpose
        ctx.minimum_version = version
        ctx.maximum_version = version
    try:
        return ctx.wrap_socket(raw)
    except (ssl.SSLError, OSError):
        raw.close()
        return None


def read_http_reply(s):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        assert chunk, "reply cut"
        head += chunk
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    return head, read_exact(s, length)


class Cut(Exception):
    pass


def need(s, n):
    data = read_exact(s, n)
    if len(data) < n:
        raise Cut()
    return data


def decode_q(s):
    hdr = need(s, 16)
    c = need(s, 56)
    w = struct.unpack("<14I", c)
    out = dict(type=hdr[:1], keepalive=w[2], dns_priority=w[3:6], host_map=[], launch=[],
               disconnect=[])
    budget = w[10]
    while budget > 0:
        ip = socket.inet_ntoa(need(s, 4))
        n = struct.unpack(">I", need(s, 4))[0]
        out["host_map"].append((ip, need(s, n).rstrip(b"\0").decode()))
        budget -= 8 + n
    for key, budget in (("launch", w[11]), ("disconnect", w[12])):
        while budget > 0:
            n = struct.unpack(">I", need(s, 4))[0]
            out[key].append(need(s, n).rstrip(b"\0").decode())
            budget -= 4 + n
    return out


def decode_u(s):
    hdr = need(s, 16)
    h = need(s, 36)
    flags, nres, nexc, plen = struct.unpack("<4I", h[:16])
    ndns, nwins, slen = struct.unpack("<3I", h[24:36])
    out = dict(type=hdr[:1], flags=flags, client_ip=socket.inet_ntoa(h[16:20]),
               mask=socket.inet_ntoa(h[20:24]), wins=nwins)

    def resource(raw):
        return g.Resource(socket.inet_ntoa(raw[0:4]), socket.inet_ntoa(raw[4:8]), raw[9],
                          struct.unpack("<5H", raw[10:20]), raw[20])
    out["resources"] = [resource(need(s, 24)) for _ in range(nres)]
    out["excludes"] = [resource(need(s, 24)) for _ in range(nexc)]
    out["proxy"] = None
    if plen:
        ptype, n = struct.unpack(">II", need(s, 8))
        out["proxy"] = (ptype, need(s, n + 1)[:n].decode())
    out["dns"] = [socket.inet_ntoa(need(s, 4)) for _ in range(ndns)]
    out["search"] = need(s, slen).decode().split(",") if slen else []
    return out


T_REQ = (b"T" + bytes(11) + struct.pack("<I", 32) + struct.pack("<I", 2)
         + socket.inet_aton("10.77.0.2") + socket.inet_aton("192.0.2.7") + bytes(12)
         + bytes.fromhex("020000aabbcc") + bytes(2))
HOST, COOKIE, UUID = "gw.example.test", "SID=abc+0123abcd", "0000-TEST-UUID\n"


def exchange(port):
    """Client side up to the packet phase; answers (tls socket, reply head, Q, U)."""
    assert client_tls(port, ssl.TLSVersion.TLSv1) is None   # refused, as OpenSSL 3 does
    s = client_tls(port)
    assert s is not None
    s.sendall(g.expected_tunnel_request(HOST, COOKIE, UUID))
    head, _ = read_http_reply(s)
    s.sendall(b"P" + bytes(15))
    q = decode_q(s)
    s.sendall(T_REQ)
    u = decode_u(s)
    return s, head, q, u


@pytest.fixture
def gw(tmp_path):
    gateway = g.Gateway(tmp_path, g.rich_scenario(), host="127.0.0.1", port=0, io_timeout=5)
    yield gateway
    gateway.stop()


# ---------------------------------------------------------------- builders

def test_record_builders_match_hand_made_bytes():
    r = g.Resource("10.1.2.0", "255.255.255.0", g.PORT_MATCH_RANGE, (1000, 2000), 1)
    assert r.pack().hex() == "0a010200" "ffffff00" "0003" "e803d00700000000" "0000" "01000000"
    assert g.msg_header(b"Q").hex() == "51" + "00" * 15
    ch = g.common_header(keepalive_interval=30, dns_priority=(3, 2, 3), host_map_len=0x7FFFFFFF)
    assert ch[8:12] == b"\x1e\0\0\0" and ch[12:24] == bytes.fromhex("030000000200000003000000")
    assert ch[40:44] == b"\xff\xff\xff\x7f" and len(ch) == 56
    nh = g.network_header(flags=3, resource_count=2, client_ip="10.200.0.2",
                          virtual_mask="255.255.255.0", dns_count=1, search_domain_len=7)
    assert nh.hex() == ("03000000" "02000000" "00000000" "00000000" "0ac80002" "ffffff00"
                        "01000000" "00000000" "07000000")
    assert g.host_map_section([("10.0.0.1", "ab")]).hex() == "0a000001" "00000003" "616200"
    assert g.command_section(["ls"]).hex() == "00000003" "6c7300"
    assert g.inside_proxy_section(g.PROXY_SCRIPT, "u").hex() == "00000001" "00000001" "7500"


def test_layout_offsets_follow_the_records():
    sc = g.rich_scenario()
    q, u = sc.q_part(), sc.u_part()
    lay = {name: (a, b) for name, a, b in sc.layout()}
    assert lay["disconnect commands"][1] == len(q) == lay["U header"][0]
    assert sc.layout()[-1][2] == len(q) + len(u)
    a, b = lay["network header"]
    assert (q + u)[a + 16:a + 20] == g.ip4(sc.client_ip)
    a, b = lay["search domains"]
    assert (q + u)[a:b] == b"example.test,corp.example.test"


def test_preamble_check_and_t_request_decoding():
    assert g.preamble_problems(preamble()) == []
    bad = bytearray(preamble())
    bad[50] = 0
    assert any("session id" in p for p in g.preamble_problems(bytes(bad)))
    assert any("time" in p for p in g.preamble_problems(preamble(now=1000)))
    t = g.TRequest.parse(T_REQ)
    assert (t.count, t.ips[:3], t.mac.hex(), t.problems()) == (
        2, ["10.77.0.2", "192.0.2.7", "0.0.0.0"], "020000aabbcc", [])
    bad = bytearray(T_REQ)
    bad[12:16] = struct.pack("<I", 48)
    bad[30] = 1     # inside the third address slot, beyond count
    bad_t = g.TRequest.parse(bytes(bad))
    assert bad_t.problems() == ["length 48", "slots beyond count not zero"]


def test_packets_echo_reply_has_valid_checksums():
    req = g.icmp_echo("10.200.0.2", "10.99.0.1", ident=7, seq=3, data=b"x" * 33)
    rep = g.echo_reply_for(req)
    p = g.Packet.parse(rep)
    assert (p.src, p.dst, p.payload[0]) == ("10.99.0.1", "10.200.0.2", 0)
    assert g.inet_checksum(rep[:20]) == 0 and g.inet_checksum(p.payload) == 0
    assert p.payload[4:] == g.Packet.parse(req).payload[4:]
    assert g.Packet.parse(g.keepalive_packet()).is_keepalive
    assert g.kill_notice()[9] == 255 and g.kill_notice()[12:14] == b"\x00\x02"
    syn = g.tcp_syn("10.200.0.2", "10.99.0.1", 40000, 8080)
    assert g.inet_checksum(syn[:20]) == 0 and struct.unpack("!H", syn[22:24])[0] == 8080


# ---------------------------------------------------------------- a whole connection

def test_exchange_records_and_relay(gw):
    s, head, q, u = exchange(gw.port)
    sc = gw.scenario
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    assert (q["type"], q["keepalive"], q["host_map"], q["launch"], q["disconnect"]) == (
        b"Q", 30, sc.host_map, sc.launch_commands, sc.disconnect_commands)
    assert (u["type"], u["flags"], u["client_ip"], u["mask"]) == (
        b"U", g.NETCFG_LOCAL_ACCESS, sc.client_ip, sc.client_mask)
    assert (u["resources"], u["excludes"], u["proxy"], u["dns"], u["search"]) == (
        sc.resources, sc.excludes, sc.inside_proxy, sc.dns, sc.search_domains)

    # what the gateway recorded, byte for byte
    assert gw.tcp_attempts == 2 and gw.tls_attempts == 2 and gw.tls_failures == 1
    conn = gw.wait_tunnel(1, timeout=5)
    assert conn is not None and conn.tls_version == "TLSv1.2"
    assert conn.preamble_problems == [] and len(conn.preamble) == 82
    assert gw.tunnel_requests == [g.expected_tunnel_request(HOST, COOKIE, UUID)]
    assert conn.p_request == b"P" + bytes(15)
    assert conn.t_request.raw == T_REQ and conn.errors == []

    # packets from the client: echo answered, keepalive answered, both recorded
    echo = g.icmp_echo(sc.client_ip, "10.99.0.1", ident=9, seq=1)
    udp = g.udp_packet(sc.client_ip, "10.99.0.7", 5000, 53, b"q" * 40)
    s.sendall(echo + udp)     # two packets in one record
    s.sendall(g.keepalive_packet()[:7])
    s.sendall(g.keepalive_packet()[7:])   # one packet over two records
    got = read_exact(s, len(echo) + 20)
    assert got == g.echo_reply_for(echo) + g.keepalive_packet()
    assert conn.wait(lambda: conn.packet_count == 3, 5)
    assert [p.proto for p in conn.received_packets()] == [1, 17, 255] and conn.keepalives == 1

    # injection: a batch, a packet in three records, 10-byte fragments, the kill notice
    a = g.icmp_echo("10.99.0.1", sc.client_ip, data=b"a" * 100, reply=True)
    b = g.icmp_echo("10.99.0.1", sc.client_ip, data=b"b" * 200, reply=True)
    assert conn.send_packets([a, b])
    assert read_exact(s, len(a) + len(b)) == a + b
    assert conn.send_split(b, 3, gap=0.05)
    assert conn.send_fragments(a, 10, gap=0.01)
    assert read_exact(s, len(b) + len(a)) == b + a
    assert conn.send_kill_notice(before=[a])
    assert read_exact(s, len(a) + 20) == a + g.kill_notice()

    # counters: relay-phase bytes only, as the daemon counts them
    assert conn.bytes_received == len(echo) + len(udp) + 20
    assert conn.bytes_sent == 20 + len(g.echo_reply_for(echo)) + 3 * len(a) + 2 * len(b) + 20
    conn.drop()
    assert read_to_eof(s) == b""
    assert conn.wait_closed(5) and conn.errors == []


CUT_SEGMENTS = [name for name, start, end in g.rich_scenario().layout() if end > start]


@pytest.mark.parametrize("segment", CUT_SEGMENTS)
def test_stream_cut_inside_each_segment(tmp_path, segment):
    base = g.rich_scenario()
    start, end = [(a, b) for n, a, b in base.layout() if n == segment][0]
    cut = (start + end) // 2
    gw = g.Gateway(tmp_path, g.rich_scenario(truncate_at=cut), host="127.0.0.1", port=0,
                   io_timeout=5)
    try:
        s = client_tls(gw.port)
        s.sendall(g.expected_tunnel_request(HOST, COOKIE, UUID))
        read_http_reply(s)
        s.sendall(b"P" + bytes(15))
        qlen = len(base.q_part())
        got = read_exact(s, min(cut, qlen))
        if cut > qlen:
            s.sendall(T_REQ)
        got += read_to_eof(s)
        assert got == (base.q_part() + base.u_part())[:cut]
        s.close()
        conn = gw.connections[-1]
        assert conn.wait_closed(5) and conn.config_sent == cut
    finally:
        gw.stop()


@pytest.mark.parametrize("scenario,expect_head", [
    (g.Scenario(http_status=403, http_reason="Forbidden", http_body=b"no"), b"HTTP/1.1 403"),
    (g.Scenario(raw_http_reply=b"HTTP/1.0 502 Bad\r\n\r\n"), b"HTTP/1.0 502"),
])
def test_non_200_reply_ends_connection(tmp_path, scenario, expect_head):
    with g.Gateway(tmp_path, scenario, host="127.0.0.1", port=0, io_timeout=5) as gw:
        s = client_tls(gw.port)
        s.sendall(g.expected_tunnel_request(HOST, COOKIE, ""))
        assert read_to_eof(s).startswith(expect_head)
        s.sendall(b"P" + bytes(15))    # taken, never answered
        s.close()
        conn = gw.connections[0]
        assert conn.wait_closed(5) and gw.tunnels() == [] and conn.trailing == b"P" + bytes(15)


def test_hostile_overrides_change_only_named_fields(tmp_path):
    sc = g.Scenario(q_type=b"X", common_overrides={"host_map_len": 0x7FFFFFFF},
                    network_overrides={"resource_count": 0xFFFFFFFF, "client_ip": "0.0.0.0"})
    q, u = sc.q_part(), sc.u_part()
    assert q[0:1] == b"X" and q[16 + 40:16 + 44] == b"\xff\xff\xff\x7f"
    assert u[16 + 4:16 + 8] == b"\xff" * 4 and u[16 + 16:16 + 20] == bytes(4)
    assert len(u) == 16 + 36 + 24   # the one default resource still follows


def test_refused_and_logout_connections(tmp_path):
    with g.Gateway(tmp_path, host="127.0.0.1", port=0, io_timeout=5) as gw:
        gw.refuse_new = True
        try:   # the reset may come before connect() has returned
            with socket.create_connection(("127.0.0.1", gw.port), timeout=5) as raw:
                raw.sendall(preamble())
                assert raw.recv(10) == b""
        except (ConnectionResetError, BrokenPipeError):
            pass
        assert gw.wait_for(lambda: gw.connections and gw.connections[0].closed, 5)
        assert gw.connections[0].refused and gw.connections[0].preamble == b""
        gw.refuse_new = False
        s = client_tls(gw.port)
        s.sendall(g.expected_logout_request(HOST, COOKIE))
        head, body = read_http_reply(s)
        assert head.startswith(b"HTTP/1.1 200") and body == b""
        s.close()
        assert gw.wait_for(lambda: gw.logouts == [g.expected_logout_request(HOST, COOKIE)], 5)


# ---------------------------------------------------------------- TUN in the test host

def _testhost_module():
    try:
        import testhost  # noqa: F401
        return testhost
    except ImportError:
        return None


@pytest.mark.skipif(_testhost_module() is None, reason="tests/system/testhost.py not merged yet")
def test_tun_relays_into_gateway_namespace(tmp_path):
    th_mod = _testhost_module()
    with th_mod.TestHost(tmp_path) as th:
        sc = g.Scenario(client_ip="10.200.0.2")
        with g.Gateway.in_testhost(th, tmp_path, sc, io_timeout=5) as gw:
            tun = g.GatewayTun(th, address="10.99.0.1/24", client_ip=sc.client_ip)
            gw.attach_tun(tun)
            with th.host_ns():
                raw = socket.create_connection((g.GATEWAY_IP, g.GATEWAY_PORT), timeout=5)
            raw.sendall(preamble())
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            s = ctx.wrap_socket(raw)
            s.sendall(g.expected_tunnel_request(HOST, COOKIE, UUID))
            read_http_reply(s)
            s.sendall(b"P" + bytes(15))
            decode_q(s)
            s.sendall(T_REQ)
            decode_u(s)
            assert gw.wait_tunnel(1, 5) is not None
            echo = g.icmp_echo(sc.client_ip, "10.99.0.1", ident=5, seq=1, data=b"tun" * 10)
            s.sendall(echo)
            reply = g.Packet.parse(read_exact(s, len(echo)))
            # answered by the gateway namespace's own kernel, through the TUN
            assert (reply.src, reply.dst, reply.payload[0]) == ("10.99.0.1", sc.client_ip, 0)
            assert reply.payload[8:] == b"tun" * 10
            s.close()


def test_chunked_records_carry_the_same_bytes(tmp_path):
    with g.Gateway(tmp_path, g.rich_scenario(chunk=3, extra_after_u=g.keepalive_packet()),
                   host="127.0.0.1", port=0, io_timeout=5) as gw:
        s, _, q, u = exchange(gw.port)
        assert q["host_map"] == gw.scenario.host_map and u["search"] == gw.scenario.search_domains
        assert read_exact(s, 20) == g.keepalive_packet()   # right after the last record
        conn = gw.wait_tunnel(1, 5)
        assert conn.config_sent == len(gw.scenario.q_part() + gw.scenario.u_part())
        assert conn.bytes_sent == 20
        s.close()
