#!/usr/bin/env python3
"""The benchmark's report, made from the figures bench/measure.py wrote and from nothing else, so
that it can be redrawn without Wine and the same figures always give the same report:
results.md (the tables, ending with the targets, each beside its measured figure), sweep.dat and
the plot sweep.png (through gnuplot).

    report.py FIGURES [OUT]    writes into OUT, by default the folder of FIGURES

tests/ must be on PYTHONPATH, for the image budget in tests/product.py; scripts/bench --report
sees to that. Exits 1 when the plot could not be drawn (results.md is written all the same)."""
import json
import math
import statistics
import subprocess
import sys
from pathlib import Path

from product import IMAGE_LIMIT

# What the project promises; the "Targets" table judges each against the measured figure, so that
# "missed" means something got worse. The image budget is the size test's (tests/product.py).
# The removal sweeps the desktop once per product file it looks for; the walker walks it once.
SWEEP_WALKS = 2
WALKER_FACTOR = 1.25
# Growth of the sweep: the exponent b of time = a * entries^b, fitted over the tree sizes (each
# the median of its runs). Linear is 1, n log n over 1k-10k entries about 1.12, n^1.5 and
# quadratic 1.5 and 2. The same build measured 0.91 and 1.08 (10k/1k) an hour apart, and 1.12
# with the load rising from 1.5 to 4.4 while it ran: the sizes run one after another, so load
# that grows meanwhile lands on the larger ones. The band leaves that room; n^1.5 still fails.
LINEAR_BAND = (0.8, 1.3)


def stats(values):
    """Median, minimum and maximum; None for no values (every run of them failed)."""
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def median(values):
    return statistics.median(values) if values else None


def fmt(values, digits=1):
    if not values:
        return "– (no run succeeded)"
    med, lo, hi = stats(values)
    return f"{med:.{digits}f} ({lo:.{digits}f}–{hi:.{digits}f})"


def ratio(a, b, digits=2):
    return f"{a / b:.{digits}f}" if a is not None and b else "–"


def verdict(ok):
    return "met" if ok else "**missed**"


def least_squares(points):
    """The line y = slope * x + intercept that fits (x, y) best (least squares), as (slope,
    intercept); None for fewer than two distinct x."""
    points = list(points)
    if len({x for x, _ in points}) < 2:
        return None
    mx, my = statistics.fmean(x for x, _ in points), statistics.fmean(y for _, y in points)
    slope = (sum((x - mx) * (y - my) for x, y in points) /
             sum((x - mx) ** 2 for x, _ in points))
    return slope, my - slope * mx


def growth_exponent(points):
    """The exponent b of time = a * n^b that fits (n, time) best: the slope of the line through
    them in log-log space. None for fewer than two sizes or a time that is not positive."""
    points = list(points)
    if any(t <= 0 for _, t in points):
        return None
    line = least_squares((math.log(n), math.log(t)) for n, t in points)
    return line[0] if line else None


def walk_ratios(rows, base):
    """Ours beyond the empty desktop per walk, over the needed-calls walker, for each run and the
    walker's run right after it: load that changes during the benchmark falls on both alike."""
    return [(ours - base) / (SWEEP_WALKS * calls) for ours, calls in rows["pairs"] if calls > 0]


def run_exponents(sweep, base):
    """One exponent per run index: run i of every size, beyond the median empty-desktop time.
    Runs that failed are left out of their size's list, so the later indexes may pair runs
    that were not made together; the spread stays a fair picture of the noise."""
    sizes = [n for n in sweep if n]
    count = min((len(sweep[n]["ours"]) for n in sizes), default=0)
    fits = (growth_exponent([(n, sweep[n]["ours"][i] - base) for n in sizes])
            for i in range(count))
    return [b for b in fits if b is not None]


# ---------------------------------------------------------------------------------------------

def render(figures):
    """The report of figures: the text of results.md and that of sweep.dat (None when there is
    no sweep to plot)."""
    images = figures["images"]
    md = ["# KESTRUNE.EXE benchmark", "",
          f"Wine: {figures['wine']}"
          f"; {figures['cpus']} CPUs; times in ms, median (min–max) of the timed runs after one "
          "warm-up run, taken inside the sandbox with QueryPerformanceCounter.", "",
          "## Image sizes", "", "Both images are hardened: no writable code, a randomised base "
          "with its relocations, NX.", "", "| image | bytes |", "| --- | ---: |",
          f"| build/win32/KESTRUNE.EXE (i686, shipped) | {images['i686']} |",
          f"| build/win64/KESTRUNE.EXE (x86_64 twin) | {images['x86_64']} |",
          f"| NSIS peer uninstaller (amd64-unicode stub, zlib) | {images['peer']} |",
          f"| ratio peer / x86_64 twin | {images['peer'] / images['x86_64']:.1f}× |", ""]
    targets = ["## Targets", "", "| target | measured | |", "| --- | --- | --- |",
               f"| hardened i686 image ≤ {IMAGE_LIMIT} bytes | {images['i686']} | "
               f"{verdict(images['i686'] <= IMAGE_LIMIT)} |"]
    if "timings" in figures:
        timings_table(md, targets, figures["timings"])
    dat = sweep_table(md, targets, figures) if "sweep" in figures else None
    md += targets + [""]
    if figures["failures"]:
        md += ["## Failed runs", "",
               "Left out of the table above; each with its output and Wine's standard error.",
               ""]
        for f in figures["failures"]:
            first, _, rest = f.partition("\n")
            md.append(f"- {first}")
            if rest:
                md += ["", "  ```", *("  " + line for line in rest.splitlines()), "  ```", ""]
        md.append("")
    if figures["notes"]:
        md += ["## Notes", ""] + [f"- {n}" for n in figures["notes"]] + [""]
    load_before, load_after = figures["load"]
    md.append(f"Total benchmark time: {figures['seconds']:.0f} s; 1-minute load average "
              f"{load_before:.1f} at the start, {load_after:.1f} at the end (other work "
              "on the machine makes the times noisier).")
    return "\n".join(md) + "\n", dat


