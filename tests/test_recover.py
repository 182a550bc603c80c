import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import corvatel

TRUTH = pd.DataFrame({"set": ["p", "q"], "drift": [1.0, 2.0], "boundary": [1.2, 1.6], "start": 0.5,
                      "t0": [0.3, 0.2]})
FITTED = ["drift_rate", "boundary_separation", "non_decision_time"]


def test_columns_and_each_rep_is_simulate_data_then_fit():
    table = corvatel.recover(TRUTH, 300, method="ez", reps=3, seed=4)
    assert list(table.columns[:7]) == ["set", "rep", "true_drift_rate", "true_boundary_separation",
                                       "true_non_decision_time", "n_excluded", "n_valid"]
    assert list(table.columns[-1:]) == ["error"]
    assert list(zip(table["set"], table["rep"])) == [("p", 0), ("p", 1), ("p", 2), ("q", 0), ("q", 1), ("q", 2)]
    assert table["true_drift_rate"].tolist() == [1.0] * 3 + [2.0] * 3
    for rep in range(3):
        data = corvatel.simulate_data(TRUTH, 300, corvatel.derive_seed(4, rep))
        fits = corvatel.fit(data, by="set", method="ez")
        ours = table[table["rep"] == rep].reset_index(drop=True)
        pd.testing.assert_frame_equal(ours[fits.columns], fits)


