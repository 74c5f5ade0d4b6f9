#!/usr/bin/env bash
# Runs the kernel tests: the programs built here, in a QEMU guest running Debian's own kernel on this
# machine's root file system, against the virtual devices attached as real USB devices (usbredir).
# One guest boot runs every test of testing/kernel_vm/suite.txt.
#
#   scripts/run-kernel-tests.sh                  install what is missing, build, boot, run every test
#   scripts/run-kernel-tests.sh --only camera    only the tests whose name contains "camera"
#   scripts/run-kernel-tests.sh --timeout S      limit for the whole guest (default 900 s; each test 720 s)
#   scripts/run-kernel-tests.sh --env NAME=VALUE  passed to the guest tests (e.g. CAMERA_CYCLES=3)
#   scripts/run-kernel-tests.sh --no-build       use the build folder as it is
#   scripts/run-kernel-tests.sh --no-deps        install nothing (what is needed is there)
#   VM_ACCEL=tcg|kvm                             force the accelerator (default: KVM only where it works)
# Results: build/kernel-vm/out/<test>/ (log, rc, files), serial console in build/kernel-vm/out/serial.log.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
only=""
timeout=900
test_timeout=720
envs=()
build=1
deps=1
build_dir=${BUILD_DIR:-$top/build}
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=${2:?--only needs a name}; shift ;;
    --timeout) timeout=${2:?--timeout needs seconds}; shift ;;
    --no-build) build=0 ;;
    --no-deps) deps=0 ;;
    --env) envs+=(--env "${2:?--env needs NAME=VALUE}"); shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

suite=testing/kernel_vm/suite.txt
targets=() devices=() tests=()
while read -r kind rest; do
  case "$kind" in
    target) targets+=("$rest") ;;
    device) devices+=("${rest%% *}=${rest#* }") ;;
    test) if [ -z "$only" ] || [[ "$(basename "$rest" .sh)" == *"$only"* ]]; then tests+=("$rest"); fi ;;
  esac
done < <(grep -v '^\s*\(#\|$\)' "$suite")
[ ${#tests[@]} -gt 0 ] || { echo "run-kernel-tests: no test matches '$only'" >&2; exit 2; }

[ $deps -eq 0 ] || scripts/install-deps.sh --kernel
if [ $build -eq 1 ]; then
  # A build folder configured before the usbredir parser was installed has no usbredir-device yet.
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -G Ninja >/dev/null
  elif ! grep -q 'usbredir-device' "$build_dir/build.ninja" 2>/dev/null; then
    cmake -S . -B "$build_dir" -U 'USBREDIRPARSER*' >/dev/null
  fi
  nice cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"
fi
cache=$(testing/kernel_vm/prepare.sh)

args=()
for d in "${devices[@]}"; do args+=(--device "$d"); done
for t in "${tests[@]}"; do args+=(--test "$top/$t"); done
exec python3 testing/kernel_vm/run_vm.py --cache "$cache" --vm-dir "$build_dir/kernel-vm" --src "$top" \
  --build "$build_dir" --emulator "$build_dir/testing/usbredir_device/usbredir-device" --timeout "$timeout" \
  --test-timeout "$test_timeout" "${args[@]}" "${envs[@]}"
