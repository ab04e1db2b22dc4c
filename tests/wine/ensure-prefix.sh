#!/usr/bin/env bash
# Makes the Wine prefix named by WINEPREFIX once (null graphics driver: windows work, nothing is drawn) and
# keeps one persistent wineserver for it, so that test programs start in tens of milliseconds.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build tree}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
ready="$WINEPREFIX/.corvantile-ready"
[ -f "$ready" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$ready" ] && exit 0
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1
wineserver -w
wineserver -p >/dev/null 2>&1
# The first program's helper processes would otherwise inherit a caller's pipes and hold them open.
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
touch "$ready"
