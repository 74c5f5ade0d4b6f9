# Helpers for guest test scripts (sourced: . "$SRC_DIR/testing/kernel_vm/guest-lib.sh").
# Environment: VM_DIR, SRC_DIR, BUILD_DIR, TEST_OUT (this test's result folder), VM_USER.

log() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
fail() { log "FAIL: $*"; exit 1; }

# Asks the host to act and waits for its answer (at most $2 seconds, default 60):
#   unplug NAME / plug NAME        detach or attach the device through QEMU (device_del, device_add)
#   device-unplug NAME / device-plug NAME   the emulator itself reports the device gone or back
#   stall NAME                     the device's next bulk IN transfer stalls (until the halt is cleared)
#   restart NAME ARGS...           detach, restart the emulator with new model options, attach again
#   ffprobe PATH                   the host's ffprobe on a media file under $VM_DIR (codec, size, frames)
# The host's answer (after "ok ") is left in HOST_ANSWER.
vm_host() {
  req=$1; limit=${2:-60}
  id=$(cat /proc/sys/kernel/random/uuid)
  mkdir -p "$VM_DIR/ctl"
  printf '%s\n' "$req" > "$VM_DIR/ctl/$id.tmp" && mv "$VM_DIR/ctl/$id.tmp" "$VM_DIR/ctl/$id.req"
  i=0
  while [ ! -f "$VM_DIR/ctl/$id.done" ]; do
    i=$((i + 1)); [ $i -le $((limit * 10)) ] || { log "host did not answer '$req'"; return 1; }
    sleep 0.1
  done
  answer=$(cat "$VM_DIR/ctl/$id.done")
  HOST_ANSWER=${answer#ok }
  case "$answer" in ok*) return 0 ;; *) log "host: $answer"; return 1 ;; esac
}

# The sysfs folder of the USB device with vendor id $1 (and product id $2, optional); empty if none.
usb_dev_path() {
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    [ "$(cat "$d/idVendor")" = "$1" ] || continue
    [ -z "$2" ] || [ "$(cat "$d/idProduct")" = "$2" ] || continue
    echo "$d"; return 0
  done
  return 1
}

# Waits (at most $3 seconds) until the device with vendor id $2 ("1209", or "1209:0001" with the product
# id: the echo device and the bridge share a vendor id) is present ("present") or absent ("absent").
wait_usb() {
  want=$1; vid=${2%%:*}; pid=; case $2 in *:*) pid=${2#*:} ;; esac; limit=${3:-20}; i=0
  while :; do
    if usb_dev_path "$vid" "$pid" >/dev/null; then [ "$want" = present ] && return 0
    else [ "$want" = absent ] && return 0; fi
    i=$((i + 1)); [ $i -le $((limit * 10)) ] || return 1
    sleep 0.1
  done
}

# Runs a command as the unprivileged test user, with a home and a runtime folder.
as_user() {
  mkdir -p /run/user/1500 && chown 1500:1500 /run/user/1500 && chmod 700 /run/user/1500
  HOME=/home/$VM_USER XDG_RUNTIME_DIR=/run/user/1500 USER=$VM_USER LOGNAME=$VM_USER \
    setpriv --reuid=1500 --regid=1500 --init-groups -- "$@"
}
