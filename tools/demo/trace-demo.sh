#!/bin/bash
# Inside the test guest: traces the demo host from FROM (Qelvorn.dll, demo_host.exe and the
# bundled Qelvorn.ini and Qelvorn.lst) on the guest's tmpfs under the Japanese locale, and
# leaves its output (console.txt, ending with its exit code) and its logs in OUT.
# Used by tools/run-demo.sh and by the test run's demo-log check.
# Usage: trace-demo.sh FROM OUT
from=$1
out=$2
mkdir -p /tmp/demo/logs "$out"
cp "$from"/Qelvorn.dll "$from"/demo_host.exe "$from"/Qelvorn.ini "$from"/Qelvorn.lst /tmp/demo/
cd /tmp/demo
LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 timeout 120 wine ./demo_host.exe 'Z:\tmp\demo\' \
  'Z:\tmp\demo\logs\' >"$out/console.txt" 2>&1
echo "exit $?" >>"$out/console.txt"
cp /tmp/demo/logs/* "$out/" 2>/dev/null
