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

ROOT = Path(__file__).resolve().parent.parent

# Plays apt-get, dpkg and the loaders after the state file: which packages are installed, the exit
# status of each apt-get update in turn and what apt-get install does ("ok"; "preferred", held
# broken packages unless the release is pinned above 1000 with downgrades allowed; "removes",
# which makes room by removing wine64 unless --no-remove forbids it; "never"). Queries are not
# logged; everything else is, the preferences file by its content.
STAND_IN = r"""
import json, os, sys
from pathlib import Path

name, args = Path(sys.argv[0]).name, sys.argv[1:]
path = Path(os.environ["SETUP_STATE"])
state = json.loads(path.read_text())
installed = state["installed"]

def log(words):
    with open(path.with_name("calls"), "a") as calls:
        calls.write(" ".join(words) + "\n")

def end(code, out="", err=""):
    path.write_text(json.dumps(state))
    path.with_name("installed").write_text(
        "".join(f"{p} {state['versions'].get(p, '1.0')}\n" for p in installed))
    sys.stdout.write(out)
    sys.stderr.write(err)
    sys.exit(code)

if name == "dpkg" and args[0] == "--compare-versions":
    os.execv("/usr/bin/dpkg", ["dpkg"] + args)
if name == "dpkg" and args[0] == "--print-foreign-architectures":
    end(0, "".join(a + "\n" for a in state["foreign"]))
if name in ("wine", "wine64"):
    log([name] + args)
    needs = "wine32:i386" if name == "wine" else "wine64"
    end(0, "wine-8.0\n") if needs in installed else end(127, err="not installed\n")
words, prefs = [name], None
for a in args:
    if a.startswith("Dir::Etc::Preferences="):
        prefs = Path(a.split("=", 1)[1])
        state["prefs"].append(str(prefs))
        a = "Dir::Etc::Preferences=[" + prefs.read_text().strip().replace("\n", " | ") + "]"
    words.append(a)
log(words)
if name == "dpkg" and args[0] == "--add-architecture":
    state["foreign"].append(args[1])
elif name == "apt-get" and args[0] == "update":
    codes = state["update"]
    code = codes[min(state["updates"], len(codes) - 1)]
    state["updates"] += 1
    end(code, err=state["update_error"] if code else "")
elif name == "apt-get" and args[0] == "install":
    mode = state["install"]
    preferred = ("--allow-downgrades" in args and prefs is not None and
                 "Pin: release n=bookworm\nPin-Priority: 1001\n" in prefs.read_text())
    broken = ("The following packages have unmet dependencies:\n libwine:i386 : Depends: "
              "libgstreamer-plugins-base1.0-0:i386 but it is not going to be installed\n",
              "E: Unable to correct problems, you have held broken packages.\n")
    if mode == "never" or mode == "preferred" and not preferred:
        end(100, *broken)
    if mode == "removes" and not preferred:
        if "--no-remove" in args:
            end(100, err="E: Packages need to be removed but remove is disabled.\n")
        installed.remove("wine64")
    installed += [a for n, a in enumerate(args[1:], 1)
                  if not a.startswith("-") and args[n - 1] not in ("-o", "-t")]
    end(0, "Setting up wine32:i386 (8.0~repack-4) ...\n")
end(0)
"""
# The queries asked most often, in shell, which starts faster: dpkg-query from the list of
# installed packages and their versions that the stand-in above keeps.
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
SETUP_PACKAGES = ("cmake ninja-build python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 "
                  "binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 xvfb xauth x11-apps "
                  "imagemagick locales osslsigncode").split()

GAVE_UP = ("setup-wine32: apt-get update failed 3 times; going on with the lists apt has, without "
           "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
           "Packages.xz (File has unexpected size (374820 != 376004). Mirror sync in progress?)")
