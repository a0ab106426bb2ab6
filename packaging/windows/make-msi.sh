#!/usr/bin/env bash
# Builds the installer from tessarin.wxs in the staging folder it runs in
# (tessarin.exe, tessarin-cli.exe, tessarin.ico, tessarin.wxs):
#
#   make-msi.sh VERSION OUT.msi
#
# wixl (msitools) makes the package; it knows no Environment element, so
# msibuild then adds the system PATH entry for the program folder: set on
# install, appended to what PATH holds ([~];...), taken out again on removal
# (the "=-*" of the name), tied to the component of tessarin-cli.exe, with
# the two standard actions that write and remove it.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: make-msi.sh VERSION OUT.msi" >&2; exit 2; }
version=$1
out=$2
wixl -a x64 -D Version="$version" -o "$out" tessarin.wxs
tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT
idt="$tables/Environment.idt"
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nTessarinPath\t=-*PATH\t[~];[INSTALLDIR]\tCommandLineTool\n' >"$idt"
msibuild "$out" -i "$idt" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
