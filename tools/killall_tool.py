"""killall stand-in for the test host: records the call and signals nothing.

The test host shares its processes with the machine and the other tests, so
a real killall by name could reach any of them; the daemon only uses it to
make the DNS responder drop its cache, which Linux has no counterpart for.
"""

import re

from macos_tools import ToolError

USAGE = ("usage: killall [-delmsvqz] [-help] [-I] [-u user] [-t tty] [-c cmd] [-SIGNAL] [cmd]...\n"
         "At least one option or argument to specify processes must be given.")


def main(args):
    names = [a for a in args if not a.startswith("-")]
    for a in args:
        if a.startswith("-") and not re.fullmatch(r"-(?:[A-Z]+[0-9]*|[0-9]+|[delmsvqz]+)", a):
            raise ToolError(USAGE)
    if not names:
        raise ToolError(USAGE)
    return 0
