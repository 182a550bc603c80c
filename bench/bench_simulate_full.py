"""Speed of simulate_full beside simulate: ns per Euler step on each SIMD
path of the walk this machine runs, with one and with two workers.

    python3 bench/bench_simulate_full.py [--reps 5]

Prints one table; the figure that matters is the ratio of the two calls'
time per step within this run (target: simulate_full at most 1.3 times
simulate). Each figure comes from a child process with CORVATEL_SIMD naming
the path and the worker count set by corvatel.set_num_threads. Wall time
is what counts; the ratio of the process's CPU time (all its threads) is
printed beside it, since on a shared machine it varies less.

Steps are counted as bench_simulate.py counts them, from each kept rt minus
t0. simulate_full's t0 differs per trial when st > 0, but st changes no walk
(the draws are made whatever st is), so its steps are counted on the same
call with st = 0.
"""

import argparse
import os
import platform
import statistics
import time

import numpy as np

from _common import run_child, simd_paths
from bench_simulate import total_steps

PARAMS = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
VARIABILITY = dict(sv=0.8, sz=0.2, st=0.15)
N = 200_000


def time_call(function, workers, reps, n=N):
    """Median and minimum seconds of `reps` calls of corvatel.<function> with
    `workers` workers, and the Euler steps behind one call."""
    import corvatel

    corvatel.set_num_threads(workers)
    call = getattr(corvatel, function)
    extra = VARIABILITY if function == "simulate_full" else {}
    call(**PARAMS, **extra, n=1000, seed=0)  # start the pool
    seconds, cpu_seconds = [], []
    for _ in range(reps):
        start, cpu_start = time.perf_counter(), time.process_time()
        call(**PARAMS, **extra, n=n, seed=0)
        seconds.append(time.perf_counter() - start)
        cpu_seconds.append(time.process_time() - cpu_start)
    _, rts, n_excluded = call(**PARAMS, **(dict(extra, st=0.0) if extra else {}), n=n, seed=0)
    steps = total_steps(rts, n_excluded, PARAMS["t0"])
    return {"seconds": statistics.median(seconds), "cpu_seconds": statistics.median(cpu_seconds), "steps": steps}


def per_step(r, key="seconds"):
    return r[key] * 1e9 / r["steps"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="repetitions; medians are reported")
    args = parser.parse_args()

    import corvatel

    processors = len(os.sched_getaffinity(0))
    worker_counts = [1, 2] if processors >= 2 else [1]
    print(f"corvatel {corvatel.__version__}; {platform.processor() or platform.machine()}, "
          f"{processors} processors; Python {platform.python_version()}, NumPy {np.__version__}; "
          f"load average {os.getloadavg()[0]:.2f} before")
    print(f"drift 1, boundary 1.5, start 0.5, t0 0.3; simulate_full with sv {VARIABILITY['sv']}, "
          f"sz {VARIABILITY['sz']}, st {VARIABILITY['st']}; n = {N}; medians of {args.reps} runs")
    print(f"{'':24}{'simulate':>16}{'simulate_full':>16}{'ratio':>8}{'CPU ratio':>10}")
    print(f"{'ns / step':24}{'wall':>8}{'CPU':>8}{'wall':>8}{'CPU':>8}")
    for path in simd_paths():
        for workers in worker_counts:
            env = {"CORVATEL_SIMD": path}
            plain = run_child("bench_simulate_full", "time_call", "simulate", workers, args.reps, env=env)
            full = run_child("bench_simulate_full", "time_call", "simulate_full", workers, args.reps, env=env)
            name = f"{path}, {workers} worker{'s' if workers > 1 else ''}"
            print(f"{name:24}{per_step(plain):8.2f}{per_step(plain, 'cpu_seconds'):8.2f}"
                  f"{per_step(full):8.2f}{per_step(full, 'cpu_seconds'):8.2f}"
                  f"{per_step(full) / per_step(plain):8.2f}"
                  f"{per_step(full, 'cpu_seconds') / per_step(plain, 'cpu_seconds'):10.2f}", flush=True)
    print("\nwall: median wall time; CPU: median CPU time of the process, all its threads")
    print("ratio: simulate_full's wall time per step over simulate's (target <= 1.3); CPU ratio: the same for "
          "CPU time")


if __name__ == "__main__":
    main()
