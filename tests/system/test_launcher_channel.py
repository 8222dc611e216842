"""The launcher channel of the real daemon, through the test launcher.

Where no gateway listens, a package that is taken makes the daemon try the
gateway, fail the handshake, answer a "commandline" launcher with "CONNECT
FAIL" and exit with status 0. The tests of local peers that stall (a package
sent a byte now and then, replies never read) bring a session up against the
test gateway."""
import os
import re
import resource
import select
import signal
import socket
import struct
import threading
import time
import warnings

import pytest

import gateway as g
import launcher as launcher_mod
import scenario
from launcher import CONNECT_FAIL, STAT_REQUEST_CODE, build_package
from scenario import gateway  # noqa: F401  (fixture)
from tunnel_session import CLIENT_IP, TunnelSession, tun_names

HANDSHAKE_S = 30  # a refused TCP connect fails at once; this bounds the rest


def _take_good_package(th, make_launcher, cookie):
    """Send a good "commandline" package on a new connection and check that
    this one is taken whole (its cookie and launch mode are logged) and that
    the daemon goes on to the handshake: no gateway answers, so the launcher
    gets "CONNECT FAIL" and the daemon ends with status 0."""
    lc = make_launcher()
    lc.send_package(session_cookie=cookie)
    th.wait_log(f"SESSION COOKIE : {cookie}$", timeout=10)
    th.wait_log("NAVTYPE := commandline$", timeout=5)
    m = th.wait_log("initial process handler failed|Exsit vpn client daemon main start",
                    timeout=HANDSHAKE_S)
    if "initial process handler" in m.group(0):
        # a daemon without the handshake's handler set stops here (status
        # 255); the package was taken all the same
        warnings.warn("handshake handler set not built in this daemon: "
                      "\"CONNECT FAIL\" after a taken package not checked")
        assert th.wait_daemon_exit(10) == 255
        return lc
    assert lc.recv_exact(len(CONNECT_FAIL), timeout=HANDSHAKE_S) == CONNECT_FAIL
    assert th.wait_daemon_exit(HANDSHAKE_S) == 0
    return lc


def test_wrong_magic_is_closed_unanswered_and_next_connection_is_taken(daemon, make_launcher):
    th = daemon
    first = make_launcher()
    first.send_package(magic=0xFEEDC0DF, session_cookie="BADMAGIC")  # last byte differs
    th.wait_log("read finish but pkg is invalid", timeout=10)
    assert first.poll(10) == b"", "the rejected connection is closed without a reply"
    assert "SESSION COOKIE : BADMAGIC" not in "\n".join(th.log_lines())
    _take_good_package(th, make_launcher, "SECONDCOOKIE")
    assert sum("accept success" in ln for ln in th.log_lines()) >= 2


def test_wrong_magic_flood_beyond_the_descriptor_limit_then_the_launcher(daemon, make_launcher):
    """Refused connections the peer keeps open must not fill the daemon's
    descriptor table: with a limit of 64, 150 of them, then the launcher."""
    th = daemon
    resource.prlimit(th.daemon_pid, resource.RLIMIT_NOFILE, (64, 64))
    flood = []
    for _ in range(150):
        lc = make_launcher()
        lc.send_package(magic=0, session_cookie="FLOOD")
        flood.append(lc)
    wait_until = time.monotonic() + 60
    while sum("read finish but pkg is invalid" in ln for ln in th.log_lines()) < len(flood):
        assert time.monotonic() < wait_until, "not every refused package was read: " + \
            "\n".join(th.log_lines()[-5:])
        time.sleep(0.1)
    assert all(lc.poll(10) == b"" for lc in flood), "a refused connection was kept open"
    assert not any("accept failed" in ln for ln in th.log_lines())
    _take_good_package(th, make_launcher, "AFTERFLOOD")


def _cookie_without_end():
    return {"raw": {164: b"C" * (1188 - 164)}}


REFUSED = [
    # (id, package fields, log line the refusal gives or None)
    ("hostname-64", {"hostname": "h" * 64}, "source hostname length is larger then destination"),
    # (the cookie runs over the launch mode too: not "commandline" any more)
    ("cookie-to-end", _cookie_without_end(), "source cookie length is larger then destination"),
    ("proxy-user-64", {"proxy_type": 2, "proxy_ip": "198.18.0.1", "proxy_port": 3128,
                       "proxy_user": "u" * 64}, "proxy uname is larger than destination's buffer"),
    ("proxy-type-5", {"proxy_type": 5, "proxy_ip": "198.18.0.1", "proxy_port": 3128}, None),
    ("ipv6-empty", {"is_ipv6": 1, "gateway_ip6_text": ""},
     "Failed to translate java ip string to ipv6 format"),
    ("gateway-0", {"gateway_ip": "0.0.0.0"}, None),
    ("navtype-64", {"navtype": "n" * 64}, None),
]


