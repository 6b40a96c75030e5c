"""The installer's process boundary under Wine: banners, error report, log line, pause, exit."""

import re
import unittest

from tests.support import wine_harness as wh

OPENING_BANNER = ("\r\n" + "=" * 50 + "\r\n" + " " * 14 + "QUORVALENT INSTALLER\r\n"
                  + "=" * 50 + "\r\n\r\n").encode("utf-8")
ERROR_BANNER = ("\r\n" + "=" * 50 + "\r\n" + " " * 18 + "CÓ LỖI XẢY RA\r\n"
                + "=" * 50 + "\r\n").encode("utf-8")
LOG_TRAILER = ("\r\nLog: " + wh.LOG_WINDOWS_PATH + "\r\n").encode("utf-8")
PROMPT = "\r\nNhấn phím bất kỳ để đóng...\r\n".encode("utf-8")


class ErrorReport(unittest.TestCase):
    def assert_error_report(self, result, log_before):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertTrue(result.stdout.startswith(OPENING_BANNER), result.stdout[:200])
        self.assertTrue(result.stderr.startswith(ERROR_BANNER), result.stderr)
        self.assertTrue(result.stderr.endswith(LOG_TRAILER), result.stderr)
        message = result.stderr[len(ERROR_BANNER):-len(LOG_TRAILER)]
        self.assertTrue(message, "the report carries the failure's message")
        added = wh.read_log()[len(log_before):]
        expected = (rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d " + "LỖI: ".encode("utf-8")
                    + re.escape(message) + rb"\r\n")
        self.assertRegex(added, b"^" + expected + b"$")
        return message

    def test_self_test_failure_reports_and_does_not_pause(self):
        for args in (["--self-test"], ["--SELF-TEST", "--no-pause"], ["x", "--Self-Test"]):
            with self.subTest(args=args):
                before = wh.read_log()
                result = wh.run_installer(*args)
                message = self.assert_error_report(result, before)
                self.assertEqual(message.decode("utf-8"),
                                 "Cú pháp self-test: --self-test <safe.zip> <unsafe.zip>")
                self.assertNotIn(PROMPT.strip(), result.stdout)
                self.assertEqual(wh.work_folders(), [])


if __name__ == "__main__":
    unittest.main()
