import collections
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import corvatel
from reference import FORK_WITH_THREADS, bits, f64, load_vectors, result_in_forked_child, results_in_threads, ticks_during, trials_arrays

PARAM_KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]
RESULT_KEYS = PARAM_KEYS + ["iterations", "final_cost"]
GUESS = {"drift_rate": 1.0, "boundary_separation": 1.5, "non_decision_time": 0.3}
NO_USABLE_TARGET = "target data has no usable trials, or fewer than two upper-boundary trials"


@pytest.fixture(scope="module")
def data():
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 400, 21)
    return choices, rts


def fit_cases():
    return [pytest.param(c, id=c["name"]) for c in load_vectors("fit_sim.json")["cases"]]


@pytest.mark.parametrize("case", fit_cases())
def test_reference_fits(case):
    choices, rts = trials_arrays(case["trials"])
    guess = case["initial_guess"]
    if guess is not None:
        guess = {k: f64(v) for k, v in guess.items()}
    expected = case["expected"]
    if "error" in expected:
        with pytest.raises(corvatel.CorvatelError) as info:
            corvatel.fit_sim(choices, rts, guess, int(case["max_iters"]))
        assert str(info.value) == expected["error"]["message"]
        return
    result = corvatel.fit_sim(choices, rts, guess, int(case["max_iters"]))
    assert list(result) == RESULT_KEYS
    ok = expected["ok"]
    assert {k: bits(result[k]) for k in PARAM_KEYS} == {k: ok[k] for k in PARAM_KEYS}
    assert result["iterations"] == int(ok["iterations"])
    assert bits(result["final_cost"]) == ok["final_cost"]


def test_result_dict(data):
    result = corvatel.fit_sim(*data, max_iters=4)
    assert list(result) == RESULT_KEYS
    assert result["starting_point"] == 0.5 and result["noise_sd"] == 1.0
    assert type(result["iterations"]) is int and type(result["final_cost"]) is float


def test_same_call_same_result(data):
    assert corvatel.fit_sim(*data, GUESS, 6) == corvatel.fit_sim(*data, GUESS, 6)


def test_omitted_and_none_guess_agree(data):
    assert corvatel.fit_sim(*data, max_iters=3) == corvatel.fit_sim(*data, None, 3)
    assert corvatel.fit_sim(*data, max_iters=3) == corvatel.fit_sim(*data, initial_guess=None, max_iters=3)


def test_results_of_either_fit_are_accepted_as_guesses(data):
    from_ez = corvatel.fit_ez(*data)
    # The EZ estimate is also the default starting point.
    assert corvatel.fit_sim(*data, from_ez, 3) == corvatel.fit_sim(*data, max_iters=3)
    previous = corvatel.fit_sim(*data, GUESS, 3)
    core = {k: previous[k] for k in ("drift_rate", "boundary_separation", "non_decision_time")}
    assert corvatel.fit_sim(*data, previous, 3) == corvatel.fit_sim(*data, core, 3)


def test_guess_defaults_and_ignored_keys(data):
    # starting_point and noise_sd are read but the fit fixes them at 0.5 and 1.
    odd = dict(GUESS, starting_point=0.9, noise_sd=3.0, comment=7)
    assert corvatel.fit_sim(*data, odd, 2) == corvatel.fit_sim(*data, GUESS, 2)


def test_guess_values_are_not_range_checked(data):
    result = corvatel.fit_sim(*data, dict(GUESS, boundary_separation=-1.0), 2)
    assert list(result) == RESULT_KEYS


def test_guess_outside_the_admissible_region_stays_put(data):
    # Every vertex around t0 = -1 is invalid, so both stages stop at once.
    result = corvatel.fit_sim(*data, dict(GUESS, non_decision_time=-1.0), 2**64 - 1)
    assert result["iterations"] == 0
    assert result["final_cost"] == 1e9
    assert result["non_decision_time"] == -1.0


@pytest.mark.parametrize(
    "guess, missing",
    [
        ({"drift_rate": 1.0, "boundary_separation": 1.5}, "non_decision_time"),
        ({"boundary_separation": 1.5}, "drift_rate"),
        ({"drift_rate": 1.0, "non_decision_time": 0.3}, "boundary_separation"),
        ({}, "drift_rate"),
        ({"drift_rate": 1.0}, "boundary_separation"),  # looked up before non_decision_time
    ],
)
def test_missing_guess_key(data, guess, missing):
    with pytest.raises(ValueError) as info:
        corvatel.fit_sim(*data, guess)
    assert str(info.value) == f"initial_guess is missing '{missing}'"
    assert not isinstance(info.value, corvatel.CorvatelError)


