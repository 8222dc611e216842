"""mknod stand-in for the test host: records the call and makes the node
with the system call, so a character node of the tun driver really appears
(mknod PATH c|b MAJOR MINOR)."""

import os
import stat

from macos_tools import ToolError


def main(args):
    if len(args) != 4 or args[1] not in ("c", "b"):
        raise ToolError(f"mknod: {' '.join(args)}: not handled by this stand-in")
    path, kind = args[0], args[1]
    try:
        major, minor = int(args[2], 0), int(args[3], 0)
    except ValueError:
        raise ToolError(f"mknod: {args[2]} {args[3]}: bad device number")
    mode = (stat.S_IFCHR if kind == "c" else stat.S_IFBLK) | 0o666
    try:
        os.mknod(path, mode, os.makedev(major, minor))
    except OSError as e:
        raise ToolError(f"mknod: {path}: {e.strerror}")
    return 0
