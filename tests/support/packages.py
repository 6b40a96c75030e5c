"""Sample release packages for the end-to-end tests and the local demo."""

import os
import zipfile

APP_FILES = {
    "Quorvalent.exe": None,  # filled with a versioned body
    "data/config.json": b'{"channel": "update"}\n',
    "data/ng\u00f4n ng\u1eef/vi.txt": "Xin ch\u00e0o Quorvalent\n".encode("utf-8"),
    "empty.txt": b"",
    "lib/core.bin": bytes(range(256)) * 64,
}


def app_files(version="1.0"):
    files = dict(APP_FILES)
    files["Quorvalent.exe"] = b"MZ" + ("Quorvalent sample build " + version).encode() + b"\0" * 4000
    return files


def write_zip(path, files, directories=()):
    """Writes files (name -> bytes) and directory entries; returns (file count, total bytes)."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for directory in directories:
            archive.writestr(zipfile.ZipInfo(directory.rstrip("/") + "/"), b"")
        for name, data in files.items():
            archive.writestr(name, data)
    return len(files), sum(len(d) for d in files.values())


def make_app_package(path, version="1.0", wrap_in_folder=False, without_program=False,
                     extra_files=None):
    files = app_files(version)
    files.update(extra_files or {})
    if without_program:
        del files["Quorvalent.exe"]
    if wrap_in_folder:
        files = {"Quorvalent/" + name: data for name, data in files.items()}
    return write_zip(path, files, directories=["plugins/"])


def make_runtime_package(path, setup_program, include_setup=True):
    """The runtime's package: its setup program one folder down, as vendors ship it."""
    files = {"readme.txt": b"Quorvalent Runtime\n"}
    if include_setup:
        with open(setup_program, "rb") as f:
            files["bin/QuorvalentRuntimeSetup.exe"] = f.read()
    return write_zip(path, files)


def make_unsafe_package(path):
    return write_zip(path, {"ok.txt": b"ok", "../escape.txt": b"escaped"})


def make_self_test_archives(folder):
    """The two archives the self-test takes, a safe one and one that escapes its folder, in
    folder: their paths."""
    safe, unsafe = os.path.join(folder, "safe.zip"), os.path.join(folder, "unsafe.zip")
    make_app_package(safe)
    make_unsafe_package(unsafe)
    return safe, unsafe
