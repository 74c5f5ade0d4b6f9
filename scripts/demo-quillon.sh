#!/usr/bin/env bash
# A scripted session with the quillon tool on a fresh virtual bridge: create it, find and identify it,
# update and check its firmware, read and erase flash, size and format both regions, check the file
# systems with fsck, write an ISO image, set and check an old-scheme password, use the hidden sectors
# and the custom data area. Every step is a separate run of the program, as a user would
# type it; the bridge keeps its state in a folder in between.
#
#   scripts/demo-quillon.sh              build quillon (in build/) if needed and run the session
#   scripts/demo-quillon.sh --keep       keep the bridge folder afterwards (its path is printed)
#   QUILLON=/path/to/quillon scripts/demo-quillon.sh    use a program built elsewhere
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

keep=0
case "${1:-}" in
  --keep) keep=1 ;;
  -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
  "") ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
esac

quillon=${QUILLON:-$top/build/tools/quillon/quillon}
if [ -z "${QUILLON:-}" ]; then
  if [ ! -f build/CMakeCache.txt ]; then
    scripts/install-deps.sh
    cmake -S . -B build -G Ninja >/dev/null
  fi
  cmake --build build --target quillon >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo.XXXXXX")
bridge="$work/bridge"
if [ "$keep" -eq 0 ]; then trap 'rm -rf "$work"' EXIT; fi

step() { printf '\n$ quillon --virtual %q' "$bridge"; printf ' %q' "$@"; echo; "$quillon" --virtual "$bridge" "$@"; }
show() { printf '\n$'; printf ' %q' "$@"; echo; "$@"; }

step init --disk-size 128M --flash-part W25X40
step list
step identify
echo "(a new bridge has erased flash, so every firmware copy is damaged and check-fw exits with 1)"
step check-fw || true
step update-fw "$bridge/sample-firmware.hex" --product "Demo Disk"
step check-fw
step read-flash --address 0x10000 | head -n 4
step erase-sector 0x3f000
step --json disk-size
step format --fs fat32 --cipher-size 48M --public-label PUBLIC --cipher-label SECRET
if command -v fsck.fat >/dev/null; then
  show fsck.fat -n "$bridge/public.img"
  show fsck.fat -n "$bridge/cipher.img"
fi
if command -v mdir >/dev/null; then
  show env MTOOLS_SKIP_CHECK=1 mdir -i "$bridge/public.img" ::
fi
step format --fs exfat --public-label Exchange
if command -v fsck.exfat >/dev/null; then
  show fsck.exfat -n "$bridge/public.img"
fi
head -c 300000 /dev/urandom > "$work/disc.iso"
step write-iso "$work/disc.iso"
show cmp -n 300000 "$work/disc.iso" "$bridge/iso.img"
step is-public
step has-password
echo "(passwords come from standard input, never from the command line)"
echo secret | step set-password --old
echo wrong | step verify-password --old || echo "(a wrong old-scheme password is refused: exit 1)"
echo secret | step verify-password --old
step clear-password --old
step hidden-count
head -c 1024 /dev/urandom > "$work/hidden.bin"
step hidden-write 0 "$work/hidden.bin"
step hidden-read 0 2 --output "$work/hidden-back.bin"
show cmp "$work/hidden.bin" "$work/hidden-back.bin"
printf 'asset tag 0042' > "$work/custom.bin"
step custom-write "$work/custom.bin"
step custom-read --length 14
step virtual-info
if [ "$keep" -eq 1 ]; then echo; echo "The bridge stays in $bridge"; fi
