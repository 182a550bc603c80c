"""A small example data set with a known truth, made by ``simulate_data``."""

from __future__ import annotations

import pandas as pd

from ._simdata import simulate_data

EXAMPLE_TRIALS, EXAMPLE_SEED = 200, 2024


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
