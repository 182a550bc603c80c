"""corvatel.pymc: the DDM distribution's log-likelihood against wfpt_logpdf,
its gradient against PyTensor's finite differences, its draws against the
model's choice probabilities, and a small NUTS fit."""

import warnings

import numpy as np
import pandas as pd
import pytest

with warnings.catch_warnings():
    # ArviZ announces its coming refactor on import.
    warnings.simplefilter("ignore", FutureWarning)
    pm = pytest.importorskip("pymc")
    import corvatel.pymc as cp

import pytensor
import pytensor.tensor as pt
from pytensor.gradient import verify_grad

import corvatel

NAMES = ("drift", "boundary", "start", "t0", "sv", "sz", "st", "p_outlier")
RT = np.array([0.45, 0.62, 0.8, 1.3, 2.2, 0.38])
CHOICE = np.array([1.0, 0.0, 1.0, 0.0, 1.0, 1.0])

PARAMETER_SETS = {
    "four": (0.8, 1.6, 0.45, 0.25, 0.0, 0.0, 0.0, 0.0),
    "sv": (-1.2, 1.1, 0.6, 0.3, 0.9, 0.0, 0.0, 0.0),
    "sz": (0.5, 1.4, 0.5, 0.2, 0.0, 0.3, 0.0, 0.0),
    "st": (1.5, 2.0, 0.4, 0.25, 0.0, 0.0, 0.15, 0.0),
    "sv_sz_st": (0.7, 1.5, 0.55, 0.22, 0.6, 0.2, 0.1, 0.0),
    "p_outlier": (2.0, 1.2, 0.5, 0.3, 0.0, 0.0, 0.0, 0.08),
}


def _logp(rt, choice, params, window=(0.0, 5.0)):
    return cp.wfpt_logp(rt, choice, *params, *window)


@pytest.mark.parametrize("params", PARAMETER_SETS.values(), ids=PARAMETER_SETS.keys())
def test_gradient_matches_finite_differences(params):
    # Every parameter a scalar broadcast over six trials (the gradient sums
    # over them), and rt too, whose derivative is minus t0's.
    def summed(rt, *theta):
        return _logp(rt, CHOICE, theta).sum()

    values = [RT] + [np.array(x) for x in params]
    verify_grad(summed, values, rng=np.random.default_rng(11), eps=1e-7, abs_tol=1e-5, rel_tol=1e-5)


@pytest.mark.parametrize("vector", ["drift", "t0", "sz"])
def test_gradient_of_per_trial_parameters(vector):
    # One parameter per trial, the others scalars: each trial's derivative
    # goes to its own element, not summed.
    params = dict(zip(NAMES, PARAMETER_SETS["sv_sz_st"]))
    base = params[vector]
    spread = {"drift": 0.5, "t0": 0.05, "sz": 0.1}[vector]
    values = [np.linspace(base - spread, base + spread, RT.size)]

    def with_vector(per_trial):
        theta = [per_trial if name == vector else params[name] for name in NAMES]
        return (_logp(RT, CHOICE, theta) * np.arange(1.0, RT.size + 1)).sum()

    verify_grad(with_vector, values, rng=np.random.default_rng(12), eps=1e-7, abs_tol=1e-5, rel_tol=1e-5)


@pytest.mark.parametrize("params", PARAMETER_SETS.values(), ids=PARAMETER_SETS.keys())
def test_model_logp_is_wfpt_logpdf_per_trial(params):
    named = dict(zip(NAMES, params))
    obs = np.column_stack([RT, CHOICE])
    rv = cp.DDM.dist(**named)
    expected = corvatel.wfpt_logpdf(RT, CHOICE.astype(bool), **named)
    logp = pm.logp(rv, obs)
    np.testing.assert_array_equal(logp.eval(), expected)
    # The values the gradient's call returns are the same bits.
    both = pytensor.function([], [logp, pytensor.grad(logp.sum(), rv.owner.inputs[2])])
    np.testing.assert_array_equal(both()[0], expected)
    with pm.Model() as model:
        cp.DDM("obs", **named, observed=obs)
    assert model.compile_logp()({}) == pytest.approx(expected.sum(), rel=1e-14)


def test_one_core_call_for_values_and_gradient():
    # A graph of logp and dlogp computes both in one call; one of logp alone
    # skips the derivatives (ten times the values' cost with sz or st).
    with pm.Model() as model:
        drift = pm.Normal("drift", 0.0, 1.0)
        cp.DDM("obs", drift=drift, boundary=1.5, t0=0.2, observed=np.column_stack([RT, CHOICE]))

    def ops(function):
        return [node.op for node in function.maker.fgraph.toposort() if isinstance(node.op, cp.WfptLogp)]

    # What NUTS calls.
    sampler_function = model.logp_dlogp_function(ravel_inputs=True)._pytensor_function
    assert ops(sampler_function) == [cp.WfptLogp(gradients=True)]
    assert ops(model.compile_logp().f) == [cp.WfptLogp(gradients=False)]


