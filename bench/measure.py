#!/usr/bin/env python3
"""Measures KESTRUNE.EXE under Wine: image sizes, timings against an NSIS peer, and the scaling of
the desktop sweep against two reference walkers. Every run happens in a throwaway Wine sandbox
(tests/winebox.py); the times are taken inside it by bench/timer.cpp and bench/walk.cpp.

Writes the raw figures, every run's, to build/bench/figures.json; bench/report.py makes the
report from them. Run by scripts/bench, which builds what this needs and puts tests/ on
PYTHONPATH. Environment: BENCH_RUNS (timed runs per measurement, at least 5; default 7 for the
timings, 5 for the sweep), BENCH_SIZES (desktop tree sizes, default 1000,3000,10000). Exits 1
when a run failed; the figures are written all the same."""
import json
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path, PureWindowsPath

import winebox
import wineproc
from product import INSTALL_DIR
from winebox import Sandbox, listing
from wineproc import WINE, wine_env

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "bench"
FIGURES = OUT / "figures.json"
IMAGE32 = ROOT / "build" / "win32" / "KESTRUNE.EXE"
PEER = OUT / "peer-uninstall.exe"
TOOLS = PureWindowsPath(r"C:\bench")
TIMER = TOOLS / "timer.exe"
WALK = TOOLS / "walk.exe"
PEER_NAME = "uninstall.exe"
MAX_DEPTH = 6
SEED = 20240517


def settings(environ):
    """How many runs and which tree sizes, from BENCH_RUNS and BENCH_SIZES."""
    runs = environ.get("BENCH_RUNS")
    return {"runs": max(5, int(runs or 7)), "sweep_runs": max(5, int(runs or 5)),
            "sizes": [int(s) for s in environ.get("BENCH_SIZES", "1000,3000,10000").split(",")
                      if s]}


def own_sandboxes():
    """Points the harness at sandboxes of the benchmark's own, below build/bench: the tests
    recreate build/win64/sandboxes whenever they run, which must not pull a prefix from under a
    benchmark running meanwhile. The pristine prefix is made once by the harness and kept (not
    copied from the tests': a test run may be remaking that one at the same moment)."""
    winebox.SANDBOXES = OUT / "sandboxes"
    winebox.PRISTINE = winebox.SANDBOXES / "pristine"
    if (winebox.SANDBOXES / "pristine.ok").exists():
        return
    if winebox.SANDBOXES.exists():
        shutil.rmtree(winebox.SANDBOXES)
    log("bench: creating a pristine Wine prefix")
    winebox.make_pristine()
    (winebox.SANDBOXES / "pristine.ok").touch()


def wine_version():
    """Wine's version, asked like any other start: through the harness, with a home and prefix
    of the benchmark's own (which Wine does not even create for this)."""
    sandboxes = OUT / "sandboxes"
    code, lines, err = wineproc.run_wine(
        [WINE, "--version"], wine_env(sandboxes / "version-home", sandboxes / "pristine"),
        OUT / "wine.log", timeout=60)
    return lines[0] if code == 0 and lines else f"unknown ({code}: {err.strip()[-200:]})"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


class RunFailed(Exception):
    """A timed run that failed; the message gives its output and Wine's standard error."""


def wine(box, program, *args, timeout=300):
    """Runs one of the benchmark's Windows programs (timer.exe or walk.exe, which announce
    themselves first and print their status last) in the sandbox; returns its 'name value'
    lines as a dict (values of the repeated name 'running' collected in a list). A run Wine did
    not start is retried by the harness, and one after which only Wine crashed is kept (see
    wineproc.judge); one that failed raises RunFailed."""
    name = PureWindowsPath(program).stem
    try:
        lines, err = box.started(program, *args, announce=name + " ", timeout=timeout)
    except AssertionError as e:
        raise RunFailed(str(e)) from None
    if any(line.startswith("error") for line in lines):
        raise RunFailed(f"{name} {' '.join(map(str, args))} reported an error\n" +
                        box.describe(lines, err))
    result = {"running": []}
    for line in lines:
        name, _, value = line.partition(" ")
        if name == "running":
            result["running"].append(value)
            continue
        try:
            result[name] = float(value)
        except ValueError:
            result[name] = value
    return result


def count_bytes(folder, data):
    return sum(1 for p in Path(folder).rglob("*") if p.is_file() and p.read_bytes() == data)


# ---------------------------------------------------------------------------------------------
# Desktop trees

