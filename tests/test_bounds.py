"""Likelihood and maximum-likelihood fits of the diffusion model between
time-varying bounds, with leak and urgency (bounds_logpdf, fit_ml with
model="angle"/"weibull", bound=, leak=, urgency=)."""

import math
import re

import numpy as np
import pytest

import _corvatel
import corvatel

trapezoid = getattr(np, "trapezoid", None) or np.trapz


def euler_trials(drift, boundary, t0, n, seed, theta=0.0, dt=1e-4, t_max=5.0):
    """Trials of an angle-bound walk started in the middle, by the Euler
    scheme at step dt: (choices, rts); walks still inside at t_max are
    dropped."""
    rng = np.random.default_rng(seed)
    x = np.zeros(n)
    alive = np.ones(n, dtype=bool)
    choices = np.zeros(n, dtype=bool)
    rts = np.full(n, np.nan)
    sd = math.sqrt(dt)
    for k in range(1, int(t_max / dt) + 1):
        idx = np.flatnonzero(alive)
        if idx.size == 0:
            break
        x[idx] += drift * dt + sd * rng.standard_normal(idx.size)
        half = 0.5 * boundary - k * dt * math.tan(theta)
        up = x[idx] >= half
        down = x[idx] <= -half
        done = idx[up | down]
        choices[idx[up]] = True
        rts[done] = t0 + k * dt
        alive[done] = False
    kept = ~np.isnan(rts)
    return choices[kept], rts[kept]


# (wfpt arguments, solver extras): the constant bound is the standard model.
CONSTANT_CASES = [
    dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3),
    dict(drift=-0.7, boundary=1.0, start=0.35, t0=0.2),
    dict(drift=2.0, boundary=2.0, start=0.6, t0=0.25, noise_sd=1.3),
    dict(drift=0.5, boundary=1.2, start=0.5, t0=0.3, sz=0.2),
    dict(drift=0.5, boundary=1.2, start=0.5, t0=0.3, st=0.1),
]
# The st average's error is of order dt^4 / st (2e-4 at the default step for
# st 0.1): half the step for it.
RESOLUTION = {4: 1 / 288}


@pytest.mark.parametrize("case", range(len(CONSTANT_CASES)))
def test_constant_bound_is_the_standard_density(case):
    """Within the solver's stated accuracy (1e-4 relative at the default
    resolution where the density exceeds 1% of its peak)."""
    params = CONSTANT_CASES[case]
    rt = np.linspace(params["t0"] + 0.01, params["t0"] + 3.0, 300)
    for choice in (True, False):
        solver = corvatel.bounds_logpdf(rt, choice, resolution=RESOLUTION.get(case), **params)
        exact = corvatel.wfpt_logpdf(rt, choice, **params)
        bulk = exact > exact.max() + math.log(0.01)
        assert bulk.sum() > 50
        np.testing.assert_allclose(np.exp(solver[bulk]), np.exp(exact[bulk]), rtol=1e-4)


@pytest.mark.parametrize("drift, boundary", [(8.0, 4.0), (6.0, 5.0), (10.0, 3.0), (-15.0, 4.0)])
def test_a_strong_drift_is_the_standard_density(drift, boundary):
    # drift x boundary of 30-60, inside the fits' search: the decisions are
    # a spike narrower than the band's time scale, which the grid once
    # missed (densities 0, or 40 times too large, in the bulk).
    params = dict(drift=drift, boundary=boundary, start=0.5, t0=0.1)
    mean = 0.5 * boundary / abs(drift)
    rt = params["t0"] + np.linspace(0.2 * mean, 3.0 * mean, 400)
    for choice in (True, False):
        solver = corvatel.bounds_logpdf(rt, choice, **params)
        exact = corvatel.wfpt_logpdf(rt, choice, **params)
        bulk = exact > exact.max() + math.log(0.01)
        assert bulk.sum() > 50
        np.testing.assert_allclose(np.exp(solver[bulk] - exact.max()), np.exp(exact[bulk] - exact.max()), rtol=1e-4)


def test_shapes_follow_rt_and_choice():
    one = corvatel.bounds_logpdf(0.8, True, 1.0, 1.5, 0.5, 0.3, bound="angle", theta=0.2)
    assert isinstance(one, float)
    grid = corvatel.bounds_logpdf([[0.8], [0.9]], [True, False, 1], 1.0, 1.5, 0.5, 0.3, bound="angle", theta=0.2)
    assert grid.shape == (2, 3)
    assert grid[0, 0] == one
    assert grid[0, 2] == one  # choice 1 is True
    # before t0: no density; a NaN response time is refused, as wfpt_logpdf refuses it
    assert corvatel.bounds_logpdf(0.2, True, 1.0, 1.5, 0.5, 0.3) == -math.inf
    with pytest.raises(ValueError, match="rt must not be NaN"):
        corvatel.bounds_logpdf([0.5, math.nan], True, 1.0, 1.5, 0.5, 0.3, bound="angle", theta=0.2)


