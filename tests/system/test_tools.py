"""The macOS tool stand-ins of tools/bin: their parsing (dry-run, no root
needed) and their effect on a Linux kernel (inside a throwaway network
namespace)."""

import json
import os
import pathlib
import shutil
import stat
import subprocess
import time

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools" / "bin"


def run_tool(name, args, env=None, ns_pid=None, dry=False):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("VPNC_")}
    if dry:
        full_env["VPNC_TOOL_DRYRUN"] = "1"
    full_env.update(env or {})
    cmd = [str(TOOLS / name)] + list(args)
    if ns_pid is not None:
        cmd = ["nsenter", f"--net=/proc/{ns_pid}/ns/net", "--"] + cmd
    return subprocess.run(cmd, capture_output=True, text=True, timeout=20, env=full_env)


def ip_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("ip ")]


# --- parsing: the daemon's own command texts and their Linux translation ------

DRY_CASES = [
    ("route", "add default 1.1.1.1", ["ip route add default via 1.1.1.1"]),
    ("route", "delete default 1.1.1.1", ["ip route del default"]),
    ("route", "delete default 0.0.0.0", ["ip route del default"]),
    ("route", "add -net 10.1.2.0 -netmask 255.255.0.0 -interface utun3",
     ["ip route add 10.1.0.0/16 dev utun3"]),
    ("route", "delete -net 10.1.0.0 -netmask 255.255.0.0 -interface utun3",
     ["ip route del 10.1.0.0/16"]),
    ("route", "add -host 192.0.2.10 -gateway 192.168.1.1",
     ["ip route add 192.0.2.10/32 via 192.168.1.1"]),
    ("route", "add -host 192.168.1.1 -interface en0 -cloning",
     ["ip route add 192.168.1.1/32 dev en0"]),
    ("route", "add -host 10.77.0.2 -gateway 127.0.0.1",
     ["ip route add 10.77.0.2/32 via 127.0.0.1"]),
    ("route", "add -net 10.8.0.0 -netmask 255.255.255.255 -interface utun10",
     ["ip route add 10.8.0.0/32 dev utun10"]),
    ("route", "add -net 192.168.1.0 -netmask 255.255.255.0 -interface en0",
     ["ip route add 192.168.1.0/24 dev en0"]),
    ("route", "add -net 192.168.7.0 -netmask 255.255.255.0 -gateway 10.77.0.1 -ifscope en0",
     ["ip route append 192.168.7.0/24 via 10.77.0.1 dev en0"]),
    ("route", "add -net 10.98.0.0 -netmask 255.255.255.0 -interface en1 -cloning -ifscope en1",
     ["ip route append 10.98.0.0/24 dev en1"]),
    ("route", "delete -net 10.98.0.0 -netmask 255.255.255.0 -interface en1 -cloning -ifscope en1",
     ["ip route del 10.98.0.0/24 dev en1"]),
    ("route", "delete -net 192.168.7.0 -netmask 255.255.255.0 -gateway 10.77.0.1 -ifscope en0",
     ["ip route del 192.168.7.0/24 dev en0"]),
    ("route", "add -net 10.0.0.0/8 10.77.0.1", ["ip route add 10.0.0.0/8 via 10.77.0.1"]),
    ("route", "add -net 172.16.0.0 10.77.0.1", ["ip route add 172.16.0.0/16 via 10.77.0.1"]),
    ("route", "-q add 10.2.3.4 10.77.0.1", ["ip route add 10.2.3.4/32 via 10.77.0.1"]),
    ("ifconfig", "utun3 10.9.0.5 1.1.1.1 mtu 1400",
     ["ip link set dev utun3 mtu 1400", "ip -4 addr flush dev utun3",
      "ip addr add 10.9.0.5 peer 1.1.1.1 dev utun3", "ip link set dev utun3 up"]),
    ("ifconfig", "utun3 inet 10.9.0.5 1.1.1.1 mtu 1400 up",
     ["ip link set dev utun3 mtu 1400", "ip -4 addr flush dev utun3",
      "ip addr add 10.9.0.5 peer 1.1.1.1 dev utun3", "ip link set dev utun3 up"]),
    ("ifconfig", "en1 192.168.5.2 netmask 255.255.255.0",
     ["ip -4 addr flush dev en1", "ip addr add 192.168.5.2/24 broadcast + dev en1",
      "ip link set dev en1 up"]),
    ("ifconfig", "en1 192.168.5.3/24 alias",
     ["ip addr add 192.168.5.3/24 broadcast + dev en1", "ip link set dev en1 up"]),
    ("ifconfig", "en1 192.168.5.3 -alias", ["ip addr del 192.168.5.3 dev en1"]),
    ("ifconfig", "utun3 down", ["ip link set dev utun3 down"]),
    ("arp", "-s 10.77.0.1 0:1c:42:a:b:c ifscope en0",
     ["ip neigh replace 10.77.0.1 lladdr 00:1c:42:0a:0b:0c dev en0 nud permanent"]),
    ("arp", "-s 10.77.0.1 0:c:29:a:0:1 temp ifscope en0",
     ["ip neigh replace 10.77.0.1 lladdr 00:0c:29:0a:00:01 dev en0 nud reachable"]),
    ("arp", "-a -d", ["ip -4 neigh flush all"]),
    ("arp", "-d -a -i en0", ["ip -4 neigh flush dev en0"]),
    ("arp", "-d 10.77.0.1 ifscope en0", ["ip neigh del 10.77.0.1 dev en0"]),
]


