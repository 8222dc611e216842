"""The test host itself: what the daemon sees is private, the network is
there, and nothing stays behind."""
import os
import select
import socket
import subprocess
import threading

import pytest

from testhost import GATEWAY_IP, HOST_IP, TestHost


def _real_state():
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout
    with open("/proc/sys/net/ipv4/ip_forward") as f:
        fwd = f.read()
    with open("/etc/hosts", "rb") as f:
        hosts = f.read()
    return {"links": [ln.split(":")[1].strip() for ln in links.splitlines()],
            "ip_forward": fwd, "hosts": hosts, "usr_local": sorted(os.listdir("/usr/local")),
            "library": os.path.exists("/Library")}


def test_network_of_the_test_host(testhost):
    assert testhost.addrs()["en0"] == [f"{HOST_IP}/24"]
    routes = testhost.routes()
    assert "default via 10.77.0.1 dev en0" in routes
    r = testhost.run_host(["ping", "-c", "1", "-W", "3", GATEWAY_IP])
    assert r.returncode == 0, r.stdout + r.stderr
    assert any(ln.startswith("10.77.0.1 dev en0 lladdr") for ln in testhost.neigh())


def test_sockets_made_in_each_namespace_talk_through_the_uplink(testhost):
    own = os.readlink("/proc/thread-self/ns/net")
    with testhost.gw_ns():
        srv = socket.create_server((GATEWAY_IP, 4433))
    got = []

    def serve():
        srv.settimeout(5)
        c, addr = srv.accept()
        got.append((c.recv(5), addr[0]))
        c.close()

    t = threading.Thread(target=serve)
    t.start()
    with testhost.host_ns():
        c = socket.create_connection((GATEWAY_IP, 4433), timeout=5)
    c.sendall(b"hello")
    t.join(10)
    c.close()
    srv.close()
    assert got == [(b"hello", HOST_IP)]
    # the calling thread is back in its own namespace
    assert os.readlink("/proc/thread-self/ns/net") == own


def test_private_root_keeps_writes_away_from_the_machine(testhost):
    before = _real_state()
    (testhost.library_dir / "Preferences").mkdir()
    r = testhost.run_private(
        "set -e; cp /etc/hosts /etc/hosts.new; echo '10.9.9.9 inside.test' >> /etc/hosts.new;"
        "mv /etc/hosts.new /etc/hosts; cp /etc/hosts /etc/hosts.bak;"
        "mkdir -p /usr/local/tevra_vpn; echo pac > /usr/local/tevra_vpn/x.pac;"
        "touch /tmp/seen /Library/Preferences/seen; ls /Library/Preferences;"
        "test -c /dev/null && test -c /dev/net/tun && test -S /dev/log; echo ok", tools=[])
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["seen", "ok"]
    assert "10.9.9.9 inside.test" in (testhost.etc_dir / "hosts").read_text()
    assert (testhost.etc_dir / "hosts.bak").exists()
    assert (testhost.usr_local_dir / "tevra_vpn" / "x.pac").read_text() == "pac\n"
    assert (testhost.tmp_dir / "seen").exists()
    assert _real_state() == before


def test_tool_standins_appear_over_the_system_paths_and_journal(testhost, tmp_path):
    # "route" shadows a real Linux tool where net-tools is installed,
    # "networksetup" exists nowhere on Linux
    for name in ("route", "networksetup"):
        tool = tmp_path / name
        tool.write_text('#!/bin/sh\nprintf \'["%s","%s"]\\n\' "$0" "$1" >> "$VPNC_TOOL_JOURNAL"\n'
                        'echo "$(basename "$0") stand-in $*"\n')
        tool.chmod(0o755)
    r = testhost.run_private("/sbin/route a; /usr/sbin/networksetup b; route c; /usr/bin/route d;"
                             "/usr/sbin/ip -V >/dev/null && echo real-ip",
                             tools=[tmp_path / "route", tmp_path / "networksetup"])
    assert r.stdout.splitlines() == ["route stand-in a", "networksetup stand-in b",
                                     "route stand-in c", "route stand-in d", "real-ip"], r.stderr
    assert testhost.journal() == [["/sbin/route", "a"], ["/usr/sbin/networksetup", "b"],
                                  ["/usr/sbin/route", "c"], ["/usr/bin/route", "d"]]
    assert not os.path.exists("/usr/sbin/networksetup")


