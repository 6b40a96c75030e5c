"""The run's work folder in TEMP and the log's folder in C:\\ProgramData are held, not trusted by
name. Each row plays what an unelevated program of the same user can do there: moves in TEMP by
a Wine program that starts the installer (tests/support/temp_attacker.c), so that Wine's sharing
rules stop it where Windows' would, and links, which only the host side can make, from here."""

import os
import re
import shutil
import tempfile
import threading
import time
import unittest

from tests.support import installer_site as site
from tests.support import wine_harness as wh

WORK_FAILURE = "Không tạo được thư mục làm việc."
MISSING_TEMP = r"C:\quorvalent-missing-temp\Temp"
# The test prefix's drive V: is reported as a FAT volume, which keeps no access rules
# (scripts/prefix.d/30-volume-without-acls.sh).
VOLUME_WITHOUT_ACLS = "V:\\"
SUFFIXED_NAME = re.compile(r"QuorvalentInstallerNative-\d+-\d+-[0-9a-f]{8}$")


def snapshot(folder):
    """Every file, folder and link under folder (links not followed), with the files' bytes."""
    tree = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            key = os.path.relpath(path, folder)
            if os.path.islink(path):
                tree[key] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                tree[key] = None
            else:
                with open(path, "rb") as f:
                    tree[key] = f.read()
    return tree


def kept_entries(work):
    """What a run left in its work folder, apart from links and the folders leading to them:
    Wine cannot remove a link without its target, so the removal leaves links alone there."""
    entries, kept = set(), set()
    for root, dirs, files in os.walk(work):
        for name in dirs + files:
            path = os.path.relpath(os.path.join(root, name), work)
            entries.add(path)
            if os.path.islink(os.path.join(root, name)):
                while path:
                    kept.add(path)
                    path = os.path.dirname(path)
    return sorted(entries - kept)


def remove_keeping_targets(folder):
    for root, dirs, files in os.walk(folder, topdown=False):
        for name in dirs + files:
            path = os.path.join(root, name)
            if os.path.islink(path) or not os.path.isdir(path):
                os.remove(path)
            else:
                os.rmdir(path)
    os.rmdir(folder)


class Planter(threading.Thread):
    """Calls plant(work folder) every few milliseconds during a run until it returns True."""

    def __init__(self, plant):
        super().__init__(daemon=True)
        self.plant = plant
        self.planted = threading.Event()
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set() and not self.planted.is_set():
            for work in wh.work_folders():
                try:
                    if self.plant(work):
                        self.planted.set()
                        break
                except OSError:
                    pass  # the folder changed under us: look again
            time.sleep(0.002)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.join()


