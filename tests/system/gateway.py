"""Test gateway: the VPN gateway end of the daemon's connections, run as threads.

One `Gateway` listens (normally inside the test host's gateway namespace) and
serves every TCP connection in a thread of its own:

  cleartext 82-byte preamble -> TLS server -> HTTP request -> HTTP reply ->
  'P' -> 'Q' + common sections -> 'T' -> 'U' + network sections -> packets

or, for a logout request, a plain HTTP reply.  Everything the daemon sends is
recorded byte-exact on the `GatewayConnection`; what the gateway answers comes
from a `Scenario`, which also holds the hostile variants (cut streams, wrong
types, raw bytes, lengths from nowhere).

Use in a test (the test host's gateway namespace, 198.18.0.1:443):

    gw = Gateway.in_testhost(testhost, tmp_path, Scenario(client_ip="10.200.0.2"))
    ... start the daemon and its launcher ...
    conn = gw.wait_tunnel(1)            # first connection that reached the packet phase
    conn.request, conn.t_request, conn.preamble, conn.received_packets()
    conn.send_packets([a, b]); conn.send_split(p, 3); conn.send_fragments(p, 10)
    conn.send_kill_notice(); conn.drop(); gw.refuse_new = True; gw.scenario = Scenario(...)
    gw.attach_tun(GatewayTun(testhost, address="10.99.0.1/24", client_ip="10.200.0.2"))
    gw.stop()                           # or use it as a context manager

Only the Python standard library is used; `ssl` is OpenSSL underneath.
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import dataclasses
import fcntl
import ipaddress
import os
import pathlib
import select
import socket
import ssl
import struct
import subprocess
import threading
import time
import warnings
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

GATEWAY_IP = "198.18.0.1"
GATEWAY_PORT = 443

PREAMBLE_LEN = 82
T_REQUEST_LEN = 48
MSG_HEADER_LEN = 16
COMMON_HEADER_LEN = 56
NETWORK_HEADER_LEN = 36
RESOURCE_LEN = 24

NETCFG_FULL_TUNNEL = 1
NETCFG_LOCAL_ACCESS = 2

PORT_MATCH_ONE = 1
PORT_MATCH_LIST = 2
PORT_MATCH_RANGE = 3

PROXY_MANUAL = 0
PROXY_SCRIPT = 1

LOGOUT_PREFIX = b"GET /prx/000/http/localhost/logout HTTP/1.1\r\n"
TUNNEL_PREFIX = b"Get /vpntunnel HTTP/1.1\r\n"

MAX_REQUEST = 65536  # a request longer than this is not one the daemon sends


# --------------------------------------------------------------------------
# Byte builders (pure functions; the self-test checks them against hand-made
# bytes, the scenarios use them)
# --------------------------------------------------------------------------

def ip4(text: str) -> bytes:
    """Dotted address -> 4 bytes in network order."""
    return socket.inet_aton(text)


def msg_header(letter: bytes, length: int = 0) -> bytes:
    """16-byte record header: type letter, 11 zero bytes, little-endian length."""
    assert len(letter) == 1
    return letter + bytes(11) + struct.pack("<I", length & 0xFFFFFFFF)


def common_header(*, keepalive_interval: int = 0, dns_priority: Sequence[int] = (2, 2, 2),
                  host_map_len: int = 0, launch_cmd_len: int = 0,
                  disconnect_cmd_len: int = 0, reserved0: int = 0, reserved4: int = 0,
                  reserved52: int = 0) -> bytes:
    """56-byte common header, integers little-endian."""
    p = list(dns_priority) + [0, 0, 0]
    out = struct.pack("<III", reserved0, reserved4, keepalive_interval & 0xFFFFFFFF)
    out += struct.pack("<III", p[0], p[1], p[2])
    out += bytes(16)
    out += struct.pack("<IIII", host_map_len & 0xFFFFFFFF, launch_cmd_len & 0xFFFFFFFF,
                       disconnect_cmd_len & 0xFFFFFFFF, reserved52)
    assert len(out) == COMMON_HEADER_LEN
    return out


def network_header(*, flags: int = 0, resource_count: int = 0, exclude_count: int = 0,
                   inside_proxy_len: int = 0, client_ip: str = "0.0.0.0",
                   virtual_mask: str = "255.255.255.255", dns_count: int = 0,
                   wins_count: int = 0, search_domain_len: int = 0) -> bytes:
    """36-byte network header: counts little-endian, addresses in network order."""
    out = struct.pack("<IIII", flags & 0xFFFFFFFF, resource_count & 0xFFFFFFFF,
                      exclude_count & 0xFFFFFFFF, inside_proxy_len & 0xFFFFFFFF)
    out += ip4(client_ip) + ip4(virtual_mask)
    out += struct.pack("<III", dns_count & 0xFFFFFFFF, wins_count & 0xFFFFFFFF,
                       search_domain_len & 0xFFFFFFFF)
    assert len(out) == NETWORK_HEADER_LEN
    return out


@dataclasses.dataclass
class Resource:
    """One 24-byte resource record (network, port rule, type)."""
    ip: str
    mask: str
    port_match: int = 0
    ports: Tuple[int, ...] = (0, 0, 0, 0, 0)
    type: int = 0

    def __post_init__(self):
        self.ports = (tuple(self.ports) + (0, 0, 0, 0, 0))[:5]

    def pack(self) -> bytes:
        ports = self.ports
        out = ip4(self.ip) + ip4(self.mask) + bytes([0, self.port_match & 0xFF])
        out += struct.pack("<5H", *ports)
        out += bytes([self.type & 0xFF, 0, 0, 0])
        assert len(out) == RESOURCE_LEN
        return out


def host_map_section(entries: Iterable[Tuple[str, str]]) -> bytes:
    """Host-map entries: address, big-endian name length, name with its zero byte."""
    out = b""
    for ip, name in entries:
        raw = name.encode() + b"\0"
        out += ip4(ip) + struct.pack(">I", len(raw)) + raw
    return out


def command_section(commands: Iterable[str]) -> bytes:
    """Command entries: big-endian length, text with its zero byte."""
    out = b""
    for cmd in commands:
        raw = cmd.encode() + b"\0"
        out += struct.pack(">I", len(raw)) + raw
    return out


def inside_proxy_section(ptype: int, text: str) -> bytes:
    """Inside proxy: big-endian type, big-endian text length N, N bytes and one more."""
    raw = text.encode()
    return struct.pack(">II", ptype & 0xFFFFFFFF, len(raw)) + raw + b"\0"


def preamble_problems(data: bytes, now: Optional[float] = None, slack: float = 300.0) -> List[str]:
    """What is wrong with an 82-byte cleartext preamble (empty list: nothing)."""
    problems = []
    if len(data) != PREAMBLE_LEN:
        return ["preamble is %d bytes, not 82" % len(data)]
    fixed = bytes.fromhex("160301004d010000490301")
    if data[:11] != fixed:
        problems.append("bytes 0-10 are %s" % data[:11].hex())
    t = struct.unpack(">I", data[11:15])[0]
    now = time.time() if now is None else now
    if abs(t - (int(now) & 0xFFFFFFFF)) > slack:
        problems.append("time field %d is not the current time %d" % (t, int(now)))
    if data[15:43] != bytes(range(1, 29)):
        problems.append("random tail is %s" % data[15:43].hex())
    if data[43] != 0x20 or data[44:76] != b"\xff" * 32:
        problems.append("session id is %s" % data[43:76].hex())
    if data[76:82] != bytes.fromhex("000200040100"):
        problems.append("suites/compression are %s" % data[76:82].hex())
    return problems


@dataclasses.dataclass
class TRequest:
    """The daemon's 48-byte network-configuration request, decoded."""
    raw: bytes
    msgtype: bytes
    reserved: bytes
    length: int
    count: int
    ips: List[str]
    mac: bytes
    pad: bytes

    @classmethod
    def parse(cls, raw: bytes) -> "TRequest":
        assert len(raw) == T_REQUEST_LEN
        ips = [socket.inet_ntoa(raw[20 + 4 * i:24 + 4 * i]) for i in range(5)]
        return cls(raw=raw, msgtype=raw[0:1], reserved=raw[1:12],
                   length=struct.unpack("<I", raw[12:16])[0],
                   count=struct.unpack("<I", raw[16:20])[0], ips=ips,
                   mac=raw[40:46], pad=raw[46:48])

    def problems(self) -> List[str]:
        out = []
        if self.msgtype != b"T":
            out.append("type %r" % self.msgtype)
        if self.reserved != bytes(11):
            out.append("reserved bytes not zero")
        if self.length != 32:
            out.append("length %d" % self.length)
        if self.count > 5:
            out.append("count %d" % self.count)
        elif any(ip != "0.0.0.0" for ip in self.ips[self.count:]):
            out.append("slots beyond count not zero")
        if self.pad != bytes(2):
            out.append("pad not zero")
        return out


