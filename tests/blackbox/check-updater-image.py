#!/usr/bin/env python3
"""Checks the built CorvantileUpdater.exe as it will be shipped.

- The file ends exactly where the raw data of its last section ends: anything behind it (a symbol table of
  an unstripped build, say) would be taken for an update package.
- It imports known DLLs only (Windows loads those from the system directory, whatever lies beside the
  program), and the common controls, which its manifest sends to the side-by-side store: no MinGW runtime DLL
  has to travel with it, and nothing is loaded from the updater's own (download) folder before its first line
  runs. Neither msi.dll nor version.dll, say, is a known DLL: a static import would be searched for in that
  folder first; the updater loads msi.dll from the system directory when an update runs.
- Its version resource marks it as this project's updater: ProductName "Corvantile Updater" (the packing tool
  packs no other stub), and the project's version as FileVersion and ProductVersion (the About box shows it).
- Its manifest asks for administrator rights and the version 6 common controls, names every Windows from
  Vista to 11 as supported (else Windows applies its compatibility behaviour to it) and declares per-monitor
  (v2) DPI awareness with the system-wide fallback (else Windows stretches its dialogs), its English string
  table holds the texts the program shows, and its two dialog templates are exactly the dialogs it must show:
  sizes, font, styles, control ids, kinds, texts, positions in dialog units and template order.
- Its icon group (IDI_UPDATER) holds the ten images that res/icon/make-icon.py draws, in its order: 16x16 at 4, 8
  and 32 bits per pixel, 32x32 at 4, 8 and 32, 48x48 at 8 and 32, 256x256 at 8 and 32, each an icon resource of
  the image. That the .ico is what the script draws is IconComesFromItsScript's check.

Usage: check-updater-image.py UPDATER_EXE OBJDUMP WINDRES VERSION
"""
import itertools
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

from script_tests import check, summary

# Known DLLs of Windows 10 and 11 that the updater may import, and comctl32.dll (see above).
IMPORTABLE_DLLS = {
    "advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
    "oleaut32.dll", "rpcrt4.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
}

STRINGS = {
    104: "Applying updates...",
    105: "Close",
    106: "Finished updating.",
    107: "Update failed.",
    108: "This utility will update your %s to version %s.",
    109: "Error: either the updater is empty, or the contained update data are inaccessible.",
    110: "Installing update '%s' for '%s'.",
    111: "The log file could not be created. Click 'OK' to continue without it.",
}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}

IDI_UPDATER = 105
# (size, bits per pixel) as res/icon/make-icon.py's IMAGES lists them.
ICON_IMAGES = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32), (256, 8), (256, 32)]
# One entry of a decompiled RT_GROUP_ICON: "width height colours reserved" (octal escapes), planes, bits, bytes,
# icon id.
GROUP_ENTRY = re.compile(r'"\\(\d{3})\\(\d{3})\\(\d{3})\\(\d{3})", (\d+), (\d+), (0x[0-9a-f]+)L, (\d+)')