def make_tree(n, dest, links):
    """n entries below dest: about 10% shortcuts (alternately to Tivaldor.exe and to another
    program), 8% folders nested at most MAX_DEPTH deep, the rest plain files."""
    rng = random.Random(SEED + n)
    dest.mkdir(parents=True)
    folders = [(dest, 0)]
    shallow = [(dest, 0)]
    stats = {"entries": n, "dirs": 0, "files": 0, "links": 0, "product": 0, "depth": 0}
    for i in range(n):
        r = rng.random()
        if r < 0.10:
            parent, _ = rng.choice(folders)
            product = stats["links"] % 2 == 0
            (parent / f"l{i}.lnk").write_bytes(links["exe" if product else "other"])
            stats["links"] += 1
            stats["product"] += product
        elif r < 0.18:
            # Half of the new folders go below the newest one that may still have children, so
            # that chains reach the full depth.
            parent, depth = shallow[-1] if rng.random() < 0.5 else rng.choice(shallow)
            path = parent / f"d{i}"
            path.mkdir()
            folders.append((path, depth + 1))
            if depth + 1 < MAX_DEPTH:
                shallow.append((path, depth + 1))
            stats["dirs"] += 1
            stats["depth"] = max(stats["depth"], depth + 1)
        else:
            parent, _ = rng.choice(folders)
            ext = rng.choice(("txt", "doc", "ini", "dat", "bmp", "url"))
            (parent / f"f{i}.{ext}").write_bytes(b"plain file %d\r\n" % i)
            stats["files"] += 1
    return stats


def fill_desktop(box, tree):
    if tree is not None:
        subprocess.run(["cp", "-a", f"{tree}/.", str(box.desktop)], check=True)


# ---------------------------------------------------------------------------------------------
# Runs

def run_ours(box, tree=None, link=None):
    box.clear()
    exe = box.install()
    fill_desktop(box, tree)
    if link:
        (box.desktop / "Tivaldor.lnk").write_bytes(link)
    r = wine(box, TIMER, "ours", exe, INSTALL_DIR)
    r["keys_left"] = sum(box.keys())
    r["temp_left"] = listing(box.temp)
    return r


def run_peer(box, link):
    box.clear()
    box.install()
    folder = box.host(INSTALL_DIR)
    (folder / "KESTRUNE.EXE").unlink()
    shutil.copy(PEER, folder / PEER_NAME)
    (box.desktop / "Tivaldor.lnk").write_bytes(link)
    r = wine(box, TIMER, "peer", PureWindowsPath(INSTALL_DIR, PEER_NAME), INSTALL_DIR)
    r["keys_left"] = sum(box.keys())
    r["temp_left"] = listing(box.temp)
    r["desktop_left"] = listing(box.desktop)
    return r


def run_walk(box, mode, tree):
    box.clear()
    fill_desktop(box, tree)
    return wine(box, WALK, mode, box.win(box.desktop))


def check(r, what, notes):
    problems = []
    if r.get("exit", 0) != 0:
        problems.append(f"exit code {r['exit']:.0f}")
    if r.get("keys_left", 0):
        problems.append(f"{r['keys_left']:.0f} key(s) left")
    if r.get("ok_gone_ms", 0) < 0 or r.get("start_gone_ms", 0) < 0:
        problems.append("install folder not gone within 60 s")
    if r["running"]:
        problems.append("still running: " + ", ".join(r["running"]))
    for p in problems:
        note = f"{what}: {p}"
        if note not in notes:
            notes.append(note)


class Runs:
    """Performs the timed runs. A run that fails is left out of the figures, noted with its
    cause in failures, and the sandbox is brought back to a known state for the next one."""

    def __init__(self, box, failures):
        self.box = box
        self.failures = failures

    def __call__(self, what, run, *args, **kwargs):
        try:
            return run(self.box, *args, **kwargs)
        except (RunFailed, AssertionError, subprocess.SubprocessError) as e:
            self.failures.append(f"{what}: {e}")
            log(f"bench: {what} failed (left out of the figures):\n{e}")
            try:
                self.box.reset()
            except (AssertionError, OSError, subprocess.SubprocessError) as e2:
                log(f"bench: resetting the sandbox failed too: {e2}")
            return None


# ---------------------------------------------------------------------------------------------

def main():
    started = time.time()
    OUT.mkdir(parents=True, exist_ok=True)
    # No figures of an earlier run may be reported as this run's, should this one break off.
    FIGURES.unlink(missing_ok=True)
    load_before = os.getloadavg()[0]
    figures = {"wine": wine_version(), "cpus": os.cpu_count(), **settings(os.environ),
               "images": {"i686": IMAGE32.stat().st_size,
                          "x86_64": winebox.EXE.stat().st_size,
                          "peer": PEER.stat().st_size},
               "failures": [], "notes": []}
    box = None
    try:
        own_sandboxes()
        log("bench: starting the sandbox")
        box = Sandbox("bench")
        measure(box, Runs(box, figures["failures"]), figures)
    except Exception as e:  # what was measured is still written
        figures["failures"].append(f"benchmark stopped: {type(e).__name__}: {e}")
        log(f"bench: stopped: {type(e).__name__}: {e}")
    finally:
        if box:
            box.close()
    figures["seconds"] = round(time.time() - started, 1)
    figures["load"] = [load_before, os.getloadavg()[0]]
    FIGURES.write_text(json.dumps(figures, indent=1, ensure_ascii=False) + "\n")
    log(f"bench: wrote {FIGURES}")
    if figures["failures"]:
        log(f"bench: {len(figures['failures'])} run(s) failed; see 'Failed runs' in the report")
        sys.exit(1)


