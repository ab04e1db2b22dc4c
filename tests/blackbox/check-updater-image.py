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
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

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

failures = []


def fail(message):
    failures.append(message)


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
    if magic != 0x20B:
        fail(f"not a PE32+ (x64) image: optional header magic {magic:#x}")
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
    if len(data) != end:
        fail(f"the file has {len(data)} bytes but its sections end at {end}: "
             f"{len(data) - end} bytes behind the image would be read as an update package")


def check_imports(path, objdump):
    dump = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    dlls = [line.split(":", 1)[1].strip() for line in dump.splitlines() if line.strip().startswith("DLL Name:")]
    if not dlls:
        fail("objdump shows no imported DLL at all")
    for dll in dlls:
        if dll.lower() == "msi.dll":
            fail("imports msi.dll, which would be searched for beside the updater first")
        if dll.lower() not in IMPORTABLE_DLLS:
            fail(f"imports {dll}, which is no known DLL and would be searched for beside the updater first")


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


def dialog_templates(rc_text):
    """{id: the template's lines without BEGIN/END and memory flags} of every decompiled dialog."""
    dialogs = {}
    lines = [line.strip() for line in rc_text.splitlines()]
    for index, line in enumerate(lines):
        words = line.split()
        if len(words) >= 2 and words[0].isdigit() and words[1] == "DIALOGEX":
            sizes = line.split("DIALOGEX", 1)[1].replace("MOVEABLE", "").replace("PURE", "").replace("DISCARDABLE", "")
            template = ["DIALOGEX " + sizes.strip()]
            cursor = index + 1
            while lines[cursor] != "END":
                if lines[cursor] != "BEGIN":
                    template.append(lines[cursor])
                cursor += 1
            dialogs[int(words[0])] = template
    return dialogs


def rc_string(line):
    """The text of one quoted line of windres output."""
    line = line.strip()
    if not (line.startswith('"') and line.endswith('"')):
        raise ValueError(f"not a quoted string: {line}")
    return line[1:-1].replace('""', '"').replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t")


def resource_blocks(rc_text):
    """(language line, header line, body lines) of each resource that windres decompiled."""
    lines = rc_text.splitlines()
    language = None
    index = 0
    while index < len(lines):
        line = lines[index].strip()
        if line.startswith("LANGUAGE"):
            language = line
        if line == "BEGIN":
            header = lines[index - 1].strip()
            body = []
            index += 1
            while lines[index].strip() != "END":
                body.append(lines[index])
                index += 1
            yield language, header, body
        index += 1


def check_version_info(rc_text, version):
    """The decompiled VERSIONINFO: its fixed version numbers and its string values."""
    lines = rc_text.splitlines()
    starts = [index for index, line in enumerate(lines) if line.strip() == "1 VERSIONINFO"]
    if len(starts) != 1:
        fail(f"{len(starts)} version resources with id 1, expected one")
        return
    block = []
    for line in lines[starts[0] + 1:]:
        if line == "END":  # windres indents everything inside the resource
            break
        block.append(line.strip())
    numbers = ", ".join((version.split(".") + ["0"] * 4)[:4])
    for field in ("FILEVERSION", "PRODUCTVERSION"):
        if f"{field} {numbers}" not in block:
            fail(f"version resource without {field} {numbers}: {block[:2]}")
    values = dict(re.findall(r'^VALUE "(\w+)", "(.*)"$', "\n".join(block), re.MULTILINE))
    expected = {"ProductName": "Corvantile Updater", "FileVersion": version, "ProductVersion": version}
    for key, text in expected.items():
        if values.get(key) != text:
            fail(f"version resource value {key} is {values.get(key)!r}, expected {text!r}")


