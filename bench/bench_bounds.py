"""Collapsing bounds: one likelihood of 1,000 trials (bounds_logpdf: a solve
and the interpolation) for each bound at three resolutions, and maximum-
likelihood fits of an angle model, with and without leak, to 2 x 1,000
trials, and a joint fit of an angle model with leak to 2 conditions x 1,000
trials with the drift per condition, all on one worker thread.

    python3 bench/bench_bounds.py [--reps 5]

The trials come from an Euler walk of the angle model in NumPy at a 0.1 ms
step (seed 3: drift 1, boundary 1.5, theta 0.3, t0 0.3; the joint fit's
second condition: seed 4, drift 0.5). Likelihood figures
are the minimum over the repetitions of the process's CPU time (one worker,
so CPU time is the work); fit figures are one run each, CPU time and wall
time, with the fitted parameters.
"""

import argparse
import json
import math
import time

import numpy as np

import corvatel

TRUTH = dict(drift=1.0, boundary=1.5, t0=0.3, theta=0.3)
BOUNDS = {
    "constant": {},
    "angle": dict(theta=0.3),
    "weibull": dict(shape=2.0, scale=1.5),
    "exponential": dict(rate=0.5),
    "hyperbolic": dict(rate=0.8),
}


def euler_trials(drift, boundary, t0, theta, n, seed, dt=1e-4, t_max=5.0):
    """(choices, rts) of an angle-bound walk started in the middle; walks
    still inside at t_max are dropped."""
    rng = np.random.default_rng(seed)
    x = np.zeros(n)
    alive = np.ones(n, dtype=bool)
    choices = np.zeros(n, dtype=bool)
    rts = np.full(n, np.nan)
    for k in range(1, int(t_max / dt) + 1):
        idx = np.flatnonzero(alive)
        if idx.size == 0:
            break
        x[idx] += drift * dt + math.sqrt(dt) * rng.standard_normal(idx.size)
        half = 0.5 * boundary - k * dt * math.tan(theta)
        up, down = x[idx] >= half, x[idx] <= -half
        choices[idx[up]] = True
        rts[idx[up | down]] = t0 + k * dt
        alive[idx[up | down]] = False
    kept = ~np.isnan(rts)
    return choices[kept], rts[kept]


def cpu_min(function, reps):
    times = []
    for _ in range(reps):
        c0 = time.process_time()
        function()
        times.append(time.process_time() - c0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    corvatel.set_num_threads(1)
    choices, rts = euler_trials(TRUTH["drift"], TRUTH["boundary"], TRUTH["t0"], TRUTH["theta"], 2000, 3)
    rows = []
    for bound, extra in BOUNDS.items():
        for resolution in (1 / 72, 1 / 144, 1 / 288):
            ms = 1e3 * cpu_min(lambda: corvatel.bounds_logpdf(rts[:1000], choices[:1000], 1.0, 1.5, 0.5, 0.3,
                                                              bound=bound, resolution=resolution, **extra),
                               args.reps)
            rows.append({"likelihood": bound, "resolution": f"1/{round(1 / resolution)}", "ms": round(ms, 3)})
            print(f"likelihood, {bound:12s} resolution 1/{round(1 / resolution):<4d} {ms:7.3f} ms per 1,000 trials")
    for label, options in [("angle", {}), ("angle + leak", dict(leak=True))]:
        c0, w0 = time.process_time(), time.perf_counter()
        fit = corvatel.fit_ml(choices, rts, model="angle", **options)
        cpu, wall = time.process_time() - c0, time.perf_counter() - w0
        params = {k: round(v, 3) for k, v in fit.items() if isinstance(v, float)}
        rows.append({"fit": label, "cpu_s": round(cpu, 2), "wall_s": round(wall, 2), "params": params})
        print(f"fit {label:14s} {cpu:6.2f} s CPU {wall:6.2f} s wall  {params}")
    slow_choices, slow_rts = euler_trials(0.5, TRUTH["boundary"], TRUTH["t0"], TRUTH["theta"], 1000, 4)
    joint_choices = np.concatenate((choices[:1000], slow_choices))
    joint_rts = np.concatenate((rts[:1000], slow_rts))
    conditions = np.repeat([0, 1], [1000, len(slow_rts)])
    c0, w0 = time.process_time(), time.perf_counter()
    fits = corvatel.fit_ml_joint(joint_choices, joint_rts, conditions, depends_on="drift_rate", model="angle",
                                 leak=True)
    cpu, wall = time.process_time() - c0, time.perf_counter() - w0
    params = [{k: round(v, 3) for k, v in fit.items() if k in ("drift_rate", "boundary_separation",
                                                               "non_decision_time", "theta", "leak")}
              for fit in fits]
    rows.append({"fit": "joint angle + leak", "cpu_s": round(cpu, 2), "wall_s": round(wall, 2), "params": params,
                 "iterations": fits[0]["iterations"]})
    print(f"fit joint angle + leak, drift per condition {cpu:6.2f} s CPU {wall:6.2f} s wall  {params}")
    print(json.dumps(rows))


if __name__ == "__main__":
    main()
