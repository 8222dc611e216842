"""DNS servers and search domains of the network services in the test host:
while the tunnel is up every active service, and only those, resolves through
the gateway's servers and searches its domains first; names of the gateway's
zone resolve through the tunnel via /etc/resolv.conf; after the end (also
around reconnections) both store files and the resolver are as seeded."""

import copy
import os
import re
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import scenario  # noqa: E402
import sysconfig_store  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import CLIENT_IP, NEXT_HOP, TunnelSession, store_contents  # noqa: E402

pytestmark = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("set_vpn_dns_server_mac", "restore_dns_config",
                                                    "set_dns_search_domains_mac")),
    reason="probe: tunnel bring-up or the DNS module not built in this daemon")

GW_DNS = "10.99.0.53"
GW_DOMAINS = ["corp.example.test", "lan.test"]
ZONE = {"intra.corp.example.test": "10.99.0.10"}

MAN, DHCP, DOM, L2TP, NOIP, BT = "SVC-MANUAL", "SVC-DHCP", "SVC-DOMAINS", "SVC-L2TP", "SVC-NOIPV4", "SVC-BT"


def _svc(name, kind, dev, dns, display=None):
    return {"UserDefinedName": name,
            "Interface": {"Type": kind, "DeviceName": dev, "UserDefinedName": display or name},
            "IPv4": {"ConfigMethod": "DHCP"}, "DNS": dns}


PREFERENCES = {
    "ServiceOrder": [MAN, DHCP, DOM, L2TP, NOIP, BT],
    "NetworkServices": {
        # keys the daemon never writes must survive
        MAN: {**_svc("Ethernet", "Ethernet", "en0", {
            "DomainName": "lan.test", "ServerAddresses": ["10.77.0.53"], "SearchDomains": ["lan.test"],
            "SearchOrder": 1}), "IPv4": {"ConfigMethod": "Manual", "Addresses": ["10.77.0.2"],
                                         "SubnetMasks": ["255.255.255.0"], "Router": NEXT_HOP}},
        DHCP: _svc("Wi-Fi", "IEEE80211", "en1", {}),
        DOM: _svc("USB LAN", "Ethernet", "en2", {"ServerAddresses": [], "SearchDomains": ["usb.test"]}),
        L2TP: _svc("VPN (L2TP)", "PPP", "ppp0", {"ServerAddresses": ["172.16.0.1"]}, display="PPP --> L2TP"),
        NOIP: _svc("Thunderbolt Bridge", "Ethernet", "bridge0", {"SearchDomains": ["tb.test"]}),
        BT: _svc("Bluetooth PAN", "Bluetooth", "en5", {}),
    },
}
DYNAMIC_STORE = {
    f"State:/Network/Service/{MAN}/IPv4": {"InterfaceName": "en0", "Router": NEXT_HOP,
                                           "Addresses": ["10.77.0.2"]},
    f"State:/Network/Service/{DHCP}/IPv4": {"InterfaceName": "en1", "Addresses": ["192.168.1.20"]},
    f"State:/Network/Service/{DHCP}/DNS": {"ServerAddresses": ["192.168.1.1"], "SearchDomains": ["d1"]},
    f"State:/Network/Service/{DOM}/IPv4": {"InterfaceName": "en2", "Addresses": ["192.168.7.20"]},
    f"State:/Network/Service/{DOM}/DNS": {"ServerAddresses": ["192.168.7.1"], "SearchDomains": ["live.test"]},
    f"State:/Network/Service/{L2TP}/IPv4": {"InterfaceName": "ppp0"},
    f"State:/Network/Service/{BT}/IPv4": {"InterfaceName": "en5"},
    "State:/Network/Global/IPv4": {"PrimaryInterface": "en0", "PrimaryService": MAN, "Router": NEXT_HOP},
}

# while connected: the gateway's values in front of each active service's own
CONNECTED = {
    MAN: {"DomainName": "lan.test", "ServerAddresses": [GW_DNS, "10.77.0.53"],
          "SearchDomains": GW_DOMAINS, "SearchOrder": 1},
    DHCP: {"ServerAddresses": [GW_DNS, "192.168.1.1"], "SearchDomains": GW_DOMAINS + ["d1"]},
    DOM: {"ServerAddresses": [GW_DNS, "192.168.7.1"], "SearchDomains": GW_DOMAINS + ["usb.test", "live.test"]},
}
RESOLVER_CONNECTED = f"search {' '.join(GW_DOMAINS)}\nnameserver {GW_DNS}\nnameserver 10.77.0.53\n"


def flush_line():
    major = int(re.match(r"\d*", os.uname().release).group() or 0)
    if major > 13:
        return "discoveryutil udnsflushcaches;discoveryutil mdnsflushcache"
    return "killall -HUP mDNSResponder" if major >= 12 else "dscacheutil -flushcache"


