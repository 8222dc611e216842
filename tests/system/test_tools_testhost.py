"""The tool stand-ins as the daemon meets them: at their macOS paths inside the
test host, changing the host namespace's kernel and recording every call."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
th_mod = pytest.importorskip("testhost", reason="tests/system/testhost.py not merged yet")


def test_stand_ins_answer_at_the_macos_paths(testhost):
    r = testhost.run_private(["/sbin/route", "-n", "get", "default"])
    assert r.returncode == 0, r.stderr
    assert "  interface: en0\n" in r.stdout and "    gateway: 10.77.0.1\n" in r.stdout
    r = testhost.run_private(["/usr/sbin/system_profiler", "SPHardwareDataType"])
    assert r.returncode == 0 and "Hardware UUID: " in r.stdout
    r = testhost.run_private(["/sbin/ifconfig", "en0"])
    assert r.returncode == 0 and "\tinet 10.77.0.2 netmask 0xffffff00" in r.stdout
    assert testhost.journal() == [["/sbin/route", "-n", "get", "default"],
                                  ["/usr/sbin/system_profiler", "SPHardwareDataType"],
                                  ["/sbin/ifconfig", "en0"]]


def test_route_and_arp_change_the_host_namespace(testhost):
    before = testhost.routes()
    cmds = [["/sbin/route", "add", "-host", "198.18.0.1", "-gateway", "10.77.0.1"],
            ["/sbin/route", "add", "-net", "10.99.0.0", "-netmask", "255.255.255.0",
             "-interface", "en0"],
            ["/usr/sbin/arp", "-s", "10.77.0.1", "2:0:a:4d:0:1", "ifscope", "en0"],
            ["/usr/sbin/arp", "-a", "-d"]]
    for c in cmds:
        r = testhost.run_private(c)
        assert r.returncode == 0, (c, r.stderr)
    routes = testhost.routes()
    assert any(line.startswith("198.18.0.1 via 10.77.0.1 dev en0") for line in routes), routes
    assert any(line.startswith("10.99.0.0/24 dev en0") for line in routes), routes
    neigh = testhost.neigh()
    assert any(line.startswith("10.77.0.1 dev en0 lladdr 02:00:0a:4d:00:01 PERMANENT")
               for line in neigh), neigh
    for c in (["/sbin/route", "delete", "-host", "198.18.0.1", "-gateway", "10.77.0.1"],
              ["/sbin/route", "delete", "-net", "10.99.0.0", "-netmask", "255.255.255.0",
               "-interface", "en0"]):
        assert testhost.run_private(c).returncode == 0
    assert testhost.routes() == before
    assert testhost.journal() == cmds + [
        ["/sbin/route", "delete", "-host", "198.18.0.1", "-gateway", "10.77.0.1"],
        ["/sbin/route", "delete", "-net", "10.99.0.0", "-netmask", "255.255.255.0",
         "-interface", "en0"]]


def test_shell_lines_are_recorded_and_the_dns_cache_tools_only_record(testhost):
    sleeper = testhost.popen_host(["sleep", "300"])
    line = ("killall -HUP mDNSResponder; killall sleep;dscacheutil -flushcache;"
            "discoveryutil udnsflushcaches;discoveryutil mdnsflushcache; yes | head -n 2 | wc -l")
    r = testhost.run_private(line)
    assert r.returncode == 0 and r.stdout.split() == ["2"], r.stderr
    assert testhost.shell_lines() == [line]
    # the shell line itself is no tool call
    assert testhost.journal() == [["/usr/bin/killall", "-HUP", "mDNSResponder"],
                                  ["/usr/bin/killall", "sleep"],
                                  ["/usr/bin/dscacheutil", "-flushcache"],
                                  ["/usr/sbin/discoveryutil", "udnsflushcaches"],
                                  ["/usr/sbin/discoveryutil", "mdnsflushcache"]]
    assert sleeper.poll() is None  # killall signals nothing
    # what the real tools refuse
    for cmd in (["/usr/bin/killall"], ["/usr/bin/dscacheutil"], ["/usr/sbin/discoveryutil", "x"]):
        assert testhost.run_private(cmd).returncode != 0, cmd
