"""The first-passage distribution function wfpt_cdf and its log and
complement: against an independent mpmath reference (tests/wfpt_reference.py),
its limits, broadcasting, choice codings, errors and threads. (Ctrl-C on a
large call is in test_threads.py, with the other interruptible calls.)"""

import itertools
import math
import subprocess
import sys
import textwrap

import mpmath as mp
import numpy as np
import pytest
import wfpt_reference as ref

import corvatel

T0 = 0.3
# Decision times from 1 ms to 20 s (both series of the reference, and the
# far tail), drift -5..5, boundary 0.5..4, start 0.1..0.9, both responses.
GRID = list(
    itertools.product(
        [0.001, 0.03, 0.2, 0.7, 2.5, 20.0],
        [-5.0, -1.0, 0.0, 0.4, 5.0],
        [0.5, 1.5, 4.0],
        [0.1, 0.5, 0.9],
        [False, True],
    )
)


def columns(points):
    decision, drift, boundary, start, choice = (np.array(c) for c in zip(*points))
    return T0 + decision, choice, drift, boundary, start


def test_reference_series_agree_with_each_other_and_the_density():
    # The reference's two series meet at u = 0.1, and its small-time series
    # is the integral of its density: a check of the reference itself.
    for drift, boundary, start, choice in [(2.0, 1.0, 0.3, False), (-4.0, 2.5, 0.8, True)]:
        switch = boundary**2 / 10
        below = ref.cdf(T0 + switch * (1 - 1e-30), choice, drift, boundary, start, T0)
        above = ref.cdf(T0 + switch, choice, drift, boundary, start, T0)
        assert abs(below - above) < 1e-25
        early = T0 + switch / 3
        assert abs(ref.cdf(early, choice, drift, boundary, start, T0)
                   - ref.cdf_by_integration(early, choice, drift, boundary, start, T0)) < 1e-15


def test_four_parameter_cdf_matches_reference_on_grid():
    rt, choice, drift, boundary, start = columns(GRID)
    got = corvatel.wfpt_cdf(rt, choice, drift, boundary, start, T0)
    got_complement = corvatel.wfpt_cdf(rt, choice, drift, boundary, start, T0, complement=True)
    log_got = corvatel.wfpt_logcdf(rt, choice, drift, boundary, start, T0)
    log_complement = corvatel.wfpt_logcdf(rt, choice, drift, boundary, start, T0, complement=True)
    worst = worst_log = 0.0
    for i, (d, v, a, z, c) in enumerate(GRID):
        expected = ref.cdf(T0 + d, c, v, a, z, T0)
        expected_complement = ref.cdf(T0 + d, c, v, a, z, T0, complement=True)
        worst = max(worst, abs(got[i] - expected), abs(got_complement[i] - expected_complement))
        # The logs keep their relative digits, far below the smallest double too.
        for log_value, exact in [(log_got[i], expected), (log_complement[i], expected_complement)]:
            if exact > 0:
                worst_log = max(worst_log, abs(log_value - float(mp.log(exact))))
            else:
                assert log_value == -np.inf
    assert worst <= 1e-9
    assert worst_log <= 1e-9


# Every 29th point of the grid (19 points; sv: every 97th, sz and st
# together: every 270th), their references being nested numerical
# integrals (minutes a point for all three together: the C++ tests hold
# those to the density integrated numerically instead).
@pytest.mark.reference
@pytest.mark.parametrize(
    "variability, step",
    [(dict(sv=1.2), 97), (dict(sz=0.15), 29), (dict(st=0.25), 29), (dict(sz=0.15, st=0.25), 270)],
    ids=["sv", "sz", "st", "sz_st"],
)
def test_variability_cdf_matches_reference_on_grid(variability, step):
    points = GRID[::step]
    rt, choice, drift, boundary, start = columns(points)
    got = corvatel.wfpt_cdf(rt, choice, drift, boundary, start, T0, **variability)
    got_complement = corvatel.wfpt_cdf(rt, choice, drift, boundary, start, T0, complement=True, **variability)
    errors = []
    for i, (d, v, a, z, c) in enumerate(points):
        expected = ref.full_cdf(T0 + d, c, v, a, z, T0, **variability)
        expected_complement = ref.full_cdf(T0 + d, c, v, a, z, T0, complement=True, **variability)
        errors += [abs(got[i] - expected), abs(got_complement[i] - expected_complement)]
    assert max(errors) <= 1e-9


