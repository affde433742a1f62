#!/usr/bin/env bash
# The long robustness runs, not part of the tests:
# - each libFuzzer target of the sanitizer build (tests/fuzz) for QEL_FUZZ_SECONDS seconds
#   (600 unless set); an input that crashes, leaks, hangs or runs out of memory is kept in the
#   target's stored corpus, tests/fuzz/corpus/<target>/, where the test command replays it;
# - the hook-list mutation loop for QEL_FUZZ_ROUNDS inputs (1,000,000 unless set) in the test
#   guest, about an hour.
# QEL_FUZZ="report_log pe_image" limits the run to those targets, and "guest" to the loop;
# QEL_FUZZ_ARGS adds libFuzzer options (such as -max_len=65536 for larger inputs).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
san=${QEL_NATIVE_SAN_BUILD_DIR:-$root/build-native-san}
rounds=${QEL_FUZZ_ROUNDS:-1000000}
seconds=${QEL_FUZZ_SECONDS:-600}
only=${QEL_FUZZ:-report_log decode_table pe_image hook_list guest}
status=0

QEL_SANITIZE=1 "$root/tools/build-native.sh" || { echo "sanitizer build failed"; exit 1; }
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
for target in report_log decode_table pe_image hook_list; do
  grep -qw "$target" <<<"$only" || continue
  exe=$san/bin/fuzz_$target
  [ -x "$exe" ] || { echo "fuzz_$target: not built (no libFuzzer in this compiler)"; continue; }
  corpus=$root/tests/fuzz/corpus/$target
  # New inputs that widen the coverage stay in the build folder, so the stored corpus keeps
  # its seeds and the findings; a later run starts from both.
  work=$san/fuzz-work/$target
  mkdir -p "$work"
  before=$(ls "$corpus" | wc -l)
  echo "fuzz_$target: $seconds s"
  "$exe" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$corpus/" ${QEL_FUZZ_ARGS:-} "$work" "$corpus" >"$san/fuzz-$target.log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$san/fuzz-$target.log")
  found=$(($(ls "$corpus" | wc -l) - before))
  if [ "$rc" = 0 ] && [ "$found" = 0 ]; then
    echo "fuzz_$target: ${runs:-?} inputs, no finding"
    continue
  fi
  grep '^==[0-9]*==ERROR\|SUMMARY\|^==[0-9]*== ERROR' "$san/fuzz-$target.log"
  echo "fuzz_$target: ${runs:-?} inputs, exit $rc, $found new input(s) in tests/fuzz/corpus/$target"
  echo "  (the whole output: $san/fuzz-$target.log)"
  status=1
done

grep -qw guest <<<"$only" || exit "$status"
QEL_TARGETS=test_hooklist QEL_PROCESSORS=x86 "$root/tools/build.sh" || { echo "build failed"; exit 1; }
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
[ "$(cat "$job/out/fuzz.rc")" = 0 ] && exit "$status"
exit 1
