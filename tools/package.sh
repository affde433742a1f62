#!/usr/bin/env bash
# Builds the release: dist/qelvorn-VERSION-win32/ and dist/qelvorn-VERSION-win32.zip with
# Qelvorn.dll, the launcher and its helper, qelvorn-lst and qelvorn-report (stripped), the
# 64-bit Qelvorn.dll, launcher and helper in x64\, the hook lists (lists\, the 64-bit ones
# in lists\x64\), sample settings and a short README.txt; and
# dist/qelvorn-VERSION-win32-symbols.zip with one NAME.debug per binary (x64\NAME.debug for
# the 64-bit ones), which each shipped binary names in its .gnu_debuglink, so that a crash in
# the field can still be read. VERSION is the root CMake project's.
# QEL_DIST_DIR puts the release elsewhere.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEL_BUILD_DIR:-$root/build}
dist=${QEL_DIST_DIR:-$root/dist}
version=$(sed -n 's/^project(Qelvorn VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }

QEL_TARGETS="qelrun qelrun_inject qelvorn-lst qelvorn-report" QEL_PROCESSORS=x86 "$root/tools/build.sh" >/dev/null
QEL_TARGETS="qelrun qelrun_inject" QEL_PROCESSORS=x64 "$root/tools/build.sh" >/dev/null

name=qelvorn-$version-win32
folder=$dist/$name
symbols=$dist/$name-symbols
rm -rf "$folder" "$symbols" "$dist/$name.zip" "$dist/$name-symbols.zip"
mkdir -p "$folder/sample" "$folder/x64" "$symbols/x64"
# Every file is needed: a missing one stops the release (set -e) instead of leaving it out.
# The debug information goes to NAME.debug; the shipped copy keeps only a link to it (the
# link's checksum ties the two together, and objcopy reads the debug file beside it).
# ship PREFIX FILE: one binary of build/bin/FILE with the binutils named PREFIX-objcopy.
ship() {
  local objcopy=$1-objcopy file=$2
  $objcopy --only-keep-debug "$build/bin/$file" "$symbols/$file.debug"
  (cd "$symbols/$(dirname "$file")" && $objcopy --strip-all \
    --add-gnu-debuglink="$(basename "$file").debug" "$build/bin/$file" "$folder/$file")
}
for file in Qelvorn.dll qelrun.exe qelrun-inject.dll qelvorn-lst.exe qelvorn-report.exe; do
  ship i686-w64-mingw32 "$file"
done
for file in Qelvorn.dll qelrun.exe qelrun-inject.dll; do
  ship x86_64-w64-mingw32 "x64/$file"
done
cp -r "$root/lists" "$folder/lists"
cp "$root/tools/demo/Qelvorn.ini" "$root/tools/demo/Qelvorn.lst" "$folder/sample/"
sed 's/$/\r/' >"$folder/README.txt" <<TEXT
Qelvorn $version - API-call tracer for Windows programs

Qelvorn.dll            the tracer; a 32-bit program loads it and calls QelSetUp_
qelrun.exe             runs any program traced, 32-bit or 64-bit:
                         qelrun [--settings DIR] [--logs DIR] PROGRAM [ARGUMENTS...]
qelrun-inject.dll      qelrun's helper; keep it beside qelrun.exe and Qelvorn.dll
x64\\Qelvorn.dll        the tracer for a 64-bit program (same name, same exports)
x64\\qelrun.exe         the launcher for 64-bit programs, which qelrun.exe hands them to
x64\\qelrun-inject.dll  its helper
qelvorn-lst.exe        makes a Qelvorn.lst for a program
qelvorn-report.exe     summarises logs, of 32-bit and 64-bit programs alike
lists\\                 hook lists for 32-bit programs, and decode.txt, with which
                         qelvorn-report names arguments and constants
lists\\x64\\             the same for 64-bit programs
sample\\                a Qelvorn.ini and a Qelvorn.lst to start from

Which to use: run qelrun.exe for every program. It traces a 32-bit PROGRAM itself and hands
a 64-bit one to x64\\qelrun.exe with the same options, standard streams and exit code, so
keep the x64 folder beside qelrun.exe with all three files in it. A program that loads the
tracer itself takes the DLL of its own kind: Qelvorn.dll in a 32-bit program,
x64\\Qelvorn.dll in a 64-bit one (the other kind fails to load, error 193). qelrun.exe is
itself 32-bit, and Windows shows it the 32-bit system folder in place of system32: name a
64-bit system program as %windir%\\sysnative\\NAME.exe.

Put Qelvorn.ini and a Qelvorn.lst naming PROGRAM in its [Import] section into the settings
folder (by default qelrun's own folder) and run qelrun; the log is written to the logs
folder (by default the current folder) and qelrun prints its name. With --children, the
processes that PROGRAM starts are traced too, each into its own log, and qelrun prints the
process tree at the end; --attach PID|NAME traces a program that is already running.
Run qelrun --help for the options and exit codes.
TEXT
(cd "$dist" && zip -qrX "$name.zip" "$name" && zip -qrX "$name-symbols.zip" "$name-symbols")
echo "$dist/$name-symbols.zip"
echo "$dist/$name.zip"
