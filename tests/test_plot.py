import sys

import numpy as np
import pandas as pd
import pytest

import corvatel
from figures import clipped, covered, crowded, legends_over_axes, overlapping

pytest.importorskip("matplotlib")

from corvatel import plot  # noqa: E402


@pytest.fixture(scope="module")
def example():
    data = corvatel.datasets.example()
    return data, corvatel.fit(data, by=["subject", "condition"], method="ez")


@pytest.fixture(scope="module")
def figure(example):
    data, fits = example
    return plot.fit_check(data, fits, n_sim=4000, seed=3)


def group_trials(data, row):
    part = data[(data["subject"] == row["subject"]) & (data["condition"] == row["condition"])]
    return part["choice"].to_numpy(), part["rt"].to_numpy()


def test_distributions_are_defective_densities_of_data_and_model(example, figure):
    data, fits = example
    axes = figure.subfigs[0].axes
    assert len(axes) == len(fits) == 12
    for g, (ax, (_, row)) in enumerate(zip(axes, fits.iterrows())):
        assert ax.get_title() == f"subject={row['subject']}, condition={row['condition']}"
        steps = {p.get_label(): p.get_data() for p in ax.patches}
        choices, rts = group_trials(data, row)
        for label, sign, mask in (("upper", 1, choices), ("lower", -1, ~choices)):
            values, edges, _ = steps[f"data {label}"]
            assert np.sum(sign * values * np.diff(edges)) == pytest.approx(mask.mean(), rel=1e-12)
            counts, _ = np.histogram(rts[mask], bins=edges)
            np.testing.assert_allclose(sign * values, counts / (len(rts) * np.diff(edges)), rtol=1e-14)
            model = next(line for line in ax.get_lines() if line.get_label() == MODEL_LABELS[label])
            sim_choices, sim_rts, _ = corvatel.simulate(row["drift_rate"], row["boundary_separation"], 0.5,
                                                        row["non_decision_time"], 4000, corvatel.derive_seed(3, g))
            side = sim_choices if sign > 0 else ~sim_choices
            expected, _ = np.histogram(sim_rts[side], bins=edges)
            np.testing.assert_allclose(sign * model.get_ydata(), expected / (4000 * np.diff(edges)), rtol=1e-14)


def test_quantile_probability_points_are_the_data_quantiles(example, figure):
    data, fits = example
    axes = figure.subfigs[1].axes
    assert [ax.get_title() for ax in axes] == ["subject=s1", "subject=s2", "subject=s3", "subject=s4"]
    for ax, subject in zip(axes, ["s1", "s2", "s3", "s4"]):
        expected = {k: set() for k in range(5)}
        for _, row in fits[fits["subject"] == subject].iterrows():
            choices, rts = group_trials(data, row)
            for mask in (choices, ~choices):
                if mask.sum() >= plot.MIN_QUANTILE_TRIALS:
                    for k, q in enumerate(np.quantile(rts[mask], [0.1, 0.3, 0.5, 0.7, 0.9])):
                        expected[k].add((mask.mean(), q))
        for k, level in enumerate(plot.QUANTILES):
            line = next(x for x in ax.get_lines() if x.get_label() == f"data q{level}")
            assert set(zip(line.get_xdata(), line.get_ydata())) == expected[k]
            model = next(x for x in ax.get_lines() if x.get_label() == f"model q{level}")
            assert list(model.get_xdata()) == sorted(model.get_xdata()) and len(model.get_xdata()) >= 3


def test_unfitted_group_is_marked_and_figure_saves(tmp_path, example):
    data, fits = example
    data = data[data["subject"] == "s1"]
    fits = fits[fits["subject"] == "s1"].copy()
    fits.loc[0, ["drift_rate", "boundary_separation", "non_decision_time"]] = np.nan
    fits.loc[0, "error"] = "no real solution"
    fig = plot.fit_check(data, fits, n_sim=500)
    first = fig.subfigs[0].axes[0]
    assert not [x for x in first.get_lines() if x.get_label().startswith("model")]
    assert "not fitted:\nno real solution" in [t.get_text() for t in first.texts]
    for suffix in ("png", "svg", "pdf"):
        fig.savefig(tmp_path / f"check.{suffix}")
        assert (tmp_path / f"check.{suffix}").stat().st_size > 1000


# One legend entry for the model's two lines.
MODEL_LABELS = {"upper": "model", "lower": "_model lower"}


def model_lines(ax):
    return [x for x in ax.get_lines() if x.get_label().lstrip("_").startswith("model")]


