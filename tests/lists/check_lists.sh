#!/usr/bin/env bash
# The checked-in hook-list definitions under lists/ (32-bit) and lists/x64/ (64-bit), each
# with its decode.txt, must be exactly what the generator writes from the installed mingw-w64 headers and import
# libraries. Prints "ok"/"not ok".
root=$(cd "$(dirname "$0")/../.." && pwd)
fresh=$(mktemp -d /tmp/qel-lists.XXXXXX)
trap 'rm -rf "$fresh" "$fresh.log"' EXIT
# The generator's libclang and headers come from Debian's packages.
if ! "$root/tools/setup-host.sh" >"$fresh.log" 2>&1; then
  echo "not ok lists: tools/setup-host.sh could not install the generator's packages"
  cat "$fresh.log"
  exit 1
fi
if ! /usr/bin/python3 "$root/tools/lstgen/lstgen.py" "$fresh" >"$fresh.log" 2>&1; then
  echo "not ok lists: the generator failed"
  cat "$fresh.log"
  rm -f "$fresh.log"
  exit 1
fi
rm -f "$fresh.log"
changes=$(diff -r "$root/lists" "$fresh" 2>&1)
if [ -z "$changes" ]; then
  echo "ok lists: regenerated lists/ equal the checked-in files" \
    "($(find "$root/lists" -maxdepth 1 -name '*.lst' | wc -l) files, $(find "$root/lists/x64" \
    -maxdepth 1 -name '*.lst' | wc -l) in x64/, decode.txt in both)"
else
  echo "not ok lists: regenerated lists/ differ from the checked-in files:"
  head -40 <<<"$changes"
  exit 1
fi
