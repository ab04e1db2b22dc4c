#!/usr/bin/python3
"""Builds real Windows Installer products (.msi) and patches (.msp) for the end-to-end tests of the patch engine.

Usage: make-fixtures.py OUTDIR
       make-fixtures.py --payload-mib N OUTDIR

Writes ProductX64.msi, ProductX86.msi, PatchX64.msp, PatchX86.msp, PatchBoth.msp, PatchFails.msp, PatchReboot.msp,
PatchNotInstalled.msp, NotAPatch.msp and fixtures.json into OUTDIR. The same inputs give the same bytes: codes
are fixed, and every time stamp (cabinet entries, summary information) is pinned.

With --payload-mib N it writes only PatchX64.msp and PatchX86.msp, for the benchmarks: the same products'
patches, with codes of their own, whose new file is N MiB of bytes that do not compress (the same for the
same N), so that the Installer really copies N MiB per patch. OUTDIR should not be the tests' fixture folder.

fixtures.json holds the facts every test reads (the Python scripts, the shell scripts and the C++ tests):
"products" by key ("x64", "x86") with their codes, paths and original file contents, "absent_product_code",
"patches" by file name with their code, targets, expected result and the contents they install ("contents")
or must never leave installed ("never_contents"), and "not_a_patch".

The products are built by wixl. The patches are written here as OLE compound files through libgsf: a patch
is a storage holding summary information, an empty string pool, one cabinet per changed product and one
transform sub-storage per target product. A transform is itself a small database whose table streams list the
changed rows; their layout follows the column widths of the product's own tables, read back with msiinfo.
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import gi

gi.require_version("Gsf", "1")
from gi.repository import Gsf  # noqa: E402

# Fixed codes: the tests identify products and patches by them.
X64 = {
    "key": "X64",
    "arch": "x64",
    "msi": "ProductX64.msi",
    "name": "Corvantile Fixture x64",
    "product_code": "{4C9B399E-2689-4D3F-81C7-70F0CE30C060}",
    "upgrade_code": "{A1E2D9F4-0E72-44B3-BA59-BE656AF99065}",
    "package_code": "{3E86459B-D07F-4D4C-B72D-786B70DEB66E}",
    "component_guid": "{A74FD335-8593-42A5-A1CA-266127261850}",
    "program_files": "ProgramFiles64Folder",
    "program_files_path": "C:\\Program Files",
    "program_files_unix": "drive_c/Program Files",
    "template": "x64;1033",
    "file": "x64.txt",
    "original": "x64 build 1.0.0\r\n",
}
X86 = {
    "key": "X86",
    "arch": "x86",
    "msi": "ProductX86.msi",
    "name": "Corvantile Fixture x86",
    "product_code": "{51F8566A-0103-4264-8BE2-9E3205FD05FD}",
    "upgrade_code": "{A2438614-6DDE-4ADC-964A-858364C25450}",
    "package_code": "{FC5417FF-5DB9-48D4-A2DF-1B09D023D79F}",
    "component_guid": "{0F37E79D-F9C5-4C16-9548-22B2123A34C4}",
    "program_files": "ProgramFilesFolder",
    "program_files_path": "C:\\Program Files (x86)",
    "program_files_unix": "drive_c/Program Files (x86)",
    "template": "Intel;1033",
    "file": "x86.txt",
    "original": "x86 build 1.0.0\r\n",
}
# A product that is never built nor installed; it has the x64 product's tables.
ABSENT = dict(X64, key="ABSENT", product_code="{4CBCAF25-990E-42C7-9B13-BBF68EDA0D80}",
              upgrade_code="{9653DEC3-9C87-49C4-A99E-AE1FDA3BA186}")
for product in (X64, X86):
    product["install_dir"] = product["program_files_path"] + "\\" + product["name"]
    product["file_path"] = product["install_dir"] + "\\" + product["file"]
    product["file_unix"] = product["program_files_unix"] + "/" + product["name"] + "/" + product["file"]

PATCH_CODES = {
    "PatchX64.msp": "{44240947-1368-4FB4-A269-1584DE4853F6}",
    "PatchX86.msp": "{83B3C0E6-54E1-4E77-AEE0-A03C04344BA5}",
    "PatchBoth.msp": "{02CF0831-4304-4986-82ED-28FCD2DA06E3}",
    "PatchFails.msp": "{F0E679E4-DB44-4176-AC30-03FE4B0FE44D}",
    "PatchReboot.msp": "{056265D0-DCAE-493E-B043-B2F02DE19ED2}",
    "PatchNotInstalled.msp": "{25CC9BD5-936A-4A35-A0F6-4D96A6040807}",
}
# The benchmark patches (--payload-mib); the tests never see them.
PAYLOAD_PATCH_CODES = {
    "PatchX64.msp": "{791FBC1A-794E-4106-93AB-AE1938A66649}",
    "PatchX86.msp": "{5E4599D5-64EA-4BD7-A17D-989DEB135A82}",
}
MAX_PAYLOAD_MIB = 1024
CONTENT = {
    "X64_PATCHED": "x64 build 1.0.1 patched\r\n",
    "X86_PATCHED": "x86 build 1.0.1 patched\r\n",
    "BOTH_X64": "x64 build 1.0.2 both\r\n",
    "BOTH_X86": "x86 build 1.0.2 both\r\n",
    "REBOOT_X86": "x86 build 1.0.3 reboot\r\n",
    # Carried by the failing patch: it must never reach the disk.
    "FAILS_X64": "x64 build 1.0.4 must not stay\r\n",
    # Carried by the patch for the absent product.
    "NOT_INSTALLED_X64": "x64 build 1.0.5 never installed\r\n",
}
FAIL_MESSAGE = "Corvantile fixture patch fails on purpose"
# What MsiApplyPatchW(path, NULL, INSTALLTYPE_DEFAULT, "REINSTALL=ALL REINSTALLMODE=omus") returns for each file
# in a prefix with both products installed, and what MsiOpenDatabaseW(READONLY + PATCHFILE) returns for the
# product copy (a patch opens with 0): what each fixture is made for, as seen under Wine 8.0.
EXPECTED_APPLY_RESULT = {
    "PatchX64.msp": 0, "PatchX86.msp": 0, "PatchBoth.msp": 0, "PatchFails.msp": 1603, "PatchReboot.msp": 3010,
    "PatchNotInstalled.msp": 1605, "NotAPatch.msp": 87,
}
NOT_A_PATCH_OPEN_RESULT = 110

CLSID_DATABASE = "{000C1084-0000-0000-C000-000000000046}"
CLSID_TRANSFORM = "{000C1082-0000-0000-C000-000000000046}"
CLSID_PATCH = "{000C1086-0000-0000-C000-000000000046}"
FMTID_SUMMARY = "{F29F85E0-4FF9-1068-AB91-08002B27B3D9}"
SUMMARY_STREAM = "\x05SummaryInformation"
CODEPAGE = 1252
# 2024-01-01 00:00:00 UTC, for every time stamp written here.
FIXED_UNIX_TIME = 1704067200
FIXED_FILETIME = (FIXED_UNIX_TIME + 11644473600) * 10_000_000
# Transform validation flags. Windows reads them from the high word (language, product, platform, major and
# minor version here), Wine from the low word (product): either way a transform only changes the product it
# was made for, which matters for a patch that carries one transform per product.
TRANSFORM_VALIDATION = 0x001F0002
FILE_ATTR_COMPRESSED = 0x200
FILE_ATTR_PATCH_ADDED = 0x1000
PATCH_DISK_ID = 2
PATCH_SEQUENCE = 2

VT_I2, VT_I4, VT_LPSTR, VT_FILETIME = 2, 3, 30, 64
PID_CODEPAGE, PID_TITLE, PID_SUBJECT, PID_AUTHOR = 1, 2, 3, 4
PID_TEMPLATE, PID_LASTAUTHOR, PID_REVNUMBER = 7, 8, 9
PID_CREATE_DTM, PID_LASTSAVE_DTM, PID_PAGECOUNT, PID_CHARCOUNT = 12, 13, 14, 16
PID_APPNAME, PID_SECURITY = 18, 19


def as_bytes(content):
    return content if isinstance(content, bytes) else content.encode()


def payload(seed, mib):
    """mib MiB that no compressor can shrink, the same for the same seed and size."""
    return hashlib.shake_256(seed.encode()).digest(mib << 20)


def run(*args, cwd=None):
    env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
    done = subprocess.run(list(args), cwd=cwd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{args[0]} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def guid_bytes(text):
    return uuid.UUID(text).bytes_le


# --- Property sets (summary information) ---------------------------------------------------------------------

def property_set(props):
    """Serialises {pid: (vt, value)} as a one-section property set with the summary information FMTID."""
    values = []
    for pid in sorted(props):
        vt, value = props[pid]
        if vt == VT_I2:
            body = struct.pack("<hH", value, 0)
        elif vt == VT_I4:
            body = struct.pack("<I", value & 0xFFFFFFFF)
        elif vt == VT_FILETIME:
            body = struct.pack("<Q", value)
        elif vt == VT_LPSTR:
            raw = value.encode("cp1252") + b"\0"
            body = struct.pack("<I", len(raw)) + raw + b"\0" * (-len(raw) % 4)
        else:
            raise ValueError(f"unsupported property type {vt}")
        values.append((pid, struct.pack("<I", vt) + body))
    offset = 8 + 8 * len(values)
    index, data = b"", b""
    for pid, blob in values:
        index += struct.pack("<II", pid, offset + len(data))
        data += blob
    section = struct.pack("<II", 8 + len(index) + len(data), len(values)) + index + data
    header = struct.pack("<HHI16sI", 0xFFFE, 0, 0x00020006, b"\0" * 16, 1) + guid_bytes(FMTID_SUMMARY)
    return header + struct.pack("<I", len(header) + 4) + section


def parse_property_set(blob):
    """Reads back the first section of a property set as {pid: (vt, value)}."""
    (section_at,) = struct.unpack_from("<I", blob, 44)
    _, count = struct.unpack_from("<II", blob, section_at)
    props = {}
    for i in range(count):
        pid, at = struct.unpack_from("<II", blob, section_at + 8 + 8 * i)
        at += section_at
        (vt,) = struct.unpack_from("<I", blob, at)
        if vt == VT_I2:
            value = struct.unpack_from("<h", blob, at + 4)[0]
        elif vt == VT_I4:
            value = struct.unpack_from("<I", blob, at + 4)[0]
        elif vt == VT_FILETIME:
            value = struct.unpack_from("<Q", blob, at + 4)[0]
        elif vt == VT_LPSTR:
            (size,) = struct.unpack_from("<I", blob, at + 4)
            value = blob[at + 8:at + 8 + size].rstrip(b"\0").decode("cp1252")
        else:
            raise ValueError(f"unsupported property type {vt} for property {pid}")
        props[pid] = (vt, value)
    return props


# --- Compound files ------------------------------------------------------------------------------------------

def write_compound(path, clsid, entries):
    """Writes a compound file. entries maps a name to bytes (a stream) or to (clsid, entries) (a storage)."""
    outfile = Gsf.OutfileMSOle.new(Gsf.OutputStdio.new(str(path)))
    outfile.set_class_id(guid_bytes(clsid))

    def fill(storage, children):
        for name, child in children.items():
            if isinstance(child, bytes):
                stream = storage.new_child(name, False)
                if child and not stream.write(child):
                    raise OSError(f"cannot write stream {name!r} of {path}")
                stream.close()
            else:
                sub_clsid, sub_entries = child
                sub = storage.new_child(name, True)
                sub.set_class_id(guid_bytes(sub_clsid))
                fill(sub, sub_entries)
                sub.close()

    fill(outfile, entries)
    if not outfile.close():
        raise OSError(f"cannot write {path}")


def read_compound(path):
    """Reads the streams of a compound file without sub-storages, as {name: bytes}."""
    infile = Gsf.InfileMSOle.new(Gsf.InputStdio.new(str(path)))
    streams = {}
    for i in range(infile.num_children()):
        child = infile.child_by_index(i)
        if child.num_children() >= 0:
            raise ValueError(f"{path}: unexpected sub-storage {infile.name_by_index(i)!r}")
        streams[infile.name_by_index(i)] = child.read(child.size) if child.size else b""
    return streams


# Characters a database stream name packs two to a UTF-16 unit.
STREAM_NAME_CHARS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


def stream_name(name, table):
    """The stored name of a database stream; table streams carry the U+4840 prefix."""
    out = ["\u4840"] if table else []
    i = 0
    while i < len(name):
        first = STREAM_NAME_CHARS.find(name[i])
        if first < 0:
            out.append(name[i])
            i += 1
            continue
        second = STREAM_NAME_CHARS.find(name[i + 1]) if i + 1 < len(name) else -1
        if second >= 0:
            out.append(chr(0x3800 + first + (second << 6)))
            i += 2
        else:
            out.append(chr(0x4800 + first))
            i += 1
    if len(out) > 31:
        raise ValueError(f"stream name too long: {name}")
    return "".join(out)


def string_pool(strings):
    """_StringPool and _StringData streams for the given strings, ids counted from 1."""
    pool = struct.pack("<HH", CODEPAGE & 0xFFFF, CODEPAGE >> 16)
    data = b""
    for text, refs in strings:
        raw = text.encode("cp1252")
        pool += struct.pack("<HH", len(raw), refs)
        data += raw
    return {stream_name("_StringPool", True): pool, stream_name("_StringData", True): data}


# --- Products ------------------------------------------------------------------------------------------------

PRODUCT_WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code}" Name="{name}" Language="1033" Version="1.0.0" Manufacturer="Corvantile"
           UpgradeCode="{upgrade_code}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="{program_files}">
        <Directory Id="INSTALLDIR" Name="{name}">
          <Component Id="MainFile" Guid="{component_guid}"{win64}>
            <File Id="{file}" Name="{file}" Source="{file}" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="MainFile"/></Feature>
    <!-- Never scheduled: it only makes the CustomAction table exist, which a patch needs to add a row to. -->
    <CustomAction Id="CorvantileNoop" Property="CorvantileNoop" Value="1"/>
  </Product>
</Wix>
"""


