#!/bin/sh
# The tests inside the guest (busybox sh, as root), against devices that
# tessarin-uhid and the kernel tests make through /dev/uhid. Each check prints
# "GUEST-RESULT <name> PASS|FAIL"; scripts/guest-test.sh fails on any FAIL
# and on a missing GUEST-DONE.
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/xdg
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
T=/tmp/t
mkdir -p $T

result() {  # result NAME 0|nonzero [why]
  if [ "$2" = 0 ]; then echo "GUEST-RESULT $1 PASS"; else echo "GUEST-RESULT $1 FAIL ${3:-}"; fi
}

# Starts the bridge on SPEC with output in $T/$1.out/.err and waits (10 s at
# most) for its "ready"; the pid goes to $T/$1.pid.
start_bridge() {  # start_bridge NAME [--verbose] SPEC
  name=$1; shift
  # A device answers at once: at a real-time priority the bridge reads each
  # output report before the writer can send the next, so the kernel's queue
  # of 32 events never overflows.
  chrt -f 10 tessarin-uhid "$@" >"$T/$name.out" 2>"$T/$name.err" &
  echo $! >"$T/$name.pid"
  i=0
  while ! grep -q '^ready$' "$T/$name.out" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 "$(cat "$T/$name.pid")" 2>/dev/null; then
      echo "guest: tessarin-uhid $* did not become ready:"; cat "$T/$name.out" "$T/$name.err"
      return 1
    fi
    sleep 0.1
  done
}

stop_bridge() {  # stop_bridge NAME: SIGTERM, then wait (5 s at most)
  pid=$(cat "$T/$1.pid")
  kill -TERM "$pid" 2>/dev/null
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; echo "guest: tessarin-uhid ($1) ignored SIGTERM"; return 1; }
  wait "$pid" 2>/dev/null
  return 0
}

# Every run of the tool is bounded: a backend that waits for a reply that
# never comes fails the check instead of stopping the guest.
cli() { timeout 30 tessarin-cli "$@"; }

wait_for_line() {  # wait_for_line FILE PATTERN SECONDS
  i=0
  while ! grep -q "$2" "$1" 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt $(($3 * 10)) ] && return 1
    sleep 0.1
  done
}

# 1. The hidraw backend's tests, on real hidraw nodes (enumeration, report
#    lengths from the kernel's descriptor, every command in both report
#    modes, unplugging, hot-plug through the udev monitor).
echo "== hidraw backend tests on the kernel's HID core"
timeout 60 hidraw_kernel_tests --gtest_color=no >$T/kernel-tests.log 2>&1
status=$?
grep -v '^\[       OK \]\|^\[ RUN      \]' $T/kernel-tests.log
result hidraw-kernel-tests $status

# 2. The command-line tool on four devices: both report modes, plain and
#    paged. Burn, verify and dump a 32 KB image on each; the EEPROM the
#    device kept must equal the image.
echo "== tessarin-cli on uhid devices"
mkdir -p $T/e
cli make-image $T/img.rom >/dev/null
if start_bridge four "dir=$T/e;mode=1;mode=1,paged=1,ready-after=2;mode=2;mode=2,paged=1"; then
  cat $T/four.out
  cli list >$T/list.out 2>&1
  listed=$?
  cat $T/list.out
  missing=$listed
  for node in $(awk '/^sim:/ {print $2}' $T/four.out); do
    grep -q "$node" $T/list.out || missing=1
  done
  result cli-list-shows-every-node $missing
  n=0
  # A tool that cannot list the devices would time out on each of them.
  for node in $(awk '/^sim:/ {print $2}' $T/four.out); do
    [ $listed = 0 ] || break
    ok=0
    cli info --device "$node" || ok=1
    # Progress lines only on a failure.
    cli burn $T/img.rom --device "$node" >$T/cli.out 2>&1 || { ok=1; tail -3 $T/cli.out; }
    cli verify $T/img.rom --device "$node" >$T/cli.out 2>&1 || { ok=1; tail -3 $T/cli.out; }
    tail -1 $T/cli.out
    cli dump $T/dump-$n.bin --device "$node" >$T/cli.out 2>&1 || { ok=1; tail -3 $T/cli.out; }
    cmp $T/img.rom $T/dump-$n.bin || ok=1
    result "cli-burn-verify-dump-sim:$n" $ok
    n=$((n + 1))
  done
  stop_bridge four
  n=0
  for node in $(awk '/^sim:/ {print $2}' $T/four.out); do
    cmp $T/img.rom $T/e/sim-$n.eeprom
    result "eeprom-holds-the-image-sim:$n" $?
    n=$((n + 1))
  done
else
  result cli-bridge-start 1
fi

# 3. The device unplugged mid-burn (the bridge destroys it after 300
#    transfers, in the download): the CLI fails with exit 1 and a message,
#    and byte 0, written last, is still erased.
echo "== device unplugged during a burn"
mkdir -p $T/v
if start_bridge vanish "dir=$T/v;vanish-after=300"; then
  cli burn $T/img.rom >$T/vanish-burn.out 2>&1
  code=$?
  tail -2 $T/vanish-burn.out
  [ $code = 1 ] && grep -q 'tessarin-cli: Downloading failed' $T/vanish-burn.out
  result cli-burn-unplugged-exits-1-with-message $?
  wait_for_line $T/vanish.out unplugged 5
  result bridge-unplugs-at-vanish-after $?
  stop_bridge vanish
  [ "$(od -An -tx1 -N1 $T/v/sim-0.eeprom | tr -d ' ')" = ff ]
  result unplugged-burn-leaves-byte-0-erased $?
else
  result vanish-bridge-start 1
fi

# 4. The window program, offscreen: it must list the device (probe, then
#    read the version at address 4) and, on a hot-plug, scan again and list
#    the new device too.
if [ -x /tessarin/bin/tessarin ]; then
  echo "== the window program, offscreen"
  if start_bridge gui1 --verbose "default"; then
    QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH=/tessarin/qt-plugins tessarin >$T/gui.log 2>&1 &
    gui=$!
    wait_for_line $T/gui1.err 'request 15 00 04 02' 20
    result window-program-lists-the-device $?
    start_bridge gui2 --verbose "pid=8042,mode=2"
    wait_for_line $T/gui2.err 'request 1d 80 c0 01' 20
    result window-program-rescans-on-hot-plug $?
    kill -0 $gui 2>/dev/null
    result window-program-still-running $? "$(cat $T/gui.log)"
    kill -TERM $gui 2>/dev/null; wait $gui 2>/dev/null
    stop_bridge gui2; stop_bridge gui1
  else
    result gui-bridge-start 1
  fi
fi

# 5. The manager's overhead over a bare ioctl/write loop on the same node.
if [ -x /tessarin/bin/uhid_bench ]; then
  echo "== benchmark: exchanges through the manager against bare calls"
  timeout 60 uhid_bench --benchmark_min_time=0.5 --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_color=false
  result uhid-bench-ran $?
fi

# What the kernel said about the HID devices (a full uhid queue, refused
# descriptors), for the log.
dmesg | grep -i 'uhid\|hid-generic\|hidraw\|queue' | grep -v 'hidraw[0-9]*: USB HID' |
  sed 's/^\[ *[0-9.]*\] //' | sort | uniq -c | sort -rn | head -20
