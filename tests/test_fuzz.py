"""Adversarial arguments for every function, each batch in a child process:
only documented exceptions, never a crash or a hang."""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fuzzing

# A few batches in the everyday run; CI's fuzz step raises the count.
BATCHES = int(os.environ.get("CORVATEL_FUZZ_BATCHES", "6"))


@pytest.fixture(autouse=True, scope="module")
def one_child_for_the_module():
    yield
    fuzzing.close_child()


@settings(max_examples=BATCHES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
@given(st.lists(fuzzing.cases(), min_size=1, max_size=40))
def test_adversarial_calls_raise_only_documented_errors(batch):
    failure, _ = fuzzing.run_batch(batch)
    assert failure is None, failure


def test_a_crashing_call_fails_the_batch():
    # The harness itself: a child that dies mid-batch must be reported with
    # the case it was in, not taken for success.
    args = {"drift": ("plain", 1.0), "boundary": ("plain", 1.5), "start": ("plain", 0.5), "t0": ("plain", 0.3), "n": ("plain", 10), "seed": ("plain", 1)}
    fine = ("simulate", args, "keyword")
    crash = ("simulate", {**args, "seed": ("numlike", 1, "index", ("abort",))}, "keyword")
    failure, outcomes = fuzzing.run_batch([fine, crash, fine])
    assert failure is not None and "status -6" in failure and "case 1" in failure
    assert outcomes == [("simulate", "returned")]


def reshaped_during_fit_sim(size, how):
    return (
        "fit_sim",
        {
            "choices": ("array", "bool", size, "c", "random", 1),
            "rts": ("array", "float64", size, "c", "random", 2),
            "initial_guess": ("none",),
            "max_iters": ("numlike", 2, "index", ("mutate", "both", how)),
        },
        "keyword",
    )


# max_iters' __index__ reshapes both arrays after fit_sim checked them: the
# fit must read the new shape (a clean error), never trust the old one
# (through the empty arrays' data pointer for 2**23 trials, or the length of
# a 0-d array from beyond its dimensions).
@pytest.mark.parametrize("size, how", [(0, "shape_huge_zero"), (1, "shape_0d")])
def test_arrays_reshaped_during_fit_sim_conversion_do_not_crash(size, how):
    failure, _ = fuzzing.run_batch([reshaped_during_fit_sim(size, how)])
    assert failure is None, failure
