"""Self-deletion: the batch script that removes the uninstaller and its folder after it exits."""
import shutil
import unittest
from pathlib import PureWindowsPath

from winebox import (DRIVER, FW_BACKSLASH, FW_S, INSTALL_DIR, OK, SNOWMAN, SandboxTest, boxes,
                     digest, exit_code)

CREATE_SUSPENDED, IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS = 0x4, 0x40, 0x80
THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL = -15, 15


def script(exe, batch, encoding="cp437"):
    """The script's exact bytes for these paths, as the command interpreter must read them in
    the OEM code page (encoding)."""
    def spell(path):
        return str(path).replace("%", "%%").encode(encoding)
    directory = str(PureWindowsPath(exe).parent)
    return (b':Repeat\r\ndel "' + spell(exe) + b'"\r\nif exist "' + spell(exe) +
            b'" goto Repeat\r\nrmdir "' + spell(directory) + b'"\r\ndel "' + spell(batch) +
            b'"\r\n')


def run_held(box, exe, *before, during=(), batch=None):
    """Runs the uninstaller with OK (after the driver commands before, and during before OK)
    while its own file is held open, so that the script keeps looping; copies the script (from
    batch, by default the usual one), lets go, waits for the script to finish and returns the
    driver's output and the script's bytes."""
    copy = box.user / "seen.bin"
    out = box.driver(*before, "hold", exe, "start", exe, "wait-dialog", *during, *OK,
                     "finish", 60, "copy", batch or box.batch, copy, "release",
                     "wait-gone", exe, 60)
    box.settle()
    seen = box.host(copy).read_bytes()
    box.host(copy).unlink()
    return out, seen


def touches_nothing_from(test, folder, named):
    """Runs the uninstaller from folder (below C:\\acc), whose name the ANSI functions spell as
    another path, with the product installed in named (or None) as well: OK deletes the keys and
    touches no file, shows no box and writes no script."""
    box = test.box
    box.reset()
    shutil.rmtree(box.host(r"C:\acc"), ignore_errors=True)
    box.host(r"C:\acc").mkdir()
    box.driver("mkdir", folder)
    if named:
        box.install(named, keys=False)
    exe = box.install(folder)
    before = digest(box.host(r"C:\acc"))
    out = box.run(exe, *OK)
    test.assertEqual(exit_code(out), 0)
    test.assertEqual(boxes(out), [])
    box.settle()
    test.assertEqual(box.keys(), [False, False])
    test.assertEqual(digest(box.host(r"C:\acc")), before)
    test.assertEqual(list(box.temp.iterdir()), [])


def spelled_elsewhere(test, kind, real, seen):
    """Runs OK with the install folder, the temporary folder or the desktop (kind) at real, below
    C:\\acc, whose name the ANSI functions spell as seen, another folder there that holds a copy
    of the product, a script or shortcuts of its own: the program takes real's path as unknown.
    Both keys go, with no box and exit code 0; nothing below C:\\acc changes, the decoy and real
    alike (for the temporary folder the product's files go, but no script is written, so the
    uninstaller stays; the desktop is not swept at all)."""
    box = test.box
    if kind == "install":
        return touches_nothing_from(test, real, seen)
    box.reset()
    shutil.rmtree(box.host(r"C:\acc"), ignore_errors=True)
    box.host(seen).mkdir(parents=True)
    exe = box.install()
    target = PureWindowsPath(exe.parent, "Tivaldor.exe")
    if kind == "temp":
        box.host(seen + r"\Tivaldor.bat").write_bytes(b"@echo someone else's script\r\n")
        setup, before = ("mkdir", real), ("setenv", "TEMP", real, "setenv", "TMP", real)
    else:
        setup = ("mkdir", real, "mkdir", seen + r"\sub", "link", real + r"\a.lnk", target,
                 "link", seen + r"\b.lnk", target, "link", seen + r"\sub\c.lnk", target,
                 "set-desktop", real, "desktop")
        before = ()
    try:
        out = box.driver(*setup)
        if kind == "desktop":
            test.assertEqual(out, [f"desktop {real}"])
        state = digest(box.host(r"C:\acc"))
        out = box.driver(*before, "start", exe, "wait-dialog", *OK, "finish", 60)
        test.assertEqual(exit_code(out), 0)
        test.assertEqual(boxes(out), [])
        box.settle()
    finally:
        if kind == "desktop":
            box.driver("set-desktop", box.win(box.desktop))
    test.assertEqual(box.keys(), [False, False])
    test.assertEqual(digest(box.host(r"C:\acc")), state)
    folder = box.host(exe.parent)
    test.assertEqual(sorted(p.name for p in folder.iterdir()) if folder.exists() else None,
                     ["KESTRUNE.EXE"] if kind == "temp" else None, "the install folder")


