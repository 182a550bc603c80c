"""First-passage time densities, full-model simulation and maximum-likelihood
fits, checked against an independent mpmath reference, closed forms and
simulation."""

import hashlib
import itertools
import math
import os
import subprocess
import sys
import textwrap
import tracemalloc

import mpmath as mp
import numpy as np
import pytest
import wfpt_reference as ref
from reference import skip_under_sanitizer

import corvatel

T0 = 0.2
# rt from 1 ms past t0 to 20 s, |drift| up to 10, boundary 0.3-5, start 0.05-0.95.
GRID = list(
    itertools.product(
        [0.001, 0.02, 0.3, 1.5, 20.0],
        [-10.0, -1.0, 0.0, 2.5, 10.0],
        [0.3, 1.2, 5.0],
        [0.05, 0.5, 0.95],
        [False, True],
    )
)


def log_error(got, expected):
    """|log got - log expected|: the relative error of the density."""
    return abs(got - float(mp.log(expected)))


def test_four_parameter_density_matches_reference_on_grid():
    decision, drift, boundary, start, choice = (np.array(c) for c in zip(*GRID))
    got = corvatel.wfpt_logpdf(T0 + decision, choice, drift, boundary, start, T0)
    worst = max(
        log_error(g, ref.density(T0 + d, c, v, a, z, T0)) for g, (d, v, a, z, c) in zip(got, GRID)
    )
    assert worst <= 1e-8


@pytest.mark.parametrize(
    "rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st",
    [
        (0.6, True, 1.0, 1.5, 0.5, 0.3, 1.0, 1.0, 0.0, 0.0),
        (0.32, False, -2.0, 0.8, 0.3, 0.3, 1.0, 2.0, 0.0, 0.0),
        (4.0, True, 3.0, 2.0, 0.7, 0.3, 1.0, 0.5, 0.0, 0.0),
        (0.6, True, 1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.2, 0.0),
        (0.31, False, 4.0, 1.0, 0.6, 0.3, 1.0, 0.0, 0.5, 0.0),
        (0.6, True, 1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.2),
        (0.25, False, -1.0, 1.0, 0.5, 0.3, 1.0, 0.0, 0.0, 0.3),
        (2.0, False, -10.0, 3.5, 0.5, 0.3, 1.0, 0.0, 0.3, 0.0),
        (2.0, False, -10.0, 3.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.2),
        (0.9, True, 0.5, 1.2, 0.45, 0.3, 0.5, 0.0, 0.0, 0.1),
    ],
)
def test_variability_densities_match_numerical_integrals(rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st):
    got = corvatel.wfpt_logpdf(rt, choice, drift, boundary, start, t0, noise_sd=noise_sd, sv=sv, sz=sz, st=st)
    assert log_error(got, ref.full_density(rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)) <= 1e-8


# Every seventh point of the grid (65 points, both responses, the leading
# edge and 20 s included) for the start and the non-decision-time averages,
# every 75th (6 points) for the start average with sv, whose reference is
# slower; sz = 0.09 keeps start 0.05 and 0.95 valid.
@pytest.mark.reference
@pytest.mark.parametrize(
    "variability",
    [dict(sz=0.09), dict(st=0.3), dict(sv=1.5, sz=0.09)],
    ids=["sz", "st", "sv_sz"],
)
def test_variability_averages_match_reference_on_grid(variability):
    points = GRID[:: 7 if "sv" not in variability else 75]
    decision, drift, boundary, start, choice = (np.array(c) for c in zip(*points))
    got = corvatel.wfpt_logpdf(T0 + decision, choice, drift, boundary, start, T0, **variability)
    errors = [
        log_error(g, ref.full_density(T0 + d, c, v, a, z, T0, **variability))
        for g, (d, v, a, z, c) in zip(got, points)
    ]
    assert max(errors) <= 1e-8