MODELS = [
    dict(bound="angle", theta=0.3),
    dict(bound="angle", theta=-0.1),
    dict(bound="weibull", shape=2.0, scale=1.5),
    dict(bound="exponential", rate=0.4),
    dict(bound="hyperbolic", rate=0.8),
    dict(bound="weibull", shape=3.0, scale=1.0, leak=1.5),
    dict(bound="constant", urgency=1.0, leak=0.5),
    dict(bound="hyperbolic", rate=0.5, sz=0.3, start=0.4, drift=-0.5),
]


# (resolution, tolerance on the total mass). Measured: at the default step
# the mass is off by up to 3.4e-4 (hyperbolic with sz; the leading edge of
# the nearer bound), at 1/576 by at most 2.1e-8; the trapezoid sum over the
# 0.2 ms grid adds below 1e-7. (A band widening at theta -0.1 still holds
# 9e-6 of its mass after 8 s: the grid runs to 16 s.)
MASS_TOLERANCE = [(None, 5e-4), (1 / 576, 1e-6)]


@pytest.mark.parametrize("resolution, tolerance", MASS_TOLERANCE)
@pytest.mark.parametrize("extra", MODELS)
def test_densities_integrate_to_one(extra, resolution, tolerance):
    """Both responses' densities over a fine grid hold all the mass: a solver
    that loses or double counts mass at either bound fails."""
    params = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
    params.update(extra)
    rt = np.linspace(params["t0"], params["t0"] + 16.0, 80001)
    total = 0.0
    for choice in (True, False):
        total += trapezoid(np.exp(corvatel.bounds_logpdf(rt, choice, resolution=resolution, **params)), rt)
    assert total == pytest.approx(1.0, abs=tolerance)


@pytest.mark.filterwarnings(r"ignore:1 of 1 groups flagged:UserWarning")
def test_a_fit_cannot_climb_into_densities_the_step_does_not_resolve():
    """A strong leak with a fast collapse is beyond the default step: the
    solver's densities there once grew without bound (log density +600 at
    1.5 s), and a fit of an easy condition's trials, all upper, climbed
    into them and reported a log-likelihood of +27,000 for 200 trials."""
    unresolved = dict(drift=13.49, boundary=2.244, start=0.5, t0=0.0, bound="exponential", rate=33.8, leak=273.4)
    rt = np.linspace(1e-4, 5.0, 50001)
    densities = [np.exp(corvatel.bounds_logpdf(rt, choice, **unresolved)) for choice in (True, False)]
    assert all(np.isfinite(d).all() for d in densities)
    assert trapezoid(densities[0] + densities[1], rt) <= 1.05
    trials = corvatel.datasets.example()
    easy = trials[(trials["subject"] == "s1") & (trials["condition"] == "easy")].assign(choice=True)
    fit = corvatel.fit(easy, method="ml", bound="exponential", leak=True).iloc[0]
    fitted = {name: fit[column] for name, column in [("drift", "drift_rate"), ("boundary", "boundary_separation"),
                                                     ("t0", "non_decision_time"), ("rate", "rate"),
                                                     ("leak", "leak")]}
    grid = np.linspace(fitted["t0"], fitted["t0"] + 10.0, 50001)
    mass = sum(trapezoid(np.exp(corvatel.bounds_logpdf(grid, choice, start=0.5, bound="exponential", **fitted)), grid)
               for choice in (True, False))
    assert mass <= 1.05
    assert fit["log_likelihood"] == pytest.approx(
        corvatel.bounds_logpdf(easy["rt"].to_numpy(), True, start=0.5, bound="exponential", **fitted).sum(), rel=1e-9)


@pytest.mark.filterwarnings(r"ignore:1 of 1 groups flagged:UserWarning")
@pytest.mark.parametrize("lapse", [8.0, 20.0])
def test_an_angle_fit_starts_with_a_band_open_past_a_slow_lapse(lapse):
    """Both starts closed the band within 8 mean decision times, before a
    lapse: no start had a likelihood and the fit failed as if no
    parameters could give one (theta 0 does)."""
    trials = corvatel.datasets.example()
    easy = trials[(trials["subject"] == "s1") & (trials["condition"] == "easy")].copy()
    easy.iloc[3, easy.columns.get_loc("rt")] = lapse
    fit = corvatel.fit(easy, method="ml", model="angle").iloc[0]
    assert fit["error"] == "" and np.isfinite(fit["log_likelihood"])
    closing = fit["boundary_separation"] / 2 / np.tan(fit["theta"]) if fit["theta"] > 0 else np.inf
    assert fit["non_decision_time"] + closing > lapse