@pytest.mark.parametrize("fields,message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_package_then_next_package_is_taken(daemon, make_launcher, fields, message):
    th = daemon
    first = make_launcher()
    first.send_package(build_package(**fields))
    if message:
        th.wait_log(message, timeout=10)
    pkg = build_package(**fields)
    if pkg[676:688] == b"commandline\0":
        # a "commandline" launcher hears of the refusal
        assert first.recv_exact(len(CONNECT_FAIL), timeout=10) == CONNECT_FAIL
    else:
        assert CONNECT_FAIL not in (first.poll(1) or b"")
    _take_good_package(th, make_launcher, "NEXTCOOKIE")


@pytest.mark.parametrize("sent", [0, 100, 1187], ids=lambda n: f"closed-after-{n}")
def test_connection_closed_before_the_whole_package_is_dropped(daemon, make_launcher, sent):
    th = daemon
    short = make_launcher()
    short.send(build_package(session_cookie="PARTIAL")[:sent])
    short.close()
    _take_good_package(th, make_launcher, "WHOLECOOKIE")
    assert not any("PARTIAL" in ln for ln in th.log_lines())


TERMINATING = [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2]


@pytest.mark.parametrize("sig", TERMINATING, ids=lambda s: s.name)
def test_terminating_signal_while_the_package_is_awaited(daemon, sig):
    th = daemon
    th.signal_daemon(sig)
    assert th.wait_daemon_exit(15) == 0
    th.wait_log(f"call vpnc_dtor:{int(sig)}$", timeout=1)
    th.wait_log("Exsit vpn client daemon on signal", timeout=1)


def test_terminating_signal_after_a_refused_package(daemon, make_launcher):
    """The refusal clears what the package filled while the signal thread's
    teardown reads the session record (the TSan daemon reports a race)."""
    th = daemon
    lc = make_launcher()
    lc.send_package(build_package(proxy_type=2, proxy_ip="198.18.0.1", proxy_port=3128,
                                  proxy_user="u" * 64))
    th.wait_log("configuration package refused, waiting for the next one", timeout=10)
    th.signal_daemon(signal.SIGTERM)
    assert th.wait_daemon_exit(30) == 0
    th.wait_log("Exsit vpn client daemon on signal", timeout=1)


def test_dash_v_as_second_argument_is_ignored(testhost, launcher_channel):
    if not launcher_channel:
        pytest.skip("capability probe: the daemon does not listen on 127.0.0.1:6666 within 5 s")
    testhost.start_daemon(args=["start", "-v"])
    assert testhost.wait_listening(timeout=5), testhost.describe_daemon()
    assert "VPNC2_1_0_54" not in testhost.daemon_output()[0]
    testhost.signal_daemon(signal.SIGTERM)
    assert testhost.wait_daemon_exit(15) == 0


def test_package_sent_in_small_pieces_is_taken(daemon, make_launcher):
    th = daemon
    lc = make_launcher()
    pkg = build_package(session_cookie="PIECES")
    for i in range(0, len(pkg), 97):
        lc.send(pkg[i:i + 97])
    th.wait_log("SESSION COOKIE : PIECES$", timeout=10)
    th.wait_log("NAVTYPE := commandline$", timeout=5)


def test_daemon_started_without_standard_input(testhost, launcher_channel, make_launcher):
    # descriptor 0 is an ordinary descriptor the daemon may get for a socket
    if not launcher_channel:
        pytest.skip("capability probe: the daemon does not listen on 127.0.0.1:6666 within 5 s")
    testhost.start_daemon(close_stdin=True)
    assert testhost.wait_listening(timeout=5), testhost.describe_daemon()
    _take_good_package(testhost, make_launcher, "NOSTDIN")


# ---------------------------------------------------- peers that stall

# The daemon's bounds on a launcher peer (client/launcher_channel.h), s.
PACKAGE_BOUND = 20   # the whole package, from the accept
REPLY_BOUND = 5      # one reply, or the terminate echo
TERMINATE_ECHO = b"\xde\xed\xc0\xde"
REPLY_GIVEN_UP = r"the launcher did not take the reply within %d s" % REPLY_BOUND

needs_tunnel = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpn_dtor_qn2")),
    reason="probe: tunnel bring-up or controller not built in this daemon")