@pytest.mark.reference
@pytest.mark.parametrize(
    "rt, choice, drift, boundary, start, sz, st",
    [
        (0.31, False, 1.0, 1.5, 0.5, 0.2, 0.3),  # window from decision time 0
        (0.5, False, 0.0, 1.0, 0.5, 0.2, 0.2),  # no drift
        (2.0, True, 3.0, 0.6, 0.7, 0.4, 0.1),  # long times: Fourier series only
        (1.2, False, -10.0, 3.5, 0.5, 0.3, 0.2),  # density e^-25, steep drift factor
        (0.9, True, 0.5, 1.2, 0.45, 0.1, 0.1),  # window across the series switch
    ],
)
def test_start_and_time_average_together_match_reference(rt, choice, drift, boundary, start, sz, st):
    got = corvatel.wfpt_logpdf(rt, choice, drift, boundary, start, 0.3, sz=sz, st=st)
    assert log_error(got, ref.full_density(rt, choice, drift, boundary, start, 0.3, sz=sz, st=st)) <= 1e-8


def test_noise_sd_scales_drift_and_boundary():
    # The walk divided by noise_sd is a unit-noise walk with drift/noise and boundary/noise.
    got = corvatel.wfpt_logpdf(0.7, True, 0.6, 0.9, 0.4, 0.2, noise_sd=0.5)
    assert log_error(got, ref.density(0.7, True, 1.2, 1.8, 0.4, 0.2)) <= 1e-8


@pytest.mark.parametrize("drift, boundary, start", [(1.0, 1.5, 0.5), (-2.5, 0.8, 0.3), (0.0, 2.0, 0.7)])
def test_density_integrates_to_response_probability(drift, boundary, start):
    # Closed form P(upper) = (1 - e^{-2vaz}) / (1 - e^{-2va}); trapezoid on a
    # fine log-spaced grid, whose error here stays below 1e-6.
    tau = np.concatenate([[0.0], np.geomspace(1e-5, 60.0, 200_001)])
    upper = np.trapezoid(corvatel.wfpt_pdf(tau + 0.1, True, drift, boundary, start, 0.1), tau)
    lower = np.trapezoid(corvatel.wfpt_pdf(tau + 0.1, False, drift, boundary, start, 0.1), tau)
    x = 2 * drift * boundary
    p_upper = start if x == 0 else math.expm1(-x * start) / math.expm1(-x)
    assert upper == pytest.approx(p_upper, abs=1e-6)
    assert lower == pytest.approx(1 - p_upper, abs=1e-6)


def test_variability_density_integrates_to_one_over_both_responses():
    # Also covers rt just past t0 - st/2, where the sz integrand spans
    # thousands of orders of magnitude.
    tau = np.concatenate([[0.0], np.geomspace(1e-5, 40.0, 20_001)])
    kw = dict(sv=0.8, sz=0.2, st=0.2)
    total = sum(np.trapezoid(corvatel.wfpt_pdf(tau, c, 1.0, 1.5, 0.5, 0.3, **kw), tau) for c in (False, True))
    assert total == pytest.approx(1.0, abs=1e-5)


def test_broadcasting_and_shapes():
    rt = np.linspace(0.35, 2.0, 12).reshape(3, 4)
    drift = np.array([0.5, 1.0, 1.5, 2.0])
    got = corvatel.wfpt_logpdf(rt, True, drift, 1.5, 0.5, 0.3)
    assert got.shape == (3, 4)
    one = corvatel.wfpt_logpdf(float(rt[2, 1]), True, 1.0, 1.5, 0.5, 0.3)
    assert isinstance(one, float) and got[2, 1] == one
    assert corvatel.wfpt_pdf(np.empty((0, 3)), True, 1.0, 1.5, 0.5, 0.3).shape == (0, 3)
    pdf = corvatel.wfpt_pdf(rt, True, 1.0, 1.5, 0.5, 0.3)
    np.testing.assert_allclose(pdf, np.exp(corvatel.wfpt_logpdf(rt, True, 1.0, 1.5, 0.5, 0.3)), rtol=1e-15)


def test_no_density_before_the_earliest_response():
    got = corvatel.wfpt_logpdf(np.array([0.1, 0.2, 0.25, 0.2501]), True, 1.0, 1.5, 0.5, 0.3, st=0.1)
    assert np.all(got[:3] == -np.inf) and np.isfinite(got[3])
    assert corvatel.wfpt_pdf(np.inf, False, 1.0, 1.5, 0.5, 0.3) == 0.0


