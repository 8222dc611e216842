#!/usr/bin/env bash
# Installs every package the build, the tests, the demo and the bench need.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libssl-dev openssl
      libgtest-dev googletest nlohmann-json3-dev
      python3 python3-pytest python3-pytest-xdist python3-pacparser
      libglib2.0-bin gsettings-desktop-schemas
      iproute2 iputils-ping util-linux procps psmisc curl squid apache2-utils iperf3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
