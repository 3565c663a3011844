#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (run as root).
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev
          clang libclang-rt-14-dev libssl-dev rapidjson-dev libboost-dev
          # Clients of the web API in tests (the Chromium test skips itself
          # when the browser is absent).
          curl chromium)
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