def measure(box, runs, figures):
    """The timed runs, each recorded in figures as soon as it is made: a benchmark that stops
    early keeps what it measured."""
    notes = figures["notes"]
    tools = box.host(str(TOOLS))
    tools.mkdir(parents=True)
    for name in ("timer.exe", "walk.exe"):
        shutil.copy(winebox.BUILD / "bench" / name, tools / name)

    # One shortcut of each target, made through IShellLink once; copied as bytes after.
    box.clear()
    box.install(keys=False)
    box.driver("link", TOOLS / "exe.lnk", PureWindowsPath(INSTALL_DIR, "Tivaldor.exe"),
               "link", TOOLS / "other.lnk", r"C:\windows\notepad.exe")
    links = {k: (tools / f"{k}.lnk").read_bytes() for k in ("exe", "other")}

    # Timings against the peer --------------------------------------------------------------
    log(f"bench: timings, {figures['runs']} runs each after a warm-up")
    runs("warm-up run of ours", run_ours, link=links["exe"])
    runs("warm-up run of the peer", run_peer, links["exe"])
    timings = figures["timings"] = {"ours": [], "peer": []}
    for i in range(figures["runs"]):
        r = runs(f"ours, timed run {i + 1}", run_ours, link=links["exe"])
        if r:
            timings["ours"].append(r)
            check(r, "ours", notes)
            if r["temp_left"] or listing(box.desktop):
                notes.append(f"ours left: temp {r['temp_left']}, desktop {listing(box.desktop)}")
        r = runs(f"peer, timed run {i + 1}", run_peer, links["exe"])
        if r:
            timings["peer"].append(r)
            check(r, "peer", notes)
    # What the last run, the peer's, left in %TEMP%.
    timings["peer_temp_bytes"] = sum(f.stat().st_size for f in box.temp.rglob("*")
                                     if f.is_file())

    # Sweep scaling ---------------------------------------------------------------------------
    trees_root = OUT / "trees"
    if trees_root.exists():
        shutil.rmtree(trees_root)
    trees = {0: None}
    shapes = {0: {"entries": 0, "dirs": 0, "files": 0, "links": 0, "product": 0, "depth": 0}}
    for n in figures["sizes"]:
        trees[n] = trees_root / str(n)
        shapes[n] = make_tree(n, trees[n], links)
    figures["sweep"] = []
    for n in [0] + figures["sizes"]:
        log(f"bench: sweep over {n} entries, {figures['sweep_runs']} runs each after a warm-up")
        runs(f"warm-up sweep over {n} entries", run_ours, trees[n])
        # pairs: each run of ours with the needed-calls walker's run after it
        rows = {"entries": n, "shape": shapes[n], "ours": [], "list": [], "calls": [], "left": [],
                "pairs": []}
        figures["sweep"].append(rows)
        for i in range(figures["sweep_runs"]):
            r = runs(f"sweep over {n} entries, run {i + 1}", run_ours, trees[n])
            if r:
                check(r, f"sweep {n}", notes)
                rows["ours"].append(r["ok_exit_ms"])
                rows["left"].append(count_bytes(box.desktop, links["exe"]))
            for mode in ("list", "calls"):
                w = runs(f"{mode} walker over {n} entries, run {i + 1}", run_walk, mode,
                         trees[n])
                if not w:
                    continue
                rows[mode].append(w["walk_ms"])
                if mode == "calls" and r:
                    rows["pairs"].append((r["ok_exit_ms"], w["walk_ms"]))
                seen = (w["dirs"], w["files"])
                if mode == "calls":
                    seen += (w["links"], w["product_links"], w["class_failures"],
                             w["load_failures"])
                want = (shapes[n]["dirs"], shapes[n]["files"] + shapes[n]["links"],
                        shapes[n]["links"], shapes[n]["product"], 0, 0)[:len(seen)]
                if seen != want:
                    notes.append(f"{mode} walker over {n} entries saw (folders, files, "
                                 f"links, product links, GetClassFile and Load "
                                 f"failures) = {tuple(int(v) for v in seen)}, "
                                 f"expected {want}")


if __name__ == "__main__":
    main()
