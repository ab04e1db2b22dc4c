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
from script_tests import check, summary

wine_run, bin_dir, work, make_fixtures = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3]), sys.argv[4]


def run(*args, cwd):
    return script_tests.run(wine_run, *args, cwd=cwd)


shutil.rmtree(work, ignore_errors=True)
inputs = work / "inputs"
inputs.mkdir(parents=True)
# Debian's own python3 has the GObject bindings of libgsf that the fixture script needs.
subprocess.run(["/usr/bin/python3", make_fixtures, str(work / "fixtures")], check=True, capture_output=True)
sources = {"server.msp": "PatchX64.msp", "client-\u00e9t\u00e9.msp": "PatchX86.msp", "both.msp": "PatchBoth.msp"}
for name, source in sources.items():
    shutil.copy(work / "fixtures" / source, inputs / name)
shutil.copy(bin_dir / "CorvantileUpdater.exe", work / "stub.exe")

packed = run(bin_dir / "corvantile-pack.exe", "build", "--stub", "stub.exe", "--name", "Example Server 10",
             "--version", "2.0.0.100", "--output", "Update.exe", *[f"inputs\\{n}" for n in sources], cwd=work)
check(packed.returncode == 0, f"corvantile-pack build exits 0 ({packed.returncode}: {packed.stderr.strip()})")

listed = run(bin_dir / "corvantile-pack.exe", "list", "--json", "Update.exe", cwd=work)
check(listed.returncode == 0, f"corvantile-pack list --json exits 0 ({listed.stderr.strip()})")
try:
    listing = json.loads(listed.stdout)
    names = [entry.get("fileName") for entry in listing.get("entries", [])]
    check(listing.get("productName") == "Example Server 10" and listing.get("productVersion") == "2.0.0.100",
          "the listing names the product line and the version")
    check(names == list(sources), f"the listing holds the entries in the order given: {names}")
except json.JSONDecodeError as error:
    check(False, f"the listing is JSON ({error}): {listed.stdout[:200]!r}")

# A relative directory is made below the working directory only when written with a separator.
extracted = run("Update.exe", "-x", ".\\out", "-l", ".\\logs", cwd=work)
check(extracted.returncode == 0, f"Update.exe -x .\\out -l .\\logs exits 0 ({extracted.returncode})")
for name in sources:
    target = work / "out" / name
    check(target.exists() and target.read_bytes() == (inputs / name).read_bytes(), f"{name} is extracted unchanged")
log = (work / "logs" / "CorvantileUpdater.log").read_bytes().decode("utf-16-le")
check(log.endswith("  Extracting update files.\r\n") and log.count("\r\n") == 1,
      f"the log holds the one line of a complete extraction: {log!r}")

again = run("Update.exe", "-x", ".\\out", cwd=work)
check(again.returncode == 1, "a second extraction into the same directory fails: nothing is overwritten")

tool_extract = run(bin_dir / "corvantile-pack.exe", "extract", "Update.exe", "inspect", cwd=work)
check(tool_extract.returncode == 0, f"corvantile-pack extract exits 0 ({tool_extract.stderr.strip()})")
for name in sources:
    check((work / "inspect" / name).read_bytes() == (inputs / name).read_bytes(), f"the tool extracts {name} unchanged")

sys.exit(summary())
