"""Starting Wine's processes and judging their runs: the loaders and the server, the
environment of a prefix, the X server, the rules for a start that Wine did not carry out (made
again) and for Wine crashing after a program has ended (reported), the last line a harness
program prints. test_harness checks these rules without Wine."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"  # the 32-bit loader, through QEMU where the kernel cannot run it
WINESERVER = "/usr/lib/wine/wineserver"
# Where the kernel runs no 32-bit programs, scripts/setup-wine32 has QEMU's user-mode emulator
# run them, Wine's 32-bit side included: every start and wait then takes many times as long.
QEMU_ENTRY = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
EMULATED = QEMU_ENTRY.is_file() and QEMU_ENTRY.read_text().startswith("enabled")


def wine_env(home, prefix, display=None, locale=None):
    """The environment of Wine's processes; a locale (e.g. ja_JP.UTF-8) sets their code pages."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("WINE") and k not in ("DISPLAY", "TEMP", "TMP")}
    env.update(HOME=str(home), WINEPREFIX=str(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
    if display:
        env["DISPLAY"] = display
    if locale:
        env.update(LANG=locale, LC_ALL=locale)
    return env


def start_xvfb():
    """Starts an X server on a free display; returns the process and the display name."""
    read, write = os.pipe()
    # -noreset: by default the server resets whenever its last client leaves, and refuses
    # connections meanwhile.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read)
    return xvfb, ":" + number.decode().strip()


def log(message):
    """A note of the harness's own (a retry, a crash it forgave) on standard error."""
    print(f"harness: {message}", file=sys.stderr, flush=True)


# What glibc's loader prints when it asserts while a Linux process tears down; Wine's own side of
# a program can hit it after the program has ended, and then exits 127.
LOADER_CRASH = "Inconsistency detected by ld.so"
LAST_LINE = re.compile(r"end (-?\d+)")


class RunError(Exception):
    """A run of a harness program that failed; the message says why, in one line."""


# Every start goes through run_wine. Now and then, on a busy machine, Wine gives up on a start
# before the program runs: exit status 1, not a word on standard output or error, after well
# under a second. Such a start is made again, at most twice.
ATTEMPTS = 3
QUICK = 5  # seconds; a start that fails sooner without a word has run nothing


def title(command):
    """A start as logged: the program's name and its arguments, Wine's loader left out."""
    program, *args = map(str, command)
    if Path(program).name in ("wine", "wine64") and args and not args[0].startswith("-"):
        program, *args = args
    return " ".join([PureWindowsPath(program).name, *args])[:200]


def describe_run(lines, err):
    """The output and the end of the standard error of a run, for messages."""
    return "--- output:\n" + "\n".join(lines) + "\n--- standard error:\n" + err[-3000:]


def run_wine(command, env, errors, *, timeout, announce=None, check=False):
    """Runs one Wine process (the loader with a program, or wineserver) and waits for it.
    Returns its exit status (a string for one that timed out), its output lines and what was
    written to standard error meanwhile, which goes to the file errors: Wine's services, started
    by the first program, keep it open. With check, a status other than 0 raises RunError.

    A start that Wine did not carry out is made again, at most twice, and each retry is logged.
    For one of the harness's Windows-side programs (announce given), that is a run whose output
    does not begin with its announce line, printed before it does anything: the program may have
    failed to load in many ways, and its commands have effects, so only that line tells. For any
    other start, it is a start that exited with 1 within QUICK seconds and wrote nothing at all."""
    for attempt in range(1, ATTEMPTS + 1):
        with open(errors, "ab+") as log_file, tempfile.TemporaryFile() as out:
            start, began = log_file.tell(), time.monotonic()
            try:
                code = subprocess.run(list(map(str, command)), env=env, timeout=timeout,
                                      stdout=out, stderr=log_file).returncode
            except subprocess.TimeoutExpired:
                code = f"timeout after {timeout} s"
            quick = time.monotonic() - began < QUICK
            out.seek(0)
            log_file.seek(start)
            output = out.read().decode("utf-8", "replace")
            err = log_file.read().decode("utf-8", "replace")
        lines = output.splitlines()
        if announce is None:
            missed = code == 1 and quick and not output and not err
        else:
            missed = isinstance(code, int) and not (lines and lines[0].startswith(announce))
        if not missed or attempt == ATTEMPTS:
            break
        log(f"retrying {title(command)} (attempt {attempt + 1} of {ATTEMPTS}): Wine did not "
            f"start it, exit code {code}" +
            (f"\n{describe_run(lines, err)}" if output or err else ""))
    if check and code != 0:
        raise RunError(f"{title(command)} failed ({code}); standard error:\n"
                       f"{err[-3000:] or '(empty)'}")
    return code, lines, err


def judge(name, lines, err, code):
    """Decides a finished run of one of the harness's Windows-side programs from its output
    lines (after its announce line), what Wine wrote to standard error meanwhile and the exit
    status (a string for a run that timed out). The program prints 'end <status>' as its very
    last line; that status counts. Should the exit status differ because Wine's Linux side
    crashed in the loader after the program had ended, the run stands. Returns the output lines
    without the last one and a note to log (or None); raises RunError otherwise."""
    if not isinstance(code, int):
        raise RunError(f"{name} did not finish: {code}")
    last = LAST_LINE.fullmatch(lines[-1]) if lines else None
    if not last:
        raise RunError(f"{name} did not finish: no last line 'end <status>' (exit status {code})")
    status = int(last[1])
    if status != 0:
        raise RunError(f"{name} failed (status {status}, exit status {code})")
    if code == status:
        return lines[:-1], None
    crash = next((line.strip() for line in err.splitlines() if LOADER_CRASH in line), None)
    if crash is None:
        raise RunError(f"{name} ended with status {status} but exited with {code}")
    return lines[:-1], f"Wine crashed after {name} finished (status {code}): {crash}"


def run_program(command, env, errors, *, announce, timeout, describe=describe_run):
    """Runs one of the harness's Windows-side programs (command: Wine's loader, the program and
    its arguments), whose first output line starts with announce and whose last line is
    'end <status>'; returns the output lines between them and its standard error. Without the
    first line Wine did not start the program at all, which happens on its own on a busy
    machine: run_wine makes such a run again, at most twice. Any other failure (see judge)
    raises AssertionError, with the run's output and standard error as describe(lines, err) puts
    them; a crash of Wine after the program has ended is only logged."""
    program, args = command[1], tuple(command[2:])
    name = PureWindowsPath(str(program)).name
    code, lines, err = run_wine(command, env, errors, timeout=timeout, announce=announce)
    if lines and lines[0].startswith(announce):
        try:
            output, note = judge(name, lines[1:], err, code)
        except RunError as e:
            raise AssertionError(f"{e}: {args}\n{describe(lines[1:], err)}") from None
        if note:
            log(note)
        return output, err
    if not isinstance(code, int):
        raise AssertionError(f"{name} did not even start within the time: {code}: "
                             f"{args}\n{describe(lines, err)}")
    raise AssertionError(f"Wine did not start {name} ({code}), {ATTEMPTS} times: {args}\n" +
                         describe(lines, err))


def server_dir_file(prefix):
    """Debian's Wine names the folder of a prefix's server socket (a fresh /tmp/wine-XXXXXX per
    prefix) in this file, and the socket itself after the prefix folder's inode."""
    return Path(prefix) / "wineserver"


def forget_server_dir(prefix):
    """Removes the prefix's record of its server's socket folder, and the folder (once its
    server has ended)."""
    record = server_dir_file(prefix)
    if record.is_file():
        name = record.read_text().strip()
        folder = Path(os.environ.get("TMPDIR", "/tmp"), name)
        if re.fullmatch(r"wine-[A-Za-z0-9]{6}", name) and folder.is_dir() and all(
                entry.name.startswith("server-") for entry in folder.iterdir()):
            shutil.rmtree(folder, ignore_errors=True)
        record.unlink()


def stop_server(env):
    """Ends the prefix's server and everything running in it, and waits until it is gone. Not
    through run_wine: with no server running, 'wineserver -k' exits 1 without a word at once,
    which is an answer here, not a start to retry."""
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
