"""End to end with the shipped 32-bit image under 32-bit Wine, which this machine runs through
QEMU's user-mode emulator: slow, so one sandbox and as few Wine starts as possible."""
import shutil
import time
import unittest
from pathlib import Path, PureWindowsPath

from product import (APP_PATHS_KEY, GHOSTING_OFF, INSTALL_DIR, PRODUCT_FILES, TITLE, UNINSTALL_KEY,
                     command, up_to_dialog)
from wineproc import WINE32
from winebox import (BUILD, DEVANAGARI, NOT_OEM, OK, SYSTEM_CMD, ProbeLog, Sandbox32, boxes,
                     exit_code)

PATIENCE = 20  # the driver's built-in waits, stretched for emulation


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


class I686Test(unittest.TestCase):
    def test_shipped_image_end_to_end(self):
        if not Path(WINE32).exists():
            self.fail(f"{WINE32} is missing: 32-bit Wine is not installed (scripts/setup-wine32)")
        started = time.monotonic()
        log("creating a 32-bit prefix (minutes under emulation)")
        box = Sandbox32("i686", PATIENCE)
        self.addCleanup(box.close)
        user = box.desktop.parent
        log(f"prefix ready after {time.monotonic() - started:.0f} s")

        drive = box.prefix / "drive_c"
        folder = drive.joinpath(*PureWindowsPath(INSTALL_DIR).parts[1:])
        folder.mkdir(parents=True)
        for name in PRODUCT_FILES:
            (folder / name).write_bytes(b"product file")
        shutil.copy(BUILD / "KESTRUNE.EXE", folder / "KESTRUNE.EXE")
        # A comctl32.dll planted beside it, which Wine would load, told to look for that DLL as
        # Windows does (program folder first), unless the manifest sends it to the system's.
        shutil.copy(BUILD / "tests" / "planted.dll", folder / "comctl32.dll")
        box.env["WINEDLLOVERRIDES"] += ";comctl32=n,b"
        desktop = user / "Desktop"
        # A desktop folder whose name the code page cannot spell: listed in UTF-16, it is
        # reached by its short name.
        (desktop / DEVANAGARI).mkdir()
        exe = INSTALL_DIR + r"\KESTRUNE.EXE"
        win_desktop = rf"C:\users\{user.name}\Desktop"
        # A temporary folder whose name code page 1252 cannot spell, as under a user name in
        # another script: the script goes there by the folder's short form. It is copied while
        # it waits for the uninstaller's file, which the driver holds open until then.
        temp = drive / DEVANAGARI / "Temp"
        temp.mkdir(parents=True)
        win_temp = "C:\\" + DEVANAGARI + r"\Temp"
        batch, copy = win_temp + r"\Tivaldor.bat", r"C:\seen.bat"
        # Then, in the same run, a second copy of the product in a folder whose name code page
        # 1252 spells and the script's OEM code page 437 does not, with such a temporary folder:
        # the script names both by their short forms. Both names hold every character the
        # command interpreter treats specially in a command line, which the script's path, spelled
        # in full there, must pass as one path.
        again = drive / NOT_OEM
        special = " & (x) ^ 5% !"
        (again / ("Temp" + special)).mkdir(parents=True)
        (again / ("Tivaldor" + special)).mkdir()
        for name in PRODUCT_FILES:
            (again / ("Tivaldor" + special) / name).write_bytes(b"product file")
        shutil.copy(BUILD / "KESTRUNE.EXE", again / ("Tivaldor" + special) / "KESTRUNE.EXE")
        exe2 = "C:\\" + NOT_OEM + "\\Tivaldor" + special + r"\KESTRUNE.EXE"
        temp2 = "C:\\" + NOT_OEM + "\\Temp" + special
        batch2, copy2 = temp2 + r"\Tivaldor.bat", r"C:\seen2.bat"
        # The probe is there from the start of each copy and logs to a file of that copy's.
        limit = str(60 * PATIENCE)
        out, _ = box.started(
            box.driver_exe, "regadd",
            "link", win_desktop + "\\" + DEVANAGARI + r"\Tivaldor.lnk",
            INSTALL_DIR + r"\Tivaldor.exe",
            "link", win_desktop + r"\Notepad.lnk", r"C:\windows\notepad.exe",
            "setenv", "TEMP", win_temp, "setenv", "TMP", win_temp, "hold", exe,
            "setenv", "PROBE_CALLS", r"C:\calls.txt",
            "start-probed", exe, "wait-dialog", "describe", *map(str, OK), "finish", limit,
            "regcheck", "copy", batch, copy, "release", "wait-gone", exe, limit,
            "wait-gone", batch, limit,
            "regadd", "setenv", "TEMP", temp2, "setenv", "TMP", temp2, "hold", exe2,
            "setenv", "PROBE_CALLS", r"C:\calls2.txt",
            "start-probed", exe2, "wait-dialog", *map(str, OK), "finish", limit, "regcheck",
            "copy", batch2, copy2, "release", "wait-gone", exe2, limit,
            "wait-gone", batch2, limit, timeout=3600, announce="driver ")
        log(f"driver done after {time.monotonic() - started:.0f} s")
        seen = "\n".join(out)
        second = next(i for i, line in enumerate(out) if line == f"started {exe2}")
        out, out2 = out[:second], out[second:]
        self.assertIn(f"title {TITLE}", out, seen)
        probe = int(next(line.split()[1] for line in out if line.startswith("probe ")))
        self.assertEqual(probe & 0x0F, 0x03, f"class icon or system menu wrong: {seen}")
        self.assertEqual(exit_code(out), 0, seen)
        self.assertEqual(boxes(out), [], seen)
        self.assertIn(f"key 0 {UNINSTALL_KEY}", out, seen)
        self.assertIn(f"key 0 {APP_PATHS_KEY}", out, seen)
        self.assertFalse((drive / "comctl32.dll.loaded").exists(), "the planted DLL was loaded")
        for path in (exe, batch):
            self.assertIn(f"gone 1 {path}", out, seen)
        self.assertEqual([p.name for p in folder.iterdir()], ["comctl32.dll"], seen)
        self.assertFalse((desktop / DEVANAGARI).exists(), "the shortcut's folder is still there")
        self.assertTrue((desktop / "Notepad.lnk").exists(), "the other shortcut was deleted")
        self.assertTrue((drive / "seen.bat").read_bytes().startswith(
            b':Repeat\r\ndel "' + exe.encode() + b'"\r\n'), "the script")
        self.assertEqual(list(temp.iterdir()), [], "left in the temporary folder")
        self.assertEqual(list((user / "Temp").iterdir()), [], "a script in the usual one")
        # Ghosting turned off once before the dialog exists; the script started by the system
        # folder's cmd.exe, its path (by its folder's short form) between the quotes.
        calls = ProbeLog((drive / "calls.txt").read_text("utf-8").splitlines())
        self.assertEqual(up_to_dialog(calls.calls()), GHOSTING_OFF, seen)
        self.assertEqual(calls.start(), (SYSTEM_CMD, command(calls.created())), seen)
        self.assertTrue(calls.created().endswith(r"\Temp\Tivaldor.bat"), calls.created())
        # The second run: the same, from the folders the OEM code page cannot spell.
        seen2 = "\n".join(out2)
        self.assertEqual(exit_code(out2), 0, seen2)
        self.assertEqual(boxes(out2), [], seen2)
        self.assertIn(f"key 0 {UNINSTALL_KEY}", out2, seen2)
        self.assertIn(f"key 0 {APP_PATHS_KEY}", out2, seen2)
        for path in (exe2, batch2):
            self.assertIn(f"gone 1 {path}", out2, seen2)
        self.assertEqual(list(again.iterdir()), [again / ("Temp" + special)], seen2)
        self.assertEqual(list((again / ("Temp" + special)).iterdir()), [],
                         "left in the temporary folder")
        calls2 = ProbeLog((drive / "calls2.txt").read_text("utf-8").splitlines())
        self.assertEqual(up_to_dialog(calls2.calls()), GHOSTING_OFF, seen2)
        self.assertEqual(calls2.start(), (SYSTEM_CMD, command(batch2)), seen2)
        script2 = (drive / "seen2.bat").read_bytes()
        self.assertTrue(script2.isascii() and script2.startswith(b':Repeat\r\ndel "C:\\') and
                        b'\\KESTRUNE.EXE"\r\n' in script2, f"the script: {script2}")
        log(f"total {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    unittest.main()
