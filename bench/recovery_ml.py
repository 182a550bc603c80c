"""Small recovery check of the maximum-likelihood fits: data sets of 500
trials simulated at a few parameter sets, fitted with fit_ml ("ddm" and
"full"), and with fit_ez for comparison on the "ddm" data. Prints bias and
RMSE per parameter as a Markdown table.

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
FULL_SETS = [
    dict(drift_rate=1.5, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3, sv=0.8, sz=0.2, st=0.15),
]


def simulate(truth, n, seed):
    return corvatel.simulate_full(truth["drift_rate"], truth["boundary_separation"], truth["starting_point"],
                                  truth["non_decision_time"], n, seed, sv=truth.get("sv", 0.0),
                                  sz=truth.get("sz", 0.0), st=truth.get("st", 0.0))[:2]


def rows(method, truth, estimates, keys=None):
    for key in keys or truth:
        value = truth[key]
        est = np.array([e[key] for e in estimates])
        yield (f"| {method} | {truth['drift_rate']}/{truth['boundary_separation']}/{truth['starting_point']}/"
               f"{truth['non_decision_time']} | {key} | {value} | {est.mean():.4f} | {est.mean() - value:+.4f} | "
               f"{np.sqrt(np.mean((est - value) ** 2)):.4f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--datasets", type=int, default=8)
    parser.add_argument("--full-datasets", type=int, default=3)
    parser.add_argument("--trials", type=int, default=500)
    args = parser.parse_args()
    print("| method | truth (v/a/z/t0) | parameter | true | mean estimate | bias | RMSE |")
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
            keys = ("drift_rate", "boundary_separation", "non_decision_time")
            print("\n".join(rows(f"ez ({len(ez)} fits)", truth, ez, keys)))
    for truth in FULL_SETS:
        fits = []
        for seed in range(args.full_datasets):
            choices, rts = simulate(truth, args.trials, 2000 + seed)
            fits.append(corvatel.fit_ml(choices, rts, model="full"))
        print("\n".join(rows("ml full", truth, fits)))


if __name__ == "__main__":
    main()
