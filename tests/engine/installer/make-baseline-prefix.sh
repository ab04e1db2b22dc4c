#!/usr/bin/env bash
# Makes a Wine prefix with both fixture products installed, to be copied (cp -a) for each test case:
# Wine re-applies every registered patch on later installs, so no two cases may share a prefix.
# Usage: make-baseline-prefix.sh FIXTURE_DIR PREFIX_DIR
# Does nothing when PREFIX_DIR is complete and newer than the fixtures; a lock (PREFIX_DIR.lock) keeps parallel
# callers apart, and the copies are made under it (tests/support/script_tests.py does both).
if [ $# -ne 2 ]; then
    echo "usage: $0 FIXTURE_DIR PREFIX_DIR" >&2
    exit 2
fi
support=$(cd "$(dirname "$0")/../../support" && pwd) || exit 1
PYTHONPATH=$support PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 -c \
    'import sys, script_tests; sys.exit(script_tests.make_baseline_prefix(*sys.argv[1:]))' "$@"
