#!/usr/bin/env bash
# Host-side checks of a built DLL: a DLL of the processor given (x86: PE32 i386, x64:
# PE32+ x86-64) that imports only system DLLs and exports the three entry points under
# plain names. Prints "ok"/"not ok" per check.
# Usage: check_dll.sh DLL [x86|x64]
dll=$1
processor=${2:-x86}
format=pei-i386
[ "$processor" = x64 ] && format=pei-x86-64
dump=$(x86_64-w64-mingw32-objdump -p "$dll" 2>&1)
status=0
check() {
  if eval "$2"; then echo "ok $1"; else echo "not ok $1"; status=1; fi
}
check "$processor: $format dll" 'grep -q "file format $format\$" <<<"$dump" && grep -q "^Characteristics.*" <<<"$dump" && grep -q "DLL" <<<"$dump"'
imports=$(grep -i "DLL Name:" <<<"$dump" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
check "$processor: imports only system dlls ($imports)" '! grep -qvE "^(kernel32|user32|dbghelp|ws2_32|msvcrt|advapi32|ntdll)\.dll$" < <(tr " " "\n" <<<"$imports" | grep .)'
for name in QelSetUp_ QelWriteLog_ QelCleanUp_ nQelvorn; do
  check "$processor: export $name undecorated" 'grep -qE "^\s+\[ *[0-9]+\] $name$" <<<"$dump"'
done
check "$processor: no decorated stdcall exports" '! grep -qE "^\s+\[ *[0-9]+\] Qel[A-Za-z_]+@[0-9]+$" <<<"$dump"'
exit $status
