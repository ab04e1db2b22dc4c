#!/usr/bin/env python3
"""Packs an updater with the real Windows packing tool and extracts it with the real updater, both under Wine.

Usage: pack_and_extract.py WINE_RUN BIN_DIR WORK_DIR MAKE_FIXTURES

The update files are real patches made by the engine tests' fixture script, under names of their own.
"""
import json
import shutil
import subprocess
import sys
from pathlib import Path

import script_tests
from script_tests import EXAMPLE_PRODUCT, build_command, check, check_exit, fresh_dir, same_file, summary

wine_run, bin_dir, work, make_fixtures = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3]), sys.argv[4]


def run(*args):
    """A Windows program under Wine in the work directory."""
    return script_tests.run(wine_run, *args, cwd=work)


def pack_tool(*args):
    return run(bin_dir / "corvantile-pack.exe", *args)


inputs = fresh_dir(work) / "inputs"
inputs.mkdir()
# Debian's own python3 has the GObject bindings of libgsf that the fixture script needs.
subprocess.run(["/usr/bin/python3", make_fixtures, str(work / "fixtures")], check=True, capture_output=True)
sources = {"server.msp": "PatchX64.msp", "client-\u00e9t\u00e9.msp": "PatchX86.msp", "both.msp": "PatchBoth.msp"}
for name, source in sources.items():
    shutil.copy(work / "fixtures" / source, inputs / name)
shutil.copy(bin_dir / "CorvantileUpdater.exe", work / "stub.exe")

check_exit(pack_tool(*build_command("stub.exe", "Update.exe", [f"inputs\\{n}" for n in sources], EXAMPLE_PRODUCT)),
           "corvantile-pack build")

listed = pack_tool("list", "--json", "Update.exe")
check_exit(listed, "corvantile-pack list --json")
try:
    listing = json.loads(listed.stdout)
    names = [entry.get("fileName") for entry in listing.get("entries", [])]
    check((listing.get("productName"), listing.get("productVersion")) == EXAMPLE_PRODUCT,
          "the listing names the product line and the version")
    check(names == list(sources), f"the listing holds the entries in the order given: {names}")
except json.JSONDecodeError as error:
    check(False, f"the listing is JSON ({error}): {listed.stdout[:200]!r}")

# A relative directory is made below the working directory only when written with a separator.
check_exit(run("Update.exe", "-x", ".\\out", "-l", ".\\logs"), "Update.exe -x .\\out -l .\\logs")
for name in sources:
    check(same_file(work / "out" / name, inputs / name), f"{name} is extracted unchanged")
log = (work / "logs" / "CorvantileUpdater.log").read_bytes().decode("utf-16-le")
check(log.endswith("  Extracting update files.\r\n") and log.count("\r\n") == 1,
      f"the log holds the one line of a complete extraction: {log!r}")

check(run("Update.exe", "-x", ".\\out").returncode == 1,
      "a second extraction into the same directory fails: nothing is overwritten")

check_exit(pack_tool("extract", "Update.exe", "inspect"), "corvantile-pack extract")
for name in sources:
    check(same_file(work / "inspect" / name, inputs / name), f"the tool extracts {name} unchanged")

sys.exit(summary())
