#!/usr/bin/env bash
# How fast `CorvantileUpdater.exe -x DIR` writes its update files under Wine, next to cp and dd of the same
# bytes on the same disk; how fast `corvantile-pack build` writes an updater, next to cat of the same bytes;
# how long the updater takes to start, next to a program that only loads the same system libraries; how much
# memory it takes for a small and a large package; and how large it is. Prints ratios; not a test.
#
#   bench/extract-throughput.sh            # 1 GiB package, 7 runs each (after one warm-up)
#   SIZE_MIB=256 RUNS=3 bench/extract-throughput.sh
#
# Updater time = median time of the 1 GiB run - median time of a run whose package has no entries (Wine's
# start-up and the program's own start). Goals: throughput >= 0.95x cp; peak memory of the 1 GiB run within
# 1 MiB of the 1 MiB run. Needs build/mingw (cmake --build --preset mingw); builds corvantile-pack and
# make-test-package for this machine without sanitizers in build/bench/native. Works in build/bench, in a
# Wine prefix of its own.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
updater=${UPDATER:-$root/build/mingw/bin/CorvantileUpdater.exe}
reference=$root/build/mingw/bin/StartupReference.exe
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-7}
bench=${BENCH_DIR:-$root/build/bench}
data=$bench/data

[ -f "$updater" ] || { echo "no $updater: build the mingw preset first" >&2; exit 1; }
[ -f "$reference" ] || { echo "no $reference: build the mingw preset first" >&2; exit 1; }
for tool in wine wineserver python3 /usr/bin/time cmake; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

# The native preset carries sanitizers, which would be timed too.
pack_build=$bench/native
echo "Building corvantile-pack and make-test-package for this machine (Release, no sanitizers) in $pack_build"
cmake -S "$root" -B "$pack_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$pack_build" --target corvantile-pack make-test-package >/dev/null
pack_tool=$pack_build/bin/corvantile-pack

export WINEPREFIX=$bench/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
"$root/tests/wine/ensure-prefix.sh"
# One persistent server for every run, so that each run's start-up costs the same (it fails when one runs).
wineserver -p >/dev/null 2>&1 || true
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1

