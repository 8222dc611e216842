"""Host network set-up in the test host: after the tunnel is up the kernel's
routing table and the tool journal hold exactly the routes of the set-up
(full tunnel, split tunnel, excluded networks, local access), /etc/hosts
carries the host map with the host's file kept as backup, the next hop
towards the gateway has a permanent ARP entry, the launch commands run under
bash without being waited for; and the teardown puts the host back."""

import os
import re
import signal
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
th_mod = pytest.importorskip("testhost", reason="tests/system/testhost.py not merged yet")
launcher_mod = pytest.importorskip("launcher", reason="tests/system/launcher.py not merged yet")
g = pytest.importorskip("gateway", reason="tests/system/gateway.py (test gateway) not merged yet")
scenario = pytest.importorskip("scenario", reason="tests/system/scenario.py not merged yet")
import sysconfig_store  # noqa: E402
from tunnel_session import ping  # noqa: E402

HOST_ROUTE_OPS = ("route_snapshot_mac", "route_snapshot_4one_mac", "add_route_mac", "del_route_mac",
                  "set_vpn_route_table", "sethost_mac", "setHostMap", "restore_routes",
                  "restore_default_route", "enable_fulltunnel_local_access_mac")
needs_session = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built(*HOST_ROUTE_OPS)),
    reason="probe: the daemon lacks the tunnel bring-up or the host-network operations "
           "(weak stand-ins), so no tunnel routes can be set")

NEXT_HOP = th_mod.UPLINK_IP          # 10.77.0.1
HOST_IP = th_mod.HOST_IP             # 10.77.0.2
GATEWAY_IP = th_mod.GATEWAY_IP       # 198.18.0.1
CLIENT_IP = "10.200.0.2"
LAN_ROUTE = "-net 10.77.0.0 -netmask 255.255.255.0 -interface en0"


@pytest.fixture
def session(testhost, tmp_path):
    """Starts gateway and daemon for a scenario; answers what the test reads."""
    gws = []

    def start(sc, extra_env=None):
        sysconfig_store.seed(testhost)  # a service on en0 whose router is the next hop
        before = Snapshot(testhost)
        gw = g.Gateway.in_testhost(testhost, tmp_path / "gw", sc)
        gws.append(gw)
        lch, verdict = scenario.start_session(testhost, launcher_mod, extra_env=extra_env)
        assert verdict == "OK", "\n".join(testhost.log_lines()[-30:])
        assert gw.wait_tunnel(1, timeout=10) is not None
        return before, gw, lch

    yield start
    for gw in gws:
        gw.stop()


class Snapshot:
    """What the teardown must give back."""

    def __init__(self, testhost):
        self.routes = sorted(testhost.routes())
        hosts = testhost.etc_dir / "hosts"
        self.hosts = hosts.read_bytes()
        self.hosts_mode = hosts.stat().st_mode & 0o7777
        self.store = sysconfig_store.contents(testhost)


def tun_name(testhost):
    names = [n for n in testhost.links() if re.fullmatch(r"utun\d+", n)]
    assert len(names) == 1, names
    return names[0]


def route_calls(testhost):
    return [" ".join(c) for c in testhost.journal() if c and c[0] == "/sbin/route"]


def main_routes(testhost):
    """The main table without the kernel's own details (proto, src, linkdown)."""
    out = []
    for line in testhost.routes():
        line = re.sub(r" proto kernel| src \S+| linkdown| metric \d+", "", line).strip()
        out.append(line)
    return sorted(out)


def teardown_and_check(testhost, before, lch=None):
    testhost.signal_daemon(signal.SIGTERM)
    assert testhost.wait_daemon_exit(60) == 0
    assert sorted(testhost.routes()) == before.routes, "\n".join(route_calls(testhost))
    assert (testhost.etc_dir / "hosts").read_bytes() == before.hosts
    assert not (testhost.etc_dir / "hosts.bak.tevra").exists()
    assert sysconfig_store.contents(testhost) == before.store


def pinned(testhost):
    return [line for line in testhost.neigh() if "PERMANENT" in line]