def parse_http_request(raw: bytes) -> Tuple[str, List[Tuple[str, str]]]:
    """Request line and (name, value) header pairs; values keep any trailing LF."""
    head = raw.split(b"\r\n\r\n", 1)[0].decode("latin-1")
    lines = head.split("\r\n")
    headers = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.append((name, value[1:] if value.startswith(" ") else value))
    return lines[0], headers


def expected_tunnel_request(host: str, cookie: str, clientid: str) -> bytes:
    """The request the daemon is to send, byte for byte (clientid keeps its newline)."""
    return ("Get /vpntunnel HTTP/1.1\r\nHost: %s\r\nCookie: %s\r\nappid: SQNVPN\r\n"
            "clientid: %s\r\n\r\n" % (host, cookie, clientid)).encode("latin-1")


def expected_logout_request(host: str, cookie: str) -> bytes:
    return ("GET /prx/000/http/localhost/logout HTTP/1.1\r\nHost: %s\r\nCookie: %s\r\n"
            "appid: SQNVPN\r\n\r\n" % (host, cookie)).encode("latin-1")


# --------------------------------------------------------------------------
# IPv4 packets
# --------------------------------------------------------------------------

def inet_checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def ipv4_packet(src: str, dst: str, proto: int, payload: bytes, *, ttl: int = 64,
                ident: int = 0) -> bytes:
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident & 0xFFFF, 0,
                      ttl, proto, 0, ip4(src), ip4(dst))
    hdr = hdr[:10] + struct.pack("!H", inet_checksum(hdr)) + hdr[12:]
    return hdr + payload


def icmp_echo(src: str, dst: str, ident: int = 1, seq: int = 1, data: bytes = b"gwpeer",
              reply: bool = False) -> bytes:
    body = struct.pack("!BBHHH", 0 if reply else 8, 0, 0, ident, seq) + data
    body = body[:2] + struct.pack("!H", inet_checksum(body)) + body[4:]
    return ipv4_packet(src, dst, 1, body)


def _l4_checksum(src: str, dst: str, proto: int, seg: bytes) -> int:
    pseudo = ip4(src) + ip4(dst) + struct.pack("!BBH", 0, proto, len(seg))
    return inet_checksum(pseudo + seg)


def udp_packet(src: str, dst: str, sport: int, dport: int, data: bytes = b"") -> bytes:
    seg = struct.pack("!HHHH", sport, dport, 8 + len(data), 0) + data
    ck = _l4_checksum(src, dst, 17, seg) or 0xFFFF
    return ipv4_packet(src, dst, 17, seg[:6] + struct.pack("!H", ck) + seg[8:])


def tcp_syn(src: str, dst: str, sport: int, dport: int, seq: int = 1) -> bytes:
    seg = struct.pack("!HHIIBBHHH", sport, dport, seq, 0, 5 << 4, 0x02, 65535, 0, 0)
    ck = _l4_checksum(src, dst, 6, seg)
    return ipv4_packet(src, dst, 6, seg[:16] + struct.pack("!H", ck) + seg[18:])


