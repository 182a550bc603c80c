"""Simulation speed: corvatel on one worker and on all workers, on each SIMD
path of the walk this machine runs, beside a plain vectorised NumPy Euler
loop, ssm-simulators' `ddm` on one thread (when installed: the optional
`bench` extra) and the normal sampler alone.

    python3 bench/bench_simulate.py [--reps 5]

Prints one table; the figures that matter are ratios within this run.
Each corvatel figure comes from a child process with CORVATEL_SIMD naming
the path; the one-worker figures from a child whose affinity mask holds a
single processor, since the worker pool sizes itself from that mask. The
sampler figure comes from the core's Google Benchmark program, which this
script builds (or brings up to date) under build/bench.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import time

import numpy as np

from _common import core_program, run_child, simd_paths
PARAMS = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
N = 200_000
DT = 0.001
MAX_STEPS = 10_001  # a trial that times out has made this many steps


def total_steps(rts, n_excluded, t0):
    """Euler steps behind a batch: each kept rt is t0 plus k steps of 1 ms."""
    return int(np.rint((rts - t0) / DT).sum()) + n_excluded * MAX_STEPS


def time_corvatel(reps, n=N):
    import corvatel

    corvatel.simulate(**PARAMS, n=1000, seed=0)  # start the pool
    seconds, steps = [], None
    for rep in range(reps):
        start = time.perf_counter()
        choices, rts, n_excluded = corvatel.simulate(**PARAMS, n=n, seed=0)
        seconds.append(time.perf_counter() - start)
        steps = total_steps(rts, n_excluded, PARAMS["t0"]) if rep == 0 else steps
    return {"seconds": statistics.median(seconds), "min_seconds": min(seconds), "steps": steps, "trials": n}


def numpy_euler(drift, boundary, start, t0, n, rng):
    """The loop a user would write: all active trials advance together."""
    x = np.full(n, start * boundary)
    index = np.arange(n)
    choice = np.zeros(n, dtype=bool)
    rt = np.full(n, np.nan)
    a, s = drift * DT, np.sqrt(DT)
    t, steps = 0.0, 0
    while index.size and t < 10.0:
        x += a + s * rng.standard_normal(x.size)
        t += DT
        steps += x.size
        done = (x >= boundary) | (x <= 0.0)
        if done.any():
            rt[index[done]] = t + t0
            choice[index[done]] = x[done] >= boundary
            keep = ~done
            x, index = x[keep], index[keep]
    return choice, rt, steps


def time_numpy(reps, n=50_000):
    seconds, steps = [], 0
    for rep in range(reps):
        rng = np.random.default_rng(rep)
        start = time.perf_counter()
        _, _, steps = numpy_euler(**PARAMS, n=n, rng=rng)
        seconds.append(time.perf_counter() - start)
    return {"seconds": statistics.median(seconds), "min_seconds": min(seconds), "steps": steps, "trials": n}


def time_ssm(reps, n=50_000):
    """ssm-simulators' `ddm` on one thread, the same model: its `a` is half
    the boundary separation and `z` the relative start. None when it is not
    installed."""
    try:
        from ssms.basic_simulators.simulator import simulator
        from importlib.metadata import version
    except ImportError:
        return None
    theta = np.array([[PARAMS["drift"], PARAMS["boundary"] / 2, PARAMS["start"], PARAMS["t0"]]])
    seconds, steps = [], 0
    for rep in range(reps):
        start = time.perf_counter()
        out = simulator(theta=theta, model="ddm", n_samples=n, random_state=rep, smooth_unif=False, n_threads=1)
        seconds.append(time.perf_counter() - start)
        steps = int(np.rint((out["rts"].ravel() - PARAMS["t0"]) / DT).sum())
    return {"seconds": statistics.median(seconds), "min_seconds": min(seconds), "steps": steps, "trials": n,
            "version": version("ssm-simulators")}


def sampler_ns():
    """ns per standard normal variate, from the core's benchmark program."""
    out = subprocess.run([str(core_program("sampler_bench")), "--benchmark_filter=BM_StandardNormal$",
                          "--benchmark_format=json", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true"], check=True, capture_output=True, text=True)
    for run in json.loads(out.stdout)["benchmarks"]:
        if run.get("aggregate_name") == "median":
            return run["cpu_time"]
    raise RuntimeError("sampler benchmark gave no median")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="repetitions; medians (and minima) are reported")
    args = parser.parse_args()

    import corvatel

    workers = len(os.sched_getaffinity(0))
    paths = simd_paths()
    runs = {}
    for path in paths:
        env = {"CORVATEL_SIMD": path}
        runs[path, 1] = run_child("bench_simulate", "time_corvatel", args.reps, env=env, one_worker=True)
        runs[path, workers] = run_child("bench_simulate", "time_corvatel", args.reps, env=env)
    baseline = time_numpy(max(3, args.reps // 2))
    ssm = time_ssm(max(3, args.reps // 2))
    variate = sampler_ns()

    def per_step(r, key="seconds"):
        return r[key] * 1e9 / r["steps"]

    rows = []
    for (path, w), r in runs.items():
        rows.append((f"corvatel {path}, {w} worker{'s' if w > 1 else ''}", r))
    rows.append(("NumPy Euler loop", baseline))
    if ssm is not None:
        rows.append((f"ssm-simulators {ssm['version']} ddm", ssm))
    print(f"corvatel {corvatel.__version__}; {platform.processor() or platform.machine()}, "
          f"{workers} processors; Python {platform.python_version()}, NumPy {np.__version__}")
    print(f"drift 1, boundary 1.5, start 0.5, t0 0.3; corvatel n = {N}, NumPy n = {baseline['trials']}"
          + (f", ssm-simulators n = {ssm['trials']} (1 thread)" if ssm else ", ssm-simulators not installed")
          + f"; medians (minima) of {args.reps} runs")
    print(f"{'':34}{'ns / step':>10}{'(min)':>8}{'trials / s':>14}")
    for name, r in rows:
        print(f"{name:34}{per_step(r):10.2f}{per_step(r, 'min_seconds'):8.2f}{r['trials'] / r['seconds']:14.0f}")
    print(f"{'normal variate alone':34}{variate:10.2f}")
    print()
    best = paths[-1]
    one = per_step(runs[best, 1])
    print(f"{best} / scalar per step, 1 worker      {per_step(runs['scalar', 1]) / one:6.2f}  (target >= 2)")
    print(f"NumPy step / 1-worker {best} step      {per_step(baseline) / one:6.2f}  (aim >= 10)")
    if ssm is not None:
        print(f"ssm-simulators step / 1-worker step  {per_step(ssm) / one:6.2f}  (aim >= 8)")
    print(f"all-workers speed-up ({best})         {one / per_step(runs[best, workers]):6.2f}  "
          f"(target >= 1.9 on 2 cores)")


if __name__ == "__main__":
    main()
