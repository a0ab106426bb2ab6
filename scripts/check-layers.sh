#!/usr/bin/env bash
# Fails when a source file includes a header its folder may not build on
# (docs/ARCHITECTURE.md draws the picture; this keeps it true). Every C and
# C++ source and header in src/, tests/, bench/ and fuzz/ is read, and every
# include in it is judged:
#
# - a project header (named from src/, or support/ from tests/) must belong to
#   the file's own folder or to one its rule names, and is written in quotes;
# - any other header must be in the standard library or in a library its rule
#   names by a group below (@sqlite, @qt, ...); a header of no group is an
#   error, so a new dependency is named here before it is used;
# - an include that cannot be judged (through a macro, with "..", absolute)
#   is an error, and so is a symbolic link among the sources.
#
#   scripts/check-layers.sh          check the tree
#   scripts/check-layers.sh DIR      check DIR laid out like the tree (its tests)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "${1:-$here/..}" && pwd)

# What each folder may include besides itself and the standard library: the
# project's folders (a name with no extension: that folder's headers, not its
# subfolders'), single project headers, `src` (every folder of src/ but the
# OS folders platform/linux and platform/windows), `support` (tests/support)
# and library groups (@name). Adding a folder is adding its line.
#
# The platform interface is eight headers (hid_platform.h, file_io.h,
# process.h, sha256.h, signals.h, terminal.h, listen_socket.h,
# thread_priority.h) and the frame-trace decorator;
# each folder names the ones it uses. The OS folders below platform/ are for
# platform/ alone, except where a rule names one of their headers.
declare -A rule=(
  [src/platform]=""
  [src/platform/linux]="platform @linux @openssl"
  [src/platform/windows]="platform @windows"
  [src/hid]="platform/hid_platform.h"
  [src/sim]="hid platform/hid_platform.h platform/file_io.h"
  [src/image]="hid platform/file_io.h"
  [src/burn]="hid image"
  [src/station]="hid image burn platform/hid_platform.h platform/file_io.h platform/process.h"
  [src/store]="station platform/file_io.h platform/process.h @sqlite @libpq"
  [src/ui]="hid image burn"
  [src/ui/qt]="ui hid image burn @qt @xcb"
  [src/ui/win32]="ui hid image burn @windows"
  [src/app]="ui ui/qt ui/win32 hid image burn sim platform/hid_platform.h platform/signals.h @qt"
  # The live board reads the station's board and store; what it needs of the
  # system (its listening socket, threads that give way) are platform headers.
  [src/board]="station platform/listen_socket.h platform/thread_priority.h @httplib @json"
  [src/cli]="hid image burn station store board sim platform/hid_platform.h platform/file_io.h platform/process.h platform/sha256.h platform/signals.h platform/terminal.h platform/trace_backend.h @cli11 @json"
  # The uhid bridge is a Linux program: it reaches the two Linux headers it
  # plays devices with, and nothing else of linux/.
  [src/uhid]="hid sim platform/hid_platform.h platform/linux/uhid_device.h platform/linux/hid_report_descriptor.h"
  # Tests build on any folder of src/ and on tests/support; the OS folders
  # (platform/<os>, support/<os>, the OS's headers) only in the files that
  # test that OS's code, named below.
  [tests]="src support @gtest @gmock @qt @xcb @sqlite @json @httplib"
  [tests/support]="src @gtest @gmock @qt @json @httplib"
  [tests/support/linux]="src support platform/linux @gtest @linux @umockdev"
  [tests/support/windows]="src support platform/windows @gtest @windows"
  [bench]="src @benchmark @httplib"
  [fuzz]="src @libfuzzer @httplib"
)
# Files that get their folder's rule and more: the tests, benchmark and fuzz
# target of one OS's code. A file named here must exist.
declare -A file_rule=(
  [tests/hidraw_backend_test.cpp]="support/linux platform/linux @linux"
  [tests/hidraw_manager_test.cpp]="support/linux @linux"
  [tests/report_descriptor_test.cpp]="platform/linux"
  [tests/windows_backend_test.cpp]="support/windows platform/windows @windows"
  [tests/ui_win32_test.cpp]="@windows"
  [tests/win32_probe.cpp]="@windows"
  [bench/uhid_bench.cpp]="platform/linux @linux"
  # The server store's benchmark runs on the tests' throwaway server.
  [bench/pg_station_bench.cpp]="support/pg_test_server.h support/forwarding_store.h"
  [fuzz/fuzz_report_descriptor.cpp]="platform/linux"
)

