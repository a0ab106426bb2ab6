#!/usr/bin/env bash
# The Linux backend against the real kernel: boots Debian's own kernel in
# QEMU with an initramfs holding busybox, the hid and uhid modules,
# systemd-udevd, the programs and the kernel test binary of BUILD_DIR; runs
# scripts/guest/run.sh inside (kernel tests, CLI burns on uhid devices, an
# unplug mid-burn, the window program offscreen with a hot-plug, the
# benchmark) and reads the results from the serial console.
#
#   scripts/guest-test.sh [BUILD_DIR]      default: build/default (built)
#
# Installs what it needs (qemu-system-x86, busybox-static, cpio, kmod) and
# downloads the kernel and udev packages with apt-get download into
# $TESSARIN_GUEST_CACHE (default build/guest/cache). The guest runs at most
# $TESSARIN_GUEST_TIMEOUT seconds (default 200); QEMU emulates the CPU
# unless TESSARIN_GUEST_ACCEL=kvm. Fails on any failed check, on a guest that does not finish, and
# when something cannot be fetched.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
build=$(realpath "${1:-build/default}")
work=$root_dir/build/guest
cache=${TESSARIN_GUEST_CACHE:-$work/cache}
guest_timeout=${TESSARIN_GUEST_TIMEOUT:-200}
start=$(date +%s)

die() { echo "guest-test: $*" >&2; exit 1; }

# --- what the host needs ----------------------------------------------------
packages=(qemu-system-x86 busybox-static cpio kmod binutils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "guest-test: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- the programs under test ------------------------------------------------
need() { [ -x "$build/$1" ] || die "$build/$1 is missing: build it first (cmake --build --preset default)"; }
need src/uhid/tessarin-uhid
need src/cli/tessarin-cli
need tests/hidraw_kernel_tests
# The benchmark, optimised, in a build of its own (only the core libraries
# and the one program; BUILD_DIR keeps its settings).
bench_build=$work/bench
if [ ! -f "$bench_build/CMakeCache.txt" ]; then
  cmake -S . -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARIN_BUILD_TESTS=OFF \
    -DTESSARIN_BUILD_GUI=OFF -DTESSARIN_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$bench_build" --target uhid_bench -j 2 >/dev/null ||
  die "building uhid_bench failed (cmake --build $bench_build --target uhid_bench)"

# --- Debian's kernel and udev, fetched as packages --------------------------
mkdir -p "$cache"
fetch() {  # fetch PACKAGE: the .deb in $cache, downloaded once
  local deb
  deb=$(ls "$cache/$1"_*.deb 2>/dev/null | head -1 || true)
  if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download "$1" >/dev/null 2>&1) ||
      (cd "$cache" && apt-get update -qq && apt-get download "$1" >/dev/null 2>&1) ||
      die "apt-get download $1 failed (no network, or no such package in the apt sources)"
    deb=$(ls "$cache/$1"_*.deb | head -1)
  fi
  echo "$deb"
}
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
kernel_pkg=$(kernel_package)
if [ -z "$kernel_pkg" ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  kernel_pkg=$(kernel_package)
fi
[ -n "$kernel_pkg" ] || die "apt-cache knows no linux-image-amd64 (check the apt sources)"
kernel_dir=$cache/$kernel_pkg
if [ ! -d "$kernel_dir" ]; then
  dpkg-deb -x "$(fetch "$kernel_pkg")" "$kernel_dir.tmp" && mv "$kernel_dir.tmp" "$kernel_dir"
fi
udev_dir=$cache/udev
if [ ! -d "$udev_dir" ]; then
  dpkg-deb -x "$(fetch udev)" "$udev_dir.tmp" && mv "$udev_dir.tmp" "$udev_dir"
fi
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -1)
modules_dir=$(ls -d "$kernel_dir"/lib/modules/*/kernel | head -1)

# --- the initramfs -----------------------------------------------------------
groot=$work/root
rm -rf "$groot"
mkdir -p "$groot"/{bin,usr/bin,lib/systemd,proc,sys,dev,tmp,run,etc,tessarin/bin,tessarin/modules.d}
cp /bin/busybox "$groot/bin/busybox"
install -m 755 scripts/guest/init "$groot/init"
install -m 755 scripts/guest/run.sh "$groot/tessarin/run.sh"

# The modules and what they need, in load order.
declare -A loaded=()
order=()
add_module() {
  local name=$1 file dep
  [ -n "${loaded[$name]:-}" ] && return 0
  loaded[$name]=1
  file=$(find "$modules_dir" -name "$name.ko" -o -name "${name//-/_}.ko" | head -1)
  [ -n "$file" ] || die "module $name not in $kernel_pkg"
  for dep in $(modinfo -F depends "$file" | tr ',' ' '); do add_module "$dep"; done
  cp "$file" "$groot/tessarin/modules.d/$name.ko"
  order+=("$name")
}
for m in hid hid-generic uhid; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$groot/tessarin/modules"

# A program and the shared libraries it loads, at the host's paths.
copy_libs() {  # copy_libs ELF
  local lib
  for lib in $(ldd "$1" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}'); do
    [ -e "$groot$lib" ] && continue
    mkdir -p "$groot$(dirname "$lib")"
    cp -L "$lib" "$groot$lib"
  done
}
add_program() {  # add_program FILE [DEST]
  local dest=${2:-$groot/tessarin/bin/$(basename "$1")}
  strip -o "$dest" "$1" 2>/dev/null || cp "$1" "$dest"
  copy_libs "$1"
}
add_program "$build/src/uhid/tessarin-uhid"
add_program "$build/src/cli/tessarin-cli"
add_program "$build/tests/hidraw_kernel_tests"
add_program "$bench_build/bench/uhid_bench"
if [ -x "$build/src/app/tessarin" ]; then
  add_program "$build/src/app/tessarin"
  qt_platforms=$(ls -d /usr/lib/*/qt6/plugins/platforms 2>/dev/null | head -1)
  [ -n "$qt_platforms" ] || die "Qt's platform plugins are missing (qt6-base-dev)"
  mkdir -p "$groot/tessarin/qt-plugins/platforms"
  add_program "$qt_platforms/libqoffscreen.so" "$groot/tessarin/qt-plugins/platforms/libqoffscreen.so"