BROKEN = "Unable to correct problems, you have held broken packages."
RETRY = ("setup-wine32: apt-get install failed ({}){}; trying again with bookworm's own "
         "versions preferred on every architecture")


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
        script.write_text(f"#!{sys.executable} -IS\n{STAND_IN}")
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
        # (apt-get update's exit codes in turn, its standard error, what apt-get install does,
        #  apt_install's arguments) -> (commands, exit status, lines)
        cases = [
            # apt works the first time: quiet, no pause, no second try.
            ((0,), MIRROR, "ok", WINE32, [UPDATE, f"{INSTALL} {WINE32}"], 0, []),
            # A failure that passes is not worth a word.
            ((100, 0), MIRROR, "ok", WINE32, [UPDATE, PAUSE, UPDATE, f"{INSTALL} {WINE32}"],
             0, []),
            ((100,), MIRROR, "ok", WINE32, [*UPDATES, f"{INSTALL} {WINE32}"], 0, [GAVE_UP]),
            ((100,), MIRROR + SECOND, "ok", WINE32, [*UPDATES, f"{INSTALL} {WINE32}"], 0,
             [GAVE_UP + ", http://deb.debian.org/debian/dists/bookworm-backports/main/"
              "binary-amd64/Packages.xz (Hash Sum mismatch)"]),
            ((100,), LOCK, "ok", WINE32, [*UPDATES, f"{INSTALL} {WINE32}"], 0,
             ["setup-wine32: apt-get update failed 3 times (Unable to lock directory "
              "/var/lib/apt/lists/); going on with the lists apt has"]),
            # The fault as found: an index missing, and the install only goes through with
            # the release's versions on both architectures.
            ((100,), MIRROR, "preferred", WINE32,
             [*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"], 0,
             [GAVE_UP, RETRY.format(BROKEN, " with an index missing")]),
            ((0,), MIRROR, "preferred", WINE32,
             [UPDATE, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"], 0,
             [RETRY.format(BROKEN, "")]),
            # Without --no-remove apt would take wine64 away to make room, and say nothing.
            ((0,), MIRROR, "removes", WINE32,
             [UPDATE, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"], 0,
             [RETRY.format("Packages need to be removed but remove is disabled.", "")]),
            ((100,), MIRROR, "never", WINE32,
             [*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}"], 1,
             [GAVE_UP, RETRY.format(BROKEN, " with an index missing"), f"E: {BROKEN}"]),
            # The suite asked for keeps its place beside the release.
            ((0,), MIRROR, "never", "-t bookworm-backports qemu-user",
             [UPDATE, f"{INSTALL} -t bookworm-backports qemu-user",
              f"{INSTALL} --allow-downgrades -o Dir::Etc::Preferences=[{PIN} |  | Package: * | "
              "Pin: release n=bookworm-backports | Pin-Priority: 1001] qemu-user"], 1,
             [RETRY.format(BROKEN, ""), f"E: {BROKEN}"]),
        ]
        for update, error, install, arguments, commands, code, lines in cases:
            with self.subTest(update=update, error=error[:30], install=install):
                setup = SetUp(self, update, install, error)
                # Twice: the lists are brought up to date once a run.
                got = setup.source("scripts/apt.bash", f"apt_update; apt_update; apt_install "
                                   f"{arguments}")
                self.assertEqual(got, (commands, code, lines))
                self.assertIn("wine64", setup.installed())
                self.assertEqual(len(setup.prefs()),
                                 sum("Dir::Etc::Preferences" in c for c in commands))
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
        # (what apt-get install does, commands, exit status, lines)
        first = ["dpkg --add-architecture i386", *UPDATES, f"{INSTALL} {WINE32}"]
        cases = [
            [("preferred", [*first, f"{PREFERRED} {WINE32}", *wine], 0,
              ["setup-wine32: installing wine wine32:i386", GAVE_UP,
               RETRY.format(BROKEN, " with an index missing")]),
             # Once in place: quiet, and apt is not asked.
             ("never", list(wine), 0, [])],
            [("never", [*first, f"{PREFERRED} {WINE32}", *wine], 1,
              ["setup-wine32: installing wine wine32:i386", GAVE_UP,
               RETRY.format(BROKEN, " with an index missing"), f"E: {BROKEN}",
               "setup-wine32: {tmp}/wine/wine not starting (not installed: wine wine32:i386); "
               "run scripts/setup-wine32 again later"]),
             ("preferred", [*UPDATES, f"{INSTALL} {WINE32}", f"{PREFERRED} {WINE32}", *wine], 0,
              ["setup-wine32: installing wine wine32:i386", GAVE_UP,
               RETRY.format(BROKEN, " with an index missing")])],
        ]
        for runs in cases:
            with self.subTest(runs=[r[0] for r in runs]):
                setup = SetUp(self, update=(100,), install="preferred")
                for install, commands, code, lines in runs:
                    state = json.loads(setup.state.read_text())
                    setup.state.write_text(json.dumps(dict(state, install=install)))
                    # The kernel's part, whether a 32-bit program runs, is played too.
                    got = setup.source("scripts/setup-wine32", "probe_i386() { :; }; setup")
                    self.assertEqual(got, (commands, code, lines))
                self.assertIn("wine64", setup.installed())
                self.assertFalse(list((setup.dir / "binfmt").glob("qemu-i386")))

    def test_setup(self):
        locales = ["localedef -i zh_TW -f UTF-8 zh_TW.UTF-8", "localedef -i hi_IN -f UTF-8 "
                   "hi_IN.UTF-8"]
        others = [p for p in SETUP_PACKAGES if p not in ("wine64", "osslsigncode")]
        wanted = "osslsigncode fonts-wine"
        said = [f"Installing: {wanted}", GAVE_UP.replace("setup-wine32:", "setup:"),
                RETRY.format(BROKEN, " with an index missing").replace("setup-wine32:", "setup:")]
        # (what apt-get install does, commands, exit status, lines)
        cases = [
            ("preferred", [*UPDATES, f"{INSTALL} {wanted}", f"{PREFERRED} {wanted}", *locales],
             0, said),
            ("never", [*UPDATES, f"{INSTALL} {wanted}", f"{PREFERRED} {wanted}"], 1,
             [*said, f"E: {BROKEN}",
              f"setup: still not installed: {wanted}; run scripts/setup again later"]),
        ]
        for install, commands, code, lines in cases:
            with self.subTest(install=install):
                setup = SetUp(self, update=(100,), install=install, installed=others)
                self.assertEqual(setup.run("scripts/setup", "fonts-wine"), (commands, code, lines))
                self.assertIn("wine64", setup.installed())
        # Everything there: quiet, apt not asked.
        setup = SetUp(self, update=(100,), installed=[*others, *wanted.split()])
        self.assertEqual(setup.run("scripts/setup", "fonts-wine"), (locales, 0, []))


if __name__ == "__main__":
    unittest.main()
