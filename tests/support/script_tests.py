"""What the Python script tests share: checks counted into one closing line, programs run with their output
kept, Windows programs run under Wine with their output through files, paths as Wine's programs see them,
private copies of the Installer tests' baseline prefix (both fixture products installed), the facts that the
fixture script writes, work directories made afresh, and the command line that packs an updater.

The test commands put this folder on PYTHONPATH. A script ends with `sys.exit(summary())`."""
import contextlib
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

# Whether check() prints the checks that pass; a script with thousands of checks prints only its failures.
print_passes = True
_checks = 0
_failures = 0


def check(condition, what):
    """Counts one check, prints it (a failure always) and gives back whether it held."""
    global _checks, _failures
    _checks += 1
    if not condition:
        _failures += 1
    if print_passes or not condition:
        print(("ok    " if condition else "FAIL  ") + what, flush=True)
    return bool(condition)


def checks():
    """How many checks have been made."""
    return _checks


def failures():
    """How many checks have failed so far."""
    return _failures


def summary():
    """Prints the closing line and gives the process's exit code."""
    print(f"{_checks - _failures} passed, {_failures} failed", flush=True)
    return 1 if _failures else 0


def check_exit(result, what, expected=0):
    """Checks that a finished program (a CompletedProcess) exited with `expected`, its stderr kept in the
    message; gives back whether it did."""
    return check(result.returncode == expected,
                 f"{what} exits {expected} ({result.returncode}: {result.stderr.strip()})")


def run(*args, timeout=120, **kwargs):
    """Runs a program (or WINE_RUN with a Windows program) with its output captured as text."""
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, errors="replace", timeout=timeout,
                          **kwargs)


def win(path):
    """A Unix path as Wine's programs reach it, through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class WineRun:
    """A Windows program started under Wine in the prefix that `env` names. Its output goes through files:
    wineserver holds a program's pipes for a while after it exits."""

    def __init__(self, env, *args, cwd=None):
        self._stdout, self._stderr = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self._process = subprocess.Popen(["wine", *map(str, args)], env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=self._stdout, stderr=self._stderr)

    def finish(self, timeout=180):
        """Waits for the program (killing it after `timeout` seconds) and gives its exit code and output."""
        try:
            returncode = self._process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            raise
        finally:
            outputs = []
            for file in (self._stdout, self._stderr):
                file.seek(0)
                outputs.append(file.read().decode("utf-8", "replace"))
                file.close()
        return subprocess.CompletedProcess(self._process.args, returncode, *outputs)


def run_wine(env, *args, cwd=None, timeout=180):
    """Runs a Windows program under Wine to its end: its exit code, stdout and stderr."""
    return WineRun(env, *args, cwd=cwd).finish(timeout)


@contextlib.contextmanager
def prefix_copy(baseline):
    """Copies the baseline under a shared lock, as run-in-prefix-copy.sh does, and yields the copy and the
    environment for Wine in it; the copy and its server are gone afterwards."""
    baseline = Path(baseline)
    prefix = Path(tempfile.mkdtemp(dir=baseline.parent, prefix=baseline.name + ".copy."))
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="C.UTF-8",
               WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    try:
        with open(f"{baseline}.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            subprocess.run(["cp", "-a", f"{baseline}/.", str(prefix)], check=True)
        (prefix / ".corvantile-baseline").unlink()
        # A persistent server, warmed up by a program whose output goes nowhere.
        subprocess.run(["wineserver", "-p"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "rundll32.exe", "user32.dll,GetDesktopWindow"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        yield prefix, env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix, ignore_errors=True)


def fresh_dir(path):
    """`path` as an empty directory, whatever was there before."""
    path = cleared(path)
    path.mkdir(parents=True)
    return path


def cleared(path):
    """`path` with nothing there, for a program that must make it."""
    shutil.rmtree(path, ignore_errors=True)
    return Path(path)


def same_file(path, original):
    """Whether `path` is a file with the bytes of `original`."""
    return Path(path).is_file() and Path(path).read_bytes() == Path(original).read_bytes()


# (product name, version) of the updaters packed from the Installer tests' fixture patches, and of the example
# updater that the documents and the hostile packages use.
FIXTURE_PRODUCT = ("Corvantile Fixtures", "1.0.1")
EXAMPLE_PRODUCT = ("Example Server 10", "2.0.0.100")


def build_command(stub, output, inputs, product=FIXTURE_PRODUCT):
    """The arguments of `corvantile-pack build`, paths as given: the stub, the updater and the update files."""
    return ["build", "--stub", str(stub), "--name", product[0], "--version", product[1], "--output", str(output),
            *map(str, inputs)]


def fixture_facts(directory):
    """The facts that the fixture script writes into fixtures.json in `directory`."""
    return json.loads((Path(directory) / "fixtures.json").read_text(encoding="utf-8"))


def log_messages(directory):
    """The messages of the updater's log in `directory` (each line without its time), or None without a log."""
    path = Path(directory) / "CorvantileUpdater.log"
    if not path.exists():
        return None
    return [line[14:] for line in path.read_bytes().decode("utf-16-le").split("\r\n") if line]
