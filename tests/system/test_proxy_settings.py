"""Proxy configuration end to end in the test host: the outside-proxy PAC
file of a session through squid, the inside-proxy PAC file a browser-mode
session gets one second after the tunnel, the network service pointed at the
installed file and its settings written back; every PAC file the daemon
installs is evaluated by pacparser with a fixed name table (no DNS)."""

import copy
import http.server
import json
import os
import re
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import launcher as lm  # noqa: E402
import pac_eval  # noqa: E402
import scenario  # noqa: E402
import squid as sqm  # noqa: E402
import sysconfig_store  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import (PREFERENCES, HostState, HungTool, TunnelSession, log_count,  # noqa: E402
                            wait_until)

pytestmark = [
    pytest.mark.skipif(
        not (scenario.tunnel_built() and scenario.built(
            "generate_outside_script_mac", "generate_insideproxy_script", "setoriginalproxy_mac",
            "vpnc_client_proxy_connect", "inside_proxy_download_thread", "browser_closed_or_not")),
        reason="probe: tunnel, proxy settings, traversal or threads not built in this daemon"),
    pytest.mark.time_limit(180),
]

SERVICE = sysconfig_store.SERVICE
# The user's own settings on en0: manual HTTP and HTTPS proxies and the
# platform's default exceptions (whose "169.254/16" must not break the file).
USER_PROXIES = {"HTTPEnable": 1, "HTTPProxy": "user-proxy.lan", "HTTPPort": 8080,
                "HTTPSEnable": 1, "HTTPSProxy": "user-proxy.lan", "HTTPSPort": 8443,
                "FTPEnable": 0, "ProxyAutoConfigEnable": 0,
                "ProxyAutoConfigURLString": "http://wpad.lan/wpad.dat",
                "ExceptionsList": ["*.local", "169.254/16"], "ExcludeSimpleHostnames": 1}
NAMES = {scenario.HOSTNAME: g.GATEWAY_IP, "intranet.corp": "10.99.0.7", "excluded.corp": "10.98.0.5",
         "www.example.org": "203.0.113.9", "printer.local": "192.168.1.20"}
SCRIPT_PORT = 8089
INSTALLED = re.compile(r"tev_prox(-?\d+)\.pac")


@pytest.fixture
def squid(testhost):
    made = []

    def make(**kw):
        sq = sqm.Squid.start(testhost, **kw)
        made.append(sq)
        return sq
    yield make
    for sq in made:
        sq.stop()


def session_with_user_proxies(testhost, gw, proxies=USER_PROXIES):
    sess = TunnelSession(testhost, gw)
    prefs = copy.deepcopy(PREFERENCES)
    prefs["NetworkServices"][SERVICE]["Proxies"] = copy.deepcopy(proxies)
    sysconfig_store.seed(testhost, preferences=prefs, replace=True)
    sess.before = HostState(testhost)
    return sess


def service_proxies(testhost):
    return sysconfig_store.contents(testhost)["preferences.json"]["NetworkServices"][SERVICE].get("Proxies")


def installed(testhost):
    d = testhost.library_dir / "Frameworks"
    return sorted(p for p in d.iterdir() if INSTALLED.fullmatch(p.name))


def the_installed_file(testhost):
    files = installed(testhost)
    assert len(files) == 1, files
    # every application reads it, only root may change it
    assert files[0].stat().st_mode & 0o7777 == 0o644, oct(files[0].stat().st_mode)
    return files[0]


def assert_service_points_at(testhost, path):
    p = service_proxies(testhost)
    assert p["ProxyAutoConfigEnable"] == 1
    assert p["ProxyAutoConfigURLString"] == f"file://localhost/Library/Frameworks/{path.name}"
    for off in ("ProxyAutoDiscoveryEnable", "HTTPEnable", "HTTPSEnable", "FTPEnable", "SOCKSEnable",
                "RTSPEnable", "GopherEnable"):
        assert p[off] == 0, off
    # hosts, ports and exceptions stay as the user set them
    assert p["HTTPProxy"] == USER_PROXIES["HTTPProxy"] and p["ExceptionsList"] == USER_PROXIES["ExceptionsList"]


