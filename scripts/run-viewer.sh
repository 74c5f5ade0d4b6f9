#!/usr/bin/env bash
# Builds and starts the Viscana viewer. With no supported camera attached it starts the viewer on the
# virtual camera (viscana-virtual: the same viewer, with an emulated camera streaming a moving scene).
# On a machine without a display it runs under Xvfb for a while, saves a screenshot and shows the end
# of the log.
#
#   scripts/run-viewer.sh                     start the viewer (Xvfb when there is no display)
#   scripts/run-viewer.sh --virtual-camera    always use the virtual camera
#   scripts/run-viewer.sh --real              always the plain viewer, for a real camera
#   scripts/run-viewer.sh --size WxH          picture size of the virtual camera (default 1280x720)
#   scripts/run-viewer.sh --fps N             frame rate of the virtual camera (default 25)
#   scripts/run-viewer.sh --lang zh|en        interface language (default: the system's)
#   scripts/run-viewer.sh --seconds N         stop it after N seconds (default without a display: 8)
#   scripts/run-viewer.sh --screenshot FILE   screenshot of the window before it stops (default under
#                                             Xvfb: build/run/screenshot.png)
#   scripts/run-viewer.sh --windows           the 32-bit Windows program (Viscana.exe) under Wine,
#                                             built first with its dependencies (see
#                                             scripts/build-windows-viewer.sh); with the stand-in
#                                             camera when it is built, else with no camera; takes
#                                             --size, --fps, --lang, --seconds and --screenshot too
#                                             (default build-win32-viewer/run/screenshot.png)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

mode=auto
windows=0
size=1280x720
fps=25
lang=""
seconds=""
shot=""
while [ $# -gt 0 ]; do
  case "$1" in
    --virtual-camera) mode=virtual ;;
    --real) mode=real ;;
    --windows) windows=1 ;;
    --size) size=${2:?--size needs WxH}; shift ;;
    --fps) fps=${2:?--fps needs a number}; shift ;;
    --lang) lang=${2:?--lang needs zh or en}; shift ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift ;;
    --screenshot) shot=${2:?--screenshot needs a file}; shift ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if ! [[ "$size" =~ ^[0-9]+x[0-9]+$ ]]; then echo "--size needs WIDTHxHEIGHT, for example 1280x720" >&2; exit 2; fi
case "$lang" in ""|zh|en) ;; *) echo "--lang needs zh or en" >&2; exit 2 ;; esac
if [ -n "$shot" ]; then shot=$(realpath -m "$shot"); fi

if [ "$windows" -eq 1 ]; then
  exec scripts/run-viewer-windows.sh --size "$size" --fps "$fps" --lang "$lang" --seconds "${seconds:-8}" \
    --screenshot "${shot:-$top/build-win32-viewer/run/screenshot.png}"
fi

# A supported camera on the USB bus (vendor ids 0329, 2ce3, 3301)?
real_camera_attached() {
  local f
  for f in /sys/bus/usb/devices/*/idVendor; do
    [ -r "$f" ] || continue
    case "$(cat "$f")" in 0329|2ce3|3301) return 0 ;; esac
  done
  return 1
}
if [ "$mode" = auto ]; then
  if real_camera_attached; then mode=real; else mode=virtual; fi
fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
if [ "$mode" = virtual ]; then target=viscana-virtual; else target=Viscana; fi
cmake --build build -j "$(nproc)" --target "$target"

# The viewer writes CameraApp.log into its working folder and captures beside the program.
run_dir="$top/build/run"
mkdir -p "$run_dir"
cd "$run_dir"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
case "$lang" in
  zh) export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 ;;
  en) export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 ;;
esac

if [ "$mode" = virtual ]; then
  viewer=("$top/build/testing/viscana_virtual/viscana-virtual" --size "$size" --fps "$fps")
  echo "run-viewer: no camera attached (or --virtual-camera): the viewer on the virtual camera, $size at $fps fps"
else
  viewer=("$top/build/viewer/Viscana")
fi

if [ -n "${DISPLAY:-}" ] && [ -z "$seconds" ] && [ -z "$shot" ]; then
  exec "${viewer[@]}"
fi

seconds=${seconds:-8}
shot=${shot:-$run_dir/screenshot.png}
mkdir -p "$(dirname "$shot")"
inner=$(mktemp)
{
  printf '%q ' "${viewer[@]}"
  cat <<INNER
& pid=\$!
sleep "$seconds"
# The screenshot is taken with FFmpeg's X11 grabber. On the Xvfb screen of this script the window sits
# at the top left, 852 x 727; on a desktop the whole screen is taken.
if [ -n "\${VISCANA_OWN_SCREEN:-}" ]; then crop=(-vf crop=852:727:0:0); else crop=(); fi
ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -i "\$DISPLAY" -frames:v 1 "\${crop[@]}" "$shot" || true
kill \$pid 2>/dev/null || true
wait \$pid 2>/dev/null || true
INNER
} >"$inner"
if [ -n "${DISPLAY:-}" ]; then
  bash "$inner"
else
  VISCANA_OWN_SCREEN=1 xvfb-run -a -s "-screen 0 1280x800x24" bash "$inner"
fi
rm -f "$inner"
echo "viewer ran for $seconds s; screenshot: $shot"
echo "--- $run_dir/CameraApp.log (last lines)"
tail -n 20 "$run_dir/CameraApp.log" || true
