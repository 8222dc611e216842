"""The demo (scripts/demo.sh) end to end: it must pass every step and leave
nothing behind."""
from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
STEPS = 9


def _holders_of_ours(mark: str) -> list[int]:
    """Processes still running whose command line names the work directory."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            cmd = Path(f"/proc/{entry}/cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue
        if mark in cmd and int(entry) != os.getpid():
            found.append(int(entry))
    return found


@pytest.mark.time_limit(demo.TOTAL_SECONDS + 90)
@pytest.mark.parametrize("proxy", [None, "ntlm"], ids=["direct", "through-squid-ntlm"])
def test_demo_runs_every_step_and_cleans_up(tmp_path, proxy):
    if os.geteuid() != 0:
        pytest.fail("the system tests run as root (they make namespaces and mounts)",
                    pytrace=False)
    daemon = demo.default_daemon()
    if not daemon.is_file():
        pytest.fail(f"daemon binary {daemon} is missing: build it (bash scripts/build.sh)",
                    pytrace=False)
    missing = demo.missing_pieces(daemon, proxy)
    if missing:
        pytest.skip("capability probe: a whole session needs pieces not built yet: "
                    + ", ".join(missing))
    work = tmp_path / "demo-work"
    log = tmp_path / "daemon.log"
    p = subprocess.Popen(["bash", str(REPO / "scripts" / "demo.sh"), "--work-dir", str(work),
                          "--log", str(log), *(["--proxy", proxy] if proxy else [])],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=demo.TOTAL_SECONDS + 30)
    except subprocess.TimeoutExpired:
        pytest.fail("the demo did not end in time")
    finally:
        # also when the test's own time limit interrupts the wait: the demo
        # cleans up on SIGTERM; kill it only if that does not end it
        if p.poll() is None:
            os.kill(p.pid, signal.SIGTERM)
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    daemon_log = log.read_text(errors="replace") if log.exists() else "(no log)"
    assert p.returncode == 0, f"demo failed ({p.returncode}):\n{out}\n--- daemon log:\n{daemon_log}"
    oks = re.findall(r"^\s+ok: ", out, re.M)
    assert len(oks) == STEPS, out
    assert "Demo finished" in out
    assert "echo: DE ED C0 DE" in out
    assert re.search(r"bytes received \d+, bytes sent \d+", out)
    if proxy == "ntlm":
        assert "the daemon's first request to the proxy: CONNECT gw.example.test:443 HTTP/1.0" in out
        assert "squid: CONNECT gw.example.test:443 -> 200 (user corp\\bob)" in out, out
    # nothing left: the demo's work directory is gone and no process that
    # names it runs on
    assert list(work.iterdir()) == [], list(work.iterdir())
    assert _holders_of_ours(str(work)) == []
