#!/usr/bin/env bash
# Runs one Windows test program under Wine in a private copy of the baseline prefix (both fixture products
# installed), then deletes the copy: a patch applied by one test case must not be seen by the next.
# Usage: run-in-prefix-copy.sh [--list-with WINE_RUN] BASELINE_PREFIX PROGRAM [ARGS...]
# With --list-with, a program that only lists its tests (--gtest_list_tests) runs through WINE_RUN instead,
# without a copy: the baseline need not exist yet.
# The program finds its prefix's Unix path in CORVANTILE_PREFIX_COPY. CORVANTILE_DLL_OVERRIDES, when set, is
# added to WINEDLLOVERRIDES (e.g. msi=n,b to load a DLL beside the program before Wine's own).
# The copy is made as the Python script tests make theirs (tests/support/script_tests.py), under the lock that
# make-baseline-prefix.sh holds while it builds the baseline.
support=$(cd "$(dirname "$0")/../../support" && pwd) || exit 1
PYTHONPATH=$support PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 -c \
    'import sys, script_tests; sys.exit(script_tests.run_in_prefix_copy(sys.argv[1:]))' "$@"
