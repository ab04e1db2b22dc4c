#!/usr/bin/env bash
# Plants an msi.dll that leaves a marker when loaded beside a program that runs a real update, and runs it with
# Windows' search order (native DLLs first; Wine otherwise prefers its builtin whatever lies beside a program).
# A control first shows that a plain load in that folder does pick up the planted DLL, so the test can fail.
# Usage: planted-msi.sh BASELINE_PREFIX PLANTED_DLL TEST_PROGRAM WORK_DIR
set -u
baseline=$1 planted=$2 program=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
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
if [ ! -e "$marker" ]; then
    echo "FAIL: control: a plain LoadLibraryW beside the planted msi.dll did not load it; the test could not fail"
    exit 1
fi
rm -f "$marker"

"$here/run-in-prefix-copy.sh" "$baseline" "$work/$(basename "$program")" \
    --gtest_filter=EngineWithInstaller.PatchesBothProductsX64First
rc=$?
if [ -e "$marker" ]; then
    echo "FAIL: the planted msi.dll beside the program was loaded"
    exit 1
fi
if [ $rc -ne 0 ]; then
    echo "FAIL: the update did not work beside the planted msi.dll (exit $rc)"
    exit 1
fi
rm -rf "$work"
echo "the update worked and the planted msi.dll was never loaded"
