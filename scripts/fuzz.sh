#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build for a bounded time each.
#
#   scripts/fuzz.sh [-t SECONDS] [-b BUILD_DIR] [--no-build]
#
# SECONDS per target (default 30, or $FUZZ_SECONDS); BUILD_DIR defaults to build/fuzz (the
# "fuzz" preset). Every executable named fuzz_* found there is run. Corpora grow in
# BUILD_DIR/corpus/<target>; seeds are taken from fuzz/corpus/<target> when present; a crashing
# input is kept in BUILD_DIR/artifacts/. Exits non-zero when any target fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-30}"
build_dir="$root/build/fuzz"
build=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    -t) seconds="$2"; shift 2 ;;
    -b) build_dir="$(realpath -m "$2")"; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [[ "$seconds" -eq 0 ]]; then
  echo "fuzz.sh: seconds must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

if [[ $build -eq 1 ]]; then
  cmake --preset fuzz -S "$root" -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j"$(nproc)"
fi

mapfile -t targets < <(find "$build_dir" -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "fuzz.sh: no fuzz_* executables in $build_dir (build the 'fuzz' preset first)" >&2
  exit 1
fi

passed=0
failed=0
mkdir -p "$build_dir/artifacts"
for target in "${targets[@]}"; do
  name="$(basename "$target")"
  corpus="$build_dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "$root/fuzz/corpus/$name" ]] && seeds+=("$root/fuzz/corpus/$name")
  log="$build_dir/artifacts/$name.log"
  echo "== $name: ${seconds}s"
  if "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    echo "   ok: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs"
    passed=$((passed + 1))
  else
    echo "   FAILED (log: $log)"
    tail -n 30 "$log" | sed 's/^/   | /'
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
