"""The desktop shortcut sweep: fixed scenarios of the outcome table, a randomized comparison with a
small model of it, and trees deeper than a path can name."""
import contextlib
import os
import random
import re
import shutil
import struct
import unittest
from pathlib import PureWindowsPath

from winebox import (DEVANAGARI, FW_BACKSLASH, FW_DOT, FW_F, INSTALL_DIR, OK, SNOWMAN, SandboxTest,
                     exit_code, listing, script)

EXE_TARGET = INSTALL_DIR + r"\Tivaldor.exe"
HLP_TARGET = INSTALL_DIR + r"\Tivaldor.hlp"
TARGETS = {"exe": EXE_TARGET, "hlp": HLP_TARGET, "case": EXE_TARGET.upper(),
           "other": r"C:\windows\notepad.exe", "near": INSTALL_DIR + r"\Tivaldor.exe.bak"}
# Links whose target is stored with an environment variable, as installers write them on
# Windows: the expanded path in the link's location and the unexpanded one in an EXP_SZ block.
# Wine cannot make these (IShellLinkDataList::AddDataBlock is not implemented, SetPath takes the
# variable as a relative name), so they are written byte by byte. Wine 8 reads only the expanded
# path and gives it for SLGP_RAWPATH too; Windows gives the stored one for that flag.
ENV_TARGETS = {"envexe": (EXE_TARGET, r"%ProgramFiles%\Tivaldor\Tivaldor.exe"),
               "envother": (r"C:\windows\Tivaldor.exe", r"%SystemRoot%\Tivaldor.exe")}
MATCHING = ("exe", "hlp", "case", "envexe")
REMOVED, KEPT = 0x01, 0x80
# The probe (PROBE_CLOUD) lists a name "cloud<hex>[.<hex>]-..." with those attribute bits and
# that reparse tag, as a sync client lists its placeholders; a file with any of the recall bits
# lives only in the cloud. "disguised" hides them until the program asks to see placeholders.
CLOUD_NAME = re.compile(r"cloud([0-9a-f]+)(?:\.([0-9a-f]+))?-")
OFFLINE, RECALL_ON_OPEN, RECALL_ON_DATA_ACCESS, UNPINNED = 0x1000, 0x40000, 0x400000, 0x100000
REPARSE_POINT, CLOUD_TAG = 0x400, 0x9000001A
# Reparse tags: a sync client's (any of 16 flag values in bits 12-15), a mount point (junction)
# and a projected file system's.
SYNCED, SYNCED_PINNED, MOUNT_POINT, PROJECTED = 0x9000001A, 0x9000701A, 0xA0000003, 0x9000001C
# Names in scripts that code page 1252 lacks, one with a look-alike in it: best fit spells
# "D\u0101rbi" as "Darbi" and "Tivald\u014dr" as "Tivaldor".
DARBI, TIVALDOR = "D\u0101rbi", "Tivald\u014dr"


def env_link(expanded, stored):
    """The bytes of a shell link to expanded whose target is stored as the string stored."""
    flags = 0x02 | 0x80 | 0x200  # HasLinkInfo, IsUnicode, HasExpString
    shell_link = bytes.fromhex("0114020000000000c000000000000046")
    header = struct.pack("<I16sII24xIiI12x", 0x4C, shell_link, flags, 0x20, 0, 0, 1)
    volume = struct.pack("<IIII", 0x11, 3, 0, 0x10) + b"\0"  # a fixed disk, empty label
    path = expanded.encode("cp1252") + b"\0"
    at = 0x1C + len(volume)
    info = struct.pack("<7I", at + len(path) + 1, 0x1C, 1, 0x1C, at, 0, at + len(path))
    block = struct.pack("<II260s520s", 0x314, 0xA0000001, stored.encode("cp1252"),
                        stored.encode("utf-16-le"))
    return header + info + volume + path + b"\0" + block + b"\0" * 4


# A tree is a dict: name -> dict (a folder) or (kind, attributes) (a file). File kinds are the
# keys of TARGETS and ENV_TARGETS (shortcuts), "file" (some other file) and "fakelnk" (not a
# link, named .lnk).

def cloud_marks(name):
    """The attributes and reparse tag the probe lists a name with."""
    marks = CLOUD_NAME.match(name)
    return (int(marks[1], 16), int(marks[2] or "0", 16)) if marks else (0, 0)


def in_cloud(name):
    """Whether a file so named is listed as one that reading would download."""
    return bool(cloud_marks(name)[0] & (OFFLINE | RECALL_ON_OPEN | RECALL_ON_DATA_ACCESS))


def entered(name):
    """Whether a folder so named is listed as one the sweep may enter: not one whose listing
    would be fetched from the cloud, nor a reparse point other than a sync client's folder."""
    bits, tag = cloud_marks(name)
    return not (bits & RECALL_ON_OPEN or bits & REPARSE_POINT and tag & 0xFFFF0FFF != CLOUD_TAG)


