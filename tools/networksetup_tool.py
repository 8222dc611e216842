"""networksetup stand-in for the test host: reads and writes the
network-services store (the JSON files under
/Library/Preferences/SystemConfiguration/).

Each handled verb has one function in VERBS; anything else is refused.
Writes take the store's lock, keep every other key and render the resolver
file afterwards, as the daemon's own writes do.
"""

import os

from macos_tools import ToolError
from scutil_tool import (PREFERENCES, live, locked, read_store, render_resolv_conf, service_by_name,
                         services, write_atomically)


def _service(prefs, name):
    found = service_by_name(prefs, name)
    if found is None:
        # the real tool says so on stdout, and changes nothing
        print(f"{name} is not a recognized network service.")
        raise ToolError("", 4)
    return found


def _one_name(args, verb):
    if len(args) != 1:
        raise ToolError(f"Usage: networksetup {verb} <networkservice>")
    return args[0]


def list_services(args):
    if args:
        raise ToolError("Usage: networksetup -listallnetworkservices")
    prefs, _ = read_store()
    print("An asterisk (*) denotes that a network service is disabled.")
    for _, svc in services(prefs):
        print(svc.get("UserDefinedName", ""))
    return 0


def _getter(key, what):
    def run(args):
        name = _one_name(args, f"-get{what.replace(' ', '').lower()}")
        prefs, _ = read_store()
        _, svc = _service(prefs, name)
        dns = svc.get("DNS") if isinstance(svc.get("DNS"), dict) else {}
        values = [v for v in dns.get(key, []) if isinstance(v, str)] if isinstance(dns.get(key), list) else []
        if values:
            print("\n".join(values))
        else:
            print(f"There aren't any {what} set on {name}.")
        return 0
    return run


def _setter(key, verb):
    def run(args):
        if len(args) < 2:
            raise ToolError(f"Usage: networksetup {verb} <networkservice> <{key}> [...]")
        name, values = args[0], args[1:]
        with locked() as d:
            prefs, _ = read_store()
            sid, svc = _service(prefs, name)
            dns = svc.get("DNS") if isinstance(svc.get("DNS"), dict) else {}
            if values == ["Empty"]:
                dns.pop(key, None)
            else:
                dns[key] = values
            prefs["NetworkServices"][sid]["DNS"] = dns
            write_atomically(os.path.join(d, PREFERENCES), prefs)
            render_resolv_conf()
        return 0
    return run


def get_info(args):
    name = _one_name(args, "-getinfo")
    prefs, dyn = read_store()
    sid, svc = _service(prefs, name)
    ipv4 = svc.get("IPv4") if isinstance(svc.get("IPv4"), dict) else {}
    state = live(dyn, sid, "IPv4") or {}
    method = ipv4.get("ConfigMethod", "DHCP")
    print("Manual Configuration" if method == "Manual" else "DHCP Configuration")

    def first(key):
        for src in (ipv4, state):
            v = src.get(key)
            if isinstance(v, list) and v and isinstance(v[0], str):
                return v[0]
            if isinstance(v, str) and v:
                return v
        return None
    for label, key in (("IP address", "Addresses"), ("Subnet mask", "SubnetMasks"), ("Router", "Router")):
        v = first(key)
        if v is not None:
            print(f"{label}: {v}")
    return 0


# verb -> function(rest of the arguments) -> exit status
VERBS = {
    "-listallnetworkservices": list_services,
    "-getdnsservers": _getter("ServerAddresses", "DNS Servers"),
    "-getsearchdomains": _getter("SearchDomains", "Search Domains"),
    "-setdnsservers": _setter("ServerAddresses", "-setdnsservers"),
    "-setsearchdomains": _setter("SearchDomains", "-setsearchdomains"),
    "-getinfo": get_info,
}


def main(args):
    if not args or args[0] not in VERBS:
        raise ToolError(f"networksetup: {' '.join(args)}: not handled by this stand-in")
    return VERBS[args[0]](args[1:])
