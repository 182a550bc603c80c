"""simulate_bounds (trials between time-varying bounds, with leak and
urgency) and simulate_data(bound=...): the standard model is simulate_full's,
argument errors name the argument as simulate_full and bounds_logpdf do, and
a simulated angle table round-trips through fit(method="ml", model="angle")."""

import math

import numpy as np
import pandas as pd
import pytest

import corvatel

TRUTH = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)
VARIED = dict(drift=0.8, boundary=2.5, start=0.45, t0=0.3, noise_sd=1.2, sv=1.1, sz=0.5, st=0.2)


def same_trials(a, b):
    choices_a, rts_a, excluded_a = a
    choices_b, rts_b, excluded_b = b
    assert excluded_a == excluded_b
    np.testing.assert_array_equal(choices_a, choices_b)
    assert rts_a.tobytes() == rts_b.tobytes()


@pytest.mark.parametrize("params", [TRUTH, VARIED], ids=["plain", "variabilities"])
def test_standard_model_is_simulate_full(params):
    full = corvatel.simulate_full(n=4000, seed=12, **params)
    same_trials(corvatel.simulate_bounds(4000, seed=12, **params), full)
    same_trials(corvatel.simulate_bounds(4000, seed=12, bound="angle", theta=0.0, **params), full)


MODELS = {
    "angle": dict(bound="angle", theta=0.4),
    "weibull": dict(bound="weibull", shape=2.0, scale=1.0),
    "exponential": dict(bound="exponential", rate=1.0),
    "hyperbolic": dict(bound="hyperbolic", rate=1.5),
    "leak_urgency": dict(leak=2.0, urgency=1.0),
    "fine_step": dict(bound="angle", theta=0.2, dt=2e-4),
}


@pytest.mark.parametrize("model", MODELS.values(), ids=MODELS.keys())
def test_trials_do_not_depend_on_the_threads_and_shorter_batches_begin_longer_ones(model):
    previous = corvatel.get_num_threads()
    try:
        corvatel.set_num_threads(1)
        one = corvatel.simulate_bounds(3000, seed=5, **VARIED, **model)
        corvatel.set_num_threads(3)
        three = corvatel.simulate_bounds(3000, seed=5, **VARIED, **model)
    finally:
        corvatel.set_num_threads(previous)
    same_trials(one, three)
    short = corvatel.simulate_bounds(100, seed=5, **VARIED, **model)
    assert short[2] == 0 and one[2] == 0
    np.testing.assert_array_equal(short[0], one[0][:100])
    assert short[1].tobytes() == one[1][:100].tobytes()
    # and the model is not the standard one
    assert one[1].tobytes() != corvatel.simulate_full(n=3000, seed=5, **VARIED)[1].tobytes()


def test_collapsing_bounds_shorten_the_slow_trials():
    constant = corvatel.simulate_bounds(20_000, seed=3, **TRUTH)[1]
    angle = corvatel.simulate_bounds(20_000, seed=3, bound="angle", theta=0.5, **TRUTH)[1]
    # An angle bound of 0.5 rad closes at 0.75 / tan(0.5) = 1.37 s of decision time.
    assert angle.max() <= 0.3 + 0.75 / math.tan(0.5) + 0.001
    assert constant.max() > 2.5
    assert np.quantile(angle, 0.9) < np.quantile(constant, 0.9) - 0.1


def test_leak_keeps_walks_inside_until_the_cap():
    # A leak of 20/s holds a weak walk near the middle: most trials time out.
    choices, rts, excluded = corvatel.simulate_bounds(200, 0.5, 2.0, 0.5, 0.0, leak=20.0, noise_sd=0.5, seed=1)
    assert excluded > 150 and len(rts) == 200 - excluded


