"""Teardown and reconnection end to end in the test host: a gateway that
drops the connection and accepts again later, a changed client address, a
gateway that refuses every attempt, and the forced ends (SIGTERM, the
terminate request, the session-kill notice) alone, together and during a
reconnection. After every end the routing table, /etc/hosts and the
network-service store are as before the daemon started, and the next hop's
static ARP entry stays."""

import contextlib
import json
import os
import re
import signal
import socket
import sys
import threading
import time
from typing import NamedTuple

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import launcher as launcher_mod  # noqa: E402
import scenario  # noqa: E402
import sysconfig_store  # noqa: E402
from scenario import COOKIE, HOSTNAME, gateway  # noqa: E402,F401  (fixture)
from tunnel_session import (CLIENT_IP, NEXT_HOP, TunnelSession, log_count, ping, store_contents,  # noqa: E402
                            teardowns, tun_names, udp_listener, udp_payload_of, wait_until)

needs_controller = pytest.mark.skipif(
    not (scenario.tunnel_built()
         and scenario.built("vpn_dtor_qn2", "logout_vpn", "reconn_delete_route",
                            "reconnected_add_route", "set_vpn_route_table")),
    reason="probe: tunnel bring-up, controller or route repair not built in this daemon")

pytestmark = [needs_controller]

RESOURCE_HOST = "10.99.0.7"
UDP_PORT = 5556
NEW_CLIENT_IP = "10.200.0.9"


def split_scenario(**kw):
    base = dict(resources=[g.Resource("10.99.0.0", "255.255.255.0")],
                excludes=[g.Resource("10.99.0.128", "255.255.255.192")])
    base.update(kw)
    return g.Scenario(**base)


def full_session_scenario(**kw):
    """Everything the teardown has to put back: routes, host map, DNS."""
    base = dict(host_map=[("10.99.0.10", "intra.example.test")],
                dns=["10.99.0.53"], search_domains=["corp.example.test"],
                disconnect_commands=["true disconnect"])
    base.update(kw)
    return split_scenario(**base)


def without_tun(routes, tun):
    return sorted(r for r in routes if f" dev {tun} " not in r + " ")


def assert_pings(testhost, conn, src=CLIENT_IP, count=2):
    r = ping(testhost, RESOURCE_HOST, count=count)
    assert r.returncode == 0, r.stdout + r.stderr
    echoes = [p for p in conn.received_packets() if p.is_echo_request]
    assert len(echoes) >= count and {p.src for p in echoes} == {src}


def assert_fresh_tunnel_connection(old, new):
    assert new.peer != old.peer                     # a new TCP connection
    assert len(new.preamble) == 82 and new.preamble_problems == []
    assert new.request == old.request               # the same tunnel request
    assert new.t_request is not None and new.t_request.problems() == []
    assert new.errors == [], new.errors


@pytest.mark.time_limit(120)
def test_gateway_back_after_a_failed_attempt_split_routes_put_back_and_set_again(
        testhost, gateway):
    with contextlib.ExitStack() as stack:
        _gateway_back_after_a_failed_attempt(testhost, gateway, stack)


def _gateway_back_after_a_failed_attempt(testhost, gateway, stack):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    tun = sess.tun
    set_up = sorted(testhost.routes())
    first = sess.conn
    assert_pings(testhost, first)

    gw.refuse_new = True
    first.drop()
    testhost.wait_log(r"vpn dtor reconnect failed 0 time$", 30)
    # split tunnel: while the gateway is away the host's own routes are back;
    # the device stays, without any route (its peer route went too)
    during = sorted(testhost.routes())
    assert without_tun(during, tun) == sess.before.routes, during
    assert [r for r in during if f"dev {tun} " in r] == []
    assert gw.tunnels() == [first]

    # the records of the new connection in small TLS records, a packet right after them
    late = g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"right after the drain")
    gw.scenario = split_scenario(chunk=7, extra_after_u=late)
    rx = stack.enter_context(udp_listener(testhost, UDP_PORT))
    gw.refuse_new = False
    second = gw.wait_tunnel(2, 40)
    assert second is not None, testhost.describe_daemon()
    testhost.wait_log(r"reconnected_add_route return 0$", 20)
    assert_fresh_tunnel_connection(first, second)
    assert second.config_sent == len(second.scenario.q_part()) + len(second.scenario.u_part())
    assert rx.wait(1, 5) == [udp_payload_of(late)]
    assert tun_names(testhost) == [tun]
    assert sorted(testhost.routes()) == [r for r in set_up if not r.startswith("1.1.1.1 ")]
    # packets flow again, both ways
    assert_pings(testhost, second)
    pkt = g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"after reconnection")
    assert second.send_split(pkt, 3, gap=0.1)
    assert rx.wait(2, 10)[1:] == [udp_payload_of(pkt)]

    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def reconnect_with(testhost, gw, first, scenario):
    """Drops the first connection; the next one gets `scenario`. The new
    connection once the daemon has set the routes again."""
    gw.scenario = scenario
    first.drop()
    second = gw.wait_tunnel(2, 40)
    assert second is not None, testhost.describe_daemon()
    testhost.wait_log(r"reconnected_add_route return 0$", 20)
    assert_fresh_tunnel_connection(first, second)
    return second