@pytest.mark.filterwarnings(r"ignore:1 of 1 groups flagged:UserWarning")
def test_an_estimate_outside_the_model_is_noted_not_simulated():
    # Seven fast upper responses and one at 3 s: EZ's t0 comes out negative.
    trials = pd.DataFrame({"choice": [True] * 8 + [False] * 2,
                           "rt": [0.4, 0.45, 0.5, 0.42, 0.48, 0.44, 0.46, 3.0, 0.5, 0.6]})
    fits = corvatel.fit(trials, method="ez")
    assert fits["non_decision_time"].iloc[0] < 0 and fits["error"].iloc[0] == ""
    first = plot.fit_check(trials, fits, n_sim=500).subfigs[0].axes[0]
    assert not model_lines(first)
    # (and its 3 s trial, past the shown range, counted)
    assert [t.get_text() for t in first.texts] == ["no model drawn:\nestimates outside the model's range",
                                                   "1 trial past 2.11 s"]


@pytest.mark.parametrize("convert", [lambda c: c.astype(np.int64), lambda c: c.convert_dtypes()],
                         ids=["int64", "nullable"])
def test_estimates_of_any_numeric_type_are_drawn(example, convert):
    data, fits = example
    data = data[data["subject"] == "s1"]
    fits = fits[fits["subject"] == "s1"].copy()
    fits["noise_sd"] = convert(fits["noise_sd"])
    first = plot.fit_check(data, fits, n_sim=500).subfigs[0].axes[0]
    assert len(model_lines(first)) == 2 and not first.texts


def test_a_narrow_last_bin_past_the_shown_range_sets_no_axis():
    # The slowest trial just past the 0.995 quantile: its bin is 1 ms wide.
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 60, 1)
    rts[np.argmax(rts)] = np.sort(rts)[-2] + 0.001
    trials = pd.DataFrame({"choice": choices, "rt": rts})
    ax = plot.fit_check(trials, corvatel.fit(trials, method="ml")).subfigs[0].axes[0]
    shown = max(abs(y) for line in model_lines(ax) for y in line.get_ydata())
    low, high = ax.get_ylim()
    assert max(-low, high) < 3 * shown


@pytest.mark.filterwarnings(r"ignore:1 of 1 groups flagged:UserWarning")
def test_a_lapse_does_not_stretch_the_time_axis_and_is_counted():
    # 150 trials up to about 2.4 s and one at 25 s: the 0.995 quantile
    # took the axis to 8 s.
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 150, 4)
    rts[0] = 25.0
    trials = pd.DataFrame({"choice": choices, "rt": rts})
    ax = plot.fit_check(trials, corvatel.fit(trials, method="ml", p_outlier="free")).subfigs[0].axes[0]
    slowest = np.sort(rts)[-2]
    assert slowest < ax.get_xlim()[1] < 2 * slowest
    assert [t.get_text() for t in ax.texts] == [f"1 trial past {ax.get_xlim()[1]:.3g} s"]


@pytest.mark.filterwarnings(r"ignore:1 of 1 groups flagged:UserWarning")
def test_a_response_the_model_gives_too_few_trials_of_has_no_model_quantiles():
    # Every response correct, fitted with contaminants: the model's lower
    # responses (expected 0.4 of 200) are the contaminants', whose
    # quantiles at 0.5-4.5 s set the axis far above every trial.
    choices, rts, _ = corvatel.simulate(3.0, 1.5, 0.5, 0.3, 200, 2)
    trials = pd.DataFrame({"choice": True, "rt": rts})
    fits = corvatel.fit(trials, method="ml", p_outlier="free")
    ax = plot.fit_check(trials, fits).subfigs[1].axes[0]
    drawn = [x for x in ax.get_lines() if x.get_label().startswith("model")]
    assert all(len(line.get_xdata()) == 1 and line.get_xdata()[0] > 0.5 for line in drawn)
    assert ax.get_ylim()[1] < 1.2 * rts.max()


def test_a_model_whose_simulated_trials_all_reach_the_cap_says_so(example):
    # Times in ms fitted as seconds: t0 near 300 s, nothing under 10 s.
    data, _ = example
    data = data[(data["subject"] == "s1") & (data["condition"] == "easy")].assign(rt=lambda t: t["rt"] * 1000)
    with pytest.warns(UserWarning, match="flagged"):
        fits = corvatel.fit(data, method="ez")
    ax = plot.fit_check(data, fits, n_sim=500).subfigs[0].axes[0]
    assert not model_lines(ax)
    assert [t.get_text() for t in ax.texts] == ["no model drawn:\nits simulated trials all ran past the 10 s cap"]


