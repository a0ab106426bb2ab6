#!/usr/bin/env bash
# The window program told to end from outside, on a real X server (Xvfb):
# its window destroyed by another client (xdotool windowclose), and the stop
# signals a log-out or the terminal sends (SIGTERM, SIGHUP, SIGINT), each idle
# and in the middle of a burn. Each time the program must end by itself with
# status 0; a burn cut short stops safely (the device's first byte stays
# 0xFF) and its notice goes to stderr, as no box can be answered any more.
# The signals also reach the program on the offscreen platform.
#
#   window_ending_test.sh TESSARIN TESSARIN_CLI
#
# Exits 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
app=$(realpath "$1")
cli=$(realpath "$2")
for tool in Xvfb xdotool od; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

scratch=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
cd "$scratch"
# In a sanitizer build: on a real X server Qt also talks to D-Bus, and
# libdbus keeps one allocation of its own to the end.
echo "leak:libdbus-1.so" >lsan.supp
export LSAN_OPTIONS="suppressions=$scratch/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

fail() { echo "FAIL: $*" >&2; [ ! -f app.log ] || sed 's/^/  app: /' app.log >&2; exit 1; }
wait_for() {  # wait_for WHAT COMMAND...: up to 30 s
  local what=$1
  shift
  for _ in $(seq 1 60); do "$@" && return 0; sleep 0.5; done
  fail "gave up waiting for $what"
}

# A display of its own, whatever else runs in parallel.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>display.txt >/dev/null 2>&1 &
xvfb_pid=$!
display_known() { grep -q '^[0-9]' display.txt; }
wait_for "Xvfb to start" display_known
export DISPLAY=":$(head -1 display.txt)" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

caption="Kestrova Co.,Ltd. USB Audio Device Firmware Burner"
"$cli" make-image fw.rom --version 3.1 --cur 9 --vid 0495 --pid 8041 >/dev/null
# The last-file memory names the image (UTF-16, one zero character), so the
# first activation loads it and Burn is enabled.
printf '%s\0' "$scratch/fw.rom" | iconv -f UTF-8 -t UTF-16LE >"Kestrova Firmware.cfg"

wid=""
window_up() { wid=$(xdotool search --name "^$caption\$" 2>/dev/null | head -1); [ -n "$wid" ]; }
app_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
first_bytes() { od -A n -t x1 -N 16 sim/sim-0.eeprom | tr -d ' \n'; }
download_started() { [ "$(first_bytes)" != "ffffffffffffffffffffffffffffffff" ]; }

start_app() {
  rm -rf sim app.log
  mkdir sim
  # 5 ms per transfer: a whole burn takes many seconds.
  "$app" --simulate "dir=sim;latency=5ms" >app.log 2>&1 &
  app_pid=$!
  wait_for "the window" window_up
}

expect_the_end() {  # expect_the_end WHAT
  wait_for "the program to end after $1" app_ended
  local status=0
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq 0 ] || fail "the program ended with status $status after $1"
}

start_burn() {
  # Burn is at 257,96 (49 x 14) in the 327 x 126 dialog units of the window.
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove --window "$wid" $((WIDTH * (2 * 257 + 49) / (2 * 327))) \
    $((HEIGHT * (2 * 96 + 14) / (2 * 126))) click 1
  wait_for "the download to start" download_started
}

expect_a_safe_stop() {
  grep -q "Downloading failed." app.log || fail "the stopped burn's notice is not on stderr"
  [ "$(first_bytes | cut -c1-2)" = ff ] || fail "the first byte was written: the image was committed"
  "$cli" --simulate "dir=sim;default" info >info.txt 2>&1 || true
  grep -q "none committed" info.txt || fail "the device holds a committed image: $(cat info.txt)"
}

echo "== idle window destroyed"
start_app
xdotool windowclose "$wid"
expect_the_end "its window was destroyed"
echo "ok"

echo "== window destroyed during a burn"
start_app
start_burn
xdotool windowclose "$wid"
expect_the_end "its window was destroyed"
expect_a_safe_stop
echo "ok"

for signal in TERM HUP INT; do
  echo "== SIG$signal while idle, offscreen"
  rm -rf sim app.log
  mkdir sim
  QT_QPA_PLATFORM=offscreen "$app" --simulate "dir=sim;default" >app.log 2>&1 &
  app_pid=$!
  # The watch is up once the simulated device's EEPROM file is there and the
  # signal is caught (a signal before that would end the program at once).
  catches() { [ -e sim/sim-0.eeprom ] && [ $(( 0x$(awk '/^SigCgt/ {print $2}' "/proc/$app_pid/status") >> ($1 - 1) & 1 )) -eq 1 ]; }
  wait_for "the program to catch SIG$signal" catches "$(kill -l "$signal")"
  kill -s "$signal" "$app_pid"
  expect_the_end "SIG$signal"
  echo "ok"

  echo "== SIG$signal during a burn"
  start_app
  start_burn
  kill -s "$signal" "$app_pid"
  expect_the_end "SIG$signal"
  expect_a_safe_stop
  echo "ok"
done
