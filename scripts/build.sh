#!/usr/bin/env bash
# Configures and builds both trees: build/native (portable code, packing tool, sanitizers) and build/mingw
# (the Windows programs and their tests).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh
for preset in native mingw; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