class NoisyFloat:
    """A value whose float conversion changes the dict being read."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __float__(self):
        self.change(self.target)
        return 1.0


@pytest.mark.parametrize(
    "guess, error, message",
    [
        ([("drift_rate", 1.0)], TypeError, "'list' object is not an instance of 'dict'"),
        (collections.UserDict(GUESS), TypeError, "'UserDict' object is not an instance of 'dict'"),
        ({**GUESS, 3: 1.0}, TypeError, "'int' object is not an instance of 'str'"),
        ({**GUESS, "note": "fast"}, TypeError, "must be real number, not str"),
        ({**GUESS, "drift_rate": None}, TypeError, "must be real number, not NoneType"),
        ({**GUESS, "drift_rate": 10**400}, OverflowError, "int too large to convert to float"),
    ],
)
def test_guess_conversion_errors(data, guess, error, message):
    with pytest.raises(error) as info:
        corvatel.fit_sim(*data, guess)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'initial_guess'"]


def test_dict_changed_while_read(data):
    guess = dict(GUESS)
    guess["extra"] = NoisyFloat(guess, lambda d: d.update(more=1.0))
    with pytest.raises(RuntimeError) as info:
        corvatel.fit_sim(*data, guess)
    assert str(info.value) == "dictionary changed size during iteration"
    guess = dict(GUESS)
    guess["extra"] = NoisyFloat(guess, lambda d: (d.pop("drift_rate"), d.update(other=2.0)))
    with pytest.raises(RuntimeError) as info:
        corvatel.fit_sim(*data, guess)
    assert str(info.value) == "dictionary keys changed during iteration"
    # Clearing the dict drops its references to the key and value being read.
    guess = {"a": 1.0}
    guess["b"] = NoisyFloat(guess, lambda d: d.clear())
    with pytest.raises(RuntimeError) as info:
        corvatel.fit_sim(*data, guess)
    assert str(info.value) == "dictionary changed size during iteration"


def test_dict_subclasses_are_read(data):
    ordered = collections.OrderedDict(GUESS)
    assert corvatel.fit_sim(*data, ordered, 2) == corvatel.fit_sim(*data, GUESS, 2)


@pytest.mark.parametrize(
    "max_iters, error",
    [(-1, OverflowError), (2**64, OverflowError), (None, TypeError), (10.0, TypeError), ("5", TypeError)],
)
def test_max_iters_conversion(data, max_iters, error):
    with pytest.raises(error) as info:
        corvatel.fit_sim(*data, GUESS, max_iters)
    assert info.value.__notes__ == ["while processing 'max_iters'"]


def test_every_stage_runs_at_least_once(data):
    for max_iters in (0, 1):
        result = corvatel.fit_sim(*data, GUESS, max_iters)
        assert 0 < result["iterations"] <= 2


def test_errors_come_in_order(data):
    choices, rts = data
    strided = np.linspace(0.3, 1.0, 2 * len(rts))[::2]
    # A bad guess value is a conversion error: it beats a non-contiguous array.
    with pytest.raises(TypeError):
        corvatel.fit_sim(choices, strided, {"drift_rate": "x"})
    # A missing key is found only once both arrays are good.
    with pytest.raises(ValueError, match="^`rts` must be a contiguous"):
        corvatel.fit_sim(choices, strided, {})
    with pytest.raises(ValueError, match="^choices and rts must have equal length"):
        corvatel.fit_sim(choices[:-1], rts, {})
    # max_iters is converted after initial_guess.
    with pytest.raises(TypeError) as info:
        corvatel.fit_sim(choices, rts, [], -1)
    assert info.value.__notes__ == ["while processing 'initial_guess'"]


@pytest.mark.parametrize("guess", [None, GUESS])
def test_too_few_correct_responses(guess):
    choices = np.array([True, False, False, False])
    with pytest.raises(corvatel.CorvatelError) as info:
        corvatel.fit_sim(choices, np.linspace(0.4, 0.8, 4), guess)
    assert str(info.value) == NO_USABLE_TARGET


def test_nan_target_is_an_optimizer_failure():
    choices = np.array([True, True, True, False])
    rts = np.array([0.5, math.nan, 0.7, 0.6])
    with pytest.raises(corvatel.CorvatelError) as info:
        corvatel.fit_sim(choices, rts, GUESS)
    assert str(info.value).startswith(
        'optimizer error: Potential bug: "`NelderMead`: Reached unreachable point.". '
        "This is potentially a bug. Please file a report on https://"
    )


def test_other_threads_run_during_a_fit(data):
    assert ticks_during(lambda: corvatel.fit_sim(*data, GUESS, 20)) > 1000


def test_concurrent_fits_match_single_fits(data):
    calls = [lambda d=d: corvatel.fit_sim(*data, dict(GUESS, drift_rate=d), 5) for d in (0.6, 0.9, 1.2)]
    alone = [call() for call in calls]
    assert results_in_threads(calls) == alone


ONE_WORKER_FIT = """
import os, sys, json
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import numpy as np, corvatel
choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 400, 21)
print(json.dumps(corvatel.fit_sim(choices, rts, None, 8)))
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors to compare pool sizes")
def test_fit_does_not_depend_on_the_number_of_workers(data):
    import json

    out = subprocess.run([sys.executable, "-c", ONE_WORKER_FIT], capture_output=True, text=True, check=True)
    one_worker = json.loads(out.stdout)
    assert one_worker == corvatel.fit_sim(*data, None, 8)


def short_fit(choices, rts):
    return corvatel.fit_sim(choices, rts, GUESS, 3)


@FORK_WITH_THREADS
def test_forked_child_can_fit(data):
    assert result_in_forked_child(short_fit, *data) == short_fit(*data)


@pytest.mark.slow
def test_recovers_known_parameters():
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 4000, 99)
    result = corvatel.fit_sim(choices, rts)
    assert result["final_cost"] < 1e-3
    # Over 12 seeds of 4000 trials the fitted values scatter with standard
    # deviations of about 4 % (drift), 2 % (boundary) and 12 ms (t0), with no
    # visible bias; the bounds allow three to four of them.
    assert result["drift_rate"] == pytest.approx(1.0, rel=0.15)
    assert result["boundary_separation"] == pytest.approx(1.5, rel=0.08)
    assert result["non_decision_time"] == pytest.approx(0.3, abs=0.04)