def build_product(product, outdir, work):
    src = work / product["key"]
    src.mkdir()
    (src / "product.wxs").write_text(PRODUCT_WXS.format(win64=' Win64="yes"' if product["arch"] == "x64" else "",
                                                        **product))
    (src / product["file"]).write_bytes(product["original"].encode())
    os.utime(src / product["file"], (FIXED_UNIX_TIME, FIXED_UNIX_TIME))
    built = src / "built.msi"
    run("wixl", "-a", product["arch"], "-o", str(built), "product.wxs", cwd=src)

    # wixl stamps a random package code and the current time: pin both.
    streams = read_compound(built)
    props = parse_property_set(streams[SUMMARY_STREAM])
    if props.get(PID_TEMPLATE, (0, ""))[1] != product["template"]:
        sys.exit(f"wixl wrote template {props.get(PID_TEMPLATE)} for {product['msi']}")
    props[PID_REVNUMBER] = (VT_LPSTR, product["package_code"])
    props[PID_CREATE_DTM] = (VT_FILETIME, FIXED_FILETIME)
    props[PID_LASTSAVE_DTM] = (VT_FILETIME, FIXED_FILETIME)
    streams[SUMMARY_STREAM] = property_set(props)
    write_compound(outdir / product["msi"], CLSID_DATABASE, dict(sorted(streams.items())))


