#!/usr/bin/env bash
# Builds the emulated test guest once per machine: a minimal Debian amd64 root with
# wine64 and wine32, a kernel and a small initramfs, and a 64-bit Wine prefix made inside
# the guest, which runs both 64-bit and 32-bit programs.
# The result lives outside the source tree and is rebuilt when this folder changes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${QEL_GUEST_CACHE:-/var/cache/qelvorn-guest}
mirror=${QEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
stamp=$(cat "$here/build-guest.sh" "$here/guest-init.sh" | sha256sum | cut -c1-16)

if [ -f "$cache/ready-$stamp" ]; then
  exit 0
fi

need=()
for tool in qemu-system-x86_64:qemu-system-x86 qemu-img:qemu-utils debootstrap:debootstrap mkfs.ext4:e2fsprogs; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

echo "guest: building in $cache (once per machine)"
rm -rf "$cache"
mkdir -p "$cache"
root="$cache/root"
debootstrap --variant=minbase --arch=amd64 --include=kmod,locales,ca-certificates \
  bookworm "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
  tail -20 "$cache/debootstrap.log"
  exit 1
}

cleanup() {
  for m in dev/pts dev sys proc; do umount -l "$root/$m" 2>/dev/null || true; done
}
trap cleanup EXIT
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"

echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"
rm -f "$root/etc/apt/sources.list.d/"*
mkdir -p "$root/etc/initramfs-tools"
printf 'virtio_pci\nvirtio_blk\next4\n' >"$root/etc/initramfs-tools/modules"
mkdir -p "$root/etc/initramfs-tools/conf.d"
echo 'MODULES=list' >"$root/etc/initramfs-tools/conf.d/modules.conf"
echo 'ja_JP.UTF-8 UTF-8' >"$root/etc/locale.gen"
echo 'en_US.UTF-8 UTF-8' >>"$root/etc/locale.gen"

chroot "$root" /bin/bash -euc '
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends initramfs-tools linux-image-amd64 wine wine64 wine32:i386 >/dev/null
  locale-gen >/dev/null
  apt-get clean
' >"$cache/chroot.log" 2>&1 || {
  tail -30 "$cache/chroot.log"
  exit 1
}
cleanup
trap - EXIT

install -m 755 "$here/guest-init.sh" "$root/sbin/qel-init"
cp "$root"/boot/vmlinuz-* "$cache/vmlinuz"
cp "$root"/boot/initrd.img-* "$cache/initrd"

# The 64-bit prefix holds both system32 and syswow64 (about 2 GB more than a 32-bit one);
# the rest is room for the test runs' files outside the tmpfs.
used=$(du -sm "$root" | cut -f1)
mkfs.ext4 -q -F -L qelroot -d "$root" "$cache/base.img" "$((used + 4096))M"
rm -rf "$root"

# The Wine prefix can only be made by the guest's Wine, which runs only inside the guest.
# It is a 64-bit one: its syswow64 folder lets 32-bit programs run in it too.
mkdir -p "$cache/prep"
cat >"$cache/prep/job.sh" <<'JOB'
#!/bin/bash
export WINEPREFIX=/root/.wine WINEARCH=win64 WINEDEBUG=-all
# Debian's wine command always starts the 32-bit loader; the 64-bit one makes the prefix.
/usr/lib/wine/wine64 wineboot -i >/job/wineboot.log 2>&1
wineserver -w
[ -f /root/.wine/drive_c/windows/syswow64/kernel32.dll ] &&
  [ -f /root/.wine/drive_c/windows/system32/kernel32.dll ] && echo "prefix win64" >/job/prep-done
# What the prefix and the root take, to size the image by.
df -m / >/job/df.txt
du -sm /root/.wine >>/job/df.txt
JOB
chmod +x "$cache/prep/job.sh"
"$here/boot-guest.sh" --base "$cache/prep" 1200 >"$cache/prep.log" 2>&1 || true
if [ ! -f "$cache/prep/prep-done" ]; then
  echo "guest: the Wine prefix was not made"
  tail -30 "$cache/prep.log" "$cache/prep/wineboot.log"
  exit 1
fi
touch "$cache/ready-$stamp"
echo "guest: ready"
