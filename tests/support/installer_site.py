"""A loopback release location laid out as the installer built for tests expects it, and the
prefix state (installation, shortcut, runtime) that the end-to-end tests set and reset."""

import contextlib
import ntpath
import os
import re
import shutil
import struct
import tempfile
import urllib.parse

from tests.support import packages
from tests.support import wine_harness as wh
from tests.support.release_server import ReleaseServer

UPDATE_PATH = "Quorvalent-Updates/releases/download/update"
INSTALL_ROOT = r"C:\Quorvalent"
INSTALL_DIR = r"C:\Quorvalent\Start"
SHORTCUT = r"C:\users\Public\Desktop\Quorvalent.lnk"
RUNTIME_32 = r"C:\Program Files (x86)\Quorvalent Runtime\QuorvalentRuntime.exe"
RUNTIME_64 = r"C:\Program Files\Quorvalent Runtime\QuorvalentRuntime.exe"


def release_base():
    """The release location compiled into the installer under test."""
    config = os.path.join(wh.BUILD_DIR, "generated", "build_config.h")
    with open(config, encoding="utf-8") as f:
        base = re.search(r'kReleaseBase\[\] = L"([^"]*)"', f.read()).group(1)
    return urllib.parse.urlsplit(base)


def setup_program():
    return os.path.join(wh.BUILD_DIR, "tests", "runtime", "QuorvalentRuntimeSetup.exe")


class ReleaseSite:
    """Serves a temporary folder at the installer's release location over HTTPS; with
    direct=False on a free port instead (address), for a proxy to forward to."""

    def __init__(self, on_request=None, direct=True):
        self.root = tempfile.mkdtemp(prefix="quorvalent-site-")
        self.on_request = on_request
        base = release_base()
        if base.hostname != "localhost" or base.scheme != "https" or not base.port:
            raise RuntimeError("the installer under test must be built for "
                               "https://localhost:PORT/...: " + base.geturl())
        self.port = base.port if direct else 0
        self.update_dir = os.path.join(self.root, base.path.strip("/"), *UPDATE_PATH.split("/"))
        os.makedirs(self.update_dir)
        self.server = None

    def package_path(self, name):
        return os.path.join(self.update_dir, name)

    def request_count(self, name):
        target = "/%s/%s/%s" % (release_base().path.strip("/"), UPDATE_PATH, name)
        return sum(count for (scheme, path), count in self.server._counts.items()
                   if urllib.parse.urlsplit(path).path == target)

    def set_faults(self, name, query):
        """Serves the package's fixed URL with the release server's faults in query."""
        target = "/%s/%s/%s" % (release_base().path.strip("/"), UPDATE_PATH, name)
        self.server.faults[target] = query

    def publish_app(self, **options):
        return packages.make_app_package(self.package_path("Quorvalent-update.zip"), **options)

    def publish_runtime(self, include_setup=True):
        return packages.make_runtime_package(self.package_path("QuorvalentRuntime.zip"),
                                             setup_program(), include_setup=include_setup)

    def __enter__(self):
        self.server = ReleaseServer(self.root, https_port=self.port,
                                    on_request=self.on_request).start()
        self.address = ("127.0.0.1", int(self.server.https_base.rsplit(":", 1)[1]))
        return self

    @contextlib.contextmanager
    def down(self):
        """Nothing answers at the release location while the block runs."""
        self.server.stop()
        try:
            yield
        finally:
            self.__enter__()

    def __exit__(self, *exc):
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class PersonsProxy:
    """The prefix user's own Internet settings name a proxy (as Windows writes them: version,
    counter, flags 3 = direct and named proxy, then the proxy, an empty bypass list and the
    script URL, each after its length; flag 4 added when there is a script) while the block
    runs."""

    KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
    VALUE = "DefaultConnectionSettings"

    def __init__(self, address, script=""):
        def field(text):
            return struct.pack("<I", len(text)) + text.encode("ascii")
        flags = 3 | (4 if script else 0)
        self.blob = struct.pack("<III", 0x46, 1, flags) + field(address) + field("") \
            + field(script) + bytes(28)

    def _reg(self, *args):
        result = wh.run_windows_program("reg", *args, "/v", self.VALUE, "/f", timeout=120)
        assert result.returncode == 0, result.stderr

    def __enter__(self):
        self._reg("add", self.KEY, "/t", "REG_BINARY", "/d", self.blob.hex())
        return self

    def __exit__(self, *exc):
        self._reg("delete", self.KEY)


def remove_windows_path(path):
    host = wh.host_path(path)
    if os.path.isdir(host) and not os.path.islink(host):
        shutil.rmtree(host)
    elif os.path.lexists(host):
        os.remove(host)


def write_windows_file(path, data):
    host = wh.host_path(path)
    os.makedirs(os.path.dirname(host), exist_ok=True)
    with open(host, "wb") as f:
        f.write(data)


def reset_machine():
    """Back to a machine that never saw the product (the log is kept: it only grows)."""
    for path in (INSTALL_ROOT, SHORTCUT, ntpath.dirname(RUNTIME_32), ntpath.dirname(RUNTIME_64)):
        remove_windows_path(path)


def tree(folder):
    """Every name under a host folder, links not followed: a file's bytes, None for a folder,
    ("link", target) for a link."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[relative] = None
            else:
                with open(path, "rb") as f:
                    found[relative] = f.read()
    return found
