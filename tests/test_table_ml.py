"""Likelihood fits through the table layer: fit(method="ml"), depends_on,
simulate_data with sv/sz/st, recover(method="ml"), the CLI and fit_check."""

import numpy as np
import pandas as pd
import pytest

import corvatel
from corvatel import _fitting
from cli_runner import run

ML_COLUMNS = ["drift_rate", "boundary_separation", "non_decision_time", "starting_point", "noise_sd", "sv", "sz",
              "st", "p_outlier", "converged", "iterations", "log_likelihood", "aic", "bic"]
STATS = ["n_valid", "n_upper", "accuracy", "mean_rt", "var_rt"]
# For tests whose tables hold a group that fails or is flagged on purpose:
# fit's summary warnings of them (tests/test_flags.py checks them).
FLAGGED_ON_PURPOSE = pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups (flagged|failed):UserWarning")


@pytest.fixture(scope="module")
def trials():
    """Two subjects x three coherences, 120 trials each, rows shuffled so
    that groups interleave; subject 9 has a coherence with 6 trials only."""
    truth = pd.DataFrame({"subject": [1, 1, 1, 2, 2, 2], "coh": [0.1, 0.3, 0.5] * 2,
                          "drift": [0.5, 1.2, 2.0, 0.8, 1.6, 2.4], "boundary": [1.2] * 3 + [1.6] * 3,
                          "start": 0.5, "t0": [0.3] * 3 + [0.25] * 3})
    table = corvatel.simulate_data(truth, 120, 5)
    few = corvatel.simulate_data({"subject": 9, "coh": 0.3, "drift": 1.0, "boundary": 1.0, "start": 0.5,
                                  "t0": 0.3}, 6, 8)
    table = pd.concat([table, few], ignore_index=True).sample(frac=1.0, random_state=2)
    return table.set_index(np.arange(500, 500 + len(table)))


def bits(x):
    return np.float64(x).view(np.uint64).item()


def same(a, b):
    """Bitwise equality of fitted values (bools and ints compared as such)."""
    if isinstance(b, (bool, np.bool_, int, np.integer)):
        return a == b
    return bits(a) == bits(b)


def group_arrays(trials, **keys):
    mask = np.ones(len(trials), dtype=bool)
    for column, value in keys.items():
        mask &= (trials[column] == value).to_numpy()
    part = trials[mask]
    return part["choice"].to_numpy(), part["rt"].to_numpy()


@FLAGGED_ON_PURPOSE
def test_ml_rows_equal_fit_ml_on_the_group_arrays(trials):
    fits = corvatel.fit(trials, by=["subject", "coh"], method="ml")
    assert list(fits.columns) == ["subject", "coh"] + STATS + ML_COLUMNS + ["warning", "error"]
    assert list(fits["subject"]) == [1, 1, 1, 2, 2, 2, 9]
    for _, row in fits.iloc[:6].iterrows():
        expected = corvatel.fit_ml(*group_arrays(trials, subject=row["subject"], coh=row["coh"]))
        assert row["error"] == ""
        assert all(same(row[c], expected[c]) for c in ML_COLUMNS), row["subject"]
    # The 6-trial group cannot be fitted; the batch goes on and says why.
    failed = fits.iloc[6]
    with pytest.raises(corvatel.CorvatelError) as raised:
        corvatel.fit_ml(*group_arrays(trials, subject=9))
    assert failed["error"] == str(raised.value) != ""
    assert failed[["drift_rate", "log_likelihood", "aic"]].isna().all() and pd.isna(failed["converged"])
    assert fits["converged"].dtype == "boolean" and fits["iterations"].dtype == "Int64"
    # Deterministic: the same call, the same table.
    pd.testing.assert_frame_equal(fits, corvatel.fit(trials, by=["subject", "coh"], method="ml"))


@FLAGGED_ON_PURPOSE
@pytest.mark.slow
def test_full_model_row_equals_fit_ml_full(trials):
    part = trials[(trials["subject"] == 2) & (trials["coh"] == 0.5)].iloc[:30]
    fits = corvatel.fit(part, method="ml", model="full")
    expected = corvatel.fit_ml(part["choice"].to_numpy(), part["rt"].to_numpy(), model="full")
    assert fits["error"].iloc[0] == ""
    assert all(same(fits[c].iloc[0], expected[c]) for c in ML_COLUMNS)


