#!/usr/bin/env bash
# build.sh [plain|asan|tsan]: configures and builds into build/, build-asan/ or build-tsan/.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
case "$kind" in
  plain) dir=build; san="" ;;
  asan) dir=build-asan; san=address ;;
  tsan) dir=build-tsan; san=thread ;;
  *) echo "unknown build kind $kind" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DVPNC_SANITIZE="$san" >/dev/null
ninja -C "$dir"
