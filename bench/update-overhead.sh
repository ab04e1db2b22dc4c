#!/usr/bin/env bash
# How much time the engine adds to the Installer's own under Wine: the same patches (PatchX64.msp and
# PatchX86.msp, one per installed fixture product) applied by ApplyUpdates on a package made by
# corvantile-pack.exe, and by plain MsiApplyPatchW calls on the same files, already extracted. Prints each run,
# the medians and their ratio; not a test.
#
#   bench/update-overhead.sh               # 5 runs of each, interleaved
#   RUNS=9 bench/update-overhead.sh        # or: bench/update-overhead.sh --runs 9
#
# Every run is bench/UpdateOverhead.exe in a fresh copy of the baseline prefix in which both products are
# installed (tests/engine/installer/run-in-prefix-copy.sh), so no run sees another's patches. The program times
# itself with QueryPerformanceCounter: engine = the ApplyUpdates call (loading msi.dll, extracting, reading
# the patches and products, sequencing, applying, committing); plain = the MsiApplyPatchW calls alone
# (msi.dll loaded and MsiSetInternalUI called before). Copying the prefix and starting Wine count in neither;
# each run checks afterwards that both patches are registered. Runs alternate engine, plain, engine, ...
# Goal: the engine adds under 5% to the Installer's own time (median engine / median plain < 1.05).
# Builds what it needs: the mingw preset's targets, and the fixtures and baseline prefix through their ctest.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
if [ "${1:-}" = "--runs" ]; then
  runs=${2:?--runs needs a number}
  shift 2
fi
[ $# -eq 0 ] || { echo "usage: $0 [--runs N]   (or RUNS=N)" >&2; exit 2; }
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "runs must be a positive number, not '$runs'" >&2; exit 2; }

build=$root/build/mingw
installer_tests=$build/tests/engine/installer
fixtures=$installer_tests/fixtures
baseline=$installer_tests/baseline-prefix
prefix_copy=$root/tests/engine/installer/run-in-prefix-copy.sh
bench=${BENCH_DIR:-$root/build/bench}/update-overhead
for tool in wine wineserver cmake ctest; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

echo "Building UpdateOverhead, CorvantileUpdater and corvantile-pack (mingw preset)"
cd "$root"
[ -f "$build/CMakeCache.txt" ] || cmake --preset mingw >/dev/null
cmake --build --preset mingw --target UpdateOverhead CorvantileUpdater corvantile-pack >/dev/null
echo "Making the fixtures and the baseline prefix (ctest EngineInstallerFixtures)"
ctest --test-dir "$build" -R '^EngineInstallerFixtures$' --output-on-failure >"$build/update-overhead-fixtures.log" 2>&1 ||
  { cat "$build/update-overhead-fixtures.log" >&2; exit 1; }
rm -f "$build/update-overhead-fixtures.log"

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# The package, and its files as the packing tool extracts them, for the plain runs.
rm -rf "$bench"
mkdir -p "$bench"
trap 'rm -rf "$bench"' EXIT
"$build/wine-run.sh" "$build/bin/corvantile-pack.exe" build --stub "$(windows_path "$build/bin/CorvantileUpdater.exe")" \
  --name "Corvantile Fixtures" --version 1.0.1 --output "$(windows_path "$bench/Update.exe")" \
  "$(windows_path "$fixtures/PatchX64.msp")" "$(windows_path "$fixtures/PatchX86.msp")" >/dev/null
"$build/wine-run.sh" "$build/bin/corvantile-pack.exe" extract "$(windows_path "$bench/Update.exe")" \
  "$(windows_path "$bench/patches")" >/dev/null
for patch in PatchX64.msp PatchX86.msp; do
  cmp "$fixtures/$patch" "$bench/patches/$patch" || { echo "extracted $patch differs" >&2; exit 1; }
done

program=$build/bin/UpdateOverhead.exe
# One run in its own prefix copy; prints the program's milliseconds (and, for plain, its msi.dll load time).
measure() {  # engine|plain
  local output
  if [ "$1" = engine ]; then
    output=$("$prefix_copy" "$baseline" "$program" engine "$(windows_path "$bench/Update.exe")")
  else
    output=$("$prefix_copy" "$baseline" "$program" plain "$(windows_path "$bench/patches/PatchX64.msp")" \
      "$(windows_path "$bench/patches/PatchX86.msp")")
  fi || { echo "$1 run failed: $output" >&2; return 1; }
  local line
  line=$(grep "^update-overhead mode=$1 patches=2 " <<<"$output") || { echo "unexpected output: $output" >&2; return 1; }
  sed -n 's/.* elapsed_ms=\([0-9.]*\).*/\1/p' <<<"$line"
  sed -n 's/.* load_ms=\([0-9.]*\).*/\1/p' <<<"$line"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR==1 {lo=$1} {hi=$1} END {printf "%.1f-%.1f ms", lo, hi}'; }

echo "Measuring: $runs runs each, engine and plain alternating, each in a fresh prefix copy"
engine=() plain=() load=()
for ((i = 1; i <= runs; i++)); do
  figures=$(measure engine)
  engine+=("$figures")
  mapfile -t figures < <(measure plain)
  [ ${#figures[@]} -eq 2 ] || exit 1
  plain+=("${figures[0]}")
  load+=("${figures[1]}")
  printf '  run %d: engine %9.1f ms   plain %9.1f ms\n' "$i" "${engine[-1]}" "${plain[-1]}"
done

awk -v e="$(median "${engine[@]}")" -v p="$(median "${plain[@]}")" -v l="$(median "${load[@]}")" \
    -v es="$(spread "${engine[@]}")" -v ps="$(spread "${plain[@]}")" -v n="$runs" 'BEGIN {
  r = e / p
  printf "medians of %d runs, 2 patches (one per product):\n", n
  printf "  engine, ApplyUpdates           %9.1f ms  (runs %s)\n", e, es
  printf "  plain, MsiApplyPatchW calls    %9.1f ms  (runs %s)\n", p, ps
  printf "  msi.dll load in the plain runs %9.1f ms  (not in plain; the engine loads it inside its call)\n", l
  printf "  ratio engine/plain: %.3fx; the engine adds %.1f ms, %.1f%% of the Installer'\''s own time\n", r, e - p, (r - 1) * 100
  printf "  goal: the engine adds under 5%% to the Installer'\''s own time: %s\n", (r < 1.05) ? "met" : "NOT MET"
}'
