"""Runs the console examples of a document and compares what they print with what the document shows.

Each ```console block holds commands ("$ " lines) each followed by the output it shows (stdout and stderr
together). A command must succeed, so a document that shows a failure shows its exit code with `; echo`. A
command without shown output is only run. In shown output, a line "..." stands for any number of lines and
"..." within a line for any text. The commands run one after another in one work directory, with bash.

Usage: check_doc_examples.py DOCUMENT WORK_DIR [NAME=VALUE ...]
  NAME=VALUE puts a tool on the PATH (a link named NAME to VALUE) or, with NAME starting with "file:", copies
  VALUE into the work directory as the rest of NAME.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from script_tests import check, fresh_dir, summary


def console_blocks(text):
    """Each console block as a list of (command, shown output lines)."""
    blocks = []
    for block in re.findall(r"^```console\n(.*?)^```$", text, re.S | re.M):
        steps = []
        for line in block.splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps:
                steps[-1][1].append(line)
            else:
                raise ValueError(f"output before the first command: {line!r}")
        blocks.append(steps)
    return blocks


def line_pattern(shown):
    return re.compile(".*".join(re.escape(part) for part in shown.split("...")) + r"\Z", re.S)


def matches(shown, printed):
    """Whether the printed lines match the shown ones, "..." lines matching any run of lines."""
    if not shown:
        return not printed
    if shown[0] == "...":
        return any(matches(shown[1:], printed[i:]) for i in range(len(printed) + 1))
    return bool(printed) and line_pattern(shown[0]).match(printed[0]) is not None and matches(shown[1:], printed[1:])


# (shown, printed, whether they match, what that shows) for the self-test.
SELF_TEST = [
    (["a", "...", "c"], ["a", "b", "b", "c"], True, 'a "..." line matches two lines'),
    (["a", "...", "c"], ["a", "c"], True, 'a "..." line matches no line'),
    (["a", "c"], ["a", "b", "c"], False, "an unshown line in between is caught"),
    (["offset ..., ... bytes"], ["offset 12, 40 bytes"], True, '"..." within a line matches any text'),
    (["offset ..., 41 bytes"], ["offset 12, 40 bytes"], False, "a different number is caught"),
    (["x"], [], False, "a shown line that is not printed is caught"),
    ([], ["unshown"], False, "a printed line that is not shown is caught"),
]


def main():
    if sys.argv[1:] == ["--self-test"]:
        for shown, printed, expected, what in SELF_TEST:
            check(matches(shown, printed) == expected, what)
        return summary()
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    document, work = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    tools = fresh_dir(work) / ".tools"
    tools.mkdir()
    for argument in sys.argv[3:]:
        name, value = argument.split("=", 1)
        if name.startswith("file:"):
            shutil.copy(value, work / name[len("file:"):])
        else:
            (tools / name).symlink_to(Path(value).resolve())
    environment = dict(os.environ, PATH=f"{tools}:{os.environ['PATH']}", LC_ALL="C.UTF-8")

    commands = 0
    for steps in console_blocks(document.read_text(encoding="utf-8")):
        for command, shown in steps:
            commands += 1
            result = subprocess.run(["bash", "-c", command], cwd=work, env=environment, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True)
            printed = result.stdout.splitlines()
            problem = None
            if result.returncode != 0:
                problem = f"exit code {result.returncode}"
            elif shown and not matches(shown, printed):
                problem = "it printed something else"
            if not check(problem is None, command + (f": {problem}" if problem else "")):
                print("  shown:\n" + "\n".join("    " + line for line in shown))
                print("  printed:\n" + "\n".join("    " + line for line in printed))
    check(commands > 0, f"{document.name} shows {commands} command(s)")
    return summary()


sys.exit(main())
