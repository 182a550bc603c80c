"""Agreement of corvatel's densities with PyDDM's solvers (a peer
implementation of the same model; install it with `pip install pyddm` to run
this comparison, it is not a dependency).

    python3 bench/compare_pyddm.py

For a grid of drift, boundary and start, PyDDM solves the model with
constant drift, bounds at +-boundary/2, starting position 2 * start - 1 (a
fraction of the bound) and t0 = 0.3, without its default lapse mixture:
analytically where the start is centred, by its Crank-Nicolson solver
(dx = dt = 0.0005) otherwise. Reported: the largest relative difference of
the densities over the time grid where PyDDM's density exceeds 1% of its
peak (times > t0 + 10 ms), and the largest difference of the response
probabilities.
"""

import itertools
import json

import numpy as np
import pyddm

import corvatel

T0 = 0.3


def compare(drift, boundary, start):
    model = pyddm.gddm(drift=drift, noise=1.0, bound=boundary / 2, nondecision=T0,
                       starting_position=2 * start - 1, mixture_coef=0.0,
                       dx=0.0005, dt=0.0005, T_dur=6.0)
    solution = model.solve_analytical() if start == 0.5 else model.solve_numerical_cn()
    t = solution.t_domain
    worst = 0.0
    for name, choice in (("correct", True), ("error", False)):
        theirs = solution.pdf(name)
        ours = corvatel.wfpt_pdf(t, choice, drift, boundary, start, T0)
        mask = (theirs > 0.01 * theirs.max()) & (t > T0 + 0.01)
        worst = max(worst, float(np.max(np.abs(ours[mask] / theirs[mask] - 1))))
    x = 2 * drift * boundary
    p_upper = start if x == 0 else np.expm1(-x * start) / np.expm1(-x)
    return {
        "drift": drift, "boundary": boundary, "start": start,
        "solver": "analytical" if start == 0.5 else "crank-nicolson",
        "max_rel_pdf_diff": worst,
        "p_upper_diff": abs(float(solution.prob("correct")) - p_upper),
    }


def main():
    rows = [compare(v, a, z) for v, a, z in itertools.product([-1.0, 0.5, 2.0], [0.8, 1.5, 2.5], [0.5, 0.35])]
    for r in rows:
        print(json.dumps(r))
    for solver in ("analytical", "crank-nicolson"):
        sel = [r for r in rows if r["solver"] == solver]
        print(f"{solver}: max relative pdf difference {max(r['max_rel_pdf_diff'] for r in sel):.2e}, "
              f"max P(upper) difference {max(r['p_upper_diff'] for r in sel):.2e} over {len(sel)} settings")


if __name__ == "__main__":
    main()
