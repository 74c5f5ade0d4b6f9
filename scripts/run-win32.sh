#!/usr/bin/env bash
# Runs a command where 32-bit x86 programs run, so that 32-bit Wine can start the 32-bit Windows
# programs: on this host when it runs them; otherwise (a kernel without IA-32 emulation refuses them
# with "Exec format error") in the kernel test guest, a QEMU guest on Debian's own kernel and this
# machine's root file system. In the guest the current folder and each --share folder are writable at
# their own paths; everything else is a read-only view of this machine under a throw-away overlay.
# The command's environment goes with it (the display aside: it starts its own X server there).
#
#   scripts/run-win32.sh [--share DIR]... [--timeout S] [--memory MB] [--guest] -- COMMAND [ARGS...]
#
# --guest uses the guest even where this host runs 32-bit programs. The command's output is shown
# as it ends; the exit status is the command's (124 when it ran out of time).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
shares=("$PWD")
timeout=1800
memory=3072
force_guest=0
while [ $# -gt 0 ]; do
  case "$1" in
    --share) shares+=("$(realpath "${2:?--share needs a folder}")"); shift ;;
    --timeout) timeout=${2:?}; shift ;;
    --memory) memory=${2:?}; shift ;;
    --guest) force_guest=1 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "usage: run-win32.sh [--share DIR]... -- COMMAND [ARGS...]" >&2; exit 2; }

runs_32bit_here() { /lib/ld-linux.so.2 --help >/dev/null 2>&1; }
if [ "$force_guest" = 0 ] && runs_32bit_here; then
  exec "$@"
fi

"$top/scripts/install-deps.sh" --kernel >/dev/null
cache=$("$top/testing/kernel_vm/prepare.sh")
vm_dir=$(mktemp -d "${TMPDIR:-/tmp}/win32-guest.XXXXXX")
trap 'rm -rf "$vm_dir"' EXIT

# The guest test: the caller's environment and folder, then the command.
{
  echo '#!/bin/bash'
  export -p | grep -Ev '^declare -x (DISPLAY|XAUTHORITY|WAYLAND_DISPLAY|XDG_RUNTIME_DIR|SHLVL|OLDPWD|PWD|_|TMPDIR)='
  printf 'cd %q\n' "$PWD"
  printf '%q ' "$@"
  echo
} >"$vm_dir/command.bash"
printf 'exec bash %q\n' "$vm_dir/command.bash" >"$vm_dir/command.sh"

# Unique paths only: QEMU refuses two shares of one folder.
mapfile -t shares < <(printf '%s\n' "${shares[@]}" | sort -u)
args=()
for d in "${shares[@]}"; do args+=(--share "$d"); done
echo "run-win32: this host does not run 32-bit programs; running in the QEMU guest: $*"
set +e
python3 "$top/testing/kernel_vm/run_vm.py" --cache "$cache" --vm-dir "$vm_dir" --src "$top" --build "$top/build" \
  --emulator /bin/false --timeout $(( timeout + 120 )) --test-timeout "$timeout" --memory "$memory" \
  --test "$vm_dir/command.sh" "${args[@]}" >"$vm_dir/runner.txt" 2>&1
set -e
cat "$vm_dir/out/command/log" 2>/dev/null || true
rc=$(cat "$vm_dir/out/command/rc" 2>/dev/null || echo none)
if [ "$rc" = none ]; then
  echo "run-win32: the guest did not finish the command" >&2
  grep -v '^  command|' "$vm_dir/runner.txt" >&2 || true
  exit 125
fi
exit "$rc"