def table_schema(msi, table):
    """Column names, types (e.g. s72, i4, I2) and key columns of a table, as msiinfo exports them."""
    lines = run("msiinfo", "export", str(msi), table).splitlines()
    names, types, keys = lines[0].split("\t"), lines[1].split("\t"), lines[2].split("\t")[1:]
    return [(name, kind, name in keys) for name, kind in zip(names, types)]


# --- Transforms and patches ----------------------------------------------------------------------------------

class Transform:
    """Rows to insert into or update in one product's tables, stored as a transform sub-storage."""

    def __init__(self, product, schemas, version_to):
        self.product, self.schemas, self.version_to = product, schemas, version_to
        self.rows = {}
        self.strings = {}
        self.update("Property", Property="ProductVersion", Value=version_to)

    def string_id(self, text):
        if text is None:
            return 0
        if text not in self.strings:
            self.strings[text] = [len(self.strings) + 1, 0]
        self.strings[text][1] += 1
        return self.strings[text][0]

    def encode(self, table, values, insert):
        columns = self.schemas[table]
        unknown = set(values) - {name for name, _, _ in columns}
        if unknown:
            raise ValueError(f"{table} has no column {unknown}")
        if insert:
            # Low bit set: a whole row, the column count in the high byte.
            mask, present = 1 | (len(columns) << 8), columns
        else:
            # Otherwise a bitmask of the changed columns; key columns are always stored.
            mask, present = 0, []
            for i, (name, kind, key) in enumerate(columns):
                if key:
                    if name not in values:
                        raise ValueError(f"{table} update needs key {name}")
                    present.append(columns[i])
                elif name in values:
                    if i == 0:
                        raise ValueError(f"{table}: the first column must be a key")
                    mask |= 1 << i
                    present.append(columns[i])
            if not mask:
                raise ValueError(f"{table} update changes nothing")
        out = struct.pack("<H", mask)
        for name, kind, _ in present:
            value = values.get(name)
            letter, width = kind[0].lower(), int(kind[1:])
            if letter in "sl":
                out += struct.pack("<H", self.string_id(value))
            elif letter == "i" and width == 2:
                out += struct.pack("<H", 0 if value is None else (value + 0x8000) & 0xFFFF)
            elif letter == "i" and width == 4:
                out += struct.pack("<I", 0 if value is None else (value ^ 0x80000000) & 0xFFFFFFFF)
            else:
                raise ValueError(f"{table}.{name}: column type {kind} is not supported")
        self.rows.setdefault(table, b"")
        self.rows[table] += out

    def insert(self, table, **values):
        self.encode(table, values, insert=True)

    def update(self, table, **values):
        self.encode(table, values, insert=False)

    def replace_file(self, cabinet, content):
        """Ships a new content of the product's file from a cabinet in the patch."""
        self.insert("Media", DiskId=PATCH_DISK_ID, LastSequence=PATCH_SEQUENCE, Cabinet="#" + cabinet,
                    Source="CorvantilePatchSource")
        self.update("File", File=self.product["file"], FileSize=len(as_bytes(content)),
                    Attributes=FILE_ATTR_COMPRESSED | FILE_ATTR_PATCH_ADDED, Sequence=PATCH_SEQUENCE)

    def storage(self):
        p = self.product
        summary = property_set({
            PID_CODEPAGE: (VT_I2, CODEPAGE),
            PID_TEMPLATE: (VT_LPSTR, p["template"]),
            PID_REVNUMBER: (VT_LPSTR, f"{p['product_code']}1.0.0;{p['product_code']}{self.version_to};"
                                      f"{p['upgrade_code']}"),
            PID_PAGECOUNT: (VT_I4, 200),
            PID_CHARCOUNT: (VT_I4, TRANSFORM_VALIDATION),
        })
        entries = {SUMMARY_STREAM: summary}
        entries.update(string_pool([(text, refs) for text, (_, refs) in self.strings.items()]))
        for table, data in sorted(self.rows.items()):
            entries[stream_name(table, True)] = data
        return CLSID_TRANSFORM, entries