def test_log_density_stays_finite_where_density_underflows():
    got = corvatel.wfpt_logpdf(20.2, True, -10.0, 5.0, 0.5, 0.2)
    assert got < -745 and log_error(got, ref.density(20.2, True, -10.0, 5.0, 0.5, 0.2)) <= 1e-8


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(boundary=0.0), "boundary"),
        (dict(boundary=np.nan), "boundary"),
        (dict(start=1.0), "start"),
        (dict(start=0.0), "start"),
        (dict(t0=-0.1), "t0"),
        (dict(noise_sd=0.0), "noise_sd"),
        (dict(sv=-1.0), "sv"),
        (dict(sz=1.2), "sz"),
        (dict(sz=-0.1), "sz"),
        (dict(st=0.7), "st"),
        (dict(drift=np.inf), "drift"),
        (dict(rt=np.nan), "rt"),
    ],
)
def test_invalid_arguments_raise_value_error_naming_them(kwargs, name):
    args = dict(rt=0.5, choice=True, drift=1.0, boundary=1.0, start=0.5, t0=0.3)
    args.update(kwargs)
    with pytest.raises(ValueError, match=name):
        corvatel.wfpt_logpdf(**args)


def test_invalid_element_of_an_array_is_reported():
    with pytest.raises(ValueError, match="boundary"):
        corvatel.wfpt_pdf(0.5, True, 1.0, np.array([1.0, -1.0, 2.0]), 0.5, 0.3)


def cdf_bins(edges, choice, **params):
    """Probability of each rt bin for one response, from the density."""
    fine = np.linspace(edges[0], edges[-1], 12_001)
    pdf = corvatel.wfpt_pdf(fine, choice, **params)
    cum = np.concatenate([[0.0], np.cumsum((pdf[1:] + pdf[:-1]) / 2 * np.diff(fine))])
    return np.diff(np.interp(edges, fine, cum))


def chi_square_p(observed, expected):
    stat = float(np.sum((observed - expected) ** 2 / expected))
    dof = len(observed) - 1
    return float(mp.gammainc(dof / 2, stat / 2, mp.inf, regularized=True))  # chi-square survival


@pytest.mark.parametrize(
    "params",
    [
        dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3),
        dict(drift=-0.5, boundary=1.0, start=0.35, t0=0.2, sv=1.0, sz=0.2, st=0.15),
    ],
)
def test_simulated_response_times_follow_the_density(params):
    # The 1 ms Euler walk crosses late: its boundaries act as if moved out by
    # 0.5826 * noise * sqrt(dt) each (Broadie, Glasserman & Kou 1997), so the
    # density is taken with that correction. A walk's rt is the first step
    # time past the crossing, so P(rt < e) is the CDF at e - dt/2 for edges e
    # half-way between steps (on average over t0 when st > 0). Chi-square
    # over 2 x 12 rt bins at a fixed seed; a correct simulator and density
    # fail it with probability 1e-3 (p < 1e-3), up to the correction's
    # higher-order error, which 40 000 trials do not resolve.
    n = 40_000
    dt = 0.001
    choices, rts, _ = corvatel.simulate_full(**params, n=n, seed=2026)
    shift = 0.5826 * math.sqrt(dt)
    a = params["boundary"] + 2 * shift
    dens = dict(params, boundary=a, start=(params["start"] * params["boundary"] + shift) / a)
    if "sz" in dens:
        dens["sz"] = params["sz"] * params["boundary"] / a
    observed, expected = [], []
    for choice in (False, True):
        r = rts[choices == choice]
        inner = np.round(np.quantile(r, np.linspace(0, 1, 13)[1:-1]) - params["t0"], 3) + params["t0"] - dt / 2
        edges = np.concatenate([[params["t0"] - params.get("st", 0) / 2], inner, [12.0]])
        observed.append(np.histogram(r, edges)[0])
        expected.append(n * cdf_bins(edges - np.r_[0, np.full(len(edges) - 1, dt / 2)], choice, **dens))
    observed, expected = np.concatenate(observed), np.concatenate(expected)
    assert expected.sum() == pytest.approx(n, rel=1e-3)
    assert chi_square_p(observed, expected) > 1e-3