def test_syslog_lines_reach_the_test(testhost):
    r = testhost.run_private("logger -t vpnc_probe 'vpn_client at 1 function: f:hello log'")
    assert r.returncode == 0, r.stderr
    m = testhost.wait_log(r"function: f:(hello log)$", timeout=5)
    assert m.group(1) == "hello log"
    rec = testhost.log_records()[-1]
    assert rec.raw.startswith("<") and rec.ident == "vpnc_probe"


def test_nothing_stays_behind(tmp_path):
    before = _real_state()
    th = TestHost(tmp_path)
    held = []  # keeps the namespaces (and so their ids) alive for the checks below
    with pytest.raises(RuntimeError, match="fails inside"):
        with th:
            # a process the "daemon side" leaves running, in its own session
            r = th.run_private("setsid sleep 300 </dev/null >/dev/null 2>&1 & echo $!; sleep 0.2")
            assert r.returncode == 0
            left = th.outer_pid(int(r.stdout))  # $! is its pid in the test host's PID namespace
            assert left is not None
            pidfds = [os.pidfd_open(p) for p in (th._host.pid, th._gw.pid, th._wire.pid, left)]
            held = [os.open(f"/proc/{left}/ns/{k}", os.O_RDONLY) for k in ("mnt", "net")]
            held.append(os.open(f"/proc/{th._gw.pid}/ns/net", os.O_RDONLY))
            raise RuntimeError("fails inside")
    try:
        ns = [os.readlink(f"/proc/self/fd/{fd}") for fd in held]
        # every process we started has ended (a pidfd turns readable)
        for fd in pidfds:
            assert select.select([fd], [], [], 5)[0] == [fd]
        for pid in filter(str.isdigit, os.listdir("/proc")):
            for kind in ("net", "mnt"):
                try:
                    assert os.readlink(f"/proc/{pid}/ns/{kind}") not in ns, pid
                except OSError:
                    pass
    finally:
        for fd in held + pidfds:
            os.close(fd)
    assert not th.base.exists()
    assert _real_state() == before


@pytest.mark.parametrize("name,cmd", [("firefox", "ps -e | grep -c firefox"),
                                      ("Safari", "ps -cA | grep -c Safari")])
def test_ps_inside_counts_the_test_hosts_processes_only(testhost, tmp_path, name, cmd):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    os.symlink("/bin/sleep", elsewhere / name)
    outside = subprocess.Popen([str(elsewhere / name), "300"])
    try:
        def count():
            return testhost.run_private(cmd).stdout.strip()
        assert count() == "0"
        inside = testhost.start_named(name)
        assert count() == "1"
        inside.stop()
        assert count() == "0"  # reaped: no <defunct> line left to count
    finally:
        outside.kill()
        outside.wait()


@pytest.mark.parametrize("script,found", [
    ("echo '==1==ERROR: AddressSanitizer: heap-buffer-overflow' >&2", True),
    ("echo 'client/x.cpp:3:5: runtime error: signed integer overflow' >&2", True),
    ("echo 'WARNING: ThreadSanitizer: data race (pid=2)' >&2", True),
    ("kill -ABRT $$", True),
    ("echo 'a plain line' >&2; exit 0", False),
])
def test_sanitizer_report_of_a_daemon_is_found(tmp_path, script, found):
    """What fails a test run on the sanitizer build: a report on the daemon's
    stderr, or its end by SIGABRT."""
    fake = tmp_path / "fake_daemon"
    fake.write_text("#!/bin/sh\n" + script + "\n")
    fake.chmod(0o755)
    with TestHost(tmp_path / "host") as th:
        th.start_daemon(daemon=fake)
        th.wait_daemon_exit(10)
        assert bool(th.sanitizer_reports()) == found
