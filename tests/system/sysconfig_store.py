"""The SystemConfiguration store of the test host (platform/sysconfig.h): one
Ethernet service on en0 whose router is the test host's next hop, seeded into
the private /Library before the daemon starts, and read back parsed."""

import json
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import scutil_tool  # noqa: E402  (the stand-ins' own resolver rendering)

SERVICE = "7B1C9A55-0E6F-4D1A-9C3E-2A1B0C0D0E01"
HOST_IF = "en0"
HOST_IP = "10.77.0.2"
ROUTER = "10.77.0.1"

PREFERENCES = {
    "ServiceOrder": [SERVICE],
    "NetworkServices": {SERVICE: {
        "UserDefinedName": "Ethernet",
        "Interface": {"Type": "Ethernet", "DeviceName": HOST_IF, "UserDefinedName": "Ethernet"},
        "IPv4": {"ConfigMethod": "DHCP"},
        "DNS": {},
        "Proxies": {"HTTPEnable": 0}}},
}
DYNAMIC_STORE = {
    f"State:/Network/Service/{SERVICE}/IPv4": {"InterfaceName": HOST_IF, "Router": ROUTER,
                                               "Addresses": [HOST_IP]},
    "State:/Network/Global/IPv4": {"PrimaryInterface": HOST_IF, "PrimaryService": SERVICE,
                                   "Router": ROUTER},
}


def store_dir(testhost):
    return testhost.library_dir / "Preferences" / "SystemConfiguration"


def seed(testhost, preferences=None, dynamic_store=None, replace=False):
    """Writes both files (the defaults above); a file already there is kept
    unless `replace`."""
    d = store_dir(testhost)
    d.mkdir(parents=True, exist_ok=True)
    for name, data in (("preferences.json", preferences or PREFERENCES),
                       ("dynamic-store.json", dynamic_store or DYNAMIC_STORE)):
        if replace or not (d / name).exists():
            (d / name).write_text(json.dumps(data, indent=1, ensure_ascii=False))
    render_resolver(testhost)


def render_resolver(testhost):
    """/etc/resolv.conf of the test host (a link to /var/run/resolv.conf)
    from the store, the way the daemon's writes render it."""
    prefs, dyn = (contents(testhost).get(n, {}) for n in ("preferences.json", "dynamic-store.json"))
    path = testhost.run_dir / "resolv.conf"
    path.with_suffix(".tmp").write_text(scutil_tool.resolv_conf_text(prefs, dyn))
    os.replace(path.with_suffix(".tmp"), path)


def resolver(testhost):
    """The test host's resolver file as the daemon's processes read it."""
    try:
        return (testhost.run_dir / "resolv.conf").read_text()
    except FileNotFoundError:
        return None


def contents(testhost):
    """Every file of the store by name, parsed where it is JSON (a commit
    formats the file anew, so compare contents, not bytes)."""
    out = {}
    d = store_dir(testhost)
    if not d.is_dir():
        return out
    for p in d.iterdir():
        if p.is_file():
            try:
                out[p.name] = json.loads(p.read_text())
            except ValueError:
                out[p.name] = p.read_bytes()
    return out
