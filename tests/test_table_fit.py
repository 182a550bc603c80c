import functools
import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import corvatel

PARAMS = ["drift_rate", "boundary_separation", "non_decision_time", "starting_point", "noise_sd"]
STATS = ["n_valid", "n_upper", "accuracy", "mean_rt", "var_rt"]
# For tests whose tables have few trials, perfect accuracy or failed groups
# on purpose: fit's summary warnings of them (tests/test_flags.py checks them).
FLAGGED_ON_PURPOSE = pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups (flagged|failed):UserWarning")


@pytest.fixture(scope="module")
def trials():
    """Three subjects x two conditions, 150 trials each, rows shuffled so
    that groups interleave."""
    truth = pd.DataFrame({"subject": [3, 3, 1, 1, 2, 2], "condition": ["hard", "easy"] * 3,
                          "drift": [0.7, 1.8, 0.9, 2.2, 0.6, 1.5], "boundary": [1.2, 1.2, 1.5, 1.5, 1.0, 1.0],
                          "start": 0.5, "t0": [0.3, 0.3, 0.25, 0.25, 0.35, 0.35]})
    table = corvatel.simulate_data(truth, 150, 11)
    shuffled = table.sample(frac=1.0, random_state=3)
    return shuffled.set_index(np.arange(1000, 1000 + len(shuffled)))


def bits(x):
    return np.float64(x).view(np.uint64).item()


def recoded(trials, coding):
    """The trials with the choice column coded another way, and fit's
    arguments for that coding."""
    table = trials.rename(columns={"subject": "participant", "condition": "difficulty"})
    if coding == "bool":
        return table, {}
    if coding == "int":
        return table.assign(choice=table["choice"].astype(int)), {}
    if coding == "float":
        return table.assign(response=table["choice"].astype(float)).drop(columns="choice"), {"choice": "response"}
    if coding == "labels":
        words = np.where(table["choice"], "correct", "error")
        return table.assign(choice=words), {"upper": "correct"}
    if coding == "twos":
        return table.assign(choice=np.where(table["choice"], 2, 1)), {"upper": 2}
    if coding == "ms":
        return table.assign(rt=table["rt"] * 1000.0), {"rt_unit": "ms"}
    raise AssertionError(coding)


@pytest.mark.parametrize("coding", ["bool", "int", "float", "labels", "twos", "ms"])
def test_ez_groups_equal_fit_ez_on_group_arrays(trials, coding):
    table, kwargs = recoded(trials, coding)
    fits = corvatel.fit(table, by=["participant", "difficulty"], method="ez", **kwargs)
    assert list(fits.columns) == ["participant", "difficulty"] + STATS + PARAMS + ["warning", "error"]
    assert list(zip(fits["participant"], fits["difficulty"])) == [
        (1, "easy"), (1, "hard"), (2, "easy"), (2, "hard"), (3, "easy"), (3, "hard")]
    for _, row in fits.iterrows():
        mask = (trials["subject"] == row["participant"]) & (trials["condition"] == row["difficulty"])
        choices, rts = trials.loc[mask, "choice"].to_numpy(), trials.loc[mask, "rt"].to_numpy()
        expected = corvatel.fit_ez(choices, rts)
        if coding == "ms":
            expected = corvatel.fit_ez(choices, (rts * 1000.0) / 1000.0)
        assert {k: bits(row[k]) for k in PARAMS} == {k: bits(expected[k]) for k in PARAMS}
        assert row["error"] == ""


@pytest.mark.slow
def test_sim_groups_equal_fit_sim_with_its_defaults(trials):
    # one group: each default fit_sim takes about a second
    subset = trials[(trials["subject"] == 2) & (trials["condition"] == "hard")]
    fits = corvatel.fit(subset, by="condition")
    assert len(fits) == 1
    assert list(fits.columns) == ["condition"] + STATS + PARAMS + ["iterations", "final_cost", "warning", "error"]
    for _, row in fits.iterrows():
        part = subset[subset["condition"] == row["condition"]]
        expected = corvatel.fit_sim(part["choice"].to_numpy(), part["rt"].to_numpy())
        assert {k: bits(row[k]) for k in PARAMS + ["final_cost"]} == \
            {k: bits(expected[k]) for k in PARAMS + ["final_cost"]}
        assert row["iterations"] == expected["iterations"]


