"""How the set-up (scripts/setup, scripts/setup-wine32 and their scripts/apt.bash) gets past a
package mirror caught mid-sync: apt-get update that keeps failing on one index, an install that
only goes through with the release's own versions preferred, or that would remove the other
architecture's Wine. apt-get, dpkg and the rest are stand-ins first on PATH, which log what they
are asked to do; the real ones are never run."""
import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent

# Plays apt-get, dpkg, the loaders and the rest after the state file (its docstring says how).
STAND_IN = Path(__file__).resolve().parent / "standins" / "setup_tools.py"
PLAYED = ("apt-get", "dpkg", "dpkg-query", "sleep", "mount", "localedef", "locale", "id")

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
WANT, AGAIN = f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"  # the install, and its second try
GAVE_UP = ("setup-wine32: apt-get update failed 3 times; going on with the lists apt has, without "
           "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
           "Packages.xz (File has unexpected size (374820 != 376004). Mirror sync in progress?)")
BROKEN = "Unable to correct problems, you have held broken packages."
RETRY = ("setup-wine32: apt-get install failed ({}){}; trying again with bookworm's own "
         "versions preferred on every architecture")
MISSING = RETRY.format(BROKEN, " with an index missing")


class Run(NamedTuple):
    """A run against the stand-ins, and what it must give."""
    commands: list  # what the stand-ins were asked to do, in order
    lines: list = []  # what the scripts say
    code: int = 0  # the exit status (apt_install's, or the script's)
    update: tuple = (0,)  # apt-get update's exit statuses in turn, the last one repeated
    error: str = MIRROR  # apt-get update's standard error when it fails
    install: str = "ok"  # what apt-get install does (see the stand-in)
    arguments: str = WINE32  # apt_install's, where the row calls it
    codename: str = "bookworm"  # the release's, in os-release ("": none)


class SetUp:
    """A temporary folder with the stand-ins first on PATH, a binfmt_misc folder, QEMU and
    Wine's loaders, and the state the stand-ins play: every package installed but those
    absent."""

    def __init__(self, case, absent=("wine", "wine32:i386")):
        self.case, self.dir = case, Path(case.enterContext(tempfile.TemporaryDirectory()))
        for folder in ("bin", "wine", "binfmt", "apt/sources.list.d"):
            (self.dir / folder).mkdir(parents=True)
        (self.dir / "binfmt" / "register").touch()
        (self.dir / "qemu-i386").touch(mode=0o755)
        for name in [f"bin/{name}" for name in PLAYED] + ["wine/wine", "wine/wine64"]:
            (self.dir / name).symlink_to(STAND_IN)
        self.state = self.dir / "state"
        self.state.write_text(json.dumps({"absent": list(absent), "foreign": [],
                                          "versions": {"qemu-user": "1:10.0"}, "updates": 0}))
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("APT_")}
        self.env.update(PATH=f"{self.dir}/bin:{os.environ['PATH']}", SETUP_STATE=str(self.state),
                        APT_OS_RELEASE=str(self.dir / "os-release"))

    def check(self, row, *command):
        """Runs command with the stand-ins and the os-release playing row; checks what they were
        asked to do, the exit status and what was said against row, that wine64 stays, and that
        apt got a preferences file for each command that names one, gone afterwards."""
        (self.dir / "os-release").write_text(
            "ID=debian\n" + (f"VERSION_CODENAME={row.codename}\n" if row.codename else ""))
        self.state.write_text(json.dumps(dict(self.played(), update=row.update, prefs=[],
                                              update_error=row.error, install=row.install)))
        calls = self.dir / "calls"
        calls.write_text("")
        done = subprocess.run(command, cwd=ROOT, env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60)
        output = done.stdout.replace(str(self.dir), "{tmp}").splitlines()
        self.case.assertEqual((calls.read_text().splitlines(), done.returncode, output),
                              (row.commands, row.code, row.lines))
        played = self.played()
        self.case.assertNotIn("wine64", played["absent"])
        self.case.assertEqual(len(played["prefs"]),
                              sum("Dir::Etc::Preferences" in c for c in row.commands))
        self.case.assertFalse([p for p in played["prefs"] if Path(p).exists()])

    def source(self, row, script, line):
        """Checks a line of bash with the script sourced and its paths pointed here."""
        paths = (f"BINFMT={self.dir}/binfmt ENTRY={self.dir}/binfmt/qemu-i386 "
                 f"QEMU={self.dir}/qemu-i386 WINE={self.dir}/wine APT_ETC={self.dir}/apt")
        self.check(row, "bash", "-c", f"set -euo pipefail; . {script}; {paths}; {line}",
                   "scripts/setup-wine32")

    def played(self):
        """The stand-ins' state: "absent" the packages, "prefs" the preference files apt got."""
        return json.loads(self.state.read_text())


