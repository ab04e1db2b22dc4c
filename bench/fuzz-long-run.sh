#!/usr/bin/env bash
# The fuzzer's long run: RUNS executions (10 million by default) of build/native's PortableCodeFuzzer under
# ASan and UBSan, with one worker, starting from packed updaters that the packing tool builds. Prints the
# executions, the coverage reached and the findings; exits 1 when there is a finding. Not a CI test: CI runs
# the same fuzzer for 20 seconds (ctest -R PortableCodeFuzzer).
#
#   bench/fuzz-long-run.sh                 # 10 million executions, seed 1
#   RUNS=1000000 SEED=7 bench/fuzz-long-run.sh
#
# Needs build/native (cmake --build --preset native). Works in build/fuzz-long-run: corpus/ keeps what the
# run found, findings/ the inputs of any crash, fuzz.log libFuzzer's output.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-10000000}
seed=${SEED:-1}
work=${FUZZ_DIR:-$root/build/fuzz-long-run}
fuzzer=$root/build/native/bin/PortableCodeFuzzer
make_seeds=$root/build/native/bin/MakeFuzzSeeds
[ -x "$fuzzer" ] && [ -x "$make_seeds" ] || { echo "build the native preset first" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/corpus" "$work/findings"
"$make_seeds" "$work/corpus"
# A copy, so that rebuilding the tree while the run goes on does not change what runs.
cp "$fuzzer" "$work/PortableCodeFuzzer"
start=$(date +%s)
status=0
"$work/PortableCodeFuzzer" -runs="$runs" -max_len=16384 -seed="$seed" -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
seconds=$(( $(date +%s) - start ))

executions=$(sed -n 's/^stat::number_of_executed_units: //p' "$work/fuzz.log" | tail -n 1)
coverage=$(grep -E '^#[0-9]+' "$work/fuzz.log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
findings=$(find "$work/findings" -type f | wc -l)
echo "executions: ${executions:-unknown} in ${seconds} s"
echo "coverage:   ${coverage:-unknown} (edges, features)"
echo "corpus:     $(find "$work/corpus" -type f | wc -l) inputs"
echo "findings:   $findings (fuzzer exit code $status)"
[ "$status" -eq 0 ] && [ "$findings" -eq 0 ]
