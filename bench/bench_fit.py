"""Simulation-fit speed: fit_sim on 1000 trials (drift 1, boundary 1.5,
t0 0.3, seed 101) with the default max_iters, on one worker and on all
workers, beside one simulate of 5000 trials at the fitted parameters.

    python3 bench/bench_fit.py [--reps 3]

Each cost evaluation of the fit simulates 5000 trials, so seconds per
evaluation over one such simulate shows what the minimiser and the statistics
add. The evaluation count comes from the core's fit_bench program, which runs
the same fit on a pool that counts its batches.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import time

from _common import core_program, run_on_one_worker

DATA = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3, n=1000, seed=101)


def time_fit(reps):
    import corvatel

    choices, rts, _ = corvatel.simulate(**DATA)
    seconds = []
    for _ in range(reps):
        start = time.perf_counter()
        fit = corvatel.fit_sim(choices, rts)
        seconds.append(time.perf_counter() - start)
    sim_seconds = []
    for _ in range(max(5, reps)):
        start = time.perf_counter()
        corvatel.simulate(fit["drift_rate"], fit["boundary_separation"], 0.5, fit["non_decision_time"], 5000, 1)
        sim_seconds.append(time.perf_counter() - start)
    return {"fit": statistics.median(seconds), "simulate_5000": statistics.median(sim_seconds),
            "iterations": fit["iterations"], "final_cost": fit["final_cost"]}


def evaluations(workers):
    out = subprocess.run([str(core_program("fit_bench")), str(workers), str(DATA["seed"])], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3, help="repetitions; medians are reported")
    args = parser.parse_args()

    import corvatel

    workers = len(os.sched_getaffinity(0))
    runs = {1: run_on_one_worker("bench_fit", "time_fit", args.reps), workers: time_fit(args.reps)}
    core = evaluations(workers)
    for r in runs.values():  # the core program must have run the very same fit
        assert (r["iterations"], r["final_cost"]) == (core["iterations"], core["final_cost"]), (r, core)
    n_eval = core["evaluations"]

    print(f"corvatel {corvatel.__version__}; {platform.machine()}, {workers} processors; "
          f"Python {platform.python_version()}; medians of {args.reps} runs")
    print(f"fit_sim of {DATA['n']} trials, default guess, max_iters 200: {core['iterations']} iterations, "
          f"{n_eval} cost evaluations, final cost {core['final_cost']:.3g}")
    print(f"{'':14}{'fit s':>9}{'ms / eval':>11}{'simulate 5000 ms':>18}{'eval / simulate':>17}")
    for w, r in runs.items():
        per_eval = r["fit"] / n_eval
        print(f"{w} worker{'s' if w > 1 else ' '}     {r['fit']:9.3f}{per_eval * 1e3:11.3f}"
              f"{r['simulate_5000'] * 1e3:18.3f}{per_eval / r['simulate_5000']:17.2f}")
    print("target: eval / simulate <= 1.2")


if __name__ == "__main__":
    main()
