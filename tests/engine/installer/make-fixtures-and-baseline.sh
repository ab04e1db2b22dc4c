#!/usr/bin/env bash
# Makes the fixture products and patches, then the baseline prefix in which both products are installed.
# Usage: make-fixtures-and-baseline.sh FIXTURE_DIR BASELINE_PREFIX
set -eu
here=$(cd "$(dirname "$0")" && pwd)
/usr/bin/python3 "$here/make-fixtures.py" "$1"
"$here/make-baseline-prefix.sh" "$1" "$2"
