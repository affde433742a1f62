#!/usr/bin/env bash
# Regenerates the report's fixture logs: builds the tracer and the fixture host for each
# processor named (x86, x64; both when none is), runs each scenario (and, for x86, the
# demo host) once in the test guest, and copies the logs the DLL wrote into
# fixtures/<scenario>/ (x86) and fixtures/x64-<scenario>/ (x64). The fixtures of a
# processor not named are left as they are. The log cut mid-line is derived from the
# two-thread log. QEL_FIXTURE_SCENARIOS limits the x86 scenarios to those named (nested
# threads crash rollover demo decode handles; all unless set). After regenerating, refresh the
# expected summaries: QEL_UPDATE_EXPECTED=1 test_report.
# Usage: make-fixtures.sh [x86] [x64]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
processors=${*:-x86 x64}
for processor in $processors; do
  case $processor in
    x86 | x64) ;;
    *) echo "usage: make-fixtures.sh [x86] [x64]" >&2; exit 2 ;;
  esac
done
has() { grep -qw "$1" <<<"$processors"; }
x86_scenarios=${QEL_FIXTURE_SCENARIOS:-nested threads crash rollover demo decode handles}
runs() { grep -qw "$1" <<<"$x86_scenarios"; }
for processor in $processors; do
  QEL_BUILD_DIR=$build QEL_PROCESSORS=$processor QEL_TARGETS="fixture_host" "$root/tools/build.sh"
done
"$root/tools/guest/build-guest.sh"

