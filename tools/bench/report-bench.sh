#!/usr/bin/env bash
# Benchmark of qelvorn-report's text summary on the build machine: generates a rolled
# series of 1,000,000 log lines (4 threads, nested calls, cp932 texts, 10 files), then
# times `wc -l`, the report and its decoded calls (--calls) on the same files in the same
# run and prints the ratios (target: at most 10) and the report's peak memory.
# Usage: report-bench.sh [LINES]   (also run by tools/run-bench.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
lines=${1:-1000000}
QEL_BUILD_TESTS=OFF QEL_NATIVE_BUILD_DIR=${QEL_NATIVE_BUILD_DIR:-$root/build-native} "$root/tools/build-native.sh" >/dev/null
report=${QEL_NATIVE_BUILD_DIR:-$root/build-native}/bin/qelvorn-report
work=$(mktemp -d /tmp/qel-report-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Pre and post lines in pairs; every 8th call of a thread holds a nested call.
awk -v total="$lines" -v dir="$work" 'BEGIN {
  files = 10; per = int(total / files); n = 0; f = 0; t = 0
  out = sprintf("%s/$$$bench%02d$$$(4242).txt", dir, f)
  printf "2026/12/10 23:40:00\r\n\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n\r\n" > out
  n = 4
  split("CreateFileA ReadFile WriteFile CloseHandle WaitForSingleObject Sleep GetProcAddress", api, " ")
  while (n < total) {
    th = (t % 4) + 1; fn = api[(t % 7) + 1]; t++
    # From 23:40 on, so the series crosses midnight.
    ms = (85200000 + t * 3) % 86400000
    clock = sprintf("%02d:%02d:%02d:%03d", int(ms / 3600000), int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000)
    arg = "\"C:\\data\\\x83\x74\x83\x40\x83\x43\x83\x8b, part " t ".txt\", 80000000, 00000000, (null), 00000003"
    printf "%s, %3d, 00401%03x,         ,         , %s <bench.exe>, , %s\r\n", clock, th, t % 4096, fn, arg > out
    if (t % 8 == 0) {
      printf "%s, %3d, 00402000,         ,         , Sleep <bench.exe>, , 1\r\n", clock, th > out
      printf "%s, %3d, 00402000, 00000000, 00000000, Sleep <bench.exe>, , 1\r\n", clock, th > out
      n += 2
    }
    printf "%s, %3d, 00401%03x, 00000000, %08x, %s <bench.exe>, , %s\r\n", clock, th, t % 4096, t % 5, fn, arg > out
    n += 2
    if (n >= (f + 1) * per && f < files - 1) {
      close(out); f++
      out = sprintf("%s/$$$bench%02d$$$(4242).txt", dir, f)
    }
  }
}'
files=("$work"/*.txt)
cat "${files[@]}" >/dev/null
echo "series: ${#files[@]} files, $(cat "${files[@]}" | wc -l) lines, $(cat "${files[@]}" | wc -c) bytes"

seconds() { local s e; s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N); echo $(((e - s) / 1000000)); }
best() { local b=999999999 m i; for i in 1 2 3; do m=$(seconds "$@"); [ "$m" -lt "$b" ] && b=$m; done; echo "$b"; }
wc_ms=$(best wc -l "${files[@]}")
report_ms=$(best "$report" "$work")
[ "$wc_ms" -gt 0 ] || wc_ms=1
echo "wc -l: $wc_ms ms, qelvorn-report: $report_ms ms"
awk -v r="$report_ms" -v w="$wc_ms" 'BEGIN { printf "ratio report / wc -l: %.1f (target <= 10)\n", r / w }'
calls_ms=$(best "$report" --calls "$work")
echo "qelvorn-report --calls: $calls_ms ms"
awk -v r="$calls_ms" -v w="$wc_ms" 'BEGIN { printf "ratio report --calls / wc -l: %.1f (target <= 10)\n", r / w }'
if [ -x /usr/bin/time ]; then
  /usr/bin/time -v "$report" "$work" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { print "peak memory: " $2 " KB" }'
  half=("${files[@]:0:5}")
  /usr/bin/time -v "$report" "${half[@]}" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { print "peak memory, first half of the series only: " $2 " KB" }'
fi