def examined(tree, prefix=""):
    """The files whose first bytes the sweeps read: every file but the placeholders, in every
    folder they enter."""
    paths = set()
    for name, node in tree.items():
        if isinstance(node, dict):
            if not name.startswith("..") and entered(name):
                paths |= examined(node, prefix + name + "/")
        elif not in_cloud(name):
            paths.add(prefix + name)
    return paths


def model(tree):
    """The tree left after the two sweeps, computed from the outcome table."""
    def sweep(folder, matching, top):
        result = KEPT if top else 0
        for name in list(folder):
            node = folder[name]
            if isinstance(node, dict):
                if name.startswith(".."):
                    continue
                if not entered(name):
                    result |= KEPT
                    continue
                result |= sweep(node, matching, False)
                if node.get("\0removed"):
                    del folder[name]
            elif in_cloud(name):
                result |= KEPT
            elif node[0] in matching:
                result |= REMOVED
                if "r" not in node[1]:
                    del folder[name]
            else:
                result |= KEPT
        if result == REMOVED and not folder:
            folder["\0removed"] = True
        return result

    import copy
    left = copy.deepcopy(tree)
    sweep(left, ("exe", "case", "envexe"), True)
    sweep(left, ("hlp",), True)
    return left


def flatten(tree, prefix=""):
    paths = set()
    for name, node in tree.items():
        path = prefix + name
        paths.add(path + "/" if isinstance(node, dict) else path)
        if isinstance(node, dict):
            paths |= flatten(node, path + "/")
    return paths


class SweepRows(SandboxTest):
    """What a sweep scenario needs: trees built on the sandbox's desktop, uninstalled with the
    probe playing a sync client, the result compared with the model."""

    def build(self, tree):
        """Creates the tree on the sandbox desktop; shortcuts and attributes through Windows."""
        commands, attributes = [], []

        def make(folder, host):
            for name, node in folder.items():
                path = host / name
                if isinstance(node, dict):
                    path.mkdir()
                    make(node, path)
                    continue
                kind, attrs = node
                if kind == "file":
                    path.write_bytes(b"not a shortcut")
                elif kind == "fakelnk":
                    path.write_bytes(b"L\0\0\0 looks like a link but is not")
                elif kind in ENV_TARGETS:
                    path.write_bytes(env_link(*ENV_TARGETS[kind]))
                else:
                    commands.extend(["link", self.win(path), TARGETS[kind]])
                if attrs:
                    attributes.extend(["attrib", self.win(path), attrs])

        make(tree, self.box.desktop)
        if commands or attributes:
            self.box.driver(*commands, *attributes)

    def win(self, host):
        if self.box.desktop == self.box.root / "drive-x":  # the desktop at the root of X:
            return str(PureWindowsPath("X:\\", host.relative_to(self.box.desktop)))
        return self.box.win(host)

    @contextlib.contextmanager
    def desktop_at_drive_root(self):
        """The desktop moved to the root of drive X:, which is a throwaway folder of the sandbox."""
        folder, drive = self.box.root / "drive-x", self.box.prefix / "dosdevices" / "x:"
        self.assertFalse(os.path.lexists(drive), "drive X: is already mapped")
        folder.mkdir()
        drive.symlink_to(folder, target_is_directory=True)
        desktop = self.box.desktop
        try:
            self.assertEqual(self.box.driver("set-desktop", "X:\\", "desktop"), ["desktop X:\\"])
            self.box.desktop = folder
            yield
        finally:
            self.box.desktop = desktop
            self.box.driver("set-desktop", self.box.win(desktop))
            drive.unlink()
            shutil.rmtree(folder, ignore_errors=True)  # gone if the sweep removed the root

    def left(self):
        return set(listing(self.box.desktop))

    def uninstall(self, tree, disguised=False):
        """Builds the tree, runs OK with the probe listing the tree's placeholders as such (when
        disguised, only once the program has asked to see them), and returns what is left on
        the desktop, once the rest of the product has gone as usual and the sweeps have read
        exactly the files they must."""
        exe = self.box.install()
        self.build(tree)
        with self.box.probe(cloud="disguised" if disguised else "exposed") as probe:
            out = self.box.driver(*probe.setup, "start", exe, "wait-dialog", "describe", *OK,
                                  "finish", 60, "regcheck")
            self.assertEqual(exit_code(out), 0)
            self.assertEqual([line[:5] for line in out if line.startswith("key ")], ["key 0"] * 2)
            self.box.settle()
            desktop = PureWindowsPath(self.win(self.box.desktop))
            calls = probe.log.calls()
            opened = {PureWindowsPath(path).relative_to(desktop).as_posix()
                      for name, path in calls if name == "GetClassFile"}
            self.assertEqual(opened, examined(tree), "the files the sweeps read")
            self.assertEqual([call for call in calls if call[0].startswith("RtlSet")],
                             [("RtlSetProcessPlaceholderCompatibilityMode", 2)])
            self.box.assert_removed(exe, probe, script=script(exe, self.box.batch))
        return self.left()

    def check_rows(self, scenarios):
        """Uninstalls each scenario's tree and compares what is left with the model; a tree with
        cloud placeholders both ways, as Windows shows them from the start and only once asked."""
        for name, tree in scenarios.items():
            at_root = name.startswith("drive root")
            for disguised in (False, True) if name.startswith("cloud") else (False,):
                with self.subTest(name, disguised=disguised), \
                        self.desktop_at_drive_root() if at_root else contextlib.nullcontext():
                    def row():
                        self.box.reset()
                        left = self.uninstall(tree, disguised)
                        self.assertEqual(left, flatten(model(tree)))
                        self.assertTrue(self.box.desktop.is_dir(), "the desktop itself was removed")
                    self.once_more_if_wine_lost_the_script(row)


