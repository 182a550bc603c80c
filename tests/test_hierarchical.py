"""corvatel.fit_hierarchical: the tables of a small fit, its participants
against their true parameters, a group mean per level, the same draws from
the same seed, the sampler's warnings, and the arguments it refuses."""

import logging
import threading
import warnings

import numpy as np
import pandas as pd
import pytest

with warnings.catch_warnings():
    # ArviZ announces its coming refactor on import.
    warnings.simplefilter("ignore", FutureWarning)
    pytest.importorskip("pymc")

from figures import clipped
from posteriors import has_group, inference_data

import corvatel
from corvatel import _arviz
from corvatel._hierarchical import _warn_of_sampling

FITTED = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time"]
GROUP = ["mu_drift", "sd_drift", "mu_logb", "sd_logb", "mu_start", "sd_start", "mu_t0", "sd_t0"]
TRUE_DRIFTS = [-0.5, 0.5, 1.5, 2.5]


def _fit(data, **kwargs):
    # Short runs: r_hat and divergence warnings are expected, not tested here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return corvatel.fit_hierarchical(data, **kwargs)


@pytest.fixture(scope="module")
def four():
    """Four participants of 80 trials, subjects named (not numbered) and
    listed out of sorted order."""
    sets = pd.DataFrame({"subject": ["s4", "s2", "s3", "s1"], "drift": TRUE_DRIFTS[::-1], "boundary": 1.4,
                         "start": 0.5, "t0": [0.3, 0.25, 0.35, 0.2]})
    data = corvatel.simulate_data(sets, 80, seed=5)
    return sets, data, _fit(data, chains=2, tune=150, draws=150, seed=3)


def test_tables_of_a_small_fit(four):
    sets, data, fit = four
    idata = fit.idata
    for group in ("posterior", "sample_stats", "observed_data", "log_likelihood"):
        assert has_group(idata, group)
    assert idata.log_likelihood["trials"].shape == (2, 150, len(data))
    summary = fit.summary()
    assert list(summary.columns) == ["mean", "sd", "hdi_3%", "hdi_97%", "r_hat", "ess_bulk"]
    assert list(summary.index) == GROUP
    assert (summary["hdi_3%"] <= summary["mean"]).all() and (summary["mean"] <= summary["hdi_97%"]).all()
    table = fit.participants()
    assert list(table.columns[:1]) == ["subject"] and set(FITTED) <= set(table.columns)
    assert list(table["subject"]) == ["s1", "s2", "s3", "s4"]
    # Every draw's t0 lies below its own participant's fastest response.
    fastest = data.groupby("subject")["rt"].min().to_numpy()
    t0 = idata.posterior["non_decision_time"].to_numpy()
    assert (t0 < fastest).all() and (t0 > 0).all()
    start = idata.posterior["starting_point"].to_numpy()
    assert (start > 0).all() and (start < 1).all()
    assert not table[FITTED].isna().any().any()


def test_participants_follow_their_true_drifts(four):
    sets, data, fit = four
    table = fit.participants().set_index("subject")
    truth = sets.set_index("subject").loc[table.index]
    # Estimates' posterior sd is about 0.25 with 80 trials; adjacent true
    # drifts are 1 apart, so a swap of two neighbours (about 2.8 sd of their
    # difference) comes with a correct model about 0.7% of seeds, and the
    # mean error bound of 0.5 (shrinkage included) fails less often still.
    order = np.argsort(table["drift_rate"].to_numpy())
    assert list(truth["drift"].to_numpy()[order]) == sorted(TRUE_DRIFTS)
    assert np.abs(table["drift_rate"] - truth["drift"]).mean() < 0.5
    assert np.abs(table["non_decision_time"] - truth["t0"]).max() < 0.08


SETS_BY_CONDITION = pd.DataFrame({"subject": np.repeat([1, 2, 3], 2), "condition": ["hard", "easy"] * 3,
                                  "drift": [0.5, 2.5] * 3, "boundary": 1.5, "start": 0.5, "t0": 0.3})


