"""Small recovery check of the maximum-likelihood fits: data sets of 500
trials simulated at a few parameter sets, fitted with fit_ml ("ddm" and
"full"), and with fit_ez for comparison on the "ddm" data. Prints bias and
RMSE per parameter as the README's Markdown table.

    python3 bench/recovery_ml.py [--datasets 8] [--full-datasets 3]

The simulator is the 1 ms Euler walk, which ends trials a little late: its
boundaries act as if moved out by 0.5826 * sqrt(0.001) = 0.018 each, so a
correct fit finds boundary separation about 0.037 larger than simulated.
"""

import argparse

import numpy as np

import corvatel

DDM_SETS = [
    dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3),
    dict(drift_rate=2.5, boundary_separation=1.0, starting_point=0.4, non_decision_time=0.25),
    dict(drift_rate=0.5, boundary_separation=2.0, starting_point=0.6, non_decision_time=0.4),
]
DDM_KEYS = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time")
FULL_KEYS = ("sv", "sz", "st")
FULL_SETS = [
    dict(drift_rate=1.5, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3, sv=0.8, sz=0.2, st=0.15),
]


def simulate(truth, n, seed):
    return corvatel.simulate_full(truth["drift_rate"], truth["boundary_separation"], truth["starting_point"],
                                  truth["non_decision_time"], n, seed, sv=truth.get("sv", 0.0),
                                  sz=truth.get("sz", 0.0), st=truth.get("st", 0.0))[:2]


def md(*cells):
    """A Markdown table row; empty cells as '| |', as the README writes them."""
    row = "| " + " | ".join(str(c) for c in cells) + " |"
    while "|  |" in row:
        row = row.replace("|  |", "| |")
    return row


def label(truth):
    """The truth as the table's second column: drift/boundary/start/t0 and any variabilities."""
    text = "/".join(str(truth[k]) for k in DDM_KEYS)
    extra = [f"{k} {truth[k]}" for k in FULL_KEYS if k in truth]
    return ", ".join([text, *extra])


def rows(method, truth, estimates):
    """One row per parameter: true value, mean estimate, bias, RMSE."""
    for i, key in enumerate(DDM_KEYS):
        value = truth[key]
        est = np.array([e[key] for e in estimates])
        yield md(method, label(truth) if i == 0 else "", key, value, f"{est.mean():.3f}", f"{est.mean() - value:+.3f}",
                 f"{np.sqrt(np.mean((est - value) ** 2)):.3f}")


def grouped_row(method, truth_cell, names, truth, estimates, keys, with_truth=False):
    """Several parameters in one row: true values (when asked), means and
    RMSEs joined by ' / '."""
    means = " / ".join(f"{np.mean([e[k] for e in estimates]):.3f}" for k in keys)
    rmses = " / ".join(f"{np.sqrt(np.mean((np.array([e[k] for e in estimates]) - truth[k]) ** 2)):.3f}" for k in keys)
    true = " / ".join(str(truth[k]) for k in keys) if with_truth else ""
    return md(method, truth_cell, names, true, means, "", rmses)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--datasets", type=int, default=8)
    parser.add_argument("--full-datasets", type=int, default=3)
    parser.add_argument("--trials", type=int, default=500)
    args = parser.parse_args()
    print("| method | truth | parameter | true | mean | bias | RMSE |")
    print("|---|---|---|---|---|---|---|")
    for truth in DDM_SETS:
        ml, ez = [], []
        for seed in range(args.datasets):
            choices, rts = simulate(truth, args.trials, 1000 + seed)
            ml.append(corvatel.fit_ml(choices, rts))
            try:
                ez.append(corvatel.fit_ez(choices, rts))
            except corvatel.CorvatelError:
                pass
        print("\n".join(rows("ml ddm", truth, ml)))
        if ez:
            method = "ez" if len(ez) == args.datasets else f"ez ({len(ez)} of {args.datasets} fits)"
            print(grouped_row(method, "", "drift / boundary / t0", truth, ez,
                              ("drift_rate", "boundary_separation", "non_decision_time")))
    for truth in FULL_SETS:
        fits = []
        for seed in range(args.full_datasets):
            choices, rts = simulate(truth, args.trials, 2000 + seed)
            fits.append(corvatel.fit_ml(choices, rts, model="full"))
        print(grouped_row("ml full", label(truth), "drift / boundary / start / t0", truth, fits, DDM_KEYS))
        print(grouped_row("ml full", "", "sv / sz / st", truth, fits, FULL_KEYS, with_truth=True))


if __name__ == "__main__":
    main()
