#!/usr/bin/env bash
# Takes the README's screenshots of the real updater under Xvfb with Wine's X11 driver and writes them to
# docs/images: the dialog when ready, while it installs a patch (marquee bar running), when finished, and the
# About box, at 96 DPI; then the ready dialog and the About box at 144 DPI (NAME-144dpi.png). The updater is
# packed with two real patches and runs, once for each DPI, in a fresh copy of the engine tests' baseline prefix
# (both fixture products installed); scripts/screenshot-probe.cpp drives it from inside the same prefix and, in
# each of the four states at either DPI, checks that no control lies outside its dialog and no text is cut
# (the script fails if one is).
# Usage: scripts/screenshots.sh [--no-build]
#   --no-build: use build/ as it is instead of running scripts/build.sh first
# Installs xvfb, imagemagick and x11-utils when missing, and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ "${1:-}" = "--no-build" ] || scripts/build.sh

missing=()
for package in xvfb imagemagick x11-utils; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  echo "Installed: ${missing[*]}"
fi

work="$root/build/screenshots"
images="$root/docs/images"
installer_build="$root/build/mingw/tests/engine/installer"
baseline="$installer_build/baseline-prefix"
pack="$root/build/native/bin/corvantile-pack"
# Built with the tests (static, like every program of the tree), so that it runs in any prefix copy.
probe_exe="$root/build/mingw/bin/screenshot-probe.exe"
# Each patch writes this many MiB into the product, so that the dialog stays in its running state long
# enough for a screenshot.
payload_mib=${PAYLOAD_MIB:-96}
caption="Corvantile Updater"
about_caption="About Corvantile Updater"
idok=1 idcancel=2 id_status=1004 idm_about=40001

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$work" "$images"
prefix=$(mktemp -d "$work/prefix.XXXXXX")
export WINEPREFIX="$prefix"
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$prefix" "$work/Update.exe"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ ! -f "$baseline/.corvantile-baseline" ]; then
  echo "== Making the fixture products and the baseline prefix (ctest EngineInstallerFixtures)"
  ctest --test-dir build/mingw -R '^EngineInstallerFixtures$' --output-on-failure >/dev/null
fi
if [ ! -f "$work/payload/PatchX64.msp" ] || [ ! -f "$work/payload/PatchX86.msp" ] ||
   [ "$(cat "$work/payload/mib" 2>/dev/null)" != "$payload_mib" ]; then
  echo "== Making patches with ${payload_mib} MiB each (make-fixtures.py --payload-mib)"
  rm -rf "$work/payload"
  /usr/bin/python3 tests/engine/installer/make-fixtures.py --payload-mib "$payload_mib" "$work/payload" >/dev/null
  echo "$payload_mib" >"$work/payload/mib"
fi

echo "== Packing the updater"
[ -f "$probe_exe" ] || { echo "no $probe_exe: build the mingw tree first" >&2; exit 1; }
rm -f "$work/Update.exe"
"$pack" build --stub build/mingw/bin/CorvantileUpdater.exe --name "Example Server 10" --version 2.0.0.100 \
  --output "$work/Update.exe" "$work/payload/PatchX64.msp" "$work/payload/PatchX86.msp" >/dev/null

echo "== Starting Xvfb"
displayfd="$work/display"
rm -f "$displayfd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$displayfd" ] && break; sleep 0.1; done
[ -s "$displayfd" ] || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(head -n1 "$displayfd")"
export DISPLAY
echo "Display $DISPLAY"

# Runs the probe; its output goes through a file, since wineserver holds a program's pipes a while after it ends.
probe() {
  local out err rc=0
  out=$(mktemp) err=$(mktemp)
  wine "$probe_exe" "$@" </dev/null >"$out" 2>"$err" || rc=$?
  tr -d '\r' <"$out"
  tr -d '\r' <"$err" >&2
  rm -f "$out" "$err"
  return $rc
}
# Saves the screen's part at GEOMETRY (WxH+X+Y) as docs/images/NAME.png.
shot() {
  import -window root -crop "$2" +repage -strip -define png:compression-level=9 "$images/$1.png"
  echo "docs/images/$1.png ($2, $(stat -c %s "$images/$1.png") bytes)"
}

# A fresh copy of the baseline prefix with the X11 driver and the screen at DPI (Wine reads
# HKCU\Control Panel\Desktop\LogPixels, else HKLM\...\Hardware Profiles\Current\Software\Fonts\LogPixels),
# with a persistent server warmed up by a program whose output goes nowhere.
prepare_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  find "$prefix" -mindepth 1 -delete
  # Shares the lock that make-baseline-prefix.sh holds while it writes the baseline.
  (flock -s 9 && cp -a "$baseline/." "$prefix/") 9>"$baseline.lock"
  rm -f "$prefix/.corvantile-baseline"
  wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f </dev/null >/dev/null 2>&1
  # Without a window manager every hidden or destroyed managed window costs about 2 s.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f </dev/null >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
  wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}

# Checks the layout of the dialog with CAPTION as the probe sees it, and prints what it measured.
check_layout() {
  local report rc=0
  report=$(probe layout "$1") || rc=$?
  echo "$report" | sed 's/^/    /'
  [ "$rc" -eq 0 ] || { echo "the layout of '$1' has faults (see above)" >&2; exit 1; }
}

# Runs the updater through its states; takes each screenshot as docs/images/NAME$SUFFIX.png, the running and
# finished ones only when ALL is "all".
run_updater() {
  local suffix=$1 all=$2 geometry about_geometry started status running_after updater_pid rc
  (cd "$work" && exec wine Update.exe </dev/null >"$work/updater.log" 2>&1) &
  updater_pid=$!

  geometry=$(probe wait "$caption")
  probe wait-text "$caption" "$id_status" "Click 'OK' to continue" >/dev/null
  sleep 0.5
  shot "dialog-ready$suffix" "$geometry"
  check_layout "$caption"

  probe syscommand "$caption" "$idm_about"
  about_geometry=$(probe wait "$about_caption")
  sleep 0.5
  shot "about$suffix" "$about_geometry"
  check_layout "$about_caption"
  probe press "$about_caption" "$idok"
  probe wait-gone "$about_caption"

  probe press "$caption" "$idok"
  started=$(date +%s.%N)
  status=$(probe wait-text "$caption" "$id_status" "Installing update")
  sleep 0.3
  [ "$all" != all ] || shot "dialog-running$suffix" "$geometry"
  echo "  status: $status"
  check_layout "$caption"
  running_after=$(probe wait-text "$caption" "$id_status" "" )
  [[ $running_after == Installing* ]] || { echo "the update was over before the screenshot: '$running_after'" >&2; exit 1; }

  probe wait-text "$caption" "$id_status" "Finished updating." >/dev/null
  echo "  the update took about $(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
  sleep 0.5
  [ "$all" != all ] || shot "dialog-finished$suffix" "$geometry"
  check_layout "$caption"
  probe press "$caption" "$idcancel"
  probe wait-gone "$caption"
  rc=0
  wait "$updater_pid" || rc=$?
  [ "$rc" -eq 0 ] || { echo "the updater ended with exit code $rc" >&2; exit 1; }
  echo "  the updater ended with exit code 0"
}

echo "== Running the updater at 96 DPI"
prepare_prefix 96
run_updater "" all
echo "== Running the updater at 144 DPI"
prepare_prefix 144
run_updater -144dpi ready
echo "== Done"
