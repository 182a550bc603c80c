"""Recovery study with contaminant trials: how the likelihood fits with and
without the contaminant mixture (p_outlier), with and without a
response-time window, and the moment fits (EZ, fit_sim) recover drift,
boundary and non-decision time when 5% of the trials are fast guesses or
slow lapses. Prints per method the bias and RMSE of drift rate, boundary
separation and t0, pooled over the parameter sets and data sets, as the
README's Markdown table, and the CPU seconds of each method.

    python3 bench/recovery_contaminants.py [--reps 20] [--sim-reps 5] [--trials 500]

The data: four parameter sets, drift 0.6/1.5 x boundary 1.0/1.8, start 0.5,
t0 0.3, `reps` data sets each. Data set i (row i of the table of parameter
sets, sets in that order, replications within them) is
simulate_data's row i of `--trials` clean trials (seed 2026), of which
round(5% of n) are then replaced, drawn from
numpy.random.default_rng([2026, i]): rng.choice(n, k, replace=False) picks
the trials, rng.random(k) < 0.5 their choices, rng.uniform(0, 0.2, k // 2)
the times of the first k // 2 (fast guesses) and rng.uniform(1, 5,
k - k // 2) those of the others (slow lapses). Every method fits the same
data sets; fit_sim, which takes 5 to 8 CPU seconds a fit, only the first
`--sim-reps` of each set's. The window is min_rt 0.2 s (below every
diffusion trial, t0 being 0.3 s) and max_rt 2.5 s; for method "ml" it
truncates the likelihood, the moment fits fit the trials inside it as they
are.

Data come from the 1 ms Euler walk, which ends trials a little late: its
boundaries act as if about 0.018 further out each, so a correct fit finds a
boundary separation about 0.037 above the simulated one.
"""

import argparse
import time
import warnings

import numpy as np
import pandas as pd

import corvatel

SETS = pd.DataFrame({"drift": [0.6, 1.5, 0.6, 1.5], "boundary": [1.0, 1.0, 1.8, 1.8], "start": 0.5, "t0": 0.3})
SEED = 2026
SHARE = 0.05
FAST_GUESSES, SLOW_LAPSES = (0.0, 0.2), (1.0, 5.0)
WINDOW = {"min_rt": 0.2, "max_rt": 2.5}
# (label, fit keywords, data: "clean" the trials before any was replaced,
# "all" every contaminated data set, "sim" the first --sim-reps of each set)
METHODS = [
    ("ml, clean trials", {"method": "ml"}, "clean"),
    ("ml, p_outlier 0", {"method": "ml"}, "all"),
    ("ml, p_outlier 0.05", {"method": "ml", "p_outlier": 0.05}, "all"),
    ("ml, p_outlier free", {"method": "ml", "p_outlier": "free"}, "all"),
    ("ml, p_outlier free, window", {"method": "ml", "p_outlier": "free", **WINDOW}, "all"),
    ("ml, p_outlier 0, window", {"method": "ml", **WINDOW}, "all"),
    ("EZ", {"method": "ez"}, "all"),
    ("EZ, window", {"method": "ez", **WINDOW}, "all"),
    ("fit_sim", {"method": "sim"}, "sim"),
    ("fit_sim, window", {"method": "sim", **WINDOW}, "sim"),
]
ESTIMATES = {"drift_rate": "drift", "boundary_separation": "boundary", "non_decision_time": "t0"}


