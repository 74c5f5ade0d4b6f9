#!/usr/bin/env bash
# Installs the Debian 12 packages this project builds and tests with; installs only what is missing.
#   scripts/install-deps.sh            Linux build and tests
#   scripts/install-deps.sh --windows  also the mingw-w64 cross compilers, 32-bit Wine and what
#                                      scripts/build-windows-deps.sh needs to cross-build Qt and the
#                                      media libraries from Debian's sources
#   scripts/install-deps.sh --packaging  also what building and checking the Debian packages needs
#   scripts/install-deps.sh --kernel   also QEMU and what the kernel tests' guest is made of
set -euo pipefail

want_windows=0
want_packaging=0
want_kernel=0
for a in "$@"; do
  case "$a" in
    --windows) want_windows=1 ;;
    --packaging) want_packaging=1 ;;
    --kernel) want_kernel=1 ;;
    *) echo "usage: $0 [--windows] [--packaging] [--kernel]" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

linux_pkgs=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qttools5-dev qttools5-dev-tools
  libusb-1.0-0-dev libudev-dev libssl-dev
  libturbojpeg0-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev libglib2.0-dev ccache
  xvfb xauth ffmpeg
  fonts-wqy-microhei
  dosfstools exfatprogs mtools
  clang libclang-rt-14-dev
  python3 groff-base
)
packaging_pkgs=(dpkg-dev file lintian appstream man-db bash-completion)
# The kernel tests: QEMU (with qboot), the usbredir parser, the guest's initramfs (busybox, modules,
# cpio), and the tools the guest tests use from the host's root. udev itself is unpacked from its
# package for the guest when the host has none (testing/kernel_vm/prepare.sh).
kernel_pkgs=(qemu-system-x86 qemu-system-data libusbredirparser-dev busybox-static kmod cpio xz-utils
  util-linux xdotool)
windows_pkgs=(g++-mingw-w64-i686 gcc-mingw-w64-i686 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  mingw-w64-i686-dev binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  dpkg-dev nasm zstd xdotool nsis locales)

missing() {
  local p out=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      out+=("$p")
    fi
  done
  echo "${out[@]:-}"
}

updated=0
apt_update() {
  if [ "$updated" -eq 0 ]; then $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq; updated=1; fi
}

pkgs=("${linux_pkgs[@]}")
if [ "$want_windows" -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  pkgs+=("${windows_pkgs[@]}")
fi
if [ "$want_packaging" -eq 1 ]; then pkgs+=("${packaging_pkgs[@]}"); fi
if [ "$want_kernel" -eq 1 ]; then pkgs+=("${kernel_pkgs[@]}"); fi

todo=$(missing "${pkgs[@]}")
if [ -n "$todo" ]; then
  echo "install-deps: installing $todo"
  apt_update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $todo
else
  echo "install-deps: everything is installed"
fi

# The Windows tests run the viewer as on a Chinese Windows: Wine takes the Windows locale (and the
# ANSI code page, GBK) from the Linux locale, which must exist for that.
if [ "$want_windows" -eq 1 ] && ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  echo "install-deps: generating the zh_CN.UTF-8 locale"
  $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
