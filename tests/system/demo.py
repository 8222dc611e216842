#!/usr/bin/python3
"""The demo: one whole session of the daemon on this machine, in the test host.

    test host (host + gateway namespaces) -> test gateway (TLS, with a TUN in
    the gateway namespace and a TCP server behind it) -> daemon + launcher
    ("standalone") -> tunnel up -> ping, a name of the gateway's DNS zone and
    a short transfer through it ->
    statistics -> terminate request -> teardown, host put back

Every step prints a short account as it happens. Everything it makes (the
namespaces, the daemon and every process it started, the mounts, the work
directory) is gone when it ends, also when a step fails or it is interrupted.

With --proxy http|basic|ntlm the daemon reaches the gateway through Debian's
squid in the gateway namespace (an HTTP CONNECT without credentials, with
Basic, or with NTLM), and the demo tells the CONNECTs and the authentication
squid saw.

usage: demo.py [--daemon PATH] [--work-dir DIR] [--log FILE] [--quiet-log]
               [--proxy http|basic|ntlm]
Exit status 0 when every step passed, 1 when one failed, 2 when it could not
start (not root, no daemon binary, a piece of the daemon not built).
"""
from __future__ import annotations

import argparse
import contextlib
import copy
import hashlib
import http.server
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

REPO = HERE.parents[1]

# what the test gateway hands out
CLIENT_IP = "10.200.0.2"
RESOURCE_NET, RESOURCE_MASK = "10.99.0.0", "255.255.255.0"
SERVER_IP = "10.99.0.1"          # the gateway's TUN address: the far end of the tunnel
SERVER_PORT = 8080
HOSTNAME = "gw.example.test"
COOKIE = "SESSIONID=demo0123456789abcdef"
DOWNLOAD_SIZE = 1 << 20
UPLOAD_SIZE = 256 << 10
PING_COUNT = 3
DNS_IP = "10.99.0.53"            # the gateway's DNS server, reached through the tunnel
SEARCH_DOMAIN = "corp.example.test"
ZONE_NAME, ZONE_IP = "intra.corp.example.test", "10.99.0.10"
TOTAL_SECONDS = 240

# The operations a whole session needs; a weak stand-in for any of them
# means that piece has not landed in this binary yet.
NEEDED_OPERATIONS = (
    "read_config", "java_socket_process", "vpnc_handshake_driver",
    "ssl_connect_try_all_methods", "config_rqt_qn2", "config_receive_qn2",
    "config_tunnel", "post_config_qn2", "vpn_data_transfer_qn2", "vpnc_dtor",
    "utun_open", "set_vpn_route_table",
)
NEEDED_MODULES = ("testhost.py", "launcher.py", "gateway.py")

# --proxy: (proxy type, squid port, the package's proxy fields)
PROXIES = {
    "http": (1, "open", {}),
    "basic": (2, "auth", dict(proxy_user="alice", proxy_passwd="wonderland")),
    "ntlm": (3, "auth", dict(proxy_user="bob", proxy_passwd="pw", proxy_domain="corp")),
}


class StepFailed(Exception):
    pass


def default_daemon() -> Path:
    env = os.environ.get("VPNC_DAEMON")
    return Path(env) if env else REPO / "build" / "vpnc_daemon"