def test_invalid_parameters_give_minus_infinity_per_trial():
    # Trial 2's boundary and trial 4's start window are out of range, trial
    # 5's choice is not a choice: those are -inf with derivative 0, the
    # others the density's own values and derivatives.
    boundary = np.array([1.5, 1.5, -1.0, 1.5, 1.5, 1.5])
    start = np.array([0.5, 0.5, 0.5, 0.5, 0.95, 0.5])
    choice = CHOICE.copy()
    choice[5] = 0.5
    b = pt.vector("b")
    logp = _logp(RT, choice, (0.7, b, start, 0.2, 0.0, 0.2, 0.0, 0.0))
    values, slopes = pytensor.function([b], [logp, pytensor.grad(logp.sum(), b)])(boundary)
    bad = np.array([False, False, True, False, True, True])
    assert np.all(values[bad] == -np.inf)
    np.testing.assert_array_equal(slopes[bad], 0.0)
    good = ~bad
    expected, grad = corvatel.wfpt_logpdf_grad(RT[good], CHOICE[good].astype(bool), 0.7, boundary[good],
                                               start[good], 0.2, sz=0.2)
    np.testing.assert_array_equal(values[good], expected)
    np.testing.assert_array_equal(slopes[good], grad["boundary"])


def test_length_one_parameter_not_declared_broadcastable_is_refused():
    drift = pt.vector("drift")
    logp = _logp(RT, CHOICE, (drift, 1.5, 0.5, 0.2, 0.0, 0.0, 0.0, 0.0))
    with pytest.raises(ValueError, match="not declared broadcastable"):
        logp.eval({drift: np.array([1.0])})


@pytest.mark.parametrize("choice", [np.array([True, False, True]), np.array([1, 0, 1]), np.array([1.0, 0.0, 1.0])],
                         ids=["bool", "int", "float"])
def test_observed_codings(choice):
    rt = np.array([0.5, 0.6, 0.7])
    expected = np.column_stack([rt, [1.0, 0.0, 1.0]])
    frame = pd.DataFrame({"subject": 1, "choice": choice, "rt": rt})
    np.testing.assert_array_equal(cp.observed_trials(frame), expected)
    np.testing.assert_array_equal(cp.observed_trials(np.column_stack([rt, choice.astype(float)])), expected)


@pytest.mark.parametrize("observed, error, match", [
    (np.array([[0.5, 1.0], [0.6, -1.0]]), ValueError, "0 and 1, found -1"),
    (pd.DataFrame({"rt": [0.5], "choice": [2]}), ValueError, "0 and 1"),
    (pd.DataFrame({"rt": [0.5], "choice": ["a"]}), TypeError, "observed choice"),
    (pd.DataFrame({"rt": [0.5], "response": [1]}), ValueError, "missing choice"),
    (np.array([[0.5, 1.0, 0.0]]), ValueError, "length 2"),
    (np.array([[np.nan, 1.0]]), ValueError, "NaN"),
])
def test_observed_refusals(observed, error, match):
    with pm.Model(), pytest.raises(error, match=match):
        cp.DDM("obs", drift=1.0, boundary=1.0, t0=0.2, observed=observed)


def test_bad_outlier_window_is_refused():
    with pytest.raises(ValueError, match="outlier_window"):
        cp.DDM.dist(drift=1.0, boundary=1.0, t0=0.2, outlier_window=(2.0, 1.0))


def _upper_probability(drift, boundary, start):
    return (1 - np.exp(-2 * drift * boundary * start)) / (1 - np.exp(-2 * drift * boundary))


