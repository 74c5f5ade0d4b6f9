#!/bin/sh
# The guest's PID 1 after switch_root (the host's own root, read-only under a tmpfs overlay): starts
# udevd, makes the unprivileged test user, runs each guest test script under its own time limit, then
# powers the guest off. Results go to $VM_DIR/out/<test>/ (log, rc) and to the serial console.
# From the kernel command line: VM_DIR, KVM_CACHE, SRC_DIR, BUILD_DIR, TESTS (comma-separated
# scripts), TEST_TIMEOUT (seconds per test), and any NAME=value the runner was given.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
# What bash's process substitution and scripts reading /dev/stdin expect (systemd makes these links).
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
for n in 0:stdin 1:stdout 2:stderr; do [ -e "/dev/${n#*:}" ] || ln -s "/proc/self/fd/${n%%:*}" "/dev/${n#*:}"; done
echo "T_STAGE2 $(cut -d' ' -f1 /proc/uptime)"
OUT=$VM_DIR/out
mkdir -p "$OUT"

# udev: the host's own, or Debian's package unpacked in the cache. The multi-call udevadm runs as the
# daemon when called systemd-udevd.
if ! command -v udevadm >/dev/null 2>&1; then
  U=$KVM_CACHE/udevroot
  mkdir -p /etc/udev/rules.d /usr/lib/udev /run/vmbin
  mount --bind "$U/lib/udev" /usr/lib/udev
  ln -s "$U/bin/udevadm" /run/vmbin/systemd-udevd
  ln -s "$U/bin/udevadm" /run/vmbin/udevadm
  export PATH=/run/vmbin:$PATH
fi
mkdir -p /etc/udev/rules.d
systemd-udevd --daemon >/dev/null 2>&1 || echo "GUEST: udevd did not start"
# The USB controller's driver is loaded with udevd running, so every USB device (and the storage and
# SCSI devices that follow) arrives as an event udevd handles; a trigger of all subsystems is slow.
modprobe xhci_pci
udevadm trigger --action=add --subsystem-match=usb
udevadm settle -t 60
echo "T_UDEV $(cut -d' ' -f1 /proc/uptime)"

# The unprivileged user the tests run programs as: no seat, a member of plugdev like a desktop user.
VM_USER=tester
echo "$VM_USER:x:1500:1500:kernel test user:/home/$VM_USER:/bin/sh" >> /etc/passwd
echo "$VM_USER:x:1500:" >> /etc/group
sed -i "s/^\(plugdev:[^:]*:[0-9]*:\)\(.*\)$/\1\2,$VM_USER/; s/^\(plugdev:[^:]*:[0-9]*:\),/\1/" /etc/group
mkdir -p /home/$VM_USER && chown 1500:1500 /home/$VM_USER
export VM_USER

failed=0
for t in $(echo "$TESTS" | tr ',' ' '); do
  name=$(basename "$t" .sh)
  dir=$OUT/$name
  mkdir -p "$dir"
  echo "T_TEST_START $name $(cut -d' ' -f1 /proc/uptime)"
  TEST_OUT=$dir timeout -k 5 "${TEST_TIMEOUT:-150}" sh "$t" > "$dir/log" 2>&1
  rc=$?
  [ $rc -eq 124 ] && echo "timed out after ${TEST_TIMEOUT:-150} s" >> "$dir/log"
  echo $rc > "$dir/rc"
  echo "T_TEST_END $name rc=$rc $(cut -d' ' -f1 /proc/uptime)"
  [ $rc -eq 0 ] || failed=1
done
echo "T_DONE $(cut -d' ' -f1 /proc/uptime)"
sync
/bin/busybox poweroff -f