@pytest.mark.parametrize("tool,args,expected", DRY_CASES, ids=[f"{t} {a}" for t, a, _ in DRY_CASES])
def test_dry_run_translation(tool, args, expected):
    r = run_tool(tool, args.split(), dry=True)
    assert r.returncode == 0, r.stderr
    assert ip_lines(r.stdout) == expected


REFUSED = [
    ("route", "add -net 10.0.0.0", 64, "usage"),
    ("route", "add -net 10.0.0.0 -frobnicate 10.77.0.1", 64, "botched keyword: frobnicate"),
    ("route", "flush", 64, "usage"),
    ("route", "-z get default", 64, "illegal option"),
    ("route", "add -net 10.0.0.0 -netmask 255.0.255.0 -interface en0", 1, "bad address: 255.0.255.0"),
    ("route", "add -host example.com 10.77.0.1", 1, "bad address: example.com"),
    ("route", "add -host 10.0.0.1 -gateway 10.0.0.300", 1, "bad address: 10.0.0.300"),
    ("route", "add -net 10.0.0.0 -netmask 255.0.0.0 -interface utun3 -ifscope en0", 1, "ifscope"),
    ("route", "add -net 10.0.0.0 -netmask 255.0.0.0 -interface 'utun3;reboot'", 1, "bad address"),
    ("arp", "-s 10.77.0.1 0:1c:42:a:b ifscope en0", 1, "invalid Ethernet address"),
    ("arp", "-s 10.77.0.1 zz:1c:42:a:b:c ifscope en0", 1, "invalid Ethernet address"),
    ("arp", "-s 0.0.0.0 0:1c:42:a:b:c ifscope en0", 1, "can only proxy for 0.0.0.0"),
    ("arp", "-s 10.77.0.1", 1, "usage"),
    ("arp", "-s gw.example 0:1c:42:a:b:c", 1, "Unknown host"),
    ("arp", "-q", 1, "illegal option"),
    ("ifconfig", "utun3 10.9.0.5 1.1.1.1 mtu 10", 1, "Invalid argument"),
    ("ifconfig", "utun3 10.9.0.300 1.1.1.1", 1, "bad value"),
    ("ifconfig", "utun3 10.9.0.5 1.1.1.1 1.1.1.2", 1, "usage"),
    ("ifconfig", "", 1, "usage"),
    ("system_profiler", "-xml SPHardwareDataType", 1, "not handled"),
    ("kextload", "-v /Library/Extensions/tun.kext", 1, "not handled"),
    ("kextunload", "", 1, "not handled"),
    ("mknod", "/tmp/x p", 1, "not handled"),
    ("mknod", "/tmp/x c ten 200", 1, "bad device number"),
]


