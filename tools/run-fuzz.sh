#!/usr/bin/env bash
# The long robustness run: the hook-list mutation loop for QEL_FUZZ_ROUNDS inputs
# (1,000,000 unless set) in the test guest. Takes about an hour; not part of the tests.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
rounds=${QEL_FUZZ_ROUNDS:-1000000}
QEL_TARGETS=test_hooklist "$root/tools/build.sh" || { echo "build failed"; exit 1; }
"$root/tools/guest/build-guest.sh" || { echo "guest build failed"; exit 1; }
job=$(mktemp -d /tmp/qel-fuzz.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/bin"
cp "$build/bin/test_hooklist.exe" "$job/bin/"
echo "fuzz ja_JP.UTF-8 test_hooklist.exe --gtest_filter=HookListRobustness.MutatedAndRandomListsNeverFault" >"$job/runs.txt"
echo "export QEL_FUZZ_ROUNDS=$rounds" >"$job/env.sh"
echo "guest: $rounds mutated hook lists"
QEL_GUEST_LIMIT=14400 "$root/tools/guest/run-programs.sh" "$job" 14400 || exit 1
tr -d '\r' <"$job/out/fuzz.txt"
[ "$(cat "$job/out/fuzz.rc")" = 0 ]
