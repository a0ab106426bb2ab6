#!/usr/bin/env bash
# SQLite for the Windows build. Debian ships no MinGW build of it, so this
# builds one from Debian's own sqlite3 source package: the amalgamation made
# by the source tree's own `make sqlite3.c`, cross-compiled with MinGW-w64
# into a static library with the compile options of Debian's build (read
# from the package's debian/rules; WAL as on Linux). It installs
#
#   build/windows-deps/sqlite3/include/sqlite3.h, sqlite3ext.h
#   build/windows-deps/sqlite3/lib/libsqlite3.a
#   build/windows-deps/sqlite3/version    the Debian version it was made from
#   build/windows-deps/sqlite3/options    the compiler options it was made with
#
# where the MinGW toolchain file (cmake/mingw-w64-x86_64.cmake) points
# FindSQLite3, so `cmake --preset windows` finds it.
#
#   scripts/windows-sqlite.sh     the version of this machine's libsqlite3-0
#                                 (installed, else apt's candidate): the one
#                                 the Linux build links
#   TESSARIN_SQLITE_VERSION=3.40.1-2+deb12u2 scripts/windows-sqlite.sh
#
# The source entries come from the machine's own apt sources, turned into
# deb-src entries in a private apt state under build/windows-deps/apt, so the
# machine's apt configuration is left as it is. The downloads are kept in
# build/windows-deps/sqlite3-<version>: a second run for the same version
# fetches and builds nothing. Installs tcl, dpkg-dev, make, gcc and
# MinGW-w64 when they are missing (as root, or with sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deps="$root/build/windows-deps"
prefix="$deps/sqlite3"
triplet=x86_64-w64-mingw32

fail() {
  echo "windows-sqlite.sh: $*" >&2
  exit 1
}
now() { date +%s.%N; }
took() { awk -v a="$2" -v b="$(now)" -v what="$1" 'BEGIN { printf "%s: %.1f s\n", what, b - a }'; }