def cabinet(work, cab_name, file_name, content):
    """A cabinet holding one file stored under its File table key."""
    folder = work / ("cab-" + cab_name)
    folder.mkdir()
    (folder / file_name).write_bytes(as_bytes(content))
    os.utime(folder / file_name, (FIXED_UNIX_TIME, FIXED_UNIX_TIME))
    run("gcab", "-c", "-n", cab_name, file_name, cwd=folder)
    return (folder / cab_name).read_bytes()


def write_patch(path, patch_code, targets, transforms, cabinets, title):
    """transforms maps sub-storage names to Transform objects; cabinets maps stream names to bytes."""
    summary = property_set({
        PID_CODEPAGE: (VT_I2, CODEPAGE),
        PID_TITLE: (VT_LPSTR, title),
        PID_SUBJECT: (VT_LPSTR, title),
        PID_AUTHOR: (VT_LPSTR, "Corvantile"),
        PID_TEMPLATE: (VT_LPSTR, ";".join(p["product_code"] for p in targets)),
        PID_LASTAUTHOR: (VT_LPSTR, ";".join(":" + name for name in transforms)),
        PID_REVNUMBER: (VT_LPSTR, patch_code),
        PID_CREATE_DTM: (VT_FILETIME, FIXED_FILETIME),
        PID_LASTSAVE_DTM: (VT_FILETIME, FIXED_FILETIME),
        PID_APPNAME: (VT_LPSTR, "Corvantile fixtures"),
        PID_SECURITY: (VT_I4, 4),
    })
    entries = {SUMMARY_STREAM: summary}
    entries.update(string_pool([]))
    for name, data in cabinets.items():
        entries[stream_name(name, False)] = data
    for name, transform in transforms.items():
        entries[name] = transform.storage()
    write_compound(path, CLSID_PATCH, entries)


