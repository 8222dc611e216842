#!/usr/bin/env bash
# Installs what is missing, builds the three configurations and runs every test:
# the unit tests plainly, under ASan+UBSan and under TSan, then the system
# tests (the real daemon in the private test host; needs root), and the
# hostile-input and teardown system tests again on the ASan+UBSan daemon, and
# the thread-heavy ones again on the TSan daemon. Every system test builds its
# own test host (fresh namespaces, a tmp dir of its own), so each system stage
# runs its tests side by side on pytest-xdist workers.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1
status=0
bash scripts/check-boundary.sh || status=1
for kind in plain asan tsan; do
  bash scripts/build.sh "$kind" || exit 1
done
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for dir in build build-asan; do
  echo "== unit tests ($dir)"
  ctest --test-dir "$dir" --output-on-failure -j 8 || status=1
done
echo "== unit tests (build-tsan)"
# TSan needs the low-entropy address layout.
setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure -j 8 || status=1
echo "== system tests"
# The bench tests measure throughput: they run after the others, one at a
# time, so their figures are not taken on a machine the other tests load.
/usr/bin/python3 -m pytest -q -p no:cacheprovider -n 6 \
  --ignore=tests/system/test_bench_pipe.py --ignore=tests/system/test_bench_smoke.py \
  tests/system || status=1
/usr/bin/python3 -m pytest -q -p no:cacheprovider \
  tests/system/test_bench_pipe.py tests/system/test_bench_smoke.py || status=1
# The tests that feed the daemon hostile input (configuration records, packet
# stream, launcher packages, proxy replies) and the teardown tests once more, on the
# ASan+UBSan daemon: a report aborts it, and the test host fails the test on a
# report or an abort. The daemon ends by _exit, so there is no leak check. The
# table of host route shapes is left to the plain run (the route code's unit
# tests run under ASan).
echo "== system tests (build-asan daemon: hostile input and teardown)"
VPNC_DAEMON="$PWD/build-asan/vpnc_daemon" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider -n 6 -m "not slow" \
  -k "not more_than_a_default_route" \
  tests/system/test_exchange.py tests/system/test_gateway_peer.py \
  tests/system/test_launcher_channel.py tests/system/test_teardown_reconnect.py \
  tests/system/test_hardening.py tests/system/test_outside_proxy.py tests/system/test_teardown_bound.py || status=1
# The thread-heavy tests once more, on the TSan daemon: the launcher channel,
# a forced end during a reconnection, two terminate requests at once, the
# browser watch, the keepalive thread's reconnection, the forced ends
# together and during a UDP flood through the tunnel, a replaced utun
# device, the signal thread's FIFO writers, the outside proxy (refused
# packages and signals while the package is awaited among them). A report aborts the daemon, and the test
# host fails the test on a report or an abort. A few minutes: the slow tests
# and the near-copies of these are left out. Fewer workers: a TSan daemon
# takes several times the CPU and memory of a plain one.
echo "== system tests (build-tsan daemon: threads)"
VPNC_DAEMON="$PWD/build-tsan/vpnc_daemon" VPNC_DAEMON_WRAPPER="setarch $(uname -m) -R" \
  TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider -n 4 -m "not slow" -k "not Safari and not Chrome" \
  tests/system/test_launcher_channel.py \
  tests/system/test_controller.py::test_sigterm_during_reconnection_stops_it_and_tears_down_once \
  tests/system/test_watchdogs.py::test_browser_watch_ends_the_session_once_the_browser_is_gone \
  tests/system/test_watchdogs.py::test_four_unanswered_keepalives_lead_to_a_reconnection \
  tests/system/test_teardown_reconnect.py::test_forced_end_during_a_udp_flood_through_the_tunnel \
  tests/system/test_teardown_reconnect.py::test_sigterm_terminate_and_kill_notice_together_tear_down_once \
  tests/system/test_teardown_reconnect.py::test_two_terminate_requests_at_once_both_get_the_echo \
  tests/system/test_teardown_reconnect.py::test_changed_client_address_recreates_utun_with_its_peer_route \
  tests/system/test_signal_thread.py tests/system/test_outside_proxy.py || status=1
exit $status