def check_icon_group(rc_text):
    """The one RT_GROUP_ICON: IDI_UPDATER, with an entry of each expected size and depth in order, each naming an
    RT_ICON of the image."""
    groups, icons = {}, set()
    for _, header, body in resource_blocks(rc_text):
        words = header.split()
        if len(words) >= 2 and words[0].isdigit() and words[1] == "14":
            groups[int(words[0])] = [tuple(int(v, 8) for v in match[:4]) + (int(match[4]), int(match[5]),
                                                                             int(match[6], 16), int(match[7]))
                                     for match in GROUP_ENTRY.findall("".join(body))]
        elif len(words) >= 2 and words[0].isdigit() and words[1] == "3":
            icons.add(int(words[0]))
    if list(groups) != [IDI_UPDATER]:
        fail(f"icon groups {list(groups)}, expected one, IDI_UPDATER ({IDI_UPDATER})")
        return
    entries = groups[IDI_UPDATER]
    expected = [(size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits) for size, bits in ICON_IMAGES]
    if [entry[:6] for entry in entries] != expected:
        fail(f"the icon group holds (width, height, colours, reserved, planes, bits) {[e[:6] for e in entries]}, "
             f"expected {expected}")
    for *_, icon in entries:
        if icon not in icons:
            fail(f"the icon group names icon {icon}, which is not in the image")


def check_resources(path, windres, version):
    decompiled = subprocess.run([windres, "-i", path, "-O", "rc"], capture_output=True, text=True)
    if decompiled.returncode != 0:
        fail(f"windres cannot read the resources: {decompiled.stderr.strip()}")
        return
    rc_text = decompiled.stdout
    check_version_info(rc_text, version)
    manifests, strings = [], {}
    for language, header, body in resource_blocks(rc_text):
        if header.startswith("1 24"):
            manifests.append("".join(rc_string(line) for line in body))
        elif header == "STRINGTABLE":
            # LANG_ENGLISH (9), SUBLANG_ENGLISH_US (1): language 1033.
            if language != "LANGUAGE 9, 1":
                fail(f"string table in {language}, expected LANGUAGE 9, 1")
            for line in body:
                number, text = line.split(",", 1)
                strings[int(number)] = rc_string(text)

    for number, text in STRINGS.items():
        if strings.get(number) != text:
            fail(f"string {number} is {strings.get(number)!r}, expected {text!r}")

    check_icon_group(rc_text)

    dialogs = dialog_templates(rc_text)
    for number, expected in DIALOGS.items():
        if dialogs.get(number) != expected:
            fail(f"dialog {number} is {dialogs.get(number)}, expected {expected}")

    if len(manifests) != 1:
        fail(f"{len(manifests)} manifests with id 1, expected one")
        return
    try:
        assembly = ElementTree.fromstring(manifests[0])
    except ElementTree.ParseError as error:
        fail(f"the manifest is no well-formed XML: {error}")
        return
    levels = assembly.findall(f".//{ASM_V3}requestedExecutionLevel")
    if [(level.get("level"), level.get("uiAccess")) for level in levels] != [("requireAdministrator", "false")]:
        fail(f"requested execution level {[level.attrib for level in levels]}, "
             "expected requireAdministrator with uiAccess false")
    controls = [identity for identity in assembly.findall(f".//{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity")
                if identity.get("name") == "Microsoft.Windows.Common-Controls"]
    if [identity.get("version") for identity in controls] != ["6.0.0.0"]:
        fail(f"Common-Controls dependency {[identity.attrib for identity in controls]}, expected version 6.0.0.0")

    # Windows reads these only at these places, and compares the values without regard to case.
    supported = {element.get("Id", "").lower()
                 for element in assembly.findall(f"./{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                                                 f"{COMPATIBILITY}supportedOS")}
    for missing in sorted(set(SUPPORTED_OS) - supported, key=list(SUPPORTED_OS).index):
        fail(f"the manifest does not name {SUPPORTED_OS[missing]} as supported (supportedOS Id=\"{missing}\")")
    settings = f"./{ASM_V3}application/{ASM_V3}windowsSettings/"
    for element, expected in ((f"{WINDOWS_SETTINGS_2016}dpiAwareness", "permonitorv2"),
                              (f"{WINDOWS_SETTINGS_2005}dpiAware", "true/pm")):
        values = [(found.text or "").strip().lower() for found in assembly.findall(settings + element)]
        if values != [expected]:
            fail(f"{element.split('}')[1]} is {values} in the manifest's windowsSettings, expected [{expected!r}]")


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    path, objdump, windres, version = sys.argv[1:]
    check_layout(path)
    check_imports(path, objdump)
    check_resources(path, windres, version)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    if not failures:
        print(f"{path}: ends with its last section, imports known DLLs and the common controls only, manifest"
              " (with supported systems and DPI awareness), version resource, strings, dialogs and the icon of ten"
              " images embedded")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
