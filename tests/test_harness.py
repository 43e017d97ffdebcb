"""How the harness decides a run of its Windows-side programs: their own last line counts, and a
crash of Wine's Linux side after they have ended is reported but does not fail the run; and which
starts of Wine it makes again. No Wine is needed: the runs are given as output, standard error and
exit status, or played by a shell script standing in for Wine."""
import contextlib
import io
import shlex
import tempfile
import unittest
from pathlib import Path, PureWindowsPath
from unittest import mock

import scenarios
import winebox
import wineproc
from product import INSTALL_DIR, script
from winebox import ProbeLog, WineLostScript
from wineproc import RunError, judge, run_program, run_wine, wine_env

CRASH = ("Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion "
         "`ns != LM_ID_BASE || i == nloaded' failed!")
# What Wine's services write to the shared standard error now and then, harmless.
NOISE = "0024:err:ole:StdMarshalImpl_MarshalInterface Failed to create ifstub, hr 0x80004002\n"


def outcome(call, *args, **kwargs):
    """What call returns, or what it raises of the harness's failures as "TYPE: MESSAGE"; and
    what it logged."""
    with contextlib.redirect_stderr(io.StringIO()) as logged:
        try:
            got = call(*args, **kwargs)
        except (AssertionError, RunError) as caught:
            got = f"{type(caught).__name__}: {caught}"
    return got, logged.getvalue()


