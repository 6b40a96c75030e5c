"""What an unelevated program can prepare in C:\\Quorvalent before the elevated installer runs
(links, second names, files held open, the program itself running) must neither send the
package's bytes outside the installation folder nor leave a half-replaced installation."""

import fcntl
import glob
import os
import re
import signal
import subprocess
import threading
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import wine_harness as wh
from tests.support.install_folder import (EXTRA, FRESH, START, Holder, Preparations,
                                          holder_exe, host, in_start, package)

RESTORED = "    [Quorvalent] Đã khôi phục bản cài đặt trước.\n"
ANOTHER_RUN = "Một trình cài đặt Quorvalent khác đang chạy."
INTERRUPTED = "    [Quorvalent] Lần cài trước bị gián đoạn, đã khôi phục bản cài đặt trước.\n"
NOT_RECOVERED = "Không khôi phục được lần cài trước bị gián đoạn: "


class InstallFolderPreparations(Preparations, unittest.TestCase):
    def run_installer(self):
        run = e2e.run_installer("--no-pause")
        return run.returncode, run.stdout, run.stderr

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