def dns_answer_for(raw: bytes, servers: Sequence[str], zone: dict):
    """(reply packet, queried name) for a UDP query to port 53 of one of
    `servers`; None for any other packet. A names of `zone` get their
    address, other types of those names no record, other names NXDOMAIN."""
    if len(raw) < 28 or raw[9] != 17 or socket.inet_ntoa(raw[16:20]) not in servers:
        return None
    ihl = (raw[0] & 0x0F) * 4
    sport, dport = struct.unpack("!HH", raw[ihl:ihl + 4])
    msg = raw[ihl + 8:]
    if dport != 53 or len(msg) < 12:
        return None
    labels, pos = [], 12
    while pos < len(msg) and msg[pos] != 0:
        n = msg[pos]
        if n > 63 or pos + 1 + n > len(msg):
            return None
        labels.append(msg[pos + 1:pos + 1 + n].decode("ascii", "replace"))
        pos += 1 + n
    if pos + 5 > len(msg):
        return None
    qtype = struct.unpack("!H", msg[pos + 1:pos + 3])[0]
    question = msg[12:pos + 5]
    name = ".".join(labels).lower()
    flags = 0x8180 if name in zone else 0x8183
    answers = b""
    if name in zone and qtype == 1:
        answers = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + ip4(zone[name])
    reply = msg[:2] + struct.pack("!HHHHH", flags, 1, 1 if answers else 0, 0, 0) + question + answers
    src, dst = socket.inet_ntoa(raw[16:20]), socket.inet_ntoa(raw[12:16])
    return udp_packet(src, dst, 53, sport, reply), name


def keepalive_packet() -> bytes:
    """The daemon's 20-byte keepalive: protocol 255, source 0.1.0.0, checksum 0."""
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20, 0, 0, 0, 255, 0, ip4("0.1.0.0"),
                       ip4("0.0.0.0"))


def kill_notice(src: str = "0.2.0.0") -> bytes:
    """Session-kill notice: an IPv4 header with protocol 255 and source 0.2.x.x."""
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20, 0, 0, 0, 255, 0, ip4(src),
                       ip4("0.0.0.0"))


@dataclasses.dataclass
class Packet:
    raw: bytes
    src: str
    dst: str
    proto: int
    total_length: int

    @classmethod
    def parse(cls, raw: bytes) -> "Packet":
        return cls(raw=raw, src=socket.inet_ntoa(raw[12:16]), dst=socket.inet_ntoa(raw[16:20]),
                   proto=raw[9], total_length=struct.unpack("!H", raw[2:4])[0])

    @property
    def is_keepalive(self) -> bool:
        return self.proto == 255 and self.raw[12:14] == b"\x00\x01"

    @property
    def payload(self) -> bytes:
        return self.raw[(self.raw[0] & 0x0F) * 4:]

    @property
    def is_echo_request(self) -> bool:
        p = self.payload
        return self.proto == 1 and len(p) >= 8 and p[0] == 8


def echo_reply_for(request: bytes) -> bytes:
    """ICMP echo reply to an echo request: addresses swapped, type 0, checksums fixed."""
    ihl = (request[0] & 0x0F) * 4
    hdr = bytearray(request[:ihl])
    hdr[12:16], hdr[16:20] = request[16:20], request[12:16]
    hdr[8] = 64
    hdr[10:12] = b"\0\0"
    hdr[10:12] = struct.pack("!H", inet_checksum(bytes(hdr)))
    icmp = bytearray(request[ihl:])
    icmp[0] = 0
    icmp[2:4] = b"\0\0"
    icmp[2:4] = struct.pack("!H", inet_checksum(bytes(icmp)))
    return bytes(hdr) + bytes(icmp)


# --------------------------------------------------------------------------
# Scenario
# --------------------------------------------------------------------------