# Library groups, by the names of their headers (extended regular expressions).
declare -A group=(
  [std]='^(algorithm|any|array|atomic|barrier|bit|bitset|charconv|chrono|codecvt|compare|complex|concepts|condition_variable|coroutine|deque|exception|execution|expected|filesystem|format|forward_list|fstream|functional|future|initializer_list|iomanip|ios|iosfwd|iostream|istream|iterator|latch|limits|list|locale|map|memory|memory_resource|mutex|new|numbers|numeric|optional|ostream|print|queue|random|ranges|ratio|regex|scoped_allocator|semaphore|set|shared_mutex|source_location|span|spanstream|sstream|stack|stacktrace|stdexcept|stop_token|streambuf|string|string_view|syncstream|system_error|thread|tuple|type_traits|typeindex|typeinfo|unordered_map|unordered_set|utility|valarray|variant|vector|version|c(assert|ctype|errno|fenv|float|inttypes|limits|locale|math|setjmp|signal|stdarg|stddef|stdint|stdio|stdlib|string|time|uchar|wchar|wctype)|(assert|ctype|errno|fenv|float|inttypes|limits|locale|math|setjmp|signal|stdarg|stddef|stdint|stdio|stdlib|string|time|uchar|wchar|wctype)\.h)$'
  [linux]='^(unistd|fcntl|poll|spawn|termios|dlfcn|pthread|sched|dirent|pwd|libudev)\.h$|^(sys|linux|netinet|arpa)/'
  [windows]='^(windows|winioctl|dbt|setupapi|cfgmgr32|hidsdi|hidpi|commctrl|commdlg|bcrypt|winsock2|ws2tcpip|shlobj)\.h$'
  [qt]='^Qt[A-Za-z]*/|^Q[A-Za-z0-9]+$|^q[a-z0-9_]+\.h$'
  [xcb]='^xcb/'
  [sqlite]='^sqlite3\.h$'
  [libpq]='^(libpq-fe|libpq-events|pg_config_ext|postgres_ext)\.h$'
  [openssl]='^openssl/'
  [cli11]='^CLI/'
  [json]='^nlohmann/'
  [httplib]='^httplib\.h$'
  [gtest]='^gtest/'
  [gmock]='^gmock/'
  [benchmark]='^benchmark/'
  [umockdev]='^umockdev\.h$'
  [libfuzzer]='^fuzzer/'
)
declare -A group_name=(
  [linux]="Linux and POSIX headers" [windows]="Windows headers" [qt]="Qt" [xcb]="xcb"
  [sqlite]="SQLite" [libpq]="libpq" [openssl]="OpenSSL" [cli11]="CLI11" [json]="nlohmann-json" [httplib]="cpp-httplib"
  [gtest]="GoogleTest" [gmock]="GoogleMock" [benchmark]="Google Benchmark" [umockdev]="umockdev"
  [libfuzzer]="libFuzzer"
)

