#!/usr/bin/env bash
# Builds the release zip into a scratch folder and checks it: the expected files, and
# for every binary in it: imports of system DLLs only and a version resource carrying the
# project's version and product name. Prints "ok"/"not ok" per check.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d /tmp/qel-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
check() {
  if eval "$2"; then echo "ok $1"; else echo "not ok $1"; status=1; fi
}
version=$(sed -n 's/^project(Qelvorn VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=qelvorn-$version-win32
zip=$(QEL_DIST_DIR="$scratch/dist" "$root/tools/package.sh" 2>"$scratch/package.err" | tail -1)
check "package.sh makes $name.zip" '[ "$zip" = "$scratch/dist/$name.zip" ] && [ -f "$zip" ]'
[ -f "$zip" ] || { cat "$scratch/package.err"; exit 1; }
entries=$(unzip -Z1 "$zip")
for file in Qelvorn.dll qelrun.exe qelrun-inject.dll qelvorn-lst.exe qelvorn-report.exe \
  README.txt sample/Qelvorn.ini sample/Qelvorn.lst; do
  check "zip holds $file" 'grep -qx "$name/$file" <<<"$entries"'
done
check "zip holds lists/" 'grep -q "^$name/lists/." <<<"$entries"'
check "zip holds nothing else" '! grep -vE "^$name/((Qelvorn.dll|qelrun.exe|qelrun-inject.dll|qelvorn-lst.exe|qelvorn-report.exe|README.txt)|sample/(Qelvorn.ini|Qelvorn.lst)?|lists/.*)?$" <<<"$entries"'

unzip -q "$zip" -d "$scratch/unpacked"
major_minor_patch=${version//./, }
for binary in "$scratch/unpacked/$name"/*.exe "$scratch/unpacked/$name"/*.dll; do
  file=$(basename "$binary")
  dump=$(i686-w64-mingw32-objdump -p "$binary" 2>&1)
  imports=$(grep -i "DLL Name:" <<<"$dump" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
  check "$file imports only system dlls ($imports)" '! tr " " "\n" <<<"$imports" | grep . | grep -qvE "^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|version|dbghelp|ws2_32|msvcrt|ntdll|psapi|shlwapi)\.dll$"'
  rc=$(i686-w64-mingw32-windres -i "$binary" -O rc 2>/dev/null)
  check "$file version resource $version" 'grep -q "FILEVERSION $major_minor_patch, 0" <<<"$rc" && grep -q "\"ProductName\", \"Qelvorn\"" <<<"$rc" && grep -q "\"FileVersion\", \"$version\"" <<<"$rc"'
done
exit $status
