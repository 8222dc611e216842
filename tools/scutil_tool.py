"""scutil stand-in for the test host: answers from the network-services store
(the JSON files under /Library/Preferences/SystemConfiguration/).

Each handled option has one function in OPTIONS; anything else is refused.

The store helpers below are shared with the other stand-ins (networksetup)
and the test host: every writer takes an exclusive flock on the store's
directory (as platform/sysconfig does) and replaces a file by rename.
VPNC_TOOL_ROOT names the directory that stands for "/" (default "/").
"""

import contextlib
import fcntl
import json
import os
import socket

from macos_tools import ToolError

STORE_DIR = "Library/Preferences/SystemConfiguration"
PREFERENCES = "preferences.json"
DYNAMIC_STORE = "dynamic-store.json"


def root():
    return os.environ.get("VPNC_TOOL_ROOT") or "/"


def store_dir(base=None):
    return os.path.join(base or root(), STORE_DIR)


def load(path):
    """A store file as a dict: {} when missing or empty."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return {}
    if not text.strip():
        return {}
    data = json.loads(text)
    if not isinstance(data, dict):
        raise ToolError(f"{path}: not a store file")
    return data


@contextlib.contextmanager
def locked(base=None):
    """The store's writer lock (the directory's flock)."""
    d = store_dir(base)
    os.makedirs(d, exist_ok=True)
    fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield d
    finally:
        os.close(fd)


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def read_store(base=None):
    """(preferences, dynamic store) as dicts."""
    d = store_dir(base)
    return load(os.path.join(d, PREFERENCES)), load(os.path.join(d, DYNAMIC_STORE))


def services(prefs):
    """(id, entity dict) of every service: ServiceOrder first, then file order."""
    all_ = prefs.get("NetworkServices")
    if not isinstance(all_, dict):
        return []
    order = [i for i in prefs.get("ServiceOrder", []) if isinstance(i, str)]
    ids = []
    for i in order + list(all_):
        if i not in ids and isinstance(all_.get(i), dict):
            ids.append(i)
    return [(i, all_[i]) for i in ids]


def service_by_name(prefs, name):
    """(id, entity) of the service with that user-visible name, or None."""
    for sid, svc in services(prefs):
        if name and svc.get("UserDefinedName") == name:
            return sid, svc
    return None


def live(dyn, sid, entity):
    v = dyn.get(f"State:/Network/Service/{sid}/{entity}")
    return v if isinstance(v, dict) else None


def active_services(prefs, dyn):
    return [(sid, svc) for sid, svc in services(prefs) if live(dyn, sid, "IPv4") is not None]


def primary_service(prefs, dyn):
    """The global state's PrimaryService when active, else the first active one."""
    act = active_services(prefs, dyn)
    ids = [sid for sid, _ in act]
    g = dyn.get("State:/Network/Global/IPv4")
    if isinstance(g, dict) and g.get("PrimaryService") in ids:
        return g["PrimaryService"]
    return ids[0] if ids else None


def _words(values, limit):
    out = []
    for v in values if isinstance(values, list) else []:
        if len(out) >= limit:
            break
        if isinstance(v, str) and v and all(ord(c) > 32 and ord(c) != 127 for c in v):
            out.append(v)
    return out


def resolver_lists(prefs, dyn, sid, limit_domains=None, limit_servers=None):
    """(search domains, servers) a service resolves with: each the configured
    list when it is not empty, else the live one."""
    conf = prefs.get("NetworkServices", {}).get(sid, {}).get("DNS")
    conf = conf if isinstance(conf, dict) else {}
    state = live(dyn, sid, "DNS") or {}
    out = []
    for key, limit in (("SearchDomains", limit_domains), ("ServerAddresses", limit_servers)):
        values = conf.get(key)
        if not (isinstance(values, list) and values):
            values = state.get(key)
        out.append(_words(values, limit if limit is not None else 1 << 30))
    return out[0], out[1]


def resolv_conf_text(prefs, dyn):
    """/var/run/resolv.conf of the primary service (the daemon's store renders the same)."""
    sid = primary_service(prefs, dyn)
    if sid is None:
        return ""
    domains, servers = resolver_lists(prefs, dyn, sid, 6, 3)
    text = ("search " + " ".join(domains) + "\n") if domains else ""
    return text + "".join(f"nameserver {a}\n" for a in servers)


