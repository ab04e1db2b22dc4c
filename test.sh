#!/usr/bin/env bash
# Builds everything and runs every test: the native tests under sanitizers, then the Windows tests and the
# black-box tests of the real programs under Wine, in a Wine prefix of the build tree.
set -uo pipefail
cd "$(dirname "$0")"
scripts/build.sh || exit 1

# Test programs that Wine failed to start, each started once more by its wrapper.
export CORVANTILE_RESTART_LOG="$PWD/build/wine-restarts.log"
rm -f "$CORVANTILE_RESTART_LOG"
status=0
passed=0
failed=0
skipped=0
for preset in native mingw; do
  log="build/ctest-$preset.log"
  ctest --preset "$preset" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    status=1
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  skips=$(grep -cE '^\s*[0-9]+ - .*\(Skipped\)$' "$log" || true)
  passed=$((passed + total - bad - skips))
  failed=$((failed + bad))
  skipped=$((skipped + skips))
done
WINEPREFIX="$PWD/build/mingw/wineprefix" wineserver -k >/dev/null 2>&1 || true
restarts=$(cat "$CORVANTILE_RESTART_LOG" 2>/dev/null | wc -l)
echo "Test programs that Wine did not start and that were started once more: $restarts"
[ "$restarts" -eq 0 ] || sed 's/^/  /' "$CORVANTILE_RESTART_LOG"
echo "Total: $passed passed, $failed failed, $skipped skipped"
exit $status
