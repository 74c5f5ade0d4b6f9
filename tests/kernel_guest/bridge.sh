# Guest test: the virtual bridge as a USB disk (1209:0002) through the guest's usb-storage, sd and sg
# drivers. The bridge access rule is installed as the library's installation puts it; then, as the
# unprivileged test user (a member of plugdev): discovery through sysfs, identify, flash, firmware
# update and check, passwords, hidden sectors and custom data through real SG_IO on /dev/sgN; FAT32
# and exFAT formatting of both regions on the real block devices, checked with fsck, mounted, written
# and read back (as root); a device detached by QEMU in the middle of a command.
. "$SRC_DIR/testing/kernel_vm/guest-lib.sh"

VID=1209 PID=0002
Q=/usr/local/bin/quillon
W=/tmp/bridge-test
mkdir -p $W && chmod 777 $W

# quillon as the test user; output in $W/out, errors in $W/err. Once the nodes are known, commands go to
# the public disk (LUN 0) by name: the kernel probes the two LUNs asynchronously, so the first disk
# (the default device) may be the cipher disk, which has no medium while its region is empty.
DEV=
q() { as_user "$Q" --quiet ${DEV:+--device "$DEV"} "$@" > $W/out 2> $W/err; }
q_in() { input=$1; shift; printf '%s\n' "$input" | as_user "$Q" --quiet ${DEV:+--device "$DEV"} "$@" > $W/out 2> $W/err; }
must() { q "$@" || { cat $W/out $W/err; fail "quillon $*"; }; }
step() { log "--- $*"; }
elapsed() { awk -v a="$1" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }'; }

# The disk (sdX) and SCSI generic (sgN) nodes of LUN $1 of the bridge, from sysfs.
lun_nodes() {
  for b in /sys/block/sd*; do
    [ -e "$b/device" ] || continue
    dev=$(readlink -f "$b/device")
    case "$dev" in *:$1) ;; *) continue ;; esac
    u=$dev
    while [ "$u" != / ] && [ ! -f "$u/idVendor" ]; do u=$(dirname "$u"); done
    [ "$(cat "$u/idVendor" 2>/dev/null)" = $VID ] && [ "$(cat "$u/idProduct")" = $PID ] || continue
    echo "/dev/$(basename "$b") /dev/$(ls "$b/device/scsi_generic")"
    return 0
  done
  return 1
}

wait_nodes() {
  i=0
  while ! { lun_nodes 0 && lun_nodes 1; } >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -le 300 ] || return 1
    sleep 0.1
  done
  udevadm settle -t 30
}

step "install the access rule"
cmake --install "$BUILD_DIR" --component quillon --prefix /usr/local > $W/install.log 2>&1 || { cat $W/install.log; fail "install"; }
[ -f /etc/udev/rules.d/70-quillon-bridge.rules ] || fail "the rule is not in /etc/udev/rules.d"
wait_usb present $VID:$PID 30 || fail "no USB device $VID:$PID"
log "installed"
wait_nodes || fail "no sd and sg nodes for both LUNs"
set -- $(lun_nodes 0); SDA=$1 SGA=$2
set -- $(lun_nodes 1); SDB=$1 SGB=$2
for n in $SDA $SGA $SDB $SGB; do
  perm=$(stat -c '%a %G' $n)
  log "$n: $perm"
  [ "$perm" = "660 plugdev" ] || fail "$n is not read-write for plugdev ($perm)"
done

step "discovery"
must list
cat $W/out
[ "$(wc -l < $W/out)" = 2 ] || fail "list: two bridges (public and cipher LUN) expected"
DEV=$SDA

step "identify through $SGA"
must identify
cat $W/out
grep -q 'FCC1' $W/out || fail "identify: FCC1 expected"
# Vendor opcodes through the block node are refused to a user without CAP_SYS_RAWIO: the library must
# not use it. (The kernel's own rule, shown here for the record.)
if command -v sg_raw >/dev/null 2>&1; then
  as_user sg_raw -r 13 $SDA 17 34 00 00 00 00 00 00 00 00 00 00 6e 63 6d 64 > $W/raw 2>&1 \
    && log "sg_raw on $SDA worked" || log "sg_raw on $SDA refused: $(tail -1 $W/raw)"
fi

step "read-flash"
must read-flash --address 0 --output $W/flash.txt
[ -s $W/flash.txt ] || fail "read-flash wrote nothing"

step "update-fw and check-fw"
"$BUILD_DIR/tools/quillon/quillon" --virtual $W/model init > /dev/null || fail "sample firmware"
cp $W/model/sample-firmware.hex $W/fw.hex && chmod 644 $W/fw.hex
t0=$(cut -d' ' -f1 /proc/uptime)
must update-fw $W/fw.hex --product "Kernel Disk"
log "update-fw took $(elapsed $t0) s"
must check-fw
cat $W/out
[ "$(grep -c ' is OK' $W/out)" = 4 ] || fail "check-fw: four good copies expected"