def test_simulate_full_without_variability_is_simulate():
    full = corvatel.simulate_full(0.8, 1.2, 0.4, 0.25, 3000, 99)
    plain = corvatel.simulate(0.8, 1.2, 0.4, 0.25, 3000, 99)
    assert np.array_equal(full[0], plain[0]) and np.array_equal(full[1], plain[1]) and full[2] == plain[2]


def test_simulate_full_is_reproducible_and_prefix_stable():
    a = corvatel.simulate_full(0.8, 1.2, 0.4, 0.25, 500, 3, sv=1.0, sz=0.3, st=0.2)
    b = corvatel.simulate_full(0.8, 1.2, 0.4, 0.25, 2000, 3, sv=1.0, sz=0.3, st=0.2)
    assert np.array_equal(a[1], b[1][: len(a[1])])
    # The variability changes the trials: its draws are not the walk's noise.
    c = corvatel.simulate(0.8, 1.2, 0.4, 0.25, 500, 3)
    assert not np.array_equal(a[1], c[1])


def run_python(code, env=None, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})})


@pytest.mark.slow
def test_simulate_full_gives_the_same_bits_on_every_simd_path():
    """A path the machine lacks falls back to the widest one it has, so every
    machine compares what it runs. Starts from 0.2 to 0.7 of the band, drifts
    of either sign and some trials at the 10 s cap (low noise)."""
    code = """
        import hashlib, corvatel
        for noise_sd in (1.1, 0.1):
            c, r, x = corvatel.simulate_full(0.3, 1.3, 0.45, 0.25, 20_000, 12, noise_sd=noise_sd, sv=1.2, sz=0.5,
                                             st=0.2)
            print(hashlib.sha256(c.tobytes() + r.tobytes()).hexdigest(), x)
        """
    outputs = []
    for path in ("scalar", "avx2", "avx512"):
        out = run_python(code, env={"CORVATEL_SIMD": path})
        assert out.returncode == 0, out.stderr
        outputs.append(out.stdout)
    assert outputs[1] == outputs[0] and outputs[2] == outputs[0]
    low_noise = corvatel.simulate_full(0.3, 1.3, 0.45, 0.25, 20_000, 12, noise_sd=0.1, sv=1.2, sz=0.5, st=0.2)
    assert low_noise[2] > 0  # the cap is reached
    digest = hashlib.sha256(low_noise[0].tobytes() + low_noise[1].tobytes()).hexdigest()
    assert outputs[0].splitlines()[1] == f"{digest} {low_noise[2]}"


def obtainable_bytes():
    """MemAvailable + SwapFree, read independently of the module."""
    fields = {}
    with open("/proc/meminfo") as f:
        for line in f:
            key, value = line.split(":")
            fields[key] = int(value.split()[0]) * 1024
    return fields["MemAvailable"] + fields.get("SwapFree", 0)


def test_simulate_full_larger_than_memory_raises_at_once():
    """Half again as many trials as fit: the kernel's overcommit grants the
    arrays, so without the check the call would start filling them (for
    minutes, until the process is killed) instead of raising."""
    n = obtainable_bytes() * 3 // 2 // 9  # the two output arrays alone take 9 bytes a trial
    out = run_python(
        f"""
        import corvatel
        try:
            corvatel.simulate_full(1.0, 1.5, 0.5, 0.3, {n}, 1, sv=0.5, sz=0.2, st=0.1)
        except MemoryError as e:
            print(e)
        print(corvatel.simulate_full(1.0, 1.5, 0.5, 0.3, 10, 1, sv=0.5)[2] + 1)
        """,
        timeout=20,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"simulate_full: {n} trials need more memory than this machine can give", "1"]


