"""Throwaway Wine sandboxes for running the uninstaller as a black box.

Every sandbox has its own prefix (a copy of one pristine prefix made per test run), its own HOME
and its own X display. The user's folders inside the prefix are real directories, so nothing the
uninstaller does can reach the real home directory."""
import contextlib
import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path, PureWindowsPath

from product import INSTALL_DIR, PRODUCT_FILES
from wineproc import (EMULATED, WINE, WINE32, WINESERVER, describe_run, forget_server_dir,
                      run_program, run_wine, server_dir_file, start_xvfb, stop_server, wine_env)

BUILD = Path(os.environ.get("KESTRUNE_BUILD",
                            Path(__file__).resolve().parent.parent / "build/win32")).resolve()
EXE = BUILD / "KESTRUNE.EXE"
DRIVER = BUILD / "tests" / "driver.exe"
SANDBOXES = BUILD / "sandboxes"
PRISTINE = SANDBOXES / "pristine"

VIRTUAL_DESKTOP = [(r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
                   (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "800x600")]
# Where a row makes folders of its own (beside decoys, with names the code pages cannot spell);
# every reset removes it.
SCRATCH = r"C:\acc"
# The system folder's command interpreter, in a prefix of either width, as a program of the
# prefix's own width is told.
SYSTEM_CMD = r"C:\windows\system32\cmd.exe"
# No debugger: a program that crashes ends at once instead of waiting in winedbg; a 32-bit one
# reads the setting in the 32-bit view.
AEDEBUG = r"Microsoft\Windows NT\CurrentVersion\AeDebug"
NO_DEBUGGER = [(f"HKLM\\Software\\{view}{AEDEBUG}", "Debugger", "")
               for view in ("", "Wow6432Node\\")]


def own_user_folders(prefix):
    """Makes the user folders of a new prefix real folders: Wine links them to HOME's, and
    nothing the uninstaller does may reach beyond the sandbox."""
    for user in (prefix / "drive_c" / "users").iterdir():
        for entry in user.iterdir():
            if entry.is_symlink():
                entry.unlink()
                entry.mkdir()


def make_pristine(sandboxes=SANDBOXES):
    """Creates the pristine prefix that every sandbox of this test run copies, in sandboxes."""
    pristine, home = sandboxes / "pristine", sandboxes / "pristine-home"
    for old in (pristine, home):
        if old.exists():
            shutil.rmtree(old)
    (home / "Desktop").mkdir(parents=True)
    env = wine_env(home, pristine)
    errors = sandboxes / "pristine.log"  # quoted when a step fails
    errors.write_bytes(b"")
    run_wine([WINE, "wineboot", "-i"], env, errors, timeout=900, check=True)
    # A virtual desktop: Wine draws the window frames itself and, with no window manager
    # under Xvfb, does not wait two seconds for one whenever a window is destroyed.
    for key, name, value in VIRTUAL_DESKTOP + NO_DEBUGGER:
        run_wine([WINE, "reg", "add", key, "/v", name, "/d", value, "/f"], env, errors,
                 timeout=300, check=True)
    run_wine([WINESERVER, "-w"], env, errors, timeout=900, check=True)
    forget_server_dir(pristine)
    own_user_folders(pristine)
    shutil.rmtree(home)


def digest(root):
    """Everything below root: relative path -> 'link', 'dir' or a hash of the file's bytes."""
    return {p.relative_to(root).as_posix(): "link" if p.is_symlink() else "dir" if p.is_dir()
            else hashlib.sha1(p.read_bytes()).hexdigest() for p in sorted(Path(root).rglob("*"))}


def entries(folder):
    """The names in folder, sorted; None where it is gone."""
    return sorted(p.name for p in Path(folder).iterdir()) if Path(folder).is_dir() else None


def listing(folder):
    """Everything below folder, as sorted relative paths ('/' after folders)."""
    return sorted(p.relative_to(folder).as_posix() + ("/" if p.is_dir() else "")
                  for p in Path(folder).rglob("*"))


class ProbeLog:
    """What the probe logged in one run (PROBE_CALLS), a call a line as "name value"; a name with
    a dot ("CreateProcessA.result") gives a detail of the call before it."""

    def __init__(self, lines):
        self.lines = lines

    def __bool__(self):
        return bool(self.lines)

    def calls(self):
        """The calls without their details: (name, value), the value a number where it is one."""
        pairs = (line.partition(" ")[::2] for line in self.lines)
        return [(name, int(value) if re.fullmatch(r"-?\d+", value) else value)
                for name, value in pairs if "." not in name]

    def detail(self, name):
        """The value of the first line so named, or None."""
        return next((line.partition(" ")[2] for line in self.lines
                     if line.partition(" ")[0] == name), None)

    def start(self):
        """How the script was started: CreateProcessA's application name ("(none)" for none),
        command line and current directory; None where CreateProcessA was not called."""
        application = self.detail("CreateProcessA.application")
        return application and (application, self.detail("CreateProcessA.command"),
                                self.detail("CreateProcessA.directory"))

    def created(self):
        """The script's path as the uninstaller first created it, or None."""
        line = self.detail("file.CreateFileA")
        return line and line.split(" ", 2)[2]

    def started(self):
        """The id of the process CreateProcessA started, or None where it failed or was not
        called."""
        result = (self.detail("CreateProcessA.result") or "0 0 0").split()
        return int(result[1]) if result[0] == "1" else None

    def lost_start(self):
        """Whether CreateProcessA failed with ERROR_INTERNAL_ERROR: Wine's answer when the
        process it made ended before it ran, on a busy machine, whatever was started."""
        return (self.detail("CreateProcessA.result") or "").split()[::2] == ["0", "1359"]

    def since(self, name):
        """The lines from the first call so named on, for failure messages."""
        names = [line.partition(" ")[0] for line in self.lines]
        return self.lines[names.index(name):] if name in names else []


class Probe(contextlib.AbstractContextManager):
    """The probe's log for the runs of one scenario, gone afterwards: setup holds the driver
    commands that switch it on (with the given PROBE_* switches) for the uninstaller started
    next, into which the driver's "probe" loads it once the dialog is there (Sandbox.run with
    probed), or which "start-probed" starts with it there from the start; log reads what it has
    logged so far."""

    def __init__(self, box, switches):
        self.path = box.host(r"C:\calls.txt")
        self.path.unlink(missing_ok=True)
        self.setup = ("setenv", "PROBE_CALLS", box.win(self.path))
        for name, value in switches.items():
            self.setup += ("setenv", f"PROBE_{name.upper()}", str(value))

    def __exit__(self, *exception):
        self.path.unlink(missing_ok=True)

    @property
    def log(self):
        return ProbeLog(self.path.read_text("utf-8").splitlines() if self.path.exists() else [])


class WineLostScript(AssertionError):
    """The uninstaller started its script and Wine ran none of it: CreateProcessA succeeded, the
    script is still there byte for byte, and no interpreter runs; or CreateProcessA failed with
    ERROR_INTERNAL_ERROR, the interpreter's new process having ended before it ran (see
    ProbeLog.lost_start). Wine does this now and then to a start on a busy machine, as it does to
    the harness's own starts (see run_wine)."""


class Drive:
    """A prefix's drive C: as the harness sees it from Linux, which needs no Wine: paths both
    ways, the user's folders, and what a removal left there."""

    def __init__(self, prefix, user):
        self.prefix = prefix
        self.user = PureWindowsPath("C:/users", user)
        self.desktop = self.host(self.user / "Desktop")
        self.temp = self.host(self.user / "Temp")
        self.batch = self.user / "Temp" / "Tivaldor.bat"  # where the script goes by default

    def host(self, windows_path):
        """The Linux path of a path on the sandbox's drive C:."""
        p = PureWindowsPath(windows_path)
        assert p.drive.upper() == "C:", windows_path
        return self.prefix.joinpath("drive_c", *p.parts[1:])

    def win(self, host_path):
        """The Windows path of a Linux path inside the sandbox's drive C:."""
        rel = Path(host_path).relative_to(self.prefix / "drive_c")
        return str(PureWindowsPath("C:\\", *rel.parts))

    def what_stayed(self, exe, log=None, batch=None):
        """What is left of a removal, for failure messages: the install folder's and the temporary
        folder's entries, the script's bytes, and the probe's lines (log, a ProbeLog) from the
        script's start on."""
        batch = self.host(batch or self.batch)
        folders = {"install": self.host(exe).parent, "temporary": batch.parent}
        text = [f"{kind} folder {folder.name}: {entries(folder) if folder.is_dir() else 'gone'}"
                for kind, folder in folders.items()]
        if batch.is_file():
            text.append(f"script: {batch.read_bytes()!r}")
        if log:
            lines = [line for line in log.lines if line.startswith("file.")]
            lines += log.since("CreateProcessA")
            text.append("probe: " + " | ".join(lines or ["nothing"]))
        return "\n".join(text)

    def assert_removed(self, exe, log=None, kept=(), batch=None, script=None):
        """After a run with OK and settle(): the uninstaller and its script are gone, the
        temporary folder is empty, and the install folder is gone or (kept) holds exactly those
        entries. A failure says what stayed. Where the script (its expected bytes) is still there
        untouched while CreateProcessA had started it, or Wine had lost that start (log, the
        probe's ProbeLog), and nothing runs any more, it raises WineLostScript instead."""
        path = self.host(batch or self.batch)
        left = (entries(self.host(exe).parent), entries(path.parent) or [])
        if left == (sorted(kept) if kept else None, []):
            return
        message = f"the removal did not finish\n{self.what_stayed(exe, log, batch)}"
        if (log and script is not None and (log.started() is not None or log.lost_start()) and
                self.host(exe).exists() and left[1] == [path.name] and
                path.read_bytes() == script):
            raise WineLostScript(message)
        raise AssertionError(message)


class Sandbox(Drive):
    """A throwaway Wine sandbox, whose programs (the uninstaller, the driver) are 32-bit and run
    through Wine's 32-bit loader. arch 64: a copy of the pristine 64-bit prefix, as 64-bit Windows
    runs a 32-bit program (its HKLM\\Software redirected, its system folder SysWOW64); arch 32: a
    32-bit prefix of its own, as 32-bit Windows, made with as few Wine starts as can be, since each
    may go through QEMU. patience stretches the driver's built-in waits and the time a run may
    take (by 20 under QEMU); locale (e.g. ja_JP.UTF-8) sets the code pages of its Wine
    processes; sandboxes is the folder it lives in, whose pristine prefix it copies."""

    def __init__(self, name, locale=None, arch=64, patience=20 if EMULATED else 1,
                 sandboxes=SANDBOXES):
        pristine = sandboxes / "pristine"
        if arch == 64 and not pristine.is_dir():
            raise RuntimeError(f"no pristine Wine prefix at {pristine}; run the prefix setup first")
        self.arch, self.patience, self.locale = arch, patience, locale
        self.loader = WINE32
        self.root = sandboxes / name
        self.prefix = self.root / "prefix"
        self.home = self.root / "home"
        self.xvfb = None
        self.env = self.environment()
        if self.root.exists():
            # Left by a run that was killed: its persistent server must not outlive the folder.
            if self.prefix.is_dir():
                stop_server(self.env)
            self.remove_root()
        try:
            (self.home / "Desktop").mkdir(parents=True)
            wine_log = self.root / "wine.log"
            if arch == 64:
                subprocess.run(["cp", "-a", str(pristine), str(self.prefix)], check=True)
                # Without a record of its server's socket folder (the pristine prefix has none),
                # this prefix gets a folder of its own. Shared, a new prefix that reuses the
                # inode of one just deleted would reach a socket of the same name as the old
                # one's server.
                server_dir_file(self.prefix).unlink(missing_ok=True)
            else:
                run_wine([WINE32, "wineboot", "-i"], self.env, wine_log, timeout=1200, check=True)
                run_wine([WINESERVER, "-w"], self.env, wine_log, timeout=600, check=True)
                own_user_folders(self.prefix)
            # The driver runs from a copy inside the sandbox: relinked while a suite runs, the
            # built one is half-written for a moment, and Wine then exits 1 without a word.
            harness = self.prefix / "drive_c" / "harness"
            harness.mkdir()
            for built in (DRIVER, DRIVER.with_name("probe.dll")):
                shutil.copy(built, harness / built.name)
            self.driver_exe = harness / DRIVER.name
            super().__init__(self.prefix, next(d.name for d in (self.prefix / "drive_c" / "users")
                                               .iterdir() if d.name != "Public"))
            self.xvfb, display = start_xvfb()
            self.env = self.environment(display)
            # A server kept alive between runs spares each test Wine's start-up of its
            # services.
            run_wine([WINESERVER, "-p"], self.env, wine_log, timeout=60, check=True)
        except BaseException:
            self.close()
            raise

    def environment(self, display=None):
        env = wine_env(self.home, self.prefix, display, self.locale)
        if self.arch == 32:
            env["WINEARCH"] = "win32"
        env["DRIVER_PATIENCE"] = str(self.patience)
        return env

    def wine(self, program, *args, timeout=180):
        """Runs any Windows program in the sandbox, such as Wine's own reg (see run_wine): exit
        code, output lines and what Wine and the program wrote to standard error meanwhile (kept
        in the sandbox's wine.log)."""
        return run_wine([self.loader, program, *args], self.env, self.root / "wine.log",
                        timeout=timeout * self.patience)

    def started(self, program, *args, announce, timeout=180):
        """Runs one of the harness's Windows-side programs in the sandbox (see run_program)."""
        return run_program([self.loader, program, *args], self.env, self.root / "wine.log",
                           announce=announce, timeout=timeout * self.patience,
                           describe=self.describe)

    def describe(self, lines, err):
        """The output and the end of the standard error of a run, for failure messages."""
        text = describe_run(lines, err)
        if self.xvfb and self.xvfb.poll() is not None:
            text += f"\n--- the X server has exited ({self.xvfb.returncode})"
        return text

    def driver(self, *args, timeout=180):
        """Runs the driver with the given commands; returns its output lines between its
        announce line and its last line."""
        lines, _ = self.started(self.driver_exe, *args, announce="driver ", timeout=timeout)
        return lines

    def settle(self, seconds=60):
        """Waits until no uninstaller or batch script runs in the sandbox any more."""
        assert self.driver("wait-idle", seconds) == ["idle 1"], "a script is still running"

    def reset(self):
        """Back to the pristine state: no leftover processes, keys, desktop, temporary files or
        product folder."""
        self.driver("cleanup")
        self.clear()

    def clear(self):
        """Empties the desktop and the temporary folder and removes the product folder and the
        scratch folder."""
        for folder in (self.desktop, self.temp, self.host(INSTALL_DIR), self.host(SCRATCH)):
            if folder.exists():
                subprocess.run(["chmod", "-R", "u+w", str(folder)], check=True)
                shutil.rmtree(folder)
        self.desktop.mkdir()
        self.temp.mkdir()

    def scratch(self):
        """Makes the scratch folder (SCRATCH), empty; returns its host path."""
        folder = self.host(SCRATCH)
        folder.mkdir()
        return folder

    def close(self):
        if self.prefix.is_dir():
            stop_server(self.env)
        if self.xvfb:
            self.xvfb.kill()
            self.xvfb.wait()
        if not os.environ.get("KEEP_SANDBOX"):  # kept to be looked at; replaced by the next run
            self.remove_root()

    def remove_root(self):
        """Removes the sandbox and its server's socket folder (after the server has ended)."""
        forget_server_dir(self.prefix)
        subprocess.run(["chmod", "-R", "u+w", str(self.root)], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)

    def install(self, directory=INSTALL_DIR, files=PRODUCT_FILES, keys=True, name="KESTRUNE.EXE",
                source=None):
        """Installs the product: its files and the uninstaller (as name, a copy of source, by
        default the image built) in directory, and its keys."""
        target = self.host(directory)
        target.mkdir(parents=True, exist_ok=True)
        for file in files:
            (target / file).write_bytes(b"product file " + file.encode())
        shutil.copy(source or EXE, target / name)
        if keys:
            self.driver("regadd")
        return PureWindowsPath(directory, name)

    def product_files(self):
        """The product's files still in the install folder, in their usual order."""
        return [f for f in PRODUCT_FILES if (self.host(INSTALL_DIR) / f).exists()]

    def state(self):
        """What the uninstaller may touch: product folder, desktop and temporary folder."""
        return {str(folder): digest(folder)
                for folder in (self.host(INSTALL_DIR), self.desktop, self.temp)}

    def keys(self, view=None):
        """Which of the product's two registry keys exist, in order (uninstall, app paths): in
        the driver's own view, the 32-bit one where a 32-bit installer writes them, or in view
        32 or 64."""
        view = [view] if view else []
        return [line.startswith("key 1") for line in self.driver("regcheck", *view)]

    def probe(self, **switches):
        """The probe's log for the runs inside a with statement (see Probe)."""
        return Probe(self, switches)

    def run(self, exe, *actions, before=(), probed=False, finish=60, after=(), timeout=180):
        """Starts the uninstaller after the driver commands before, waits for its dialog (and
        loads the probe into it, if probed), performs actions and returns the output once it has
        exited (message boxes reported as 'box caption<TAB>text<TAB>icon<TAB>buttons' and
        dismissed) and the commands after have run."""
        return self.driver(*before, "start", exe, "wait-dialog", *("probe",) * probed, *actions,
                           "finish", finish, *after, timeout=timeout)

    def removal(self, exe, *actions, before=(), after=(), **switches):
        """Runs the uninstaller (see run) with the probe loaded, with its switches, performs
        actions and OK, and waits for its script (settle); returns the output and the probe's
        log."""
        with self.probe(**switches) as probe:
            out = self.run(exe, *actions, *OK, before=probe.setup + tuple(before), probed=True,
                           after=after)
            self.settle()
            return out, probe.log

    @staticmethod
    def temp_at(folder):
        """The driver commands that give the uninstaller started next folder as its temporary
        folder."""
        return ("setenv", "TEMP", folder, "setenv", "TMP", folder)


def boxes(output, details=False):
    """The message boxes seen: (caption, text), or with details (caption, text, icon, buttons),
    the icon one of warning, error, information, question, other, none."""
    return [tuple(line[4:].split("\t")[:4 if details else 2]) for line in output
            if line.startswith("box ")]


def exit_code(output):
    codes = [int(line.split()[1]) for line in output if line.startswith("exit ")]
    assert len(codes) == 1, output
    return codes[0]


# The bits of the probe's answer (the driver's "probe" line), as probe.cpp sets
# them: it ran; the dialog class has an icon; the system menu has Size, Maximize, Move, Close,
# Minimize.
PROBE_DONE, PROBE_ICON, PROBE_SIZE, PROBE_MAXIMIZE, PROBE_MOVE, PROBE_CLOSE, PROBE_MINIMIZE = \
    1, 2, 4, 8, 16, 32, 64


def probe_bits(output):
    """The probe's answer in the output of the driver's "probe"."""
    return int(next(line.split()[1] for line in output if line.startswith("probe ")))


WM_CLOSE, WM_COMMAND = 0x0010, 0x0111
IDOK, IDCANCEL = 1, 2
VK_RETURN, VK_ESCAPE = 0x0D, 0x1B
OK = ("post", WM_COMMAND, IDOK, 0)


if __name__ == "__main__":  # ctest's wine-prefix: the pristine prefix of this build's sandboxes
    make_pristine()
