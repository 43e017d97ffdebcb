"""The scenario layer of the Wine suites: their test base (a sandbox per class, the checks of a
removal that finished, the one retry of a row that Wine lost) and the scenarios more than one
suite runs: desktop trees swept by an uninstall, and a removal whose own file is held while its
script runs, with the install folder, the temporary folder or the desktop where the code page
cannot spell it."""
import contextlib
import os
import shutil
import unittest
from pathlib import PureWindowsPath

from product import INSTALL_DIR, PRODUCT_EXE, command, script
from sweep_model import ENV_TARGETS, TARGETS, env_link, examined
from winebox import OK, SYSTEM_CMD, Sandbox, WineLostScript, boxes, digest, exit_code, listing
from wineproc import log

# Someone else's script where ours might go; run, it would leave C:\ran behind.
FOREIGN = b"mkdir C:\\ran\r\n"


class SandboxTest(unittest.TestCase):
    """One sandbox per test class, reset before every test; LOCALE, when set, is the locale of
    its Wine processes, ARCH the width of its prefix (see Sandbox)."""
    LOCALE, ARCH = None, 64

    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox(cls.__name__, cls.LOCALE, cls.ARCH)

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def setUp(self):
        self.box.reset()

    def assert_ended(self, out, seen=(), keys=(False, False)):
        """What the uninstaller's run (the driver's output out) shows: exit code 0, exactly the
        message boxes seen (caption, text), and the product's keys (uninstall, app paths) as
        given, both gone by default (None: not asked), as the output lists them where the run
        ended with "regcheck", else as the driver finds them now. A failure quotes the output."""
        listed = [line.startswith("key 1") for line in out if line.startswith("key ")]
        self.assertEqual((exit_code(out), boxes(out), keys and (listed or self.box.keys())),
                         (0, list(seen), keys and list(keys)), "\n".join(map(str, out)))

    def assert_removed_cleanly(self, out, exe, log=None, **removed):
        """What every removal that finished shows: see assert_ended, and nothing left of the
        uninstaller (see Sandbox.assert_removed, which takes removed)."""
        self.assert_ended(out)
        self.box.assert_removed(exe, log, **removed)

    def once_more_if_wine_lost_the_script(self, row):
        """Runs row (which must start from a reset sandbox) and, where it failed only because Wine
        ran none of the uninstaller's script (WineLostScript), once more; logged as the harness
        logs its own retries. Nothing else is retried."""
        try:
            return row()
        except WineLostScript as e:
            log(f"retrying a row of {self.id()}: Wine ran none of the script\n{e}")
        return row()


def run_held(box, exe, *before, batch=None, start="start"):
    """Runs the uninstaller with OK (after the driver commands before) while its own file is held
    open, so that the script keeps looping; copies the script (from batch, by default the usual
    one), lets go, waits for the script to finish and returns the driver's output, the script's
    bytes and what the probe logged. start "start-probed" has the probe there from the
    uninstaller's start."""
    copy = box.user / "seen.bin"
    with box.probe() as probe:
        out = box.driver(*probe.setup, *before, "hold", exe, start, exe, "wait-dialog",
                         "describe", "probe", *OK, "finish", 60, "copy", batch or box.batch,
                         copy, "release", "wait-gone", exe, 60)
        box.settle()
        log = probe.log
    seen = box.host(copy).read_bytes()
    box.host(copy).unlink()
    return out, seen, log


def removed_while_held(test, exe, *before, batch=None, encoding="cp437"):
    """Runs run_held and checks that the removal finished cleanly, the script started by the
    system folder's cmd.exe with its exact bytes in the OEM code page (encoding); returns the
    driver's output and the probe's log."""
    batch = batch or test.box.batch
    out, seen, log = run_held(test.box, exe, *before, batch=batch)
    test.assertIn(f"gone 1 {exe}", out, test.box.what_stayed(exe, log, batch))
    test.assertEqual(seen, script(exe, batch, encoding))
    # Started by the system folder's cmd.exe in the script's folder, by its name alone.
    test.assertEqual(log.start(), (SYSTEM_CMD, *command(batch)))
    test.assert_removed_cleanly(out, exe, log, batch=batch)
    return out, log


def plant_decoy(box, decoy, product):
    """A decoy folder: a copy of the product, or someone else's Tivaldor.bat."""
    if product:
        box.install(decoy, keys=False)
    else:
        box.host(decoy).mkdir(parents=True)
        box.host(decoy + r"\Tivaldor.bat").write_bytes(FOREIGN)


# Where a folder the code page cannot spell may be: the install folder, the temporary folder or
# the desktop.
KINDS = ("install", "temp", "desktop")


