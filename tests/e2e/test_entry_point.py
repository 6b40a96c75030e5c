"""The installer's process boundary under Wine: banners, error report, log line, pause, exit."""

import unittest

from tests.support import e2e
from tests.support import wine_harness as wh


class ErrorReport(unittest.TestCase, e2e.Reports):
    def test_self_test_failure_reports_and_does_not_pause(self):
        for args in (["--self-test"], ["--SELF-TEST", "--no-pause"], ["x", "--Self-Test"]):
            with self.subTest(args=args):
                run = e2e.run_installer(*args)
                self.assertTrue(run.stdout.startswith(e2e.OPENING_BANNER), run.stdout[:200])
                # Nothing but the report on the error stream, and only its line in the log.
                self.assertTrue(run.stderr.startswith(e2e.ERROR_BANNER), run.stderr)
                self.assert_error_report(
                    run, "Cú pháp self-test: --self-test <safe.zip> <unsafe.zip>")
                self.assertEqual(len(run.log_added.splitlines()), 1, run.log_added)
                self.assert_windows_line_ends(run)
                self.assertNotIn(e2e.PROMPT.strip(), run.stdout)
                self.assertEqual(wh.work_folders(), [])


if __name__ == "__main__":
    unittest.main()