@skip_under_sanitizer("the sanitizer's allocator and shadow memory change the resident size")
def test_simulate_full_needs_no_memory_beyond_its_two_arrays():
    """The trials are written straight into the returned arrays (a batch of
    Trial records on the side would add 16 bytes a trial). Start 0: every
    trial ends at once and is kept, so the arrays keep their full size."""
    out = run_python(
        """
        import resource, corvatel
        corvatel.simulate_full(1.0, 1.0, 0.0, 0.3, 1000, 1, sv=0.5, st=0.2)  # the pool and its first batch
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        c, r, x = corvatel.simulate_full(1.0, 1.0, 0.0, 0.3, 4_000_000, 1, sv=0.5, st=0.2)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(c.nbytes + r.nbytes, (after - before) * 1024)
        """
    )
    assert out.returncode == 0, out.stderr
    arrays, extra = map(int, out.stdout.split())
    assert arrays == 4_000_000 * 9
    assert extra < arrays * 1.25


@pytest.mark.parametrize(
    "kwargs, message",
    [(dict(sv=-1.0), "sv"), (dict(sz=1.2), "sz"), (dict(st=0.6), "st"), (dict(boundary=0.0), "boundary")],
)
def test_simulate_full_rejects_bad_parameters(kwargs, message):
    args = dict(drift=1.0, boundary=1.0, start=0.5, t0=0.25, n=10, seed=1)
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        corvatel.simulate_full(**args)


def test_fit_ml_recovers_and_is_deterministic():
    choices, rts, _ = corvatel.simulate(1.2, 1.5, 0.4, 0.3, 2000, 11)
    fit = corvatel.fit_ml(choices, rts)
    assert fit == corvatel.fit_ml(choices, rts)
    assert fit["converged"] and fit["n_params"] == 4 and fit["sv"] == 0.0
    # 2000 trials: sampling sd of drift ~0.06, of t0 ~0.005; the Euler walk's
    # effective boundary is 1.5 + 2 * 0.018.
    assert fit["drift_rate"] == pytest.approx(1.2, abs=0.25)
    assert fit["boundary_separation"] == pytest.approx(1.537, abs=0.06)
    assert fit["starting_point"] == pytest.approx(0.4, abs=0.03)
    assert fit["non_decision_time"] == pytest.approx(0.3, abs=0.02)
    # The reported likelihood is the sum of the densities at the estimate.
    ll = corvatel.wfpt_logpdf(rts, choices, fit["drift_rate"], fit["boundary_separation"], fit["starting_point"], fit["non_decision_time"]).sum()
    assert fit["log_likelihood"] == pytest.approx(ll, abs=1e-6)
    assert fit["aic"] == pytest.approx(8 - 2 * ll)


def test_fit_ml_joint_shares_parameters_across_levels():
    drifts = [0.5, 1.5, 2.5]
    parts = [corvatel.simulate(v, 1.5, 0.5, 0.3, 800, 20 + i)[:2] for i, v in enumerate(drifts)]
    choices = np.concatenate([p[0] for p in parts])
    rts = np.concatenate([p[1] for p in parts])
    levels = np.repeat([7, 3, 5], [len(p[1]) for p in parts])
    rows = corvatel.fit_ml_joint(choices, rts, levels)
    assert [r["level"] for r in rows] == [3, 5, 7]
    by_level = {r["level"]: r for r in rows}
    for code, v in zip([7, 3, 5], drifts):
        assert by_level[code]["drift_rate"] == pytest.approx(v, abs=0.25)
    assert len({r["boundary_separation"] for r in rows}) == 1
    assert len({r["log_likelihood"] for r in rows}) == 1
    assert rows[0]["n_params"] == 6
    # Joint likelihood is at least that of the shared-everything model.
    assert rows[0]["log_likelihood"] >= corvatel.fit_ml(choices, rts)["log_likelihood"] - 1e-6


@pytest.mark.slow
def test_fit_ml_is_the_same_for_every_thread_count():
    """Levels above 8192 trials are summed in chunks on the worker pool, in an
    order that does not depend on the number of workers."""
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.45, 0.3, 20_000, 3)
    levels = np.arange(len(rts)) % 2
    before = corvatel.get_num_threads()
    results = []
    try:
        for k in (1, 2):
            corvatel.set_num_threads(k)
            fit = corvatel.fit_ml(choices, rts)
            rows = corvatel.fit_ml_joint(choices, rts, levels)
            results.append([{key: float(v).hex() for key, v in r.items()} for r in [fit, *rows]])
    finally:
        corvatel.set_num_threads(before)
    assert results[0] == results[1]
    # The reported likelihood is still the sum of the densities at the estimate.
    ll = corvatel.wfpt_logpdf(rts, choices, fit["drift_rate"], fit["boundary_separation"], fit["starting_point"],
                              fit["non_decision_time"]).sum()
    assert fit["log_likelihood"] == pytest.approx(ll, rel=1e-12)


