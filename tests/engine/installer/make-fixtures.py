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
import re
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


def product(**p):
    """Completes a fixture product: its codes are fixed (the tests identify products by them), the rest follows
    from its arch and Program Files folder."""
    arch = p["arch"]
    p.update(key=arch.upper(), msi=f"Product{arch.upper()}.msi", name=f"Corvantile Fixture {arch}",
             version="1.0.0", file=f"{arch}.txt", original=f"{arch} build 1.0.0\r\n")
    p["install_dir"] = p["program_files_path"] + "\\" + p["name"]
    p["file_path"] = p["install_dir"] + "\\" + p["file"]
    p["file_in_prefix"] = "drive_c/" + p["file_path"][3:].replace("\\", "/")
    return p


X64 = product(arch="x64", template="x64;1033", program_files="ProgramFiles64Folder",
              program_files_path="C:\\Program Files", product_code="{4C9B399E-2689-4D3F-81C7-70F0CE30C060}",
              upgrade_code="{A1E2D9F4-0E72-44B3-BA59-BE656AF99065}",
              package_code="{3E86459B-D07F-4D4C-B72D-786B70DEB66E}",
              component_guid="{A74FD335-8593-42A5-A1CA-266127261850}")
X86 = product(arch="x86", template="Intel;1033", program_files="ProgramFilesFolder",
              program_files_path="C:\\Program Files (x86)", product_code="{51F8566A-0103-4264-8BE2-9E3205FD05FD}",
              upgrade_code="{A2438614-6DDE-4ADC-964A-858364C25450}",
              package_code="{FC5417FF-5DB9-48D4-A2DF-1B09D023D79F}",
              component_guid="{0F37E79D-F9C5-4C16-9548-22B2123A34C4}")
# A product that is never built nor installed; it has the x64 product's tables.
ABSENT = dict(X64, product_code="{4CBCAF25-990E-42C7-9B13-BBF68EDA0D80}",
              upgrade_code="{9653DEC3-9C87-49C4-A99E-AE1FDA3BA186}")
# What fixtures.json tells of a product.
PRODUCT_FACTS = ("msi", "name", "version", "product_code", "upgrade_code", "package_code", "install_dir",
                 "file_path", "file_in_prefix", "original")

# The fixture patches by file name. "result" is what MsiApplyPatchW(path, NULL, INSTALLTYPE_DEFAULT,
# "REINSTALL=ALL REINSTALLMODE=omus") returns for the file in a prefix with both products installed, as seen
# under Wine 8.0: what each fixture is made for. "changes" lists (product, transform name, cabinet name, new
# content of the product's file), one per target; "rows" are inserted into the transform.
PATCHES = {
    "PatchX64.msp": dict(
        code="{44240947-1368-4FB4-A269-1584DE4853F6}", title="Corvantile fixture patch x64", version="1.0.1",
        result=0, changes=[(X64, "X64", "X64.cab", "x64 build 1.0.1 patched\r\n")]),
    "PatchX86.msp": dict(
        code="{83B3C0E6-54E1-4E77-AEE0-A03C04344BA5}", title="Corvantile fixture patch x86", version="1.0.1",
        result=0, changes=[(X86, "X86", "X86.cab", "x86 build 1.0.1 patched\r\n")]),
    "PatchBoth.msp": dict(
        code="{02CF0831-4304-4986-82ED-28FCD2DA06E3}", title="Corvantile fixture patch for both products",
        version="1.0.2", result=0, changes=[(X64, "X64", "BothX64.cab", "x64 build 1.0.2 both\r\n"),
                                            (X86, "X86", "BothX86.cab", "x86 build 1.0.2 both\r\n")]),
    # A type-19 custom action ends the installation with an error, before any file is touched.
    "PatchFails.msp": dict(
        code="{F0E679E4-DB44-4176-AC30-03FE4B0FE44D}", title="Corvantile fixture patch that fails",
        version="1.0.4", result=1603, changes=[(X64, "X64", "Fails.cab", "x64 build 1.0.4 must not stay\r\n")],
        rows=[("CustomAction", dict(Action="CorvantileFail", Type=19,
                                    Target="Corvantile fixture patch fails on purpose")),
              ("InstallExecuteSequence", dict(Action="CorvantileFail", Sequence=1450))]),
    "PatchReboot.msp": dict(
        code="{056265D0-DCAE-493E-B043-B2F02DE19ED2}", title="Corvantile fixture patch that needs a restart",
        version="1.0.3", result=3010, changes=[(X86, "X86", "Reboot.cab", "x86 build 1.0.3 reboot\r\n")],
        rows=[("InstallExecuteSequence", dict(Action="ScheduleReboot", Sequence=6550))]),
    "PatchNotInstalled.msp": dict(
        code="{25CC9BD5-936A-4A35-A0F6-4D96A6040807}",
        title="Corvantile fixture patch for a product that is not installed", version="1.0.5",
        result=1605, changes=[(ABSENT, "Absent", "Absent.cab", "x64 build 1.0.5 never installed\r\n")]),
}
# The benchmark patches (--payload-mib); the tests never see them.
PAYLOAD_PATCH_CODES = {
    "PatchX64.msp": "{791FBC1A-794E-4106-93AB-AE1938A66649}",
    "PatchX86.msp": "{5E4599D5-64EA-4BD7-A17D-989DEB135A82}",
}
MAX_PAYLOAD_MIB = 1024

