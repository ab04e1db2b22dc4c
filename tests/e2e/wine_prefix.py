"""What the script tests share for running Windows programs under Wine: paths as Wine's programs see them,
and private copies of the Installer tests' baseline prefix (both fixture products installed)."""
import contextlib
import fcntl
import os
import shutil
import subprocess
import tempfile
from pathlib import Path


def win(path):
    """A Unix path as Wine's programs reach it, through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


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
