"""Self-deletion: the batch script that removes the uninstaller and its folder after it exits."""
import os
import shutil
import unittest
from pathlib import PureWindowsPath
from typing import NamedTuple

from product import (CONFIRMED, GHOSTING_OFF, INSTALL_DIR, PRODUCT_EXE, PRODUCT_FILES, STARTED,
                     TITLE, command, script, system_command)
from scenarios import (KINDS, SandboxTest, all_reached_by_their_short_forms, plant_decoy,
                       removed_while_held, run_held)
from sweep_model import DEVANAGARI, FW_BACKSLASH, FW_S, NOT_OEM
from winebox import (DRIVER, OK, PROBE_DONE, PROBE_ICON, PROBE_MAXIMIZE, PROBE_SIZE, SYSTEM_CMD,
                     boxes, digest, entries, listing, probe_bits)

# The box for a product file that cannot be deleted, or for all of them when the install folder
# is unknown.
CANT_DELETE = "Can't delete the file named:"


class Missing(NamedTuple):
    """What the probe takes away (its switches); the install folder, the temporary folder and a
    decoy beside them; the calls it answers instead; what the install folder keeps; how the
    script is started."""
    switches: list
    folder: str = INSTALL_DIR
    temp: str = None
    decoy: str = None
    answered: list = []
    kept: list = None
    start: tuple = None


