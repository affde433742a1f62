#!/usr/bin/env bash
# Runs Windows programs, 64-bit and 32-bit alike, in one boot of the test guest. JOBDIR/bin
# holds the programs and their DLLs, JOBDIR/runs.txt one run a line: "name LANG program
# [arguments]". Each run leaves JOBDIR/out/NAME.txt (its output, CR LF as printed), NAME.rc
# (exit code, low 8 bits) and NAME.ms (wall time). JOBDIR/env.sh, when present, is sourced
# first, and JOBDIR/pre.sh in the programs' folder before the runs.
# Exits non-zero when the guest did not complete.
# Usage: run-programs.sh JOBDIR SECONDS_PER_PROGRAM
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
job=$(cd "$1" && pwd)
limit=${2:-300}
mkdir -p "$job/out"
cat >"$job/job.sh" <<JOB
#!/bin/bash
export WINEPREFIX=/root/.wine WINEDEBUG=-all
# Test folders and logs go to the tmpfs (see MakeTempDir), as a flush on the emulated disk
# costs milliseconds.
mkdir -p /tmp/qeltemp
export QEL_TEST_TEMP='Z:\tmp\qeltemp\'
# Variables a caller wants the programs to see (lines "export NAME=value").
[ -f /job/env.sh ] && . /job/env.sh
# Programs run from the guest's tmpfs: an image mapped from the shared folder reads as
# zeros past about 1 MB.
mkdir -p /tmp/qel
cp -r /job/bin/. /tmp/qel/
cd /tmp/qel
# Debian's wine command always starts the 32-bit loader, which hands a 64-bit program on to
# the 64-bit one seconds later; each program gets the loader of its kind from the start.
wine64=/usr/lib/wine/wine64
# loader PROGRAM: the loader for the machine field of its PE header (0x8664 is x86-64).
loader() {
  local pe
  pe=\$(od -An -tu4 -j60 -N4 "\$1" 2>/dev/null | tr -d ' ')
  if [ -n "\$pe" ] && [ "\$(od -An -tx2 -j\$((pe + 4)) -N2 "\$1" | tr -d ' ')" = 8664 ]; then
    echo \$wine64
  else
    echo wine
  fi
}
# One persistent wineserver for the whole job, the 64-bit one that serves both kinds, saves
# seconds per program.
wineserver -p
\$wine64 wineboot >/dev/null 2>&1
# A caller's own steps before the runs, in this folder (for example a run with other
# Wine settings whose output stays on the tmpfs).
[ -f /job/pre.sh ] && . /job/pre.sh
while read -r name lang prog args; do
  start=\$(date +%s%N)
  LANG=\$lang LC_ALL=\$lang timeout $limit \$(loader "\$prog") "./\$prog" \$args >"/job/out/\$name.txt" 2>&1 </dev/null
  echo \$? >"/job/out/\$name.rc"
  echo \$(((\$(date +%s%N) - start) / 1000000)) >"/job/out/\$name.ms"
done </job/runs.txt
wineserver -k
JOB
chmod +x "$job/job.sh"
"$here/boot-guest.sh" "$job" "${QEL_GUEST_LIMIT:-1800}" >"$job/console.log" 2>&1
if [ ! -f "$job/job.rc" ]; then
  echo "guest did not complete; console:"
  tail -40 "$job/console.log"
  exit 1
fi