@FLAGGED_ON_PURPOSE
@pytest.mark.parametrize("levels", ["coh", ["coh"]])
def test_depends_on_rows_equal_fit_ml_joint(trials, levels):
    fits = corvatel.fit(trials, by="subject", method="ml", depends_on={"drift_rate": levels})
    assert list(fits.columns) == ["subject", "coh"] + STATS + ML_COLUMNS + ["warning", "error"]
    assert list(zip(fits["subject"], fits["coh"])) == [(1, 0.1), (1, 0.3), (1, 0.5), (2, 0.1), (2, 0.3),
                                                       (2, 0.5), (9, 0.3)]
    for subject in (1, 2):
        part = trials[trials["subject"] == subject]
        codes = np.searchsorted([0.1, 0.3, 0.5], part["coh"].to_numpy())
        expected = corvatel.fit_ml_joint(part["choice"].to_numpy(), part["rt"].to_numpy(), codes,
                                         depends_on=("drift_rate",))
        rows = fits[fits["subject"] == subject]
        for (_, row), want in zip(rows.iterrows(), expected):
            assert all(same(row[c], want[c]) for c in ML_COLUMNS)
            assert row["n_valid"] == want["n_trials"]
        # Shared values and the joint fit's figures repeat; drift does not.
        for column in ("boundary_separation", "non_decision_time", "starting_point", "log_likelihood", "bic"):
            assert rows[column].nunique() == 1
        assert rows["drift_rate"].nunique() == 3
    assert fits["error"].iloc[6] != "" and fits["error"].iloc[:6].eq("").all()


def test_depends_on_with_drop_invalid_and_two_level_columns(trials):
    table = trials.assign(block=np.arange(len(trials)) % 2, rt=trials["rt"].where(np.arange(len(trials)) % 50 != 0))
    table = table[table["subject"] != 9]
    fits = corvatel.fit(table, by="subject", method="ml", depends_on={"drift_rate": ["coh", "block"]},
                        drop_invalid=True)
    assert list(fits.columns[:4]) == ["subject", "coh", "block", "n_dropped"]
    assert len(fits) == 12 and fits["n_dropped"].sum() == table["rt"].isna().sum()
    part = table[(table["subject"] == 2) & table["rt"].notna()]
    codes = np.searchsorted([0.1, 0.3, 0.5], part["coh"].to_numpy()) * 2 + part["block"].to_numpy()
    expected = corvatel.fit_ml_joint(part["choice"].to_numpy(), part["rt"].to_numpy(), codes)
    for (_, row), want in zip(fits[fits["subject"] == 2].iterrows(), expected):
        assert all(same(row[c], want[c]) for c in ML_COLUMNS)


@FLAGGED_ON_PURPOSE
@pytest.mark.parametrize("empty", ["dropped", "outside the window"])
def test_a_level_left_without_trials_keeps_its_row_and_the_others_are_fitted_without_it(trials, empty):
    table = trials[trials["subject"] != 9]
    emptied = (table["subject"] == 2) & (table["coh"] == 0.3)
    if empty == "dropped":
        table, window = table.assign(rt=table["rt"].mask(emptied)), {"drop_invalid": True}
    else:
        table, window = table.assign(rt=table["rt"].mask(emptied, 9.5)), {"max_rt": 9.0}
    fits = corvatel.fit(table, by="subject", method="ml", depends_on={"drift_rate": "coh"}, **window)
    assert list(zip(fits["subject"], fits["coh"])) == [(1, 0.1), (1, 0.3), (1, 0.5), (2, 0.1), (2, 0.3), (2, 0.5)]
    assert fits["error"].tolist() == [""] * 4 + [_fitting.EMPTY_LEVEL, ""]
    assert fits.loc[4, ML_COLUMNS].isna().all() and fits.loc[4, "n_valid"] == 0
    kept = table[(table["subject"] == 2) & ~emptied & table["rt"].notna()]
    codes = (kept["coh"].to_numpy() == 0.5).astype(np.int64)
    expected = corvatel.fit_ml_joint(kept["choice"].to_numpy(), kept["rt"].to_numpy(), codes,
                                     depends_on=("drift_rate",), **({"rt_window": (0.0, 9.0)} if "max_rt" in window
                                                                    else {}))
    for row, want in zip([fits.loc[3], fits.loc[5]], expected):
        assert all(same(row[c], want[c]) for c in ML_COLUMNS)


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "ez", "depends_on": {"drift_rate": "coh"}}, "depends_on needs method='ml'"),
    ({"depends_on": {"drift": "coh"}}, "depends_on: 'drift' is not a parameter of model 'ddm'"),
    ({"depends_on": {"sv": "coh"}}, "'sv' is not a parameter of model 'ddm'"),
    ({"depends_on": {"drift_rate": "cohr"}}, "depends_on: column 'cohr' not found"),
    ({"depends_on": {"drift_rate": "coh", "starting_point": "subject"}}, "same column(s)"),
    ({"by": "coh", "depends_on": {"drift_rate": "coh"}}, "'coh' is also a by column"),
    ({"depends_on": {}}, "depends_on must be a non-empty mapping"),
    ({"model": "full", "method": "sim"}, "model applies to method 'ml' only"),
    ({"model": "fast"}, "model must be one of 'ddm', 'full'"),
])
def test_bad_arguments_are_refused_before_fitting(trials, monkeypatch, kwargs, message):
    def no_fitting(*args, **kw):
        raise AssertionError("fitted before the arguments were checked")

    monkeypatch.setattr(_fitting, "fit_ml", no_fitting)
    monkeypatch.setattr(_fitting, "fit_ml_joint", no_fitting)
    kwargs = {"method": "ml", **kwargs}
    with pytest.raises((ValueError, TypeError), match=None) as raised:
        corvatel.fit(trials, **kwargs)
    assert message in str(raised.value)