CLSID_DATABASE = "{000C1084-0000-0000-C000-000000000046}"
CLSID_TRANSFORM = "{000C1082-0000-0000-C000-000000000046}"
CLSID_PATCH = "{000C1086-0000-0000-C000-000000000046}"
FMTID_SUMMARY = "{F29F85E0-4FF9-1068-AB91-08002B27B3D9}"
SUMMARY_STREAM = "\x05SummaryInformation"
CODEPAGE = 1252
# 2024-01-01 00:00:00 UTC, for every time stamp written here.
FIXED_UNIX_TIME = 1704067200
FIXED_FILETIME = (FIXED_UNIX_TIME + 11644473600) * 10_000_000

VT_I2, VT_I4, VT_LPSTR, VT_FILETIME = 2, 3, 30, 64
# How the fixed-size property types are stored (a 2-byte integer is padded to 4 bytes).
VT_FORMATS = {VT_I2: "<h2x", VT_I4: "<I", VT_FILETIME: "<Q"}
PID_CODEPAGE, PID_TITLE, PID_SUBJECT, PID_AUTHOR = 1, 2, 3, 4
PID_TEMPLATE, PID_LASTAUTHOR, PID_REVNUMBER = 7, 8, 9
PID_CREATE_DTM, PID_LASTSAVE_DTM, PID_PAGECOUNT, PID_CHARCOUNT = 12, 13, 14, 16
PID_APPNAME, PID_SECURITY = 18, 19