# The source version of the machine's libsqlite3-0: installed, else the
# candidate of its own apt lists (no download for either).
machine_version() {
  local status cand src
  status=$(dpkg-query -W -f='${Status} ${source:Version}' libsqlite3-0 2>/dev/null || true)
  if [[ "$status" == "install ok installed "* ]]; then
    echo "${status##* }"
    return
  fi
  cand=$(apt-cache policy libsqlite3-0 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$cand" ] && [ "$cand" != "(none)" ] || return 0
  # "Source: sqlite3 (3.40.1-2)" names the source's version where it differs.
  src=$(apt-cache show "libsqlite3-0=$cand" 2>/dev/null | awk -F': ' '/^Source:/ { print $2; exit }')
  if [[ "$src" =~ \((.*)\) ]]; then echo "${BASH_REMATCH[1]}"; else echo "$cand"; fi
}

version="${TESSARIN_SQLITE_VERSION:-$(machine_version)}"
[ -n "$version" ] || fail "this machine's apt knows no libsqlite3-0; set TESSARIN_SQLITE_VERSION to the Debian version of sqlite3 to build"
[[ "$version" =~ ^[0-9A-Za-z.+~:-]+$ ]] || fail "not a Debian version: $version"

if [ -f "$prefix/version" ] && [ "$(cat "$prefix/version")" = "$version" ] &&
   [ -f "$prefix/lib/libsqlite3.a" ] && [ -f "$prefix/include/sqlite3.h" ]; then
  echo "SQLite $version for Windows: up to date in $prefix"
  exit 0
fi

packages=(tcl dpkg-dev make gcc libc6-dev xz-utils gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian's "3.40.1-2+deb12u2" unpacks the upstream tree 3.40.1; an epoch
# ("1:") is not part of the file names.
cache="$deps/sqlite3-${version#*:}"
mkdir -p "$deps"

# --- fetch -----------------------------------------------------------------
if ! ls "$cache"/*.dsc >/dev/null 2>&1; then
  t=$(now)
  st="$deps/apt"
  rm -rf "$st"
  mkdir -p "$st/parts" "$st/lists/partial" "$st/cache/archives/partial"
  # deb822 files: every stanza as a source stanza; one-line files: each deb
  # line as a deb-src line. Disabled stanzas stay disabled.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -E 's/^Types:.*$/Types: deb-src/' "$f" >"$st/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$f" >"$st/parts/$(basename "$f" .list)-src.list"
  done
  grep -qsE '^(Types: deb-src|deb-src[[:space:]])' "$st"/parts/* ||
    fail "no apt sources on this machine to make source entries from (/etc/apt/sources.list, /etc/apt/sources.list.d)"
  apt_opts=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$st/parts"
            -o "Dir::State::Lists=$st/lists" -o "Dir::Cache=$st/cache")
  # As root, apt downloads as the user _apt, which cannot write here.
  [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
  fetch_failed() {
    rm -rf "$cache.part"
    fail "cannot fetch Debian's source package sqlite3 $version from this machine's apt sources (apt's reason above). It needs network access to those sources, and a version they still hold (TESSARIN_SQLITE_VERSION)."
  }
  apt-get "${apt_opts[@]}" -qq update || fetch_failed
  rm -rf "$cache.part"
  mkdir -p "$cache.part"
  (cd "$cache.part" && apt-get "${apt_opts[@]}" -qq source --download-only "sqlite3=$version") ||
    fetch_failed
  rm -rf "$cache"
  mv "$cache.part" "$cache"
  took "fetch (source package sqlite3 $version)" "$t"
fi

# --- unpack and amalgamation -----------------------------------------------
t=$(now)
work="$deps/sqlite3-build"
rm -rf "$work"
mkdir -p "$work/build"
dpkg-source -q -x "$(ls "$cache"/*.dsc | head -1)" "$work/src" >"$work/unpack.log" 2>&1 ||
  fail "cannot unpack $(ls "$cache"/*.dsc): see $work/unpack.log"
took "unpack (dpkg-source, Debian's patches applied)" "$t"
t=$(now)
# The feature options of Debian's configure call; --disable-amalgamation only
# concerns how Debian links its shared library, not sqlite3.c.
(cd "$work/build" &&
  ../src/configure --enable-threadsafe --enable-load-extension --enable-json \
    --enable-fts4 --enable-fts5 >configure.log 2>&1) ||
  fail "configure failed: see $work/build/configure.log"
took "configure" "$t"
t=$(now)
(cd "$work/build" && make sqlite3.c >make.log 2>&1) ||
  fail "make sqlite3.c failed: see $work/build/make.log"
took "amalgamation (make sqlite3.c)" "$t"

# --- compile ---------------------------------------------------------------
t=$(now)
# Debian's own options: the -DSQLITE_... of its CFLAGS in debian/rules, and
# the feature flags its configure options gave (OPT_FEATURE_FLAGS and
# SQLITE_THREADSAFE in the Makefile). Debian's hardening flags are left out:
# with MinGW they need libssp, and they are not SQLite's options.
mapfile -t rule_defs < <(grep -oE -- '-DSQLITE_[A-Z0-9_]+(=[^[:space:]\\]+)?' "$work/src/debian/rules")
mapfile -t configure_defs < <(grep -E '^(OPT_FEATURE_FLAGS|TCC) *\+?=' "$work/build/Makefile" |
  grep -oE -- '-DSQLITE_(ENABLE_[A-Z0-9_]+|THREADSAFE)(=[^[:space:]]+)?')
[ ${#rule_defs[@]} -gt 0 ] || fail "no -DSQLITE_ options found in debian/rules of sqlite3 $version"
mapfile -t defs < <(printf '%s\n' "${rule_defs[@]}" "${configure_defs[@]}" | awk '!seen[$0]++')
for d in "${defs[@]}"; do
  [[ "$d" == -DSQLITE_OMIT_WAL* ]] && fail "Debian's options leave out WAL ($d)"
done
cflags=(-O2 -fno-strict-aliasing "${defs[@]}")
"$triplet-gcc-posix" "${cflags[@]}" -c "$work/build/sqlite3.c" -o "$work/sqlite3.o" ||
  fail "$triplet-gcc-posix could not compile sqlite3.c"
"$triplet-ar" rcs "$work/libsqlite3.a" "$work/sqlite3.o"
took "compile ($triplet-gcc-posix, static library)" "$t"

# --- install ---------------------------------------------------------------
rm -rf "$prefix.new"
mkdir -p "$prefix.new/include" "$prefix.new/lib"
cp "$work/build/sqlite3.h" "$work/src/src/sqlite3ext.h" "$prefix.new/include/"
cp "$work/libsqlite3.a" "$prefix.new/lib/"
printf '%s\n' "${cflags[@]}" >"$prefix.new/options"
echo "$version" >"$prefix.new/version"
rm -rf "$prefix"
mv "$prefix.new" "$prefix"
# The unpacked tree is made again from the kept downloads when needed.
rm -rf "$work"
echo "SQLite $version for Windows: installed in $prefix"