cleanup() {
  rm -rf "$data"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
rm -rf "$data"
mkdir -p "$data"

# A copy of the updater with a package of no update files behind it, from the tests' package builder.
empty_updater() {  # OUT
  CORVANTILE_MAKE_TEST_PACKAGE=$pack_build/bin/make-test-package PYTHONPATH=$root/tests/support python3 -c '
import shutil, sys, test_packages
shutil.copy(sys.argv[1], sys.argv[2])
with open(sys.argv[2], "ab") as out:
    out.write(test_packages.package([], "Benchmark Product", "1.0"))' "$updater" "$1"
}

make_updater() {  # OUT FILE
  "$pack_tool" build --stub "$updater" --name "Benchmark Product" --version 1.0 --output "$1" "$2" >/dev/null
}

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

now_ns() { date +%s%N; }

# Runs a command that writes DEST after removing DEST and flushing the disk. Prints two figures in
# microseconds: the command alone (data in the page cache) and the command plus the sync that follows it
# (data on the disk).
timed_write() {  # DEST COMMAND...
  local dest=$1; shift
  rm -rf "$dest"; sync
  local start done synced
  start=$(now_ns)
  "$@" </dev/null >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  done=$(now_ns)
  sync
  synced=$(now_ns)
  echo "$(( (done - start) / 1000 )) $(( (synced - start) / 1000 ))"
}

extract() {  # UPDATER OUTDIR
  wine "$1" -x "$(windows_path "$2")"
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
spread() { printf '%s\n' "$@" | sort -n | awk 'NR==1 {lo=$1} {hi=$1} END {printf "%.0f-%.0f ms", lo/1000, hi/1000}'; }

echo "Preparing: real patch packages of ${size_mib} MiB and 1 MiB, updaters with each and with no update files"
# The packing tool takes only real patch packages: the engine tests' x64 patch, its new file made this large out
# of bytes that do not compress (make-fixtures.py --payload-mib), a little larger than that with its tables.
real_patch() {  # MIB OUT
  /usr/bin/python3 "$root/tests/engine/installer/make-fixtures.py" --payload-mib "$1" "$data/fixtures-$1" >/dev/null
  mv "$data/fixtures-$1/PatchX64.msp" "$2"
  rm -rf "$data/fixtures-$1"
}
real_patch "$size_mib" "$data/large.msp"
real_patch 1 "$data/small.msp"
# The rates are of the bytes really written.
large_mib=$(stat -c %s "$data/large.msp" | awk '{printf "%.3f", $1 / 1048576}')
make_updater "$data/large.exe" "$data/large.msp"
make_updater "$data/small.exe" "$data/small.msp"
# The packing tool refuses a package without update files.
empty_updater "$data/empty.exe"

# Warm-up: page cache and Wine session; also checks that the extraction is byte-identical.
timed_write "$data/out" extract "$data/large.exe" "$data/out" >/dev/null || exit 1
cmp "$data/large.msp" "$data/out/large.msp" || { echo "extracted file differs" >&2; exit 1; }
timed_write "$data/copy.msp" cp "$data/large.msp" "$data/copy.msp" >/dev/null || exit 1

declare -A cached durable
measure() {  # NAME DEST COMMAND...
  local name=$1 figures
  shift
  figures=$(timed_write "$@") || exit 1
  cached[$name]+=" ${figures% *}"
  durable[$name]+=" ${figures#* }"
}
measure_one() {  # NAME
  case $1 in
    full) measure full "$data/out" extract "$data/large.exe" "$data/out" ;;
    empty) measure empty "$data/out-empty" extract "$data/empty.exe" "$data/out-empty" ;;
    cp) measure cp "$data/copy.msp" cp "$data/large.msp" "$data/copy.msp" ;;
    dd) measure dd "$data/dd.msp" dd if="$data/large.msp" of="$data/dd.msp" bs=32k status=none ;;
    pack) measure pack "$data/packed.exe" make_updater "$data/packed.exe" "$data/large.msp" ;;
    cat) measure cat "$data/catted.exe" cat_same_bytes "$data/catted.exe" ;;
    reference) measure reference "$data/none" wine "$reference" ;;
  esac
}
# The bytes that the packing tool writes, minus the package's header and table (534 bytes), by cat.
cat_same_bytes() { cat "$updater" "$data/large.msp" >"$1"; }
# Interleaved, and in a rotating order, so that a slow phase of the machine or the disk's writeback of the
# previous command hits every command alike.
order=(full empty cp dd pack cat reference)
for ((i = 0; i < runs; i++)); do
  for ((j = 0; j < ${#order[@]}; j++)); do measure_one "${order[(i + j) % ${#order[@]}]}"; done
done
rm -rf "$data/out" "$data/copy.msp" "$data/dd.msp" "$data/packed.exe" "$data/catted.exe"; sync

report() {  # TITLE ARRAY-NAME
  local -n times=$2
  # shellcheck disable=SC2086
  awk -v title="$1" -v mib="$large_mib" -v f="$(median ${times[full]})" -v e="$(median ${times[empty]})" \
      -v c="$(median ${times[cp]})" -v d="$(median ${times[dd]})" \
      -v fs="$(spread ${times[full]})" -v cs="$(spread ${times[cp]})" -v ds="$(spread ${times[dd]})" 'BEGIN {
    u = f - e
    printf "%s\n", title
    printf "  updater -x, %.1f MiB patch  %8.1f ms  (runs %s)\n", mib, f / 1000, fs
    printf "  updater -x, no entries       %8.1f ms  (start-up, subtracted)\n", e / 1000
    printf "  updater extraction           %8.1f ms  %7.1f MiB/s\n", u / 1000, mib / (u / 1e6)
    printf "  cp                           %8.1f ms  %7.1f MiB/s  (runs %s)\n", c / 1000, mib / (c / 1e6), cs
    printf "  dd bs=32k (reference)        %8.1f ms  %7.1f MiB/s  (runs %s)\n", d / 1000, mib / (d / 1e6), ds
    printf "  throughput ratio updater/cp: %.3fx (goal >= 0.95x)%s; updater/dd: %.3fx\n",
           c / u, (c / u >= 0.95) ? "" : "  BELOW GOAL", d / u
  }'
}
# The packing tool against cat of the same bytes, and the updater's start against the reference program's.
report_pack_and_start() {  # TITLE ARRAY-NAME
  local -n times=$2
  # shellcheck disable=SC2086
  awk -v title="$1" -v mib="$large_mib" -v p="$(median ${times[pack]})" -v c="$(median ${times[cat]})" \
      -v ps="$(spread ${times[pack]})" -v cs="$(spread ${times[cat]})" 'BEGIN {
    printf "%s\n", title
    printf "  corvantile-pack build        %8.1f ms  %7.1f MiB/s  (runs %s)\n", p / 1000, mib / (p / 1e6), ps
    printf "  cat stub + payload           %8.1f ms  %7.1f MiB/s  (runs %s)\n", c / 1000, mib / (c / 1e6), cs
    printf "  throughput ratio pack/cat: %.3fx\n", c / p
  }'
}
echo "medians of $runs interleaved runs, a $large_mib MiB patch, same disk ($data):"
report "until the command returns (data in the page cache):" cached
report "until a following sync returns (data on the disk):" durable
report_pack_and_start "packing, until the command returns:" cached
report_pack_and_start "packing, until a following sync returns:" durable
# shellcheck disable=SC2086
awk -v e="$(median ${cached[empty]})" -v r="$(median ${cached[reference]})" -v es="$(spread ${cached[empty]})" \
    -v rs="$(spread ${cached[reference]})" 'BEGIN {
  printf "start-up under Wine (wine PROGRAM, warm server):\n"
  printf "  updater -x, no entries       %8.1f ms  (runs %s)\n", e / 1000, es
  printf "  reference, same imports      %8.1f ms  (runs %s)\n", r / 1000, rs
  printf "  ratio updater/reference: %.3fx (goal <= 1.1x)%s, the updater adds %+.1f ms\n", e / r,
         (e / r <= 1.1) ? "" : "  ABOVE GOAL", (e - r) / 1000
}'