def image_end(data):
    """End of the raw data of the section with the largest PointerToRawData (the first of equals)."""
    if data[:2] != b"MZ":
        raise ValueError("no DOS header")
    nt_headers = struct.unpack_from("<I", data, 60)[0]
    if data[nt_headers:nt_headers + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    section_count, = struct.unpack_from("<H", data, nt_headers + 6)
    optional_header_bytes, = struct.unpack_from("<H", data, nt_headers + 20)
    magic, = struct.unpack_from("<H", data, nt_headers + 24)
    check(magic == 0x20B, f"a PE32+ (x64) image (optional header magic {magic:#x})")
    section_table = nt_headers + 24 + optional_header_bytes
    largest_pointer, end = None, 0
    for index in range(section_count):
        raw_bytes, raw_pointer = struct.unpack_from("<II", data, section_table + 40 * index + 16)
        if largest_pointer is None or raw_pointer > largest_pointer:
            largest_pointer, end = raw_pointer, raw_pointer + raw_bytes
    return end


def check_layout(path):
    with open(path, "rb") as image:
        data = image.read()
    end = image_end(data)
    check(len(data) == end, f"the file ends where its sections end ({len(data)} bytes, sections end at {end}): "
          "bytes behind the image would be read as an update package")


def check_imports(path, objdump):
    dump = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    dlls = [line.split(":", 1)[1].strip() for line in dump.splitlines() if line.strip().startswith("DLL Name:")]
    check(dlls, f"objdump shows imported DLLs ({dlls})")
    for dll in dlls:
        check(dll.lower() != "msi.dll", f"{dll} is not msi.dll, which would be searched for beside the updater first")
        check(dll.lower() in IMPORTABLE_DLLS,
              f"{dll} is a known DLL or the common controls (else it would be searched for beside the updater first)")


WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_SYSMENU, WS_GROUP, WS_TABSTOP = 0x00C00000, 0x00800000, 0x00080000, 0x00020000, 0x00010000
DS_SETFONT, DS_FIXEDSYS, DS_MODALFRAME = 0x40, 0x08, 0x80
WS_EX_APPWINDOW = 0x00040000
SS_LEFT, BS_PUSHBUTTON, BS_DEFPUSHBUTTON, PBS_MARQUEE = 0x0, 0x0, 0x1, 0x08

# As windres prints a compiled template; a control line keeps the template's order.
DIALOGS = {
    101: [
        "DIALOGEX 0, 0, 244, 101",
        f"STYLE {WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS:#x}",
        f"EXSTYLE {WS_EX_APPWINDOW:#x}",
        'CAPTION "Corvantile Updater"',
        'FONT 8, "MS Shell Dlg"',
        f'LTEXT "[PLACEHOLDER]", 1001, 6, 6, 232, 22, {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT:#x}',
        f'LTEXT "Click \'OK\' to continue", 1004, 6, 34, 232, 19, {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT:#x}',
        # Hidden until the run starts; no default button anywhere.
        f'CONTROL "", 1002, "MSCTLS_PROGRESS32", {WS_CHILD | WS_BORDER | PBS_MARQUEE:#x}, 6, 59, 232, 14',
        f'PUSHBUTTON "OK", 1, 132, 79, 50, 16, {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON:#x}',
        f'PUSHBUTTON "Cancel", 2, 188, 79, 50, 16, {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON:#x}',
    ],
    102: [
        "DIALOGEX 0, 0, 200, 80",
        f"STYLE {WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS:#x}",
        'CAPTION "About Corvantile Updater"',
        'FONT 8, "MS Shell Dlg"',
        f'DEFPUSHBUTTON "OK", 1, 144, 60, 50, 14, {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON:#x}',
        f'LTEXT "Corvantile Updater", 1005, 6, 12, 188, 8, {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT:#x}',
        f'LTEXT "Version", 1006, 6, 26, 188, 8, {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT:#x}',
    ],
}


def resources(rc_text):
    """(language line, first line, header lines, body lines) of each resource that windres decompiled, the
    header and body lines without their indentation. windres starts a resource's first line, its header lines
    (a dialog's STYLE, say) and the BEGIN and END around its body at the start of a line and indents all else."""
    found, language, lines = [], None, iter(rc_text.splitlines())
    for line in lines:
        if line.startswith("LANGUAGE"):
            language = line
        elif line[:1].isdigit() or line == "STRINGTABLE":
            header = [text.strip() for text in itertools.takewhile(lambda text: text != "BEGIN", lines)]
            body = [text.strip() for text in itertools.takewhile(lambda text: text != "END", lines)]
            found.append((language, line, header, body))
    return found


def rc_string(line):
    """The text of one quoted line of windres output."""
    if not (line.startswith('"') and line.endswith('"')):
        raise ValueError(f"not a quoted string: {line}")
    return line[1:-1].replace('""', '"').replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t")


def check_version_info(blocks, version):
    """The VERSIONINFO: its fixed version numbers and its string values."""
    if not check(len(blocks) == 1, f"one version resource with id 1 ({len(blocks)})"):
        return
    block = blocks[0]
    numbers = ", ".join((version.split(".") + ["0"] * 4)[:4])
    for field in ("FILEVERSION", "PRODUCTVERSION"):
        check(f"{field} {numbers}" in block, f"the version resource says {field} {numbers} ({block[:2]})")
    values = dict(re.findall(r'^VALUE "(\w+)", "(.*)"$', "\n".join(block), re.MULTILINE))
    for key, text in {"ProductName": "Corvantile Updater", "FileVersion": version, "ProductVersion": version}.items():
        check(values.get(key) == text, f"version resource value {key} is {text!r} ({values.get(key)!r})")


def check_icon_group(groups, icons):
    """The one RT_GROUP_ICON: IDI_UPDATER, with an entry of each expected size and depth in order, each naming an
    RT_ICON of the image."""
    if not check(list(groups) == [IDI_UPDATER], f"one icon group, IDI_UPDATER ({IDI_UPDATER}): {list(groups)}"):
        return
    entries = [tuple(int(v, 8) for v in match[:4]) + (int(match[4]), int(match[5]), int(match[6], 16), int(match[7]))
               for match in GROUP_ENTRY.findall("".join(groups[IDI_UPDATER]))]
    expected = [(size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits) for size, bits in ICON_IMAGES]
    check([entry[:6] for entry in entries] == expected,
          f"the icon group holds ICON_IMAGES as (width, height, colours, reserved, planes, bits) "
          f"({[e[:6] for e in entries]})")
    for *_, icon in entries:
        check(icon in icons, f"the icon group's icon {icon} is in the image")


def check_manifest(manifests):
    if not check(len(manifests) == 1, f"one manifest with id 1 ({len(manifests)})"):
        return
    try:
        assembly = ElementTree.fromstring(manifests[0])
    except ElementTree.ParseError as error:
        check(False, f"the manifest is well-formed XML ({error})")
        return
    levels = assembly.findall(f".//{ASM_V3}requestedExecutionLevel")
    check([(level.get("level"), level.get("uiAccess")) for level in levels] == [("requireAdministrator", "false")],
          f"the requested execution level is requireAdministrator with uiAccess false "
          f"({[level.attrib for level in levels]})")
    controls = [identity for identity in assembly.findall(f".//{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity")
                if identity.get("name") == "Microsoft.Windows.Common-Controls"]
    check([identity.get("version") for identity in controls] == ["6.0.0.0"],
          f"the Common-Controls dependency is version 6.0.0.0 ({[identity.attrib for identity in controls]})")

    # Windows reads these only at these places, and compares the values without regard to case.
    supported = {element.get("Id", "").lower()
                 for element in assembly.findall(f"./{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                                                 f"{COMPATIBILITY}supportedOS")}
    for guid, system in SUPPORTED_OS.items():
        check(guid in supported, f"the manifest names {system} as supported (supportedOS Id=\"{guid}\")")
    settings = f"./{ASM_V3}application/{ASM_V3}windowsSettings/"
    for element, expected in ((f"{WINDOWS_SETTINGS_2016}dpiAwareness", "permonitorv2"),
                              (f"{WINDOWS_SETTINGS_2005}dpiAware", "true/pm")):
        values = [(found.text or "").strip().lower() for found in assembly.findall(settings + element)]
        check(values == [expected],
              f"{element.split('}')[1]} is [{expected!r}] in the manifest's windowsSettings ({values})")


def check_resources(path, windres, version):
    decompiled = subprocess.run([windres, "-i", path, "-O", "rc"], capture_output=True, text=True)
    if not check(decompiled.returncode == 0, f"windres reads the resources ({decompiled.stderr.strip()})"):
        return
    versions, manifests, strings, groups, icons, dialogs = [], [], {}, {}, set(), {}
    for language, first, header, body in resources(decompiled.stdout):
        words = first.split() + [""]
        if first == "1 VERSIONINFO":
            versions.append(header + body)
        elif first.startswith("1 24"):
            manifests.append("".join(rc_string(line) for line in body))
        elif first == "STRINGTABLE":
            # LANG_ENGLISH (9), SUBLANG_ENGLISH_US (1): language 1033.
            check(language == "LANGUAGE 9, 1", f"the string table is in LANGUAGE 9, 1 ({language})")
            for line in body:
                number, text = line.split(",", 1)
                strings[int(number)] = rc_string(text.strip())
        elif words[1] == "14":
            groups[int(words[0])] = body
        elif words[1] == "3":
            icons.add(int(words[0]))
        elif words[1] == "DIALOGEX":
            sizes = first.split("DIALOGEX", 1)[1]
            for flag in ("MOVEABLE", "PURE", "DISCARDABLE"):
                sizes = sizes.replace(flag, "")
            dialogs[int(words[0])] = ["DIALOGEX " + sizes.strip()] + header + body

    check_version_info(versions, version)
    for number, text in STRINGS.items():
        check(strings.get(number) == text, f"string {number} is {text!r} ({strings.get(number)!r})")
    check_icon_group(groups, icons)
    for number, expected in DIALOGS.items():
        check(dialogs.get(number) == expected, f"dialog {number} is the template in DIALOGS ({dialogs.get(number)})")
    check_manifest(manifests)


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    path, objdump, windres, version = sys.argv[1:]
    check_layout(path)
    check_imports(path, objdump)
    check_resources(path, windres, version)
    return summary()


if __name__ == "__main__":
    sys.exit(main())