def render_resolv_conf(base=None, run_dir=None):
    """Writes the resolver file under the root's /var/run (or `run_dir`),
    when that directory exists."""
    d = run_dir or os.path.join(base or root(), "var/run")
    if not os.path.isdir(d):
        return
    prefs, dyn = read_store(base)
    path = os.path.join(d, "resolv.conf")
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(resolv_conf_text(prefs, dyn))
    os.replace(path + ".tmp", path)


# --- scutil --dns ------------------------------------------------------------

def _resolver_lines(domains, servers):
    out = [f"  search domain[{i}] : {d}" for i, d in enumerate(domains)]
    out += [f"  nameserver[{i}] : {a}" for i, a in enumerate(servers)]
    return out


def dns_main(args):
    if args:
        raise ToolError("usage: scutil --dns")
    prefs, dyn = read_store()
    lines = ["DNS configuration", "", "resolver #1"]
    sid = primary_service(prefs, dyn)
    if sid is not None:
        lines += _resolver_lines(*resolver_lists(prefs, dyn, sid))
    lines += ["  reach    : 0x00000002 (Reachable)", "",
              "resolver #2", "  domain   : local", "  options  : mdns", "  timeout  : 5",
              "  flags    : Request A records, Request AAAA records",
              "  reach    : 0x00000000 (Not Reachable)", "  order    : 300000", "",
              "DNS configuration (for scoped queries)", ""]
    n = 0
    for asid, _ in active_services(prefs, dyn):
        domains, servers = resolver_lists(prefs, dyn, asid)
        if not servers:
            continue
        n += 1
        ifname = str((live(dyn, asid, "IPv4") or {}).get("InterfaceName", ""))
        try:
            index = socket.if_nametoindex(ifname) if ifname else 0
        except OSError:
            index = 0
        lines += [f"resolver #{n}"] + _resolver_lines(domains, servers)
        lines += [f"  if_index : {index} ({ifname})", "  flags    : Scoped, Request A records",
                  "  reach    : 0x00000002 (Reachable)", ""]
    print("\n".join(lines))
    return 0


# option -> function(rest of the arguments) -> exit status
OPTIONS = {"--dns": dns_main}


def main(args):
    if not args or args[0] not in OPTIONS:
        raise ToolError(f"scutil: {' '.join(args) or '(interactive)'}: not handled by this stand-in")
    return OPTIONS[args[0]](args[1:])


def _store_file(name):
    d = os.environ.get("VPNC_SYSCONFIG_DIR", "/Library/Preferences/SystemConfiguration")
    try:
        with open(os.path.join(d, name)) as f:
            data = json.load(f)
    except FileNotFoundError:
        return {}
    except ValueError:
        raise ToolError(f"scutil: {name}: not a store file") from None
    return data if isinstance(data, dict) else {}


def _render(value, indent, out, head):
    """scutil's layout: sorted keys, two blanks per level, arrays as N : value."""
    pad = "  " * indent
    if isinstance(value, dict):
        out.append(f"{head}<dictionary> {{")
        for k in sorted(value):
            _render(value[k], indent + 1, out, f"{pad}  {k} : ")
        out.append(f"{pad}}}")
    elif isinstance(value, list):
        out.append(f"{head}<array> {{")
        for i, v in enumerate(value):
            _render(v, indent + 1, out, f"{pad}  {i} : ")
        out.append(f"{pad}}}")
    elif isinstance(value, bool):
        out.append(f"{head}{int(value)}")
    else:
        out.append(f"{head}{value}")


def proxy_main(args):
    """--proxy: the global proxy state, that is State:/Network/Global/Proxies
    when the dynamic store holds it (how a test supplies the platform's
    __SCOPED__ block), else the primary service's Proxies entity."""
    if args:
        raise ToolError("scutil: --proxy takes no arguments")
    dynamic = _store_file("dynamic-store.json")
    proxies = dynamic.get("State:/Network/Global/Proxies")
    if not isinstance(proxies, dict):
        primary = (dynamic.get("State:/Network/Global/IPv4") or {}).get("PrimaryService")
        services = _store_file("preferences.json").get("NetworkServices") or {}
        proxies = (services.get(primary) or {}).get("Proxies") or {}
    out = []
    _render(proxies, 0, out, "")
    print("\n".join(out))
    return 0


OPTIONS["--proxy"] = proxy_main
