"""The teardown as a whole within its time on a host whose route tool hangs
on every delete: the first hung run is stopped at the tool's bound, the
later ones at a short one and, late in the teardown, not started; the steps
whose tools answer still put the host back."""
import functools
import re
import signal
import time

import pytest

import gateway as g
import scenario
import sysconfig_store
import testhost as th_mod
from scenario import gateway  # noqa: F401  (fixture)
from tunnel_session import NEXT_HOP, HungTool, TunnelSession, log_count, store_contents, wait_until

pytestmark = pytest.mark.skipif(
    not (scenario.tunnel_built() and scenario.built("vpn_dtor_qn2", "restore_routes")),
    reason="probe: tunnel bring-up or controller not built in this daemon")

TEARDOWN_BOUND = 30  # s, the teardown as a whole (client/cmd_runner.h)
HUNG_LINE = "'/sbin/route' did not end within 10 s; its further runs in this teardown get short bounds"
SKIP_LINE = "'/sbin/route' skipped: the teardown is past its time"
SWITCH = "route-delete-hangs"  # in the daemon's /tmp: from then on every delete hangs


class HungDelete(HungTool):
    """The route stand-in, hanging on `delete` once the test says so (the
    set-up's deletes answer)."""

    def __init__(self, testhost, tmp_path):
        super().__init__(testhost, tmp_path, "route")
        self.path.write_text(
            "#!/bin/sh\n"
            f'if [ "$1" = delete ] && [ -e /tmp/{SWITCH} ]; then\n'
            '  sleep 600 & echo "$$ $!" >> /tmp/hung-route; wait\n'
            "fi\n"
            f'exec {th_mod.REPO}/tools/bin/route "$@"\n')

    def arm(self) -> None:
        (self.th.tmp_dir / SWITCH).write_text("")


def nets(first: int, n: int) -> list:
    return [g.Resource(f"10.{first + i}.0.0", "255.255.0.0") for i in range(n)]


# (the gateway's routes, whether the last hung runs are skipped)
CASES = {
    # a few routes: every delete gets its run, then the host's own default
    # route comes back through the same tool, which answers an add
    "full-tunnel": (dict(flags=g.NETCFG_FULL_TUNNEL, excludes=nets(120, 4)), False),
    # more routes than the short bounds fit in: the last deletes are skipped
    "many-split-routes": (dict(resources=nets(100, 20)), True),
}


@pytest.mark.time_limit(180)
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_hung_route_delete_teardown_ends_within_its_bound_and_puts_back_what_answers(
        testhost, gateway, tmp_path, case):
    routes, skipped = case
    gw = gateway(g.Scenario(host_map=[("10.99.0.10", "intra.example.test")],
                            dns=["10.99.0.53"], search_domains=["corp.example.test"],
                            inside_proxy=(g.PROXY_MANUAL, "10.99.0.3:3128"), **routes))
    hung = HungDelete(testhost, tmp_path)
    sess = TunnelSession(testhost, gw)
    before_routes = set(sess.before.routes)
    (testhost.library_dir / "Frameworks").mkdir(parents=True, exist_ok=True)  # as on every Mac
    testhost.start_daemon = functools.partial(testhost.start_daemon, tools=hung.tools())
    sess.start(navtype="standalone")
    full = routes.get("flags") == g.NETCFG_FULL_TUNNEL
    if full:  # the inside proxy is a full tunnel's
        testhost.wait_log(r"set proxy for service %s, successful$" % re.escape(sysconfig_store.SERVICE), 30)
    routes_up = set(testhost.routes())
    hung.arm()
    mark = len(testhost.journal())
    sent = time.monotonic()
    testhost.signal_daemon(signal.SIGTERM)
    status = testhost.wait_daemon_exit(TEARDOWN_BOUND + 60)
    took = time.monotonic() - sent
    assert status == 0, testhost.describe_daemon()
    assert took < TEARDOWN_BOUND, took
    sess.assert_ended(5)
    # every hung run was stopped with its children
    calls = hung.calls()
    assert calls
    assert wait_until(lambda: all(hung.gone(c) for c in calls), 10), calls
    log = testhost.log_lines()
    assert log_count(testhost, HUNG_LINE) == 1
    assert log_count(testhost, SKIP_LINE) == (1 if skipped else 0), "\n".join(ln for ln in log if "route" in ln)
    # the first run had the tool's bound, the later ones short ones (a run
    # stopped before the stand-in got going left no record of its call)
    stopped = [m.group(1) for m in (re.search(r"did not end within 1 s, stopped: '/sbin/route (.*)'$", ln)
                                    for ln in log) if m]
    assert sum("did not end within 10 s, stopped: '/sbin/route delete" in ln for ln in log) == 1
    assert stopped and len(calls) - 1 <= len(stopped)
    # the steps whose tools answer put their part back: the host map, the
    # DNS settings and the proxies (the store, the proxies' step coming after
    # the routes')
    assert (testhost.etc_dir / "hosts").read_bytes() == sess.before.hosts
    assert store_contents(testhost) == sess.before.store
    now = set(testhost.routes())
    assert now - before_routes <= routes_up, now - before_routes - routes_up  # only routes whose delete hung
    after = [" ".join(c[1:]) for c in testhost.journal()[mark:] if c[0].endswith("/route")]
    assert not any(c.startswith("delete") for c in after)  # no hung run reached the stand-in
    if full:
        # the host's own routes are asked back after the hung deletes, through
        # the same tool, which answers an add within the short bound (the
        # kernel refuses the default route while the tunnel's, whose delete
        # hung, stands); on a loaded machine a stand-in that has not even
        # recorded its call within that bound is stopped like a hung one
        hung_at = next(i for i, ln in enumerate(log) if ln.endswith(HUNG_LINE))
        adds = [m.group(1) for m in (re.search(r"Route execute '/sbin/route (add .*)' flag", ln)
                                     for ln in log[hung_at:]) if m]
        assert "add -net 10.77.0.0 -netmask 255.255.255.0 -interface en0 -cloning" in adds, adds
        assert f"add default {NEXT_HOP}" in adds, adds
        assert all(a in after or a in stopped for a in adds), (adds, after, stopped)
    else:
        assert before_routes <= now, before_routes - now
