#!/usr/bin/env bash
# Builds the Windows downloads into out/ and prints their sizes:
#   Quillon-<version>-win32-sdk.zip    (needs only the mingw-w64 compilers; tree build-win32/)
#   Viscana-<version>-win32.zip        the program folder as it runs
#   Viscana-<version>-win32-setup.exe  its NSIS installer (Debian's nsis)
# The viewer's two need the Windows dependency kit (scripts/build-windows-deps.sh) and are built in the
# viewer's tree build-win32-viewer/ by scripts/build-windows-viewer.sh. Options: --sdk-only.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sdk_only=0
case "${1:-}" in
  --sdk-only) sdk_only=1 ;;
  -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
  "") ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
esac
out=$top/out
mkdir -p "$out"

# The library's SDK.
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake >/dev/null
cmake --build build-win32 -j2 --target Quillon quillon quillon_msvc_import_library
(cd build-win32 && cpack -G ZIP -D CPACK_COMPONENTS_ALL=quillon >/dev/null)
cp build-win32/packages/Quillon-*-win32-sdk.zip "$out/"

# The viewer's zip and installer.
if [ "$sdk_only" = 0 ]; then
  if [ ! -x scripts/build-windows-viewer.sh ]; then
    echo "scripts/build-windows-viewer.sh is missing: only the library's SDK was made" >&2
  else
    scripts/build-windows-viewer.sh Viscana
    (cd build-win32-viewer && cpack -G ZIP -D CPACK_COMPONENTS_ALL=viscana >/dev/null && cpack -G NSIS >/dev/null)
    cp build-win32-viewer/packages/Viscana-*-win32.zip build-win32-viewer/packages/Viscana-*-win32-setup.exe "$out/"
  fi
fi

echo "Windows downloads in $out:"
(cd "$out" && ls -l --block-size=K -- *.zip *.exe 2>/dev/null | awk '{print "  " $5 "  " $NF}')
