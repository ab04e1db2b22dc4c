#!/usr/bin/env bash
# The whole job, start to end: builds everything, makes two real Installer products and their patches,
# installs both products into a private Wine prefix, packs an updater with the two patches, lists it,
# extracts it (comparing the extracted files with the patches), then runs it silently with a log under Wine
# and shows the log, the Installer's log files, the installed files before and after, and the exit code.
set -euo pipefail
cd "$(dirname "$0")"
scripts/build.sh

root="$PWD"
demo="$root/build/demo"
fixtures="$demo/fixtures"
prefix="$demo/prefix"
pack="$root/build/native/bin/corvantile-pack"
installer_tests="$root/tests/engine/installer"

export WINEPREFIX="$prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
# A server left over from an earlier demo would hold the old prefix.
if [ -d "$prefix" ]; then
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
fi
rm -rf "$demo"
mkdir -p "$demo"

# Runs a Windows program in the demo prefix from build/demo. Its output goes through files, since
# wineserver holds a program's pipes for a while after it ends; the exit code is Wine's (its low 8 bits).
wine_in_demo() {
  local out err rc=0
  out=$(mktemp) err=$(mktemp)
  (cd "$demo" && wine "$@" >"$out" 2>"$err" </dev/null) || rc=$?
  cat "$out"; cat "$err" >&2
  rm -f "$out" "$err"
  return $rc
}
# One fact of fixtures.json by its keys (e.g. products x64 msi), exactly as written: no newline is added.
fact() {
  python3 -c 'import functools, json, sys
sys.stdout.write(str(functools.reduce(lambda value, key: value[key], sys.argv[2:], json.load(open(sys.argv[1])))))' \
    "$fixtures/fixtures.json" "$@"
}
# The installed file of a product (x64 or x86) in the prefix.
installed() { printf '%s/%s' "$prefix" "$(fact products "$1" file_in_prefix)"; }
show_installed() {
  local key
  for key in x64 x86; do
    printf '  %-56s %s\n' "$(fact products "$key" file_path):" "$(tr -d '\r' <"$(installed "$key")")"
  done
}
# The product's installed file holds exactly the contents of one fixture fact (e.g. x64 products x64 original).
holds() { local product=$1; shift; cmp -s "$(installed "$product")" <(fact "$@"); }

echo "== Making the Installer products and patches (build/demo/fixtures)"
/usr/bin/python3 "$installer_tests/make-fixtures.py" "$fixtures" >/dev/null
ls "$fixtures"

echo "== Installing both products into the demo prefix (build/demo/prefix)"
"$installer_tests/make-baseline-prefix.sh" "$fixtures" "$prefix"
# One persistent server for the runs below, warmed up by a program whose output goes nowhere: its helper
# processes would otherwise inherit the first program's output.
wineserver -p >/dev/null 2>&1 || true
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
echo "Installed files before the update:"
show_installed

echo "== Packing build/demo/Update.exe with PatchX64.msp and PatchX86.msp"
"$pack" build --stub build/mingw/bin/CorvantileUpdater.exe --name "Corvantile Fixtures" --version 1.0.1 \
  --output "$demo/Update.exe" "$fixtures/PatchX64.msp" "$fixtures/PatchX86.msp"

echo "== Listing it"
"$pack" list "$demo/Update.exe"

echo "== Extracting it with the updater under Wine: Update.exe -x .\\extracted"
wine_in_demo Update.exe -x '.\extracted' || { echo "the updater's extraction failed (exit code $?)"; exit 1; }
for patch in PatchX64.msp PatchX86.msp; do
  cmp "$fixtures/$patch" "$demo/extracted/$patch"
done
echo "Extracted files are identical to the patches: $(ls "$demo/extracted" | tr '\n' ' ')"
holds x64 products x64 original && holds x86 products x86 original || { echo "extracting must not change what is installed"; exit 1; }

echo "== Updating with the updater under Wine: Update.exe -a -l .\\logs"
rc=0
wine_in_demo Update.exe -a -l '.\logs' || rc=$?
echo "== The updater's log (build/demo/logs/CorvantileUpdater.log)"
# A failed run still shows what it left.
if [ -f "$demo/logs/CorvantileUpdater.log" ]; then
  iconv -f UTF-16LE -t UTF-8 "$demo/logs/CorvantileUpdater.log" | tr -d '\r'
else
  echo "(no log)"
fi
echo "== The Installer's log files (build/demo/logs)"
shopt -s nullglob
for log in "$demo"/logs/Patch*.log; do
  printf '  %-70s %s bytes\n' "$(basename "$log")" "$(stat -c %s "$log")"
done
echo "== Installed files after the update"
show_installed
for key in x64 x86; do
  if ! holds "$key" patches "Patch${key^^}.msp" contents "$key"; then
    echo "the ${key} product's file does not hold the patched contents"
    [ "$rc" -ne 0 ] || rc=1
  fi
done
echo "== The updater's exit code: $rc"
exit "$rc"
