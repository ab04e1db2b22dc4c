#!/usr/bin/env python3
"""Fails when a project include crosses the folders' layering.

The folders stand in layers, lowest first. A file includes its own folder and the folders of lower layers,
nothing else: no folder of its own layer, none above. There are no exceptions.

Usage: check-layering.py SOURCE_ROOT      checks the tree
       check-layering.py --self-test      shows that each rule catches a crossing
"""
import pathlib
import re
import sys
import tempfile

LAYERS = [
    ["base"],            # log, formatter, handle owners, module path: includes nothing of the project
    ["package"],         # the package layout, the package file, extraction, directories
    ["engine", "res"],   # the Installer layer and the update run; the dialog's resources, which the engine never sees
    ["ui", "tools"],     # the dialog and its worker; the packing tool
    ["app"],             # the entry point and the command line
]
LAYER_OF = {folder: depth for depth, folders in enumerate(LAYERS) for folder in folders}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".c", ".rc"}


def violation(source, target):
    """Why `source` may not include `target`, or None. Includes without a folder are the folder's own."""
    folder = source.split("/", 1)[0]
    if "/" not in target:
        return None
    target_folder = target.split("/", 1)[0]
    if target_folder == folder:
        return None
    if target_folder not in LAYER_OF:
        return f"{target_folder}/ is no folder of the layering"
    if LAYER_OF[target_folder] >= LAYER_OF[folder]:
        return f"{folder}/ includes only lower layers, and {target_folder}/ is not below it"
    return None


def check(root):
    root = pathlib.Path(root)
    problems = []
    checked = 0
    for folder in LAYER_OF:
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
    crossings = [
        ("base/Log.cpp", "package/PackageLayout.h"),
        ("package/Extraction.cpp", "engine/InstallerApi.h"),
        ("engine/UpdateProduct.cpp", "res/resource.h"),
        ("res/resource.h", "ui/Notifications.h"),
        ("engine/ApplyUpdates.cpp", "ui/Notifications.h"),
        ("ui/UpdaterDialog.cpp", "app/CommandLine.h"),
        ("tools/PackTool.cpp", "ui/UpdaterDialog.h"),
        ("ui/DialogState.h", "tools/PackTool.h"),
        ("app/Main.cpp", "tests/support/Files.h"),
    ]
    allowed = [
        ("app/Main.cpp", "ui/UpdaterDialog.h"),
        ("ui/UpdaterDialog.cpp", "res/resource.h"),
        ("tools/PatchSummary.cpp", "engine/PatchCatalogue.h"),
        ("engine/ApplyUpdates.cpp", "base/Log.h"),
        ("res/CorvantileUpdater.rc", "resource.h"),
    ]
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        for source, target in crossings + allowed:
            (root / source).parent.mkdir(parents=True, exist_ok=True)
            with (root / source).open("a", encoding="utf-8") as file:
                file.write(f'#include "{target}"\n')
        _, problems = check(root)
    caught = {tuple(problem.split(": ", 2)[:2]) for problem in problems}
    expected = {(source, f'includes "{target}"') for source, target in crossings}
    missed = sorted(expected - caught)
    wrongly = sorted(caught - expected)
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
