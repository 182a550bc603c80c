"""Recovery study of the likelihood fits through the table layer: for each
grid of true parameters, ``corvatel.recover`` simulates the data sets once
per method with the same seed (so every method fits the same trials) and
fits them by maximum likelihood, EZ and fit_sim. Prints bias and RMSE per
parameter (recovery_summary, pooled over the grid's rows and replications)
as the README's Markdown table, and the time each method took. The grids:
"ddm", drift/boundary/start/t0 = 1.0/1.5/0.5/0.3, 2.5/1.0/0.4/0.25 and
0.5/2.0/0.6/0.4; "full", drift/boundary/start/t0/sv/sz/st =
1.5/1.5/0.5/0.3/0.8/0.2/0.15 and 1.0/1.2/0.5/0.35/0.5/0.1/0.1.

    python3 bench/recovery_table_ml.py [--reps 5] [--full-reps 3] [--trials 500]

Data come from the 1 ms Euler walk, which ends trials a little late: its
boundaries act as if about 0.018 further out each, so a correct fit finds a
boundary separation about 0.037 above the simulated one.
"""

import argparse
import time

import pandas as pd

import corvatel

DDM_GRID = pd.DataFrame({"drift": [1.0, 2.5, 0.5], "boundary": [1.5, 1.0, 2.0], "start": [0.5, 0.4, 0.6],
                         "t0": [0.3, 0.25, 0.4]})
FULL_GRID = pd.DataFrame({"drift": [1.5, 1.0], "boundary": [1.5, 1.2], "start": [0.5, 0.5], "t0": [0.3, 0.35],
                          "sv": [0.8, 0.5], "sz": [0.2, 0.1], "st": [0.15, 0.1]})
SEED = 2026


def study(grid, trials, reps, method, model=None):
    start = time.process_time()
    table = corvatel.recover(grid, trials, method=method, model=model, reps=reps, seed=SEED, progress=False)
    return corvatel.recovery_summary(table).set_index("parameter"), time.process_time() - start


def md(*cells):
    """A Markdown table row; empty cells as '| |', as the README writes them."""
    row = "| " + " | ".join(str(c) for c in cells) + " |"
    while "|  |" in row:
        row = row.replace("|  |", "| |")
    return row


def report(name, grid, trials, reps, model):
    """The grid's rows of the README table (ml, EZ, fit_sim bias and RMSE per
    parameter), and the CPU seconds of each method."""
    columns = {"ml": study(grid, trials, reps, "ml", model), "EZ": study(grid, trials, reps, "ez"),
               "fit_sim": study(grid, trials, reps, "sim")}
    rows = []
    for parameter in columns["ml"][0].index:
        cells = []
        for summary, _ in columns.values():
            if parameter in summary.index:
                row = summary.loc[parameter]
                failed = f" ({row['n_failed']} failed)" if row["n_failed"] else ""
                cells += [f"{row['bias']:+.3f}{failed}", f"{row['rmse']:.3f}"]
            else:
                cells += ["", ""]
        rows.append(md(name, parameter, *cells))
    seconds = f"{name}: {len(grid)} parameter sets x {reps} data sets of {trials} trials; CPU seconds " + ", ".join(
        f"{m} {s:.1f}" for m, (_, s) in columns.items())
    return rows, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--full-reps", type=int, default=3)
    parser.add_argument("--trials", type=int, default=500)
    args = parser.parse_args()
    ddm_rows, ddm_seconds = report("ddm", DDM_GRID, args.trials, args.reps, "ddm")
    full_rows, full_seconds = report("full", FULL_GRID, args.trials, args.full_reps, "full")
    print("| grid | parameter | ml bias | ml RMSE | EZ bias | EZ RMSE | fit_sim bias | fit_sim RMSE |")
    print("|---|---|---|---|---|---|---|---|")
    print("\n".join(ddm_rows + full_rows))
    print()
    print(ddm_seconds)
    print(full_seconds)


if __name__ == "__main__":
    main()