# Peak memory: the largest resident set (ru_maxrss, /usr/bin/time %M) among the processes that `wine` runs;
# the Windows program runs in the process that `wine` becomes. The persistent wineserver is not counted.
peak_kib() {  # UPDATER OUTDIR
  rm -rf "$2"
  /usr/bin/time -f %M -o "$data/peak" wine "$1" -x "$(windows_path "$2")" </dev/null >/dev/null 2>&1
  cat "$data/peak"
}
small_kib=() large_kib=()
for ((i = 1; i <= 3; i++)); do
  small_kib+=("$(peak_kib "$data/small.exe" "$data/out-small")")
  large_kib+=("$(peak_kib "$data/large.exe" "$data/out")")
done
small_peak=$(median "${small_kib[@]}")
large_peak=$(median "${large_kib[@]}")
awk -v s="$small_peak" -v l="$large_peak" -v mib="$size_mib" 'BEGIN {
  printf "peak memory (max RSS, median of 3): 1 MiB package %d KiB, %d MiB package %d KiB, difference %+d KiB (goal within 1024 KiB)%s\n",
         s, mib, l, l - s, (l - s <= 1024 && s - l <= 1024) ? "" : "  ABOVE GOAL"
}'
updater_bytes=$(stat -c %s "$updater")
printf 'size: CorvantileUpdater.exe %d bytes (%.1f KiB, goal <= 256 KiB%s); the reference program %d bytes\n' \
  "$updater_bytes" "$(awk -v b="$updater_bytes" 'BEGIN {print b / 1024}')" \
  "$( [ "$updater_bytes" -le 262144 ] || echo ', ABOVE GOAL')" "$(stat -c %s "$reference")"
