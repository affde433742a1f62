#!/usr/bin/env bash
# Benchmark of qelvorn-report's text summary on the build machine: generates a rolled
# series of 1,000,000 log lines (4 threads, nested calls, cp932 texts, 10 files) of calls
# that fit their definitions, then times `wc -l`, the report and its decoded calls
# (--calls, constants and handle names) on the same files in the same run and prints the
# ratios (target: at most 10) and the report's peak memory.
# Usage: report-bench.sh [LINES]   (also run by tools/run-bench.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
lines=${1:-1000000}
QEL_BUILD_TESTS=OFF QEL_NATIVE_BUILD_DIR=${QEL_NATIVE_BUILD_DIR:-$root/build-native} "$root/tools/build-native.sh" >/dev/null
report=${QEL_NATIVE_BUILD_DIR:-$root/build-native}/bin/qelvorn-report
work=$(mktemp -d /tmp/qel-report-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Pre and post lines in pairs; every 8th call of a thread holds a nested call. Each thread
# goes round a cycle of real calls with the arguments their definitions in lists/decode.txt
# take: a file opened (a cp932 name), read, written and closed, an event made, waited on and
# closed, a registry key opened, read and closed, a module loaded and freed, memory reserved
# and freed. Its handle values come back after each close, so the names follow them.
awk -v total="$lines" -v dir="$work" '
function emit(clock, th, ret, le, fn, args, at) {
  at = sprintf("00401%03x", t % 4096)
  printf "%s, %3d, %s,         ,         , %s <bench.exe>, , %s\r\n", clock, th, at, fn, args > out
  if (t % 8 == 0) {
    printf "%s, %3d, 00402000,         ,         , Sleep <bench.exe>, , 1\r\n", clock, th > out
    printf "%s, %3d, 00402000, 00000000, 00000000, Sleep <bench.exe>, , 1\r\n", clock, th > out
    n += 2
  }
  printf "%s, %3d, %s, %s, %08x, %s <bench.exe>, , %s\r\n", clock, th, at, ret, le, fn, args > out
  n += 2
}
BEGIN {
  files = 10; per = int(total / files); n = 0; f = 0; t = 0
  out = sprintf("%s/$$$bench%02d$$$(4242).txt", dir, f)
  printf "2026/12/10 23:40:00\r\n\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n\r\n" > out
  n = 4
  name = "\x83\x74\x83\x40\x83\x43\x83\x8b"
  while (n < total) {
    th = (t % 4) + 1; step = int(t / 4) % 15; t++
    # From 23:40 on, so the series crosses midnight.
    ms = (85200000 + t * 3) % 86400000
    clock = sprintf("%02d:%02d:%02d:%03d", int(ms / 3600000), int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000)
    file = sprintf("%08x", 256 + th * 16); event = sprintf("%08x", 260 + th * 16)
    key = sprintf("%08x", 264 + th * 16); le = t % 5 == 0 ? 2 : 0
    if (step == 0) emit(clock, th, file, le, "CreateFileA", "\"C:\\data\\" name ", part " t ".txt\", 80000000, 00000001, (null), 00000003, 00000080, (null)")
    else if (step == 1) emit(clock, th, "00000001", le, "ReadFile", file ", 0063f000, 4096, 0063ed68, (null)")
    else if (step == 2) emit(clock, th, "00000001", le, "WriteFile", file ", 0040a044, 512, 0063ed6c, (null)")
    else if (step == 3) emit(clock, th, "00000001", le, "CloseHandle", file)
    else if (step == 4) emit(clock, th, event, le, "CreateEventA", "(null), TRUE, FALSE, \"bench-event-" t "\"")
    else if (step == 5) emit(clock, th, "00000102", le, "WaitForSingleObject", event ", 100")
    else if (step == 6) emit(clock, th, "00000001", le, "CloseHandle", event)
    else if (step == 7) emit(clock, th, "00000000", le, "RegOpenKeyExA", "80000002, \"Software\\" name " " t "\", 00000000, 00020019, 0063e714")
    else if (step == 8) emit(clock, th, "00000000", le, "RegQueryValueExA", key ", \"Version\", (null), 0063e718, 0063e71c, 0063e720")
    else if (step == 9) emit(clock, th, "00000000", le, "RegCloseKey", key)
    else if (step == 10) emit(clock, th, "66640000", le, "LoadLibraryA", "\"version.dll\"")
    else if (step == 11) emit(clock, th, "66641204", le, "GetProcAddress", "66640000, \"GetFileVersionInfoSizeA\"")
    else if (step == 12) emit(clock, th, "00000001", le, "FreeLibrary", "66640000")
    else if (step == 13) emit(clock, th, "003f0000", le, "VirtualAlloc", "(null), 65536, 00003000, 00000004")
    else emit(clock, th, "00000001", le, "VirtualFree", "003f0000, 0, 00008000")
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
