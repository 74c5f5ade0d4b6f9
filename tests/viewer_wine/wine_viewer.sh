#!/usr/bin/env bash
# The Windows program as a user gets it (the installed program folder), under 32-bit Wine on its own
# Xvfb screen. CTest runs one case per test:
#
#   wine_viewer.sh folder       install the program folder and check it: PE32 GUI program with the
#                               administrator manifest, icon and version; every DLL any of its files
#                               imports is in the folder or is part of Windows; runtime DLLs stripped
#   wine_viewer.sh no-camera    start with no camera: the start-up log lines in order, the no-camera
#                               picture on the screen, a clean exit when the window is closed
#   wine_viewer.sh live         with the stand-in camera (STANDIN_DLL): live video in the window
#   wine_viewer.sh camera-photo the camera's photo button: a photo in Camera/ beside the program
#   wine_viewer.sh countdown    T then Space: a photo after the 2 s countdown
#   wine_viewer.sh record       R, R: an H.264 MP4 at 25 fps whose frames all decode
#   wine_viewer.sh close-recording  the window closed while recording: a playable MP4
#   wine_viewer.sh replug       unplug and replug through WM_DEVICECHANGE (VCAM_CONTROL)
#
# Environment (CTest sets it): BUILD_DIR (the Windows build tree), VIEWER_FOLDER (where the program
# folder is installed), WINEPREFIX, WORK_DIR (one folder per case), SOURCE_DIR, OBJDUMP, WINDRES,
# STANDIN_DLL (the stand-in libusb-1.0.dll) and VCAM_CONTROL (its control program), empty when not built.
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
log_text() { iconv -f GB18030 -t UTF-8 "$run_dir/CameraApp.log" 2>/dev/null | tr -d '\r' || true; }

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
  "KillProcess: install-filter.exe" " IsAdministrator()  : " "ScanDiverNumber start")

# The manifest makes the program elevated: the administrator test logs 1 (qDebug puts a space before it).
expect_elevated() {
  log_text | grep -qE ' IsAdministrator\(\)  : +1$' || fail "the administrator test did not log 1"
  if log_text | grep -qF "不是管理员启动"; then fail "the manifest did not make the program elevated"; fi
}

# Device records a stand-in camera left in the prefix when its program was killed.
forget_standin_camera() {
  local key
  for key in 'HKLM\System\CurrentControlSet\Enum\USB\VID_2CE3&PID_3301' \
    'HKLM\System\CurrentControlSet\Enum\USB\VID_2CE3&PID_3301&MI_00' \
    'HKLM\System\CurrentControlSet\Enum\USB\VID_2CE3&PID_3301&MI_01' \
    'HKLM\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}'; do
    wine reg delete "$key" /f >/dev/null 2>&1 || true
  done
}

case_no_camera() {
  prepare_run
  forget_standin_camera
  start_viewer
  wait_log "子文件夹路径：" 60
  expect_in_order "${startup_lines[@]}" "扫描设备数量： 0" "子文件夹路径："
  expect_elevated
  sleep 1
  screenshot no-camera
  ffmpeg -loglevel error -y -i "$SOURCE_DIR/viewer/resources/img/NoUSB.png" -f rawvideo -pix_fmt rgba \
    "$run_dir/nousb.rgba"
  python3 "$here/screen_check.py" picture "$run_dir/no-camera.ppm" "$run_dir/nousb.rgba" 640 480 \
    || fail "the no-camera picture is not on the screen (see $run_dir/no-camera.png)"
  close_viewer 20
}

# --- with the stand-in camera --------------------------------------------------------------------
export VCAM_SIZE=640x480 VCAM_FPS=25

vcam() {  # vcam unplug|plug|photo: acts on the stand-in camera of the running program, waits for it
  [ -n "${VCAM_CONTROL:-}" ] || fail "no vcam-control program"
  wine "$VCAM_CONTROL" "$1" || fail "vcam-control $1 failed"
}

count_log() { log_text | grep -cF -- "$1" || true; }

# The window's rectangle on the screen.
window_rect() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  echo "$X $Y $WIDTH $HEIGHT"
}

expect_live_video() {  # expect_live_video NAME: two screenshots a second apart differ inside the window
  screenshot "$1-a"
  sleep 1
  screenshot "$1-b"
  # shellcheck disable=SC2046
  python3 "$here/screen_check.py" changed "$run_dir/$1-a.ppm" "$run_dir/$1-b.ppm" $(window_rect) \
    || fail "no moving picture in the window (see $run_dir/$1-a.png, $1-b.png)"
}

expect_no_camera_picture() {  # expect_no_camera_picture NAME
  screenshot "$1"
  [ -f "$run_dir/nousb.rgba" ] || ffmpeg -loglevel error -y -i "$SOURCE_DIR/viewer/resources/img/NoUSB.png" \
    -f rawvideo -pix_fmt rgba "$run_dir/nousb.rgba"
  python3 "$here/screen_check.py" picture "$run_dir/$1.ppm" "$run_dir/nousb.rgba" 640 480 \
    || fail "the no-camera picture is not on the screen (see $run_dir/$1.png)"
}

start_with_camera() {
  prepare_run standin
  start_viewer
  wait_log "M_thread_in_Image-----------------226" 60
  expect_in_order "${startup_lines[@]}" "扫描设备数量： 1" "有设备并且是管理员启动" "驱动程序已安装1" \
    "驱动程序已安装2" "M_thread_in_Image-----------------226"
  expect_elevated
  sleep 2
}