@pytest.mark.time_limit(120)
def test_changed_client_address_recreates_utun_with_its_peer_route(testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    first = sess.conn
    assert sess.launcher.stats().client_ip == CLIENT_IP

    second = reconnect_with(testhost, gw, first, split_scenario(client_ip=NEW_CLIENT_IP))

    names = tun_names(testhost)
    assert len(names) == 1, names
    tun = names[0]
    assert ["/sbin/ifconfig", tun, NEW_CLIENT_IP, "1.1.1.1", "mtu", "1400"] in testhost.journal()
    r = testhost.run_host(["ip", "-4", "-o", "addr", "show", "dev", tun], check=True)
    assert f"inet {NEW_CLIENT_IP} peer 1.1.1.1/32" in r.stdout, r.stdout
    assert CLIENT_IP not in r.stdout
    routes = testhost.routes()
    assert any(x.startswith(f"1.1.1.1 dev {tun} ") for x in routes), routes
    assert any(x.startswith(f"10.99.0.0/24 dev {tun}") for x in routes), routes
    assert_pings(testhost, second, src=NEW_CLIENT_IP)
    assert sess.launcher.stats().client_ip == NEW_CLIENT_IP

    assert sess.launcher.terminate() == b"\xde\xed\xc0\xde"
    sess.assert_ended()
    sess.assert_host_put_back()


def default_route_probes(testhost) -> int:
    return sum(c == ["/sbin/route", "get", "default"] for c in testhost.journal())


def on_tun(routes, old, new, old_ip, new_ip):
    """The routes with the old device and its address named as the new ones."""
    return sorted(r.replace(f"dev {old} ", f"dev {new} ").replace(f" src {old_ip}", f" src {new_ip}")
                  for r in routes)


@pytest.mark.time_limit(150)
def test_full_tunnel_changed_client_address_sets_routes_and_dns_on_the_new_utun(testhost, gateway):
    """The old device goes and takes the tunnel's default route with it: the
    repair after the reconnection must find the way to the gateway again and
    put the same set-up on the new device, recorded once."""
    gw = gateway(full_session_scenario(flags=g.NETCFG_FULL_TUNNEL))
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    old = sess.tun
    first = sess.conn
    set_up = sorted(testhost.routes())
    store_up = store_contents(testhost)
    assert store_up != sess.before.store
    r = ping(testhost, "192.0.2.77", count=2)
    assert r.returncode == 0, r.stdout + r.stderr

    second = reconnect_with(testhost, gw, first,
                            full_session_scenario(flags=g.NETCFG_FULL_TUNNEL, client_ip=NEW_CLIENT_IP))
    # The default-route watch may have seen the route gone while the device
    # was replaced; a few of its probes later it has asked for nothing more.
    probes = default_route_probes(testhost)
    assert wait_until(lambda: default_route_probes(testhost) >= probes + 3, 30), testhost.describe_daemon()
    assert gw.tunnels() == [first, second]

    names = tun_names(testhost)
    assert len(names) == 1, names
    tun = names[0]
    r = testhost.run_host(["ip", "-4", "-o", "addr", "show", "dev", tun], check=True)
    assert f"inet {NEW_CLIENT_IP} peer 1.1.1.1/32" in r.stdout, r.stdout
    # the same routes as before, now on the new device
    assert sorted(testhost.routes()) == on_tun(set_up, old, tun, CLIENT_IP, NEW_CLIENT_IP)
    assert any(x.startswith(f"default via 1.1.1.1 dev {tun}") for x in testhost.routes())
    # and the gateway's DNS settings in force again, once
    assert store_contents(testhost) == store_up
    # traffic goes through the new tunnel, from the new address
    for dst in (RESOURCE_HOST, "192.0.2.77"):
        r = ping(testhost, dst, count=2)
        assert r.returncode == 0, r.stdout + r.stderr
        echoes = [p for p in second.received_packets() if p.is_echo_request and p.dst == dst]
        assert len(echoes) == 2 and {p.src for p in echoes} == {NEW_CLIENT_IP}

    testhost.clear_journal()
    assert sess.launcher.terminate() == b"\xde\xed\xc0\xde"
    sess.assert_ended()
    sess.assert_host_put_back()
    # every route that was recorded is undone once
    calls = [" ".join(c) for c in testhost.journal() if c[:1] == ["/sbin/route"] and "get" not in c[1:3]]
    assert len(calls) == len(set(calls)), "\n".join(calls)


LAN = g.Resource("10.77.0.0", "255.255.255.0")      # en0's own network
RESOURCES = [g.Resource("10.99.0.0", "255.255.255.0")]
# A second interface with an address of its own (a TAP device without
# carrier: the routes through it stand, nothing is sent).
EN1_ADDRESS = "10.88.0.2/24"


def en1_lines(address=EN1_ADDRESS):
    return ["ip tuntap add dev en1 mode tap", "ip link set en1 up", f"ip addr add {address} dev en1"]


class Move(NamedTuple):
    """While the tunnel is up, `ifname` leaves the network of `old` (an
    address with its prefix) for that of `new`; with a `router` its default
    route goes to that one, as a DHCP client's would, and the gateway's side
    of the cable answers there."""
    ifname: str
    old: str
    new: str
    router: str | None = None

    def run(self, testhost, sess):
        if self.router:
            testhost.run_gw(["ip", "addr", "add", f"{self.router}/24", "dev", "uplink0"], check=True)
        testhost.run_host(["ip", "addr", "del", self.old, "dev", self.ifname], check=True)
        testhost.run_host(["ip", "addr", "add", self.new, "dev", self.ifname], check=True)
        if self.router:
            # the live state follows, as the configuration daemon's would
            path = sysconfig_store.store_dir(testhost) / "dynamic-store.json"
            state = json.loads(path.read_text())
            for key in (f"State:/Network/Service/{sysconfig_store.SERVICE}/IPv4", "State:/Network/Global/IPv4"):
                state[key]["Router"] = self.router
                if "Addresses" in state[key]:
                    state[key]["Addresses"] = [self.new.split("/")[0]]
            path.with_suffix(".tmp").write_text(json.dumps(state, indent=1))
            os.replace(path.with_suffix(".tmp"), path)
            testhost.run_host(["ip", "route", "replace", "default", "via", self.router, "dev", self.ifname],
                              check=True)
        # the host's own change: what the daemon must give back follows it
        sess.before.routes = sorted(self.renamed(r) for r in sess.before.routes)
        sess.before.store = store_contents(testhost)
        sess.before.pin_dropped = self.ifname == "en0"  # the kernel's flush of the old network's neighbours

    def renamed(self, route):
        old_net, new_net = (a.rsplit(".", 1)[0] + "." for a in (self.old, self.new))
        return route.replace(old_net, new_net)


class HostShape:
    """A host with more than a default route: `seed` are `ip route` lines
    run before the snapshot (after en1 is made, with `en1`: True, or the
    address with its prefix that en1 gets); `move` changes
    an interface's network while the tunnel is up; `reconnect` is None,
    "drop" (the gateway drops the connection), "new_address" (and gives
    another client address) or "repair" (a full tunnel whose default route
    left the tunnel first); `calls` are route commands the daemon must have
    run."""

    def __init__(self, name, *, full=False, seed=(), resources=RESOURCES, excludes=(), reconnect=None, up=(),
                 en1=False, move=None, calls=()):
        self.name = name
        self.full = full
        self.seed = list(seed)
        self.resources = list(resources)
        self.excludes = list(excludes)
        self.reconnect = reconnect
        self.up = list(up)  # routes (without the kernel's details) that stand while the tunnel is up
        self.en1 = en1
        self.move = move
        self.calls = list(calls)

    def scenario(self, **kw):
        return g.Scenario(flags=g.NETCFG_FULL_TUNNEL if self.full else 0, resources=self.resources,
                          excludes=self.excludes, **kw)


NO_DEFAULT = ["del default", "add 198.18.0.0/15 via 10.77.0.1"]
DEFAULT_VIA_EN1 = ["replace default via 10.88.0.1 dev en1", f"add {g.GATEWAY_IP} via {NEXT_HOP} dev en0"]

HOST_SHAPES = [
    HostShape("lan_excluded_split", excludes=[LAN], up=["10.77.0.0/24 dev en0 scope link"]),
    HostShape("lan_excluded_full", full=True, excludes=[LAN], up=["10.77.0.0/24 dev en0 scope link"]),
    HostShape("lan_is_a_resource", resources=[LAN] + RESOURCES),
    HostShape("own_host_route_to_the_gateway", seed=["add 198.18.0.1 via 10.77.0.1"]),
    HostShape("own_host_route_to_the_next_hop", seed=["add 10.77.0.1 dev en0"]),
    HostShape("competing_static_route_split_reconnection", seed=["add 10.50.0.0/16 via 10.77.0.1"],
              resources=[g.Resource("10.50.0.0", "255.255.0.0")] + RESOURCES, reconnect="drop"),
    HostShape("competing_static_route_changed_client_address", full=True,
              seed=["add 198.18.0.1 via 10.77.0.1"], reconnect="new_address"),
    HostShape("full_repair_static_route_through_en0", full=True, seed=["add 10.50.7.0/24 dev en0"],
              reconnect="repair"),
    HostShape("full_repair_host_route_to_the_gateway", full=True, seed=["add 198.18.0.1 via 10.77.0.1"],
              reconnect="repair"),
    HostShape("dependent_static_routes", full=True,
              seed=["add 172.16.0.0/24 dev en0", "add 10.60.0.0/16 via 172.16.0.1"]),
    HostShape("no_default_route_split", seed=NO_DEFAULT),
    HostShape("no_default_route_full", full=True, seed=NO_DEFAULT),
    # en0 moves to another network and router: its old network's route must
    # not come back, the new one's must
    HostShape("full_en0_moves_to_another_network", full=True, reconnect="drop",
              move=Move("en0", "10.77.0.2/24", "10.66.0.2/24", router="10.66.0.1")),
    # en1 changes its address: its old network's route must not come back,
    # a static route through it must
    HostShape("full_repair_en1_changes_address", full=True, en1=True, seed=["add 10.50.8.0/24 dev en1"],
              reconnect="repair", move=Move("en1", "10.88.0.2/24", "10.89.0.2/24")),
    # a second service's default route: it stays through the tunnel and after it
    HostShape("full_second_default_route", full=True, en1=True, seed=["add default via 10.88.0.1 dev en1 metric 100"],
              up=["default via 10.88.0.1 dev en1"]),
    HostShape("split_second_default_route", en1=True, seed=["add default via 10.88.0.1 dev en1 metric 100"],
              reconnect="drop", up=["default via 10.88.0.1 dev en1"]),
    # the default route leaves through en1, the way to the gateway through
    # en0: the default route comes back through en1, not en0's router
    HostShape("full_default_via_en1_gateway_via_en0", full=True, en1=True, seed=DEFAULT_VIA_EN1),
    HostShape("full_default_via_en1_gateway_via_en0_changed_client_address", full=True, en1=True,
              seed=DEFAULT_VIA_EN1, reconnect="new_address"),
    # en1 on en0's network: its network route, scoped to en1, comes back beside en0's
    HostShape("full_two_interfaces_on_one_network", full=True, en1="10.77.0.3/24",
              calls=[f"/sbin/route {verb} -net 10.77.0.0 -netmask 255.255.255.0 -interface en1 -cloning -ifscope en1"
                     for verb in ("delete", "add")]),
]


def bare_routes(testhost):
    return sorted(re.sub(r" proto \S+| src \S+| metric \d+| linkdown", "", r) for r in testhost.routes())


@pytest.mark.time_limit(150)
@pytest.mark.parametrize("shape", HOST_SHAPES, ids=[s.name for s in HOST_SHAPES])
def test_every_host_route_comes_back_on_hosts_with_more_than_a_default_route(testhost, gateway, shape):
    en1 = [] if not shape.en1 else en1_lines() if shape.en1 is True else en1_lines(shape.en1)
    for line in en1:
        testhost.run_host(line.split(), check=True)
    for line in shape.seed:
        testhost.run_host(["ip", "route"] + line.split(), check=True)
    gw = gateway(shape.scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    up = bare_routes(testhost)
    for r in shape.up + [f"{g.GATEWAY_IP} via {NEXT_HOP} dev en0"]:
        assert r in up, testhost.routes()
    if shape.full:
        assert any(r.startswith("default via 1.1.1.1 dev utun") for r in up), testhost.routes()
    if shape.move:
        shape.move.run(testhost, sess)
    if shape.reconnect == "repair":
        # another program takes the default route back to the local router
        testhost.run_host(["ip", "route", "replace", "default", "via", NEXT_HOP, "dev", "en0"], check=True)
    if shape.reconnect:
        new = shape.scenario(client_ip=NEW_CLIENT_IP) if shape.reconnect == "new_address" else shape.scenario()
        reconnect_with(testhost, gw, sess.conn, new)
        if shape.full:
            assert any(r.startswith("default via 1.1.1.1 dev utun") for r in testhost.routes()), testhost.routes()
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended()
    calls = [" ".join(c) for c in testhost.journal() if c[:1] == ["/sbin/route"]]
    assert sorted(testhost.routes()) == sess.before.routes, "\n".join(calls)
    for call in shape.calls:
        assert call in calls, "\n".join(calls)
    sess.assert_host_put_back()


@pytest.mark.slow
@pytest.mark.time_limit(240)
def test_gateway_refusing_every_attempt_twelve_tries_ten_seconds_apart_then_teardown(
        testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    gw.refuse_new = True
    sess.conn.drop()
    sess.assert_ended(200)

    begins = [r for r in testhost.log_records() if "vpn dtor reconnect begin" in r.msg]
    assert [r.msg.rsplit(" ", 2)[-2] for r in begins] == [str(i) for i in range(12)]
    gaps = [b.time - a.time for a, b in zip(begins, begins[1:])]
    assert all(9.5 <= x <= 15 for x in gaps), gaps
    assert log_count(testhost, "vpn dtor reconnect failed 11 time") == 1
    assert log_count(testhost, "Vpn reconnection failed and reach maximum times, destroy vpn now") == 1
    # each attempt was a new TCP connection the gateway refused
    assert len([c for c in gw.connections if c.refused]) >= 12
    assert len(gw.tunnels()) == 1
    sess.assert_host_put_back()


# ------------------------------------------------------------ forced ends

def send_kill_notice(sess):
    # its answer tells nothing: the daemon may end the connection at once
    sess.conn.send_kill_notice()


def send_terminate(sess):
    # the echo comes before the exit, whichever caller ran the teardown
    sess.launcher.request(0xDEEDC0DE)


def send_sigterm(sess):
    sess.th.signal_daemon(signal.SIGTERM)


ENDS = {"sigterm": send_sigterm, "terminate": send_terminate, "kill_notice": send_kill_notice}


TERMINATE_ECHO = b"\xde\xed\xc0\xde"


def terminate_echo(sess, lc=None):
    try:
        return (lc or sess.launcher).recv_exact(4, 30)
    except EOFError as e:
        return e.args[1]


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("end,navtype", [
    ("sigterm", "commandline"),
    ("kill_notice", "commandline"),
    ("sigterm", "standalone"),
    ("terminate", "standalone"),
    ("kill_notice", "standalone"),
])
def test_forced_end_tears_down_once_and_puts_the_host_back(testhost, gateway, end, navtype):
    gw = gateway(full_session_scenario())
    sess = TunnelSession(testhost, gw).start(navtype=navtype)
    tunnel = sess.conn
    hosts_up = (testhost.etc_dir / "hosts").read_bytes()
    assert b"intra.example.test" in hosts_up and hosts_up != sess.before.hosts

    ENDS[end](sess)
    if end == "terminate":
        assert terminate_echo(sess) == TERMINATE_ECHO
    sess.assert_ended(60)
    sess.assert_host_put_back()
    logouts = sess.logouts()
    if navtype == "commandline":
        # the logout on a connection of its own, after the tunnel's
        assert len(logouts) == 1
        lo = logouts[0]
        assert lo.index > tunnel.index and lo.peer != tunnel.peer
        assert len(lo.preamble) == 82 and lo.preamble_problems == []
        assert lo.request == g.expected_logout_request(HOSTNAME, COOKIE)
    else:
        assert logouts == []


@pytest.mark.time_limit(90)
def test_sigterm_terminate_and_kill_notice_together_tear_down_once(testhost, gateway):
    gw = gateway(full_session_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    barrier = threading.Barrier(3)
    errors = []

    def fire(fn):
        try:
            barrier.wait(5)
            fn(sess)
        except Exception as e:  # noqa: BLE001 (reported below)
            errors.append(e)
    threads = [threading.Thread(target=fire, args=(fn,), daemon=True) for fn in ENDS.values()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert errors == []
    assert terminate_echo(sess) == TERMINATE_ECHO
    sess.assert_ended(60)
    sess.assert_host_put_back()
    assert sess.logouts() == []


@pytest.mark.time_limit(90)
def test_two_terminate_requests_at_once_both_get_the_echo(testhost, gateway):
    """On the first connection and on an extra one together: one of them
    runs the teardown, the other waits on the controller; both hear the
    echo before the exit."""
    gw = gateway(full_session_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    mark = testhost.log_mark()
    extra = launcher_mod.Launcher(testhost).connect()
    try:
        testhost.wait_log(r"socket_sub_listen_thread is called", 10, start=mark)
        barrier = threading.Barrier(2)

        def fire(lc):
            barrier.wait(5)
            lc.request(0xDEEDC0DE)
        threads = [threading.Thread(target=fire, args=(lc,), daemon=True)
                   for lc in (sess.launcher, extra)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        assert terminate_echo(sess) == TERMINATE_ECHO
        assert terminate_echo(sess, extra) == TERMINATE_ECHO
        assert log_count(testhost, "receive a terminate signal from java applet") == 2
        sess.assert_ended(60)
    finally:
        extra.close()
    assert teardowns(testhost) == 1
    sess.assert_host_put_back()


@pytest.mark.time_limit(120)
@pytest.mark.parametrize("ends", [("sigterm",), ("terminate",), ("sigterm", "terminate")],
                         ids=["sigterm", "terminate", "sigterm+terminate"])
def test_forced_end_during_reconnection_stops_it_and_tears_down_once(testhost, gateway, ends):
    gw = gateway(full_session_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    gw.refuse_new = True
    sess.conn.drop()
    testhost.wait_log(r"vpn dtor reconnect failed 0 time$", 30)
    t0 = time.monotonic()
    for e in ends:
        ENDS[e](sess)
    if "terminate" in ends:
        assert terminate_echo(sess) == TERMINATE_ECHO
    sess.assert_ended(60)
    assert time.monotonic() - t0 < 35
    assert log_count(testhost, "Vpn reconnection is interruptted") == 1
    # the attempt under way when the end came is the last one
    assert log_count(testhost, "vpn dtor reconnect begin 2 time") == 0
    assert teardowns(testhost) == 1
    sess.assert_host_put_back()


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("end", ["terminate", "sigterm"])
def test_forced_end_during_a_udp_flood_through_the_tunnel(testhost, gateway, end):
    """The main thread is in the relay's utun reads and writes, outside any
    lock, when the end tears down: the utun device goes without its
    descriptor being closed under the relay (the TSan daemon reports such a
    close), the terminate request gets its echo before the exit, and there
    is one teardown."""
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    conn = sess.conn
    with testhost.host_ns():
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
    out.setblocking(False)
    stop = threading.Event()
    data = os.urandom(1200)
    inbound = [g.udp_packet(RESOURCE_HOST, CLIENT_IP, 4000, UDP_PORT, b"in %d" % i * 100) for i in range(8)]

    def flood_out():
        while not stop.is_set():
            try:
                out.sendto(data, (RESOURCE_HOST, 9))
            except OSError:      # the device's queue is full, or gone
                time.sleep(0.001)

    def flood_in():
        while not stop.is_set() and conn.send_packets(inbound):
            pass
    floods = [threading.Thread(target=f, daemon=True) for f in (flood_out, flood_in)]
    try:
        for f in floods:
            f.start()
        assert wait_until(lambda: len(conn.packets) > 200, 30), "no flood through the tunnel"
        ENDS[end](sess)
        if end == "terminate":
            assert terminate_echo(sess) == TERMINATE_ECHO
        sess.assert_ended(60)
    finally:
        stop.set()
        for f in floods:
            f.join(10)
        out.close()
    sess.assert_host_put_back()


@pytest.mark.time_limit(90)
def test_partial_packet_of_a_dropped_connection_is_not_put_before_the_new_ones(
        testhost, gateway):
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    first = sess.conn
    cut = g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"never whole" * 20)
    mark = testhost.log_mark()
    assert first.send_records([cut[:30]])
    testhost.wait_log(r"receive ssl data less than ip_len, continue to wait$", 10, start=mark)
    with udp_listener(testhost, UDP_PORT) as rx:
        first.drop()
        second = gw.wait_tunnel(2, 40)
        assert second is not None, testhost.describe_daemon()
        testhost.wait_log(r"reconnected_add_route return 0$", 20)
        pkts = [g.udp_packet("10.99.0.5", CLIENT_IP, 4000, UDP_PORT, b"new %d" % i * 30)
                for i in range(3)]
        assert second.send_packets(pkts)
        rx.wait(3, 5)
        time.sleep(0.3)
        assert rx.payloads() == [udp_payload_of(p) for p in pkts]
    assert second.errors == []
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


def tls_send_queue(testhost) -> int:
    """Bytes the daemon's gateway connection has not got rid of (Send-Q)."""
    r = testhost.run_host(["ss", "-tnH", "state", "established", "dst", g.GATEWAY_IP])
    return max([int(line.split()[1]) for line in r.stdout.splitlines() if line.split()] or [0])


@pytest.mark.time_limit(90)
def test_sigterm_while_the_relay_is_blocked_on_a_stalled_gateway(testhost, gateway):
    """The gateway reads nothing more: the relay's TLS write blocks with the
    connection lock held once the send buffer is full. SIGTERM must still end
    the daemon, with its teardown, in bounded time."""
    gw = gateway(split_scenario())
    sess = TunnelSession(testhost, gw).start()
    sess.conn.stall()
    with testhost.host_ns():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
    s.setblocking(False)
    data = os.urandom(1300)

    def flood(n=1000):
        for _ in range(n):
            try:
                s.sendto(data, (RESOURCE_HOST, 9))
            except OSError:      # the device's queue is full
                time.sleep(0.001)
    # flood until the send queue stops growing: the buffer is full and the
    # relay's write waits in the kernel
    full = False
    last = -1
    deadline = time.monotonic() + 20
    try:
        while time.monotonic() < deadline and not full:
            flood()
            time.sleep(0.3)
            q = tls_send_queue(testhost)
            full = q >= 100_000 and q == last
            last = q
    finally:
        s.close()
    assert full, f"the daemon's send queue did not fill ({last} bytes)"
    assert testhost.daemon_status is None
    t0 = time.monotonic()
    testhost.signal_daemon()
    sess.assert_ended(60)
    assert time.monotonic() - t0 < 25
    sess.assert_host_put_back()
    assert len(sess.logouts()) == 1


@pytest.mark.time_limit(90)
@pytest.mark.parametrize("moment", [
    r"^tun cfg",                                   # utun about to open
    r"get_active_interface_addr ret",              # routes about to be set
    r"start post config to local machine\.$",      # host map about to be written
], ids=["utun", "routes", "host-map"])
def test_sigterm_during_the_first_set_up_tears_down_once_after_it(testhost, gateway, moment):
    """The signal comes while the main thread is still changing the host:
    the teardown must neither run beside it nor leave anything behind."""
    gw = gateway(full_session_scenario())
    sess = TunnelSession(testhost, gw)
    testhost.start_daemon()
    lch = launcher_mod.Launcher(testhost).connect()
    sess.launcher = lch
    lch.send_package(scenario.package(launcher_mod))
    testhost.wait_log(moment, 30)
    testhost.signal_daemon()
    sess.assert_ended(60)
    sess.assert_host_put_back()