def timings_table(md, targets, timings):
    ours, peer = timings["ours"], timings["peer"]
    col = lambda runs, key: [r[key] for r in runs]  # noqa: E731
    ours_gone, peer_gone = col(ours, "ok_gone_ms"), col(peer, "start_gone_ms")
    ours_temp = sorted({p for r in ours for p in r["temp_left"]})
    peer_temp = sorted({p for r in peer for p in r["temp_left"]})
    peer_desktop = sorted({p for r in peer for p in r["desktop_left"]})
    temp_bytes = timings.get("peer_temp_bytes")  # none when the timed runs broke off
    ours_total = median(col(ours, "dialog_ms")) + median(ours_gone) if ours else None
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
           f"| ratio ours OK→gone / peer start→gone | "
           f"{ratio(median(ours_gone), median(peer_gone))} |",
           f"| ratio ours (start→dialog + OK→gone) / peer start→gone | "
           f"{ratio(ours_total, median(peer_gone))} |",
           f"| ours: left in %TEMP% afterwards | {', '.join(ours_temp) or 'nothing'} |",
           f"| peer: left in %TEMP% afterwards | {', '.join(peer_temp) or 'nothing'}"
           f"{f' ({temp_bytes} bytes)' if peer_temp and temp_bytes is not None else ''} |",
           f"| peer: left on the desktop | {', '.join(peer_desktop) or 'nothing'} |", ""]
    if ours and peer:
        ratio_gone = median(ours_gone) / median(peer_gone)
        targets.append(f"| ours OK→gone no slower than peer start→gone | ratio {ratio_gone:.2f} "
                       f"| {verdict(ratio_gone <= 1)} |")
    if ours:
        targets.append(f"| nothing left in %TEMP% after our run | "
                       f"{', '.join(ours_temp) or 'nothing'} | {verdict(not ours_temp)} |")


