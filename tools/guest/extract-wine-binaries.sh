#!/usr/bin/env bash
# Copies the guest's 32-bit Wine programs and DLLs out of its disk image, read-only, into a
# cache folder (default /var/cache/qelvorn-wine-i386); done once per guest image.
# Usage: extract-wine-binaries.sh [CACHE_DIR]; prints the folder that holds the files.
set -euo pipefail
image=/var/cache/qelvorn-guest/base.img
cache=${1:-/var/cache/qelvorn-wine-i386}
stamp="$cache/.from-$(stat -c %Y "$image")"
if [ ! -f "$stamp" ]; then
  rm -rf "$cache"
  mkdir -p "$cache.tmp"
  debugfs -R "rdump /usr/lib/i386-linux-gnu/wine/i386-windows $cache.tmp" "$image" >/dev/null 2>&1
  [ -f "$cache.tmp/i386-windows/kernel32.dll" ] || { echo "no Wine i386 files in $image" >&2; exit 1; }
  mv "$cache.tmp/i386-windows" "$cache"
  rmdir "$cache.tmp"
  touch "$stamp"
fi
echo "$cache"
