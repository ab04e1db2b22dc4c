#!/usr/bin/env python3
"""Runs the real updater under Wine against packages a hostile user would make, and directories it cannot use.

- the truncation sweep: a two-file package cut at every point (with --quick only around the borders of its
  parts); each run must end with exit code 1, the log line of the part that is cut, and no partial file;
- the hostile names: each name after a good one; nothing may be written, inside the target or outside it;
- the directories: missing, a file, a device, the updater itself, read-only and full (the last two need
  root to mount a small tmpfs, and are skipped without it).

Usage: hostile_packages.py WINE_RUN UPDATER WORK_DIR [--quick]
"""
import contextlib
import shutil
import subprocess
import sys
from pathlib import Path

import script_tests
import test_packages
from script_tests import EXAMPLE_PRODUCT, check, checks, failures, fresh_dir, summary, win

wine_run, stub, work = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
quick = "--quick" in sys.argv[4:]
# Thousands of checks without --quick: only the failures are printed.
script_tests.print_passes = False
runs = 0
repeated = 0


def package(files):
    """Header, table and data of a package: files is a list of (name, data)."""
    return test_packages.package(files, *EXAMPLE_PRODUCT)


def patch(size, seed):
    return (bytes.fromhex("D0CF11E0A1B11AE1") + bytes((seed + i * 7) % 256 for i in range(size)))[:size]


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*")) if root.exists() else []


def prefix_drive_c():
    """The top of the Wine prefix's drive C: and of /, where a drive-rooted name would land."""
    prefix = next((line.split("=", 1)[1].strip('"') for line in Path(wine_run).read_text().splitlines()
                   if line.startswith("export WINEPREFIX=")), None)
    roots = [Path(prefix) / "drive_c"] if prefix else []
    return sorted(str(p) for root in roots + [Path("/")] for p in root.iterdir())


def run_once(output, logs):
    global runs
    runs += 1
    log = work / "logs" / "CorvantileUpdater.log"
    log.unlink(missing_ok=True)
    done = script_tests.run(wine_run, win(work / "app" / "Update.exe"), "-x", output, "-l", logs, cwd=work,
                            timeout=60)
    return done, (log.read_bytes().decode("utf-16-le", "replace").split("\r\n")[:-1] if log.exists() else None)


def extract(package_bytes, output, logs=".\\logs"):
    """Runs Update.exe -x OUTPUT -l LOGS in the work directory; gives the exit code and the log's messages."""
    global repeated
    (work / "app" / "Update.exe").write_bytes(stub_bytes + package_bytes)
    done, lines = run_once(output, logs)
    if lines is None:
        # Every case here has the updater open its log first. Once in many CI runs, Wine ended a run with exit
        # code 1 and no log at all: what Wine said is printed, and the run is made once more (and counted).
        print(f"no log from run {runs} (exit {done.returncode}); Wine said: {done.stdout!r} {done.stderr!r}")
        repeated += 1
        done, lines = run_once(output, logs)
    return done.returncode, [line.split("  ", 1)[-1] for line in lines or []]


@contextlib.contextmanager
def tmpfs(options, what):
    """A small tmpfs mounted at work/mount for the block, which is given whether it could be mounted: that
    needs root, and the cases are skipped without it."""
    mount = work / "mount"
    mount.mkdir(exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(mount)], capture_output=True).returncode:
        print(f"{what} directory: skipped (mounting a tmpfs needs root)")
        yield None
        return
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=False)


fresh_dir(work)
(work / "app").mkdir()
(work / "logs").mkdir()
stub_bytes = stub.read_bytes()

# ---- The truncation sweep ----
files = [("first.msp", patch(40, 1)), ("second.msp", patch(30, 2))]
whole = package(files)
name_end = 1 + 34
version_end = name_end + 1 + 18
table_start = version_end + 4
data_start = table_start + 2 * 528
first_end = data_start + len(files[0][1])
# What the log's last line says of a cut before each end: the first end behind the cut names it.
parts = [(name_end, "Failed to read product name."), (version_end, "Failed to read product version."),
         (table_start, "Failed to read the update table."), (data_start, "Failed to read update table entry."),
         (len(whole), "Failed to extract update.")]
borders = [name_end, version_end, table_start, table_start + 528, data_start, first_end, len(whole)]
cuts = range(1, len(whole)) if not quick else sorted(
    {c for b in borders for c in (b - 1, b, b + 1) if 0 < c < len(whole)})
sweep_failures = failures()
for cut in cuts:
    out = work / "out"
    shutil.rmtree(out, ignore_errors=True)
    code, log = extract(whole[:cut], ".\\out")
    expected = next(message for end, message in parts if cut < end)
    check(code == 1 and log[-1:] == [expected], f"cut at {cut}: exit {code}, log {log}, expected {expected!r}")
    left = tree(out)
    complete = left == ["first.msp"] and (out / "first.msp").read_bytes() == files[0][1]
    check(left == [] or (cut >= first_end and complete), f"cut at {cut}: left {left}")
