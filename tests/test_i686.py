"""End to end with the shipped 32-bit image under 32-bit Wine, which this machine runs through
QEMU's user-mode emulator where the kernel runs no 32-bit programs: slow, so one sandbox and one
driver run for every copy uninstalled."""
import shutil
import time
import unittest
from pathlib import Path, PureWindowsPath
from typing import NamedTuple

from product import (APP_PATHS_KEY, GHOSTING_OFF, INSTALL_DIR, PRODUCT_FILES, TITLE, UNINSTALL_KEY,
                     command, up_to_dialog)
from winebox import (BUILD, DEVANAGARI, NOT_OEM, OK, PROBE_DONE, PROBE_ICON, PROBE_MAXIMIZE,
                     PROBE_SIZE, SYSTEM_CMD, ProbeLog, Sandbox, boxes, exit_code, probe_bits)
from wineproc import WINE32

PATIENCE = 20  # the driver's built-in waits, stretched for emulation
# Every character the command interpreter treats specially in a command line, which the
# script's path, spelled in full there, must pass as one path.
SPECIAL = " & (x) ^ 5% !"


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


class Copy(NamedTuple):
    """A copy of the product uninstalled in the run: its install and temporary folders; where
    the probe logs and where its script is copied while it waits for the uninstaller's file,
    which the driver holds open until then."""
    folder: str
    temp: str
    calls: str
    seen: str

    @property
    def exe(self):
        return self.folder + r"\KESTRUNE.EXE"

    @property
    def batch(self):
        return self.temp + r"\Tivaldor.bat"


COPIES = [
    # Beside a planted comctl32.dll, with a desktop folder and a temporary folder whose names
    # code page 1252 cannot spell, as under a user name in another script: the folder is listed
    # in UTF-16 and reached by its short name, the script goes to the temporary folder by its
    # short form.
    Copy(INSTALL_DIR, "C:\\" + DEVANAGARI + r"\Temp", r"C:\calls.txt", r"C:\seen.bat"),
    # In folders whose names code page 1252 spells and the script's OEM code page 437 does not,
    # holding the command interpreter's special characters too: the script names both by their
    # short forms, the command line the script's path in full.
    Copy("C:\\" + NOT_OEM + r"\Tivaldor" + SPECIAL, "C:\\" + NOT_OEM + r"\Temp" + SPECIAL,
         r"C:\calls2.txt", r"C:\seen2.bat"),
]


