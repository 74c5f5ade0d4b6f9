#!/usr/bin/env bash
# Prepares what the guest boots, once per kernel package version, in a cache folder:
#   kernel/      Debian's kernel package unpacked (dpkg -x), with modules.dep (depmod -b)
#   vmlinux      the uncompressed kernel (direct boot through its PVH entry, no decompression in the guest)
#   initrd.gz    busybox-static, the virtio/9p/overlay modules and init.sh
#   udevroot/    Debian's udev package unpacked, when the host has no udevd of its own
# Prints the cache folder. Nothing is installed into the host's /boot or /lib/modules.
#   testing/kernel_vm/prepare.sh [--cache DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache_root=${KERNEL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/viscana-kernel-vm}
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache_root=$2; shift ;;
    *) echo "usage: $0 [--cache DIR]" >&2; exit 2 ;;
  esac
  shift
done
mkdir -p "$cache_root"

# The kernel the distribution's meta package points at now; without apt lists, the newest cached one.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}' || true)
kdebver=""
if [ -n "$kpkg" ]; then
  kdebver=$(apt-cache show "$kpkg" 2>/dev/null | awk '/^Version:/{print $2; exit}' || true)
fi
recipe=$(cat "$here/init.sh" "$here/modules.list" "$here/prepare.sh" | sha256sum | cut -c1-12)
if [ -z "$kpkg" ] || [ -z "$kdebver" ]; then
  dir=$(ls -dt "$cache_root"/*-"$recipe" 2>/dev/null | head -1 || true)
  if [ -n "$dir" ] && [ -f "$dir/ready" ]; then echo "$dir"; exit 0; fi
  echo "prepare: no linux-image package known to apt and nothing cached (run apt-get update)" >&2
  exit 1
fi
kver=${kpkg#linux-image-}
dir="$cache_root/$kver-$kdebver-$recipe"
if [ -f "$dir/ready" ]; then echo "$dir"; exit 0; fi

echo "prepare: building $dir" >&2
rm -rf "$dir.tmp"; mkdir -p "$dir.tmp"
cd "$dir.tmp"
apt-get download "$kpkg=$kdebver" >&2 2>/dev/null || apt-get download "$kpkg" >&2
dpkg -x "${kpkg}"_*.deb kernel
rm -f "${kpkg}"_*.deb
# The package's postinst writes modules.dep; we never run it.
depmod -b "$PWD/kernel" "$kver"
python3 - "kernel/boot/vmlinuz-$kver" vmlinux <<'PY'
import lzma, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'\xfd7zXZ\x00')
if at < 0:
    sys.exit("prepare: no XZ stream in " + sys.argv[1])
open(sys.argv[2], 'wb').write(lzma.LZMADecompressor().decompress(data[at:]))
PY
mkdir -p initramfs/{bin,m,proc,sys,dev,lower,upper,newroot}
cp /bin/busybox initramfs/bin/
cp "$here/modules.list" initramfs/modules.list
for m in $(cat "$here/modules.list"); do
  f=$(find "kernel/lib/modules/$kver/kernel" -name "$m.ko" | head -1)
  [ -n "$f" ] || { echo "prepare: module $m not in the package" >&2; exit 1; }
  cp "$f" initramfs/m/
done
cp "$here/init.sh" initramfs/init && chmod +x initramfs/init
(cd initramfs && find . | cpio -o -H newc 2>/dev/null | gzip -1 > ../initrd.gz)
rm -rf initramfs
if ! command -v udevadm >/dev/null 2>&1; then
  apt-get download udev >&2
  dpkg -x udev_*.deb udevroot
  rm -f udev_*.deb
fi
echo "$kver" > kver
touch ready
cd "$cache_root"
rm -rf "$dir"; mv "$dir.tmp" "$dir"
echo "$dir"