# Arguments that simulate_bounds shares with simulate_full: the same error.
SHARED_BAD = [
    dict(boundary=0.0), dict(boundary=math.nan), dict(start=1.5), dict(t0=-0.1), dict(noise_sd=0.0),
    dict(sv=-1.0), dict(sz=1.2), dict(st=0.7), dict(drift="fast"), dict(n=-1), dict(seed=2**64), dict(n=2**63),
]


@pytest.mark.parametrize("bad", SHARED_BAD, ids=lambda d: "-".join(f"{k}={v}" for k, v in d.items()))
def test_shared_arguments_fail_as_in_simulate_full(bad):
    arguments = dict(n=10, seed=1, **TRUTH)
    arguments.update(bad)
    with pytest.raises(Exception) as want:
        corvatel.simulate_full(**arguments)
    with pytest.raises(want.type) as got:
        corvatel.simulate_bounds(bound="angle", theta=0.3, **arguments)
    assert str(got.value) == str(want.value)
    assert getattr(got.value, "__notes__", None) == getattr(want.value, "__notes__", None)


BOUND_BAD = [
    (dict(bound="square"), ValueError, "bound must be"),
    (dict(bound="angle", theta=1.6), ValueError, "theta must be in (-pi/2, pi/2)"),
    (dict(bound="weibull", shape=0.0), ValueError, "shape must be positive and finite"),
    (dict(bound="weibull", scale=math.inf), ValueError, "scale must be positive and finite"),
    (dict(bound="exponential", rate=-1.0), ValueError, "rate must be non-negative and finite"),
    (dict(leak=-0.5), ValueError, "leak must be non-negative and finite"),
    (dict(urgency=math.nan), ValueError, "urgency must be non-negative and finite"),
    (dict(dt=0.0), ValueError, "dt must be positive and at most 0.1, with at most 1000000 steps to the 10 s cap"),
    (dict(dt=5e-6), ValueError, "dt must be positive and at most 0.1"),
    # Steps of seconds kept decisions past the 10 s cap (12 s at dt 3).
    (dict(dt=3.0), ValueError, "dt must be positive and at most 0.1"),
    (dict(dt="small"), TypeError, "dt"),
    (dict(bound="angle", theta="steep"), TypeError, "theta"),
]


@pytest.mark.parametrize("bad, error, text", BOUND_BAD, ids=[str(b[0]) for b in BOUND_BAD])
def test_bound_arguments_fail_naming_the_argument(bad, error, text):
    with pytest.raises(error) as raised:
        corvatel.simulate_bounds(10, seed=1, **TRUTH, **bad)
    said = " ".join([str(raised.value)] + getattr(raised.value, "__notes__", []))
    assert text in said
    if error is ValueError and "bound" not in bad:
        # the solver's own wording, where it has one
        try:
            corvatel.bounds_logpdf(0.5, True, **TRUTH, **{k: v for k, v in bad.items() if k != "dt"})
        except ValueError as solver:
            assert str(solver) == str(raised.value)


def test_parameters_a_bound_does_not_use_are_ignored():
    same_trials(corvatel.simulate_bounds(500, seed=2, bound="weibull", theta=9.0, rate=-1.0, **TRUTH),
                corvatel.simulate_bounds(500, seed=2, bound="weibull", **TRUTH))


# ---------------------------------------------------------------------------
# simulate_data(bound=...)

def test_simulate_data_without_bound_keeps_such_columns_as_labels():
    params = pd.DataFrame({**{k: [v, v] for k, v in TRUTH.items()}, "theta": [0.1, 0.2]})
    table = corvatel.simulate_data(params, 300, 8)
    assert list(table.columns) == ["theta", "trial", "choice", "rt"]
    first = corvatel.simulate(n=300, seed=corvatel.derive_seed(8, 0), **TRUTH)
    assert table["rt"][table["theta"] == 0.1].to_numpy().tobytes() == first[1].tobytes()


