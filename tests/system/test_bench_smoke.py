"""The bench runs end to end on this tree: test host with the veth uplink,
both baselines, the daemon through the fast gateway end both ways. Its
figures are not judged here (the machine may be busy), only that every path
moved data and every figure was taken."""
from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def test_bench_runs_and_measures_every_path(daemon_path, tmp_path):
    out = tmp_path / "rows.json"
    r = subprocess.run([sys.executable, str(REPO / "bench" / "bench.py"), "--rounds", "1",
                        "--seconds", "1", "--daemon", str(daemon_path), "--json", str(out)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    rows = json.loads(out.read_text())
    assert {(row["direction"], row["daemon"]) for row in rows} == {
        ("host -> gw", "daemon"), ("gw -> host (-R)", "daemon")}, rows
    for row in rows:
        for key in ("stream", "packet", "mbit", "cpu_us_per_packet", "peer_util"):
            assert row[key] > 0, (key, row)
