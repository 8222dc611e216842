"""The test host: a private "Mac" and a private "Internet" for the real daemon.

Two network namespaces without names, each kept alive by a holder process
(`unshare --net sleep`), joined by a cable (wire.py: one TAP device in each,
frames copied by a small process of ours):

    host namespace ("the Mac")            gateway namespace ("the Internet")
    en0 10.77.0.2/24  <---- wire ---->    uplink0 10.77.0.1/24
    default via 10.77.0.1                 198.18.0.1/32 (GATEWAY_IP) on a dummy

The daemon runs as root in the host namespace and in a mount namespace of its
own whose root is a new directory made of bind mounts of the real top-level
directories, except: /etc (a private copy), /tmp, /run, /Library, /usr/local
(private, writable, empty at start apart from what the test seeds), /dev (a
small tmpfs with the device nodes the daemon needs; /dev/log is a datagram
socket that this process reads) and /usr/sbin + /usr/bin (an overlay whose top
layer holds the macOS tool stand-ins, so /sbin/route, /usr/sbin/arp, ... exist
even where Linux has no such file). The real root is never written.
It also runs in the test host's own PID namespace (first process: the
reaper pid_init.py), whose /proc the private root mounts: `ps` there lists the
test's processes only.

Nothing stays behind: every process found in our namespaces is killed, the
holders end, the TAP devices vanish with the wire, the mounts exist only in
the private mount namespaces, and the work directory is removed. This runs
from the context manager, the pytest finalizer and atexit, whichever comes
first. Each namespace is held open by a descriptor until then: a namespace
id is only ever compared while the namespace is alive, so a freed id that
the kernel gave to someone else's namespace can never make us kill their
processes.
"""
from __future__ import annotations

import atexit
import contextlib
import ctypes
import json
import os
import re
import select
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path
from typing import Iterable, NamedTuple

HOST_IF = "en0"
HOST_IP = "10.77.0.2"
HOST_MAC = "02:00:0a:4d:00:02"
UPLINK_IF = "uplink0"
UPLINK_IP = "10.77.0.1"
UPLINK_MAC = "02:00:0a:4d:00:01"
PREFIX_LEN = 24
GATEWAY_IP = "198.18.0.1"
GATEWAY_IF = "gw0"
LAUNCHER_PORT = 6666

# Inside the private root: where the tool stand-ins write their journal.
CTL_DIR_INSIDE = "/run/vpnc-testhost"
JOURNAL_INSIDE = CTL_DIR_INSIDE + "/journal"

REPO = Path(__file__).resolve().parents[2]
_WIRE = Path(__file__).resolve().with_name("wire.py")
_PRIVATE_ROOT = Path(__file__).resolve().with_name("private_root.py")
_PID_INIT = Path(__file__).resolve().with_name("pid_init.py")
_PYTHON = "/usr/bin/python3"

CLONE_NEWNET = 0x40000000

_libc = ctypes.CDLL(None, use_errno=True)

# Top-level directories of the private root that are not bind mounts of the
# real ones.
_PRIVATE_TOP = {"etc", "tmp", "run", "Library", "dev", "proc", "sys"}
_SKIP_TOP = {"lost+found"}
_USR_LOCAL_SKELETON = ("bin", "etc", "include", "lib", "sbin", "share", "src",
                       "tevra_vpn")  # the folder the installer leaves for the daemon's downloads
# System folders a Mac has that the daemon writes into without creating them.
_LIBRARY_SKELETON = ("Frameworks",)
_DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def default_daemon() -> Path:
    """The daemon the tests run: $VPNC_DAEMON, else <repo>/build/vpnc_daemon."""
    env = os.environ.get("VPNC_DAEMON")
    return Path(env) if env else REPO / "build" / "vpnc_daemon"


def default_tools() -> list[Path]:
    """Every executable file in <repo>/tools/bin/ (none when the dir is missing)."""
    d = REPO / "tools" / "bin"
    if not d.is_dir():
        return []
    return sorted(p for p in d.iterdir()
                  if p.is_file() and os.access(p, os.X_OK) and not p.name.startswith("."))


def _guard(cmd: list[str]) -> list[str]:
    """The command, made to die with the test process even when that one is
    killed hard. The parent-death signal follows the thread that forks, so
    only processes started from the main thread get it (the others are
    still killed by close())."""
    if threading.current_thread() is threading.main_thread():
        return ["setpriv", "--pdeathsig", "KILL", "--", *cmd]
    return cmd


def _setns(fd: int) -> None:
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setns: " + os.strerror(err))


def _ns_id(pid: int | str, kind: str) -> str | None:
    try:
        return os.readlink(f"/proc/{pid}/ns/{kind}")
    except OSError:
        return None


def _in_namespaces(pid: int | str, wanted: dict[str, set]) -> bool:
    return any(ids and _ns_id(pid, kind) in ids for kind, ids in wanted.items())


def _kill_in_namespaces(wanted: dict[str, set], spare: set[int] = frozenset()) -> int:
    """SIGKILL every process in any of the namespaces wanted[kind], in one
    pass over /proc; answers how many were found. The caller keeps these
    namespaces alive (open descriptors), so their ids cannot have been
    reused by someone else's; a pidfd pins each process between the check
    and the signal. The test's own namespaces never count."""
    wanted = {k: {ns for ns in v if ns and ns != _ns_id("self", k)} for k, v in wanted.items()}
    me = os.getpid()
    found = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == me or int(entry) in spare:
            continue
        if not _in_namespaces(entry, wanted):
            continue
        try:
            fd = os.pidfd_open(int(entry))
        except OSError:
            continue
        try:
            if _in_namespaces(entry, wanted):
                found += 1
                with contextlib.suppress(OSError):
                    signal.pidfd_send_signal(fd, signal.SIGKILL)
        finally:
            os.close(fd)
    return found


