"""Contaminants (p_outlier) and selection windows (rt_window; min_rt and
max_rt in tables) in the likelihood fits with time-varying bounds: recovery
from contaminated and cut angle-bound trials, the table and the command line
passing them through bit for bit, and the joint fits' p_outlier."""

import math

import numpy as np
import pandas as pd
import pytest

import corvatel
from cli_runner import run

TRUTH = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3, bound="angle", theta=0.35)


def angle_trials(n, seed, share=0.0):
    """Angle-bound trials, a `share` of them replaced by contaminants:
    uniform on the default outlier window (0, 5) s, either response."""
    choices, rts, _ = corvatel.simulate_bounds(n, seed=seed, **TRUTH)
    rng = np.random.default_rng(seed)
    hit = rng.random(n) < share
    return np.where(hit, rng.random(n) < 0.5, choices), np.where(hit, rng.uniform(0.0, 5.0, n), rts)


def bits(x):
    return np.float64(x).tobytes()


# 1,000 trials, 8% contaminants. Over 10 seeds the free fit's theta had sd
# 0.05, p_outlier 0.014 and t0 0.005: the tolerances are 3 of them (a false
# alarm about once in 300 seeds each). The fit that ignores contaminants
# was pulled to theta < 0.08 and t0 < 0.1 in all 10, and its BIC was
# higher by 640 to 1,030.
def test_free_contaminants_recover_the_bound_and_their_share():
    choices, rts = angle_trials(1000, 0, share=0.08)
    free = corvatel.fit_ml(choices, rts, model="angle", p_outlier="free")
    plain = corvatel.fit_ml(choices, rts, model="angle")
    assert abs(free["theta"] - TRUTH["theta"]) < 0.15
    assert abs(free["p_outlier"] - 0.08) < 0.045
    assert abs(free["non_decision_time"] - TRUTH["t0"]) < 0.02
    assert free["n_params"] == plain["n_params"] + 1
    assert plain["theta"] < 0.15 and plain["non_decision_time"] < 0.15
    assert free["bic"] < plain["bic"] - 300
    assert plain["p_outlier"] == 0.0


# Trials kept in [0.45, 1.6] s. Ignoring the cut biases theta low (0.14 to
# 0.26 over 10 seeds, mean 0.21); with rt_window theta had mean 0.34 and sd
# 0.055, and came out nearer the truth than the naive fit in all 10.
def test_a_window_undoes_the_cut():
    choices, rts = angle_trials(1500, 100)
    keep = (rts >= 0.45) & (rts <= 1.6)
    cut = corvatel.fit_ml(choices[keep], rts[keep], model="angle", rt_window=(0.45, 1.6))
    naive = corvatel.fit_ml(choices[keep], rts[keep], model="angle")
    assert abs(cut["theta"] - TRUTH["theta"]) < 0.15
    assert abs(cut["theta"] - TRUTH["theta"]) < abs(naive["theta"] - TRUTH["theta"])
    assert cut["log_likelihood"] > naive["log_likelihood"]  # the window's probability is below 1


@pytest.mark.parametrize("bound", [{"bound": "exponential"}, {"model": "weibull"}, {"leak": True}])
def test_a_window_that_ends_far_past_the_trials_is_no_window(bound):
    # A grid to 60 s took more steps than a fit allows for any boundary
    # below 1.5: the fit stopped there (boundary 1.47 for a truth of 1.0).
    choices, rts, _ = corvatel.simulate_bounds(300, 1.0, 1.0, 0.5, 0.3, bound="exponential", rate=0.3, seed=3)
    plain = corvatel.fit_ml(choices, rts, **bound)
    windowed = corvatel.fit_ml(choices, rts, rt_window=(0.0, 60.0), **bound)
    for name in ("drift_rate", "boundary_separation", "non_decision_time", "log_likelihood"):
        assert windowed[name] == pytest.approx(plain[name], abs=1e-3), name


@pytest.mark.parametrize("kwargs, message", [
    ({"rt_window": (0.5, 1.0)}, "outside"),
    ({"p_outlier": 1.0}, "p_outlier"),
    ({"p_outlier": "some"}, 'p_outlier must be a number or "free"'),
    ({"p_outlier": "free", "outlier_window": (2.0, 1.0)}, "outlier_window"),
])
def test_bad_contaminants_and_windows_are_refused_by_name(kwargs, message):
    choices, rts = angle_trials(200, 3)
    with pytest.raises((ValueError, corvatel.CorvatelError), match=message):
        corvatel.fit_ml(choices, rts, model="angle", **kwargs)


