#!/usr/bin/python3
"""Builds the daemon's private root inside a fresh mount namespace, then
chroots into it and runs the command (same process: exec).

usage: private_root.py SPEC.json COMMAND [ARG...]

SPEC.json (written by testhost.py) holds the work dir, the new root, the
marker file that receives this mount namespace's id, whether to close
descriptor 0, and the steps, in order:
  ["rbind", SRC, DST] ["bind", SRC, DST] ["mount", FSTYPE, DST, DATA] ["sysfs", DST]
  ["touch", PATH] ["mkdir", PATH] ["symlink", TARGET, PATH]
Relative paths (overlay layers) are taken from the work dir. Any failure
ends the process with status 125 before the command runs."""
import ctypes
import json
import os
import sys

MS_BIND = 4096
MS_REC = 16384

_libc = ctypes.CDLL(None, use_errno=True)


def _mount(source, target, fstype, flags, data):
    if _libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None,
                   flags, data.encode() if data else None) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {fstype or 'bind'} {source} on {target}: {os.strerror(err)}")


def main(argv):
    with open(argv[1]) as f:
        spec = json.load(f)
    os.chdir(spec["base"])
    for step in spec["steps"]:
        op = step[0]
        if op == "rbind":
            _mount(step[1], step[2], None, MS_BIND | MS_REC, None)
        elif op == "bind":
            _mount(step[1], step[2], None, MS_BIND, None)
        elif op == "mount":
            _mount(step[1], step[2], step[1], 0, step[3])
        elif op == "sysfs":
            try:
                _mount("sysfs", step[1], "sysfs", 0, None)
            except OSError:
                _mount("/sys", step[1], None, MS_BIND | MS_REC, None)
        elif op == "touch":
            open(step[1], "a").close()
        elif op == "mkdir":
            os.makedirs(step[1], exist_ok=True)
        elif op == "symlink":
            os.symlink(step[1], step[2])
        else:
            raise ValueError(f"unknown step {step!r}")
    with open(spec["marker"], "w") as f:
        f.write(os.readlink("/proc/self/ns/mnt") + "\n")
    os.chroot(spec["root"])
    os.chdir("/")
    if spec.get("close_stdin"):
        os.close(0)
    os.execvp(argv[2], argv[2:])


if __name__ == "__main__":
    try:
        main(sys.argv)
    except Exception as e:  # noqa: BLE001 - reported, then the distinct status
        print(f"private_root: {e}", file=sys.stderr)
        sys.exit(125)
