import hashlib
import math
import numpy as np
import pytest

import corvatel
from reference import FORK_WITH_THREADS, bits, f64, load_vectors, result_in_forked_child, results_in_threads, skip_under_sanitizer, ticks_during

TYPICAL = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)


def simulate_case_ids():
    return [c["name"] for c in load_vectors("simulate.json")["cases"]]


@pytest.mark.parametrize("case", load_vectors("simulate.json")["cases"], ids=simulate_case_ids())
def test_reference_batches(case):
    p = {k: f64(v) for k, v in case["params"].items()}
    args = (p["drift"], p["boundary"], p["start"], p["t0"], int(case["n"]), int(case["seed"]))
    if case["python_error"] is not None:
        with pytest.raises(ValueError, match=f"^{case['python_error']}$"):
            corvatel.simulate(*args, noise_sd=p["noise_sd"])
        return
    choices, rts, n_excluded = corvatel.simulate(*args, noise_sd=p["noise_sd"])
    assert n_excluded == int(case["n_excluded"])
    assert len(choices) == len(rts) == int(case["k"])
    assert "".join("1" if c else "0" for c in choices) == case["choices"]
    assert [bits(r) for r in rts] == case["rts"]
    digest = hashlib.sha256(choices.astype(np.uint8).tobytes() + rts.astype("<f8").tobytes()).hexdigest()
    assert digest == case["kept_sha256"]


def test_result_arrays():
    choices, rts, n_excluded = corvatel.simulate(**TYPICAL, n=500, seed=3)
    assert isinstance(n_excluded, int)
    for array, dtype in ((choices, np.bool_), (rts, np.float64)):
        assert array.dtype == dtype and array.ndim == 1
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.aligned
        assert array.strides == (array.itemsize,)
        assert array.dtype.isnative
        assert not array.flags.owndata  # a view of the module's buffer, freed by its base
    assert len(choices) + n_excluded == 500
    assert np.all(rts >= 0.3)


def test_arrays_can_be_changed_in_place():
    choices, rts, _ = corvatel.simulate(**TYPICAL, n=10, seed=1)
    rts[:] = 2.0
    choices[0] = not choices[0]
    assert np.all(rts == 2.0)


def test_empty_batch():
    choices, rts, n_excluded = corvatel.simulate(**TYPICAL, n=0, seed=1)
    assert choices.dtype == np.bool_ and rts.dtype == np.float64
    assert len(choices) == len(rts) == 0 and n_excluded == 0


def test_every_trial_timing_out_is_excluded():
    # A band far wider than 10 s of noise can cross.
    choices, rts, n_excluded = corvatel.simulate(0.0, 1e6, 0.5, 0.0, 20, 5)
    assert len(choices) == len(rts) == 0
    assert n_excluded == 20


@pytest.mark.parametrize("start, choice", [(0.0, False), (1.0, True)])
def test_start_on_a_boundary_ends_at_once(start, choice):
    choices, rts, n_excluded = corvatel.simulate(1.0, 2.0, start, 0.25, 50, 9)
    assert n_excluded == 0
    assert np.all(choices == choice)
    assert np.all(rts == 0.25)


def test_same_arguments_same_bits():
    first = corvatel.simulate(**TYPICAL, n=3000, seed=11)
    second = corvatel.simulate(**TYPICAL, n=3000, seed=11)
    assert np.array_equal(first[0], second[0])
    assert first[1].tobytes() == second[1].tobytes()
    other = corvatel.simulate(**TYPICAL, n=3000, seed=12)
    assert first[1].tobytes() != other[1].tobytes()


def test_short_batch_is_prefix_of_long_one():
    short = corvatel.simulate(**TYPICAL, n=3, seed=0)
    long = corvatel.simulate(**TYPICAL, n=5000, seed=0)
    assert short[1].tobytes() == long[1][:3].tobytes()


def test_noise_sd_default_is_one():
    default = corvatel.simulate(**TYPICAL, n=200, seed=4)
    explicit = corvatel.simulate(**TYPICAL, n=200, seed=4, noise_sd=1.0)
    assert default[1].tobytes() == explicit[1].tobytes()


