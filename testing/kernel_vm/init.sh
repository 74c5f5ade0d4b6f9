#!/bin/busybox sh
# The guest's first process (in the initramfs): loads the virtio, 9p and overlay modules, mounts the
# host's root read-only under a tmpfs overlay, the test bed's folder and any folders in SHARES writable
# at their host paths and the kernel's modules, then hands over to stage 2 on the new root. VM_DIR,
# MODULES_DIR and SHARES come from the kernel command line (unknown NAME=value words become this
# process's environment).
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
echo "T_INITRAMFS $(cut -d' ' -f1 /proc/uptime)"
for m in $(cat /modules.list); do insmod /m/$m.ko || echo "insmod $m failed"; done
fail() { echo "GUEST_INIT_FAILED: $*"; poweroff -f; }
mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose root /lower || fail "9p root mount"
mount -t tmpfs -o mode=755 tmpfs /upper && mkdir /upper/u /upper/w
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w /newroot || fail "overlay"
for d in tmp run var/tmp; do mount -t tmpfs -o mode=1777 tmpfs /newroot/$d; done
mkdir -p /newroot$VM_DIR
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 vmdir /newroot$VM_DIR || fail "test bed folder mount"
# Host folders shared writable (SHARES: comma-separated paths, tags share0, share1, ...).
i=0
for d in $(echo "${SHARES:-}" | tr ',' ' '); do
  mkdir -p /newroot$d
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose share$i /newroot$d || fail "share $d mount"
  i=$((i + 1))
done
mkdir -p /newroot/usr/lib/modules
mount --bind /newroot$MODULES_DIR /newroot/usr/lib/modules || fail "modules bind mount"
mount --move /proc /newroot/proc; mount --move /sys /newroot/sys; mount --move /dev /newroot/dev
STAGE2=$(sed -n 's/.*stage2=\([^ ]*\).*/\1/p' /newroot/proc/cmdline)
exec switch_root /newroot /bin/sh "$STAGE2"
