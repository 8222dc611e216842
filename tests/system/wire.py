#!/usr/bin/python3
"""A cable between two network namespaces: one TAP device in each, frames
copied both ways by this process.

Used by the test host where the kernel has no veth driver (and the same way
everywhere, so every machine runs the same link). The TAP devices are not
persistent: when this process ends, both interfaces vanish with it.

usage: wire.py NETNS_PATH_A IFNAME_A NETNS_PATH_B IFNAME_B
Prints "ready" on standard output once both interfaces exist.
"""
import ctypes
import fcntl
import os
import select
import signal
import struct
import sys

CLONE_NEWNET = 0x40000000
TUNSETIFF = 0x400454CA
IFF_TAP = 0x0002
IFF_NO_PI = 0x1000

_libc = ctypes.CDLL(None, use_errno=True)


def _setns(path):
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, os.strerror(err), path)
    finally:
        os.close(fd)


def _open_tap(ns_path, name):
    _setns(ns_path)
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TAP | IFF_NO_PI))
    return fd


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    own = "/proc/self/ns/net"
    own_fd = os.open(own, os.O_RDONLY | os.O_CLOEXEC)
    a = _open_tap(argv[1], argv[2])
    b = _open_tap(argv[3], argv[4])
    if _libc.setns(own_fd, CLONE_NEWNET) != 0:
        return 1
    os.close(own_fd)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    peer = {a: b, b: a}
    while True:
        ready, _, _ = select.select([a, b], [], [])
        for fd in ready:
            try:
                frame = os.read(fd, 65536)
            except OSError:
                continue
            try:
                os.write(peer[fd], frame)
            except OSError:
                # the far side is down or its queue is full: the frame is lost,
                # as on a real cable
                pass


if __name__ == "__main__":
    sys.exit(main(sys.argv))
