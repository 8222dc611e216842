#!/usr/bin/python3
"""Throughput of a bulk TCP transfer through the daemon's tunnel, against a
baseline that carries the same transfer over TLS on the same uplink without
the daemon. See bench/README.md.

    host namespace                                   gateway namespace
    iperf3 -c 10.99.0.1 -> utun -> daemon =TLS=> gateway -> gwtun0 -> iperf3 -s
    iperf3 -c 127.0.0.1:5202 -> tls_pipe client =TLS=> tls_pipe server -> iperf3 -s

Both directions (iperf3 and iperf3 -R); Mbit/s of each, the ratio
daemon/baseline, and the daemon's CPU seconds per GB (utime+stime from
/proc/PID/stat before and after each run, over the bytes iperf3 moved).
Runs as root; everything it makes is gone when it ends.
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
HOSTNAME = "gw.example.test"
COOKIE = "SESSIONID=bench0123456789abcdef"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """utime + stime of the whole process (all its threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


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
        def _make_namespaces(self):
            self._host, self._host_ns = self._holder()
            self._gw, self._gw_ns = self._holder()
            # made inside the host namespace, its peer straight in the gateway
            # namespace: the machine's own namespace never sees either end
            self.run_host(["ip", "link", "add", thm.HOST_IF, "type", "veth", "peer", "name",
                           thm.UPLINK_IF, "netns", str(self._gw.pid)], check=True)
            self.run_host(f"""set -e
                ip link set lo up
                ip link set {thm.HOST_IF} address {thm.HOST_MAC}
                ip addr add {thm.HOST_IP}/{thm.PREFIX_LEN} dev {thm.HOST_IF}
                ip link set {thm.HOST_IF} up
                ip route add default via {thm.UPLINK_IP} dev {thm.HOST_IF}
                """, check=True)
            self.run_gw(f"""set -e
                ip link set lo up
                ip link set {thm.UPLINK_IF} address {thm.UPLINK_MAC}
                ip addr add {thm.UPLINK_IP}/{thm.PREFIX_LEN} dev {thm.UPLINK_IF}
                ip link set {thm.UPLINK_IF} up
                sysctl -q -w net.ipv4.ip_forward=1
                """, check=True)
            r = self.run_gw(f"ip link add {thm.GATEWAY_IF} type dummy && "
                            f"ip link set {thm.GATEWAY_IF} up")
            if r.returncode != 0:
                self.gw_addr_dev = "lo"
            self.run_gw(f"ip addr add {thm.GATEWAY_IP}/32 dev {self.gw_addr_dev}", check=True)

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
        import launcher as lmod

        th = self.th = make_testhost(self.work, self.args.daemon, self.args.uplink)
        th.start()
        sc = g.Scenario(client_ip=CLIENT_IP, client_mask="255.255.255.0",
                        resources=[g.Resource("10.99.0.0", "255.255.255.0")])
        cert, key = g.make_certificate(self.work / "cert")
        if self.kind == "python":
            self.gw = g.Gateway.in_testhost(th, self.work / "gateway", sc)
            self.gw.attach_tun(g.GatewayTun(th, name="gwtun0", address=f"{SERVER_IP}/24",
                                            client_ip=CLIENT_IP))
            port = self.gw.port
        else:
            files = {}
            for name, data in (("reply", sc.http_reply()), ("q", sc.q_part()), ("u", sc.u_part())):
                files[name] = self.work / f"{name}.bin"
                files[name].write_bytes(data)
            port = 443
            self.fast = th.popen_gw([str(self.args.tls_pipe), "gateway", th.GATEWAY_IP, str(port),
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
        # the far end of every transfer, and the baseline's two relays
        self.iperf = th.popen_gw(["iperf3", "-s", "-B", SERVER_IP, "-p", str(IPERF_PORT)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        relay_srv = th.popen_gw([str(self.args.tls_pipe), "server", th.GATEWAY_IP,
                                 str(RELAY_TLS_PORT), cert, key, SERVER_IP, str(IPERF_PORT)],
                                stdout=subprocess.PIPE)
        wait_ready(relay_srv, "tls_pipe server")
        relay_cli = th.popen_host([str(self.args.tls_pipe), "client", "127.0.0.1", str(RELAY_PORT),
                                   th.GATEWAY_IP, str(RELAY_TLS_PORT)], stdout=subprocess.PIPE)
        wait_ready(relay_cli, "tls_pipe client")
        time.sleep(0.3)

        # the daemon brings the tunnel up ("standalone": no verdict; the
        # statistics answer once the tunnel is up)
        th.start_daemon()
        self.lch = lmod.Launcher(th)
        self.lch.connect(timeout=10)
        self.lch.send_package(lmod.build_package(gateway_ip=th.GATEWAY_IP, gateway_port=port,
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
        self.log(f"tunnel up (daemon pid {self.daemon_pid}), uplink {self.args.uplink}")

    def iperf3(self, target: str, port: int, reverse: bool) -> dict:
        cmd = ["iperf3", "-c", target, "-p", str(port), "-t", str(self.args.seconds), "-O", "1",
               "-J", *(["-R"] if reverse else [])]
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
        if path == "baseline":
            return self.iperf3("127.0.0.1", RELAY_PORT, reverse)
        c0 = cpu_seconds(self.daemon_pid)
        p0 = cpu_seconds(self.peer_pid) if self.peer_pid else own_cpu_seconds()
        w0 = time.monotonic()
        res = self.iperf3(SERVER_IP, IPERF_PORT, reverse)
        wall = time.monotonic() - w0
        res["cpu"] = cpu_seconds(self.daemon_pid) - c0
        peer = (cpu_seconds(self.peer_pid) if self.peer_pid else own_cpu_seconds()) - p0
        res["daemon_util"] = res["cpu"] / wall
        res["peer_util"] = peer / wall
        return res

    def finish(self):
        echo = self.lch.terminate(timeout=60)
        rc = self.th.wait_daemon_exit(60)
        if echo != bytes.fromhex("DEEDC0DE") or rc != 0:
            raise RuntimeError(f"terminate: echo {echo.hex()}, exit status {rc}")


def run(args) -> list[dict]:
    rows = []
    for kind in (["python", "fast"] if args.gateway == "both" else [args.gateway]):
        work = Path(tempfile.mkdtemp(prefix=f"vpnc-bench-{kind}-"))
        try:
            with Phase(args, kind, work) as ph:
                ph.start()
                for reverse in (False, True):
                    runs = {"baseline": [], "daemon": []}
                    for i in range(args.rounds):
                        # interleaved, so a change of the machine's load hits both
                        for path in ("baseline", "daemon"):
                            res = ph.measure(path, reverse)
                            runs[path].append(res)
                            extra = (f", daemon CPU {res['daemon_util'] * 100:.0f}%, gateway end "
                                     f"CPU {res['peer_util'] * 100:.0f}%") if path == "daemon" else ""
                            ph.log(f"{'gw->host' if reverse else 'host->gw'} {path:8} round {i + 1}: "
                                   f"{res['mbit']:.0f} Mbit/s{extra}")
                    d = runs["daemon"]
                    rows.append({
                        "gateway": kind, "direction": "gw -> host (-R)" if reverse else "host -> gw",
                        "baseline": statistics.median(r["mbit"] for r in runs["baseline"]),
                        "daemon": statistics.median(r["mbit"] for r in d),
                        "cpu_per_gb": sum(r["cpu"] for r in d) / (sum(r["bytes"] for r in d) / 1e9),
                        "daemon_util": statistics.median(r["daemon_util"] for r in d),
                        "peer_util": statistics.median(r["peer_util"] for r in d),
                    })
                ph.finish()
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
    head = (f"{'gateway end':12} {'direction':16} {'baseline':>9} {'daemon':>9} {'ratio':>6} "
            f"{'CPU s/GB':>9} {'daemon CPU':>10} {'gw-end CPU':>10}")
    print(head)
    print("-" * len(head))
    for r in rows:
        print(f"{r['gateway']:12} {r['direction']:16} {r['baseline']:9.0f} {r['daemon']:9.0f} "
              f"{r['daemon'] / r['baseline']:6.2f} {r['cpu_per_gb']:9.2f} "
              f"{r['daemon_util'] * 100:9.0f}% {r['peer_util'] * 100:9.0f}%")
    print("(CPU %: share of one core during the daemon's runs; the python gateway end is this "
          "process, all its threads)")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=int, default=10, help="length of one iperf3 run")
    ap.add_argument("--rounds", type=int, default=3, help="runs per path and direction")
    ap.add_argument("--gateway", choices=("python", "fast", "both"), default="both",
                    help="the gateway end: the test gateway (Python), tls_pipe's C++ "
                         "relay, or one after the other")
    ap.add_argument("--uplink", choices=("veth", "wire", "auto"), default="auto",
                    help="the cable between the namespaces: a veth pair, or the test "
                         "host's own frame-copying wire (auto: veth when the kernel has it)")
    ap.add_argument("--daemon", type=Path, default=None)
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
    for p in (args.daemon, args.tls_pipe):
        if not p.is_file():
            print(f"{p} is missing: bash scripts/build.sh", file=sys.stderr)
            return 2
    if args.uplink == "auto":
        args.uplink = "veth" if veth_available() else "wire"

    def stop(signum, _frame):
        raise SystemExit(f"interrupted by signal {signum}")
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, stop)

    print("command: " + " ".join([sys.executable, *sys.argv]), flush=True)
    try:
        rows = run(args)
    except (Exception, SystemExit, KeyboardInterrupt) as e:
        print(f"bench failed: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    report(rows, args)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