def test_simulate_data_with_a_constant_bound_and_no_leak_is_the_plain_table():
    params = pd.DataFrame({"cond": ["a", "b"], "drift": [1.0, 2.0], "boundary": [1.5, 1.2], "start": [0.5, 0.4],
                           "t0": [0.3, 0.2], "sv": [0.0, 0.5]})
    plain = corvatel.simulate_data(params, 400, 21)
    bounded = corvatel.simulate_data(params, 400, 21, bound="constant")
    pd.testing.assert_frame_equal(plain, bounded)
    assert plain.attrs == bounded.attrs


def test_simulate_data_reads_the_bound_columns_of_each_row():
    params = pd.DataFrame({"cond": ["a", "b"], "drift": [1.0, 0.5], "boundary": [1.5, 2.0], "start": [0.5, 0.5],
                           "t0": [0.3, 0.2], "theta": [0.3, 0.1], "leak": [0.0, 1.0], "urgency": [0.5, 0.0]})
    table = corvatel.simulate_data(params, 500, 4, bound="angle")
    assert list(table.columns) == ["cond", "trial", "choice", "rt"]
    for i, row in params.iterrows():
        want = corvatel.simulate_bounds(500, row["drift"], row["boundary"], row["start"], row["t0"], bound="angle",
                                        theta=row["theta"], leak=row["leak"], urgency=row["urgency"],
                                        seed=corvatel.derive_seed(4, i))
        got = table[table["cond"] == row["cond"]]
        assert got["rt"].to_numpy().tobytes() == want[1].tobytes()
        np.testing.assert_array_equal(got["choice"].to_numpy(), want[0])
    # leak and urgency columns with the constant bound
    leaky = corvatel.simulate_data(params.drop(columns="theta"), 500, 4, bound="constant")
    want = corvatel.simulate_bounds(500, 0.5, 2.0, 0.5, 0.2, leak=1.0, seed=corvatel.derive_seed(4, 1))
    assert leaky["rt"][leaky["cond"] == "b"].to_numpy().tobytes() == want[1].tobytes()


def test_simulate_data_names_the_row_of_a_bad_bound_value():
    params = pd.DataFrame({**{k: [v, v] for k, v in TRUTH.items()}, "theta": [0.3, 2.0]})
    with pytest.raises(ValueError, match=r"theta must be in \(-pi/2, pi/2\)") as raised:
        corvatel.simulate_data(params, 10, 1, bound="angle")
    assert raised.value.__notes__ == ["in params row 1"]
    with pytest.raises(ValueError, match="bound must be"):
        corvatel.simulate_data(params, 10, 1, bound="square")
    with pytest.raises(ValueError, match="params column 'leak' must hold numbers"):
        corvatel.simulate_data({**TRUTH, "leak": "none"}, 10, 1, bound="constant")


# Two conditions of 1 000 trials each, fixed seed. The walk's 1 ms step puts
# its bounds about 0.58 sqrt(0.001) = 0.018 further out than the fitted
# model's (and its times up to 1 ms late); the fitted theta's standard error
# at 1 000 trials is about 0.03 rad. Tolerance 0.1 rad: about three standard
# errors beyond the step's bias.
ROUND_TRIP_THETA_TOLERANCE = 0.1


def test_simulate_data_round_trips_into_the_angle_fit():
    params = pd.DataFrame({"cond": ["slow", "fast"], "drift": [1.0, 1.0], "boundary": [1.5, 1.5],
                           "start": [0.5, 0.5], "t0": [0.3, 0.3], "theta": [0.15, 0.5]})
    table = corvatel.simulate_data(params, 1000, 2027, bound="angle")
    fits = corvatel.fit(table, by="cond", method="ml", model="angle", progress=False)
    for _, fit in fits.iterrows():
        truth = params.loc[params["cond"] == fit["cond"], "theta"].item()
        assert abs(fit["theta"] - truth) < ROUND_TRIP_THETA_TOLERANCE, (fit["cond"], fit["theta"])
