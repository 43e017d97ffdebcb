#!/usr/bin/env python3
"""Measures the shipped KESTRUNE.EXE under Wine: image sizes, timings against an NSIS peer, and the
scaling of the desktop sweep against two reference walkers, in throwaway Wine sandboxes
(tests/winebox.py) of a 64-bit prefix, where the 32-bit image runs as 64-bit Windows runs it; the
times are taken inside by bench/timer.cpp and bench/walk.cpp. Writes the raw figures, every run's,
to build/bench/figures.json, for bench/report.py. Run by scripts/bench, which builds what this
needs, makes the peer and sets PYTHONPATH and KESTRUNE_BUILD. Environment: BENCH_RUNS (timed runs
per measurement, at least 5; default 7 for the timings, 5 for the sweep), BENCH_SIZES (desktop
tree sizes, default 1000,3000,10000). Exits 1 when a run failed; the figures are written anyway."""
import functools
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path, PureWindowsPath

import pefile

import winebox
from product import INSTALL_DIR
from winebox import Sandbox, listing

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "bench"
FIGURES = OUT / "figures.json"
# The benchmark's own sandboxes: the tests remake theirs whenever they run, which must not pull a
# prefix from under a benchmark running meanwhile.
SANDBOXES = OUT / "sandboxes"
PEER = OUT / "peer-uninstall.exe"
TOOLS = PureWindowsPath(r"C:\bench")
TIMER = TOOLS / "timer.exe"
WALK = TOOLS / "walk.exe"
MAX_DEPTH = 6
SEED = 20240517
NO_SHAPE = {"entries": 0, "dirs": 0, "files": 0, "links": 0, "product": 0, "depth": 0}


def machine(path):
    """The machine a Windows image is for, from its PE header ("i386")."""
    code = pefile.PE(path, fast_load=True).FILE_HEADER.Machine
    return pefile.MACHINE_TYPE[code].removeprefix("IMAGE_FILE_MACHINE_").lower()


def peer_stub():
    """The NSIS stub the peer is made from, named as makensis names it (compressor-target)."""
    nsi = dict(re.findall(r"^(SetCompressor|Target) (\S+)$",
                          (ROOT / "bench" / "peer.nsi").read_text(), re.M))
    return f"{nsi['SetCompressor']}-{nsi['Target']}"


def make_pristine():
    """The pristine prefix of the benchmark's sandboxes, made once by the harness and kept (not
    copied from the tests': a test run may be remaking that one at the same moment)."""
    if (SANDBOXES / "pristine.ok").exists():
        return
    shutil.rmtree(SANDBOXES, ignore_errors=True)
    log("bench: creating a pristine Wine prefix")
    winebox.make_pristine(sandboxes=SANDBOXES)
    (SANDBOXES / "pristine.ok").touch()


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def run(box, program, *args):
    """Runs the timer or the walker in the sandbox (see Sandbox.started, which raises
    AssertionError for a run that failed); returns its 'name value' lines as a dict of numbers,
    with the values of the repeated name 'running' in a list."""
    lines, _ = box.started(program, *map(str, args), announce=PureWindowsPath(program).stem + " ",
                           timeout=300)
    result = {"running": []}
    for name, _, value in (line.partition(" ") for line in lines):
        if name == "running":
            result["running"].append(value)
        else:
            result[name] = float(value)
    return result


def attempt(box, failures, what, step, *args):
    """Makes one run, step(box, *args). One that fails is left out of the figures (None), listed
    with its cause in failures, and the sandbox is brought back to a known state for the next."""
    try:
        return step(box, *args)
    except (AssertionError, subprocess.SubprocessError) as e:
        failures.append(f"{what}: {e}")
        log(f"bench: {what} failed (left out of the figures):\n{e}")
        try:
            box.reset()
        except (AssertionError, OSError, subprocess.SubprocessError) as e2:
            log(f"bench: resetting the sandbox failed too: {e2}")
        return None


# ---------------------------------------------------------------------------------------------
# Desktop trees

def make_tree(n, dest, links):
    """n entries below dest: about 10% shortcuts (alternately to Tivaldor.exe and to another
    program), 8% folders nested at most MAX_DEPTH deep, the rest plain files."""
    rng = random.Random(SEED + n)
    dest.mkdir(parents=True)
    folders = [(dest, 0)]
    shallow = [(dest, 0)]
    stats = dict(NO_SHAPE, entries=n)
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
    box.clear()
    if tree is not None:
        subprocess.run(["cp", "-a", f"{tree}/.", str(box.desktop)], check=True)


# ---------------------------------------------------------------------------------------------
# Runs

def run_removal(box, who, tree=None, link=None):
    """One removal timed by the timer, who 'ours' or 'peer' (uninstall.exe /S in place of ours),
    with the product's files and keys, the tree (a folder) on the desktop and the shortcut link
    (its bytes) as Tivaldor.lnk. What it left: keys, %TEMP% and, without a tree, the desktop."""
    fill_desktop(box, tree)
    exe = box.install(**({"name": "uninstall.exe", "source": PEER} if who == "peer" else {}))
    if link:
        (box.desktop / "Tivaldor.lnk").write_bytes(link)
    r = run(box, TIMER, who, exe, INSTALL_DIR)
    r.update(keys_left=sum(box.keys()), temp_left=listing(box.temp))
    if tree is None:
        r["desktop_left"] = listing(box.desktop)
    return r


