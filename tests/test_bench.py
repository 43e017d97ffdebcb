"""How the benchmark judges the growth of the sweep, and the report it makes from stored figures
(bench/report.py); needs no Wine. Wants bench/ on PYTHONPATH, as ctest sets it."""
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
FIGURES = HERE / "data" / "bench-figures.json"
SIZES = (1000, 3000, 10000)


def rows(times):
    """A sweep as the report indexes it: per size, its runs' times."""
    return {n: {"ours": list(runs)} for n, runs in times.items()}


class GrowthExponent(unittest.TestCase):
    def test_power_laws(self):
        # (time of n entries, exponent, within the band that counts as linear)
        cases = [
            ("linear", lambda n: 0.3 * n, 1.0, True),
            ("linear over a fixed cost", lambda n: 0.3 * n + 40, None, True),
            ("n log n", lambda n: 0.02 * n * math.log(n), 1.125, True),
            ("n^1.5", lambda n: 0.01 * n ** 1.5, 1.5, False),
            ("quadratic", lambda n: 1e-5 * n * n, 2.0, False),
            ("square root", lambda n: 5 * math.sqrt(n), 0.5, False),
        ]
        low, high = report.LINEAR_BAND
        for name, time, exponent, linear in cases:
            with self.subTest(name):
                b = report.growth_exponent([(n, time(n)) for n in SIZES])
                if exponent is not None:
                    self.assertAlmostEqual(b, exponent, places=2)
                self.assertEqual(low <= b <= high, linear, b)

    def test_no_fit(self):
        for name, points in [("one size", [(1000, 50.0)]),
                             ("one size twice", [(1000, 50.0), (1000, 60.0)]),
                             ("no time beyond the empty desktop", [(1000, -3.0), (10000, 500.0)]),
                             ("zero time", [(1000, 0.0), (10000, 500.0)])]:
            with self.subTest(name):
                self.assertIsNone(report.growth_exponent(points))

    def test_each_run_fitted_alone(self):
        # Run i of every size, less the empty desktop's median (100 ms): run 0 linear, run 1
        # quadratic-ish noise at the largest size; a size with a failed run limits the count.
        sweep = rows({0: [100, 101, 99], 1000: [200, 200, 200], 10000: [1100, 10100]})
        self.assertEqual([round(b, 3) for b in report.run_exponents(sweep, 100)], [1.0, 2.0])
        # A run faster than the empty desktop gives no fit and is left out.
        sweep = rows({0: [100], 1000: [90, 200], 10000: [1100, 1100]})
        self.assertEqual([round(b, 3) for b in report.run_exponents(sweep, 100)], [1.0])


def changed(*changes):
    """The stored figures with each change (a function of them) made."""
    f = json.loads(FIGURES.read_text())
    for change in changes:
        change(f)
    return report.render(f)


def sweep(beyond):
    """Every run of each size in beyond that far over the empty desktop's median, 302 ms."""
    return lambda f: [rows.update(ours=[302.0 + beyond[rows["entries"]]] * 5)
                      for rows in f["sweep"] if rows["entries"] in beyond]


class Report(unittest.TestCase):
    def test_lines(self):
        budget = f"| hardened i686 image ≤ {IMAGE_LIMIT} bytes |"
        linear = "| sweep linear: growth exponent between 0.8 and 1.3 (1000, 3000, 10000 entries) |"
        cases = [
            ((), "| 1000 | 81 / 815 / 104 (52) | 6 | 402.0 (399.0–405.0) | 100.0 | 10000 | "
             "20.1 (19.8–20.5) | 48.2 (47.5–49.9) | 5.0 | 2.07 | 0 |"),
            ((), "Least-squares line through the medians: 105 µs per entry -3 ms."),
            ((), f"{linear} 1.02 (single runs 1.02–1.04; needed-calls walker 1.01) | met |"),
            ((), "| sweep per walk ≤ 1.25× needed-calls walker (10000 entries; ours beyond empty / "
             "(2 × walker): 2 walks, one per product file) | 1.06 (1.05–1.11) | met |"),
            ((), "  error start 2"),  # a failed run's output
            ((lambda f: f["images"].update(i686=IMAGE_LIMIT + 1),),
             f"{budget} {IMAGE_LIMIT + 1} | **missed** |"),
            ((lambda f: [r.update(ok_gone_ms=300.0) for r in f["timings"]["ours"]],),
             "| ours OK→gone no slower than peer start→gone | ratio 1.20 | **missed** |"),
            ((sweep({1000: 100, 3000: 900, 10000: 10000}),),
             f"{linear} 2.00 (single runs 2.00–2.00; needed-calls walker 1.01) | **missed** |"),
            ((sweep({1000: -12}),), "| sweep linear | no fit: a size took no longer than the "
             "empty desktop (1000: -12 ms, 3000: 310 ms, 10000: 1050 ms) | not judged |"),
            # Stopped early: what was measured, and the image judged all the same.
            ((lambda f: f.pop("sweep"), lambda f: f.pop("timings"),
              lambda f: f["images"].update(i686=IMAGE_LIMIT)), f"{budget} {IMAGE_LIMIT} | met |"),
        ]
        for changes, line in cases:
            with self.subTest(line):
                self.assertIn(line, changed(*changes)[0].splitlines())
        text, dat = changed(lambda f: f.pop("sweep"), lambda f: f.pop("timings"))
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
                env={**os.environ, "PYTHONPATH": str(HERE), "PYTHONHASHSEED": "7"},
                capture_output=True, text=True)
            self.assertEqual(proc.returncode, 1 if problem else 0, proc.stderr)
            self.assertEqual((proc.stdout, (now / "results.md").read_text()), (text + "\n", text))
            self.assertTrue((now / "sweep.dat").exists())
            for name in ("results.md", "sweep.dat", "sweep.png"):  # the plot where gnuplot is
                drawn = [(out / name).read_bytes() if (out / name).exists() else None
                         for out in (now, later)]
                self.assertEqual(drawn[0], drawn[1], name)


if __name__ == "__main__":
    unittest.main()
