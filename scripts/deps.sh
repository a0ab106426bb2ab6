#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping what is
# already installed. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev libxcb1-dev xvfb xdotool
  libudev-dev umockdev libumockdev-dev gir1.2-umockdev-1.0
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
  libsqlite3-dev sqlite3 libssl-dev
  libpq-dev postgresql
  clang libclang-rt-14-dev llvm
  dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