@needs_session
@pytest.mark.time_limit(120)
def test_full_tunnel_routes_host_map_arp_and_restore(testhost, session):
    sc = g.Scenario(flags=g.NETCFG_FULL_TUNNEL, resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                    host_map=[("10.99.0.10", "intra.example.test"),
                              ("192.0.2.1", "files.example.test")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)

    # the LAN route is the host's like any other (a static cloning route
    # in the dump): deleted, and only the next hop stays reachable
    assert main_routes(testhost) == sorted([
        f"default via 1.1.1.1 dev {tun}",
        f"1.1.1.1 dev {tun} scope link",
        f"{HOST_IP} via 127.0.0.1 dev lo",
        f"{NEXT_HOP} dev en0 scope link",
        f"{GATEWAY_IP} via {NEXT_HOP} dev en0",
    ])
    assert route_calls(testhost) == [
        f"/sbin/route delete default {NEXT_HOP}",
        f"/sbin/route delete {LAN_ROUTE} -cloning",
        "/sbin/route add default 1.1.1.1",
        f"/sbin/route add -host {HOST_IP} -gateway 127.0.0.1",
        f"/sbin/route add -host {NEXT_HOP} -interface en0 -cloning",
        f"/sbin/route add -host {GATEWAY_IP} -gateway {NEXT_HOP}",
    ]
    calls = testhost.journal()
    assert ["/sbin/ifconfig", tun, CLIENT_IP, "1.1.1.1", "mtu", "1400"] in calls
    # the next hop is pinned on the interface towards the gateway, then the
    # table is flushed: the permanent entry stays
    pin = ["/usr/sbin/arp", "-s", NEXT_HOP, "2:0:a:4d:0:1", "ifscope", "en0"]
    assert pin in calls and calls.index(pin) < calls.index(["/usr/sbin/arp", "-a", "-d"])
    assert pinned(testhost) == [f"{NEXT_HOP} dev en0 lladdr {th_mod.UPLINK_MAC} PERMANENT"]

    hosts = (testhost.etc_dir / "hosts").read_bytes()
    assert hosts.startswith(before.hosts)
    tail = hosts[len(before.hosts):]
    if not before.hosts.endswith(b"\n"):
        assert tail.startswith(b"\n")
        tail = tail[1:]
    # the gateway's own name comes first (the virtual-site entry)
    assert tail == (f"{GATEWAY_IP}\tgw.example.test\n10.99.0.10\tintra.example.test\n"
                    "192.0.2.1\tfiles.example.test\n").encode(), tail
    assert (testhost.etc_dir / "hosts.bak.tevra").read_bytes() == before.hosts
    assert (testhost.etc_dir / "hosts").stat().st_mode & 0o7777 == before.hosts_mode

    teardown_and_check(testhost, before)
    # the static ARP entry stays after the end
    assert pinned(testhost) == [f"{NEXT_HOP} dev en0 lladdr {th_mod.UPLINK_MAC} PERMANENT"]
    assert f"/sbin/route add default {NEXT_HOP}" in route_calls(testhost)


@needs_session
@pytest.mark.time_limit(120)
def test_split_tunnel_with_excluded_network(testhost, session):
    sc = g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0"),
                               g.Resource("10.98.0.0", "255.255.0.0"),
                               g.Resource("172.20.0.7", "255.255.255.255")],
                    excludes=[g.Resource("10.99.0.128", "255.255.255.192"),
                              g.Resource("203.0.113.9", "255.255.255.255")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)
    assert main_routes(testhost) == sorted([
        f"default via {NEXT_HOP} dev en0",
        f"1.1.1.1 dev {tun} scope link",
        "10.77.0.0/24 dev en0 scope link",
        f"10.99.0.128/26 via {NEXT_HOP} dev en0",
        f"203.0.113.9 via {NEXT_HOP} dev en0",
        f"10.99.0.0/24 dev {tun} scope link",
        f"10.98.0.0/16 dev {tun} scope link",
        f"172.20.0.7 dev {tun} scope link",
        f"{NEXT_HOP} dev en0 scope link",
        f"{GATEWAY_IP} via {NEXT_HOP} dev en0",
    ])
    assert route_calls(testhost) == [
        f"/sbin/route add -net 10.99.0.128 -netmask 255.255.255.192 -gateway {NEXT_HOP}",
        f"/sbin/route add -host 203.0.113.9 -gateway {NEXT_HOP} -cloning",
        f"/sbin/route add -net 10.99.0.0 -netmask 255.255.255.0 -interface {tun}",
        f"/sbin/route add -net 10.98.0.0 -netmask 255.255.0.0 -interface {tun}",
        f"/sbin/route add -net 172.20.0.7 -netmask 255.255.255.255 -interface {tun}",
        f"/sbin/route add -host {NEXT_HOP} -interface en0 -cloning",
        f"/sbin/route add -host {GATEWAY_IP} -gateway {NEXT_HOP}",
    ]
    assert pinned(testhost) == [f"{NEXT_HOP} dev en0 lladdr {th_mod.UPLINK_MAC} PERMANENT"]
    # no host map was sent: only the gateway's own name is mapped
    hosts = (testhost.etc_dir / "hosts").read_bytes()
    assert hosts.startswith(before.hosts)
    assert hosts[len(before.hosts):].lstrip(b"\n") == f"{GATEWAY_IP}\tgw.example.test\n".encode()
    assert (testhost.etc_dir / "hosts.bak.tevra").read_bytes() == before.hosts
    teardown_and_check(testhost, before)


