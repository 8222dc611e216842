"""Stand-ins for the macOS tools the daemon runs, for the Linux test host.

Each tool takes the macOS command line, applies it to the Linux kernel of the
network namespace it runs in (through iproute2) and refuses what the real
tool refuses, with a non-zero status.  Every call is appended to the journal
named by VPNC_TOOL_JOURNAL as one JSON array per line: the tool's macOS path
followed by its arguments (also for refused calls).

VPNC_TOOL_DRYRUN=1 prints the ip commands that would change the kernel
(one per line, "ip ...") instead of running them, and skips the checks that
need the kernel's state; read-only look-ups still run.  VPNC_TOOL_IP names
the ip binary (default /bin/ip).  VPNC_HW_UUID sets the hardware UUID that
system_profiler prints (empty: no UUID line).
"""

import fcntl
import ipaddress
import json
import os
import re
import shlex
import subprocess
import sys

TOOL_PATHS = {
    "route": "/sbin/route",
    "arp": "/usr/sbin/arp",
    "ifconfig": "/sbin/ifconfig",
    "system_profiler": "/usr/sbin/system_profiler",
    "scutil": "/usr/sbin/scutil",
    "networksetup": "/usr/sbin/networksetup",
    "kextload": "/sbin/kextload",
    "kextunload": "/sbin/kextunload",
    "mknod": "/sbin/mknod",
    "killall": "/usr/bin/killall",
    "dscacheutil": "/usr/bin/dscacheutil",
    "discoveryutil": "/usr/sbin/discoveryutil",
}

DEFAULT_HW_UUID = "5E0C4A1F-7B2D-4C3E-9A8B-1D2E3F405162"

EX_USAGE = 64


