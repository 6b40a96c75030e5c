"""What an unelevated program can prepare in C:\\Quorvalent before the elevated installer runs
(links, second names, files held open, the program itself running) must neither send the
package's bytes outside the installation folder nor leave a half-replaced installation.

Links are Unix symbolic links made on the host, which Wine shows as Windows links; the other
programs are a small Wine program (tests/support/temp_attacker.c)."""

import contextlib
import fcntl
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import packages
from tests.support import wine_harness as wh

START = site.INSTALL_DIR
RESTORED = "    [Quorvalent] Đã khôi phục bản cài đặt trước.\n"
ANOTHER_RUN = "Một trình cài đặt Quorvalent khác đang chạy."
INTERRUPTED = "    [Quorvalent] Lần cài trước bị gián đoạn, đã khôi phục bản cài đặt trước.\n"
NOT_RECOVERED = "Không khôi phục được lần cài trước bị gián đoạn: "
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


class InstallFolderPreparations(unittest.TestCase):
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

    def run_installer(self):
        run = e2e.run_installer("--no-pause")
        return run.returncode, run.stdout, run.stderr

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

    def recovery_held_up(self, run, record, start):
        """Another program (a scanner, a backup tool) holds one old copy open without sharing
        its deletion: the next run stops in its first step, before any download, with every file
        of the installation at its name; once the lock goes, the caller's run recovers."""
        number = sorted(os.listdir(os.path.join(run, "old-1")), key=int)[-1]
        held_name = self.recorded_names(record)[number]
        holder = Holder(holder_exe(), "%s\\%s\\old-1\\%s" % (
            site.INSTALL_ROOT, os.path.basename(run), number))
        try:
            downloads = self.release.request_count("Quorvalent-update.zip")
            returncode, stdout, stderr = self.run_installer()
        finally:
            holder.close()
        self.assertEqual(returncode, 1, stdout + stderr)
        self.assertIn(e2e.ERROR_BANNER + NOT_RECOVERED + START + "\\" + held_name + ": ", stderr)
        self.assertNotIn("[2/10]", stdout)
        self.assertEqual(self.release.request_count("Quorvalent-update.zip"), downloads)
        self.assertEqual(set(start) - set(site.tree(host(START))), set(), "no file missing")
        self.assertEqual(glob.glob(host(START) + ".update-*"), [run], "the record stays")

    def killed_when(self, reached, old_copy_held=False):
        """A run ended from outside, as TerminateProcess, a crash or a power cut ends it (SIGKILL to
        the process Wine runs it in), once reached(run folder) holds; then, with old_copy_held,
        a run that cannot recover; then a run while the release server is down, which must leave
        one whole version and nothing beside Start; then a normal run, whose outcome the table
        checks. Whatever the machine's speed, the kill lands after the point watched for; the
        record then says which version the next run must leave."""
        start = site.tree(host(START))
        process = e2e.start_installer("--no-pause", stderr=subprocess.STDOUT)
        output = []
        reader = threading.Thread(target=lambda: output.append(process.stdout.read()))
        reader.start()

        def ended_or_reached():
            runs = glob.glob(host(START) + ".update-*")
            return process.poll() is not None or bool(runs and reached(runs[0]))

        e2e.wait_until(ended_or_reached, 900)
        if process.poll() is None:
            os.kill(process.pid, signal.SIGKILL)
        process.wait()
        reader.join()
        process.stdout.close()
        # A run that ended by itself first says nothing of how the next run recovers.
        self.assertEqual(process.returncode, -signal.SIGKILL, "not killed: %r" % output)
        runs = glob.glob(host(START) + ".update-*")
        record = self.record_of(runs[0]) if runs else None
        committed = record is None or "\ncommitted\n" in record
        if old_copy_held:
            self.assertFalse(committed, "killed too late to hold an old copy")
            self.recovery_held_up(runs[0], record, start)
        with self.release.down():
            returncode, stdout, stderr = self.run_installer()
        self.assertEqual(returncode, 1, stdout + stderr)
        self.assertEqual(os.listdir(host(site.INSTALL_ROOT)), ["Start"], stdout + stderr)
        if committed:
            self.assertNotIn(INTERRUPTED, stdout)
            self.assertEqual(site.tree(host(START)), self.whole_new_version(start))
        else:
            self.assertIn("[1/10] Chuẩn bị thư mục cài đặt và thư mục tạm\n" + INTERRUPTED,
                          stdout)
            self.assertEqual(site.tree(host(START)), start)
        return self.run_installer()

    def logged_off_during_update(self):
        """A log-off while the run is in step 5: the run's output goes into a pipe of one page
        that nobody reads until then, so the run is held in step 5, drawing its progress, when
        Wine ends the session (`wineboot --end-session`, which asks every top-level window, as
        Windows does). The installer's window refuses, so the session goes on (wineboot exits
        1), and the run, once its output is read again, lands the update."""
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETPIPE_SZ, 4096)
        process = e2e.start_installer("--no-pause", stdout=write_end)
        os.close(write_end)
        e2e.wait_until(lambda: process.poll() is not None or glob.glob(host(START) + ".update-*"),
                       600)
        self.assertIsNone(process.poll(), "ended before step 5")
        session = subprocess.run([wh.WINE, "wineboot", "--end-session"], env=wh.wine_env(),
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertIsNone(process.poll(), "ended by the session's end")
        with os.fdopen(read_end, "rb") as output:
            stdout = output.read()
        stderr = process.communicate(timeout=600)[1]
        self.assertEqual(session.returncode, 1, "the session's end was not refused")
        return process.returncode, e2e.text(stdout), e2e.text(stderr)

    def whole_new_version(self, start):
        start = dict(start)
        for name, data in package("2.0").items():
            start[name.replace("/", os.sep)] = data
        for folder in ("plugins", "fresh", os.path.join("fresh", "folder")):
            start[folder] = None
        return start

    def test_preparations_of_the_installation_folder(self):
        unsafe = "Thư mục cài đặt không an toàn: "
        cases = [
            # label, preparation, exit code, message (start), whether Start gets the package
            ("Start\\lib a link to an outside folder", self.folder_link_at_lib, 1,
             unsafe + START + "\\lib\n", False),
            ("C:\\Quorvalent a link to an outside folder", self.link_at_quorvalent, 1,
             unsafe + site.INSTALL_ROOT + "\n", False),
            ("Start\\Quorvalent.exe a link to an outside file", self.file_link_at_program, 0,
             None, True),
            ("a hard link at Start\\data\\x.txt", self.hard_link_at_data, 0, None, True),
            ("a package file held open without sharing", self.package_file_held_open, 1,
             "Không sao chép được: " + START + "\\lib\\core.bin: ", False),
            ("Quorvalent itself running from Start", self.program_running, 0, None, True),
            ("another installer started a moment before", self.another_run_downloading, 1,
             ANOTHER_RUN + "\n", False),
            ("a user's program holding every name it finds in the installer",
             self.installer_names_taken, 0, None, True),
            ("logged off during the update", self.earlier_installation, 0, None, True,
             self.logged_off_during_update),
            # Killed in step 5: the next run, even one that cannot download, leaves one whole
            # version, and the run after lands the new one.
            ("killed once its record is written", self.earlier_installation, 0, None, True,
             lambda: self.killed_when(lambda run: self.record_of(run) is not None)),
            ("killed after the first old copy moved aside", self.earlier_installation, 0, None,
             True, lambda: self.killed_when(lambda run: self.old_copies(run) >= 1)),
            ("killed after 120 old copies moved aside", self.earlier_installation, 0, None, True,
             lambda: self.killed_when(lambda run: self.old_copies(run) >= 120)),
            ("killed after 120 old copies moved aside, one held during the next run",
             self.earlier_installation, 0, None, True,
             lambda: self.killed_when(lambda run: self.old_copies(run) >= 120, True)),
            ("killed once its update is committed", self.earlier_installation, 0, None, True,
             lambda: self.killed_when(
                 lambda run: "\ncommitted\n" in (self.record_of(run) or ""))),
        ]
        with site.ReleaseSite(on_request=self.hold_downloads) as release:
            self.release = release
            new = package("2.0")
            release.publish_app(version="2.0", extra_files={
                name: new[name] for name in list(EXTRA) + list(FRESH)})
            for label, prepare, code, message, installs, *run in cases:
                with self.subTest(label):
                    self.fresh_machine()
                    prepare()
                    outside = site.tree(self.outside)
                    start = site.tree(host(START))
                    returncode, stdout, stderr = (run[0] if run else self.run_installer)()
                    output = stdout + stderr
                    self.assertEqual(returncode, code, output)
                    self.assertEqual(site.tree(self.outside), outside, output)
                    if message:
                        self.assertIn(e2e.ERROR_BANNER + message, stderr)
                    if not installs:
                        self.assertEqual(site.tree(host(START)), start, output)
                        if prepare == self.another_run_downloading:
                            self.assert_refused_and_first_run_installs(stdout, new)
                        elif not message.startswith(unsafe):
                            self.assertIn(RESTORED, stdout)
                            self.assertEqual(os.listdir(host(site.INSTALL_ROOT)), ["Start"])
                        continue
                    self.assertEqual(site.tree(host(START)), self.whole_new_version(start), output)
                    if prepare == self.program_running:
                        self.assert_old_program_waits_and_goes()
                    else:
                        self.assertEqual(os.listdir(host(site.INSTALL_ROOT)), ["Start"])

    def assert_refused_and_first_run_installs(self, stdout, new):
        # The second run changed nothing: no step, no work folder, only the error's log line.
        self.assertNotIn("[1/10]", stdout)
        self.assertEqual(wh.work_folders(), self.work_before)
        added = e2e.text(wh.read_log()[len(self.log_before):])
        self.assertRegex(added, "^" + e2e.LOG_LINE + "LỖI: " + re.escape(ANOTHER_RUN) + "\n$")
        self.download_gate.set()
        out, err = self.first_run.communicate(timeout=600)
        first = e2e.text(out + err)
        code, self.first_run = self.first_run.returncode, None
        self.assertEqual(code, 0, first)
        self.assertIn("HOÀN TẤT", first)
        self.assertNotIn("CÓ LỖI XẢY RA", first)
        with open(in_start("Quorvalent.exe"), "rb") as f:
            self.assertEqual(f.read(), new["Quorvalent.exe"])

    def assert_old_program_waits_and_goes(self):
        # The running image could move but not go: it waits beside Start, and the next run,
        # once the program has ended, removes it.
        waiting = [n for n in os.listdir(host(site.INSTALL_ROOT)) if n != "Start"]
        self.assertEqual(len(waiting), 1, waiting)
        self.assertTrue(waiting[0].startswith("Start.update-"), waiting)
        for holder in self.holders:
            holder.close()
        returncode, stdout, stderr = self.run_installer()
        self.assertEqual(returncode, 0, stdout + stderr)
        self.assertEqual(os.listdir(host(site.INSTALL_ROOT)), ["Start"])


if __name__ == "__main__":
    unittest.main()
