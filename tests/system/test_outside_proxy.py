"""The daemon reaches the test gateway through Debian's squid in the test
host: a CONNECT without credentials, Basic on a second connection, NTLM
(negotiate, authenticate) on a second and Basic on a third when that fails;
refusals and broken proxies end in "CONNECT FAIL"; the package's proxy
fields are carried whole at their limits and refused beyond them."""

import os
import select
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import launcher as lm  # noqa: E402
import scenario  # noqa: E402
import squid as sqm  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from squid import squid  # noqa: E402,F401  (fixture)
from tunnel_session import TunnelSession, log_count, ping  # noqa: E402

pytestmark = [
    pytest.mark.skipif(not (scenario.tunnel_built() and scenario.built("vpnc_client_proxy_connect")),
                       reason="probe: tunnel or outside-proxy traversal not built in this daemon"),
    pytest.mark.time_limit(180),
]

RESOURCE_HOST = "10.99.0.7"   # answered by the test gateway inside the tunnel


def split_gateway(gateway):
    return gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")]))


def end_session(testhost, sess):
    testhost.signal_daemon()
    sess.assert_ended()
    # "commandline" never writes the proxy settings back: the services stay
    # on the outside-proxy PAC file the bring-up installed
    sess.assert_host_put_back(proxies_switched=True)


def requests_logged(testhost):
    """The CONNECT requests the daemon logged ("err %d qn =%s"), in order."""
    out = []
    for ln in testhost.log_lines():
        i = ln.find("err ")
        if i >= 0 and " qn =CONNECT " in ln:
            out.append(ln[i:])
    return out


FIRST_CONNECT = (f"CONNECT {scenario.HOSTNAME}:{g.GATEWAY_PORT} HTTP/1.0\r\n"
                 "User-Agent: Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.7.2) Gecko/20040805 Netscape/7.2\r\n"
                 f"Host: {scenario.HOSTNAME}\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\n"
                 "Pragma: no-cache\r\n\r\n")

