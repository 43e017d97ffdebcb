"""The desktop shortcut sweep: fixed scenarios of the outcome table, a randomized comparison with a
small model of it, and trees deeper than a path can name."""
import os
import random
import unittest

from scenarios import SweepScenarios
from sweep_model import (EXE_TARGET, FW_BACKSLASH, FW_DOT, FW_F, OUTCOMES, SCRIPT_ROWS, SNOWMAN,
                         TARGETS, flatten, model, random_tree)
from winebox import OK


class ModelTest(unittest.TestCase):
    """The model that judges the random trees, against the rows written out by hand; no Wine."""

    def test_model_agrees_with_every_row(self):
        for name, row in (OUTCOMES | SCRIPT_ROWS).items():
            with self.subTest(name):
                self.assertEqual(flatten(model(row.tree)), row.left)

    def test_model_knows_the_table(self):
        # A few more trees the random ones meet, pinned.
        self.assertEqual(flatten(model({"A": {"B": {"a.lnk": ("exe", "")}}})), set())
        self.assertEqual(flatten(model({"F": {"a.lnk": ("exe", ""), "E": {}}})), {"F/", "F/E/"})
        self.assertEqual(flatten(model({"F": {"a.lnk": ("exe", "r")}})), {"F/", "F/a.lnk"})
        self.assertEqual(flatten(model({"F": {"a": ("hlp", ""), "b": ("exe", "")}})), set())
        self.assertEqual(flatten(model({"F": {"cloud400000-a": ("exe", "")}})),
                         {"F/", "F/cloud400000-a"})
        self.assertEqual(flatten(model({"cloud400.9000301a-F": {"a": ("exe", "")},
                                        "cloud400.a0000003-G": {"a": ("exe", "")}})),
                         {"cloud400.a0000003-G/", "cloud400.a0000003-G/a"})


