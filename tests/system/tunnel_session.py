"""A whole tunnel session in the test host, for the end-to-end tests: the
network-service store seeded for en0, a snapshot of what the host must get
back, the daemon started by a launcher against the test gateway, and the
checks that follow every end (routes, /etc/hosts, store, ARP entry).

    sess = TunnelSession(testhost, gw)           # seeds the store, takes the snapshot
    sess.start(navtype="standalone")             # daemon + launcher, tunnel up
    sess.tun                                     # "utunN"
    ... traffic ...
    testhost.signal_daemon(); sess.assert_ended(); sess.assert_host_put_back()
"""
from __future__ import annotations

import contextlib
import copy
import re
import socket
import struct
import threading
import time

import gateway as g
import launcher as launcher_mod
import scenario
import sysconfig_store
import testhost as th_mod

CLIENT_IP = "10.200.0.2"
GW_TUN_IP = "10.99.0.1"        # the gateway side's own address in the resource network
NEXT_HOP = th_mod.UPLINK_IP
HOST_IP = th_mod.HOST_IP

# The test host's service on en0, with DNS settings of its own so that a
# change the daemon does not put back shows.
PREFERENCES = copy.deepcopy(sysconfig_store.PREFERENCES)
_svc = PREFERENCES["NetworkServices"][sysconfig_store.SERVICE]
_svc["DNS"] = {"ServerAddresses": ["10.77.0.53"], "SearchDomains": ["lan.test"]}
_svc["IPv4"]["Router"] = NEXT_HOP

TEARDOWN_LINE = "Vpn destroy has release mutex lock"


def seed_store(testhost, preferences=None, dynamic_store=None) -> None:
    sysconfig_store.seed(testhost, preferences=preferences or PREFERENCES, dynamic_store=dynamic_store,
                         replace=True)


def store_contents(testhost) -> dict:
    return sysconfig_store.contents(testhost)


def without_proxies(store: dict) -> dict:
    """The store with every service's Proxies entity left out."""
    s = copy.deepcopy(store)
    for service in s.get("preferences.json", {}).get("NetworkServices", {}).values():
        service.pop("Proxies", None)
    return s


def pinned(testhost) -> list[str]:
    return [ln for ln in testhost.neigh() if "PERMANENT" in ln]


def tun_names(testhost) -> list[str]:
    return sorted(n for n in testhost.links() if re.fullmatch(r"utun\d+", n))


def teardowns(testhost) -> int:
    """Completed teardowns in the log (the line that ends one)."""
    return sum(line.split(":", 2)[-1].rstrip() == TEARDOWN_LINE for line in testhost.log_lines())


def log_count(testhost, text: str) -> int:
    return sum(line.rstrip().endswith(text) for line in testhost.log_lines())


class HostState:
    """What every end of the daemon must give back."""

    def __init__(self, testhost):
        self.routes = sorted(testhost.routes())
        hosts = testhost.etc_dir / "hosts"
        self.hosts = hosts.read_bytes()
        self.store = store_contents(testhost)
        self.resolver = sysconfig_store.resolver(testhost)
        self.pinned = pinned(testhost)
        # set when the host itself drops the pinned entry (its interface
        # leaves the next hop's network, and the kernel flushes it)
        self.pin_dropped = False