def run(*args, cwd=None):
    env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
    done = subprocess.run(list(args), cwd=cwd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{args[0]} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def write_pinned(path, content):
    path.write_bytes(content)
    os.utime(path, (FIXED_UNIX_TIME, FIXED_UNIX_TIME))


# --- Property sets (summary information) ---------------------------------------------------------------------

def property_set(props):
    """Serialises {pid: (vt, value)} as a one-section property set with the summary information FMTID."""
    index, data = b"", b""
    for pid, (vt, value) in sorted(props.items()):
        if vt == VT_LPSTR:
            raw = value.encode("cp1252") + b"\0"
            body = struct.pack("<I", len(raw)) + raw + b"\0" * (-len(raw) % 4)
        elif vt in VT_FORMATS:
            body = struct.pack(VT_FORMATS[vt], value)
        else:
            raise ValueError(f"unsupported property type {vt}")
        index += struct.pack("<II", pid, 8 + 8 * len(props) + len(data))
        data += struct.pack("<I", vt) + body
    section = struct.pack("<II", 8 + len(index) + len(data), len(props)) + index + data
    header = struct.pack("<HHI16sI", 0xFFFE, 0, 0x00020006, b"\0" * 16, 1) + uuid.UUID(FMTID_SUMMARY).bytes_le
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
        if vt == VT_LPSTR:
            (size,) = struct.unpack_from("<I", blob, at + 4)
            value = blob[at + 8:at + 8 + size].rstrip(b"\0").decode("cp1252")
        elif vt in VT_FORMATS:
            (value,) = struct.unpack_from(VT_FORMATS[vt], blob, at + 4)
        else:
            raise ValueError(f"unsupported property type {vt} for property {pid}")
        props[pid] = (vt, value)
    return props


# --- Compound files ------------------------------------------------------------------------------------------

def write_compound(path, clsid, entries):
    """Writes a compound file. entries maps a name to bytes (a stream) or to (clsid, entries) (a storage)."""
    def fill(storage, clsid, children):
        storage.set_class_id(uuid.UUID(clsid).bytes_le)
        for name, child in children.items():
            sub = storage.new_child(name, not isinstance(child, bytes))
            if isinstance(child, bytes):
                if child and not sub.write(child):
                    raise OSError(f"cannot write stream {name!r} of {path}")
            else:
                fill(sub, *child)
            sub.close()

    outfile = Gsf.OutfileMSOle.new(Gsf.OutputStdio.new(str(path)))
    fill(outfile, clsid, entries)
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
    def pack(match):
        codes = [STREAM_NAME_CHARS.index(c) for c in match.group()]
        return chr(0x3800 + codes[0] + (codes[1] << 6)) if len(codes) == 2 else chr(0x4800 + codes[0])

    # Runs of those characters go two at a time; any other character is kept as it is.
    out = ("\u4840" if table else "") + re.sub("[0-9A-Za-z._]{1,2}", pack, name)
    if len(out) > 31:
        raise ValueError(f"stream name too long: {name}")
    return out


def string_pool(strings):
    """_StringPool and _StringData streams for the given (text, reference count) pairs, ids counted from 1."""
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
  <Product Id="{product_code}" Name="{name}" Language="1033" Version="{version}" Manufacturer="Corvantile"
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
# The tables that patches change.
PATCHED_TABLES = ("Property", "Media", "File", "CustomAction", "InstallExecuteSequence")


def build_products(outdir, work):
    """Builds both products into outdir and returns, by arch, the columns of their tables that patches change:
    (name, type such as s72, i4 or I2, whether it is a key), as msiinfo exports them."""
    schemas = {}
    for p in (X64, X86):
        src = work / p["key"]
        src.mkdir()
        win64 = ' Win64="yes"' if p["arch"] == "x64" else ""
        (src / "product.wxs").write_text(PRODUCT_WXS.format(win64=win64, **p))
        write_pinned(src / p["file"], p["original"].encode())
        run("wixl", "-a", p["arch"], "-o", "built.msi", "product.wxs", cwd=src)

        # wixl stamps a random package code and the current time: pin both.
        streams = read_compound(src / "built.msi")
        props = parse_property_set(streams[SUMMARY_STREAM])
        if props.get(PID_TEMPLATE, (0, ""))[1] != p["template"]:
            sys.exit(f"wixl wrote template {props.get(PID_TEMPLATE)} for {p['msi']}")
        props[PID_REVNUMBER] = (VT_LPSTR, p["package_code"])
        props[PID_CREATE_DTM] = props[PID_LASTSAVE_DTM] = (VT_FILETIME, FIXED_FILETIME)
        streams[SUMMARY_STREAM] = property_set(props)
        write_compound(outdir / p["msi"], CLSID_DATABASE, dict(sorted(streams.items())))

        schemas[p["arch"]] = {}
        for table in PATCHED_TABLES:
            names, types, keys = [line.split("\t") for line in
                                  run("msiinfo", "export", str(outdir / p["msi"]), table).splitlines()[:3]]
            schemas[p["arch"]][table] = [(name, kind, name in keys[1:]) for name, kind in zip(names, types)]
    return schemas


# --- Transforms and patches ----------------------------------------------------------------------------------

def transform(product, schema, version, cab, size, rows):
    """A transform sub-storage for one product: it raises the ProductVersion to version, ships the product's file
    anew (size bytes) from the patch's cabinet cab, and inserts rows, a list of (table, {column: value})."""
    strings, tables = {}, {}  # text -> reference count, in the order of the string ids; table -> rows

    def string_id(text):
        if text is None:
            return 0
        strings[text] = strings.get(text, 0) + 1
        return list(strings).index(text) + 1

    def add(table, insert, **values):
        columns = schema[table]
        unknown = set(values) - {name for name, _, _ in columns}
        if unknown:
            raise ValueError(f"{table} has no column {unknown}")
        if insert:
            # Low bit set: a whole row, the column count in the high byte.
            mask, present = 1 | (len(columns) << 8), columns
        else:
            # Otherwise a bitmask of the changed columns; key columns are always stored.
            if any(key and name not in values for name, _, key in columns):
                raise ValueError(f"{table} update needs all its keys")
            if not columns[0][2] and columns[0][0] in values:
                raise ValueError(f"{table}: the first column must be a key")
            present = [column for column in columns if column[2] or column[0] in values]
            mask = sum(1 << i for i, (name, _, key) in enumerate(columns) if not key and name in values)
            if not mask:
                raise ValueError(f"{table} update changes nothing")
        out = struct.pack("<H", mask)
        for name, kind, _ in present:
            value = values.get(name)
            if kind[0] in "sSlL":
                out += struct.pack("<H", string_id(value))
            elif kind.lower() == "i2":
                out += struct.pack("<H", 0 if value is None else (value + 0x8000) & 0xFFFF)
            elif kind.lower() == "i4":
                out += struct.pack("<I", 0 if value is None else (value ^ 0x80000000) & 0xFFFFFFFF)
            else:
                raise ValueError(f"{table}.{name}: column type {kind} is not supported")
        tables[table] = tables.get(table, b"") + out

    add("Property", False, Property="ProductVersion", Value=version)
    # The patch's cabinet is disk 2, and its file comes after the product's own (sequence 1).
    add("Media", True, DiskId=2, LastSequence=2, Cabinet="#" + cab, Source="CorvantilePatchSource")
    # Attributes: compressed (0x200), added by a patch (0x1000).
    add("File", False, File=product["file"], FileSize=size, Attributes=0x1200, Sequence=2)
    for table, values in rows:
        add(table, True, **values)
    code = product["product_code"]
    summary = property_set({
        PID_CODEPAGE: (VT_I2, CODEPAGE),
        PID_TEMPLATE: (VT_LPSTR, product["template"]),
        PID_REVNUMBER: (VT_LPSTR, f"{code}{product['version']};{code}{version};{product['upgrade_code']}"),
        PID_PAGECOUNT: (VT_I4, 200),
        # Validation flags. Windows reads them from the high word (language, product, platform, major and minor
        # version here), Wine from the low word (product): either way a transform only changes the product it
        # was made for, which matters for a patch that carries one transform per product.
        PID_CHARCOUNT: (VT_I4, 0x001F0002),
    })
    return CLSID_TRANSFORM, {SUMMARY_STREAM: summary, **string_pool(strings.items()),
                             **{stream_name(table, True): data for table, data in sorted(tables.items())}}


def write_patch(path, work, schemas, code, title, version, changes, rows=()):
    """Writes a patch with one transform and one cabinet per change (see PATCHES)."""
    transforms, cabinets = {}, {}
    for product, name, cab, content in changes:
        content = content if isinstance(content, bytes) else content.encode()
        transforms[name] = transform(product, schemas[product["arch"]], version, cab, len(content), rows)
        # The cabinet holds the one file stored under its File table key.
        folder = work / ("cab-" + cab)
        folder.mkdir()
        write_pinned(folder / product["file"], content)
        run("gcab", "-c", "-n", cab, product["file"], cwd=folder)
        cabinets[stream_name(cab, False)] = (folder / cab).read_bytes()
    summary = property_set({
        PID_CODEPAGE: (VT_I2, CODEPAGE),
        PID_TITLE: (VT_LPSTR, title),
        PID_SUBJECT: (VT_LPSTR, title),
        PID_AUTHOR: (VT_LPSTR, "Corvantile"),
        PID_TEMPLATE: (VT_LPSTR, ";".join(change[0]["product_code"] for change in changes)),
        PID_LASTAUTHOR: (VT_LPSTR, ";".join(":" + name for name in transforms)),
        PID_REVNUMBER: (VT_LPSTR, code),
        PID_CREATE_DTM: (VT_FILETIME, FIXED_FILETIME),
        PID_LASTSAVE_DTM: (VT_FILETIME, FIXED_FILETIME),
        PID_APPNAME: (VT_LPSTR, "Corvantile fixtures"),
        PID_SECURITY: (VT_I4, 4),
    })
    write_compound(path, CLSID_PATCH, {SUMMARY_STREAM: summary, **string_pool([]), **cabinets, **transforms})


def make_payload_patches(outdir, work, mib):
    """Writes the two benchmark patches into outdir, each replacing its product's file by mib MiB."""
    # The products are built only for their table layout: they are the tests' own, byte for byte.
    products = work / "products"
    products.mkdir()
    schemas = build_products(products, work)
    for p in (X64, X86):
        # mib MiB that no compressor can shrink, the same for the same size.
        content = hashlib.shake_256(f"Corvantile benchmark payload {p['key']}".encode()).digest(mib << 20)
        file_name = f"Patch{p['key']}.msp"
        write_patch(outdir / file_name, work, schemas, PAYLOAD_PATCH_CODES[file_name],
                    f"Corvantile benchmark patch {p['arch']}, {mib} MiB", "1.0.1",
                    [(p, p["key"], f"{p['key']}.cab", content)])


def make_all(outdir, work):
    """Writes every fixture into outdir; work is scratch space."""
    schemas = build_products(outdir, work)
    for file_name, patch in PATCHES.items():
        write_patch(outdir / file_name, work, schemas, patch["code"], patch["title"], patch["version"],
                    patch["changes"], patch.get("rows", ()))
    # A product database under a patch's name: it passes a check of the compound-file signature, and only
    # the installer can tell it is no patch.
    shutil.copyfile(outdir / X64["msi"], outdir / "NotAPatch.msp")

    facts = {
        "products": {p["arch"]: {fact: p[fact] for fact in PRODUCT_FACTS} for p in (X64, X86)},
        "absent_product_code": ABSENT["product_code"],
        # A patch that fails must leave none of its contents installed.
        "patches": {file_name: {
            "code": patch["code"], "version": patch["version"], "expected_apply_result": patch["result"],
            "targets": [p["product_code"] for p, _, _, _ in patch["changes"]],
            "contents" if patch["result"] in (0, 3010) else "never_contents":
                {p["arch"]: content for p, _, _, content in patch["changes"]},
        } for file_name, patch in PATCHES.items()},
        # What MsiOpenDatabaseW(READONLY + PATCHFILE) returns for the product copy (a patch opens with 0), and
        # what applying it returns, as for the patches.
        "not_a_patch": {"file": "NotAPatch.msp", "is_copy_of": X64["msi"], "expected_open_result": 110,
                        "expected_apply_result": 87},
    }
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
