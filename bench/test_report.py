"""How the benchmark judges the growth of the sweep, and the report it makes from stored figures
(report.py); needs no Wine. Wants tests/ on PYTHONPATH (for the image budget), as ctest sets it."""
import json
import math
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import report
from product import IMAGE_LIMIT

HERE = Path(__file__).resolve().parent
# Made-up figures of a run with every section, a failed run and a note.
FIGURES = HERE / "sample-figures.json"
SIZES = (1000, 3000, 10000)


class GrowthExponent(unittest.TestCase):
    def test_fits(self):
        # (the points or the time of n entries, exponent (None: not checked), within the band
        # that counts as linear; None: no fit at all)
        cases = [
            ("linear", lambda n: 0.3 * n, 1.0, True),
            ("linear over a fixed cost", lambda n: 0.3 * n + 40, None, True),
            ("n log n", lambda n: 0.02 * n * math.log(n), 1.125, True),
            ("n^1.5", lambda n: 0.01 * n ** 1.5, 1.5, False),
            ("quadratic", lambda n: 1e-5 * n * n, 2.0, False),
            ("square root", lambda n: 5 * math.sqrt(n), 0.5, False),
            ("one size", [(1000, 50.0)], None, None),
            ("one size twice", [(1000, 50.0), (1000, 60.0)], None, None),
            ("no time beyond the empty desktop", [(1000, -3.0), (10000, 500.0)], None, None),
            ("zero time", [(1000, 0.0), (10000, 500.0)], None, None),
        ]
        low, high = report.LINEAR_BAND
        for name, points, exponent, linear in cases:
            with self.subTest(name):
                b = report.growth_exponent(points if isinstance(points, list) else
                                           [(n, points(n)) for n in SIZES])
                if linear is None:
                    self.assertIsNone(b)
                    continue
                if exponent is not None:
                    self.assertAlmostEqual(b, exponent, places=2)
                self.assertEqual(low <= b <= high, linear, b)


def changed(*changes):
    """The stored figures with each change (a function of them) made."""
    figures = json.loads(FIGURES.read_text())
    for change in changes:
        change(figures)
    return figures


def sweep(beyond):
    """Every run of each size in beyond that far over the empty desktop's median, 302 ms."""
    return lambda f: [rows.update(ours=[302.0 + beyond[rows["entries"]]] * 5)
                      for rows in f["sweep"] if rows["entries"] in beyond]


def pick(derived, path):
    """What the report derived at path (keys joined by dots, a sweep size by its entries), with
    tuples as lists and floats to two places."""
    for key in path.split("."):
        derived = (next(row for row in derived if row["entries"] == int(key))
                   if isinstance(derived, list) else derived.get(key, "(none)"))
    return rounded(derived)


def rounded(value):
    return json.loads(json.dumps(value), parse_float=lambda s: round(float(s), 2))


IMAGE = f"hardened i686 image ≤ {IMAGE_LIMIT} bytes"
GONE = "ours OK→gone no slower than peer start→gone"
LINEAR = "sweep linear: growth exponent between 0.8 and 1.3 (1000, 3000, 10000 entries)"
PER_WALK = ("sweep per walk ≤ 1.25× needed-calls walker (10000 entries; ours beyond empty / "
            "(2 × walker): 2 walks, one per product file)")
