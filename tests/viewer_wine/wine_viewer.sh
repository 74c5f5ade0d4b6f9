#!/usr/bin/env bash
# The Windows program as a user gets it (the installed program folder), under 32-bit Wine on its own
# Xvfb screen. CTest runs one case per test:
#
#   wine_viewer.sh folder       install the program folder and check it: PE32 GUI program with the
#                               administrator manifest, icon and version; every DLL any of its files
#                               imports is in the folder or is part of Windows; runtime DLLs stripped
#   wine_viewer.sh no-camera    start with no camera: the start-up log lines in order, the no-camera
#                               picture on the screen, a clean exit when the window is closed
#   wine_viewer.sh live|photo|countdown|record|close-recording|replug
#                               the same with the stand-in camera (STANDIN_DLL): see each case below
#
# Environment (CTest sets it): BUILD_DIR (the Windows build tree), VIEWER_FOLDER (where the program
# folder is installed), WINEPREFIX, WORK_DIR (one folder per case), SOURCE_DIR, OBJDUMP, WINDRES,
# STANDIN_DLL (the stand-in libusb-1.0.dll; empty when not built).
set -euo pipefail
case_name=${1:?usage: wine_viewer.sh CASE}
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset QT_QPA_PLATFORM  # Qt for Windows uses its windows platform plugin
# Chinese Windows: the interface and the log's texts are Chinese, the log is written in GBK.
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "-- $*"; }