@pytest.mark.parametrize("tool,args,status,message", REFUSED, ids=[f"{t} {a}" for t, a, _, _ in REFUSED])
def test_refusals(tool, args, status, message):
    r = run_tool(tool, [a.strip("'") for a in args.split()], dry=True)
    assert r.returncode == status
    assert message in r.stderr
    assert ip_lines(r.stdout) == []


def test_journal_records_every_call_with_the_macos_path(tmp_path):
    journal = tmp_path / "journal"
    env = {"VPNC_TOOL_JOURNAL": str(journal)}
    run_tool("route", ["add", "default", "1.1.1.1"], env=env, dry=True)
    run_tool("arp", ["-s", "10.77.0.1", "bad-mac"], env=env, dry=True)  # refused, still recorded
    run_tool("system_profiler", ["SPHardwareDataType"], env=env)
    lines = journal.read_text().splitlines()
    assert [json.loads(line) for line in lines] == [
        ["/sbin/route", "add", "default", "1.1.1.1"],
        ["/usr/sbin/arp", "-s", "10.77.0.1", "bad-mac"],
        ["/usr/sbin/system_profiler", "SPHardwareDataType"],
    ]


def test_mknod_makes_the_node_and_kext_tools_only_record(tmp_path):
    journal = tmp_path / "journal"
    env = {"VPNC_TOOL_JOURNAL": str(journal)}
    node = tmp_path / "tun3"
    assert run_tool("mknod", [str(node), "c", "1", "3"], env=env).returncode == 0
    st = node.stat()
    assert stat.S_ISCHR(st.st_mode) and (os.major(st.st_rdev), os.minor(st.st_rdev)) == (1, 3)
    assert run_tool("mknod", [str(node), "c", "1", "3"], env=env).returncode == 1  # exists
    assert run_tool("kextunload", ["/Library/Extensions/tun.kext"], env=env).returncode == 0
    assert run_tool("kextload", ["/Library/Extensions/tun.kext"], env=env).returncode == 0
    assert [json.loads(line)[0] for line in journal.read_text().splitlines()] == [
        "/sbin/mknod", "/sbin/mknod", "/sbin/kextunload", "/sbin/kextload"]


def hardware_uuid_lines(stdout):
    return [line for line in stdout.splitlines() if "Hardware UUID:" in line]


def test_system_profiler_hardware_uuid():
    r = run_tool("system_profiler", ["SPHardwareDataType"])
    assert r.returncode == 0
    (line,) = hardware_uuid_lines(r.stdout)
    # The daemon takes what follows the label and one blank.
    start = line.index("Hardware UUID:") + 15
    assert line[start:] == "5E0C4A1F-7B2D-4C3E-9A8B-1D2E3F405162"

    r = run_tool("system_profiler", ["SPHardwareDataType"], env={"VPNC_HW_UUID": "ABC-123"})
    assert hardware_uuid_lines(r.stdout) == ["      Hardware UUID: ABC-123"]

    r = run_tool("system_profiler", ["SPHardwareDataType"], env={"VPNC_HW_UUID": ""})
    assert r.returncode == 0 and hardware_uuid_lines(r.stdout) == []

    r = run_tool("system_profiler", ["SPNetworkDataType"])
    assert r.returncode == 0 and r.stdout == ""


# --- real effect, in a throwaway network namespace ---------------------------

def _sh(pid, cmd):
    return subprocess.run(["nsenter", f"--net=/proc/{pid}/ns/net", "--"] + cmd,
                          capture_output=True, text=True, timeout=20)


