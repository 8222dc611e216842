import pathlib
import subprocess

DAEMON = pathlib.Path(__file__).resolve().parents[2] / "build" / "vpnc_daemon"


def test_dash_v_prints_version_and_exits_zero():
    r = subprocess.run([str(DAEMON), "-v"], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0
    assert r.stdout == "VPNC2_1_0_54\n"
