"""Recovery of participants' parameters by fit_hierarchical against
per-participant maximum likelihood (fit(method="ml")) on the same data:
20 participants x 100 trials from fixed group distributions, several
seeds. Prints RMSEs as Markdown tables and writes them, with every
estimate, to --json.

    python3 bench/recovery_hierarchical.py [--seeds 5] [--participants 20] [--trials 100]
        [--chains 2] [--tune 500] [--draws 500] [--contaminants 0.04] [--json recovery_hierarchical.json]

--contaminants SHARE replaces that share of each participant's trials
(rounded down, at least one) by contaminants, half fast guesses uniform on
0.02-0.2 s, half lapses uniform on 1-5 s, either response; both fits then
estimate p_outlier ("free").

The participants of seed k (numpy's default_rng(k) for the parameters,
derived seeds for the walks):
  drift_j ~ Normal(1.0, 0.5)
  boundary_j = exp(Normal(log 1.5, 0.2))
  start_j = sigmoid(Normal(0, 0.3))
  t0_j ~ Normal(0.3, 0.05), at least 0.1
and their trials from the Euler walk of simulate_bounds at dt = 0.1 ms
(its separation acts about 0.012 wider; the 1 ms walk's 0.037 would bias
both fits' boundaries alike). Drift, boundary and start follow the
hierarchical model's group distributions (normal on the link's scale);
t0 does not (the model has a logit-normal share of each participant's
fastest response), which costs the hierarchical fit whatever its pooling
of t0 pulls the wrong way; ML has no group distribution to miss.

Estimates: ML, each participant's fit; hierarchical, the posterior means
of each participant's parameters (``participants()``). RMSE over all
participants of all seeds. Group means, two ways:
- the mean of the participants' true values in the data set, estimated
  by the mean of the participants' estimates (for the hierarchical fit,
  the posterior mean of that average);
- the population's centre (drift 1.0, boundary median 1.5, start median
  0.5), estimated by the hierarchical fit's mu_drift, exp(mu_logb) and
  sigmoid(mu_start) (posterior means) and by ML's mean drift,
  exp(mean log boundary) and sigmoid(mean logit start). The model has no
  such centre for t0.
ML fits that fail or flag non-convergence are counted and left out of ML's
RMSEs (the participants' row stays in the hierarchical ones).
"""

import argparse
import json
import logging
import math
import sys
import time
import warnings

import numpy as np
import pandas as pd

warnings.simplefilter("ignore", FutureWarning)  # ArviZ's refactor notice

POPULATION = {"drift": (1.0, 0.5), "log_boundary": (math.log(1.5), 0.2), "logit_start": (0.0, 0.3),
              "t0": (0.3, 0.05)}
CENTRE = {"drift": 1.0, "boundary": 1.5, "start": 0.5}
# The table's parameter names: ours, the fits' column names.
COLUMNS = {"drift": "drift_rate", "boundary": "boundary_separation", "start": "starting_point",
           "t0": "non_decision_time"}
DT = 1e-4


def participants(seed, n):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(4, n))
    (md, sd), (mb, sb), (ms, ss), (mt, st) = POPULATION.values()
    return pd.DataFrame({
        "subject": np.arange(n),
        "drift": md + sd * z[0],
        "boundary": np.exp(mb + sb * z[1]),
        "start": 1.0 / (1.0 + np.exp(-(ms + ss * z[2]))),
        "t0": np.maximum(mt + st * z[3], 0.1),
    })


def simulate(truth, n_trials, seed):
    import corvatel

    frames = []
    seeds = np.random.SeedSequence(seed, spawn_key=(1,)).generate_state(len(truth), np.uint32)
    for row, walk_seed in zip(truth.itertuples(), seeds):
        choices, rts, _ = corvatel.simulate_bounds(n_trials, row.drift, row.boundary, row.start, row.t0,
                                                   bound="constant", seed=int(walk_seed), dt=DT)
        frames.append(pd.DataFrame({"subject": row.subject, "choice": choices, "rt": rts}))
    return pd.concat(frames, ignore_index=True)


def contaminate(data, share, seed):
    """`data` with `share` of each participant's trials replaced by fast
    guesses and lapses."""
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(2,)))
    data = data.copy()
    for _, rows in data.groupby("subject").groups.items():
        k = max(1, int(share * len(rows)))
        chosen = rng.choice(np.asarray(rows), size=k, replace=False)
        fast = np.arange(k) < (k + 1) // 2
        data.loc[chosen, "rt"] = np.where(fast, rng.uniform(0.02, 0.2, k), rng.uniform(1.0, 5.0, k))
        data.loc[chosen, "choice"] = rng.random(k) < 0.5
    return data


def fit_ml(data, p_outlier=None):
    import corvatel

    table = corvatel.fit(data, by="subject", method="ml",
                         **({} if p_outlier is None else {"p_outlier": p_outlier})).set_index("subject").sort_index()
    bad = (~table["converged"].astype(bool)) | table[COLUMNS["drift"]].isna()
    estimates = pd.DataFrame({name: table[column] for name, column in COLUMNS.items()})
    estimates[bad.to_numpy()] = np.nan
    return estimates, int(bad.sum())


