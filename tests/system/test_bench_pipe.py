"""The bench's baseline relay (bench/tls_pipe client + server) carries bytes
intact both ways, over real TLS 1.2, several connections at once: otherwise
its figures would measure something else."""
from __future__ import annotations

import hashlib
import random
import select
import socket
import ssl
import subprocess
import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
pytest.importorskip("testhost", reason="tests/system/testhost.py not merged yet")

ECHO_PORT, TLS_PORT, PLAIN_PORT = 7001, 7002, 7003


def tls_pipe_path(daemon_path: Path) -> Path:
    return daemon_path.resolve().parent / "bench" / "tls_pipe"


def start(th, argv) -> subprocess.Popen:
    p = th.popen_host(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    r, _, _ = select.select([p.stdout], [], [], 10)
    assert r and p.stdout.readline().strip() == b"ready", p.stderr.read1(4096)
    return p


def echo_server(th) -> socket.socket:
    with th.host_ns():
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    ls.bind(("127.0.0.1", ECHO_PORT))
    ls.listen(8)

    def serve(c):
        with c:
            while data := c.recv(65536):
                c.sendall(data)

    def loop():
        while True:
            try:
                c, _ = ls.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(c,), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()
    return ls


def through(th, data: bytes) -> bytes:
    with th.host_ns():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    s.settimeout(20)
    s.connect(("127.0.0.1", PLAIN_PORT))
    sender = threading.Thread(target=s.sendall, args=(data,), daemon=True)
    sender.start()
    got = bytearray()
    while len(got) < len(data):
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        got += chunk
    sender.join(20)
    s.close()
    return bytes(got)


@pytest.mark.parametrize("record", [[], ["1400"]], ids=["full-records", "packet-records"])
def test_relay_pair_carries_bytes_intact(testhost, daemon_path, tmp_path, record):
    pipe = tls_pipe_path(daemon_path)
    if not pipe.is_file():
        pytest.fail(f"{pipe} is missing: build it (bash scripts/build.sh)", pytrace=False)
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=bench.test"],
                   check=True, capture_output=True, timeout=60)
    ls = echo_server(testhost)
    try:
        start(testhost, [str(pipe), "server", "127.0.0.1", str(TLS_PORT), str(cert), str(key),
                         "127.0.0.1", str(ECHO_PORT), *record])
        start(testhost, [str(pipe), "client", "127.0.0.1", str(PLAIN_PORT), "127.0.0.1",
                         str(TLS_PORT), *record])
        # the middle leg is TLS 1.2, not plain bytes
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
        with testhost.host_ns():
            raw = socket.create_connection(("127.0.0.1", TLS_PORT), timeout=10)
        with ctx.wrap_socket(raw) as t:
            assert t.version() == "TLSv1.2"
        # four connections at once, sizes around the 16 KB record edge
        sizes = [1, 16384, 16385, 3 << 20]
        blobs = [random.Random(i).randbytes(n) for i, n in enumerate(sizes)]
        results = [None] * len(blobs)

        def run(i):
            results[i] = through(testhost, blobs[i])
        workers = [threading.Thread(target=run, args=(i,)) for i in range(len(blobs))]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
        for blob, got in zip(blobs, results):
            assert got is not None and hashlib.sha256(got).hexdigest() == \
                hashlib.sha256(blob).hexdigest(), (len(blob), None if got is None else len(got))
    finally:
        ls.close()
