#!/usr/bin/env python3
"""Measures the shipped KESTRUNE.EXE in Wine sandboxes of a 64-bit prefix: image sizes, timings
against an NSIS peer and the sweep's scaling (docs/maintainers.md); writes every run's figures to
build/bench/figures.json, for bench/report.py. Run by scripts/bench, which builds the timer and
the walker, makes the peer and sets PYTHONPATH and KESTRUNE_BUILD. Environment: BENCH_RUNS
(timed runs per measurement, at least 5; default 7 for the timings, 5 for the sweep), BENCH_SIZES
(desktop tree sizes, default 1000,3000,10000). Exits 1 when a run failed; the figures are written
anyway."""
import contextlib
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
# The benchmark's own sandboxes, with their own pristine prefix: the tests remake theirs whenever
# they run, which must not pull a prefix from under a benchmark running meanwhile.
SANDBOXES = OUT / "sandboxes"
PEER = OUT / "peer-uninstall.exe"
TOOLS = PureWindowsPath(r"C:\bench")
MAX_DEPTH = 6
SEED = 20240517
NO_SHAPE = {"entries": 0, "dirs": 0, "files": 0, "links": 0, "product": 0, "depth": 0}
log = functools.partial(print, file=sys.stderr, flush=True)


def machine(path):
    """The machine a Windows image is for, from its PE header ("i386")."""
    code = pefile.PE(path, fast_load=True).FILE_HEADER.Machine
    return pefile.MACHINE_TYPE[code].removeprefix("IMAGE_FILE_MACHINE_").lower()


def peer_stub():
    """The NSIS stub the peer is made from, named as makensis names it (compressor-target)."""
    nsi = dict(re.findall(r"^(SetCompressor|Target) (\S+)$",
                          (ROOT / "bench" / "peer.nsi").read_text(), re.M))
    return f"{nsi['SetCompressor']}-{nsi['Target']}"


def make_tree(n, dest, links):
    """n entries below dest, the same for every run of n: about 10% shortcuts (alternately to
    Tivaldor.exe and to another program), 8% folders nested at most MAX_DEPTH deep, the rest
    plain files. Returns its shape."""
    rng = random.Random(SEED + n)
    dest.mkdir(parents=True)
    folders, shape = [(dest, 0)], dict(NO_SHAPE, entries=n)
    for i in range(n):
        r, (parent, depth) = rng.random(), rng.choice(folders)
        if r < 0.10:
            product = shape["links"] % 2 == 0
            (parent / f"l{i}.lnk").write_bytes(links[product])
            shape.update(links=shape["links"] + 1, product=shape["product"] + product)
        elif r < 0.18:
            # Half of the new folders go below the newest one, so that chains reach the full
            # depth; one that would go deeper goes beside its parent instead.
            if rng.random() < 0.5:
                parent, depth = folders[-1]
            if depth == MAX_DEPTH:
                parent, depth = parent.parent, depth - 1
            folders.append((parent / f"d{i}", depth + 1))
            folders[-1][0].mkdir()
            shape.update(dirs=shape["dirs"] + 1, depth=max(shape["depth"], depth + 1))
        else:
            ext = rng.choice(("txt", "doc", "ini", "dat", "bmp", "url"))
            (parent / f"f{i}.{ext}").write_bytes(b"plain file %d\r\n" % i)
            shape["files"] += 1
    return shape


def run(box, program, *args):
    """Runs the timer or the walker in the sandbox (see Sandbox.started, which raises
    AssertionError for a run that failed); returns its 'name value' lines as a dict of numbers,
    with the values of the repeated name 'running' in a list."""
    lines, _ = box.started(TOOLS / f"{program}.exe", *map(str, args), announce=program + " ",
                           timeout=300)
    pairs = [line.split(" ", 1) for line in lines]
    return {"running": [v for name, v in pairs if name == "running"],
            **{name: float(v) for name, v in pairs if name != "running"}}


def attempt(box, failures, what, tree, step, *args):
    """Makes one run, step(box, *args), with an empty temporary folder and a fresh copy of the
    folder tree as the desktop (an empty one without). One that fails is left out of the figures
    (None), listed with its cause in failures, and the sandbox is brought back to a known state
    for the next: where even that fails, the benchmark stops."""
    try:
        box.clear()
        if tree is not None:
            subprocess.run(["cp", "-a", f"{tree}/.", str(box.desktop)], check=True)
        return step(box, *args)
    except (AssertionError, subprocess.SubprocessError) as e:
        failures.append(f"{what}: {e}")
        log(f"bench: {what} failed (left out of the figures):\n{e}")
        box.reset()


def removal(box, who, link=None):
    """One removal timed by the timer, who 'ours' or 'peer' (uninstall.exe /S in place of ours),
    with the product's files and keys and the shortcut link (its bytes) as Tivaldor.lnk; and the
    keys and what is in %TEMP% afterwards."""
    exe = box.install(**({"name": "uninstall.exe", "source": PEER} if who == "peer" else {}))
    if link:
        (box.desktop / "Tivaldor.lnk").write_bytes(link)
    r = run(box, "timer", who, exe, INSTALL_DIR)
    r.update(keys_left=sum(box.keys()), temp_left=listing(box.temp))
    return r


