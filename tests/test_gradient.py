"""wfpt_logpdf_grad: each derivative against central differences of the
independent mpmath density, the log density as wfpt_logpdf's, broadcasting
and errors as wfpt_logpdf's."""

import math

import mpmath as mp
import numpy as np
import pytest
import wfpt_reference as ref

import corvatel

PARAMS = ("drift", "boundary", "start", "t0", "sv", "sz", "st")

# (rt, choice, drift, boundary, start, t0, sv, sz, st): short and long
# times on both series, both responses, each variability alone and together.
FOUR = [
    (0.35, True, 1.2, 1.5, 0.55, 0.3, 0.0, 0.0, 0.0),
    (0.32, False, 0.5, 1.0, 0.3, 0.3, 0.0, 0.0, 0.0),
    (2.4, False, -0.8, 2.0, 0.4, 0.25, 0.0, 0.0, 0.0),
    (0.9, True, 3.0, 0.8, 0.7, 0.2, 0.0, 0.0, 0.0),
]
SV = [
    (0.7, True, 1.0, 1.4, 0.5, 0.3, 0.9, 0.0, 0.0),
    (3.0, False, 2.0, 1.8, 0.6, 0.3, 1.5, 0.0, 0.0),
]
SZ_ST = [
    (0.6, True, 1.0, 1.4, 0.5, 0.3, 0.0, 0.3, 0.0),
    (0.6, False, -1.0, 1.6, 0.45, 0.35, 0.0, 0.0, 0.2),
    (0.34, True, 1.5, 1.2, 0.5, 0.3, 0.0, 0.0, 0.12),
    # Both windows, decision times across the switch between the two series.
    (1.2, False, 0.9, 1.4, 0.45, 0.3, 0.0, 0.2, 0.2),
]


def reference_slopes(point):
    """d log f / d parameter by central differences of the mpmath density:
    for the four parameters at 40 digits with a step of 1e-12 (error below
    1e-20 relative), for the variabilities at the integrals' own precision
    with a step of 1e-5 (error about 1e-10 relative)."""
    rt, choice, drift, boundary, start, t0, sv, sz, st = point
    args = dict(drift=drift, boundary=boundary, start=start, t0=t0, sv=sv, sz=sz, st=st)
    four = sv == sz == st == 0.0

    def log_density(**changed):
        a = {**args, **changed}
        if four:
            with mp.workdps(40):
                return mp.log(ref.density(mp.mpf(rt), choice, a["drift"], a["boundary"], a["start"], a["t0"]))
        return mp.log(ref.full_density(rt, choice, a["drift"], a["boundary"], a["start"], a["t0"], 1.0,
                                       a["sv"], a["sz"], a["st"]))

    slopes = {}
    for name in PARAMS:
        if args[name] == 0.0 and name in ("sv", "sz", "st"):
            continue
        with mp.workdps(40):
            h = mp.mpf("1e-12") if four else 1e-5
            value = mp.mpf(args[name])
            up = value + h if four else float(args[name] + h)
            down = value - h if four else float(args[name] - h)
            step = (up - down) if four else mp.mpf(up) - mp.mpf(down)
            slopes[name] = float((log_density(**{name: up}) - log_density(**{name: down})) / step)
    return slopes


def check(point, tolerance):
    rt, choice, drift, boundary, start, t0, sv, sz, st = point
    logp, grad = corvatel.wfpt_logpdf_grad(rt, choice, drift, boundary, start, t0, sv=sv, sz=sz, st=st)
    assert logp == corvatel.wfpt_logpdf(rt, choice, drift, boundary, start, t0, sv=sv, sz=sz, st=st)
    for name, expected in reference_slopes(point).items():
        assert grad[name] == pytest.approx(expected, rel=tolerance, abs=tolerance * 1e-3), name


@pytest.mark.reference
@pytest.mark.parametrize("point", FOUR + SV)
def test_four_parameter_and_sv_slopes_match_reference(point):
    check(point, 1e-7)


@pytest.mark.reference
@pytest.mark.parametrize("point", SZ_ST)
def test_window_mean_slopes_match_reference(point):
    check(point, 1e-6)