def _kill(pid: int, sig: int = signal.SIGKILL) -> None:
    """Only for our own children that are not reaped yet (their pid cannot
    have been reused)."""
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.kill(pid, sig)


def _mounts_under(path: Path) -> list[str]:
    prefix = str(path).rstrip("/") + "/"
    out = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            mp = line.split()[4].encode().decode("unicode_escape")
            if mp == str(path) or mp.startswith(prefix):
                out.append(mp)
    return out


def _safe_rmtree(path: Path) -> None:
    """rmtree that never leaves the file system it starts on (a mount that
    somehow showed up under the work dir must not take real files with it)."""
    try:
        base_dev = os.lstat(path).st_dev
    except FileNotFoundError:
        return

    def walk(p: str) -> bool:
        clean = True
        with os.scandir(p) as it:
            for e in it:
                try:
                    st = e.stat(follow_symlinks=False)
                except FileNotFoundError:
                    continue
                if stat.S_ISDIR(st.st_mode):
                    if st.st_dev != base_dev:
                        clean = False
                        continue
                    if walk(e.path):
                        with contextlib.suppress(OSError):
                            os.rmdir(e.path)
                    else:
                        clean = False
                else:
                    with contextlib.suppress(OSError):
                        os.unlink(e.path)
        return clean

    if walk(str(path)):
        with contextlib.suppress(OSError):
            os.rmdir(path)


class LogRecord(NamedTuple):
    raw: str        # the datagram as it arrived ("<prio>timestamp ident[pid]: msg")
    prio: int       # facility * 8 + severity; -1 when the line had none
    ident: str
    pid: int | None
    msg: str        # the message part, trailing newlines removed
    time: float     # when it arrived (time.monotonic())


_SYSLOG_RE = re.compile(
    r"^<(\d{1,3})>"
    r"(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?"
    r"(?:([^\s:\[]+)(?:\[(\d+)\])?: )?"
    r"(.*)$", re.S)


def parse_syslog(raw: str) -> LogRecord:
    m = _SYSLOG_RE.match(raw)
    if not m:
        return LogRecord(raw, -1, "", None, raw.rstrip("\n"), time.monotonic())
    return LogRecord(raw, int(m.group(1)), m.group(2) or "",
                     int(m.group(3)) if m.group(3) else None,
                     m.group(4).rstrip("\n"), time.monotonic())


class TestHostError(RuntimeError):
    pass


_live: "weakref.WeakSet[TestHost]" = weakref.WeakSet()


@atexit.register
def _close_all():
    for th in list(_live):
        th.close()


class NamedProcess:
    """A process started by TestHost.start_named()."""

    def __init__(self, waiter: subprocess.Popen, pid: int, pidfd: int):
        self.waiter, self.pid, self._pidfd = waiter, pid, pidfd

    def stop(self) -> None:
        if self._pidfd is None:
            return
        with contextlib.suppress(ProcessLookupError):
            signal.pidfd_send_signal(self._pidfd, signal.SIGKILL)
        self.waiter.wait(timeout=10)
        os.close(self._pidfd)
        self._pidfd = None


