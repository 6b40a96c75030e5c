"""What the installation-folder tests prepare in C:\\Quorvalent before a run, as an unelevated
program could: the package of each version, an earlier installation, links, files held open,
the program itself running, another run, the installer's names taken; and what a run in step 5
leaves in its run folder beside Start.

Links are Unix symbolic links made on the host, which Wine shows as Windows links; the other
programs are a small Wine program (tests/support/temp_attacker.c)."""

import contextlib
import glob
import os
import re
import shutil
import subprocess
import tempfile
import threading

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import packages
from tests.support import wine_harness as wh

START = site.INSTALL_DIR
# Names the table's preparations need beyond the sample package's own; the many small files give
# an update that is killed a stretch of renames to be killed in.
EXTRA = {"lib/helper.dll": b"MZ helper ", "data/x.txt": b"x "}
EXTRA.update({"data/many/f%03d.bin" % i: b"%03d " % i for i in range(300)})
# In the new version only: folders the run makes, and removes again when it puts back.
FRESH = {"fresh/folder/file.txt": b"fresh in 2.0"}


def package(version):
    files = packages.app_files(version)
    files.update({name: data + version.encode() for name, data in EXTRA.items()})
    if version != "1.0":
        files.update(FRESH)
    return files


def host(windows_path):
    return wh.host_path(windows_path)


def in_start(name):
    return host(START + "\\" + name.replace("/", "\\"))


def holder_exe():
    return os.path.join(wh.BUILD_DIR, "tests", "support", "temp_attacker.exe")


class Holder:
    """A Wine program that holds a file open without sharing (or only runs), or with "squat"
    holds the named objects given, until closed."""

    def __init__(self, exe, *args, cwd=None, command="hold"):
        self.process = subprocess.Popen([wh.WINE, exe, command, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, env=wh.wine_env(), cwd=cwd)
        line = self.process.stdout.readline()
        assert line.strip() == b"held", line

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=120)


class Preparations:
    """The preparations, each a method a test's table names, and the state they leave for
    tearDown, for unittest.TestCase."""

    def setUp(self):
        self.outside = tempfile.mkdtemp(prefix="quorvalent-outside-")
        self.holders = []
        self.first_run = None
        self.download_gate = threading.Event()
        self.download_asked = threading.Event()

    def tearDown(self):
        for holder in self.holders:
            holder.close()
        self.download_gate.set()
        if self.first_run is not None:
            self.first_run.communicate(timeout=600)
        site.reset_machine()  # other test programs share the prefix
        shutil.rmtree(self.outside, ignore_errors=True)

    def fresh_machine(self):
        self.tearDown()
        self.holders = []
        os.makedirs(self.outside)
        site.write_windows_file(site.RUNTIME_32, b"MZ")  # the runtime's steps are skipped

    def outside_file(self, name, data):
        path = os.path.join(self.outside, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def earlier_installation(self):
        for name, data in package("1.0").items():
            site.write_windows_file(START + "\\" + name.replace("/", "\\"), data)
        site.write_windows_file(START + r"\user\notes.txt", b"the user's notes")

    # The preparations, one per row of the table.
    def folder_link_at_lib(self):
        self.earlier_installation()
        shutil.rmtree(in_start("lib"))
        target = os.path.join(self.outside, "lib")
        self.outside_file("lib/core.bin", b"outside library")
        os.symlink(target, in_start("lib"))

    def link_at_quorvalent(self):
        self.outside_file("Start/Quorvalent.exe", b"outside program")
        os.symlink(self.outside, host(site.INSTALL_ROOT))

    def file_link_at_program(self):
        self.earlier_installation()
        os.remove(in_start("Quorvalent.exe"))
        os.symlink(self.outside_file("program.exe", b"outside program"),
                   in_start("Quorvalent.exe"))

    def hard_link_at_data(self):
        self.earlier_installation()
        os.remove(in_start("data/x.txt"))
        os.link(self.outside_file("x.txt", b"outside x"), in_start("data/x.txt"))

    def package_file_held_open(self):
        self.earlier_installation()
        self.holders.append(Holder(holder_exe(), START + r"\lib\core.bin"))

    def program_running(self):
        self.earlier_installation()
        shutil.copyfile(holder_exe(), in_start("Quorvalent.exe"))
        # Started as its shortcut starts it: with Start as its current folder.
        self.holders.append(Holder(START + r"\Quorvalent.exe", cwd=host(START)))

    def another_run_downloading(self):
        # Started first and held by the release server at its download, however slow the
        # machine: the row's run starts while this one is surely past its first step.
        self.earlier_installation()
        self.download_gate.clear()
        self.download_asked.clear()
        self.first_run = e2e.start_installer("--no-pause")
        self.assertTrue(self.download_asked.wait(300), "the first run never asked for the package")
        self.log_before = wh.read_log()
        self.work_before = wh.work_folders()

    def installer_names_taken(self):
        # What a user's program can do against one installer at a time: make a mutex first, at
        # the installer's old mutex name and at every name in the installer's own strings, in the
        # names every session shares and in its own, and keep it.
        self.earlier_installation()
        with open(wh.installer_exe(), "rb") as f:
            program = f.read()
        found = re.findall(rb"(?:[\x20-\x7e]\x00){6,}", program)
        texts = [text.decode("utf-16-le") for text in found] + [
            text.decode("ascii") for text in re.findall(rb"[\x20-\x7e]{6,}", program)]
        names = {"QuorvalentInstallerNative-OneRunAtATime"}
        names.update(part for text in texts for part in text.split("\\")
                     if "Quorvalent" in part or "OneRun" in part)
        self.holders.append(Holder(holder_exe(), *[space + name for name in sorted(names)
                                                   for space in ("Global\\", "Local\\")],
                                   command="squat"))

    def hold_downloads(self, path):
        # Called by the release server on the request's own thread: holds the first run's
        # request only.
        if (self.first_run is not None and path.endswith("/Quorvalent-update.zip")
                and not self.download_asked.is_set()):
            self.download_asked.set()
            self.download_gate.wait(600)

    # Ends of a run in step 5, each when its run folder beside Start shows it has got that far.
    @staticmethod
    def record_of(run):
        try:
            with open(os.path.join(run, "update-record"), "rb") as f:
                return f.read().decode("utf-16-le", "replace")
        except FileNotFoundError:
            return None

    @staticmethod
    def old_copies(run):
        count = 0
        for folder in glob.glob(os.path.join(run, "old-*")):
            with contextlib.suppress(FileNotFoundError):  # gone once the update has landed
                count += len(os.listdir(folder))
        return count

    @staticmethod
    def recorded_names(record):
        """Number -> the file as the installation names it, from the record's file lines and
        the spellings of old files appended after them."""
        names = {}
        for line in record.split("\n"):
            fields = line.split("\t")
            if fields[0] == "file" and len(fields) == 5:
                names[fields[1]] = "\\".join(part for part in fields[3:] if part)
            elif fields[0] == "name" and len(fields) == 3:
                names[fields[1]] = "\\".join(names[fields[1]].split("\\")[:-1] + [fields[2]])
        return names

    def whole_new_version(self, start):
        start = dict(start)
        for name, data in package("2.0").items():
            start[name.replace("/", os.sep)] = data
        for folder in ("plugins", "fresh", os.path.join("fresh", "folder")):
            start[folder] = None
        return start