@pytest.fixture
def netns():
    if os.geteuid() != 0:
        pytest.skip("needs root for a private network namespace")
    if shutil.which("unshare") is None or shutil.which("nsenter") is None:
        pytest.skip("unshare/nsenter not installed")
    holder = subprocess.Popen(["unshare", "--net", "sleep", "300"])
    try:
        own = os.readlink("/proc/self/ns/net")
        for _ in range(200):
            try:
                if os.readlink(f"/proc/{holder.pid}/ns/net") != own:
                    break
            except OSError:
                pass
            time.sleep(0.01)
        else:
            pytest.skip("unshare --net did not give a new namespace")
        pid = holder.pid
        for cmd in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "add", "en0", "type", "veth", "peer", "name", "uplink0"],
                    ["ip", "link", "set", "en0", "up"], ["ip", "link", "set", "uplink0", "up"],
                    ["ip", "addr", "add", "10.77.0.2/24", "dev", "en0"],
                    ["ip", "route", "add", "default", "via", "10.77.0.1"],
                    ["ip", "tuntap", "add", "dev", "utun0", "mode", "tun"]):
            r = _sh(pid, cmd)
            assert r.returncode == 0, (cmd, r.stderr)
        yield pid
    finally:
        holder.kill()
        holder.wait(timeout=10)


def main_routes(pid):
    r = _sh(pid, ["ip", "-4", "route", "show", "table", "main"])
    return sorted(line.strip() for line in r.stdout.splitlines())


def test_full_tunnel_route_sequence_changes_the_kernel(netns, tmp_path):
    env = {"VPNC_TOOL_JOURNAL": str(tmp_path / "j")}
    before = main_routes(netns)

    def tool(name, text, status=0):
        r = run_tool(name, text.split(), env=env, ns_pid=netns)
        assert r.returncode == status, (text, r.stdout, r.stderr)
        return r

    tool("ifconfig", "utun0 10.9.0.5 1.1.1.1 mtu 1400")
    addr = json.loads(_sh(netns, ["ip", "-j", "addr", "show", "dev", "utun0"]).stdout)[0]
    assert addr["mtu"] == 1400 and "UP" in addr["flags"]
    assert [(a["local"], a["address"]) for a in addr["addr_info"] if a["family"] == "inet"] == \
        [("10.9.0.5", "1.1.1.1")]

    tool("route", "delete default 10.77.0.1")
    tool("route", "add default 1.1.1.1")
    tool("route", "add -host 10.77.0.2 -gateway 127.0.0.1")
    tool("route", "add -host 10.77.0.1 -interface en0 -cloning")
    tool("route", "add -host 198.18.0.1 -gateway 10.77.0.1")
    tool("route", "add -net 10.1.2.0 -netmask 255.255.0.0 -interface utun0")
    r = tool("route", "add default 1.1.1.1", status=1)
    assert "File exists" in r.stderr

    routes = main_routes(netns)
    for expected in ("default via 1.1.1.1 dev utun0", "10.77.0.2 via 127.0.0.1 dev lo",
                     "10.77.0.1 dev en0 scope link", "198.18.0.1 via 10.77.0.1 dev en0",
                     "10.1.0.0/16 dev utun0 scope link"):
        assert any(line.startswith(expected) for line in routes), (expected, routes)
    assert not any(line.startswith("default via 10.77.0.1") for line in routes)

    out = tool("route", "-n get default").stdout
    assert "  interface: utun0\n" in out and "    gateway: 1.1.1.1\n" in out
    assert out.startswith("   route to: default\ndestination: default\n       mask: default\n")

    out = tool("route", "get 198.18.0.1").stdout
    assert "destination: 198.18.0.1\n" in out and "  interface: en0\n" in out
    assert "mask:" not in out and "<UP,GATEWAY,HOST,DONE,STATIC>" in out

    out = tool("route", "-n get 10.1.9.9").stdout
    assert "destination: 10.1.0.0\n       mask: 255.255.0.0\n  interface: utun0\n" in out

    # The restore, in the daemon's order: delete what was added, then put back.
    for text in ("delete default 1.1.1.1", "delete -host 10.77.0.2 -gateway 127.0.0.1",
                 "delete -host 10.77.0.1 -interface en0 -cloning",
                 "delete -host 198.18.0.1 -gateway 10.77.0.1",
                 "delete -net 10.1.0.0 -netmask 255.255.0.0 -interface utun0",
                 "add default 10.77.0.1"):
        tool("route", text)
    tool("route", "delete -net 10.1.0.0 -netmask 255.255.0.0 -interface utun0", status=1)
    routes = [line for line in main_routes(netns) if "utun0" not in line]
    assert routes == before

    calls = [json.loads(line) for line in (tmp_path / "j").read_text().splitlines()]
    assert calls[0] == ["/sbin/ifconfig", "utun0", "10.9.0.5", "1.1.1.1", "mtu", "1400"]
    assert len(calls) == 1 + 7 + 3 + 7