@dataclasses.dataclass
class Scenario:
    """What the gateway answers on a tunnel connection.  Defaults: a good split tunnel."""
    # HTTP reply to the tunnel request
    http_status: int = 200
    http_reason: str = "OK"
    http_version: str = "HTTP/1.1"
    http_headers: List[Tuple[str, str]] = dataclasses.field(default_factory=list)
    http_body: bytes = b""
    content_length: Optional[int] = None      # None: len(http_body); -1: no header
    raw_http_reply: Optional[bytes] = None    # replaces the whole reply

    # common configuration ('Q')
    q_type: bytes = b"Q"
    keepalive_interval: int = 0
    dns_priority: Tuple[int, int, int] = (2, 2, 2)
    host_map: List[Tuple[str, str]] = dataclasses.field(default_factory=list)
    launch_commands: List[str] = dataclasses.field(default_factory=list)
    disconnect_commands: List[str] = dataclasses.field(default_factory=list)

    # network configuration ('U')
    u_type: bytes = b"U"
    flags: int = 0
    client_ip: str = "10.200.0.2"
    client_mask: str = "255.255.255.0"
    resources: List[Resource] = dataclasses.field(
        default_factory=lambda: [Resource("10.99.0.0", "255.255.255.0")])
    excludes: List[Resource] = dataclasses.field(default_factory=list)
    inside_proxy: Optional[Tuple[int, str]] = None   # (PROXY_MANUAL|PROXY_SCRIPT, text)
    dns: List[str] = dataclasses.field(default_factory=list)
    wins_count: int = 0
    search_domains: List[str] = dataclasses.field(default_factory=list)
    # names the gateway's DNS servers answer (A records), arriving through the tunnel
    dns_zone: dict = dataclasses.field(default_factory=dict)

    # hostile options
    common_overrides: dict = dataclasses.field(default_factory=dict)   # common_header kwargs
    network_overrides: dict = dataclasses.field(default_factory=dict)  # network_header kwargs
    raw_q: Optional[bytes] = None     # replaces the whole 'Q' part (header included)
    raw_u: Optional[bytes] = None     # replaces the whole 'U' part (header included)
    truncate_at: Optional[int] = None  # close after this many bytes of the Q+U stream
    extra_after_u: bytes = b""        # sent in the same write right after the 'U' part
    close_after_config: bool = False  # close once the configuration is sent
    wait_t: bool = True               # wait for 'T' before sending 'U' (else Q and U at once)
    chunk: int = 0                    # >0: the records go out in TLS records of this size
    chunk_gap: float = 0.0            # seconds between those TLS records (a trickling gateway)
    t_timeout: float = 30.0

    # relay
    answer_echo: bool = True
    answer_keepalive: bool = True
    record_limit: int = 20000

    # ---- the records as bytes ----
    def q_part(self) -> bytes:
        if self.raw_q is not None:
            return self.raw_q
        hm = host_map_section(self.host_map)
        lc = command_section(self.launch_commands)
        dc = command_section(self.disconnect_commands)
        kw = dict(keepalive_interval=self.keepalive_interval, dns_priority=self.dns_priority,
                  host_map_len=len(hm), launch_cmd_len=len(lc), disconnect_cmd_len=len(dc))
        kw.update(self.common_overrides)
        return msg_header(self.q_type) + common_header(**kw) + hm + lc + dc

    def u_part(self) -> bytes:
        if self.raw_u is not None:
            return self.raw_u
        res = b"".join(r.pack() for r in self.resources)
        exc = b"".join(r.pack() for r in self.excludes)
        proxy = inside_proxy_section(*self.inside_proxy) if self.inside_proxy else b""
        dns = b"".join(ip4(a) for a in self.dns)
        search = ",".join(self.search_domains).encode()
        kw = dict(flags=self.flags, resource_count=len(self.resources),
                  exclude_count=len(self.excludes), inside_proxy_len=len(proxy),
                  client_ip=self.client_ip, virtual_mask=self.client_mask,
                  dns_count=len(self.dns), wins_count=self.wins_count,
                  search_domain_len=len(search))
        kw.update(self.network_overrides)
        return msg_header(self.u_type) + network_header(**kw) + res + exc + proxy + dns + search

    def layout(self) -> List[Tuple[str, int, int]]:
        """(segment, start, end) offsets of the Q+U stream, for cut-short tables."""
        hm = len(host_map_section(self.host_map))
        lc = len(command_section(self.launch_commands))
        dc = len(command_section(self.disconnect_commands))
        proxy = len(inside_proxy_section(*self.inside_proxy)) if self.inside_proxy else 0
        sizes = [("Q header", MSG_HEADER_LEN), ("common header", COMMON_HEADER_LEN),
                 ("host map", hm), ("launch commands", lc), ("disconnect commands", dc),
                 ("U header", MSG_HEADER_LEN), ("network header", NETWORK_HEADER_LEN),
                 ("resources", RESOURCE_LEN * len(self.resources)),
                 ("excluded resources", RESOURCE_LEN * len(self.excludes)),
                 ("inside proxy", proxy), ("dns", 4 * len(self.dns)),
                 ("search domains", len(",".join(self.search_domains).encode()))]
        out, pos = [], 0
        for name, size in sizes:
            out.append((name, pos, pos + size))
            pos += size
        return out

    def http_reply(self) -> bytes:
        if self.raw_http_reply is not None:
            return self.raw_http_reply
        lines = ["%s %d %s" % (self.http_version, self.http_status, self.http_reason)]
        lines += ["%s: %s" % kv for kv in self.http_headers]
        if self.content_length is None:
            lines.append("Content-Length: %d" % len(self.http_body))
        elif self.content_length >= 0:
            lines.append("Content-Length: %d" % self.content_length)
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + self.http_body


def rich_scenario(**kw) -> Scenario:
    """A scenario with every section filled, for layout and cut-short tests."""
    base = dict(
        keepalive_interval=30,
        host_map=[("10.99.0.10", "intra.example.test"), ("0.0.0.0", "gw.example.test")],
        launch_commands=["true launch"], disconnect_commands=["true disconnect"],
        flags=NETCFG_LOCAL_ACCESS,
        resources=[Resource("10.99.0.0", "255.255.255.0", PORT_MATCH_RANGE, (1, 65535), 0),
                   Resource("10.98.0.0", "255.255.0.0", PORT_MATCH_LIST, (22, 80, 443, 0, 0), 1)],
        excludes=[Resource("10.99.0.128", "255.255.255.192", PORT_MATCH_ONE, (8080,), 0)],
        inside_proxy=(PROXY_MANUAL, "10.99.0.3:3128"),
        dns=["10.99.0.53", "10.99.0.54"],
        search_domains=["example.test", "corp.example.test"])
    base.update(kw)
    return Scenario(**base)


# --------------------------------------------------------------------------
# TUN device inside the gateway namespace
# --------------------------------------------------------------------------

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000


class GatewayTun:
    """A Linux TUN device in the gateway namespace; packets of the tunnel go through it
    into the gateway namespace's own stack (for real TCP endpoints there)."""

    def __init__(self, testhost, name: str = "gwtun0", address: str = "10.99.0.1/24",
                 routes: Sequence[str] = (), client_ip: Optional[str] = None):
        self.testhost = testhost
        self.name = name
        self.fd = -1
        with testhost.gw_ns():
            fd = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
            try:
                ifr = struct.pack("16sH22x", name.encode(), IFF_TUN | IFF_NO_PI)
                fcntl.ioctl(fd, TUNSETIFF, ifr)
            except OSError:
                os.close(fd)
                raise
        self.fd = fd
        os.set_blocking(fd, False)
        # the tunnel carries IPv4 only: no IPv6 chatter (router solicitations) on the device
        testhost.run_gw(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % name])
        cmds = [["ip", "link", "set", name, "up"], ["ip", "addr", "add", address, "dev", name]]
        for r in routes:
            cmds.append(["ip", "route", "replace", r, "dev", name])
        if client_ip:
            cmds.append(["ip", "route", "replace", client_ip + "/32", "dev", name])
        for c in cmds:
            testhost.run_gw(c, check=True)

    def add_route(self, net: str) -> None:
        self.testhost.run_gw(["ip", "route", "replace", net, "dev", self.name], check=True)

    def write(self, pkt: bytes) -> None:
        try:
            os.write(self.fd, pkt)
        except OSError:
            pass  # a full queue drops, as a wire would

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)  # non-persistent: the interface goes with the descriptor
            self.fd = -1


# --------------------------------------------------------------------------
# One connection
# --------------------------------------------------------------------------