@pytest.mark.parametrize("drift, boundary, start", [(1.0, 1.5, 0.5), (-2.5, 0.8, 0.3), (0.0, 2.0, 0.7), (5.0, 4.0, 0.9)])
def test_tends_to_the_response_probability(drift, boundary, start):
    x = 2 * drift * boundary
    p_upper = start if x == 0 else math.expm1(-x * start) / math.expm1(-x)
    for choice, p in [(True, p_upper), (False, 1 - p_upper)]:
        assert corvatel.wfpt_cdf(np.inf, choice, drift, boundary, start, 0.2) == pytest.approx(p, rel=1e-13)
        assert corvatel.wfpt_cdf(1000.0, choice, drift, boundary, start, 0.2) == pytest.approx(p, rel=1e-13)
        assert corvatel.wfpt_cdf(0.2, choice, drift, boundary, start, 0.2, complement=True) == pytest.approx(p, rel=1e-13)


@pytest.mark.parametrize("variability", [{}, dict(sv=1.0), dict(sz=0.3), dict(st=0.2), dict(sv=0.8, sz=0.2, st=0.15)],
                         ids=["none", "sv", "sz", "st", "all"])
def test_both_responses_sum_to_one_and_nothing_comes_before_the_earliest_response(variability):
    both = sum(corvatel.wfpt_cdf(np.inf, c, 0.7, 1.3, 0.45, 0.3, **variability) for c in (False, True))
    assert both == pytest.approx(1.0, abs=1e-10)
    earliest = 0.3 - variability.get("st", 0.0) / 2
    rt = np.array([-np.inf, 0.0, earliest, np.nextafter(earliest, 1)])
    got = corvatel.wfpt_logcdf(rt, True, 0.7, 1.3, 0.45, 0.3, **variability)
    assert np.all(got[:3] == -np.inf) and got[3] < -100


def test_complement_keeps_its_digits_where_the_difference_would_not():
    # 40 s after t0 P - F is e^-183 below P: a difference would give 0 (or
    # noise); the complement matches the reference's large-time series.
    got = corvatel.wfpt_logcdf(40.3, False, 1.5, 1.2, 0.4, 0.3, complement=True)
    expected = mp.log(ref.cdf(40.3, False, 1.5, 1.2, 0.4, 0.3, complement=True))
    assert got < -180 and abs(got - float(expected)) <= 1e-12 * abs(got)
    assert corvatel.wfpt_cdf(40.3, False, 1.5, 1.2, 0.4, 0.3) == corvatel.wfpt_cdf(np.inf, False, 1.5, 1.2, 0.4, 0.3)


def test_broadcasting_and_shapes():
    rt = np.linspace(0.35, 2.0, 12).reshape(3, 4)
    drift = np.array([0.5, 1.0, 1.5, 2.0])
    got = corvatel.wfpt_cdf(rt, True, drift, 1.5, 0.5, 0.3)
    assert got.shape == (3, 4)
    one = corvatel.wfpt_cdf(float(rt[2, 1]), True, 1.0, 1.5, 0.5, 0.3)
    assert isinstance(one, float) and got[2, 1] == one
    assert corvatel.wfpt_logcdf(np.empty((0, 3)), True, 1.0, 1.5, 0.5, 0.3).shape == (0, 3)
    log = corvatel.wfpt_logcdf(rt, np.array([[True], [False], [True]]), drift, 1.5, 0.5, 0.3)
    assert log.shape == (3, 4) and log[1, 2] == corvatel.wfpt_logcdf(float(rt[1, 2]), False, 1.5, 1.5, 0.5, 0.3)
    np.testing.assert_allclose(np.exp(corvatel.wfpt_logcdf(rt, True, drift, 1.5, 0.5, 0.3)), got, rtol=1e-15)


UPPER = corvatel.wfpt_cdf(0.6, True, 1.0, 1.5, 0.5, 0.3)
LOWER = corvatel.wfpt_cdf(0.6, False, 1.0, 1.5, 0.5, 0.3)