def neigh(pid):
    return json.loads(_sh(pid, ["ip", "-j", "-4", "neigh", "show"]).stdout or "[]")


def test_arp_pin_flush_and_delete(netns):
    r = run_tool("arp", ["-s", "10.77.0.1", "0:1c:42:a:b:c", "ifscope", "en0"], ns_pid=netns)
    assert r.returncode == 0, r.stderr
    assert _sh(netns, ["ip", "neigh", "add", "10.77.0.7", "lladdr", "00:11:22:33:44:55",
                       "dev", "en0", "nud", "stale"]).returncode == 0

    out = run_tool("arp", ["-an"], ns_pid=netns).stdout
    assert "? (10.77.0.1) at 0:1c:42:a:b:c on en0 ifscope permanent [ethernet]" in out
    assert "? (10.77.0.7) at 0:11:22:33:44:55 on en0 ifscope [ethernet]" in out

    assert run_tool("arp", ["-a", "-d"], ns_pid=netns).returncode == 0
    entries = neigh(netns)
    assert [(e["dst"], e["dev"], e["lladdr"], e["state"]) for e in entries] == \
        [("10.77.0.1", "en0", "00:1c:42:0a:0b:0c", ["PERMANENT"])]

    # Not on a connected network: the real tool refuses too.
    r = run_tool("arp", ["-s", "198.18.0.1", "0:1c:42:a:b:c", "ifscope", "en0"], ns_pid=netns)
    assert r.returncode == 1 and "can only proxy" in r.stderr
    r = run_tool("arp", ["-s", "10.77.0.1", "0:1c:42:a:b:c", "ifscope", "nosuch0"], ns_pid=netns)
    assert r.returncode == 1

    assert run_tool("arp", ["-d", "10.77.0.1", "ifscope", "en0"], ns_pid=netns).returncode == 0
    assert neigh(netns) == []
    r = run_tool("arp", ["-d", "10.77.0.1"], ns_pid=netns)
    assert r.returncode == 1 and "cannot locate 10.77.0.1" in r.stderr


def test_ifconfig_prints_and_refuses_missing_interface(netns):
    assert run_tool("ifconfig", "utun0 10.9.0.5 1.1.1.1 mtu 1400 up".split(), ns_pid=netns).returncode == 0
    out = run_tool("ifconfig", ["utun0"], ns_pid=netns).stdout
    first, *rest = out.splitlines()
    assert first.startswith("utun0: flags=") and "POINTOPOINT" in first and first.endswith(" mtu 1400")
    assert "\tinet 10.9.0.5 --> 1.1.1.1 netmask 0xffffffff " in rest

    out = run_tool("ifconfig", ["en0"], ns_pid=netns).stdout
    assert "\tinet 10.77.0.2 netmask 0xffffff00 broadcast" in out or \
        "\tinet 10.77.0.2 netmask 0xffffff00" in out

    for args in (["nosuch0"], ["nosuch0", "10.9.0.5", "1.1.1.1", "mtu", "1400"]):
        r = run_tool("ifconfig", args, ns_pid=netns)
        assert r.returncode == 1 and "does not exist" in r.stderr


# --- the network-service store: networksetup and scutil --dns ------------------

STORE_PREFS = {
    "ServiceOrder": ["B", "A"],
    "NetworkServices": {
        "A": {"UserDefinedName": "Ethernet", "Interface": {"Type": "Ethernet", "DeviceName": "lo"},
              "IPv4": {"ConfigMethod": "Manual", "Addresses": ["10.77.0.2"],
                       "SubnetMasks": ["255.255.255.0"], "Router": "10.77.0.1"},
              "DNS": {"DomainName": "lan.test", "ServerAddresses": ["10.0.0.1", "10.0.0.2", "10.0.0.3",
                                                                    "10.0.0.4"]}},
        "B": {"UserDefinedName": "Wi-Fi", "Interface": {"Type": "IEEE80211"}, "IPv4": {"ConfigMethod": "DHCP"},
              "DNS": {}},
    },
}
STORE_DYN = {
    "State:/Network/Service/A/IPv4": {"InterfaceName": "lo"},
    "State:/Network/Service/B/IPv4": {"InterfaceName": "en1", "Addresses": ["192.168.1.20"],
                                      "SubnetMasks": ["255.255.255.0"], "Router": "192.168.1.1"},
    "State:/Network/Service/B/DNS": {"ServerAddresses": ["192.168.1.1"], "SearchDomains": ["d1"]},
    "State:/Network/Global/IPv4": {"PrimaryService": "A"},
}


