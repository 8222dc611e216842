#!/usr/bin/env bash
# client/ must build on macOS as it is: Linux-only calls live in platform/.
# Fails, naming file and line, when client/ uses one of them.
set -uo pipefail
cd "$(dirname "$0")/.."
words='close_range|dup3|accept4|SOCK_CLOEXEC|SOCK_NONBLOCK|MSG_NOSIGNAL|epoll|eventfd|signalfd|timerfd|prctl|pipe2|memfd_create|SIGSTKFLT|ifr_netmask|sys/sysinfo|linux/'
if grep -rnE "\\b($words)|/proc/" --include='*.cpp' --include='*.h' client/; then
  echo "client/ uses a Linux-only call (above): put it behind a function in platform/" >&2
  exit 1
fi
echo "client/ uses no Linux-only call"
