#!/usr/bin/env python3
"""Release engineers sign every updater after packing it. This packs the real fixture patches, signs the
updater with a certificate made here for the run, and checks that the signed file still works: the signature
verifies, the packing tool lists the certificate table behind the package and extracts the same files, and
under Wine the signed updater extracts the same files and updates the installed products. A second signature
(nested, or a replacement) and a table as large as a timestamped one change none of that. A security directory
damaged by hand must be refused by the packing tool, and the updater must not take the bytes it names for part
of its package.

Usage: signed_updater.py signatures|damaged WINE_RUN BIN_DIR FIXTURES BASELINE_PREFIX WORK_DIR
  signatures  one signature, a nested second one, a replaced one, and a timestamp-sized table
  damaged     security directories that point beyond the end of the file or into the package
OSSLSIGNCODE names the signing tool (default: osslsigncode on PATH); only options that osslsigncode 2.5 has
are used.
"""
import json
import os
import shutil
import sys
from pathlib import Path

import test_packages
from script_tests import (build_command, check, check_exit, cleared, fixture_facts, fresh_dir, log_messages,
                          prefix_copy, run, run_wine, same_file, summary, win)

if len(sys.argv) != 7 or sys.argv[1] not in ("signatures", "damaged"):
    sys.exit(__doc__)
part = sys.argv[1]
# Absolute, since the tools run in the work directory.
wine_run, bin_dir, fixtures, baseline, work = (Path(a).resolve() for a in sys.argv[2:])
signer = os.environ.get("OSSLSIGNCODE", "osslsigncode")
patches = ["PatchX64.msp", "PatchX86.msp"]
FACTS = fixture_facts(fixtures)


def security_directory(path):
    return test_packages.security_directory(path.read_bytes())


# ---- certificates and signing ----

def openssl(*args):
    result = run("openssl", *args, cwd=work)
    if result.returncode != 0:
        sys.exit(f"openssl {' '.join(args)} failed: {result.stderr}")