# --- the program folder --------------------------------------------------------------------------
check_folder() {
  rm -rf "$VIEWER_FOLDER"
  cmake --install "$BUILD_DIR" --component viscana --prefix "$VIEWER_FOLDER" >/dev/null
  local f missing=() exe=$VIEWER_FOLDER/Viscana.exe
  for f in Viscana.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll platforms/qwindows.dll \
           imageformats/qjpeg.dll styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_dw2-1.dll \
           libwinpthread-1.dll libusb-1.0.dll libturbojpeg.dll; do
    [ -f "$VIEWER_FOLDER/$f" ] || missing+=("$f")
  done
  for f in 'avcodec-*.dll' 'avformat-*.dll' 'avutil-*.dll' 'swscale-*.dll' 'libx264-*.dll'; do
    compgen -G "$VIEWER_FOLDER/$f" >/dev/null || missing+=("$f")
  done
  [ ${#missing[@]} -eq 0 ] || fail "missing from the program folder: ${missing[*]}"

  local headers
  headers=$("$OBJDUMP" -p "$exe")
  grep -q 'Magic[[:space:]]*010b' <<<"$headers" || fail "Viscana.exe is not PE32"
  grep -q 'Subsystem[[:space:]]*00000002' <<<"$headers" || fail "Viscana.exe is not a GUI program"
  local resources
  resources=$("$WINDRES" -i "$exe" -O rc 2>/dev/null) || fail "cannot read the resources of Viscana.exe"
  grep -q 'requireAdministrator' <<<"$resources" || fail "no requireAdministrator manifest"
  grep -q 'RT_GROUP_ICON' <<<"$resources" || fail "no icon"
  grep -q 'VALUE "ProductVersion", "1\.0\.17"' <<<"$resources" || fail "no version resource 1.0.17"

  # Every import of every file in the folder resolves in the folder or to a DLL of Windows (as 32-bit
  # Wine provides them: its PE DLLs, read without running anything).
  local system32 pe name unresolved=()
  system32=$(wine_system_dlls) || fail "no 32-bit Wine DLLs found (wine32)"
  local present
  present=$(cd "$VIEWER_FOLDER" && find . -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z' | sort -u)
  while IFS= read -r pe; do
    while IFS= read -r name; do
      local lower=${name,,}
      grep -qxF "$lower" <<<"$present" && continue
      [ -n "$(find "$system32" -maxdepth 1 -iname "$name" -print -quit)" ] && continue
      unresolved+=("${pe#"$VIEWER_FOLDER"/} -> $name")
    done < <("$OBJDUMP" -p "$pe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  done < <(find "$VIEWER_FOLDER" -iname '*.dll' -o -iname '*.exe')
  [ ${#unresolved[@]} -eq 0 ] || fail "imports found nowhere: ${unresolved[*]}"

  for f in libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll Viscana.exe; do
    if "$OBJDUMP" -h "$VIEWER_FOLDER/$f" | grep -q '\.debug_'; then fail "$f is not stripped"; fi
  done
  note "program folder: $(du -sh "$VIEWER_FOLDER" | cut -f1), $(find "$VIEWER_FOLDER" -type f | wc -l) files"
}

wine_system_dlls() {
  local d
  for d in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows /opt/wine*/lib/wine/i386-windows; do
    [ -f "$d/kernel32.dll" ] && { echo "$d"; return 0; }
  done
  return 1
}

# Hosts that refuse 32-bit x86 programs ("Exec format error", some virtual machines) cannot start the
# program: the cases that run it are skipped there (exit code 77).
can_run_win32() {
  wine --version >/dev/null 2>&1
}

ensure_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 300 wineboot -i >/dev/null 2>&1 || true
    timeout 120 wineserver -w || true
  fi
}

# --- one run of the program ----------------------------------------------------------------------
run_dir=""
xvfb_pid=""
viewer_pid=""
cleanup() {
  if [ -n "$viewer_pid" ]; then kill "$viewer_pid" 2>/dev/null || true; fi
  timeout 20 wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# A fresh copy of the program folder per case (captures go beside the program), its own X screen.
prepare_run() {
  [ -f "$VIEWER_FOLDER/Viscana.exe" ] || fail "no program folder at $VIEWER_FOLDER (the folder case installs it)"
  if ! can_run_win32; then
    echo "SKIP: this host cannot run 32-bit x86 programs, so 32-bit Wine cannot start Viscana.exe"
    exit 77
  fi
  ensure_prefix
  run_dir=$WORK_DIR/$case_name
  rm -rf "$run_dir"
  mkdir -p "$run_dir"
  cp -a "$VIEWER_FOLDER" "$run_dir/Viscana"
  if [ "${1:-}" = standin ]; then
    [ -n "${STANDIN_DLL:-}" ] && [ -f "$STANDIN_DLL" ] || fail "no stand-in camera DLL"
    cp "$STANDIN_DLL" "$run_dir/Viscana/libusb-1.0.dll"
  fi
  local fd_file=$run_dir/display
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$fd_file" 2>/dev/null &
  xvfb_pid=$!
  local i
  for i in $(seq 50); do [ -s "$fd_file" ] && break; sleep 0.1; done
  [ -s "$fd_file" ] || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$fd_file")
}

start_viewer() {
  (cd "$run_dir" && exec wine "$run_dir/Viscana/Viscana.exe" >"$run_dir/stdout.txt" 2>&1) &
  viewer_pid=$!
  local i
  for i in $(seq 300); do
    window=$(xdotool search --onlyvisible --name '^Viscana$' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && return 0
    kill -0 "$viewer_pid" 2>/dev/null || fail "Viscana.exe ended before showing its window: $(tail -n 5 "$run_dir/stdout.txt")"
    sleep 0.1
  done
  fail "no Viscana window within 30 s"
}

# The log as text (the program writes it in the ANSI code page, GBK here).
log_text() { iconv -f GB18030 -t UTF-8 "$run_dir/CameraApp.log" 2>/dev/null || true; }

wait_log() {  # wait_log TEXT SECONDS
  local i
  for i in $(seq $(( $2 * 10 ))); do
    log_text | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  fail "not logged within $2 s: $1"$'\n'"$(log_text | tail -n 15)"
}

# The lines appear in the log in this order.
expect_in_order() {
  local text rest line
  text=$(log_text)
  rest=$text
  for line in "$@"; do
    if ! grep -qF -- "$line" <<<"$rest"; then
      fail "not logged in order: $line"$'\n'"$text"
    fi
    rest=$(awk -v l="$line" 'found {print} !found && index($0, l) {found=1}' <<<"$rest")
  done
}

screenshot() {  # screenshot NAME -> $run_dir/NAME.ppm (and .png to look at)
  ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -i "$DISPLAY" -frames:v 1 "$run_dir/$1.ppm"
  ffmpeg -loglevel error -y -i "$run_dir/$1.ppm" "$run_dir/$1.png"
}

# Closes the window as the system does at log-off or a user does with its close box: WM_CLOSE. The
# program must end by itself within the seconds given.
close_viewer() {  # close_viewer SECONDS
  wine taskkill /im Viscana.exe >/dev/null 2>&1 || true
  local i
  for i in $(seq $(( $1 * 10 ))); do
    if ! kill -0 "$viewer_pid" 2>/dev/null; then
      wait "$viewer_pid" || true
      viewer_pid=""
      return 0
    fi
    sleep 0.1
  done
  fail "Viscana.exe still runs $1 s after WM_CLOSE"
}

startup_lines=("loc.language():" "Operating System:" "KillProcess: installer_x64.exe" "KillProcess: installer_x86.exe"
  "KillProcess: install-filter.exe" " IsAdministrator()  : 1" "ScanDiverNumber start")

case_no_camera() {
  prepare_run
  start_viewer
  wait_log "子文件夹路径：" 60
  expect_in_order "${startup_lines[@]}" "扫描设备数量： 0" "子文件夹路径："
  if log_text | grep -qF "不是管理员启动"; then fail "the manifest did not make the program elevated"; fi
  sleep 1
  screenshot no-camera
  ffmpeg -loglevel error -y -i "$SOURCE_DIR/viewer/resources/img/NoUSB.png" -f rawvideo -pix_fmt rgba \
    "$run_dir/nousb.rgba"
  python3 "$here/screen_check.py" picture "$run_dir/no-camera.ppm" "$run_dir/nousb.rgba" 640 480 \
    || fail "the no-camera picture is not on the screen (see $run_dir/no-camera.png)"
  close_viewer 20
}

case "$case_name" in
  folder) check_folder ;;
  no-camera) case_no_camera ;;
  *) fail "unknown case $case_name" ;;
esac
echo "PASS: $case_name"