def test_trials_in_another_unit_than_the_fits_are_refused(example):
    data, fits = example
    in_ms = data.assign(rt=data["rt"] * 1000)
    with pytest.raises(ValueError, match="pass the rt_unit that fit was given"):
        plot.fit_check(in_ms, fits)


def test_mismatched_fits_are_refused(example):
    data, fits = example
    with pytest.raises(ValueError, match="fits do not match the groups of data"):
        plot.fit_check(data, fits.iloc[:5])
    with pytest.raises(ValueError, match="condition 'block' is not one of the group columns"):
        plot.fit_check(data, fits, condition="block")


def test_fits_in_another_order_are_drawn_by_their_keys(example):
    # Fits made with order= and drawn without it: "fits do not match".
    data, fits = example
    reordered = corvatel.fit(data, by=["subject", "condition"], method="ez",
                             order={"condition": ["hard", "medium", "easy"]})
    drawn = [plot.fit_check(data, f, n_sim=500).subfigs[0].axes for f in (fits, reordered)]
    assert [ax.get_title() for ax in drawn[0]] == [ax.get_title() for ax in drawn[1]]
    for a, b in zip(*drawn):
        np.testing.assert_array_equal(model_lines(a)[0].get_ydata(), model_lines(b)[0].get_ydata())


def test_a_missing_key_is_titled_so(example):
    data, _ = example
    data = data[data["subject"] == "s1"].assign(subject=lambda t: t["subject"].where(t["condition"] != "easy"))
    fits = corvatel.fit(data, by=["subject", "condition"], method="ez")
    titles = [ax.get_title() for ax in plot.fit_check(data, fits, n_sim=500).subfigs[0].axes if ax.get_visible()]
    assert titles[-1] == "subject=(missing), condition=easy"


def test_recovery_panels_show_the_fits_and_their_summary():
    truth = pd.DataFrame({"drift": [0.5, 1.0, 2.0], "boundary": [1.0, 1.4, 1.8], "start": 0.5,
                          "t0": [0.2, 0.3, 0.4]})
    table = corvatel.recover(truth, 300, method="ez", reps=4, seed=2)
    table.loc[0, "error"] = "pretend it failed"
    fig = plot.recovery(table)
    summary = corvatel.recovery_summary(table).set_index("parameter")
    ok = table["error"] == ""
    for ax, parameter in zip(fig.axes, ["drift_rate", "boundary_separation", "non_decision_time"]):
        points = next(x for x in ax.get_lines() if x.get_label() == "fits")
        np.testing.assert_array_equal(points.get_xdata(), table.loc[ok, f"true_{parameter}"])
        np.testing.assert_array_equal(points.get_ydata(), table.loc[ok, parameter])
        identity = next(x for x in ax.get_lines() if x.get_label() == "identity")
        assert list(identity.get_xdata()) == list(identity.get_ydata())
        text = ax.texts[0].get_text()
        assert f"bias {summary.loc[parameter, 'bias']:+.3g}" in text
        assert f"RMSE {summary.loc[parameter, 'rmse']:.3g}" in text and "failed 1 of 12" in text


def test_recovery_panel_of_failed_fits_says_so():
    truth = pd.DataFrame({"drift": [1.0, 2.0], "boundary": 1.5, "start": 0.5, "t0": 0.3})
    table = corvatel.recover(truth, 50, method="ez", reps=2, seed=2)
    table["error"] = "pretend it failed"
    for ax in plot.recovery(table).axes:
        assert ax.texts[0].get_text() == "no fits to compare\nfailed 4 of 4"


def test_missing_matplotlib_names_the_extra(monkeypatch, example):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'corvatel\[plot\]'"):
        plot.recovery(pd.DataFrame({c: [1.0] for p in ["drift_rate", "boundary_separation", "non_decision_time"]
                                    for c in (p, f"true_{p}")}).assign(error=""))


def subfigure_titles(figure):
    return [t.get_text() for sub in figure.subfigs for t in sub.texts]


