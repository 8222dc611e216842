"""networksetup stand-in for the test host: reads and writes the
network-services store (the JSON files under
/Library/Preferences/SystemConfiguration/).

Each handled verb has one function in VERBS; anything else is refused.
"""

from macos_tools import ToolError

# verb -> function(rest of the arguments) -> exit status
VERBS = {}


def main(args):
    if not args or args[0] not in VERBS:
        raise ToolError(f"networksetup: {' '.join(args)}: not handled by this stand-in")
    return VERBS[args[0]](args[1:])