def test_p_outlier_slope_is_the_mixtures():
    rt = np.array([0.25, 0.6, 1.2, 6.0])  # before t0, inside the window twice, past its end
    p, window = 0.04, (0.0, 5.0)
    logp, grad = corvatel.wfpt_logpdf_grad(rt, True, 1.0, 1.4, 0.5, 0.3, p_outlier=p, outlier_window=window)
    diffusion = corvatel.wfpt_pdf(rt, True, 1.0, 1.4, 0.5, 0.3)
    contaminant = np.where((rt >= window[0]) & (rt <= window[1]), 0.5 / (window[1] - window[0]), 0.0)
    np.testing.assert_allclose(grad["p_outlier"], (contaminant - diffusion) / np.exp(logp), rtol=1e-13)
    plain = corvatel.wfpt_logpdf_grad(rt, True, 1.0, 1.4, 0.5, 0.3)[1]
    share = (1 - p) * diffusion / np.exp(logp)
    for name in ("drift", "boundary", "start", "t0"):
        np.testing.assert_allclose(grad[name], share * plain[name], rtol=1e-13)
    assert grad["drift"][0] == 0.0 and grad["p_outlier"][0] == pytest.approx(1 / p)


def test_broadcasts_like_logpdf_and_keeps_its_bits():
    rng = np.random.default_rng(5)
    rt = 0.3 + rng.exponential(0.5, size=(3, 50))
    choice = rng.random((3, 50)) < 0.6
    drift = np.array([[0.5], [1.0], [2.0]])
    kw = dict(sv=0.4, sz=0.1, p_outlier=0.02)
    logp, grad = corvatel.wfpt_logpdf_grad(rt, choice, drift, 1.3, 0.5, 0.25, **kw)
    np.testing.assert_array_equal(logp, corvatel.wfpt_logpdf(rt, choice, drift, 1.3, 0.5, 0.25, **kw))
    assert sorted(grad) == sorted(PARAMS + ("p_outlier",))
    for name, values in grad.items():
        assert values.shape == (3, 50), name
        assert np.all(np.isfinite(values)), name
        # Each element is the scalar call's.
        assert values[1, 7] == corvatel.wfpt_logpdf_grad(rt[1, 7], choice[1, 7], 1.0, 1.3, 0.5, 0.25, **kw)[1][name]
    scalar_logp, scalar_grad = corvatel.wfpt_logpdf_grad(0.5, 1, 1.0, 1.3, 0.5, 0.25)
    assert isinstance(scalar_logp, float) and all(isinstance(v, float) for v in scalar_grad.values())
    empty_logp, empty_grad = corvatel.wfpt_logpdf_grad(np.empty((0, 2)), True, 1.0, 1.3, 0.5, 0.25)
    assert empty_logp.shape == (0, 2) and all(v.shape == (0, 2) for v in empty_grad.values())


@pytest.mark.parametrize("bad, error, match", [
    (dict(boundary=-1.0), ValueError, "boundary"),
    (dict(sz=1.2), ValueError, "sz"),
    (dict(choice=2), ValueError, "choice"),
    (dict(choice=0.5), TypeError, "choice"),
    (dict(p_outlier=1.5), ValueError, "p_outlier"),
    (dict(outlier_window=(2.0, 1.0)), ValueError, "outlier_window"),
    (dict(drift=math.nan), ValueError, "drift"),
])
def test_bad_arguments_raise_as_logpdf_does(bad, error, match):
    args = dict(rt=0.5, choice=True, drift=1.0, boundary=1.3, start=0.5, t0=0.25)
    args.update(bad)
    with pytest.raises(error, match=match):
        corvatel.wfpt_logpdf_grad(**args)



# Over the whole valid space (scales 1e-20 .. 1e20, starts within 1e-17 of an
# edge, every variability): the log density keeps wfpt_logpdf's bits and
# every derivative is finite wherever the density is positive, 0 where it is
# not. A NaN or infinite slope stalls a gradient-based sampler, so this holds
# where the value is finite, not only where the reference converges.
@pytest.mark.parametrize("variabilities", [(), ("sv",), ("sz", "st"), ("sv", "sz", "st")],
                         ids=["four", "sv", "sz_st", "all"])
def test_slopes_are_finite_wherever_the_density_is_positive(variabilities):
    from hypothesis import given
    from hypothesis import strategies as st
    from test_density_fuzz import FIELDS, evaluate, fixed, points, positive

    @fixed(30)
    @given(st.lists(points(decades=20, variabilities=variabilities), min_size=1, max_size=10))
    def check(batch):
        columns = [np.array([p[i] for p in batch]) for i in range(10)]
        logp, grad = corvatel.wfpt_logpdf_grad(*columns[:6], noise_sd=columns[6], sv=columns[7], sz=columns[8],
                                               st=columns[9])
        np.testing.assert_array_equal(logp, evaluate(batch))
        for k, p in enumerate(batch):
            slopes = {name: grad[name][k] for name in PARAMS}
            if positive(p) and math.isfinite(logp[k]):
                assert all(math.isfinite(v) for v in slopes.values()), (dict(zip(FIELDS, p)), slopes)
            elif not positive(p):
                assert all(v == 0.0 for v in slopes.values()), (dict(zip(FIELDS, p)), slopes)

    check()
