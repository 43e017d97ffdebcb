"""How the set-up (scripts/setup, scripts/setup-wine32 and their scripts/apt.bash) gets past a
package mirror caught mid-sync: apt-get update that keeps failing on one index, an install that
only goes through with the release's own versions preferred, or that would remove the other
architecture's Wine. apt-get, dpkg and the rest are stand-ins first on PATH, which log what they
are asked to do; the real ones are never run."""
import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent

# Plays apt-get, dpkg, the loaders and the rest after the state file (its docstring says how).
STAND_IN = Path(__file__).resolve().parent / "standins" / "setup_tools.py"
# The queries asked most often, in shell, which starts faster: dpkg-query from the list of
# installed packages and their versions that the stand-in keeps.
QUERIES = {
    "dpkg-query": r"""for package; do :; done
awk -v p="$package" -v f="$2" '$1 == p { printf "%s", f ~ /Version/ ? $2 : "install ok installed"
    found = 1 } END { exit !found }' "${SETUP_STATE%/*}/installed" ||
    { echo "dpkg-query: no packages found matching $package" >&2; exit 1; }""",
    "locale": r"printf 'C\nC.utf8\nPOSIX\nja_JP.utf8\n'",
    "id": "echo 0",
}

MIRROR = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
          "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in "
          "progress? [IP: 151.101.2.132 80]\n"
          "   Hashes of expected file:\n"
          "    - Filesize:376004 [weak]\n"
          "   Release file created at: Sat, 14 Jun 2025 08:49:39 +0000\n"
          "E: Some index files failed to download. They have been ignored, or old ones used "
          "instead.\n")
SECOND = ("E: Failed to fetch http://deb.debian.org/debian/dists/bookworm-backports/main/"
          "binary-amd64/Packages.xz  Hash Sum mismatch\n")
LOCK = ("E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 "
        "(apt-get)\nE: Unable to lock directory /var/lib/apt/lists/\n")

UPDATE, PAUSE = "apt-get update -qq", "sleep 15"
UPDATES = [UPDATE, PAUSE, UPDATE, PAUSE, UPDATE]
INSTALL = "apt-get install -y -qq --no-install-recommends --no-remove"
PIN = "Package: * | Pin: release n=bookworm | Pin-Priority: 1001"
PREFERRED = f"{INSTALL} --allow-downgrades -o Dir::Etc::Preferences=[{PIN}]"
WINE32 = "wine wine32:i386"
SETUP_PACKAGES = ("cmake ninja-build python3 python3-pefile g++-mingw-w64-i686 "
                  "binutils-mingw-w64-i686 wine64 xvfb xauth x11-apps "
                  "imagemagick locales osslsigncode").split()

GAVE_UP = ("setup-wine32: apt-get update failed 3 times; going on with the lists apt has, without "
           "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
           "Packages.xz (File has unexpected size (374820 != 376004). Mirror sync in progress?)")
BROKEN = "Unable to correct problems, you have held broken packages."
RETRY = ("setup-wine32: apt-get install failed ({}){}; trying again with bookworm's own "
         "versions preferred on every architecture")



class Update(NamedTuple):
    """A run of apt_update and apt_install against the stand-ins, and what it must give."""
    commands: list  # what the stand-ins were asked to do, in order
    lines: list = []  # what the scripts say
    code: int = 0  # apt_install's exit status
    update: tuple = (0,)  # apt-get update's exit statuses in turn, the last one repeated
    error: str = MIRROR  # apt-get update's standard error when it fails
    install: str = "ok"  # what apt-get install does (see the stand-in)
    arguments: str = WINE32  # apt_install's


class Run(NamedTuple):
    """A run of a whole set-up script, every apt-get update failing on the mirror's index."""
    install: str  # what apt-get install does (see the stand-in)
    commands: list  # what the stand-ins were asked to do, in order
    lines: list = []  # what the script says
    code: int = 0  # the script's exit status


