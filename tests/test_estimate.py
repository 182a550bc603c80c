import math
import sys

import numpy as np
import pytest

import corvatel
from reference import bits, load_vectors, trials_arrays

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]
NOT_ENOUGH_DATA_0 = "not enough data: 0 non-timed-out trial(s), need at least 2"
NOT_ENOUGH_CORRECT_0 = (
    "not enough correct responses: 0 upper-boundary trial(s), need at least 2 to form RT statistics"
)
CHANCE = "accuracy is exactly 0.5; drift rate is not identifiable from chance performance"
NON_POSITIVE_VARIANCE = "the RT variance of correct responses is not positive; cannot recover parameters"


def ez_reference(choices, rts):
    """The EZ-diffusion computation written out independently, one IEEE
    operation at a time in the defined order: a dict, or an error message."""
    n_valid = len(choices)
    if n_valid < 2:
        return f"not enough data: {n_valid} non-timed-out trial(s), need at least 2"
    upper = [float(r) for c, r in zip(choices, rts) if c]
    if len(upper) < 2:
        return (f"not enough correct responses: {len(upper)} upper-boundary trial(s), "
                "need at least 2 to form RT statistics")
    total = 0.0
    for r in upper:
        total += r
    mrt = total / float(len(upper))
    squares = 0.0
    for r in upper:
        squares += (r - mrt) * (r - mrt)
    vrt = squares / (float(len(upper)) - 1.0)
    pc = float(len(upper)) / float(n_valid)
    if pc == 1.0:
        pc = 1.0 - 1.0 / (2.0 * float(n_valid))
    elif pc == 0.5:
        return CHANCE
    if not vrt > 0.0:
        return NON_POSITIVE_VARIANCE
    logit = math.log(pc / (1.0 - pc))
    x = (((pc * (pc * logit) - pc * logit) + pc) - 0.5) * logit / vrt
    if not x >= 0.0:
        return "the EZ-diffusion equations have no real solution for these summary statistics"
    v = math.pow(x, 0.25) * math.copysign(1.0, pc - 0.5)
    a = logit / v
    e = math.exp(-v * a)
    t0 = mrt - ((1.0 - e) / (e + 1.0)) * (a / (v + v))
    return dict(zip(KEYS, [v, a, 0.5, t0, 1.0]))


def reference_cases():
    cases = []
    for c in load_vectors("ez.json")["cases"]:
        cases.append(pytest.param(c["trials"], c["expected"], id=c["name"]))
    for c in load_vectors("stats.json")["cases"]:
        if c["ez"] is not None:
            cases.append(pytest.param(c["trials"], c["ez"], id="stats: " + c["name"]))
    return cases


@pytest.mark.parametrize("trials, expected", reference_cases())
def test_reference_estimates(trials, expected):
    choices, rts = trials_arrays(trials)
    if "error" in expected:
        with pytest.raises(corvatel.CorvatelError) as info:
            corvatel.fit_ez(choices, rts)
        assert str(info.value) == expected["error"]["message"]
        return
    result = corvatel.fit_ez(choices, rts)
    assert list(result) == KEYS
    assert {k: bits(v) for k, v in result.items()} == {k: expected["ok"][k] for k in KEYS}


def test_matches_independent_computation_bit_for_bit(simulated_data):
    choices, rts = simulated_data
    result = corvatel.fit_ez(choices, rts)
    assert {k: bits(v) for k, v in result.items()} == {k: bits(v) for k, v in ez_reference(choices, rts).items()}


try:
    from hypothesis import given, settings, strategies as st
    from hypothesis.extra.numpy import arrays
except ImportError:  # pragma: no cover - hypothesis is a test extra
    given = None

if given is not None:

    @settings(max_examples=300, deadline=None)
    @given(
        choices=arrays(np.bool_, st.integers(0, 60)),
        rt_values=st.lists(st.floats(0.05, 5.0, allow_nan=False, width=64), min_size=60, max_size=60),
    )
    def test_any_data_matches_independent_computation(choices, rt_values):
        rts = np.array(rt_values[: len(choices)], dtype=np.float64)
        expected = ez_reference(choices, rts)
        if isinstance(expected, str):
            with pytest.raises(corvatel.CorvatelError) as info:
                corvatel.fit_ez(choices, rts)
            assert str(info.value) == expected
        else:
            result = corvatel.fit_ez(choices, rts)
            assert [bits(v) for v in result.values()] == [bits(v) for v in expected.values()]


@pytest.mark.parametrize(
    "choices, rts, message",
    [
        ([], [], NOT_ENOUGH_DATA_0),
        ([True], [0.5], "not enough data: 1 non-timed-out trial(s), need at least 2"),
        ([False] * 5, [0.5] * 5, NOT_ENOUGH_CORRECT_0),
        ([True] + [False] * 9, [0.5] * 10,
         "not enough correct responses: 1 upper-boundary trial(s), need at least 2 to form RT statistics"),
        ([True, True, False, False], [0.5, 0.6, 0.7, 0.8], CHANCE),
        ([True, True, False, False], [0.5, 0.5, 0.7, 0.8], CHANCE),  # chance is checked before variance
        ([True, True, True], [0.5, 0.5, 0.5], NON_POSITIVE_VARIANCE),
        ([True, True, False], [math.nan, 0.5, 0.5], NON_POSITIVE_VARIANCE),
    ],
)
def test_recovery_failures(choices, rts, message):
    with pytest.raises(corvatel.CorvatelError) as info:
        corvatel.fit_ez(np.array(choices, dtype=bool), np.array(rts, dtype=np.float64))
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert isinstance(info.value, ValueError)


