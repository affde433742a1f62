#!/usr/bin/env bash
# The log the bundled demo left (run as tools/run-demo.sh runs it) must be
# tests/e2e/demo-log.txt byte for byte once the columns that change from run to run are
# masked: the set-up time; the place, size and time of each loaded module (the DLL's size
# changes with every build), whose lines are then compared in the order of their paths; the
# clock of each call line; the id of each new thread; the process id in the log's name.
# Each list of loaded modules must also ascend by address. Prints "ok"/"not ok".
# Usage: check_demo_log.sh LOG_DIR
export LC_ALL=C
golden=$(cd "$(dirname "$0")" && pwd)/demo-log.txt
logs=("$1"/\$\$\$demo_host00\$\$\$\([0-9]*\).txt)
if [ ! -f "${logs[0]}" ] || [ "$(find "$1" -name '$$$*' | wc -l)" != 1 ]; then
  echo "not ok demo log: one \$\$\$demo_host00\$\$\$(pid).txt expected in $1: $(ls "$1" 2>&1)"
  exit 1
fi
# A list of loaded modules: its lines, each starting with the module's first address.
# Start addresses ascend within each list.
unordered=$(awk '/^[0-9a-f]+ - / { if (run && $1 "" <= last) print "  " last " then " $1; last = $1 ""; run = 1; next }
  { run = 0 }' "${logs[0]}")
if [ -n "$unordered" ]; then
  echo "not ok demo log: a list of loaded modules does not ascend by address:"
  echo "$unordered"
  exit 1
fi
masked=$(mktemp /tmp/qel-demo-log.XXXXXX)
trap 'rm -f "$masked"' EXIT
# Where a DLL without a fixed base lands (win32u.dll) differs between Wine's 32-bit and
# 64-bit prefixes, as every DLL's place does between boots of Windows; so the module lines
# are compared with their places masked, in the order of their paths.
sed -E \
  -e 's#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r$#yyyy/mm/dd hh:mm:ss\r#' \
  -e 's#^[0-9a-f]{8} - [0-9a-f]{8},  \[[0-9a-f]{8}\([ ,0-9]{13}\)\], ([0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}|----/--/-- --:--:--), #xxxxxxxx - xxxxxxxx,  [xxxxxxxx(xxxxxxxxxxxxx)], yyyy/mm/dd hh:mm:ss, #' \
  -e 's#^[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}, #hh:mm:ss:mmm, #' \
  -e 's#^(new thread : \([ 0-9]{3}\)) [0-9a-f]{8}\r$#\1 xxxxxxxx\r#' \
  "${logs[0]}" | awk '
  function flush() { if (n) { fflush(); close(sorter); n = 0 } }
  BEGIN { sorter = "sort" }
  /^xxxxxxxx - / { print | sorter; n++; next }
  { flush(); print }
  END { flush() }' >"$masked"
if cmp -s "$golden" "$masked"; then
  echo "ok demo log equals tests/e2e/demo-log.txt once masked"
else
  echo "not ok demo log differs from tests/e2e/demo-log.txt once masked (cp932 shown as UTF-8):"
  diff <(iconv -f cp932 -t utf-8 "$golden") <(iconv -f cp932 -t utf-8 "$masked") | head -40
  exit 1
fi
