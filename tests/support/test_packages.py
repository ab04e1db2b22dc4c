"""Update packages for the Python script tests and the benchmarks, written by make-test-package: the package
builder of the C++ tests (tests/support/PackageBytes), so that the layout is written in one place.

CORVANTILE_MAKE_TEST_PACKAGE names the program (the test commands set it); without it, the native preset's
build/native/bin/make-test-package is used."""
import os
import subprocess
from pathlib import Path


def _program():
    path = Path(os.environ.get("CORVANTILE_MAKE_TEST_PACKAGE")
                or Path(__file__).resolve().parents[2] / "build" / "native" / "bin" / "make-test-package")
    if not path.is_file():
        raise SystemExit(f"{path} is missing: build the native preset first (scripts/build.sh builds both)")
    return path


def _text(text):
    """A text as make-test-package takes it: printable ASCII but the backslash as it is, every other UTF-16
    code unit, a lone surrogate too, as a \\uXXXX escape."""
    raw = text.encode("utf-16-le", "surrogatepass")
    units = (int.from_bytes(raw[i:i + 2], "little") for i in range(0, len(raw), 2))
    return "".join(chr(u) if 0x20 <= u < 0x7F and u != 0x5C else f"\\u{u:04x}" for u in units)


def _run(*args, data=b""):
    done = subprocess.run([_program(), *map(str, args)], input=data, capture_output=True)
    if done.returncode != 0:
        raise RuntimeError(f"make-test-package {' '.join(map(str, args))}: {done.stderr.decode(errors='replace')}")
    return done.stdout


def package(files, name=None, version=None):
    """Header, table and data of a package: files is a list of (name, data); names may be anything UTF-16
    holds. Without a name and a version, the C++ tests' own (kProductName, kProductVersion)."""
    args = ["package"]
    for option, text in (("--name", name), ("--version", version)):
        if text is not None:
            args += [option, _text(text)]
    for file_name, data in files:
        args += ["--file", _text(file_name), len(data)]
    return _run(*args, data=b"".join(data for _, data in files))


def security_directory(image):
    """The (offset, size) of a PE image's certificate table, as its security directory says."""
    offset, size = _run("security-directory", data=image).split()
    return int(offset), int(size)


def with_security_directory(image, offset, size):
    """The image with its security directory set to (offset, size)."""
    return _run("security-directory", offset, size, data=image)