# The first path parts that name a project header: the folders of src/ and
# the ones the rules name before they exist.
declare -A project_top=([support]=1)
for dir in "$root"/src/*/; do [ -d "$dir" ] && project_top[$(basename "$dir")]=1; done
for key in "${!rule[@]}"; do
  [[ "$key" == src/* ]] && { top=${key#src/}; project_top[${top%%/*}]=1; }
done

status=0
fail() { echo "$1" >&2; status=1; }

for key in "${!file_rule[@]}"; do
  [ -f "$root/$key" ] || fail "$key: named in the rules of scripts/check-layers.sh but not in the tree"
done

# group_of HEADER: sets g to the header's group, or to nothing.
group_of() {
  for g in std "${!group_name[@]}"; do
    [[ "$1" =~ ${group[$g]} ]] && return
  done
  g=""
}

# where_group GROUP -> the folders and files whose rule names it.
where_group() {
  local key list=()
  for key in "${!rule[@]}"; do
    [[ " ${rule[$key]} " == *" @$1 "* ]] && list+=("$key")
  done
  for key in "${!file_rule[@]}"; do
    [[ " ${file_rule[$key]} " == *" @$1 "* ]] && list+=("$key")
  done
  printf '%s\n' "${list[@]}" | sort | paste -sd, - | sed 's/,/, /g'
}

# token_path TOKEN: sets path to where a project token lives in the tree.
token_path() {
  case "$1" in
    support | support/*) path="tests/$1" ;;
    *) path="src/$1" ;;
  esac
}

# permits TOKENS HEADERPATH: whether a project header (tree path) is allowed.
permits() {
  local tokens=$1 header=$2 dir=${2%/*} t path
  for t in $tokens; do
    case "$t" in
      @*) ;;
      src) [[ "$dir" == src/* && "$dir" != src/platform/* ]] && return 0 ;;
      *.h | *.hpp) token_path "$t" && [[ "$header" == "$path" ]] && return 0 ;;
      *) token_path "$t" && [[ "$dir" == "$path" ]] && return 0 ;;
    esac
  done
  return 1
}

mapfile -t files < <(
  cd "$root"
  for top in src tests bench fuzz; do
    [ -d "$top" ] || continue
    find "$top" -type f \( -name '*.h' -o -name '*.hh' -o -name '*.hpp' -o -name '*.hxx' \
      -o -name '*.inl' -o -name '*.ipp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \
      -o -name '*.cxx' -o -name '*.rc' \)
  done | sort
)

# A link would let an allowed name stand for a header of another folder.
while IFS= read -r link; do
  fail "$link: a symbolic link in the sources; put the file itself where it belongs"
done < <(cd "$root" && for top in src tests bench fuzz; do [ -d "$top" ] && find "$top" -type l; done)

declare -A tokens_of
for file in "${files[@]}"; do
  dir=${file%/*}
  if [ -z "${rule[$dir]+set}" ]; then
    fail "$file: folder $dir/ has no rule in scripts/check-layers.sh"
    continue
  fi
  tokens_of[$file]="${rule[$dir]} ${file_rule[$file]:-}"
done

[ ${#files[@]} -gt 0 ] || { echo "layers: no sources under $root" >&2; exit 1; }

while IFS=$'\t' read -r file line kind name; do
  [ -n "${tokens_of[$file]+set}" ] || continue
  tokens=${tokens_of[$file]}
  dir=${file%/*}
  where="$file:$line:"
  if [ "$kind" = "?" ]; then
    fail "$where an include through a macro or of no header name cannot be checked: $name"
    continue
  fi
  shown="<$name>"
  [ "$kind" = '"' ] && shown="\"$name\""
  if [[ "$name" == /* || "$name" == *\\* || "/$name/" == */../* || "/$name/" == */./* ]]; then
    fail "$where $shown: name headers from src/ or tests/, without \"..\", \".\" or an absolute path"
    continue
  fi
  top=${name%%/*}
  header=""
  if [ "$kind" = '"' ] && [ -f "$root/$dir/$name" ]; then
    header="$dir/$name"
  elif [[ "$name" == */* && -n "${project_top[$top]+set}" ]]; then
    token_path "$name"
    header=$path
    if [ "$kind" = "<" ]; then
      fail "$where $shown is a project header: include it in quotes"
    fi
  fi
  if [ -n "$header" ]; then
    if [ "${header%/*}" != "$dir" ] && ! permits "$tokens" "$header"; then
      fail "$where $dir/ may not include $shown"
    fi
    continue
  fi
  group_of "$name"
  if [ -z "$g" ]; then
    fail "$where $shown is neither a project header nor one of a known library: name its library in scripts/check-layers.sh"
  elif [ "$g" != std ] && [[ " $tokens " != *" @$g "* ]]; then
    fail "$where $dir/ may not include $shown (${group_name[$g]}: only in $(where_group "$g"))"
  fi
done < <(cd "$root" && [ ${#files[@]} -gt 0 ] && awk -f "$here/include-lines.awk" "${files[@]}")

if [ "$status" -eq 0 ]; then echo "layers: every include points the allowed way"; fi
exit "$status"