def product_schemas(outdir, work):
    """Builds both products into outdir and reads back the columns of the tables that patches change."""
    for product in (X64, X86):
        build_product(product, outdir, work)
    tables = ("Property", "Media", "File", "CustomAction", "InstallExecuteSequence")
    schemas = {p["key"]: {t: table_schema(outdir / p["msi"], t) for t in tables} for p in (X64, X86)}
    schemas["ABSENT"] = schemas["X64"]
    return schemas


def make_payload_patches(outdir, work, mib):
    """Writes the two benchmark patches into outdir, each replacing its product's file by mib MiB."""
    # The products are built only for their table layout: they are the tests' own, byte for byte.
    products = work / "products"
    products.mkdir()
    schemas = product_schemas(products, work)
    for product, file_name in ((X64, "PatchX64.msp"), (X86, "PatchX86.msp")):
        key = product["key"]
        content = payload(f"Corvantile benchmark payload {key}", mib)
        t = Transform(product, schemas[key], "1.0.1")
        t.replace_file(f"{key}.cab", content)
        write_patch(outdir / file_name, PAYLOAD_PATCH_CODES[file_name], [product], {key: t},
                    {f"{key}.cab": cabinet(work, f"{key}.cab", product["file"], content)},
                    f"Corvantile benchmark patch {product['arch']}, {mib} MiB")