step "passwords"
q_in secret set-password || { cat $W/err; fail "set-password"; }
must has-password
cat $W/out
q_in secret verify-password || { cat $W/err; fail "verify-password"; }
must password-count
cat $W/out
must clear-password

step "hidden sectors and custom data"
must hidden-count
cat $W/out
head -c 1024 /dev/urandom > $W/hidden.bin && chmod 644 $W/hidden.bin
must hidden-write 0 $W/hidden.bin
must hidden-read 0 2 --output $W/hidden-back.bin
cmp $W/hidden.bin $W/hidden-back.bin || fail "hidden sectors read back differ"
printf 'kernel-guest-tag' > $W/tag.bin && chmod 644 $W/tag.bin
must custom-write $W/tag.bin
must custom-read --length 16 --output $W/tag-back.bin
cmp $W/tag.bin $W/tag-back.bin || fail "custom data read back differs"

check_volume() {  # fs node label
  fs=$1 node=$2
  if [ $fs = fat32 ]; then fsck.fat -n $node > $W/fsck 2>&1; else fsck.exfat -n $node > $W/fsck 2>&1; fi \
    || { cat $W/fsck; fail "fsck of $fs on $node"; }
  mkdir -p /mnt/q
  type=vfat; [ $fs = exfat ] && type=exfat
  mount -t $type $node /mnt/q || fail "mount $fs $node"
  head -c 300000 /dev/urandom > $W/file.bin
  cp $W/file.bin /mnt/q/file.bin && umount /mnt/q || fail "write to $node"
  echo 3 > /proc/sys/vm/drop_caches
  mount -t $type -o ro $node /mnt/q || fail "mount again $node"
  cmp $W/file.bin /mnt/q/file.bin || fail "file read back from $fs on $node differs"
  umount /mnt/q
  $([ $fs = fat32 ] && echo fsck.fat || echo fsck.exfat) -n $node > $W/fsck 2>&1 || { cat $W/fsck; fail "fsck after writing"; }
  log "$fs on $node: fsck clean, file written and read back"
}

# FAT32 on the public region alone (the cipher region emptied: its disk loses its medium), then exFAT
# on both (the cipher disk gets a medium and a size again). FAT32 formatting clears 16 MiB per region,
# the slow part under emulation.
step "format fat32, public region"
t0=$(cut -d' ' -f1 /proc/uptime)
must format --fs fat32 --cipher-size 0 --public-label PUBLIC
FAT_S=$(elapsed $t0); log "format fat32 took $FAT_S s"
udevadm settle -t 30
check_volume fat32 $SDA
step "format exfat, both regions"
t0=$(cut -d' ' -f1 /proc/uptime)
must format --fs exfat --cipher-size 24M --public-label PUBLIC --cipher-label 机密
EXFAT_S=$(elapsed $t0); log "format exfat took $EXFAT_S s"
udevadm settle -t 30
check_volume exfat $SDA
check_volume exfat $SDB

step "detached in the middle of a command"
(
  n=0
  while :; do
    as_user "$Q" --quiet --device $SDA read-flash --address 0 --output $W/loop.txt 2> $W/loop.err
    rc=$?
    [ $rc = 0 ] || break
    n=$((n + 1))
  done
  echo "$rc $n" > $W/loop.rc
) &
loop=$!
sleep 2
[ ! -f $W/loop.rc ] || { cat $W/loop.err; fail "read-flash failed before the device was detached"; }
vm_host "unplug bridge" || fail "unplug"
i=0
while [ ! -f $W/loop.rc ]; do
  i=$((i + 1)); [ $i -le 300 ] || { kill $loop; fail "quillon hangs 30 s after the device was detached"; }
  sleep 0.1
done
set -- $(cat $W/loop.rc)
log "read-flash after $2 complete runs: exit $1: $(cat $W/loop.err)"
[ "$1" = 1 ] || fail "exit status $1 (1 expected: device failure)"
q identify; rc=$?
[ $rc = 1 ] || fail "identify with no device: exit $rc"
log "identify with the device gone: $(cat $W/err)"
vm_host "plug bridge" || fail "plug"
wait_nodes || fail "the bridge did not come back"
DEV=
must list
set -- $(lun_nodes 0); DEV=$1
must identify
echo "RESULT bridge: $SDA/$SGA and $SDB/$SGB for plugdev; identify, flash, firmware, passwords, hidden sectors, custom data, FAT32 and exFAT through the kernel (format fat32 $FAT_S s, exfat $EXFAT_S s); detached mid-command: exit 1, no hang"
