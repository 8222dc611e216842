"""kextload / kextunload stand-ins for the test host: there are no kernel
extensions on Linux, so a call is only recorded (in the journal) and checked
for its one form, a bundle path."""

from macos_tools import ToolError


def _main(tool, args):
    if len(args) != 1 or args[0].startswith("-"):
        raise ToolError(f"{tool}: {' '.join(args) or '(no bundle)'}: not handled by this stand-in")
    return 0


def kextload_main(args):
    return _main("kextload", args)


def kextunload_main(args):
    return _main("kextunload", args)
