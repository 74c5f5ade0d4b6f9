#!/usr/bin/env bash
# The 32-bit Windows viewer under Wine (scripts/run-viewer.sh --windows calls this): builds the
# dependencies when they are not cached, builds Viscana.exe, installs its program folder into
# build-win32-viewer/run/Viscana and starts it under 32-bit Wine, on Xvfb when there is no display.
# Where this host's kernel refuses 32-bit programs, Wine runs in the QEMU guest (scripts/run-win32.sh),
# on Debian's own kernel: slower (software emulation), but the same program.
# With the stand-in camera (a libusb-1.0.dll that emulates the camera, built with the Windows tree's
# tests) the window shows live video; without it the no-camera picture.
#
#   scripts/run-viewer-windows.sh [--size WxH] [--fps N] [--lang zh|en] [--seconds N] [--screenshot FILE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

size=1280x720
fps=25
lang=""
seconds=8
shot=$top/build-win32-viewer/run/screenshot.png
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=${2:?}; shift ;;
    --fps) fps=${2:?}; shift ;;
    --lang) lang=$2; shift ;;
    --seconds) seconds=${2:?}; shift ;;
    --screenshot) shot=$(realpath -m "${2:?}"); shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$lang" in
  zh) export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 ;;
  en) export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 ;;
  "") ;;
  *) echo "--lang needs zh or en" >&2; exit 2 ;;
esac

scripts/install-deps.sh --windows
tree=$top/build-win32-viewer
scripts/build-windows-viewer.sh Viscana
# The stand-in camera: a libusb-1.0.dll answering as the camera does (testing/libusb_standin).
standin=""
if cmake --build "$tree" --target libusb_standin >/dev/null 2>&1; then
  standin=$tree/libusb-standin/libusb-1.0.dll
fi

run_dir=$tree/run
rm -rf "$run_dir/Viscana"
mkdir -p "$run_dir"
cmake --install "$tree" --component viscana --prefix "$run_dir/Viscana" >/dev/null
if [ -n "$standin" ]; then
  cp "$standin" "$run_dir/Viscana/libusb-1.0.dll"
  export VCAM_SIZE=$size VCAM_FPS=$fps
  echo "run-viewer: Viscana.exe under Wine on the stand-in camera, $size at $fps fps"
else
  echo "run-viewer: Viscana.exe under Wine; no stand-in camera is built, so no camera"
fi

export WINEPREFIX=$tree/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset QT_QPA_PLATFORM  # Qt for Windows uses its windows platform plugin
rm -f "$run_dir/CameraApp.log"
mkdir -p "$(dirname "$shot")"

# What runs under 32-bit Wine: here, or where this host's kernel refuses 32-bit programs, in the QEMU
# guest (scripts/run-win32.sh) with this tree and the screenshot's folder writable.
inner=$run_dir/run.sh
cat >"$inner" <<INNER
set -u
cd "$run_dir"
if [ ! -f "\$WINEPREFIX/system.reg" ]; then
  mkdir -p "\$WINEPREFIX"
  timeout 600 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || true
fi
wine "$run_dir/Viscana/Viscana.exe" >"$run_dir/stdout.txt" 2>&1 &
pid=\$!
window=""
for i in \$(seq 1200); do
  window=\$(xdotool search --onlyvisible --name '^Viscana\$' 2>/dev/null | head -n1)
  [ -n "\$window" ] && break
  sleep 0.1
done
sleep "$seconds"
crop=()
if [ -n "\$window" ] && [ -n "\${VISCANA_OWN_SCREEN:-}" ]; then
  eval "\$(xdotool getwindowgeometry --shell "\$window")"
  crop=(-vf "crop=\$WIDTH:\$HEIGHT:\$X:\$Y")
fi
ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -i "\$DISPLAY" -frames:v 1 "\${crop[@]}" "$shot" || true
# WM_CLOSE, as the close box or a log-off sends it; the program finishes its recordings and ends.
wine taskkill /im Viscana.exe >/dev/null 2>&1 || true
for i in \$(seq 200); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill \$pid 2>/dev/null || true
wineserver -k 2>/dev/null || true
INNER
cat >"$run_dir/screen.sh" <<SCREEN
if [ -n "\${DISPLAY:-}" ]; then
  bash "$inner"
else
  VISCANA_OWN_SCREEN=1 xvfb-run -a -s "-screen 0 1280x800x24" bash "$inner"
fi
SCREEN
scripts/run-win32.sh --share "$(dirname "$shot")" -- bash "$run_dir/screen.sh"
echo "Viscana.exe ran for $seconds s; screenshot: $shot"
echo "--- $run_dir/CameraApp.log (last lines)"
if [ -f "$run_dir/CameraApp.log" ]; then
  # The program writes its log in the ANSI code page of the Windows locale (GBK for Chinese).
  if [ "$lang" = zh ]; then iconv -f GB18030 -t UTF-8 "$run_dir/CameraApp.log" | tail -n 20
  else tail -n 20 "$run_dir/CameraApp.log"; fi
fi