# The stand-in camera streams into the live view.
case_live() {
  start_with_camera
  expect_live_video live
  close_viewer 20
}

# Keys go to the window as a user's keyboard sends them (Space photo, T countdown, R recording).
press() {  # press KEY
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
  xdotool key --clearmodifiers "$1"
}

wait_capture() {  # wait_capture PATTERN SECONDS: prints the first file in Camera/ matching PATTERN
  local i f
  for i in $(seq $(( $2 * 10 ))); do
    f=$(find "$run_dir/Viscana/Camera" -name "$1" 2>/dev/null | head -n1)
    [ -n "$f" ] && { echo "$f"; return 0; }
    sleep 0.1
  done
  return 1
}

expect_photo() {  # expect_photo FILE: named yyyyMMddhhmmsszzz.jpg, the camera's full 640x480 frame
  [[ "$(basename "$1")" =~ ^[0-9]{17}\.jpg$ ]] || fail "photo name $(basename "$1") is not yyyyMMddhhmmsszzz.jpg"
  local facts
  facts=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$1")
  [ "$facts" = "mjpeg,640,480" ] || fail "photo is not a 640x480 JPEG: $facts"
}

# A recording as a player reads it: H.264 at 25 frames a second, every frame decodable, at least MIN.
expect_video() {  # expect_video FILE MIN
  local facts frames errors
  facts=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,r_frame_rate \
    -of csv=p=0 "$1") || fail "ffprobe cannot read $1"
  [ "$facts" = "h264,640,480,25/1" ] || fail "the recording is not 640x480 H.264 at 25 fps: $facts"
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1")
  errors=$(ffmpeg -v error -i "$1" -f null - 2>&1 | head -n 5)
  [ -z "$errors" ] || fail "the recording does not decode cleanly: $errors"
  [ "${frames:-0}" -ge "$2" ] || fail "the recording has $frames frames, fewer than $2"
  note "recording $(basename "$1"): $facts, $frames frames, $(du -k "$1" | cut -f1) KiB"
}

# The camera's photo button: a photo of the live picture goes into Camera/ beside the program.
case_camera_photo() {
  start_with_camera
  vcam photo
  local photo
  photo=$(wait_capture '*.jpg' 10) || fail "no photo in Camera/ after the camera's button"
  expect_photo "$photo"
  close_viewer 20
}

# The countdown: T chooses 2 s, Space starts it; the photo comes when it has run out, not before.
case_countdown() {
  start_with_camera
  press t
  sleep 1
  press space
  local t0 photo
  t0=$(date +%s.%N)
  wait_log "需要倒计时秒数 m_Time_Number: 2" 20
  photo=$(wait_capture '*.jpg' 60) || fail "no photo within 60 s of the countdown's start"
  local waited
  waited=$(echo "$(date +%s.%N) - $t0" | bc)
  [ "$(echo "$waited >= 2" | bc)" = 1 ] || fail "the photo came $waited s after Space, before the 2 s countdown ran out"
  expect_photo "$photo"
  note "countdown photo after $waited s"
  close_viewer 20
}

# A recording started and stopped with R: a finished MP4 in Camera/.
case_record() {
  start_with_camera
  press r
  wait_log "录像:" 20
  sleep 5
  press r
  local video
  video=$(wait_capture '*.mp4' 10) || fail "no recording in Camera/"
  [[ "$(basename "$video")" =~ ^[0-9]{17}\.mp4$ ]] || fail "recording name $(basename "$video") is not yyyyMMddhhmmsszzz.mp4"
  # The finished file's first picture becomes the thumbnail (FFmpeg reads it back in the program).
  sleep 5
  if log_text | grep -qF "无法打开视频文件"; then fail "the program could not read its own recording back"; fi
  expect_video "$video" 10
  close_viewer 30
}

# The window closed (WM_CLOSE) while recording: the program finishes the file and ends.
case_close_recording() {
  start_with_camera
  press r
  wait_log "录像:" 20
  sleep 4
  close_viewer 30
  local video
  video=$(wait_capture '*.mp4' 1) || fail "no recording in Camera/ after closing while recording"
  expect_video "$video" 10
}

# Unplug and replug through WM_DEVICECHANGE: the stream ends, the no-camera picture shows, the camera
# comes back and streams again.
case_replug() {
  start_with_camera
  vcam unplug
  wait_log "onM_thread_ThreadFinished M_thread  完全退出" 60
  sleep 1
  expect_no_camera_picture unplugged
  local arrivals
  arrivals=$(count_log "USB 插入 回调")
  vcam plug
  local i
  for i in $(seq 600); do
    [ "$(count_log "ThreadUSB::run() 线程开始")" -ge 2 ] && break
    sleep 0.1
  done
  [ "$(count_log "ThreadUSB::run() 线程开始")" -ge 2 ] || fail "no new stream after the replug"
  [ "$(count_log "USB 插入 回调")" -gt "$arrivals" ] || fail "the window saw no WM_DEVICECHANGE for the replug"
  sleep 2
  expect_live_video replugged
  close_viewer 20
}

case "$case_name" in
  folder) check_folder ;;
  no-camera) case_no_camera ;;
  live) case_live ;;
  camera-photo) case_camera_photo ;;
  countdown) case_countdown ;;
  record) case_record ;;
  close-recording) case_close_recording ;;
  replug) case_replug ;;
  *) fail "unknown case $case_name" ;;
esac
echo "PASS: $case_name"