def test_accuracy_below_half_gives_negative_drift():
    rts = np.linspace(0.4, 0.9, 40)
    low = corvatel.fit_ez(np.arange(40) < 8, rts)  # 8 of 40 upper
    high = corvatel.fit_ez(np.arange(10) < 8, rts[:10].copy())
    assert low["drift_rate"] < 0 < high["drift_rate"]
    assert low["boundary_separation"] > 0


def test_keywords_and_positions_agree(simulated_data):
    choices, rts = simulated_data
    assert corvatel.fit_ez(rts=rts, choices=choices) == corvatel.fit_ez(choices, rts)


def test_arrays_are_neither_changed_nor_kept(simulated_data):
    choices, rts = simulated_data
    before = (choices.copy(), rts.copy())
    counts = (sys.getrefcount(choices), sys.getrefcount(rts))
    corvatel.fit_ez(choices, rts)
    with pytest.raises(corvatel.CorvatelError):
        corvatel.fit_ez(choices[:1], rts[:1])
    assert (sys.getrefcount(choices), sys.getrefcount(rts)) == counts
    assert np.array_equal(choices, before[0]) and rts.tobytes() == before[1].tobytes()


def test_read_only_and_subclassed_arrays(simulated_data, tmp_path):
    choices, rts = simulated_data
    expected = corvatel.fit_ez(choices, rts)
    frozen_c, frozen_r = choices.copy(), rts.copy()
    frozen_c.flags.writeable = False
    frozen_r.flags.writeable = False
    assert corvatel.fit_ez(frozen_c, frozen_r) == expected
    # A memmap is an ndarray subclass with its own buffer.
    mapped = np.memmap(tmp_path / "rts.f8", dtype=np.float64, mode="w+", shape=rts.shape)
    mapped[:] = rts
    assert corvatel.fit_ez(choices, mapped) == expected
    del mapped


@pytest.mark.parametrize(
    "choices, rts, argument, message",
    [
        ([True, False], np.zeros(2), "choices", "'list' object is not an instance of 'ndarray'"),
        (None, np.zeros(2), "choices", "'None' is not an instance of 'ndarray'"),
        (np.array([1, 0]), np.zeros(2), "choices", "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 1), bool), np.zeros(2), "choices", "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(2, bool), (0.5, 0.6), "rts", "'tuple' object is not an instance of 'ndarray'"),
        (np.zeros(2, bool), np.zeros(2, np.float32), "rts", "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(2, bool), np.zeros((1, 2)), "rts", "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(2, bool), np.float64(0.5), "rts", "'float64' object is not an instance of 'ndarray'"),
        # Big-endian floats would be read as garbage: refused like any other dtype.
        (np.zeros(2, bool), np.zeros(2, dtype=">f8"), "rts", "'ndarray' object is not an instance of 'ndarray'"),
    ],
)
def test_argument_type_errors(choices, rts, argument, message):
    with pytest.raises(TypeError) as info:
        corvatel.fit_ez(choices, rts)
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{argument}'"]


def test_choices_are_checked_before_rts():
    with pytest.raises(TypeError) as info:
        corvatel.fit_ez([1], [2])
    assert info.value.__notes__ == ["while processing 'choices'"]


def test_non_contiguous_arrays_are_refused():
    rts = np.linspace(0.3, 1.0, 6)
    with pytest.raises(ValueError) as info:
        corvatel.fit_ez(np.ones(3, bool), rts[::2])
    assert str(info.value) == (
        "`rts` must be a contiguous 1-D array: The given array is not contiguous or is misaligned."
    )
    assert not isinstance(info.value, corvatel.CorvatelError)
    with pytest.raises(ValueError, match="^`choices` must be a contiguous"):
        corvatel.fit_ez(np.ones(6, bool)[::2], rts[::2])
    # Empty and one-element views need no contiguity.
    with pytest.raises(corvatel.CorvatelError, match="^not enough data: 0"):
        corvatel.fit_ez(np.ones(4, bool)[4:0:2], rts[6:0:2])
    with pytest.raises(corvatel.CorvatelError, match="^not enough data: 1"):
        corvatel.fit_ez(np.ones(4, bool)[::4], rts[::6])


def test_misaligned_array_is_refused():
    raw = np.zeros(8 * 4 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64)
    assert not misaligned.flags.aligned
    with pytest.raises(ValueError, match="^`rts` must be a contiguous"):
        corvatel.fit_ez(np.ones(4, bool), misaligned)


@pytest.mark.parametrize("n_choices, n_rts", [(3, 4), (0, 1), (3, 5)])
def test_length_mismatch(n_choices, n_rts):
    with pytest.raises(ValueError) as info:
        corvatel.fit_ez(np.ones(n_choices, bool), np.ones(n_rts))
    assert str(info.value) == f"choices and rts must have equal length ({n_choices} vs {n_rts})"
    assert not isinstance(info.value, corvatel.CorvatelError)


def test_recovers_known_parameters():
    truth = dict(drift_rate=1.0, boundary_separation=1.5, non_decision_time=0.3)
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 20_000, 11)
    result = corvatel.fit_ez(choices, rts)
    assert result["starting_point"] == 0.5 and result["noise_sd"] == 1.0
    # Over 20 seeds of 20 000 trials the estimates scatter with standard
    # deviations of about 1.1 % (drift), 0.5 % (boundary) and 3.5 ms (t0);
    # the 1 ms Euler step biases the boundary up by about 2.5 %. The bounds
    # allow that bias plus four to five standard deviations.
    assert result["drift_rate"] == pytest.approx(truth["drift_rate"], rel=0.05)
    assert result["boundary_separation"] == pytest.approx(truth["boundary_separation"], rel=0.05)
    assert result["non_decision_time"] == pytest.approx(truth["non_decision_time"], abs=0.015)