def evaluate(path, urls):
    return pac_eval.evaluate(path.read_bytes(), urls, NAMES)


def earlier_installation(testhost):
    """A file an earlier run installed; an installation removes it."""
    old = testhost.library_dir / "Frameworks" / "tev_prox1000.pac"
    old.write_text("function FindProxyForURL(u, h) { return \"PROXY old:1\"; }\n")
    return old


# ------------------------------------------------------------ outside proxy

def test_commandline_through_squid_installs_the_outside_pac_and_leaves_it(testhost, gateway, squid):
    sq = squid()
    gw = gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                            excludes=[g.Resource("10.98.0.0", "255.255.0.0")]))
    sess = session_with_user_proxies(testhost, gw)
    old = earlier_installation(testhost)
    lch, verdict = scenario.start_session(testhost, lm, proxy_type=lm.OUTPROXY_HTTP, proxy_ip=sq.address,
                                          proxy_port=sq.port("open"))
    assert verdict == "OK", testhost.describe_daemon()
    # written, installed and switched during the bring-up, before "CONNECT OK"
    pac = the_installed_file(testhost)
    assert not old.exists()
    assert_service_points_at(testhost, pac)
    outside = f"PROXY {sq.address}:{sq.port('open')}"
    answers = evaluate(pac, [f"https://{scenario.HOSTNAME}/", "http://excluded.corp/", "http://intranet.corp/",
                             "http://www.example.org/", "https://www.example.org/", "ftp://www.example.org/",
                             "http://printer.local/", "http://printer/"])
    assert answers == [outside, outside, "DIRECT", "PROXY user-proxy.lan:8080", "PROXY user-proxy.lan:8443",
                       "DIRECT", "DIRECT", "DIRECT"]
    text = pac.read_text()
    assert "host.search(/.*\\.local|169\\.254\\/16/) >= 0" in text
    assert "\treturn \"DIRECT\";\n}\n" == text[-len("\treturn \"DIRECT\";\n}\n"):]

    switched = service_proxies(testhost)
    testhost.signal_daemon()
    sess.assert_ended()
    # "commandline": the teardown logs out and never touches the proxy settings
    assert service_proxies(testhost) == switched
    assert installed(testhost) == [pac]
    assert log_count(testhost, "set proxy for service " + SERVICE) == 1
    # and no inside-proxy thread ran
    assert not any("generate_insideproxy_script:" in ln for ln in testhost.log_lines())
    lch.close()


def test_browser_mode_through_squid_disables_the_inside_proxy_and_writes_back(testhost, gateway, squid):
    sq = squid()
    browser = testhost.start_named("Safari")
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL, inside_proxy=(g.PROXY_MANUAL, "10.99.0.3:3128")))
    sess = session_with_user_proxies(testhost, gw)
    sess.start(navtype="Safari", proxy_type=lm.OUTPROXY_HTTP, proxy_ip=sq.address, proxy_port=sq.port("open"))
    testhost.wait_log("Outside proxy has been set, so inside is auto disabled here$", 30)
    pac = the_installed_file(testhost)
    assert_service_points_at(testhost, pac)
    outside = f"PROXY {sq.address}:{sq.port('open')}"
    # full tunnel: the gateway through squid, everything else direct
    assert evaluate(pac, [f"https://{scenario.HOSTNAME}/", "http://www.example.org/"]) == [outside, "DIRECT"]
    browser.stop()
    sess.assert_ended()
    sess.assert_host_put_back()  # the service's settings come back exactly
    assert installed(testhost) == [pac]