class ConnectionClosed(Exception):
    pass


class _Written(threading.Event):
    """Set when a queued record is done with; `ok` tells whether it was written."""
    ok = False


class _NoWaiter:
    ok = False

    def set(self) -> None:
        pass


_NO_WAITER = _NoWaiter()


class GatewayConnection:
    """One accepted TCP connection and everything seen on it."""

    def __init__(self, gw: "Gateway", sock: socket.socket, peer, index: int,
                 scenario: Scenario):
        self.gw = gw
        self.index = index
        self.peer = peer
        self.scenario = scenario
        self.raw_sock = sock
        self._ctl = sock.dup()   # for shutdown(): wrap_socket() takes `sock` over
        self.tls: Optional[ssl.SSLSocket] = None
        self.accepted_at = time.time()
        # what was seen
        self.refused = False
        self.preamble: bytes = b""
        self.preamble_problems: List[str] = []
        self.tls_ok = False
        self.tls_version: Optional[str] = None
        self.tls_error: Optional[str] = None
        self.request: bytes = b""
        self.kind: Optional[str] = None   # "tunnel", "logout", "other"
        self.p_request: bytes = b""
        self.t_request: Optional[TRequest] = None
        self.config_sent = 0              # bytes of the Q+U stream written
        self.errors: List[str] = []
        self.phase = "accepted"
        self.closed_by_peer = False
        # relay
        self.packets: collections.deque = collections.deque(maxlen=scenario.record_limit)
        self.packet_count = 0
        self.keepalives = 0
        self.dns_queries: List[str] = []   # names asked of the gateway's DNS servers
        self.bytes_received = 0            # relay phase only, as the daemon counts
        self.bytes_sent = 0
        self.garbage = b""
        self.trailing = b""                # what the daemon sent after our last record
        self._carry = b""
        self._out: collections.deque = collections.deque()
        self._wake_r, self._wake_w = os.pipe()
        self._wake_lock = threading.Lock()
        self._wake_open = True
        self._cond = threading.Condition()
        self._closed = threading.Event()
        self._stalled = threading.Event()
        self._drop = threading.Event()
        self.thread = threading.Thread(target=self._run, name="gw-conn-%d" % index,
                                       daemon=True)

    # ---- waiting ----
    def wait(self, predicate: Callable[[], bool], timeout: float = 10.0) -> bool:
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return predicate()
                self._cond.wait(min(left, 0.2))
        return True

    PHASES = ["accepted", "preamble", "tls", "request", "reply", "records", "relay"]

    def reached(self, phase: str) -> bool:
        return self.PHASES.index(self.phase) >= self.PHASES.index(phase)

    def wait_phase(self, phase: str, timeout: float = 10.0) -> bool:
        """True once the connection got that far; False when it closed before or timed out."""
        self.wait(lambda: self.reached(phase) or self._closed.is_set(), timeout)
        return self.reached(phase)

    def wait_packet(self, predicate: Callable[[Packet], bool] = lambda p: True,
                    timeout: float = 10.0) -> Optional[Packet]:
        found = []

        def check():
            for raw in list(self.packets):
                p = Packet.parse(raw)
                if predicate(p):
                    found.append(p)
                    return True
            return self._closed.is_set()
        self.wait(check, timeout)
        return found[0] if found else None

    def wait_closed(self, timeout: float = 10.0) -> bool:
        return self._closed.wait(timeout)

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def _note(self, **changes) -> None:
        with self._cond:
            for k, v in changes.items():
                setattr(self, k, v)
            self._cond.notify_all()

    # ---- injection (relay phase) ----
    def send_records(self, records: Sequence[bytes], gap: float = 0.0,
                     timeout: float = 10.0) -> bool:
        """Writes each item as one TLS record (items up to 16 KB), `gap` seconds apart.
        True when all were written."""
        for i, rec in enumerate(records):
            if i and gap:
                time.sleep(gap)
            done = _Written()
            if self._closed.is_set():
                return False
            with self._cond:
                self._out.append((rec, done, False))
            self._wake()
            if not done.wait(timeout) or not done.ok:
                return False
        return True

    def send_packets(self, packets: Sequence[bytes]) -> bool:
        """All packets laid end to end in one TLS record."""
        return self.send_records([b"".join(packets)])

    def send_split(self, packet: bytes, pieces: int = 3, gap: float = 0.3) -> bool:
        """One packet cut into `pieces` records, sent `gap` seconds apart."""
        n = len(packet)
        cuts = [n * i // pieces for i in range(pieces + 1)]
        return self.send_records([packet[cuts[i]:cuts[i + 1]] for i in range(pieces)], gap)

    def send_fragments(self, packet: bytes, size: int = 10, gap: float = 0.3) -> bool:
        """The packet in records of `size` bytes (the first fragment shorter than a header)."""
        return self.send_records([packet[i:i + size] for i in range(0, len(packet), size)], gap)

    def send_kill_notice(self, before: Sequence[bytes] = ()) -> bool:
        """The session-kill notice, after `before` packets in the same record."""
        return self.send_records([b"".join(before) + kill_notice()])

    def stall(self, on: bool = True) -> None:
        """Stop reading from and writing to the daemon (a gateway that hangs)."""
        if on:
            self._stalled.set()
        else:
            self._stalled.clear()
        self._wake()

    def stall_in_record(self, announced: int = 64, sent: int = 10) -> None:
        """Stop (as `stall`) after writing the first `sent` bytes of a TLS record that
        announces `announced` bytes: a gateway that hangs in the middle of a record."""
        self.stall()
        head = b"\x17\x03\x03" + struct.pack(">H", announced)
        with self._wake_lock:
            self._ctl.sendall(head + bytes(sent))

    def _wake(self) -> None:
        with self._wake_lock:
            if self._wake_open:
                with contextlib.suppress(OSError):
                    os.write(self._wake_w, b"x")

    def drop(self) -> None:
        """Ends the connection without TLS close (as a gateway that goes away)."""
        self._drop.set()
        self._shutdown()
        self._wake()

    def _shutdown(self) -> None:
        with self._wake_lock:
            if self._wake_open:
                with contextlib.suppress(OSError):
                    self._ctl.shutdown(socket.SHUT_RDWR)

    def received_packets(self) -> List[Packet]:
        return [Packet.parse(r) for r in list(self.packets)]

    # ---- the connection's life ----
    def _run(self) -> None:
        try:
            self._serve()
        except (ConnectionClosed, OSError, ssl.SSLError, ValueError) as e:
            if not self._drop.is_set() and not self.gw.stopping:
                self.errors.append("%s: %s" % (type(e).__name__, e))
        finally:
            self._close()

    def _close(self) -> None:
        self._shutdown()
        with self._wake_lock:
            self._wake_open = False
            for s in (self.tls, self.raw_sock, self._ctl):
                if s is not None:
                    with contextlib.suppress(OSError):
                        s.close()
            for fd in (self._wake_r, self._wake_w):
                with contextlib.suppress(OSError):
                    os.close(fd)
        with self._cond:
            for item in self._out:
                item[1].set()
            self._out.clear()
            self._closed.set()
            self._cond.notify_all()
        self.gw._changed()

    def _recv_raw_exact(self, n: int, timeout: float) -> bytes:
        self.raw_sock.settimeout(timeout)
        out = b""
        while len(out) < n:
            chunk = self.raw_sock.recv(n - len(out))
            if not chunk:
                break
            out += chunk
        return out

    def _recv_tls_exact(self, n: int, timeout: float) -> bytes:
        deadline = time.monotonic() + timeout
        out = b""
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ConnectionClosed("timed out after %d of %d bytes" % (len(out), n))
            self.tls.settimeout(left)
            try:
                chunk = self.tls.recv(n - len(out))
            except socket.timeout:
                continue
            if not chunk:
                self.closed_by_peer = True
                raise ConnectionClosed("peer closed after %d of %d bytes" % (len(out), n))
            out += chunk
        return out

    def _send_tls(self, data: bytes) -> None:
        self.tls.settimeout(10)
        self.tls.sendall(data)

    def _send_config(self, data: bytes) -> None:
        n = self.scenario.chunk
        if n <= 0:
            self._send_tls(data)
            return
        for i in range(0, len(data), n):
            if i and self.scenario.chunk_gap and self._drop.wait(self.scenario.chunk_gap):
                return
            self._send_tls(data[i:i + n])

    def _serve(self) -> None:
        gw = self.gw
        sc = self.scenario
        if gw.refuse_new:
            self.refused = True
            self._ctl.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        # 1. cleartext preamble
        self.preamble = self._recv_raw_exact(PREAMBLE_LEN, gw.io_timeout)
        self.preamble_problems = preamble_problems(self.preamble)
        self._note(phase="preamble")
        if len(self.preamble) < PREAMBLE_LEN:
            raise ConnectionClosed("preamble cut at %d bytes" % len(self.preamble))
        # 2. TLS server on the same socket
        self.raw_sock.settimeout(gw.io_timeout)
        try:
            self.tls = gw.ssl_context.wrap_socket(self.raw_sock, server_side=True,
                                                  do_handshake_on_connect=False)
            self.tls.do_handshake()
        except (ssl.SSLError, OSError) as e:
            self.tls_error = "%s: %s" % (type(e).__name__, e)
            self._note(phase="tls")
            return
        self._note(tls_ok=True, tls_version=self.tls.version(), phase="tls")
        # 3. the HTTP request
        req = b""
        while b"\r\n\r\n" not in req:
            if len(req) >= MAX_REQUEST:
                raise ConnectionClosed("request without end")
            self.tls.settimeout(gw.io_timeout)
            chunk = self.tls.recv(MAX_REQUEST - len(req))
            if not chunk:
                self.closed_by_peer = True
                raise ConnectionClosed("peer closed in request")
            req += chunk
        end = req.index(b"\r\n\r\n") + 4
        if req[end:]:
            self.errors.append("%d bytes after the request" % len(req[end:]))
        req = req[:end]
        if req.startswith(LOGOUT_PREFIX):
            self._note(request=req, kind="logout", phase="request")
            self._send_tls(gw.logout_reply)
            # a repeated request (after a too-small buffer) lands in `trailing`
            self._linger(shut=False)
            return
        kind = "tunnel" if req.startswith(TUNNEL_PREFIX) else "other"
        if kind == "other":
            self.errors.append("unexpected request %r" % req[:60])
        self._note(request=req, kind=kind, phase="request")
        # 4. the HTTP reply
        reply = sc.http_reply()
        self._send_tls(reply)
        self._note(phase="reply")
        head = reply.split(b"\r\n\r\n", 1)[0]
        if b"HTTP/1.1 200" not in head and b"HTTP/1.0 200" not in head:
            self._linger()   # the daemon gives up here
            return
        # 5. 'P'
        self.p_request = self._recv_tls_exact(MSG_HEADER_LEN, gw.io_timeout)
        if self.p_request != b"P" + bytes(15):
            self.errors.append("P request is %s" % self.p_request.hex())
        # 6. 'Q' part (maybe cut)
        q, u = sc.q_part(), sc.u_part()
        cut = sc.truncate_at
        if cut is not None and cut <= len(q):
            if cut:
                self._send_config(q[:cut])
            self.config_sent = cut
            self._note(phase="records")
            self._linger()
            return
        self._send_config(q)
        self.config_sent = len(q)
        self._note(phase="records")
        # 7. 'T'
        if sc.wait_t:
            t = self._recv_tls_exact(T_REQUEST_LEN, sc.t_timeout)
            self.t_request = TRequest.parse(t)
            self.errors.extend("T: " + p for p in self.t_request.problems())
            self._note()
        # 8. 'U' part (maybe cut)
        if cut is not None:
            part = u[:cut - len(q)]
            if part:
                self._send_config(part)
            self.config_sent += len(part)
            self._linger()
            return
        if sc.chunk > 0:
            self._send_config(u)
            if sc.extra_after_u:
                self._send_tls(sc.extra_after_u)
        else:
            self._send_tls(u + sc.extra_after_u)
        self.config_sent += len(u)
        self.bytes_sent += len(sc.extra_after_u)
        if sc.close_after_config:
            self._linger()
            return
        # 9. packets
        self._note(phase="relay")
        gw._tunnel_up(self)
        self._relay()

    def _linger(self, shut: bool = True) -> None:
        """After a cut, a refused reply or the last record: end our direction of the stream
        (the daemon sees the end) and take whatever it still sends, until it goes."""
        if shut:
            with self._wake_lock:
                if self._wake_open:
                    with contextlib.suppress(OSError):
                        self._ctl.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + self.gw.linger_timeout
        s = self.tls or self.raw_sock
        with contextlib.suppress(OSError, ssl.SSLError, ValueError):
            while not self._drop.is_set() and time.monotonic() < deadline:
                s.settimeout(0.5)
                try:
                    data = s.recv(65536)
                except socket.timeout:
                    continue
                if not data:
                    self.closed_by_peer = True
                    break
                self.trailing += data
        if (self.t_request is None and self.trailing[:1] == b"T"
                and len(self.trailing) >= T_REQUEST_LEN):
            self.t_request = TRequest.parse(self.trailing[:T_REQUEST_LEN])

    def _relay(self) -> None:
        sc = self.scenario
        tls = self.tls
        while not self.gw.stopping and not self._drop.is_set():
            # writes queued by tests (one record each) or by the relay and the TUN (packets
            # that may share a record)
            while not self._stalled.is_set():
                with self._cond:
                    if not self._out:
                        break
                    data, done, merge = self._out.popleft()
                    if merge:
                        parts = [data]
                        size = len(data)
                        while self._out and self._out[0][2] and size + len(self._out[0][0]) <= 16384:
                            nxt = self._out.popleft()
                            parts.append(nxt[0])
                            size += len(nxt[0])
                        data = b"".join(parts)
                try:
                    self._send_tls(data)
                    self.bytes_sent += len(data)
                    done.ok = True
                finally:
                    done.set()
            if self._stalled.is_set() or tls.pending() == 0:
                r, _, _ = select.select([tls, self._wake_r], [], [], 0.5)
                if self._wake_r in r:
                    os.read(self._wake_r, 4096)
                if tls not in r or self._stalled.is_set():
                    continue
            tls.settimeout(10)
            try:
                data = tls.recv(65536)
            except (ssl.SSLWantReadError, socket.timeout):
                continue
            if not data:
                self.closed_by_peer = True
                return
            self.bytes_received += len(data)
            self._cut(data)

    def _cut(self, data: bytes) -> None:
        buf = self._carry + data if self._carry else data
        n = len(buf)
        pos = 0
        pkts = []
        while n - pos >= 20:
            tl = (buf[pos + 2] << 8) | buf[pos + 3]
            if tl < 20:
                self.errors.append("total length %d in the daemon's stream" % tl)
                self.garbage += buf[pos:]
                pos = n
                break
            if n - pos < tl:
                break
            pkts.append(buf[pos:pos + tl])
            pos += tl
        self._carry = buf[pos:] if pos < n else b""
        if pkts:
            self._packets(pkts)

    def _packets(self, pkts: List[bytes]) -> None:
        """Packets from the daemon, in order: recorded, then answered or passed on."""
        sc = self.scenario
        keepalives = [raw[9] == 255 and raw[12] == 0 and raw[13] == 1 for raw in pkts]
        with self._cond:
            self.packets.extend(pkts)
            self.packet_count += len(pkts)
            self.keepalives += sum(keepalives)
            self._cond.notify_all()
        tun = self.gw.tun
        for raw, keepalive in zip(pkts, keepalives):
            if keepalive:
                if sc.answer_keepalive:
                    self._queue(keepalive_packet(), wake=False)
            elif sc.dns_zone and (answer := dns_answer_for(raw, sc.dns, sc.dns_zone)) is not None:
                with self._cond:
                    self.dns_queries.append(answer[1])
                self._queue(answer[0], wake=False)
            elif tun is not None:
                tun.write(raw)
            elif sc.answer_echo and raw[9] == 1 and Packet.parse(raw).is_echo_request:
                self._queue(echo_reply_for(raw), wake=False)

    def _queue(self, data: bytes, wake: bool = True) -> None:
        """A packet for the daemon; it may share a TLS record with its neighbours."""
        with self._cond:
            self._out.append((data, _NO_WAITER, True))
        if wake:
            self._wake()


# --------------------------------------------------------------------------
# The gateway
# --------------------------------------------------------------------------

def make_certificate(directory) -> Tuple[str, str]:
    """Self-signed certificate and key made with the openssl command."""
    d = pathlib.Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    cert, key = d / "gateway-cert.pem", d / "gateway-key.pem"
    if not cert.exists():
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", str(key), "-out", str(cert), "-days", "2",
                        "-subj", "/C=XX/O=Test Gateway/CN=gateway.test"],
                       check=True, capture_output=True, timeout=60)
    return str(cert), str(key)


