"""Likelihood speed: wfpt_logpdf over 10^6 simulated trials (four-parameter
model, with sv, with sz and st), wfpt_cdf over simulated trials (the same
models), maximum-likelihood fits of 1000 trials
("ddm" and "full"), a joint fit of 12 levels x 500 trials with drift per
level, and a "ddm" fit of 10^6 trials on 1 and on 2 worker threads.

    python3 bench/bench_likelihood.py [--reps 5] [--skip-full] [--skip-large] [--only-cdf]

The densities and distribution functions run on the worker pool: each is timed with one worker and
with two (wall time, the minimum over the repetitions, and the process's
CPU time with one worker). The small fits run in the calling thread (one
core): CPU seconds of that thread (time.thread_time), the minimum over the
repetitions, so that other processes on a shared machine inflate them less
than wall time would; wall-clock medians are printed beside them. The fit
of 10^6 trials sums its likelihood on the worker pool: its figure is wall
time, one run per thread count, with the results compared bit for bit.
"""

import argparse
import json
import platform
import statistics
import time

import numpy as np

import corvatel


def timed(function, reps):
    cpu, wall = [], []
    for _ in range(reps):
        c0, w0 = time.thread_time(), time.perf_counter()
        result = function()
        cpu.append(time.thread_time() - c0)
        wall.append(time.perf_counter() - w0)
    return min(cpu), statistics.median(wall), result


def pool_times(function, reps):
    """Minimum wall and process CPU seconds over `reps` calls."""
    wall, cpu = [], []
    for _ in range(reps):
        c0, w0 = time.process_time(), time.perf_counter()
        function()
        cpu.append(time.process_time() - c0)
        wall.append(time.perf_counter() - w0)
    return min(wall), min(cpu)


def density_figures(reps):
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1_000_000, 2024)
    base = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
    out = {}
    before = corvatel.get_num_threads()
    try:
        for label, extra, n in [
            ("four_parameter", {}, len(rts)),
            ("sv", dict(sv=1.0), len(rts)),
            ("sz", dict(sz=0.2), 100_000),
            ("st", dict(st=0.2), 100_000),
            ("sz_st", dict(sz=0.2, st=0.2), 20_000),
            ("sv_sz_st", dict(sv=1.0, sz=0.2, st=0.2), 20_000),
        ]:
            row = {"trials": n}
            for workers in (1, 2):
                corvatel.set_num_threads(workers)
                wall, cpu = pool_times(lambda: corvatel.wfpt_logpdf(rts[:n], choices[:n], **base, **extra), reps)
                row[f"ns_per_trial_wall_{workers}_workers"] = wall / n * 1e9
                row[f"ns_per_trial_cpu_{workers}_workers"] = cpu / n * 1e9
            out[label] = row
    finally:
        corvatel.set_num_threads(before)
    return out


def cdf_figures(reps):
    """wfpt_cdf at the response times of simulated trials; fewer trials for
    the variabilities, whose values are numerical integrals."""
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 200_000, 2024)
    base = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
    out = {}
    before = corvatel.get_num_threads()
    try:
        for label, extra, n in [
            ("four_parameter", {}, 200_000),
            ("sv", dict(sv=1.0), 2_000),
            ("sz", dict(sz=0.2), 50_000),
            ("st", dict(st=0.2), 5_000),
            ("sv_sz_st", dict(sv=1.0, sz=0.2, st=0.2), 100),
        ]:
            row = {"trials": n}
            for workers in (1, 2):
                corvatel.set_num_threads(workers)
                wall, cpu = pool_times(lambda: corvatel.wfpt_cdf(rts[:n], choices[:n], **base, **extra), reps)
                row[f"ns_per_trial_wall_{workers}_workers"] = wall / n * 1e9
                row[f"ns_per_trial_cpu_{workers}_workers"] = cpu / n * 1e9
            out[label] = row
    finally:
        corvatel.set_num_threads(before)
    return out


def fit_figures(reps, skip_full):
    out = {}
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1000, 101)
    cpu, wall, fit = timed(lambda: corvatel.fit_ml(choices, rts), reps)
    out["ddm_1000"] = {"cpu_s": cpu, "wall_s": wall, "iterations": fit["iterations"]}
    if not skip_full:
        c, r, _ = corvatel.simulate_full(1.0, 1.5, 0.5, 0.3, 1000, 101, sv=0.8, sz=0.2, st=0.15)
        cpu, wall, fit = timed(lambda: corvatel.fit_ml(c, r, model="full"), 1)
        out["full_1000"] = {"cpu_s": cpu, "wall_s": wall, "iterations": fit["iterations"]}
    drifts = np.linspace(0.0, 2.75, 12)
    parts = [corvatel.simulate(v, 1.5, 0.5, 0.3, 500, 300 + i)[:2] for i, v in enumerate(drifts)]
    c = np.concatenate([p[0] for p in parts])
    r = np.concatenate([p[1] for p in parts])
    levels = np.repeat(np.arange(12), [len(p[1]) for p in parts])
    cpu, wall, rows = timed(lambda: corvatel.fit_ml_joint(c, r, levels), max(1, reps // 2))
    out["joint_12x500"] = {"cpu_s": cpu, "wall_s": wall, "iterations": rows[0]["iterations"]}
    return out


def large_fit_figures():
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1_000_000, 2024)
    before = corvatel.get_num_threads()
    out, fits = {}, []
    try:
        for k in (1, 2):
            corvatel.set_num_threads(k)
            _, wall, fit = timed(lambda: corvatel.fit_ml(choices, rts), 1)
            out[f"ddm_1e6_threads_{k}"] = {"wall_s": wall, "iterations": fit["iterations"]}
            fits.append({key: float(v).hex() for key, v in fit.items()})
    finally:
        corvatel.set_num_threads(before)
    out["same_result_on_1_and_2_threads"] = fits[0] == fits[1]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--skip-full", action="store_true")
    parser.add_argument("--skip-large", action="store_true")
    parser.add_argument("--only-cdf", action="store_true", help="time wfpt_cdf alone")
    args = parser.parse_args()
    result = {"machine": platform.processor() or platform.machine()}
    if args.only_cdf:
        result["distribution_functions"] = cdf_figures(args.reps)
        print(json.dumps(result, indent=2))
        return
    result["densities"] = density_figures(args.reps)
    result["distribution_functions"] = cdf_figures(args.reps)
    result["fits"] = fit_figures(args.reps, args.skip_full)
    if not args.skip_large:
        result["large_fit"] = large_fit_figures()
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