print(f"truncation sweep: {len(cuts)} cut points, {failures() - sweep_failures} failed")

# ---- Hostile names ----
devices = ["CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"] + [f"{p}{d}" for p in ("COM", "LPT")
                                                              for d in "0123456789\u00b9\u00b2\u00b3"]
names = ["..\\escape.msp", "../escape.msp", "..\\..\\escape.msp", "\\escape.msp", "/escape.msp", "C:escape.msp",
         "C:\\escape.msp", "\\\\?\\C:\\escape.msp", "\\\\.\\COM1", "\\\\server\\share\\x.msp", "sub\\x.msp",
         "sub/x.msp", "x.msp::$DATA", "x.msp:stream", ".", "..", "...", "x.msp.", "x.msp ", "x.msp. .", "",
         "a*.msp", "a?.msp", "a\".msp", "a<.msp", "a>.msp", "a|.msp", "a\x01.msp", "a\x1f.msp", "a\x7f.msp",
         "a\ud800.msp", "\udc00.msp", "a\udbff", "n" * 256, "n" * 259]
names += devices + [d.lower() + ".msp" for d in devices] + [d + " .msp" for d in devices]
# Two files under one name, as the Windows file system compares names: the second must not be created.
pairs = [("same.msp", "same.msp"), ("a.msp", "A.MSP"), ("\u00e4.msp", "\u00c4.msp"), ("\u03c3.msp", "\u03a3.msp"),
         ("\u0436.msp", "\u0416.msp")]
hostile = [(f"name {name!r}", [("good.msp", patch(50, 3)), (name, patch(60, 4))]) for name in names]
hostile += [(f"pair {a!r}/{b!r}", [(a, patch(50, 5)), (b, patch(60, 6))]) for a, b in pairs]
names_failures = failures()
(work / "sub").mkdir()
before = tree(work.parent)
outside = prefix_drive_c()
for what, table in hostile:
    code, log = extract(package(table), ".\\hostile")
    check(code == 1 and log[-1:] == ["Failed to create update file."], f"{what}: exit {code}, log {log}")
    check(tree(work.parent) == before, f"{what}: wrote {sorted(set(tree(work.parent)) - set(before))}")
    check(prefix_drive_c() == outside, f"{what}: wrote {sorted(set(prefix_drive_c()) - set(outside))}")
    # A failure must not spill over into the next case's check.
    shutil.rmtree(work / "hostile", ignore_errors=True)
print(f"hostile names: {len(names)} names and {len(pairs)} pairs, {failures() - names_failures} failed")

# ---- Directories ----
directory_failures = failures()
ordinary = package([("a.msp", patch(100, 7))])
(work / "plain").write_bytes(b"x")
unusable = ["missing\\out", ".\\plain\\out", ".\\plain", "NUL", win(work / "app" / "Update.exe")]
for output in unusable:
    for table in (ordinary, package([])):
        before = tree(work)
        code, log = extract(table, output)
        check(code == 1 and log[-1:] == ["Output directory not accessible."],
              f"directory {output}: exit {code}, log {log}")
        check(tree(work) == before, f"directory {output}: made {sorted(set(tree(work)) - set(before))}")
check((work / "plain").read_bytes() == b"x", "the file in the directory's place is untouched")
code, log = extract(ordinary, win(work / "made" / "two" / "levels"))
check(code == 0 and (work / "made/two/levels/a.msp").exists(), f"a missing absolute directory is made: {code} {log}")

with tmpfs("ro,size=64k", "read-only") as mount:
    if mount:
        for output, expected in ((win(mount), "Failed to create update file."),
                                 (win(mount / "sub"), "Output directory not accessible.")):
            code, log = extract(ordinary, output)
            check(code == 1 and log[-1:] == [expected] and tree(mount) == [], f"read-only {output}: {code} {log}")
with tmpfs("size=64k", "full") as mount:
    if mount:
        code, log = extract(package([("small.msp", patch(1000, 8)), ("large.msp", patch(256 * 1024, 9))]),
                            win(mount / "out"))
        check(code == 1 and log[-1:] == ["Failed to write update file."], f"full disk: exit {code}, log {log}")
        check(tree(mount) == ["out", "out/small.msp"], f"full disk: left {tree(mount)}")
print(f"directories: {len(unusable) * 2 + 1} cases and the mounted ones, {failures() - directory_failures} failed")

print(f"{runs} runs of the updater ({repeated} repeated for want of a log), {checks()} checks")
sys.exit(summary())
