#!/usr/bin/env bash
# demo.sh: one whole session of the daemon in the private test host (test
# gateway, test launcher, tunnel, ping, transfer, statistics, terminate,
# teardown), narrated step by step. Needs root and a build (scripts/build.sh);
# the daemon is $VPNC_DAEMON, else build/vpnc_daemon. Leaves nothing behind.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: run it as root (it makes network and mount namespaces)" >&2
  exit 2
fi
exec /usr/bin/python3 tests/system/demo.py "$@"
