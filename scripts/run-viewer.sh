#!/usr/bin/env bash
# Builds and starts the Viscana viewer. On a machine without a display it runs under Xvfb for a while,
# saves a screenshot and shows the end of the log.
#
#   scripts/run-viewer.sh                     start the viewer (Xvfb when there is no display)
#   scripts/run-viewer.sh --seconds N         stop it after N seconds (default without a display: 8)
#   scripts/run-viewer.sh --screenshot FILE   screenshot of the screen before it stops (default under Xvfb:
#                                             build/run/screenshot.png)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

seconds=""
shot=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --screenshot) shot=$2; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

scripts/install-deps.sh
if ! command -v import >/dev/null 2>&1 && [ -z "${DISPLAY:-}" ]; then
  # The screenshot comes from ImageMagick's import.
  if [ "$(id -u)" -ne 0 ]; then sudo apt-get install -y -qq imagemagick; else apt-get install -y -qq imagemagick; fi
fi
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target Viscana

# The viewer writes CameraApp.log into its working folder and captures beside the program.
run_dir="$top/build/run"
mkdir -p "$run_dir"
cd "$run_dir"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"

viewer="$top/build/viewer/Viscana"
if [ -n "${DISPLAY:-}" ] && [ -z "$seconds" ]; then
  exec "$viewer"
fi

seconds=${seconds:-8}
shot=${shot:-$run_dir/screenshot.png}
inner=$(mktemp)
cat >"$inner" <<INNER
"$viewer" & pid=\$!
sleep "$seconds"
if command -v /usr/bin/import >/dev/null; then /usr/bin/import -window root "$shot" || true; fi
kill \$pid 2>/dev/null || true
wait \$pid 2>/dev/null || true
INNER
if [ -n "${DISPLAY:-}" ]; then
  bash "$inner"
else
  xvfb-run -a -s "-screen 0 1280x800x24" bash "$inner"
fi
rm -f "$inner"
echo "viewer ran for $seconds s; screenshot: $shot"
echo "--- $run_dir/CameraApp.log (last lines)"
tail -n 20 "$run_dir/CameraApp.log" || true
