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
# In CI (CI=true) a test that fails is run once more, so one bad moment of a
# loaded machine does not sink the run; a fault fails both tries, and every
# test that needed the second try is named at the end.
retry=()
[ "${CI:-}" = true ] && retry=(--repeat until-pass:2)
status=0
ctest --preset "$preset" -j "$(nproc)" "${retry[@]}" || status=$?
if [ ${#retry[@]} -gt 0 ]; then
  log="build/$preset/Testing/Temporary/LastTest.log"
  again=$(awk '/^[0-9]+\/[0-9]+ Testing: /{name=$3} /^Test Failed/{print name}' "$log" | sort -u)
  [ -n "$again" ] && printf 'tests that failed a try (%s preset):\n%s\n' "$preset" "$again" | sed '2,$s/^/  /'
fi
exit "$status"
