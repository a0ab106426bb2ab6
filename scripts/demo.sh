#!/usr/bin/env bash
# The main job on a machine with no display and no hardware: build
# tessarin-cli, make a sample image, burn it with progress into the built-in
# simulated device, verify it and show the device's new version.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

say "Installing what the build needs (skipped when present)"
bash scripts/deps.sh

say "Building tessarin-cli (default preset)"
cmake --preset default >/dev/null
cmake --build --preset default --target tessarin-cli
cli="$PWD/build/default/src/cli/tessarin-cli"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# One simulated Kestrova device (0495:8041) whose EEPROM is kept in
# $work/sim-0.eeprom, so the burn is still there for the later runs. The
# small latency per transfer lets the progress bar be seen.
sim="dir=$work;latency=200us"

say "Making a sample image: version 1.2, Cur 7, for 0495:8041"
"$cli" make-image sample.rom --version 1.2 --cur 7 --vid 0495 --pid 8041
"$cli" --simulate "$sim" image sample.rom

say "The simulated device before the burn (a blank EEPROM)"
"$cli" --simulate "$sim" info

say "Burning the image"
"$cli" --simulate "$sim" burn sample.rom

say "Verifying the device against the image"
"$cli" --simulate "$sim" verify sample.rom

say "The device's new version"
"$cli" --simulate "$sim" info

say "Done. Try it on a real device with: $cli list, then $cli burn FILE"
