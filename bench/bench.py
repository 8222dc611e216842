#!/usr/bin/python3
"""Throughput of a bulk TCP transfer through the daemon's tunnel, against two
baselines that carry the same transfer over TLS on the same uplink without
the daemon. See bench/README.md.

    host namespace                                   gateway namespace
    iperf3 -c 10.99.0.1 -> utun -> daemon =TLS=> gateway -> gwtun0 -> iperf3 -s
    iperf3 -c 127.0.0.1:5202 -> tls_pipe client =TLS=> tls_pipe server -> iperf3 -s
    iperf3 -c 127.0.0.1:5203 -> the same, one 1400-byte record per TLS write

Both directions (iperf3 and iperf3 -R); Mbit/s of each path, the daemon's
ratio to each baseline, its CPU per GB and per packet, the system calls of
its main thread per packet, the main thread's run-queue wait and the load
average. With --before, a second daemon binary (e.g. an older build) is
measured in the same run, interleaved. Runs as root; everything it makes is
gone when it ends.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import select
import signal
import statistics
import subprocess
import sys
import traceback
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "system"))

CLIENT_IP = "10.200.0.2"
SERVER_IP = "10.99.0.1"
IPERF_PORT = 5201
RELAY_PORT = 5202      # tls_pipe client, host namespace, 127.0.0.1
RELAY_TLS_PORT = 4433  # tls_pipe server, gateway namespace, on the gateway address
PACKET_PORT = 5203     # the same pair with one packet-sized record per write
PACKET_TLS_PORT = 4434
PACKET_RECORD = 1400   # the daemon's utun MTU: its largest record
HOSTNAME = "gw.example.test"
COOKIE = "SESSIONID=bench0123456789abcdef"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """utime + stime of the whole process (all its threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def run_queue_wait(pid: int) -> float:
    """Seconds the main thread has waited on a run queue (schedstat)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/schedstat") as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return float("nan")


def context_switches(pid: int) -> int:
    """Voluntary context switches of the main thread: each is a sleep in a
    blocking call."""
    with open(f"/proc/{pid}/task/{pid}/status") as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def load_average() -> float:
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


class SyscallCounter:
    """System calls of one thread while it runs, from the kernel's
    raw_syscalls:sys_enter tracepoint (perf stat -t); None where perf cannot
    count them."""

    def __init__(self, tid: int, work: Path):
        self.out = work / f"perf-{tid}.csv"
        self.p = None
        if not PERF_OK:
            return
        self.p = subprocess.Popen(["perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter",
                                   "-t", str(tid), "-o", str(self.out)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)   # attached before the transfer starts

    def stop(self) -> int | None:
        if self.p is None:
            return None
        self.p.send_signal(signal.SIGINT)
        try:
            self.p.wait(10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            return None
        with contextlib.suppress(OSError, ValueError):
            for line in self.out.read_text().splitlines():
                f = line.split(",")
                if len(f) > 2 and f[2].startswith("raw_syscalls:sys_enter"):
                    return int(f[0])
        return None


def perf_works() -> bool:
    try:
        r = subprocess.run(["perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "--",
                            "true"], capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return r.returncode == 0 and any(
        line.split(",")[0].isdigit() for line in r.stderr.splitlines() if "sys_enter" in line)


PERF_OK = False


def own_cpu_seconds() -> float:
    t = os.times()
    return t.user + t.system


def wait_ready(p: subprocess.Popen, what: str, timeout: float = 10) -> None:
    r, _, _ = select.select([p.stdout], [], [], timeout)
    line = p.stdout.readline() if r else b""
    if line.strip() != b"ready":
        raise RuntimeError(f"{what} did not start (status {p.poll()})")


def make_testhost(work: Path, daemon: Path, uplink: str):
    """The test host; with uplink "veth" its cable is a kernel veth pair
    instead of the test host's frame-copying process (same addresses)."""
    import testhost as thm

    if uplink == "wire":
        return thm.TestHost(work, daemon=daemon)

    class VethTestHost(thm.TestHost):
        def _make_uplink(self):
            # made inside the host namespace, its peer straight in the gateway
            # namespace: the machine's own namespace never sees either end
            self.run_host(["ip", "link", "add", thm.HOST_IF, "type", "veth", "peer", "name",
                           thm.UPLINK_IF, "netns", str(self._gw.pid)], check=True)

    return VethTestHost(work, daemon=daemon)


def veth_available() -> bool:
    r = subprocess.run(["unshare", "--net", "--", "ip", "link", "add", "name", "a", "type",
                        "veth", "peer", "name", "b"], capture_output=True, timeout=10)
    return r.returncode == 0


class Phase:
    """One test host with one kind of gateway, the iperf3 server, the
    baseline relays and the daemon's tunnel."""

    def __init__(self, args, gateway_kind: str, work: Path):
        self.args = args
        self.kind = gateway_kind
        self.work = work
        self.th = self.gw = self.fast = self.lch = None
        self.peer_pid = None   # the gateway end's process (None: this one)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for part, close in ((self.lch, "close"), (self.gw, "stop"), (self.th, "close")):
            if part is not None:
                with contextlib.suppress(Exception):
                    getattr(part, close)()

    def log(self, text):
        print(f"  [{self.kind} gateway] {text}", flush=True)

    def start(self):
        import gateway as g

        th = self.th = make_testhost(self.work, self.args.daemon, self.args.uplink)
        th.start()
        sc = g.Scenario(client_ip=CLIENT_IP, client_mask="255.255.255.0",
                        resources=[g.Resource("10.99.0.0", "255.255.255.0")])
        cert, key = g.make_certificate(self.work / "cert")
        if self.kind == "python":
            self.gw = g.Gateway.in_testhost(th, self.work / "gateway", sc)
            self.gw.attach_tun(g.GatewayTun(th, name="gwtun0", address=f"{SERVER_IP}/24",
                                            client_ip=CLIENT_IP))
            port_gw = self.gw.port
        else:
            files = {}
            for name, data in (("reply", sc.http_reply()), ("q", sc.q_part()), ("u", sc.u_part())):
                files[name] = self.work / f"{name}.bin"
                files[name].write_bytes(data)
            port_gw = 443
            self.fast = th.popen_gw([str(self.args.tls_pipe), "gateway", th.GATEWAY_IP, str(port_gw),
                                     cert, key, "gwtun0", str(files["reply"]), str(files["q"]),
                                     str(files["u"])], stdout=subprocess.PIPE)
            wait_ready(self.fast, "tls_pipe gateway")
            self.peer_pid = self.fast.pid
            # the TUN carries IPv4 only: no IPv6 chatter (router solicitations)
            th.run_gw(["sysctl", "-q", "-w", "net.ipv6.conf.gwtun0.disable_ipv6=1"])
            th.run_gw(f"""set -e
                ip link set gwtun0 up
                ip addr add {SERVER_IP}/24 dev gwtun0
                ip route replace {CLIENT_IP}/32 dev gwtun0
                """, check=True)
        # the far end of every transfer, and the baselines' relays
        self.iperf = th.popen_gw(["iperf3", "-s", "-B", SERVER_IP, "-p", str(IPERF_PORT)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for tls_port, port, record in ((RELAY_TLS_PORT, RELAY_PORT, []),
                                       (PACKET_TLS_PORT, PACKET_PORT, [str(PACKET_RECORD)])):
            srv = th.popen_gw([str(self.args.tls_pipe), "server", th.GATEWAY_IP, str(tls_port),
                               cert, key, SERVER_IP, str(IPERF_PORT), *record],
                              stdout=subprocess.PIPE)
            wait_ready(srv, "tls_pipe server")
            cli = th.popen_host([str(self.args.tls_pipe), "client", "127.0.0.1", str(port),
                                 th.GATEWAY_IP, str(tls_port), *record], stdout=subprocess.PIPE)
            wait_ready(cli, "tls_pipe client")
        self.port = port_gw
        time.sleep(0.3)

    def start_daemon(self, path: Path, name: str):
        """Brings the tunnel up with this daemon binary ("standalone": no
        verdict; the statistics answer once the tunnel is up)."""
        import launcher as lmod

        th = self.th
        th.start_daemon(daemon=path)
        self.lch = lmod.Launcher(th)
        self.lch.connect(timeout=10)
        self.lch.send_package(lmod.build_package(gateway_ip=th.GATEWAY_IP, gateway_port=self.port,
                                                 navtype="standalone", hostname=HOSTNAME,
                                                 session_cookie=COOKIE))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and th.daemon.poll() is None:
            if any(r.startswith("10.99.0.0/24") and "utun" in r for r in th.routes()):
                break
            time.sleep(0.2)
        else:
            raise RuntimeError("the tunnel did not come up; daemon log tail:\n"
                               + "\n".join(th.log_lines()[-20:]))
        st = self.lch.stats(timeout=30)
        if st.client_ip != CLIENT_IP:
            raise RuntimeError(f"statistics show client address {st.client_ip}")
        self.daemon_pid = th.daemon_pid
        exe = os.readlink(f"/proc/{self.daemon_pid}/exe")
        if not exe.endswith("vpnc_daemon"):
            raise RuntimeError(f"pid {self.daemon_pid} is {exe}, not the daemon")
        self.tun = next(r.split(" dev ")[1].split()[0] for r in th.routes()
                        if r.startswith("10.99.0.0/24") and "utun" in r)
        self.log(f"tunnel up with {name} (daemon pid {self.daemon_pid}, {self.tun}), "
                 f"uplink {self.args.uplink}")

    def tun_counters(self) -> tuple[int, int]:
        """Packets and bytes through the daemon's utun, both ways."""
        out = self.th.run_host(["cat", "/proc/net/dev"]).stdout
        for line in out.splitlines():
            name, _, rest = line.partition(":")
            if name.strip() == self.tun:
                f = [int(x) for x in rest.split()]
                return f[1] + f[9], f[0] + f[8]
        raise RuntimeError(f"{self.tun} is not in /proc/net/dev")

    def iperf3(self, target: str, port: int, reverse: bool) -> dict:
        cmd = ["iperf3", "-c", target, "-p", str(port), "-t", str(self.args.seconds), "-J",
               *(["-R"] if reverse else [])]
        r = self.th.run_host(cmd, timeout=self.args.seconds + 60)
        try:
            res = json.loads(r.stdout)
        except ValueError:
            raise RuntimeError(f"iperf3 gave no result ({r.returncode}): {r.stderr.strip()}") \
                from None
        if "error" in res:
            raise RuntimeError(f"iperf3: {res['error']}")
        s = res["end"]["sum_received"]
        return {"mbit": s["bits_per_second"] / 1e6, "bytes": int(s["bytes"]),
                "seconds": s["seconds"]}

    def measure(self, path: str, reverse: bool) -> dict:
        load0 = load_average()
        if path == "stream":
            res = self.iperf3("127.0.0.1", RELAY_PORT, reverse)
        elif path == "packet":
            res = self.iperf3("127.0.0.1", PACKET_PORT, reverse)
        else:
            pid = self.daemon_pid
            counter = SyscallCounter(pid, self.work)
            c0, q0, (k0, _) = cpu_seconds(pid), run_queue_wait(pid), self.tun_counters()
            v0 = context_switches(pid)
            p0 = cpu_seconds(self.peer_pid) if self.peer_pid else own_cpu_seconds()
            w0 = time.monotonic()
            res = self.iperf3(SERVER_IP, IPERF_PORT, reverse)
            wall = time.monotonic() - w0
            c1, q1, (k1, _) = cpu_seconds(pid), run_queue_wait(pid), self.tun_counters()
            v1 = context_switches(pid)
            peer = (cpu_seconds(self.peer_pid) if self.peer_pid else own_cpu_seconds()) - p0
            calls = counter.stop()
            packets = max(k1 - k0, 1)
            res["cpu"] = c1 - c0
            res["packets"] = packets
            res["cpu_us_per_packet"] = res["cpu"] / packets * 1e6
            res["syscalls_per_packet"] = None if calls is None else calls / packets
            res["sleeps_per_packet"] = (v1 - v0) / packets
            res["runq_wait"] = (q1 - q0) / wall
            res["daemon_util"] = res["cpu"] / wall
            res["peer_util"] = peer / wall
        res["load"] = max(load0, load_average())
        return res

    def stop_daemon(self):
        echo = self.lch.terminate(timeout=60)
        rc = self.th.wait_daemon_exit(60)
        self.lch.close()
        self.lch = None
        if echo != bytes.fromhex("DEEDC0DE") or rc != 0:
            raise RuntimeError(f"terminate: echo {echo.hex()}, exit status {rc}")


DIRECTIONS = ((False, "host -> gw"), (True, "gw -> host (-R)"))


def describe(path: str, reverse: bool, i: int, res: dict) -> str:
    text = (f"{'gw->host' if reverse else 'host->gw'} {path:8} round {i + 1}: "
            f"{res['mbit']:.0f} Mbit/s, load {res['load']:.1f}")
    if "cpu" in res:
        calls = res["syscalls_per_packet"]
        text += (f", daemon CPU {res['daemon_util'] * 100:.0f}% "
                 f"({res['cpu_us_per_packet']:.1f} us/packet, "
                 f"{'-' if calls is None else f'{calls:.2f}'} syscalls/packet, "
                 f"{res['sleeps_per_packet']:.2f} sleeps/packet, "
                 f"run-queue wait {res['runq_wait'] * 100:.0f}%), "
                 f"gateway end CPU {res['peer_util'] * 100:.0f}%")
    return text


def summarize(kind: str, runs: dict) -> list[dict]:
    rows = []
    med = statistics.median
    for reverse, direction in DIRECTIONS:
        base = {p: med(r["mbit"] for r in runs[(p, reverse)]) for p in ("stream", "packet")}
        for path in [p for p in runs_paths(runs) if p not in ("stream", "packet")]:
            d = runs[(path, reverse)]
            calls = [r["syscalls_per_packet"] for r in d if r["syscalls_per_packet"] is not None]
            rows.append({
                "gateway": kind, "direction": direction, "daemon": path,
                "stream": base["stream"], "packet": base["packet"],
                "mbit": med(r["mbit"] for r in d),
                "cpu_per_gb": med(r["cpu"] / (r["bytes"] / 1e9) for r in d),
                "cpu_us_per_packet": med(r["cpu_us_per_packet"] for r in d),
                "syscalls_per_packet": med(calls) if calls else None,
                "sleeps_per_packet": med(r["sleeps_per_packet"] for r in d),
                "runq_wait": med(r["runq_wait"] for r in d),
                "load": med(r["load"] for r in d),
                "daemon_util": med(r["daemon_util"] for r in d),
                "peer_util": med(r["peer_util"] for r in d),
                "runs": d,
            })
    return rows


def runs_paths(runs: dict) -> list[str]:
    seen = []
    for path, _ in runs:
        if path not in seen:
            seen.append(path)
    return seen


def run(args) -> list[dict]:
    rows = []
    daemons = [("daemon", args.daemon)] + [("before" if i == 0 else f"before{i + 1}", b)
                                           for i, b in enumerate(args.before)]
    for kind in (["python", "fast"] if args.gateway == "both" else [args.gateway]):
        work = Path(tempfile.mkdtemp(prefix=f"vpnc-bench-{kind}-"))
        try:
            with Phase(args, kind, work) as ph:
                ph.start()
                runs: dict = {}
                for i in range(args.rounds):
                    # interleaved, so a change of the machine's load hits every
                    # path; the daemons take turns at going first
                    order = daemons if i % 2 == 0 else daemons[::-1]
                    for reverse, _ in DIRECTIONS:
                        for path in ("stream", "packet"):
                            res = ph.measure(path, reverse)
                            runs.setdefault((path, reverse), []).append(res)
                            ph.log(describe(path, reverse, i, res))
                    for name, binary in order:
                        ph.start_daemon(binary, name)
                        for reverse, _ in DIRECTIONS:
                            res = ph.measure(name, reverse)
                            runs.setdefault((name, reverse), []).append(res)
                            ph.log(describe(name, reverse, i, res))
                        ph.stop_daemon()
                rows += summarize(kind, runs)
        finally:
            if (work / "testhost").exists():
                print(f"work directory {work} kept: the test host could not remove its tree",
                      file=sys.stderr)
            else:
                import shutil
                shutil.rmtree(work, ignore_errors=True)
    return rows


def report(rows: list[dict], args) -> None:
    print(f"\nbulk TCP (iperf3, {args.seconds} s per run, median of {args.rounds}), "
          f"uplink {args.uplink}; Mbit/s of iperf3 payload; GB = 10^9 bytes")
    print("stream: TLS relay with 16 KB records; packet: the same with one "
          f"{PACKET_RECORD}-byte record per write")
    head = (f"{'gateway':7} {'direction':16} {'daemon':6} {'stream':>6} {'packet':>6} {'Mbit/s':>6} "
            f"{'/strm':>5} {'/pkt':>5} {'s/GB':>5} {'us/pkt':>6} {'sc/pkt':>6} {'sl/pkt':>6} {'CPU':>4} "
            f"{'rq wt':>5} {'gw-end':>6} {'load':>5}")
    print(head)
    print("-" * len(head))
    for r in rows:
        calls = r["syscalls_per_packet"]
        print(f"{r['gateway']:7} {r['direction']:16} {r['daemon']:6} {r['stream']:6.0f} "
              f"{r['packet']:6.0f} {r['mbit']:6.0f} {r['mbit'] / r['stream']:5.2f} "
              f"{r['mbit'] / r['packet']:5.2f} {r['cpu_per_gb']:5.2f} "
              f"{r['cpu_us_per_packet']:6.2f} {'-' if calls is None else f'{calls:.2f}':>6} "
              f"{r['sleeps_per_packet']:6.2f} "
              f"{r['daemon_util'] * 100:3.0f}% {r['runq_wait'] * 100:4.0f}% "
              f"{r['peer_util'] * 100:5.0f}% {r['load']:5.1f}")
    print("(s/GB and us/pkt: the daemon's CPU, all threads; sc/pkt: system calls of its main "
          "thread per packet through utun, both ways; sl/pkt: its sleeps in blocking calls "
          "(voluntary context switches) per packet; CPU: share of one core; rq wt: share of "
          "the run the main thread waited for a CPU; load: 1-minute load average)")
    by = {(r["gateway"], r["direction"], r["daemon"]): r for r in rows}
    for (kind, direction, name), r in by.items():
        b = by.get((kind, direction, "before"))
        if name != "daemon" or b is None:
            continue
        print(f"{kind} {direction}: daemon/before throughput {r['mbit'] / b['mbit']:.2f}, "
              f"CPU per packet {100 * (r['cpu_us_per_packet'] / b['cpu_us_per_packet'] - 1):+.0f}%")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=int, default=5, help="length of one iperf3 run")
    ap.add_argument("--rounds", type=int, default=3, help="runs per path and direction")
    ap.add_argument("--gateway", choices=("python", "fast", "both"), default="fast",
                    help="the gateway end: the test gateway (Python), tls_pipe's C++ "
                         "relay, or one after the other")
    ap.add_argument("--uplink", choices=("veth", "wire", "auto"), default="auto",
                    help="the cable between the namespaces: a veth pair, or the test "
                         "host's own frame-copying wire (auto: veth when the kernel has it)")
    ap.add_argument("--daemon", type=Path, default=None)
    ap.add_argument("--before", type=Path, action="append", default=[],
                    help="another daemon binary measured in the same run (e.g. an older "
                         "build); may be given more than once")
    ap.add_argument("--tls-pipe", type=Path, default=None)
    ap.add_argument("--json", type=Path, default=None, help="also write the rows here")
    args = ap.parse_args(argv)
    build = REPO / "build"
    args.daemon = (args.daemon or Path(os.environ.get("VPNC_DAEMON", build / "vpnc_daemon"))).resolve()
    # the relay from the same build as the daemon
    args.tls_pipe = (args.tls_pipe or args.daemon.parent / "bench" / "tls_pipe").resolve()
    if os.geteuid() != 0:
        print("the bench needs root (namespaces)", file=sys.stderr)
        return 2
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    args.before = [b.resolve() for b in args.before]
    for p in (args.daemon, args.tls_pipe, *args.before):
        if not p.is_file():
            print(f"{p} is missing: bash scripts/build.sh", file=sys.stderr)
            return 2
    if args.uplink == "auto":
        args.uplink = "veth" if veth_available() else "wire"
    global PERF_OK
    PERF_OK = perf_works()

    def stop(signum, _frame):
        raise SystemExit(f"interrupted by signal {signum}")
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, stop)

    print("command: " + " ".join([sys.executable, *sys.argv]), flush=True)
    try:
        rows = run(args)
    except (Exception, SystemExit, KeyboardInterrupt) as e:
        traceback.print_exc()
        print(f"bench failed: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    report(rows, args)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