@pytest.fixture(scope="module")
def short_runs():
    """Three short single-chain fits of one table with a drift and a start
    per condition, by seeds 7, 7 and 8."""
    data = corvatel.simulate_data(SETS_BY_CONDITION, 30, seed=8)
    return data, [_fit(data, depends_on={"drift_rate": "condition", "starting_point": "condition"}, chains=1,
                       tune=30, draws=30, seed=s) for s in (7, 7, 8)]


def test_depends_on_gives_a_group_mean_per_level(short_runs):
    data, (fit, _, _) = short_runs
    posterior = fit.idata.posterior
    assert list(posterior.coords["level"].values) == ["easy", "hard"]
    assert posterior["mu_drift"].shape == posterior["mu_start"].shape == (1, 30, 2)
    assert posterior["mu_logb"].shape == posterior["mu_t0"].shape == (1, 30)
    assert list(fit.summary().index) == (["mu_drift[easy]", "mu_drift[hard]"] + GROUP[1:4]
                                         + ["mu_start[easy]", "mu_start[hard]"] + GROUP[5:])
    table = fit.participants()
    assert list(table.columns[:2]) == ["subject", "condition"]
    assert table[["subject", "condition"]].values.tolist() == [[s, c] for s in (1, 2, 3) for c in ("easy", "hard")]
    # Only drift and start differ between the levels, each draw by the
    # difference of its means (start on the log-odds scale).
    for name in ("boundary_separation", "non_decision_time"):
        assert (table.groupby("subject")[name].nunique() == 1).all()
    for name, mu, link in (("drift_rate", "mu_drift", lambda x: x),
                           ("starting_point", "mu_start", lambda x: np.log(x / (1 - x)))):
        values = link(posterior[name].to_numpy())  # (chain, draw, participant, level)
        means = posterior[mu].to_numpy()[..., None, :]
        differences = values[..., 0] - values[..., 1]
        np.testing.assert_allclose(differences, np.broadcast_to(means[..., 0] - means[..., 1], differences.shape),
                                   atol=1e-9)


@pytest.mark.parametrize("subjects, levels, participant_labels, level_labels", [
    # A spreadsheet's ids: numbers and text in one column.
    ([101, "101b"], [1, "b"], ["101", "101b"], ["1", "b"]),
    ([1, "1"], ["x", "y"], ["1", "'1'"], ["x", "y"]),
])
def test_ids_of_mixed_types_label_the_posterior_as_text(subjects, levels, participant_labels, level_labels):
    sets = pd.DataFrame({"subject": np.repeat(np.array(subjects, dtype=object), 2),
                         "condition": np.array(levels * 2, dtype=object), "drift": 1.0, "boundary": 1.4,
                         "start": 0.5, "t0": 0.3})
    data = corvatel.simulate_data(sets, 20, seed=2)
    fit = _fit(data, depends_on={"drift_rate": "condition"}, chains=1, tune=10, draws=10, seed=1)
    assert list(fit.idata.posterior.coords["participant"].values) == participant_labels
    assert list(fit.idata.posterior.coords["level"].values) == level_labels
    table = fit.participants()  # the ids themselves
    assert table[["subject", "condition"]].values.tolist() == [[s, c] for s in subjects for c in levels]


def test_same_seed_same_draws(short_runs):
    _, (first, again, other) = short_runs
    for name in GROUP + FITTED:
        np.testing.assert_array_equal(first.idata.posterior[name].to_numpy(), again.idata.posterior[name].to_numpy())
    draws = [fit.idata.posterior["mu_drift"].to_numpy() for fit in (first, other)]
    assert not np.array_equal(*draws)


