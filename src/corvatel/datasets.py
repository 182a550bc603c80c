"""Small example data sets with a known truth, made by ``simulate_data``;
one with contaminant trials mixed in, as real data have them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._simdata import simulate_data

EXAMPLE_TRIALS, EXAMPLE_SEED = 200, 2024
# example_contaminated(): per cell of EXAMPLE_TRIALS trials, this many fast
# guesses and as many slow lapses (6 of 200: 3%), drawn from this seed.
CONTAMINANTS_PER_KIND, CONTAMINANT_SEED = 3, 2025
# Their times, whole milliseconds: fast guesses below 0.2 s, lapses 1 to 5 s.
FAST_GUESS_MS, SLOW_LAPSE_MS = (1, 199), (1000, 5000)


def example_truth() -> pd.DataFrame:
    """The parameters behind ``example()``: four subjects, each with a
    boundary and a non-decision time of their own, in three conditions of
    difficulty that lower the drift rate."""
    subjects = pd.DataFrame({"subject": ["s1", "s2", "s3", "s4"], "boundary": [1.2, 1.5, 1.0, 1.8],
                             "t0": [0.30, 0.25, 0.35, 0.28], "speed": [1.0, 1.2, 0.8, 1.1]})
    conditions = pd.DataFrame({"condition": ["easy", "medium", "hard"], "base_drift": [2.0, 1.2, 0.6]})
    truth = subjects.merge(conditions, how="cross")
    truth["drift"] = truth["speed"] * truth["base_drift"]
    truth["start"] = 0.5
    truth["condition"] = pd.Categorical(truth["condition"], categories=["easy", "medium", "hard"], ordered=True)
    return truth[["subject", "condition", "drift", "boundary", "start", "t0"]]


def example() -> pd.DataFrame:
    """Trials of four subjects in three conditions, 200 per cell: columns
    subject, condition (ordered: easy, medium, hard), trial, choice (True:
    correct) and rt (seconds).
    The same table on every call: ``simulate_data(example_truth(), 200, 2024)``."""
    return simulate_data(example_truth(), EXAMPLE_TRIALS, EXAMPLE_SEED)


def example_contaminated() -> pd.DataFrame:
    """The trials of ``example()`` with 3% of them replaced by contaminants:
    in each subject and condition, 3 fast guesses and 3 slow lapses.

    The same table on every call. The recipe: ``rng =
    numpy.random.default_rng(2025)``; for each of the 12 cells of 200 trials,
    in the table's order, ``rows = rng.choice(200, 6, replace=False)`` picks
    the cell's trials to replace (positions within the cell), ``rng.random(6)
    < 0.5`` gives their choices, then ``rng.integers(1, 200, 3)`` the times of
    the first three (fast guesses, 1 to 199 ms) and ``rng.integers(1000,
    5001, 3)`` those of the last three (slow lapses, 1000 to 5000 ms), each
    divided by 1000 for seconds. Only those trials' choice and rt differ from
    ``example()``; the truth is still ``example_truth()``."""
    trials = example()
    rng = np.random.default_rng(CONTAMINANT_SEED)
    choices, rts = trials["choice"].to_numpy(copy=True), trials["rt"].to_numpy(copy=True)
    for cell_start in range(0, len(trials), EXAMPLE_TRIALS):
        rows = cell_start + rng.choice(EXAMPLE_TRIALS, 2 * CONTAMINANTS_PER_KIND, replace=False)
        choices[rows] = rng.random(len(rows)) < 0.5
        fast, slow = rows[:CONTAMINANTS_PER_KIND], rows[CONTAMINANTS_PER_KIND:]
        rts[fast] = rng.integers(FAST_GUESS_MS[0], FAST_GUESS_MS[1] + 1, len(fast)) / 1000.0
        rts[slow] = rng.integers(SLOW_LAPSE_MS[0], SLOW_LAPSE_MS[1] + 1, len(slow)) / 1000.0
    trials["choice"], trials["rt"] = choices, rts
    return trials
