"""With one part of the system taken away, or someone else's file where the script goes, OK still
does everything else: no box, exit code 0, and only the stage that needed the missing part is
skipped."""
import contextlib
import os
import shutil
import unittest
from typing import Callable, NamedTuple

from product import (CONFIRMED, INSTALL_DIR, PRODUCT_EXE, STARTED, UNINSTALLER, command,
                     script, system_command)
from scenarios import FOREIGN, SandboxTest
from winebox import PRISTINE, SYSTEM_CMD, entries

SHELL_LINK_CLASS = r"HKLM\Software\Classes\CLSID\{00021401-0000-0000-C000-000000000046}"
NOWHERE = r"C:\nowhere"

# Each takes one part away for the duration of a run and yields the driver commands to give
# before starting the uninstaller and after it has finished.


@contextlib.contextmanager
def no_shell_link_class(box):
    """The shell's link class unregistered in both registry views; saved and imported back."""
    saved = []

    def reg(*args):
        code, lines, err = box.wine("reg", *args)
        assert code == 0, f"reg {args} failed ({code})\n{box.describe(lines, err)}"
    try:
        for view in ("/reg:64", "/reg:32"):
            copy = rf"C:\link{view[5:]}.reg"
            reg("export", SHELL_LINK_CLASS, copy, view, "/y")
            saved.append((copy, view))
            reg("delete", SHELL_LINK_CLASS, "/f", view)
        yield (), ()
    finally:
        for copy, view in saved:
            reg("import", copy, view)
            box.host(copy).unlink()


@contextlib.contextmanager
def no_command_interpreter(box):
    """cmd.exe deleted from both system folders; copied back from the pristine prefix."""
    folders = ("system32", "syswow64")
    try:
        for folder in folders:
            (box.prefix / "drive_c/windows" / folder / "cmd.exe").unlink()
        yield (), ()
    finally:
        for folder in folders:
            shutil.copy2(PRISTINE / "drive_c/windows" / folder / "cmd.exe",
                         box.prefix / "drive_c/windows" / folder / "cmd.exe")


@contextlib.contextmanager
def no_desktop_folder(box):
    """The desktop set to a folder that does not exist, which the shell then does not give."""
    try:
        assert box.driver("set-desktop", NOWHERE, "desktop") == ["desktop "], "a desktop is given"
        yield (), ()
    finally:
        box.driver("set-desktop", box.win(box.desktop))


@contextlib.contextmanager
def script_file_in_use(box):
    """Someone else's Tivaldor.bat in the temporary folder, held open while the uninstaller
    runs, so that ours cannot be written."""
    box.host(box.batch).write_bytes(FOREIGN)
    yield ("hold", box.batch), ("release",)


@contextlib.contextmanager
def someone_elses_script_file(box):
    """Someone else's Tivaldor.bat in the temporary folder: a hard link to a file of theirs
    elsewhere, which a script written into the link would overwrite. It goes, and that file keeps
    its bytes."""
    theirs = box.host(r"C:\theirs.bat")
    theirs.write_bytes(FOREIGN)
    os.link(theirs, box.host(box.batch))
    try:
        yield (), ()
        assert theirs.read_bytes() == FOREIGN, "the file the link leads to was written"
    finally:
        theirs.unlink()


@contextlib.contextmanager
def no_temporary_folder(box):
    """TEMP and TMP naming a folder that does not exist."""
    yield box.temp_at(NOWHERE), ()


class Part(NamedTuple):
    """A part of the system taken away, and what follows: what is taken away; whether the desktop's
    shortcut stays; the uninstaller's calls that start its script (when all are made, the script
    removes the uninstaller and its folder); what is left in the temporary folder; how the script is
    started (application name and command line): by the system folder's cmd.exe or, without that
    folder, by the system."""
    missing: Callable
    link_kept: bool = False
    started: list = []
    temp: dict = {}
    start: tuple = None


@contextlib.contextmanager
def no_system_folder(box):
    """GetSystemDirectoryA failing (the probe plays it)."""
    yield ("setenv", "PROBE_SYSDIR", "fail"), ()


@contextlib.contextmanager
def system_folder_too_long(box):
    """GetSystemDirectoryA naming a folder too long for the buffer, which leaves no room for
    cmd.exe's name (the probe plays it)."""
    yield ("setenv", "PROBE_SYSDIR", "long"), ()


class FailuresTest(SandboxTest):
    def test_one_part_missing(self):
        box = self.box
        exe = UNINSTALLER
        link = box.desktop / "T.lnk"
        by_cmd = (SYSTEM_CMD, *command(box.batch))
        by_system = ("(none)", *system_command(box.batch))
        asked = [("GetSystemDirectoryA", 0)]
        rows = {
            "shell link class": Part(no_shell_link_class, link_kept=True, started=STARTED,
                                    start=by_cmd),
            "command interpreter": Part(no_command_interpreter, started=STARTED[:1],
                                       temp={"Tivaldor.bat": script(exe, box.batch)},
                                       start=by_cmd),
            "desktop folder": Part(no_desktop_folder, link_kept=True, started=STARTED,
                                  start=by_cmd),
            "script file in use": Part(script_file_in_use, temp={"Tivaldor.bat": FOREIGN}),
            "script file of someone else's": Part(someone_elses_script_file, started=STARTED,
                                                 start=by_cmd),
            "temporary folder": Part(no_temporary_folder),
            "system folder": Part(no_system_folder, started=asked + STARTED, start=by_system),
            "system folder too long": Part(system_folder_too_long, started=asked + STARTED,
                                          start=by_system),
        }
        for name, (missing, link_kept, started, temp, start) in rows.items():
            def row():
                box.reset()
                self.assertEqual(box.install(), exe)
                box.driver("link", box.win(link), PRODUCT_EXE)
                with missing(box) as (before, after):
                    # The probe logs the calls that start the script and spoils the list the
                    # shell leaves when it gives no desktop.
                    out, log = box.removal(exe, before=before, after=after)
                if log.lost_start():  # Wine's, where the script is still there untouched
                    box.assert_removed(exe, log, script=script(exe, box.batch))
                self.assertEqual(log.calls(), CONFIRMED + started, box.what_stayed(exe, log))
                self.assertEqual(log.start(), start)
                self.assert_ended(out)
                # Where the script was started, it removes the uninstaller and its folder.
                if started[-len(STARTED):] == STARTED:
                    box.assert_removed(exe, log, script=script(exe, box.batch))
                else:
                    self.assertEqual(entries(box.host(INSTALL_DIR)), ["KESTRUNE.EXE"],
                                     "the install folder afterwards")
                    self.assertEqual({p.name: p.read_bytes() for p in box.temp.iterdir()}, temp)
                self.assertEqual(link.exists(), link_kept, "the desktop's shortcut kept")
                self.assertFalse(box.host(r"C:\ran").exists(), "someone else's script ran")
                self.assertFalse(box.host(NOWHERE).exists())
            with self.subTest(name):
                self.once_more_if_wine_lost_the_script(row)


if __name__ == "__main__":
    unittest.main()
