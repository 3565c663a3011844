#!/usr/bin/env bash
# Installs the Debian packages the build needs (run as root); with --test
# also what the tests use.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev
          libssl-dev rapidjson-dev libboost-dev)
if [ "${1:-}" = "--test" ]; then
  # clang for the fuzz targets; the openssl tool as a TLS peer; ip for the
  # tests' own network namespaces; real clients of the web API (the Chromium
  # test skips itself when the browser is absent).
  packages+=(clang libclang-rt-14-dev openssl iproute2 curl chromium)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
