#!/usr/bin/env bash
# Cross-builds the viewer's Windows dependencies for i686-w64-mingw32 from Debian's source packages
# (Qt 5 qtbase; libusb-1.0, libjpeg-turbo, x264 and a minimal FFmpeg) into a cache under ~/.cache,
# one folder per stack, named by the source versions and a hash of the build commands and toolchain.
# What is cached is skipped; each step prints its time. On success it prints the two prefixes:
#   QT_PREFIX=...
#   DEPS_PREFIX=...
#
#   scripts/build-windows-deps.sh            build what is missing, print the prefixes
#   scripts/build-windows-deps.sh --print    print the prefixes only when both are cached (exit 1 if not)
#
# Environment: VISCANA_WIN_DEPS_CACHE (default ~/.cache/viscana-win32-deps), JOBS (default nproc).
set -euo pipefail

print_only=0
case "${1:-}" in
  "") ;;
  --print) print_only=1 ;;
  -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
  *) echo "usage: $0 [--print]" >&2; exit 2 ;;
esac

CACHE_ROOT=${VISCANA_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/viscana-win32-deps}
JOBS=${JOBS:-$(nproc)}
TRIPLET=i686-w64-mingw32
mkdir -p "$CACHE_ROOT"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

log() { echo "build-windows-deps: $*" >&2; }
timed() {  # timed LABEL command...
  local label=$1 t0 rc=0; shift
  t0=$(date +%s)
  "$@" || rc=$?
  log "$label: $(( $(date +%s) - t0 )) s$([ $rc -eq 0 ] || echo " (failed, exit $rc)")"
  return $rc
}

# --- sources -------------------------------------------------------------------------------------
SRC_PACKAGES=(qtbase-opensource-src libusb-1.0 libjpeg-turbo x264 ffmpeg)

have_deb_src() {
  grep -rhsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/ >/dev/null
}
ensure_deb_src() {
  if ! have_deb_src; then
    log "adding Debian's source indexes (/etc/apt/sources.list.d/viscana-debian-src.sources)"
    $SUDO tee /etc/apt/sources.list.d/viscana-debian-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $SUDO apt-get update -qq
  fi
}

# The newest source version apt knows for a package.
src_version() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' \
    | sort -V | tail -n1 || true
}

declare -A VERSION
resolve_versions() {
  local p v
  for p in "${SRC_PACKAGES[@]}"; do
    v=$(src_version "$p")
    if [ -z "$v" ] && [ "$print_only" -eq 0 ]; then
      ensure_deb_src
      v=$(src_version "$p")
      if [ -z "$v" ]; then $SUDO apt-get update -qq; v=$(src_version "$p"); fi
    fi
    [ -n "$v" ] || { log "no source package $p is known to apt"; return 1; }
    VERSION[$p]=$v
  done
}

# Unpacks one source package (Debian patches applied) into $SRC/<dir>.
fetch_source() {  # fetch_source PACKAGE DIR
  local pkg=$1 dir=$2 dsc
  rm -rf "${SRC:?}/$dir"
  (cd "$SRC" && apt-get source --download-only -qq "$pkg=${VERSION[$pkg]}" >/dev/null)
  dsc=$(ls "$SRC/${pkg}_${VERSION[$pkg]#*:}.dsc")
  (cd "$SRC" && dpkg-source --no-check -x "$dsc" "$dir" >/dev/null)
}

# --- toolchain -----------------------------------------------------------------------------------
toolchain_id() {
  dpkg-query -W -f '${Package}=${Version};' g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
    mingw-w64-i686-dev binutils-mingw-w64-i686 nasm cmake g++ 2>/dev/null
  uname -m
}