@pytest.mark.parametrize(
    "choice, expected",
    [(True, [UPPER]), (np.False_, [LOWER]), (1, [UPPER]), (0, [LOWER]), (np.uint8(1), [UPPER]),
     (np.array([0, 1, 1], dtype=np.int32), [LOWER, UPPER, UPPER]), ([True, False], [UPPER, LOWER])],
    ids=["bool", "numpy bool", "int 1", "int 0", "uint8", "int array", "list"],
)
def test_choice_codings_accepted(choice, expected):
    assert np.atleast_1d(corvatel.wfpt_cdf(0.6, choice, 1.0, 1.5, 0.5, 0.3)).tolist() == expected


@pytest.mark.parametrize(
    "choice, error",
    [("1", TypeError), (1.0, TypeError), (np.nan, TypeError), (None, TypeError), (-1, ValueError),
     (2, ValueError), (np.array([0, 1, 2]), ValueError)],
    ids=["str", "float one", "nan", "None", "-1", "2", "array with 2"],
)
def test_other_choices_are_refused_naming_choice(choice, error):
    for function in (corvatel.wfpt_cdf, corvatel.wfpt_logcdf):
        with pytest.raises(error, match="choice"):
            function(0.6, choice, 1.0, 1.5, 0.5, 0.3)


@pytest.mark.parametrize("complement", ["False", 1, None, np.array([True])])
def test_complement_must_be_a_bool(complement):
    # A truthy "False" gave the complement.
    for function in (corvatel.wfpt_cdf, corvatel.wfpt_logcdf):
        with pytest.raises(TypeError, match="complement must be True or False"):
            function(0.6, True, 1.0, 1.5, 0.5, 0.3, complement=complement)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(boundary=0.0), "boundary must be positive"),
        (dict(start=1.0), "start must be strictly between 0 and 1"),
        (dict(t0=-0.1), "t0 must be non-negative"),
        (dict(noise_sd=np.inf), "noise_sd"),
        (dict(sv=-1.0), "sv must be non-negative"),
        (dict(sz=0.9), "sz must keep"),
        (dict(st=0.7), "st"),
        (dict(drift=np.nan), "drift"),
        (dict(rt=np.nan), "rt must not be NaN"),
    ],
)
def test_invalid_arguments_raise_the_densities_errors(kwargs, message):
    args = dict(rt=0.5, choice=True, drift=1.0, boundary=1.0, start=0.55, t0=0.3)
    args.update(kwargs)
    for complement in (False, True):
        with pytest.raises(ValueError, match=message):
            corvatel.wfpt_cdf(**args, complement=complement)
        with pytest.raises(ValueError, match=message) as density_error:
            corvatel.wfpt_logpdf(**args)
        with pytest.raises(ValueError) as cdf_error:
            corvatel.wfpt_logcdf(**args, complement=complement)
        assert str(cdf_error.value) == str(density_error.value)
    with pytest.raises(ValueError, match="boundary"):
        corvatel.wfpt_cdf(0.5, True, 1.0, np.array([1.0, -1.0, 2.0]), 0.5, 0.3)


@pytest.mark.slow
def test_the_same_bits_on_one_and_two_threads():
    # Batches above 16 elements go to the pool in pieces.
    before = corvatel.get_num_threads()
    rts = np.linspace(0.2, 3.0, 101)
    choices = np.arange(rts.size) % 3 == 0
    drifts = np.linspace(-2, 2, rts.size)
    kw = dict(sv=0.8, sz=0.2, st=0.15)
    try:
        results = []
        for k in (1, 2):
            corvatel.set_num_threads(k)
            results.append(corvatel.wfpt_logcdf(rts, choices, drifts, 1.4, 0.45, 0.3, **kw).tobytes()
                           + corvatel.wfpt_cdf(rts * 3, choices, drifts, 1.4, 0.45, 0.3, **kw).tobytes())
    finally:
        corvatel.set_num_threads(before)
    assert results[0] == results[1]
    assert corvatel.wfpt_logcdf(float(rts[7]), bool(choices[7]), float(drifts[7]), 1.4, 0.45, 0.3, **kw) == \
        np.frombuffer(results[0][:8 * rts.size])[7]


def test_broadcast_larger_than_memory_raises_at_once():
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import numpy as np
            import corvatel
            try:
                corvatel.wfpt_cdf(np.full((44722, 1), .8), True, np.full((1, 44722), 1.), 1.5, .5, .3)
            except MemoryError as e:
                print(e)
            """)],
        capture_output=True, text=True, timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "wfpt_cdf: 2000057284 values need more memory than this machine can give"