def sweep_table(md, targets, figures):
    """The sweep's table, growth and targets; returns the text of sweep.dat (None without a size
    measured beyond the empty desktop)."""
    sweep = {rows["entries"]: rows for rows in figures["sweep"]}
    base = median(sweep[0]["ours"]) if 0 in sweep else None
    md += ["## Desktop sweep scaling (ours: OK → exit, beyond the run with an empty desktop)",
           "",
           "| entries | folders / files / links (to product) | depth | ours OK→exit | "
           "ours beyond empty | entries/s | list walker | needed-calls walker | "
           "ours / list | ours / needed-calls | product links left |",
           "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    dat = ["# entries ours_beyond_empty_ms ours_min ours_max list_ms calls_ms"]
    beyond = {}
    for n, rows in sweep.items():
        s = rows["shape"]
        med = median(rows["ours"])
        if med is not None and base is not None:
            beyond[n] = med - base
        b = beyond.get(n)
        lst, calls = median(rows["list"]), median(rows["calls"])
        rate = f"{n / (b / 1000):.0f}" if n and b and b > 0 else "–"
        md.append(f"| {n} | {s['dirs']} / {s['files']} / {s['links']} ({s['product']}) | "
                  f"{s['depth']} | {fmt(rows['ours'])} | "
                  f"{f'{b:.1f}' if b is not None else '–'} | {rate} | "
                  f"{fmt(rows['list'])} | {fmt(rows['calls'])} | "
                  f"{ratio(b, lst, 1) if n else '–'} | {ratio(b, calls) if n else '–'} | "
                  f"{max(rows['left']) if rows['left'] else '–'} |")
        if b is not None and lst is not None and calls is not None:
            lo, hi = min(rows["ours"]), max(rows["ours"])
            dat.append(f"{n} {b:.3f} {lo - base:.3f} {hi - base:.3f} {lst:.3f} {calls:.3f}")
    growth = None
    if 1000 in beyond and 10000 in beyond and beyond[1000] > 0:
        growth = beyond[10000] / beyond[1000]
        md += ["", f"Growth 10k / 1k (ours beyond empty): **{growth:.2f}** "
                   "(linear would be 10)."]
    fitted = {n: beyond[n] for n in beyond if n}
    exponent = growth_exponent(fitted.items())
    per_run = run_exponents(sweep, base) if exponent is not None else []
    if exponent is not None:
        if growth is None:
            md.append("")
        md.append(f"Growth exponent (ours beyond empty ≈ a × entries^b, fitted over "
                  f"{len(fitted)} sizes' medians): **b = {exponent:.2f}**"
                  + (f", fitted over each run alone: {fmt(per_run, 2)}" if per_run else "")
                  + " (linear would be 1).")
    if len(beyond) >= 3:
        slope, intercept = least_squares(sorted(beyond.items()))
        md.append(f"Least-squares line through the medians: {slope * 1000:.0f} µs per entry "
                  f"{intercept:+.0f} ms.")
    md += ["", "The list walker only lists the tree (FindFirstFileA/FindNextFileA). The "
           "needed-calls walker lists it once and calls GetClassFile on every file and "
           "IPersistFile::Load + IShellLinkA::GetPath on every shell link, comparing each "
           "target with both product files; it deletes nothing. Every run, ours and the "
           "walkers', gets a fresh copy of the tree.", ""]

    big = max(figures["sizes"], default=None)
    if exponent is not None:
        low, high = LINEAR_BAND
        walker = growth_exponent([(n, median(sweep[n]["calls"])) for n in fitted
                                  if sweep[n]["calls"]])
        aside = ([f"single runs {min(per_run):.2f}–{max(per_run):.2f}"] if per_run else []) + \
            ([f"needed-calls walker {walker:.2f}"] if walker is not None else [])
        aside = f" ({'; '.join(aside)})" if aside else ""
        targets.append(f"| sweep linear: growth exponent between {low} and {high} "
                       f"({', '.join(map(str, sorted(fitted)))} entries) | {exponent:.2f}{aside} | "
                       f"{verdict(low <= exponent <= high)} |")
    elif len(fitted) >= 2:
        targets.append(f"| sweep linear | no fit: a size took no longer than the empty desktop "
                       f"({', '.join(f'{n}: {t:.0f} ms' for n, t in sorted(fitted.items()))}) | "
                       f"not judged |")
    per_walk = walk_ratios(sweep[big], base) if big in sweep and base is not None else []
    if per_walk:
        mid = median(per_walk)
        targets.append(f"| sweep per walk ≤ {WALKER_FACTOR}× needed-calls walker ({big} entries; "
                       f"ours beyond empty / ({SWEEP_WALKS} × walker): {SWEEP_WALKS} walks, one "
                       f"per product file) | {fmt(per_walk, 2)} | "
                       f"{verdict(mid <= WALKER_FACTOR)} |")
    return "\n".join(dat) + "\n" if len(dat) > 1 else None


def plot_script(out):
    """gnuplot's commands for sweep.png, from sweep.dat in out."""
    return f"""
set terminal pngcairo size 900,560 font ",10" noenhanced
set output "{out / 'sweep.png'}"
set title "KESTRUNE.EXE desktop sweep under Wine (x86_64)"
set xlabel "desktop entries"
set ylabel "time (ms)"
set key top left
set grid
set yrange [0:*]
set xrange [0:*]
plot "{out / 'sweep.dat'}" using 1:2:3:4 with yerrorlines lw 2 pt 7 title "ours: OK→exit beyond empty desktop", \\
     "" using 1:6 with linespoints lw 2 pt 5 title "walker: list + needed calls", \\
     "" using 1:5 with linespoints lw 2 pt 9 title "walker: list only"
"""


def write(figures_path, out):
    """Writes the report of the figures in figures_path into out; returns the text of
    results.md and why the plot is missing (None when it was drawn or there was nothing to
    plot)."""
    text, dat = render(json.loads(Path(figures_path).read_text()))
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.md").write_text(text)
    for name in ("sweep.dat", "sweep.png"):  # an earlier report's must not pass for this one's
        (out / name).unlink(missing_ok=True)
    if dat is None:
        return text, None
    (out / "sweep.dat").write_text(dat)
    try:
        proc = subprocess.run(["gnuplot"], input=plot_script(out), text=True,
                              capture_output=True)
    except FileNotFoundError:
        return text, "gnuplot is not installed"
    return text, f"gnuplot failed: {proc.stderr.strip()}" if proc.returncode else None


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(f"usage: {argv[0]} FIGURES [OUT]")
    figures = Path(argv[1])
    out = Path(argv[2]) if len(argv) == 3 else figures.parent
    text, problem = write(figures, out)
    print(text)
    if problem:
        print(f"bench: no sweep.png: {problem}", file=sys.stderr)
        sys.exit(1)
    print(f"bench: wrote {out / 'results.md'}" +
          (f" and {out / 'sweep.png'}" if (out / "sweep.png").exists() else ""), file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv)
