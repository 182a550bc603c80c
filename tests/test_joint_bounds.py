"""Joint likelihood fits of levels with time-varying bounds, leak and
urgency: the module's fit_bounds_ml_joint, corvatel.fit_ml_joint(model=
"angle" | "weibull", bound=, leak=, urgency=), the table layer's
fit(method="ml", model=..., depends_on=...) and `corvatel fit --depends-on`."""

import numpy as np
import pandas as pd
import pytest

import _corvatel
import corvatel
from cli_runner import run

WALK = ["drift_rate", "boundary_separation", "non_decision_time", "starting_point", "noise_sd"]
FIGURES = ["converged", "iterations", "log_likelihood", "aic", "bic", "n_params"]
STATS = ["n_valid", "n_upper", "accuracy", "mean_rt", "var_rt"]
FAILS_ON_PURPOSE = pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups (flagged|failed):UserWarning")
# The module's names of the fits' parameters.
MODULE_NAMES = {"drift_rate": "drift", "boundary_separation": "boundary", "starting_point": "start",
                "non_decision_time": "t0", "noise_sd": "noise_sd", "theta": "theta"}


def bits(x):
    return np.float64(x).view(np.uint64).item()


@pytest.fixture(scope="module")
def trials():
    """Subject 1: two conditions of 120 trials with different drifts, rows
    shuffled; subject 9: 6 trials per condition, too few to fit."""
    truth = pd.DataFrame({"subject": 1, "condition": ["easy", "hard"], "drift": [1.6, 0.4], "boundary": 1.4,
                          "start": 0.5, "t0": 0.3})
    table = corvatel.simulate_data(truth, 120, 5)
    few = corvatel.simulate_data(truth.assign(subject=9), 6, 6)
    table = pd.concat([table, few], ignore_index=True).sample(frac=1.0, random_state=7)
    return table[["subject", "condition", "choice", "rt"]].reset_index(drop=True)


@pytest.fixture(scope="module")
def table(trials):
    with pytest.warns(UserWarning, match="2 of 4 groups failed"):
        return corvatel.fit(trials, by="subject", method="ml", model="angle", depends_on={"drift_rate": "condition"})


def module_fit(trials, subject, depends_on=("drift_rate",)):
    group = trials[trials["subject"] == subject].sort_values("condition", kind="stable")
    sizes = [int(n) for n in group.groupby("condition").size()]
    return _corvatel.fit_bounds_ml_joint(group["choice"].to_numpy(), group["rt"].to_numpy(), sizes, "angle",
                                         False, False, 0.5, list(depends_on))


@pytest.mark.slow
def test_table_rows_are_the_modules_joint_fit_bit_for_bit(trials, table):
    assert list(table.columns) == ["subject", "condition"] + STATS + WALK + ["theta"] + FIGURES + ["warning", "error"]
    assert list(table["condition"]) == ["easy", "hard", "easy", "hard"]
    expected = module_fit(trials, 1)
    for row, params in zip(table.iloc[:2].itertuples(), expected["params"]):
        assert row.error == ""
        for column, name in MODULE_NAMES.items():
            assert bits(getattr(row, column)) == bits(params[name]), column
        for key in ("log_likelihood", "aic", "bic"):
            assert bits(getattr(row, key)) == bits(expected[key]), key
        assert (row.converged, row.iterations, row.n_params) == (expected["converged"], expected["iterations"], 5)
    # Shared values repeated, the drift per level; the easy condition's is the larger.
    first, second = table.iloc[0], table.iloc[1]
    for column in ("boundary_separation", "non_decision_time", "theta"):
        assert bits(first[column]) == bits(second[column]), column
    assert first["drift_rate"] > second["drift_rate"] + 0.5


@pytest.mark.slow
def test_fit_ml_joint_names_the_modules_result(trials):
    group = trials[trials["subject"] == 1]
    levels = (group["condition"] == "hard").to_numpy().astype(np.int64)
    rows = corvatel.fit_ml_joint(group["choice"].to_numpy(), group["rt"].to_numpy(), levels,
                                 depends_on="drift_rate", model="angle")
    expected = module_fit(trials, 1)
    assert [row["level"] for row in rows] == [0, 1]
    assert [row["n_trials"] for row in rows] == [120, 120]
    for row, params in zip(rows, expected["params"]):
        assert row["bound"] == "angle" and row["leak"] == 0.0 and row["urgency"] == 0.0
        for column, name in MODULE_NAMES.items():
            assert bits(row[column]) == bits(params[name]), column
        assert bits(row["log_likelihood"]) == bits(expected["log_likelihood"])


@pytest.mark.slow
def test_a_level_too_small_fails_every_row_of_its_group(trials, table):
    rows = table.iloc[2:]
    with pytest.raises(corvatel.CorvatelError) as raised:
        module_fit(trials, 9)
    assert list(rows["error"]) == [str(raised.value)] * 2
    assert rows[WALK + ["theta", "log_likelihood"]].isna().all().all()


