#!/usr/bin/env bash
# The Debian packages as a user meets them: builds them (scripts/make-packages.sh, lintian included),
# installs them with apt-get, uses what they installed (programs, man pages, completion, udev rule,
# menu entry, the library through pkg-config, the viewer's demo under Xvfb), purges them and checks
# that nothing of theirs is left. Needs root; the packages must not be installed already by hand.
#   tests/packaging/package_test.sh [--build-dir DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
build=build-deb
if [ "${1:-}" = "--build-dir" ]; then build=$2; fi
[ "$(id -u)" -eq 0 ] || { echo "package_test: needs root (apt-get install)" >&2; exit 2; }

packages=(viscana libquillon0 libquillon-dev quillon-tools)
passed=0
failed=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@" >"$work/check.out" 2>&1; then
    passed=$((passed + 1)); echo "ok: $what"
  else
    failed=$((failed + 1)); echo "FAILED: $what"; sed 's/^/    /' "$work/check.out" | tail -n 20
  fi
}
apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"; }
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
t0=$(date +%s)
scripts/make-packages.sh --build-dir "$build"
t1=$(date +%s)
debs=("$top/$build/packages"/*.deb)
[ "${#debs[@]}" -eq "${#packages[@]}" ] || { echo "expected ${#packages[@]} packages: ${debs[*]}" >&2; exit 1; }

# A previous run that stopped half-way leaves its packages; start from none.
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qvx not-installed; then apt purge "$p" >/dev/null; fi
done
# Every path the packages hold that the system does not have yet must be gone again after the purge.
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{print $6}' | sed 's|^\.||; s|/$||' | sort -u \
  | while read -r path; do [ -z "$path" ] || [ -e "$path" ] || [ -L "$path" ] || echo "$path"; done >"$work/new-paths"

apt install "${debs[@]}" >"$work/apt-install.log" 2>&1 || { cat "$work/apt-install.log"; exit 1; }
for p in "${packages[@]}"; do check "$p is installed" installed "$p"; done
version=$(dpkg-deb -f "${debs[0]}" Version)

# The programs, their version and their pages.
check "quillon --version" grep -qx "quillon $version" <(quillon --version)
check "Viscana --version" grep -qx "Viscana $version" <(Viscana --version)
check "viscana-virtual --version" grep -qx "viscana-virtual $version" <(viscana-virtual --version)
for page in quillon viscana viscana-virtual; do
  check "man -w $page" bash -c "man -w $page | grep -qx '/usr/share/man/man1/$page.1.gz'"
done
# man finds names without regard to case, so Viscana may come out as the page itself.
check "man -w Viscana" bash -c "man -w Viscana | grep -qxE '/usr/share/man/man1/(V|v)iscana.1.gz'"
check "man Viscana is viscana(1)" test "$(readlink /usr/share/man/man1/Viscana.1.gz)" = viscana.1.gz
check "man quillon renders without warnings" bash -c \
  '[ -z "$(MANWIDTH=100 man --warnings -E UTF-8 -l -Tutf8 -Z /usr/share/man/man1/quillon.1.gz 2>&1 >/dev/null)" ]'
check "the installed quillon(1) says what quillon --help says" \
  python3 tests/packaging/check_manpage.py /usr/share/man/man1/quillon.1.gz /usr/bin/quillon --subcommands

# A short session on a virtual bridge with the installed tool; the formatted image passes fsck.
vb=$work/vb
check "quillon --virtual init" quillon --virtual "$vb" init --disk-size 64M
check "quillon --virtual identify" bash -c "quillon --virtual '$vb' identify | grep -q FCC1"
check "quillon --virtual format" quillon --virtual "$vb" --quiet format --fs exfat --cipher-size 16M
check "fsck.exfat of the public image" fsck.exfat -n "$vb/public.img"
check "fsck.exfat of the cipher image" fsck.exfat -n "$vb/cipher.img"

# Completion as an interactive bash loads it.
check "complete -p quillon" bash -c \
  'source /usr/share/bash-completion/bash_completion; __load_completion quillon; complete -p quillon | grep -q "_quillon quillon"'
check "completion of 'quillon ide'" bash -c 'source /usr/share/bash-completion/bash_completion
  __load_completion quillon; COMP_WORDS=(quillon ide); COMP_CWORD=1; _quillon; [ "${COMPREPLY[*]}" = identify ]'

# The library through pkg-config, from the installed headers only.
check "a host program builds against libquillon-dev" bash -c "cc -std=c99 -Wall -Werror -o '$work/host' \
  tests/bridge_install/host.c \$(pkg-config --cflags --libs quillon) && ldd '$work/host' | grep -qE 'libQuillon.so.0 => (/usr)?/lib/[^ ]*/libQuillon.so.0'"

# Files where the distribution looks for them.
check "udev rule in /usr/lib/udev/rules.d" test -f /usr/lib/udev/rules.d/70-viscana-camera.rules
check "menu entry in /usr/share/applications" grep -qx "Exec=Viscana" /usr/share/applications/viscana.desktop
check "icon in the hicolor theme" test -f /usr/share/icons/hicolor/64x64/apps/viscana.png
check "metainfo validates" appstreamcli validate --no-net /usr/share/metainfo/org.viscana.Viscana.metainfo.xml

# The demo: the viewer on the virtual camera under Xvfb; its log tells when the camera's picture
# reached the window. It is given up to 90 s for that (a busy machine starts it slowly), then shown for
# two seconds more and closed with SIGINT, as a user would.
run=$work/run
mkdir -p "$run" "$work/xdg"
chmod 700 "$work/xdg"
cat >"$work/demo.sh" <<'DEMO'
viscana-virtual --size 640x480 & pid=$!
for _ in $(seq 180); do
  grep -q "live view: first picture" CameraApp.log 2>/dev/null && { sleep 2; break; }
  kill -0 $pid 2>/dev/null || break
  sleep 0.5
done
kill -INT $pid 2>/dev/null
wait $pid
DEMO
(cd "$run" && XDG_RUNTIME_DIR=$work/xdg HOME=$work xvfb-run -a -s "-screen 0 1280x800x24" \
  bash "$work/demo.sh" >"$work/demo.out" 2>&1; echo "exit status $?" >>"$work/demo.out")
check "viscana-virtual showed a live picture (CameraApp.log)" bash -c "grep -qE 'live view: first picture [0-9]+ x [0-9]+' \
  '$run/CameraApp.log' || { tail -n 15 '$run/CameraApp.log' '$work/demo.out'; false; }"
check "viscana-virtual closed cleanly on SIGINT" grep -qx "exit status 0" "$work/demo.out"

# Purge: no package, file or folder of theirs is left.
apt purge "${packages[@]}" >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log"; exit 1; }
# Purged: dpkg knows the package no more, or only as not installed (no configuration files left).
for p in "${packages[@]}"; do
  check "$p is purged" bash -c "! dpkg-query -W -f='\${db:Status-Status}\n' '$p' 2>/dev/null | grep -qvx not-installed"
done
check "nothing of the packages is left" bash -c "! while read -r p; do [ -e \"\$p\" ] || [ -L \"\$p\" ] && echo \"left: \$p\"; done <'$work/new-paths' | grep ."
check "quillon is gone" bash -c '! command -v quillon'
t2=$(date +%s)

echo "package_test: packages built and checked in $((t1 - t0)) s, installed, used and purged in $((t2 - t1)) s"
echo "package_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
