#!/usr/bin/env bash
# The log the bundled demo left (run as tools/run-demo.sh runs it) must be
# tests/e2e/demo-log.txt byte for byte once the columns that change from run to run are
# masked: the set-up time; the end, size and time of each loaded module (the DLL's size
# changes with every build); the clock of each call line; the id of each new thread; the
# process id in the log's name. Prints "ok"/"not ok". Usage: check_demo_log.sh LOG_DIR
export LC_ALL=C
golden=$(cd "$(dirname "$0")" && pwd)/demo-log.txt
logs=("$1"/\$\$\$demo_host00\$\$\$\([0-9]*\).txt)
if [ ! -f "${logs[0]}" ] || [ "$(find "$1" -name '$$$*' | wc -l)" != 1 ]; then
  echo "not ok demo log: one \$\$\$demo_host00\$\$\$(pid).txt expected in $1: $(ls "$1" 2>&1)"
  exit 1
fi
masked=$(mktemp /tmp/qel-demo-log.XXXXXX)
trap 'rm -f "$masked"' EXIT
sed -E \
  -e 's#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r$#yyyy/mm/dd hh:mm:ss\r#' \
  -e 's#^([0-9a-f]{8}) - [0-9a-f]{8},  \[[0-9a-f]{8}\([ ,0-9]{13}\)\], ([0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}|----/--/-- --:--:--), #\1 - xxxxxxxx,  [xxxxxxxx(xxxxxxxxxxxxx)], yyyy/mm/dd hh:mm:ss, #' \
  -e 's#^[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}, #hh:mm:ss:mmm, #' \
  -e 's#^(new thread : \([ 0-9]{3}\)) [0-9a-f]{8}\r$#\1 xxxxxxxx\r#' \
  "${logs[0]}" >"$masked"
if cmp -s "$golden" "$masked"; then
  echo "ok demo log equals tests/e2e/demo-log.txt once masked"
else
  echo "not ok demo log differs from tests/e2e/demo-log.txt once masked (cp932 shown as UTF-8):"
  diff <(iconv -f cp932 -t utf-8 "$golden") <(iconv -f cp932 -t utf-8 "$masked") | head -40
  exit 1
fi