class HeldFolders(unittest.TestCase):
    def setUp(self):
        site.reset_machine()
        self.folder = tempfile.mkdtemp(prefix="quorvalent-held-")
        self.outside = os.path.join(self.folder, "outside")
        for name, data in (("secret.txt", b"secret!"), ("nested/inner.txt", b"inner")):
            os.makedirs(os.path.dirname(os.path.join(self.outside, name)), exist_ok=True)
            with open(os.path.join(self.outside, name), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.outside, "empty"))
        os.makedirs(os.path.join(self.outside, "log-target"))
        self.log_folder = os.path.dirname(wh.log_host_path())
        self.kept_log = os.path.join(self.folder, "kept-log-folder")

    def tearDown(self):
        for work in wh.work_folders():
            remove_keeping_targets(work)
        self.restore_log_folder()
        site.reset_machine()
        shutil.rmtree(self.folder, ignore_errors=True)

    # What each row sets up before the run, and undoes after it.

    def link_the_log_folder(self):
        if os.path.lexists(self.log_folder):
            shutil.move(self.log_folder, self.kept_log)
        os.symlink(os.path.join(self.outside, "log-target"), self.log_folder)

    def restore_log_folder(self):
        if os.path.islink(self.log_folder):
            os.remove(self.log_folder)
            if os.path.lexists(self.kept_log):
                shutil.move(self.kept_log, self.log_folder)

    def links_in_place_of_listed_entries(self, work):
        # Once the runtime's package is in, the application's extraction is done with; the
        # removal still has to walk it.
        if not os.path.exists(os.path.join(work, "QuorvalentRuntime.zip")):
            return False
        shutil.rmtree(os.path.join(work, "Quorvalent"))
        os.symlink(self.outside, os.path.join(work, "Quorvalent"))
        os.symlink(os.path.join(self.outside, "secret.txt"), os.path.join(work, "file-link"))
        os.symlink(os.path.join(self.outside, "empty"), os.path.join(work, "empty-link"))
        return True

    def run_row(self, mode, temp=None, runtime=False, slow=False, plant=None):
        report = os.path.join(self.folder, "report.txt")
        self.setup_marker = os.path.join(self.folder, "setup.marker")
        self.attacker_marker = os.path.join(self.folder, "attacker.marker")
        for stale in (report, self.setup_marker, self.attacker_marker):
            if os.path.exists(stale):
                os.remove(stale)
        if not runtime:
            site.write_windows_file(site.RUNTIME_32, b"MZ")
        args = [wh.windows_path(report), mode] + (["--temp", temp] if temp else [])
        args += ["--", wh.windows_path(wh.installer_exe()), "--no-pause"]
        attacker = os.path.join(wh.BUILD_DIR, "tests", "support", "temp_attacker.exe")
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime()
            if slow:  # a few seconds of download, for the attacker to act in
                release.set_faults("Quorvalent-update.zip", "slow=400&piece=2048")
            with Planter(plant or (lambda work: True)) as planter:
                result = wh.run_windows_program(attacker, *args, timeout=900, env={
                    "QUORVALENT_SETUP_SECONDS": "2",
                    "QUORVALENT_SETUP_MARKER": wh.windows_path(self.setup_marker),
                    "QUORVALENT_ATTACKER_MARKER": wh.windows_path(self.attacker_marker),
                })
            self.planted = planter.planted.is_set()
            self.downloads = release.request_count("Quorvalent-update.zip")
        self.output = (result.stdout + result.stderr).decode("utf-8", "replace")
        self.report = {}
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                for line in f.read().splitlines():
                    key, _, value = line.partition("=")
                    self.report.setdefault(key, []).append(value)
        return result.returncode

    def assert_refused_rename(self):
        self.assertEqual(self.report.get("rename"), ["32"], "the work folder was not held")

    def assert_real_setup_ran_from_the_work_folder(self):
        with open(self.setup_marker, encoding="utf-8") as f:
            self.assertRegex(f.read(), r"program=.*\\QuorvalentInstallerNative-[^\\]+\\"
                                       r"QuorvalentRuntime\\bin\\QuorvalentRuntimeSetup.exe")

    def assert_names_made_in_advance_passed_over(self):
        planted = [w for w in wh.work_folders() if not SUFFIXED_NAME.search(w)]
        self.assertEqual(self.report.get("planted"), ["2500"])
        self.assertEqual(len(planted), 2500, "every name made in advance is still there")
        self.assertEqual([w for w in planted if os.listdir(w)], [])
        seen = self.report.get("seen", [])
        self.assertTrue(seen and all(SUFFIXED_NAME.search(name) for name in seen),
                        "%s %s" % (self.report, [os.path.basename(w) for w in
                                                 wh.work_folders() if w not in planted]))
        for work in planted:
            os.rmdir(work)

    def assert_nothing_downloaded(self, made_nothing):
        self.assertEqual(self.downloads, 0, "the check comes before any download")
        self.assertTrue(made_nothing(), "something was made in or for TEMP")

    def test_attacks_on_the_held_folders(self):
        volume = os.path.join(wh.PREFIX, "volume-without-acls", "folder")
        missing = wh.host_path(MISSING_TEMP.rsplit("\\", 1)[0])
        # label, attacker's mode, TEMP, runtime to install, slow download, host-side planting,
        # preparation, failure message (None: the run succeeds), row's own check
        rows = [
            ("the work folder renamed and replaced while the package downloads",
             "replace-while-downloading", None, False, True, None, None, None,
             self.assert_refused_rename),
            ("the runtime's setup program swapped after extraction", "swap-setup", None, True,
             False, None, None, None,
             lambda: (self.assert_refused_rename(),
                      self.assert_real_setup_ran_from_the_work_folder())),
            ("links in place of a listed folder and files before the removal walks them",
             "none", None, True, False, self.links_in_place_of_listed_entries, None, None,
             lambda: self.assertTrue(self.planted, "the links were never planted")),
            ("a link at C:\\ProgramData\\Quorvalent", "none", None, False, False, None,
             self.link_the_log_folder, None,
             lambda: self.assertTrue(os.path.islink(self.log_folder))),
            ("TEMP missing", "none", MISSING_TEMP, False, False, None, None, WORK_FAILURE,
             lambda: self.assert_nothing_downloaded(lambda: not os.path.lexists(missing))),
            ("TEMP on a volume that keeps no access rules", "none", VOLUME_WITHOUT_ACLS, False,
             False, None, None, WORK_FAILURE,
             lambda: self.assert_nothing_downloaded(lambda: os.listdir(volume) == [])),
            ("every work folder name made in advance", "names-in-advance", None, False, False,
             None, None, None, self.assert_names_made_in_advance_passed_over),
        ]
        for label, mode, temp, runtime, slow, plant, prepare, failure, check in rows:
            with self.subTest(label):
                for work in wh.work_folders():  # a failed row's, which would draw the attacker
                    remove_keeping_targets(work)
                site.reset_machine()
                before = snapshot(self.outside)
                try:
                    if prepare:
                        prepare()
                    code = self.run_row(mode, temp, runtime, slow, plant)
                    if failure is None:
                        self.assertEqual(code, 0, self.output)
                        self.assertIn("HOÀN TẤT", self.output)
                    else:
                        self.assertEqual(code, 1, self.output)
                        self.assertIn("CÓ LỖI XẢY RA\r\n" + "=" * 50 + "\r\n" + failure,
                                      self.output)
                    check()
                finally:
                    self.restore_log_folder()
                self.assertFalse(os.path.exists(self.attacker_marker), "the attacker's program ran")
                self.assertEqual(snapshot(self.outside), before, "something outside was touched")
                for work in wh.work_folders():
                    self.assertEqual(kept_entries(work), [], "left in " + work)
                    remove_keeping_targets(work)


if __name__ == "__main__":
    unittest.main()
