#!/usr/bin/env bash
# The layering check's own test. The tree must pass; then each include below
# is planted in a file of a scratch copy of the tree, and the check must fail
# on it, naming that file (or pass, for the includes a folder may make).
#
#   scripts/check-layers-test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/tree
mkdir -p "$copy"
for top in src tests bench fuzz; do
  [ -d "$tree/$top" ] && cp -R "$tree/$top" "$copy/"
done

failures=0
probes=0
# probe fail|pass FILE TEXT [NAMED]: FILE (a path in the tree, new) holding
# TEXT; a failure must name NAMED (by default FILE).
probe() {
  local expect=$1 file=$2 text=$3 named=${4:-$2} dir status=0 out
  probes=$((probes + 1))
  dir=$(dirname "$copy/$file")
  local made=""
  [ -d "$dir" ] || { mkdir -p "$dir"; made=$dir; }
  printf '%s\n' "$text" >"$copy/$file"
  out=$(bash "$here/check-layers.sh" "$copy" 2>&1) || status=$?
  rm -f "$copy/$file"
  [ -z "$made" ] || rm -rf "$made"
  local shown=${text//$'\n'/\\n}
  if [ "$expect" = fail ]; then
    if [ "$status" -eq 0 ]; then
      echo "FAILED: $file with '$shown' passed the check" >&2
      failures=$((failures + 1))
    elif [[ "$out" != *"$named:"* ]]; then
      echo "FAILED: $file with '$shown' failed the check, but not on $named:" >&2
      echo "$out" >&2
      failures=$((failures + 1))
    else
      echo "ok: $file '$shown' -> ${out%%$'\n'*}"
    fi
  elif [ "$status" -ne 0 ]; then
    echo "FAILED: $file with '$shown' should pass:" >&2
    echo "$out" >&2
    failures=$((failures + 1))
  else
    echo "ok: $file '$shown' passes"
  fi
}

if ! bash "$here/check-layers.sh" "$copy" >/dev/null; then
  echo "FAILED: the tree itself does not pass the check" >&2
  exit 1
fi

# A lower folder reaching up, however the include is written.
probe fail src/burn/probe.cpp '#include <station/station.h>'
probe fail src/burn/probe.cpp '#include "station/station.h"'
probe fail src/burn/probe.cpp '#include "../station/station.h"'
probe fail src/burn/probe.cpp '#include STATION_HEADER'
probe fail src/burn/probe.cpp '%:include "station/station.h"'
probe fail src/burn/probe.cpp '# /* a comment */ include "station/station.h"'
probe fail src/burn/probe.cpp $'#include \\\n"station/station.h"'
probe fail src/burn/probe.cpp $'#include /* a comment\n  over two lines */ "station/station.h"'
probe fail src/burn/probe.cpp $'const char* k = "/*";\n#include "station/station.h"'
probe fail src/burn/probe.cpp $'const char* k = R"x(/* )x";\n#include "station/station.h"'
probe fail src/burn/probe.cpp $'const char* k = "\\"/*";\n#include "station/station.h"'
probe fail src/burn/probe.cpp $'char q = \'"\'; /* a comment */\n#include "station/station.h"'
probe fail src/burn/probe.cpp '#include_next "station/station.h"'
probe fail src/burn/probe.cpp 'import "station/station.h";'
# Every kind of source file is read.
probe fail src/burn/probe.hpp '#include "station/station.h"'
probe fail src/burn/probe.hh '#include "station/station.h"'
probe fail src/burn/probe.cc '#include "station/station.h"'
probe fail src/burn/probe.c '#include "station/station.h"'
probe fail src/burn/probe.cxx '#include "station/station.h"'
# Libraries outside their folders.
probe fail src/ui/probe.cpp '#include <QtWidgets/QWidget>'
probe fail src/ui/probe.cpp '#include <QWidget>'
probe fail src/ui/probe.cpp '#include <qwidget.h>'
probe fail src/hid/probe.cpp '#include <sqlite3.h>'
probe fail src/hid/probe.cpp '#include "sqlite3.h"'
probe fail src/hid/probe.cpp '#include <openssl/evp.h>'
probe fail src/hid/probe.cpp '#include <xcb/xcb.h>'
probe fail src/hid/probe.cpp '#include <pthread.h>'
probe fail src/hid/probe.cpp '#include <dirent.h>'
probe fail src/hid/probe.cpp '#include <windows.h>'
probe fail src/hid/probe.cpp '#include <nlohmann/json.hpp>'
probe fail src/hid/probe.cpp '#include <zlib.h>'
probe fail src/station/probe.cpp '#include <sqlite3.h>'
probe fail src/platform/probe.cpp '#include <unistd.h>'
probe fail src/platform/windows/probe.cpp '#include <unistd.h>'
probe fail src/platform/linux/probe.cpp '#include <windows.h>'
probe fail src/cli/probe.cpp '#include <QString>'
# Folders that must not reach each other.
probe fail src/platform/linux/probe.cpp '#include "platform/windows/owned_handle.h"'
probe fail src/ui/probe.cpp '#include "ui/qt/qt_dialog_host.h"'
probe fail src/cli/probe.cpp '#include "ui/tessarin_dlg.h"'
probe fail src/app/probe.cpp '#include "cli/console.h"'
probe fail src/hid/probe.cpp '#include "support/cli_run.h"'
probe fail src/store/probe.cpp '#include "cli/console.h"'
probe fail src/store/probe.cpp '#include <openssl/evp.h>'
# A header of hid/ that is a link to the station's header.
ln -s ../station/station.h "$copy/src/hid/probe_link.h"
probe fail src/burn/probe.cpp '#include "hid/probe_link.h"' src/hid/probe_link.h
rm "$copy/src/hid/probe_link.h"
# A folder with no rule.
probe fail src/newfolder/probe.cpp '#include <string>'
probe fail src/ui/qt/newfolder/probe.cpp '#include <string>'
# Tests, benchmarks and fuzz targets.
probe fail tests/probe_test.cpp '#include "platform/linux/hidraw_backend.h"'
probe fail tests/probe_test.cpp '#include "support/linux/hidraw_common.h"'
probe fail tests/probe_test.cpp '#include <unistd.h>'
probe fail tests/probe_test.cpp '#include <support/cli_run.h>'
probe fail tests/support/probe.h '#include "platform/linux/hid_report_descriptor.h"'
probe fail tests/support/probe.h '#include <umockdev.h>'
probe fail tests/support/linux/probe.h '#include "platform/windows/wide_text.h"'
probe fail tests/support/windows/probe.h '#include <unistd.h>'
probe fail bench/probe.cpp '#include "support/cli_run.h"'
probe fail bench/probe.cpp '#include <gtest/gtest.h>'
probe fail bench/probe.cpp '#include <unistd.h>'
probe fail fuzz/probe.cpp '#include <sqlite3.h>'
probe fail fuzz/probe.cpp '#include "platform/linux/hidraw_backend.h"'

# What the folders may include.
probe pass src/hid/probe.cpp $'#include <vector>\n#include <cstdio>\n#include <stdint.h>'
probe pass src/hid/probe.cpp $'// #include <sqlite3.h>\n/* #include <sqlite3.h> */'
probe pass src/hid/probe.cpp $'const char* k = R"(\n#include <sqlite3.h>\n)";'
probe pass src/hid/probe.cpp 'long k = 1'"'"'000; // #include <sqlite3.h>'
probe pass src/store/probe.cpp $'#include <sqlite3.h>\n#include "station/record_store.h"\n#include "platform/process.h"'
probe pass src/platform/linux/probe.cpp $'#include <openssl/evp.h>\n#include <unistd.h>\n#include "platform/file_io.h"'
probe pass src/ui/qt/probe.cpp $'#include <QtWidgets/QWidget>\n#include <xcb/xcb.h>\n#include "ui/tessarin_dlg.h"'
probe pass src/ui/win32/probe.cpp $'#include <windows.h>\n#include "ui/tessarin_dlg.h"'
probe pass src/app/probe.cpp $'#include <QApplication>\n#include "image/utf16.h"'
probe pass src/cli/probe.cpp $'#include <CLI/CLI.hpp>\n#include <nlohmann/json.hpp>\n#include "station/station.h"'
probe pass tests/probe_test.cpp $'#include <gtest/gtest.h>\n#include <sqlite3.h>\n#include "app/tessarin_app.h"\n#include "support/cli_run.h"'
probe pass tests/support/linux/probe.h $'#include <unistd.h>\n#include "platform/linux/uhid_device.h"'
probe pass bench/probe.cpp $'#include <benchmark/benchmark.h>\n#include "station/station.h"'

echo "layers self-test: $((probes - failures)) of $probes probes as expected"
[ "$failures" -eq 0 ]
