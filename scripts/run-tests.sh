#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, and runs CTest for the Linux build and for the
# 32-bit Windows leg under Wine (the library's tree build-win32/, then the viewer's build-win32-viewer/,
# whose Qt kit and media libraries are cross-built from Debian's sources once and cached).
#
#   scripts/run-tests.sh                 Linux tests, then the Windows leg under Wine
#   scripts/run-tests.sh --linux         Linux tests only
#   scripts/run-tests.sh --windows       Windows leg only
#   scripts/run-tests.sh --sanitize      Linux tests built with ASan + UBSan (build-asan/)
#   scripts/run-tests.sh --tsan          Linux tests built with ThreadSanitizer (build-tsan/)
#   extra arguments after -- go to ctest (for example: -- -R Parser)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

mode=all
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --linux) mode=linux ;;
    --windows) mode=windows ;;
    --sanitize) mode=asan ;;
    --tsan) mode=tsan ;;
    --) shift; ctest_args=("$@"); break ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

jobs=$(nproc)
need_windows=0
case "$mode" in all|windows) need_windows=1 ;; esac
if [ "$need_windows" -eq 1 ]; then scripts/install-deps.sh --windows; else scripts/install-deps.sh; fi

# Long-running tests are cut short by CTest's time-outs; every build is configured the same way.
# build_targets, when set, limits the build to those targets (the ThreadSanitizer leg runs a few tests).
build_targets=()
run_linux() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  if [ ${#build_targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${build_targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

# The Windows leg. The product is the 32-bit build: it is always built and its export table checked.
# Its tests run under 32-bit Wine where the host can execute 32-bit x86 programs; hosts that cannot
# (some virtual machines refuse them with "Exec format error") run the same tests cross-built for
# 64-bit Windows under 64-bit Wine instead, which exercises the same Windows code paths except the
# 32-bit request layout.
windows_build() {
  local dir=$1 toolchain=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DBUILD_VIEWER=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$dir" -j "$jobs"
}

windows_test() {
  local dir=$1 wine=$2 arch=$3
  export WINEDEBUG=-all WINEPREFIX="$top/$dir/wineprefix"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    WINEARCH=$arch timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
  fi
  (cd "$dir" && ctest --output-on-failure -j 1 "${ctest_args[@]}")
}

check_win32_exports() {
  local dll=build-win32/bridge/Quillon.dll
  local want got
  want=$(grep -E '^[A-Za-z_][A-Za-z0-9_]*$' bridge/exports.list | sort)
  got=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
        | grep -E '^\s+\[' | grep -oE '[A-Za-z_][A-Za-z0-9_@]*$' | sort)
  if [ "$want" != "$got" ]; then
    echo "Quillon.dll (32-bit) exports differ from bridge/exports.list:" >&2
    diff <(echo "$want") <(echo "$got") >&2 || true
    return 1
  fi
  echo "Quillon.dll (32-bit): $(echo "$got" | wc -l) undecorated exports, as listed"
}

can_run_win32() {
  WINEDEBUG=-all WINEPREFIX="$top/build-win32/wineprefix" timeout 120 wine cmd /c exit >/dev/null 2>&1
}

# The Windows viewer: Viscana.exe and its program folder, tested under 32-bit Wine. Its dependencies
# (scripts/build-windows-deps.sh) are built when the cache lacks them. Where this host's kernel refuses
# 32-bit programs, the tests that start them run in the QEMU guest on Debian's own kernel
# (scripts/run-win32.sh), the rest here.
windows_viewer() {
  local t0=$(date +%s) win32=(-R '^(test_libusb_standin|wine_viewer\.)')
  scripts/build-windows-viewer.sh
  echo "Windows viewer built in $(( $(date +%s) - t0 )) s"
  if [ "${1:-}" = no-win32 ]; then
    (cd build-win32-viewer && ctest --output-on-failure -E '^(test_libusb_standin|wine_viewer\.)' "${ctest_args[@]}")
    scripts/run-win32.sh -- ctest --test-dir build-win32-viewer --output-on-failure "${win32[@]}" "${ctest_args[@]}"
  else
    (cd build-win32-viewer && ctest --output-on-failure "${ctest_args[@]}")
  fi
  echo "Windows viewer leg: $(( $(date +%s) - t0 )) s"
}

run_windows() {
  windows_build build-win32 cmake/toolchain-mingw-i686.cmake
  check_win32_exports
  if can_run_win32; then
    windows_test build-win32 wine win32
    windows_viewer
  else
    echo "NOTE: this host cannot run 32-bit programs; running the Windows tests built for 64-bit Windows under wine64"
    windows_build build-win64 cmake/toolchain-mingw-x86_64.cmake
    windows_test build-win64 /usr/lib/wine/wine64 win64
    # And the 32-bit build itself, under 32-bit Wine in the QEMU guest.
    scripts/run-win32.sh -- bash -c 'export WINEDEBUG=-all WINEPREFIX="$PWD/build-win32/wineprefix"
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"; WINEARCH=win32 timeout 600 wineboot -i >/dev/null 2>&1; timeout 120 wineserver -w
      fi
      cd build-win32 && ctest --output-on-failure -j 1 "$@"' run-tests "${ctest_args[@]}"
    # The viewer is a 32-bit program with a 32-bit Qt kit: its tests that start it run in the guest.
    windows_viewer no-win32
  fi
}

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"

case "$mode" in
  all) run_linux build; run_windows ;;
  linux) run_linux build ;;
  windows) run_windows ;;
  asan)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    # Qt's offscreen platform plugin leaks its screen when a widget application ends.
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/tests/lsan_qt_offscreen.supp}
    run_linux build-asan -DENABLE_SANITIZERS=ON -DCMAKE_BUILD_TYPE=Debug -DBUILD_BENCHMARKS=OFF ;;
  tsan)
    export TSAN_OPTIONS=${TSAN_OPTIONS:-"suppressions=$top/tests/tsan.supp halt_on_error=1"}
    if [ -n "${TSAN_TARGETS:-}" ]; then read -r -a build_targets <<<"$TSAN_TARGETS"; fi
    run_linux build-tsan -DENABLE_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DBUILD_BENCHMARKS=OFF ;;
esac
