#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree and checks what
# it installs and what it depends on.
#   scripts/check-package.sh BUILD_DIR PATH,PATH,... PACKAGE,PACKAGE,...
set -euo pipefail
build="$1"
IFS=',' read -r -a expected <<<"$2"
IFS=',' read -r -a depends <<<"$3"

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log"
  echo "check-package: cpack -G DEB failed" >&2
  exit 1
}
deb="$(ls "$out"/*.deb)"
contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')"
fields="$(dpkg-deb -f "$deb" Package Version Architecture Depends Recommends)"

status=0
for path in "${expected[@]}"; do
  if ! grep -qx "$path" <<<"$contents"; then
    echo "check-package: missing from the package: /$path" >&2
    status=1
  fi
done
# Nothing may land outside /usr (a path taken from the build machine's prefix
# would not be found by udev or the desktop).
if grep -v '^usr/\|^$' <<<"$contents" | grep -q .; then
  echo "check-package: files outside /usr:" >&2
  grep -v '^usr/\|^$' <<<"$contents" >&2
  status=1
fi
if grep -q '^usr/local/' <<<"$contents"; then
  echo "check-package: files under /usr/local:" >&2
  grep '^usr/local/' <<<"$contents" >&2
  status=1
fi
depends_line="$(sed -n 's/^Depends: //p' <<<"$fields")"
depends_names="$(sed 's/ ([^)]*)//g; s/ *| */\n/g; s/, */\n/g' <<<"$depends_line")"
for package in "${depends[@]}"; do
  if ! grep -Fqx "$package" <<<"$depends_names"; then
    echo "check-package: Depends lacks $package: $depends_line" >&2
    status=1
  fi
done

echo "$fields"
echo "$(wc -l <<<"$contents") entries in $(basename "$deb")"
if [ "$status" -eq 0 ]; then echo "check-package: OK"; fi
exit "$status"