def test_keywords_in_any_order():
    by_position = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 100, 2)
    by_keyword = corvatel.simulate(seed=2, n=100, t0=0.3, start=0.5, boundary=1.5, drift=1.0)
    assert by_position[1].tobytes() == by_keyword[1].tobytes()


def test_numeric_argument_types():
    reference = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 100, 2)
    # ints, numpy scalars and bools convert; n=True is one trial.
    same = corvatel.simulate(np.float32(1.0), 1.5, 0.5, np.float64(0.3), np.int64(100), np.uint8(2))
    assert reference[1].tobytes() == same[1].tobytes()
    assert len(corvatel.simulate(1, 2, 0.5, 0, True, 0)[1]) == 1
    corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1, 2**64 - 1)


NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(boundary=0.0), "boundary must be > 0"),
        (dict(boundary=-1.0), "boundary must be > 0"),
        (dict(boundary=NAN), "boundary must be > 0"),
        (dict(boundary=-INF), "boundary must be > 0"),
        (dict(start=-0.01), "start must be in [0, 1]"),
        (dict(start=1.01), "start must be in [0, 1]"),
        (dict(start=NAN), "start must be in [0, 1]"),
        (dict(t0=-0.001), "t0 must be >= 0"),
        (dict(t0=NAN), "t0 must be >= 0"),
        (dict(noise_sd=0.0), "noise_sd must be > 0"),
        (dict(noise_sd=-1.0), "noise_sd must be > 0"),
        (dict(noise_sd=NAN), "noise_sd must be > 0"),
        # The first failing check decides the message.
        (dict(boundary=0.0, start=2.0), "boundary must be > 0"),
        (dict(start=2.0, noise_sd=0.0), "start must be in [0, 1]"),
        (dict(t0=-1.0, noise_sd=-1.0), "t0 must be >= 0"),
        (dict(start=2.0, t0=-1.0), "start must be in [0, 1]"),
    ],
)
def test_parameter_validation(changes, message):
    kwargs = dict(TYPICAL, n=10, seed=0, **{k: v for k, v in changes.items() if k == "noise_sd"})
    kwargs.update({k: v for k, v in changes.items() if k != "noise_sd"})
    with pytest.raises(ValueError) as info:
        corvatel.simulate(**kwargs)
    assert str(info.value) == message
    assert type(info.value) is ValueError


@pytest.mark.parametrize(
    "changes",
    [dict(drift=NAN), dict(drift=INF), dict(drift=-INF), dict(boundary=INF), dict(t0=INF), dict(noise_sd=INF),
     dict(start=0.0), dict(start=1.0), dict(t0=0.0)],
)
def test_accepted_extremes(changes):
    kwargs = dict(TYPICAL, n=20, seed=0)
    kwargs.update(changes)
    choices, rts, n_excluded = corvatel.simulate(**kwargs)
    assert len(choices) + n_excluded == 20


def test_nan_drift_ends_each_walk_after_one_step():
    choices, rts, n_excluded = corvatel.simulate(NAN, 1.5, 0.5, 0.3, 10, 4)
    assert n_excluded == 0 and not choices.any()
    assert np.all(rts == 0.001 + 0.3)


@pytest.mark.parametrize(
    "kwargs, error, note",
    [
        (dict(n=-1), OverflowError, "n"),
        (dict(n=2**64), OverflowError, "n"),
        (dict(n=2.0), TypeError, "n"),
        (dict(n="5"), TypeError, "n"),
        (dict(seed=-1), OverflowError, "seed"),
        (dict(seed=2**64), OverflowError, "seed"),
        (dict(drift="fast"), TypeError, "drift"),
        (dict(boundary=None), TypeError, "boundary"),
        (dict(t0=10**400), OverflowError, "t0"),
        (dict(noise_sd=None), TypeError, "noise_sd"),
        # Conversions come before validation: the bad n is reported.
        (dict(n=-1, boundary=-1.0), OverflowError, "n"),
        (dict(start=None, n=-1), TypeError, "start"),
    ],
)
def test_conversion_errors_name_the_argument(kwargs, error, note):
    call = dict(TYPICAL, n=10, seed=0)
    call.update(kwargs)
    with pytest.raises(error) as info:
        corvatel.simulate(**call)
    assert info.value.__notes__ == [f"while processing '{note}'"]