# Configure-based builds call i686-w64-mingw32-gcc by name: point those names at the posix-thread
# compilers (GCC 12's win32 flavour has no std::thread or std::mutex).
make_shims() {
  TOOLBIN=$WORK/toolbin
  mkdir -p "$TOOLBIN"
  local t
  for t in gcc g++ c++ cpp gcc-ar gcc-nm gcc-ranlib; do
    ln -sf "/usr/bin/$TRIPLET-$t-posix" "$TOOLBIN/$TRIPLET-$t"
  done
  export PATH=$TOOLBIN:$PATH
  cat > "$WORK/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER /usr/bin/$TRIPLET-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/$TRIPLET-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/$TRIPLET-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$TRIPLET)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# --- build steps (their bodies are part of the cache key) ----------------------------------------
build_qtbase() {  # build_qtbase PREFIX
  local prefix=$1 b=$WORK/build-qtbase
  rm -rf "$b"; mkdir -p "$b"
  (cd "$b" && MAKEFLAGS=-j$JOBS "$SRC/qtbase/configure" -prefix "$prefix" \
    -platform linux-g++ -xplatform win32-g++ -device-option CROSS_COMPILE=$TRIPLET- \
    -opensource -confirm-license -release -shared -strip \
    -nomake examples -nomake tests \
    -no-opengl -no-direct2d -no-vulkan \
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -no-freetype -no-fontconfig \
    -no-dbus -no-icu \
    -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib -no-feature-printer \
    -no-feature-tabletevent >"$WORK/qtbase-configure.log" 2>&1) \
    || { tail -n 40 "$WORK/qtbase-configure.log" >&2; return 1; }
  (cd "$b" && make -j"$JOBS" >"$WORK/qtbase-make.log" 2>&1) \
    || { grep -m 20 -E 'error|Error' "$WORK/qtbase-make.log" >&2; tail -n 20 "$WORK/qtbase-make.log" >&2; return 1; }
  (cd "$b" && make install >"$WORK/qtbase-install.log" 2>&1)
}

build_libusb() {
  local prefix=$1 b=$WORK/build-libusb
  rm -rf "$b"; mkdir -p "$b"
  (cd "$b" && "$SRC/libusb/configure" --host=$TRIPLET --prefix="$prefix" \
    --enable-shared --enable-static --disable-examples-build --disable-tests-build >/dev/null \
    && make -j"$JOBS" >/dev/null && make install >/dev/null)
}

build_libjpeg_turbo() {
  local prefix=$1 b=$WORK/build-libjpeg-turbo
  rm -rf "$b"; mkdir -p "$b"
  (cd "$b" && cmake "$SRC/libjpeg-turbo" -DCMAKE_TOOLCHAIN_FILE="$WORK/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DWITH_SIMD=ON \
    -DCMAKE_ASM_NASM_COMPILER=/usr/bin/nasm -DENABLE_SHARED=ON -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=ON >/dev/null && make -j"$JOBS" >/dev/null && make install >/dev/null)
}

build_x264() {
  local prefix=$1 b=$WORK/build-x264
  rm -rf "$b"; mkdir -p "$b"
  (cd "$b" && "$SRC/x264/configure" --host=$TRIPLET --cross-prefix=$TRIPLET- --prefix="$prefix" \
    --enable-shared --enable-static --disable-cli --enable-strip --disable-opencl >/dev/null \
    && make -j"$JOBS" >/dev/null && make install >/dev/null)
}

build_ffmpeg() {
  local prefix=$1 b=$WORK/build-ffmpeg
  rm -rf "$b"; mkdir -p "$b"
  (cd "$b" && PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH='' \
    "$SRC/ffmpeg/configure" --prefix="$prefix" \
    --enable-cross-compile --cross-prefix=$TRIPLET- --arch=x86 --target-os=mingw32 \
    --pkg-config=pkg-config --enable-shared --disable-static --disable-programs --disable-doc \
    --disable-debug --disable-autodetect --disable-everything --enable-gpl --enable-libx264 \
    --enable-encoder=libx264 --enable-decoder=h264 \
    --enable-muxer=mp4 --enable-demuxer=mov --enable-parser=h264 --enable-protocol=file \
    --enable-swscale --disable-avdevice --disable-avfilter --disable-swresample \
    --disable-postproc --disable-network --enable-w32threads >/dev/null \
    && make -j"$JOBS" >/dev/null && make install >/dev/null)
}

build_media_libs() {  # build_media_libs PREFIX
  timed "libusb-1.0" build_libusb "$1" || return 1
  timed "libjpeg-turbo" build_libjpeg_turbo "$1" || return 1
  timed "x264" build_x264 "$1" || return 1
  timed "ffmpeg" build_ffmpeg "$1" || return 1
}

cache_key() {  # cache_key NAME "PKG..." FUNCTION...
  local name=$1 pkgs=$2 inputs="" p f; shift 2
  for p in $pkgs; do inputs+="$p=${VERSION[$p]};"; done
  for f in "$@"; do inputs+="$(declare -f "$f")"; done
  inputs+="$(toolchain_id)"
  echo "$name-$(printf '%s' "$inputs" | sha256sum | cut -c1-16)"
}

is_complete() { [ -f "$CACHE_ROOT/$1/.complete" ]; }

# Builds one stack straight into its final cache folder (pkg-config and libtool files hold absolute
# paths); the .complete stamp is written last, so an interrupted build is started again.
ensure_stack() {  # ensure_stack KEY "PKG:DIR..." BUILD_FUNCTION
  local key=$1 srcs=$2 fn=$3 prefix="$CACHE_ROOT/$1" s
  if is_complete "$key"; then log "$key: cached"; return 0; fi
  rm -rf "$prefix"
  WORK=$(mktemp -d "$CACHE_ROOT/work.XXXXXX")
  SRC=$WORK/src; mkdir -p "$SRC"
  make_shims
  for s in $srcs; do timed "source ${s%%:*}" fetch_source "${s%%:*}" "${s#*:}" || return 1; done
  timed "$key" "$fn" "$prefix" || return 1
  toolchain_id > "$prefix/.complete"
  rm -rf "$WORK"
}

# --- main ----------------------------------------------------------------------------------------
resolve_versions
QT_KEY=$(cache_key "qtbase-${VERSION[qtbase-opensource-src]}-i686-posix" qtbase-opensource-src build_qtbase)
DEPS_KEY=$(cache_key "media-i686-posix" "libusb-1.0 libjpeg-turbo x264 ffmpeg" \
  build_media_libs build_libusb build_libjpeg_turbo build_x264 build_ffmpeg)

if [ "$print_only" -eq 1 ]; then
  is_complete "$QT_KEY" && is_complete "$DEPS_KEY" || exit 1
else
  # One build at a time per cache; old, unfinished work folders are removed first.
  exec 9>"$CACHE_ROOT/.lock"
  if ! flock -n 9; then log "another build of this cache is running; waiting for it"; flock 9; fi
  rm -rf "$CACHE_ROOT"/work.*
  t0=$(date +%s)
  ensure_stack "$DEPS_KEY" "libusb-1.0:libusb libjpeg-turbo:libjpeg-turbo x264:x264 ffmpeg:ffmpeg" \
    build_media_libs
  ensure_stack "$QT_KEY" "qtbase-opensource-src:qtbase" build_qtbase
  log "done in $(( $(date +%s) - t0 )) s"
fi
echo "QT_PREFIX=$CACHE_ROOT/$QT_KEY"
echo "DEPS_PREFIX=$CACHE_ROOT/$DEPS_KEY"
