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

source scripts/lib/debian-source.sh
command -v apt-get >/dev/null || debian_fail "apt-get is needed to fetch Debian's cpp-httplib source"

state="$PWD/build/deb-src"
debian_fetch_source cpp-httplib "" "$state/cpp-httplib" "$state/apt"
# The header is the one Debian's library is built from (its patches, its
# security fixes, applied).
command -v dpkg-source >/dev/null || debian_fail "dpkg-source (package dpkg-dev) is needed"
tree="$state/cpp-httplib/tree"
debian_unpack_source "$state/cpp-httplib" "$tree"
[ -s "$tree/httplib.h" ] || debian_fail "no httplib.h in the source package in $state/cpp-httplib"
mkdir -p "$dest"
cp "$tree/httplib.h" "$dest/httplib.h.part"
mv "$dest/httplib.h.part" "$dest/httplib.h"
rm -rf "$tree" "$tree.log"
echo "fetch-httplib: $(grep -m1 'define CPPHTTPLIB_VERSION' "$dest/httplib.h") in $dest"
