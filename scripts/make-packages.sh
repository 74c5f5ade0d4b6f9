#!/usr/bin/env bash
# Builds the Debian packages viscana, libquillon0, libquillon-dev and quillon-tools with CPack, then
# checks each with lintian and the viewer's metainfo with appstreamcli. Only the packaged programs are
# built, in Release with Debian's hardening flags, in their own build tree.
#
#   scripts/make-packages.sh                 packages into build-deb/packages/
#   scripts/make-packages.sh --build-dir DIR  another build tree (packages into DIR/packages/)
#   scripts/make-packages.sh --no-lintian     skip the checks
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=build-deb
check=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift ;;
    --no-lintian) check=0 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "make-packages: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
out=$build/packages

scripts/install-deps.sh --packaging

# Debian's hardening flags (without -g: the packages are stripped), read once when the tree is new.
if [ ! -f "$build/CMakeCache.txt" ]; then
  export CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
  export CFLAGS="$(dpkg-buildflags --get CFLAGS | sed 's/^-g //; s/ -g / /') $CPPFLAGS"
  export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS | sed 's/^-g //; s/ -g / /') $CPPFLAGS"
  export LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
fi
# The virtual bridge and the virtual camera live with the test doubles, so the test tree is configured,
# though none of the tests is built.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target Viscana viscana-virtual Quillon quillon man_pages

rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$top/$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb

if [ "$check" -eq 1 ]; then
  # Overrides, each with its reason, ship in the packages (cmake/debian/*.lintian-overrides).
  lintian --fail-on error,warning --suppress-tags-from-file /dev/null "$out"/*.deb
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  dpkg-deb -x "$out"/viscana_*.deb "$stage"
  appstreamcli validate --no-net "$stage"/usr/share/metainfo/*.metainfo.xml
  echo "make-packages: lintian and appstreamcli found nothing to report"
fi