@pytest.fixture
def store_root(tmp_path):
    d = tmp_path / "Library/Preferences/SystemConfiguration"
    d.mkdir(parents=True)
    (d / "preferences.json").write_text(json.dumps(STORE_PREFS))
    (d / "dynamic-store.json").write_text(json.dumps(STORE_DYN))
    (tmp_path / "var/run").mkdir(parents=True)
    return tmp_path


def prefs_of(root):
    return json.loads((root / "Library/Preferences/SystemConfiguration/preferences.json").read_text())


NETWORKSETUP_READS = [
    ("-listallnetworkservices", 0,
     "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\nEthernet\n"),
    ("-getdnsservers Ethernet", 0, "10.0.0.1\n10.0.0.2\n10.0.0.3\n10.0.0.4\n"),
    ("-getdnsservers Wi-Fi", 0, "There aren't any DNS Servers set on Wi-Fi.\n"),
    ("-getsearchdomains Ethernet", 0, "There aren't any Search Domains set on Ethernet.\n"),
    ("-getinfo Ethernet", 0, "Manual Configuration\nIP address: 10.77.0.2\nSubnet mask: 255.255.255.0\n"
                             "Router: 10.77.0.1\n"),
    ("-getinfo Wi-Fi", 0, "DHCP Configuration\nIP address: 192.168.1.20\nSubnet mask: 255.255.255.0\n"
                          "Router: 192.168.1.1\n"),
    ("-getdnsservers Nowhere", 4, "Nowhere is not a recognized network service.\n"),
]


@pytest.mark.parametrize("args,status,out", NETWORKSETUP_READS, ids=[a for a, _, _ in NETWORKSETUP_READS])
def test_networksetup_reads_the_store(store_root, args, status, out):
    r = run_tool("networksetup", args.split(), env={"VPNC_TOOL_ROOT": str(store_root)})
    assert (r.returncode, r.stdout) == (status, out), r.stderr


def test_networksetup_writes_keep_other_keys_and_render_the_resolver(store_root):
    env = {"VPNC_TOOL_ROOT": str(store_root)}
    assert run_tool("networksetup", ["-setsearchdomains", "Ethernet", "a.test", "b.test"], env=env).returncode == 0
    assert prefs_of(store_root)["NetworkServices"]["A"]["DNS"] == {
        "DomainName": "lan.test", "ServerAddresses": ["10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"],
        "SearchDomains": ["a.test", "b.test"]}
    # the primary service's domains and at most three servers
    assert (store_root / "var/run/resolv.conf").read_text() == (
        "search a.test b.test\nnameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n")
    assert run_tool("networksetup", ["-setdnsservers", "Ethernet", "Empty"], env=env).returncode == 0
    assert run_tool("networksetup", ["-setsearchdomains", "Ethernet", "Empty"], env=env).returncode == 0
    assert prefs_of(store_root)["NetworkServices"]["A"]["DNS"] == {"DomainName": "lan.test"}
    assert (store_root / "var/run/resolv.conf").read_text() == ""
    # an unknown or empty name changes nothing
    before = prefs_of(store_root)
    for name in ("", "Nowhere"):
        r = run_tool("networksetup", ["-setsearchdomains", name, "x.test"], env=env)
        assert r.returncode != 0 and r.stdout == f"{name} is not a recognized network service.\n"
    assert prefs_of(store_root) == before


