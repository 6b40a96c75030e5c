"""Links planted by an unelevated program where the elevated installer works (its work folder in
the user's TEMP, the log in the common application-data folder) must not steer the installer's
removal, copy or log writes into the folders and files they point at.

A Unix symbolic link to a folder, made here on the host, shows up in Wine as a directory with
the reparse-point attribute, as a symbolic link or junction does on Windows."""

import os
import shutil
import tempfile
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import wine_harness as wh

EXTRACTION_FOLDER = "Quorvalent"  # the application package's extraction, in the work folder


def make_outside_folder(parent, name):
    """A folder outside every place the installer owns, with files at two levels."""
    folder = os.path.join(parent, name)
    os.makedirs(os.path.join(folder, "nested"))
    for index in range(3):
        for sub in ("", "nested"):
            with open(os.path.join(folder, sub, "outside-%d.txt" % index), "wb") as f:
                f.write(b"outside %s %d\n" % (sub.encode(), index))
    return folder


def plant_in_work_folder(target):
    def plant(work):
        os.symlink(target, os.path.join(work, "planted"))
        return True
    return plant


def plant_as_extraction_folder(target):
    def plant(work):
        os.symlink(target, os.path.join(work, EXTRACTION_FOLDER))
        return True
    return plant


def plant_in_extracted_tree(target):
    def plant(work):
        extracted = os.path.join(work, EXTRACTION_FOLDER)
        # Only once the extraction's own folder is there: its preparation empties it.
        if not os.path.isdir(extracted) or os.path.islink(extracted):
            return False
        os.symlink(target, os.path.join(extracted, "planted"))
        return True
    return plant


class LinksInTheWorkFolder(unittest.TestCase):
    def setUp(self):
        site.reset_machine()
        # The runtime counts as installed: these runs need the application package only.
        site.write_windows_file(site.RUNTIME_32, b"MZ")
        self.folder = tempfile.mkdtemp(prefix="quorvalent-links-")

    def tearDown(self):
        self.remove_earlier_runs()
        site.reset_machine()
        shutil.rmtree(self.folder, ignore_errors=True)

    @staticmethod
    def remove_earlier_runs():
        # A link left behind must neither draw the next watcher nor fail the next test's
        # "work folder is gone" check.
        e2e.remove_work_folders()
        site.remove_windows_path(site.INSTALL_DIR)

    def assert_work_folder_gone(self):
        # Wine cannot delete a link to a folder that is not empty (RemoveDirectoryW fails with
        # 145), so under Wine a planted link may outlive the run, with the folders leading to
        # it; nothing else may.
        for work in wh.work_folders():
            entries, kept = set(), set()
            for root, dirs, files in os.walk(work):
                for name in dirs + files:
                    path = os.path.relpath(os.path.join(root, name), work)
                    entries.add(path)
                    if os.path.islink(os.path.join(root, name)):
                        while path:
                            kept.add(path)
                            path = os.path.dirname(path)
            self.assertEqual(sorted(entries - kept), [], "left in the work folder")

    def test_links_planted_during_a_run_are_not_followed(self):
        # The last column holds the package's download until the link is in place, so the
        # installer cannot reach its extraction first; the extracted tree exists only later.
        cases = [
            ("a link in the work folder", plant_in_work_folder, True),
            ("a link under the extraction folder's name", plant_as_extraction_folder, True),
            ("a link inside the extracted tree", plant_in_extracted_tree, False),
        ]
        for label, planter, hold_download in cases:
            with self.subTest(label):
                self.remove_earlier_runs()
                target = make_outside_folder(self.folder, label.replace(" ", "-"))
                before = site.tree(target)
                with e2e.Watcher(planter(target)) as watcher:
                    def hold(path):
                        if hold_download and path.endswith("/Quorvalent-update.zip"):
                            watcher.planted.wait(120)

                    with site.ReleaseSite(on_request=hold) as release:
                        release.publish_app()
                        output = e2e.run_installer("--no-pause").output
                self.assertTrue(watcher.planted.is_set(), "the link was never planted")
                self.assertEqual(site.tree(target), before, output)
                installed = site.tree(wh.host_path(site.INSTALL_DIR))
                self.assertEqual([p for p in installed if "outside" in p or "planted" in p],
                                 [], output)
                self.assert_work_folder_gone()


class LogThroughLinks(unittest.TestCase):
    """The log is appended by an elevated process in a folder that users may be able to write:
    a link put in place of the log or its folder must not redirect the append."""

    def setUp(self):
        site.reset_machine()
        site.write_windows_file(site.RUNTIME_32, b"MZ")
        self.folder = tempfile.mkdtemp(prefix="quorvalent-log-links-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.log_folder = self.enterContext(e2e.log_folder_aside(self.folder))
        self.addCleanup(site.reset_machine)

    def test_log_written_through_no_link(self):
        outside = os.path.join(self.folder, "outside")
        os.makedirs(outside)
        outside_log = os.path.join(outside, os.path.basename(wh.log_host_path()))
        with open(outside_log, "wb") as f:
            f.write(b"not the installer's log\r\n")

        def file_link():
            os.makedirs(self.log_folder)
            os.symlink(outside_log, wh.log_host_path())

        def hard_link():
            os.makedirs(self.log_folder)
            os.link(outside_log, wh.log_host_path())

        def folder_link():
            os.symlink(outside, self.log_folder)

        for label, plant in [
            ("the log is a symbolic link to an outside file", file_link),
            ("the log is a second hard link of an outside file", hard_link),
            ("the log's folder is a link to an outside folder", folder_link),
        ]:
            with self.subTest(label):
                e2e.remove_log_folder(self.log_folder)
                plant()
                before = site.tree(outside)
                with site.ReleaseSite() as release:
                    release.publish_app()
                    run = e2e.run_installer("--no-pause")
                self.assertEqual(run.returncode, 0, run.output)
                self.assertEqual(site.tree(outside), before, "the log went through the link")


if __name__ == "__main__":
    unittest.main()
