"""The confirmation dialog and the ways of leaving it, driven in a Wine sandbox."""
import re
import shutil
import unittest
from typing import NamedTuple

import pefile

import pe
from product import (CONFIRMED, DIALOG_ID, DIALOG_STYLE, DIALOG_TEXTS, GHOSTING_OFF, INSTALL_DIR,
                     PRODUCT_EXE, PRODUCT_FILES, STARTED, TITLE)
from scenarios import SandboxTest
from winebox import (DRIVER, EXE, IDCANCEL, IDOK, OK, PROBE_CLOSE, PROBE_DONE, PROBE_ICON,
                     PROBE_MAXIMIZE, PROBE_MINIMIZE, PROBE_MOVE, PROBE_SIZE, VK_ESCAPE, VK_RETURN,
                     WM_CLOSE, WM_COMMAND, boxes, entries)

# A base far above the image's own (0x400000), so that no part of the moved image lies where it
# was, and within the two gigabytes a program not marked large-address aware may use.
NEW_BASE = 0x30000000


class Way(NamedTuple):
    """A way of pressing OK: the driver's start; the probe's switches (None: no probe); the
    actions; what the probe logs but the script's start (which test_selfdelete checks)."""
    start: str = "start"
    switches: dict = None
    actions: tuple = ()
    logged: list = None