def _session_scenario():
    return g.Scenario(resources=[g.Resource("10.99.0.0", "255.255.255.0")])


def _pipeline_until_stuck(lc):
    """Statistics requests, never a reply read, until the daemon has taken
    none for 2 s: the thread serving the connection is then stuck on its
    replies. Small buffers make that come soon."""
    s = lc.sock
    for opt in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        s.setsockopt(socket.SOL_SOCKET, opt, 4096)
    s.setblocking(False)
    reqs = struct.pack(">I", STAT_REQUEST_CODE) * 4096
    sent = 0
    try:
        while select.select([], [s], [], 2)[1]:
            try:
                # the requests repeat every 4 bytes: a partial send goes on in step
                sent += s.send(reqs[sent % 4:len(reqs) - 4 + sent % 4])
            except BlockingIOError:
                continue
            assert sent < 64 << 20, "the daemon never stopped reading"
    finally:
        s.setblocking(True)
    assert sent >= 4


def _let_go_within(lc, secs):
    """Whether the daemon ends the connection within `secs`, seen without
    reading (a read would let a stuck reply through)."""
    p = select.poll()
    p.register(lc.sock, select.POLLRDHUP)
    return any(ev & (select.POLLRDHUP | select.POLLHUP | select.POLLERR)
               for _, ev in p.poll(secs * 1000))


@needs_tunnel
@pytest.mark.parametrize("slow", ["first", "extra"])
def test_reader_that_never_reads_holds_no_newer_connection(testhost, gateway, make_launcher, slow):
    """The first connection, or an extra one, pipelines statistics requests
    and reads nothing: a newer extra connection is still answered at once,
    its statistics and its terminate request, and the stuck reply ends the
    slow connection's service within the bound."""
    sess = TunnelSession(testhost, gateway(_session_scenario())).start(navtype="standalone")
    if slow == "first":
        stuck = sess.launcher
    else:
        mark = testhost.log_mark()
        stuck = make_launcher()
        testhost.wait_log(r"received data from autolaunch socket", 10, start=mark)
    mark = testhost.log_mark()
    _pipeline_until_stuck(stuck)
    newer = make_launcher()
    t0 = time.monotonic()
    assert newer.stats(timeout=REPLY_BOUND - 1).client_ip == CLIENT_IP
    assert time.monotonic() - t0 < REPLY_BOUND - 1
    if slow == "first":
        # its thread gives up the reply it cannot send
        testhost.wait_log(REPLY_GIVEN_UP, REPLY_BOUND + 30, start=mark)
        testhost.wait_log(r"Failed to send (ip address|receive data statistics|sent data statistics) "
                          r"to java applet", 5, start=mark)
    else:
        # replaced: its worker ends within the bound and lets the connection go
        assert _let_go_within(stuck, REPLY_BOUND + 30), "the replaced connection is still held"
    assert newer.stats().client_ip == CLIENT_IP
    assert newer.terminate() == TERMINATE_ECHO
    sess.assert_ended(60)
    sess.assert_host_put_back()


def _trickle(th, stop, n):
    """n connections, each sending a package one byte every 3 s; answers
    them once the daemon has accepted all n."""
    mark = th.log_mark()
    conns = [launcher_mod.Launcher(th).connect() for _ in range(n)]

    def trickle(lc):
        pkg = scenario.package(launcher_mod, session_cookie="TRICKLED")
        for i in range(len(pkg)):
            try:
                lc.sock.send(pkg[i:i + 1])
            except OSError:
                return  # dropped
            if stop.wait(3):
                return
    for lc in conns:
        threading.Thread(target=trickle, args=(lc,), daemon=True).start()
    deadline = time.monotonic() + 10
    while sum("accept success" in r.msg for r in th.log_records()[mark:]) < n:
        assert time.monotonic() < deadline, "the tricklers were not all accepted"
        time.sleep(0.05)
    return conns


