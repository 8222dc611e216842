import subprocess


def test_dash_v_prints_version_and_exits_zero(daemon_path):
    # "-v" needs no launcher and opens no socket: safe to run outside the test host
    r = subprocess.run([str(daemon_path), "-v"], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0
    assert r.stdout == "VPNC2_1_0_54\n"