def test_panels_are_labelled(example, figure):
    data, fits = example
    assert all(ax.get_ylabel() == "density (1/s)" for ax in figure.subfigs[0].axes)
    # Each condition's points carry its name, above the slowest quantile of each response.
    for ax, subject in zip(figure.subfigs[1].axes, ["s1", "s2", "s3", "s4"]):
        labels = sorted((t.get_text(), t.xy) for t in ax.texts)
        expected = []
        for _, row in fits[fits["subject"] == subject].iterrows():
            choices, rts = group_trials(data, row)
            for mask in (choices, ~choices):
                if mask.sum() >= plot.MIN_QUANTILE_TRIALS:
                    expected.append((row["condition"], (mask.mean(), np.quantile(rts[mask], 0.9))))
        assert labels == sorted(expected)


@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups (flagged|failed):UserWarning")
@pytest.mark.parametrize("method", ["ez", "sim", "ml"])
def test_the_title_names_the_method_and_one_group_is_not_all_groups(example, method):
    data, _ = example
    one = data[(data["subject"] == "s2") & (data["condition"] == "hard")]
    for by, panel in [("condition", "condition=hard"), (None, "all trials")]:
        fits = corvatel.fit(one, by=by, method=method, max_iters=20)
        fig = plot.fit_check(one, fits, n_sim=500)
        assert f"Fit check ({method} fits)." in subfigure_titles(fig)[0]
        assert [ax.get_title() for ax in fig.subfigs[1].axes] == [panel]


def test_one_group_column_as_condition_is_all_groups(example):
    data, _ = example
    part = data[data["subject"] == "s1"]
    fig = plot.fit_check(part, corvatel.fit(part, by="condition", method="ez"), n_sim=500)
    assert [ax.get_title() for ax in fig.subfigs[1].axes] == ["all groups"]


def test_recovery_times_have_their_unit():
    truth = pd.DataFrame({"drift": [0.5, 1.0], "boundary": [1.0, 1.4], "start": 0.5, "t0": [0.2, 0.3]})
    fig = plot.recovery(corvatel.recover(truth, 200, method="ez", reps=2, seed=2))
    assert [(ax.get_xlabel(), ax.get_ylabel()) for ax in fig.axes] == [("true", "fitted"), ("true", "fitted"),
                                                                       ("true (s)", "fitted (s)")]


def model_area(ax):
    """The areas under the model's upper and lower curves (trapezoids)."""
    areas = {}
    for label in ("upper", "lower"):
        line = next(x for x in ax.get_lines() if x.get_label() == MODEL_LABELS[label])
        areas[label] = abs(np.trapezoid(line.get_ydata(), line.get_xdata()))
    return areas


@pytest.mark.parametrize("window", [None, (0.45, 1.2)], ids=["no-window", "window"])
def test_likelihood_curves_are_the_fitted_mixture_of_the_kept_trials(window):
    # Trials with 10% contaminants, fitted with p_outlier free, and with a
    # window, the kept trials only: the curves are the mixture's density
    # and, with a window, that of the trials inside it (areas adding to 1).
    data = corvatel.simulate_data({"drift": 1.0, "boundary": 1.4, "start": 0.5, "t0": 0.3, "p_outlier": 0.1},
                                  800, 5)
    lo, hi = window or (None, None)
    fits = corvatel.fit(data, method="ml", p_outlier="free", min_rt=lo, max_rt=hi)
    figure = plot.fit_check(data, fits, min_rt=lo, max_rt=hi)
    ax = figure.subfigs[0].axes[0]
    row = fits.iloc[0]
    p = row["p_outlier"]
    # (Inside the window few contaminants remain to estimate.)
    assert 0.02 < p < 0.3 or window is not None
    upper = next(x for x in ax.get_lines() if x.get_label() == "model")
    times, values = upper.get_xdata(), upper.get_ydata()
    params = [row[c] for c in ("drift_rate", "boundary_separation", "starting_point", "non_decision_time")]
    mixture = corvatel.wfpt_pdf(times, True, *params, p_outlier=p)
    if window is None:
        np.testing.assert_allclose(values, mixture, rtol=1e-12)
        # Before t0 only the contaminants: p * 0.5 / 5 s.
        early = (times > 0) & (times < row["non_decision_time"] - 0.01)
        np.testing.assert_allclose(values[early], p * 0.5 / 5.0, rtol=1e-12)
    else:
        inside = (times >= lo) & (times <= hi)
        assert np.all(values[~inside] == 0.0)
        ratio = values[inside] / mixture[inside]
        np.testing.assert_allclose(ratio, ratio[0], rtol=1e-12)
        # Divided by the probability of a response in the window: the kept
        # trials' density (trapezoids on the curve's grid: within 1%).
        assert sum(model_area(ax).values()) == pytest.approx(1.0, abs=0.01)