class DialogTest(SandboxTest):
    def test_dialog_as_shown(self):
        exe = self.box.install()
        out = self.box.run(exe, "describe", "post", WM_COMMAND, IDCANCEL, 0, probed=True)
        fields = [line.split(" ", 1) for line in out]
        self.assertIn(["title", TITLE], fields)
        children = [f[1].split(" ", 3) for f in fields if f[0] == "child"]
        self.assertEqual([(c[0], int(c[1]), c[3]) for c in children],
                         [("Button", 1, "OK"), ("Button", 2, "Cancel")] +
                         [("Static", 65535, t) for t in DIALOG_TEXTS])
        self.assertEqual(int(children[0][2], 16) & 0xF, 1, "OK is the default push button")
        self.assertIn(["focus", "1"], fields, "OK has the focus")
        style = int(dict(fields)["style"], 16)
        self.assertEqual(style & ~0x04000000, DIALOG_STYLE)  # the system adds WS_CLIPSIBLINGS
        probe = int(dict(fields)["probe"])
        self.assertTrue(probe & PROBE_DONE, "probe did not run")
        self.assertTrue(probe & PROBE_ICON, "the dialog class has no icon")
        self.assertEqual(probe >> 8, 32, "the class icon is the 32x32 image")
        self.assertFalse(probe & (PROBE_SIZE | PROBE_MAXIMIZE), "Size or Maximize left in menu")
        # The rest as the system gives it, Minimize among them.
        kept = PROBE_MOVE | PROBE_CLOSE | PROBE_MINIMIZE
        self.assertEqual(probe & kept, kept, f"system menu lost Move, Close or Minimize: {probe:x}")
        self.assert_ended(out, keys=[True, True])

    def test_leaving_changes_nothing(self):
        # Probed from the start: after the dialog's creation the probe logs nothing, no wait
        # cursor and no removal.
        ways = {
            "cancel": ("post", WM_COMMAND, IDCANCEL, 0),
            "escape": ("key", VK_ESCAPE),
            "close box": ("post", WM_CLOSE, 0, 0),
            "notification": ("post", WM_COMMAND, 0x10000 | IDOK, 0, "sleep", 500, "alive",
                             "post", WM_COMMAND, 0x50000 | IDCANCEL, 0, "sleep", 500, "alive",
                             "post", WM_COMMAND, IDCANCEL, 0),
        }
        for name, actions in ways.items():
            with self.subTest(name):
                self.box.reset()
                exe = self.box.install()
                self.box.driver("link", self.box.win(self.box.desktop / "T.lnk"),
                                INSTALL_DIR + r"\Tivaldor.exe")
                before = self.box.state()
                with self.box.probe() as probe:
                    out = self.box.driver(*probe.setup, "start-probed", exe, "wait-dialog",
                                          *actions, "finish", 60)
                    self.assertEqual(probe.log.calls(), GHOSTING_OFF)
                self.assertEqual(out.count("alive 1"), actions.count("alive"))
                self.box.settle()
                self.assert_ended(out, keys=[True, True])
                self.assertEqual(self.box.state(), before)

    def test_registry_views(self):
        # On 64-bit Windows a 32-bit installer's keys are in the 32-bit view: its Uninstall key
        # below WOW6432Node, its App Paths key in the one key both views share. A 64-bit build of
        # the product may have left keys of the same names in the 64-bit view. OK deletes the
        # 32-bit view's keys, and so App Paths in both; Cancel keeps every key.
        cancel = ("post", WM_COMMAND, IDCANCEL, 0)
        # the views written; the actions; the keys left (uninstall, app paths) in the 32-bit
        # and in the 64-bit view
        rows = {"32-bit install, Cancel": ((32,), cancel, [True, True], [False, True]),
                "32-bit install, OK": ((32,), OK, [False, False], [False, False]),
                "both builds, Cancel": ((32, 64), cancel, [True, True], [True, True]),
                "both builds, OK": ((32, 64), OK, [False, False], [True, False])}
        for name, (views, actions, left32, left64) in rows.items():
            with self.subTest(name):
                self.box.reset()
                exe = self.box.install(keys=False)
                before = [word for view in views for word in ("regadd", view)]
                out = self.box.run(exe, *actions, before=before)
                self.assert_ended(out, keys=left32)
                self.assertEqual(self.box.keys(64), left64)

    def test_ok_and_enter_remove_product(self):
        # Started with the probe in its process before any code of its own runs, the program
        # turns off the ghosting of windows that seem hung, once, before its dialog exists (its
        # thread has no window yet); where user32 has no such call (Windows 2000 and earlier: the
        # probe hides it), the look-up alone, and the dialog and OK work alike. OK sets the wait
        # cursor, once, before the removal's first change.
        lookup, _, dialog = GHOSTING_OFF
        rows = {
            "OK": Way(actions=OK),
            "Enter": Way(actions=("key", VK_RETURN)),
            "OK, probed from the start": Way("start-probed", {}, OK, GHOSTING_OFF + CONFIRMED),
            "OK, no ghosting call": Way("start-probed", {"noghost": 1}, OK,
                                        [lookup, dialog] + CONFIRMED),
        }
        for name, (start, switches, actions, logged) in rows.items():
            with self.subTest(name):
                self.box.reset()
                exe = self.box.install()
                with self.box.probe(**switches or {}) as probe:
                    setup = probe.setup if switches is not None else ()
                    out = self.box.driver(*setup, start, exe, "wait-dialog", *actions, "finish", 60)
                    calls = probe.log.calls()
                if logged:
                    self.assertEqual([call for call in calls if call not in STARTED], logged)
                self.assert_ended(out)
                self.assertEqual(self.box.product_files(), [])

    def test_undeletable_file_warns_once(self):
        exe = self.box.install()
        product = INSTALL_DIR + r"\Tivaldor.exe"
        self.box.driver("attrib", product, "r")
        out = self.box.run(exe, *OK)
        self.assert_ended(out, [("Can't delete the file named:", product)])
        self.assertEqual(boxes(out, details=True)[0][2:], ("warning", "OK"), "icon, buttons")
        self.assertTrue(self.box.host(product).exists())
        self.assertEqual(self.box.product_files(), ["Tivaldor.exe"])

    def test_nothing_to_remove(self):
        exe = self.box.install(files=(), keys=False)
        self.assert_ended(self.box.run(exe, *OK))

    def test_relocated_image(self):
        # Moved by its own relocation table, far from where it was linked, the program runs as
        # usual, the shortcut sweep included, which reaches the shell's class IDs through
        # absolute addresses. Moved without applying the table, it does not get that far: its
        # calls still go through the import table at the old base, where the image is not.
        raw = EXE.read_bytes()
        link = self.box.desktop / "T.lnk"
        for applied in (False, True):
            self.box.reset()
            exe = self.box.install()
            self.box.driver("link", self.box.win(link), INSTALL_DIR + r"\Tivaldor.exe")
            self.box.host(exe).write_bytes(pe.rebased(raw, NEW_BASE, relocate=applied))
            if not applied:
                try:
                    self.box.run(exe, *OK)
                except AssertionError:
                    pass  # it may fail before its dialog shows
                self.assertTrue(link.exists(), "the shortcut went without the relocations")
                continue
            out = self.box.run(exe, "describe", *OK)
            self.assertIn(f"title {TITLE}", out)
            self.assert_ended(out)
            self.assertFalse(link.exists(), "the shortcut was not deleted")
            self.assertEqual(self.box.product_files(), [])

    def test_missing_dialog_template(self):
        # The same image with its dialog template renamed, so that it cannot be loaded.
        image = pefile.PE(data=EXE.read_bytes())
        dialogs = next(e for e in image.DIRECTORY_ENTRY_RESOURCE.entries
                       if e.id == pefile.RESOURCE_TYPE["RT_DIALOG"])
        next(e for e in dialogs.directory.entries if e.id == DIALOG_ID).struct.Name = 4242
        exe = self.box.install()
        self.box.host(exe).write_bytes(image.write())
        out = self.box.driver("start", exe, "finish", 60)
        self.assert_ended(out, [("Error during uninstall:", "Can't create window!")], [True, True])
        self.assertEqual(boxes(out, details=True)[0][2:], ("warning", "OK"), "icon, buttons")
        self.assertEqual(self.box.product_files(), list(PRODUCT_FILES))

    def test_planted_dlls_are_not_loaded(self):
        # Elevated, the program must load no DLL that a user put in its folder: not comctl32,
        # even where the system looks there first, as Wine does for a DLL overridden "native
        # first", and none loaded by name once it runs, as the shell or COM may load one during
        # the removal (here the probe does, in the uninstaller's process). Each row also runs the
        # image with the part that guards against it spoilt, and then sees the planted DLL load.
        raw = EXE.read_bytes()
        dependency = re.search(rb"<dependency>.*?</dependency>", raw).group()
        link = self.box.desktop / "T.lnk"
        # planted as; Wine's override; the probe's switches (None: no probe); how to spoil the
        # image
        rows = [("comctl32.dll", ";comctl32=n,b", None, (dependency, b" " * len(dependency))),
                ("kesprobe.dll", "", {"load": "kesprobe.dll"},
                 (b"SetDefaultDllDirectories", b"SetDefaultDllDirectorieX"))]
        env = self.box.env
        try:
            for name, override, switches, spoil in rows:
                marker = self.box.host(f"C:\\{name}.loaded")
                self.box.env = dict(env, WINEDLLOVERRIDES=env["WINEDLLOVERRIDES"] + override)
                for spoilt in (False, True):
                    with self.subTest(name, spoilt=spoilt):
                        self.box.reset()
                        marker.unlink(missing_ok=True)
                        exe = self.box.install()
                        folder = self.box.host(exe).parent
                        shutil.copy(DRIVER.with_name("planted.dll"), folder / name)
                        if spoilt:
                            self.box.host(exe).write_bytes(raw.replace(*spoil))
                        self.box.driver("link", self.box.win(link), PRODUCT_EXE)
                        out, _ = self.box.removal(exe, **switches or {})
                        self.assertEqual(marker.exists(), spoilt, "the planted DLL was loaded")
                        self.assert_ended(out)
                        self.assertFalse(link.exists(), "the shortcut was not deleted")
                        self.assertEqual(entries(folder), [name])
                marker.unlink(missing_ok=True)
        finally:
            self.box.env = env

if __name__ == "__main__":
    unittest.main()
