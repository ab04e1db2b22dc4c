"""Runs the commands that docs/deploying.md shows on a real updater, in a copy of the Installer tests' prefix
with both test products installed, and compares the log the updater writes with the log the document shows
(without the times) and the Installer log it names.

Usage: check_deploying.py DOCUMENT RUN_IN_PREFIX_COPY BASELINE_PREFIX PACK_TOOL STUB FIXTURES WORK_DIR
"""
import re
import subprocess
import sys
from pathlib import Path

from script_tests import EXAMPLE_PRODUCT, build_command, check, fresh_dir, log_messages, same_file, summary, win

if len(sys.argv) != 8:
    sys.exit(__doc__)
document, run_in_copy, baseline, pack_tool, stub, fixtures, work = (Path(a).resolve() for a in sys.argv[1:])
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

(fresh_dir(work) / "out").mkdir()
patches = ["PatchX64.msp", "PatchX86.msp"]
subprocess.run([pack_tool, *build_command(stub, work / "Update.exe", [fixtures / p for p in patches], EXAMPLE_PRODUCT)],
               check=True, stderr=subprocess.DEVNULL)

# Each command as the document shows it, its exit code kept, then every directory it names copied out of the
# prefix copy before the copy goes.
directories = sorted({word for command in commands for word in command.split() if re.match(r"[A-Z]:\\", word)})
script = ["@echo off", "cd /d " + win(work)]
for index, command in enumerate(commands):
    script += [command, f"echo %ERRORLEVEL% > out\\exit{index}.txt"]
for index, directory in enumerate(directories):
    script.append(f"xcopy /e /i /q /y {directory} out\\dir{index} > nul")
(work / "commands.bat").write_text("\r\n".join(script) + "\r\n", encoding="ascii")
subprocess.run([str(run_in_copy), str(baseline), "cmd.exe", "/c", "commands.bat"], cwd=work, timeout=300)


def copied(directory):
    return work / "out" / f"dir{directories.index(directory)}"


def exit_code(index):
    path = work / "out" / f"exit{index}.txt"
    return path.read_text().strip() if path.exists() else "<none>"


update_logs = copied(commands[0].split()[-1])
check(exit_code(0) == "0", f"{commands[0]} exits 0 ({exit_code(0)})")
messages = log_messages(update_logs) or []
check(messages == shown_messages, f"its log is the one the document shows ({messages})")
check((update_logs / shown_installer_log).is_file(), f"the Installer log {shown_installer_log} is there")

extracted = copied(commands[1].split()[2])
check(exit_code(1) == "0", f"{commands[1]} exits 0 ({exit_code(1)})")
check(all(same_file(extracted / p, fixtures / p) for p in patches), "it extracts the patches as they were packed")

sys.exit(summary())
