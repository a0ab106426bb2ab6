#!/usr/bin/env bash
# Fails when a source file includes a header of a folder its own folder may
# not build on (docs/ARCHITECTURE.md draws the picture; this keeps it true).
#
#   scripts/check-layers.sh          check src/
#   scripts/check-layers.sh DIR      check DIR laid out like src/ (its tests)
set -euo pipefail
cd "$(dirname "$0")/.."
root="${1:-src}"

# What each folder may include besides itself and the standard library.
# The platform interface is three headers; the OS-specific folders below
# platform/ are for platform/ alone.
declare -A allowed=(
  [platform]="platform"
  [hid]="platform/hid_platform.h"
  [sim]="hid platform/hid_platform.h platform/file_io.h"
  [image]="hid platform/file_io.h"
  [burn]="hid image"
  [station]="hid image burn platform/hid_platform.h platform/file_io.h platform/process.h"
  [ui]="hid image burn"
  [ui/qt]="ui hid image burn"
  [ui/win32]="ui hid image burn"
  [app]="ui ui/qt ui/win32 hid image burn sim platform/hid_platform.h"
  [cli]="hid image burn station sim platform/hid_platform.h platform/file_io.h platform/process.h platform/signals.h platform/terminal.h platform/trace_backend.h"
  # The uhid bridge is a Linux program: it reaches the two Linux headers it
  # plays devices with, and nothing else of linux/.
  [uhid]="hid sim platform/hid_platform.h platform/linux/uhid_device.h platform/linux/hid_report_descriptor.h"
)
# OS and toolkit headers, by the folders that may include them: platform/,
# and ui/win32/ for the system's dialogs.
os_headers='^(windows|winioctl|dbt|setupapi|cfgmgr32|hidsdi|hidpi|commctrl|commdlg|unistd|fcntl|spawn|poll|termios|libudev|dlfcn)\.h$|^(sys|linux)/'
qt_headers='^Q[A-Za-z]+$'

folder_of() {  # src/ui/qt/x.cpp -> ui/qt; src/hid/x.h -> hid
  local rel=${1#"$root"/}
  case "$rel" in
    ui/qt/*) echo ui/qt ;;
    ui/win32/*) echo ui/win32 ;;
    */*) echo "${rel%%/*}" ;;
    *) echo "" ;;
  esac
}

permits() {  # permits FOLDER HEADER
  local folder=$1 header=$2 entry
  [[ "$header" == "$folder"/* ]] && { [[ "$folder" != ui || ( "$header" != ui/qt/* && "$header" != ui/win32/* ) ]]; return; }
  for entry in ${allowed[$folder]}; do
    if [[ "$entry" == *.h ]]; then
      [[ "$header" == "$entry" ]] && return 0
    elif [[ "$header" == "$entry"/* ]]; then
      # A folder named whole still keeps its OS folders and ui/qt to itself.
      [[ "$entry" == platform && "$header" == platform/*/* ]] && continue
      [[ "$entry" == ui && ( "$header" == ui/qt/* || "$header" == ui/win32/* ) ]] && continue
      return 0
    fi
  done
  return 1
}

status=0
while IFS= read -r file; do
  folder=$(folder_of "$file")
  [ -n "$folder" ] || continue
  [ -n "${allowed[$folder]+set}" ] || { echo "$file: folder $folder has no rule here" >&2; status=1; continue; }
  while IFS=: read -r line header; do
    if ! permits "$folder" "$header"; then
      echo "$file:$line: $folder/ may not include \"$header\"" >&2
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed 's/^\([0-9]*\):[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1:\2/' || true)
  while IFS=: read -r line header; do
    if [[ "$header" =~ $os_headers && "$folder" != platform && "$folder" != ui/win32 ]]; then
      echo "$file:$line: only platform/ and ui/win32/ include OS headers, not <$header>" >&2
      status=1
    fi
    if [[ "$header" =~ $qt_headers && "$folder" != ui/qt && "$folder" != app ]]; then
      echo "$file:$line: only ui/qt/ and app/ include Qt, not <$header>" >&2
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "$file" |
           sed 's/^\([0-9]*\):[[:space:]]*#[[:space:]]*include[[:space:]]*<\([^>]*\)>.*/\1:\2/' || true)
done < <(find "$root" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if [ "$status" -eq 0 ]; then echo "layers: every include points the allowed way"; fi
exit "$status"