def make_all(outdir, work):
    """Writes every fixture into outdir; work is scratch space."""
    schemas = product_schemas(outdir, work)

    def transform(product, version, cab=None, content=None):
        t = Transform(product, schemas[product["key"]], version)
        if cab:
            t.replace_file(cab, content)
        return t

    def cab(name, product, content):
        return {name: cabinet(work, name, product["file"], content)}

    write_patch(outdir / "PatchX64.msp", PATCH_CODES["PatchX64.msp"], [X64],
                {"X64": transform(X64, "1.0.1", "X64.cab", CONTENT["X64_PATCHED"])},
                cab("X64.cab", X64, CONTENT["X64_PATCHED"]), "Corvantile fixture patch x64")
    write_patch(outdir / "PatchX86.msp", PATCH_CODES["PatchX86.msp"], [X86],
                {"X86": transform(X86, "1.0.1", "X86.cab", CONTENT["X86_PATCHED"])},
                cab("X86.cab", X86, CONTENT["X86_PATCHED"]), "Corvantile fixture patch x86")
    write_patch(outdir / "PatchBoth.msp", PATCH_CODES["PatchBoth.msp"], [X64, X86],
                {"X64": transform(X64, "1.0.2", "BothX64.cab", CONTENT["BOTH_X64"]),
                 "X86": transform(X86, "1.0.2", "BothX86.cab", CONTENT["BOTH_X86"])},
                {**cab("BothX64.cab", X64, CONTENT["BOTH_X64"]), **cab("BothX86.cab", X86, CONTENT["BOTH_X86"])},
                "Corvantile fixture patch for both products")

    # A type-19 custom action ends the installation with an error, before any file is touched.
    fails = transform(X64, "1.0.4", "Fails.cab", CONTENT["FAILS_X64"])
    fails.insert("CustomAction", Action="CorvantileFail", Type=19, Target=FAIL_MESSAGE)
    fails.insert("InstallExecuteSequence", Action="CorvantileFail", Sequence=1450)
    write_patch(outdir / "PatchFails.msp", PATCH_CODES["PatchFails.msp"], [X64], {"X64": fails},
                cab("Fails.cab", X64, CONTENT["FAILS_X64"]), "Corvantile fixture patch that fails")

    reboot = transform(X86, "1.0.3", "Reboot.cab", CONTENT["REBOOT_X86"])
    reboot.insert("InstallExecuteSequence", Action="ScheduleReboot", Sequence=6550)
    write_patch(outdir / "PatchReboot.msp", PATCH_CODES["PatchReboot.msp"], [X86], {"X86": reboot},
                cab("Reboot.cab", X86, CONTENT["REBOOT_X86"]), "Corvantile fixture patch that needs a restart")

    write_patch(outdir / "PatchNotInstalled.msp", PATCH_CODES["PatchNotInstalled.msp"], [ABSENT],
                {"Absent": transform(ABSENT, "1.0.5", "Absent.cab", CONTENT["NOT_INSTALLED_X64"])},
                cab("Absent.cab", ABSENT, CONTENT["NOT_INSTALLED_X64"]),
                "Corvantile fixture patch for a product that is not installed")

    # A product database under a patch's name: it passes a check of the compound-file signature, and only
    # the installer can tell it is no patch.
    shutil.copyfile(outdir / X64["msi"], outdir / "NotAPatch.msp")

    facts = {
        "products": {
            p["key"].lower(): {
                "msi": p["msi"], "name": p["name"], "product_code": p["product_code"],
                "upgrade_code": p["upgrade_code"], "package_code": p["package_code"], "version": "1.0.0",
                "install_dir": p["install_dir"], "file_path": p["file_path"], "file_in_prefix": p["file_unix"],
                "original": p["original"],
            } for p in (X64, X86)
        },
        "absent_product_code": ABSENT["product_code"],
        "patches": {
            "PatchX64.msp": {"code": PATCH_CODES["PatchX64.msp"], "targets": [X64["product_code"]],
                             "contents": {"x64": CONTENT["X64_PATCHED"]}, "version": "1.0.1"},
            "PatchX86.msp": {"code": PATCH_CODES["PatchX86.msp"], "targets": [X86["product_code"]],
                             "contents": {"x86": CONTENT["X86_PATCHED"]}, "version": "1.0.1"},
            "PatchBoth.msp": {"code": PATCH_CODES["PatchBoth.msp"],
                              "targets": [X64["product_code"], X86["product_code"]],
                              "contents": {"x64": CONTENT["BOTH_X64"], "x86": CONTENT["BOTH_X86"]},
                              "version": "1.0.2"},
            "PatchFails.msp": {"code": PATCH_CODES["PatchFails.msp"], "targets": [X64["product_code"]],
                               "never_contents": {"x64": CONTENT["FAILS_X64"]}, "version": "1.0.4"},
            "PatchReboot.msp": {"code": PATCH_CODES["PatchReboot.msp"], "targets": [X86["product_code"]],
                                "contents": {"x86": CONTENT["REBOOT_X86"]}, "version": "1.0.3"},
            "PatchNotInstalled.msp": {"code": PATCH_CODES["PatchNotInstalled.msp"],
                                      "targets": [ABSENT["product_code"]],
                                      "never_contents": {"x64": CONTENT["NOT_INSTALLED_X64"]}, "version": "1.0.5"},
        },
        "not_a_patch": {"file": "NotAPatch.msp", "is_copy_of": X64["msi"],
                        "expected_open_result": NOT_A_PATCH_OPEN_RESULT,
                        "expected_apply_result": EXPECTED_APPLY_RESULT["NotAPatch.msp"]},
    }
    for file_name, patch in facts["patches"].items():
        patch["expected_apply_result"] = EXPECTED_APPLY_RESULT[file_name]
    (outdir / "fixtures.json").write_text(json.dumps(facts, indent=2, sort_keys=True) + "\n", encoding="utf-8")