@pytest.mark.slow
def test_depends_on_recovers_the_difference_of_levels():
    data = corvatel.simulate_data(SETS_BY_CONDITION, 60, seed=8)
    fit = _fit(data, depends_on={"drift_rate": "condition"}, chains=2, tune=300, draws=300, seed=1)
    # True means 2.5 (easy) and 0.5 (hard); 180 trials per level put the
    # posterior sd of their difference near 0.15 (shared deviations), so
    # 0.6 is 4 sd: about 1 in 10^4 seeds would fail a correct model.
    means = fit.idata.posterior["mu_drift"].mean(dim=("chain", "draw")).to_numpy()
    assert abs(means[0] - means[1] - 2.0) < 0.6


def test_loo_from_the_pointwise_log_likelihood(four):
    import arviz as az
    from scipy.special import logsumexp

    idata = four[2].idata
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # Pareto k notes at 300 draws
        loo = az.loo(idata)
    elpd = loo.elpd if hasattr(loo, "elpd") else loo["elpd_loo"]  # ArviZ 1, ArviZ 0.x
    # LOO's elpd is the log pointwise predictive density of the trials less
    # the effective number of parameters (about a dozen here).
    pointwise = idata.log_likelihood["trials"].to_numpy().reshape(-1, len(four[1]))
    lppd = float((logsumexp(pointwise, axis=0) - np.log(len(pointwise))).sum())
    assert lppd - 30.0 < elpd < lppd


def _posterior(shift, diverging, depth_limit=None):
    # shift None: one chain, which has no r_hat.
    rng = np.random.default_rng(0)
    offsets = np.array([[0.0]]) if shift is None else np.array([[0.0], [shift]])
    posterior = {name: rng.normal(size=(len(offsets), 400)) + offsets for name in GROUP}
    stats = {"diverging": np.asarray(diverging)}
    if depth_limit is not None:
        stats[depth_limit[0]] = depth_limit[1]
    return inference_data(posterior=posterior, sample_stats=stats)


NO_DRAW = np.zeros((2, 400), dtype=bool)


@pytest.mark.parametrize("shift, diverging, depth_limit, expected", [
    (0.0, NO_DRAW, None, []),
    (0.0, np.eye(2, 400, dtype=bool), None, ["2 divergent transitions"]),
    (1.0, NO_DRAW, None, ["max r_hat"]),
    # One chain leaves convergence unchecked: said, not passed over.
    (None, np.zeros((1, 400), dtype=bool), None, ["one chain: r_hat"]),
    # nutpie's name and PyMC's for a draw cut at the longest trajectory.
    (0.0, NO_DRAW, ("maxdepth_reached", np.eye(2, 400, dtype=bool)),
     ["2 of 800 draws reached the sampler's maximum tree depth"]),
    (0.0, NO_DRAW, ("reached_max_treedepth", np.eye(2, 400, k=3, dtype=bool)),
     ["2 of 800 draws reached the sampler's maximum tree depth"]),
    (0.0, NO_DRAW, ("maxdepth_reached", NO_DRAW), []),
])
def test_warnings_of_the_sampler(shift, diverging, depth_limit, expected):
    # Independent normal draws: r_hat near 1.000 for two agreeing chains;
    # chains a whole sd apart give about 1.1.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _warn_of_sampling(_posterior(shift, diverging, depth_limit))
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(messages) == len(expected)
    for message, start in zip(messages, expected):
        assert message.startswith(start)


def test_one_chain_is_summarised_without_arviz_logging_of_it(capfd):
    # ArviZ logged "Shape validation failed" past the command line's warnings.
    idata = _posterior(None, np.zeros((1, 400), dtype=bool))
    table = _arviz.summary(idata, GROUP)
    _arviz.rhat(idata, GROUP)
    assert list(table.index) == GROUP and "Shape validation" not in capfd.readouterr().err


