"""The test launcher: builds the 1188-byte configuration package field by
field and talks to the daemon's control socket (127.0.0.1:6666) from inside
the test host's host namespace."""
from __future__ import annotations

import socket
import struct
import time
from typing import NamedTuple

PACKAGE_SIZE = 1188
CONFIG_PKG_MAGIC = 0xFEEDC0DE
TERMINATE_REQUEST_CODE = 0xDEEDC0DE
STAT_REQUEST_CODE = 0xFEEDC0DE
STATS_REPLY_SIZE = 215
CONNECT_OK = b"CONNECT OK\0"
CONNECT_FAIL = b"CONNECT FAIL\0"

OUTPROXY_NONE, OUTPROXY_HTTP, OUTPROXY_BASIC, OUTPROXY_NTLM = 0, 1, 2, 3

# name: (offset, size, kind); "u32" big-endian, "ip4" network order as given,
# "text" zero-terminated and zero-padded
FIELDS = {
    "magic": (0, 4, "u32"),
    "is_ipv6": (4, 4, "u32"),
    "gateway_ip6_text": (8, 40, "text"),
    "gateway_ip": (48, 4, "ip4"),
    "gateway_port": (52, 4, "u32"),
    "proxy_type": (56, 4, "u32"),
    "proxy_ip": (60, 4, "ip4"),
    "proxy_port": (64, 4, "u32"),
    "proxy_user": (68, 64, "text"),
    "proxy_passwd": (132, 32, "text"),
    "session_cookie": (164, 256, "text"),
    "proxy_domain": (420, 256, "text"),
    "navtype": (676, 256, "text"),
    "hostname": (932, 256, "text"),
}

DEFAULTS = {
    "magic": CONFIG_PKG_MAGIC,
    "is_ipv6": 0,
    "gateway_ip6_text": "",
    "gateway_ip": "198.18.0.1",
    "gateway_port": 443,
    "proxy_type": OUTPROXY_NONE,
    "proxy_ip": "0.0.0.0",
    "proxy_port": 0,
    "proxy_user": "",
    "proxy_passwd": "",
    "session_cookie": "TESTCOOKIE0123456789",
    "proxy_domain": "",
    "navtype": "commandline",
    "hostname": "gateway.test",
}


def _ip4(v) -> bytes:
    if isinstance(v, (bytes, bytearray)):
        if len(v) != 4:
            raise ValueError("an IPv4 address is 4 bytes")
        return bytes(v)
    if isinstance(v, int):
        return struct.pack(">I", v)  # 0xC6120001 is 198.18.0.1
    return socket.inet_aton(v)


def build_package(*, raw: dict[int, bytes] | None = None, size: int = PACKAGE_SIZE,
                  **fields) -> bytes:
    """The package with DEFAULTS overridden by `fields`.

    Texts (str or bytes) may fill their whole field (then no zero byte ends
    them inside it); longer texts are an error: to spill a text into the
    fields after it, or to plant any other hostile bytes, use
    raw={offset: bytes}, applied last. `size` cuts (or zero-pads) the result,
    for short packages."""
    unknown = set(fields) - set(FIELDS)
    if unknown:
        raise TypeError(f"unknown package fields: {sorted(unknown)}")
    values = {**DEFAULTS, **fields}
    pkg = bytearray(PACKAGE_SIZE)
    for name, (off, length, kind) in FIELDS.items():
        v = values[name]
        if kind == "u32":
            b = struct.pack(">I", v & 0xFFFFFFFF)
        elif kind == "ip4":
            b = _ip4(v)
        else:
            b = v.encode() if isinstance(v, str) else bytes(v)
            if len(b) > length:
                raise ValueError(f"{name}: {len(b)} bytes do not fit in {length}; use raw=")
        pkg[off:off + len(b)] = b
    for off, b in (raw or {}).items():
        if off < 0 or off + len(b) > PACKAGE_SIZE:
            raise ValueError(f"raw bytes at {off} run past the package")
        pkg[off:off + len(b)] = b
    out = bytes(pkg[:size])
    return out + bytes(size - len(out))


class Stats(NamedTuple):
    client_ip: str
    bytes_in: int
    bytes_out: int
    raw: bytes


def parse_stats(reply: bytes) -> Stats:
    """The 215-byte statistics reply: 15 bytes of address text, then two
    100-byte decimal texts, each zero-padded."""
    if len(reply) != STATS_REPLY_SIZE:
        raise ValueError(f"statistics reply of {len(reply)} bytes")

    def text(b: bytes) -> str:
        return b.split(b"\0", 1)[0].decode("ascii")

    return Stats(text(reply[:15]), int(text(reply[15:115])), int(text(reply[115:215])), reply)


class Launcher:
    """One launcher connection to the daemon in `testhost`."""

    def __init__(self, testhost, port: int = 6666):
        self.th = testhost
        self.port = port
        self.sock: socket.socket | None = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def connect(self, timeout: float = 10) -> "Launcher":
        """Connect to 127.0.0.1:port in the host namespace, retrying while
        nothing listens yet (bounded by `timeout`; fails early when the
        daemon has ended)."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            with self.th.host_ns():
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
            s.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                s.connect(("127.0.0.1", self.port))
                s.settimeout(None)
                self.sock = s
                return self
            except (ConnectionRefusedError, socket.timeout) as e:
                s.close()
                last = e
            if self.th.daemon is not None and self.th.daemon.poll() is not None:
                raise ConnectionError(f"daemon ended (status {self.th.daemon.returncode}) "
                                      "before it accepted a launcher")
            time.sleep(0.02)
        raise TimeoutError(f"nothing listens on 127.0.0.1:{self.port} after {timeout} s ({last})")

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def send_package(self, pkg: bytes | None = None, **fields) -> None:
        """Send `pkg`, or build_package(**fields)."""
        self.send(pkg if pkg is not None else build_package(**fields))

    def recv_exact(self, n: int, timeout: float = 5) -> bytes:
        """Exactly n bytes. TimeoutError when they do not all come in time,
        EOFError (with the partial data as .args[1]) when the peer closes."""
        deadline = time.monotonic() + timeout
        buf = b""
        while len(buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{len(buf)} of {n} bytes within {timeout} s: {buf!r}")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(n - len(buf))
            except socket.timeout:
                continue
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise EOFError(f"connection closed after {len(buf)} of {n} bytes", buf)
            buf += chunk
        return buf

    def poll(self, timeout: float = 0.5):
        """What the daemon does on this connection within `timeout`: the
        bytes it sent (b"" when it closed the connection), or None when it
        stayed silent and kept the connection open."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536)
        except socket.timeout:
            return None
        except ConnectionResetError:
            return b""

    def request(self, code: int) -> None:
        """Send one 4-byte request (big-endian code)."""
        self.send(struct.pack(">I", code & 0xFFFFFFFF))

    def terminate(self, timeout: float = 30) -> bytes:
        """The terminate request; answers the 4-byte echo."""
        self.request(TERMINATE_REQUEST_CODE)
        return self.recv_exact(4, timeout)

    def stats(self, timeout: float = 5) -> Stats:
        """The statistics request and its parsed 215-byte reply."""
        self.request(STAT_REQUEST_CODE)
        return parse_stats(self.recv_exact(STATS_REPLY_SIZE, timeout))

    def close(self) -> None:
        if self.sock is not None:
            self.sock.close()
            self.sock = None
