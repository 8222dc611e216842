"""The daemon reaches the test gateway through Debian's squid in the test
host: a CONNECT without credentials, Basic on a second connection, NTLM
(negotiate, authenticate) on a second and Basic on a third when that fails;
refusals and broken proxies end in "CONNECT FAIL"; the package's proxy
fields are carried whole at their limits and refused beyond them."""

import os
import socket
import sys
import threading

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import launcher as lm  # noqa: E402
import scenario  # noqa: E402
import squid as sqm  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import TunnelSession, log_count, ping  # noqa: E402

pytestmark = [
    pytest.mark.skipif(not (scenario.tunnel_built() and scenario.built("vpnc_client_proxy_connect")),
                       reason="probe: tunnel or outside-proxy traversal not built in this daemon"),
    pytest.mark.time_limit(180),
]

RESOURCE_HOST = "10.99.0.7"   # answered by the test gateway inside the tunnel


@pytest.fixture
def squid(testhost):
    """Factory: squid(**Squid.start keywords) -> a running squid, stopped
    after the test (before the test host goes)."""
    made = []

    def make(**kw):
        sq = sqm.Squid.start(testhost, **kw)
        made.append(sq)
        return sq
    yield make
    for sq in made:
        sq.stop()


def split_gateway(gateway):
    return gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")]))


def end_session(testhost, sess):
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


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
