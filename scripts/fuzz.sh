#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build for a bounded time each.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-b BUILD_DIR] [--no-build]
#
# SECONDS per target (default 30, or $FUZZ_SECONDS), JOBS targets at once (default 1);
# BUILD_DIR defaults to build/fuzz (the "fuzz" preset). Every executable named fuzz_* found there
# is run, so a target a fuzz/*.cmake fragment adds joins by itself. Corpora grow in BUILD_DIR/corpus/<target>; seeds are taken from
# fuzz/corpus/<target> and the dictionary from fuzz/dict/<target>.dict when present; a crashing
# input is kept in BUILD_DIR/artifacts/. Exits non-zero when any target fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-30}"
jobs=1
build_dir="$root/build/fuzz"
build=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    -t) seconds="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -b) build_dir="$(realpath -m "$2")"; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [[ "$seconds" -eq 0 ]]; then
  echo "fuzz.sh: seconds must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: jobs must be a positive whole number, not '$jobs'" >&2
  exit 2
fi

if [[ $build -eq 1 ]]; then
  bash "$root/scripts/deps.sh"
  cmake --preset fuzz -S "$root" -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target tessarin_fuzz
fi

mapfile -t targets < <(find "$build_dir" \( -path "$build_dir/artifacts" -o -path "$build_dir/corpus" \) \
  -prune -o -type f -name 'fuzz_*' -perm -u+x -print 2>/dev/null | sort)
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "fuzz.sh: no fuzz_* executables in $build_dir (build the 'fuzz' preset first)" >&2
  exit 1
fi

# Runs one target; its verdict and log go to BUILD_DIR/artifacts/<target>.{log,result}.
run_target() {
  local target="$1" name corpus log
  name="$(basename "$target")"
  corpus="$build_dir/corpus/$name"
  mkdir -p "$corpus"
  local seeds=() dict=()
  [[ -d "$root/fuzz/corpus/$name" ]] && seeds+=("$root/fuzz/corpus/$name")
  [[ -f "$root/fuzz/dict/$name.dict" ]] && dict+=("-dict=$root/fuzz/dict/$name.dict")
  log="$build_dir/artifacts/$name.log"
  if "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix="$build_dir/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    echo "ok" >"$build_dir/artifacts/$name.result"
  else
    echo "failed" >"$build_dir/artifacts/$name.result"
  fi
}

mkdir -p "$build_dir/artifacts"
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  if [[ $running -ge $jobs ]]; then
    wait -n || true
    running=$((running - 1))
  fi
  rm -f "$build_dir/artifacts/$(basename "$target").result"
  run_target "$target" &
  running=$((running + 1))
done
wait || true

passed=0
failed=0
for target in "${targets[@]}"; do
  name="$(basename "$target")"
  log="$build_dir/artifacts/$name.log"
  if [[ "$(cat "$build_dir/artifacts/$name.result" 2>/dev/null)" == ok ]]; then
    runs="$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')"
    features="$(grep -o 'ft: [0-9]*' "$log" | tail -n 1)"
    echo "== $name: ok, $runs runs, $features"
    passed=$((passed + 1))
  else
    echo "== $name: FAILED (log: $log)"
    tail -n 30 "$log" | sed 's/^/   | /'
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