SILENT = " 2> /dev/null 1>&2"
# the kept domains are the first resolver's after the per-service apply
SEARCH_LINE = ('/usr/sbin/networksetup -setsearchdomains "" ' + " ".join(GW_DOMAINS) + " "
               + " ".join(GW_DOMAINS) + " " + SILENT)


def dns_scenario(**kw):
    base = dict(resources=[g.Resource("10.99.0.0", "255.255.255.0")], dns=[GW_DNS],
                search_domains=GW_DOMAINS, dns_zone=ZONE)
    base.update(kw)
    return g.Scenario(**base)


def session(testhost, gw):
    return TunnelSession(testhost, gw, preferences=copy.deepcopy(PREFERENCES),
                         dynamic_store=copy.deepcopy(DYNAMIC_STORE))


def entities(testhost):
    return {sid: svc.get("DNS") for sid, svc in
            store_contents(testhost)["preferences.json"]["NetworkServices"].items()}


def assert_connected(testhost, sess):
    now = entities(testhost)
    seeded = {sid: svc["DNS"] for sid, svc in PREFERENCES["NetworkServices"].items()}
    assert now == {**seeded, **CONNECTED}
    assert store_contents(testhost)["dynamic-store.json"] == sess.before.store["dynamic-store.json"]
    assert sysconfig_store.resolver(testhost) == RESOLVER_CONNECTED


def resolve(testhost, name):
    r = testhost.run_private(["getent", "ahostsv4", name], tools=[], timeout=30)
    return sorted({line.split()[0] for line in r.stdout.splitlines() if line.strip()})


@pytest.mark.time_limit(150)
def test_gateway_dns_first_on_every_active_service_names_resolve_through_the_tunnel(testhost, gateway):
    gw = gateway(dns_scenario())
    sess = session(testhost, gw).start()
    assert sess.before.resolver == "search lan.test\nnameserver 10.77.0.53\n"
    assert_connected(testhost, sess)

    # one flush after the apply, scutil read through a pipe, then networksetup
    # naming no service (it changes nothing)
    lines = testhost.shell_lines()
    flush = flush_line() + SILENT
    assert lines.count(flush) == 1 and lines.count("scutil --dns") == 1, lines
    assert lines.count(SEARCH_LINE) == 1, lines
    assert lines.index(flush) < lines.index("scutil --dns") < lines.index(SEARCH_LINE)
    assert ["/usr/sbin/networksetup", "-setsearchdomains", ""] + GW_DOMAINS * 2 in testhost.journal()

    # a name of the gateway's zone, whole and through the search domains,
    # answered by the gateway's DNS server across the tunnel
    assert resolve(testhost, "intra.corp.example.test") == ["10.99.0.10"]
    assert resolve(testhost, "intra") == ["10.99.0.10"]
    assert "intra.corp.example.test" in sess.conn.dns_queries
    assert {p.src for p in sess.conn.received_packets() if p.dst == GW_DNS} == {CLIENT_IP}

    testhost.clear_journal()
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()
    assert testhost.shell_lines().count(flush) == 1  # once more, for the restore


@pytest.mark.time_limit(150)
def test_split_reconnection_puts_the_services_back_and_applies_again(testhost, gateway):
    gw = gateway(dns_scenario())
    sess = session(testhost, gw).start()
    first = sess.conn
    gw.refuse_new = True
    first.drop()
    testhost.wait_log(r"vpn dtor reconnect failed 0 time$", 30)
    # while the gateway is away the host's own settings are back
    assert store_contents(testhost) == sess.before.store
    assert sysconfig_store.resolver(testhost) == sess.before.resolver
    gw.refuse_new = False
    assert gw.wait_tunnel(2, 40) is not None, testhost.describe_daemon()
    testhost.wait_log(r"reconnected_add_route return 0$", 20)
    assert_connected(testhost, sess)
    testhost.signal_daemon()
    sess.assert_ended()
    sess.assert_host_put_back()


@pytest.mark.time_limit(150)
def test_full_tunnel_reconnection_with_a_new_address_never_doubles_and_puts_back(testhost, gateway):
    full = dict(flags=g.NETCFG_FULL_TUNNEL)
    gw = gateway(dns_scenario(**full))
    sess = session(testhost, gw).start(navtype="standalone")
    assert_connected(testhost, sess)
    gw.scenario = dns_scenario(client_ip="10.200.0.9", **full)
    sess.conn.drop()
    second = gw.wait_tunnel(2, 40)
    assert second is not None, testhost.describe_daemon()
    # the old device took the tunnel's default route along: the repair sets
    # the tunnel up again, and each service holds the host's own values once
    # and the gateway's once
    testhost.wait_log(r"reconnected_add_route return 0$", 20)
    assert_connected(testhost, sess)
    assert sess.launcher.terminate() == b"\xde\xed\xc0\xde"
    sess.assert_ended()
    sess.assert_host_put_back()
