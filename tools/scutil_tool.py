"""scutil stand-in for the test host: answers from the network-services store
(the JSON files under /Library/Preferences/SystemConfiguration/).

Each handled option has one function in OPTIONS; anything else is refused.
"""

import json
import os

from macos_tools import ToolError

# option -> function(rest of the arguments) -> exit status
OPTIONS = {}


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