def contaminated_data(reps, trials):
    """The trials of every data set (columns data_set, set, rep and
    simulate_data's) with 5% of each replaced by contaminants as the doc
    says, the same before the replacement, and the table of parameter sets,
    one row per data set."""
    params = SETS.assign(set=range(len(SETS))).loc[SETS.index.repeat(reps)].reset_index(drop=True)
    params["rep"] = np.tile(np.arange(reps), len(SETS))
    params["data_set"] = range(len(params))
    table = corvatel.simulate_data(params, trials, SEED)
    parts = []
    for i, data in table.groupby("data_set", sort=True):
        data = data.copy()
        rng = np.random.default_rng([SEED, i])
        n = len(data)
        k = round(SHARE * n)
        rows = rng.choice(n, k, replace=False)
        choices, rts = data["choice"].to_numpy(copy=True), data["rt"].to_numpy(copy=True)
        choices[rows] = rng.random(k) < 0.5
        rts[rows[:k // 2]] = rng.uniform(*FAST_GUESSES, k // 2)
        rts[rows[k // 2:]] = rng.uniform(*SLOW_LAPSES, k - k // 2)
        data["choice"], data["rt"] = choices, rts
        parts.append(data)
    return pd.concat(parts, ignore_index=True), table, params


def fit_all(data, params, options):
    """One row per data set: fit's table with the true parameters beside it."""
    start = time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the flags are counted below
        fits = corvatel.fit(data, by="data_set", progress=False, **options)
    truth = params[["data_set", "set", "drift", "boundary", "t0"]]
    return fits.merge(truth, on="data_set", validate="one_to_one"), time.process_time() - start


def md(*cells):
    return "| " + " | ".join(str(c) for c in cells) + " |"


def summary_row(label, fits):
    """Bias and RMSE per estimate over the fitted data sets; drift's bias in
    percent of the true drift too (pooled, and the range of the sets'), t0's
    in ms (likewise); and the sets' drift and t0 biases for the second table."""
    failed = fits["error"] != ""
    ok = fits[~failed]
    errors = {name: ok[name] - ok[truth] for name, truth in ESTIMATES.items()}
    drift_pct = 100.0 * errors["drift_rate"] / ok["drift"]
    by_set_pct = drift_pct.groupby(ok["set"]).mean()
    t0_ms = 1000.0 * errors["non_decision_time"]
    by_set_ms = t0_ms.groupby(ok["set"]).mean()
    rmse = {name: float(np.sqrt(np.mean(e ** 2))) for name, e in errors.items()}
    per_set = md(label, *(f"{pct:+.1f} / {ms:+.1f}" for pct, ms in zip(by_set_pct, by_set_ms)))
    return per_set, md(label, len(fits), int(failed.sum()), int((ok["warning"] != "").sum()),
              f"{errors['drift_rate'].mean():+.3f}", f"{drift_pct.mean():+.1f}",
              f"{by_set_pct.min():+.1f} to {by_set_pct.max():+.1f}", f"{rmse['drift_rate']:.3f}",
              f"{errors['boundary_separation'].mean():+.3f}", f"{rmse['boundary_separation']:.3f}",
              f"{t0_ms.mean():+.1f}", f"{by_set_ms.min():+.1f} to {by_set_ms.max():+.1f}",
              f"{1000.0 * rmse['non_decision_time']:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20)
    parser.add_argument("--sim-reps", type=int, default=5)
    parser.add_argument("--trials", type=int, default=500)
    args = parser.parse_args()
    data, clean, params = contaminated_data(args.reps, args.trials)
    chosen = {"all": data, "clean": clean, "sim": data[data["rep"] < args.sim_reps]}
    rows, per_set_rows, seconds = [], [], []
    for label, options, which in METHODS:
        if chosen[which].empty:  # --sim-reps 0
            continue
        fits, cpu = fit_all(chosen[which], params, options)
        per_set, row = summary_row(label, fits)
        rows.append(row)
        per_set_rows.append(per_set)
        seconds.append(f"{label} {cpu:.1f}")
    print("| method | data sets | failed | flagged | drift bias | drift bias % | by set | drift RMSE "
          "| boundary bias | boundary RMSE | t0 bias (ms) | by set | t0 RMSE (ms) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    sets = [f"{r.drift}/{r.boundary}" for r in SETS.itertuples()]
    print("Drift bias % / t0 bias (ms) per parameter set (drift/boundary):")
    print()
    print(md("method", *sets))
    print("|---" * (len(sets) + 1) + "|")
    print("\n".join(per_set_rows))
    print()
    print(f"{len(SETS)} parameter sets x {args.reps} data sets ({args.sim_reps} for fit_sim) of {args.trials} "
          "trials; CPU seconds: " + "; ".join(seconds))


if __name__ == "__main__":
    main()
