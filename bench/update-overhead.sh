#!/usr/bin/env bash
# How much time the engine adds to the Installer's own under Wine, for two sizes of patch: the fixture
# patches (PatchX64.msp and PatchX86.msp, one per installed fixture product, each replacing a 25-byte file)
# and copies of them whose new file is N MiB of bytes that do not compress (make-fixtures.py --payload-mib N,
# 64 by default), so that the Installer really copies N MiB per patch. Each pair is applied by ApplyUpdates
# on a package made by corvantile-pack.exe, and by plain MsiApplyPatchW calls on the same files, already
# extracted. Prints each run, then per size the medians and their ratios, and where the preloaded engine's
# time goes among its msi.dll calls (each entry point of its table timed); not a test.
#
#   bench/update-overhead.sh                          # 5 runs of each mode and size, interleaved; 64 MiB
#   bench/update-overhead.sh --runs 9 --payload-mib 16   # or: RUNS=9 PAYLOAD_MIB=16 bench/update-overhead.sh
#
# Every run is bench/UpdateOverhead.exe in a fresh copy of the baseline prefix in which both products are
# installed (tests/engine/installer/run-in-prefix-copy.sh), so no run sees another's patches. The program times
# itself with QueryPerformanceCounter; copying the prefix and starting Wine count in no figure, and each run
# checks afterwards that both patches are registered. Three modes:
#   engine            the ApplyUpdates call as the updater makes it: loading msi.dll (the engine loads it only
#                     when an update runs), extracting, reading the patches and products, sequencing,
#                     applying, committing
#   engine-preloaded  the same call, but the program has loaded msi.dll beforehand in the same process with the
#                     engine's own LoadLibraryExW (timed on its own: "load"), so the call finds it loaded; and
#                     it has extracted the package once into another folder (timed on its own: "extract")
#   plain             the MsiApplyPatchW calls alone; msi.dll loaded the same way (timed: "load") and
#                     MsiSetInternalUI called before
# A process can load msi.dll for the first time only once, and a prefix can take a patch only once, so the
# load inside the engine cannot be timed apart from the call that it is in: the cold and the preloaded engine
# are separate runs, and the difference of their medians is printed next to the separately timed load as a
# check. The two ratios:
#   load on both sides:  engine / (plain + its load, summed per run)
#   load on neither:     engine-preloaded / plain
# The engine's figures include extracting the patches from the package, which the plain runs are spared; a
# third ratio leaves it out, taking the extraction timed in the same run off:
#   engine's own calls:  (engine-preloaded - its extract, per run) / plain
# Each round runs every mode for both sizes, in the reverse order every other round.
# Goal: the engine adds under 5% to the Installer's own time (median ratio < 1.05); printed for each ratio.
# Builds what it needs: the mingw preset's targets, and the fixtures and baseline prefix through their ctest.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
payload_mib=${PAYLOAD_MIB:-64}
usage="usage: $0 [--runs N] [--payload-mib N]   (or RUNS=N PAYLOAD_MIB=N)"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --payload-mib) payload_mib=${2:?--payload-mib needs a number}; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "runs must be a positive number, not '$runs'" >&2; exit 2; }
[[ $payload_mib =~ ^[1-9][0-9]*$ ]] || { echo "payload-mib must be a positive number, not '$payload_mib'" >&2; exit 2; }

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

rm -rf "$bench"
mkdir -p "$bench"
trap 'rm -rf "$bench"' EXIT
echo "Making the ${payload_mib} MiB patches (make-fixtures.py --payload-mib $payload_mib)"
/usr/bin/python3 "$root/tests/engine/installer/make-fixtures.py" --payload-mib "$payload_mib" "$bench/large-fixtures"