class JudgeTest(unittest.TestCase):
    def test_judged(self):
        # (output lines after the announce line, standard error, exit status; what the run is
        # taken as, output and note, or part of why it failed)
        crashed = "Wine crashed after driver.exe finished (status {}): " + CRASH
        cases = [
            (["idle 1", "end 0"], "", 0, (["idle 1"], None)),
            (["end 0"], NOISE, 0, ([], None)),
            # An earlier 'end' is output like any other; only the last line is the status.
            (["end 3", "ended 42", "end 0"], "", 0, (["end 3", "ended 42"], None)),
            (["idle 1", "end 0"], NOISE + CRASH + "\n", 127, (["idle 1"], crashed.format(127))),
            (["exit 0", "quiet_ms 3.0", "end 0"], CRASH, -6, (["exit 0", "quiet_ms 3.0"],
                                                              crashed.format(-6))),
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
        for lines, err, code, expected in cases:
            with self.subTest(lines=lines, err=err[:20], code=code):
                got, _ = outcome(judge, "driver.exe", lines, err, code)
                if isinstance(expected, tuple):
                    self.assertEqual(got, expected)
                else:
                    self.assertRegex(got, "(?s)^RunError: .*driver.exe")
                    self.assertIn(expected, got)


class FakeWine:
    """A shell script standing in for Wine in a temporary folder: its n-th start plays the n-th
    run given as (exit status, output lines, standard error[, seconds taken]) and counts
    itself."""

    def __init__(self, case, *runs):
        folder = Path(case.enterContext(tempfile.TemporaryDirectory()))
        self.count, self.errors = folder / "starts", folder / "wine.log"
        self.env = wine_env(folder / "home", folder / "prefix")
        count = shlex.quote(str(self.count))
        plays = "".join(self.play(n, *run) for n, run in enumerate(runs, 1))
        self.path = folder / "wine64"
        self.path.write_text(f"#!/bin/sh\nn=$(($(cat {count} 2>/dev/null || echo 0) + 1))\n"
                             f"echo $n > {count}\ncase $n in\n{plays}esac\nexit 99\n")
        self.path.chmod(0o755)

    @staticmethod
    def play(n, code, lines, err, seconds=0):
        out = "".join(line + "\n" for line in lines)
        return (f"{n}) printf %s {shlex.quote(out)}; printf %s {shlex.quote(err)} >&2; "
                f"sleep {seconds}; exit {code};;\n")

    def starts(self):
        return int(self.count.read_text()) if self.count.exists() else 0


SILENT = (1, [], "")  # Wine gave up on the start before the program ran


class RunWineTest(unittest.TestCase):
    """run_wine for a start that is not one of the harness's programs (wineboot, reg,
    wineserver): only a quick, silent exit 1 is made again."""

    @mock.patch.object(wineproc, "QUICK", 2)
    def test_which_starts_are_made_again(self):
        # (runs of the fake Wine, starts made, exit status in the end)
        cases = [
            ([(0, [], "")], 1, 0),
            ([SILENT, (0, ["done"], "")], 2, 0),
            ([SILENT, SILENT, (0, [], "")], 3, 0),
            ([SILENT, SILENT, SILENT], 3, 1),
            ([(1, [], "wine: could not load kernel32.dll\n")], 1, 1),
            ([(1, ["usage: reg add"], "")], 1, 1),
            ([(2, [], "")], 1, 2),
            ([(127, [], "")], 1, 127),
            ([(1, [], "", 2.5)], 1, 1),  # slower than QUICK as patched above
        ]
        for runs, starts, code in cases:
            with self.subTest(runs=runs):
                wine = FakeWine(self, *runs)
                got, logged = outcome(run_wine, [wine.path, "wineboot", "-i"], wine.env,
                                      wine.errors, timeout=30, check=True)
                self.assertEqual(got, (0, runs[-1][1], "") if code == 0 else
                                 f"RunError: wineboot -i failed ({code}); standard error:\n" +
                                 (runs[-1][2] or "(empty)"))
                self.assertEqual(wine.starts(), starts)
                self.assertEqual(logged, "".join(
                    f"harness: retrying wineboot -i (attempt {n} of 3): Wine did not start it, "
                    "exit code 1\n" for n in range(2, starts + 1)))


class StartedTest(unittest.TestCase):
    """Sandbox.started around run_wine and judge, with Wine played by a fake."""

    def start(self, *runs, args=("x",), timeout=180):
        """driver.exe started with args as the sandbox starts it, with Wine playing runs: its
        output lines or what it raised, what was logged, and how many times Wine was started."""
        wine = FakeWine(self, *runs)
        got, logged = outcome(run_program, [wine.path, r"C:\harness\driver.exe", *args],
                              wine.env, wine.errors, announce="driver ", timeout=timeout)
        return got[0] if isinstance(got, tuple) else got, logged, wine.starts()

    def test_crash_after_the_end_is_logged_and_the_run_kept(self):
        lines, logged, _ = self.start((127, ["driver 32", "idle 1", "end 0"], NOISE + CRASH + "\n"),
                                      args=("wait-idle", 60))
        self.assertEqual(lines, ["idle 1"])
        self.assertEqual(logged,
                         f"harness: Wine crashed after driver.exe finished (status 127): {CRASH}\n")

    def test_failure_quotes_output_and_standard_error(self):
        message, logged, starts = self.start((127, ["driver 32", "idle 1"], NOISE + CRASH + "\n"),
                                             args=("wait-idle", 60))
        self.assertIn("AssertionError: driver.exe did not finish: no last line", message)
        self.assertIn("('wait-idle', 60)", message)
        self.assertIn("--- output:\nidle 1\n--- standard error:\n" + NOISE + CRASH, message)
        self.assertEqual((logged, starts), ("", 1))

    def test_run_not_started_is_retried_then_judged(self):
        # Without its announce line the driver did nothing, whatever Wine said: made again.
        lines, logged, starts = self.start((1, [], "wine: could not load kernel32.dll\n"), SILENT,
                                           (0, ["driver 33", "regcheck", "end 0"], ""))
        self.assertEqual((lines, starts), (["regcheck"], 3))
        self.assertIn("harness: retrying driver.exe x (attempt 2 of 3): Wine did not start it, "
                      "exit code 1\n--- output:\n\n--- standard error:\nwine: could not load "
                      "kernel32.dll\n", logged)
        self.assertIn("harness: retrying driver.exe x (attempt 3 of 3)", logged)

    def test_run_out_of_time_is_not_made_again(self):
        # Still starting when the time ran out: whether it did anything is unknown.
        message, _, starts = self.start((0, [], "", 3), timeout=0.5)
        self.assertIn("AssertionError: driver.exe did not even start within the time: timeout "
                      "after 0.5 s", message)
        self.assertEqual(starts, 1)

    def test_run_never_started_fails_after_three_starts(self):
        message, _, starts = self.start(SILENT, SILENT, (1, ["usage"], ""))
        self.assertIn("AssertionError: Wine did not start driver.exe (1), 3 times: ('x',)\n"
                      "--- output:\nusage", message)
        self.assertEqual(starts, 3)


class RemovalTest(unittest.TestCase):
    """How assert_removed judges what a removal left, and which rows are made again: only where
    Wine started the script and ran none of it."""

    def test_what_stayed(self):
        exe = PureWindowsPath(INSTALL_DIR, "KESTRUNE.EXE")
        ours = script(exe, r"C:\users\u\Temp\Tivaldor.bat")
        started = ["CreateProcessA 68", "CreateProcessA.result 1 332 0", "ResumeThread 0"]
        failed = ["CreateProcessA 68", "CreateProcessA.result 0 0 2"]
        lost = ["CreateProcessA 68", "CreateProcessA.result 0 0 1359"]  # ERROR_INTERNAL_ERROR
        # (install folder and temporary folder {name: bytes}, probe's lines, kept, outcome: None
        # for passed, else the exception and what its message must hold)
        left, bat = {"KESTRUNE.EXE": b""}, {"Tivaldor.bat": ours}
        cases = {
            "all gone": ({}, {}, started, (), None),
            "folder kept as asked": ({"notes.txt": b""}, {}, started, ["notes.txt"], None),
            "uninstaller left": (left, {}, started, (), (
                AssertionError, "install folder Tivaldor: ['KESTRUNE.EXE']\n"
                "temporary folder Temp: []\nprobe: CreateProcessA 68 | "
                "CreateProcessA.result 1 332 0 | ResumeThread 0")),
            "script not run": (left, bat, started, (), (WineLostScript, f"script: {ours!r}")),
            "script not started": (left, bat, failed, (), (
                AssertionError, "CreateProcessA.result 0 0 2")),
            "script's start lost": (left, bat, lost, (), (
                WineLostScript, "CreateProcessA.result 0 0 1359")),
            "start lost, script changed": (left, {"Tivaldor.bat": b"x"}, lost, (), (
                AssertionError, "script: b'x'")),
            "script changed": (left, {"Tivaldor.bat": b"x"}, started, (), (
                AssertionError, "script: b'x'")),
            "script beside another file": (left, {**bat, "a": b""}, started, (), (
                AssertionError, "['Tivaldor.bat', 'a']")),
            "no probe": (left, bat, None, (), (AssertionError, "the removal did not finish")),
            "folder gone, script left": ({}, bat, started, (), (
                AssertionError, "install folder Tivaldor: gone")),
        }
        for name, (folder, temp, lines, kept, expected) in cases.items():
            with self.subTest(name):
                box = winebox.Drive(Path(self.enterContext(tempfile.TemporaryDirectory())), "u")
                box.temp.mkdir(parents=True)
                for where, entries in ((box.host(exe).parent, folder), (box.temp, temp)):
                    for entry, data in entries.items():
                        where.mkdir(parents=True, exist_ok=True)
                        (where / entry).write_bytes(data)
                got, _ = outcome(box.assert_removed, exe, lines and ProbeLog(lines), kept=kept,
                                 script=ours)
                self.assertEqual(got and got.partition(": ")[0], expected and expected[0].__name__,
                                 got)
                if expected:
                    self.assertIn(expected[1], got)

    def test_only_a_lost_script_is_made_again(self):
        # (what each run of the row raises in turn; runs made; what reaches the test)
        lost = WineLostScript("script: b'...'")
        cases = [([None], 1, None), ([lost, None], 2, None), ([lost, lost], 2, WineLostScript),
                 ([AssertionError("x"), None], 1, AssertionError)]
        for raised, runs, raises in cases:
            with self.subTest(raised=raised):
                row = mock.Mock(side_effect=raised)
                test = scenarios.SandboxTest()
                got, logged = outcome(test.once_more_if_wine_lost_the_script, row)
                self.assertEqual(got and got.partition(": ")[0], raises and raises.__name__, got)
                self.assertEqual(row.call_count, runs)
                self.assertEqual("harness: retrying a row of" in logged, runs == 2)
                if runs == 2:
                    self.assertIn("Wine ran none of the script\nscript: b'...'", logged)


if __name__ == "__main__":
    unittest.main()