CASES = {
    # id: (instance, proxy type, port, package fields, user squid names for the tunnel)
    "http-open": (sqm.SQUID_IP, lm.OUTPROXY_HTTP, "open", {}, "-"),
    "basic-auth": (sqm.SQUID_IP, lm.OUTPROXY_BASIC, "auth",
                   dict(proxy_user="alice", proxy_passwd="wonderland"), "alice"),
    # squid logs the NTLM helper's "domain\\user" in lower case, the backslash escaped
    "ntlm-auth": (sqm.SQUID_IP, lm.OUTPROXY_NTLM, "auth",
                  dict(proxy_user="bob", proxy_passwd="pw", proxy_domain="corp"), "corp\\\\bob"),
    "ntlm-then-basic": (sqm.SQUID_BASIC_IP, lm.OUTPROXY_NTLM, "auth",
                        dict(proxy_user="alice", proxy_passwd="wonderland", proxy_domain="corp"), "alice"),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_tunnel_through_squid(testhost, gateway, squid, case):
    address, ptype, port_name, creds, user = case
    sq = squid(address=address, basic_only=address == sqm.SQUID_BASIC_IP)
    gw = split_gateway(gateway)
    sess = TunnelSession(testhost, gw).start(proxy_type=ptype, proxy_ip=address,
                                             proxy_port=sq.port(port_name), **creds)
    r = ping(testhost, RESOURCE_HOST)
    assert r.returncode == 0, r.stdout + r.stderr
    # the gateway saw the tunnel come from squid, not from the host
    assert gw.wait_tunnel(1, 5).peer[0] != testhost.HOST_IP

    connects = requests_logged(testhost)
    assert connects, testhost.log_lines()[-30:]
    # (the log drops the line end; the byte count covers it)
    assert connects[0].rstrip() == f"err {len(FIRST_CONNECT)} qn ={FIRST_CONNECT}".rstrip(), connects[0]
    if ptype == lm.OUTPROXY_NTLM and address == sqm.SQUID_BASIC_IP:
        assert log_count(testhost, "read ntlm response unexpect result") >= 1
    else:
        assert log_count(testhost, "read ntlm response unexpect result") == 0
    end_session(testhost, sess)

    got = sq.wait_connect(200)
    target = f"{scenario.HOSTNAME}:{g.GATEWAY_PORT}"
    assert all(t == target for _, _, t in got), got
    # every tunnel squid let through carried the expected user; an
    # authenticating port answered 407 first
    assert {u for s, u, _ in got if s == 200} == {user}, got
    statuses = {s for s, _, _ in got}
    assert statuses <= ({200, 407} if port_name == "auth" else {200}), got
    if port_name == "auth":
        assert (407, "-", target) in got, got


LIMIT_USER = sqm.LONG_USER.decode()
LIMIT_DOMAIN = "d" * 99

LIMITS = {
    # the package's proxy fields at their limits reach squid whole: Basic is
    # checked against the password file, NTLM names domain and user
    "basic-63-31": (lm.OUTPROXY_BASIC, dict(proxy_user=sqm.LONG_USER, proxy_passwd=sqm.LONG_PASSWD),
                    LIMIT_USER),
    "ntlm-63-31-99": (lm.OUTPROXY_NTLM, dict(proxy_user=sqm.LONG_USER, proxy_passwd=sqm.LONG_PASSWD,
                                             proxy_domain=LIMIT_DOMAIN), LIMIT_DOMAIN + "\\\\" + LIMIT_USER),
}


@pytest.mark.parametrize("case", LIMITS.values(), ids=LIMITS.keys())
def test_proxy_fields_at_their_limits_are_carried_whole(testhost, gateway, squid, case):
    ptype, creds, user = case
    sq = squid()
    gw = split_gateway(gateway)
    sess = TunnelSession(testhost, gw).start(proxy_type=ptype, proxy_ip=sq.address,
                                             proxy_port=sq.port("auth"), **creds)
    end_session(testhost, sess)
    got = sq.wait_connect(200)
    assert {u for s, u, _ in got if s == 200} == {user}, got


OVER = {
    "user-64": (lm.OUTPROXY_BASIC, dict(proxy_user="u" * 64, proxy_passwd="pw"),
                "proxy uname is larger than destination's buffer"),
    "passwd-32": (lm.OUTPROXY_BASIC, dict(proxy_user="alice", proxy_passwd="p" * 32),
                  "proxy passwd is larger than destination's buffer"),
    "domain-100": (lm.OUTPROXY_NTLM, dict(proxy_user="alice", proxy_passwd="pw", proxy_domain="d" * 100),
                   "proxy domain is larger than destination's buffer"),
}


@pytest.mark.parametrize("case", OVER.values(), ids=OVER.keys())
def test_proxy_fields_over_their_limits_are_refused_and_never_used(testhost, squid, case):
    ptype, creds, line = case
    sq = squid()
    lch, verdict = scenario.start_session(testhost, lm, proxy_type=ptype, proxy_ip=sq.address,
                                          proxy_port=sq.port("auth"), **creds)
    assert verdict == "FAIL"
    testhost.wait_log(line, timeout=10)
    testhost.signal_daemon()
    assert testhost.wait_daemon_exit(30) == 0, testhost.describe_daemon()
    assert not any("outside proxy configured" in ln for ln in testhost.log_lines())
    sq.stop()   # flushes its log
    assert sq.connects() == []


REPLY_BOUND = 30      # the daemon's bound on a whole proxy or gateway reply, s
LOGOUT_BOUND = 30     # on the logout after a forced end, s
TRICKLE_GAP = 3       # s between two bytes of a trickled reply
TRICKLED_407 = b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n\r\n"


class ScriptedProxy:
    """A proxy in the gateway namespace; `mode` (changeable) decides what each
    new connection gets after its CONNECT request:
    "closing": the first bytes of a 407, then the connection is closed;
    "trickle": a 407 one byte every TRICKLE_GAP s, for as long as the daemon listens;
    "relay":   a 200, then the bytes relayed to and from the gateway;
    "silent":  nothing, for as long as the daemon keeps the connection.
    `held` lists (mode, s from accept to the daemon's close, bytes sent)
    for the trickled and silent connections."""

    def __init__(self, testhost, mode, address=sqm.SQUID_IP, port=3131):
        self.th, self.mode = testhost, mode
        self.address, self.port = address, port
        self.accepted = 0
        self.held = []
        testhost.run_gw(["ip", "addr", "add", f"{address}/32", "dev", testhost.gw_addr_dev], check=True)
        with testhost.gw_ns():
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(8)
        self.t = threading.Thread(target=self._run, daemon=True)
        self.t.start()

    def _run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._serve, args=(c, self.mode), daemon=True).start()

    @staticmethod
    def _closed_by_peer(c, wait):
        r, _, _ = select.select([c], [], [], wait)
        if not r:
            return False
        try:
            return c.recv(4096) == b""
        except OSError:
            return True

    def _serve(self, c, mode):
        t0 = time.monotonic()
        with c:
            try:
                c.settimeout(10)
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = c.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                if mode == "closing":
                    c.sendall(b"HTTP/1.1 407 Proxy Auth")
                elif mode == "relay":
                    self._relay(c)
                else:
                    sent = 0
                    while not self._closed_by_peer(c, TRICKLE_GAP if mode == "trickle" else 1):
                        if mode == "trickle" and sent < len(TRICKLED_407):
                            c.sendall(TRICKLED_407[sent:sent + 1])
                            sent += 1
                        if time.monotonic() - t0 > 300:
                            break
                    self.held.append((mode, time.monotonic() - t0, sent))
            except OSError:
                pass

    def _relay(self, c):
        with self.th.gw_ns():
            up = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        with up:
            up.settimeout(10)
            up.connect((g.GATEWAY_IP, g.GATEWAY_PORT))
            c.sendall(b"HTTP/1.0 200 Connection established\r\n\r\n")
            c.settimeout(None)
            up.settimeout(None)
            peers = {c: up, up: c}
            while True:
                r, _, _ = select.select(list(peers), [], [])
                for s in r:
                    data = s.recv(65536)
                    if not data:
                        return
                    peers[s].sendall(data)

    def wait_held(self, n, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and len(self.held) < n:
            time.sleep(0.1)
        return self.held

    def stop(self):
        self.sock.close()
        self.t.join(5)


FAILS = {
    # id: (proxy, type, port, package fields, the failure's log line)
    "403": ("squid", lm.OUTPROXY_BASIC, "deny", dict(proxy_user="alice", proxy_passwd="wonderland"),
            "read response from proxy error with no found 407"),
    "wrong-password": ("squid", lm.OUTPROXY_BASIC, "auth", dict(proxy_user="alice", proxy_passwd="wrong"),
                       "read response again from proxy error"),
    "closes-mid-reply": ("closing", lm.OUTPROXY_NTLM, None, dict(proxy_user="alice", proxy_passwd="pw"),
                         "read response from proxy error"),
}


@pytest.mark.parametrize("case", FAILS.values(), ids=FAILS.keys())
def test_proxy_failure_gives_connect_fail(testhost, gateway, squid, case):
    kind, ptype, port_name, creds, line = case
    gw = split_gateway(gateway)
    closing = None
    if kind == "squid":
        sq = squid()
        address, port = sq.address, sq.port(port_name)
    else:
        closing = ScriptedProxy(testhost, "closing")
        address, port = closing.address, closing.port
    try:
        lch, verdict = scenario.start_session(testhost, lm, proxy_type=ptype, proxy_ip=address,
                                              proxy_port=port, **creds)
        assert verdict == "FAIL", testhost.describe_daemon()
        assert testhost.wait_daemon_exit(60) == 0, testhost.describe_daemon()
    finally:
        if closing:
            closing.stop()
    assert log_count(testhost, line) >= 1, testhost.log_lines()[-30:]
    # every TLS attempt ran the traversal afresh (three for the connection,
    # six for the logout of the teardown), and none reached the gateway
    assert len(requests_logged(testhost)) == 9
    assert gw.wait_tunnel(1, 0.1) is None
    if closing:
        assert closing.accepted == 9   # one connection per attempt, nothing after the failure


def test_reconnection_and_logout_traverse_the_proxy_again(testhost, gateway, squid):
    sq = squid()
    gw = split_gateway(gateway)
    sess = TunnelSession(testhost, gw).start(proxy_type=lm.OUTPROXY_NTLM, proxy_ip=sq.address,
                                             proxy_port=sq.port("auth"), proxy_user="bob",
                                             proxy_passwd="pw", proxy_domain="corp")
    first = sess.conn
    first.drop()
    second = gw.wait_tunnel(2, 60)
    assert second is not None and second is not first, testhost.describe_daemon()
    testhost.wait_log(r"reconnected_add_route return 0$", 30)
    r = ping(testhost, RESOURCE_HOST)
    assert r.returncode == 0, r.stdout + r.stderr
    end_session(testhost, sess)
    # the first connection, the reconnection and the logout, each with two
    # TLS attempts (the gateway refuses TLS 1.0 inside the tunnel squid
    # opened): every one was authenticated by NTLM on its own
    assert len(sess.logouts()) == 1
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and sum(s == 200 for s, _, _ in sq.connects()) < 6:
        time.sleep(0.1)
    got = sq.connects()
    assert [u for s, u, _ in got if s == 200] == ["corp\\\\bob"] * 6, got
    assert sum(s == 407 for s, _, _ in got) == 12, got


@pytest.mark.time_limit(240)
def test_trickled_proxy_reply_is_given_up_within_the_whole_reply_bound(testhost, gateway):
    """Each byte of the 407 comes well within the bound; the reply as a whole
    does not, and the attempt ends after the bound. SIGTERM during the next
    attempt then ends the daemon within a minute, its logout included."""
    split_gateway(gateway)
    proxy = ScriptedProxy(testhost, "trickle")
    try:
        testhost.start_daemon()
        lch = lm.Launcher(testhost).connect()
        lch.send_package(scenario.package(lm, proxy_type=lm.OUTPROXY_BASIC, proxy_ip=proxy.address,
                                          proxy_port=proxy.port, proxy_user="alice", proxy_passwd="pw"))
        testhost.wait_log(r"no complete reply within %d s, given up$" % REPLY_BOUND, REPLY_BOUND + 40)
        testhost.wait_log(r"read response from proxy error$", 10)
        held = proxy.wait_held(1, 15)
        assert held, testhost.describe_daemon()
        _, took, sent = held[0]
        assert REPLY_BOUND - 2 <= took <= REPLY_BOUND + 15, held
        assert 5 <= sent < len(TRICKLED_407), held
        testhost.wait_log(r"TLSv1 failed, try TLSv1_2!", 10)
        t0 = time.monotonic()
        testhost.signal_daemon()
        assert scenario.read_verdict(lch, 90) == "FAIL"
        assert testhost.wait_daemon_exit(90) == 0, testhost.describe_daemon()
        assert time.monotonic() - t0 < 60
    finally:
        proxy.stop()
    # the logout's attempts after the forced end are cut: no attempt waited
    # out more than one whole-reply bound
    assert all(took <= REPLY_BOUND + 15 for _, took, _ in proxy.held), proxy.held


@pytest.mark.time_limit(180)
def test_sigterm_ends_the_daemon_within_a_minute_while_the_proxy_never_answers_the_logout(
        testhost, gateway):
    gw = split_gateway(gateway)
    proxy = ScriptedProxy(testhost, "relay")
    try:
        sess = TunnelSession(testhost, gw).start(proxy_type=lm.OUTPROXY_HTTP, proxy_ip=proxy.address,
                                                 proxy_port=proxy.port)
        r = ping(testhost, RESOURCE_HOST)
        assert r.returncode == 0, r.stdout + r.stderr
        proxy.mode = "silent"
        t0 = time.monotonic()
        testhost.signal_daemon()
        sess.assert_ended(90)
        assert time.monotonic() - t0 < 60
    finally:
        proxy.stop()
    testhost.wait_log(r"logout given up %d s after the forced end$" % LOGOUT_BOUND, 10)
    # the logout's connection was shut down: the proxy saw it closed
    held = proxy.wait_held(1, 10)
    assert held and all(m == "silent" and took < LOGOUT_BOUND + 10 for m, took, _ in held), held
    assert sess.logouts() == []
    sess.assert_host_put_back(proxies_switched=True)
