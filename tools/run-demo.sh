#!/usr/bin/env bash
# The main job: builds the DLL and the demo host, traces the demo host inside the test
# guest with the bundled Qelvorn.ini and Qelvorn.lst, and prints what it wrote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_DEMO_BUILD_DIR:-$root/build-demo}
QEL_BUILD_DIR=$build QEL_BUILD_TESTS=OFF QEL_PROCESSORS=x86 "$root/tools/build.sh"
"$root/tools/guest/build-guest.sh"

job=$(mktemp -d /tmp/qel-demo.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/bin" "$job/out"
cp "$build/bin/Qelvorn.dll" "$build/bin/demo_host.exe" "$root/tools/demo/Qelvorn.ini" \
  "$root/tools/demo/Qelvorn.lst" "$root/tools/demo/trace-demo.sh" "$job/bin/"
cat >"$job/job.sh" <<'JOB'
#!/bin/bash
export WINEPREFIX=/root/.wine WINEDEBUG=-all
bash /job/bin/trace-demo.sh /job/bin /job/out
JOB
chmod +x "$job/job.sh"
"$root/tools/guest/boot-guest.sh" "$job" 600 >"$job/console.log" 2>&1 || true
if [ ! -f "$job/out/console.txt" ]; then
  echo "the guest did not run the demo:"
  tail -30 "$job/console.log"
  exit 1
fi
echo "==== demo host output (messages are cp932, shown as UTF-8)"
iconv -f cp932 -t utf-8 "$job/out/console.txt" || cat "$job/out/console.txt"
for log in "$job"/out/\$\$\$*.txt; do
  [ -f "$log" ] || continue
  echo "==== $(basename "$log") (cp932, shown as UTF-8)"
  iconv -f cp932 -t utf-8 "$log" | tr -d '\r' || tr -d '\r' <"$log"
done