class AptTest(unittest.TestCase):
    """scripts/apt.bash: apt_update, then apt_install, as setup-wine32 calls them."""

    def test_failure_modes(self):
        # Each row: apt_update twice (the lists are brought up to date once a run), then
        # apt_install; the fields left out are apt working the first time and installing wine32.
        rows = [
            # apt works the first time: quiet, no pause, no second try.
            Run(commands=[UPDATE, WANT]),
            # A failure that passes is not worth a word.
            Run(update=(100, 0), commands=[UPDATE, PAUSE, UPDATE, WANT]),
            Run(update=(100,), commands=[*UPDATES, WANT], lines=[GAVE_UP]),
            Run(update=(100,), error=MIRROR + SECOND, commands=[*UPDATES, WANT],
                lines=[GAVE_UP + ", http://deb.debian.org/debian/dists/bookworm-backports/"
                       "main/binary-amd64/Packages.xz (Hash Sum mismatch)"]),
            Run(update=(100,), error=LOCK, commands=[*UPDATES, WANT],
                lines=["setup-wine32: apt-get update failed 3 times (Unable to lock directory "
                       "/var/lib/apt/lists/); going on with the lists apt has"]),
            # The fault as found: an index missing, and the install only goes through with
            # the release's versions on both architectures.
            Run(update=(100,), install="preferred", commands=[*UPDATES, WANT, AGAIN],
                lines=[GAVE_UP, MISSING]),
            Run(install="preferred", commands=[UPDATE, WANT, AGAIN],
                lines=[RETRY.format(BROKEN, "")]),
            # Without a codename nothing is preferred: apt's error, and no second try.
            Run(install="preferred", codename="", code=1, commands=[UPDATE, WANT],
                lines=[f"E: {BROKEN}"]),
            # Without --no-remove apt would take wine64 away to make room, and say nothing.
            Run(install="removes", commands=[UPDATE, WANT, AGAIN],
                lines=[RETRY.format("Packages need to be removed but remove is disabled.", "")]),
            Run(update=(100,), install="never", code=1, commands=[*UPDATES, WANT, AGAIN],
                lines=[GAVE_UP, MISSING, f"E: {BROKEN}"]),
            # The suite asked for keeps its place beside the release.
            Run(install="never", arguments="-t bookworm-backports qemu-user", code=1,
                commands=[UPDATE, f"{INSTALL} -t bookworm-backports qemu-user",
                          f"{INSTALL} --allow-downgrades -o Dir::Etc::Preferences=[{PIN} |  | "
                          f"{PIN.replace('bookworm', 'bookworm-backports')}] qemu-user"],
                lines=[RETRY.format(BROKEN, ""), f"E: {BROKEN}"]),
        ]
        for row in rows:
            with self.subTest(update=row.update, error=row.error[:30], install=row.install,
                              codename=row.codename):
                SetUp(self).source(row, "scripts/apt.bash",
                                   f"apt_update; apt_update; apt_install {row.arguments}")

    def test_pause_from_the_environment(self):
        setup = SetUp(self)
        setup.env["APT_RETRY_PAUSE"] = "0"
        setup.source(Run(update=(100, 100, 0),
                         commands=[UPDATE, "sleep 0", UPDATE, "sleep 0", UPDATE]),
                     "scripts/apt.bash", "apt_update")


class ScriptsTest(unittest.TestCase):
    """The two scripts whole, with every update failing on the mirror's index; each row one run
    after another on the same machine, so that a run after a failure shows it completes."""

    def test_setup_wine32(self):
        wine = "wine64 --version", "wine --version"
        said = ["setup-wine32: installing wine wine32:i386", GAVE_UP, MISSING]
        first = ["dpkg --add-architecture i386", *UPDATES, WANT, AGAIN, *wine]
        cases = [
            [Run(install="preferred", commands=first, lines=said, update=(100,)),
             # Once in place: quiet, and apt is not asked.
             Run(install="never", commands=list(wine), update=(100,))],
            [Run(install="never", commands=first, code=1, update=(100,), lines=[
                *said, f"E: {BROKEN}", "setup-wine32: {tmp}/wine/wine not starting (not "
                "installed: wine wine32:i386); run scripts/setup-wine32 again later"]),
             Run(install="preferred", commands=first[1:], lines=said, update=(100,))],
        ]
        for runs in cases:
            with self.subTest(runs=[r.install for r in runs]):
                setup = SetUp(self)
                for run in runs:
                    # The kernel's part, whether a 32-bit program runs, is played too.
                    setup.source(run, "scripts/setup-wine32", "probe_i386() { :; }; setup")
                self.assertFalse(list((setup.dir / "binfmt").glob("qemu-i386")))

    def test_setup(self):
        locales = ["localedef -i zh_TW -f UTF-8 zh_TW.UTF-8",
                   "localedef -i hi_IN -f UTF-8 hi_IN.UTF-8"]
        wanted = "osslsigncode fonts-wine"
        tried = [*UPDATES, f"{INSTALL} {wanted}", f"{PREFERRED} {wanted}"]
        said = [f"Installing: {wanted}", *(s.replace("setup-wine32:", "setup:")
                                           for s in (GAVE_UP, MISSING))]
        # Each row: the packages absent, one of the set-up's own and one asked for, then a run.
        rows = [
            (wanted, Run(update=(100,), install="preferred", lines=said,
                         commands=[*tried, *locales])),
            (wanted, Run(update=(100,), install="never", code=1, commands=tried, lines=[
                *said, f"E: {BROKEN}",
                f"setup: still not installed: {wanted}; run scripts/setup again later"])),
            # Everything there: quiet, apt not asked.
            ("", Run(update=(100,), commands=locales)),
        ]
        for absent, run in rows:
            with self.subTest(absent=absent, install=run.install):
                SetUp(self, absent=absent.split()).check(run, "scripts/setup", "fonts-wine")


if __name__ == "__main__":
    unittest.main()
