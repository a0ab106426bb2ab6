#!/usr/bin/env bash
# Ctrl+C typed into the console of a Windows program reaches its StopRequests
# through the system's own path (the console host calls the program's console
# handler), twice, each counted, and the program lives on to say so. Under
# Wine a console on a terminal is the one way to make that path run: Wine's
# GenerateConsoleCtrlEvent fails. util-linux's `script` gives the program a
# terminal, and ^C written to it is Ctrl+C.
#
# The terminal sends its interrupt to the whole foreground group, so the shell
# that `script` starts (it takes $SHELL) hears it as well and must outlive it to
# write the child's status: bash waits for the child, dash ends at once.
#
#   platform_console_stop_test.sh WINE CHILD.exe
#
# Skipped (77) where `script` or Wine is missing.
set -euo pipefail
wine=$1
child=$2
command -v script >/dev/null && [ -x "$wine" ] || exit 77
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# Waits up to 60 s for LINE in the child's output (CR LF: it is a Windows
# program), giving up at once when the child has ended.
wait_for() {
  for _ in $(seq 1 600); do
    { tr -d '\r' <"$dir/out"; } 2>/dev/null | grep -qx "$1" && return 0
    [ -e "$dir/status" ] && return 1
    sleep 0.1
  done
  return 1
}

# The child's output goes to a file: the terminal shows it with the console
# host's cursor codes between the characters.
{
  wait_for ready && printf '\003'
  wait_for "count 1" && printf '\003'
  wait_for "count 2" || true
  # The terminal stays open until the child has ended and its status is
  # written: `script` ends the session when its input ends, and would take
  # the shell that writes the status with it.
  for _ in $(seq 1 600); do
    [ -e "$dir/status" ] && break
    sleep 0.1
  done
} | SHELL=$BASH timeout 120 script -qec "'$wine' '$child' stop-requests 2 >'$dir/out'; echo \$? >'$dir/status'" \
  /dev/null >/dev/null || true

tr -d '\r' <"$dir/out" >"$dir/lines" 2>/dev/null || true
status=$(tr -d '\r' <"$dir/status" 2>/dev/null || echo none)
if [ "$status" != 0 ] || ! grep -qx "count 2" "$dir/lines"; then
  echo "the child did not count two Ctrl+C (exit: $status); its output:" >&2
  cat "$dir/lines" >&2 || true
  exit 1
fi
echo "two Ctrl+C counted by the child's console handler"
