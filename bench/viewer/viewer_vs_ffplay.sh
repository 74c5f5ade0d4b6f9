#!/usr/bin/env bash
# CPU and memory of the viewer showing the virtual camera beside ffplay showing the same scene, in one
# run, at each size. The virtual camera's scene is first written to an MJPEG file (bench_scene_mjpeg,
# the frames the camera draws and encodes); then, under one Xvfb server and at the same time, ffplay
# plays that file at 25 fps in a window of the live view's size, and viscana-virtual shows the camera
# streaming the same scene at the same size and rate. Both are measured from /proc over the same
# seconds after a warm-up; frames shown a second (ffplay: 25 less the frames it dropped for being late)
# give the CPU per frame shown, which stays comparable when a loaded machine cannot keep up.
#
# The viewer's figure is its own threads: the process without the virtual camera's threads (vcam-*,
# gmain). The camera's USB emulation (umockdev) also runs inside the viewer's stream thread, in the
# ioctls it makes; with perf installed the share of the stream thread spent there is sampled and shown
# apart (samples whose user-space frame is the emulator's socket round trip, its usleep or its signal
# masking). Then one more viewer run presses the record button and reports the resident memory.
#
#   bench/viewer/viewer_vs_ffplay.sh [--sizes "1920x1080 1280x720"] [--seconds N] [--warmup N]
#                                    [--view WxH] [--no-record] [--no-perf] [--build DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
sizes="1920x1080 1280x720"
seconds=15
warmup=5
view=832x520   # the live view of the window at its start size
record=1
use_perf=1
build="$top/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    --view) view=$2; shift ;;
    --no-record) record=0 ;;
    --no-perf) use_perf=0 ;;
    --build) build=$(realpath "$2"); shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
viewer="$build/testing/viscana_virtual/viscana-virtual"
writer="$build/bench/viewer/bench_scene_mjpeg"
for p in "$viewer" "$writer"; do
  [ -x "$p" ] || { echo "build it first: cmake --build $build --target viscana-virtual bench_scene_mjpeg" >&2; exit 2; }
done
command -v ffplay >/dev/null || { echo "ffplay is needed (Debian: ffmpeg)" >&2; exit 2; }
command -v perf >/dev/null || use_perf=0

run_dir=$(mktemp -d)
trap 'rm -rf "$run_dir"' EXIT
export XDG_RUNTIME_DIR=$run_dir/xdg
mkdir -m 700 "$XDG_RUNTIME_DIR"
for size in $sizes; do
  QT_QPA_PLATFORM=offscreen "$writer" --size "$size" --frames 250 --out "$run_dir/scene-$size.mjpeg" >/dev/null
done

cat >"$run_dir/inner.sh" <<INNER
set -u
cd "$run_dir"
hz=\$(getconf CLK_TCK)
vw=\${2%x*}; vh=\${2#*x}
# utime + stime of a process or thread (fields 14 and 15 after the command name).
ticks() { awk '{ sub(/^.*\\) /, ""); print \$12 + \$13 }' "\$1" 2>/dev/null || echo 0; }
kib() { awk -v k="\$2" '\$1 == k":" { print \$2 }' "/proc/\$1/status" 2>/dev/null || echo 0; }
pct() { awk -v t="\$1" -v hz="\$hz" -v s="\$2" 'BEGIN { printf "%.1f", t * 100 / hz / s }'; }
load() { cut -d' ' -f1 /proc/loadavg; }
size=\$1

# Both run at once and are measured over the same seconds, so that the load of the machine weighs on
# both alike. ffplay on the file: the whole process is the reference; its status line counts the
# frames it dropped for being late (fd=).
dropped() { tr '\\r' '\\n' <ffplay.txt | awk '/fd=/ { sub(/.*fd= */, ""); n = \$1 } END { print n + 0 }'; }
# The viewer first: the camera's first large frames take a while to draw, and its first read must not
# time out because ffplay is busy starting.
start=\$(date +%s.%N)
"$viewer" --size "\$size" --fps 25 >/dev/null 2>camera.txt & pid=\$!
sleep $warmup
ffplay -hide_banner -loglevel info -stats -an -f mjpeg -framerate 25 -loop 0 -x \$vw -y \$vh -window_title ref \\
  -i "scene-\$size.mjpeg" >/dev/null 2>ffplay.txt & ref_pid=\$!
sleep 3
declare -A before name
for t in /proc/\$pid/task/*; do
  id=\${t##*/}; before[\$id]=\$(ticks "\$t/stat"); name[\$id]=\$(cat "\$t/comm" 2>/dev/null)
done
stream_tid=""
for id in "\${!name[@]}"; do [ "\${name[\$id]}" = ThreadUSB ] && stream_tid=\$id; done
l0=\$(load); a=\$(ticks /proc/\$ref_pid/stat); d0=\$(dropped); s0=\$(date +%s.%N)
if [ $use_perf = 1 ] && [ -n "\$stream_tid" ]; then
  perf record -q -g -F 997 -t \$stream_tid -o stream.perf -- sleep $seconds >/dev/null 2>&1
else
  sleep $seconds
fi
s1=\$(date +%s.%N); b=\$(ticks /proc/\$ref_pid/stat); d1=\$(dropped); l1=\$(load)
ref_rss=\$(kib \$ref_pid VmRSS); ref_hwm=\$(kib \$ref_pid VmHWM)
kill \$ref_pid; wait \$ref_pid 2>/dev/null
ref_wall=\$(awk -v a=\$s0 -v b=\$s1 'BEGIN { print b - a }')
ref=\$(pct \$((b - a)) \$ref_wall)
ref_fps=\$(awk -v w=\$ref_wall -v d=\$((d1 - d0)) 'BEGIN { printf "%.1f", 25 - d / w }')
declare -A used
cam=0; stream=0; own_ticks=0
for t in /proc/\$pid/task/*; do
  id=\${t##*/}; n=\${name[\$id]:-\$(cat "\$t/comm" 2>/dev/null)}
  u=\$(( \$(ticks "\$t/stat") - \${before[\$id]:-0} ))
  used[\$n]=\$(( \${used[\$n]:-0} + u ))
  case "\$n" in vcam-*|gmain) cam=\$((cam + u)) ;; *) own_ticks=\$((own_ticks + u)) ;; esac
  [ "\$id" = "\$stream_tid" ] && stream=\$u
