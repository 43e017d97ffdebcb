#!/usr/bin/env python3
"""Benchmark of KESTRUNE.EXE: image sizes, timings under Wine against an NSIS peer, and the
scaling of the desktop sweep against two reference walkers. Every run happens in a throwaway Wine
sandbox (tests/winebox.py); the times are taken inside it by bench/timer.cpp and bench/walk.cpp.

Writes build/bench/results.md, build/bench/sweep.dat and build/bench/sweep.png, and prints the
tables. Environment: BENCH_RUNS (timed runs per measurement, at least 5; default 7 for the
timings, 5 for the sweep), BENCH_SIZES (desktop tree sizes, default 1000,3000,10000)."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path, PureWindowsPath

ROOT = Path(__file__).resolve().parent.parent
os.environ.setdefault("KESTRUNE_BUILD", str(ROOT / "build" / "win64"))
sys.path.insert(0, str(ROOT / "tests"))
import winebox  # noqa: E402
from winebox import INSTALL_DIR, WINE, Sandbox  # noqa: E402

OUT = ROOT / "build" / "bench"
IMAGE32 = ROOT / "build" / "win32" / "KESTRUNE.EXE"
IMAGE64 = winebox.EXE
PEER = OUT / "peer-uninstall.exe"
TOOLS = PureWindowsPath(r"C:\bench")
TIMER = TOOLS / "timer.exe"
WALK = TOOLS / "walk.exe"
PEER_NAME = "uninstall.exe"
RUNS = max(5, int(os.environ.get("BENCH_RUNS", "7")))
SWEEP_RUNS = max(5, int(os.environ.get("BENCH_RUNS", "5")))
SIZES = [int(s) for s in os.environ.get("BENCH_SIZES", "1000,3000,10000").split(",") if s]
MAX_DEPTH = 6
SEED = 20240517


def own_sandboxes():
    """Points the harness at sandboxes of the benchmark's own, below build/bench: the tests
    recreate build/win64/sandboxes whenever they run, which must not pull a prefix from under a
    benchmark running meanwhile. The pristine prefix is a copy of the tests' one when that is
    there, else made anew by the harness."""
    shared = winebox.PRISTINE
    winebox.SANDBOXES = OUT / "sandboxes"
    winebox.PRISTINE = winebox.SANDBOXES / "pristine"
    if (winebox.PRISTINE / "system.reg").exists():
        return
    if winebox.SANDBOXES.exists():
        shutil.rmtree(winebox.SANDBOXES)
    if (shared / "system.reg").exists() and (shared / "drive_c" / "users").is_dir():
        log("bench: copying the tests' pristine Wine prefix")
        winebox.SANDBOXES.mkdir(parents=True)
        subprocess.run(["cp", "-a", str(shared), str(winebox.PRISTINE) + ".part"], check=True)
        os.rename(str(winebox.PRISTINE) + ".part", winebox.PRISTINE)
    else:
        log("bench: creating a pristine Wine prefix")
        winebox.make_pristine()


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def wine(box, *args, timeout=300):
    """Runs a Windows program in the sandbox; returns its 'name value' lines as a dict (values
    of repeated names collected in lists under names ending in 's')."""
    proc = subprocess.run([WINE, *map(str, args)], env=box.env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = proc.stdout.decode("utf-8", "replace").splitlines()
    if proc.returncode != 0 or any(line.startswith("error") for line in lines):
        raise RuntimeError(f"{args} failed ({proc.returncode}):\n" + "\n".join(lines))
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


def listing(folder):
    """Everything below folder, as sorted relative paths ('/' after folders)."""
    return sorted(p.relative_to(folder).as_posix() + ("/" if p.is_dir() else "")
                  for p in Path(folder).rglob("*"))


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


def stats(values):
    return statistics.median(values), min(values), max(values)


def fmt(values, digits=1):
    med, lo, hi = stats(values)
    return f"{med:.{digits}f} ({lo:.{digits}f}–{hi:.{digits}f})"


# ---------------------------------------------------------------------------------------------

def main():
    started = time.time()
    OUT.mkdir(parents=True, exist_ok=True)
    notes = []
    load_before = os.getloadavg()[0]
    md = ["# KESTRUNE.EXE benchmark", "",
          f"Wine: {subprocess.run([WINE, '--version'], capture_output=True, text=True).stdout.strip()}"
          f"; {os.cpu_count()} CPUs; times in ms, median (min–max) of the timed runs after one "
          "warm-up run, taken inside the sandbox with QueryPerformanceCounter.", ""]

    # 1. Image sizes ----------------------------------------------------------------------
    size32, size64, size_peer = (p.stat().st_size for p in (IMAGE32, IMAGE64, PEER))
    md += ["## Image sizes", "", "Both images are hardened: no writable code, a randomised base "
           "with its relocations, NX.", "", "| image | bytes |", "| --- | ---: |",
           f"| build/win32/KESTRUNE.EXE (i686, shipped) | {size32} |",
           f"| build/win64/KESTRUNE.EXE (x86_64 twin) | {size64} |",
           f"| NSIS peer uninstaller (amd64-unicode stub, zlib) | {size_peer} |",
           f"| ratio peer / x86_64 twin | {size_peer / size64:.1f}× |", ""]

    own_sandboxes()
    log("bench: starting the sandbox")
    box = Sandbox("bench")
    try:
        tools = box.host(str(TOOLS))
        tools.mkdir(parents=True)
        for name in ("timer.exe", "walk.exe"):
            shutil.copy(OUT / name, tools / name)

        # One shortcut of each target, made through IShellLink once; copied as bytes after.
        box.clear()
        box.install(keys=False)
        box.driver("link", TOOLS / "exe.lnk", PureWindowsPath(INSTALL_DIR, "Tivaldor.exe"),
                   "link", TOOLS / "other.lnk", r"C:\windows\notepad.exe")
        links = {k: (tools / f"{k}.lnk").read_bytes() for k in ("exe", "other")}

        # 2./3. Timings against the peer ------------------------------------------------
        log(f"bench: timings, {RUNS} runs each after a warm-up")
        run_ours(box, link=links["exe"])
        run_peer(box, links["exe"])
        ours, peer = [], []
        for i in range(RUNS):
            ours.append(run_ours(box, link=links["exe"]))
            check(ours[-1], "ours", notes)
            if ours[-1]["temp_left"] or listing(box.desktop):
                notes.append(f"ours left: temp {ours[-1]['temp_left']}, "
                             f"desktop {listing(box.desktop)}")
            peer.append(run_peer(box, links["exe"]))
            check(peer[-1], "peer", notes)
        col = lambda runs, key: [r[key] for r in runs]  # noqa: E731
        ours_gone, peer_gone = col(ours, "ok_gone_ms"), col(peer, "start_gone_ms")
        ours_temp = sorted({p for r in ours for p in r["temp_left"]})
        peer_temp = sorted({p for r in peer for p in r["temp_left"]})
        peer_desktop = sorted({p for r in peer for p in r["desktop_left"]})
        temp_bytes = sum(f.stat().st_size for f in box.temp.rglob("*") if f.is_file())
        ratio_gone = stats(ours_gone)[0] / stats(peer_gone)[0]
        md += ["## Timings under Wine (x86_64)", "",
               "Same layout for both: C:\\Program Files\\Tivaldor with the four product files and "
               "the uninstaller, the two HKLM keys, and Tivaldor.lnk on the desktop.", "",
               "| measurement | ms |", "| --- | ---: |",
               f"| ours: start → dialog exists | {fmt(col(ours, 'dialog_ms'))} |",
               f"| ours: OK → process exited | {fmt(col(ours, 'ok_exit_ms'))} |",
               f"| ours: OK → install folder gone | {fmt(ours_gone)} |",
               f"| peer (`uninstall.exe /S`): start → first process exited | "
               f"{fmt(col(peer, 'start_exit_ms'))} |",
               f"| peer: start → install folder gone | {fmt(peer_gone)} |",
               f"| ratio ours OK→gone / peer start→gone | {ratio_gone:.2f} |",
               f"| ratio ours (start→dialog + OK→gone) / peer start→gone | "
               f"{(stats(col(ours, 'dialog_ms'))[0] + stats(ours_gone)[0]) / stats(peer_gone)[0]:.2f} |",
               f"| ours: left in %TEMP% afterwards | {', '.join(ours_temp) or 'nothing'} |",
               f"| peer: left in %TEMP% afterwards | {', '.join(peer_temp) or 'nothing'}"
               f"{f' ({temp_bytes} bytes)' if peer_temp else ''} |",
               f"| peer: left on the desktop | {', '.join(peer_desktop) or 'nothing'} |", ""]

        # 4./5. Sweep scaling -----------------------------------------------------------
        trees_root = OUT / "trees"
        if trees_root.exists():
            shutil.rmtree(trees_root)
        trees = {0: None}
        shapes = {0: {"entries": 0, "dirs": 0, "files": 0, "links": 0, "product": 0, "depth": 0}}
        for n in SIZES:
            trees[n] = trees_root / str(n)
            shapes[n] = make_tree(n, trees[n], links)
        sweep = {}
        for n in [0] + SIZES:
            log(f"bench: sweep over {n} entries, {SWEEP_RUNS} runs each after a warm-up")
            run_ours(box, trees[n])
            rows = {"ours": [], "list": [], "calls": [], "left": []}
            for i in range(SWEEP_RUNS):
                r = run_ours(box, trees[n])
                check(r, f"sweep {n}", notes)
                rows["ours"].append(r["ok_exit_ms"])
                rows["left"].append(count_bytes(box.desktop, links["exe"]))
                for mode in ("list", "calls"):
                    w = run_walk(box, mode, trees[n])
                    rows[mode].append(w["walk_ms"])
                    seen = (w["dirs"], w["files"])
                    if mode == "calls":
                        seen += (w["links"], w["product_links"], w["class_failures"],
                                 w["load_failures"])
                    want = (shapes[n]["dirs"], shapes[n]["files"] + shapes[n]["links"],
                            shapes[n]["links"],
                            shapes[n]["product"], 0, 0)[:len(seen)]
                    if seen != want:
                        notes.append(f"{mode} walker over {n} entries saw (folders, files, "
                                     f"links, product links, GetClassFile and Load "
                                     f"failures) = {tuple(int(v) for v in seen)}, "
                                     f"expected {want}")
            sweep[n] = rows
        base = stats(sweep[0]["ours"])[0]
        md += ["## Desktop sweep scaling (ours: OK → exit, beyond the run with an empty desktop)",
               "",
               "| entries | folders / files / links (to product) | depth | ours OK→exit | "
               "ours beyond empty | entries/s | list walker | needed-calls walker | "
               "ours / list | ours / needed-calls | product links left |",
               "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
        dat = ["# entries ours_beyond_empty_ms ours_min ours_max list_ms calls_ms"]
        beyond = {}
        for n in [0] + SIZES:
            rows, s = sweep[n], shapes[n]
            med, lo, hi = stats(rows["ours"])
            beyond[n] = med - base
            lst, calls = stats(rows["list"])[0], stats(rows["calls"])[0]
            rate = f"{n / (beyond[n] / 1000):.0f}" if n and beyond[n] > 0 else "–"
            r_list = f"{beyond[n] / lst:.1f}" if n and lst > 0 else "–"
            r_calls = f"{beyond[n] / calls:.2f}" if n and calls > 0 else "–"
            md.append(f"| {n} | {s['dirs']} / {s['files']} / {s['links']} ({s['product']}) | "
                      f"{s['depth']} | {fmt(rows['ours'])} | {beyond[n]:.1f} | {rate} | "
                      f"{fmt(rows['list'])} | {fmt(rows['calls'])} | {r_list} | {r_calls} | "
                      f"{max(rows['left'])} |")
            dat.append(f"{n} {beyond[n]:.3f} {lo - base:.3f} {hi - base:.3f} {lst:.3f} "
                       f"{calls:.3f}")
        growth = None
        if 1000 in beyond and 10000 in beyond and beyond[1000] > 0:
            growth = beyond[10000] / beyond[1000]
            md += ["", f"Growth 10k / 1k (ours beyond empty): **{growth:.2f}** "
                       "(linear would be 10)."]
        xs = [0] + SIZES
        if len(xs) >= 3:
            mx, my = statistics.fmean(xs), statistics.fmean(beyond[x] for x in xs)
            slope = (sum((x - mx) * (beyond[x] - my) for x in xs) /
                     sum((x - mx) ** 2 for x in xs))
            md.append(f"Least-squares line through the medians: {slope * 1000:.0f} µs per entry "
                      f"{my - slope * mx:+.0f} ms.")
        md += ["", "The list walker only lists the tree (FindFirstFileA/FindNextFileA). The "
               "needed-calls walker lists it once and calls GetClassFile on every file and "
               "IPersistFile::Load + IShellLinkA::GetPath on every shell link, comparing each "
               "target with both product files; it deletes nothing. Every run, ours and the "
               "walkers', gets a fresh copy of the tree.", ""]
        (OUT / "sweep.dat").write_text("\n".join(dat) + "\n")
        plot(notes)

        # Targets -------------------------------------------------------------------------
        big = max(SIZES) if SIZES else None
        calls_ratio = beyond[big] / stats(sweep[big]["calls"])[0] if big else None
        yes = lambda ok: "met" if ok else "**missed**"  # noqa: E731
        md += ["## Targets", "", "| target | measured | |", "| --- | --- | --- |",
               f"| hardened i686 image ≤ 8704 bytes (target 8192) | {size32} | "
               f"{yes(size32 <= 8704)}{', 8192 met' if size32 <= 8192 else ', 8192 missed'} |",
               f"| ours OK→gone no slower than peer start→gone | ratio {ratio_gone:.2f} | "
               f"{yes(ratio_gone <= 1)} |"]
        if growth is not None:
            md.append(f"| sweep linear: 10k/1k between 8 and 12 | {growth:.2f} | "
                      f"{yes(8 <= growth <= 12)} |")
        if calls_ratio is not None:
            md.append(f"| sweep ≤ 1.25× needed-calls walker ({big} entries) | "
                      f"{calls_ratio:.2f} | {yes(calls_ratio <= 1.25)} |")
        md += [f"| nothing left in %TEMP% after our run | {', '.join(ours_temp) or 'nothing'} | "
               f"{yes(not ours_temp)} |", ""]
    finally:
        box.close()

    if notes:
        md += ["## Notes", ""] + [f"- {n}" for n in notes] + [""]
    md.append(f"Total benchmark time: {time.time() - started:.0f} s; 1-minute load average "
              f"{load_before:.1f} at the start, {os.getloadavg()[0]:.1f} at the end (other work "
              "on the machine makes the times noisier).")
    text = "\n".join(md) + "\n"
    (OUT / "results.md").write_text(text)
    print(text)
    log(f"bench: wrote {OUT / 'results.md'} and {OUT / 'sweep.png'}")


def plot(notes):
    script = f"""
set terminal pngcairo size 900,560 font ",10" noenhanced
set output "{OUT / 'sweep.png'}"
set title "KESTRUNE.EXE desktop sweep under Wine (x86_64)"
set xlabel "desktop entries"
set ylabel "time (ms)"
set key top left
set grid
set yrange [0:*]
set xrange [0:*]
plot "{OUT / 'sweep.dat'}" using 1:2:3:4 with yerrorlines lw 2 pt 7 title "ours: OK→exit beyond empty desktop", \\
     "" using 1:6 with linespoints lw 2 pt 5 title "walker: list + needed calls", \\
     "" using 1:5 with linespoints lw 2 pt 9 title "walker: list only"
"""
    proc = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if proc.returncode:
        notes.append("gnuplot failed: " + proc.stderr.strip())


if __name__ == "__main__":
    main()