def reached_by_its_short_form(test, kind, real, decoy=None):
    """Runs OK with the install folder, the temporary folder or the desktop (kind) at real, below
    the scratch folder: a folder whose name the ANSI code page cannot spell (it lacks a character,
    or spells it only as a look-alike, so that the name reads as decoy, a folder beside it that
    holds a copy of the product, a script or shortcuts of its own), or one that the OEM code page,
    the script's, lacks a character of. The program reaches real by its short form: both keys go,
    with no box and exit code 0, the product goes from there as usual, and decoy keeps every
    byte."""
    box = test.box
    box.reset()
    box.scratch()
    box.driver("mkdir", real)
    exe = box.install(real if kind == "install" else INSTALL_DIR)
    def links(folder):  # two shortcuts to the product, one in a sub-folder
        return ["mkdir", folder + r"\sub", "link", folder + r"\a.lnk", PRODUCT_EXE,
                "link", folder + r"\sub\b.lnk", PRODUCT_EXE]
    before = box.temp_at(real) if kind == "temp" else ()
    setup = links(real) + ["set-desktop", real, "desktop"] if kind == "desktop" else []
    if kind == "desktop":
        (box.host(real) / "keep.txt").write_text("kept")
    if decoy:
        plant_decoy(box, decoy, kind == "install")
    if decoy and kind != "install":
        setup += links(decoy)
    try:
        out = box.driver(*setup)
        test.assertEqual(out, [f"desktop {real}"] if kind == "desktop" else [])
        state = digest(box.host(decoy)) if decoy else None
        # Copied while it waits for the uninstaller's file: the script runs from there.
        batch = PureWindowsPath(real, "Tivaldor.bat") if kind == "temp" else box.batch
        out, _, log = run_held(box, exe, *before, batch=batch)
        test.assert_ended(out)
        test.assertIn(f"gone 1 {exe}", out, box.what_stayed(exe, log, batch))
    finally:
        if kind == "desktop":
            box.driver("set-desktop", box.win(box.desktop))
    if decoy:
        test.assertEqual(digest(box.host(decoy)), state, "the decoy")
    # The script's path as it was made: by its folder's short form, where that is the real one.
    test.assertEqual(log.start(),
                     (SYSTEM_CMD, *command(log.created() if kind == "temp" else batch)))
    box.assert_removed(exe, log, batch=batch)
    if kind == "desktop":
        test.assertEqual(listing(box.host(real)), ["keep.txt"])
    test.assertEqual(list(box.temp.iterdir()), [], "a script in the usual temporary folder")
    test.assertFalse(box.host(r"C:\ran").exists(), "someone else's script ran")


def all_reached_by_their_short_forms(test, rows):
    """reached_by_its_short_form for each row (kind, real, decoy), each a subtest."""
    for kind, real, decoy in rows:
        with test.subTest(kind=kind, folder=real):
            reached_by_its_short_form(test, kind, real, decoy)


class SweepScenarios(SandboxTest):
    """What a sweep scenario needs: trees built on the sandbox's desktop, uninstalled with the
    probe playing a sync client, the result compared with the model."""

    def build(self, tree):
        """Creates the tree on the sandbox desktop; shortcuts and attributes through Windows."""
        commands = []

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
                    commands.extend(["attrib", self.win(path), attrs])

        make(tree, self.box.desktop)
        if commands:
            self.box.driver(*commands)

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

    def uninstall(self, tree, disguised=False):
        """Builds the tree, runs OK with the probe listing the tree's placeholders as such (when
        disguised, only once the program has asked to see them), and returns what is left on
        the desktop, once the rest of the product has gone as usual and the sweeps have read
        exactly the files they must."""
        exe = self.box.install()
        self.build(tree)
        out, log = self.box.removal(exe, after=("regcheck",),
                                    cloud="disguised" if disguised else "exposed")
        self.assert_ended(out)
        desktop = PureWindowsPath(self.win(self.box.desktop))
        opened = {PureWindowsPath(path).relative_to(desktop).as_posix()
                  for name, path in log.calls() if name == "GetClassFile"}
        self.assertEqual(opened, examined(tree), "the files the sweeps read")
        self.assertEqual([call for call in log.calls() if call[0].startswith("RtlSet")],
                         [("RtlSetProcessPlaceholderCompatibilityMode", 2)])
        self.box.assert_removed(exe, log, script=script(exe, self.box.batch))
        return set(listing(self.box.desktop))

    def check_rows(self, rows):
        """Uninstalls each row's tree and compares what is left with what the row says must be;
        a tree with cloud placeholders both ways, as Windows shows them from the start and only
        once asked."""
        for name, row in rows.items():
            at_root = name.startswith("drive root")
            for disguised in (False, True) if name.startswith("cloud") else (False,):
                with self.subTest(name, disguised=disguised), \
                        self.desktop_at_drive_root() if at_root else contextlib.nullcontext():
                    def run():
                        self.box.reset()
                        self.assertEqual(self.uninstall(row.tree, disguised), row.left)
                        self.assertTrue(self.box.desktop.is_dir(), "the desktop itself was removed")
                    self.once_more_if_wine_lost_the_script(run)
