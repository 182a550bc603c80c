"""Accuracy of wfpt_logpdf on a larger grid than the tests use, against the
mpmath reference of tests/wfpt_reference.py (needs mpmath).

    python3 bench/wfpt_accuracy.py [--variability-points 6]

Prints the largest |log ours - log reference| (the relative error of the
density) for the four-parameter grid and for each variability setting,
including the combined ones whose reference takes minutes.
"""

import argparse
import itertools
import sys
from pathlib import Path

import mpmath as mp
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import wfpt_reference as ref  # noqa: E402

import corvatel  # noqa: E402

T0 = 0.3


def worst(points, **variability):
    errors = []
    for rt, choice, v, a, z in points:
        got = corvatel.wfpt_logpdf(rt, choice, v, a, z, T0, **variability)
        expected = ref.full_density(rt, choice, v, a, z, T0, **variability)
        errors.append(abs(got - float(mp.log(expected))))
    return max(errors)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variability-points", type=int, default=6)
    args = parser.parse_args()
    grid = list(itertools.product(
        T0 + np.array([0.001, 0.005, 0.03, 0.1, 0.3, 0.7, 1.5, 4.0, 10.0, 20.0]),
        [False, True], [-10.0, -4.0, -1.0, 0.0, 0.5, 2.0, 6.0, 10.0], [0.3, 0.6, 1.0, 2.0, 3.5, 5.0],
        [0.05, 0.2, 0.5, 0.8, 0.95]))
    print(f"four parameters, {len(grid)} points: max |dlog| = {worst(grid):.2e}", flush=True)
    rng = np.random.default_rng(5)
    picks = [grid[i] for i in rng.choice(len(grid), args.variability_points, replace=False)]
    # Moderate rts, where the variabilities' references converge in reasonable time.
    picks = [(max(rt, T0 + 0.2) if rt < 5 else 2.0, c, v, a, min(max(z, 0.2), 0.8)) for rt, c, v, a, z in picks]
    for variability in [dict(sv=1.0), dict(sv=2.5), dict(sz=0.3), dict(st=0.2), dict(st=0.6),
                        dict(sz=0.2, st=0.2), dict(sv=1.0, st=0.2), dict(sv=1.0, sz=0.2),
                        dict(sv=1.0, sz=0.2, st=0.2)]:
        print(f"{variability}, {len(picks)} points: max |dlog| = {worst(picks, **variability):.2e}", flush=True)


if __name__ == "__main__":
    main()
