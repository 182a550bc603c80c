"""Simulation speed: corvatel on one worker and on all workers, a plain
vectorised NumPy Euler loop, and the normal sampler alone.

    python3 bench/bench_simulate.py [--reps 5]

Prints one table; the figures that matter are ratios within this run.
The one-worker figures come from a child process whose affinity mask holds a
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

from _common import core_program, run_on_one_worker
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
        choices, rts, n_excluded = corvatel.simulate(**PARAMS, n=n, seed=rep)
        seconds.append(time.perf_counter() - start)
        steps = total_steps(rts, n_excluded, PARAMS["t0"]) if rep == 0 else steps
    return {"seconds": statistics.median(seconds), "steps": steps, "trials": n}


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
    return {"seconds": statistics.median(seconds), "steps": steps, "trials": n}


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
    parser.add_argument("--reps", type=int, default=5, help="repetitions; medians are reported")
    args = parser.parse_args()

    import corvatel

    workers = len(os.sched_getaffinity(0))
    single = run_on_one_worker("bench_simulate", "time_corvatel", args.reps)
    multi = time_corvatel(args.reps)
    baseline = time_numpy(max(3, args.reps // 2))
    variate = sampler_ns()

    def per_step(r):
        return r["seconds"] * 1e9 / r["steps"]

    rows = [
        ("corvatel, 1 worker", per_step(single), single["trials"] / single["seconds"]),
        (f"corvatel, {workers} workers", per_step(multi), multi["trials"] / multi["seconds"]),
        ("NumPy Euler loop", per_step(baseline), baseline["trials"] / baseline["seconds"]),
    ]
    print(f"corvatel {corvatel.__version__}; {platform.processor() or platform.machine()}, "
          f"{workers} processors; Python {platform.python_version()}, NumPy {np.__version__}")
    print(f"drift 1, boundary 1.5, start 0.5, t0 0.3; corvatel n = {N}, NumPy n = {baseline['trials']}; "
          f"medians of {args.reps} runs")
    print(f"{'':24}{'ns / step':>12}{'trials / s':>14}")
    for name, ns, rate in rows:
        print(f"{name:24}{ns:12.2f}{rate:14.0f}")
    print(f"{'normal variate alone':24}{variate:12.2f}")
    print()
    print(f"NumPy step / 1-worker step      {per_step(baseline) / per_step(single):6.2f}  (target >= 3)")
    print(f"1-worker step / normal variate  {per_step(single) / variate:6.2f}  (target <= 1.5)")
    print(f"all-workers speed-up            {per_step(single) / per_step(multi):6.2f}  (target >= 1.8 on 2 cores)")


if __name__ == "__main__":
    main()