def test_angle_density_changes_with_theta():
    """A faster collapse ends trials sooner: the mass after 1 s shrinks."""
    rt = np.linspace(0.3, 6.0, 20001)
    late = []
    for theta in (0.0, 0.2, 0.5):
        pdf = sum(np.exp(corvatel.bounds_logpdf(rt, c, 0.5, 1.5, 0.5, 0.3, bound="angle", theta=theta))
                  for c in (True, False))
        late.append(trapezoid(pdf[rt > 1.3], rt[rt > 1.3]))
    assert late[0] > late[1] > late[2]


@pytest.mark.parametrize("kwargs, name", [
    (dict(boundary=-1.0), "boundary"),
    (dict(start=1.5), "start"),
    (dict(noise_sd=0.0), "noise_sd"),
    (dict(t0=-0.1), "t0"),
    (dict(st=0.8), "st"),
    (dict(sz=2.0), "sz"),
    (dict(drift=math.nan), "drift"),
    (dict(bound="angle", theta=2.0), "theta"),
    (dict(bound="weibull", shape=0.0), "shape"),
    (dict(bound="weibull", scale=-1.0), "scale"),
    (dict(bound="exponential", rate=-0.5), "rate"),
    (dict(bound="hyperbolic", rate=math.inf), "rate"),
    (dict(leak=-1.0), "leak"),
    (dict(urgency=math.nan), "urgency"),
    (dict(resolution=0.0), "resolution"),
    (dict(resolution=1e-7), "resolution"),
    # A step of a quarter of the diffusion time: log densities 2 off.
    (dict(resolution=0.25), "resolution"),
    (dict(resolution=True), "resolution"),
    (dict(bound="linear"), "bound"),
])
def test_bad_values_raise_naming_the_argument(kwargs, name):
    params = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
    params.update(kwargs)
    with pytest.raises(ValueError, match=rf"\b{name}\b"):
        corvatel.bounds_logpdf([0.5, 0.9], [True, False], **params)


def test_a_grid_too_long_for_a_valid_start_says_why():
    # start 0.999 is in the model's range; its steps (from the distance to
    # the nearer bound) are what make the grid too long.
    with pytest.raises(ValueError, match=r"at most 100000 steps \(.*shorter for a start near a bound"):
        corvatel.bounds_logpdf(0.8, True, 1.0, 1.5, 0.999, 0.3)


def test_unused_bound_parameters_are_ignored():
    base = corvatel.bounds_logpdf([0.5, 0.9], True, 1.0, 1.5, 0.5, 0.3, bound="angle", theta=0.2)
    other = corvatel.bounds_logpdf([0.5, 0.9], True, 1.0, 1.5, 0.5, 0.3, bound="angle", theta=0.2, shape=-1.0,
                                   rate=-3.0)
    np.testing.assert_array_equal(base, other)


@pytest.fixture(scope="module")
def standard_trials():
    return corvatel.simulate(0.8, 1.4, 0.5, 0.3, 1000, 11)[:2]


def test_constant_bound_fit_agrees_with_the_standard_fit(standard_trials):
    """The same model through the solver (start estimated): the same
    estimates and log-likelihood, up to the solver's error (1e-4 relative
    per density: at most 0.1 in 1,000 trials' log-likelihood)."""
    choices, rts = standard_trials
    ddm = corvatel.fit_ml(choices, rts, model="ddm")
    solved = corvatel.fit_ml(choices, rts, bound="constant", start="free")
    assert solved["bound"] == "constant" and solved["n_params"] == ddm["n_params"] == 4
    assert solved["log_likelihood"] == pytest.approx(ddm["log_likelihood"], abs=0.1)
    for name in ("drift_rate", "boundary_separation", "starting_point", "non_decision_time"):
        assert solved[name] == pytest.approx(ddm[name], abs=2e-3), name
    assert solved["aic"] == pytest.approx(2 * 4 - 2 * solved["log_likelihood"])


def test_fixed_start_is_kept(standard_trials):
    choices, rts = standard_trials
    fit = corvatel.fit_ml(choices, rts, bound="constant", start=0.45)
    assert fit["starting_point"] == 0.45 and fit["n_params"] == 3