@pytest.mark.parametrize("name", ["a", "a rather long condition name, as a lab might code it"], ids=["short", "long"])
def test_nothing_reaches_outside_the_figure(example, name):
    # Groups' keys title the panels; long ones wrap rather than run into the
    # next panel or off the figure.
    data, _ = example
    data = data.assign(condition=data["condition"].map(lambda c: f"{name} {c}"))
    fits = corvatel.fit(data, by=["subject", "condition"], method="ez")
    assert clipped(plot.fit_check(data, fits, n_sim=200)) == []
    truth = pd.DataFrame({"drift": [0.5, 1.0], "boundary": [1.0, 1.4], "start": 0.5, "t0": [0.2, 0.3]})
    assert clipped(plot.recovery(corvatel.recover(truth, 200, method="ez", reps=2, seed=2))) == []


def test_level_labels_of_near_equal_proportions_do_not_cover_each_other():
    # Drifts near 0 put both responses of every level near a proportion of
    # 0.5: eight labels above points a few hundredths apart.
    sets = pd.DataFrame({"condition": ["c0.00", "c0.02", "c-0.02", "c0.04"], "drift": [0.0, 0.02, -0.02, 0.04],
                         "boundary": 1.5, "start": 0.5, "t0": 0.3})
    data = corvatel.simulate_data(sets, 400, seed=5)
    fits = corvatel.fit(data, by="condition", method="ez")
    figure = plot.fit_check(data, fits, n_sim=500)
    labels = [t.get_text() for t in figure.subfigs[1].axes[0].texts]
    assert sorted(labels) == sorted(sets["condition"].tolist() * 2)
    assert crowded(figure) == []


def recovery_table(**parameters):
    """A table as recover returns it, of parameter=(true values, fitted values)."""
    columns = {}
    for name, (true, fitted) in parameters.items():
        columns[f"true_{name}"], columns[name] = true, fitted
    return pd.DataFrame(columns).assign(error="")


DRIFTS = ([1.2, 1.2, 2.0, 2.0], [1.16, 1.17, 2.09, 1.80])
BOUNDARIES = ([1.0, 1.2, 1.4, 1.6], [1.02, 1.19, 1.43, 1.58])
# t0 held at one value (common in recovery designs) or spread over a
# hundredth: x ticks 0.0025 apart ran their labels together.
FIXED_T0 = ([0.3] * 4, [0.2970, 0.2972, 0.3059, 0.3091])
NARROW_T0 = ([0.295, 0.299, 0.303, 0.307], [0.2956, 0.2982, 0.3034, 0.3065])


@pytest.mark.parametrize("t0", [FIXED_T0, NARROW_T0], ids=["fixed", "narrow"])
def test_recovery_tick_labels_stay_apart(t0):
    table = recovery_table(drift_rate=DRIFTS, boundary_separation=BOUNDARIES, non_decision_time=t0)
    assert overlapping(plot.recovery(table)) == []


@pytest.mark.parametrize("parameters", [
    # Fits all above a fixed truth stand at the panel's top left.
    {"boundary_separation": ([1.2] * 4, [1.23, 1.25, 1.29, 1.38])},
    # One fit far above a low truth.
    {"boundary_separation": ([1.0, 1.2, 1.4, 1.6], [1.55, 1.19, 1.43, 1.58])},
], ids=["fixed", "outlier"])
def test_recovery_summary_covers_no_fit(parameters):
    table = recovery_table(**{"drift_rate": DRIFTS, "non_decision_time": FIXED_T0, **parameters})
    figure = plot.recovery(table)
    assert covered(figure) == []
    assert overlapping(figure) == []


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"max_groups": 0}, ValueError, "max_groups must be a positive integer, not 0"),
    ({"max_groups": -1}, ValueError, "max_groups must be a positive integer, not -1"),
    ({"max_groups": 2.0}, TypeError, "max_groups must be a positive integer, not 2.0"),
    ({"n_sim": -5}, ValueError, "n_sim must be a positive integer, not -5"),
    ({"n_sim": True}, TypeError, "n_sim must be a positive integer, not True"),
    ({"bins": 2.5}, TypeError, "bins must be a positive integer, not 2.5"),
    ({"bins": 0}, ValueError, "bins must be a positive integer, not 0"),
])
def test_fit_check_names_a_bad_argument(example, arguments, error, message):
    data, fits = example
    with pytest.raises(error, match=f"^{message}$"):
        plot.fit_check(data, fits, **arguments)