def test_hung_scutil_holds_the_bring_up_for_one_bound_and_sigterm_ends_it(testhost, gateway, squid, tmp_path):
    sq = squid()
    gw = gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")]))
    sess = session_with_user_proxies(testhost, gw)
    hung = HungTool(testhost, tmp_path, "scutil", args="--proxy")
    testhost.start_daemon(tools=hung.tools())
    lch = lm.Launcher(testhost).connect()
    lch.send_package(scenario.package(lm, navtype="standalone", proxy_type=lm.OUTPROXY_HTTP,
                                      proxy_ip=sq.address, proxy_port=sq.port("open")))
    assert wait_until(lambda: hung.calls(), 30), testhost.describe_daemon()
    # the end is asked for while the bring-up waits on the hung reader
    sent = time.monotonic()
    testhost.signal_daemon()
    sess.assert_ended(30)
    assert time.monotonic() - sent < 30
    # one run stopped at its bound; the settings' other reads did not start it again
    assert hung.gone(hung.calls()[0])
    assert len(hung.calls()) == 1
    testhost.wait_log(r"did not end within 10 s, stopped; its output is not used$", 10)
    sess.assert_host_put_back()
    lch.close()


# How the daemon was started decides nothing of what it runs or installs: a
# launcher's own PATH (a program named scutil ahead of the system's) and
# HOME, or a umask of 0.
STARTS = {
    "own-path-and-home": (None, True),
    "umask-0": (0, False),
}


@pytest.mark.parametrize("case", STARTS.values(), ids=STARTS.keys())
def test_outside_pac_owes_nothing_to_how_the_daemon_was_started(testhost, gateway, squid, case):
    umask, own_path = case
    sq = squid()
    gw = gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")]))
    sess = session_with_user_proxies(testhost, gw)
    ahead = testhost.tmp_dir / "ahead"  # /tmp/ahead inside
    ahead.mkdir()
    fake = ahead / "scutil"
    fake.write_text('#!/bin/sh\necho "uid=$(id -u) args=$*" >> /tmp/ahead/ran\nexec /usr/sbin/scutil "$@"\n')
    fake.chmod(0o755)
    env = {"PATH": "/tmp/ahead:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/tmp/ahead"} if own_path else None
    sess.start(extra_env=env, umask=umask, proxy_type=lm.OUTPROXY_HTTP, proxy_ip=sq.address,
               proxy_port=sq.port("open"))
    assert not (ahead / "ran").exists(), (ahead / "ran").read_text()
    assert ["/usr/sbin/scutil", "--proxy"] in testhost.journal()
    pac = the_installed_file(testhost)  # 0644 whatever the umask
    assert evaluate(pac, ["http://www.example.org/", "http://intranet.corp/"]) == [
        "PROXY user-proxy.lan:8080", "DIRECT"]
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back(proxies_switched=True)


# ------------------------------------------------------------- inside proxy

class ScriptServer:
    """Serves one PAC script over HTTP on the gateway's address."""

    def __init__(self, testhost, body: bytes):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(h):  # noqa: N805
                self.requests.append(h.path)
                h.send_response(200)
                h.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                h.send_header("Content-Length", str(len(body)))
                h.end_headers()
                h.wfile.write(body)

            def log_message(h, *a):  # noqa: N805
                pass

        self.requests = []
        with testhost.gw_ns():
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        self.server = http.server.HTTPServer((g.GATEWAY_IP, SCRIPT_PORT), Handler, bind_and_activate=False)
        self.server.socket.close()
        self.server.socket = sock
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.server_bind()
        self.server.server_activate()
        self.t = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.t.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def servers(testhost):
    """servers(Kind, *args): a Kind(testhost, *args), stopped after the test."""
    made = []

    def make(kind, *args):
        s = kind(testhost, *args)
        made.append(s)
        return s
    yield make
    for s in made:
        s.stop()


SCRIPT_URL = f"http://{g.GATEWAY_IP}:{SCRIPT_PORT}/proxy.pac"
FROM_SCRIPT = ["PROXY from-script:8"] * 3
INSIDE_CASES = {
    # id: (inside proxy, answers, umask the daemon is started with)
    "manual": ((g.PROXY_MANUAL, "10.99.0.3:3128"), ["PROXY 10.99.0.3:3128"] * 3, None),
    "protocol-list": ((g.PROXY_MANUAL, "IEPROTO#http=10.99.0.3:80;https=10.99.0.4:443#"),
                      ["PROXY 10.99.0.3:80", "PROXY 10.99.0.4:443", "DIRECT"], None),
    "script": ((g.PROXY_SCRIPT, SCRIPT_URL), FROM_SCRIPT, None),
    # the installed file and curl's download are 0644 all the same
    "script-umask-0": ((g.PROXY_SCRIPT, SCRIPT_URL), FROM_SCRIPT, 0),
}