# Angle model recovered from 1,500 Euler trials (0.1 ms step). Over seeds
# 1-5 the largest errors were drift 0.083, boundary 0.037, t0 0.007 (the
# walk's step puts its times up to 0.1 ms late and its bounds a little
# wide), theta 0.035 rad; the tolerances are about twice those, and the
# angle model's log-likelihood beat the constant bound's by 28 to 41.
ANGLE_TRUTH = dict(drift=1.0, boundary=1.5, t0=0.3, theta=0.3)
ANGLE_TOLERANCE = dict(drift_rate=0.17, boundary_separation=0.08, non_decision_time=0.015, theta=0.07)


@pytest.mark.parametrize("seed", [3])
def test_angle_fit_recovers_the_parameters(seed):
    choices, rts = euler_trials(n=1500, seed=seed, **ANGLE_TRUTH)
    fit = corvatel.fit_ml(choices, rts, model="angle")
    truth = dict(drift_rate=1.0, boundary_separation=1.5, non_decision_time=0.3, theta=0.3)
    for name, tolerance in ANGLE_TOLERANCE.items():
        assert abs(fit[name] - truth[name]) < tolerance, (name, fit[name])
    assert fit["n_params"] == 4 and fit["starting_point"] == 0.5 and fit["leak"] == 0.0
    # the collapse is real: the angle model beats the constant bound
    constant = corvatel.fit_ml(choices, rts, bound="constant")
    assert fit["log_likelihood"] > constant["log_likelihood"] + 10


@pytest.mark.parametrize("kwargs, error", [
    (dict(model="full", leak=True), ValueError),
    (dict(model="angle", bound="weibull"), ValueError),
    (dict(bound="linear"), ValueError),
    (dict(start=0.5), ValueError),  # the standard model estimates it
    (dict(model="angle", start="fixed"), TypeError),
    (dict(model="angle", start=1.5), ValueError),
    (dict(model="linear"), ValueError),
    # A truthy string or number would fit a leak or urgency term unasked.
    (dict(model="angle", leak="no"), TypeError),
    (dict(urgency=0.5), TypeError),
])
def test_fit_option_errors(kwargs, error, standard_trials):
    choices, rts = standard_trials
    with pytest.raises(error):
        corvatel.fit_ml(choices, rts, **kwargs)
    levels = np.arange(len(rts)) % 2
    with pytest.raises(error):
        corvatel.fit_ml_joint(choices, rts, levels, **kwargs)


def test_fit_data_errors():
    with pytest.raises(corvatel.CorvatelError, match="trials"):
        corvatel.fit_ml([True] * 5, [0.5] * 5, model="angle")
    with pytest.raises(corvatel.CorvatelError):
        corvatel.fit_ml([True, False] * 10, [0.5, -1.0] * 10, model="weibull")


def test_a_number_that_frees_the_callers_rt_does_not_reach_the_solve():
    # drift's __float__ runs while the module converts the model's numbers,
    # after it holds the trials: had it been handed a view of the caller's
    # array, it would read freed memory (a segfault when it is reused).
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import numpy as np, corvatel
        rt = np.full(1_000_000, 0.6)
        class Drift:
            def __float__(self):
                rt.resize(0, refcheck=False)
                np.full(3_000_000, 55.0)
                return 1.0
        out = corvatel.bounds_logpdf(rt, True, Drift(), 1.0, 0.5, 0.3, leak=0.5)
        print(out.size, np.unique(out).size)
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1000000", "1"]


# The table of the bounds' terms is what the solver and the simulation
# check: each term's ends (open or closed), just inside and just outside
# them, and the non-finite values, are accepted or refused as its range
# says, refusals with the table's phrase.
@pytest.mark.parametrize("term", _corvatel.bound_terms(), ids=lambda t: t["name"])
def test_the_bound_terms_table_is_what_the_checks_apply(term):
    low, high, low_closed, high_closed = term["range"]
    bound = term["bounds"][0] if term["bounds"] else "constant"
    message = f"{term['name']} must be {term['phrase']}"
    values = [low, high, np.nextafter(low, math.inf), np.nextafter(high, -math.inf), np.nextafter(low, -math.inf),
              np.nextafter(high, math.inf), math.nan, 1.0]
    for value in values:
        inside = (value > low or (low_closed and value == low)) and (value < high or (high_closed and value == high))
        inside = inside and math.isfinite(value)
        args = {"bound": bound, term["name"]: float(value)}
        for call in (lambda: corvatel.bounds_logpdf(0.5, True, 1.0, 1.0, 0.5, 0.1, **args),
                     lambda: corvatel.simulate_bounds(5, 1.0, 1.0, 0.5, 0.1, seed=1, **args)):
            if inside:
                call()
            else:
                with pytest.raises(ValueError, match=re.escape(message)):
                    call()