def test_draws_have_the_models_choice_probabilities():
    # 4000 trials, drift -1.5 for the first half and +1 for the second (a
    # per-trial parameter), boundary 1.5, start 0.4, t0 0.3. Each
    # half's share of upper responses is compared with the model's, within
    # 4.5 binomial standard errors plus 0.01 for the 1 ms walk's wider
    # effective boundary: false-alarm rate below 1e-5 per half.
    n = 4000
    drift = np.repeat([-1.5, 1.0], n // 2)
    draws = pm.draw(cp.DDM.dist(drift=drift, boundary=1.5, start=0.4, t0=0.3), random_seed=3)
    assert draws.shape == (n, 2)
    rt, choice = draws[:, 0], draws[:, 1]
    assert np.all(rt > 0.3) and np.all(np.isin(choice, (0.0, 1.0)))
    for half, v in ((slice(0, n // 2), -1.5), (slice(n // 2, n), 1.0)):
        p = _upper_probability(v, 1.5, 0.4)
        se = np.sqrt(p * (1 - p) / (n // 2))
        assert abs(choice[half].mean() - p) < 4.5 * se + 0.01


def test_draws_mix_in_contaminants():
    # t0 6 s puts every diffusion response above the window (0, 5): the share
    # below 5 s is the contaminants', binomial with p 0.3 over 3000 trials,
    # checked within 4.5 standard errors (false-alarm rate 7e-6), and their
    # choices are half upper (same bound).
    n = 3000
    draws = pm.draw(cp.DDM.dist(drift=3.0, boundary=1.0, t0=6.0, p_outlier=0.3, size=n), random_seed=8)
    contaminant = draws[:, 0] < 5.0
    assert abs(contaminant.mean() - 0.3) < 4.5 * np.sqrt(0.3 * 0.7 / n)
    k = contaminant.sum()
    assert abs(draws[contaminant, 1].mean() - 0.5) < 4.5 * np.sqrt(0.25 / k)
    assert np.all(draws[contaminant, 0] >= 0.0)
    # Without contaminants the diffusion's responses are nearly all upper
    # (drift 3, boundary 1: P(upper) 0.95).
    assert draws[~contaminant, 1].mean() > 0.9


@pytest.mark.parametrize("p_outlier", [1.0, 1.5, -0.1, np.nan])
def test_draws_refuse_a_share_of_contaminants_out_of_range(p_outlier):
    # As the density does: all contaminants, or a negative share, is no model.
    with pytest.raises(ValueError, match=r"p_outlier must be in \[0, 1\)"):
        pm.draw(cp.DDM.dist(drift=1.0, boundary=1.0, t0=0.3, p_outlier=p_outlier, size=5), random_seed=1)


def test_draws_are_reproducible_from_the_seed():
    # Without contaminants every draw comes from simulate_full, whose seed
    # must come from PyMC's generator.
    for p_outlier in (0.0, 0.05):
        rv = cp.DDM.dist(drift=0.5, boundary=1.2, t0=0.2, sv=0.4, sz=0.1, st=0.05, p_outlier=p_outlier, size=200)
        first = pm.draw(rv, random_seed=21)
        np.testing.assert_array_equal(first, pm.draw(rv, random_seed=21))
        assert not np.array_equal(first, pm.draw(rv, random_seed=22))


def test_prior_predictive():
    obs = np.column_stack([RT, CHOICE])
    with pm.Model():
        t0 = pm.Uniform("t0", 0.1, 0.3)
        drift = pm.Normal("drift", 0.0, 1.0)
        cp.DDM("obs", drift=drift, boundary=pm.Gamma("boundary", 10.0, 10.0), t0=t0, observed=obs)
        prior = pm.sample_prior_predictive(50, random_seed=4)
    draws = prior.prior_predictive["obs"].values
    assert draws.shape == (1, 50, RT.size, 2)
    t0_draws = prior.prior["t0"].values[0]
    assert np.all(draws[0, :, :, 0] > t0_draws[:, None])
    assert np.all(np.isin(draws[..., 1], (0.0, 1.0)))
    # Decision times of a boundary near 1: all but a few below 5 s.
    assert np.median(draws[..., 0]) < 2.0


def _fit_data():
    choices, rts, _ = corvatel.simulate_full(1.0, 1.5, 0.5, 0.3, 300, 2024)
    return np.column_stack([rts, choices])


def _fit(data, seed, tune=300, draws=300):
    with pm.Model() as model:
        drift = pm.Normal("drift", 0.0, 2.0)
        boundary = pm.Gamma("boundary", 4.0, 2.0)
        t0 = pm.Uniform("t0", 0.0, float(data[:, 0].min()))
        cp.DDM("obs", drift=drift, boundary=boundary, t0=t0, observed=data)
        idata = pm.sample(draws=draws, tune=tune, chains=2, cores=1, random_seed=seed, progressbar=False,
                          compute_convergence_checks=False)
    return model, idata


@pytest.mark.slow
def test_nuts_recovers_drift_boundary_t0():
    # 300 trials of drift 1, boundary 1.5, t0 0.3. The tolerances are about
    # 3.5 posterior standard deviations (0.1, 0.045, 0.01 here) plus the
    # 1 ms walk's bias (boundary about 0.036 wide, t0 0.005): a seed that
    # fails is a 1-in-2000 event per parameter.
    data = _fit_data()
    model, idata = _fit(data, seed=5)
    post = idata.posterior
    assert int(idata.sample_stats["diverging"].sum()) == 0
    assert abs(float(post["drift"].mean()) - 1.0) < 0.35
    assert abs(float(post["boundary"].mean()) - 1.5) < 0.2
    assert abs(float(post["t0"].mean()) - 0.3) < 0.04
    # The pointwise log-likelihood (for LOO) is wfpt_logpdf at each draw.
    with model:
        pm.compute_log_likelihood(idata, progressbar=False)
    pointwise = idata.log_likelihood["obs"].values
    assert pointwise.shape == (2, 300, 300)
    d, a, t = (float(post[name][1, 17]) for name in ("drift", "boundary", "t0"))
    np.testing.assert_array_equal(pointwise[1, 17], corvatel.wfpt_logpdf(data[:, 0], data[:, 1] == 1.0, d, a, 0.5, t))


def test_nuts_is_reproducible_from_the_seed():
    # The small fit the quick runs make: the same seed, the same draws.
    data = _fit_data()[:100]
    first = _fit(data, seed=9, tune=40, draws=20)[1].posterior
    second = _fit(data, seed=9, tune=40, draws=20)[1].posterior
    assert first["drift"].shape == (2, 20)
    for name in ("drift", "boundary", "t0"):
        np.testing.assert_array_equal(first[name].values, second[name].values)
