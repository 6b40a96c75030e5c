"""The installer's own acceptance test ("--self-test") under Wine, with the Shell stand-in and,
for the network and reinstall parts, the loopback release server."""

import os
import shutil
import tempfile
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import packages
from tests.support import wine_harness as wh

OK_LINE = e2e.SELF_TEST_OK
REINSTALL_LINE = ("REINSTALL SELF-TEST OK: cài mới và cài đè đều tải lại gói, "
                  "giữ tệp ngoài gói.\n")


class SelfTest(unittest.TestCase, e2e.Reports):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="quorvalent-selftest-")
        cls.safe, cls.unsafe = packages.make_self_test_archives(cls.folder)
        cls.not_zip = os.path.join(cls.folder, "not-a-zip.zip")
        with open(cls.not_zip, "wb") as f:
            f.write(b"plain text, no archive here\n" * 3)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def self_test(self, *args):
        converted = [wh.windows_path(a) if a.startswith(self.folder) else a for a in args]
        self.last = e2e.run_installer("--self-test", *converted)
        self.stdout, self.stderr = self.last.stdout, self.last.stderr
        self.assertEqual(wh.work_folders(), [], "the work folder is gone on every path")
        return self.last.returncode

    def assert_self_test_failed(self, message):
        self.assert_error_report(self.last, message)
        self.assertNotIn("SELF-TEST OK", self.stdout)

    def test_guard_extraction_and_shortcut_pass(self):
        missing = os.path.join(self.folder, "no-such.zip")
        for unsafe in (self.unsafe, self.not_zip, missing):  # any refusal counts as blocked
            with self.subTest(unsafe=os.path.basename(unsafe)):
                code = self.self_test(self.safe, unsafe)
                self.assertEqual(code, 0, self.stdout + self.stderr)
                self.assertTrue(self.stdout.endswith(OK_LINE), self.stdout[-300:])
                self.assertNotIn("REINSTALL", self.stdout)
                self.assertIn("\r    [Self-test] Giải nén 100% | ", self.stdout)

    def test_refusals_in_their_order(self):
        cases = [
            ((self.safe,), "Cú pháp self-test: --self-test <safe.zip> <unsafe.zip>"),
            ((self.not_zip, self.unsafe), "Không tìm thấy thư mục trung tâm của ZIP."),
            ((self.safe, self.safe), "Self-test không chặn được Zip Slip."),
            # Positions 2 and 3 are archive paths, whatever they say.
            (("--reinstall-url", self.safe), "Không mở được ZIP: --reinstall-url"),
            ((self.safe, self.unsafe, "--reinstall-url", "http://localhost:1/Quorvalent.zip"),
             "Self-test chỉ nhận URL gói cài đặt bắt đầu bằng https://."),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                self.self_test(*args)
                self.assert_self_test_failed(message)
        # Verified before anything else: the extraction never started.
        self.self_test(self.not_zip, self.unsafe)
        self.assertNotIn("[Self-test]", self.stdout)

    def test_archives_are_read_once_into_the_work_folder(self):
        # Once copied, the caller's files may change (they are the user's): a self-test that read
        # them again would extract garbage and verify a safe archive as the unsafe one.
        safe, unsafe = (os.path.join(self.folder, name) for name in ("mine.zip", "theirs.zip"))
        shutil.copy(self.safe, safe)
        shutil.copy(self.unsafe, unsafe)

        def swap(work):
            # The extraction's folder comes once both copies are whole; a copy's name shows up
            # before its bytes do.
            if not os.path.exists(os.path.join(work, "output")):
                return False
            shutil.copy(self.not_zip, safe)
            shutil.copy(self.safe, unsafe)
            return True

        with e2e.Watcher(swap) as watcher:
            code = self.self_test(safe, unsafe)
        self.assertTrue(watcher.planted.is_set(), "the archives were never swapped")
        self.assertEqual(code, 0, self.stdout + self.stderr)
        self.assertTrue(self.stdout.endswith(OK_LINE), self.stdout[-300:])

    def test_reinstall_url_without_url_fails_after_the_other_tests(self):
        self.self_test(self.safe, self.unsafe, "--REINSTALL-URL")
        self.assert_self_test_failed("Self-test thiếu URL gói cài đặt.")
        self.assertIn("\r    [Self-test] Giải nén 100% | ", self.stdout)

    def test_network_and_reinstall_against_the_release_server(self):
        site.reset_machine()
        with site.ReleaseSite() as release:
            release.publish_app(version="4.0")
            count, total = release.publish_runtime()
            url = "%s://localhost:%d%s/%s/Quorvalent-update.zip" % (
                "https", release.port, site.release_base().path, site.UPDATE_PATH)
            code = self.self_test(self.safe, self.unsafe, "--network-self-test",
                                  "--reinstall-url", url)
            self.assertEqual(release.request_count("Quorvalent-update.zip"), 2)
            self.assertEqual(release.request_count("QuorvalentRuntime.zip"), 1)
        self.assertEqual(code, 0, self.stdout + self.stderr)
        self.assertIn("    [Network test] ZIP hợp lệ: %d tệp, " % count, self.stdout)
        self.assertIn("\r    [Network extract] Giải nén 100%% | %d tệp | " % count, self.stdout)
        self.assertTrue(self.stdout.endswith(REINSTALL_LINE + OK_LINE), self.stdout[-400:])
        self.assertEqual(self.stdout.count("\n[5/10] Cài các tệp Quorvalent vào "), 2)
        self.assertFalse(os.path.exists(wh.host_path(site.INSTALL_DIR)),
                         "the reinstall test never touches the real installation folder")


if __name__ == "__main__":
    unittest.main()
