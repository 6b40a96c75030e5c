"""Runs the built Windows programs under Wine in the test prefix and maps prefix paths."""

import glob
import os
import subprocess

BUILD_DIR = os.environ.get("QUORVALENT_BUILD_DIR", "")
SOURCE_DIR = os.environ.get(
    "QUORVALENT_SOURCE_DIR",
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
PREFIX = os.environ.get("WINEPREFIX", "")


def host_toolchain():
    """The cross toolchain (a cmake/ file name without .cmake) whose programs this host runs:
    a kernel with IA-32 emulation off starts no 32-bit Wine, only its 64-bit loader."""
    probe = subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return "mingw-w64-i686" if probe.returncode == 0 else "mingw-w64-x86_64"


# The loader for the build under test: Wine's 32-bit one, or its 64-bit one for a 64-bit build.
# Tests get it from CTest; the benchmarks, which build for themselves, ask the host.
WINE = os.environ.get("QUORVALENT_WINE") or (
    "wine" if host_toolchain() == "mingw-w64-i686" else "/usr/lib/wine/wine64")
# False where the tests run a 64-bit build: the shipped 32-bit installer cannot start there.
RUNS_SHIPPED_PROGRAM = os.environ.get("QUORVALENT_REG_VIEW", "32") == "32"

LOG_WINDOWS_PATH = r"C:\ProgramData\Quorvalent\Installer-Native.log"


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree=;mshtml=;winemenubuilder.exe=d")
    if extra:
        env.update(extra)
    return env


def installer_exe():
    return os.path.join(BUILD_DIR, "QuorvalentInstaller.exe")


def run_windows_program(exe, *args, timeout=600, env=None, cwd=None):
    """Runs exe under Wine with no console: stdin empty, stdout and stderr captured as bytes.
    cwd (a host folder) becomes the program's current folder."""
    return subprocess.run([WINE, exe, *args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, env=wine_env(env), cwd=cwd)


def run_installer(*args, timeout=600, env=None, exe=None, cwd=None):
    """Runs the built installer, or the copy of it at exe."""
    return run_windows_program(exe or installer_exe(), *args, timeout=timeout, env=env, cwd=cwd)


def host_path(windows_path):
    """The host path of a C:\\ path inside the prefix."""
    drive, rest = windows_path[0].lower(), windows_path[2:].lstrip("\\")
    assert drive == "c", windows_path
    return os.path.join(PREFIX, "drive_c", *[p for p in rest.split("\\") if p])


def windows_path(host):
    """A host path as Wine sees it (Z:)."""
    return "Z:" + os.path.abspath(host).replace("/", "\\")


def temp_dir():
    """The prefix user's TEMP folder, as GetTempPathW gives it."""
    candidates = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp"))
    candidates = [c for c in candidates if os.path.basename(os.path.dirname(c)) != "Public"]
    assert candidates, "no Temp folder in the prefix"
    return candidates[0]


def work_folders():
    return sorted(glob.glob(os.path.join(temp_dir(), "QuorvalentInstallerNative-*")))


def log_host_path():
    return host_path(LOG_WINDOWS_PATH)


def read_log():
    try:
        with open(log_host_path(), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""