class Gateway:
    """The test gateway: a listening socket and one thread per connection.

    `netns` is a callable giving a context manager that puts the calling thread in
    the namespace where the socket is to live (testhost.gw_ns); None: this one.
    """

    def __init__(self, tmp_dir, scenario: Optional[Scenario] = None, *,
                 host: str = GATEWAY_IP, port: int = GATEWAY_PORT, netns=None,
                 tls_min: ssl.TLSVersion = ssl.TLSVersion.MINIMUM_SUPPORTED,
                 tls_max: ssl.TLSVersion = ssl.TLSVersion.MAXIMUM_SUPPORTED,
                 ciphers: Optional[str] = None,
                 io_timeout: float = 20.0):
        self.scenario = scenario or Scenario()
        self.next_scenarios: List[Scenario] = []   # used, in order, before `scenario`
        self.host, self.port = host, port
        self.io_timeout = io_timeout
        self.linger_timeout = 10.0
        self.refuse_new = False
        self.logout_reply = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
        self.tun: Optional[GatewayTun] = None
        self.connections: List[GatewayConnection] = []
        self.stopping = False
        self._lock = threading.Condition()
        cert, key = make_certificate(tmp_dir)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        # whatever this OpenSSL allows by default, narrowed only when asked
        if tls_min != ssl.TLSVersion.MINIMUM_SUPPORTED:
            ctx.minimum_version = tls_min
        if tls_max != ssl.TLSVersion.MAXIMUM_SUPPORTED:
            ctx.maximum_version = tls_max
        if ciphers:
            # only these suites (TLS 1.2 and older), from TLS 1.0 on, with
            # finite-field DH parameters for the DHE ones
            if tls_min == ssl.TLSVersion.MINIMUM_SUPPORTED:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.set_ciphers(ciphers + ":@SECLEVEL=0")
            dh = pathlib.Path(tmp_dir) / "dh.pem"
            subprocess.run(["openssl", "genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt",
                            "dh_param:ffdhe2048", "-out", str(dh)], check=True,
                           capture_output=True, timeout=30)
            ctx.load_dh_params(str(dh))
        self.ssl_context = ctx
        self.cert_file = cert
        with (netns() if netns else contextlib.nullcontext()):
            ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind((host, port))
        ls.listen(64)
        ls.settimeout(0.2)
        self.port = ls.getsockname()[1]
        self._listener = ls
        self._tun_thread: Optional[threading.Thread] = None
        self._accept_thread = threading.Thread(target=self._accept_loop, name="gw-accept",
                                               daemon=True)
        self._accept_thread.start()

    @classmethod
    def in_testhost(cls, testhost, tmp_dir, scenario: Optional[Scenario] = None,
                    port: int = GATEWAY_PORT, **kw) -> "Gateway":
        return cls(tmp_dir, scenario, host=GATEWAY_IP, port=port, netns=testhost.gw_ns, **kw)

    # ---- context manager ----
    def __enter__(self) -> "Gateway":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def stop(self) -> None:
        self.stopping = True
        with contextlib.suppress(OSError):
            self._listener.close()
        self._accept_thread.join(5)
        for c in list(self.connections):
            c.drop()
        for c in list(self.connections):
            c.thread.join(5)
        if self._tun_thread:
            self._tun_thread.join(5)
        if self.tun:
            self.tun.close()

    # ---- accepting ----
    def _accept_loop(self) -> None:
        while not self.stopping:
            try:
                s, peer = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                sc = self.next_scenarios.pop(0) if self.next_scenarios else self.scenario
                c = GatewayConnection(self, s, peer, len(self.connections), sc)
                self.connections.append(c)
                self._lock.notify_all()
            c.thread.start()

    def _changed(self) -> None:
        with self._lock:
            self._lock.notify_all()

    def _tunnel_up(self, conn: GatewayConnection) -> None:
        self._changed()

    # ---- queries ----
    def wait_for(self, predicate: Callable[[], bool], timeout: float = 10.0) -> bool:
        deadline = time.monotonic() + timeout
        with self._lock:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return predicate()
                self._lock.wait(min(left, 0.2))
        return True

    def tunnels(self) -> List[GatewayConnection]:
        """Connections that reached the packet phase, in order."""
        return [c for c in list(self.connections) if c.phase == "relay"]

    def wait_tunnel(self, n: int = 1, timeout: float = 30.0) -> Optional[GatewayConnection]:
        """The n-th connection that reached the packet phase (1 = first)."""
        self.wait_for(lambda: len(self.tunnels()) >= n, timeout)
        t = self.tunnels()
        return t[n - 1] if len(t) >= n else None

    def current_tunnel(self) -> Optional[GatewayConnection]:
        live = [c for c in self.tunnels() if not c.closed]
        return live[-1] if live else None

    def wait_connections(self, n: int, timeout: float = 10.0,
                         kind: Optional[str] = None) -> bool:
        def count():
            return len([c for c in list(self.connections) if kind is None or c.kind == kind])
        return self.wait_for(lambda: count() >= n, timeout)

    @property
    def tcp_attempts(self) -> int:
        return len(self.connections)

    @property
    def tls_attempts(self) -> int:
        """Connections on which a TLS handshake was tried (the preamble came whole)."""
        return len([c for c in list(self.connections) if len(c.preamble) == PREAMBLE_LEN])

    @property
    def tls_failures(self) -> int:
        return len([c for c in list(self.connections) if c.tls_error])

    @property
    def preambles(self) -> List[bytes]:
        return [c.preamble for c in list(self.connections) if c.preamble]

    @property
    def tunnel_requests(self) -> List[bytes]:
        return [c.request for c in list(self.connections) if c.kind == "tunnel"]

    @property
    def logouts(self) -> List[bytes]:
        return [c.request for c in list(self.connections) if c.kind == "logout"]

    @property
    def bytes_received(self) -> int:
        return sum(c.bytes_received for c in list(self.connections))

    @property
    def bytes_sent(self) -> int:
        return sum(c.bytes_sent for c in list(self.connections))

    def errors(self) -> List[str]:
        return ["conn %d: %s" % (c.index, e) for c in list(self.connections) for e in c.errors]

    # ---- TUN ----
    def attach_tun(self, tun: GatewayTun) -> None:
        """From now on packets of the tunnel go to and come from `tun`."""
        self.tun = tun
        self._tun_thread = threading.Thread(target=self._tun_loop, name="gw-tun", daemon=True)
        self._tun_thread.start()

    def _tun_loop(self) -> None:
        tun = self.tun
        while not self.stopping and tun.fd >= 0:
            try:
                r, _, _ = select.select([tun.fd], [], [], 0.3)
            except (OSError, ValueError):
                return
            if not r:
                continue
            conn = self.current_tunnel()
            got = False
            for _ in range(64):   # what the device holds now, then one wake-up
                try:
                    pkt = os.read(tun.fd, 65536)
                except BlockingIOError:
                    break
                except OSError:
                    return
                if not pkt or pkt[0] >> 4 != 4:
                    continue   # IPv4 only: anything else would break the daemon's cutting
                if conn is not None and not conn._stalled.is_set():
                    conn._queue(pkt, wake=False)
                    got = True
            if got:
                conn._wake()
