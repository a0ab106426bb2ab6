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

source scripts/lib/debian-source.sh

version=$(debian_wanted_version libsqlite3-0 TESSARIN_SQLITE_VERSION sqlite3)
if debian_up_to_date "$prefix" "$version" lib/libsqlite3.a include/sqlite3.h; then
  echo "SQLite $version for Windows: up to date in $prefix"
  exit 0
fi

debian_install_missing tcl dpkg-dev make gcc libc6-dev xz-utils gcc-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64

# Debian's "3.40.1-2+deb12u2" unpacks the upstream tree 3.40.1; an epoch
# ("1:") is not part of the file names.
cache="$deps/sqlite3-${version#*:}"
mkdir -p "$deps"

# --- fetch -----------------------------------------------------------------
debian_fetch_source sqlite3 "$version" "$cache" "$deps/apt" TESSARIN_SQLITE_VERSION

# --- unpack and amalgamation -----------------------------------------------
work="$deps/sqlite3-build"
rm -rf "$work"
mkdir -p "$work/build"
debian_unpack_source "$cache" "$work/src"
t=$(debian_now)
# The feature options of Debian's configure call; --disable-amalgamation only
# concerns how Debian links its shared library, not sqlite3.c.
(cd "$work/build" &&
  ../src/configure --enable-threadsafe --enable-load-extension --enable-json \
    --enable-fts4 --enable-fts5 >configure.log 2>&1) ||
  debian_fail "configure failed: see $work/build/configure.log"
debian_took "configure" "$t"
t=$(debian_now)
(cd "$work/build" && make sqlite3.c >make.log 2>&1) ||
  debian_fail "make sqlite3.c failed: see $work/build/make.log"
debian_took "amalgamation (make sqlite3.c)" "$t"

# --- compile ---------------------------------------------------------------
t=$(debian_now)
# Debian's own options: the -DSQLITE_... of its CFLAGS in debian/rules, and
# the feature flags its configure options gave (OPT_FEATURE_FLAGS and
# SQLITE_THREADSAFE in the Makefile). Debian's hardening flags are left out:
# with MinGW they need libssp, and they are not SQLite's options.
mapfile -t rule_defs < <(grep -oE -- '-DSQLITE_[A-Z0-9_]+(=[^[:space:]\\]+)?' "$work/src/debian/rules")
mapfile -t configure_defs < <(grep -E '^(OPT_FEATURE_FLAGS|TCC) *\+?=' "$work/build/Makefile" |
  grep -oE -- '-DSQLITE_(ENABLE_[A-Z0-9_]+|THREADSAFE)(=[^[:space:]]+)?')
[ ${#rule_defs[@]} -gt 0 ] || debian_fail "no -DSQLITE_ options found in debian/rules of sqlite3 $version"
mapfile -t defs < <(printf '%s\n' "${rule_defs[@]}" "${configure_defs[@]}" | awk '!seen[$0]++')
for d in "${defs[@]}"; do
  [[ "$d" == -DSQLITE_OMIT_WAL* ]] && debian_fail "Debian's options leave out WAL ($d)"
done
cflags=(-O2 -fno-strict-aliasing "${defs[@]}")
"$triplet-gcc-posix" "${cflags[@]}" -c "$work/build/sqlite3.c" -o "$work/sqlite3.o" ||
  debian_fail "$triplet-gcc-posix could not compile sqlite3.c"
"$triplet-ar" rcs "$work/libsqlite3.a" "$work/sqlite3.o"
debian_took "compile ($triplet-gcc-posix, static library)" "$t"

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
