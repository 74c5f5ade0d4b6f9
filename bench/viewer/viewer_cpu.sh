#!/usr/bin/env bash
# CPU of the viewer process while it shows the virtual camera's live video: viscana-virtual under Xvfb
# (1280x720 at 25 fps unless told otherwise), measured from /proc over a window after a warm-up, per
# thread. The virtual camera (its frame clock, which draws and encodes every frame, and umockdev's
# worker) runs inside the same process; its threads are listed apart, so the viewer's own share is the
# rest.
#
#   bench/viewer/viewer_cpu.sh [--size WxH] [--fps N] [--seconds N] [--warmup N] [--build DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
size=1280x720
fps=25
seconds=20
warmup=5
build="$top/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift ;;
    --fps) fps=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    --build) build=$(realpath "$2"); shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
program="$build/testing/viscana_virtual/viscana-virtual"
[ -x "$program" ] || { echo "build viscana-virtual first: cmake --build $build --target viscana-virtual" >&2; exit 2; }

run_dir=$(mktemp -d)
export XDG_RUNTIME_DIR=$run_dir/xdg
mkdir -m 700 "$XDG_RUNTIME_DIR"
inner="$run_dir/inner.sh"
cat >"$inner" <<INNER
set -u
cd "$run_dir"
"$program" --size "$size" --fps "$fps" >/dev/null 2>camera.txt & pid=\$!
t0=\$(date +%s.%N)
sleep "$warmup"
hz=\$(getconf CLK_TCK)
# utime + stime (fields 14 and 15 after the command name) of the process and of each thread.
ticks() { awk '{ sub(/^.*\\) /, ""); print \$12 + \$13 }' "\$1" 2>/dev/null || echo 0; }
declare -A before name
for t in /proc/\$pid/task/*; do
  id=\${t##*/}; before[\$id]=\$(ticks "\$t/stat"); name[\$id]=\$(cat "\$t/comm" 2>/dev/null)
done
name[\$pid]="GUI thread (main)"
p0=\$(ticks /proc/\$pid/stat); s0=\$(date +%s.%N)
sleep "$seconds"
p1=\$(ticks /proc/\$pid/stat); s1=\$(date +%s.%N)
declare -A used
for t in /proc/\$pid/task/*; do
  id=\${t##*/}; n=\${name[\$id]:-\$(cat "\$t/comm" 2>/dev/null)}
  used[\$n]=\$(( \${used[\$n]:-0} + \$(ticks "\$t/stat") - \${before[\$id]:-0} ))
done
kill \$pid; wait \$pid 2>/dev/null
pct() { awk -v t="\$1" -v hz="\$hz" -v s0="\$s0" -v s1="\$s1" 'BEGIN { printf "%6.1f", t * 100 / hz / (s1 - s0) }'; }
cam=0
for n in "\${!used[@]}"; do
  case "\$n" in vcam-*|gmain) cam=\$(( cam + \${used[\$n]} )) ;; esac
done
awk -v s0="\$s0" -v s1="\$s1" -v w="$warmup" 'BEGIN { printf "viewer process (viscana-virtual, $size at $fps fps), %.1f s measured after %s s:\n", s1 - s0, w }'
echo "  whole process      \$(pct \$(( p1 - p0 ))) % of one core"
echo "  viewer threads     \$(pct \$(( p1 - p0 - cam ))) % (the process without the virtual camera's threads)"
echo "  per thread:"
for n in "\${!used[@]}"; do
  case "\$n" in vcam-*|gmain) tag=" (virtual camera)" ;; *) tag="" ;; esac
  echo "    \$(pct \${used[\$n]}) %  \$n\$tag"
done | sort -n -r
echo "  frames the live view skipped to catch up: \$(awk '/frames not shown/ { n += \$NF } END { print n + 0 }' CameraApp.log 2>/dev/null)"
echo "  over the whole run (\$(awk -v s1="\$s1" -v t0="\$t0" 'BEGIN { printf "%.1f", s1 - t0 }') s with start-up): \$(grep -o 'the camera sent.*' camera.txt)"
INNER
xvfb-run -a -s "-screen 0 1280x800x24" bash "$inner"
rm -rf "$run_dir"