done
rss=\$(kib \$pid VmRSS)
kill \$pid; wait \$pid 2>/dev/null
end=\$(date +%s.%N)
wall=\$(awk -v a=\$s0 -v b=\$s1 'BEGIN { print b - a }')
own=\$(pct \$own_ticks \$wall)
# Frames shown a second, over the whole run (the camera reports only its total).
sent=\$(sed -n 's/.*the camera sent \\([0-9]*\\) frames.*/\\1/p' camera.txt)
unshown=\$(awk '/frames not shown/ { n += \$NF } END { print n + 0 }' CameraApp.log 2>/dev/null)
own_fps=\$(awk -v s=\${sent:-0} -v u=\$unshown -v a=\$start -v b=\$end 'BEGIN { printf "%.1f", (s - u) / (b - a) }')

# The emulator's share of the stream thread: samples whose first user-space frame is umockdev's
# preload library or the libc calls it makes for each emulated ioctl (socket round trip, usleep,
# signal mask); the rest (libusb, the parser, the frame hand-over) is the viewer's.
emu_share=""
if [ -s stream.perf ]; then
  emu_share=\$(perf script -i stream.perf 2>/dev/null | awk 'BEGIN { RS = "" }
    { u = ""; n = split(\$0, L, "\n")
      for (i = 2; i <= n; i++) if (L[i] !~ /kernel\.kallsyms/) { u = L[i]; break }
      total++
      if (u ~ /umockdev|__libc_recv|__send|clock_nanosleep|usleep|pthread_sigmask|sigprocmask/) emu++ }
    END { if (total) printf "%.3f", emu / total }')
fi

echo "== \$size at 25 fps, shown at \$2, \$(awk -v w=\$wall 'BEGIN { printf "%.1f", w }') s after $warmup s (load average \$l0 / \$l1)"
per_frame() { awk -v c=\$1 -v f=\$2 'BEGIN { if (f > 0) printf "%.2f", c * 10 / f; else print "-" }'; }
echo "   ffplay (whole process)                 \$ref % of one core, \$ref_fps frames shown a second," \\
     "\$(per_frame \$ref \$ref_fps) ms a frame; RSS \$((ref_rss / 1024)) MiB (peak \$((ref_hwm / 1024)) MiB)"
echo "   viewer threads (without the camera's)  \$own %  -> ratio \$(awk -v a=\$own -v b=\$ref 'BEGIN { printf "%.2f", a / b }') of ffplay;" \\
     "\$own_fps frames shown a second, \$(per_frame \$own \$own_fps) ms a frame"
if [ -n "\$emu_share" ]; then
  emu=\$(awk -v s=\$stream -v f=\$emu_share 'BEGIN { printf "%d", s * f }')
  own_ex=\$(pct \$((own_ticks - emu)) \$wall)
  echo "   of the stream thread's \$(pct \$stream \$wall) %, the USB emulator's share \$(awk -v f=\$emu_share 'BEGIN { printf "%.0f", f * 100 }') % (perf)"
  echo "   viewer threads without the emulator    \$own_ex %  -> ratio \$(awk -v a=\$own_ex -v b=\$ref 'BEGIN { printf "%.2f", a / b }') of ffplay"
fi
echo "   per thread:"
for n in "\${!used[@]}"; do
  case "\$n" in vcam-*|gmain) tag=" (virtual camera)" ;; *) tag="" ;; esac
  echo "     \$(pct \${used[\$n]} \$wall) %  \$n\$tag"
done | sort -n -r
echo "   frames the live view did not show: \$unshown; \$(grep -o 'the camera sent.*' camera.txt)"
echo "   viewer RSS (virtual camera included) \$((rss / 1024)) MiB"
rm -f CameraApp.log stream.perf

if [ $record = 1 ]; then
  # The recording goes where the viewer puts captures: Camera/ beside the program.
  captures="$(dirname "$viewer")/Camera"
  ls "\$captures"/*.mp4 >before.txt 2>/dev/null
  "$viewer" --size "\$size" --fps 25 --record-after $warmup >/dev/null 2>camera.txt & pid=\$!
  sleep \$(( $warmup + $seconds ))
  rss=\$(kib \$pid VmRSS); hwm=\$(kib \$pid VmHWM)
  kill \$pid; wait \$pid 2>/dev/null
  movie=\$(ls "\$captures"/*.mp4 2>/dev/null | grep -vxF -f before.txt | head -1)
  frames=\$([ -n "\$movie" ] && ffprobe -v error -count_frames -select_streams v:0 \\
    -show_entries stream=nb_read_frames -of csv=p=0 "\$movie" 2>/dev/null)
  [ -n "\$movie" ] && rm -f "\$movie"
  echo "   viewer with one recording: RSS \$((rss / 1024)) MiB (peak \$((hwm / 1024)) MiB), virtual camera included;" \\
       "ffplay \$((ref_rss / 1024)) MiB; \${frames:-no} frames recorded"
  rm -f CameraApp.log before.txt
fi
INNER
for size in $sizes; do
  xvfb-run -a -s "-screen 0 1280x800x24" bash "$run_dir/inner.sh" "$size" "$view"
done
