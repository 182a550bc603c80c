"""Likelihood fits truncated to the response-time window the trials were
selected in: fit_ml's rt_window, and fit(method="ml") with min_rt/max_rt."""

import math

import numpy as np
import pytest

import corvatel

TRUTH = {"drift_rate": 0.8, "boundary_separation": 1.4, "starting_point": 0.45, "non_decision_time": 0.3}
WINDOW = (0.45, 1.2)


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.uint64)


def cut_table(n, seed, window=WINDOW):
    table = corvatel.simulate_data(
        {"drift": TRUTH["drift_rate"], "boundary": TRUTH["boundary_separation"], "start": TRUTH["starting_point"],
         "t0": TRUTH["non_decision_time"]}, n, seed)
    return table, table[(table["rt"] >= window[0]) & (table["rt"] <= window[1])]


# 6000 trials cut at 0.45 and 1.2 s (about a third left out). Fixed seed;
# each tolerance is four standard deviations of the estimate over seeds
# (drift 0.04, boundary 0.027, start 0.018, t0 0.025), the boundary's plus
# the 0.035 by which the simulator's 1 ms steps widen it, so a correct fit
# misses one with probability about 3e-4.
@pytest.mark.slow
def test_truncated_fit_recovers_the_truth_the_plain_fit_misses():
    table, kept = cut_table(6000, 21)
    fits = corvatel.fit(table, method="ml", min_rt=WINDOW[0], max_rt=WINDOW[1])
    row = fits.iloc[0]
    assert row["n_outside_window"] == len(table) - len(kept)
    assert row["warning"] == ""
    tolerance = {"drift_rate": 0.16, "boundary_separation": 0.145, "starting_point": 0.072, "non_decision_time": 0.1}
    for name, value in TRUTH.items():
        assert row[name] == pytest.approx(value, abs=tolerance[name]), name
    # The same trials fitted as if they were the whole distribution: the
    # cut tails make it look like a much narrower boundary.
    plain = corvatel.fit_ml(kept["choice"], kept["rt"])
    assert abs(plain["boundary_separation"] - TRUTH["boundary_separation"]) > 0.2
    # The table's fit is fit_ml's with the window, bit for bit.
    direct = corvatel.fit_ml(kept["choice"], kept["rt"], rt_window=WINDOW)
    assert bits(row["drift_rate"]) == bits(direct["drift_rate"])
    assert math.isfinite(direct["log_likelihood"]) and direct["log_likelihood"] != plain["log_likelihood"]


def test_no_window_and_the_whole_line_are_the_plain_fit():
    table, _ = cut_table(400, 3)
    plain = corvatel.fit_ml(table["choice"], table["rt"])
    for window in (None, (0.0, math.inf)):
        same = corvatel.fit_ml(table["choice"], table["rt"], rt_window=window)
        assert bits(same["log_likelihood"]) == bits(plain["log_likelihood"])
        assert bits(same["non_decision_time"]) == bits(plain["non_decision_time"])


def test_only_a_lower_end_truncates_with_an_infinite_upper_one():
    # Cut above the leading edge, t0 is weakly identified; what matters here
    # is that the table's open-ended window reaches the fit.
    table, kept = cut_table(3000, 8, (0.5, math.inf))
    fits = corvatel.fit(table, method="ml", min_rt=0.5)
    direct = corvatel.fit_ml(kept["choice"], kept["rt"], rt_window=(0.5, math.inf))
    plain = corvatel.fit_ml(kept["choice"], kept["rt"])
    assert bits(fits.iloc[0]["log_likelihood"]) == bits(direct["log_likelihood"])
    assert direct["log_likelihood"] != plain["log_likelihood"]


@pytest.mark.parametrize("window, error, match", [
    ((0.5,), TypeError, r"rt_window must be a pair of numbers \(lo, hi\)"),
    ("ab", TypeError, r"rt_window must be a pair of numbers"),
    ((0.5, "x"), TypeError, "rt_window"),
    ((0.8, 0.5), ValueError, r"rt_window must be \(lo, hi\) with 0 <= lo < hi"),
    ((-0.1, 2.0), ValueError, r"rt_window must be \(lo, hi\) with 0 <= lo < hi"),
    ((math.nan, 2.0), ValueError, r"rt_window must be \(lo, hi\)"),
])
def test_bad_windows_are_refused_naming_rt_window(window, error, match):
    table, _ = cut_table(200, 4)
    with pytest.raises(error, match=match):
        corvatel.fit_ml(table["choice"], table["rt"], rt_window=window)


def test_a_trial_outside_the_window_is_refused():
    table, _ = cut_table(200, 4)
    with pytest.raises(corvatel.CorvatelError, match="outside rt_window"):
        corvatel.fit_ml(table["choice"], table["rt"], rt_window=(0.5, 10.0))


def test_joint_fits_with_contaminants_take_the_window_too():
    table, _ = cut_table(1500, 9)
    table["condition"] = np.where(np.arange(len(table)) % 2 == 0, "a", "b")
    fits = corvatel.fit(table, method="ml", depends_on={"drift_rate": "condition"}, min_rt=0.4, max_rt=2.0,
                        p_outlier=0.02)
    kept = table[(table["rt"] >= 0.4) & (table["rt"] <= 2.0)]
    levels = (kept["condition"] == "b").to_numpy().astype(np.int64)
    windowed = corvatel.fit_ml_joint(kept["choice"], kept["rt"], levels, p_outlier=0.02, rt_window=(0.4, 2.0))
    plain = corvatel.fit_ml_joint(kept["choice"], kept["rt"], levels, p_outlier=0.02)
    assert list(fits["warning"]) == ["", ""]
    assert [bits(v) for v in fits["drift_rate"]] == [bits(r["drift_rate"]) for r in windowed]
    assert windowed[0]["log_likelihood"] != plain[0]["log_likelihood"]
    assert windowed[0]["non_decision_time"] == pytest.approx(TRUTH["non_decision_time"], abs=0.04)
