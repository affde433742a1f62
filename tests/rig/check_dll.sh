#!/usr/bin/env bash
# Host-side checks of the built DLL: a PE32 i386 DLL that imports only system DLLs and
# exports the three entry points under plain names. Prints "ok"/"not ok" per check.
dll=$1
dump=$(i686-w64-mingw32-objdump -p "$dll" 2>&1)
status=0
check() {
  if eval "$2"; then echo "ok $1"; else echo "not ok $1"; status=1; fi
}
check "pe32 i386 dll" 'grep -q "file format pei-i386" <<<"$dump" && grep -q "^Characteristics.*" <<<"$dump" && grep -q "DLL" <<<"$dump"'
imports=$(grep -i "DLL Name:" <<<"$dump" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
check "imports only system dlls ($imports)" '! grep -qvE "^(kernel32|user32|dbghelp|ws2_32|msvcrt|advapi32|ntdll)\.dll$" < <(tr " " "\n" <<<"$imports" | grep .)'
for name in QelSetUp_ QelWriteLog_ QelCleanUp_ nQelvorn; do
  check "export $name undecorated" 'grep -qE "^\s+\[ *[0-9]+\] $name$" <<<"$dump"'
done
check "no decorated stdcall exports" '! grep -qE "^\s+\[ *[0-9]+\] Qel[A-Za-z_]+@[0-9]+$" <<<"$dump"'
exit $status