@pytest.fixture(scope="module")
def table():
    frames = []
    for subject, share in ((1, 0.05), (2, 0.1)):
        choices, rts = angle_trials(400, subject, share)
        frames.append(pd.DataFrame({"subject": subject, "choice": choices, "rt": rts}))
    return pd.concat(frames, ignore_index=True)


# The table's rows are fit_ml's on each group's kept trials with the
# window they were kept in, bit for bit, and carry a p_outlier column.
def test_table_rows_are_fit_ml_with_the_groups_window(table):
    fits = corvatel.fit(table, by="subject", method="ml", model="angle", p_outlier="free", min_rt=0.25)
    assert "p_outlier" in fits.columns
    for _, row in fits.iterrows():
        group = table[(table["subject"] == row["subject"]) & (table["rt"] >= 0.25)]
        own = corvatel.fit_ml(group["choice"].to_numpy(), group["rt"].to_numpy(), model="angle",
                              p_outlier="free", rt_window=(0.25, math.inf))
        for column in ("drift_rate", "boundary_separation", "non_decision_time", "theta", "p_outlier",
                       "log_likelihood"):
            assert bits(row[column]) == bits(own[column]), column
        assert row["n_outside_window"] == int((table[table["subject"] == row["subject"]]["rt"] < 0.25).sum())
    # Without contaminants in the model its fits miss the trials' distribution.
    with pytest.warns(UserWarning, match="2 of 2 groups flagged"):
        plain = corvatel.fit(table, by="subject", method="ml", model="angle")
    assert "p_outlier" not in plain.columns
    assert plain["warning"].str.contains("distribution misfit").all()


def test_cli_writes_the_tables_fits(tmp_path, capsys, table):
    source, output = tmp_path / "trials.csv", tmp_path / "fits.csv"
    table.to_csv(source, index=False)
    status, _, err = run(capsys, "fit", source, "--method", "ml", "--model", "angle", "--p-outlier", "0.05",
                         "--max-rt", "4", "-o", output)
    assert status == 0, err
    written = pd.read_csv(output)
    expected = corvatel.fit(table, by=None, method="ml", model="angle", p_outlier=0.05, max_rt=4.0)
    assert written["p_outlier"].tolist() == [0.05]
    for column in ("drift_rate", "theta", "log_likelihood"):
        assert bits(written[column].iloc[0]) == bits(expected[column].iloc[0]), column


# A free p_outlier is shared by the levels unless depends_on names it; a
# fixed one cannot be named.
def test_joint_fits_share_or_free_p_outlier(table):
    choices, rts, levels = table["choice"].to_numpy(), table["rt"].to_numpy(), table["subject"].to_numpy()
    shared = corvatel.fit_ml_joint(choices, rts, levels, model="angle", p_outlier="free")
    own = corvatel.fit_ml_joint(choices, rts, levels, model="angle", p_outlier="free",
                                depends_on=("drift_rate", "p_outlier"))
    assert shared[0]["p_outlier"] == shared[1]["p_outlier"]
    assert own[0]["p_outlier"] != own[1]["p_outlier"]
    assert own[0]["n_params"] == shared[0]["n_params"] + 1  # drift is per level in both
    assert own[1]["p_outlier"] > own[0]["p_outlier"]  # subject 2 has twice the contaminants
    with pytest.raises(ValueError, match="'p_outlier' is not a parameter of this fit"):
        corvatel.fit_ml_joint(choices, rts, levels, model="angle", p_outlier=0.05, depends_on="p_outlier")


# fit_check's predictions of such a fit: the contaminants mixed in and the
# window's trials alone, so the two responses' shares of the kept trials
# add up to 1 (the model's mass in the window and the contaminants' share
# of it are computed apart from the densities they divide).
def test_fit_check_draws_the_mixture_inside_the_window(table):
    from corvatel import plot

    fits = corvatel.fit(table, by="subject", method="ml", model="angle", p_outlier="free", min_rt=0.25,
                        max_rt=3.0)
    for g in range(len(fits)):
        density = plot.predicted_density(fits.iloc[g], window=(0.25, 3.0), bound="angle")
        points = density.points()
        assert points["p_upper"] + points["p_lower"] == pytest.approx(1.0, abs=2e-3)
        assert 0.0 < density.kept < 1.0
    figure = plot.fit_check(table, fits, by="subject", min_rt=0.25, max_rt=3.0)
    assert len(figure.axes) >= 1
