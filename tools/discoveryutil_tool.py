"""discoveryutil stand-in for the test host: the two cache flushes are
recorded and succeed."""

from macos_tools import ToolError

VERBS = ("udnsflushcaches", "mdnsflushcache")


def main(args):
    if len(args) != 1 or args[0] not in VERBS:
        raise ToolError(f"discoveryutil: {' '.join(args)}: not handled by this stand-in")
    return 0
