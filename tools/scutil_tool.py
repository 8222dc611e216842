"""scutil stand-in for the test host: answers from the network-services store
(the JSON files under /Library/Preferences/SystemConfiguration/).

Each handled option has one function in OPTIONS; anything else is refused.
"""

from macos_tools import ToolError

# option -> function(rest of the arguments) -> exit status
OPTIONS = {}


def main(args):
    if not args or args[0] not in OPTIONS:
        raise ToolError(f"scutil: {' '.join(args) or '(interactive)'}: not handled by this stand-in")
    return OPTIONS[args[0]](args[1:])