def test_simulate_data_variabilities():
    base = pd.DataFrame({"drift": [1.0, 1.5, 0.8], "boundary": [1.2, 1.5, 1.0], "start": [0.5, 0.4, 0.6],
                         "t0": [0.3, 0.25, 0.35]})
    plain = corvatel.simulate_data(base, 300, 17)
    # Zero variabilities: exactly today's trials, bit for bit.
    zeros = corvatel.simulate_data(base.assign(sv=0.0, sz=0.0, st=0.0), 300, 17)
    pd.testing.assert_frame_equal(zeros, plain)
    assert zeros["rt"].to_numpy().view(np.uint64).tolist() == plain["rt"].to_numpy().view(np.uint64).tolist()
    # A row with a nonzero variability is simulate_full from its derived seed; the others are unchanged.
    full = corvatel.simulate_data(base.assign(sv=[0.0, 0.7, 0.0], sz=[0.0, 0.1, 0.0], st=[0.0, 0.0, 0.0]), 300, 17)
    for i in (0, 2):
        pd.testing.assert_frame_equal(full[full["param_set"] == i], plain[plain["param_set"] == i])
    choices, rts, _ = corvatel.simulate_full(1.5, 1.5, 0.4, 0.25, 300, corvatel.derive_seed(17, 1), 1.0, 0.7, 0.1,
                                             0.0)
    mine = full[full["param_set"] == 1]
    assert np.array_equal(mine["choice"].to_numpy(), choices) and np.array_equal(mine["rt"].to_numpy(), rts)
    assert not np.array_equal(rts, plain[plain["param_set"] == 1]["rt"].to_numpy())
    # A mapping takes them too, and they are not labels.
    one = corvatel.simulate_data({"drift": 1.0, "boundary": 1.2, "start": 0.5, "t0": 0.3, "st": 0.2}, 50, 3)
    assert list(one.columns) == ["trial", "choice", "rt"]
    assert np.array_equal(one["rt"].to_numpy(), corvatel.simulate_full(1.0, 1.2, 0.5, 0.3, 50, corvatel.derive_seed(
        3, 0), st=0.2)[1])


@pytest.mark.parametrize("extra, message", [
    ({"sv": -0.1}, "params column 'sv' must be non-negative and finite"),
    ({"sv": np.inf}, "params column 'sv' must be non-negative and finite"),
    ({"sz": 1.2}, "params column 'sz' must keep start - sz/2 and start + sz/2 within 0 and 1"),
    ({"sz": np.nan}, "params column 'sz' must be non-negative"),
    ({"st": 0.7}, "params column 'st' must be at most 2 * t0"),
])
def test_simulate_data_refuses_bad_variabilities(extra, message):
    with pytest.raises(ValueError) as raised:
        corvatel.simulate_data({"drift": 1.0, "boundary": 1.2, "start": 0.5, "t0": 0.3, **extra}, 10, 1)
    assert message in str(raised.value)


def test_recover_ml_has_true_variabilities_and_fits_the_simulated_arrays():
    truth = pd.DataFrame({"drift": [1.0, 2.0], "boundary": [1.4, 1.0], "start": [0.5, 0.45], "t0": [0.3, 0.25],
                          "sv": [0.0, 0.5], "sz": 0.0, "st": [0.0, 0.1]})
    study = corvatel.recover(truth, 150, method="ml", reps=2, seed=4)
    assert list(study.columns[:10]) == ["param_set", "rep", "true_drift_rate", "true_boundary_separation",
                                        "true_starting_point", "true_non_decision_time", "true_sv", "true_sz",
                                        "true_st", "n_excluded"]
    assert list(study.columns[10:]) == STATS + ML_COLUMNS + ["warning", "error"]
    for r in range(2):
        data = corvatel.simulate_data(truth, 150, corvatel.derive_seed(4, r))
        for i in range(2):
            expected = corvatel.fit_ml(*group_arrays(data, param_set=i))
            row = study.iloc[2 * i + r]
            assert all(same(row[c], expected[c]) for c in ML_COLUMNS)
            assert row["true_st"] == truth["st"].iloc[i]
    summary = corvatel.recovery_summary(study)
    assert list(summary["parameter"]) == ["drift_rate", "boundary_separation", "non_decision_time",
                                          "starting_point", "sv", "sz", "st"]
    # The "ddm" model fits no variability: its sv is 0, off by the truth's mean.
    assert summary.set_index("parameter").loc["sv", "bias"] == pytest.approx(-0.25)