@pytest.mark.slow
@FAILS_ON_PURPOSE
def test_cli_depends_on_writes_the_table_of_the_library(tmp_path, capsys, trials, table):
    source, output = tmp_path / "trials.csv", tmp_path / "fits.csv"
    trials.to_csv(source, index=False)
    status, _, err = run(capsys, "fit", source, "--by", "subject", "--method", "ml", "--model", "angle",
                         "--depends-on", "drift_rate=condition", "-o", output)
    assert status == 3 and "2 of 4 groups failed" in err
    written = pd.read_csv(output, keep_default_na=False, na_values=[""])
    assert list(written.columns) == list(table.columns)
    for column in WALK + ["theta", "log_likelihood", "bic"]:
        assert [bits(x) for x in written[column]] == [bits(x) for x in table[column]], column


@pytest.mark.parametrize("kwargs, message", [
    ({"model": "weibull", "depends_on": {"theta": "condition"}}, "'theta' is not a parameter"),
    ({"model": "angle", "depends_on": {"starting_point": "condition"}}, "'starting_point' is not a parameter"),
    ({"bound": "exponential", "depends_on": {"leak": "condition"}}, "'leak' is not a parameter"),
])
def test_table_refuses_what_these_joint_fits_do_not_take(trials, kwargs, message):
    with pytest.raises(ValueError, match=message):
        corvatel.fit(trials, by="subject", method="ml", **kwargs)


@pytest.mark.parametrize("kwargs, message", [
    ({"model": "weibull", "depends_on": "theta"}, "'theta' is not a parameter of this fit \\(bound 'weibull'\\); "
                                                  "its parameters are drift_rate, boundary_separation, "
                                                  "non_decision_time, shape, scale"),
    ({"model": "angle", "depends_on": "starting_point"}, "'starting_point' is not a parameter"),
    ({"model": "full", "leak": True}, "takes no bound"),
])
def test_fit_ml_joint_refuses_by_name(kwargs, message):
    rts = 0.3 + np.arange(40) % 7 / 10
    with pytest.raises(ValueError, match=message):
        corvatel.fit_ml_joint(np.arange(40) % 3 > 0, rts, np.arange(40) % 2, **kwargs)


@pytest.mark.parametrize("args, message", [
    (([20, 20], "weibull", False, False, 0.5, ["theta"]),
     "depends_on names 'theta', which is not a fitted parameter of this model"),
    (([20, 20], "angle", False, False, 0.5, ["starting_point"]), "depends_on names 'starting_point'"),
    (([20, 20], "angle", False, False, None, ["urgency"]), "depends_on names 'urgency'"),
    (([20, 21], "angle", False, False, 0.5, []), "level_sizes add up to more than the number of trials"),
    (([20, 19], "angle", False, False, 0.5, []), "level_sizes must add up to the number of trials"),
    (([20, 20], "linear", False, False, 0.5, []), "bound must be"),
])
def test_module_refuses_by_name(args, message):
    rts = 0.3 + np.arange(40) % 7 / 10
    with pytest.raises(ValueError, match=message):
        _corvatel.fit_bounds_ml_joint(np.arange(40) % 3 > 0, rts, *args)


def test_module_reports_the_cores_errors():
    rts = 0.3 + np.arange(30) % 7 / 10
    with pytest.raises(corvatel.CorvatelError, match="needs at least 14 trials per level; got 10"):
        _corvatel.fit_bounds_ml_joint(np.arange(30) % 3 > 0, rts, [20, 10], "weibull", True, True)
    with pytest.raises(corvatel.CorvatelError, match="a joint fit needs at least one level"):
        _corvatel.fit_bounds_ml_joint(np.zeros(0, dtype=bool), np.zeros(0), [])


# A depends_on the fit's model lacks is a usage error, found before the table
# is read, as for the standard model (2): p_outlier only when it is free.
@pytest.mark.parametrize("argv, status, message", [
    (["--model", "weibull", "--depends-on", "theta=condition"], 2,
     "--depends-on: 'theta' is not a parameter of model 'weibull'"),
    (["--model", "angle", "--depends-on", "p_outlier=condition"], 2,
     "--depends-on: 'p_outlier' is not a parameter of model 'angle'"),
])
def test_cli_refuses_what_these_joint_fits_do_not_take(tmp_path, capsys, trials, argv, status, message):
    source = tmp_path / "trials.csv"
    trials.to_csv(source, index=False)
    code, _, err = run(capsys, "fit", source, "--method", "ml", *argv, "-o", tmp_path / "fits.csv")
    assert code == status and message in err
    assert not (tmp_path / "fits.csv").exists()
