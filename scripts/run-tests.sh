#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, and runs CTest for the Linux build and for the
# 32-bit Windows leg under Wine.
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
run_linux() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

run_windows() {
  local dir=build-win32
  export WINEDEBUG=-all WINEPREFIX="$top/$dir/wineprefix"
  if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$WINEPREFIX"
    WINEARCH=win32 wineboot -i >/dev/null 2>&1 || true
  fi
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DBUILD_VIEWER=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j 1 "${ctest_args[@]}")
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
    run_linux build-asan -DENABLE_SANITIZERS=ON -DCMAKE_BUILD_TYPE=Debug -DBUILD_BENCHMARKS=OFF ;;
  tsan)
    export TSAN_OPTIONS=${TSAN_OPTIONS:-"suppressions=$top/tests/tsan.supp halt_on_error=1"}
    run_linux build-tsan -DENABLE_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DBUILD_BENCHMARKS=OFF ;;
esac
