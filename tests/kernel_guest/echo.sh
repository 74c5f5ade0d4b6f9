# Guest test: the echo device through the real USB stack: enumerated with its descriptors and strings,
# its device node created by udev, detached and attached again through QEMU and through the emulator.
. "$SRC_DIR/testing/kernel_vm/guest-lib.sh"

wait_usb present 1209:0001 20 || fail "the echo device did not appear"
d=$(usb_dev_path 1209 0001) || fail "no 1209:0001 in sysfs"
log "echo device at $d: $(cat "$d/manufacturer") / $(cat "$d/product") / $(cat "$d/serial"), speed $(cat "$d/speed")"
[ "$(cat "$d/product")" = "Echo" ] || fail "product string"
[ "$(cat "$d/speed")" = "480" ] || fail "not high speed"
node=/dev/bus/usb/$(printf %03d "$(cat "$d/busnum")")/$(printf %03d "$(cat "$d/devnum")")
[ -c "$node" ] || fail "no device node $node"

for how in "unplug plug" "device-unplug device-plug"; do
  set -- $how
  vm_host "$1 echo" || fail "$1"
  wait_usb absent 1209:0001 20 || fail "still present after $1"
  vm_host "$2 echo" || fail "$2"
  wait_usb present 1209:0001 20 || fail "not back after $2"
  log "$1 / $2: gone and back"
done
echo "RESULT echo: enumerated, node $node, detached and attached twice"
