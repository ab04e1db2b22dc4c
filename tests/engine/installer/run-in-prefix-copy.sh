#!/usr/bin/env bash
# Runs one Windows test program under Wine in a private copy of the baseline prefix (both fixture products
# installed), then deletes the copy: a patch applied by one test case must not be seen by the next.
# Usage: run-in-prefix-copy.sh [--list-with WINE_RUN] BASELINE_PREFIX PROGRAM [ARGS...]
# With --gtest_list_tests the program only lists its tests: through WINE_RUN when given (the baseline need not
# exist yet), otherwise in the baseline itself, without a copy.
# The program finds its prefix's Unix path in CORVANTILE_PREFIX_COPY. CORVANTILE_DLL_OVERRIDES, when set, is
# added to WINEDLLOVERRIDES (e.g. msi=n,b to load a DLL beside the program before Wine's own).
set -u
list_with=""
if [ "${1:-}" = "--list-with" ]; then
    list_with=${2:?--list-with needs a program}
    shift 2
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--list-with WINE_RUN] BASELINE_PREFIX PROGRAM [ARGS...]" >&2
    exit 2
fi
baseline_arg=$1
shift

list_only=0
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && list_only=1
done
if [ $list_only -eq 1 ] && [ -n "$list_with" ]; then
    exec "$list_with" "$@"
fi

baseline=$(cd "$baseline_arg" && pwd) || exit 1
if [ ! -f "$baseline/.corvantile-baseline" ]; then
    echo "$baseline is no complete baseline prefix (run make-baseline-prefix.sh)" >&2
    exit 1
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=${CORVANTILE_DLL_OVERRIDES:+;$CORVANTILE_DLL_OVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
# Unix names and arguments reach Windows programs as UTF-8, whatever the caller's locale.
export LC_ALL=C.UTF-8

out=$(mktemp) err=$(mktemp)
prefix=""
# The lock that make-baseline-prefix.sh holds while it builds the baseline: copies share it, a listing (which
# starts Wine in the baseline itself) takes it alone so that no copy catches a registry file half written.
exec 9>"$baseline.lock"

# Wine processes never inherit the lock's descriptor (9>&-), or a lingering one would keep holding the lock.
stop_server() {
    WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 9>&-
    WINEPREFIX="$1" wineserver -w >/dev/null 2>&1 9>&-
}
cleanup() {
    if [ -n "$prefix" ]; then
        stop_server "$prefix"
        [ "$prefix" != "$baseline" ] && rm -rf "$prefix"
    fi
    rm -f "$out" "$err"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

if [ $list_only -eq 1 ]; then
    flock 9
    prefix=$baseline
else
    prefix=$(mktemp -d "$(dirname "$baseline")/$(basename "$baseline").copy.XXXXXX") || exit 1
    flock -s 9
    cp -a "$baseline/." "$prefix/" || { echo "cannot copy $baseline to $prefix" >&2; exit 1; }
    flock -u 9
    rm -f "$prefix/.corvantile-baseline"
fi
export WINEPREFIX="$prefix" CORVANTILE_PREFIX_COPY="$prefix"

# A persistent server warmed up by a program whose output goes nowhere: the first program's helper processes
# would otherwise inherit its output handles.
wineserver -p >/dev/null 2>&1 9>&-
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&-
# Output goes through files: wineserver holds a program's pipes for a while after it exits.
# In the background, so that a signal (a test timeout) runs the cleanup at once instead of after the program.
run_program() { wine "$@" >"$out" 2>"$err" </dev/null 9>&- & wait $!; }
run_program "$@"
rc=$?
# A test program (the *Tests.exe of this tree) always prints something: its failure with no output at all is
# Wine not starting it, which changed nothing in the copy. Such a start is made once more, and counted where
# test.sh says. Other programs (the updater) print nothing and are never started twice.
if [ $rc -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ] && [[ "$1" == *Tests.exe ]]; then
    echo "run-in-prefix-copy: $1 ended with $rc and printed nothing; started once more" >&2
    [ -z "${CORVANTILE_RESTART_LOG:-}" ] || echo "$*" >>"$CORVANTILE_RESTART_LOG"
    run_program "$@"
    rc=$?
fi
cat "$out"
cat "$err" >&2
exit $rc
