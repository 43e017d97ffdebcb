"""How the harness decides a run of its Windows-side programs: their own last line counts, and a
crash of Wine's Linux side after they have ended is reported but does not fail the run. No Wine
is needed: the runs are given as output, standard error and exit status."""
import contextlib
import io
import unittest

import winebox
from winebox import RunError, judge

CRASH = ("Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion "
         "`ns != LM_ID_BASE || i == nloaded' failed!")
# What Wine's services write to the shared standard error now and then, harmless.
NOISE = "0024:err:ole:StdMarshalImpl_MarshalInterface Failed to create ifstub, hr 0x80004002\n"


class JudgeTest(unittest.TestCase):
    def test_accepted(self):
        # (output lines after the announce line, standard error, exit status) -> output, note
        cases = [
            (["idle 1", "end 0"], "", 0, ["idle 1"], None),
            (["end 0"], NOISE, 0, [], None),
            # An earlier 'end' is output like any other; only the last line is the status.
            (["end 3", "ended 42", "end 0"], "", 0, ["end 3", "ended 42"], None),
            (["idle 1", "end 0"], NOISE + CRASH + "\n", 127, ["idle 1"],
             f"Wine crashed after driver.exe finished (status 127): {CRASH}"),
            (["exit 0", "quiet_ms 3.0", "end 0"], CRASH, -6, ["exit 0", "quiet_ms 3.0"],
             f"Wine crashed after driver.exe finished (status -6): {CRASH}"),
        ]
        for lines, err, code, output, note in cases:
            with self.subTest(lines=lines, code=code):
                self.assertEqual(judge("driver.exe", lines, err, code), (output, note))

    def test_failed(self):
        # (output lines after the announce line, standard error, exit status, part of the cause)
        cases = [
            (["idle 1"], CRASH, 127, "no last line"),
            ([], "", 0, "no last line"),
            (["idle 1"], "", 0, "no last line"),
            (["end 0", "idle 1"], "", 0, "no last line"),
            (["ended 42"], "", 0, "no last line"),
            (["end 0 extra"], "", 0, "no last line"),
            (["idle 1", "end 0"], "", 127, "exited with 127"),
            (["idle 1", "end 0"], NOISE, 127, "exited with 127"),
            (["idle 1", "end 0"], "", 1, "exited with 1"),
            (["error start", "end 1"], "", 1, "status 1"),
            (["error no dialog", "end 2"], CRASH, 127, "status 2"),
            (["end 1"], "", 0, "status 1"),
            (["idle 1", "end 0"], "", "timeout after 180 s", "timeout after 180 s"),
            (["idle 1"], "", "timeout after 180 s", "timeout after 180 s"),
        ]
        for lines, err, code, cause in cases:
            with self.subTest(lines=lines, err=err[:20], code=code):
                with self.assertRaises(RunError) as caught:
                    judge("driver.exe", lines, err, code)
                self.assertIn("driver.exe", str(caught.exception))
                self.assertIn(cause, str(caught.exception))


class StartedTest(unittest.TestCase):
    """Sandbox.started around judge, with Wine's runs replaced by given results."""

    def sandbox(self, *runs):
        box = winebox.Sandbox.__new__(winebox.Sandbox)
        box.xvfb = None
        results = list(runs)
        box.wine = lambda program, *args, timeout: results.pop(0)
        return box

    def test_crash_after_the_end_is_logged_and_the_run_kept(self):
        box = self.sandbox((127, ["driver 32", "idle 1", "end 0"], NOISE + CRASH + "\n"))
        with contextlib.redirect_stderr(io.StringIO()) as logged:
            lines, _ = box.started(r"C:\harness\driver.exe", "wait-idle", 60, announce="driver ")
        self.assertEqual(lines, ["idle 1"])
        self.assertEqual(logged.getvalue(),
                         f"winebox: Wine crashed after driver.exe finished (status 127): {CRASH}\n")

    def test_failure_quotes_output_and_standard_error(self):
        box = self.sandbox((127, ["driver 32", "idle 1"], NOISE + CRASH + "\n"))
        with contextlib.redirect_stderr(io.StringIO()) as logged:
            with self.assertRaises(AssertionError) as caught:
                box.started(r"C:\harness\driver.exe", "wait-idle", 60, announce="driver ")
        message = str(caught.exception)
        self.assertIn("driver.exe did not finish: no last line", message)
        self.assertIn("('wait-idle', 60)", message)
        self.assertIn("--- output:\nidle 1\n--- standard error:\n" + NOISE + CRASH, message)
        self.assertEqual(logged.getvalue(), "")

    def test_run_not_started_is_retried_then_judged(self):
        box = self.sandbox((1, [], "wine: could not load kernel32.dll\n"),
                           (0, ["driver 33", "regcheck", "end 0"], ""))
        with contextlib.redirect_stderr(io.StringIO()) as logged:
            lines, _ = box.started(r"C:\harness\driver.exe", "x", announce="driver ")
        self.assertEqual(lines, ["regcheck"])
        self.assertIn("winebox: retrying driver.exe x (attempt 2 of 3)", logged.getvalue())


if __name__ == "__main__":
    unittest.main()