@needs_session
@pytest.mark.time_limit(120)
def test_full_tunnel_keeps_excluded_network_outside(testhost, session):
    sc = g.Scenario(flags=g.NETCFG_FULL_TUNNEL, resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                    excludes=[g.Resource("192.0.2.0", "255.255.255.0")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)
    assert main_routes(testhost) == sorted([
        f"default via 1.1.1.1 dev {tun}",
        f"1.1.1.1 dev {tun} scope link",
        f"192.0.2.0/24 via {NEXT_HOP} dev en0",
        f"{HOST_IP} via 127.0.0.1 dev lo",
        f"{NEXT_HOP} dev en0 scope link",
        f"{GATEWAY_IP} via {NEXT_HOP} dev en0",
    ])
    assert route_calls(testhost) == [
        f"/sbin/route add -net 192.0.2.0 -netmask 255.255.255.0 -gateway {NEXT_HOP}",
        f"/sbin/route delete default {NEXT_HOP}",
        f"/sbin/route delete {LAN_ROUTE} -cloning",
        "/sbin/route add default 1.1.1.1",
        f"/sbin/route add -host {HOST_IP} -gateway 127.0.0.1",
        f"/sbin/route add -host {NEXT_HOP} -interface en0 -cloning",
        f"/sbin/route add -host {GATEWAY_IP} -gateway {NEXT_HOP}",
    ]
    teardown_and_check(testhost, before)


@needs_session
@pytest.mark.time_limit(120)
def test_full_tunnel_local_access_leaves_the_local_network_in_place(testhost, session):
    sc = g.Scenario(flags=g.NETCFG_FULL_TUNNEL | g.NETCFG_LOCAL_ACCESS,
                    resources=[g.Resource("10.99.0.0", "255.255.255.0")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)
    routes = main_routes(testhost)
    assert f"default via 1.1.1.1 dev {tun}" in routes
    assert "10.77.0.0/24 dev en0 scope link" in routes
    calls = route_calls(testhost)
    # the set-up deletes the LAN route with the others, local access puts it
    # back in its place, and the teardown leaves it
    assert calls.index(f"/sbin/route delete {LAN_ROUTE} -cloning") < calls.index(f"/sbin/route add {LAN_ROUTE}")
    teardown_and_check(testhost, before)
    assert f"/sbin/route delete {LAN_ROUTE}" not in route_calls(testhost)


@needs_session
@pytest.mark.time_limit(120)
def test_launch_commands_run_under_bash_unwaited_and_reaped(testhost, session):
    sc = g.Scenario(launch_commands=[
        'echo "$BASH_VERSION" > /tmp/launch-bash',
        "sleep 20; echo late > /tmp/launch-late &",
        "true"])
    t0 = time.monotonic()
    before, gw, lch = session(sc)
    assert time.monotonic() - t0 < 20, "the daemon waited for a launch command"
    mark = testhost.tmp_dir / "launch-bash"
    deadline = time.monotonic() + 10
    while not (mark.exists() and mark.read_text().strip()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert mark.read_text().strip(), "launch command did not run under bash"
    assert not (testhost.tmp_dir / "launch-late").exists()
    # finished commands are not left as zombies of the daemon
    time.sleep(1)
    r = testhost.run_host(["ps", "-o", "stat=,comm=", "--ppid", str(testhost.daemon_pid)])
    assert not [line for line in r.stdout.splitlines() if line.strip().startswith("Z")], r.stdout
    teardown_and_check(testhost, before)


needs_repair = pytest.mark.skipif(
    not scenario.built("vpn_dtor_qn2", "reconn_delete_route", "reconnected_add_route"),
    reason="probe: the daemon lacks the reconnection controller or the route repair")


@needs_session
@needs_repair
@pytest.mark.time_limit(120)
def test_reconnection_puts_split_routes_back_and_sets_them_again(testhost, session):
    sc = g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                    excludes=[g.Resource("10.99.0.128", "255.255.255.192")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)
    set_up = main_routes(testhost)
    first = route_calls(testhost)
    testhost.clear_journal()
    gw.wait_tunnel(1).drop()
    assert gw.wait_tunnel(2, timeout=60) is not None, "\n".join(testhost.log_lines()[-20:])
    testhost.wait_log(r"reconnected_add_route return 0", timeout=30)
    gets = [c for c in route_calls(testhost) if " get " in c]
    assert gets[:1] == ["/sbin/route -n get default"]
    calls = [c for c in route_calls(testhost) if " get " not in c]
    # the repair deletes what the set-up added, in the same order, and the
    # device's peer route last; the new set-up adds it all again (the device
    # stays, and without its peer route it serves the routes all the same)
    deletes = [c.replace(" add ", " delete ", 1) for c in first]
    assert calls == deletes + [f"/sbin/route delete -host 1.1.1.1 -interface {tun}"] + first
    assert main_routes(testhost) == [r for r in set_up if not r.startswith("1.1.1.1 ")]
    assert ["/usr/sbin/arp", "-a", "-d"] in testhost.journal()
    teardown_and_check(testhost, before)


@needs_session
@needs_repair
@pytest.mark.time_limit(120)
def test_reconnection_of_full_tunnel_still_in_utun_changes_no_route(testhost, session):
    sc = g.Scenario(flags=g.NETCFG_FULL_TUNNEL, resources=[g.Resource("10.99.0.0", "255.255.255.0")])
    before, gw, lch = session(sc)
    set_up = main_routes(testhost)
    testhost.clear_journal()
    gw.wait_tunnel(1).drop()
    assert gw.wait_tunnel(2, timeout=60) is not None
    testhost.wait_log(r"Vpn reconnection successful, no need to destroy vpn", timeout=30)
    time.sleep(1)
    assert route_calls(testhost) == ["/sbin/route get default"] * len(route_calls(testhost))
    assert main_routes(testhost) == set_up
    teardown_and_check(testhost, before)


@needs_session
@needs_repair
@pytest.mark.time_limit(120)
def test_full_tunnel_repair_after_the_default_route_left_the_tunnel(testhost, session):
    sc = g.Scenario(flags=g.NETCFG_FULL_TUNNEL, resources=[g.Resource("10.99.0.0", "255.255.255.0")])
    before, gw, lch = session(sc)
    tun = tun_name(testhost)
    set_up = main_routes(testhost)
    # another program takes the default route back to the local router
    r = testhost.run_host(["ip", "route", "replace", "default", "via", NEXT_HOP, "dev", "en0"])
    assert r.returncode == 0, r.stderr
    testhost.clear_journal()
    gw.wait_tunnel(1).drop()
    assert gw.wait_tunnel(2, timeout=60) is not None
    testhost.wait_log(r"reconnected_add_route return 0", timeout=30)
    calls = [c for c in route_calls(testhost) if " get " not in c]
    assert f"/sbin/route delete -host 1.1.1.1 -interface {tun}" in calls
    # the default route is back in the tunnel, through the peer of the
    # device even without the peer's host route
    expected = sorted(r + " onlink" if r.startswith("default ") else r for r in set_up if not r.startswith("1.1.1.1 "))
    assert main_routes(testhost) == expected, "\n".join(calls)
    assert f"default via 1.1.1.1 dev {tun} onlink" in main_routes(testhost)
    r = ping(testhost, "192.0.2.77", count=2)
    assert r.returncode == 0, r.stdout + r.stderr
    teardown_and_check(testhost, before)