def check(r, what, notes):
    """Notes, once each, what went wrong in a removal that finished all the same."""
    for wrong, problem in [(r["exit"], f"exit code {r['exit']:.0f}"),
                           (r["keys_left"], f"{r['keys_left']} key(s) left"),
                           (min(r.get("ok_gone_ms", 0), r.get("start_gone_ms", 0)) < 0,
                            "install folder not gone within 60 s"),
                           (r["running"], "still running: " + ", ".join(r["running"]))]:
        if wrong and f"{what}: {problem}" not in notes:
            notes.append(f"{what}: {problem}")


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
    try:
        if not (SANDBOXES / "pristine.ok").exists():
            shutil.rmtree(SANDBOXES, ignore_errors=True)
            log("bench: creating a pristine Wine prefix")
            winebox.make_pristine(sandboxes=SANDBOXES)
            (SANDBOXES / "pristine.ok").touch()
        log("bench: starting the sandbox")
        with contextlib.closing(Sandbox("bench", sandboxes=SANDBOXES)) as box:
            figures["setup"].update(loader=box.loader, prefix=f"{box.arch}-bit")
            code, lines, err = box.wine("--version", timeout=60)
            figures["wine"] = (lines[0] if code == 0 and lines else
                               f"unknown ({code}: {err.strip()[-200:]})")
            measure(box, figures)
    except Exception as e:  # what was measured is still written
        figures["failures"].append(f"benchmark stopped: {type(e).__name__}: {e}")
        log(f"bench: stopped: {type(e).__name__}: {e}")
    figures["seconds"] = round(time.time() - started, 1)
    figures["load"] = [load_before, os.getloadavg()[0]]
    FIGURES.write_text(json.dumps(figures, indent=1, ensure_ascii=False) + "\n")
    log(f"bench: wrote {FIGURES}")
    if figures["failures"]:
        log(f"bench: {len(figures['failures'])} run(s) failed; see 'Failed runs' in the report")
        sys.exit(1)


def measure(box, figures):
    """The timed runs, each recorded in figures as soon as it is made: a benchmark that stops
    early keeps what it measured. Each measurement's first run (i -1) warms up, uncounted."""
    notes = figures["notes"]
    runs = functools.partial(attempt, box, figures["failures"])
    tools = box.host(str(TOOLS))
    tools.mkdir(parents=True)
    for name in ("timer.exe", "walk.exe"):
        shutil.copy(winebox.BUILD / "bench" / name, tools / name)

    # One shortcut of each target (True: the product's), made through IShellLink once; copied as
    # bytes after.
    box.install(keys=False)
    box.driver("link", TOOLS / "exe.lnk", PureWindowsPath(INSTALL_DIR, "Tivaldor.exe"),
               "link", TOOLS / "other.lnk", r"C:\windows\notepad.exe")
    links = {k == "exe": (tools / f"{k}.lnk").read_bytes() for k in ("exe", "other")}

    log(f"bench: timings, {figures['runs']} runs each after a warm-up")
    timings = figures["timings"] = {"ours": [], "peer": []}
    for i in range(-1, figures["runs"]):
        for who, done in timings.items():
            r = runs(f"{who}, timed run {i + 1}" if i >= 0 else f"warm-up run of {who}", None,
                     removal, who, links[True])
            if r and i >= 0:
                done.append({**r, "desktop_left": listing(box.desktop)})
                check(r, who, notes)
    # What the last run, the peer's, left in %TEMP%.
    timings["peer_temp_bytes"] = sum(f.stat().st_size for f in box.temp.rglob("*")
                                     if f.is_file())

    shutil.rmtree(OUT / "trees", ignore_errors=True)
    figures["sweep"] = []
    for n in [0] + figures["sizes"]:
        tree = OUT / "trees" / str(n) if n else None
        shape = make_tree(n, tree, links) if n else NO_SHAPE
        # pairs: each run of ours with the walker's run right after it (see report.py)
        rows = {"entries": n, "shape": shape, "ours": [], "calls": [], "left": [], "pairs": []}
        figures["sweep"].append(rows)
        want = dict(dirs=shape["dirs"], files=shape["files"] + shape["links"], links=shape["links"],
                    product_links=shape["product"], class_failures=0, load_failures=0)
        log(f"bench: sweep over {n} entries, {figures['sweep_runs']} runs each after a warm-up")
        for i in range(-1, figures["sweep_runs"]):
            r = runs(f"sweep over {n} entries, run {i + 1}" if i >= 0 else
                     f"warm-up sweep over {n} entries", tree, removal, "ours")
            if i < 0:
                continue
            if r:
                check(r, f"sweep {n}", notes)
                rows["ours"].append(r["ok_exit_ms"])
                rows["left"].append(sum(1 for p in box.desktop.rglob("*")
                                        if p.is_file() and p.read_bytes() == links[True]))
            w = runs(f"walker over {n} entries, run {i + 1}", tree, run, "walk",
                     box.win(box.desktop))
            if not w:
                continue
            rows["calls"].append(w["walk_ms"])
            if r:
                rows["pairs"].append((r["ok_exit_ms"], w["walk_ms"]))
            seen = {k: int(w[k]) for k in want}
            if seen != want:
                notes.append(f"walker over {n} entries, run {i + 1} saw {seen}, expected {want}")


if __name__ == "__main__":
    main()
