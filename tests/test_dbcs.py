"""Names in the double-byte code pages of Japanese (932) and Traditional Chinese (950) users. The
second byte of many of their characters is the byte of '\\' or '|'; to the system these are
ordinary names, and the uninstaller must read them by characters too. A yen sign, which best fit
turns into a plain backslash under 932, must still lead nowhere: a folder so named is reached by
its short form."""
import os
import shutil
import unittest
from pathlib import PureWindowsPath

from scenarios import (KINDS, SandboxTest, SweepScenarios, all_reached_by_their_short_forms,
                       reached_by_its_short_form, removed_while_held)
from sweep_model import DEVANAGARI, SCRIPT_ROWS
from winebox import OK, listing

YEN, KATAKANA_A = "\u00a5", "\uff71"  # best fit: 5C; a half-width katakana, one byte (B1)


class DoubleByteSandbox(SandboxTest):
    """A sandbox whose Wine processes run under LOCALE, whose code pages must be CODEPAGE."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            assert cls.box.driver("codepages") == [f"codepages {cls.CODEPAGE} {cls.CODEPAGE}"], \
                f"{cls.LOCALE} does not give code page {cls.CODEPAGE}: is the locale made?"
        except BaseException:
            cls.box.close()
            raise

    def check_install_folder(self, folder, names):
        """For each name of the uninstaller: installed as name in folder, with desktop links to
        the product named in the same characters, OK removes everything of the product, and
        the script names its folder exactly."""
        for name in names:
            with self.subTest(folder=folder, name=name):
                self.box.reset()
                exe = self.box.install(folder, name=name)
                links = self.desktop_links(folder)
                removed_while_held(self, exe, encoding=self.ENCODING)
                self.assertEqual(set(listing(self.box.desktop)), links)

    def desktop_links(self, folder):
        """Nothing by default; returns what must be left on the desktop."""
        return set()


class JapaneseTest(DoubleByteSandbox, SweepScenarios):
    LOCALE, CODEPAGE, ENCODING = "ja_JP.UTF-8", 932, "cp932"

    def test_desktop_names_932_cannot_spell(self):
        # Listed in UTF-16, a desktop entry named in a script 932 lacks is reached all the same.
        self.check_rows(SCRIPT_ROWS)

    def desktop_links(self, folder):
        # ソ ends in 5C and ポ in 7C: a folder of one link to the product, a link of its own,
        # and a folder whose note keeps it while its link to the help file goes.
        (self.box.desktop / "ソフト").mkdir()
        (self.box.desktop / "表示").mkdir()
        (self.box.desktop / "表示" / "メモ.txt").write_text("kept")
        self.box.driver("link", self.box.win(self.box.desktop / "ソフト" / "a.lnk"),
                        PureWindowsPath(folder, "Tivaldor.exe"),
                        "link", self.box.win(self.box.desktop / "ポータル.lnk"),
                        PureWindowsPath(folder, "Tivaldor.exe"),
                        "link", self.box.win(self.box.desktop / "表示" / "ヘルプ.lnk"),
                        PureWindowsPath(folder, "Tivaldor.hlp"))
        return {"表示/", "表示/メモ.txt"}

    def test_install_folder_and_links(self):
        # 表 is 95 5C and ポ 83 7C; the second name ends its own characters in 5C, so that a
        # search for the last backslash from the end would stop inside it.
        self.check_install_folder("C:\\サポート表", ["KESTRUNE.EXE", "ソフト表.EXE"])

    def test_temporary_folder(self):
        # A user name in such characters puts them in the temporary folder's path too: the
        # script is written there, named exactly, and runs.
        temp = "C:\\ポチ表\\Temp"
        self.box.host(temp).mkdir(parents=True)
        try:
            exe = self.box.install()
            batch = PureWindowsPath(temp, "Tivaldor.bat")
            removed_while_held(self, exe, *self.box.temp_at(temp), batch=batch,
                               encoding=self.ENCODING)
        finally:
            shutil.rmtree(self.box.host("C:\\ポチ表"))

    def test_desktop_ending_in_trail_byte(self):
        # A desktop whose own name ends in 5C is swept like any other; the folder beside it,
        # which a cut name would come close to, is not.
        desktop, beside = "C:\\acc\\デスク表", "C:\\acc\\デスク"
        for folder in (desktop, beside, desktop + "\\F"):
            self.box.host(folder).mkdir(parents=True)
        exe = self.box.install()
        try:
            self.assertEqual(self.box.driver("set-desktop", desktop, "desktop"),
                             [f"desktop {desktop}"])
            target = PureWindowsPath(exe.parent, "Tivaldor.exe")
            self.box.driver("link", desktop + "\\a.lnk", target, "link", desktop + "\\F\\b.lnk",
                            target, "link", beside + "\\c.lnk", target)
            out = self.box.run(exe, *OK)
            self.assert_ended(out)
            self.box.settle()
        finally:
            self.box.driver("set-desktop", self.box.win(self.box.desktop))
        self.assertEqual(list(self.box.host(desktop).iterdir()), [])
        self.assertTrue(self.box.host(beside + "\\c.lnk").exists())

    def test_yen_signs_lead_nowhere(self):
        # Under 932 a yen sign is spelled by best fit as a plain backslash, also after a
        # half-width katakana (one byte, no lead byte). A desktop folder so named, read by best
        # fit, would lead the sweep to C:\acc\outside, an install folder so named to
        # C:\acc\decoy: neither is touched. Listed in UTF-16, the desktop folder is reached by
        # its short name and goes with its link.
        def escape(before_yen):
            return "a" + before_yen + (YEN + "..") * 4 + YEN + "acc" + YEN + "outside"

        outside = r"C:\acc\outside"
        for before_yen in ("", KATAKANA_A):
            with self.subTest("desktop folder", katakana=bool(before_yen)):
                self.box.reset()
                exe = self.box.install()
                odd = self.box.win(self.box.desktop / escape(before_yen))
                target = PureWindowsPath(exe.parent, "Tivaldor.exe")
                self.box.driver("mkdir", r"C:\acc", "mkdir", outside, "mkdir", outside + r"\sub",
                                "mkdir", odd, "link", odd + r"\y.lnk", target,
                                "link", outside + r"\sub\x.lnk", target,
                                "link", self.box.win(self.box.desktop / "T.lnk"), target)
                out = self.box.run(exe, *OK)
                self.assert_ended(out)
                self.assertTrue(self.box.host(outside + r"\sub\x.lnk").exists())
                self.assertFalse(os.path.lexists(self.box.host(odd)))
                self.assertFalse(self.box.host(self.box.win(self.box.desktop / "T.lnk")).exists())
            with self.subTest("install folder", katakana=bool(before_yen)):
                folder = "C:\\acc\\yen" + before_yen + YEN + ".." + YEN + "decoy"
                reached_by_its_short_form(self, "install", folder, r"C:\acc\decoy")

    def test_folders_the_code_page_cannot_spell(self):
        # A user name in a script 932 lacks; a yen sign, which best fit spells as a backslash,
        # so that the name would lead to the folder beside it. The short form spells each.
        names = [("C:\\acc\\" + DEVANAGARI, None),
                 ("C:\\acc\\spx" + YEN + "spdecoy", r"C:\acc\spx\spdecoy")]
        all_reached_by_their_short_forms(self, [(kind, real, decoy) for kind in KINDS
                                                for real, decoy in names])


class TraditionalChineseTest(DoubleByteSandbox):
    LOCALE, CODEPAGE, ENCODING = "zh_TW.UTF-8", 950, "cp950"

    def test_install_folder(self):
        # 四 is A5 7C and 功 A5 5C.
        self.check_install_folder("C:\\軟體四功", ["KESTRUNE.EXE", "四功.EXE"])


class Utf8Test(DoubleByteSandbox):
    """Hindi has no ANSI code page: Wine, like Windows set to use UTF-8 worldwide, then uses
    UTF-8 as both code pages."""
    LOCALE, CODEPAGE, ENCODING = "hi_IN.UTF-8", 65001, "utf-8"

    def test_install_folder_under_windows_rules(self):
        # Windows refuses, for UTF-8, the flag that keeps best fit out and the question whether
        # a character was lost, where Wine takes both; the probe holds the uninstaller to
        # Windows' rules. A Hindi install folder still goes in full, the script named exactly.
        exe = self.box.install("C:\\हिन्दी")
        removed_while_held(self, exe, "setenv", "PROBE_STRICT", "1", encoding=self.ENCODING)


if __name__ == "__main__":
    unittest.main()
