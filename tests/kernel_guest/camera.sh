# Guest test: the viewer on the virtual camera through the real kernel (xHCI, usbcore, usbfs, udev).
# The camera's access rule is installed as the viewer's installation installs it; the viewer runs as an
# unprivileged user without a seat (a member of plugdev) under Xvfb. Checked: live frames on the screen,
# a photo and a 5 s recording, detaching and attaching the camera through QEMU 10 times, a stalled stream
# endpoint; then the stream's throughput at 1920x1080 and 25 fps.
. "$SRC_DIR/testing/kernel_vm/guest-lib.sh"

VIEWER=$BUILD_DIR/viewer/Viscana
PROBE=$BUILD_DIR/tests/kernel_guest/kernel-frame-probe
NOUSB=$SRC_DIR/viewer/resources/img/NoUSB.png
SIZE=${CAMERA_SIZE:-640x480}
CYCLES=${CAMERA_CYCLES:-10}
# Where the window puts things on a 1280x800 screen (frameless, at 0,0, 852 x 727).
VIEW=9,70,834,520
PHOTO_BUTTON="396 646"; RECORD_BUTTON="502 646"; STOP_BUTTON="560 646"
export QT_QPA_PLATFORM=offscreen

# --- the device node and the access rule
wait_usb present 2ce3 30 || fail "the camera did not appear"
d=$(usb_dev_path 2ce3 3301)
node() { echo /dev/bus/usb/$(printf %03d "$(cat "$d/busnum")")/$(printf %03d "$(cat "$d/devnum")"); }
log "camera at $d ($(cat "$d/product"), speed $(cat "$d/speed")), node $(node): $(stat -c '%A %U:%G' "$(node)")"
if as_user test -w "$(node)"; then fail "the user can open the camera before the rule is installed"; fi
install -m 644 "$SRC_DIR/viewer/platform/linux/70-viscana-camera.rules" /etc/udev/rules.d/
udevadm control --reload-rules
udevadm trigger --action=add --subsystem-match=usb --attr-match=idVendor=2ce3 && udevadm settle -t 30
log "after the rule: $(stat -c '%A %U:%G' "$(node)")"
[ "$(stat -c %G "$(node)")" = plugdev ] || fail "the rule did not give the node to plugdev"
as_user test -r "$(node)" -a -w "$(node)" || fail "the user has no read-write access to the camera"
echo "RESULT access: rule installed; node $(stat -c '%A %U:%G' "$(node)"); user $VM_USER ($(id -Gn $VM_USER | tr ' ' ,)) can open it"

# --- the viewer, as the user, under Xvfb
export DISPLAY=:7
as_user Xvfb :7 -screen 0 1280x800x24 -nolisten tcp > "$TEST_OUT/xvfb.log" 2>&1 &
i=0; while [ ! -S /tmp/.X11-unix/X7 ]; do i=$((i + 1)); [ $i -lt 300 ] || fail "Xvfb did not start"; sleep 0.1; done
run=$TEST_OUT/viewer; mkdir -p "$run"; chown 1500:1500 "$run" "$TEST_OUT"
(cd "$run" && exec setpriv --reuid=1500 --regid=1500 --init-groups -- env HOME=/home/$VM_USER \
   XDG_RUNTIME_DIR=/run/user/1500 QT_QPA_PLATFORM=xcb "$VIEWER" > "$run/stdout.log" 2>&1) &
sleep 1
VPID=$(pgrep -u 1500 -x Viscana | head -1)
[ -n "$VPID" ] || fail "the viewer did not start"

# One kernel-frame-probe answers every look at the screen (requests and answers through two FIFOs).
# (FIFOs on tmpfs: the shared folder cannot hold them.)
fifo=$(mktemp -d)
mkfifo "$fifo/in" "$fifo/out"
DISPLAY=:7 QT_QPA_PLATFORM=xcb "$PROBE" --view $VIEW --no-camera "$NOUSB" < "$fifo/in" > "$fifo/out" 2>"$run/probe.log" &
exec 3>"$fifo/in" 4<"$fifo/out"
ask() { echo "$*" >&3; read -r PROBE_ANSWER <&4 || fail "the probe has ended"; case "$PROBE_ANSWER" in ok*) return 0 ;; esac; return 1; }
# Waits (at most $2 s) until the view shows two different camera frames (live video); prints them.
wait_live() {
  kill -0 "$VPID" 2>/dev/null || fail "the viewer has ended"
  ask live "$2" "$1" && echo "${PROBE_ANSWER#ok live }"
}
shots=0
wait_no_camera() {
  kill -0 "$VPID" 2>/dev/null || fail "the viewer has ended"
  shots=$((shots + 1))
  ask no-camera "$1" "$run/no-camera-$shots.png"
}
click() { xdotool mousemove $1 $2 click 1; }
captures() { find /home/$VM_USER "$run" -name "*.$1" 2>/dev/null | sort; }

t0=$(date +%s.%N)
frames=$(wait_live "$SIZE" 90) || fail "no live frames within 90 s (log: $(tail -3 "$run/CameraApp.log"))"
echo "RESULT live: frames $frames on the screen, $(echo "$(date +%s.%N) - $t0" | bc | cut -c1-5) s after the start"

