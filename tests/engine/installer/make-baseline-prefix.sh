#!/usr/bin/env bash
# Makes a Wine prefix with both fixture products installed, to be copied (cp -a) for each test case:
# Wine re-applies every registered patch on later installs, so no two cases may share a prefix.
# Usage: make-baseline-prefix.sh FIXTURE_DIR PREFIX_DIR
# Does nothing when PREFIX_DIR is complete and newer than the fixtures; a lock keeps parallel callers apart.
set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 FIXTURE_DIR PREFIX_DIR" >&2
    exit 2
fi
die() { echo "$*" >&2; exit 1; }
fixtures=$(cd "$1" && pwd) || exit 1
mkdir -p "$(dirname "$2")" || exit 1
prefix="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
export WINEPREFIX="$prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
marker="$prefix/.corvantile-baseline"
inputs="ProductX64.msi ProductX86.msi fixtures.json"

up_to_date() {
    [ -f "$marker" ] || return 1
    local f
    for f in $inputs; do
        [ "$marker" -nt "$fixtures/$f" ] || return 1
    done
}

up_to_date && exit 0
exec 9>"$prefix.lock"
flock 9
up_to_date && exit 0

# One fact of fixtures.json by its keys (e.g. products x64 msi), exactly as written: no newline is added.
fact() {
    python3 -c 'import functools, json, sys
sys.stdout.write(str(functools.reduce(lambda value, key: value[key], sys.argv[2:], json.load(open(sys.argv[1])))))' \
        "$fixtures/fixtures.json" "$@"
}
for f in $inputs; do
    [ -f "$fixtures/$f" ] || die "missing $fixtures/$f"
done

# Wine processes never inherit the lock's descriptor (9>&-): a lingering one would keep holding the lock.
# Leaves no server behind for the prefix, whatever happens below.
stop_server() { wineserver -k >/dev/null 2>&1 9>&-; wineserver -w >/dev/null 2>&1 9>&-; }
trap stop_server EXIT

# Only ever delete a Wine prefix (or an empty directory), never what a wrong argument names.
if [ -d "$prefix" ] && [ ! -f "$prefix/system.reg" ] && [ -n "$(ls -A "$prefix")" ]; then
    die "$prefix exists and is no Wine prefix; not replacing it"
fi
stop_server
rm -rf "$prefix"
wineboot -i >/dev/null 2>&1 9>&- || die "wineboot -i failed for $prefix"
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 9>&-
stop_server
# A persistent server, warmed up by a program whose output goes nowhere: helper processes started by the
# first program would otherwise inherit this script's output and hold a caller's pipe open.
wineserver -p >/dev/null 2>&1 9>&-
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&-

log=$(mktemp)
for key in x64 x86; do
    msi=$(fact products "$key" msi)
    # msiexec takes a Windows path; Z: maps to /.
    wine msiexec /i "Z:${fixtures//\//\\}\\$msi" /qn </dev/null >"$log" 2>&1 9>&-
    rc=$?
    installed="$prefix/$(fact products "$key" file_in_prefix)"
    if [ $rc -ne 0 ] || ! cmp -s "$installed" <(fact products "$key" original); then
        echo "installing $msi into $prefix failed (exit $rc, or $installed missing or different)" >&2
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
done
rm -f "$log"
stop_server
trap - EXIT
touch "$marker"