class SetUp:
    """A temporary folder with the stand-ins first on PATH, an os-release, a binfmt_misc
    folder, QEMU and Wine's loaders, and the state the stand-ins play."""

    def __init__(self, case, update=(0,), install="ok", update_error=MIRROR, installed=(),
                 codename="bookworm"):
        self.dir = Path(case.enterContext(tempfile.TemporaryDirectory()))
        bin_dir, wine = self.dir / "bin", self.dir / "wine"
        bin_dir.mkdir()
        wine.mkdir()
        (self.dir / "binfmt").mkdir()
        (self.dir / "binfmt" / "register").touch()
        (self.dir / "apt" / "sources.list.d").mkdir(parents=True)
        (self.dir / "qemu-i386").touch(mode=0o755)
        (self.dir / "os-release").write_text(
            "ID=debian\n" + (f"VERSION_CODENAME={codename}\n" if codename else ""))
        script = self.dir / "stand-in.py"
        script.write_text(f"#!{sys.executable} -IS\n{STAND_IN.read_text()}")
        script.chmod(0o755)
        for name in ("apt-get", "dpkg", "sleep", "mount", "localedef"):
            (bin_dir / name).symlink_to(script)
        for name, body in QUERIES.items():
            (bin_dir / name).write_text(f"#!/bin/sh\n{body}\n")
            (bin_dir / name).chmod(0o755)
        for name in ("wine", "wine64"):
            (wine / name).symlink_to(script)
        self.state = self.dir / "state"
        self.state.write_text(json.dumps({
            "installed": ["wine64", "qemu-user", *installed], "versions": {"qemu-user": "1:10.0"},
            "foreign": [], "update": list(update), "updates": 0, "update_error": update_error,
            "install": install, "prefs": []}))
        (self.dir / "installed").write_text("qemu-user 1:10.0\n" + "".join(
            f"{p} 1.0\n" for p in ["wine64", *installed]))
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("APT_")}
        self.env.update(PATH=f"{bin_dir}:{os.environ['PATH']}", SETUP_STATE=str(self.state),
                        APT_OS_RELEASE=str(self.dir / "os-release"))

    def run(self, *command):
        calls = self.dir / "calls"
        calls.unlink(missing_ok=True)
        done = subprocess.run(command, cwd=ROOT, env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60)
        commands = calls.read_text().splitlines() if calls.exists() else []
        output = done.stdout.replace(str(self.dir), "{tmp}").splitlines()
        return commands, done.returncode, output

    def source(self, script, line):
        """Runs a line of bash with the script sourced and its paths pointed here."""
        paths = (f"BINFMT={self.dir}/binfmt "
                 f"ENTRY={self.dir}/binfmt/qemu-i386 QEMU={self.dir}/qemu-i386 "
                 f"WINE={self.dir}/wine APT_ETC={self.dir}/apt")
        return self.run("bash", "-c", f"set -euo pipefail; . {script}; {paths}; {line}",
                        "scripts/setup-wine32")

    def installed(self):
        return json.loads(self.state.read_text())["installed"]

    def prefs(self):
        return json.loads(self.state.read_text())["prefs"]


