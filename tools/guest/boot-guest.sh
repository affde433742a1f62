#!/usr/bin/env bash
# Boots the test guest once with JOBDIR shared as /job; the guest runs JOBDIR/job.sh
# and powers off. Usage: boot-guest.sh [--base] JOBDIR TIMEOUT_SECONDS
# --base boots the base image itself read-write (only the guest build does that);
# every other boot uses a throw-away overlay so the base stays clean.
set -euo pipefail
cache=${QEL_GUEST_CACHE:-/var/cache/qelvorn-guest}
base=0
if [ "${1:-}" = "--base" ]; then base=1; shift; fi
job=$(cd "$1" && pwd)
limit=${2:-900}
disk="$cache/base.img"
format=raw
if [ $base = 0 ]; then
  disk=$(mktemp /tmp/qel-overlay.XXXXXX.qcow2)
  trap 'rm -f "$disk"' EXIT
  qemu-img create -q -f qcow2 -F raw -b "$cache/base.img" "$disk"
  format=qcow2
fi
timeout "$limit" qemu-system-x86_64 -accel tcg,thread=multi -cpu max,-smap -smp 2 -m 2048 \
  -nodefaults -display none -no-reboot -serial stdio -nic none \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd" \
  -append "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/sbin/qel-init" \
  -drive "file=$disk,if=virtio,format=$format,cache=unsafe" \
  -virtfs "local,path=$job,mount_tag=job,security_model=none"
