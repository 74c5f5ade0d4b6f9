#!/usr/bin/env bash
# Builds the 32-bit Windows viewer (Viscana.exe) in build-win32-viewer/ against the Qt kit and media
# libraries that scripts/build-windows-deps.sh cross-builds from Debian's sources (built when missing,
# which takes about 40 minutes once; cached afterwards).
#
#   scripts/build-windows-viewer.sh [TARGET...]    default: every target of the tree
#
# The tree is separate from build-win32/ (the library's), because a Qt program links the compiler's
# runtime DLLs that the Qt DLLs use, while the library and its tests link it statically.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

prefixes=$(scripts/build-windows-deps.sh)
QT_PREFIX=$(sed -n 's/^QT_PREFIX=//p' <<<"$prefixes")
DEPS_PREFIX=$(sed -n 's/^DEPS_PREFIX=//p' <<<"$prefixes")
[ -d "$QT_PREFIX" ] && [ -d "$DEPS_PREFIX" ] || { echo "build-windows-viewer: no dependency prefixes" >&2; exit 1; }

dir=build-win32-viewer
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_FIND_ROOT_PATH="$QT_PREFIX;$DEPS_PREFIX" \
  -DBUILD_BRIDGE=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