def run_walk(box, mode, tree):
    fill_desktop(box, tree)
    return run(box, WALK, mode, box.win(box.desktop))


def check(r, what, notes):
    """Notes, once each, what went wrong in a run that finished all the same."""
    for wrong, problem in [(r.get("exit", 0), f"exit code {r.get('exit', 0):.0f}"),
                           (r.get("keys_left", 0), f"{r.get('keys_left', 0)} key(s) left"),
                           (min(r.get("ok_gone_ms", 0), r.get("start_gone_ms", 0)) < 0,
                            "install folder not gone within 60 s"),
                           (r["running"], "still running: " + ", ".join(r["running"]))]:
        if wrong and f"{what}: {problem}" not in notes:
            notes.append(f"{what}: {problem}")


# ---------------------------------------------------------------------------------------------

def main():
    started = time.time()
    OUT.mkdir(parents=True, exist_ok=True)
    # No figures of an earlier run may be reported as this run's, should this one break off.
    FIGURES.unlink(missing_ok=True)
    load_before = os.getloadavg()[0]
    runs = os.environ.get("BENCH_RUNS")
    figures = {"wine": "unknown: no sandbox started", "cpus": os.cpu_count(),
               "runs": max(5, int(runs or 7)), "sweep_runs": max(5, int(runs or 5)),
               "sizes": [int(s) for s in os.environ.get("BENCH_SIZES", "1000,3000,10000")
                         .split(",") if s],
               "setup": {"image": os.path.relpath(winebox.EXE, ROOT), "stub": peer_stub(),
                         "loader": "none: no sandbox started", "prefix": "none"},
               "images": {"ours": winebox.EXE.stat().st_size, "peer": PEER.stat().st_size},
               "machines": {"ours": machine(winebox.EXE), "peer": machine(PEER)},
               "failures": [], "notes": []}
    box = None
    try:
        make_pristine()
        log("bench: starting the sandbox")
        box = Sandbox("bench", sandboxes=SANDBOXES)
        figures["setup"].update(loader=box.loader, prefix=f"{box.arch}-bit")
        code, lines, err = box.wine("--version", timeout=60)
        figures["wine"] = (lines[0] if code == 0 and lines else
                           f"unknown ({code}: {err.strip()[-200:]})")
        measure(box, figures)
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


def measure(box, figures):
    """The timed runs, each recorded in figures as soon as it is made: a benchmark that stops
    early keeps what it measured."""
    notes = figures["notes"]
    runs = functools.partial(attempt, box, figures["failures"])
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
    timings = figures["timings"] = {"ours": [], "peer": []}
    for who in timings:
        runs(f"warm-up run of {who}", run_removal, who, None, links["exe"])
    for i in range(figures["runs"]):
        for who, done in timings.items():
            r = runs(f"{who}, timed run {i + 1}", run_removal, who, None, links["exe"])
            if r:
                done.append(r)
                check(r, who, notes)
    # What the last run, the peer's, left in %TEMP%.
    timings["peer_temp_bytes"] = sum(f.stat().st_size for f in box.temp.rglob("*")
                                     if f.is_file())

    # Sweep scaling ---------------------------------------------------------------------------
    trees_root = OUT / "trees"
    shutil.rmtree(trees_root, ignore_errors=True)
    trees, shapes = {0: None}, {0: NO_SHAPE}
    for n in figures["sizes"]:
        trees[n] = trees_root / str(n)
        shapes[n] = make_tree(n, trees[n], links)
    figures["sweep"] = []
    for n in [0] + figures["sizes"]:
        log(f"bench: sweep over {n} entries, {figures['sweep_runs']} runs each after a warm-up")
        runs(f"warm-up sweep over {n} entries", run_removal, "ours", trees[n])
        # pairs: each run of ours with the needed-calls walker's run after it
        rows = {"entries": n, "shape": shapes[n], "ours": [], "list": [], "calls": [], "left": [],
                "pairs": []}
        figures["sweep"].append(rows)
        for i in range(figures["sweep_runs"]):
            r = runs(f"sweep over {n} entries, run {i + 1}", run_removal, "ours", trees[n])
            if r:
                check(r, f"sweep {n}", notes)
                rows["ours"].append(r["ok_exit_ms"])
                rows["left"].append(sum(1 for p in box.desktop.rglob("*")
                                        if p.is_file() and p.read_bytes() == links["exe"]))
            for mode in ("list", "calls"):
                w = runs(f"{mode} walker over {n} entries, run {i + 1}", run_walk, mode,
                         trees[n])
                if not w:
                    continue
                rows[mode].append(w["walk_ms"])
                if mode == "calls" and r:
                    rows["pairs"].append((r["ok_exit_ms"], w["walk_ms"]))
                s = shapes[n]
                want = dict(list({"dirs": s["dirs"], "files": s["files"] + s["links"],
                                  "links": s["links"], "product_links": s["product"],
                                  "class_failures": 0, "load_failures": 0}.items())
                            [:6 if mode == "calls" else 2])
                seen = {k: int(w[k]) for k in want}
                if seen != want:
                    notes.append(f"{mode} walker over {n} entries saw {seen}, expected {want}")


if __name__ == "__main__":
    main()