class SelfDeleteTest(SandboxTest):
    def test_script_bytes_and_cleanup(self):
        exe = self.box.install()
        _, log = removed_while_held(self, exe)
        # After the wait cursor and the keys, the script starts suspended at idle priority and
        # runs only once the uninstaller has raised its own priority.
        self.assertEqual(log.calls(), CONFIRMED + STARTED)

    def test_folder_with_other_files_survives(self):
        exe = self.box.install()
        leftover = self.box.host(exe).parent / "notes.txt"
        leftover.write_text("kept")
        out = self.box.run(exe, *OK)
        self.box.settle()
        self.assert_removed_cleanly(out, exe, kept=["notes.txt"])

    def test_hostile_install_paths(self):
        # Install folder: temporary folder, where not the usual one; whether the OEM code page is
        # UTF-8. Every character the command interpreter treats specially in a command line
        # (spaces, '&', '(', ')', '^', '%', '!') in both folders, and a variable that is set
        # between two '%' in the temporary folder's name, which it would expand there: the command
        # line names no folder, and the script follows both. In the last row the probe makes the
        # OEM code page UTF-8 inside the uninstaller, which spells '%' and the per mille sign,
        # one byte each in code page 1252, in two and three bytes: four paths near their longest
        # fill the script to its bound. The interpreter here reads code page 437 and cannot
        # follow that script's paths: there its bytes are what counts. What /d and /v:off keep
        # from the script, the user's AutoRun commands and delayed expansion chosen in the
        # registry, Wine's cmd.exe never reads (it honours /v:on alone), so the rows check the
        # command line that carries them.
        deep = "C:\\acc\\" + "%\u2030" * 60 + "\\"
        rows = [(r"C:\Program Files\Tiv & al^dor", None, False),
                (r"C:\100% Tivaldor %TEMP%", None, False),
                ("C:\\Caf\u00e9 Tivaldor", None, False),
                (r"C:\A\B (x86)\C;D=E,F", None, False),
                (r"C:\acc\Tiv & (al) ^dor 100% !", r"C:\acc\Temp & (x) ^ 5% !", False),
                (INSTALL_DIR, r"C:\acc\a%windir%b", False),
                (deep + "%\u2030" * 56, deep + "%\u2030" * 55 + "T", True)]
        for folder, temp, oem_utf8 in rows:
            with self.subTest(folder[:40], temp=temp and temp[:40]):
                box = self.box
                box.reset()
                box.scratch()
                exe = box.install(folder)
                before = box.temp_at(temp) if temp else ()
                batch = PureWindowsPath(temp, "Tivaldor.bat") if temp else box.batch
                if temp:
                    box.host(temp).mkdir()
                if not oem_utf8:
                    removed_while_held(self, exe, *before, batch=batch)
                    continue
                out, log = box.removal(exe, before=before, oemutf8=1)
                self.assertEqual(log.start(), (SYSTEM_CMD, *command(batch)))
                self.assertEqual(box.host(batch).read_bytes(), script(exe, batch, "utf-8"))
                self.assert_ended(out)
                self.assertEqual(listing(box.host(folder)), ["KESTRUNE.EXE"])

    def test_folders_the_code_page_cannot_spell(self):
        # A user name in another script; a fullwidth backslash or letter, which best fit reads
        # as the plain one, so that the ANSI text names a folder beside the real one, also
        # through "..". The short form spells each exactly.
        names = [("C:\\acc\\" + DEVANAGARI, None),
                 ("C:\\acc\\spx" + FW_BACKSLASH + "spdecoy", r"C:\acc\spx\spdecoy"),
                 ("C:\\acc\\" + FW_S + "p2", r"C:\acc\sp2"),
                 ("C:\\acc\\bfx" + FW_BACKSLASH + ".." + FW_BACKSLASH + "bfdecoy",
                  r"C:\acc\bfdecoy")]
        rows = [(kind, real, decoy) for kind in KINDS for real, decoy in names]
        # A name that the ANSI code page spells and the script's OEM code page does not, as
        # under 1252 and 437 a user called João has: the script names the folder by its short
        # form.
        rows += [(kind, "C:\\acc\\" + NOT_OEM, None) for kind in ("install", "temp")]
        all_reached_by_their_short_forms(self, rows)

    def test_wide_calls_flags_or_short_names_missing(self):
        # Where the wide calls are stubs, as on Windows 95, 98 and Me, the ANSI calls answer, with
        # best fit: the product goes in full from plain folders, also where the conversions
        # refuse their flags with an unexpected error, as those systems may; an install or
        # temporary folder whose name best fit turns into a path through ".." to a decoy beside
        # it is refused by its name, and the decoy keeps every byte, no foreign script run. An
        # install folder that is not known (refused, or spelled neither in full nor by a short
        # form, as on a volume without short names) keeps the keys and everything else, with one
        # box naming the product's executable; an unknown temporary folder only means no script.
        box = self.box
        odd = "C:\\acc\\{0}x" + FW_BACKSLASH + ".." + FW_BACKSLASH + "{0}decoy"
        stubs = ["GetModuleFileNameW", "GetTempPathW", "SHGetPathFromIDListW", "FindFirstFileW"]
        everything = ["KESTRUNE.EXE", *PRODUCT_FILES]
        # Where the wide calls are stubs, the system starts the script: no program named, the
        # quoted path alone.
        by_system = ("(none)", *system_command(box.batch))
        rows = {
            "plain folders": Missing(["stubs"], answered=stubs, start=by_system),
            "install folder": Missing(["stubs"], folder=odd.format("bf"), decoy=r"C:\acc\bfdecoy",
                                      answered=stubs[:1], kept=everything),
            "temporary folder": Missing(["stubs"], temp=odd.format("tp") + "\\",
                                        decoy=r"C:\acc\tpdecoy", answered=stubs,
                                        kept=["KESTRUNE.EXE"]),
            "conversion flags": Missing(["stubs", "noflags"],
                                        answered=stubs + ["WideCharToMultiByte"], start=by_system),
            "short names": Missing(["noshort"], folder="C:\\acc\\" + DEVANAGARI,
                                   answered=["GetShortPathNameW"], kept=everything),
        }
        for name, (missing, folder, temp, decoy, answered, kept, start) in rows.items():
            with self.subTest(name):
                box.reset()
                acc = box.scratch()
                box.driver("mkdir", temp or folder)
                exe = box.install(folder)
                if decoy:
                    plant_decoy(box, decoy, not temp)
                link = box.desktop / "F" / "T.lnk"
                link.parent.mkdir()
                box.driver("link", box.win(link), PRODUCT_EXE)
                state = digest(acc)
                out, log = box.removal(exe, before=box.temp_at(temp) if temp else (),
                                       **dict.fromkeys(missing, 1))
                unknown = folder != INSTALL_DIR
                self.assertEqual(digest(acc), state, "the folders below C:\\acc")
                self.assertFalse(box.host(r"C:\ran").exists(), "someone else's script ran")
                stubbed = {name for name, value in log.calls() if value == 0}
                self.assertEqual(sorted(stubbed - {"ResumeThread"}), sorted(answered))
                self.assertEqual(log.start(), start)
                self.assert_ended(out, [(CANT_DELETE, "Tivaldor.exe")] * unknown, [unknown] * 2)
                self.assertEqual(entries(box.host(folder)), kept and sorted(kept))
                # The sweep needs the install folder's path: without it, the link stays.
                self.assertEqual(link.exists(), unknown, "the link")
                self.assertEqual(list(box.temp.iterdir()), [])

    def test_two_copies_confirmed_together(self):
        # Two uninstallers from the same folder, both OKs posted before either finishes: each
        # writes the same script under the same name while the other's interpreter may be
        # reading it (test_script_name_held_by_another_copy makes that collision certain).
        # TWO_COPIES_ROUNDS repeats it, so that other races have their chance.
        box = self.box
        for round in range(int(os.environ.get("TWO_COPIES_ROUNDS", 1))):
            with self.subTest(round=round):
                def row():
                    box.reset()
                    exe = box.install()
                    with box.probe() as probe:
                        out = box.run(exe, "start", exe, "wait-dialog", "probe", "post-all",
                                      *OK[1:], before=probe.setup, probed=True)
                        self.assertEqual([line for line in out if line.startswith("exit ")],
                                         ["exit 0"] * 2)
                        box.settle()
                        self.assertEqual((boxes(out), box.keys()), ([], [False, False]))
                        box.assert_removed(exe, probe.log, script=script(exe, box.batch))
                self.once_more_if_wine_lost_the_script(row)

    def test_script_name_held_by_another_copy(self):
        # Another copy's interpreter holds its script open as it runs it, deleting shared: our
        # delete of the name succeeds only as a pending delete, and the name cannot be made anew
        # until the interpreter lets go, a second later here (the program waits two at most).
        # It waits for the name, and its own script, the same text, removes it.
        box = self.box
        exe = box.install()
        out, log = box.removal(exe, "share-hold", box.batch, 1000)
        files = " | ".join(" ".join(line.split()[:2]) for line in log.lines
                           if line.startswith("file."))
        self.assertRegex(files, r"^file\.DeleteFileA 1( \| file\.CreateFileA 0)+ \| "
                         r"file\.CreateFileA 1$", box.what_stayed(exe, log))
        self.assert_removed_cleanly(out, exe, log, script=script(exe, box.batch))

    def test_read_only_uninstaller(self):
        exe = self.box.install()
        out = self.box.run(exe, *OK, before=("attrib", exe, "r"))
        self.box.settle()
        self.assert_removed_cleanly(out, exe)

    def test_temporary_folder_with_spaces(self):
        # With the script's path unquoted, "C:\Temp Dir\Tivaldor.bat" would start C:\Temp.exe.
        temp = self.box.host(r"C:\Temp Dir")
        temp.mkdir(exist_ok=True)
        shutil.copy(DRIVER, self.box.host(r"C:\Temp.exe"))
        try:
            exe = self.box.install()
            out = self.box.run(exe, *OK, before=self.box.temp_at(r"C:\Temp Dir"))
            self.box.settle()
            self.assert_removed_cleanly(out, exe, batch=r"C:\Temp Dir\Tivaldor.bat")
        finally:
            self.box.host(r"C:\Temp.exe").unlink()
            shutil.rmtree(temp)


