"""What the end-to-end tests share: a run of a Windows program with its output decoded and the
log lines it added, the installer's fixed texts, the one check of an error report, snapshots of
folders, waiting for a condition, watching TEMP during a run, and the prefix's log folder put
aside."""

import contextlib
import os
import re
import shutil
import subprocess
import threading
import time

from tests.support import wine_harness as wh

RULE = "=" * 50
OPENING_BANNER = "\n" + RULE + "\n" + " " * 14 + "QUORVALENT INSTALLER\n" + RULE + "\n\n"
ERROR_BANNER = "\n" + RULE + "\n" + " " * 18 + "CÓ LỖI XẢY RA\n" + RULE + "\n"
CLOSING_BANNER = "\n" + RULE + "\n" + " " * 20 + "HOÀN TẤT\n" + RULE + "\n"
LOG_TRAILER = "\nLog: " + wh.LOG_WINDOWS_PATH + "\n"
PROMPT = "\nNhấn phím bất kỳ để đóng...\n"
# A log line's date and time, as a pattern.
LOG_LINE = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
SELF_TEST_OK = "SELF-TEST OK: ZIP guard, giải nén và shortcut hoạt động.\n"
STARTED = "Bắt đầu cài đặt native."
COMPLETED = "Cài đặt native hoàn tất."

STEP_TITLES = [
    "Chuẩn bị thư mục cài đặt và thư mục tạm",
    "Chuẩn bị cài đặt Quorvalent",
    "Tải và xác minh gói Quorvalent",
    "Giải nén gói Quorvalent",
    "Cài các tệp Quorvalent vào C:\\Quorvalent\\Start",
    "Tạo lối tắt Quorvalent trên Desktop",
    "Kiểm tra Quorvalent Runtime",
    "Tải và xác minh gói Quorvalent Runtime",
    "Giải nén và chạy trình cài đặt Quorvalent Runtime",
    "Hoàn tất cài đặt",
]


def header(step, skipped=False):
    return "\n[%d/10] %s%s\n" % (step, STEP_TITLES[step - 1], " - BỎ QUA" if skipped else "")


def text(data):
    """A program's UTF-8 output with Windows line ends made "\\n"."""
    return data.decode("utf-8").replace("\r\n", "\n")


class Run:
    """How a program run ended: exit code, decoded output and what it added to the log."""

    def __init__(self, result, log_added):
        self.returncode = result.returncode
        self.raw_stdout, self.raw_stderr = result.stdout, result.stderr
        self.stdout, self.stderr = text(result.stdout), text(result.stderr)
        self.log_added = log_added

    @property
    def output(self):
        return self.stdout + self.stderr


def finished(result, log_before):
    return Run(result, text(wh.read_log()[len(log_before):]))


def run_program(exe, *args, timeout=900, env=None, cwd=None):
    log_before = wh.read_log()
    return finished(wh.run_windows_program(exe, *args, timeout=timeout, env=env, cwd=cwd),
                    log_before)


def run_installer(*args, timeout=900, env=None, exe=None, cwd=None):
    """Runs the built installer (or the copy at exe) with args, as the person would."""
    return run_program(exe or wh.installer_exe(), *args, timeout=timeout, env=env, cwd=cwd)


def start_installer(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
    """The installer started and left running: its Popen."""
    return subprocess.Popen([wh.WINE, wh.installer_exe(), *args], stdin=subprocess.DEVNULL,
                            stdout=stdout, stderr=stderr, env=wh.wine_env())


class Reports:
    """Checks of how a run ended, for unittest.TestCase."""

    def assert_error_report(self, run, message, started=False, whole=True):
        """The run failed with message (only its start, unless whole): exit code 1, the error
        banner, the message and the log's path on the error stream, and the log's "LỖI: " line.
        started: the run is an installation, whose start line comes first in the log."""
        self.assertEqual(run.returncode, 1, run.output)
        if whole:
            self.assertTrue(run.stderr.endswith(ERROR_BANNER + message + LOG_TRAILER),
                            run.stderr)
        else:
            self.assertIn(ERROR_BANNER + message, run.stderr)
            self.assertTrue(run.stderr.endswith(LOG_TRAILER), run.stderr)
        self.assertNotIn("HOÀN TẤT", run.stdout)
        self.assertNotIn(COMPLETED, run.log_added)
        error_line = LOG_LINE + "LỖI: " + re.escape(message) + ("\n$" if whole else "")
        first = LOG_LINE + re.escape(STARTED) + "\n" if started else ""
        self.assertRegex(run.log_added, "^" + first + error_line)

    def assert_installed(self, run):
        self.assertEqual(run.returncode, 0, run.output)
        self.assertTrue(run.stdout.endswith(CLOSING_BANNER), run.stdout[-300:])
        self.assertRegex(run.log_added, "^" + LOG_LINE + re.escape(STARTED) + "\n" + LOG_LINE +
                         re.escape(COMPLETED) + "\n$")

    def assert_windows_line_ends(self, run):
        """Every line the run wrote ends in CR LF, as a console in text mode writes it."""
        for raw, decoded in ((run.raw_stdout, run.stdout), (run.raw_stderr, run.stderr)):
            self.assertEqual(raw, decoded.replace("\n", "\r\n").encode("utf-8"))

    def assert_in_order(self, text_, parts):
        positions = [text_.find(part) for part in parts]
        self.assertNotIn(-1, positions, text_)
        self.assertEqual(positions, sorted(positions), text_)


def read_report(path):
    """A support program's report: one key=value per line."""
    with open(path, encoding="utf-8") as f:
        return dict(line.split("=", 1) for line in f.read().splitlines())


def wait_until(condition, timeout, interval=0.002):
    """Polls condition until it returns something true (returned) or timeout seconds pass
    (None)."""
    deadline = time.monotonic() + timeout
    while True:
        found = condition()
        if found or time.monotonic() >= deadline:
            return found or None
        time.sleep(interval)


def remove_work_folders():
    """Work folders that earlier runs left in TEMP; links among them go as links."""
    for work in wh.work_folders():
        shutil.rmtree(work)


class Watcher(threading.Thread):
    """Polls the prefix's TEMP (or what folders() lists) every few milliseconds during a run and
    calls plant(work folder) until it returns True, as an unelevated program of the same user
    could."""

    def __init__(self, plant, folders=wh.work_folders):
        super().__init__(daemon=True)
        self.plant = plant
        self.folders = folders
        self.planted = threading.Event()
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set() and not self.planted.is_set():
            for folder in self.folders():
                try:
                    if self.plant(folder):
                        self.planted.set()
                        break
                except OSError:
                    pass  # the folder went away or changed under us: look again
            time.sleep(0.002)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.join()


@contextlib.contextmanager
def log_folder_aside(keep_in):
    """The prefix's log folder moved into keep_in while the block runs, and whatever stands at
    its name then (a link is removed as a link) replaced by it again: the other tests' log only
    grows, and that growth is what they check."""
    folder = os.path.dirname(wh.log_host_path())
    kept = os.path.join(keep_in, "kept-log-folder")
    if os.path.lexists(folder):
        shutil.move(folder, kept)
    try:
        yield folder
    finally:
        remove_log_folder(folder)
        if os.path.lexists(kept):
            shutil.move(kept, folder)


def remove_log_folder(folder):
    if os.path.islink(folder):
        os.remove(folder)  # the link, never its target
    elif os.path.lexists(folder):
        shutil.rmtree(folder)