def test_scutil_dns_first_resolver_is_the_primary_service(store_root):
    env = {"VPNC_TOOL_ROOT": str(store_root)}
    r = run_tool("scutil", ["--dns"], env=env)
    assert r.returncode == 0, r.stderr
    first = r.stdout.split("resolver #2")[0]
    assert first == ("DNS configuration\n\nresolver #1\n" + "".join(
        f"  nameserver[{i}] : 10.0.0.{i + 1}\n" for i in range(4)) + "  reach    : 0x00000002 (Reachable)\n\n")
    # the DHCP service's live values in its scoped resolver
    assert "  search domain[0] : d1\n  nameserver[0] : 192.168.1.1\n  if_index : 0 (en1)\n" in r.stdout
    # without an active primary service the first active one in service order
    dyn = dict(STORE_DYN, **{"State:/Network/Global/IPv4": {"PrimaryService": "C"}})
    (store_root / "Library/Preferences/SystemConfiguration/dynamic-store.json").write_text(json.dumps(dyn))
    r = run_tool("scutil", ["--dns"], env=env)
    assert "resolver #1\n  search domain[0] : d1\n  nameserver[0] : 192.168.1.1\n  reach" in r.stdout
    assert run_tool("scutil", ["--dns", "x"], env=env).returncode != 0


def test_default_route_through_the_utun_peer_after_its_host_route_went(netns, tmp_path):
    env = {"VPNC_TOOL_JOURNAL": str(tmp_path / "j")}

    def tool(text, status=0, name="route"):
        r = run_tool(name, text.split(), env=env, ns_pid=netns)
        assert r.returncode == status, (text, r.stdout, r.stderr)

    tool("utun0 10.9.0.5 1.1.1.1 mtu 1400", name="ifconfig")
    # the repair after a reconnection deletes the peer's host route
    r = _sh(netns, ["ip", "route", "del", "1.1.1.1/32", "dev", "utun0"])
    assert r.returncode == 0, r.stderr
    tool("delete default 10.77.0.1")
    tool("add default 1.1.1.1")
    assert any(line.startswith("default via 1.1.1.1 dev utun0") for line in main_routes(netns))
    tool("delete default 1.1.1.1")
    tool("add default 10.77.0.1")
    assert any(line.startswith("default via 10.77.0.1 dev en0") for line in main_routes(netns))


def test_the_interfaces_own_network_route_is_deleted_and_added_back_as_the_kernel_made_it(netns, tmp_path):
    env = {"VPNC_TOOL_JOURNAL": str(tmp_path / "j")}
    lan = [line for line in main_routes(netns) if line.startswith("10.77.0.0/24 ")]
    assert lan == ["10.77.0.0/24 dev en0 proto kernel scope link src 10.77.0.2"], main_routes(netns)
    for text in ("delete -net 10.77.0.0 -netmask 255.255.255.0 -interface en0 -cloning",
                 "add -net 10.77.0.0 -netmask 255.255.255.0 -interface en0 -cloning"):
        r = run_tool("route", text.split(), env=env, ns_pid=netns)
        assert r.returncode == 0, (text, r.stdout, r.stderr)
    assert [line for line in main_routes(netns) if line.startswith("10.77.0.0/24 ")] == lan
    # another network through the interface is an ordinary static route
    r = run_tool("route", "add -net 10.50.7.0 -netmask 255.255.255.0 -interface en0".split(), env=env, ns_pid=netns)
    assert r.returncode == 0, r.stderr
    assert "10.50.7.0/24 dev en0 scope link" in main_routes(netns)