def publish(stage, outdir):
    """Moves the new files into outdir, leaving alone (time stamp included) each one that did not change:
    a baseline prefix made from the fixtures is only rebuilt when they really change."""
    outdir.mkdir(parents=True, exist_ok=True)
    for new in sorted(stage.iterdir()):
        old = outdir / new.name
        if old.is_file() and old.read_bytes() == new.read_bytes():
            continue
        shutil.copyfile(new, outdir / (new.name + ".new"))
        os.replace(outdir / (new.name + ".new"), old)


def main():
    usage = "usage: make-fixtures.py [--payload-mib N] OUTDIR"
    args = sys.argv[1:]
    mib = None
    if args[:1] == ["--payload-mib"]:
        if len(args) != 3 or not args[1].isdigit() or not 1 <= int(args[1]) <= MAX_PAYLOAD_MIB:
            sys.exit(f"{usage}\n  N is a whole number of MiB from 1 to {MAX_PAYLOAD_MIB}")
        mib, args = int(args[1]), args[2:]
    if len(args) != 1 or args[0].startswith("-"):
        sys.exit(usage)
    with tempfile.TemporaryDirectory(prefix="corvantile-fixtures-") as tmp:
        work = Path(tmp)
        stage = work / "out"
        stage.mkdir()
        if mib is None:
            make_all(stage, work)
        else:
            make_payload_patches(stage, work, mib)
        publish(stage, Path(args[0]).resolve())


if __name__ == "__main__":
    main()
