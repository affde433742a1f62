#!/usr/bin/env bash
# Builds everything, boots the test guest once, runs every test program under Wine there
# (the 32-bit ones and the 64-bit DLL's suites), then the command-line tools' tests on the
# build machine (plain and under the sanitizers) and each fuzz target over its stored
# corpus, and prints one summary line "N passed, N failed" over individual cases.
# QEL_TESTS="test_a fuzz_b" limits the run to those programs (for quick iterations).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
started=$(date +%s)

# The fuzz targets exist only in the sanitizer build and test_qelvorn_lst only natively, not
# in the cross build.
targets=$(tr ' ' '\n' <<<"${QEL_TESTS:-}" | grep -v '^fuzz_\|^test_qelvorn_lst$' | xargs)
[ -n "${QEL_TESTS:-}" ] && [ -z "$targets" ] && targets=demo_host
QEL_TARGETS="$targets" "$root/tools/build.sh" || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }
"$root/tools/build-native.sh" || { echo "native build failed"; echo "0 passed, 1 failed"; exit 1; }
# The sanitizer build only when the run includes a native test or a fuzz target.
if [ -z "${QEL_TESTS:-}" ] || grep -qE '(^| )(fuzz_|test_(apps_common|qelvorn_lst|report)( |$))' <<<"$QEL_TESTS"; then
  QEL_SANITIZE=1 "$root/tools/build-native.sh" || { echo "sanitizer build failed"; echo "0 passed, 1 failed"; exit 1; }
