"""A typed script using the package as the README does; the type-check
test runs mypy --strict over it (and the test suite runs it)."""

from __future__ import annotations

import pandas as pd
from matplotlib.figure import Figure

import corvatel


def main(folder: str) -> pd.DataFrame:
    choices, rts, n_excluded = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 500, 3)
    guess: corvatel.ParamsDict = corvatel.fit_ez(choices, rts)
    result = corvatel.fit_sim(choices, rts, initial_guess=guess, max_iters=4)
    iterations: int = result["iterations"]
    assert iterations <= 4 and n_excluded >= 0

    truth: pd.DataFrame = corvatel.datasets.example_truth()
    trials: pd.DataFrame = corvatel.simulate_data(truth, 100, seed=7)
    excluded: list[int] = trials.attrs["n_excluded"]
    fits = corvatel.fit(trials, by=["subject", "condition"], method="ez", progress=False)
    figure: Figure = corvatel.plot.fit_check(trials, fits, n_sim=500)
    figure.savefig(f"{folder}/check.png")
    study = corvatel.recover({"drift": 1.0, "boundary": 1.2, "start": 0.5, "t0": 0.3}, 200, method="ez", reps=3)
    summary: pd.DataFrame = corvatel.recovery_summary(study)
    assert len(excluded) == len(truth)
    return summary


if __name__ == "__main__":
    import sys

    print(main(sys.argv[1] if len(sys.argv) > 1 else "."))