class ToolError(Exception):
    """A refusal: message for stderr and the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.message = message
        self.status = status


class IpFailed(Exception):
    def __init__(self, stderr):
        super().__init__(stderr)
        self.stderr = stderr.strip()


def dry_run():
    return os.environ.get("VPNC_TOOL_DRYRUN", "") not in ("", "0")


def ip_binary():
    return os.environ.get("VPNC_TOOL_IP", "/bin/ip")


def ip_change(args):
    """Runs one ip command that changes the kernel (printed in dry-run)."""
    if dry_run():
        print("ip " + shlex.join(args))
        return
    r = subprocess.run([ip_binary()] + args, capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        raise IpFailed(r.stderr or r.stdout)


def ip_query(args):
    """Runs a read-only ip command with JSON output; None when it fails."""
    r = subprocess.run([ip_binary(), "-j"] + args, capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        return None
    try:
        return json.loads(r.stdout or "[]")
    except ValueError:
        return None


# Inside the test host: the daemon gives its tools PATH and HOME only, so the
# journal is also found at its fixed place there.
TESTHOST_JOURNAL = "/run/vpnc-testhost/journal"


def journal_path():
    path = os.environ.get("VPNC_TOOL_JOURNAL")
    if not path and os.path.isdir(os.path.dirname(TESTHOST_JOURNAL)):
        path = TESTHOST_JOURNAL
    return path


def journal(tool, args):
    path = journal_path()
    if not path:
        return
    line = json.dumps([TOOL_PATHS.get(tool, tool)] + list(args)) + "\n"
    try:
        with open(path, "a", encoding="utf-8") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            f.write(line)
            f.flush()
    except OSError as e:
        print(f"{tool}: cannot write the journal {path}: {e}", file=sys.stderr)


# --- addresses ---------------------------------------------------------------

def parse_ipv4(text):
    """A dotted quad (all four parts) or None."""
    if not re.fullmatch(r"\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}", text or ""):
        return None
    try:
        return ipaddress.IPv4Address(text)
    except ValueError:
        return None


def parse_mask(text):
    """Netmask as dotted quad or 0x hex; its prefix length, or None when not contiguous."""
    if re.fullmatch(r"0[xX][0-9a-fA-F]{1,8}", text or ""):
        value = int(text, 16)
    else:
        a = parse_ipv4(text)
        if a is None:
            return None
        value = int(a)
    bits = bin(value)[2:].zfill(32)
    if "01" in bits:
        return None
    return bits.count("1")


def implied_prefix(addr):
    """Prefix of a network given without mask, by its trailing zero octets."""
    value = int(addr)
    if value == 0:
        return 0
    for plen in (8, 16, 24):
        if value & ((1 << (32 - plen)) - 1) == 0:
            return plen
    return 32


def classful_prefix(addr):
    first = int(addr) >> 24
    if first < 128:
        return 8
    if first < 192:
        return 16
    return 24


def network(addr, plen):
    return ipaddress.IPv4Network((int(addr) & (((1 << 32) - 1) << (32 - plen) & 0xFFFFFFFF), plen))


def prefix_mask_text(plen):
    return str(ipaddress.IPv4Address(((1 << 32) - 1) << (32 - plen) & 0xFFFFFFFF))


def valid_ifname(name):
    return bool(re.fullmatch(r"[A-Za-z0-9_.:-]{1,15}", name or ""))


def mac_text(lladdr):
    """Linux lladdr to the BSD form without leading zeros (0:1c:42:a:b:c)."""
    return ":".join("%x" % int(p, 16) for p in lladdr.split(":"))


def parse_mac(text):
    parts = (text or "").split(":")
    if len(parts) != 6 or not all(re.fullmatch(r"[0-9a-fA-F]{1,2}", p) for p in parts):
        return None
    return ":".join("%02x" % int(p, 16) for p in parts)


# --- route -------------------------------------------------------------------

ROUTE_FLAG_WORDS = {"cloning", "static", "nostatic", "reject", "blackhole", "inet", "llinfo",
                    "xresolve", "proto1", "proto2", "iface", "interface", "net", "host"}
ROUTE_VALUE_WORDS = {"netmask", "gateway", "dst", "ifscope", "mtu", "hopcount", "expire",
                     "recvpipe", "sendpipe", "ssthresh", "rtt", "rttvar"}


def route_usage(word=None):
    text = ""
    if word is not None:
        text = f"route: botched keyword: {word}\n"
    text += "usage: route [-dnqtv] command [[modifiers] args]"
    return ToolError(text, EX_USAGE)


class RouteRequest:
    def __init__(self):
        self.force_net = False
        self.force_host = False
        self.dst = None          # text
        self.gateway = None      # text
        self.netmask = None      # text
        self.interface = False   # gateway names an interface
        self.ifscope = None
        self.cloning = False
        self.reject = False
        self.blackhole = False
        self.mtu = None


def parse_route_args(args):
    req = RouteRequest()
    positional = []
    i = 0
    while i < len(args):
        a = args[i]
        if a.startswith("-") and len(a) > 1:
            word = a[1:]
            if word in ROUTE_VALUE_WORDS:
                if i + 1 >= len(args):
                    raise route_usage(word)
                value = args[i + 1]
                i += 2
                if word == "netmask":
                    req.netmask = value
                elif word == "gateway":
                    req.gateway = value
                elif word == "dst":
                    req.dst = value
                elif word == "ifscope":
                    req.ifscope = value
                elif word == "mtu":
                    if not value.isdigit():
                        raise ToolError(f"route: {value}: bad value")
                    req.mtu = int(value)
                continue
            if word not in ROUTE_FLAG_WORDS:
                raise route_usage(word)
            if word == "net":
                req.force_net = True
            elif word == "host":
                req.force_host = True
            elif word in ("interface", "iface"):
                req.interface = True
            elif word == "cloning":
                req.cloning = True
            elif word == "reject":
                req.reject = True
            elif word == "blackhole":
                req.blackhole = True
            i += 1
            continue
        positional.append(a)
        i += 1
    for p in positional:
        if req.dst is None:
            req.dst = p
        elif req.gateway is None:
            req.gateway = p
        elif req.netmask is None and not req.force_host:
            req.netmask = p
        else:
            raise route_usage()
    if req.force_net and req.force_host:
        raise route_usage()
    return req


def route_destination(req):
    """(network, is_host) from the request, or a refusal."""
    if req.dst is None:
        raise route_usage()
    if req.dst == "default":
        if req.force_host:
            raise ToolError("route: bad address: default")
        return ipaddress.IPv4Network("0.0.0.0/0"), False
    text = req.dst
    plen = None
    if "/" in text and not req.force_host:
        text, _, bits = text.partition("/")
        if not bits.isdigit() or int(bits) > 32:
            raise ToolError(f"route: bad address: {req.dst}")
        plen = int(bits)
    addr = parse_ipv4(text)
    if addr is None:
        raise ToolError(f"route: bad address: {req.dst}")
    if req.force_host:
        return ipaddress.IPv4Network((int(addr), 32)), True
    if req.netmask is not None:
        plen = parse_mask(req.netmask)
        if plen is None:
            raise ToolError(f"route: bad address: {req.netmask}")
    if plen is None:
        plen = implied_prefix(addr) if req.force_net else 32
    return network(addr, plen), plen == 32 and not req.force_net


def route_nexthop(req, verb):
    """ip arguments of the next hop ("via G", "dev IF")."""
    out = []
    if req.reject or req.blackhole:
        return out
    if req.gateway is None:
        if verb == "delete":
            if req.ifscope:
                out += ["dev", req.ifscope]
            return out
        raise route_usage()
    if req.interface:
        name = req.gateway
        if not valid_ifname(name):
            raise ToolError(f"route: bad address: {name}")
        if req.ifscope and req.ifscope != name:
            raise ToolError(f"route: {name}: ifscope {req.ifscope} names another interface")
        out += ["dev", name]
    else:
        gw = parse_ipv4(req.gateway)
        if gw is None:
            raise ToolError(f"route: bad address: {req.gateway}")
        out += ["via", str(gw)]
        if req.ifscope:
            out += ["dev", req.ifscope]
    if req.ifscope and not valid_ifname(req.ifscope):
        raise ToolError(f"route: bad interface name: {req.ifscope}")
    if verb == "delete":
        # The kernel finds the route to delete by destination and mask alone;
        # only a scope narrows it to one interface.
        return ["dev", req.ifscope] if req.ifscope else []
    return out


def ptp_peer_interface(gw):
    """The interface whose point-to-point peer address is gw; None if none."""
    for link in ip_query(["-4", "addr", "show"]) or []:
        for a in link.get("addr_info", []):
            if a.get("address") == str(gw) and a.get("local") != str(gw):
                return link.get("ifname")
    return None


def bsd_error(ip_message):
    m = ip_message.lower()
    if "file exists" in m:
        return "File exists"
    if "no such process" in m or "no such file" in m:
        return "not in table"
    if "cannot find device" in m:
        return "Network is unreachable"
    if "unreachable" in m or "invalid gateway" in m:
        return "Network is unreachable"
    return ip_message or "Invalid argument"


SCOPED_DEFAULT_METRIC = 100


def default_routes():
    """The main table's default routes as (dev, metric).  One of metric 0
    stands for the unscoped default route of macOS (the primary service's);
    any other for a second service's, scoped to its interface."""
    out = []
    for r in ip_query(["-4", "route", "show", "table", "main", "default"]) or []:
        if r.get("dst") == "default" and r.get("type", "unicast") == "unicast":
            out.append((r.get("dev"), int(r.get("metric", 0))))
    return out


def scoped_default_change(verb, req, nexthop):
    """The ip arguments that follow "default" for an add or delete of a
    default route, with the scope kept apart as BSD keeps it: an unscoped
    delete takes only the unscoped route, a scoped one only that interface's
    scoped route.  Raises the BSD refusal."""
    if dry_run():
        return nexthop
    if verb == "delete":
        if req.ifscope is None:
            if not any(m == 0 for _, m in default_routes()):
                raise IpFailed("No such process")
            return ["metric", "0"]
        metrics = [m for d, m in default_routes() if d == req.ifscope and m != 0]
        if not metrics:
            raise IpFailed("No such process")
        return ["dev", req.ifscope, "metric", str(metrics[0])]
    if req.ifscope is not None:
        return nexthop + ["metric", str(SCOPED_DEFAULT_METRIC)]
    return nexthop


def connected_source(net, dev):
    """The address of `dev` whose own network is `net`, or None.  BSD keeps
    that network's route as a static cloning route that `route` deletes and
    adds back; on Linux the kernel made it, with its protocol and source
    address, and the route added back gets them again."""
    for link in ip_query(["-4", "addr", "show", "dev", dev]) or []:
        for a in link.get("addr_info", []):
            local, plen = a.get("local"), a.get("prefixlen")
            if not local or plen is None or a.get("address", local) != local:
                continue   # a point-to-point address has no network of its own
            if plen < 32 and network(ipaddress.IPv4Address(local), plen) == net:
                return local
    return None


def route_change(verb, args, quiet):
    req = parse_route_args(args)
    net, is_host = route_destination(req)
    nexthop = route_nexthop(req, verb)
    if verb == "add" and not is_host and 0 < net.prefixlen < 32 and nexthop[:1] == ["dev"] and len(nexthop) == 2:
        src = connected_source(net, nexthop[1])
        if src:
            nexthop = nexthop + ["proto", "kernel", "scope", "link", "src", src]
    dst_arg = "default" if net.prefixlen == 0 else str(net) if not is_host else f"{net.network_address}/32"
    kind = "host" if is_host else "net"
    shown_dst = "default" if net.prefixlen == 0 else str(net.network_address)
    shown_gw = req.gateway if req.gateway is not None else ""
    if net.prefixlen == 0 and verb in ("add", "delete") and not (req.reject or req.blackhole):
        try:
            nexthop = scoped_default_change(verb, req, nexthop)
        except IpFailed as e:
            err = bsd_error(e.stderr)
            sys.stderr.write(f"route: writing to routing socket: {err}\n")
            print(f"{verb} {kind} {shown_dst}: gateway {shown_gw}: {err}")
            return 1
    ip_verb = {"add": "add", "delete": "del", "change": "change"}[verb]
    if verb == "add" and req.ifscope and net.prefixlen != 0:
        # A route scoped to IF stands beside another interface's route of the
        # same destination and mask, as macOS keeps them apart; Linux lets
        # routes of one prefix and metric coexist only when appended.
        ip_verb = "append"
    cmd = ["route", ip_verb]
    if req.blackhole:
        cmd.append("blackhole")
    elif req.reject:
        cmd.append("unreachable")
    cmd.append(dst_arg)
    cmd += nexthop
    if req.mtu is not None and verb != "delete":
        cmd += ["mtu", str(req.mtu)]
    try:
        try:
            ip_change(cmd)
        except IpFailed:
            # BSD reaches a gateway that is an interface's point-to-point
            # peer through that interface even when the peer's host route
            # is gone; ip(8) only when told the peer is on the link.
            peer_of = None
            if verb != "delete" and nexthop[:1] == ["via"] and len(nexthop) == 2:
                peer_of = ptp_peer_interface(nexthop[1])
            if peer_of is None:
                raise
            ip_change(cmd + ["dev", peer_of, "onlink"])
    except IpFailed as e:
        err = bsd_error(e.stderr)
        sys.stderr.write(f"route: writing to routing socket: {err}\n")
        print(f"{verb} {kind} {shown_dst}: gateway {shown_gw}: {err}")
        return 1
    if not quiet:
        print(f"{verb} {kind} {shown_dst}: gateway {shown_gw}")
    return 0


def route_lookup(net, exact):
    """The main-table route that `route get` reports: exact prefix, or longest match."""
    routes = ip_query(["-4", "route", "show", "table", "main"]) or []
    best = None
    for r in routes:
        if r.get("type", "unicast") not in ("unicast",):
            continue
        d = r.get("dst", "")
        if d == "default" and int(r.get("metric", 0)) != 0:
            continue   # a second service's default route: scoped, not looked up
        rnet = ipaddress.IPv4Network("0.0.0.0/0" if d == "default" else d, strict=False)
        if exact:
            if rnet != net:
                continue
        elif not net.subnet_of(rnet):
            continue
        key = (rnet.prefixlen, -int(r.get("metric", 0)))
        if best is None or key > best[0]:
            best = (key, r, rnet)
    return best


def mtu_of(dev):
    links = ip_query(["link", "show", "dev", dev]) or []
    return links[0].get("mtu", 0) if links else 0


def route_get(args, numeric):
    del numeric  # the stand-in never resolves names
    req = parse_route_args(args)
    if req.dst is None:
        raise route_usage()
    net, _ = route_destination(req)
    exact = req.dst == "default" or req.force_net
    found = route_lookup(net, exact)
    if found is None:
        raise ToolError("route: writing to routing socket: not in table")
    _, r, rnet = found
    lines = []
    to = "default" if req.dst == "default" else str(net.network_address)
    lines.append(("route to", to))
    lines.append(("destination", "default" if rnet.prefixlen == 0 else str(rnet.network_address)))
    if rnet.prefixlen != 32:
        lines.append(("mask", "default" if rnet.prefixlen == 0 else prefix_mask_text(rnet.prefixlen)))
    flags = ["UP"]
    if r.get("gateway"):
        lines.append(("gateway", r["gateway"]))
        flags.append("GATEWAY")
    if rnet.prefixlen == 32:
        flags.append("HOST")
    flags.append("DONE")
    if r.get("protocol") != "kernel":
        flags.append("STATIC")
    if r.get("dev"):
        lines.append(("interface", r["dev"]))
    lines.append(("flags", "<" + ",".join(flags) + ">"))
    for label, value in lines:
        print(f"{label:>11}: {value}")
    print(" recvpipe  sendpipe  ssthresh  rtt,msec    rttvar  hopcount      mtu     expire")
    mtu = mtu_of(r["dev"]) if r.get("dev") else 0
    print("%9d %9d %9d %9d %9d %9d %9d %9d " % (0, 0, 0, 0, 0, 0, mtu, 0))
    return 0


def route_main(args):
    numeric = quiet = False
    i = 0
    while i < len(args) and args[i].startswith("-") and len(args[i]) > 1:
        for ch in args[i][1:]:
            if ch == "n":
                numeric = True
            elif ch == "q":
                quiet = True
            elif ch in "dtv":
                pass
            else:
                raise ToolError(f"route: illegal option -- {ch}\nusage: route [-dnqtv] command [[modifiers] args]",
                                EX_USAGE)
        i += 1
    if i >= len(args):
        raise route_usage()
    verb, rest = args[i], args[i + 1:]
    if verb in ("add", "delete", "change"):
        return route_change(verb, rest, quiet)
    if verb == "get":
        return route_get(rest, numeric)
    raise route_usage(verb)


# --- arp ---------------------------------------------------------------------

ARP_USAGE = ("usage: arp [-n] [-i interface] hostname\n"
             "       arp [-n] [-i interface] [-l] -a\n"
             "       arp -d hostname [pub] [ifscope interface]\n"
             "       arp -d [-i interface] -a\n"
             "       arp -s hostname ether_addr [temp] [reject] [blackhole] [pub [only]] [ifscope interface]")


def arp_host(text):
    a = parse_ipv4(text)
    if a is None:
        raise ToolError(f"arp: {text}: Unknown host")
    return a


def neighbours(dev=None):
    cmd = ["-4", "neigh", "show"]
    if dev:
        cmd += ["dev", dev]
    entries = ip_query(cmd) or []
    if dev:
        for e in entries:
            e.setdefault("dev", dev)
    return entries


def arp_set(rest):
    if len(rest) < 2:
        raise ToolError(ARP_USAGE)
    host = arp_host(rest[0])
    mac = parse_mac(rest[1])
    if mac is None:
        raise ToolError(f"arp: invalid Ethernet address '{rest[1]}'")
    permanent = True
    ifscope = None
    i = 2
    while i < len(rest):
        w = rest[i]
        if w == "temp":
            permanent = False
        elif w in ("pub", "only", "reject", "blackhole"):
            pass
        elif w == "ifscope":
            if i + 1 >= len(rest):
                raise ToolError(ARP_USAGE)
            ifscope = rest[i + 1]
            if not valid_ifname(ifscope):
                raise ToolError(f"arp: ifscope: interface {ifscope} not found")
            i += 1
        else:
            raise ToolError(ARP_USAGE)
        i += 1
    if int(host) == 0 or host.is_multicast or int(host) == 0xFFFFFFFF:
        raise ToolError(f"arp: set: can only proxy for {host}")
    dev = ifscope
    if not dry_run():
        q = ["-4", "route", "get", str(host)] + (["oif", ifscope] if ifscope else [])
        r = ip_query(q)
        if not r:
            if ifscope:
                raise ToolError(f"arp: ifscope: interface {ifscope} not found")
            raise ToolError(f"arp: cannot intuit interface index and type for {host}")
        if r[0].get("gateway") or r[0].get("type") == "local":
            raise ToolError(f"arp: set: can only proxy for {host}")
        dev = dev or r[0].get("dev")
    elif dev is None:
        raise ToolError(f"arp: cannot intuit interface index and type for {host}")
    nud = "permanent" if permanent else "reachable"
    try:
        ip_change(["neigh", "replace", str(host), "lladdr", mac, "dev", dev, "nud", nud])
    except IpFailed as e:
        raise ToolError(f"arp: writing to routing socket: {e.stderr}")
    return 0


def arp_delete_one(rest):
    if not rest:
        raise ToolError(ARP_USAGE)
    host = arp_host(rest[0])
    ifscope = None
    i = 1
    while i < len(rest):
        if rest[i] == "pub":
            pass
        elif rest[i] == "ifscope" and i + 1 < len(rest):
            ifscope = rest[i + 1]
            i += 1
        else:
            raise ToolError(ARP_USAGE)
        i += 1
    if ifscope and dry_run():
        devs = [ifscope]
    else:
        devs = [e["dev"] for e in neighbours(ifscope) if e.get("dst") == str(host)]
    if not devs:
        raise ToolError(f"delete: cannot locate {host}")
    for dev in devs:
        try:
            ip_change(["neigh", "del", str(host), "dev", dev])
        except IpFailed:
            raise ToolError(f"delete: cannot locate {host}")
        print(f"{host} ({host}) deleted")
    return 0


def arp_line(e):
    state = e.get("state", [])
    at = mac_text(e["lladdr"]) if e.get("lladdr") else "(incomplete)"
    line = f"? ({e['dst']}) at {at} on {e.get('dev', '?')} ifscope"
    if "PERMANENT" in state or "NOARP" in state:
        line += " permanent"
    return line + " [ethernet]"


def arp_main(args):
    delete = set_ = list_all = False
    iface = None
    i = 0
    while i < len(args) and args[i].startswith("-") and len(args[i]) > 1:
        opt = args[i][1:]
        j = 0
        while j < len(opt):
            ch = opt[j]
            if ch == "a":
                list_all = True
            elif ch == "d":
                delete = True
            elif ch in "sS":
                set_ = True
            elif ch in "nlx":
                pass
            elif ch == "i":
                if j + 1 < len(opt):
                    iface = opt[j + 1:]
                elif i + 1 < len(args):
                    i += 1
                    iface = args[i]
                else:
                    raise ToolError(ARP_USAGE)
                break
            else:
                raise ToolError(f"arp: illegal option -- {ch}\n{ARP_USAGE}")
            j += 1
        i += 1
    rest = args[i:]
    if set_:
        if delete or list_all:
            raise ToolError(ARP_USAGE)
        return arp_set(rest)
    if delete and list_all:
        if rest:
            raise ToolError(ARP_USAGE)
        # Like the real tool, keeps the permanent (static) entries.
        ip_change(["-4", "neigh", "flush", "dev", iface] if iface else ["-4", "neigh", "flush", "all"])
        return 0
    if delete:
        return arp_delete_one(rest)
    if list_all:
        if rest:
            raise ToolError(ARP_USAGE)
        for e in neighbours(iface):
            print(arp_line(e))
        return 0
    if len(rest) != 1:
        raise ToolError(ARP_USAGE)
    host = arp_host(rest[0])
    found = [e for e in neighbours(iface) if e.get("dst") == str(host)]
    if not found:
        print(f"{host} ({host}) -- no entry")
        return 1
    for e in found:
        print(arp_line(e))
    return 0


# --- ifconfig ----------------------------------------------------------------

BSD_IFF = [("UP", 0x1), ("BROADCAST", 0x2), ("LOOPBACK", 0x8), ("POINTOPOINT", 0x10),
           ("RUNNING", 0x40), ("NOARP", 0x80), ("PROMISC", 0x100), ("MULTICAST", 0x8000)]


def ifconfig_usage():
    return ToolError("usage: ifconfig [-L] [-d] [-m] [-r] [-u] [-v] [-C] interface\n"
                     "\taddress_family [address [dest_address]]\n"
                     "\t[parameters]\n"
                     "       ifconfig -a [-L] [-d] [-m] [-r] [-u] [-v] [-C] [address_family]\n"
                     "       ifconfig -l [-d] [-u] [address_family]")


def interface_text(link, addrs):
    linux = set(link.get("flags", []))
    value = 0
    names = []
    for name, bit in BSD_IFF:
        on = name in linux or (name == "RUNNING" and "LOWER_UP" in linux)
        if on:
            value |= bit
            names.append(name)
    out = [f"{link['ifname']}: flags={value:x}<{','.join(names)}> mtu {link.get('mtu', 0)}"]
    if link.get("link_type") == "ether" and link.get("address"):
        out.append(f"\tether {link['address']} ")
    for a in addrs:
        if a.get("family") != "inet":
            continue
        plen = a.get("prefixlen", 32)
        mask = "0x%08x" % ((((1 << 32) - 1) << (32 - plen)) & 0xFFFFFFFF)
        if a.get("address") and a["address"] != a["local"]:
            out.append(f"\tinet {a['local']} --> {a['address']} netmask {mask} ")
        else:
            line = f"\tinet {a['local']} netmask {mask}"
            if a.get("broadcast"):
                line += f" broadcast {a['broadcast']}"
            out.append(line)
    return "\n".join(out)


def ifconfig_print(name):
    info = ip_query(["addr", "show"] + (["dev", name] if name else []))
    if info is None or (name and not info):
        raise ToolError(f"ifconfig: interface {name} does not exist")
    for link in info:
        print(interface_text(link, link.get("addr_info", [])))
    return 0


def ifconfig_main(args):
    if not args:
        raise ifconfig_usage()
    if args[0] == "-a":
        return ifconfig_print(None)
    if args[0] == "-l":
        links = ip_query(["link", "show"]) or []
        print(" ".join(l["ifname"] for l in links))
        return 0
    if args[0].startswith("-"):
        raise ifconfig_usage()
    name, rest = args[0], args[1:]
    if not valid_ifname(name):
        raise ToolError(f"ifconfig: interface {name} does not exist")
    if not rest:
        return ifconfig_print(name)
    addr = dest = None
    plen = None
    mtu = None
    up = None
    mode = "set"   # set, alias, delete
    i = 0
    while i < len(rest):
        w = rest[i]
        if w == "inet":
            pass
        elif w in ("inet6", "link", "ether", "lladdr"):
            raise ToolError(f"ifconfig: {w}: not handled by this stand-in")
        elif w == "up":
            up = True
        elif w == "down":
            up = False
        elif w in ("alias", "add"):
            mode = "alias"
        elif w in ("-alias", "delete", "remove"):
            mode = "delete"
        elif w in ("mtu", "netmask", "broadcast"):
            if i + 1 >= len(rest):
                raise ToolError(f"ifconfig: {w}: missing argument")
            value = rest[i + 1]
            i += 1
            if w == "mtu":
                if not value.isdigit() or not 68 <= int(value) <= 65535:
                    raise ToolError("ifconfig: ioctl (set mtu): Invalid argument")
                mtu = int(value)
            elif w == "netmask":
                plen = parse_mask(value)
                if plen is None:
                    raise ToolError(f"ifconfig: {value}: bad value")
            elif parse_ipv4(value) is None:
                raise ToolError(f"ifconfig: {value}: bad value")
        else:
            text = w
            if "/" in w and addr is None:
                text, _, bits = w.partition("/")
                if not bits.isdigit() or int(bits) > 32:
                    raise ToolError(f"ifconfig: {w}: bad value")
                plen = int(bits)
            a = parse_ipv4(text)
            if a is None:
                raise ToolError(f"ifconfig: {w}: bad value")
            if addr is None:
                addr = a
            elif dest is None:
                dest = a
            else:
                raise ifconfig_usage()
        i += 1
    if mode == "delete" and addr is None:
        raise ifconfig_usage()
    if not dry_run() and not ip_query(["link", "show", "dev", name]):
        raise ToolError(f"ifconfig: interface {name} does not exist")
    cmds = []
    if mtu is not None:
        cmds.append(["link", "set", "dev", name, "mtu", str(mtu)])
    if addr is not None:
        if mode == "delete":
            cmds.append(["addr", "del", str(addr), "dev", name])
        else:
            if mode == "set":
                # The first address is replaced, as the real tool does.
                cmds.append(["-4", "addr", "flush", "dev", name])
            if dest is not None:
                local = str(addr) if plen is None else f"{addr}/{plen}"
                peer = str(dest) if plen is None else f"{dest}/{plen}"
                cmds.append(["addr", "add", local, "peer", peer, "dev", name])
            else:
                bits = plen if plen is not None else classful_prefix(addr)
                cmds.append(["addr", "add", f"{addr}/{bits}", "broadcast", "+", "dev", name])
            if up is None:
                up = True  # assigning an address brings the interface up
    if up is not None:
        cmds.append(["link", "set", "dev", name, "up" if up else "down"])
    try:
        for c in cmds:
            ip_change(c)
    except IpFailed as e:
        raise ToolError(f"ifconfig: ioctl: {e.stderr}")
    return 0


# --- system_profiler ---------------------------------------------------------

def system_profiler_main(args):
    types = []
    i = 0
    while i < len(args):
        a = args[i]
        if a == "-detailLevel":
            if i + 1 >= len(args):
                raise ToolError("system_profiler: -detailLevel needs a value")
            i += 2
            continue
        if a.startswith("-"):
            raise ToolError(f"system_profiler: {a}: not handled by this stand-in")
        types.append(a)
        i += 1
    if types and "SPHardwareDataType" not in types:
        return 0
    uuid = os.environ.get("VPNC_HW_UUID", DEFAULT_HW_UUID)
    lines = ["Hardware:", "", "    Hardware Overview:", "",
             "      Model Name: Mac",
             "      Model Identifier: VirtualMac2,1",
             "      Memory: 4 GB",
             "      Serial Number (system): VPNCTESTHOST"]
    if uuid:
        lines.append(f"      Hardware UUID: {uuid}")
    lines.append("")
    print("\n".join(lines))
    return 0


def _module_main(name):
    # Tools that read the network-services store live in modules of their own.
    def run(args):
        return __import__(name).main(args)
    return run


MAINS = {
    "route": route_main,
    "arp": arp_main,
    "ifconfig": ifconfig_main,
    "system_profiler": system_profiler_main,
    "scutil": _module_main("scutil_tool"),
    "networksetup": _module_main("networksetup_tool"),
    "kextload": lambda args: __import__("kext_tool").kextload_main(args),
    "kextunload": lambda args: __import__("kext_tool").kextunload_main(args),
    "mknod": _module_main("mknod_tool"),
    "killall": _module_main("killall_tool"),
    "dscacheutil": _module_main("dscacheutil_tool"),
    "discoveryutil": _module_main("discoveryutil_tool"),
}


def main(tool, args):
    journal(tool, args)
    try:
        return MAINS[tool](list(args))
    except ToolError as e:
        sys.stdout.flush()
        if e.message:
            print(e.message, file=sys.stderr)
        return e.status
    except subprocess.TimeoutExpired:
        print(f"{tool}: ip did not answer in time", file=sys.stderr)
        return 1
