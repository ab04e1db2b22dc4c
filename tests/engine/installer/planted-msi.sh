#!/usr/bin/env bash
# Plants an msi.dll that leaves a marker when loaded beside a program that runs a real update, and runs it with
# Windows' search order (native DLLs first; Wine otherwise prefers its builtin whatever lies beside a program).
# A control first shows that a plain load in that folder does pick up the planted DLL, so the test can fail.
# Then the real updater, packed with the fixture patches (CORVANTILE_FIXTURES), updates both products with the
# same DLL planted beside it under the name of every DLL that loads once the updater runs: msi.dll and what
# Wine's Installer loads with it. None may be loaded. (DLLs that Wine loads while the process starts, before
# the updater's first line, would be taken from the folder under such overrides: Wine has no known DLLs to
# protect them. On Windows the updater imports known DLLs only, which check-updater-image.py checks.)
# Usage: planted-msi.sh BASELINE_PREFIX PLANTED_DLL TEST_PROGRAM WORK_DIR
set -u
baseline=$1 planted=$2 program=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
bin=$(dirname "$program")
rm -rf "$work"
mkdir -p "$work"
# The update packs with the real tool and reads the updater's strings, both found beside the program.
cp "$program" "$bin/CorvantileUpdater.exe" "$bin/corvantile-pack.exe" "$(dirname "$planted")/PlainMsiLoader.exe" \
   "$work/" || exit 1
cp "$planted" "$work/msi.dll" || exit 1
marker="$work/msi.dll.loaded"
export CORVANTILE_DLL_OVERRIDES="msi=n,b"

"$here/run-in-prefix-copy.sh" "$baseline" "$work/PlainMsiLoader.exe" >/dev/null 2>&1
[ -e "$marker" ] ||
    fail "control: a plain LoadLibraryW beside the planted msi.dll did not load it; the test could not fail"
rm -f "$marker"

"$here/run-in-prefix-copy.sh" "$baseline" "$work/$(basename "$program")" \
    --gtest_filter=EngineWithInstaller.PatchesBothProductsX64First
rc=$?
[ ! -e "$marker" ] || fail "the planted msi.dll beside the program was loaded"
[ $rc -eq 0 ] || fail "the update did not work beside the planted msi.dll (exit $rc)"
echo "the update worked and the planted msi.dll was never loaded"

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
fixtures=${CORVANTILE_FIXTURES:?CORVANTILE_FIXTURES must name the fixtures}
"$here/run-in-prefix-copy.sh" "$baseline" "$work/corvantile-pack.exe" build \
    --stub "$(windows_path "$work/CorvantileUpdater.exe")" --name "Corvantile Fixtures" --version 1.0.1 \
    --output "$(windows_path "$work/Update.exe")" \
    "$(windows_path "$fixtures/PatchX64.msp")" "$(windows_path "$fixtures/PatchX86.msp")" >/dev/null 2>&1 ||
    fail "could not pack the updater"
late_dlls="bcrypt cabinet crypt32 dbghelp imagehlp mpr msi mspatcha odbccp32 oleaut32 sxs urlmon wininet wintrust ws2_32"
overrides=""
for name in $late_dlls; do
    [ "$name" = msi ] || cp "$planted" "$work/$name.dll" || exit 1
    overrides="$overrides${overrides:+;}$name=n,b"
done
CORVANTILE_DLL_OVERRIDES=$overrides "$here/run-in-prefix-copy.sh" "$baseline" "$work/Update.exe" -a -l \
    "$(windows_path "$work/logs")"
rc=$?
loaded=$(cd "$work" && ls -- *.loaded 2>/dev/null)
[ -z "$loaded" ] || fail "DLLs planted beside the packing tool and the updater were loaded:" $loaded
log=$(iconv -f UTF-16LE -t UTF-8 "$work/logs/CorvantileUpdater.log" 2>/dev/null | tr -d '\r')
if [ $rc -ne 0 ] || ! grep -q "All updates applied successfully and MSI transaction committed.$" <<<"$log"; then
    fail "the updater did not update beside the planted DLLs (exit $rc):"$'\n'"$log"
fi
rm -rf "$work"
echo "the updater updated both products and loaded none of the $(wc -w <<<"$late_dlls") DLLs planted beside it"