job=$(mktemp -d /tmp/qel-fixtures.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/out"
echo "processors='$processors'" >"$job/processors.sh"
echo "x86_scenarios='$x86_scenarios'" >>"$job/processors.sh"
if has x86; then
  mkdir -p "$job/bin" "$job/demo"
  cp "$build/bin/Qelvorn.dll" "$build/bin/fixture_host.exe" "$job/bin/"
  cp "$here"/fixture-host/Qelvorn*.ini "$here"/fixture-host/Qelvorn*.lst "$job/bin/"
  # The demo is traced as the README's demo command traces it.
  cp "$build/bin/Qelvorn.dll" "$build/bin/demo_host.exe" "$root/tools/demo/Qelvorn.ini" \
    "$root/tools/demo/Qelvorn.lst" "$root/tools/demo/trace-demo.sh" "$job/demo/"
fi
if has x64; then
  # The same host and hook list: on x64 each argument is one slot, and the list names no `8`.
  mkdir -p "$job/bin64"
  cp "$build/bin/x64/Qelvorn.dll" "$build/bin/x64/fixture_host.exe" "$job/bin64/"
  cp "$here/fixture-host/Qelvorn.ini" "$here/fixture-host/Qelvorn.lst" "$job/bin64/"
fi
cat >"$job/job.sh" <<'JOB'
#!/bin/bash
export WINEPREFIX=/root/.wine WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
. /job/processors.sh
has() { grep -qw "$1" <<<"$processors"; }
runs() { grep -qw "$1" <<<"$x86_scenarios"; }
hosted=$(tr ' ' '\n' <<<"$x86_scenarios" | grep -v '^demo$' | xargs)
wineserver -p
wine wineboot >/dev/null 2>&1
if has x86; then
  mkdir -p /tmp/fx
  cp /job/bin/* /tmp/fx/
  cd /tmp/fx
  for s in $hosted; do
    mkdir -p "/tmp/fx/$s/set" "/tmp/fx/$s/logs"
    cp Qelvorn.lst "/tmp/fx/$s/set/"
    # The decoded calls take the generated definitions' columns, of two DLLs.
    if [ $s = decode ]; then cp Qelvorn-decode.lst "/tmp/fx/$s/set/Qelvorn.lst"; fi
    if [ $s = handles ]; then cp Qelvorn-handles.lst "/tmp/fx/$s/set/Qelvorn.lst"; fi
    if [ $s = rollover ]; then cp Qelvorn-rollover.ini "/tmp/fx/$s/set/Qelvorn.ini"; fi
    if [ $s != rollover ]; then cp Qelvorn.ini "/tmp/fx/$s/set/"; fi
  done
  # Every slot taken by an older run (process 3), slot 24 the newest: the series starts at
  # slot 25 and wraps from 30 to 00.
  runs rollover && for i in $(seq 0 30); do
    f=$(printf '/tmp/fx/rollover/logs/$$$fixture_host%02d$$$(3).txt' "$i")
    printf 'old\r\n' >"$f"
    if [ "$i" -le 24 ]; then touch -d "2020-01-01 00:$(printf %02d "$i"):00" "$f"; else touch -d "2019-01-01 00:00:00" "$f"; fi
  done
  for s in $hosted; do
    timeout 120 wine ./fixture_host.exe $s "Z:\\tmp\\fx\\$s\\set\\" "Z:\\tmp\\fx\\$s\\logs\\" >"/job/out/$s.console" 2>&1
    echo "exit $?" >>"/job/out/$s.console"
  done
  if runs demo; then
    bash /job/demo/trace-demo.sh /job/demo /tmp/fx/demo-out
    mv /tmp/fx/demo-out/console.txt /job/out/demo.console
    mkdir -p /tmp/fx/demo/logs
    cp /tmp/fx/demo-out/'$$$'* /tmp/fx/demo/logs/
  fi
  for s in $x86_scenarios; do
    mkdir -p "/job/out/$s"
    for f in /tmp/fx/$s/logs/*; do
      case "$f" in *'$$$(3).txt') ;; *) cp "$f" "/job/out/$s/" ;; esac
    done
  done
fi
if has x64; then
  # Debian's wine command starts the 32-bit loader; a 64-bit program gets its own.
  mkdir -p /tmp/fx64
  cp /job/bin64/* /tmp/fx64/
  cd /tmp/fx64
  for s in threads crash; do
    mkdir -p "/tmp/fx64/$s/set" "/tmp/fx64/$s/logs" "/job/out/x64-$s"
    cp Qelvorn.ini Qelvorn.lst "/tmp/fx64/$s/set/"
    timeout 120 /usr/lib/wine/wine64 ./fixture_host.exe $s "Z:\\tmp\\fx64\\$s\\set\\" "Z:\\tmp\\fx64\\$s\\logs\\" >"/job/out/x64-$s.console" 2>&1
    echo "exit $?" >>"/job/out/x64-$s.console"
    cp /tmp/fx64/$s/logs/* "/job/out/x64-$s/"
  done
fi
wineserver -k
touch /job/out/done
JOB
chmod +x "$job/job.sh"
"$root/tools/guest/boot-guest.sh" "$job" 900 >"$job/console.log" 2>&1 || true
if [ ! -f "$job/out/done" ]; then
  echo "the guest did not run the scenarios:"
  tail -30 "$job/console.log"
  exit 1
fi
fixtures=$here/fixtures
mkdir -p "$fixtures"
scenarios=()
has x86 && scenarios+=($x86_scenarios)
has x64 && scenarios+=(x64-threads x64-crash)
for s in "${scenarios[@]}"; do
  echo "== $s: $(tr -d '\r' <"$job/out/$s.console" | tr '\n' ' ')"
  rm -rf "${fixtures:?}/$s"
  cp -r "$job/out/$s" "$fixtures/$s"
done
if has x86 && runs threads; then
  # A log cut in the middle of its last call line, as a crash during a write leaves it.
  rm -rf "$fixtures/cut"
  mkdir -p "$fixtures/cut"
  src=$(ls "$fixtures/threads"/*.txt | head -1)
  last=$(grep -b -a '^[0-9][0-9]:[0-9][0-9]:' "$src" | tail -1 | cut -d: -f1)
  head -c $((last + 40)) "$src" >"$fixtures/cut/$(basename "$src")"
fi
ls -lR "$fixtures"
