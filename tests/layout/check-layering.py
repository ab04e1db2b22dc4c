#!/usr/bin/env python3
"""Fails when a project include crosses the folders' layering.

- app/ is the foundation (log, formatter, settings, handle owners) plus the entry point: only the entry
  point, app/Main.cpp, may include engine/ or ui/.
- package/ includes nothing of engine/ or ui/.
- engine/ takes nothing from ui/ but the notification ids.
- tools/ builds on package/ alone.
- Nothing else reaches ui/.

Usage: check-layering.py SOURCE_ROOT      checks the tree
       check-layering.py --self-test      shows that each rule catches a crossing
"""
import pathlib
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".c", ".rc"}
ENTRY_POINT = "app/Main.cpp"
NOTIFICATION_IDS = "ui/Notifications.h"


def violation(source, target):
    """Why `source` may not include `target`, or None."""
    folder = source.split("/", 1)[0]
    target_folder = target.split("/", 1)[0] if "/" in target else None
    if folder == "app" and source != ENTRY_POINT and target_folder in ("engine", "ui"):
        return "the foundation in app/ includes no engine/ or ui/; only the entry point does"
    if folder == "package" and target_folder in ("engine", "ui"):
        return "package/ includes no engine/ or ui/"
    if folder == "engine" and target_folder == "ui" and target != NOTIFICATION_IDS:
        return "engine/ takes nothing from ui/ but the notification ids"
    if folder == "tools" and target_folder not in (None, "tools", "package"):
        return "tools/ uses package/ alone"
    if target_folder == "ui" and folder not in ("ui", "engine") and source != ENTRY_POINT:
        return "only the entry point reaches ui/"
    return None


def check(root):
    root = pathlib.Path(root)
    problems = []
    checked = 0
    for folder in ("app", "package", "engine", "ui", "tools", "res"):
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            checked += 1
            source = path.relative_to(root).as_posix()
            for target in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
                reason = violation(source, target)
                if reason:
                    problems.append(f'{source}: includes "{target}": {reason}')
    return checked, problems


def self_test():
    crossings = {
        "app/Log.cpp": "engine/ApplyUpdates.h",
        "app/RunSettings.h": "ui/Dialog.h",
        "package/Extraction.cpp": "engine/InstallerApi.h",
        "package/PackageFile.h": "ui/Notifications.h",
        "engine/UpdateProduct.cpp": "ui/UpdaterDialog.h",
        "tools/PackTool.cpp": "app/Log.h",
        "res/resource.h": "ui/Dialog.h",
    }
    allowed = {
        "app/Main.cpp": "ui/UpdaterDialog.h",
        "engine/UpdateProduct.h": "ui/Notifications.h",
        "tools/PackTool.h": "package/PackageLayout.h",
        "ui/UpdaterDialog.cpp": "engine/ApplyUpdates.h",
    }
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        for source, target in {**crossings, **allowed}.items():
            (root / source).parent.mkdir(parents=True, exist_ok=True)
            (root / source).write_text(f'#include "{target}"\n', encoding="utf-8")
        _, problems = check(root)
    caught = {problem.split(":", 1)[0] for problem in problems}
    missed = sorted(set(crossings) - caught)
    wrongly = sorted(caught - set(crossings))
    if missed or wrongly:
        print(f"self-test: missed {missed}, wrongly refused {wrongly}")
        return 1
    print(f"self-test: all {len(crossings)} crossings caught, {len(allowed)} allowed includes kept")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    checked, problems = check(sys.argv[1])
    for problem in problems:
        print(problem)
    if problems:
        return 1
    if checked == 0:
        print("no source file found: wrong root?")
        return 1
    print(f"{checked} files follow the layering")
    return 0


if __name__ == "__main__":
    sys.exit(main())
