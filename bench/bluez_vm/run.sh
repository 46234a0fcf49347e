#!/usr/bin/env bash
# The agent against the real Linux Bluetooth stack, in a throw-away VM: qemu boots Debian's kernel on this
# machine's own userland (its root shared read-only over virtio-9p), btvirt makes two LE controllers on one
# emulated link, the real bluetoothd drives both, keyboard.py plays the keyboard on hci1 and the agent links
# from hci0 (bench.py has the checks).
#
#   bench/bluez_vm/run.sh path/to/vemloconfig-agent
#
# Exit status 0 when every check passed, 1 when one failed, 77 when the machine cannot run it (the reason
# is printed): it needs root, qemu, a Debian kernel with Bluetooth modules, bluez, bluez-test-tools,
# busybox-static and python3-dbus/-gi (scripts/bootstrap installs them). Environment:
#   VEMLO_BLUEZ_VM_LOGS     where the logs go (default: a new private folder under /tmp, printed)
#   VEMLO_BLUEZ_VM_TIMEOUT  seconds for the whole VM (default 900)
#   VEMLO_BLUEZ_VM_ACCEL    tcg (default) or kvm, where /dev/kvm is real hardware virtualisation
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "bluez-vm: skipped: $*" >&2; exit 77; }

agent=$(readlink -f "${1:?usage: run.sh path/to/vemloconfig-agent}")
[ -x "$agent" ] || { echo "bluez-vm: no agent at $1" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "not root (the VM reads this machine's root file system, which only root may share)"
for tool in qemu-system-x86_64 btvirt btmon btmgmt busybox cpio; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/bootstrap)"
done
[ -x /usr/libexec/bluetooth/bluetoothd ] || skip "bluez is not installed (scripts/bootstrap)"
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || skip "python3-dbus or python3-gi is not installed (scripts/bootstrap)"
kernel=$(ls /boot/vmlinuz-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)
kver=${kernel#/boot/vmlinuz-}
[ -n "$kernel" ] && [ -e "/lib/modules/$kver/kernel/drivers/bluetooth/hci_vhci.ko" ] ||
  skip "no Debian kernel with the hci_vhci module in /boot (linux-image-amd64)"
case "$here$agent" in *[[:space:]]*) skip "a path with white space cannot go on the kernel command line" ;; esac

logs=${VEMLO_BLUEZ_VM_LOGS:-$(mktemp -d /tmp/vemlo-bluez-vm.XXXXXX)}
mkdir -p "$logs"
rm -rf "$logs/out" "$logs/initrd"
mkdir -m 700 "$logs/out" "$logs/initrd"

# The initramfs: busybox and the modules that mount the host's root over virtio-9p, then switch_root.
init=$logs/initrd
mkdir -p "$init"/{bin,dev,proc,sys,root,mods}
cp /usr/bin/busybox "$init/bin/busybox"
for m in 9p 9pnet_virtio virtio_pci; do
  modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$init/mods/" && basename "$ko" >> "$init/mods/order"
done
cat > "$init/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
while read -r m; do /bin/busybox insmod "/mods/$m"; done < /mods/order
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose root /root ||
  { echo "bluez-vm: cannot mount the host's root"; /bin/busybox poweroff -f; }
/bin/busybox mount --move /dev /root/dev
/bin/busybox umount /proc
exec /bin/busybox switch_root /root /bin/sh "$BENCH_DIR/guest-init.sh"
EOF
chmod 755 "$init/init"
(cd "$init" && find . | cpio -o -H newc --quiet | gzip -1 > "$logs/initrd.gz")
rm -rf "$init"

accel=(-accel tcg,thread=multi -cpu max)
[ "${VEMLO_BLUEZ_VM_ACCEL:-tcg}" = kvm ] && accel=(-accel kvm -cpu host)
echo "bluez-vm: kernel $kver, ${accel[1]}, agent $agent, logs in $logs" >&2
start=$SECONDS
status=0
timeout --kill-after=10 "${VEMLO_BLUEZ_VM_TIMEOUT:-900}" qemu-system-x86_64 "${accel[@]}" -m 1024 -smp 2 \
  -nographic -no-reboot -nic none -kernel "$kernel" -initrd "$logs/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 BENCH_DIR=$here BENCH_AGENT=$agent" \
  -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=root,mount_tag=root \
  -fsdev "local,id=out,path=$logs/out,security_model=none,multidevs=remap" \
  -device virtio-9p-pci,fsdev=out,mount_tag=out > "$logs/console.log" 2>&1 || status=$?

grep -E '^(PASS|FAIL) ' "$logs/out/results.txt" 2>/dev/null || true
result=$(grep '^RESULT ' "$logs/out/results.txt" 2>/dev/null || true)
echo "bluez-vm: ${result:-no result (qemu exit $status; see $logs/console.log)}, $((SECONDS - start)) s" >&2
# RESULT <passed> <failed>
[ -n "$result" ] && [ "$(echo "$result" | cut -d' ' -f3)" = 0 ]