class On32BitWindowsTest(SandboxTest):
    """As 32-bit Windows runs it: a 32-bit prefix, with one registry view and one system folder."""
    ARCH = 32

    def test_removed_from_folders_oem_cannot_spell(self):
        # Install and temporary folders whose names code page 1252 spells and the script's OEM
        # code page 437 does not, holding every character the command interpreter treats
        # specially in a command line too; the probe there from the uninstaller's start.
        box = self.box
        special = " & (x) ^ 5% !"
        folder = "C:\\" + NOT_OEM + r"\Tivaldor" + special
        temp = "C:\\" + NOT_OEM + r"\Temp" + special
        batch = PureWindowsPath(temp, "Tivaldor.bat")
        box.host(temp).mkdir(parents=True)
        exe = box.install(folder)
        out, seen, log = run_held(box, exe, *box.temp_at(temp), batch=batch, start="start-probed")
        stayed = box.what_stayed(exe, log, batch)
        self.assertIn(f"title {TITLE}", out, stayed)
        self.assertIn(f"gone 1 {exe}", out, stayed)
        self.assertEqual(log.calls(), GHOSTING_OFF + CONFIRMED + STARTED, stayed)
        self.assertEqual(probe_bits(out) & (PROBE_DONE | PROBE_ICON | PROBE_SIZE | PROBE_MAXIMIZE),
                         PROBE_DONE | PROBE_ICON, f"class icon or system menu wrong: {out}")
        # Started in its folder, named exactly, by its name alone; the script names the
        # uninstaller by its folder's short form, which code page 437 spells.
        self.assertEqual(log.created(), str(batch), stayed)
        self.assertEqual(log.start(), (SYSTEM_CMD, *command(batch)), stayed)
        self.assertTrue(seen.isascii() and seen.startswith(b':Repeat\r\ndel "C:\\') and
                        b'\\KESTRUNE.EXE"\r\n' in seen, f"the script: {seen}")
        self.assert_removed_cleanly(out, exe, log, batch=batch)
        self.assertEqual(listing(box.host("C:\\" + NOT_OEM)), ["Temp" + special + "/"])


if __name__ == "__main__":
    unittest.main()