@pytest.mark.filterwarnings(r"ignore:1 of 3 groups (flagged|failed):UserWarning")
@pytest.mark.parametrize("kept", [0, 1], ids=["no-trials", "one-trial"])
def test_group_left_without_trials_is_marked_inside_its_panel(example, kept):
    # Dropping invalid response times can leave a group too few trials to
    # fit, or none: its panel says why, inside it, without a 0/0 warning.
    data, _ = example
    data = data[data["subject"] == "s1"].copy()
    hard = data.index[data["condition"] == "hard"]
    data.loc[hard[kept:], "rt"] = np.nan
    fits = corvatel.fit(data, by="condition", method="ez", drop_invalid=True)
    figure = plot.fit_check(data, fits, n_sim=500, drop_invalid=True)
    panel = next(ax for ax in figure.subfigs[0].axes if ax.get_title() == "condition=hard")
    note = " ".join(panel.texts[0].get_text().split())
    assert note == "not fitted: " + " ".join(fits.loc[fits["condition"] == "hard", "error"].iloc[0].split())
    assert crowded(figure) == []


@pytest.mark.parametrize("subjects", [["s1"], ["s1", "s2", "s3", "s4"]], ids=["one-panel", "four-panels"])
def test_quantile_legend_hides_no_panel(example, subjects):
    data, fits = example
    data, fits = data[data["subject"].isin(subjects)], fits[fits["subject"].isin(subjects)]
    figure = plot.fit_check(data, fits, n_sim=500)
    quantiles = figure.subfigs[1]
    legends = [*quantiles.legends, *(ax.get_legend() for ax in quantiles.axes if ax.get_legend() is not None)]
    assert [[t.get_text() for t in legend.get_texts()] for legend in legends] == [["0.1", "0.3", "0.5", "0.7", "0.9"]]
    assert legends_over_axes(quantiles) == []
    assert clipped(figure) == []


@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
def test_participants_as_the_condition_are_not_labelled_and_panels_are_capped():
    rng = np.random.default_rng(0)
    truth = pd.DataFrame({"subject": [f"participant_{i:02d}" for i in range(30)], "drift": rng.uniform(0.5, 2.5, 30),
                          "boundary": rng.uniform(0.8, 2, 30), "start": 0.5, "t0": rng.uniform(0.2, 0.4, 30)})
    data = corvatel.simulate_data(truth, 100, 1)
    # One panel of 30 levels: their labels would stack far above the quantiles.
    qp = plot.fit_check(data, corvatel.fit(data, by="subject", method="ez"), n_sim=500, max_groups=4).subfigs[1].axes
    assert not qp[0].texts and qp[0].get_ylim()[1] < 5.0
    # Two conditions each: 30 panels, capped like the distributions.
    both = pd.concat([truth.assign(cond=c) for c in ("a", "b")])
    data = corvatel.simulate_data(both, 60, 1)
    fig = plot.fit_check(data, corvatel.fit(data, by=["subject", "cond"], method="ez"), n_sim=500, max_groups=4)
    assert len([ax for ax in fig.subfigs[1].axes if ax.get_visible()]) == 4
    assert "(first 4 of 30 panels)" in fig.subfigs[1]._suptitle.get_text().replace("\n", " ")


@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
def test_a_likelihood_fit_edited_outside_the_model_is_noted():
    data = corvatel.datasets.example()
    data = data[data["subject"] == "s1"]
    fits = corvatel.fit(data, by=["subject", "condition"], method="ml")
    fits.loc[0, "boundary_separation"] = -1.0
    first = plot.fit_check(data, fits).subfigs[0].axes[0]
    assert not model_lines(first)
    assert [t.get_text() for t in first.texts] == ["no model drawn:\nestimates outside the model's range"]


def test_fits_read_back_from_a_file_match_their_data(tmp_path, example):
    # The file gives text and numbers where the data had categories.
    data, fits = example
    fits.to_csv(tmp_path / "fits.csv", index=False)
    back = pd.read_csv(tmp_path / "fits.csv", keep_default_na=False, na_values=[""])
    assert back["condition"].dtype != data["condition"].dtype
    first = plot.fit_check(data, back, n_sim=500).subfigs[0].axes[0]
    assert len(model_lines(first)) == 2
    with pytest.raises(ValueError, match="fits do not match the groups of data"):
        plot.fit_check(data, back.assign(subject=back["subject"].str.upper()))