@pytest.mark.parametrize(
    "choices, rts, message",
    [
        (np.ones(5, bool), np.full(5, 0.5), "at least 10 trials"),
        (np.ones(20, bool), np.r_[np.full(19, 0.5), np.nan], "positive and finite"),
        (np.ones(20, bool), np.r_[np.full(19, 0.5), -1.0], "positive and finite"),
    ],
)
def test_fit_ml_errors(choices, rts, message):
    with pytest.raises(corvatel.CorvatelError, match=message):
        corvatel.fit_ml(choices, rts)


def test_fit_ml_rejects_unknown_model_and_parameter():
    choices, rts, _ = corvatel.simulate(1.0, 1.0, 0.5, 0.3, 100, 1)
    with pytest.raises(ValueError, match="model"):
        corvatel.fit_ml(choices, rts, model="lba")
    with pytest.raises(ValueError, match="sv"):
        corvatel.fit_ml_joint(choices, rts, np.zeros(len(rts), int), depends_on=("sv",))


@pytest.mark.slow
def test_full_model_fit_nests_the_four_parameter_fit():
    choices, rts, _ = corvatel.simulate_full(1.0, 1.2, 0.5, 0.3, 300, 8, sv=1.0, sz=0.2, st=0.15)
    ddm = corvatel.fit_ml(choices, rts)
    full = corvatel.fit_ml(choices, rts, model="full")
    assert full["n_params"] == 7 and full["bic"] > full["aic"]
    # The four-parameter model is the full one at sv = sz = st = 0, so the
    # full maximum can only be higher (up to the search's tolerance).
    assert full["log_likelihood"] >= ddm["log_likelihood"] - 1e-3
    assert full["sv"] > 0 and full["st"] > 0 and 0 < full["sz"] < 2 * min(full["starting_point"], 1 - full["starting_point"])
    assert full["non_decision_time"] - full["st"] / 2 < rts.min()


# Full-model data sets on which the search stopped short, each with a point
# where the density's sum (computed here) is higher: the fit must reach at
# least that point's likelihood. The first search stopped with st at 0, at
# -147.543; one from a collapsed sz returned to sz = 0, at -9.449, though
# the likelihood climbs along a ridge (sz with start and t0) to sz = 0.53.
STALLS = {
    "st_at_0": ({"drift": -1.933975237373885, "boundary": 2.0700322922965686, "start": 0.5906109733991851,
                 "t0": 0.46330740999486003, "n": 200, "seed": 65044775, "sv": 0.7849562294627659,
                 "sz": 0.5997617591953639, "st": 0.011663059488471794},
                {"drift": -2.0879, "boundary": 2.2142, "start": 0.5648, "t0": 0.5091, "sv": 1.2005, "sz": 0.7811,
                 "st": 0.0608}, -147.038),
    "sz_at_0": ({"drift": 1.0032237496377745, "boundary": 0.8273043740288027, "start": 0.5, "t0": 0.3, "n": 500,
                 "seed": 934878396, "sv": 0.0, "sz": 0.26931054033186713, "st": 0.1993664602507043},
                {"drift": 1.8608, "boundary": 1.0151, "start": 0.4708, "t0": 0.3073, "sv": 2.1241, "sz": 0.5283,
                 "st": 0.2013}, -9.3316),
}


@pytest.mark.parametrize("case", ["st_at_0", pytest.param("sz_at_0", marks=pytest.mark.slow)])
def test_full_model_fit_reaches_a_known_better_point(case):
    data, better, expected = STALLS[case]
    choices, rts, _ = corvatel.simulate_full(**data)
    fit = corvatel.fit_ml(choices, rts, model="full")
    witness = float(np.sum(corvatel.wfpt_logpdf(rts, choices, **better)))
    assert witness == pytest.approx(expected, abs=1e-3)
    assert fit["log_likelihood"] >= witness - 1e-6


