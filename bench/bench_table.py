"""The table layer's costs: fit(method="ez") on 1000 groups x 200 trials
(one processor), the table layer's share of fit(method="sim"), and the peak
memory of simulate_data for 10^7 trials against the returned table's size.

    python3 bench/bench_table.py [--reps 5]

Each figure runs in a child process whose affinity mask holds one
processor; times are medians (and minima) over the repetitions.
"""

import argparse
import json
import platform
import resource
import statistics
import time

from _common import run_on_one_worker

GROUPS, TRIALS = 1000, 200


def _table(groups, trials, seed):
    import numpy as np
    import pandas as pd

    import corvatel

    params = pd.DataFrame({"subject": np.arange(groups) // 4, "condition": np.arange(groups) % 4,
                           "drift": 0.5 + (np.arange(groups) % 7) * 0.3, "boundary": 1.2, "start": 0.5,
                           "t0": 0.3})
    table = corvatel.simulate_data(params, trials, seed)
    # Interleave the groups, as trial-by-trial data files do.
    return table.sample(frac=1.0, random_state=1).reset_index(drop=True)


def fit_ez_time(reps):
    import corvatel

    table = _table(GROUPS, TRIALS, 5)
    seconds = []
    for _ in range(reps):
        start = time.perf_counter()
        fits = corvatel.fit(table, by=["subject", "condition"], method="ez", progress=False)
        seconds.append(time.perf_counter() - start)
    assert len(fits) == GROUPS and (fits["error"] == "").all()
    # The fits alone, on arrays split beforehand: what the table layer adds.
    arrays = [(g["choice"].to_numpy(), g["rt"].to_numpy()) for _, g in table.groupby(["subject", "condition"])]
    bare = []
    for _ in range(reps):
        start = time.perf_counter()
        for choices, rts in arrays:
            corvatel.fit_ez(choices, rts)
        bare.append(time.perf_counter() - start)
    return {"median": statistics.median(seconds), "min": min(seconds), "fit_ez_alone": statistics.median(bare)}


def sim_overhead(reps, groups=8, max_iters=30):
    """Seconds in fit() around the fit_sim calls, over seconds in them."""
    import corvatel
    from corvatel import _fitting

    table = _table(groups, TRIALS, 6)
    inner = _fitting.METHODS["sim"]
    spent = [0.0]

    def timed(choices, rts, options):
        start = time.perf_counter()
        try:
            return inner.fit(choices, rts, options)
        finally:
            spent[0] += time.perf_counter() - start

    _fitting.METHODS["sim"] = _fitting.Method(timed, inner.columns, inner.int_columns)
    shares = []
    for _ in range(reps):
        spent[0] = 0.0
        start = time.perf_counter()
        corvatel.fit(table, by=["subject", "condition"], max_iters=max_iters, progress=False)
        total = time.perf_counter() - start
        shares.append((total - spent[0]) / spent[0])
    _fitting.METHODS["sim"] = inner
    return {"groups": groups, "max_iters": max_iters, "overhead_share_median": statistics.median(shares),
            "fit_seconds": spent[0]}


def simulate_memory(n=10_000_000, sets=1):
    import numpy as np

    import corvatel

    corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1000, 1)  # start the worker pool and load everything first
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    params = {"drift": [1.0] * sets, "boundary": [1.5] * sets, "start": [0.5] * sets, "t0": [0.3] * sets,
              "subject": [f"s{i}" for i in range(sets)]}
    if sets == 1:
        params = {k: v[0] for k, v in params.items() if k != "subject"}
    table = corvatel.simulate_data(params, n // sets, 3)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    size = int(table.memory_usage(deep=True, index=False).sum())
    assert len(table) + sum(table.attrs["n_excluded"]) == n and np.isfinite(table["rt"]).all()
    return {"n": n, "sets": sets, "table_bytes": size, "peak_increase_bytes": peak, "ratio": peak / size}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="repetitions; medians are reported")
    args = parser.parse_args()
    import numpy
    import pandas

    results = {
        "machine": f"{platform.processor() or platform.machine()}, Python {platform.python_version()}, "
                   f"NumPy {numpy.__version__}, pandas {pandas.__version__}",
        "fit_ez_1000x200_one_processor": run_on_one_worker("bench_table", "fit_ez_time", args.reps),
        "fit_sim_table_overhead_one_processor": run_on_one_worker("bench_table", "sim_overhead", 3),
        "simulate_data_memory_1_set": run_on_one_worker("bench_table", "simulate_memory", 10_000_000, 1),
        "simulate_data_memory_100_sets": run_on_one_worker("bench_table", "simulate_memory", 10_000_000, 100),
    }
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