def test_sim_method_is_fit_sim_on_the_simulated_arrays():
    guess = {"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2}
    table = corvatel.recover(TRUTH.iloc[:1], 200, reps=1, seed=6, initial_guess=guess, max_iters=3)
    choices, rts, _ = corvatel.simulate(1.0, 1.2, 0.5, 0.3, 200, corvatel.derive_seed(corvatel.derive_seed(6, 0), 0))
    expected = corvatel.fit_sim(choices, rts, guess, 3)
    assert table.loc[0, FITTED + ["final_cost"]].tolist() == [expected[k] for k in FITTED + ["final_cost"]]
    assert table.loc[0, "iterations"] == expected["iterations"] and table["error"].tolist() == [""]


@pytest.mark.slow
def test_same_table_whatever_the_number_of_worker_threads():
    code = ("import os, sys, pickle, pandas as pd, corvatel; "
            "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}) if sys.argv[1] == '1' else None; "
            "t = pd.DataFrame({'drift': [1.0, 2.0], 'boundary': [1.2, 1.6], 'start': 0.5, 't0': [0.3, 0.2]}); "
            "sys.stdout.buffer.write(pickle.dumps(corvatel.recover(t, 400, reps=2, seed=8, max_iters=4)))")
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two processors to compare one worker with several")
    import pickle
    one, many = (pickle.loads(subprocess.run([sys.executable, "-c", code, k], check=True,
                                             capture_output=True).stdout) for k in "12")
    pd.testing.assert_frame_equal(one, many, check_exact=True)


def test_summary_values():
    table = pd.DataFrame({
        "true_drift_rate": [1.0, 2.0, 3.0, 1.0], "drift_rate": [1.5, 1.5, 3.5, np.nan],
        "true_boundary_separation": [1.0, 1.0, 1.0, 1.0], "boundary_separation": [1.1, 0.9, 1.3, np.nan],
        "true_non_decision_time": [0.2, 0.3, 0.4, 0.3], "non_decision_time": [0.2, 0.3, 0.4, np.nan],
        "error": ["", "", "", "no real solution"]})
    summary = corvatel.recovery_summary(table).set_index("parameter")
    assert summary["n"].tolist() == [3, 3, 3] and summary["n_failed"].tolist() == [1, 1, 1]
    assert summary.loc["drift_rate", "bias"] == pytest.approx((0.5 - 0.5 + 0.5) / 3)
    assert summary.loc["drift_rate", "rmse"] == pytest.approx(0.5)
    assert summary.loc["drift_rate", "r"] == pytest.approx(np.corrcoef([1, 2, 3], [1.5, 1.5, 3.5])[0, 1])
    assert np.isnan(summary.loc["boundary_separation", "r"])  # true values constant
    assert summary.loc["non_decision_time", "r"] == pytest.approx(1.0)
    with pytest.raises(ValueError, match="recovery_summary: column 'error' not found"):
        corvatel.recovery_summary(table.drop(columns="error"))


def test_ez_recovers_known_parameters():
    # 30 data sets of 2000 trials for each of two sets (60 fits). The fits'
    # spread at this size is about 0.045 (drift), 0.03 (boundary) and 0.009
    # (t0), so the standard errors of the mean bias are 0.006, 0.004 and
    # 0.0012. The simulator's 1 ms Euler steps overshoot each boundary by
    # about 0.5826 * sqrt(0.001) = 0.018, so the fitted boundary
    # separation sits about 0.037 above the truth. The windows below are
    # 5 (drift, t0) and 3.7 (boundary) standard errors wide on each side:
    # a false alarm about once in 5000 runs, and the seed is fixed.
    table = corvatel.recover(TRUTH, 2000, method="ez", reps=30, seed=1)
    summary = corvatel.recovery_summary(table).set_index("parameter")
    assert summary["n_failed"].tolist() == [0, 0, 0]
    assert abs(summary.loc["drift_rate", "bias"]) < 0.03
    assert abs(summary.loc["boundary_separation", "bias"] - 0.037) < 0.015
    assert abs(summary.loc["non_decision_time", "bias"]) < 0.006
    assert (summary["r"] > 0.95).all()


def test_the_truth_of_another_noise_scale_is_on_the_fits_scale():
    # Ratcliff's convention, noise_sd 0.1: the fits (noise_sd 1) see drift
    # 2 and boundary 1.2. The three fits' mean has a standard error of
    # about 0.03 (drift) and 0.02 (boundary), the boundary sits 0.037 above
    # the truth (the Euler walk's overshoot): windows of 5 standard errors.
    truth = pd.DataFrame({"drift": [0.2], "boundary": [0.12], "start": [0.5], "t0": [0.3], "noise_sd": [0.1]})
    table = corvatel.recover(truth, 2000, method="ez", reps=3, seed=1)
    assert table["true_drift_rate"].tolist() == pytest.approx([2.0] * 3)
    assert table["true_boundary_separation"].tolist() == pytest.approx([1.2] * 3)
    assert table["true_non_decision_time"].tolist() == [0.3] * 3
    summary = corvatel.recovery_summary(table).set_index("parameter")
    assert abs(summary.loc["drift_rate", "bias"]) < 0.15
    assert abs(summary.loc["boundary_separation", "bias"] - 0.037) < 0.1


def test_rows_of_a_table_without_labels_are_named_by_position():
    table = corvatel.recover(TRUTH.drop(columns="set"), 50, method="ez", reps=2, seed=1)
    assert table["param_set"].tolist() == [0, 0, 1, 1]
    assert table["true_drift_rate"].tolist() == [1.0, 1.0, 2.0, 2.0]


def test_a_data_set_with_trials_past_the_cap_is_flagged():
    # Drift 0.2 against a boundary of 5: about a sixth of the decisions
    # take longer than the simulators' 10 s.
    truth = pd.DataFrame({"set": ["slow", "quick"], "drift": [0.2, 1.0], "boundary": [5.0, 1.5], "start": 0.5,
                          "t0": 0.3})
    table = corvatel.recover(truth, 300, method="ez", reps=2, seed=5).set_index("set")
    assert (table.loc["slow", "n_excluded"] > 0).all()
    assert table.loc["slow", "warning"].str.contains("trials past the 10 s cap").all()
    assert (table.loc["quick", "n_excluded"] == 0).all() and (table.loc["quick", "warning"] == "").all()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n_trials": 0}, ValueError, "n_trials must be a positive integer"),
    ({"reps": 0}, ValueError, "reps must be a positive integer"),
    ({"method": "mle"}, ValueError, "method must be one of"),
    ({"seed": "a"}, TypeError, "seed must be an integer"),
    # Refused at once: it had built a task a data set for minutes.
    ({"reps": 10**15}, MemoryError, r"reps=1000000000000000 data sets need more memory"),
])
def test_bad_arguments(kwargs, error, message):
    arguments = {"n_trials": 10, "method": "ez", **kwargs}
    with pytest.raises(error, match=message):
        corvatel.recover(TRUTH, arguments.pop("n_trials"), **arguments)
