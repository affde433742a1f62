#!/usr/bin/env bash
# Copies the guest's Wine programs and DLLs of one processor (32-bit unless --x64) out of its
# disk image, read-only, into a cache folder; done once per guest image.
# The default folder is /var/cache/qelvorn-wine-i386 (or -x86_64) for the guest in the
# default place, and wine-i386 (or wine-x86_64) inside any other guest's folder, so two
# guests never take turns over one copy.
# Usage: extract-wine-binaries.sh [--x64] [CACHE_DIR]; prints the folder that holds the files.
set -euo pipefail
guest=${QEL_GUEST_CACHE:-/var/cache/qelvorn-guest}
image=$guest/base.img
arch=i386
lib=/usr/lib/i386-linux-gnu/wine
if [ "${1:-}" = "--x64" ]; then
  arch=x86_64
  lib=/usr/lib/x86_64-linux-gnu/wine
  shift
fi
default=/var/cache/qelvorn-wine-$arch
[ "$guest" = /var/cache/qelvorn-guest ] || default=$guest/wine-$arch
cache=${1:-$default}
[ -f "$image" ] || { echo "no guest image at $image (run tools/guest/build-guest.sh)" >&2; exit 1; }
stamp="$cache/.from-$(stat -c %Y "$image")"
if [ ! -f "$stamp" ]; then
  rm -rf "$cache" "$cache.tmp"
  mkdir -p "$cache.tmp"
  debugfs -R "rdump $lib/$arch-windows $cache.tmp" "$image" >/dev/null 2>&1
  if [ ! -f "$cache.tmp/$arch-windows/kernel32.dll" ]; then
    rm -rf "$cache.tmp"
    echo "no Wine $arch files in $image" >&2
    exit 1
  fi
  mv "$cache.tmp/$arch-windows" "$cache"
  rmdir "$cache.tmp"
  touch "$stamp"
fi
echo "$cache"
