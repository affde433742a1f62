#!/bin/bash
# PID 1 of the test guest: mount what Wine needs, run the job from the shared
# folder, then power off at once.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs shm /dev/shm
mountpoint -q /tmp || mount -t tmpfs -o size=1g tmp /tmp
mount -o remount,rw / 2>/dev/null
hostname qelguest
modprobe 9pnet_virtio 2>/dev/null
modprobe 9p 2>/dev/null
mkdir -p /job
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job; then
  if [ -x /job/job.sh ]; then
    /job/job.sh >/job/job.out 2>&1
    echo "$?" >/job/job.rc
  fi
  sync
  umount /job
else
  echo "qel-init: no job share" >/dev/console
fi
sync
echo o >/proc/sysrq-trigger
sleep 30
