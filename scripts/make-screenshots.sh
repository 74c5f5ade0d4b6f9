#!/usr/bin/env bash
# Saves pictures of the viewer for the README under docs/screenshots/: the live view of the virtual
# camera, a running countdown, a recording with its clock and the About panel, grabbed from an Xvfb
# screen.
#
#   scripts/make-screenshots.sh [output folder]     (default: docs/screenshots)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${1:-$top/docs/screenshots}

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target viewer_screenshots

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
# The program writes its log into the working folder.
run_dir="$top/build/run-screenshots"
mkdir -p "$run_dir"
cd "$run_dir"
xvfb-run -a -s "-screen 0 1280x800x24" "$top/build/tests/viewer_capture/viewer_screenshots" "$out"
