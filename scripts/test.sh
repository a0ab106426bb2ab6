#!/usr/bin/env bash
# Builds everything with the default preset and runs every test.
#   scripts/test.sh            the default build
#   scripts/test.sh asan       the same tests under AddressSanitizer + UBSan
#   scripts/test.sh tsan       the core, station, board and store tests under ThreadSanitizer
#                              (only those are built: the groups the preset names)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
