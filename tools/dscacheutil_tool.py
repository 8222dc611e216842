"""dscacheutil stand-in for the test host: "-flushcache" is recorded and
succeeds (Linux keeps no directory-service cache to flush)."""

from macos_tools import ToolError

USAGE = "Usage: dscacheutil -h\n       dscacheutil -q category [-a key value]\n       dscacheutil -cachedump\n       dscacheutil -configuration\n       dscacheutil -flushcache\n       dscacheutil -statistics"


def main(args):
    if args != ["-flushcache"]:
        raise ToolError(USAGE)
    return 0
