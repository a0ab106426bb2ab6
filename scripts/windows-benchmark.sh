#!/usr/bin/env bash
# Google Benchmark for the Windows build's benchmarks. Debian ships no MinGW
# build of it, so this builds one from Debian's own benchmark source package,
# cross-compiled with MinGW-w64 into a static library with the options of
# Debian's build (debian/rules) where they apply to one. It installs
#
#   build/windows-deps/benchmark/include/benchmark/
#   build/windows-deps/benchmark/lib/libbenchmark.a, lib/cmake/benchmark/
#   build/windows-deps/benchmark/version    the Debian version it was made from
#
# where the MinGW toolchain file (cmake/mingw-w64-x86_64.cmake) lets
# find_package(benchmark) find it, so that
# `cmake --preset windows -DTESSARIN_BUILD_BENCH=ON` builds the benchmarks.
#
#   scripts/windows-benchmark.sh     the version of this machine's
#                                    libbenchmark-dev (installed, else apt's
#                                    candidate): the one the Linux build links
#   TESSARIN_BENCHMARK_VERSION=1.7.1-1 scripts/windows-benchmark.sh
#
# The downloads are kept in build/windows-deps/benchmark-<version>: a second
# run for the same version fetches and builds nothing. Installs dpkg-dev,
# cmake, ninja and MinGW-w64 when they are missing (as root, or with sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deps="$root/build/windows-deps"
prefix="$deps/benchmark"
triplet=x86_64-w64-mingw32

source scripts/lib/debian-source.sh

version=$(debian_wanted_version libbenchmark-dev TESSARIN_BENCHMARK_VERSION benchmark)
if debian_up_to_date "$prefix" "$version" lib/libbenchmark.a lib/cmake/benchmark/benchmarkConfig.cmake; then
  echo "Google Benchmark $version for Windows: up to date in $prefix"
  exit 0
fi

debian_install_missing dpkg-dev cmake ninja-build xz-utils g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64

# An epoch ("1:") is not part of the file names.
cache="$deps/benchmark-${version#*:}"
mkdir -p "$deps"
debian_fetch_source benchmark "$version" "$cache" "$deps/apt" TESSARIN_BENCHMARK_VERSION

work="$deps/benchmark-build"
rm -rf "$work"
mkdir -p "$work"
debian_unpack_source "$cache" "$work/src"

# Debian's options (debian/rules), but a static library (the Windows
# programs link statically) and no link-time optimisation (MinGW's static
# archives would need gcc-ar); its own tests are not built.
t=$(debian_now)
upstream=${version#*:}
upstream=${upstream%-*}
cmake -S "$work/src" -B "$work/build" -G Ninja \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
  -DCMAKE_C_COMPILER="$triplet-gcc-posix" -DCMAKE_CXX_COMPILER="$triplet-g++-posix" \
  -DCMAKE_FIND_ROOT_PATH="/usr/$triplet" -DCMAKE_BUILD_TYPE=Release \
  -DGIT_VERSION="$upstream" -DBUILD_SHARED_LIBS=OFF -DBENCHMARK_ENABLE_LTO=OFF \
  -DBENCHMARK_USE_BUNDLED_GTEST=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
  -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_INSTALL=ON -DBENCHMARK_INSTALL_DOCS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix.new" >"$work/configure.log" 2>&1 ||
  debian_fail "configure failed: see $work/configure.log"
cmake --build "$work/build" >"$work/build.log" 2>&1 ||
  debian_fail "the build failed: see $work/build.log"
debian_took "compile ($triplet-g++-posix, static library)" "$t"

rm -rf "$prefix.new"
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
  debian_fail "the install failed: see $work/install.log"
echo "$version" >"$prefix.new/version"
rm -rf "$prefix"
mv "$prefix.new" "$prefix"
# The unpacked tree is made again from the kept downloads when needed.
rm -rf "$work"
echo "Google Benchmark $version for Windows: installed in $prefix"
