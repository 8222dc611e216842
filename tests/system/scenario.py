"""Helpers for system tests that run the daemon against the test gateway: the launcher
package, the "commandline" verdict, and probes for what the daemon has built."""

import os
import pathlib
import subprocess

import pytest

import gateway as g

# the daemon under test, as the test host picks it
DAEMON = pathlib.Path(os.environ.get("VPNC_DAEMON")
                      or pathlib.Path(__file__).resolve().parents[2] / "build" / "vpnc_daemon")
HOSTNAME = "gw.example.test"
COOKIE = "SESSIONID=0123456789abcdef+89abcdef0123"
VERDICT_TIMEOUT = 60


def strong_symbols(daemon=DAEMON):
    """Functions the daemon defines for real; the weak stand-ins show as 'W' in nm."""
    try:
        out = subprocess.run(["nm", "-C", "--defined-only", str(daemon)], capture_output=True,
                             text=True, timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return set()
    names = set()
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in ("T", "t"):
            names.add(parts[2].split("(")[0])
    return names


_STRONG = None


def built(*names):
    """True when every named operation is built (not a weak stand-in) in the daemon."""
    global _STRONG
    if _STRONG is None:
        _STRONG = strong_symbols()
    return all(n in _STRONG for n in names)


def exchange_built():
    return built("initial_process_handler", "vpnc_handshake_driver", "read_config",
                 "ssl_connect_try_all_methods", "read_parse_https_rsp", "config_rqt_qn2",
                 "config_receive_qn2")


def tunnel_built():
    return exchange_built() and built("config_tunnel", "post_config_qn2",
                                      "vpn_data_transfer_qn2")


def package(launcher_mod, **kw):
    """A "commandline" package for the test gateway; keywords override fields."""
    fields = dict(gateway_ip=g.GATEWAY_IP, gateway_port=g.GATEWAY_PORT, navtype="commandline",
                  hostname=HOSTNAME, session_cookie=COOKIE)
    fields.update(kw)
    return launcher_mod.build_package(**fields)


def read_verdict(lch, timeout=VERDICT_TIMEOUT):
    """"OK" or "FAIL" from the 11-byte "CONNECT OK" or 13-byte "CONNECT FAIL" reply."""
    head = lch.recv_exact(11, timeout)
    if head == b"CONNECT OK\0":
        return "OK"
    assert head == b"CONNECT FAI", head
    tail = lch.recv_exact(2, 5)
    assert tail == b"L\0", tail
    return "FAIL"


def expected_clientid(testhost):
    """The client id the daemon is to send: what follows "Hardware UUID:" (label and one
    more character skipped, newline kept) in the stand-in's output; "" without such a line."""
    out = testhost.run_private(["/usr/sbin/system_profiler", "SPHardwareDataType"]).stdout
    for line in out.splitlines(keepends=True):
        i = line.find("Hardware UUID:")
        if i >= 0:
            return line[i + 15:]
    return ""


def start_session(testhost, launcher_mod, extra_env=None, **pkg):
    """Starts the daemon, sends the package; answers (launcher, verdict)."""
    testhost.start_daemon(extra_env=extra_env)
    lch = launcher_mod.Launcher(testhost)
    lch.connect()
    lch.send_package(package(launcher_mod, **pkg))
    return lch, read_verdict(lch)


@pytest.fixture
def gateway(testhost, tmp_path):
    """Factory: gateway(scenario=None, **Gateway keywords) -> a Gateway in the test host's
    gateway namespace on 198.18.0.1:443; all stopped after the test (before the test host
    goes).  Import it into a test module to use it: `from scenario import gateway`."""
    made = []

    def make(sc=None, **kw):
        gw = g.Gateway.in_testhost(testhost, tmp_path / ("gw%d" % len(made)),
                                   sc or g.Scenario(), **kw)
        made.append(gw)
        return gw
    yield make
    for gw in made:
        gw.stop()
