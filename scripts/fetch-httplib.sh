#!/usr/bin/env bash
# Puts the header-only httplib.h of Debian's cpp-httplib source package in
# DIR (default build/deps/cpp-httplib), for builds where Debian has no
# compiled library (the Windows cross-build). The source entries are made
# from this machine's own apt configuration; a second run fetches nothing.
#
#   scripts/fetch-httplib.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dest="${1:-build/deps/cpp-httplib}"
if [ -s "$dest/httplib.h" ]; then exit 0; fi

fail() { echo "fetch-httplib: $*" >&2; exit 1; }
command -v apt-get >/dev/null || fail "apt-get is needed to fetch Debian's cpp-httplib source"

state="$PWD/build/deb-src"
mkdir -p "$state/lists/partial" "$state/cpp-httplib"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$state/src.sources"
elif [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > "$state/src.list"
else
  fail "no apt sources found on this machine"
fi
apt_src=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$state"
         -o "Dir::State::Lists=$state/lists")
if ! ls "$state"/cpp-httplib/cpp-httplib_*.orig.tar.* >/dev/null 2>&1; then
  apt-get "${apt_src[@]}" update -qq || fail "apt-get update of the source entries failed"
  (cd "$state/cpp-httplib" && apt-get "${apt_src[@]}" source --download-only cpp-httplib) ||
    fail "apt-get source cpp-httplib failed (is the network reachable?)"
fi
# dpkg-source checks the files against the .dsc and applies Debian's patches
# (its security fixes), so the header is the one Debian's library is built from.
command -v dpkg-source >/dev/null || fail "dpkg-source (package dpkg-dev) is needed"
dsc=$(ls "$state"/cpp-httplib/cpp-httplib_*.dsc | head -n 1)
tree="$state/cpp-httplib/tree"
rm -rf "$tree"
dpkg-source --no-copy -x "$dsc" "$tree" >"$state/dpkg-source.log" 2>&1 ||
  fail "dpkg-source could not unpack $dsc: $(tail -n 3 "$state/dpkg-source.log")"
[ -s "$tree/httplib.h" ] || fail "no httplib.h in $dsc"
mkdir -p "$dest"
cp "$tree/httplib.h" "$dest/httplib.h.part"
mv "$dest/httplib.h.part" "$dest/httplib.h"
rm -rf "$tree"
echo "fetch-httplib: $(grep -m1 'define CPPHTTPLIB_VERSION' "$dest/httplib.h") in $dest"