def fit_hier(data, args, seed):
    import pymc  # noqa: F401  (before quieting its logger: importing it sets the level)

    import corvatel

    logging.getLogger("pymc").setLevel(logging.ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = corvatel.fit_hierarchical(data, chains=args.chains, tune=args.tune, draws=args.draws, seed=seed,
                                        p_outlier="free" if args.contaminants else None)
    table = fit.participants().set_index("subject").sort_index()
    estimates = pd.DataFrame({name: table[column] for name, column in COLUMNS.items()})
    posterior = fit.idata.posterior
    centre = {"drift": float(posterior["mu_drift"].mean()),
              "boundary": float(np.exp(posterior["mu_logb"]).mean()),
              "start": float((1.0 / (1.0 + np.exp(-posterior["mu_start"]))).mean())}
    notes = sorted({str(w.message).split(";")[0] for w in caught if issubclass(w.category, UserWarning)})
    return estimates, centre, notes


def ml_centre(estimates):
    e = estimates.dropna()
    return {"drift": float(e["drift"].mean()), "boundary": float(np.exp(np.log(e["boundary"]).mean())),
            "start": float(1.0 / (1.0 + np.exp(-np.log(e["start"] / (1.0 - e["start"])).mean())))}


def rmse(errors):
    errors = np.asarray(errors, dtype=float)
    errors = errors[~np.isnan(errors)]
    return float(np.sqrt(np.mean(errors ** 2))) if len(errors) else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--participants", type=int, default=20)
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--chains", type=int, default=2)
    parser.add_argument("--tune", type=int, default=500)
    parser.add_argument("--draws", type=int, default=500)
    parser.add_argument("--contaminants", type=float, default=0.0, metavar="SHARE")
    parser.add_argument("--json", default="recovery_hierarchical.json")
    args = parser.parse_args()
    if not 0.0 <= args.contaminants < 0.5:
        parser.error("--contaminants must be in [0, 0.5)")
    for name in ("seeds", "participants", "trials", "chains", "draws"):
        if getattr(args, name) < 1:
            parser.error(f"--{name} must be at least 1")
    runs = []
    for seed in range(args.seeds):
        started = time.perf_counter()
        truth = participants(seed, args.participants)
        data = simulate(truth, args.trials, seed)
        if args.contaminants:
            data = contaminate(data, args.contaminants, seed)
        ml, ml_failed = fit_ml(data, "free" if args.contaminants else None)
        ml_seconds = time.perf_counter() - started
        hier, centre, notes = fit_hier(data, args, seed)
        truth = truth.set_index("subject")[list(COLUMNS)]
        runs.append({"seed": seed, "truth": truth.to_dict("list"), "ml": ml.to_dict("list"),
                     "hierarchical": hier.to_dict("list"), "hierarchical_centre": centre,
                     "ml_centre": ml_centre(ml), "ml_failed": ml_failed, "sampler_warnings": notes,
                     "seconds": time.perf_counter() - started, "ml_seconds": ml_seconds})
        print(f"seed {seed}: {runs[-1]['seconds']:.0f} s, {ml_failed} ML fits left out, {notes}", file=sys.stderr)

    def errors(run, method, name):
        return np.asarray(run[method][name], dtype=float) - np.asarray(run["truth"][name])

    table = {}
    for name in COLUMNS:
        row = {}
        for method in ("ml", "hierarchical"):
            row[f"{method}_participants"] = rmse(np.concatenate([errors(r, method, name) for r in runs]))
            # The mean of the participants' estimates against that of their true values.
            row[f"{method}_mean"] = rmse([np.nanmean(r[method][name]) - np.mean(r["truth"][name]) for r in runs])
            if name in CENTRE:
                row[f"{method}_centre"] = rmse([r[f"{method}_centre"][name] - CENTRE[name] for r in runs])
        table[name] = row
    summary = {"settings": vars(args) | {"dt": DT},
               "population": {k: list(v) for k, v in POPULATION.items()},
               "ml_fits_left_out": int(sum(r["ml_failed"] for r in runs)),
               "rmse": table, "runs": runs}
    with open(args.json, "w") as f:
        json.dump(summary, f, indent=1)

    n = args.seeds * args.participants
    print(f"RMSE over {args.seeds} seeds x {args.participants} participants x {args.trials} trials "
          f"({summary['ml_fits_left_out']} of {n} ML fits left out; hierarchical: {args.chains} chains x "
          f"({args.tune} + {args.draws}){'; contaminants ' + str(args.contaminants) if args.contaminants else ''}):")
    print("| parameter | participants, ML | participants, hierarchical | mean of participants, ML | "
          "mean, hierarchical | population centre, ML | centre, hierarchical |")
    print("|---|---|---|---|---|---|---|")
    for name, row in table.items():
        cells = [row.get(f"{m}_{k}") for k in ("participants", "mean", "centre") for m in ("ml", "hierarchical")]
        print(f"| {name} | " + " | ".join("" if c is None else f"{c:.4f}" for c in cells) + " |")


if __name__ == "__main__":
    main()
