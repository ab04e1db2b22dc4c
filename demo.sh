#!/usr/bin/env bash
# Builds everything, packs a sample updater with the packing tool, lists it, and extracts it with the real
# updater under Wine, comparing the extracted files with the inputs.
set -euo pipefail
cd "$(dirname "$0")"
scripts/build.sh

demo="$PWD/build/demo"
pack="$PWD/build/native/bin/corvantile-pack"
rm -rf "$demo"
mkdir -p "$demo/inputs"

# Two sample update files. They begin like every patch package, with the compound-file signature; real
# patches for installed products come with the engine.
python3 - "$demo/inputs" <<'PY'
import random, sys
random.seed(10)
signature = bytes.fromhex("D0CF11E0A1B11AE1")
for name, size in (("server-2.0.0.100.msp", 70000), ("tools-2.0.0.100.msp", 32768)):
    with open(f"{sys.argv[1]}/{name}", "wb") as f:
        f.write(signature + random.randbytes(size - len(signature)))
PY

echo "== Packing build/demo/Update.exe"
"$pack" build --stub build/mingw/bin/CorvantileUpdater.exe --name "Example Server 10" --version 2.0.0.100 \
  --output "$demo/Update.exe" "$demo/inputs/server-2.0.0.100.msp" "$demo/inputs/tools-2.0.0.100.msp"

echo "== Listing it"
"$pack" list "$demo/Update.exe"

echo "== Extracting it with the updater under Wine: Update.exe -x .\\extracted -l .\\logs"
(cd "$demo" && "$PWD/../mingw/wine-run.sh" Update.exe -x '.\extracted' -l '.\logs') || {
  echo "the updater's extraction failed (exit code $?)"; exit 1; }
for input in "$demo"/inputs/*.msp; do
  cmp "$input" "$demo/extracted/$(basename "$input")"
done
echo "Extracted files are identical to the inputs: $(ls "$demo/extracted" | tr '\n' ' ')"
echo "== The updater's log (build/demo/logs/CorvantileUpdater.log)"
iconv -f UTF-16LE -t UTF-8 "$demo/logs/CorvantileUpdater.log"
WINEPREFIX="$PWD/build/mingw/wineprefix" wineserver -k >/dev/null 2>&1 || true
