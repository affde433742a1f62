#!/usr/bin/env bash
# Checks tools/guest/extract-wine-binaries.sh on small guest images made here: it reads the
# image of the guest that QEL_GUEST_CACHE names, copies the 32-bit or (--x64) the 64-bit
# Wine files into that guest's folder or the one given, and fails cleanly when the image or
# its files are missing. Prints "ok"/"not ok" per check.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
extract=$root/tools/guest/extract-wine-binaries.sh
scratch=$(mktemp -d /tmp/qel-extract.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
check() {
  if eval "$2"; then echo "ok $1"; else echo "not ok $1"; status=1; fi
}

# make_guest NAME ARCH...: a guest folder whose image holds a kernel32.dll per processor,
# its text naming the processor.
make_guest() {
  local tree=$scratch/$1-tree arch
  for arch in "${@:2}"; do
    local lib=/usr/lib/i386-linux-gnu/wine/i386-windows
    [ "$arch" = x86_64 ] && lib=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    mkdir -p "$tree$lib"
    echo "$arch" >"$tree$lib/kernel32.dll"
  done
  mkdir -p "$tree" "$scratch/$1"
  mkfs.ext4 -q -F -d "$tree" "$scratch/$1/base.img" 8M >/dev/null
}
make_guest both i386 x86_64
make_guest old i386

# One case a row: name, guest, arguments ("@" standing for the scratch folder), expected
# exit code, expected folder printed, expected kernel32.dll text ("-" for none), expected
# message on standard error (none when empty).
while IFS='|' read -r name guest args code folder text message; do
  args=${args//@/$scratch/}
  out=$(QEL_GUEST_CACHE="$scratch/$guest" "$extract" $args 2>"$scratch/err")
  rc=$?
  check "$name: exit $code" '[ "$rc" = "$code" ]'
  check "$name: prints '$folder'" '[ "$out" = "${folder:+$scratch/$folder}" ]'
  if [ "$text" != - ]; then
    check "$name: copies the $text files" '[ "$(cat "$scratch/$folder/kernel32.dll" 2>/dev/null)" = "$text" ]'
  fi
  if [ -n "$message" ]; then
    check "$name: says '$message'" 'grep -qF "$message" "$scratch/err"'
  else
    check "$name: says nothing on standard error" '[ ! -s "$scratch/err" ]'
  fi
  check "$name: leaves no unfinished copy" '! compgen -G "$scratch/*/*.tmp" >/dev/null && ! compgen -G "$scratch/*.tmp" >/dev/null'
done <<'CASES'
32-bit by default, into the guest's folder|both||0|both/wine-i386|i386|
64-bit with --x64, into the guest's folder|both|--x64|0|both/wine-x86_64|x86_64|
64-bit into a folder given|both|--x64 @out64|0|out64|x86_64|
a guest without 64-bit Wine|old|--x64|1||-|no Wine x86_64 files
no guest image|none||1||-|no guest image at
CASES
exit $status