fi
"$root/tools/guest/build-guest.sh" || { echo "guest build failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
failures=()

# host_check SCRIPT [ARGUMENTS]: adds the "ok"/"not ok" lines of a host-side check (a path
# under the tree); a check that fails without a "not ok" line counts as one failure.
host_check() {
  local out rc bad
  out=$("$root/$1" "${@:2}" 2>&1)
  rc=$?
  passed=$((passed + $(grep -c '^ok ' <<<"$out")))
  bad=$(grep -c '^not ok ' <<<"$out")
  [ "$rc" != 0 ] && [ "$bad" = 0 ] && bad=1
  failed=$((failed + bad))
  [ "$bad" = 0 ] || failures+=("$1:"$'\n'"$out")
}

# The built DLL, the layers of its sources (no folder includes a folder above it) and the
# release zip.
host_check tests/rig/check_dll.sh "$build/bin/Qelvorn.dll" x86
host_check tests/rig/check_dll.sh "$build/bin/x64/Qelvorn.dll" x64
host_check tests/rig/check_layers.sh
# The guest's Wine files copied out for the native tests, from small images made there.
host_check tests/rig/check_extract_wine.sh
host_check tests/package/check_package.sh
# Each format's table: type codes with their formatters, the generator's codes and wiring.
host_check tests/lists/check_tables.sh
# The 100 most called functions of Wine's programs have the constant sets their review names.
host_check tests/lists/check_top_calls.sh

# The generated hook-list definitions are what the generator writes today.
if out=$("$root/tests/lists/check_lists.sh" 2>&1); then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  failures+=("check_lists.sh:"$'\n'"$out")
fi
echo "$out" | head -1

# tally NAME OUTPUT_FILE RC: adds one GoogleTest program's cases to the counts.
tally() {
  local name=$1 outf=$2 rc=$3 ok=0 bad=0 summary=0
  if [ -f "$outf" ]; then
    tr -d '\r' <"$outf" >"$outf.lf" && mv "$outf.lf" "$outf"
    ok=$(grep -c '^\[       OK \]' "$outf")
    bad=$(grep -c '^\[  FAILED  \] .* ms)$' "$outf")
    summary=$(grep -c '^\[==========\] .* ran\.' "$outf")
  fi
  if [ "$summary" = 0 ] || { [ "$rc" != 0 ] && [ "$bad" = 0 ]; }; then
    bad=$((bad + 1))
    failures+=("$name: exit $rc without a complete summary:"$'\n'"$(tail -30 "$outf" 2>/dev/null)")
  elif [ "$bad" != 0 ]; then
    failures+=("$name:"$'\n'"$(grep -B30 '^\[  FAILED  \] .* ms)$' "$outf" | grep -v '^\[ RUN      \]\|^\[       OK \]' | head -150)")
  fi
  printf '%-34s %4d passed %3d failed %6s ms\n' "$name" "$ok" "$bad" "${4:-}"
  passed=$((passed + ok))
  failed=$((failed + bad))
}

job=$(mktemp -d /tmp/qel-job.XXXXXX)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/bin" "$job/out"
cp "$build"/bin/*.exe "$build"/bin/*.dll "$job/bin/" 2>/dev/null
# Folders the programs read beside themselves: qelvorn-lst's definitions, test fixtures.
for folder in lists fixtures; do
  [ -d "$build/bin/$folder" ] && cp -r "$build/bin/$folder" "$job/bin/"
done
# The 64-bit programs in their own folder, each beside its own Qelvorn.dll.
mkdir -p "$job/bin/x64"
cp "$build"/bin/x64/*.exe "$build"/bin/x64/*.dll "$job/bin/x64/" 2>/dev/null

# Before the programs, the bundled demo traced as tools/run-demo.sh traces it; its log is
# compared with tests/e2e/demo-log.txt after the run.
mkdir -p "$job/bin/demo"
cp "$build/bin/Qelvorn.dll" "$build/bin/demo_host.exe" "$root/tools/demo/Qelvorn.ini" \
  "$root/tools/demo/Qelvorn.lst" "$root/tools/demo/trace-demo.sh" "$job/bin/demo/"
cat >"$job/pre.sh" <<'PRE'
(bash demo/trace-demo.sh demo /job/out/demo)
PRE

# One run per program under the Japanese locale (ANSI code page 932), plus the extra
# runs that a tests folder lists in runs.txt ("name LANG program [arguments]").
runs="$job/runs.txt"
: >"$runs"
for exe in "$build"/bin/test_*.exe; do
  name=$(basename "$exe" .exe)
  if [ -n "${QEL_TESTS:-}" ] && ! grep -qw "$name" <<<"$QEL_TESTS"; then continue; fi
  echo "$name ja_JP.UTF-8 $name.exe" >>"$runs"
done
# The 64-bit DLL's suites; the launcher's and the tools' tests stay 32-bit until those
# programs come to x64.
for exe in "$build"/bin/x64/test_*.exe; do
  name=$(basename "$exe" .exe)
  case $name in test_qelrun* | test_qelvorn_lst_guest | test_apps_common | test_report) continue ;; esac
  if [ -n "${QEL_TESTS:-}" ] && ! grep -qw "$name" <<<"$QEL_TESTS"; then continue; fi
  echo "x64-$name ja_JP.UTF-8 x64/$name.exe" >>"$runs"
done
for extra in "$root"/tests/*/runs.txt; do
  [ -f "$extra" ] || continue
  while read -r name lang prog args; do
    [ -n "$name" ] && [ "${name:0:1}" != "#" ] || continue
    if [ -n "${QEL_TESTS:-}" ] && ! grep -qw "${prog%.exe}" <<<"$QEL_TESTS"; then continue; fi
    echo "$name $lang $prog $args" >>"$runs"
  done <"$extra"
done

echo "guest: running $(wc -l <"$runs") programs"
QEL_GUEST_LIMIT=3600 "$root/tools/guest/run-programs.sh" "$job" 600 || failed=$((failed + 1))

while read -r name lang prog args; do
  tally "$name" "$job/out/$name.txt" "$(cat "$job/out/$name.rc" 2>/dev/null || echo none)" \
    "$(cat "$job/out/$name.ms" 2>/dev/null)"
done <"$runs"

host_check tests/e2e/check_demo_log.sh "$job/out/demo"

# The command-line tools' tests built for the build machine run here, natively; the hook-list
# coverage tests read the guest's own 32-bit and 64-bit Wine programs, from the folders
# extracted for the guest in use (QEL_GUEST_CACHE).
if wine_i386=$("$root/tools/guest/extract-wine-binaries.sh"); then
  export QEL_WINE_I386_DIR=$wine_i386
else
  echo "could not extract Wine's programs"
fi
if wine_x86_64=$("$root/tools/guest/extract-wine-binaries.sh" --x64); then
  export QEL_WINE_X86_64_DIR=$wine_x86_64
else
  echo "could not extract Wine's 64-bit programs"
fi
# Then the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer, where any
# finding ends the program with a failure.
native=${QEL_NATIVE_BUILD_DIR:-$root/build-native}
san=${QEL_NATIVE_SAN_BUILD_DIR:-$root/build-native-san}
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
for exe in "$native"/bin/test_* "$san"/bin/test_*; do
  [ -x "$exe" ] || continue
  name=native_$(basename "$exe")
  [ "${exe#"$san"/}" != "$exe" ] && name=san_$(basename "$exe")
  if [ -n "${QEL_TESTS:-}" ] && ! grep -qw "$(basename "$exe")" <<<"$QEL_TESTS"; then continue; fi
  t0=$(date +%s%N)
  (cd "$job" && timeout 600 "$exe" >"$job/out/$name.txt" 2>&1)
  rc=$?
  tally "$name" "$job/out/$name.txt" "$rc" "$((($(date +%s%N) - t0) / 1000000))"
done

# Each fuzz target replays its stored corpus (the seeds and every finding of tools/run-fuzz.sh),
# one case per file: all files in one run, and each alone only when that run fails.
# replay TARGET FILES...: runs the target once on each file.
replay() {
  (cd "$job" && timeout 300 "$1" -timeout=25 -rss_limit_mb=2048 "${@:2}" 2>&1)
}
for exe in "$san"/bin/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  if [ -n "${QEL_TESTS:-}" ] && ! grep -qw "$name" <<<"$QEL_TESTS"; then continue; fi
  t0=$(date +%s%N)
  inputs=("$root/tests/fuzz/corpus/${name#fuzz_}"/*)
  # Given no file, a target would fuzz instead of replaying.
  [ -f "${inputs[0]}" ] || continue
  ok=${#inputs[@]}
  bad=0
  if ! replay "$exe" "${inputs[@]}" >/dev/null; then
    for input in "${inputs[@]}"; do
      out=$(replay "$exe" "$input") && continue
      ok=$((ok - 1))
      bad=$((bad + 1))
      # The finding and its stack, without the shadow-memory map that follows.
      report=$(sed -n '/ERROR\|runtime error\|deadly signal/,/^SUMMARY/p' <<<"$out" | head -60)
      failures+=("$name ${input#"$root"/}:"$'\n'"${report:-$(tail -20 <<<"$out")}")
    done
    # A run that fails on no file alone still fails.
    [ "$bad" = 0 ] && bad=1 && failures+=("$name: the replay of all files failed, each alone passed")
  fi
  printf '%-34s %4d passed %3d failed %6s ms\n' "$name" "$ok" "$bad" "$((($(date +%s%N) - t0) / 1000000))"
  passed=$((passed + ok))
  failed=$((failed + bad))
done

for f in "${failures[@]}"; do
  printf '\n---- FAILED %s\n' "$f"
done
echo "test run took $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
