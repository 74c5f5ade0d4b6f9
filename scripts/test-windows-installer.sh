#!/usr/bin/env bash
# Installs out/Viscana-*-win32-setup.exe silently into a fresh 32-bit Wine prefix, starts the installed
# program for a few seconds (on Xvfb), uninstalls it silently and checks that nothing is left behind:
# no program folder, no Start-menu entry, no uninstall record; installed again, it keeps a photo the user
# took when it is uninstalled. Exit status 0 when all hold. Where this
# host's kernel refuses 32-bit programs (the installer is one), it runs in the QEMU guest
# (scripts/run-win32.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
setup=$(ls "$top"/out/Viscana-*-win32-setup.exe 2>/dev/null | head -1)
[ -n "$setup" ] || { echo "no installer in out/: run scripts/make-windows-downloads.sh" >&2; exit 1; }
if ! /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
  exec "$top/scripts/run-win32.sh" --guest -- "$0" "$@"
fi

export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/viscana-setup.XXXXXX)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1
programs=$(winepath -u "$(wine cmd /c echo %ProgramFiles% 2>/dev/null | tr -d '\r')")
menu=$(winepath -u "$(wine cmd /c echo %ProgramData% 2>/dev/null | tr -d '\r')")/Microsoft/Windows/"Start Menu"/Programs
fail() { echo "FAIL: $*" >&2; exit 1; }

wine "$setup" /S
wineserver -w
[ -f "$programs/Viscana/Viscana.exe" ] || fail "Viscana.exe is not in $programs/Viscana"
find "$menu" -iname 'Viscana*.lnk' | grep -q . || fail "no Start-menu entry under $menu"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Viscana' >/dev/null 2>&1 ||
  fail "no uninstall record"

# Started as its Start-menu entry starts it: in its own folder.
(cd "$programs/Viscana" && exec timeout 180 xvfb-run -a wine ./Viscana.exe >/dev/null 2>&1) &
run=$!
for _ in $(seq 1200); do  # until its first scan (slow under a software-emulated CPU)
  grep -q "ScanDiverNumber start" "$programs/Viscana/CameraApp.log" 2>/dev/null && break
  sleep 0.1
done
wine taskkill /im Viscana.exe >/dev/null 2>&1 || true
wait "$run" || true
[ -f "$programs/Viscana/CameraApp.log" ] || fail "the installed program wrote no CameraApp.log"
grep -q "ScanDiverNumber start" "$programs/Viscana/CameraApp.log" || fail "the installed program did not reach its first scan"
wineserver -k 2>/dev/null || true

uninstall() {
  wine "$programs/Viscana/Uninstall.exe" /S
  wineserver -w
  sleep 2  # the uninstaller finishes from a copy of itself
  wineserver -w
}

uninstall
[ ! -e "$programs/Viscana" ] || fail "left behind: $(find "$programs/Viscana" | head -5 | tr '\n' ' ')"
! find "$menu" -iname 'Viscana*' | grep -q . || fail "the Start-menu entry is left behind"
! wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Viscana' >/dev/null 2>&1 ||
  fail "the uninstall record is left behind"

# The user's photos and videos stay: installed again, a photo in Camera\, uninstalled.
wine "$setup" /S
wineserver -w
mkdir -p "$programs/Viscana/Camera"
echo photo >"$programs/Viscana/Camera/20260101120000000.jpg"
uninstall
[ -f "$programs/Viscana/Camera/20260101120000000.jpg" ] || fail "the uninstaller deleted the user's photo"
[ ! -e "$programs/Viscana/Viscana.exe" ] || fail "Viscana.exe is left behind beside the user's photos"
echo "installer: installed, started, uninstalled; nothing left behind; the user's photos kept"