STOPPED = (lambda f: f.pop("sweep"), lambda f: f.pop("timings"))
# (what, changes to the stored figures, some of what the report derives from them)
CASES = [
    ("stored figures", (), {
        "sweep.1000.shape": {"entries": 1000, "dirs": 81, "files": 815, "links": 104,
                             "product": 52, "depth": 6},
        "sweep.1000.beyond": 100.0, "sweep.1000.per_calls": 2.07, "sweep.1000.left": 0,
        "timings.peer_temp": ["~nsu1.tmp/", "~nsu1.tmp/Un.exe"],
        "targets": {"image": (IMAGE, 9728, True), "gone": (GONE, "ratio 0.25", True),
                    "temp": ("nothing left in %TEMP% after our run", "nothing", True),
                    "linear": (LINEAR, "1.02", True),
                    "walk": (PER_WALK, "1.06 (1.05–1.11)", True)}}),
    ("image over budget", (lambda f: f["images"].update(ours=IMAGE_LIMIT + 1),),
     {"targets.image": (IMAGE, IMAGE_LIMIT + 1, False)}),
    ("ours slower than the peer",
     (lambda f: [r.update(ok_gone_ms=300.0) for r in f["timings"]["ours"]],),
     {"timings.ratio_gone": 1.2, "targets.gone": (GONE, "ratio 1.20", False)}),
    ("quadratic sweep", (sweep({1000: 100, 3000: 900, 10000: 10000}),),
     {"exponent": 2.0, "targets.linear": (LINEAR, "2.00", False)}),
    ("product links left by one run", (lambda f: f["sweep"][1].update(left=[0, 2, 0, 0, 0]),),
     {"sweep.1000.left": 2}),
    ("a size no slower than the empty desktop", (sweep({1000: -12}),),
     {"exponent": None, "targets.linear": ("sweep linear", "no fit: a size took no longer than "
                                           "the empty desktop (1000: -12 ms, 3000: 310 ms, "
                                           "10000: 1050 ms)", None)}),
    # Stopped early: what was measured, and the image judged all the same.
    ("stopped early", STOPPED + (lambda f: f["images"].update(ours=IMAGE_LIMIT),),
     {"targets": {"image": (IMAGE, IMAGE_LIMIT, True)}}),
]


def targets_table(text):
    """The rows of the report's Targets table, as (target, measured, verdict)."""
    lines = text.split("\n## Targets\n\n", 1)[1].splitlines()[2:]
    return [tuple(cell.strip() for cell in line.strip("|").split("|"))
            for line in lines[:lines.index("")]]


class Report(unittest.TestCase):
    maxDiff = None  # a figure that differs is shown with its neighbours

    def test_figures_and_targets(self):
        for what, changes, expected in CASES:
            with self.subTest(what):
                derived = report.derive(changed(*changes))
                self.assertEqual({path: pick(derived, path) for path in expected},
                                 rounded(expected))

    def test_summary(self):
        # A measurement's runs as the tables show them: median (minimum–maximum).
        self.assertEqual([report.fmt([402.0, 400.0, 405.0, 399.0, 403.0]), report.fmt([])],
                         ["402.0 (399.0–405.0)", "– (no run succeeded)"])

    def test_rendered(self):
        # Every target with its measured figure and verdict, in the order derived.
        verdicts = {True: "met", False: "**missed**", None: "not judged"}
        for what, changes, _ in CASES:
            with self.subTest(what):
                figures = changed(*changes)
                self.assertEqual(targets_table(report.render(figures)[0]), [
                    (target, str(measured), verdicts[met])
                    for target, measured, met in report.derive(figures)["targets"].values()])
        # Which image, stub, loader and prefix were measured; each failed run with its output.
        figures = changed()
        text = report.render(figures)[0]
        for fact in [*figures["setup"].values(), *figures["machines"].values(),
                     *(line for f in figures["failures"] for line in f.splitlines()[1:])]:
            self.assertIn(fact, text)
        text, dat = report.render(changed(*STOPPED))
        self.assertEqual(([line for line in text.splitlines() if line.startswith("## ")], dat),
                         (["## Image sizes", "## Targets", "## Failed runs", "## Notes"], None))

    def test_redrawn_alike(self):
        # The report right after measuring and one redrawn later by another process (with
        # another hash seed) from the same figures: byte for byte the same files.
        with tempfile.TemporaryDirectory() as tmp:
            now, later = Path(tmp, "now"), Path(tmp, "later")
            text, problem = report.write(FIGURES, now)
            proc = subprocess.run(
                [sys.executable, report.__file__, str(FIGURES), str(later)],
                env={**os.environ, "PYTHONHASHSEED": "7"}, capture_output=True, text=True)
            self.assertEqual(proc.returncode, 1 if problem else 0, proc.stderr)
            self.assertEqual((proc.stdout, (now / "results.md").read_text()), (text + "\n", text))
            self.assertTrue((now / "sweep.dat").exists())
            for name in ("results.md", "sweep.dat", "sweep.png"):  # the plot where gnuplot is
                drawn = [(out / name).read_bytes() if (out / name).exists() else None
                         for out in (now, later)]
                self.assertEqual(drawn[0], drawn[1], name)


if __name__ == "__main__":
    unittest.main()
