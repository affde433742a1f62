#!/usr/bin/env bash
# Builds the release zip into a scratch folder and checks it: the expected files of both
# trees (the 64-bit ones in x64\, their hook lists in lists\x64\ when the tree has them),
# a README.txt that names each binary, and for every .exe and .dll in it: the processor of
# its tree, imports of system DLLs only, a version resource carrying the project's version
# and product name, no debug sections, and a debug link to its file in the symbols zip.
# Prints "ok"/"not ok" per check.
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
made=$(QEL_DIST_DIR="$scratch/dist" "$root/tools/package.sh" 2>"$scratch/package.err")
zip=$(tail -1 <<<"$made")
symbols_zip=$(tail -2 <<<"$made" | head -1)
check "package.sh makes $name.zip" '[ "$zip" = "$scratch/dist/$name.zip" ] && [ -f "$zip" ]'
check "package.sh makes $name-symbols.zip" '[ "$symbols_zip" = "$scratch/dist/$name-symbols.zip" ] && [ -f "$symbols_zip" ]'
[ -f "$zip" ] && [ -f "$symbols_zip" ] || { cat "$scratch/package.err"; exit 1; }
entries=$(unzip -Z1 "$zip")
binaries="Qelvorn.dll qelrun.exe qelrun-inject.dll qelvorn-lst.exe qelvorn-report.exe
  x64/Qelvorn.dll x64/qelrun.exe x64/qelrun-inject.dll"
for file in $binaries README.txt sample/Qelvorn.ini sample/Qelvorn.lst lists/kernel32.lst \
  lists/x64/kernel32.lst lists/decode.txt lists/x64/decode.txt; do
  check "zip holds $file" 'grep -qx "$name/$file" <<<"$entries"'
done
check "zip holds nothing else" '! grep -vE "^$name/((Qelvorn.dll|qelrun.exe|qelrun-inject.dll|qelvorn-lst.exe|qelvorn-report.exe|README.txt)|sample/(Qelvorn.ini|Qelvorn.lst)?|x64/(Qelvorn.dll|qelrun.exe|qelrun-inject.dll)?|lists/.*)?$" <<<"$entries"'

check "symbols zip holds one debug file per binary and nothing else" '[ "$(unzip -Z1 "$symbols_zip" | grep -v "/$" | LC_ALL=C sort | tr "\n" " ")" = "$(for b in $binaries; do echo "$name-symbols/$b.debug"; done | LC_ALL=C sort | tr "\n" " ")" ]'

unzip -q "$zip" -d "$scratch/unpacked"
unzip -q "$symbols_zip" -d "$scratch/unpacked"
major_minor_patch=${version//./, }
# The .gnu_debuglink section: the debug file's name, NUL, padding to 4 bytes, then the
# CRC-32 of the debug file (little-endian), as a debugger checks it.
debuglink_matches() {
  python3 - "$1" "$2" <<'PY'
import os, subprocess, sys, tempfile, zlib
binary, debug = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as scratch:
    section = os.path.join(scratch, "link")
    subprocess.run(["x86_64-w64-mingw32-objcopy", "--dump-section", ".gnu_debuglink=" + section,
                    binary, os.path.join(scratch, "copy")], check=True)
    link = open(section, "rb").read()
name = link.split(b"\0", 1)[0].decode()
crc = int.from_bytes(link[(len(name) + 4) & ~3:][:4], "little")
ok = name == os.path.basename(debug) and crc == zlib.crc32(open(debug, "rb").read())
sys.exit(0 if ok else 1)
PY
}
readme=$(tr -d '\r' <"$scratch/unpacked/$name/README.txt")
for file in $binaries; do
  check "README.txt names ${file//\//\\}" 'grep -qF "${file//\//\\}" <<<"$readme"'
done
check "README.txt names lists\\x64\\" 'grep -qF "lists\\x64\\" <<<"$readme"'
# Every .exe and .dll the zip holds, wherever it is.
for file in $(grep -iE "\.(exe|dll)$" <<<"$entries" | sed "s|^$name/||" | LC_ALL=C sort); do
  binary=$scratch/unpacked/$name/$file
  format=pei-i386
  [ "${file#x64/}" != "$file" ] && format=pei-x86-64
  check "$file is $format" 'x86_64-w64-mingw32-objdump -f "$binary" 2>&1 | grep -q "file format $format$"'
  dump=$(x86_64-w64-mingw32-objdump -p "$binary" 2>&1)
  imports=$(grep -i "DLL Name:" <<<"$dump" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
  check "$file imports only system dlls ($imports)" '! tr " " "\n" <<<"$imports" | grep . | grep -qvE "^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|version|dbghelp|ws2_32|msvcrt|ntdll|psapi|shlwapi)\.dll$"'
  rc=$(x86_64-w64-mingw32-windres -i "$binary" -O rc 2>/dev/null)
  sections=$(x86_64-w64-mingw32-objdump -h "$binary" 2>&1)
  check "$file ships without debug sections" '! grep -q " \.debug_" <<<"$sections"'
  debug="$scratch/unpacked/$name-symbols/$file.debug"
  check "$file links its debug file by name and checksum" 'debuglink_matches "$binary" "$debug"'
  check "$file.debug holds the debug information" 'x86_64-w64-mingw32-objdump -h "$debug" | grep -q " \.debug_info"'
  check "$file version resource $version" 'grep -q "FILEVERSION $major_minor_patch, 0" <<<"$rc" && grep -q "\"ProductName\", \"Qelvorn\"" <<<"$rc" && grep -q "\"FileVersion\", \"$version\"" <<<"$rc"'
done
exit $status
