"""Fixtures of the system tests: the test host, the test launcher, the
daemon binary, and a time limit for every test."""
from __future__ import annotations

import os
import signal
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from launcher import Launcher  # noqa: E402
from testhost import REPO, TestHost, default_daemon  # noqa: E402

DEFAULT_TEST_SECONDS = 120


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "time_limit(seconds): end the test with an error after this many seconds "
        f"(default {DEFAULT_TEST_SECONDS})")
    config.addinivalue_line(
        "markers", "slow: a test that takes minutes (deselect with -m 'not slow')")


@pytest.fixture(autouse=True)
def _time_limit(request):
    """No test may hang: SIGALRM raises in the test's thread after the limit."""
    m = request.node.get_closest_marker("time_limit")
    seconds = m.args[0] if m else DEFAULT_TEST_SECONDS

    def expired(signum, frame):
        raise TimeoutError(f"test ran longer than {seconds} s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.fixture(scope="session")
def repo_root() -> Path:
    return REPO


@pytest.fixture(scope="session")
def daemon_path() -> Path:
    """The daemon under test ($VPNC_DAEMON, default <repo>/build/vpnc_daemon).
    A missing binary fails the test: nothing is skipped for it."""
    p = default_daemon()
    if not p.is_file() or not os.access(p, os.X_OK):
        pytest.fail(f"daemon binary {p} is missing: build it (bash scripts/build.sh) "
                    "or point VPNC_DAEMON at one", pytrace=False)
    return p


@pytest.fixture
def testhost(tmp_path, daemon_path, request):
    """A fresh test host (see testhost.py); everything it made is gone after
    the test, also when the test fails."""
    if os.geteuid() != 0:
        pytest.fail("the system tests run as root (they make namespaces and mounts)",
                    pytrace=False)
    th = TestHost(tmp_path, daemon=daemon_path)

    def finish():
        # A sanitizer build (VPNC_DAEMON=build-asan/vpnc_daemon) reports on
        # its stderr and aborts: either fails the test, whatever it checked.
        reports = th.sanitizer_reports()
        th.close()
        if reports:
            pytest.fail("sanitizer report of the daemon:\n" + "\n".join(reports), pytrace=False)

    request.addfinalizer(finish)
    th.start()
    return th


@pytest.fixture
def make_launcher(testhost, request):
    """Factory for further launcher connections; all closed after the test."""
    made = []

    def make(connect: bool = True) -> Launcher:
        lc = Launcher(testhost)
        made.append(lc)
        if connect:
            lc.connect()
        return lc

    request.addfinalizer(lambda: [lc.close() for lc in made])
    return make


@pytest.fixture
def launcher(make_launcher) -> Launcher:
    """One launcher, not yet connected (call .connect() once the daemon runs)."""
    return make_launcher(connect=False)


@pytest.fixture(scope="session")
def launcher_channel(tmp_path_factory, daemon_path) -> bool:
    """Capability probe: does this daemon listen on 127.0.0.1:6666 within
    5 s of its start? (False for a daemon built before the launcher
    channel.) Tests that need the channel skip, with this reason, when not.
    A daemon killed by a signal during the probe proves nothing either way:
    the probe runs again (three times at most)."""
    if os.geteuid() != 0:
        return False
    for _ in range(3):
        with TestHost(tmp_path_factory.mktemp("probe"), daemon=daemon_path) as th:
            th.start_daemon()
            if th.wait_listening(timeout=5):
                return True
            status = th.daemon_status
            if status is None or status >= 0:
                return False
    return False


@pytest.fixture
def daemon(testhost, launcher_channel):
    """The daemon started in `testhost`, listening for its launcher."""
    if not launcher_channel:
        pytest.skip("capability probe: the daemon does not listen on 127.0.0.1:6666 within 5 s "
                    "(launcher channel not built in this binary)")
    testhost.start_daemon()
    assert testhost.wait_listening(timeout=5), \
        "daemon did not listen on 127.0.0.1:6666: " + testhost.describe_daemon()
    return testhost
