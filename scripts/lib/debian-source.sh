# Shared by the scripts that build a library for Windows from Debian's own
# source package (Debian ships no MinGW build of it). Sourced, not run:
#
#   source scripts/lib/debian-source.sh
#   debian_fail() { ...; }     # optional: how a failure is reported
#
# The source entries are made from the machine's own apt sources, in a
# private apt state, so the machine's apt configuration is left as it is and
# no host name is written anywhere.

debian_fail() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

debian_now() { date +%s.%N; }

# debian_took WHAT START: "WHAT: 1.2 s" since START (debian_now).
debian_took() {
  awk -v a="$2" -v b="$(debian_now)" -v what="$1" 'BEGIN { printf "%s: %.1f s\n", what, b - a }'
}

# debian_source_version BINARY: the version of the source package of the
# machine's package BINARY: installed, else the candidate of its own apt
# lists (no download for either). Empty when apt knows neither.
debian_source_version() {
  local status cand src
  status=$(dpkg-query -W -f='${Status} ${source:Version}' "$1" 2>/dev/null || true)
  if [[ "$status" == "install ok installed "* ]]; then
    echo "${status##* }"
    return
  fi
  cand=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$cand" ] && [ "$cand" != "(none)" ] || return 0
  # "Source: sqlite3 (3.40.1-2)" names the source's version where it differs.
  src=$(apt-cache show "$1=$cand" 2>/dev/null | awk -F': ' '/^Source:/ { print $2; exit }')
  if [[ "$src" =~ \((.*)\) ]]; then echo "${BASH_REMATCH[1]}"; else echo "$cand"; fi
}

# debian_wanted_version BINARY VARIABLE SOURCE: the Debian version of the
# source package SOURCE to build: the one VARIABLE (an environment variable)
# names, else the one of the machine's package BINARY. Fails when there is
# none or it is not a Debian version.
debian_wanted_version() {
  local version="${!2:-$(debian_source_version "$1")}"
  [ -n "$version" ] || debian_fail "this machine's apt knows no $1; set $2 to the Debian version of $3 to build"
  [[ "$version" =~ ^[0-9A-Za-z.+~:-]+$ ]] || debian_fail "not a Debian version: $version"
  echo "$version"
}

# debian_up_to_date PREFIX VERSION FILE...: whether PREFIX holds what was
# made from VERSION: its `version` file says so and every FILE (relative to
# PREFIX) is there.
debian_up_to_date() {
  local prefix=$1 version=$2 f
  shift 2
  [ -f "$prefix/version" ] && [ "$(cat "$prefix/version")" = "$version" ] || return 1
  for f in "$@"; do [ -f "$prefix/$f" ] || return 1; done
}

# debian_unpack_source CACHE TREE: unpacks the source package downloaded in
# CACHE into the new folder TREE (dpkg-source checks the files against the
# .dsc and applies Debian's patches); its output goes to TREE.log.
debian_unpack_source() {
  local dsc t
  dsc=$(ls "$1"/*.dsc | head -1)
  t=$(debian_now)
  rm -rf "$2"
  dpkg-source -q -x "$dsc" "$2" >"$2.log" 2>&1 || debian_fail "cannot unpack $dsc: see $2.log"
  debian_took "unpack (dpkg-source, Debian's patches applied)" "$t"
}

# debian_install_missing PACKAGE...: installs those not installed (as root,
# or with sudo).
debian_install_missing() {
  local p missing=() sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# debian_fetch_source PACKAGE VERSION CACHE STATE [VARIABLE]: downloads the
# source package PACKAGE=VERSION (the newest the sources hold where VERSION is
# empty), its .dsc and the files it names, into the
# folder CACHE, with a private apt state in the folder STATE. Does nothing
# when CACHE holds a .dsc already; CACHE is only there once the download is
# whole. VARIABLE, named in the failure, is how the caller takes another
# version.
debian_fetch_source() {
  local package=$1 version=$2 cache=$3 st=$4 variable=${5:-} f t apt_opts
  ls "$cache"/*.dsc >/dev/null 2>&1 && return 0
  t=$(debian_now)
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
    debian_fail "no apt sources on this machine to make source entries from (/etc/apt/sources.list, /etc/apt/sources.list.d)"
  apt_opts=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$st/parts"
            -o "Dir::State::Lists=$st/lists" -o "Dir::Cache=$st/cache")
  # As root, apt downloads as the user _apt, which cannot write here.
  [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
  local why="cannot fetch Debian's source package $package ${version:-(newest)} from this machine's apt sources (apt's reason above). It needs network access to those sources, and a version they still hold${variable:+ ($variable)}."
  apt-get "${apt_opts[@]}" -qq update || debian_fail "$why"
  rm -rf "$cache.part"
  mkdir -p "$cache.part"
  if ! (cd "$cache.part" && apt-get "${apt_opts[@]}" -qq source --download-only "$package${version:+=$version}"); then
    rm -rf "$cache.part"
    debian_fail "$why"
  fi
  rm -rf "$cache"
  mv "$cache.part" "$cache"
  debian_took "fetch (source package $package ${version:-(newest)})" "$t"
}
