"""Runs the commands that docs/deploying.md shows on a real updater, in a copy of the Installer tests' prefix
with both test products installed, and compares the log the updater writes with the log the document shows
(without the times) and the Installer log it names.

Usage: check_deploying.py DOCUMENT BASELINE_PREFIX PACK_TOOL STUB FIXTURES WORK_DIR
"""
import re
import subprocess
import sys
from pathlib import Path

from script_tests import (EXAMPLE_PRODUCT, build_command, check, fresh_dir, log_messages, prefix_copy, run_wine,
                          same_file, summary)

if len(sys.argv) != 7:
    sys.exit(__doc__)
document, baseline, pack_tool, stub, fixtures, work = (Path(a).resolve() for a in sys.argv[1:])
text = document.read_text(encoding="utf-8")


def code_blocks():
    return [block.strip("\n").splitlines() for block in re.findall(r"^ *```\n(.*?)^ *```$", text, re.S | re.M)]


commands = [line for block in code_blocks() for line in block if line.startswith("Update.exe ")]
shown_log = next(block for block in code_blocks() if any("Extracting update files." in line for line in block))
shown_messages = [line.strip()[14:] for line in shown_log]
shown_installer_log = re.search(r"for example `([^`]+\.log)`", text).group(1)
# The packed updater, as the release guide names it; the bare stub carries no package.
check(len(commands) == 2 and commands[0].startswith("Update.exe -a -l ")
      and commands[1].startswith("Update.exe -x "), f"the document shows an update and an extraction: {commands}")

fresh_dir(work)
patches = ["PatchX64.msp", "PatchX86.msp"]
subprocess.run([pack_tool, *build_command(stub, work / "Update.exe", [fixtures / p for p in patches], EXAMPLE_PRODUCT)],
               check=True, stderr=subprocess.DEVNULL)


def in_prefix(prefix, directory):
    """Where a directory on drive C: of the prefix copy lies on this machine."""
    return prefix / "drive_c" / directory[3:].replace("\\", "/")


# Each command as the document shows it, through the command shell, in one copy of the prefix.
with prefix_copy(baseline) as (prefix, env):
    update, extraction = [run_wine(env, "cmd", "/c", command, cwd=work, timeout=300) for command in commands]
    update_logs = in_prefix(prefix, commands[0].split()[-1])
    check(update.returncode == 0, f"{commands[0]} exits 0 ({update.returncode}: {update.stderr.strip()})")
    messages = log_messages(update_logs) or []
    check(messages == shown_messages, f"its log is the one the document shows ({messages})")
    check((update_logs / shown_installer_log).is_file(), f"the Installer log {shown_installer_log} is there")

    extracted = in_prefix(prefix, commands[1].split()[2])
    check(extraction.returncode == 0, f"{commands[1]} exits 0 ({extraction.returncode}: {extraction.stderr.strip()})")
    check(all(same_file(extracted / p, fixtures / p) for p in patches), "it extracts the patches as they were packed")

sys.exit(summary())
