"""How the benchmark judges the growth of the sweep (bench/bench.py); needs no Wine."""
import math
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import bench  # noqa: E402

SIZES = (1000, 3000, 10000)


def rows(times):
    """A sweep as bench.measure records it: per size, its runs' times."""
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
        low, high = bench.LINEAR_BAND
        for name, time, exponent, linear in cases:
            with self.subTest(name):
                b = bench.growth_exponent([(n, time(n)) for n in SIZES])
                if exponent is not None:
                    self.assertAlmostEqual(b, exponent, places=2)
                self.assertEqual(low <= b <= high, linear, b)

    def test_no_fit(self):
        for name, points in [("one size", [(1000, 50.0)]),
                             ("one size twice", [(1000, 50.0), (1000, 60.0)]),
                             ("no time beyond the empty desktop", [(1000, -3.0), (10000, 500.0)]),
                             ("zero time", [(1000, 0.0), (10000, 500.0)])]:
            with self.subTest(name):
                self.assertIsNone(bench.growth_exponent(points))

    def test_each_run_fitted_alone(self):
        # Run i of every size, less the empty desktop's median (100 ms): run 0 linear, run 1
        # quadratic-ish noise at the largest size; a size with a failed run limits the count.
        sweep = rows({0: [100, 101, 99], 1000: [200, 200, 200], 10000: [1100, 10100]})
        self.assertEqual([round(b, 3) for b in bench.run_exponents(sweep, 100)], [1.0, 2.0])
        # A run faster than the empty desktop gives no fit and is left out.
        sweep = rows({0: [100], 1000: [90, 200], 10000: [1100, 1100]})
        self.assertEqual([round(b, 3) for b in bench.run_exponents(sweep, 100)], [1.0])


if __name__ == "__main__":
    unittest.main()