def test_the_arviz_logger_gets_its_level_back_after_overlapping_calls():
    # Two threads' calls that overlap: the second's saved level was the
    # first's ERROR, restored for good.
    log = _arviz._arviz()._log if hasattr(_arviz._arviz(), "_log") else logging.getLogger("arviz")
    before = log.level
    inside = threading.Barrier(2)

    def call():
        with _arviz._one_chain_unlogged():
            inside.wait(timeout=10)

    threads = [threading.Thread(target=call) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert log.level == before


TABLE = pd.DataFrame({"subject": [1, 1, 2, 2], "condition": ["a", "b", "a", "b"], "choice": [1, 0, 1, 1],
                      "rt": [0.5, 0.6, 0.7, 0.8]})


@pytest.mark.parametrize("kwargs, error, match", [
    ({"subject": "participant"}, ValueError, "subject: column 'participant' not found"),
    ({"depends_on": {"drift": "condition"}}, ValueError, "depends_on: 'drift' is not a parameter"),
    ({"depends_on": {"sv": "condition"}}, ValueError, "depends_on: 'sv' is not a parameter"),
    ({"depends_on": {"drift_rate": "block"}}, ValueError, "depends_on: column 'block' not found"),
    ({"depends_on": {"drift_rate": "condition", "non_decision_time": "subject"}}, ValueError, "same column"),
    ({"depends_on": {"drift_rate": "subject"}}, ValueError, "depends_on: column 'subject' is the subject column"),
    ({"depends_on": ["drift_rate"]}, TypeError, "depends_on must be"),
    ({"rt": "time"}, ValueError, "column 'time' not found"),
    ({"draws": 0}, ValueError, "draws must be"),
    ({"seed": 2**64}, ValueError, "seed must be an integer from 0 to 2"),
    # A parameter of the responses it explains.
    ({"depends_on": {"drift_rate": "choice"}}, ValueError, "depends_on: column 'choice' is the choice column"),
    ({"regression": {"drift_rate": "1 + rt"}}, ValueError, r"regression\['drift_rate'\]: column 'rt' is the rt"),
    ({"regression": {"boundary_separation": "1 + C(choice)"}, "choice": "choice"}, ValueError, "is the choice column"),
])
def test_refused_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        corvatel.fit_hierarchical(TABLE, **kwargs)


def test_refuses_a_missing_subject():
    with pytest.raises(ValueError, match="subject: column 'subject' has 1 missing"):
        corvatel.fit_hierarchical(TABLE.assign(subject=[1, 1, None, 2]))


def test_posterior_predictive_draws(four, caplog):
    sets, data, fit = four
    with caplog.at_level(logging.INFO, logger="pymc"):
        observed, simulated = fit._predictive(20, seed=4)
    assert not caplog.records  # PyMC's "Sampling: [trials]" would reach the command line's stderr
    assert simulated.shape == (20,) + observed.shape
    assert set(np.unique(simulated[..., 1])) <= {0.0, 1.0}
    # Every simulated trial is slower than its draw's t0: the draws' own parameters.
    picks = np.linspace(0, 299, 20).astype(int)
    t0 = fit.idata.posterior["non_decision_time"].stack(sample=("chain", "draw")).to_numpy()[:, picks]
    participant = np.repeat(np.arange(4), 80)  # the trials in participant order, 80 each
    assert (simulated[..., 0] > t0.T[:, participant]).all()
    np.testing.assert_array_equal(fit._predictive(20, seed=4)[1], simulated)
    assert not np.array_equal(fit._predictive(20, seed=5)[1], simulated)


def test_fit_check_figure(four, tmp_path):
    pytest.importorskip("matplotlib")
    from corvatel.plot import QUANTILES

    sets, data, fit = four
    figure = fit.fit_check(n_draws=20, seed=1)
    top, bottom = figure.subfigs
    quantile_axes = [ax for ax in top.axes if ax.get_visible()]
    assert len(quantile_axes) == 1 and len(bottom.axes) == 1
    # The data's points are the pooled trials' quantiles and proportions.
    upper = data["rt"][data["choice"]].to_numpy()
    points = {line.get_label(): line.get_xydata() for line in quantile_axes[0].get_lines()
              if line.get_label().startswith("data")}
    for q in QUANTILES:
        x, y = points[f"data {q:g}"][0]
        assert x == pytest.approx(len(upper) / len(data)) and y == pytest.approx(np.quantile(upper, q))
    # One proportion per participant below, labelled by subject.
    labels = [t.get_text() for t in bottom.axes[0].get_xticklabels()]
    assert labels == ["s1", "s2", "s3", "s4"]
    assert clipped(figure) == []
    figure.savefig(tmp_path / "check.png")


@pytest.mark.parametrize("kwargs, match", [
    ({"n_draws": 1}, "n_draws must be"),
    ({"seed": -1}, "seed must be"),
    ({"interval": 1.0}, "interval must be"),
])
def test_fit_check_refuses(four, kwargs, match):
    pytest.importorskip("matplotlib")
    with pytest.raises(ValueError, match=match):
        four[2].fit_check(**kwargs)


# A child fits with far more draws than it could finish and sends itself
# SIGINT once the sampler runs: nutpie's wait, PyMC's first chain. Both
# samplers take the interrupt as the end of sampling (PyMC's, of that chain
# only, going on to the next) and return what they have.
INTERRUPTED_CHILD = """
import os, signal, sys, threading, warnings
import pandas as pd
import corvatel

signal.signal(signal.SIGINT, signal.default_int_handler)
def interrupt_soon():
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()

sampler = sys.argv[1]
if sampler == "nutpie":
    import importlib
    background = importlib.import_module("nutpie.sample")._BackgroundSampler  # nutpie.sample is also a function
    running = background.wait
    def wait(self, *args, **kwargs):
        interrupt_soon()
        return running(self, *args, **kwargs)
    background.wait = wait
else:
    import pymc.sampling.mcmc as mcmc
    one_chain = mcmc._sample
    def sample_chain(**kwargs):
        if kwargs["chain"] == 0:
            interrupt_soon()
        return one_chain(**kwargs)
    mcmc._sample = sample_chain
sets = pd.DataFrame({"subject": [1, 2], "drift": 1.0, "boundary": 1.4, "start": 0.5, "t0": 0.3})
warnings.simplefilter("ignore")
try:
    corvatel.fit_hierarchical(corvatel.simulate_data(sets, 20, seed=1), chains=2, tune=10**6, draws=10**6,
                              sampler=sampler)
except KeyboardInterrupt:
    print("interrupted")
else:
    print("returned a fit")
"""


@pytest.mark.slow
@pytest.mark.parametrize("sampler", ["nutpie", "pymc"])
def test_ctrl_c_interrupts_the_fit(sampler):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", INTERRUPTED_CHILD, sampler], capture_output=True, text=True,
                          timeout=900)
    assert done.stdout.strip() == "interrupted", done.stderr[-2000:]


@pytest.mark.slow
def test_fast_guesses_are_contaminants_not_a_bound_on_t0():
    # Four fast guesses (20-80 ms) per participant among 120 trials: with
    # contaminants in the model each participant's t0 stays near its own,
    # not below its fastest guess.
    sets = pd.DataFrame({"subject": [1, 2, 3], "drift": 1.5, "boundary": 1.4, "start": 0.5,
                         "t0": [0.25, 0.3, 0.35]})
    data = corvatel.simulate_data(sets, 120, seed=4)
    guesses = data.groupby("subject").head(4).index
    data.loc[guesses, "rt"] = np.tile([0.02, 0.04, 0.06, 0.08], 3)
    fit = _fit(data, p_outlier=0.05, chains=2, tune=150, draws=150, seed=2)
    t0 = fit.participants()["non_decision_time"].to_numpy()
    np.testing.assert_allclose(t0, sets["t0"], atol=0.04)
