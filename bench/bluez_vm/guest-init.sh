#!/bin/sh
# PID 1 of the VM, on the host's root (read-only): a private writable /run and bluetoothd's storage,
# the logs folder from the host on /mnt, then the bench, then power off.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs -o mode=755 tmpfs /run
# /tmp stays the host's (read-only): the agent or this folder may be in it.
mkdir -m 1777 /run/tmp
export TMPDIR=/run/tmp
mount -t tmpfs -o mode=700 tmpfs /var/lib/bluetooth
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 out /mnt
echo "bluez-vm: guest up after $(cut -d' ' -f1 /proc/uptime) s"
BENCH_OUT=/mnt /usr/bin/python3 "$BENCH_DIR/bench.py"
sync
busybox poweroff -f