else
  echo "guest-test: no window program in $build (a GUI-off build): its checks are left out"
fi
add_program /usr/bin/chrt "$groot/usr/bin/chrt"
# systemd-udevd is udevadm under another name.
add_program "$udev_dir/bin/udevadm" "$groot/usr/bin/udevadm"
ln -s /usr/bin/udevadm "$groot/lib/systemd/systemd-udevd"
mkdir -p "$groot/etc/udev" "$groot/run/udev"

initrd=$work/initrd.gz
(cd "$groot" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd"
echo "guest-test: initramfs $(du -h "$initrd" | cut -f1), kernel $kernel_pkg," \
     "prepared in $(( $(date +%s) - start )) s"

# --- boot -------------------------------------------------------------------
# TCG by default: it boots and runs everything in well under a minute, while
# KVM inside an already virtual build machine can hang at boot.
accel=${TESSARIN_GUEST_ACCEL:-tcg}
# One virtual CPU: the bridge, at a real-time priority, then preempts every
# writer of output reports at once, whatever the host is doing meanwhile.
log=$work/console.log
echo "guest-test: booting ($accel), console in $log"
set +e
timeout --kill-after=10 "$guest_timeout" qemu-system-x86_64 \
  -accel "$accel${accel_opts:-}" -cpu max -smp 1 -m 1024 -nographic -no-reboot -monitor none \
  -kernel "$vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 loglevel=3 quiet" </dev/null >"$log" 2>&1
qemu_status=$?
set -e
tr -d '\r' <"$log" | sed -n '/^guest: kernel/,$p'

failed=$(tr -d '\r' <"$log" | awk '$1 == "GUEST-RESULT" && $3 != "PASS" {print $2}')
passed=$(tr -d '\r' <"$log" | grep -c '^GUEST-RESULT .* PASS' || true)
elapsed=$(( $(date +%s) - start ))
if ! tr -d '\r' <"$log" | grep -q '^GUEST-DONE'; then
  [ -n "$failed" ] && echo "guest-test: failed in the guest before it stopped: $(echo $failed)" >&2
  [ $qemu_status = 124 ] && die "the guest did not finish within ${guest_timeout} s (see $log)"
  die "the guest stopped before its tests ended, QEMU status $qemu_status (see $log)"
fi
[ "$passed" -gt 0 ] || die "the guest reported no results (see $log)"
if [ -n "$failed" ]; then
  die "failed in the guest: $(echo $failed) ($passed passed; see $log)"
fi
echo "guest-test: all $passed guest checks passed in $elapsed s"
