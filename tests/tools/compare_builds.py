#!/usr/bin/python3
"""Both builds of corvantile-pack on the same real files: the native tool (libgsf) directly, the Windows tool
(the Windows Installer) under Wine. They must give the same answers, and the right ones.

Usage: compare_builds.py WINE_RUN WINDOWS_TOOL NATIVE_TOOL STUB MAKE_FIXTURES WORK_DIR

The files are the engine tests' real products and patches (NotAPatch.msp is a product database under a
patch's name), plus a transform, a compound file of another class, a patch without targets, all written
through libgsf, and a text file.
"""
import importlib.util
import json
import shutil
import subprocess
import sys
from pathlib import Path

import test_packages
from script_tests import FIXTURE_PRODUCT, build_command, check, cleared, fixture_facts, run, summary

wine_run, windows_tool, native_tool, stub, make_fixtures, work = sys.argv[1:7]
work = Path(work)

if not Path(native_tool).is_file():
    sys.exit(f"{native_tool} is missing: build the native preset first (scripts/build.sh builds both)")

inputs = cleared(work) / "inputs"
subprocess.run(["/usr/bin/python3", make_fixtures, str(inputs)], check=True, capture_output=True)
module_spec = importlib.util.spec_from_file_location("fixtures", make_fixtures)
fixtures = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(fixtures)
facts = fixture_facts(inputs)

properties = {fixtures.PID_CODEPAGE: (fixtures.VT_I2, 1252),
              fixtures.PID_TEMPLATE: (fixtures.VT_LPSTR, facts["products"]["x64"]["product_code"]),
              fixtures.PID_REVNUMBER: (fixtures.VT_LPSTR, "{A7B1D0F6-0C52-4B5B-9D1E-3F2C6A1B7E90}")}
no_targets = {**properties, fixtures.PID_TEMPLATE: (fixtures.VT_LPSTR, "")}
# With the string pool that every Installer file has: without one, Wine 8.0's msi.dll crashes while it
# fails to open the file.
pool = fixtures.string_pool([])
compound_files = {
    "Change.mst": (fixtures.CLSID_TRANSFORM, {fixtures.SUMMARY_STREAM: fixtures.property_set(properties)}),
    "Document.msp": ("{00020906-0000-0000-C000-000000000046}",
                     {fixtures.SUMMARY_STREAM: fixtures.property_set(properties)}),
    "NoTargets.msp": (fixtures.CLSID_PATCH, {fixtures.SUMMARY_STREAM: fixtures.property_set(no_targets), **pool}),
    "NoSummary.msp": (fixtures.CLSID_PATCH, pool),
    "BadSummary.msp": (fixtures.CLSID_PATCH, {fixtures.SUMMARY_STREAM: b"\xfe\xff" + b"\x5a" * 200, **pool}),
}
for name, (clsid, streams) in compound_files.items():
    fixtures.write_compound(inputs / name, clsid, streams)
(inputs / "Notes.txt").write_text("not a compound file\n")
shutil.copy(stub, work / "stub.exe")

patches = list(facts["patches"])
# What build says of each file that is no usable patch.
refused = {
    "NotAPatch.msp": "not a patch package (a product database)",
    "ProductX64.msi": "not a patch package (a product database)",
    "Change.mst": "not a patch package (a transform)",
    "Document.msp": "not a patch package (a compound file of another kind)",
    "NoTargets.msp": "a patch package whose list of target products is empty",
    # The Installer reads a missing or unparsable summary as one without properties.
    "NoSummary.msp": "a patch package whose list of target products is empty",
    "BadSummary.msp": "a patch package whose list of target products is empty",
    "Notes.txt": "not a patch package (no compound-file signature)",
}


def windows_run(*args):
    """The Windows tool under Wine in WORK_DIR; paths in args use '/', which it gets as '\\'."""
    return run(wine_run, windows_tool, *[a.replace("/", "\\") for a in args], cwd=work)


def run_both(*args):
    """Runs both tools in WORK_DIR; paths in args use '/', the Windows tool gets them with '\\'."""
    return run(native_tool, *args, cwd=work), windows_run(*args)


def same(native, windows, what):
    """The two runs agree, up to the path separator in messages and Windows line ends."""
    def norm(text):
        return text.replace("\r\n", "\n").replace("\\", "/")
    check((native.returncode, norm(native.stdout), norm(native.stderr)) ==
          (windows.returncode, norm(windows.stdout), norm(windows.stderr)),
          f"{what}: both builds answer alike\n      native:  {native.returncode} {native.stdout!r} {native.stderr!r}"
          f"\n      windows: {windows.returncode} {windows.stdout!r} {windows.stderr!r}")


def build(output, files):
    return build_command("stub.exe", output, [f"inputs/{name}" for name in files])


for name in patches + list(refused):
    native, windows = run_both(*build(f"{name}.exe", [name]))
    same(native, windows, f"build with {name}")
    if name in refused:
        check(native.returncode == 1 and native.stderr == f"corvantile-pack: inputs/{name}: {refused[name]}\n",
              f"build refuses {name}: {native.stderr.strip()}")
    else:
        check(native.returncode == 0, f"build accepts {name}: {native.stderr.strip()}")

# All patches at once: one updater, byte for byte the same from both, with the warning of the patch for a
# product that no other patch targets. Both write Update.exe, so that their answers name the same file: the
# native tool's is read before the Windows tool replaces it.
native = run(native_tool, *build("Update.exe", patches), cwd=work)
native_updater = (work / "Update.exe").read_bytes() if native.returncode == 0 else None
windows = windows_run(*build("Update.exe", patches))
same(native, windows, "build with every patch")
check(native.returncode == 0 and "groups that share no target product" in native.stderr,
      f"build with every patch warns of separate groups: {native.stderr.strip()}")
check(windows.returncode == 0 and (work / "Update.exe").read_bytes() == native_updater,
      "both builds write the same updater")


# An updater that carries every file, made here, since build refuses what is no patch.
files = patches + list(refused)
package = test_packages.package([(name, (inputs / name).read_bytes()) for name in files], *FIXTURE_PRODUCT)
(work / "Everything.exe").write_bytes((work / "stub.exe").read_bytes() + package)

for listing in (["list"], ["list", "--json"]):
    native, windows = run_both(*listing, "Everything.exe")
    same(native, windows, " ".join(listing))
entries = json.loads(native.stdout)["entries"] if native.returncode == 0 else []
check([e["fileName"] for e in entries] == files, "list --json shows every packed file")
for entry in entries:
    name = entry["fileName"]
    if name in refused:
        # A patch without targets still shows its patch code.
        code = properties[fixtures.PID_REVNUMBER][1] if name == "NoTargets.msp" else None
        check((entry["problem"], entry["patchCode"], entry["targets"]) == (refused[name], code, []),
              f"{name} shows as no usable patch: {entry['problem']}")
    else:
        check((entry["targets"], entry["patchCode"], entry["problem"]) ==
              (facts["patches"][name]["targets"], facts["patches"][name]["code"], None),
              f"{name} shows its targets and patch code: {entry['targets']} {entry['patchCode']}")

sys.exit(summary())
