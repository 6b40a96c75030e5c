"""A whole installation run under Wine against the loopback release server over HTTPS, with
the Shell stand-in extracting and a real setup program standing in for the runtime's."""

import os
import re
import shutil
import tempfile
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support.connect_proxy import ConnectProxy
from tests.support.release_server import ReleaseServer
from tests.support import packages
from tests.support import wine_harness as wh

header = e2e.header


def read_shortcut(link):
    tool = os.path.join(wh.BUILD_DIR, "tests", "support", "read_shortcut.exe")
    result = wh.run_windows_program(tool, link, timeout=120)
    assert result.returncode == 0, result.stderr
    return dict(line.split("=", 1) for line in e2e.text(result.stdout).splitlines())


class InstallerRun(unittest.TestCase, e2e.Reports):
    def setUp(self):
        site.reset_machine()
        self.marker_dir = tempfile.mkdtemp(prefix="quorvalent-marker-")
        self.marker = os.path.join(self.marker_dir, "setup.marker")

    def tearDown(self):
        site.reset_machine()  # other test programs share the prefix
        shutil.rmtree(self.marker_dir, ignore_errors=True)

    def run_installer(self, *args, setup_seconds="0.2", setup_exit=0, setup_installs=True):
        """Runs the installer; its runtime setup stand-in ends with setup_exit and, when
        setup_installs, leaves the runtime's client program behind as a real setup would."""
        self.last = e2e.run_installer("--no-pause", *args, env={
            "QUORVALENT_SETUP_SECONDS": setup_seconds,
            "QUORVALENT_SETUP_MARKER": wh.windows_path(self.marker),
            "QUORVALENT_SETUP_EXIT": str(setup_exit),
            "QUORVALENT_SETUP_INSTALL": site.RUNTIME_32 if setup_installs else "",
        })
        self.stdout, self.stderr = self.last.stdout, self.last.stderr
        self.log_added = self.last.log_added
        self.assertEqual(wh.work_folders(), [], "the work folder is removed on every path")
        return self.last.returncode

    def assert_headers_in_order(self, expected):
        self.assert_in_order(self.stdout, expected)

    def assert_failed_with(self, message, whole=True):
        self.assert_error_report(self.last, message, started=True, whole=whole)

    def installed(self, name):
        return wh.host_path(site.INSTALL_DIR + "\\" + name)

    def test_fresh_install_with_runtime_missing_through_the_persons_proxy(self):
        # Nothing listens at the release location itself: both packages can only come through
        # the proxy that the person's settings name, or that the script they name picks (the
        # named proxy then leads nowhere: the script comes first).
        for by_script in (False, True):
            with self.subTest(by_script=by_script):
                site.reset_machine()
                self.check_fresh_install_through_the_persons_proxy(by_script)

    def check_fresh_install_through_the_persons_proxy(self, by_script):
        script_folder = tempfile.mkdtemp(prefix="quorvalent-pac-")
        self.addCleanup(shutil.rmtree, script_folder, ignore_errors=True)
        with site.ReleaseSite(direct=False) as release, \
                ConnectProxy(upstream=release.address) as proxy, \
                ReleaseServer(script_folder, https_port=None) as script_server:
            with open(os.path.join(script_folder, "proxy.pac"), "w") as f:
                f.write('function FindProxyForURL(url, host) { return "PROXY %s"; }'
                        % proxy.address)
            persons = site.PersonsProxy("127.0.0.1:9", script_server.http_base + "/proxy.pac") \
                if by_script else site.PersonsProxy(proxy.address)
            with persons:
                count, total = release.publish_app(version="2.0")
                release.publish_runtime()
                code = self.run_installer(setup_seconds="2.6")
                self.assertEqual(release.request_count("QuorvalentRuntime.zip"), 1)
        self.assertEqual(set(proxy.targets), {"localhost:%d" % site.release_base().port})
        self.assertEqual(code, 0, self.stdout + self.stderr)
        self.assertEqual(self.stderr, "")
        self.assert_headers_in_order([header(n) for n in range(1, 11)])
        self.assertIn("    [Quorvalent] ZIP hợp lệ: %d tệp, " % count, self.stdout)
        self.assertIn("    [Runtime] Chưa có Quorvalent Runtime, sẽ tải và cài đặt.\n", self.stdout)
        self.assertIn("    [Runtime] Đang mở trình cài đặt Quorvalent Runtime...\n", self.stdout)
        # The setup program runs a few seconds: the countdown shows, then the closed line,
        # and only then the final step.
        self.assert_headers_in_order([
            "\r    [Runtime] Đang chờ trình cài đặt đóng... 1 giây          ",
            "\r    [Runtime] Đang chờ trình cài đặt đóng... 2 giây          ",
            "\r    [Runtime] Trình cài đặt Quorvalent Runtime đã đóng." + " " * 22 + "\n",
            header(10), e2e.CLOSING_BANNER])
        self.assertTrue(self.stdout.endswith(e2e.CLOSING_BANNER), self.stdout[-300:])
        marker = e2e.read_report(self.marker)
        self.assertIn("QuorvalentRuntimeSetup.exe", marker["program"])
        # The setup unpacks into a temporary folder of the run's, not into the person's TEMP.
        work = re.escape("C:\\users\\%s\\Temp\\" % os.path.basename(
            os.path.dirname(wh.temp_dir()))) + r"QuorvalentInstallerNative-\d+-\d+"
        for name in ("temp", "tmp"):
            self.assertRegex(marker[name], "(?i)^" + work + r"\\tmp$")

        for name, data in packages.app_files("2.0").items():
            with open(self.installed(name.replace("/", "\\")), "rb") as f:
                self.assertEqual(f.read(), data, name)
        self.assertTrue(os.path.isdir(self.installed("plugins")))

        link = read_shortcut(site.SHORTCUT)
        self.assertEqual(link["target"].lower(), r"c:\quorvalent\start\quorvalent.exe")
        self.assertEqual(link["directory"].lower(), r"c:\quorvalent\start")
        self.assertEqual(link["description"], "Mở Quorvalent")
        self.assert_installed(self.last)

    def test_runtime_setup_is_judged_by_its_exit_code_and_by_what_it_left(self):
        closed = "\r    [Runtime] Trình cài đặt Quorvalent Runtime đã đóng." + " " * 22 + "\n"
        restart = ("    [Runtime] Cần khởi động lại máy để hoàn tất cài đặt Quorvalent "
                   "Runtime.\n")
        failed = "Trình cài đặt Quorvalent Runtime không thành công, mã thoát: "
        missing = "Quorvalent Runtime vẫn chưa được cài đặt sau khi trình cài đặt đóng."
        # (what differs, exit code, installs, a folder at the client's path, outcome): the
        # outcome is the restart line or None for a success, else the failure's message.
        rows = [
            ("success", 0, True, False, None),
            ("success, restart needed", 3010, True, False, restart),
            ("success, restart started", 1641, True, False, restart),
            ("success without installing", 0, False, False, missing),
            ("failed", 1603, False, False, failed + "1603"),
            ("cancelled", 1602, False, False, failed + "1602"),
            ("failed but installed", 1603, True, False, failed + "1603"),
            ("a folder at the client's path", 0, False, True, missing),
        ]
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime()
            for label, exit_code, installs, folder, outcome in rows:
                with self.subTest(label):
                    site.reset_machine()
                    if folder:
                        os.makedirs(wh.host_path(site.RUNTIME_32))
                    code = self.run_installer(setup_exit=exit_code, setup_installs=installs)
                    self.assertIn("    [Runtime] Chưa có Quorvalent Runtime, sẽ tải và cài "
                                  "đặt.\n", self.stdout)
                    self.assertIn(closed, self.stdout)
                    if outcome in (None, restart):
                        self.assertEqual(code, 0, self.stdout + self.stderr)
                        tail = closed + (outcome or "") + header(10)
                        self.assertIn(tail, self.stdout)
                        self.assertTrue(self.log_added.endswith(" Cài đặt native hoàn tất.\n"),
                                        self.log_added)
                    else:
                        self.assert_failed_with(outcome)
                        self.assertTrue(self.stdout.endswith(closed), self.stdout[-300:])
                        self.assertTrue(self.log_added.endswith(" LỖI: " + outcome + "\n"),
                                        self.log_added)

    def test_runtime_under_64_bit_program_files_skips_its_steps(self):
        site.write_windows_file(site.RUNTIME_64, b"MZ")
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime()
            code = self.run_installer()
            self.assertEqual(release.request_count("QuorvalentRuntime.zip"), 0)
        self.assertEqual(code, 0, self.stdout + self.stderr)
        self.assert_headers_in_order([header(7),
                                      "    [Runtime] Quorvalent Runtime đã được cài đặt.\n",
                                      header(8, True), header(9, True), header(10)])
        self.assertFalse(os.path.exists(self.marker), "no setup program runs")

    def test_reinstall_replaces_program_and_keeps_user_files(self):
        site.write_windows_file(site.RUNTIME_32, b"MZ")
        site.write_windows_file(site.INSTALL_DIR + r"\Quorvalent.exe", b"old build")
        site.write_windows_file(site.INSTALL_DIR + r"\user\notes.txt", b"keep me")
        os.makedirs(self.installed("empty user folder"))
        with site.ReleaseSite() as release:
            release.publish_app(version="3.0")
            code = self.run_installer()
        self.assertEqual(code, 0, self.stdout + self.stderr)
        with open(self.installed("Quorvalent.exe"), "rb") as f:
            self.assertEqual(f.read(), packages.app_files("3.0")["Quorvalent.exe"])
        with open(self.installed(r"user\notes.txt".replace("\\", os.sep)), "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        self.assertTrue(os.path.isdir(self.installed("empty user folder")))

    def test_package_without_program_at_its_root_is_rejected_before_copying(self):
        with site.ReleaseSite() as release:
            release.publish_app(wrap_in_folder=True)
            self.run_installer()
        self.assert_failed_with("ZIP không chứa Quorvalent.exe ở vị trí mong đợi.")
        self.assertIn(header(4), self.stdout)
        self.assertNotIn(header(5), self.stdout)
        self.assertFalse(os.path.exists(self.installed("Quorvalent.exe")))

    def test_runtime_package_without_setup_program(self):
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime(include_setup=False)
            self.run_installer()
        self.assert_failed_with("Gói Quorvalent Runtime không chứa "
                                "QuorvalentRuntimeSetup.exe.")
        self.assertIn(header(9), self.stdout)
        self.assertTrue(os.path.exists(self.installed("Quorvalent.exe")))

    def test_shortcut_that_cannot_be_saved_stops_after_installing(self):
        # A folder where the link file should go makes the save fail.
        os.makedirs(wh.host_path(site.SHORTCUT))
        try:
            with site.ReleaseSite() as release:
                release.publish_app()
                release.publish_runtime()
                self.run_installer()
        finally:
            site.remove_windows_path(site.SHORTCUT)
        self.assert_failed_with("Không ghi được shortcut (HRESULT 0x", whole=False)
        self.assertTrue(os.path.exists(self.installed("Quorvalent.exe")))
        self.assertNotIn(header(7), self.stdout)

    def test_unreachable_release_server_fails_after_five_attempts(self):
        self.run_installer()  # no server listens on the release port
        self.assert_failed_with("Không thể tải Quorvalent sau 5 lần: WinHttpSendRequest: ",
                                whole=False)
        for attempt, pause in ((1, 2), (2, 4), (3, 6), (4, 8)):
            self.assertIn("[Quorvalent] Lần tải %d thất bại: " % attempt, self.stderr)
            self.assertIn("[Quorvalent] Thử lại sau %d giây...\n" % pause, self.stderr)
        self.assertNotIn("Lần tải 5", self.stderr)

    def assert_failed_five_times_before_extraction(self, reason):
        self.assert_failed_with("Không thể tải Quorvalent sau 5 lần: " + reason)
        for attempt in range(1, 5):
            self.assertIn("[Quorvalent] Lần tải %d thất bại: %s\n" % (attempt, reason),
                          self.stderr)
        self.assertIn(header(3), self.stdout)
        self.assertNotIn(header(4), self.stdout)
        self.assertFalse(os.path.exists(self.installed("Quorvalent.exe")))

    def test_package_with_a_device_name_fails_before_extraction(self):
        with site.ReleaseSite() as release:
            release.publish_app(extra_files={"aux.txt": b"would go to the AUX device"})
            self.run_installer()
            self.assertEqual(release.request_count("Quorvalent-update.zip"), 5)
        # Refused on every download, never handed to the extraction and its 30-minute limit.
        self.assert_failed_five_times_before_extraction(
            "Đã chặn đường dẫn không an toàn trong ZIP: aux.txt")

    def test_package_with_a_path_too_long_below_the_work_folder_fails_in_seconds(self):
        # Each segment is allowed; joined to the extraction folder in TEMP the path reaches
        # MAX_PATH, which the Shell cannot create.
        name = "d" * 120 + "/" + "f" * 130 + ".txt"
        with site.ReleaseSite() as release:
            release.publish_app(extra_files={name: b"x"})
            self.run_installer()
            # One download, refused before the extraction and its 30-minute limit start.
            self.assertEqual(release.request_count("Quorvalent-update.zip"), 1)
        self.assert_failed_with("Đường dẫn trong ZIP quá dài: " + name)
        self.assertIn(header(4), self.stdout)
        self.assertNotIn("Đang giải nén", self.stdout)

    def test_refused_name_is_echoed_printably_on_the_console_and_in_the_log(self):
        hostile = "x\x1b[2J\r\n2025-01-01 00:00:00 forged line.txt"
        with site.ReleaseSite() as release:
            release.publish_app(extra_files={hostile: b"x"})
            self.run_installer()
        shown = "x\\x1B[2J\\x0D\\x0A2025-01-01 00:00:00 forged line.txt"
        self.assert_failed_five_times_before_extraction(
            "Đã chặn đường dẫn không an toàn trong ZIP: " + shown)
        for text in (self.stdout, self.stderr, self.log_added):
            self.assertNotIn("\x1b", text)
        self.assertNotRegex(self.log_added, "(?m)^2025-01-01 00:00:00 forged")
        self.assertEqual(len(self.log_added.splitlines()), 2, self.log_added)

    def test_body_cut_after_a_full_length_fails_every_attempt(self):
        with site.ReleaseSite() as release:
            release.publish_app()
            size = os.path.getsize(release.package_path("Quorvalent-update.zip"))
            release.set_faults("Quorvalent-update.zip", "cut=100")
            self.run_installer()
            self.assertEqual(release.request_count("Quorvalent-update.zip"), 5)
        self.assert_failed_five_times_before_extraction(
            "Tải xuống không đầy đủ: nhận 100 trên %d byte." % size)
        self.assertNotIn("Tải xong", self.stdout)

    def test_failed_run_pauses_for_a_key_without_no_pause(self):
        with site.ReleaseSite() as release:
            release.publish_app(without_program=True)
            run = e2e.run_installer()
        self.assertEqual(run.returncode, 1)
        self.assertTrue(run.stdout.endswith(e2e.PROMPT), run.stdout[-200:])


if __name__ == "__main__":
    unittest.main()