def make_certificates():
    """A throw-away root, two code-signing certificates below it, and a chain of six more certificates
    (large keys) whose only use is to make the certificate table as large as a timestamped one."""
    (work / "ext.cnf").write_text(
        "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier=hash\n"
        "[leaf]\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
        "extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out", "root.pem", "-days",
            "2", "-subj", "/CN=Corvantile Throw-away Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    certificates = [("release", "Release Signing", 2048, "leaf"), ("second", "Second Signing", 2048, "leaf")]
    certificates += [(f"extra{i}", f"Timestamping Chain {i}", 4096, "ca") for i in range(6)]
    for serial, (name, subject, bits, extensions) in enumerate(certificates, start=2):
        openssl("req", "-newkey", f"rsa:{bits}", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN=Corvantile Throw-away {subject}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "root.pem", "-CAkey", "root.key", "-set_serial",
                str(serial), "-out", f"{name}.pem", "-days", "2", "-extfile", "ext.cnf", "-extensions", extensions)
    (work / "chain.pem").write_text("".join((work / f"extra{i}.pem").read_text() for i in range(6)))


def sign(source, target, certificate, *options):
    result = run(signer, "sign", "-certs", f"{certificate}.pem", "-key", f"{certificate}.key", "-h", "sha256",
                 "-n", "Corvantile Updater", *options, "-in", source, "-out", target, cwd=work)
    output = (result.stdout + result.stderr).strip()
    return check(result.returncode == 0 and target.exists(),
                 f"{signer} sign {' '.join(options)} {target.name} exits 0 ({output})")


def verify(path, signatures):
    result = run(signer, "verify", "-CAfile", "root.pem", "-in", path, cwd=work)
    check(result.returncode == 0 and f"Number of verified signatures: {signatures}" in result.stdout,
          f"{signer} verify finds {signatures} good signature(s) in {path.name}"
          + ("" if result.returncode == 0 else f": {result.stdout[-600:]}{result.stderr}"))


# ---- the packing tool, in the build's own prefix ----

def pack_tool(*args):
    return run(wine_run, bin_dir / "corvantile-pack.exe", *args, cwd=work)


def listing(path):
    listed = pack_tool("list", "--json", win(path))
    return json.loads(listed.stdout) if check_exit(listed, f"corvantile-pack list {path.name}") else None


def tool_extract(path):
    """Runs corvantile-pack extract on `path` into a directory of its own; gives the run and the directory."""
    out = cleared(work / f"{path.stem}-pack-extract")
    return pack_tool("extract", win(path), win(out)), out


def check_same_files(directory, what):
    found = sorted(p.name for p in directory.iterdir()) if directory.is_dir() else []
    same = found == sorted(patches) and all(same_file(directory / name, fixtures / name) for name in patches)
    check(same, f"{what} gives the packed patches unchanged (found {found})")


# ---- the updater, in a private copy of the baseline prefix (both fixture products installed) ----

def run_updater(env, updater, *switches):
    """Runs the updater with `switches`, -x and -l each followed by a directory of its own made empty first;
    gives the exit code, the -x directory and the log's messages."""
    out, logs = cleared(work / f"{updater.stem}-x"), cleared(work / f"{updater.stem}-logs")
    places = {"-x": [win(out)], "-l": [win(logs)]}
    args = [arg for switch in switches for arg in [switch, *places.get(switch, [])]]
    return run_wine(env, updater, *args, cwd=work, timeout=120).returncode, out, log_messages(logs)


def installed(prefix, product):
    path = prefix / FACTS["products"][product.lower()]["file_in_prefix"]
    return path.read_bytes().decode("latin-1") if path.exists() else "<missing>"


def check_updater_runs(updater):
    with prefix_copy(baseline) as (prefix, env):
        rc, out, _ = run_updater(env, updater, "-x")
        check(rc == 0, f"{updater.name} -x exits 0 ({rc})")
        check_same_files(out, f"{updater.name} -x")

        rc, _, messages = run_updater(env, updater, "-a", "-l")
        check(rc == 0, f"{updater.name} -a -l exits 0 ({rc})")
        for product in ("X64", "X86"):
            check(installed(prefix, product) == FACTS["patches"][f"Patch{product}.msp"]["contents"][product.lower()],
                  f"{updater.name} -a updates the {product} product ({installed(prefix, product)!r})")
        messages = messages or []
        check(messages[-1:] == ["All updates applied successfully and MSI transaction committed."],
              f"{updater.name} logs the committed update ({messages[-2:]})")


# ---- the cases ----

def check_signed(path, signatures, unsigned, unsigned_listing):
    """Everything that must hold for a signed updater packed from `unsigned`, listed as `unsigned_listing`
    (without its signature)."""
    print(f"-- {path.name}", flush=True)
    verify(path, signatures)
    offset, size = security_directory(path)
    contents = listing(path)
    if contents is not None:
        check(contents.get("signature") == {"offset": offset, "size": size, "reachesPastFileEnd": False},
              f"list reports the certificate table at {offset}, {size} bytes ({contents.get('signature')})")
        last = contents["entries"][-1]
        package_end = last["offset"] + last["size"]
        check(offset % 8 == 0 and 0 <= offset - package_end <= 7,
              f"the table starts at the first multiple of 8 behind the package (package ends at {package_end})")
        start = contents["packageOffset"]
        check(path.read_bytes()[start:package_end] == unsigned.read_bytes()[start:],
              "signing leaves the package's bytes as they were packed")
        check({k: v for k, v in contents.items() if k != "signature"} == unsigned_listing,
              "list shows the same header and entries as for the unsigned updater")
    extracted, out = tool_extract(path)
    check_exit(extracted, f"corvantile-pack extract {path.name}")
    check_same_files(out, f"corvantile-pack extract {path.name}")
    check_updater_runs(path)


def check_damaged(name, source, offset, size, refusal_mentions):
    """A copy of `source` whose security directory says (offset, size): list refuses it, naming the problem;
    the updater takes the package to end at `offset` at the latest, so it never hands on a byte from there."""
    path = work / name
    path.write_bytes(test_packages.with_security_directory(source.read_bytes(), offset, size))
    print(f"-- {path.name}: security directory ({offset}, {size}), file of {path.stat().st_size} bytes", flush=True)
    listed = pack_tool("list", win(path))
    message = listed.stderr.strip()
    check(listed.returncode != 0, f"list refuses {path.name} (exit {listed.returncode})")
    check(refusal_mentions in message, f"list says {refusal_mentions!r} ({message})")
    extracted, out = tool_extract(path)
    check(extracted.returncode != 0 and not out.exists(),
          f"extract refuses {path.name} and writes nothing ({extracted.stderr.strip()})")
    return path


def main():
    fresh_dir(work)
    if not check(shutil.which(signer) is not None and shutil.which("openssl") is not None,
                 f"{signer} and openssl are installed"):
        return
    make_certificates()

    unsigned = work / "Update.exe"
    packed = pack_tool(*build_command(win(bin_dir / "CorvantileUpdater.exe"), win(unsigned),
                                      [win(fixtures / p) for p in patches]))
    if not check_exit(packed, "corvantile-pack build"):
        return
    unsigned_listing = listing(unsigned)
    if unsigned_listing is None:
        return
    unsigned_listing.pop("signature")

    signed = work / "Signed.exe"
    if not sign(unsigned, signed, "release"):
        return
    if part == "signatures":
        check_signatures(unsigned, unsigned_listing, signed)
    else:
        check_damaged_directories(signed, unsigned_listing)


def check_signatures(unsigned, unsigned_listing, signed):
    dual, resigned, large = (work / n for n in ("DualSigned.exe", "Resigned.exe", "LargeTable.exe"))
    check_signed(signed, 1, unsigned, unsigned_listing)
    if sign(signed, dual, "second", "-nest"):
        check_signed(dual, 2, unsigned, unsigned_listing)
    if sign(signed, resigned, "second"):
        check_signed(resigned, 1, unsigned, unsigned_listing)
    # A timestamp adds the authority's certificates and a countersignature, some 5 to 7 KiB; no authority can
    # be reached here, so extra certificates make the table at least that large.
    if sign(unsigned, large, "release", "-ac", "chain.pem"):
        check(security_directory(large)[1] >= 7 * 1024,
              f"the table with the extra chain is timestamp-sized ({security_directory(large)[1]} bytes)")
        check_signed(large, 1, unsigned, unsigned_listing)


def check_damaged_directories(signed, unsigned_listing):
    offset, size = security_directory(signed)
    file_bytes = signed.stat().st_size
    last = unsigned_listing["entries"][-1]
    # Inside the last file's data, on a multiple of 8 as a real table would be, reaching to the end of the file.
    inside = (last["offset"] + last["size"] // 2) // 8 * 8
    beyond = check_damaged("BeyondTheFile.exe", signed, file_bytes + 8, size, "certificate table")
    overlong = check_damaged("ReachesPastTheEnd.exe", signed, offset, file_bytes - offset + 8, "certificate table")
    into = check_damaged("IntoThePackage.exe", signed, inside, file_bytes - inside, "certificate table")

    with prefix_copy(baseline) as (_, env):
        # The directory names bytes beyond the file: the package is whole and the updater extracts it.
        for path in (beyond, overlong):
            rc, out, messages = run_updater(env, path, "-x", "-l")
            check(rc == 0, f"{path.name} -x exits 0 ({rc}, log {messages})")
            check_same_files(out, f"{path.name} -x")
        # The directory starts inside the last file: the updater's package ends there, so that file is cut
        # short and the extraction fails, having handed on no byte from the table's offset onwards.
        rc, out, messages = run_updater(env, into, "-x", "-l")
        check(rc == 1 and messages == ["Extracting update files.", "Failed to extract update."],
              f"{into.name} -x fails with exit code 1 and logs why ({rc}, log {messages})")
        check(same_file(out / patches[0], fixtures / patches[0]), f"{into.name} -x extracts the first patch whole")
        cut = out / patches[-1]
        kept = cut.read_bytes() if cut.exists() else b""
        check(len(kept) <= inside - last["offset"] and (fixtures / patches[-1]).read_bytes().startswith(kept),
              f"{into.name} -x writes no byte of the last patch from the table's offset on ({len(kept)} bytes "
              f"kept, table at byte {inside - last['offset']} of it)")


main()
sys.exit(summary())
