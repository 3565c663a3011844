#!/usr/bin/env bash
# Builds the service (plain Release build in build/release) and runs it in the
# foreground with the machine's configuration (/etc/Corvane/DirectoryService.conf,
# defaults when it is missing). Ctrl-C, or SIGTERM, stops it cleanly.
# Logs: /var/lib/Corvane/Talvenor/DiscoveryService/Logs (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=${JOBS:-$(nproc)}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTDS_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target TalvenorDiscoveryService -j "$jobs"
echo "Talvenor Discovery Service: protocol 2 on TCP 53202, protocol 1 on 53200/53201, HTTP API on httpPort (80); Ctrl-C stops it."
exec build/release/DiscoveryService/TalvenorDiscoveryService -e
