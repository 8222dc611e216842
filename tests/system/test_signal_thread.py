"""The signal thread's own work end to end in the test host: the statistics
FIFO signal (SIGSTKFLT here, SIGEMT on macOS) starts a writer that puts a
2048-byte record into /tmp/tevra_l3vpn_fifoserver every 2 seconds, SIGTSTP
stops every writer (and one started later writes nothing), and the daemon
neither stops nor ends on either: it keeps serving the tunnel and its
launcher."""

import os
import re
import signal
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import gateway as g  # noqa: E402
import scenario  # noqa: E402
from scenario import gateway  # noqa: E402,F401  (fixture)
from tunnel_session import TunnelSession, ping, wait_until  # noqa: E402

pytestmark = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpnc_writepipe", "vpn_dtor_qn2")),
    reason="probe: tunnel, FIFO writer or controller not built in this daemon")

FIFO = "tevra_l3vpn_fifoserver"
RECORD = 2048
RESOURCE_HOST = "10.99.0.7"
WRITTEN = "real write num is 2048, byte in:"


class FifoReader:
    """Reads the FIFO from the test side and keeps each whole record with the
    time it came."""

    def __init__(self, path):
        os.mkfifo(path, 0o600)
        # non-blocking: the open does not wait for a writer, and neither does
        # a read while none has the FIFO open
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.records: list[tuple[float, bytes]] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        buf = b""
        while not self._stop.is_set():
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                chunk = b""
            if not chunk:
                time.sleep(0.01)
                continue
            buf += chunk
            while len(buf) >= RECORD:
                self.records.append((time.monotonic(), buf[:RECORD]))
                buf = buf[RECORD:]

    def close(self):
        self._stop.set()
        self._thread.join(5)
        os.close(self.fd)


def counters(record: bytes) -> tuple[int, int]:
    text, _, rest = record.partition(b"\0")
    assert rest.strip(b"\0") == b"", "the record is text, then zero bytes"
    m = re.fullmatch(rb"byte in:(\d+), byte out:(\d+)", text)
    assert m, text
    return int(m[1]), int(m[2])


def running_not_stopped(testhost) -> bool:
    """The daemon runs and is not stopped (a SIGTSTP left to its default
    action would stop it: state T)."""
    if testhost.daemon_status is not None:
        return False
    with open(f"/proc/{testhost.daemon_pid}/stat") as f:
        state = f.read().rsplit(")", 1)[1].split()[0]
    return state not in ("T", "t")


@pytest.mark.time_limit(120)
def test_stats_fifo_writer_records_every_two_seconds_until_sigtstp(testhost, gateway):
    gw = gateway(g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")]))
    sess = TunnelSession(testhost, gw).start(navtype="standalone")
    reader = FifoReader(testhost.tmp_dir / FIFO)
    try:
        testhost.signal_daemon(signal.SIGSTKFLT)
        assert wait_until(lambda: len(reader.records) >= 3, 20), testhost.describe_daemon()
        r = ping(testhost, RESOURCE_HOST, count=2)
        assert r.returncode == 0, r.stdout + r.stderr
        assert wait_until(lambda: len(reader.records) >= 5, 20), testhost.describe_daemon()
        times = [t for t, _ in reader.records]
        gaps = [b - a for a, b in zip(times, times[1:])]
        # one writer: a record every 2 s (and the wait is never cut short)
        assert all(1.8 <= gap < 6 for gap in gaps), gaps
        values = [counters(rec) for _, rec in reader.records]
        assert values == sorted(values)
        assert values[-1][0] > values[0][0] and values[-1][1] > values[0][1]  # the ping's bytes
        assert running_not_stopped(testhost)

        testhost.signal_daemon(signal.SIGTSTP)
        seen = len(reader.records)
        # a writer started now finds the stop flag and writes nothing
        testhost.signal_daemon(signal.SIGSTKFLT)
        # the running writer ends after the pass under way: one more record
        # at most, over three of its periods
        assert not wait_until(lambda: len(reader.records) > seen + 1, 6), \
            [t - times[0] for t, _ in reader.records]
        assert wait_until(lambda: sum(WRITTEN in ln for ln in testhost.log_lines()) >= len(reader.records), 10)

        # the daemon was neither stopped nor ended, and still serves
        assert running_not_stopped(testhost)
        stats = sess.launcher.stats()
        assert stats.bytes_in >= values[-1][0] and stats.bytes_out >= values[-1][1]
        r = ping(testhost, RESOURCE_HOST, count=2)
        assert r.returncode == 0, r.stdout + r.stderr
    finally:
        reader.close()
    testhost.signal_daemon(signal.SIGTERM)
    sess.assert_ended()
    sess.assert_host_put_back()