def test_a_second_interfaces_network_route_on_the_same_network_is_scoped_apart(netns, tmp_path):
    """en1 on en0's network: the unscoped verbs reach en0's network route,
    -ifscope en1 only en1's, and both come back as the kernel made them."""
    env = {"VPNC_TOOL_JOURNAL": str(tmp_path / "j")}
    for cmd in ("ip tuntap add dev en1 mode tap", "ip link set en1 up", "ip addr add 10.77.0.3/24 dev en1"):
        r = _sh(netns, cmd.split())
        assert r.returncode == 0, (cmd, r.stderr)

    def lan():
        return [x for x in main_routes(netns) if x.startswith("10.77.0.0/24 ")]
    both = lan()
    assert both == ["10.77.0.0/24 dev en0 proto kernel scope link src 10.77.0.2",
                    "10.77.0.0/24 dev en1 proto kernel scope link src 10.77.0.3 linkdown"], main_routes(netns)

    def tool(text, status=0):
        r = run_tool("route", text.split(), env=env, ns_pid=netns)
        assert r.returncode == status, (text, r.stdout, r.stderr)
        return r
    en0 = "-net 10.77.0.0 -netmask 255.255.255.0 -interface en0 -cloning"
    en1 = "-net 10.77.0.0 -netmask 255.255.255.0 -interface en1 -cloning -ifscope en1"
    tool("delete " + en1)
    assert lan() == both[:1]
    assert "not in table" in tool("delete " + en1, 1).stderr
    tool("add " + en1)
    assert lan() == both
    assert "File exists" in tool("add " + en1, 1).stderr
    # the set-up's deletes and the restore's adds, in the snapshot's order
    tool("delete " + en0)
    assert lan() == both[1:]
    tool("delete " + en1)
    assert lan() == []
    tool("add " + en0)
    tool("add " + en1)
    assert lan() == both


def test_a_second_services_default_route_is_scoped_apart_from_the_unscoped_one(netns, tmp_path):
    """As macOS keeps a second service's default route scoped: the unscoped
    verbs of `default` leave it alone, -ifscope reaches it."""
    env = {"VPNC_TOOL_JOURNAL": str(tmp_path / "j")}
    second = "default via 10.77.0.254 dev en0 metric 100"
    r = _sh(netns, ["ip", "route", "add"] + second.split())
    assert r.returncode == 0, r.stderr

    def tool(text, status=0):
        r = run_tool("route", text.split(), env=env, ns_pid=netns)
        assert r.returncode == status, (text, r.stdout, r.stderr)
        return r
    tool("delete default 10.77.0.1")
    assert "not in table" in tool("delete default 10.77.0.254", 1).stderr
    assert "not in table" in tool("-n get default", 1).stderr
    tool("add default 10.77.0.1")
    assert "gateway: 10.77.0.1" in tool("-n get default").stdout
    assert [x for x in main_routes(netns) if x.startswith("default")] == ["default via 10.77.0.1 dev en0", second]
    tool("delete default 10.77.0.254 -ifscope en0")
    assert [x for x in main_routes(netns) if x.startswith("default")] == ["default via 10.77.0.1 dev en0"]
    assert "not in table" in tool("delete default 10.77.0.254 -ifscope en0", 1).stderr


# --- scutil --proxy: the store's global proxy state in scutil's layout ------

def test_scutil_proxy_layout(tmp_path):
    svc = {"Proxies": {"HTTPProxy": "p.example", "HTTPEnable": 1, "ExceptionsList": ["*.local", "169.254/16"]}}
    (tmp_path / "preferences.json").write_text(json.dumps({"NetworkServices": {"S": svc}}))
    store = {"State:/Network/Global/IPv4": {"PrimaryService": "S"}}
    (tmp_path / "dynamic-store.json").write_text(json.dumps(store))
    env = {"VPNC_SYSCONFIG_DIR": str(tmp_path)}
    r = run_tool("scutil", ["--proxy"], env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ("<dictionary> {\n  ExceptionsList : <array> {\n    0 : *.local\n    1 : 169.254/16\n  }\n"
                        "  HTTPEnable : 1\n  HTTPProxy : p.example\n}\n")
    # the global entry, when there is one, is what the tool prints
    store["State:/Network/Global/Proxies"] = {"SOCKSEnable": 1, "__SCOPED__": {"en0": {"SOCKSEnable": 0}}}
    (tmp_path / "dynamic-store.json").write_text(json.dumps(store))
    r = run_tool("scutil", ["--proxy"], env=env)
    assert r.stdout == ("<dictionary> {\n  SOCKSEnable : 1\n  __SCOPED__ : <dictionary> {\n"
                        "    en0 : <dictionary> {\n      SOCKSEnable : 0\n    }\n  }\n}\n")
    assert run_tool("scutil", ["--proxy", "x"], env=env).returncode != 0