class AptTest(unittest.TestCase):
    """scripts/apt.bash: apt_update, then apt_install, as setup-wine32 calls them."""

    def test_failure_modes(self):
        # Each row: apt_update twice (the lists are brought up to date once a run), then
        # apt_install; the fields left out are apt working the first time and installing wine32.
        rows = [
            # apt works the first time: quiet, no pause, no second try.
            Update(commands=[UPDATE, f"{INSTALL} {WINE32}"]),
            # A failure that passes is not worth a word.
            Update(update=(100, 0), commands=[UPDATE, PAUSE, UPDATE, f"{INSTALL} {WINE32}"]),
            Update(update=(100,), commands=[*UPDATES, f"{INSTALL} {WINE32}"], lines=[GAVE_UP]),
            Update(update=(100,), error=MIRROR + SECOND,
                   commands=[*UPDATES, f"{INSTALL} {WINE32}"],
                   lines=[GAVE_UP + ", http://deb.debian.org/debian/dists/bookworm-backports/"
                          "main/binary-amd64/Packages.xz (Hash Sum mismatch)"]),
            Update(update=(100,), error=LOCK, commands=[*UPDATES, f"{INSTALL} {WINE32}"],
                   lines=["setup-wine32: apt-get update failed 3 times (Unable to lock directory "
                          "/var/lib/apt/lists/); going on with the lists apt has"]),
            # The fault as found: an index missing, and the install only goes through with
            # the release's versions on both architectures.
            Update(update=(100,), install="preferred",
                   commands=[*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"],
                   lines=[GAVE_UP, RETRY.format(BROKEN, " with an index missing")]),
            Update(install="preferred",
                   commands=[UPDATE, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"],
                   lines=[RETRY.format(BROKEN, "")]),
            # Without --no-remove apt would take wine64 away to make room, and say nothing.
            Update(install="removes",
                   commands=[UPDATE, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"],
                   lines=[RETRY.format("Packages need to be removed but remove is disabled.",
                                       "")]),
            Update(update=(100,), install="never", code=1,
                   commands=[*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"],
                   lines=[GAVE_UP, RETRY.format(BROKEN, " with an index missing"),
                          f"E: {BROKEN}"]),
            # The suite asked for keeps its place beside the release.
            Update(install="never", arguments="-t bookworm-backports qemu-user", code=1,
                   commands=[UPDATE, f"{INSTALL} -t bookworm-backports qemu-user",
                             f"{INSTALL} --allow-downgrades -o Dir::Etc::Preferences=[{PIN} |  | "
                             "Package: * | Pin: release n=bookworm-backports | Pin-Priority: "
                             "1001] qemu-user"],
                   lines=[RETRY.format(BROKEN, ""), f"E: {BROKEN}"]),
        ]
        for row in rows:
            with self.subTest(update=row.update, error=row.error[:30], install=row.install):
                setup = SetUp(self, update=row.update, install=row.install, update_error=row.error)
                got = setup.source("scripts/apt.bash", f"apt_update; apt_update; apt_install "
                                   f"{row.arguments}")
                self.assertEqual(got, (row.commands, row.code, row.lines))
                self.assertIn("wine64", setup.installed())
                self.assertEqual(len(setup.prefs()),
                                 sum("Dir::Etc::Preferences" in c for c in row.commands))
                self.assertFalse([p for p in setup.prefs() if Path(p).exists()])

    def test_without_a_codename_nothing_is_preferred(self):
        setup = SetUp(self, install="preferred", codename="")
        got = setup.source("scripts/apt.bash", f"apt_update; apt_install {WINE32}")
        self.assertEqual(got, ([UPDATE, f"{INSTALL} {WINE32}"], 1, [f"E: {BROKEN}"]))

    def test_pause_from_the_environment(self):
        setup = SetUp(self, update=(100, 100, 0))
        setup.env["APT_RETRY_PAUSE"] = "0"
        got = setup.source("scripts/apt.bash", "apt_update")
        self.assertEqual(got, ([UPDATE, "sleep 0", UPDATE, "sleep 0", UPDATE], 0, []))


class ScriptsTest(unittest.TestCase):
    """The two scripts whole, with every update failing on the mirror's index; each row one run
    after another on the same machine, so that a run after a failure shows it completes."""

    def test_setup_wine32(self):
        wine = "wine64 --version", "wine --version"
        first = ["dpkg --add-architecture i386", *UPDATES, f"{INSTALL} {WINE32}"]
        cases = [
            [Run(install="preferred", commands=[*first, f"{PREFERRED} {WINE32}", *wine],
                 lines=["setup-wine32: installing wine wine32:i386", GAVE_UP,
                        RETRY.format(BROKEN, " with an index missing")]),
             # Once in place: quiet, and apt is not asked.
             Run(install="never", commands=list(wine))],
            [Run(install="never", commands=[*first, f"{PREFERRED} {WINE32}", *wine], code=1,
                 lines=["setup-wine32: installing wine wine32:i386", GAVE_UP,
                        RETRY.format(BROKEN, " with an index missing"), f"E: {BROKEN}",
                        "setup-wine32: {tmp}/wine/wine not starting (not installed: wine "
                        "wine32:i386); run scripts/setup-wine32 again later"]),
             Run(install="preferred",
                 commands=[*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}", *wine],
                 lines=["setup-wine32: installing wine wine32:i386", GAVE_UP,
                        RETRY.format(BROKEN, " with an index missing")])],
        ]
        for runs in cases:
            with self.subTest(runs=[r.install for r in runs]):
                setup = SetUp(self, update=(100,), install="preferred")
                for run in runs:
                    state = json.loads(setup.state.read_text())
                    setup.state.write_text(json.dumps(dict(state, install=run.install)))
                    # The kernel's part, whether a 32-bit program runs, is played too.
                    got = setup.source("scripts/setup-wine32", "probe_i386() { :; }; setup")
                    self.assertEqual(got, (run.commands, run.code, run.lines))
                self.assertIn("wine64", setup.installed())
                self.assertFalse(list((setup.dir / "binfmt").glob("qemu-i386")))

    def test_setup(self):
        locales = ["localedef -i zh_TW -f UTF-8 zh_TW.UTF-8", "localedef -i hi_IN -f UTF-8 "
                   "hi_IN.UTF-8"]
        others = [p for p in SETUP_PACKAGES if p not in ("wine64", "osslsigncode")]
        wanted = "osslsigncode fonts-wine"
        said = [f"Installing: {wanted}", GAVE_UP.replace("setup-wine32:", "setup:"),
                RETRY.format(BROKEN, " with an index missing").replace("setup-wine32:", "setup:")]
        runs = [
            Run(install="preferred", lines=said,
                commands=[*UPDATES, f"{INSTALL} {wanted}", f"{PREFERRED} {wanted}", *locales]),
            Run(install="never", code=1,
                commands=[*UPDATES, f"{INSTALL} {wanted}", f"{PREFERRED} {wanted}"],
                lines=[*said, f"E: {BROKEN}",
                       f"setup: still not installed: {wanted}; run scripts/setup again later"]),
        ]
        for run in runs:
            with self.subTest(install=run.install):
                setup = SetUp(self, update=(100,), install=run.install, installed=others)
                self.assertEqual(setup.run("scripts/setup", "fonts-wine"),
                                 (run.commands, run.code, run.lines))
                self.assertIn("wine64", setup.installed())
        # Everything there: quiet, apt not asked.
        setup = SetUp(self, update=(100,), installed=[*others, *wanted.split()])
        self.assertEqual(setup.run("scripts/setup", "fonts-wine"), (locales, 0, []))

if __name__ == "__main__":
    unittest.main()
