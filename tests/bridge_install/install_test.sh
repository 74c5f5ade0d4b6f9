#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds host.c against the installed headers and library with
# pkg-config, and runs it on a virtual bridge made by the installed quillon tool (the preload library
# puts the bridge behind /dev/qvb1).
#   install_test.sh BUILD_DIR SOURCE_DIR PRELOAD_LIBRARY
set -euo pipefail
build=$1 source=$2 preload=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# Only the library's components: the viewer's installation touches the system's udev rules.
for component in quillon_runtime quillon_dev quillon; do
  cmake --install "$build" --prefix "$prefix" --component $component >/dev/null
done
[ ! -e "$prefix/bin/Viscana" ] || { echo "the quillon components installed the viewer" >&2; exit 1; }
for f in bin/quillon include/quillon/quillon.h include/quillon/quillon_device.h \
    lib/udev/rules.d/70-quillon-bridge.rules; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
pc=$(find "$prefix" -name quillon.pc)
[ -n "$pc" ] || { echo "quillon.pc not installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir quillon)
[ -e "$libdir/libQuillon.so" ] || { echo "libQuillon.so not where quillon.pc says ($libdir)" >&2; exit 1; }

# Only the installed headers: the compiler sees no source folder.
cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/host" "$source/tests/bridge_install/host.c" \
  $(pkg-config --cflags --libs quillon) -Wl,-rpath,"$libdir"
c++ -std=c++17 -Wall -Werror -x c++ -o "$work/host_cxx" "$source/tests/bridge_install/host.c" \
  $(pkg-config --cflags --libs quillon) -Wl,-rpath,"$libdir"
ldd "$work/host" | grep -F "$libdir/libQuillon.so" >/dev/null || { echo "host does not use the installed library" >&2; exit 1; }

"$prefix/bin/quillon" --virtual "$work/bridge" init --firmware-word 0x02010304 >/dev/null
out=$(LD_PRELOAD=$preload QUILLON_VIRTUAL_DIR=$work/bridge "$work/host" /dev/qvb1)
echo "$out"
[ "$out" = "firmware 0x02010304 serial VB0000000001" ] || { echo "unexpected answer" >&2; exit 1; }
out=$(LD_PRELOAD=$preload QUILLON_VIRTUAL_DIR=$work/bridge "$work/host_cxx" /dev/qvb1)
[ "$out" = "firmware 0x02010304 serial VB0000000001" ] || { echo "unexpected answer (C++)" >&2; exit 1; }
# A path that reaches no bridge fails cleanly.
if LD_PRELOAD=$preload QUILLON_VIRTUAL_DIR=$work/bridge "$work/host" /dev/qvb9 2>/dev/null; then
  echo "a missing bridge was reported as found" >&2
  exit 1
fi
echo "installed library, headers, pkg-config file and tool work for a host program"
