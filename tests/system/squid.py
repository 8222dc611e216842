"""Debian's squid as the outside HTTP proxy of the test host.

One instance runs in the gateway namespace at an address of its own, as a
child of the test process (`squid -N -f CONF`, foreground; it drops to the
user proxy), never the packaged service:

    sq = Squid.start(testhost, workdir, address=SQUID_IP)          # NTLM + Basic
    sq.port("open")  # 200 to every CONNECT, no authentication
    sq.port("auth")  # 407 until proxy_auth passes (NTLM offered first, then Basic)
    sq.port("deny")  # 403 to every CONNECT
    sq.connects()    # [(status, user, target)] from its access log
    sq.stop()        # SIGTERM, wait (SIGKILL after 10 s); the access log stays readable

`basic_only=True` makes an instance whose authenticating port offers Basic
alone. The Basic users and passwords are USERS (bytes allowed); the NTLM
helper (ntlm_fake_auth) accepts any well-formed authenticate message and
names the user as "DOMAIN\\USER".

Squid resolves the CONNECT's host name itself: its hosts_file maps the test
gateway's host name to the test gateway's address. Ports the tests name in a
CONNECT must be listed in SSL_PORTS, or the default rule refuses them."""
from __future__ import annotations

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import gateway as g
import scenario

SQUID = "/usr/sbin/squid"
NTLM_HELPER = "/usr/lib/squid/ntlm_fake_auth"
BASIC_HELPER = "/usr/lib/squid/basic_ncsa_auth"
SQUID_IP = "198.18.0.8"          # the full instance (NTLM and Basic)
SQUID_BASIC_IP = "198.18.0.9"    # the Basic-only instance
PORTS = {"open": 3128, "auth": 3129, "deny": 3130}
SSL_PORTS = (443, 65535)

LONG_USER = b"u" * 63
LONG_PASSWD = b"p\xe9\xff" + b"q" * 28     # 31 bytes, some above 0x7F
USERS = {b"alice": b"wonderland", LONG_USER: LONG_PASSWD}


def _conf(d: Path, address: str, basic_only: bool) -> str:
    ntlm = "" if basic_only else f"auth_param ntlm program {NTLM_HELPER}\nauth_param ntlm children 2\n"
    listen = "\n".join(f"http_port {address}:{port} name={name}" for name, port in PORTS.items())
    return f"""\
{listen}
visible_hostname squid.test
pid_filename {d}/squid.pid
cache_log {d}/cache.log
access_log stdio:{d}/access.log squid
logformat squid %ts.%03tu %6tr %>a %Ss/%03>Hs %<st %rm %ru %[un %Sh/%<a %mt
cache deny all
coredump_dir {d}
netdb_filename none
pinger_enable off
shutdown_lifetime 1 seconds
hosts_file {d}/hosts
dns_nameservers 127.0.0.1
{ntlm}auth_param basic program {BASIC_HELPER} {d}/passwd
auth_param basic children 2
auth_param basic realm vpnc-test
acl SSL_ports port {' '.join(map(str, SSL_PORTS))}
acl CONNECT method CONNECT
acl open_port myportname open
acl auth_port myportname auth
acl deny_port myportname deny
acl authed proxy_auth REQUIRED
http_access deny CONNECT !SSL_ports
http_access deny deny_port
http_access allow open_port
http_access allow auth_port authed
http_access deny all
"""


class Squid:
    def __init__(self, testhost, folder: Path, address: str, proc: subprocess.Popen):
        self.th = testhost
        self.dir = folder
        self.address = address
        self.proc = proc
        self._kept: list[str] | None = None   # the access log, once the folder is gone

    @classmethod
    def start(cls, testhost, address: str = SQUID_IP, *, basic_only: bool = False,
              users: dict[bytes, bytes] = USERS, hostname: str = scenario.HOSTNAME,
              timeout: float = 30) -> "Squid":
        # its own folder, owned by proxy, where the user proxy can reach it
        folder = Path(tempfile.mkdtemp(prefix="vpnc-squid-"))
        os.chmod(folder, 0o755)
        lines = []
        for user, pw in users.items():
            h = subprocess.run(["openssl", "passwd", "-apr1", pw], capture_output=True, check=True).stdout.strip()
            lines.append(user + b":" + h + b"\n")
        (folder / "passwd").write_bytes(b"".join(lines))
        (folder / "hosts").write_text(f"{g.GATEWAY_IP} {hostname}\n")
        (folder / "squid.conf").write_text(_conf(folder, address, basic_only))
        ent = pwd.getpwnam("proxy")
        for p in [folder, *folder.iterdir()]:
            os.chown(p, ent.pw_uid, ent.pw_gid)
        testhost.run_gw(["ip", "addr", "add", f"{address}/32", "dev", testhost.gw_addr_dev], check=True)
        out = open(folder / "stderr", "wb")
        try:
            proc = testhost.popen_gw([SQUID, "-N", "-f", str(folder / "squid.conf")], stdout=out, stderr=out)
        finally:
            out.close()
        sq = cls(testhost, folder, address, proc)
        try:
            sq._wait_ready(timeout)
        except BaseException:
            sq.stop()
            raise
        return sq

    def port(self, name: str) -> int:
        return PORTS[name]

    def _accepts(self, port: int) -> bool:
        with self.th.gw_ns():
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        try:
            s.settimeout(1)
            s.connect((self.address, port))
            return True
        except OSError:
            return False
        finally:
            s.close()

    def _wait_ready(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"squid ended with {self.proc.returncode}: {self.log_tail()}")
            if all(self._accepts(p) for p in PORTS.values()):
                return
            time.sleep(0.1)
        raise AssertionError(f"squid did not accept connections in {timeout} s: {self.log_tail()}")

    def log_tail(self, n: int = 30) -> str:
        text = ""
        for name in ("stderr", "cache.log"):
            with_path = self.dir / name
            if with_path.exists():
                text += f"--- {name}\n" + "\n".join(with_path.read_text(errors="replace").splitlines()[-n:]) + "\n"
        return text

    def access_lines(self) -> list[str]:
        """squid's access log (after stop(): all it wrote)."""
        if self._kept is not None:
            return list(self._kept)
        p = self.dir / "access.log"
        return p.read_text(errors="replace").splitlines() if p.exists() else []

    def connects(self) -> list[tuple[int, str, str]]:
        """(status, user, target) of every CONNECT in the access log, in order."""
        out = []
        for line in self.access_lines():
            f = line.split()
            if len(f) >= 8 and f[5] == "CONNECT":
                out.append((int(f[3].split("/")[1]), f[7], f[6]))
        return out

    def wait_connect(self, status: int, timeout: float = 30) -> list[tuple[int, str, str]]:
        """The CONNECT lines once one with `status` is logged (squid logs a
        tunnel when it ends, a refusal at once)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = self.connects()
            if any(c[0] == status for c in got):
                return got
            time.sleep(0.1)
        raise AssertionError(f"no CONNECT {status} in squid's access log: {self.access_lines()}")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if self._kept is None:
            self._kept = self.access_lines()
        if self.th._gw is not None and self.th._gw.poll() is None:
            self.th.run_gw(["ip", "addr", "del", f"{self.address}/32", "dev", self.th.gw_addr_dev])
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "Squid":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()