def test_trickling_connection_alone_is_dropped_after_the_package_bound(daemon, make_launcher):
    th = daemon
    stop = threading.Event()
    try:
        t0 = time.monotonic()
        trickler, = _trickle(th, stop, 1)
        th.wait_log(r"the whole package did not arrive within %d s, connection dropped$"
                    % PACKAGE_BOUND, PACKAGE_BOUND + 30)
        assert PACKAGE_BOUND - 1 <= time.monotonic() - t0 <= PACKAGE_BOUND + 25
        assert trickler.poll(10) == b"", "the dropped connection is closed"
    finally:
        stop.set()
    _take_good_package(th, make_launcher, "AFTERTRICKLE")
    assert not any("TRICKLED" in ln for ln in th.log_lines())


@needs_tunnel
def test_tricklers_ahead_of_the_launcher_do_not_delay_its_package(testhost, gateway):
    """Three connections trickling their packages ahead of the launcher: each
    is read within its own bound beside the others, so the launcher's package
    is taken at once (one after another they would hold it for 60 s), and
    they are let go once it is in."""
    gw = gateway(_session_scenario())
    sess = TunnelSession(testhost, gw)
    testhost.start_daemon()
    stop = threading.Event()
    try:
        tricklers = _trickle(testhost, stop, 3)
        lch = sess.launcher = launcher_mod.Launcher(testhost).connect()
        t0 = time.monotonic()
        lch.send_package(scenario.package(launcher_mod, navtype="standalone"))
        testhost.wait_log(r"SESSION COOKIE : %s$" % re.escape(scenario.COOKIE), PACKAGE_BOUND + 5)
        assert time.monotonic() - t0 < PACKAGE_BOUND + 5
        testhost.wait_log(r"3 other connections awaiting a package dropped$", 5)
        assert all(t.poll(10) == b"" for t in tricklers)
    finally:
        stop.set()
    assert not any("TRICKLED" in ln for ln in testhost.log_lines())
    assert gw.wait_tunnel(1, 30) is not None, testhost.describe_daemon()
    testhost.wait_log(r":launch command$", 30)
    sess.tun = tun_names(testhost)[0]
    assert lch.stats().client_ip == CLIENT_IP
    assert lch.terminate() == TERMINATE_ECHO
    sess.assert_ended(60)
    sess.assert_host_put_back()


FLOOD_CONNECTIONS = 60
FLOOD_REQUESTS = 15000
WORKERS_CAP = 8  # extra-connection workers alive at once (client/launcher_channel.h)


def _daemon_counts(th):
    """(threads, open descriptors) of the daemon."""
    pid = th.daemon_pid
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))


@needs_tunnel
@pytest.mark.time_limit(150)
def test_flood_of_connections_that_never_read_leaves_the_newest_served_at_once(testhost, gateway,
                                                                                  make_launcher):
    """60 extra connections 0.2 s apart, each pipelining 15,000 statistics
    requests with a 1 KiB receive buffer and never reading: over the workers'
    cap the oldest replaced connection is ended at once, so the listener
    keeps up, a new connection is answered at once, and the daemon's
    threads and descriptors stay bounded."""
    sess = TunnelSession(testhost, gateway(_session_scenario())).start(navtype="standalone")
    threads0, fds0 = _daemon_counts(testhost)
    reqs = struct.pack(">I", STAT_REQUEST_CODE) * FLOOD_REQUESTS
    flood = []
    most_threads = most_fds = 0
    try:
        for _ in range(FLOOD_CONNECTIONS):
            with testhost.host_ns():
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            s.connect(("127.0.0.1", 6666))
            flood.append(s)
            try:
                s.send(reqs, socket.MSG_DONTWAIT)  # what the buffers take; the rest is never sent
            except (BlockingIOError, ConnectionError):
                pass
            time.sleep(0.2)
            threads, fds = _daemon_counts(testhost)
            most_threads, most_fds = max(most_threads, threads), max(most_fds, fds)
        newest = make_launcher()
        t0 = time.monotonic()
        assert newest.stats(timeout=10).client_ip == CLIENT_IP
        assert time.monotonic() - t0 < 10
        # the workers' cap bounds both (a few more for what a tool run or
        # another thread holds for a moment), far below one per connection
        assert most_threads <= threads0 + WORKERS_CAP + 2, (threads0, most_threads)
        assert most_fds <= fds0 + WORKERS_CAP + 4, (fds0, most_fds)
        assert testhost.daemon_status is None
        assert newest.terminate() == TERMINATE_ECHO
    finally:
        for s in flood:
            s.close()
    sess.assert_ended(60)
    sess.assert_host_put_back()
