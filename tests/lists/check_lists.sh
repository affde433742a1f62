#!/usr/bin/env bash
# The checked-in hook-list definitions under lists/ must be exactly what the generator
# writes from the installed mingw-w64 headers and import libraries. Prints "ok"/"not ok".
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
  echo "ok lists: regenerated lists/ equal the checked-in files ($(ls "$root/lists" | wc -l) files)"
else
  echo "not ok lists: regenerated lists/ differ from the checked-in files:"
  head -40 <<<"$changes"
  exit 1
fi