@FLAGGED_ON_PURPOSE
def test_cli_ml_fits_and_exit_codes(tmp_path, trials, capsys):
    trials.to_csv(tmp_path / "trials.csv", index=False)
    status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--by", "subject", "--method", "ml",
                         "--depends-on", "drift_rate=coh", "-o", tmp_path / "fits.csv")
    # Subject 9 cannot be fitted: the table is written, with status 3.
    assert status == 3 and "1 of 7 groups failed; see the error column\n" in err
    expected = corvatel.fit(pd.read_csv(tmp_path / "trials.csv"), by="subject", method="ml",
                            depends_on={"drift_rate": "coh"})
    written = pd.read_csv(tmp_path / "fits.csv", keep_default_na=False, na_values=[""])
    pd.testing.assert_frame_equal(written.drop(columns=["warning", "error", "converged"]),
                                  expected.drop(columns=["warning", "error", "converged"]), check_dtype=False)
    usage = [("--method", "ez", "--depends-on", "drift_rate=coh"), ("--method", "ml", "--depends-on", "drift_rate"),
             ("--method", "sim", "--model", "full"), ("--method", "ml", "--model", "quick"),
             ("--method", "ml", "--depends-on", "drift_rate=coh", "drift_rate=subject")]
    for extra in usage:
        assert run(capsys, "fit", tmp_path / "trials.csv", *extra, "-o", tmp_path / "x.csv")[0] == 2, extra
    status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--method", "ml", "--depends-on", "drift=coh",
                         "-o", tmp_path / "x.csv")
    assert status == 2 and "'drift' is not a parameter" in err
    pd.DataFrame({"drift": [1.0], "boundary": [1.2], "start": [0.5], "t0": [0.3], "sv": [0.5]}).to_csv(
        tmp_path / "truth.csv", index=False)
    status, _, err = run(capsys, "recover", "--params", tmp_path / "truth.csv", "--n-trials", 100, "--method", "ml",
                         "-o", tmp_path / "rec.csv")
    assert status == 0 and "true_sv" in pd.read_csv(tmp_path / "rec.csv").columns


# Subject 2 at coherence 0.5 (drift 2.4) answers correctly on every trial: flagged.
@pytest.mark.filterwarnings(r"ignore:1 of 6 groups flagged:UserWarning")
def test_fit_check_draws_the_densities_of_ml_fits(trials):
    plot = pytest.importorskip("corvatel.plot")
    pytest.importorskip("matplotlib")
    data = trials[trials["subject"] != 9]
    fits = corvatel.fit(data, by=["subject", "coh"], method="ml")
    figure = plot.fit_check(data, fits)
    for ax, (_, row) in zip(figure.subfigs[0].axes, fits.iterrows()):
        for label, sign in (("upper", 1), ("lower", -1)):
            # One legend entry, "model", for the two lines.
            name = {"upper": "model", "lower": "_model lower"}[label]
            line = next(line for line in ax.get_lines() if line.get_label() == name)
            times = line.get_xdata()
            expected = corvatel.wfpt_pdf(times, sign > 0, row["drift_rate"], row["boundary_separation"],
                                         row["starting_point"], row["non_decision_time"])
            assert len(times) == plot.CURVE_POINTS
            assert np.array_equal(sign * line.get_ydata(), expected)
    # The quantile-probability lines come from the integrated densities: the
    # upper response's proportion is the closed-form one (the grid runs to
    # 30 s; the trapezoids' error is far below 1e-4), and the proportions add up to 1.
    row = fits.iloc[0]
    points = plot.predicted_density(row).points()
    v, a, z = row["drift_rate"], row["boundary_separation"], row["starting_point"]
    assert points["p_upper"] == pytest.approx(np.expm1(-2 * v * a * z) / np.expm1(-2 * v * a), abs=1e-4)
    assert points["p_upper"] + points["p_lower"] == pytest.approx(1.0, abs=1e-4)
    assert np.all(np.diff(points["q_upper"]) > 0)
