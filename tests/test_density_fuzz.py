"""Property tests of the densities over the whole valid parameter space:
a finite logarithm wherever the density is positive, and agreement with the
independent mpmath reference (wfpt_reference.py) on sub-ranges where it
converges in reasonable time. Examples are derandomized, so every run draws
the same cases."""

import math

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import corvatel  # noqa: E402

FIELDS = ("rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st")


def fixed(max_examples):
    return settings(max_examples=max_examples, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


def log_uniform(lo, hi):
    """10**e for e uniform in [lo, hi]."""
    return st.floats(lo, hi).map(lambda e: 10.0**e)


def starts(nearest):
    """Relative starts: anywhere, or within 10**-nearest .. 0.1 of either edge.
    Starts below 1e-300 are left out: their products with pi and the like
    leave the normal doubles and lose digits (a start of 5e-324 is off by
    1e-4 relative)."""
    edge = log_uniform(-nearest, -1)
    return st.floats(1e-300, 1.0, exclude_max=True) | edge | edge.map(lambda d: 1.0 - d)


@st.composite
def points(draw, decades, nearest=17, variabilities=("sv", "sz", "st")):
    """A valid argument set; scales from 10**-decades to 10**decades."""
    scale = log_uniform(-decades, decades)
    boundary = draw(scale)
    noise_sd = draw(st.just(1.0) | scale)
    drift = draw(st.just(0.0) | st.tuples(st.sampled_from([-1.0, 1.0]), scale).map(lambda s: s[0] * s[1]))
    start = draw(starts(nearest))
    t0 = draw(st.just(0.0) | log_uniform(-decades, 2))
    sv = draw(st.just(0.0) | scale) if "sv" in variabilities else 0.0
    half_window = min(start, 1.0 - start)
    sz = draw(st.just(0.0) | st.floats(0.0, 2.0).map(lambda f: f * half_window)) if "sz" in variabilities else 0.0
    window = draw(st.just(0.0) | st.floats(0.0, 1.0).map(lambda f: f * 2.0 * t0)) if "st" in variabilities else 0.0
    rt = (t0 - window / 2.0) + draw(log_uniform(-decades, decades / 2))
    choice = draw(st.booleans())
    # The start window must stay strictly inside the band after rounding.
    assume(start - sz / 2.0 > 0.0 and start + sz / 2.0 < 1.0 and math.isfinite(rt))
    return (rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, window)


def evaluate(batch):
    columns = [np.array([p[i] for p in batch]) for i in range(10)]
    return corvatel.wfpt_logpdf(*columns[:6], noise_sd=columns[6], sv=columns[7], sz=columns[8], st=columns[9])


def positive(p):
    """The density is positive: rt past the earliest response (as the code
    compares them) and finite."""
    rt, _, _, _, _, t0, _, _, _, window = p
    return math.isfinite(rt) and rt > t0 - window / 2.0


# Scales from 1e-40 to 1e40 keep every exponent of the density below 1e250,
# so its logarithm is a finite double wherever the density is positive.
@fixed(200)
@given(st.lists(points(decades=40), min_size=1, max_size=25))
def test_log_density_is_finite_wherever_the_density_is_positive(batch):
    got = evaluate(batch)
    for p, value in zip(batch, got):
        if positive(p):
            assert math.isfinite(value), dict(zip(FIELDS, p))
        else:
            assert value == -math.inf, dict(zip(FIELDS, p))


# Beyond that the logarithm itself may be below the doubles' range (-inf is
# then right), but it is never NaN or +inf.
@fixed(100)
@given(st.lists(points(decades=150), min_size=1, max_size=25))
def test_log_density_is_never_nan_at_any_scale(batch):
    for p, value in zip(batch, evaluate(batch)):
        assert not math.isnan(value) and value != math.inf, dict(zip(FIELDS, p))


ref = pytest.importorskip("wfpt_reference")
mp = pytest.importorskip("mpmath")


def log_error(got, expected):
    """|log got - log expected| against max(1, |log expected|): relative error
    of the density, or of its log where that is far from 0."""
    log_expected = float(mp.log(expected))
    return abs(got - log_expected) / max(1.0, abs(log_expected))


@st.composite
def moderate_points(draw, variability):
    """Ranges where the reference converges in well under a second: boundary
    and noise within two decades, |drift| up to 20 (10 with variabilities),
    decision times from 1e-3 to 30 of the time scale (boundary / noise)^2."""
    noise_sd = draw(st.just(1.0) | log_uniform(-0.7, 0.7))
    boundary = draw(log_uniform(-1.5, 1.0)) * (noise_sd if variability else 1.0)
    drift = draw(st.floats(-10.0, 10.0) if variability else st.floats(-20.0, 20.0))
    start = draw(starts(15) if variability is None else st.floats(0.1, 0.9))
    t0 = draw(st.floats(0.05 if variability == "st" else 0.0, 0.5))
    sv = draw(st.floats(0.1, 3.0)) if variability == "sv" else 0.0
    sz = draw(st.floats(0.01, 1.8)) * min(start, 1 - start) if variability == "sz" else 0.0
    window = draw(st.floats(0.01, 1.0)) * 2 * t0 if variability == "st" else 0.0
    scale = (boundary / noise_sd) ** 2
    rt = t0 - window / 2 + scale * draw(log_uniform(-3.0 if variability is None else -1.5, 1.5))
    return (rt, draw(st.booleans()), drift, boundary, start, t0, noise_sd, sv, sz, window)


@fixed(300)
@given(moderate_points(None))
def test_four_parameter_density_matches_reference(p):
    got = evaluate([p])[0]
    assert log_error(got, ref.density(*p[:7])) <= 1e-10, dict(zip(FIELDS, p))


# The reference integrates each variability numerically: about two seconds
# a point with sv or st, a third with sz.
@pytest.mark.reference
@pytest.mark.parametrize("variability, examples", [("sv", 10), ("sz", 25), ("st", 10)])
def test_variability_densities_match_reference(variability, examples):
    @fixed(examples)
    @given(moderate_points(variability))
    def check(p):
        got = evaluate([p])[0]
        expected = ref.full_density(*p)
        assert log_error(got, expected) <= 1e-8, dict(zip(FIELDS, p))

    check()