sizes=(small large)
declare -A source_dir=([small]=$fixtures [large]=$bench/large-fixtures)
declare -A describe=([small]="fixture patches, 25 bytes each" [large]="${payload_mib} MiB each")
# Per size, the package, and its files as the packing tool extracts them, for the plain runs.
pack=$build/bin/corvantile-pack.exe
for size in "${sizes[@]}"; do
  source=${source_dir[$size]}
  mkdir -p "$bench/$size"
  "$build/wine-run.sh" "$pack" build --stub "$(windows_path "$build/bin/CorvantileUpdater.exe")" \
    --name "Corvantile Fixtures" --version 1.0.1 --output "$(windows_path "$bench/$size/Update.exe")" \
    "$(windows_path "$source/PatchX64.msp")" "$(windows_path "$source/PatchX86.msp")" >/dev/null
  "$build/wine-run.sh" "$pack" extract "$(windows_path "$bench/$size/Update.exe")" \
    "$(windows_path "$bench/$size/patches")" >/dev/null
  for patch in PatchX64.msp PatchX86.msp; do
    cmp "$source/$patch" "$bench/$size/patches/$patch" || { echo "extracted $size $patch differs" >&2; exit 1; }
  done
done

program=$build/bin/UpdateOverhead.exe
results=$bench/results
mkdir -p "$results"
# One run in its own prefix copy; appends the program's milliseconds to results/SIZE.MODE.elapsed and, where
# the mode times a load, to results/SIZE.MODE.load. Prints "elapsed [load]".
measure() {  # engine|engine-preloaded|plain small|large
  local mode=$1 size=$2 output
  if [ "$mode" = plain ]; then
    output=$("$prefix_copy" "$baseline" "$program" plain "$(windows_path "$bench/$size/patches/PatchX64.msp")" \
      "$(windows_path "$bench/$size/patches/PatchX86.msp")")
  else
    output=$("$prefix_copy" "$baseline" "$program" "$mode" "$(windows_path "$bench/$size/Update.exe")")
  fi || { echo "$mode $size run failed: $output" >&2; return 1; }
  local line elapsed load extract
  line=$(grep "^update-overhead mode=$mode patches=2 " <<<"$output") ||
    { echo "unexpected output: $output" >&2; return 1; }
  elapsed=$(sed -n 's/.* elapsed_ms=\([0-9.]*\).*/\1/p' <<<"$line")
  load=$(sed -n 's/.* load_ms=\([0-9.]*\).*/\1/p' <<<"$line")
  [ -n "$elapsed" ] || { echo "no time in: $line" >&2; return 1; }
  echo "$elapsed" >>"$results/$size.$mode.elapsed"
  if [ "$mode" != engine ]; then
    [ -n "$load" ] || { echo "no load time in: $line" >&2; return 1; }
    echo "$load" >>"$results/$size.$mode.load"
  fi
  if [ "$mode" = engine-preloaded ]; then
    extract=$(sed -n 's/.* extract_ms=\([0-9.]*\).*/\1/p' <<<"$line")
    [ -n "$extract" ] || { echo "no extraction time in: $line" >&2; return 1; }
    awk -v e="$elapsed" -v x="$extract" 'BEGIN {printf "%.3f\n", e - x}' >>"$results/$size.engine-own.elapsed"
    echo "$extract" >>"$results/$size.$mode.extract"
    grep '^update-overhead-call ' <<<"$output" >>"$results/$size.calls" || true
    # What is left of the call once the extraction and the msi.dll calls are taken off: the engine's own code.
    grep '^update-overhead-call ' <<<"$output" | awk -v e="$elapsed" -v x="$extract" \
      '{split($4, t, "="); calls += t[2]} END {printf "%.3f\n", e - x - calls}' >>"$results/$size.engine-code.elapsed"
  fi
  echo "$elapsed${load:+ $load}"
}