@pytest.mark.parametrize("case", INSIDE_CASES.values(), ids=INSIDE_CASES.keys())
def test_browser_mode_installs_the_inside_pac_after_the_tunnel_and_writes_back(testhost, gateway,
                                                                                 servers, case):
    inside, answers, umask = case
    server = servers(ScriptServer, b"function FindProxyForURL(url, host) {\n  return \"PROXY from-script:8\";\n}\n")
    browser = testhost.start_named("Safari")
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL, inside_proxy=inside,
                            excludes=[g.Resource("10.98.0.0", "255.255.0.0")]))
    sess = session_with_user_proxies(testhost, gw)
    old = earlier_installation(testhost)
    sess.start(navtype="Safari", umask=umask)
    testhost.wait_log(f"set proxy for service {SERVICE}, successful$", 30)
    pac = the_installed_file(testhost)
    assert not old.exists()
    assert_service_points_at(testhost, pac)
    got = evaluate(pac, ["http://www.example.org/", "https://www.example.org/", "ftp://www.example.org/",
                         "http://localhost/", f"https://{scenario.HOSTNAME}/", "http://excluded.corp/"])
    assert got == answers + ["DIRECT", "DIRECT", "DIRECT"]
    if inside[0] == g.PROXY_SCRIPT:
        assert server.requests == ["/proxy.pac"]
        download = testhost.usr_local_dir / "tevra_vpn" / "tev_prox.tmp"
        assert download.stat().st_mode & 0o7777 == 0o644, oct(download.stat().st_mode)
        assert "__InProxyForURL" in pac.read_text()
        assert log_count(testhost, "download url script for inside proxy directly") == 1
    else:
        assert server.requests == []
    browser.stop()
    sess.assert_ended()
    sess.assert_host_put_back()  # the service's settings come back exactly
    assert installed(testhost) == [pac]


UNFETCHED = {
    "nothing-listens": (f"http://{g.GATEWAY_IP}:{SCRIPT_PORT}/none.pac",
                        "failed to download the url script for inside proxy$"),
    # "contains http://" would have had the daemon read a local file and
    # install it world-readable
    "file-url": ("file:///etc/hostname#http://", "inside proxy url format not include http invalid$"),
}


@pytest.mark.parametrize("case", UNFETCHED.values(), ids=UNFETCHED.keys())
def test_inside_script_that_cannot_be_fetched_installs_nothing(testhost, gateway, case):
    url, why = case
    browser = testhost.start_named("Safari")
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL, inside_proxy=(g.PROXY_SCRIPT, url)))
    sess = session_with_user_proxies(testhost, gw)
    before = service_proxies(testhost)
    sess.start(navtype="Safari")
    testhost.wait_log("Failed to download inside proxy url script$", 60)
    assert log_count(testhost, why.rstrip("$")) == 1
    assert installed(testhost) == []
    assert not (testhost.library_dir / "Frameworks" / "tev_prox.pac").exists()
    assert not (testhost.usr_local_dir / "tevra_vpn" / "tev_prox.tmp").exists()
    assert service_proxies(testhost) == before
    browser.stop()
    sess.assert_ended()
    sess.assert_host_put_back()