def strong_symbols(binary: Path) -> set[str] | None:
    """Functions the binary defines for real (weak stand-ins show as 'W' in
    nm); None when that cannot be told (no nm, a stripped binary)."""
    try:
        out = subprocess.run(["nm", "-C", "--defined-only", str(binary)], capture_output=True,
                             text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    names = set()
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in ("T", "t"):
            names.add(parts[2].split("(")[0])
    return names or None


def missing_pieces(binary: Path, proxy: str | None = None) -> list[str]:
    """What keeps the demo from running end to end: missing helper modules,
    operations still served by their weak stand-ins. Empty: all there."""
    modules = NEEDED_MODULES + (("squid.py",) if proxy else ())
    missing = [f"tests/system/{m}" for m in modules if not (HERE / m).is_file()]
    if not (REPO / "tools" / "bin" / "route").is_file():
        missing.append("tools/bin/route (tool stand-ins)")
    if proxy and not Path("/usr/sbin/squid").is_file():
        missing.append("/usr/sbin/squid (bash scripts/install-deps.sh)")
    strong = strong_symbols(binary)
    if strong is not None:
        needed = NEEDED_OPERATIONS + (("vpnc_client_proxy_connect",) if proxy else ())
        missing += [f"{n}()" for n in needed if n not in strong]
    return missing


# ---------------------------------------------------------------- output

class Narrator:
    def __init__(self, total: int):
        self.total = total
        self.n = 0
        self.t0 = time.monotonic()
        self.current = ""

    def step(self, title: str) -> None:
        self.n += 1
        self.current = title
        print(f"\n[{self.n}/{self.total}] {title}", flush=True)

    def say(self, text: str) -> None:
        for line in text.splitlines() or [""]:
            print(f"      {line}", flush=True)

    def ok(self, text: str) -> None:
        print(f"      ok: {text}  ({time.monotonic() - self.t0:.1f} s)", flush=True)


def check(cond, what: str) -> None:
    if not cond:
        raise StepFailed(what)


# ---------------------------------------------------- the server behind it

def payload(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    blob = b""

    def do_GET(self):  # noqa: N802 (http.server's names)
        if self.path != "/blob":
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(self.blob)))
        self.end_headers()
        self.wfile.write(self.blob)

    def do_POST(self):  # noqa: N802
        n = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(n) if 0 <= n <= 64 << 20 else b""
        reply = f"{len(body)} {hashlib.sha256(body).hexdigest()}\n".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class ResourceServer:
    """A small HTTP server on SERVER_IP:SERVER_PORT in the gateway namespace:
    GET /blob sends a fixed blob, POST answers the length and SHA-256 of what
    it received."""

    def __init__(self, th, blob: bytes):
        handler = type("Handler", (_Handler,), {"blob": blob})
        with th.gw_ns():
            self.srv = http.server.ThreadingHTTPServer((SERVER_IP, SERVER_PORT), handler)
        self.srv.daemon_threads = True
        self.thread = threading.Thread(target=self.srv.serve_forever, kwargs={"poll_interval": 0.2},
                                       name="demo-http", daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.srv.shutdown()
        self.srv.server_close()
        self.thread.join(5)


# ------------------------------------------------------------- the demo

def routes_text(routes: list[str]) -> str:
    return "\n".join(routes) if routes else "(none)"


def dns_entity(th) -> dict | None:
    import sysconfig_store
    prefs = sysconfig_store.contents(th).get("preferences.json", {})
    return prefs.get("NetworkServices", {}).get(sysconfig_store.SERVICE, {}).get("DNS")


def utun_links(th) -> list[str]:
    return sorted(n for n in th.links() if n.startswith("utun"))


def journal_since(th, start: int) -> tuple[list[str], int]:
    """The tool stand-in calls recorded from entry `start` on, as command
    lines, and the new end of the journal."""
    calls = th.journal()
    return [" ".join(c) for c in calls[start:]], len(calls)


def say_commands(say, lines: list[str], limit: int = 14) -> None:
    for ln in lines[:limit]:
        say.say("  " + ln)
    if len(lines) > limit:
        say.say(f"  ... and {len(lines) - limit} more")


def wait_until(pred, timeout: float, interval: float = 0.1, alive=None):
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if alive is not None and not alive():
            return pred()
        if time.monotonic() >= deadline:
            return v
        time.sleep(interval)


def curl(th, args: list[str], timeout: float = 60) -> subprocess.CompletedProcess:
    # no proxy of this machine's environment applies inside the test host
    return th.run_host(["curl", "--noproxy", "*", "-sS", "--max-time", "30", *args],
                       timeout=timeout)


def say_squid(say: Narrator, sq) -> None:
    """The CONNECTs squid has logged so far (it logs a tunnel when it ends)."""
    for status, user, target in sq.connects():
        who = "no credentials" if user == "-" else f"user {user.replace(chr(92) * 2, chr(92))}"
        say.say(f"  squid: CONNECT {target} -> {status} ({who})")


def run_demo(daemon: Path, work: Path, say: Narrator, show_log: bool,
             log_file: Path | None = None, proxy: str | None = None) -> None:
    import gateway as g
    import launcher as lmod
    import sysconfig_store
    from testhost import TestHost

    th = gw = server = lch = sq = None
    try:
        # 1 -------------------------------------------------------------
        say.step("Test host: a private \"Mac\" and a private \"Internet\"")
        th = TestHost(work, daemon=daemon)
        th.start()
        before = th.routes()
        say.say(f"host namespace: {th.HOST_IF} {th.HOST_IP}/24, default route via {th.UPLINK_IP}")
        say.say(f"gateway namespace: {th.UPLINK_IF} {th.UPLINK_IP}/24, "
                f"gateway server address {th.GATEWAY_IP}")
        say.say("routes of the host before the daemon runs (the snapshot):")
        say.say(routes_text(before))
        say.ok("both namespaces up, joined by the cable")

        # 2 -------------------------------------------------------------
        say.step("Test gateway: TLS on 198.18.0.1:443, a TUN and a TCP server behind it")
        sc = g.Scenario(client_ip=CLIENT_IP, client_mask="255.255.255.0",
                        resources=[g.Resource(RESOURCE_NET, RESOURCE_MASK)],
                        dns=[DNS_IP], search_domains=[SEARCH_DOMAIN], dns_zone={ZONE_NAME: ZONE_IP})
        gw = g.Gateway.in_testhost(th, work / "gateway", sc)
        tun = g.GatewayTun(th, name="gwtun0", address=f"{SERVER_IP}/24", client_ip=CLIENT_IP)
        gw.attach_tun(tun)
        blob = payload(DOWNLOAD_SIZE, 1)
        server = ResourceServer(th, blob)
        say.say(f"configuration it hands out: client address {CLIENT_IP}, split tunnel, "
                f"resource {RESOURCE_NET}/24")
        say.say(f"gwtun0 {SERVER_IP}/24 in the gateway namespace carries the tunnel's packets; "
                f"HTTP server on {SERVER_IP}:{SERVER_PORT}")
        say.say(f"DNS server {DNS_IP} (answers {ZONE_NAME}), search domain {SEARCH_DOMAIN}")
        # the Mac's network service on en0, with DNS settings of its own
        prefs = copy.deepcopy(sysconfig_store.PREFERENCES)
        service = prefs["NetworkServices"][sysconfig_store.SERVICE]
        service["DNS"] = {"ServerAddresses": ["10.77.0.53"], "SearchDomains": ["lan.test"]}
        service["IPv4"]["Router"] = th.UPLINK_IP
        sysconfig_store.seed(th, preferences=prefs, replace=True)
        dns_before = dns_entity(th)
        say.say(f"network service \"{service['UserDefinedName']}\" (en0), its DNS entity: "
                f"{json.dumps(dns_before)}")
        say.ok(f"gateway listening on {th.GATEWAY_IP}:{gw.port}")
        proxy_fields = {}
        if proxy:
            import squid as squid_mod
            ptype, port_name, creds = PROXIES[proxy]
            sq = squid_mod.Squid.start(th)
            proxy_fields = dict(proxy_type=ptype, proxy_ip=sq.address, proxy_port=sq.port(port_name),
                                **creds)
            asks = "no credentials" if port_name == "open" else "proxy authentication (NTLM or Basic)"
            say.say(f"outside proxy: squid at {sq.address}:{sq.port(port_name)} in the gateway "
                    f"namespace, asking for {asks}; it resolves {HOSTNAME} to {g.GATEWAY_IP}")
            say.say(f"squid (pid {sq.proc.pid}) accepts connections")

        # 3 -------------------------------------------------------------
        say.step("Daemon and launcher: the configuration package, mode \"standalone\"")
        th.start_daemon()
        say.say(f"daemon {daemon} started as pid {th.daemon_pid} in the host namespace")
        lch = lmod.Launcher(th)
        lch.connect(timeout=10)
        lch.send_package(lmod.build_package(
            gateway_ip=g.GATEWAY_IP, gateway_port=gw.port, navtype="standalone",
            hostname=HOSTNAME, session_cookie=COOKIE, **proxy_fields))
        say.ok(f"launcher on 127.0.0.1:6666 sent the 1188-byte package for {HOSTNAME}"
               + (f", outside proxy type {proxy}" if proxy else ""))

        # 4 -------------------------------------------------------------
        say.step("Tunnel bring-up: TLS, tunnel request, configuration records, utun, routes")
        alive = lambda: th.daemon.poll() is None  # noqa: E731
        conn = None
        deadline = time.monotonic() + 60
        while conn is None and time.monotonic() < deadline and alive():
            conn = gw.wait_tunnel(1, timeout=0.5)
        check(conn is not None, "the gateway saw no tunnel connection reach the packet phase"
              + ("" if alive() else f" (daemon ended with status {th.daemon.poll()})"))
        say.say(f"gateway: {conn.tls_version} after {len(gw.connections)} connection(s); "
                "tunnel request and 'P'/'Q'/'T'/'U' records exchanged")
        if sq is not None:
            first_req = next((ln for ln in th.log_lines() if " qn =CONNECT " in ln), "")
            say.say("the daemon's first request to the proxy: "
                    + first_req[first_req.find("CONNECT "):].split("\r")[0])
            flows = {"http": "CONNECT; on a 407, Basic with empty credentials",
                     "basic": "CONNECT; on a 407, a new connection with Basic credentials",
                     "ntlm": "CONNECT; on a 407, a new connection with the NTLM negotiate "
                             "message, the proxy's challenge, the authenticate message"}
            say.say(f"traversal ({proxy}): {flows[proxy]}")
            say.say("what squid logged so far (a CONNECT when it is over: the 407s, and the "
                    "tunnel of the TLS 1.0 attempt, which the gateway refused):")
            say_squid(say, sq)
            check(conn.peer[0] != th.HOST_IP, "the tunnel did not come through the proxy")
        ours = lambda: [r for r in th.routes() if r.startswith(RESOURCE_NET)]  # noqa: E731
        check(wait_until(ours, 30, alive=alive), "no route to the resource network appeared")
        # statistics are served by the launcher threads, which start once the
        # tunnel is up: the first answer says bring-up is over
        first = lch.stats(timeout=30)
        links = utun_links(th)
        check(links, "no utun interface in the host namespace")
        addrs = th.addrs()
        say.say("interfaces: " + ", ".join(f"{n} {' '.join(addrs.get(n, []))}" for n in links))
        cmds, mark = journal_since(th, 0)
        if cmds:
            say.say("host commands the daemon ran (through the macOS tool stand-ins):")
            say_commands(say, cmds)
        say.say("routes while the tunnel is up:")
        say.say(routes_text(th.routes()))
        check(first.client_ip == CLIENT_IP, f"statistics show client address {first.client_ip!r}")
        say.ok(f"tunnel up on {links[0]} with client address {first.client_ip}")

        # 5 -------------------------------------------------------------
        say.step(f"Ping {SERVER_IP} through the tunnel")
        r = th.run_host(["ping", "-n", "-c", str(PING_COUNT), "-i", "0.3", "-W", "3", SERVER_IP],
                        timeout=30)
        summary = [ln for ln in r.stdout.splitlines() if "transmitted" in ln or "rtt" in ln]
        say.say("\n".join(summary) or r.stdout.strip() or r.stderr.strip())
        check(r.returncode == 0 and f"{PING_COUNT} received" in r.stdout,
              f"ping failed (status {r.returncode})")
        say.ok(f"{PING_COUNT} echo replies came back through utun and the gateway")

        # 6 -------------------------------------------------------------
        say.step(f"Name resolution through the tunnel: {ZONE_NAME}")
        say.say(f"DNS entity of the service while connected: {json.dumps(dns_entity(th))}")
        resolver = sysconfig_store.resolver(th) or ""
        say.say("/etc/resolv.conf (-> /var/run/resolv.conf): " + "; ".join(resolver.splitlines()))
        r = th.run_private(["getent", "ahostsv4", ZONE_NAME.split(".")[0]], tools=[], timeout=30)
        got = sorted({ln.split()[0] for ln in r.stdout.splitlines() if ln.strip()})
        say.say(f"getent ahostsv4 {ZONE_NAME.split('.')[0]}: {' '.join(got) or r.stderr.strip() or 'no answer'}")
        check(got == [ZONE_IP], f"{ZONE_NAME} resolved to {got}, not {ZONE_IP}")
        check(ZONE_NAME in conn.dns_queries, "the gateway's DNS server was not asked")
        say.ok(f"the gateway's DNS server {DNS_IP} answered across utun: {ZONE_NAME} is {ZONE_IP}")

        # 7 -------------------------------------------------------------
        say.step("A short TCP transfer through the tunnel, both ways (curl)")
        got = work / "download.bin"
        r = curl(th, ["-o", str(got), "-w", "%{http_code} %{size_download} %{speed_download}",
                      f"http://{SERVER_IP}:{SERVER_PORT}/blob"])
        check(r.returncode == 0, f"download failed: {r.stderr.strip()}")
        code, size, speed = r.stdout.split()
        data = got.read_bytes()
        check(code == "200" and data == blob,
              f"download: HTTP {code}, {len(data)} bytes, content {'same' if data == blob else 'differs'}")
        say.say(f"download: {int(size)} bytes, SHA-256 matches the server's, "
                f"{float(speed) * 8 / 1e6:.1f} Mbit/s")
        up = payload(UPLOAD_SIZE, 2)
        sent = work / "upload.bin"
        sent.write_bytes(up)
        r = curl(th, ["--data-binary", f"@{sent}", "-H", "Content-Type: application/octet-stream",
                      f"http://{SERVER_IP}:{SERVER_PORT}/upload"])
        check(r.returncode == 0, f"upload failed: {r.stderr.strip()}")
        want = f"{len(up)} {hashlib.sha256(up).hexdigest()}"
        check(r.stdout.strip() == want, f"upload: server got {r.stdout.strip()!r}, sent {want!r}")
        say.say(f"upload: {len(up)} bytes, the server counted the same length and SHA-256")
        say.ok(f"{len(blob) + len(up)} bytes carried intact")

        # 8 -------------------------------------------------------------
        say.step("Statistics request 0xFEEDC0DE")

        def settled():
            s = lch.stats(timeout=5)
            return s if (s.bytes_in, s.bytes_out) == (conn.bytes_sent, conn.bytes_received) else None
        st = wait_until(settled, 5, interval=0.3) or lch.stats(timeout=5)
        say.say(f"reply (215 bytes): client address {st.client_ip}, "
                f"bytes received {st.bytes_in}, bytes sent {st.bytes_out}")
        say.say(f"the gateway counted: sent {conn.bytes_sent}, received {conn.bytes_received}")
        check(st.bytes_in >= len(blob) and st.bytes_out >= len(up),
              "the counters are smaller than the transfer")
        check((st.bytes_in, st.bytes_out) == (conn.bytes_sent, conn.bytes_received),
              "the daemon's counters differ from the gateway's")
        say.ok("the daemon's counters match the gateway's")

        # 9 -------------------------------------------------------------
        say.step("Terminate request 0xDEEDC0DE")
        echo = lch.terminate(timeout=60)
        say.say(f"echo: {echo.hex(' ').upper()}")
        check(echo == bytes.fromhex("DEEDC0DE"), "the echo differs from the request")
        rc = th.wait_daemon_exit(60)
        say.say(f"daemon exited with status {rc}")
        check(rc == 0, f"daemon exit status {rc}")
        say.ok("the daemon tore the session down and ended")

        # 10 ------------------------------------------------------------
        say.step("The host put back")
        cmds, mark = journal_since(th, mark)
        if cmds:
            say.say("host commands of the teardown:")
            say_commands(say, cmds)
        after = th.routes()
        say.say("routes after the daemon ended:")
        say.say(routes_text(after))
        check(sorted(after) == sorted(before), "the routes differ from the snapshot")
        left = utun_links(th)
        check(not left, f"utun interfaces left: {left}")
        dns_after = dns_entity(th)
        say.say(f"DNS entity of the service after the end: {json.dumps(dns_after)}")
        check(dns_after == dns_before, "the service's DNS entity differs from what it was")
        pinned = [n for n in th.neigh() if "PERMANENT" in n]
        if pinned:
            say.say("kept on purpose: the static ARP entry of the next hop: " + "; ".join(pinned))
        say.ok("routes and the DNS settings equal the snapshot; no utun interface is left")
        if sq is not None:
            sq.stop()
            say.say("every CONNECT squid carried in this session (connection and logout):")
            say_squid(say, sq)
            tunnels = [c for c in sq.connects() if c[0] == 200]
            check(tunnels, "squid logged no tunnel")
    except BaseException:
        if th is not None and show_log:
            tail = th.log_lines()[-25:]
            if tail:
                print("\n      the daemon's last log lines:", flush=True)
                for ln in tail:
                    print(f"        {ln}", flush=True)
        if gw is not None and gw.errors():
            print("      gateway: " + "; ".join(gw.errors()[:5]), flush=True)
        raise
    finally:
        if th is not None and log_file is not None:
            with contextlib.suppress(OSError):
                log_file.write_text("".join(ln + "\n" for ln in th.log_lines()))
        # each part goes even when an earlier one fails to close; the test
        # host last, since it takes the namespaces the others live in
        for part, close in ((lch, "close"), (server, "close"), (gw, "stop"), (sq, "stop"),
                            (th, "close")):
            if part is not None:
                try:
                    getattr(part, close)()
                except Exception as e:  # noqa: BLE001
                    print(f"      clean-up of {type(part).__name__}: {e}", file=sys.stderr)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="one whole session of the daemon in the test host")
    ap.add_argument("--daemon", type=Path, default=None, help="daemon binary "
                    "(default: $VPNC_DAEMON, else build/vpnc_daemon)")
    ap.add_argument("--work-dir", type=Path, default=None,
                    help="where the work directory is made (default: the system's temp dir)")
    ap.add_argument("--quiet-log", action="store_true",
                    help="do not print the daemon's log tail when a step fails")
    ap.add_argument("--log", type=Path, default=None,
                    help="write the daemon's whole log to this file at the end")
    ap.add_argument("--proxy", choices=sorted(PROXIES), default=None,
                    help="reach the gateway through squid as the outside proxy, with this "
                         "proxy type")
    args = ap.parse_args(argv)
    daemon = (args.daemon or default_daemon()).resolve()

    print("vpnc demo: the daemon's whole session in a private test host", flush=True)
    if os.geteuid() != 0:
        print("the demo needs root (it makes network and mount namespaces)", file=sys.stderr)
        return 2
    if not daemon.is_file() or not os.access(daemon, os.X_OK):
        print(f"no daemon binary at {daemon}: run bash scripts/build.sh first", file=sys.stderr)
        return 2
    missing = missing_pieces(daemon, args.proxy)
    if missing:
        print("the daemon cannot run a whole session yet; not built: " + ", ".join(missing),
              file=sys.stderr)
        return 2

    # a terminating signal or the overall time limit unwinds through the
    # clean-up like any failure
    def stop(signum, _frame):
        raise SystemExit(f"interrupted by signal {signum}")

    def expired(_signum, _frame):
        raise TimeoutError(f"the demo ran longer than {TOTAL_SECONDS} s")

    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, stop)
    signal.signal(signal.SIGALRM, expired)
    signal.alarm(TOTAL_SECONDS)

    base = args.work_dir
    if base is not None:
        base.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="vpnc-demo-", dir=base))
    narrator = Narrator(total=10)
    status = 1
    try:
        run_demo(daemon, work, narrator, show_log=not args.quiet_log, log_file=args.log,
                 proxy=args.proxy)
        status = 0
    except StepFailed as e:
        print(f"\nFAILED at step {narrator.n} ({narrator.current}): {e}", flush=True)
    except (Exception, SystemExit, KeyboardInterrupt) as e:
        print(f"\nFAILED at step {narrator.n} ({narrator.current}): "
              f"{type(e).__name__}: {e}", flush=True)
    finally:
        signal.alarm(0)
        # the test host removed its own tree; what is left are plain files
        if (work / "testhost").exists():
            print(f"work directory {work} kept: the test host could not remove its tree",
                  file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    if status == 0:
        print(f"\nDemo finished: all {narrator.total} steps passed; namespaces, processes and "
              "mounts are gone.", flush=True)
    else:
        print("\nDemo failed; everything it made has been removed.", flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
