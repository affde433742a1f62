#!/usr/bin/env bash
# The functions Wine's own programs call most: builds the 32-bit launcher, runs each program
# of the table below once in the test guest under `qelrun --auto`, counts the calls per
# function in the logs with qelvorn-report, and writes the 100 most called, with their DLL
# and count, to tools/lstgen/top-calls.txt. tests/lists/check_top_calls.sh then checks each
# of them against the reviewed constant sets (tools/lstgen/top-calls-review.txt, decode.txt);
# docs/top-calls.md, the table of them, is written again too.
# Usage: survey-top-calls.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
QEL_BUILD_DIR=$build QEL_PROCESSORS=x86 QEL_TARGETS="qelrun qelrun_inject" "$root/tools/build.sh"
"$root/tools/build-native.sh" >/dev/null
"$root/tools/guest/build-guest.sh"

job=$(mktemp -d /tmp/qel-survey.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/bin" "$job/out"
cp "$build"/bin/Qelvorn.dll "$build"/bin/qelrun.exe "$build"/bin/qelrun-inject.dll "$job/bin/"
cp -r "$build/bin/lists" "$job/bin/"
# One run a line: name, then the program and its arguments, run in a folder that holds
# input.txt, other.txt and hello.js.
cat >"$job/programs.txt" <<'PROGRAMS'
find find alpha input.txt
findstr findstr /n alpha input.txt
fc fc input.txt other.txt
attrib attrib input.txt
xcopy xcopy input.txt 'copied\' /y
reg reg query "HKLM\Software\Microsoft\Windows NT\CurrentVersion"
cmd cmd /c "dir & type input.txt & echo done"
hostname hostname
ipconfig ipconfig
tasklist tasklist
whoami whoami
systeminfo systeminfo
where where find.exe
icacls icacls input.txt
cacls cacls input.txt
robocopy robocopy . robo input.txt
ping ping -n 1 127.0.0.1
netstat netstat -an
sc sc query
net net use
setx setx QEL_SURVEY 1
wmic wmic os get caption
cscript cscript //nologo hello.js
fsutil fsutil fsinfo drives
schtasks schtasks /query
PROGRAMS
cat >"$job/job.sh" <<'JOB'
#!/bin/bash
export WINEPREFIX=/root/.wine WINEDEBUG=-all
wineserver -p
wine wineboot >/dev/null 2>&1
mkdir -p /tmp/sv
cp -r /job/bin/. /tmp/sv/
cd /tmp/sv
printf 'alpha one\r\nbeta two\r\nalpha three\r\n' >input.txt
printf 'alpha one\r\ngamma two\r\n' >other.txt
printf 'WScript.Echo("alpha " + (6 * 7));\r\n' >hello.js
while read -r name command; do
  mkdir -p "/tmp/sv/logs/$name"
  eval "timeout 180 wine ./qelrun.exe --logs 'Z:\\tmp\\sv\\logs\\$name' --auto $command" \
    >"/job/out/$name.console" 2>&1 </dev/null
  echo "exit $?" >>"/job/out/$name.console"
  mkdir -p "/job/out/$name"
  cp /tmp/sv/logs/$name/*.txt "/job/out/$name/" 2>/dev/null || true
done </job/programs.txt
wineserver -k
touch /job/out/done
JOB
chmod +x "$job/job.sh"
"$root/tools/guest/boot-guest.sh" "$job" 1800 >"$job/console.log" 2>&1 || true
if [ ! -f "$job/out/done" ]; then
  echo "the guest did not run the programs:"
  tail -30 "$job/console.log"
  exit 1
fi

# Calls per function of each program's log (the summary's Functions table), summed, and the
# DLL each function was traced in (the log's api listing).
report=${QEL_NATIVE_BUILD_DIR:-$root/build-native}/bin/qelvorn-report
counts=$job/counts.txt
: >"$counts"
while read -r name command; do
  echo "== $name: $(tr -d '\r' <"$job/out/$name.console" | tail -1)"
  ls "$job/out/$name"/*.txt >/dev/null 2>&1 || continue
  "$report" --top 0 "$job/out/$name" |
    awk '/^Functions/ {on = 1; next} /^Threads/ {on = 0} on && /^  [^ ]/ && $2 ~ /^[0-9]+$/ {print $1, $2}' \
      >>"$counts"
  cat "$job/out/$name"/*.txt | tr -d '\r' |
    sed -n '/^\[api listing start/,/^\[api listing end/p' | grep ', ' | sed 's/, dup$//' |
    awk -F', ' '{print $2, $1}' >>"$job/dlls.txt"
done <"$job/programs.txt"
{
  echo "# The 100 functions Wine's programs call most under qelrun --auto, with their DLL and"
  echo "# the calls counted by qelvorn-report over one run of each program of"
  echo "# tools/lstgen/survey-top-calls.sh, which writes this file."
  echo "# Programs: $(cut -d' ' -f2- "$job/programs.txt" | paste -sd';' | sed 's/;/; /g')"
  awk 'NR == FNR {dll[$1] = $2; next} {calls[$1] += $2} END {for (f in calls) print calls[f], f, dll[f]}' \
    "$job/dlls.txt" "$counts" | sort -k1,1nr -k2,2 | head -100 | awk '{print $2, $3, $1}'
} >"$here/top-calls.txt"
"$here/top-calls-table.sh" >"$root/docs/top-calls.md"
echo "wrote $here/top-calls.txt and docs/top-calls.md"