class SelfDeleteTest(SandboxTest):
    def uninstall_held(self, exe, *before, during=()):
        """The script's bytes from run_held, once the uninstaller has exited with 0 and its
        file is gone."""
        out, seen = run_held(self.box, exe, *before, during=during)
        self.assertEqual(exit_code(out), 0)
        self.assertIn(f"gone 1 {exe}", out)
        return seen

    def assert_all_gone(self, exe):
        self.assertFalse(self.box.host(exe).exists(), "the uninstaller is still there")
        self.assertFalse(self.box.host(exe).parent.exists(), "the install folder is still there")
        self.assertEqual(list(self.box.temp.iterdir()), [], "left in the temporary folder")

    def test_script_bytes_and_cleanup(self):
        # The probe, loaded by "describe", logs the uninstaller's process and priority calls.
        calls = self.box.host(r"C:\calls.txt")
        exe = self.box.install()
        seen = self.uninstall_held(exe, "setenv", "PROBE_CALLS", self.box.win(calls),
                                   during=("describe",))
        self.assertEqual(seen, script(exe, self.box.batch))
        self.assert_all_gone(exe)
        # The script starts suspended at idle priority and runs only once the uninstaller has
        # raised its own priority.
        log = [(c.split()[0], int(c.split()[1])) for c in calls.read_text().splitlines()]
        calls.unlink()
        self.assertEqual(log, [("CreateProcessA", CREATE_SUSPENDED | IDLE_PRIORITY_CLASS),
                               ("SetThreadPriority", THREAD_PRIORITY_IDLE),
                               ("SetThreadPriority", THREAD_PRIORITY_TIME_CRITICAL),
                               ("SetPriorityClass", HIGH_PRIORITY_CLASS), ("ResumeThread", 0)])

    def test_folder_with_other_files_survives(self):
        exe = self.box.install()
        leftover = self.box.host(exe).parent / "notes.txt"
        leftover.write_text("kept")
        out = self.box.run(exe, *OK)
        self.assertEqual(exit_code(out), 0)
        self.box.settle()
        self.assertFalse(self.box.host(exe).exists())
        self.assertEqual(sorted(p.name for p in leftover.parent.iterdir()), ["notes.txt"])
        self.assertEqual(list(self.box.temp.iterdir()), [])

    def test_hostile_install_paths(self):
        for folder in [r"C:\Program Files\Tiv & al^dor", r"C:\100% Tivaldor %TEMP%",
                       "C:\\Caf\u00e9 Tivaldor", r"C:\A\B (x86)\C;D=E,F"]:
            with self.subTest(folder):
                self.box.reset()
                exe = self.box.install(folder)
                seen = self.uninstall_held(exe)
                self.assertEqual(seen, script(exe, self.box.batch))
                self.assert_all_gone(exe)

    def test_untrusted_own_path(self):
        # Started from a folder whose name reads, through the ANSI functions, as "..": its path
        # names a sibling; or as '?': it names nothing. Either way the program deletes the keys
        # and touches no file, neither in its own folder nor in the one the path names.
        for folder, named in [("C:\\acc\\bfx" + FW_BACKSLASH + ".." + FW_BACKSLASH + "bfdecoy",
                               r"C:\acc\bfdecoy"), ("C:\\acc\\Snow" + SNOWMAN, None)]:
            with self.subTest(folder):
                touches_nothing_from(self, folder, named)

    def test_paths_spelled_as_other_folders(self):
        # A fullwidth backslash reads as a plain one, a fullwidth letter as the plain letter: the
        # path the ANSI functions hand over names a folder beside the real one.
        for kind in ("install", "temp", "desktop"):
            for real, seen in [("C:\\acc\\spx" + FW_BACKSLASH + "spdecoy", r"C:\acc\spx\spdecoy"),
                               ("C:\\acc\\" + FW_S + "p2", r"C:\acc\sp2")]:
                with self.subTest(kind=kind, folder=real):
                    spelled_elsewhere(self, kind, real, seen)
        shutil.rmtree(self.box.host(r"C:\acc"))

    def test_wide_calls_are_stubs(self):
        # Where the wide calls are stubs, as on Windows 95, 98 and Me, the ANSI calls answer: the
        # product goes in full, desktop shortcut and script included.
        calls = self.box.host(r"C:\calls.txt")
        exe = self.box.install()
        link = self.box.desktop / "F" / "T.lnk"
        link.parent.mkdir()
        self.box.driver("link", self.box.win(link), INSTALL_DIR + r"\Tivaldor.exe")
        out = self.box.driver("setenv", "PROBE_CALLS", self.box.win(calls), "setenv",
                              "PROBE_STUBS", "1", "start", exe, "wait-dialog", "describe", *OK,
                              "finish", 60)
        self.assertEqual(exit_code(out), 0)
        self.assertEqual(boxes(out), [])
        self.box.settle()
        stubbed = [c.split()[0] for c in calls.read_text().splitlines() if c.endswith(" 0")]
        calls.unlink()
        self.assertEqual(sorted(set(stubbed) - {"ResumeThread"}),
                         ["GetModuleFileNameW", "GetTempPathW", "SHGetPathFromIDListW"])
        self.assertEqual(self.box.keys(), [False, False])
        self.assertFalse(link.parent.exists(), "the shortcut's folder is still there")
        self.assert_all_gone(exe)

    def test_read_only_uninstaller(self):
        exe = self.box.install()
        out = self.box.driver("attrib", exe, "r", "start", exe, "wait-dialog", *OK, "finish", 60)
        self.assertEqual(exit_code(out), 0)
        self.box.settle()
        self.assert_all_gone(exe)

    def test_temporary_folder_read_as_a_path_elsewhere(self):
        # A temporary folder whose name reads as "..\tqdecoy" through the ANSI functions: no
        # script is written anywhere, so the uninstaller stays.
        odd = "C:\\tq" + FW_BACKSLASH + ".." + FW_BACKSLASH + "tqdecoy"
        exe = self.box.install()
        try:
            out = self.box.driver("mkdir", odd, "mkdir", r"C:\tqdecoy", "setenv", "TEMP", odd,
                                  "setenv", "TMP", odd, "start", exe, "wait-dialog", *OK,
                                  "finish", 60)
            self.assertEqual(exit_code(out), 0)
            self.box.settle()
            self.assertTrue(self.box.host(exe).exists(), "a script ran")
            self.assertEqual(list(self.box.host(r"C:\tqdecoy").iterdir()), [])
            self.assertEqual(list(self.box.host(odd).iterdir()), [])
        finally:
            shutil.rmtree(self.box.host(odd), ignore_errors=True)
            shutil.rmtree(self.box.host(r"C:\tqdecoy"), ignore_errors=True)

    def test_temporary_folder_with_spaces(self):
        # With the script's path unquoted, "C:\Temp Dir\Tivaldor.bat" would start C:\Temp.exe.
        temp = self.box.host(r"C:\Temp Dir")
        temp.mkdir(exist_ok=True)
        shutil.copy(DRIVER, self.box.host(r"C:\Temp.exe"))
        try:
            exe = self.box.install()
            out = self.box.driver("setenv", "TEMP", r"C:\Temp Dir", "setenv", "TMP",
                                  r"C:\Temp Dir", "start", exe, "wait-dialog", *OK, "finish", 60)
            self.assertEqual(exit_code(out), 0)
            self.box.settle()
            self.assertFalse(self.box.host(exe).exists(), "the script did not run")
            self.assertEqual(list(temp.iterdir()), [])
        finally:
            self.box.host(r"C:\Temp.exe").unlink()
            shutil.rmtree(temp)


if __name__ == "__main__":
    unittest.main()
