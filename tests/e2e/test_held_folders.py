"""The run's work folder in TEMP and the log's folder in C:\\ProgramData are held, not trusted by
name. Each row plays what an unelevated program of the same user can do there: moves in TEMP by
a Wine program that starts the installer (tests/support/temp_attacker.c), so that Wine's sharing
rules stop it where Windows' would, and links, which only the host can make, from here."""

import contextlib
import glob
import os
import re
import shutil
import tempfile
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import wine_harness as wh

FAILURE = e2e.ERROR_BANNER + "Không tạo được thư mục làm việc."
SUFFIXED = re.compile(r"QuorvalentInstallerNative-\d+-\d+-[0-9a-f]{8}$")
# TEMP below a link, j, that leads to real until the attacker points it at evil.
LINKED_TEMP_ROOT = r"C:\quorvalent-linked-temp"


class HeldFolders(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quorvalent-held-")
        self.outside = os.path.join(self.folder, "outside")
        for sub in ("nested", "empty", "log-target"):
            os.makedirs(os.path.join(self.outside, sub))
        for name in ("secret.txt", os.path.join("nested", "inner.txt")):
            with open(os.path.join(self.outside, name), "wb") as f:
                f.write(b"secret!")
        self.log_folder = os.path.dirname(wh.log_host_path())
        self.linked_temp = wh.host_path(LINKED_TEMP_ROOT)

    def tearDown(self):
        self.remove_name_links()
        shutil.rmtree(self.linked_temp, ignore_errors=True)  # links go as links
        e2e.remove_work_folders()
        site.reset_machine()
        shutil.rmtree(self.folder, ignore_errors=True)

    def link_work_folder_names(self):
        # Names a run gives its work folder, as links to a folder and to a file outside.
        self.name_links = [os.path.join(wh.temp_dir(), name) for name in (
            "QuorvalentInstallerNative-7-7", "QuorvalentInstallerNative-8-8-0123abcd")]
        os.symlink(self.outside, self.name_links[0])
        os.symlink(os.path.join(self.outside, "secret.txt"), self.name_links[1])

    def remove_name_links(self):
        for link in getattr(self, "name_links", []):
            if os.path.islink(link):
                os.remove(link)
        self.name_links = []

    def make_linked_temp(self):
        shutil.rmtree(self.linked_temp, ignore_errors=True)
        for side in ("real", "evil"):
            os.makedirs(os.path.join(self.linked_temp, side, "t"))
        os.symlink(os.path.join(self.linked_temp, "real"), os.path.join(self.linked_temp, "j"))
        real_temp = os.path.join(self.linked_temp, "real", "t")
        return lambda: glob.glob(os.path.join(real_temp, "QuorvalentInstallerNative-*"))

    def retarget_linked_temp(self, work):
        # The same name waits below the new target, so a run that goes by its TEMP path carries
        # on there without a hitch.
        self.retargeted = os.path.basename(work)
        os.makedirs(os.path.join(self.linked_temp, "evil", "t", self.retargeted))
        os.symlink(os.path.join(self.linked_temp, "evil"), os.path.join(self.linked_temp, "j.new"))
        os.replace(os.path.join(self.linked_temp, "j.new"), os.path.join(self.linked_temp, "j"))
        return True

    def linked_temp_left_alone(self):
        """Nothing of the run below the link's new target, nothing of it left in the real TEMP."""
        return (site.tree(os.path.join(self.linked_temp, "evil")) ==
                {"t": None, os.path.join("t", self.retargeted): None} and
                site.tree(os.path.join(self.linked_temp, "real")) == {"t": None})

    def plant_links(self, work):
        # Once the runtime's package is in, the application's extraction is done with; the
        # removal has yet to walk it.
        if not os.path.exists(os.path.join(work, "QuorvalentRuntime.zip")):
            return False
        shutil.rmtree(os.path.join(work, "Quorvalent"))
        for name, target in (("Quorvalent", ""), ("file-link", "secret.txt"),
                             ("empty-link", "empty")):
            os.symlink(os.path.join(self.outside, target), os.path.join(work, name))
        return True

    def run_row(self, mode, temp, runtime, plant, watched):
        report = os.path.join(self.folder, "report.txt")
        if os.path.exists(report):
            os.remove(report)
        if not runtime:
            site.write_windows_file(site.RUNTIME_32, b"MZ")
        args = [wh.windows_path(report), mode] + (["--temp", temp] if temp else [])
        args += ["--", wh.windows_path(wh.installer_exe()), "--no-pause"]
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime()
            # A few seconds of download, for the attacker to act in.
            release.set_faults("Quorvalent-update.zip", "slow=400&piece=2048")
            with e2e.Watcher(plant or (lambda work: True), watched or wh.work_folders) as watcher:
                result = e2e.run_program(
                    os.path.join(wh.BUILD_DIR, "tests", "support", "temp_attacker.exe"), *args,
                    timeout=300, env={"QUORVALENT_SETUP_SECONDS": "1",
                                      # The setup installs the runtime, as a real one does.
                                      "QUORVALENT_SETUP_INSTALL": site.RUNTIME_32})
            self.downloads = release.request_count("Quorvalent-update.zip")
        self.assertTrue(plant is None or watcher.planted.is_set(), "the links were never planted")
        self.report = e2e.read_report(report)
        return result.returncode, result.output

    def test_attacks_on_the_held_folders(self):
        missing = wh.host_path(r"C:\quorvalent-missing-temp")
        refused = {"rename": "32"}
        # label, attacker's mode, TEMP, runtime missing, host-side planting, the run fails,
        # report expected, what else must hold afterwards
        rows = [
            ("the work folder renamed and replaced while the package downloads",
             "while-downloading", None, False, None, False, refused, None),
            ("the work folder renamed and replaced to swap the runtime's setup program",
             "after-setup-extracted", None, True, None, False, refused, None),
            ("links in place of a listed folder and files, before the removal walks them",
             "none", None, True, self.plant_links, False, {}, None),
            ("a link at C:\\ProgramData\\Quorvalent", "none", None, False, "log", False, {},
             lambda: os.path.islink(self.log_folder)),
            ("TEMP missing", "none", r"C:\quorvalent-missing-temp\Temp", False, None, True, {},
             lambda: not os.path.lexists(missing) and self.downloads == 0),
            ("every work folder name made in advance", "names-in-advance", None, False, None,
             False, {"planted": "2500"}, lambda: SUFFIXED.search(self.report.get("seen", ""))),
            # A run killed while it downloads leaves its work folder; the next one removes it.
            ("a run killed during its download", "killed-first", None, False, None, False, {},
             lambda: self.report.get("killed", "none") != "none" and not os.path.lexists(
                 os.path.join(wh.temp_dir(), self.report["killed"]))),
            # Links at such names are removed as names, never followed (the table checks what
            # they lead to); under Wine one cannot be removed without following it: they stay.
            ("links at work folder names", "none", None, False, "names", False, {}, None),
            ("TEMP through a link pointed elsewhere once the work folder is there", "none",
             LINKED_TEMP_ROOT + r"\j\t", True, "retarget", False, {},
             self.linked_temp_left_alone),
        ]
        for label, mode, temp, runtime, plant, fails, expected, holds in rows:
            with self.subTest(label):
                e2e.remove_work_folders()  # a failed row's, which would draw the attacker
                site.reset_machine()
                before = site.tree(self.outside)
                planting, watched = plant, None
                with contextlib.ExitStack() as undo:
                    undo.callback(self.remove_name_links)
                    if plant == "log":
                        folder = undo.enter_context(e2e.log_folder_aside(self.folder))
                        os.symlink(os.path.join(self.outside, "log-target"), folder)
                        planting = None
                    elif plant == "names":
                        self.link_work_folder_names()
                        planting = None
                    elif plant == "retarget":
                        watched = self.make_linked_temp()
                        planting = self.retarget_linked_temp
                    code, output = self.run_row(mode, temp, runtime, planting, watched)
                    self.assertEqual(code, 1 if fails else 0, output)
                    self.assertIn(FAILURE if fails else "HOÀN TẤT", output)
                    self.assertEqual({k: self.report.get(k) for k in expected}, expected)
                    self.assertTrue(holds is None or holds(), self.report)
                self.assertEqual(site.tree(self.outside), before, "something outside changed")
                for work in wh.work_folders():
                    entries = os.listdir(work)
                    made_in_advance = mode == "names-in-advance" and not SUFFIXED.search(work)
                    # Under Wine a link cannot be removed without its target: the links stay.
                    links_kept = plant == self.plant_links and all(
                        os.path.islink(os.path.join(work, name)) for name in entries)
                    self.assertTrue(made_in_advance and not entries or links_kept, (work, entries))
                    shutil.rmtree(work)  # links go as links


if __name__ == "__main__":
    unittest.main()
