#!/usr/bin/env bash
# Builds everything, boots the test guest once, runs every benchmark program
# (bench_*.exe, the 32-bit ones and then the 64-bit ones of build/bin/x64, as x64-NAME)
# under Wine there and prints what each one printed. The programs
# that write a log run twice: with it on the guest's tmpfs (beside the program, /tmp/qel)
# and on its disk (a folder of the guest's root file system, /var/tmp/qelbench), each
# comparing itself with the floor on the same file system. bench_workload, a program that
# behaves like a real one, is run plain, through qelrun --auto (with and without
# --no-flush) and under Wine's relay tracer, and its figures are printed last.
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
cp -r "$build/bin/lists" "$job/bin/"
mkdir -p "$job/bin/x64"
cp "$build"/bin/x64/*.exe "$build"/bin/x64/*.dll "$job/bin/x64/" 2>/dev/null

selected() { [ -z "${QEL_BENCH:-}" ] || grep -qw "$1" <<<"$QEL_BENCH"; }

# The guest's disk: its root file system (ext4 on the virtual disk), unlike /tmp.
disk='Z:\var\tmp\qelbench\'

runs="$job/runs.txt"
: >"$runs"
for exe in "$build"/bin/bench_*.exe "$build"/bin/x64/bench_*.exe; do
  [ -f "$exe" ] || continue
  name=$(basename "$exe" .exe)
  selected "$name" || continue
  # The workload is run by the steps before the programs (below), 32-bit only until the
  # launcher comes to x64.
  [ "$name" = bench_workload ] && continue
  prog=$name.exe
  if [ "$exe" != "${exe#"$build"/bin/x64/}" ]; then
    name=x64-$name
    prog=x64/$prog
  fi
  echo "$name ja_JP.UTF-8 $prog" >>"$runs"
  # On the disk a flushed line costs milliseconds: bench_trace takes fewer flushed calls.
  case $name in
    *bench_line) echo "$name-disk ja_JP.UTF-8 $prog --writes 200 --dir ${disk}$name\\" >>"$runs" ;;
    *bench_trace) echo "$name-disk ja_JP.UTF-8 $prog --calls 2000 --dir ${disk}$name\\" >>"$runs" ;;
  esac
done
workload=0
selected bench_workload && [ -f "$build/bin/bench_workload.exe" ] && workload=1
if [ ! -s "$runs" ] && [ $workload = 0 ]; then echo "no benchmark programs"; exit 1; fi

# bench_trace compares itself with the same workload under Wine's relay tracer, run here
# first in the same boot, its trace written to the guest's tmpfs like our logs.
cat >"$job/pre.sh" <<'PRE'
rm -rf /var/tmp/qelbench /tmp/qelwork
mkdir -p /var/tmp/qelbench
if [ -f ./bench_trace.exe ]; then
  WINEDEBUG=+relay wine ./bench_trace.exe --workload 'Z:\tmp\qel\relay-result.txt' \
    >/dev/null 2>/tmp/qel/relay.txt
fi
if [ -f ./x64/bench_trace.exe ]; then
  WINEDEBUG=+relay wine ./x64/bench_trace.exe --workload 'Z:\tmp\qel\x64\relay-result.txt' \
    >/dev/null 2>/tmp/qel/x64/relay.txt
fi
PRE
# The workload's runs, each in a fresh folder that also takes its log: one line each in
# out/workload.txt, "name wall-ms exit seconds calls log-lines" (seconds and calls from the
# workload's own count, from its first call to its last; log lines are the call lines).
if [ $workload = 1 ]; then
  cat >>"$job/pre.sh" <<'PRE'
only=malloc,free,memcpy,EnterCriticalSection,WriteFile,ReadFile,WaitForSingleObject
work() {
  local name=$1 unix=$2 rc start ms lines
  shift 2
  rm -rf "$unix"
  mkdir -p "$unix"
  start=$(date +%s%N)
  "$@" >"$unix.out" 2>&1
  rc=$?
  ms=$((($(date +%s%N) - start) / 1000000))
  lines=$(cat "$unix"/\$\$\$bench_workload*.txt 2>/dev/null | grep -c '^[0-9][0-9]:[0-9][0-9]:')
  echo "$name $ms $rc $(cat "$unix/workload-result.txt" 2>/dev/null || echo - -) $lines" \
    >>/job/out/workload.txt
}
: >/job/out/workload.txt
for round in 1 2 3; do
  work plain /tmp/qelwork/plain wine ./bench_workload.exe 'Z:\tmp\qelwork\plain\'
  work auto /tmp/qelwork/auto wine ./qelrun.exe --logs 'Z:\tmp\qelwork\auto' --auto \
    --only $only bench_workload.exe 'Z:\tmp\qelwork\auto\'
  work auto-noflush /tmp/qelwork/noflush wine ./qelrun.exe --logs 'Z:\tmp\qelwork\noflush' \
    --auto --no-flush --only $only bench_workload.exe 'Z:\tmp\qelwork\noflush\'
  work disk-plain /var/tmp/qelbench/plain wine ./bench_workload.exe \
    'Z:\var\tmp\qelbench\plain\'
  work disk-auto-noflush /var/tmp/qelbench/noflush wine ./qelrun.exe \
    --logs 'Z:\var\tmp\qelbench\noflush' --auto --no-flush --only $only \
    bench_workload.exe 'Z:\var\tmp\qelbench\noflush\'
done
work relay /tmp/qelwork/relay sh -c \
  "WINEDEBUG=+relay wine ./bench_workload.exe 'Z:\\tmp\\qelwork\\relay\\' 2>/tmp/qelwork/relay.txt"
PRE
fi

# One program at a time, so the figures do not share the guest's processors.
echo "guest: running $(wc -l <"$runs") benchmark programs$([ $workload = 1 ] && echo " and the workload")"
status=0
"$root/tools/guest/run-programs.sh" "$job" 600 || status=1

while read -r name _; do
  rc=$(cat "$job/out/$name.rc" 2>/dev/null || echo none)
  echo "==== $name (exit $rc)"
  cat "$job/out/$name.txt" 2>/dev/null
  [ "$rc" = 0 ] || status=1
done <"$runs"

# The workload's figures: for each kind of run its best of three, against the plain run on
# the same file system; the time tracing adds per log line against the micro-benchmark's
# (bench_trace's traced call, one thread, on tmpfs: two lines), and the launcher's fixed
# start-up cost (wall time less the workload's own, beyond the plain run's), not counted.
if [ $workload = 1 ]; then
  echo "==== bench_workload (4 workers and the main thread; malloc, memcpy, free, EnterCriticalSection,"
  echo "     WriteFile, ReadFile, WaitForSingleObject; best of 3 runs of each kind but the relay's one)"
  micro=$(tr -d '\r' <"$job/out/bench_trace.txt" 2>/dev/null |
    awk '/^  traced call, one thread  / { print $5; exit }')
  awk -v micro="${micro:-0}" '
    $3 != 0 || $4 == "-" { bad[$1] = 1; next }
    !($1 in best) || $4 < best[$1] { best[$1] = $4; wall[$1] = $2; calls[$1] = $5; lines[$1] = $6 }
    END {
      for (k in bad) printf "  %s: a run failed (see its exit code in the job)\n", k
      if (!("plain" in best)) { print "  no plain run: no figures"; exit 1 }
      p = best["plain"]; dp = best["disk-plain"]
      printf "  plain, tmpfs: %.3f s for %d calls\n", p, calls["plain"]
      split("auto auto-noflush relay", kinds, " ")
      for (i = 1; i <= 3; ++i) {
        k = kinds[i]
        if (!(k in best)) continue
        printf "  %-14s tmpfs: %.3f s  %.2f x plain", k, best[k], best[k] / p
        if (k != "relay" && lines[k] > 0) {
          per = (best[k] - p) / lines[k] * 1e6
          printf ", %d lines, %.2f us added per line", lines[k], per
          if (micro > 0) printf " = %.2f x the micro-benchmark'"'"'s %.2f us", per / (micro / 2), micro / 2
          printf "; launcher start-up %.2f s", (wall[k] - wall["plain"]) / 1000 - (best[k] - p)
        }
        printf "\n"
      }
      if ("disk-auto-noflush" in best && dp > 0) {
        k = "disk-auto-noflush"
        printf "  auto-noflush   disk:  %.3f s  %.2f x plain on disk (%.3f s), %d lines (tmpfs: %.2f x)\n",
          best[k], best[k] / dp, dp, lines[k], best["auto-noflush"] / p
      }
    }' "$job/out/workload.txt" || status=1
fi
[ $report_status = 0 ] || status=1
exit $status