def wait_until(pred, timeout: float, step: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return bool(pred())


class HungTool:
    """A stand-in for the tool `name` that, on a call with the arguments
    `args` (every call when None), starts a child of its own and hangs;
    other calls go on to the usual stand-in. calls() lists each hung call as
    (pid of the tool, pid of its child), pids of the test host."""

    def __init__(self, testhost, tmp_path, name: str, args: str | None = None):
        self.th = testhost
        self.name = name
        self.path = tmp_path / name
        hang = f'sleep 600 & echo "$$ $!" >> /tmp/hung-{name}; wait'
        body = hang if args is None else (
            f'if [ "$*" = "{args}" ]; then {hang}; fi\n'
            f'exec {th_mod.REPO}/tools/bin/{name} "$@"')
        self.path.write_text("#!/bin/sh\n" + body + "\n")
        self.path.chmod(0o755)

    def tools(self) -> dict:
        tools = {p.name: p for p in th_mod.default_tools()}
        tools[self.name] = self.path
        return tools

    def calls(self) -> list[tuple[int, int]]:
        f = self.th.tmp_dir / f"hung-{self.name}"
        lines = f.read_text().splitlines() if f.exists() else []
        return [tuple(int(w) for w in ln.split()) for ln in lines if len(ln.split()) == 2]

    def gone(self, call) -> bool:
        """Both processes of a hung call have ended (and been reaped)."""
        return all(self.th.outer_pid(p) is None for p in call)


class TunnelSession:
    """The daemon in `testhost` against the gateway `gw`; see the module text."""

    def __init__(self, testhost, gw, *, preferences=None, dynamic_store=None):
        self.th = testhost
        self.gw = gw
        seed_store(testhost, preferences, dynamic_store)
        self.before = HostState(testhost)
        self.launcher: launcher_mod.Launcher | None = None
        self.navtype = None
        self.tun = None

    # ------------------------------------------------------------ start
    def start(self, navtype: str = "commandline", timeout: float = 30, *, extra_env=None, umask=None,
              **pkg) -> "TunnelSession":
        """extra_env, umask: how the daemon is started (TestHost.start_daemon)."""
        th = self.th
        self.navtype = navtype
        th.start_daemon(extra_env=extra_env, umask=umask)
        self.launcher = launcher_mod.Launcher(th).connect()
        self.launcher.send_package(scenario.package(launcher_mod, navtype=navtype, **pkg))
        if navtype == "commandline":
            try:
                verdict = scenario.read_verdict(self.launcher, timeout)
            except (EOFError, TimeoutError) as e:
                raise AssertionError(f"no verdict ({e}): {th.describe_daemon()}") from None
            assert verdict == "OK", th.describe_daemon()
        assert self.gw.wait_tunnel(1, timeout) is not None, th.describe_daemon()
        # the post-configuration's last step: routes, host map and ARP entry are in place
        th.wait_log(r":launch command$", timeout)
        names = tun_names(th)
        assert len(names) == 1, names
        self.tun = names[0]
        return self

    @property
    def conn(self) -> g.GatewayConnection:
        """The gateway's tunnel connection in use."""
        c = self.gw.current_tunnel()
        assert c is not None, "no tunnel connection is open"
        return c

    # ------------------------------------------------------------- ends
    def assert_ended(self, timeout: float = 60) -> None:
        status = self.th.wait_daemon_exit(timeout)
        assert status == 0, self.th.describe_daemon()
        # the log reader may still be behind the daemon's last lines
        wait_until(lambda: teardowns(self.th) >= 1, 10)
        assert teardowns(self.th) == 1, "\n".join(self.th.log_lines()[-40:])

    def assert_host_put_back(self, proxies_switched: bool = False) -> None:
        """proxies_switched: a "commandline" run with an outside proxy leaves the
        services on the PAC file it installed (that mode never writes them back)."""
        th, b = self.th, self.before
        assert sorted(th.routes()) == b.routes
        assert (th.etc_dir / "hosts").read_bytes() == b.hosts
        if proxies_switched:
            assert without_proxies(store_contents(th)) == without_proxies(b.store)
        else:
            assert store_contents(th) == b.store, (store_contents(th), b.store)
        assert sysconfig_store.resolver(th) == b.resolver
        assert tun_names(th) == []
        # the next hop's static ARP entry stays (once it was set)
        was_pinned = any(c[:2] == ["/usr/sbin/arp", "-s"] for c in th.journal())
        entry = f"{NEXT_HOP} dev en0 lladdr {th_mod.UPLINK_MAC} PERMANENT"
        assert pinned(th) == ([] if b.pin_dropped else [entry] if was_pinned or self.tun else b.pinned)

    def logouts(self) -> list:
        return [c for c in list(self.gw.connections) if c.kind == "logout"]


# ----------------------------------------------------------------- sockets

@contextlib.contextmanager
def udp_listener(testhost, port: int, addr: str = "0.0.0.0"):
    """A UDP socket bound in the host namespace; yields a Collector."""
    with testhost.host_ns():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
    s.bind((addr, port))
    c = Collector(s)
    try:
        yield c
    finally:
        c.stop()


class Collector:
    """Collects every datagram a socket receives, in a thread."""

    def __init__(self, sock):
        self.sock = sock
        self.got: list[tuple[bytes, tuple]] = []
        self._cond = threading.Condition()
        self._stop = False
        sock.settimeout(0.2)
        self._t = threading.Thread(target=self._run, daemon=True)
        self._t.start()

    def _run(self):
        while not self._stop:
            try:
                data, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._cond:
                self.got.append((data, peer))
                self._cond.notify_all()

    def wait(self, n: int, timeout: float = 10) -> list[bytes]:
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.got) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return [d for d, _ in self.got]

    def payloads(self) -> list[bytes]:
        with self._cond:
            return [d for d, _ in self.got]

    def stop(self):
        self._stop = True
        self._t.join(2)
        self.sock.close()


def send_udp_on(testhost, ifname: str, dst: str, port: int, data: bytes) -> None:
    """One datagram from the host namespace out of interface `ifname` (the
    route to `dst` may lead elsewhere)."""
    with testhost.host_ns():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
        s.sendto(data, (dst, port))
    finally:
        s.close()


def ping(testhost, dst: str, count: int = 3, ifname: str | None = None):
    cmd = ["ping", "-n", "-c", str(count), "-i", "0.2", "-W", "2"]
    if ifname:
        cmd += ["-I", ifname]
    return testhost.run_host(cmd + [dst], timeout=30)


def udp_payload_of(pkt: bytes) -> bytes:
    ihl = (pkt[0] & 0x0F) * 4
    return pkt[ihl + 8:]


def udp_dport_of(pkt: bytes) -> int:
    ihl = (pkt[0] & 0x0F) * 4
    return struct.unpack("!H", pkt[ihl + 2:ihl + 4])[0]
