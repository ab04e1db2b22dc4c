#!/usr/bin/env python3
"""The exit codes that a deployment tool reads, as a Windows command shell reads them: the real updater run
with -a -l under Wine's cmd, in a copy of the Installer tests' baseline prefix (both fixture products
installed). The update that succeeds carries a patch under the longest name the packing tool allows; the
same updater run with a temporary directory too long for that name refuses it before the Installer sees it.
A Unix exit status keeps only the low 8 bits of a Windows exit code (3010 arrives as 194), so each code is
read through cmd: "<updater> -a -l <logs> & call echo %^ERRORLEVEL%". The runs share one prefix copy,
in an order in which no run's patches change what a later run expects.

Usage: exit_codes.py BIN_DIR FIXTURES BASELINE_PREFIX WORK_DIR
"""
import sys
import time
from pathlib import Path

from script_tests import (WineRun, build_command, check, check_exit, fresh_dir, log_messages, prefix_copy,
                          run_wine, summary, win)

if len(sys.argv) != 5:
    sys.exit(__doc__)
bin_dir, fixtures, baseline, work = (Path(a).resolve() for a in sys.argv[1:])
RESTART_CAPTION = "Corvantile Updater - Reboot Required"
IDNO = 7


def pack(env, name, patches):
    updater = work / name
    done = run_wine(env, bin_dir / "corvantile-pack.exe", *build_command(
        win(bin_dir / "CorvantileUpdater.exe"), win(updater), [win(fixtures / patch) for patch in patches]), cwd=work)
    check_exit(done, f"corvantile-pack build {name}")
    return updater


def exit_code(env, updater, logs, answer_restart_question=False, temp=None):
    """The exit code as cmd's ERRORLEVEL; with answer_restart_question, the restart question is answered No
    from a probe in the same prefix while the run waits for it; with temp, TEMP and TMP name that directory."""
    logs.mkdir(parents=True, exist_ok=True)
    command = f"{win(updater)} -a -l {win(logs)} & call echo %^ERRORLEVEL%"
    if temp is not None:
        command = f"set TEMP={win(temp)}&& set TMP={win(temp)}&& {command}"
    shell = WineRun(env, "cmd", "/c", command, cwd=work)
    if answer_restart_question:
        probe = bin_dir / "screenshot-probe.exe"
        check(run_wine(env, probe, "wait", RESTART_CAPTION, cwd=work).returncode == 0,
              "the restart question is asked in a -a run")
        check(run_wine(env, probe, "press", RESTART_CAPTION, IDNO, cwd=work).returncode == 0,
              "the restart question is answered No")
    said = shell.finish(timeout=180).stdout.split()
    return int(said[-1]) if said and said[-1].isdigit() else None


def main():
    fresh_dir(work)
    with prefix_copy(baseline) as (_, env):
        # The longest name the packing tool takes: it fits behind a temporary directory of up to 100 characters.
        long_name = "L" * (122 - len("PatchX64.msp")) + "PatchX64.msp"
        (work / long_name).write_bytes((fixtures / "PatchX64.msp").read_bytes())
        long_temp = work / ("t" * 60) / ("u" * 60)
        long_temp.mkdir(parents=True)
        updater = pack(env, "Update.exe", [work / long_name, fixtures / "PatchX86.msp"])
        damaged = pack(env, "Damaged.exe", ["PatchX64.msp"])
        damaged.write_bytes(damaged.read_bytes()[:-10])
        cases = [
            # Nothing is applied by the first three, so the fourth still finds both products as installed.
            ("a damaged package", damaged, False, None, 1, "Failed to extract update."),
            ("a patch path beyond MAX_PATH", updater, False, long_temp, 1, "Update file path too long."),
            ("a failing patch", pack(env, "Fails.exe", ["PatchFails.msp"]), False, None, 1603,
             "MsiApplyPatch failed with error=1603"),
            ("an applied update", updater, False, None, 0,
             "All updates applied successfully and MSI transaction committed."),
            ("a restart declined", pack(env, "Reboot.exe", ["PatchReboot.msp"]), True, None, 3010,
             "One or more of the updates installed require a reboot."),
        ]
        for index, (what, updater, answer, temp, expected, line) in enumerate(cases):
            logs = work / f"logs{index}"
            started = time.monotonic()
            code = exit_code(env, updater, logs, answer, temp)
            check(code == expected, f"{what}: exit code {expected} ({code}, {time.monotonic() - started:.1f} s)")
            last = (log_messages(logs) or ["<no log>"])[-1]
            check(last == line, f"{what}: the log ends with {line!r} ({last!r})")


main()
sys.exit(summary())