median() { sort -g "$1" | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
spread() { sort -g "$1" | awk 'NR==1 {lo=$1} {hi=$1} END {printf "%.1f-%.1f", lo, hi}'; }

order=()
for size in "${sizes[@]}"; do
  for mode in engine engine-preloaded plain; do order+=("$mode $size"); done
done
echo "Measuring: $runs rounds of ${#order[@]} runs (engine, engine-preloaded, plain for each size)," \
  "each in a fresh prefix copy"
for ((i = 1; i <= runs; i++)); do
  if ((i % 2 == 0)); then
    round=()
    for ((j = ${#order[@]} - 1; j >= 0; j--)); do round+=("${order[j]}"); done
  else
    round=("${order[@]}")
  fi
  for step in "${round[@]}"; do
    read -r mode size <<<"$step"
    figures=$(measure "$mode" "$size")
    read -r elapsed load <<<"$figures"
    printf '  round %d  %-5s  %-16s %9.1f ms%s\n' "$i" "$size" "$mode" "$elapsed" "${load:+   (load $load ms)}"
  done
done

# Plain with its own load, per run.
for size in "${sizes[@]}"; do
  paste "$results/$size.plain.elapsed" "$results/$size.plain.load" |
    awk '{printf "%.3f\n", $1 + $2}' >"$results/$size.plain-with-load.elapsed"
done

for size in "${sizes[@]}"; do
  r=$results/$size
  awk -v size="${describe[$size]}" -v n="$runs" \
      -v e="$(median "$r.engine.elapsed")" -v es="$(spread "$r.engine.elapsed")" \
      -v w="$(median "$r.engine-preloaded.elapsed")" -v ws="$(spread "$r.engine-preloaded.elapsed")" \
      -v wl="$(median "$r.engine-preloaded.load")" -v wls="$(spread "$r.engine-preloaded.load")" \
      -v wx="$(median "$r.engine-preloaded.extract")" -v wxs="$(spread "$r.engine-preloaded.extract")" \
      -v wo="$(median "$r.engine-own.elapsed")" -v wos="$(spread "$r.engine-own.elapsed")" \
      -v wc="$(median "$r.engine-code.elapsed")" -v wcs="$(spread "$r.engine-code.elapsed")" \
      -v p="$(median "$r.plain.elapsed")" -v ps="$(spread "$r.plain.elapsed")" \
      -v pl="$(median "$r.plain.load")" -v pls="$(spread "$r.plain.load")" \
      -v pw="$(median "$r.plain-with-load.elapsed")" -v pws="$(spread "$r.plain-with-load.elapsed")" '
  function verdict(ratio) { return ratio < 1.05 ? "goal met" : "goal NOT MET" }
  BEGIN {
    printf "\n2 patches, %s; medians of %d runs (range in brackets):\n", size, n
    printf "  engine, msi.dll loaded inside ApplyUpdates     %9.1f ms  (%s)\n", e, es
    printf "  engine-preloaded, ApplyUpdates                 %9.1f ms  (%s)\n", w, ws
    printf "    msi.dll load before it                       %9.1f ms  (%s)\n", wl, wls
    printf "    engine minus engine-preloaded medians        %9.1f ms  (a check on that load; other runs)\n", e - w
    printf "    extracting the package on its own before it  %9.1f ms  (%s)\n", wx, wxs
    printf "    engine-preloaded minus that, per run         %9.1f ms  (%s)\n", wo, wos
    printf "    ... and minus its msi.dll calls, per run     %9.1f ms  (%s)\n", wc, wcs
    printf "  plain, MsiApplyPatchW calls                    %9.1f ms  (%s)\n", p, ps
    printf "    msi.dll load before them                     %9.1f ms  (%s)\n", pl, pls
    printf "    plain plus its load, per run                 %9.1f ms  (%s)\n", pw, pws
    r1 = e / pw; r2 = w / p; r3 = wo / p
    format = "  engine/plain, load on %-13s %.3fx, the engine adds %+.1f ms (%+.1f%%): %s\n"
    printf format, "both sides:", r1, e - pw, (r1 - 1) * 100, verdict(r1)
    printf format, "neither side:", r2, w - p, (r2 - 1) * 100, verdict(r2)
    printf "  engine/plain, extraction left out: %.3fx, the engine adds %+.1f ms (%+.1f%%): %s\n", r3, wo - p, \
      (r3 - 1) * 100, verdict(r3)
  }'
done
echo
echo "Where the preloaded engine's time goes, msi.dll calls (means per run):"
for size in "${sizes[@]}"; do
  echo "  ${describe[$size]}:"
  awk -v n="$runs" '{split($3, c, "="); split($4, t, "="); calls[$2] += c[2]; ms[$2] += t[2]}
    END {for (f in ms) printf "    %-28s %5.1f calls %9.1f ms\n", f, calls[f] / n, ms[f] / n}' \
    "$results/$size.calls" | sort -k4 -g -r
done
echo
echo "Goal: the engine adds under 5% to the Installer's own time (ratio < 1.05)."
echo "Wall time of this script: ${SECONDS} s"