def reference_simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0):
    """A Python function with simulate's parameter list, for CPython's wording."""


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1.0,), {}),
        ((1.0, 1.5, 0.5, 0.3), {}),
        ((1.0, 1.5, 0.5, 0.3, 10, 0, 1.0, 99), {}),
        ((1.0, 1.5, 0.5, 0.3, 10, 0), dict(drift=1.0)),
        ((1.0, 1.5, 0.5, 0.3, 10, 0), dict(colour="red")),
        ((1.0,), dict(n=10, bogus=1)),
        ((1.0, 1.5, 0.5, 0.3, 10, 0, 1.0, 99), dict(drift=1.0)),
        ((), dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3, n=10)),
    ],
)
def test_call_errors_read_like_a_python_function(args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference_simulate(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        corvatel.simulate(*args, **kwargs)
    assert str(actual.value) == str(expected.value).replace("reference_simulate", "simulate")


def test_too_large_a_batch_raises_memory_error_and_the_process_goes_on():
    for n in (2**61, 2**63):
        with pytest.raises(MemoryError):
            corvatel.simulate(**TYPICAL, n=n, seed=0)
    assert len(corvatel.simulate(**TYPICAL, n=10, seed=0)[1]) == 10


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@skip_under_sanitizer("freed memory stays in ASan's quarantine, so resident memory grows")
def test_result_buffers_are_freed():
    # start=0 ends every trial at once, so large batches are cheap.
    for _ in range(3):
        corvatel.simulate(1.0, 1.0, 0.0, 0.0, 2_000_000, 0)
    before = resident_bytes()
    for _ in range(30):  # 18 MB of buffers each
        choices, rts, _ = corvatel.simulate(1.0, 1.0, 0.0, 0.0, 2_000_000, 0)
        view = rts[::2]
        del choices, rts, view
    assert resident_bytes() - before < 100 * 2**20


def test_other_threads_run_during_a_simulation():
    # 300 walks of 10 001 steps each.
    assert ticks_during(lambda: corvatel.simulate(0.0, 1e6, 0.5, 0.0, 300, 1)) > 1000


def test_concurrent_calls_match_single_calls():
    calls = [lambda s=s: corvatel.simulate(**TYPICAL, n=2000, seed=s)[1].tobytes() for s in range(6)]
    alone = [call() for call in calls]
    assert results_in_threads(calls) == alone


def simulated_rts(seed):
    return corvatel.simulate(**TYPICAL, n=2000, seed=seed)[1].tobytes()


@FORK_WITH_THREADS
def test_forked_child_can_simulate():
    parent = simulated_rts(8)  # the pool exists now
    assert result_in_forked_child(simulated_rts, 8) == parent


THREAD_START_FAILURE = """
import resource, numpy, _corvatel

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize"):
                return int(line.split()[1]) * 1024

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Too little address space left for a worker thread's stack.
resource.setrlimit(resource.RLIMIT_AS, (address_space() + 4 * 2**20, hard))
try:
    _corvatel.simulate(1.0, 1.5, 0.5, 0.3, 10, 0)
except RuntimeError as e:
    print("RuntimeError:", e)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("later call:", len(_corvatel.simulate(1.0, 1.5, 0.5, 0.3, 10, 0)[1]))
"""


@skip_under_sanitizer("the sanitizer's shadow memory needs far more address space than the limit leaves")
def test_worker_threads_that_cannot_start_raise_and_a_later_call_works():
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", THREAD_START_FAILURE], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "RuntimeError: cannot start the simulation worker threads: Resource temporarily unavailable",
        "later call: 10",
    ]