class SilentListener:
    """Takes connections on the gateway's address, reads each request and
    never answers."""

    def __init__(self, testhost, port):
        with testhost.gw_ns():
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((g.GATEWAY_IP, port))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.request_lines = []
        self._held = []
        self._stop = False
        self._cond = threading.Condition()
        self._t = threading.Thread(target=self._run, daemon=True)
        self._t.start()

    def _run(self):
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self._held.append(conn)
            conn.settimeout(10)
            try:
                line = conn.makefile("rb").readline().decode(errors="replace").rstrip("\r\n")
            except OSError:
                line = ""
            with self._cond:
                self.request_lines.append(line)
                self._cond.notify_all()
            self.answer(conn)

    def answer(self, conn):
        """What follows a request: nothing, the connection is held."""

    def wait_requests(self, n, timeout):
        with self._cond:
            self._cond.wait_for(lambda: len(self.request_lines) >= n, timeout)
            return list(self.request_lines)

    def stop(self):
        self._stop = True
        self._t.join(2)
        for c in self._held:
            c.close()
        self.sock.close()


class ChunkedServer(SilentListener):
    """Answers every request with a script sent chunked (no length
    announced): `size` bytes, then the connection is held open without the
    last chunk until the client goes."""

    HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
            b"Transfer-Encoding: chunked\r\n\r\n")

    def __init__(self, testhost, size):
        self.size = size
        super().__init__(testhost, SCRIPT_PORT)

    def answer(self, conn):
        piece = b"function FindProxyForURL(url, host) { return \"PROXY big:1\"; }\n"
        piece += b"/" * (65536 - len(piece))
        try:
            conn.sendall(self.HEAD)
            for _ in range(self.size // len(piece)):
                conn.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            while conn.recv(4096):
                pass
        except OSError:
            pass  # the client went, or held past the timeout


@pytest.mark.parametrize("end", ["sigterm", "browser-closed"])
def test_inside_script_download_is_one_literal_transfer_and_never_holds_the_teardown(
        testhost, gateway, servers, end):
    # curl would expand the range into a thousand transfers of 3 s each; the
    # teardown must neither wait for one download nor for all of them.
    silent = servers(SilentListener, 8091)
    browser = testhost.start_named("Safari")
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL,
                            inside_proxy=(g.PROXY_SCRIPT, f"http://{g.GATEWAY_IP}:8091/[1-1000].pac")))
    sess = session_with_user_proxies(testhost, gw)
    sess.start(navtype="Safari")
    assert silent.wait_requests(1, 30)[:1] == ["GET /[1-1000].pac HTTP/1.1"], testhost.describe_daemon()
    if end == "sigterm":
        testhost.signal_daemon()
    else:
        browser.stop()
    sess.assert_ended(timeout=20)
    assert set(silent.request_lines) == {"GET /[1-1000].pac HTTP/1.1"}
    assert installed(testhost) == []
    sess.assert_host_put_back()


def test_inside_script_sent_without_a_length_never_grows_past_the_cap_on_disk(testhost, gateway, servers):
    # curl's own --max-filesize stops only a transfer that announced its size
    server = servers(ChunkedServer, 6 << 20)
    browser = testhost.start_named("Safari")
    gw = gateway(g.Scenario(flags=g.NETCFG_FULL_TUNNEL, inside_proxy=(g.PROXY_SCRIPT, SCRIPT_URL)))
    sess = session_with_user_proxies(testhost, gw)
    before = service_proxies(testhost)
    download = testhost.usr_local_dir / "tevra_vpn" / "tev_prox.tmp"
    sess.start(navtype="Safari")
    largest = 0
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and log_count(testhost, "Failed to download inside proxy url script") == 0:
        try:
            largest = max(largest, download.stat().st_size)
        except FileNotFoundError:
            pass
        time.sleep(0.002)
    assert log_count(testhost, "Failed to download inside proxy url script") == 1, testhost.describe_daemon()
    assert largest <= (4 << 20) + 1, largest
    # each of the three direct attempts was ended by the cap, not by its bound
    assert len(server.request_lines) == 3
    assert log_count(testhost, "downloaded script is larger than 4194304, not used") == 3
    assert log_count(testhost, "did not end within") == 0
    assert installed(testhost) == []
    assert not download.exists()
    assert service_proxies(testhost) == before
    browser.stop()
    sess.assert_ended()
    sess.assert_host_put_back()