class I686Test(unittest.TestCase):
    def install(self, box, copy):
        folder = box.host(copy.folder)
        folder.mkdir(parents=True, exist_ok=True)
        for name in PRODUCT_FILES:
            (folder / name).write_bytes(b"product file")
        shutil.copy(BUILD / "KESTRUNE.EXE", folder / "KESTRUNE.EXE")
        box.host(copy.temp).mkdir(parents=True)

    def commands(self, box, copy, limit):
        """One uninstall, the probe there from the uninstaller's start."""
        return ("regadd", *box.temp_at(copy.temp), "hold", copy.exe,
                "setenv", "PROBE_CALLS", copy.calls, "start-probed", copy.exe, "wait-dialog",
                "describe", *OK, "finish", limit, "regcheck", "copy", copy.batch, copy.seen,
                "release", "wait-gone", copy.exe, limit, "wait-gone", copy.batch, limit)

    def check(self, box, copy, out):
        """What every copy's uninstall shows, with its own output for messages."""
        seen = "\n".join(out)
        self.assertIn(f"title {TITLE}", out, seen)
        self.assertEqual(probe_bits(out) & (PROBE_DONE | PROBE_ICON | PROBE_SIZE | PROBE_MAXIMIZE),
                         PROBE_DONE | PROBE_ICON, f"class icon or system menu wrong: {seen}")
        self.assertEqual(exit_code(out), 0, seen)
        self.assertEqual(boxes(out), [], seen)
        self.assertIn(f"key 0 {UNINSTALL_KEY}", out, seen)
        self.assertIn(f"key 0 {APP_PATHS_KEY}", out, seen)
        for path in (copy.exe, copy.batch):
            self.assertIn(f"gone 1 {path}", out, seen)
        self.assertEqual(list(box.host(copy.temp).iterdir()), [], "left in the temporary folder")
        # Ghosting turned off once before the dialog exists; the script started by the system
        # folder's cmd.exe, its path as it was made (by its folder's short form where the ANSI
        # code page cannot spell it) between the quotes.
        calls = ProbeLog(box.host(copy.calls).read_text("utf-8").splitlines())
        self.assertEqual(up_to_dialog(calls.calls()), GHOSTING_OFF, seen)
        self.assertEqual(calls.start(), (SYSTEM_CMD, *command(calls.created())), seen)
        try:
            copy.batch.encode("cp1252")
            self.assertEqual(calls.created(), copy.batch)
        except UnicodeEncodeError:
            self.assertTrue(calls.created().endswith(r"\Temp\Tivaldor.bat"), calls.created())
        # The script names the uninstaller exactly or, where the OEM code page cannot spell its
        # folder, by the folder's short form.
        script = box.host(copy.seen).read_bytes()
        first = b':Repeat\r\ndel "' + (copy.exe.encode() if copy.exe.isascii() else b"C:\\")
        self.assertTrue(script.isascii() and script.startswith(first) and
                        b'\\KESTRUNE.EXE"\r\n' in script, f"the script: {script}")

    def test_shipped_image_end_to_end(self):
        if not Path(WINE32).exists():
            self.fail(f"{WINE32} is missing: 32-bit Wine is not installed (scripts/setup-wine32)")
        started = time.monotonic()
        log("creating a 32-bit prefix (minutes under emulation)")
        box = Sandbox("i686", arch=32, patience=PATIENCE)
        self.addCleanup(box.close)
        log(f"prefix ready after {time.monotonic() - started:.0f} s")
        for copy in COPIES:
            self.install(box, copy)
        first = box.host(COPIES[0].folder)
        # A comctl32.dll planted beside the first, which Wine would load, told to look for that
        # DLL as Windows does (program folder first), unless the manifest sends it to the
        # system's.
        shutil.copy(BUILD / "tests" / "planted.dll", first / "comctl32.dll")
        box.env["WINEDLLOVERRIDES"] += ";comctl32=n,b"
        (box.desktop / DEVANAGARI).mkdir()
        desktop = PureWindowsPath(box.win(box.desktop))
        limit = str(60 * PATIENCE)
        commands = ["link", desktop / DEVANAGARI / "Tivaldor.lnk", INSTALL_DIR + r"\Tivaldor.exe",
                    "link", desktop / "Notepad.lnk", r"C:\windows\notepad.exe"]
        for copy in COPIES:
            commands += self.commands(box, copy, limit)
        out, _ = box.started(box.driver_exe, *commands, timeout=3600, announce="driver ")
        log(f"driver done after {time.monotonic() - started:.0f} s")

        starts = [i for i, line in enumerate(out) if line.startswith("started ")] + [len(out)]
        self.assertEqual(len(starts), len(COPIES) + 1, out)
        for n, copy in enumerate(COPIES):
            with self.subTest(copy.folder):
                self.check(box, copy, out[starts[n]:starts[n + 1]])
        self.assertFalse(box.host(r"C:\comctl32.dll.loaded").exists(), "the planted DLL was loaded")
        self.assertEqual([p.name for p in first.iterdir()], ["comctl32.dll"])
        self.assertFalse((box.desktop / DEVANAGARI).exists(), "the shortcut's folder is left")
        self.assertTrue((box.desktop / "Notepad.lnk").exists(), "the other shortcut was deleted")
        self.assertEqual(list(box.temp.iterdir()), [], "a script in the usual one")
        again = box.host("C:\\" + NOT_OEM)
        self.assertEqual([p.name for p in again.iterdir()], ["Temp" + SPECIAL])
        log(f"total {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    unittest.main()