@pytest.mark.parametrize("rt_window", [None, (0.3, 4.0)])
def test_full_model_fit_reports_the_density_sum_at_its_estimate(rt_window):
    choices, rts, _ = corvatel.simulate_full(**STALLS["st_at_0"][0])
    fit = corvatel.fit_ml(choices, rts, model="full", rt_window=rt_window)
    values = [fit[k] for k in ("drift_rate", "boundary_separation", "starting_point", "non_decision_time")]
    variabilities = {k: fit[k] for k in ("sv", "sz", "st")}
    at_fit = np.sum(corvatel.wfpt_logpdf(rts, choices, *values, **variabilities))
    if rt_window is not None:
        # The window keeps every trial here, so the likelihood is the sum
        # less n times the log of the window's probability.
        assert rts.min() > rt_window[0] and rts.max() < rt_window[1]
        kept = sum(corvatel.wfpt_cdf(np.array(rt_window), c, *values, **variabilities) @ [-1.0, 1.0]
                   for c in (True, False))
        at_fit -= len(rts) * np.log(kept)
    # The density's sum at the estimate, not the search's looser value
    # (which came out up to 0.012 above it).
    assert fit["log_likelihood"] == pytest.approx(float(at_fit), abs=1e-7)


# ---- Choice codings, memory, threads and interrupts of the densities ----

UPPER, LOWER = corvatel.wfpt_logpdf(0.6, True, 1.0, 1.5, 0.5, 0.3), corvatel.wfpt_logpdf(0.6, False, 1.0, 1.5, 0.5, 0.3)


@pytest.mark.parametrize(
    "choice, expected",
    [
        (True, [UPPER]),
        (np.False_, [LOWER]),
        (1, [UPPER]),
        (0, [LOWER]),
        (np.int8(1), [UPPER]),
        (np.uint64(0), [LOWER]),
        (np.array([0, 1, 1], dtype=np.int32), [LOWER, UPPER, UPPER]),
        ([True, False], [UPPER, LOWER]),
    ],
    ids=["bool", "numpy bool", "int 1", "int 0", "int8", "uint64", "int array", "list"],
)
def test_choice_codings_accepted(choice, expected):
    got = np.atleast_1d(corvatel.wfpt_logpdf(0.6, choice, 1.0, 1.5, 0.5, 0.3))
    assert got.tolist() == expected
    assert np.atleast_1d(corvatel.wfpt_pdf(0.6, choice, 1.0, 1.5, 0.5, 0.3)).tolist() == np.exp(expected).tolist()


@pytest.mark.parametrize(
    "choice, error",
    [
        ("False", TypeError),
        ("0", TypeError),
        (0.5, TypeError),
        (1.0, TypeError),
        (np.nan, TypeError),
        (None, TypeError),
        (np.array([0.0, 1.0]), TypeError),
        (-1, ValueError),
        (2, ValueError),
        (2**70, ValueError),
        (np.array([0, 1, 2]), ValueError),
        (np.int64(-1), ValueError),
    ],
    ids=["str False", "str 0", "half", "float one", "nan", "None", "float array", "-1", "2", "2**70", "array with 2",
         "int64 -1"],
)
def test_other_choices_are_refused_naming_choice(choice, error):
    for function in (corvatel.wfpt_logpdf, corvatel.wfpt_pdf):
        with pytest.raises(error, match="choice"):
            function(0.6, choice, 1.0, 1.5, 0.5, 0.3)


ARGS = dict(rt=0.8, choice=True, drift=1.0, boundary=1.5, start=0.5, t0=0.3)