# Three iterations leave the moments unmatched, and flagged so.
@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
def test_sim_passes_guess_and_max_iters(trials):
    guess = {"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2}
    fits = corvatel.fit(trials, by=["subject", "condition"], initial_guess=guess, max_iters=3)
    first = trials[(trials["subject"] == 1) & (trials["condition"] == "easy")]
    expected = corvatel.fit_sim(first["choice"].to_numpy(), first["rt"].to_numpy(), guess, 3)
    assert fits.loc[0, "drift_rate"] == expected["drift_rate"]
    assert fits.loc[0, "iterations"] == expected["iterations"]
    assert (fits["iterations"] <= 3).all()


def test_statistics_use_left_to_right_sums(trials):
    fits = corvatel.fit(trials, by="subject", method="ez")
    for _, row in fits.iterrows():
        part = trials[trials["subject"] == row["subject"]]
        upper = part.loc[part["choice"], "rt"].tolist()
        mean = functools.reduce(lambda a, b: a + b, upper) / float(len(upper))
        var = functools.reduce(lambda a, b: a + (b - mean) * (b - mean), upper, 0.0) / (len(upper) - 1.0)
        assert (row["n_valid"], row["n_upper"]) == (len(part), len(upper))
        assert (bits(row["mean_rt"]), bits(row["var_rt"])) == (bits(mean), bits(var))
        assert row["accuracy"] == len(upper) / len(part)


def test_whole_table_is_one_group(trials):
    fits = corvatel.fit(trials, method="ez")
    expected = corvatel.fit_ez(trials["choice"].to_numpy(), trials["rt"].to_numpy())
    assert len(fits) == 1 and fits.loc[0, "drift_rate"] == expected["drift_rate"]
    assert list(fits.columns)[0] == "n_valid"


@FLAGGED_ON_PURPOSE
def test_a_group_that_cannot_be_fitted_does_not_stop_the_others(trials):
    table = trials.copy()
    doomed = table.index[(table["subject"] == 2) & (table["condition"] == "easy")]
    table.loc[doomed, "choice"] = False
    for method in ["ez", "sim"]:
        fits = corvatel.fit(table, by=["subject", "condition"], method=method, max_iters=2)
        failed = fits[fits["error"] != ""]
        assert list(zip(failed["subject"], failed["condition"])) == [(2, "easy")]
        with pytest.raises(corvatel.CorvatelError) as info:
            (corvatel.fit_ez if method == "ez" else corvatel.fit_sim)(
                np.zeros(150, bool), table.loc[doomed, "rt"].to_numpy())
        assert failed["error"].iloc[0] == str(info.value)
        assert failed[PARAMS].isna().all(axis=None)
        assert fits.loc[fits["error"] == "", PARAMS].notna().all(axis=None)


@FLAGGED_ON_PURPOSE
def test_mixed_type_keys_sort_numbers_then_text_then_missing():
    keys = [2, "b", 1.5, None, "a", 2, 1.5, None]
    table = pd.DataFrame({"g": pd.Series(keys, dtype=object), "choice": [True] * 8,
                          "rt": [0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2]})
    table = pd.concat([table] * 2, ignore_index=True)
    fits = corvatel.fit(table, by="g", method="ez")
    assert fits["g"].tolist()[:4] == [1.5, 2, "a", "b"] and fits["g"].isna().tolist()[4]
    assert fits["n_valid"].tolist() == [4, 4, 2, 2, 4]
    # rows keep their input order: the 1.5 group's response times
    assert fits.loc[0, "mean_rt"] == (0.7 + 1.1 + 0.7 + 1.1) / 4.0


@FLAGGED_ON_PURPOSE
@pytest.mark.parametrize("ordered", [False, True])
def test_a_categorical_key_keeps_its_categories_order(ordered):
    # Neither sorted ("easy" < "hard" < "mid") nor in order of appearance.
    levels = pd.Categorical(["mid", "hard", "easy", None] * 3, categories=["hard", "easy", "mid"], ordered=ordered)
    table = pd.DataFrame({"level": levels, "choice": [True] * 12,
                          "rt": np.linspace(0.4, 1.5, 12)})
    fits = corvatel.fit(table, by="level", method="ez")
    assert fits["level"].tolist()[:3] == ["hard", "easy", "mid"] and pd.isna(fits["level"].iloc[3])
    assert fits["mean_rt"].iloc[0] == (table["rt"][1] + table["rt"][5] + table["rt"][9]) / 3


def test_drop_invalid_reports_per_group(trials):
    table = trials.copy()
    table["choice"] = table["choice"].astype(float)
    first_s1 = table.index[table["subject"] == 1][:3]
    table.loc[first_s1, "rt"] = [np.nan, -1.0, np.inf]
    table.loc[table.index[table["subject"] == 3][0], "choice"] = np.nan
    fits = corvatel.fit(table, by="subject", method="ez", drop_invalid=True)
    assert fits["n_dropped"].tolist() == [3, 0, 1]
    assert fits["n_valid"].tolist() == [297, 300, 299]
    kept = table.drop(index=first_s1)
    kept = kept[kept["subject"] == 1]
    assert fits.loc[0, "drift_rate"] == corvatel.fit_ez(kept["choice"].to_numpy(bool), kept["rt"].to_numpy())[
        "drift_rate"]


@pytest.mark.parametrize("method", ["ez", "ml"])
def test_rt_of_python_numbers_and_none_reads_as_numbers(trials, method):
    # A table built row by row (None for a missed response) holds an object
    # column: once refused as "must hold numbers", listing numbers.
    table = trials.copy()
    table.loc[table.index[4], "rt"] = np.nan
    as_objects = table.assign(rt=pd.Series([None if np.isnan(v) else float(v) for v in table["rt"]],
                                           index=table.index, dtype=object))
    assert as_objects["rt"].dtype == object
    fits = corvatel.fit(as_objects, by="subject", method=method, drop_invalid=True)
    pd.testing.assert_frame_equal(fits, corvatel.fit(table, by="subject", method=method, drop_invalid=True))
    assert fits["n_dropped"].sum() == 1


def test_rt_in_a_categorical_column_reads_as_numbers(trials):
    as_categories = trials.assign(rt=pd.Categorical(trials["rt"]))
    pd.testing.assert_frame_equal(corvatel.fit(as_categories, by="subject", method="ez"),
                                  corvatel.fit(trials, by="subject", method="ez"))


@pytest.mark.filterwarnings(r"ignore:1 of 3 groups flagged:UserWarning")
def test_a_time_of_0_is_invalid_for_likelihood_fits_only(trials):
    table = trials.copy()
    zero = table.index[table["subject"] == 2][5]
    table.loc[zero, "rt"] = 0.0
    with pytest.raises(ValueError, match=r"has 1 NaN, infinite, negative or zero value\(s\) \(rows "):
        corvatel.fit(table, by="subject", method="ml")
    fits = corvatel.fit(table, by="subject", method="ml", drop_invalid=True)
    assert fits["n_dropped"].tolist() == [0, 1, 0] and (fits["error"] == "").all()
    assert corvatel.fit(table, by="subject", method="ez")["n_valid"].tolist() == [300, 300, 300]


@pytest.mark.parametrize("subjects, warned", [(["s1", "s1", "s1", "s1 ", " s1", "s2"], True),
                                              (["s1", "s1", "s1", "s2", "s2", "s 2"], False)])
def test_levels_that_differ_only_in_spaces_at_their_ends_are_warned_of(subjects, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fits = corvatel.fit(base_table().assign(subject=subjects), by="subject", method="ez")
    said = [str(w.message) for w in caught if "differ only in spaces" in str(w.message)]
    assert said == (["column 'subject': levels 's1' and 's1 ' differ only in spaces at their ends and are fitted "
                     "apart; strip them if they are one"] if warned else [])
    assert len(fits) == len(set(subjects))  # as written, all the same


def base_table():
    return pd.DataFrame({"subject": [1, 1, 1, 2, 2, 2], "choice": [1, 0, 1, 1, 1, 0],
                         "rt": [0.5, 0.6, 0.7, 0.4, 0.9, 0.8]}, index=list("abcdef"))


@pytest.mark.parametrize("change, kwargs, error, message", [
    ({}, {"by": "subjct"}, ValueError,
     "fit: column 'subjct' not found; the table has columns: 'subject', 'choice', 'rt'"),
    ({}, {"choice": "response"}, ValueError, "column 'response' not found"),
    ({}, {"method": "mle"}, ValueError, "method must be one of 'ez', 'sim', 'ml'; got 'mle'"),
    ({"choice": [1, 0, 2, 1, 1, 0]}, {}, ValueError,
     "choice column 'choice' must be bool or coded 0/1, or name its upper-boundary value with upper=; "
     "values found: 1, 0, 2"),
    ({"choice": [1.0, 0.0, 0.5, 1.0, 1.0, 0.0]}, {}, ValueError, "values found: 1.0, 0.0, 0.5"),
    ({"choice": ["x", "y", "z", "x", "x", "y"]}, {"upper": "x"}, ValueError,
     "choice column 'choice' must hold two values; values found: 'x' (3 rows), 'y' (2 rows), 'z' (1 row)"),
    ({"choice": ["x", "y", "x", "x", "x", "y"]}, {}, ValueError, "values found: 'x', 'y'"),
    # Counted, not guessed at: here the timeouts outnumber the other response.
    ({"choice": ["x", "timeout", "x", "timeout", "x", "y"]}, {"upper": "x"}, ValueError,
     "values found: 'x' (3 rows), 'timeout' (2 rows), 'y' (1 row); leave out the rows of the responses that "
     "are neither boundary (timeouts, misses) first"),
    ({"choice": ["x", "y", "x", "x", "x", "y"]}, {"upper": "z"}, ValueError,
     "upper='z' is not among the values of choice column 'choice': 'x', 'y'"),
    # Beyond int64: no comparison with the column's int64 to overflow.
    ({"choice": [1, 2, 1, 1, 1, 2]}, {"upper": 10**20}, ValueError,
     "upper=100000000000000000000 is not among the values"),
    ({"choice": [1.0, 0.0, np.nan, 1.0, np.nan, 0.0]}, {}, ValueError,
     "choice column 'choice' has 2 missing value(s) (rows c, e); pass drop_invalid=True to drop those rows"),
    ({"rt": [0.5, np.nan, 0.7, -0.1, np.inf, 0.8]}, {}, ValueError,
     "response-time column 'rt' has 3 NaN, infinite or negative value(s) (rows b, d, e); "
     "pass drop_invalid=True"),
    # A missing-value code among numbers read as text: the code and its row,
    # not the first numbers.
    ({"rt": ["0.5", "0.6", "x", "0.4", "0.9", "0.8"]}, {}, ValueError,
     "response-time column 'rt' must hold numbers; it holds them as text, with 'x' (rows c): read such codes "
     "as missing"),
    ({"rt": [0.5, "0.6", None, 0.4, 0.9, 0.8]}, {}, ValueError,
     "response-time column 'rt' must hold numbers; values found: '0.6'"),
    ({"rt": [None] * 6}, {}, ValueError, "response-time column 'rt' must hold numbers; values found: None"),
    ({}, {"rt_unit": "sec"}, ValueError, "rt_unit must be 's' or 'ms', not 'sec'"),
    ({}, {"initial_guess": {"drift_rate": 1.0}}, ValueError,
     "initial_guess lacks 'boundary_separation', 'non_decision_time'"),
    ({}, {"max_iters": 0}, ValueError, "max_iters must be positive"),
    ({}, {"max_iters": 2.5}, TypeError, "max_iters must be an integer"),
    ({}, {"by": {"subject": 1}}, TypeError, "by must be a column name or a list of column names"),
    ({}, {"by": [["subject"]]}, TypeError, "by must be a column name or a list of column names; ['subject'] is not"),
    ({}, {"progress": "yes"}, TypeError, "progress must be True, False or None"),
    ({"accuracy": 1}, {"by": ["subject", "accuracy"]}, ValueError,
     "fit: by: column 'accuracy' has the name of a result column; rename it"),
])
def test_bad_arguments_raise_before_fitting(change, kwargs, error, message):
    table = base_table().assign(**change)
    with pytest.raises(error) as info:
        corvatel.fit(table, **{"by": "subject", "method": "ez", **kwargs})
    assert message in str(info.value)


@pytest.mark.parametrize("by", ["x", (), ("x",), ("x", "subject")])
def test_two_level_columns_are_named_by_whole_labels(by):
    # Part of a two-level label names a group of columns, not one.
    table = base_table()
    table.columns = pd.MultiIndex.from_product([["x"], table.columns])
    if by == ("x", "subject"):
        with pytest.raises(ValueError, match="column 'choice' not found"):
            corvatel.fit(table, by=[by], method="ez")
        with pytest.warns(UserWarning, match="flagged"):  # three trials a group
            fits = corvatel.fit(table, by=[by], method="ez", choice=("x", "choice"), rt=("x", "rt"))
        assert list(fits[by]) == [1, 2]
    else:
        with pytest.raises(ValueError, match=re.escape(f"column {by!r} not found")):
            corvatel.fit(table, by=[by], method="ez", choice=("x", "choice"), rt=("x", "rt"))


def test_empty_table_and_non_table():
    with pytest.raises(ValueError, match="fit: data has no rows"):
        corvatel.fit(pd.DataFrame({"choice": [], "rt": []}), method="ez")
    with pytest.raises(TypeError, match="data must be a pandas DataFrame"):
        corvatel.fit(42, method="ez")


@FLAGGED_ON_PURPOSE
def test_dict_of_columns_is_a_table():
    table = base_table()
    from_dict = corvatel.fit({c: table[c].tolist() for c in table}, by="subject", method="ez")
    pd.testing.assert_frame_equal(from_dict, corvatel.fit(table, by="subject", method="ez"))


@pytest.mark.parametrize("progress, shown", [(True, True), (False, False), (None, False)])
def test_progress_bar_only_when_asked_or_on_a_terminal(trials, capsys, progress, shown):
    corvatel.fit(trials, by=["subject", "condition"], method="ez", progress=progress)
    err = capsys.readouterr().err
    assert ("6/6" in err and "elapsed" in err and "left" in err) == shown
    assert shown or err == ""


def test_progress_on_a_terminal_by_default():
    from corvatel import _progress

    class Terminal:
        def isatty(self):
            return True

    assert _progress.wanted(None, Terminal()) is True
    assert _progress.wanted(False, Terminal()) is False


def test_tasks_pickle_and_evaluate_alone(trials):
    import pickle

    from corvatel._fitting import FitTask, run_fit_task

    choices, rts = trials["choice"].to_numpy()[:200], trials["rt"].to_numpy()[:200]
    task = pickle.loads(pickle.dumps(FitTask(choices, rts, "sim", {"initial_guess": None, "max_iters": 3})))
    assert run_fit_task(task)["drift_rate"] == corvatel.fit_sim(choices, rts, None, 3)["drift_rate"]
    assert math.isfinite(run_fit_task(task)["final_cost"])
