#!/usr/bin/env bash
# Builds everything, boots the test guest once, runs every benchmark program
# (bench_*.exe) under 32-bit Wine there and prints what each one printed.
# QEL_BENCH="bench_a bench_b" limits the run to those programs ("report-bench" is the
# native benchmark of qelvorn-report, tools/bench/report-bench.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}

"$root/tools/build.sh" || { echo "build failed"; exit 1; }
"$root/tools/guest/build-guest.sh" || { echo "guest build failed"; exit 1; }

# The report's benchmark runs natively on the build machine.
report_status=0
if [ -z "${QEL_BENCH:-}" ] || grep -qw report-bench <<<"$QEL_BENCH"; then
  echo "==== report-bench (native)"
  "$root/tools/bench/report-bench.sh" || report_status=1
  [ "${QEL_BENCH:-}" = report-bench ] && exit $report_status
fi

job=$(mktemp -d /tmp/qel-bench.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/bin" "$job/out"
cp "$build"/bin/*.exe "$build"/bin/*.dll "$job/bin/" 2>/dev/null

runs="$job/runs.txt"
: >"$runs"
for exe in "$build"/bin/bench_*.exe; do
  [ -f "$exe" ] || continue
  name=$(basename "$exe" .exe)
  if [ -n "${QEL_BENCH:-}" ] && ! grep -qw "$name" <<<"$QEL_BENCH"; then continue; fi
  echo "$name ja_JP.UTF-8 $name.exe" >>"$runs"
done
if [ ! -s "$runs" ]; then echo "no benchmark programs"; exit 1; fi

# One program at a time, so the figures do not share the guest's processors.
echo "guest: running $(wc -l <"$runs") benchmark programs"
status=0
"$root/tools/guest/run-programs.sh" "$job" 600 || status=1

while read -r name _; do
  rc=$(cat "$job/out/$name.rc" 2>/dev/null || echo none)
  echo "==== $name (exit $rc)"
  cat "$job/out/$name.txt" 2>/dev/null
  [ "$rc" = 0 ] || status=1
done <"$runs"
[ $report_status = 0 ] || status=1
exit $status
