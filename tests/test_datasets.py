"""The contaminated example: example()'s trials with the documented ones
replaced by fast guesses and slow lapses, the same on every call."""

import numpy as np
import pandas as pd
import pytest

from corvatel import datasets


@pytest.fixture(scope="module")
def clean():
    return datasets.example()


@pytest.fixture(scope="module")
def messy():
    return datasets.example_contaminated()


def documented_contaminants():
    """(row, choice, rt) of each replaced trial, by the doc string's recipe."""
    rng = np.random.default_rng(2025)
    replaced = []
    for cell in range(12):
        rows = cell * 200 + rng.choice(200, 6, replace=False)
        choices = rng.random(6) < 0.5
        rts = np.concatenate([rng.integers(1, 200, 3), rng.integers(1000, 5001, 3)]) / 1000.0
        replaced += zip(rows.tolist(), choices.tolist(), rts.tolist())
    return replaced


def test_the_same_table_on_every_call(messy):
    again = datasets.example_contaminated()
    pd.testing.assert_frame_equal(again, messy, check_exact=True)
    assert again["rt"].to_numpy().tobytes() == messy["rt"].to_numpy().tobytes()


def test_only_the_documented_trials_differ_and_only_in_choice_and_rt(clean, messy):
    replaced = documented_contaminants()
    rows = [row for row, _, _ in replaced]
    assert len(set(rows)) == 72
    pd.testing.assert_frame_equal(messy.drop(columns=["choice", "rt"]), clean.drop(columns=["choice", "rt"]),
                                  check_exact=True)
    assert messy.dtypes.equals(clean.dtypes)
    kept = ~messy.index.isin(rows)
    pd.testing.assert_frame_equal(messy[kept], clean[kept], check_exact=True)
    assert messy.loc[rows, "choice"].tolist() == [choice for _, choice, _ in replaced]
    assert messy.loc[rows, "rt"].tolist() == [rt for _, _, rt in replaced]
    # Each replaced trial's time changed: the rows that differ are exactly these.
    assert (messy.loc[rows, "rt"] != clean.loc[rows, "rt"]).all()


def test_share_and_ranges_are_those_documented(clean, messy):
    differs = (messy["rt"] != clean["rt"]) | (messy["choice"] != clean["choice"])
    per_cell = differs.groupby([messy["subject"], messy["condition"]], observed=True).sum()
    assert len(per_cell) == 12 and (per_cell == 6).all()  # 3% of each cell's 200 trials
    rts = messy.loc[differs, "rt"]
    fast, slow = rts[rts < 0.2], rts[rts >= 1.0]
    assert len(fast) == len(slow) == 36
    assert fast.min() >= 0.001 and slow.max() <= 5.0
    # Whole milliseconds, as the doc string says.
    assert np.array_equal(np.round(rts * 1000.0) / 1000.0, rts)
    # The diffusion trials themselves lie between the two kinds (t0 >= 0.25 s).
    assert clean["rt"].min() > 0.2
    # Either response at probability 1/2: 72 fair coins; for this fixed seed a
    # count outside 24..48 (probability 0.6% for a fair coin) means a bias.
    assert 24 <= messy.loc[differs, "choice"].sum() <= 48