# Text was read as numbers, and a complex number lost its imaginary part
# with only NumPy's warning.
@pytest.mark.parametrize("function, name, value", [
    (corvatel.wfpt_logpdf, "rt", "0.8"),
    (corvatel.wfpt_pdf, "rt", np.array(["0.8", "0.9"])),
    (corvatel.wfpt_cdf, "drift", 1 + 5j),
    (corvatel.wfpt_logpdf_grad, "boundary", [1.5, "1.6"]),
    (corvatel.bounds_logpdf, "rt", "0.8"),
])
def test_text_and_complex_numbers_are_refused_naming_the_argument(function, name, value):
    with pytest.raises(TypeError, match=rf"^{name} must be a number or an array of numbers, not"):
        function(**dict(ARGS, **{name: value}))


def test_fit_ml_refuses_response_times_as_text():
    with pytest.raises(TypeError, match="^rts must be a number or an array of numbers"):
        corvatel.fit_ml([True, False] * 10, ["0.5"] * 20)


def test_fit_ml_reads_choices_by_the_same_rule():
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 300, 5)
    assert corvatel.fit_ml(choices.astype(np.int64), rts) == corvatel.fit_ml(choices, rts)
    # +1/-1 coding: every trial would have counted as upper.
    with pytest.raises(ValueError, match="choices"):
        corvatel.fit_ml(np.where(choices, 1, -1), rts)
    with pytest.raises(TypeError, match="choices"):
        corvatel.fit_ml_joint(choices.astype(float), rts, np.zeros(len(rts), int))


def test_module_takes_only_bools_for_choice():
    # The package reads the codings; a number reaching the module must be a bool.
    import _corvatel

    with pytest.raises(TypeError, match="choice"):
        _corvatel.wfpt_logpdf(0.6, 1, 1.0, 1.5, 0.5, 0.3)


@pytest.mark.parametrize("call, message", [
    ("corvatel.wfpt_logpdf(np.full((44722, 1), .8), True, np.full((1, 44722), 1.), 1.5, .5, .3)",
     "wfpt_logpdf: 2000057284 densities"),
    ("corvatel.bounds_logpdf(np.full((60000, 1), .8), np.ones((1, 60000), bool), 1., 1.5, .5, .3, leak=1.)",
     "bounds_logpdf: 3600000000 densities"),
], ids=["wfpt_logpdf", "bounds_logpdf"])
def test_broadcast_larger_than_memory_raises_at_once(call, message):
    """(n, 1) against (1, n): billions of densities, tens of GB for each
    broadcast copy. The memory they need is checked before anything is
    copied."""
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(f"""
            import numpy as np
            import corvatel
            try:
                {call}
            except MemoryError as e:
                print(e)
            """)],
        capture_output=True, text=True, timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"{message} need more memory than this machine can give"


def test_full_size_contiguous_arguments_are_not_copied():
    rt = np.linspace(0.35, 3.0, 1_000_000)
    choice = np.ones(rt.size, dtype=bool)
    drift = np.full(rt.size, 1.0)
    tracemalloc.start()
    try:
        corvatel.wfpt_logpdf(rt, choice, drift, 1.5, 0.5, 0.3)
        _, in_place = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        corvatel.wfpt_logpdf(rt.reshape(1000, 1000).T, True, drift.astype(np.float32).reshape(1000, 1000), 1.5, 0.5, 0.3)
        _, copied = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    output = rt.nbytes
    assert in_place < output * 1.1  # the output alone
    assert copied > output * 2.9  # the output and two copies


def test_densities_do_not_depend_on_the_thread_count():
    before = corvatel.get_num_threads()
    rts = np.linspace(0.2, 3.0, 3001)
    choices = np.arange(rts.size) % 3 == 0
    kw = dict(sv=0.8, sz=0.2, st=0.15)
    try:
        results = []
        for k in (1, 2):
            corvatel.set_num_threads(k)
            results.append(corvatel.wfpt_logpdf(rts, choices, np.linspace(-2, 2, rts.size), 1.4, 0.45, 0.3, **kw))
    finally:
        corvatel.set_num_threads(before)
    assert results[0].tobytes() == results[1].tobytes()
    one = [corvatel.wfpt_logpdf(float(r), bool(c), float(v), 1.4, 0.45, 0.3, **kw)
           for r, c, v in zip(rts[::500], choices[::500], np.linspace(-2, 2, rts.size)[::500])]
    assert results[0][::500].tolist() == one