# --- a photo
click $PHOTO_BUTTON
i=0; while [ -z "$(captures jpg)" ]; do i=$((i + 1)); [ $i -lt 100 ] || fail "no photo written"; sleep 0.2; done
photo=$(captures jpg | head -1)
sleep 1
ask file "$photo" || fail "the photo $photo shows no camera frame: $PROBE_ANSWER"
pn=${PROBE_ANSWER#ok frame }
echo "RESULT photo: $photo, $(stat -c %s "$photo") bytes, shows frame $pn"

# --- a 5 s recording
click $RECORD_BUTTON
sleep 5.3
click $STOP_BUTTON
# The recording is finished when its thread has quit (the encoder may still be catching up).
i=0; until grep -a -q "ConverToVideo thread quit" "$run/CameraApp.log"; do
  i=$((i + 1)); [ $i -lt 600 ] || fail "the recording was not finished within 120 s"; sleep 0.2
done
mp4=$(captures mp4 | head -1)
[ -n "$mp4" ] || fail "no recording written"
cp "$mp4" "$TEST_OUT/" && vm_host "ffprobe $TEST_OUT/$(basename "$mp4")" || fail "the recording is not a valid video"
probe=$HOST_ANSWER
log "recording $mp4: $probe"
echo "$probe" | grep -q 'codec_name=h264' || fail "the recording is not H264: $probe"
# Every frame the recorder took is one 1/25 s picture; what it could not encode in time it drops and logs
# (a TCG guest encodes far slower than the camera sends).
dur=$(echo "$probe" | sed -n 's/.*duration=\([0-9.]*\).*/\1/p')
nf=$(echo "$probe" | sed -n 's/.*nb_read_frames=\([0-9]*\).*/\1/p')
dropped=$(grep -a "encoder behind, dropped frames" "$run/CameraApp.log" | tail -1 | sed 's/.*dropped frames: *//')
[ "${nf:-0}" -ge 1 ] || fail "the recording has no frames: $probe"
[ "$(echo "d = $dur - $nf / 25; d < 0.1 && d > -0.1" | bc -l)" = 1 ] || fail "$nf frames but $dur s: not 25 fps"
echo "RESULT recording: 5 s recorded, $mp4, $(stat -c %s "$mp4") bytes, $probe; frames the encoder dropped: ${dropped:-0}"

# --- detached and attached through QEMU, $CYCLES times
for c in $(seq 1 "$CYCLES"); do
  t=$(date +%s.%N)
  vm_host "unplug camera" || fail "cycle $c: detach"
  wait_usb absent 2ce3 20 || fail "cycle $c: the camera is still in sysfs"
  wait_no_camera 30 || fail "cycle $c: no no-camera picture after the camera was detached"
  t1=$(echo "$(date +%s.%N) - $t" | bc | cut -c1-5)
  t=$(date +%s.%N)
  vm_host "plug camera" || fail "cycle $c: attach"
  wait_usb present 2ce3 20 || fail "cycle $c: the camera did not come back"
  frames=$(wait_live "$SIZE" 60) || fail "cycle $c: no live frames after the camera came back"
  t2=$(echo "$(date +%s.%N) - $t" | bc | cut -c1-5)
  log "cycle $c: no-camera picture ${t1} s after detach; live frames ($frames) ${t2} s after attach"
done
echo "RESULT hot-plug: $CYCLES cycles, each detach showed the no-camera picture and each attach live frames"

# --- the stream endpoint stalls mid-stream: a clean end of the stream, no crash, no hang
vm_host "stall camera" || fail "stall request"
if wait_no_camera 20; then stalled="the no-camera picture"; else stalled="no change of picture"; fi
kill -0 "$VPID" 2>/dev/null || fail "the viewer ended after a stalled endpoint"
grep -a "Read2 Read" "$run/CameraApp.log" | tail -2
vm_host "unplug camera" && vm_host "plug camera" || fail "re-attach after the stall"
frames=$(wait_live "$SIZE" 60) || fail "no live frames after a stall and re-attach"
echo "RESULT stall: the stream stalled -> $stalled; the viewer kept running; after re-attach live frames ($frames)"

# --- throughput at 1920x1080, 25 fps: the camera restarted at that size, the viewer as reader
vm_host "restart camera --camera --size 1920x1080 --fps 25 --scene camera" 60 || fail "restart at 1080p"
wait_live 1920x1080 90 >/dev/null || fail "no live 1080p frames"
stat_of() { sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p" "$VM_DIR/out/camera.stats"; }
sleep 2
f0=$(stat_of frames); s0=$(stat_of time); b0=$(stat_of stream_bytes)
sleep "${THROUGHPUT_SECONDS:-15}"
f1=$(stat_of frames); s1=$(stat_of time); b1=$(stat_of stream_bytes)
fps=$(echo "scale=1; ($f1 - $f0) / ($s1 - $s0)" | bc)
lost=$(echo "x = 25 * ($s1 - $s0) - ($f1 - $f0) + 0.5; scale=0; x / 1" | bc)
mbs=$(echo "scale=1; ($b1 - $b0) / ($s1 - $s0) / 1048576" | bc)
echo "RESULT throughput 1920x1080@25: $fps frames/s reached over $(echo "$s1 - $s0" | bc) s, $lost of $(echo "25 * ($s1 - $s0) / 1" | bc) frames lost (not taken when due), $mbs MiB/s"

# --- the viewer ends cleanly
kill -TERM "$VPID"
i=0; while kill -0 "$VPID" 2>/dev/null; do i=$((i + 1)); [ $i -lt 200 ] || fail "the viewer did not end within 20 s of SIGTERM"; sleep 0.1; done
if grep -a -q "Segmentation\|Aborted\|core dumped" "$run/stdout.log"; then fail "the viewer crashed: $(tail -3 "$run/stdout.log")"; fi
echo "RESULT end: the viewer ended on SIGTERM; log $(wc -l < "$run/CameraApp.log") lines"
