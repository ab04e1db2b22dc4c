"""What the Python script tests share: checks counted into one closing line, programs run with their output
kept, Windows programs run under Wine with their output through files, paths as Wine's programs see them,
private copies of the Installer tests' baseline prefix (both fixture products installed), for the scripts and
for run-in-prefix-copy.sh, the facts that the fixture script writes, work directories made afresh, and the
command line that packs an updater.

The test commands put this folder on PYTHONPATH. A script ends with `sys.exit(summary())`."""
import contextlib
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
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


def wine_environment(prefix, dll_overrides=""):
    """The environment for Wine in `prefix`: no display, none of Wine's own downloads, and Unix names and
    arguments as UTF-8 whatever the caller's locale. `dll_overrides` is added to WINEDLLOVERRIDES."""
    overrides = "mscoree,mshtml,winemenubuilder.exe=" + (";" + dll_overrides if dll_overrides else "")
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="C.UTF-8", WINEDLLOVERRIDES=overrides)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def _quietly(*args, env):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def _wine_server(env):
    """A persistent server for the prefix while the block runs, warmed up by a program whose output goes
    nowhere: the first program's helper processes would otherwise inherit a caller's pipes and hold them."""
    try:
        _quietly("wineserver", "-p", env=env)
        _quietly("wine", "rundll32.exe", "user32.dll,GetDesktopWindow", env=env)
        yield env
    finally:
        _stop_wine_server(env)


def _stop_wine_server(env):
    _quietly("wineserver", "-k", env=env)
    _quietly("wineserver", "-w", env=env)


@contextlib.contextmanager
def prefix_copy(baseline, dll_overrides=""):
    """Copies the baseline under a shared lock (the one make-baseline-prefix.sh holds while it builds the
    baseline) and yields the copy and the environment for Wine in it; the copy and its server are gone
    afterwards."""
    baseline = Path(baseline)
    prefix = Path(tempfile.mkdtemp(dir=baseline.parent, prefix=baseline.name + ".copy."))
    try:
        with open(f"{baseline}.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            subprocess.run(["cp", "-a", f"{baseline}/.", str(prefix)], check=True)
        (prefix / ".corvantile-baseline").unlink()
        with _wine_server(wine_environment(prefix, dll_overrides)) as env:
            yield prefix, env
    finally:
        shutil.rmtree(prefix, ignore_errors=True)


def make_baseline_prefix(fixtures, prefix):
    """What make-baseline-prefix.sh does (its comment says what): gives the exit code to end with."""
    fixtures, prefix = Path(fixtures).resolve(), Path(os.path.abspath(prefix))
    marker = prefix / ".corvantile-baseline"
    inputs = [fixtures / name for name in ("ProductX64.msi", "ProductX86.msi", "fixtures.json")]
    missing = [str(path) for path in inputs if not path.is_file()]
    if missing:
        print(f"missing {' '.join(missing)}", file=sys.stderr)
        return 1

    def up_to_date():
        return marker.is_file() and all(marker.stat().st_mtime_ns > path.stat().st_mtime_ns for path in inputs)

    if up_to_date():
        return 0
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{prefix}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if up_to_date():
            return 0
        # Only ever delete a Wine prefix (or an empty directory), never what a wrong argument names.
        if prefix.is_dir() and not (prefix / "system.reg").is_file() and any(prefix.iterdir()):
            print(f"{prefix} exists and is no Wine prefix; not replacing it", file=sys.stderr)
            return 1
        env = wine_environment(prefix)
        _stop_wine_server(env)
        shutil.rmtree(prefix, ignore_errors=True)
        if _quietly("wineboot", "-i", env=env).returncode != 0:
            print(f"wineboot -i failed for {prefix}", file=sys.stderr)
            return 1
        # The null graphics driver: windows work, nothing is drawn.
        _quietly("wine", "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f", env=env)
        _stop_wine_server(env)
        with _wine_server(env):
            for product in fixture_facts(fixtures)["products"].values():
                done = run_wine(env, "msiexec", "/i", win(fixtures / product["msi"]), "/qn", timeout=None)
                installed = prefix / product["file_in_prefix"]
                if done.returncode != 0 or not (installed.is_file()
                                                and installed.read_bytes() == product["original"].encode()):
                    print(f"installing {product['msi']} into {prefix} failed (exit {done.returncode}, or {installed} "
                          f"missing or different)\n{done.stdout}{done.stderr}", file=sys.stderr)
                    return 1
        marker.touch()
    return 0


def run_in_prefix_copy(args):
    """What run-in-prefix-copy.sh does (its comment says what): gives the exit code to end with."""
    list_with = None
    if args[:1] == ["--list-with"] and len(args) > 1:
        list_with, args = args[1], args[2:]
    if len(args) < 2:
        print("usage: run-in-prefix-copy.sh [--list-with WINE_RUN] BASELINE_PREFIX PROGRAM [ARGS...]", file=sys.stderr)
        return 2
    baseline, program = Path(args[0]).resolve(), args[1:]
    if list_with and "--gtest_list_tests" in program:
        os.execv(list_with, [list_with, *program])
    if not (baseline / ".corvantile-baseline").is_file():
        print(f"{baseline} is no complete baseline prefix (run make-baseline-prefix.sh)", file=sys.stderr)
        return 1
    # A signal (a test timeout) ends the run at once: the server, the program with it, and the copy go.
    for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda received, _: sys.exit(128 + received))
    with prefix_copy(baseline, os.environ.get("CORVANTILE_DLL_OVERRIDES", "")) as (prefix, env):
        env["CORVANTILE_PREFIX_COPY"] = str(prefix)
        done = run_wine(env, *program, timeout=None)
        # A test program (a *Tests.exe of this tree) always prints something: its failure with no output at
        # all, or with nothing but Wine's own lost connection to its server, is Wine not starting it, which
        # changed nothing in the copy. Such a start is made once more, and counted where test.sh says. Other
        # programs (the updater) print nothing and are never started twice.
        only_wine_spoke = all(line.startswith("wine client error:") or not line.strip()
                                   for line in done.stderr.splitlines())
        if done.returncode and not done.stdout and only_wine_spoke and program[0].endswith("Tests.exe"):
            print(f"run-in-prefix-copy: {program[0]} ended with {done.returncode} and printed nothing; started "
                  "once more", file=sys.stderr)
            if os.environ.get("CORVANTILE_RESTART_LOG"):
                with open(os.environ["CORVANTILE_RESTART_LOG"], "a", encoding="utf-8") as restarts:
                    restarts.write(" ".join(program) + "\n")
            done = run_wine(env, *program, timeout=None)
    sys.stdout.write(done.stdout)
    sys.stderr.write(done.stderr)
    # A program ended by a signal ends this as a shell would tell it.
    return done.returncode if done.returncode >= 0 else 128 - done.returncode


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