class TestHost:
    """See the module text. Use as a context manager or through the pytest
    fixture `testhost`; `close()` may be called any number of times."""

    __test__ = False  # not a pytest test class

    GATEWAY_IP = GATEWAY_IP
    HOST_IP = HOST_IP
    UPLINK_IP = UPLINK_IP
    HOST_IF = HOST_IF
    UPLINK_IF = UPLINK_IF

    def __init__(self, tmp_path: os.PathLike | str, *, daemon: os.PathLike | str | None = None):
        self.base = Path(tmp_path) / "testhost"
        self.daemon_path = Path(daemon) if daemon else default_daemon()
        self.etc_dir = self.base / "etc"
        self.tmp_dir = self.base / "tmp"
        self.run_dir = self.base / "run"
        self.library_dir = self.base / "Library"
        self.usr_local_dir = self.base / "usr_local"
        self.ctl_dir = self.run_dir / CTL_DIR_INSIDE.rsplit("/", 1)[1]
        self.journal_path = self.ctl_dir / "journal"
        self.root_dir = self.base / "root"
        self.daemon: subprocess.Popen | None = None
        self.gw_addr_dev = GATEWAY_IF
        self._host: subprocess.Popen | None = None
        self._gw: subprocess.Popen | None = None
        self._wire: subprocess.Popen | None = None
        self._pidns: subprocess.Popen | None = None
        self._host_ns = self._gw_ns = None
        # the daemon itself inside the PID namespace: (pid, pidfd)
        self._daemon_proc: tuple[int, int] | None = None
        # namespace id -> descriptor that keeps that namespace alive (and so
        # its id ours) until close()
        self._ns_fds: dict[str, int] = {}
        self._popens: list[subprocess.Popen] = []
        self._starts = 0
        self._log_sock: socket.socket | None = None
        self._log_thread: threading.Thread | None = None
        self._log_records: list[LogRecord] = []
        self._log_cond = threading.Condition()
        self._log_stop = False
        self._started = False
        self._closed = False
        self._lock = threading.RLock()

    # ----------------------------------------------------------- life cycle
    def __enter__(self) -> "TestHost":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def start(self) -> "TestHost":
        if self._started:
            return self
        if os.geteuid() != 0:
            raise TestHostError("the test host needs root")
        self._started = True
        _live.add(self)
        try:
            self.base.mkdir(parents=True, exist_ok=True)
            self._make_namespaces()
            self._make_private_tree()
            self._start_log_reader()
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        with self._lock:
            if self._closed or not self._started:
                self._closed = True
                return
            self._closed = True
        # everything that lives in our mount namespaces: the daemon, its
        # commands, and what they left running
        holders = self._holder_pids()
        wanted = {"mnt": {ns for ns in self._ns_fds if ns.startswith("mnt:")},
                  "net": {ns for ns in self._ns_fds if ns.startswith("net:")},
                  "pid": {ns for ns in self._ns_fds if ns.startswith("pid:")}}
        for _ in range(50):
            children = [p for p in (self.daemon, *self._popens) if p is not None and p.poll() is None]
            for p in children:
                _kill(p.pid)
            if not _kill_in_namespaces(wanted, spare=holders) and not children:
                break
            self._reap()
            time.sleep(0.01)
        for p in (self._pidns, self._wire, self._host, self._gw):
            if p is not None and p.poll() is None:
                _kill(p.pid)
        self._reap(wait=True)
        self._forget_daemon_proc()
        for fd in self._ns_fds.values():
            os.close(fd)
        self._ns_fds.clear()
        self._log_stop = True
        if self._log_sock is not None:
            with contextlib.suppress(OSError):
                self._log_sock.shutdown(socket.SHUT_RDWR)
        if self._log_thread is not None:
            self._log_thread.join(timeout=2)
        if self._log_sock is not None:
            self._log_sock.close()
        if self.base.exists():
            if _mounts_under(self.base):
                print(f"testhost: mounts left under {self.base}, not removing it", file=sys.stderr)
            else:
                _safe_rmtree(self.base)
        _live.discard(self)

    def _holder_pids(self) -> set[int]:
        return {p.pid for p in (self._host, self._gw) if p is not None}

    def _reap(self, wait: bool = False) -> None:
        for p in [self.daemon, self._pidns, self._wire, self._host, self._gw, *self._popens]:
            if p is None:
                continue
            if wait:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    p.wait(timeout=5)
            else:
                p.poll()

    # ----------------------------------------------------------- namespaces
    def _holder(self) -> tuple[subprocess.Popen, str]:
        own = _ns_id("self", "net")
        p = subprocess.Popen(_guard(["unshare", "--net", "--", "sleep", "infinity"]),
                             stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            ns = _ns_id(p.pid, "net")
            if ns and ns != own and os.readlink(f"/proc/{p.pid}/exe").endswith("sleep"):
                return p, ns
            if p.poll() is not None:
                break
            time.sleep(0.005)
        _kill(p.pid)
        raise TestHostError("network namespace holder did not come up")

    def _hold_ns(self, pid: int, kind: str, expect: str | None = None) -> str | None:
        """Keep the namespace of our (unreaped) child `pid` alive until
        close(); its id, or None when it is not the one expected."""
        try:
            fd = os.open(f"/proc/{pid}/ns/{kind}", os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return None
        ns = os.readlink(f"/proc/self/fd/{fd}")
        if ns == _ns_id("self", kind) or (expect is not None and ns != expect):
            os.close(fd)
            return None
        if ns in self._ns_fds:
            os.close(fd)
        else:
            self._ns_fds[ns] = fd
        return ns

    def _make_namespaces(self) -> None:
        self._host, self._host_ns = self._holder()
        self._hold_ns(self._host.pid, "net", self._host_ns)
        self._gw, self._gw_ns = self._holder()
        self._hold_ns(self._gw.pid, "net", self._gw_ns)
        self._make_uplink()
        self.run_host(f"""set -e
            ip link set lo up
            ip link set {HOST_IF} address {HOST_MAC}
            ip addr add {HOST_IP}/{PREFIX_LEN} dev {HOST_IF}
            ip link set {HOST_IF} up
            ip route add default via {UPLINK_IP} dev {HOST_IF}
            """, check=True)
        self.run_gw(f"""set -e
            ip link set lo up
            ip link set {UPLINK_IF} address {UPLINK_MAC}
            ip addr add {UPLINK_IP}/{PREFIX_LEN} dev {UPLINK_IF}
            ip link set {UPLINK_IF} up
            sysctl -q -w net.ipv4.ip_forward=1
            """, check=True)
        # a dummy interface where the kernel has one; else the loopback
        # carries the address (the host cannot tell the difference)
        r = self.run_gw(f"ip link add {GATEWAY_IF} type dummy && ip link set {GATEWAY_IF} up")
        if r.returncode != 0:
            self.gw_addr_dev = "lo"
        self.run_gw(f"ip addr add {GATEWAY_IP}/32 dev {self.gw_addr_dev}", check=True)
        self._make_pid_namespace()

    def _make_uplink(self) -> None:
        """The cable between the namespaces: HOST_IF in the host one,
        UPLINK_IF in the gateway one, copied frame by frame by wire.py."""
        self._wire = subprocess.Popen(
            _guard([_PYTHON, str(_WIRE), self.host_ns_path, HOST_IF, self.gw_ns_path, UPLINK_IF]),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, start_new_session=True)
        ready, _, _ = select.select([self._wire.stdout], [], [], 10)
        line = self._wire.stdout.readline() if ready else b""
        if line.strip() != b"ready":
            raise TestHostError("the wire between the namespaces did not come up")
        self._wire.stdout.close()

    def _make_pid_namespace(self) -> None:
        """The test host's own PID namespace, its first process a reaper
        (pid_init.py). The daemon and every private command run in it, and
        the private root mounts its /proc from it: `ps` there lists the
        test's processes only."""
        self._pidns = subprocess.Popen(
            _guard(["nsenter", f"--net={self.host_ns_path}", "--", "unshare", "--pid", "--fork",
                    "--kill-child", "--", _PYTHON, "-I", "-S", str(_PID_INIT)]),
            stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            init = self._children(self._pidns.pid)
            if init and _ns_id(init[0], "pid") == _ns_id(self._pidns.pid, "pid_for_children") \
                    and self._hold_ns(self._pidns.pid, "pid_for_children"):
                return
            if self._pidns.poll() is not None:
                break
            time.sleep(0.005)
        raise TestHostError("PID namespace of the test host did not come up")

    @property
    def pid_ns_path(self) -> str:
        return f"/proc/{self._pidns.pid}/ns/pid_for_children"

    @staticmethod
    def _children(pid: int) -> list[int]:
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                return [int(x) for x in f.read().split()]
        except (OSError, ValueError):
            return []

    @property
    def host_ns_path(self) -> str:
        return f"/proc/{self._host.pid}/ns/net"

    @property
    def gw_ns_path(self) -> str:
        return f"/proc/{self._gw.pid}/ns/net"

    @contextlib.contextmanager
    def _in_ns(self, path: str):
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        target = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            _setns(target)
            try:
                yield
            finally:
                _setns(own)
        finally:
            os.close(target)
            os.close(own)

    def host_ns(self):
        """Context manager: the calling thread is in the host namespace
        (sockets made inside stay there)."""
        return self._in_ns(self.host_ns_path)

    def gw_ns(self):
        """Context manager: the calling thread is in the gateway namespace."""
        return self._in_ns(self.gw_ns_path)

    @staticmethod
    def _argv(cmd) -> list[str]:
        return ["/bin/sh", "-c", cmd] if isinstance(cmd, str) else [str(c) for c in cmd]

    def _run_in(self, ns_path: str, cmd, **kw) -> subprocess.CompletedProcess:
        kw.setdefault("capture_output", True)
        kw.setdefault("text", True)
        kw.setdefault("timeout", 30)
        kw.setdefault("stdin", subprocess.DEVNULL)
        check = kw.pop("check", False)
        r = subprocess.run(["nsenter", f"--net={ns_path}", "--", *self._argv(cmd)], **kw)
        if check and r.returncode != 0:
            raise TestHostError(f"{cmd!r} failed ({r.returncode}): {r.stderr}")
        return r

    def run_host(self, cmd, **kw) -> subprocess.CompletedProcess:
        """subprocess.run in the host namespace (real file system). A string
        runs under /bin/sh -c. Output is captured as text; 30 s time-out."""
        return self._run_in(self.host_ns_path, cmd, **kw)

    def run_gw(self, cmd, **kw) -> subprocess.CompletedProcess:
        """subprocess.run in the gateway namespace."""
        return self._run_in(self.gw_ns_path, cmd, **kw)

    def _popen_in(self, ns_path: str, cmd, **kw) -> subprocess.Popen:
        kw.setdefault("stdin", subprocess.DEVNULL)
        p = subprocess.Popen(_guard(["nsenter", f"--net={ns_path}", "--", *self._argv(cmd)]),
                             start_new_session=True, **kw)
        self._popens.append(p)
        return p

    def popen_host(self, cmd, **kw) -> subprocess.Popen:
        """A long-running process in the host namespace; killed at close()."""
        return self._popen_in(self.host_ns_path, cmd, **kw)

    def popen_gw(self, cmd, **kw) -> subprocess.Popen:
        """A long-running process in the gateway namespace (a proxy, a
        server); killed at close()."""
        return self._popen_in(self.gw_ns_path, cmd, **kw)

    def outer_pid(self, inner: int) -> int | None:
        """The pid, as this process sees it, of the process that has pid
        `inner` in the test host's PID namespace (what `$!` or `ps` print
        inside); None when there is none."""
        ns = _ns_id(self._pidns.pid, "pid_for_children")
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                if _ns_id(entry, "pid") != ns:
                    continue
                with open(f"/proc/{entry}/status") as f:
                    for line in f:
                        if line.startswith("NSpid:") and int(line.split()[-1]) == inner:
                            return int(entry)
            except (OSError, ValueError):
                continue
        return None

    def start_named(self, name: str, program: str = "/bin/sleep",
                    args: Iterable[str] = ("infinity",)) -> "NamedProcess":
        """A process whose name (what `ps` shows) is `name`, in the test
        host's PID namespace: a stand-in for a program the daemon looks for.
        Stopped with .stop(); killed at close() otherwise."""
        if "/" in name or not name:
            raise TestHostError(f"bad process name {name!r}")
        d = self.base / f"named-{len(self._popens)}"
        d.mkdir()
        os.symlink(program, d / name)
        p = subprocess.Popen(_guard(["nsenter", f"--net={self.host_ns_path}", f"--pid={self.pid_ns_path}",
                                     "--", str(d / name), *args]),
                             stdin=subprocess.DEVNULL, start_new_session=True)
        self._popens.append(p)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for child in self._children(p.pid):
                with contextlib.suppress(OSError):
                    if Path(f"/proc/{child}/comm").read_text().strip() == name[:15]:
                        return NamedProcess(p, child, os.pidfd_open(child))
            if p.poll() is not None:
                break
            time.sleep(0.005)
        raise TestHostError(f"process {name} did not start")

    # --------------------------------------------------------- net queries
    def routes(self) -> list[str]:
        """`ip -4 route show table main` in the host namespace, one line each."""
        return self._lines(self.run_host(["ip", "-4", "route", "show", "table", "main"], check=True))

    def neigh(self) -> list[str]:
        """`ip -4 neigh show` in the host namespace, one line each."""
        return self._lines(self.run_host(["ip", "-4", "neigh", "show"], check=True))

    def addrs(self) -> dict[str, list[str]]:
        """IPv4 addresses per interface of the host namespace: {"en0": ["10.77.0.2/24"], ...}."""
        r = self.run_host(["ip", "-j", "-4", "addr", "show"], check=True)
        return {i["ifname"]: [f'{a["local"]}/{a["prefixlen"]}' for a in i.get("addr_info", [])]
                for i in json.loads(r.stdout or "[]")}

    def links(self) -> dict[str, dict]:
        """`ip -j link show` of the host namespace, by interface name."""
        r = self.run_host(["ip", "-j", "link", "show"], check=True)
        return {i["ifname"]: i for i in json.loads(r.stdout or "[]")}

    @staticmethod
    def _lines(r: subprocess.CompletedProcess) -> list[str]:
        return [ln.strip() for ln in r.stdout.splitlines() if ln.strip()]

    def listening(self, port: int = LAUNCHER_PORT) -> bool:
        """True when a TCP socket listens on 127.0.0.1 (or any address) at
        `port` in the host namespace. Does not connect."""
        want = {f"0100007F:{port:04X}", f"7F000001:{port:04X}", f"00000000:{port:04X}"}
        try:
            with open(f"/proc/{self._host.pid}/net/tcp") as f:
                next(f)
                for line in f:
                    parts = line.split()
                    if parts[1] in want and parts[3] == "0A":
                        return True
        except OSError:
            pass
        return False

    def describe_daemon(self) -> str:
        """Status, stderr and log tail of the daemon, for failure messages."""
        if self.daemon is None:
            return "no daemon started"
        err = self.daemon_output()[1][-2000:]
        tail = "\n".join(self.log_lines()[-15:])
        return f"daemon status {self.daemon.poll()}; stderr:\n{err}\nlog tail:\n{tail}"

    def wait_listening(self, port: int = LAUNCHER_PORT, timeout: float = 5) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.listening(port):
                return True
            if self.daemon is not None and self.daemon.poll() is not None:
                return False
            time.sleep(0.02)
        return self.listening(port)

    # ------------------------------------------------------- private tree
    def _make_private_tree(self) -> None:
        subprocess.run(["cp", "-a", "/etc", str(self.etc_dir)], check=True, timeout=60)
        # as on macOS: the resolver file is rendered from the network-service
        # store into /var/run (sysconfig_store.seed, the daemon's writes)
        resolv = self.etc_dir / "resolv.conf"
        if resolv.exists() or resolv.is_symlink():
            resolv.unlink()
        os.symlink("/var/run/resolv.conf", resolv)
        for d in (self.tmp_dir, self.run_dir / "lock", self.ctl_dir, self.library_dir):
            d.mkdir(parents=True, exist_ok=True)
        if (REPO / "tools").is_dir():
            # the tool stand-ins' module at a fixed place inside: a stand-in
            # copied over /usr/bin gets no VPNC_TOOLS_DIR from the daemon
            os.symlink(REPO / "tools", self.ctl_dir / "tools")
        os.chmod(self.tmp_dir, 0o1777)
        os.chmod(self.run_dir / "lock", 0o1777)
        for d in _USR_LOCAL_SKELETON:
            (self.usr_local_dir / d).mkdir(parents=True, exist_ok=True)
        for d in _LIBRARY_SKELETON:
            (self.library_dir / d).mkdir(parents=True, exist_ok=True)
        self.journal_path.touch()
        os.chmod(self.journal_path, 0o666)
        # the new root: one mount point for every real top-level entry
        r = self.root_dir
        r.mkdir()
        for name in sorted(os.listdir("/")) + ["Library"]:
            if name in _SKIP_TOP or (r / name).exists() or (r / name).is_symlink():
                continue
            real = Path("/") / name
            if name in _PRIVATE_TOP:
                (r / name).mkdir()
            elif real.is_symlink():
                os.symlink(os.readlink(real), r / name)
            elif real.is_dir():
                (r / name).mkdir()
            elif real.is_file():
                (r / name).touch()

    def _setup_spec(self, tools_dir: Path | None, marker: Path,
                    binds: Iterable[Path], close_stdin: bool) -> dict:
        r = self.root_dir
        steps: list[list] = []
        for name in sorted(os.listdir(r)):
            real = Path("/") / name
            if name in _PRIVATE_TOP or (r / name).is_symlink():
                continue
            if real.is_dir() and not real.is_symlink():
                steps.append(["rbind", str(real), str(r / name)])
            elif real.is_file():
                steps.append(["bind", str(real), str(r / name)])
        steps += [
            ["mount", "proc", str(r / "proc"), None],
            ["sysfs", str(r / "sys")],
            ["bind", "etc", str(r / "etc")],
            ["bind", "tmp", str(r / "tmp")],
            ["bind", "run", str(r / "run")],
            ["bind", "Library", str(r / "Library")],
            ["bind", "usr_local", str(r / "usr/local")],
        ]
        if tools_dir is not None:
            # relative lower dir: the work dir's own path may hold ',' or ':'
            rel = tools_dir.relative_to(self.base)
            for d in ("usr/sbin", "usr/bin"):
                steps.append(["mount", "overlay", str(r / d), f"lowerdir={rel}:/{d}"])
        dev = r / "dev"
        steps.append(["mount", "tmpfs", str(dev), "mode=755,size=1m"])
        for n in _DEV_NODES:
            if os.path.exists(f"/dev/{n}"):
                steps += [["touch", str(dev / n)], ["bind", f"/dev/{n}", str(dev / n)]]
        steps += [
            ["mkdir", str(dev / "pts")], ["mkdir", str(dev / "shm")], ["mkdir", str(dev / "net")],
            ["mount", "devpts", str(dev / "pts"), "newinstance,ptmxmode=0666,mode=620"],
            ["symlink", "pts/ptmx", str(dev / "ptmx")],
            ["mount", "tmpfs", str(dev / "shm"), "mode=1777,size=16m"],
            ["symlink", "/proc/self/fd", str(dev / "fd")],
            ["symlink", "/proc/self/fd/0", str(dev / "stdin")],
            ["symlink", "/proc/self/fd/1", str(dev / "stdout")],
            ["symlink", "/proc/self/fd/2", str(dev / "stderr")],
            ["touch", str(dev / "log")],
            ["bind", str(self.ctl_dir / "log"), str(dev / "log")],
        ]
        if os.path.exists("/dev/net/tun"):
            steps += [["touch", str(dev / "net/tun")], ["bind", "/dev/net/tun", str(dev / "net/tun")]]
        for b in binds:
            # a real directory hidden by a private one (a build dir in /tmp)
            steps += [["mkdir", str(r) + str(b)], ["bind", str(b), str(r) + str(b)]]
        return {"base": str(self.base), "root": str(r), "marker": str(marker),
                "close_stdin": close_stdin, "steps": steps}

    @staticmethod
    def _hidden(path) -> bool:
        """True when a real path is covered by a private directory inside."""
        parts = Path(path).resolve().parts
        return len(parts) > 2 and (parts[1] in _PRIVATE_TOP or parts[1:3] == ("usr", "local"))

    def _hidden_binds(self, dirs: Iterable[Path]) -> list[Path]:
        """The real directories among `dirs` that the private root would
        hide (a build dir or a checkout under /tmp): bound at their own
        path inside."""
        out: list[Path] = []
        for d in sorted({Path(d).resolve() for d in dirs}, key=lambda p: len(p.parts)):
            if d.is_dir() and self._hidden(d) and not any(d.is_relative_to(o) for o in out):
                out.append(d)
        return out

    def _install_tools(self, tools, n: int) -> Path | None:
        if tools is None:
            tools = default_tools()
        if isinstance(tools, dict):
            items = [(str(k), Path(v)) for k, v in tools.items()]
        else:
            items = [(Path(t).name, Path(t)) for t in tools]
        if not items:
            return None
        layer = self.base / f"tools-{n}"
        layer.mkdir()
        for name, src in items:
            if "/" in name or not src.is_file():
                raise TestHostError(f"tool stand-in {name}: {src} is not a file")
            if self._hidden(src):
                shutil.copy2(src, layer / name)
                os.chmod(layer / name, 0o755)
            else:
                # a link keeps the stand-in's own directory (and its helpers)
                # reachable through its real path
                os.symlink(src.resolve(), layer / name)
        return layer

    def _private_cmd(self, argv: list[str], tools, close_stdin: bool,
                     program: str | None = None) -> tuple[list[str], Path]:
        if not self._started or self._closed:
            raise TestHostError("the test host is not running")
        self._starts += 1
        n = self._starts
        layer = self._install_tools(tools, n)
        marker = self.base / f"mntns-{n}"
        dirs = [Path(program or argv[0]).resolve().parent]
        if (REPO / "tools").is_dir():
            dirs.append(REPO / "tools")  # VPNC_TOOLS_DIR
        binds = self._hidden_binds(dirs)
        spec = self.base / f"setup-{n}.json"
        spec.write_text(json.dumps(self._setup_spec(layer, marker, binds, close_stdin), indent=1))
        # nsenter forks into the PID namespace and passes the status of its
        # child (the command) on as its own
        cmd = ["nsenter", f"--net={self.host_ns_path}", f"--pid={self.pid_ns_path}", "--",
               "unshare", "--mount", "--propagation", "private", "--",
               _PYTHON, "-I", "-S", str(_PRIVATE_ROOT), str(spec), *argv]
        return cmd, marker

    def _env(self, extra_env) -> dict:
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C",
               "VPNC_TOOL_JOURNAL": JOURNAL_INSIDE}
        if (REPO / "tools").is_dir():
            env["VPNC_TOOLS_DIR"] = str(REPO / "tools")
        for k, v in os.environ.items():
            if k.endswith("SAN_OPTIONS"):
                env[k] = v
        env.update(extra_env or {})
        return env

    def _wait_marker(self, marker: Path, proc: subprocess.Popen, what: str,
                     timeout: float = 15) -> None:
        """Wait until the private root is set up; keep its mount namespace
        (while `proc` still runs in it) for close()."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = marker.read_text().strip() if marker.exists() else ""
            if text.endswith("]"):
                for child in self._children(proc.pid):
                    self._hold_ns(child, "mnt", text)
                return
            if proc.poll() is not None:
                if text:
                    return  # set up, and already done
                break
            time.sleep(0.002)
        raise TestHostError(f"{what}: private root not set up (status {proc.poll()})")

    # ------------------------------------------------------------- daemon
    def start_daemon(self, extra_env: dict | None = None, *, args: Iterable[str] = (),
                     tools=None, close_stdin: bool = False,
                     daemon: os.PathLike | str | None = None,
                     wrapper: Iterable[str] | None = None,
                     umask: int | None = None) -> subprocess.Popen:
        """Start the daemon (as root, host namespace, private root).

        tools: None = every executable in <repo>/tools/bin/; else a list of
        files (installed under their own names) or a dict name -> file. Each
        appears in /usr/sbin (so also /sbin) and in /usr/bin.
        close_stdin: the daemon starts with descriptor 0 closed.
        wrapper: a command prefix run inside the private root, e.g.
        ["setarch", "x86_64", "-R"] for a TSan build; default from the
        env var VPNC_DAEMON_WRAPPER (split like a shell would), else none.
        umask: the umask the daemon is started with (default: the test's).
        Returns the Popen (also `self.daemon`); its status is the daemon's,
        and `daemon_pid` the daemon's pid."""
        if self.daemon is not None and self.daemon.poll() is None:
            raise TestHostError("a daemon is already running in this test host")
        path = Path(daemon) if daemon else self.daemon_path
        if not path.is_file() or not os.access(path, os.X_OK):
            raise TestHostError(f"daemon binary {path} is missing (build it, or set VPNC_DAEMON)")
        if wrapper is None:
            wrapper = shlex.split(os.environ.get("VPNC_DAEMON_WRAPPER", ""))
        argv = [*wrapper, str(path.resolve()), *args]
        cmd, marker = self._private_cmd(argv, tools, close_stdin, program=str(path.resolve()))
        n = self._starts
        out = open(self.base / f"daemon-{n}.out", "wb")
        err = open(self.base / f"daemon-{n}.err", "wb")
        self._daemon_out = (out.name, err.name)
        try:
            self.daemon = subprocess.Popen(_guard(cmd), env=self._env(extra_env),
                                           stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                           start_new_session=True,
                                           umask=-1 if umask is None else umask)
        finally:
            out.close()
            err.close()
        self._forget_daemon_proc()
        self._wait_marker(marker, self.daemon, "daemon")
        for child in self._children(self.daemon.pid):
            with contextlib.suppress(OSError):
                self._daemon_proc = (child, os.pidfd_open(child))
        # send_signal(), terminate() and kill() reach the daemon itself, not
        # the nsenter that waits for it
        proc, target = self.daemon, self._daemon_proc

        def send_signal(sig: int) -> None:
            # this daemon only, while its pidfd is still held
            if proc.poll() is None and target is not None and self._daemon_proc is target:
                with contextlib.suppress(ProcessLookupError):
                    signal.pidfd_send_signal(target[1], sig)
        self.daemon.send_signal = send_signal
        return self.daemon

    def _forget_daemon_proc(self) -> None:
        if self._daemon_proc is not None:
            os.close(self._daemon_proc[1])
            self._daemon_proc = None

    @property
    def daemon_pid(self) -> int | None:
        """The daemon's pid as this process sees it (the Popen's pid is the
        nsenter that waits for it in the PID namespace)."""
        return self._daemon_proc[0] if self._daemon_proc is not None else None

    @property
    def daemon_status(self) -> int | None:
        """Exit status of the daemon (negative: killed by that signal);
        None while it runs or before it started."""
        return self.daemon.poll() if self.daemon is not None else None

    def signal_daemon(self, sig: int = signal.SIGTERM) -> None:
        if self.daemon is None or self.daemon.poll() is not None or self._daemon_proc is None:
            raise TestHostError("no daemon running")
        signal.pidfd_send_signal(self._daemon_proc[1], sig)

    def wait_daemon_exit(self, timeout: float = 10) -> int:
        """Wait for the daemon to end; its exit status. AssertionError when it
        still runs after `timeout` seconds (it is left running)."""
        if self.daemon is None:
            raise TestHostError("no daemon was started")
        try:
            return self.daemon.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"daemon still running after {timeout} s; log tail:\n"
                                 + "\n".join(self.log_lines()[-20:])) from None

    def daemon_output(self) -> tuple[str, str]:
        """(stdout, stderr) of the last daemon so far."""
        o, e = self._daemon_out
        return (Path(o).read_text(errors="replace"), Path(e).read_text(errors="replace"))

    SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                       "WARNING: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer")

    def sanitizer_reports(self) -> list[str]:
        """Reports of a sanitizer build of the daemon: every daemon stderr of
        this test host that holds one, and an end by SIGABRT (what
        abort_on_error makes of a report that could not be written)."""
        found = []
        if self.base.exists():
            for err in sorted(self.base.glob("daemon-*.err")):
                text = err.read_text(errors="replace")
                if any(m in text for m in self.SANITIZER_MARKS):
                    found.append(f"{err.name}:\n{text[-6000:]}")
        if self.daemon is not None and self.daemon.poll() == -signal.SIGABRT:
            found.append("the daemon ended by SIGABRT")
        return found

    def run_private(self, cmd, *, tools=None, extra_env: dict | None = None,
                    timeout: float = 30, close_stdin: bool = False) -> subprocess.CompletedProcess:
        """Run a command as the daemon would run: host namespace, private root
        (same /etc, /tmp, /Library, /usr/local, /dev/log, stand-ins). For
        seeding or checking what the daemon sees, and for the stand-ins'
        own tests. Processes it leaves behind are killed at close()."""
        argv = self._argv(cmd)
        pcmd, marker = self._private_cmd(argv, tools, close_stdin)
        p = subprocess.Popen(_guard(pcmd), env=self._env(extra_env), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             start_new_session=True)
        self._popens.append(p)
        start = time.monotonic()
        try:
            self._wait_marker(marker, p, "run_private", timeout)
        except TestHostError:
            if p.poll() is None:
                _kill(p.pid)
            out, err = p.communicate()
            raise TestHostError(f"run_private: private root not set up: {err.decode(errors='replace')}")
        try:
            out, err = p.communicate(timeout=max(0.1, timeout - (time.monotonic() - start)))
        except subprocess.TimeoutExpired:
            _kill(p.pid)
            p.communicate()
            raise
        return subprocess.CompletedProcess(argv, p.returncode, out.decode(errors="replace"),
                                           err.decode(errors="replace"))

    # --------------------------------------------------------------- logs
    def _start_log_reader(self) -> None:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        # through /proc/self/fd: a socket path is limited to 108 bytes
        dfd = os.open(self.ctl_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            s.bind(f"/proc/self/fd/{dfd}/log")
        finally:
            os.close(dfd)
        os.chmod(self.ctl_dir / "log", 0o666)
        s.settimeout(0.2)
        self._log_sock = s
        self._log_thread = threading.Thread(target=self._log_loop, name="testhost-log", daemon=True)
        self._log_thread.start()

    def _log_loop(self) -> None:
        while not self._log_stop:
            try:
                data = self._log_sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data and self._log_stop:
                return
            rec = parse_syslog(data.decode("utf-8", "replace"))
            with self._log_cond:
                self._log_records.append(rec)
                self._log_cond.notify_all()

    def log_records(self) -> list[LogRecord]:
        with self._log_cond:
            return list(self._log_records)

    def log_lines(self) -> list[str]:
        """The message part of every syslog line so far, in order."""
        return [r.msg for r in self.log_records()]

    def log_raw(self) -> list[str]:
        """Every syslog datagram as it arrived."""
        return [r.raw for r in self.log_records()]

    def log_mark(self) -> int:
        """A position in the log, for wait_log(start=...)."""
        with self._log_cond:
            return len(self._log_records)

    def wait_log(self, regex, timeout: float = 10, start: int = 0) -> re.Match:
        """Wait for a message (searched with re.search, from line `start`
        on) and return its match. AssertionError with the log tail on
        timeout, or when the daemon ended and no matching line came."""
        rx = re.compile(regex) if isinstance(regex, str) else regex
        deadline = time.monotonic() + timeout
        i = start
        with self._log_cond:
            while True:
                while i < len(self._log_records):
                    m = rx.search(self._log_records[i].msg)
                    if m:
                        return m
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._log_cond.wait(min(left, 0.1))
        tail = "\n".join(r.msg for r in self.log_records()[-25:])
        raise AssertionError(f"no log line matching {rx.pattern!r} within {timeout} s; tail:\n{tail}")

    # ------------------------------------------------------------ journal
    def journal(self) -> list[list[str]]:
        """The calls recorded by the tool stand-ins, oldest first: one argv
        list each (argv[0] as the tool was called). The file holds one JSON
        array per line (or an object with an "argv" array; other lines are
        split like a shell would)."""
        out = []
        for e in self.journal_entries():
            if isinstance(e, list):
                out.append([str(a) for a in e])
            elif isinstance(e, dict) and isinstance(e.get("argv"), list):
                out.append([str(a) for a in e["argv"]])
        return out

    def shell_lines(self) -> list[str]:
        """The command lines handed to /bin/sh -c inside the test host (by
        popen, forknexec or a string run_private), oldest first, as the
        shell stand-in recorded them: {"shell": LINE} in the journal."""
        return [str(e["shell"]) for e in self.journal_entries()
                if isinstance(e, dict) and "shell" in e]

    def journal_entries(self) -> list:
        """The journal's lines, parsed (JSON where they are JSON)."""
        try:
            text = self.journal_path.read_text(errors="replace")
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            if not line.strip():
                continue
            try:
                out.append(json.loads(line))
            except ValueError:
                try:
                    out.append(shlex.split(line))
                except ValueError:
                    out.append(line.split())
        return out

    def clear_journal(self) -> None:
        self.journal_path.write_text("")