# Names that the ANSI code page (1252 or 932) cannot spell, or spells as another name beside
# them: listed in UTF-16, they are reached by their exact or short names.
SCRIPT_ROWS = {
    "names in another script": {
        DEVANAGARI: {"a.lnk": ("exe", "")},
        DEVANAGARI + "2": {"a.lnk": ("exe", ""), "n.txt": ("file", "")},
        DEVANAGARI + ".lnk": ("hlp", ""), DEVANAGARI + "o.lnk": ("other", ""),
        DEVANAGARI + ".txt": ("file", "")},
    "names best fit turns into others": {
        DARBI: {"a.lnk": ("exe", "")}, "Darbi": {"a.lnk": ("exe", ""), "n.txt": ("file", "")},
        TIVALDOR + ".lnk": ("exe", ""), "Tivaldor.lnk": ("other", "")},
}


class SweepTest(SweepRows):
    def test_outcome_table(self):
        plain = ("exe", "")
        scenarios = {
            "top-level links": {"a.lnk": plain, "b.lnk": ("hlp", ""), "c.lnk": ("other", "")},
            "folder of one matching link": {"F": {"a.lnk": plain}},
            "chain removed bottom-up": {"A": {"B": {"C": {"a.lnk": plain}}}},
            "links to both files": {"F": {"a.lnk": plain, "b.lnk": ("hlp", "")}},
            "matching link beside empty folder": {"F": {"a.lnk": plain, "E": {}}},
            "target differs in case": {"F": {"a.lnk": ("case", "")}},
            "near miss is kept": {"F": {"a.lnk": ("near", "")}},
            "fake .lnk keeps folder": {"F": {"a.lnk": plain, "x.lnk": ("fakelnk", "")}},
            "other file keeps folder": {"F": {"a.lnk": plain, "x.txt": ("file", "")}},
            "hidden matching link": {"F": {"a.lnk": ("exe", "h")}, "b.lnk": ("exe", "hs")},
            "hidden other file": {"F": {"a.lnk": plain, "x.txt": ("file", "h")}},
            "read-only matching link": {"P": {"F": {"a.lnk": ("exe", "r")}}},
            "two-dot folder not entered": {"F": {"a.lnk": plain, "..x": {"b.lnk": plain}},
                                           "..y": {"c.lnk": plain}},
            "empty desktop stays": {},
            "empty folders stay": {"E": {"D": {}}},
            "stored variables": {"F": {"a.lnk": ("envexe", "")}, "G": {"a.lnk": ("envother", "")},
                                 "b.lnk": ("envexe", ""), "c.lnk": ("envother", "")},
            "drive root": {"a.lnk": plain, "b.lnk": ("other", ""), "F": {"a.lnk": plain}},
            "drive root emptied": {"a.lnk": plain, "F": {"G": {"a.lnk": ("hlp", "")}}},
            # Unpinned alone is a file kept on the disk; a folder in the cloud lists only names.
            "cloud placeholders": {
                "plain.lnk": plain, "cloud501000-a.lnk": plain, "cloud40000-b.lnk": plain,
                "cloud1000-c.lnk": plain, "F": {"cloud400000-d.lnk": ("hlp", "")},
                "cloud100000-e.lnk": plain, "cloud501000-G": {"a.lnk": plain}},
            # A sync client's folders and files as reparse points with its tags: hydrated files
            # are read, cloud-only ones are not; its folders are entered unless their listing
            # is still in the cloud. Other reparse points are not entered.
            "cloud folders": {
                "cloud400.9000001a-h.lnk": plain,
                "cloud400.9000701a-A": {"cloud400.9000001a-h.lnk": plain},
                "cloud400.9000001a-B": {"cloud400400.9000001a-x.lnk": plain},
                "cloud40400.9000001a-R": {"a.lnk": plain},
                "cloud400.a0000003-M": {"a.lnk": plain},
                "cloud400.9000001c-P": {"a.lnk": plain},
                "cloud400.9000001a-C": {"D": {"cloud401000.9000001a-x.lnk": ("hlp", "")},
                                        "E": {"a.lnk": ("hlp", "")}}},
        }
        self.check_rows(scenarios | SCRIPT_ROWS)

    def test_model_knows_the_table(self):
        # The model is what the randomized test trusts; pin it to a few rows of the table.
        self.assertEqual(flatten(model({"A": {"B": {"a.lnk": ("exe", "")}}})), set())
        self.assertEqual(flatten(model({"F": {"a.lnk": ("exe", ""), "E": {}}})), {"F/", "F/E/"})
        self.assertEqual(flatten(model({"F": {"a.lnk": ("exe", "r")}})), {"F/", "F/a.lnk"})
        self.assertEqual(flatten(model({"F": {"a": ("hlp", ""), "b": ("exe", "")}})), set())
        self.assertEqual(flatten(model({"F": {"cloud400000-a": ("exe", "")}})),
                         {"F/", "F/cloud400000-a"})
        self.assertEqual(flatten(model({"cloud400.9000301a-F": {"a": ("exe", "")},
                                        "cloud400.a0000003-G": {"a": ("exe", "")}})),
                         {"cloud400.a0000003-G/", "cloud400.a0000003-G/a"})

    def test_random_trees(self):
        seed = int(os.environ.get("SWEEP_SEED", random.randrange(1 << 30)))
        rng = random.Random(seed)
        kinds = ["exe", "exe", "hlp", "case", "other", "file", "fakelnk", "near", "envexe",
                 "envother"]

        def tree(depth):
            folder = {}
            for i in range(rng.randint(0, 4)):
                cloud = rng.choice(["", "", "", "", "", "", "cloud400000-", "cloud1000-",
                                    "cloud100000-", "cloud400.9000001a-", "cloud400400.9000601a-",
                                    "cloud40400.9000001a-", "cloud400.a0000003-"])
                if depth < 3 and rng.random() < 0.35:
                    folder[f"{cloud}d{depth}{i}"] = tree(depth + 1)
                else:
                    kind = rng.choice(kinds)
                    attrs = rng.choice(["", "", "", "", "h", "r"])
                    name = f"{cloud}f{depth}{i}" + ("" if kind == "file" else ".lnk")
                    folder[name] = (kind, attrs)
            return folder

        for n in range(int(os.environ.get("SWEEP_TREES", 20))):
            t = tree(0)
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
        self.assertEqual(exit_code(out), 0)
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
                with self.subTest(name, listing="ANSI" if stubs else "UTF-16"), \
                        self.box.probe(stubs=1) as probe:
                    self.box.reset()
                    shutil.rmtree(self.box.host(r"C:\acc"), ignore_errors=True)
                    exe = self.box.install()
                    full = {p: p if p.startswith("C:") else self.box.win(self.box.desktop / p)
                            for p in folders + list(links)}
                    commands = [c for f in folders for c in ("mkdir", full[f])]
                    for link, kind in links.items():
                        commands += ["link", full[link], TARGETS[kind]]
                    self.box.driver(*commands)
                    out = self.box.driver(*probe.setup if stubs else (), "start", exe,
                                          "wait-dialog", "describe", *OK, "finish", 60)
                    self.assertEqual(exit_code(out), 0)
                    for path in folders + list(links):
                        exists = os.path.lexists(self.box.host(full[path]))
                        self.assertEqual(exists, path not in gone, path)
                    self.assertTrue(self.box.desktop.is_dir())
                    if stubs:  # the wide listing was tried once, then the ANSI one listed all
                        self.assertEqual(probe.log.calls().count(("FindFirstFileW", 0)), 1)

    def test_linked_folder_not_entered(self):
        # A folder that is a link to elsewhere: what lies behind it is not the desktop's.
        outside = self.box.root / "outside"
        outside.mkdir(exist_ok=True)
        exe = self.box.install()
        self.box.driver("link", self.box.win(self.box.desktop / "x.lnk"), EXE_TARGET)
        os.rename(self.box.desktop / "x.lnk", outside / "x.lnk")
        (self.box.desktop / "linked").symlink_to(outside, target_is_directory=True)
        out = self.box.run(exe, *OK)
        self.assertEqual(exit_code(out), 0)
        self.assertTrue((outside / "x.lnk").exists(), "the sweep followed a folder link")


if __name__ == "__main__":
    unittest.main()