class SweepTest(SweepScenarios):
    def test_outcome_table(self):
        self.check_rows(OUTCOMES | SCRIPT_ROWS)

    def test_random_trees(self):
        seed = int(os.environ.get("SWEEP_SEED", random.randrange(1 << 30)))
        rng = random.Random(seed)
        for n in range(int(os.environ.get("SWEEP_TREES", 20))):
            t = random_tree(rng)
            with self.subTest(tree=n, seed=seed):
                def row():
                    self.box.reset()
                    left = self.uninstall(t, disguised=n % 2 == 1)
                    self.assertEqual(left, flatten(model(t)), f"seed {seed}, tree {n}: {t}")
                self.once_more_if_wine_lost_the_script(row)

    def test_deeper_than_a_path(self):
        # A chain of folders whose paths pass 260 characters, with a matching link at its bottom,
        # one on the desktop and, at every level where it fits, a folder holding only a
        # matching link: no crash, every link that can be named goes with its folder, and the
        # chain below the limit stays untouched.
        host, levels = self.box.desktop, []
        while len(self.box.win(host)) < 300:
            host = host / ("deep" + "x" * 36)
            levels.append(host)
        host.mkdir(parents=True)
        exe = self.box.install()
        commands = ["link", self.box.win(self.box.desktop / "top.lnk"), EXE_TARGET,
                    "link", self.box.win(self.box.desktop / "bottom.lnk"), EXE_TARGET]
        siblings = [level / "s" for level in levels if len(self.box.win(level)) < 240]
        for sibling in siblings:
            sibling.mkdir()
            commands += ["link", self.box.win(sibling / "a.lnk"), EXE_TARGET]
        self.box.driver(*commands)
        os.rename(self.box.desktop / "bottom.lnk", host / "bottom.lnk")
        out = self.box.run(exe, *OK)
        self.assert_ended(out)
        self.assertFalse((self.box.desktop / "top.lnk").exists())
        self.assertGreater(len(siblings), 3)
        self.assertEqual([s for s in siblings if s.exists()], [])
        self.assertTrue((host / "bottom.lnk").exists())

    def test_names_the_code_page_cannot_spell(self):
        # Listed through the ANSI functions (the wide listing a stub, as on Windows 95), these
        # names read as a path out of the desktop, as '?' or as another, plain name: none may
        # lead the sweep anywhere the plain names would not, so the odd entries stay. Listed in
        # UTF-16, each is reached by its exact or short name and goes like any other. Either
        # way the folder outside keeps its link and the rest goes as usual.
        def escape(dot):
            up = (FW_BACKSLASH + dot * 2) * 4
            return "a" + up + FW_BACKSLASH + "acc" + FW_BACKSLASH + "outside"

        outside = r"C:\acc\outside"
        snowman, fw_f = "F\\" + SNOWMAN + ".lnk", FW_F + r"\a.lnk"
        scenarios = {  # folders, links, gone when listed in UTF-16, gone when listed in ANSI
            "fullwidth backslashes": ([escape("."), r"C:\acc", outside, outside + r"\sub"],
                                      {escape(".") + r"\y.lnk": "exe", "T.lnk": "exe",
                                       outside + r"\sub\x.lnk": "exe"},
                                      [escape("."), escape(".") + r"\y.lnk", "T.lnk"],
                                      ["T.lnk"]),
            "fullwidth dots as well": ([escape(FW_DOT), r"C:\acc", outside, outside + r"\sub"],
                                       {escape(FW_DOT) + r"\y.lnk": "exe", "T.lnk": "exe",
                                        outside + r"\sub\x.lnk": "exe"},
                                       [escape(FW_DOT), escape(FW_DOT) + r"\y.lnk", "T.lnk"],
                                       ["T.lnk"]),
            "a snowman": (["F"], {snowman: "exe", r"F\a.lnk": "exe"},
                          ["F", snowman, r"F\a.lnk"], [r"F\a.lnk"]),
            "a fullwidth letter": ([FW_F, "F"], {fw_f: "exe", r"F\b.lnk": "other"},
                                   [FW_F, fw_f], []),
        }
        for name, (folders, links, gone_wide, gone_ansi) in scenarios.items():
            for stubs, gone in ((False, gone_wide), (True, gone_ansi)):
                with self.subTest(name, listing="ANSI" if stubs else "UTF-16"):
                    self.box.reset()
                    exe = self.box.install()
                    full = {p: p if p.startswith("C:") else self.box.win(self.box.desktop / p)
                            for p in folders + list(links)}
                    commands = [c for f in folders for c in ("mkdir", full[f])]
                    for link, kind in links.items():
                        commands += ["link", full[link], TARGETS[kind]]
                    self.box.driver(*commands)
                    out, log = self.box.removal(exe, **{"stubs": 1} if stubs else {})
                    self.assert_ended(out)
                    for path in folders + list(links):
                        exists = os.path.lexists(self.box.host(full[path]))
                        self.assertEqual(exists, path not in gone, path)
                    self.assertTrue(self.box.desktop.is_dir())
                    if stubs:  # the wide listing was tried once, then the ANSI one listed all
                        self.assertEqual(log.calls().count(("FindFirstFileW", 0)), 1)

    def test_linked_folder_not_entered(self):
        # A folder that is a link to elsewhere: what lies behind it is not the desktop's.
        outside = self.box.root / "outside"
        outside.mkdir(exist_ok=True)
        exe = self.box.install()
        self.box.driver("link", self.box.win(self.box.desktop / "x.lnk"), EXE_TARGET)
        os.rename(self.box.desktop / "x.lnk", outside / "x.lnk")
        (self.box.desktop / "linked").symlink_to(outside, target_is_directory=True)
        out = self.box.run(exe, *OK)
        self.assert_ended(out)
        self.assertTrue((outside / "x.lnk").exists(), "the sweep followed a folder link")


if __name__ == "__main__":
    unittest.main()
