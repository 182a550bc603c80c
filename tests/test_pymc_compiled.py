"""The DDM Op's compiled path (PyTensor's Numba backend, as nutpie and
PyMC's numba mode compile it): the core's values and derivatives bit for
bit, -inf for impossible trials, object mode only for shapes it does not
take, and nutpie's draws the same from the same seed whatever the thread
count."""

import ctypes
import warnings

import numpy as np
import pytest

with warnings.catch_warnings():
    # ArviZ announces its coming refactor on import.
    warnings.simplefilter("ignore", FutureWarning)
    pm = pytest.importorskip("pymc")
    import corvatel.pymc as cp

import pytensor
import pytensor.tensor as pt

import _corvatel
import corvatel

NAMES = ("drift", "boundary", "start", "t0", "sv", "sz", "st", "p_outlier")
RNG = np.random.default_rng(3)
N = 40
RT = RNG.uniform(0.45, 2.5, N)
CHOICE = (RNG.random(N) < 0.6).astype(np.float64)
BASE = {"drift": 0.8, "boundary": 1.6, "start": 0.45, "t0": 0.25, "sv": 0.0, "sz": 0.0, "st": 0.0, "p_outlier": 0.0}
CASES = {
    "four, drift per trial": {"drift": RNG.normal(0.5, 1.0, N)},
    "four, all per trial": {"drift": RNG.normal(0.5, 1.0, N), "boundary": RNG.uniform(1.0, 2.0, N),
                            "start": RNG.uniform(0.3, 0.7, N), "t0": RNG.uniform(0.1, 0.4, N)},
    "sv sz st, t0 per trial": {"sv": 0.6, "sz": 0.2, "st": 0.1, "t0": RNG.uniform(0.2, 0.4, N)},
    "contaminants, start per trial": {"p_outlier": 0.05, "start": RNG.uniform(0.3, 0.7, N)},
}


def _graph(case):
    """The per-trial log densities and the gradient of their sum in each
    parameter, each parameter a symbolic vector or scalar as the case has it."""
    values = {**BASE, **case}
    symbols = {name: (pt.vector(name) if np.ndim(value) else pt.scalar(name)) for name, value in values.items()}
    logp = cp.wfpt_logp(RT, CHOICE, *(symbols[name] for name in NAMES), 0.0, 5.0)
    grads = pytensor.grad(logp.sum(), [symbols[name] for name in NAMES])
    return [symbols[name] for name in NAMES], [logp, *grads], [np.asarray(values[name]) for name in NAMES]


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_compiled_values_and_gradients_are_the_cores(case):
    inputs, outputs, values = _graph(case)
    # Warnings are errors here: a fall back to object mode would fail.
    compiled = pytensor.function(inputs, outputs, mode="NUMBA")(*values)
    logp, *grads = compiled
    named = dict(zip(NAMES, values))
    expected, slopes = corvatel.wfpt_logpdf_grad(RT, CHOICE.astype(bool), **named)
    np.testing.assert_array_equal(logp, expected)
    for name, grad in zip(NAMES, grads):
        if np.ndim(named[name]):
            np.testing.assert_array_equal(grad, slopes[name], err_msg=name)
        else:  # summed over the trials in the graph's own order
            assert grad == pytest.approx(slopes[name].sum(), rel=1e-12, abs=1e-12), name


@pytest.mark.parametrize("mode", ["FAST_RUN", "NUMBA"])
def test_impossible_trials_are_minus_infinity_in_either_backend(mode):
    # Trial 2's boundary is negative, trial 4's start window leaves the
    # band, trial 5's choice is not a choice, trial 7's time is NaN.
    boundary = np.full(8, 1.5)
    boundary[2] = -1.0
    start = np.full(8, 0.5)
    start[4] = 0.95
    choice = np.array([1.0, 0.0, 1.0, 0.0, 1.0, 0.5, 1.0, 0.0])
    rt = np.array([0.45, 0.62, 0.8, 1.3, 2.2, 0.38, 0.9, np.nan])
    b, s = pt.vector("b"), pt.vector("s")
    logp = cp.wfpt_logp(rt, choice, 0.7, b, s, 0.2, 0.0, 0.2, 0.0, 0.0, 0.0, 5.0)
    values, slopes = pytensor.function([b, s], [logp, pytensor.grad(logp.sum(), b)], mode=mode)(boundary, start)
    bad = np.array([False, False, True, False, True, True, False, True])
    assert np.all(values[bad] == -np.inf)
    np.testing.assert_array_equal(slopes[bad], 0.0)
    expected, grad = corvatel.wfpt_logpdf_grad(rt[~bad], choice[~bad].astype(bool), 0.7, boundary[~bad],
                                               start[~bad], 0.2, sz=0.2)
    np.testing.assert_array_equal(values[~bad], expected)
    np.testing.assert_array_equal(slopes[~bad], grad["boundary"])


def test_shapes_without_a_compiled_form_run_in_object_mode():
    # A drift of shape (1, n) against times of shape (n,) broadcasts along
    # one axis only: the Op's Python runs it, with PyTensor's warning.
    drift = pt.matrix("drift", shape=(1, None))
    logp = cp.wfpt_logp(RT, CHOICE, drift, 1.5, 0.5, 0.2, 0.0, 0.0, 0.0, 0.0, 0.0, 5.0)
    with pytest.warns(UserWarning, match="object mode"):
        function = pytensor.function([drift], logp, mode="NUMBA")
    drifts = np.linspace(-1.0, 1.0, N)[None, :]
    np.testing.assert_array_equal(function(drifts)[0], corvatel.wfpt_logpdf(RT, CHOICE.astype(bool), drifts[0], 1.5,
                                                                            0.5, 0.2))


def test_inputs_broadcast_along_the_outputs_axes_are_compiled():
    # Participants x trials: a drift per trial (1, n) and a boundary per
    # participant (m, 1), as PyTensor shapes them against 2-d observations.
    rt, choice = RT.reshape(4, 10), CHOICE.reshape(4, 10)
    drift, boundary = pt.matrix("drift", shape=(1, None)), pt.matrix("boundary", shape=(None, 1))
    logp = cp.wfpt_logp(rt, choice, drift, boundary, 0.5, 0.2, 0.6, 0.0, 0.0, 0.0, 0.0, 5.0)
    outputs = [logp, *pytensor.grad(logp.sum(), [drift, boundary])]
    drifts, boundaries = np.linspace(-1.0, 1.0, 10)[None, :], np.array([[1.1], [1.4], [1.8], [2.2]])
    # Warnings are errors here: a fall back to object mode would fail.
    values, d_drift, d_boundary = pytensor.function([drift, boundary], outputs, mode="NUMBA")(drifts, boundaries)
    expected, slopes = corvatel.wfpt_logpdf_grad(rt, choice.astype(bool), drifts, boundaries, 0.5, 0.2, sv=0.6)
    np.testing.assert_array_equal(values, expected)
    np.testing.assert_allclose(d_drift, slopes["drift"].sum(axis=0, keepdims=True), rtol=1e-12)
    np.testing.assert_allclose(d_boundary, slopes["boundary"].sum(axis=1, keepdims=True), rtol=1e-12)


def test_per_trial_inputs_of_different_lengths_are_refused():
    drift = pt.vector("drift")
    logp = cp.wfpt_logp(RT, CHOICE, drift, 1.5, 0.5, 0.2, 0.0, 0.0, 0.0, 0.0, 0.0, 5.0)
    function = pytensor.function([drift], logp, mode="NUMBA")
    with pytest.raises(ValueError, match="differ in shape"):
        function(np.ones(N - 1))


def _c_function():
    function = ctypes.CDLL(_corvatel.__file__).corvatel_sampler_log_densities
    function.restype = ctypes.c_int
    function.argtypes = [ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_double, ctypes.c_double,
                         ctypes.c_void_p, ctypes.c_void_p]
    return function


@pytest.mark.parametrize("window, status", [((0.0, 5.0), 0), ((2.0, 1.0), 1), ((0.0, np.inf), 1)])
def test_c_function_reports_a_bad_window(window, status):
    columns = [RT, CHOICE] + [np.array([BASE[name]]) for name in NAMES]
    addresses = np.array([c.ctypes.data for c in columns], dtype=np.intp)
    steps = np.array([1, 1] + [0] * len(NAMES), dtype=np.int64)
    logp = np.full(N, 7.0)
    got = _c_function()(N, addresses.ctypes.data, steps.ctypes.data, *window, logp.ctypes.data, None)
    assert got == status
    if status == 0:
        np.testing.assert_array_equal(logp, corvatel.wfpt_logpdf(RT, CHOICE.astype(bool), 0.8, 1.6, 0.45, 0.25))


@pytest.mark.parametrize("choice", [1.0, 0.0, 2.0])
def test_c_function_takes_one_choice_for_all_trials(choice):
    columns = [RT, np.array([choice])] + [np.array([BASE[name]]) for name in NAMES]
    addresses = np.array([c.ctypes.data for c in columns], dtype=np.intp)
    steps = np.array([1, 0] + [0] * len(NAMES), dtype=np.int64)
    logp, grads = np.empty(N), np.empty((len(NAMES), N))
    assert _c_function()(N, addresses.ctypes.data, steps.ctypes.data, 0.0, 5.0, logp.ctypes.data,
                         grads.ctypes.data) == 0
    if choice == 2.0:
        assert np.all(logp == -np.inf) and np.all(grads == 0.0)
        return
    expected, slopes = corvatel.wfpt_logpdf_grad(RT, choice == 1.0, 0.8, 1.6, 0.45, 0.25)
    np.testing.assert_array_equal(logp, expected)
    for k, name in enumerate(NAMES):
        np.testing.assert_array_equal(grads[k], slopes[name])


nutpie = pytest.importorskip("nutpie")
from numba.core.errors import NumbaWarning  # noqa: E402 - with nutpie


def _nutpie_draws(threads):
    choices, rts, _ = corvatel.simulate_full(1.0, 1.5, 0.5, 0.3, 200, 21)
    with pm.Model() as model:
        drift = pm.Normal("drift", 0.0, 2.0)
        boundary = pm.Gamma("boundary", 4.0, 2.0)
        t0 = pm.Uniform("t0", 0.0, float(rts.min()))
        cp.DDM("obs", drift=drift, boundary=boundary, t0=t0, observed=np.column_stack([rts, choices]))
    before = corvatel.get_num_threads()
    corvatel.set_num_threads(threads)
    try:
        with warnings.catch_warnings():
            # Numba will not cache a function holding the data as a constant.
            warnings.filterwarnings("ignore", ".*Cannot cache compiled function", NumbaWarning)
            compiled = nutpie.compile_pymc_model(model, backend="numba")
        trace = nutpie.sample(compiled, draws=100, tune=100, chains=2, cores=2, seed=5, progress_bar=False)
    finally:
        corvatel.set_num_threads(before)
    return trace.posterior


def test_nutpie_draws_are_the_same_from_the_same_seed_whatever_the_threads():
    one, two = _nutpie_draws(1), _nutpie_draws(2)
    for name in ("drift", "boundary", "t0"):
        np.testing.assert_array_equal(one[name].to_numpy(), two[name].to_numpy())
    # and they are draws near the truth, not a stuck chain
    assert abs(float(one["drift"].mean()) - 1.0) < 0.4
    assert float(one["drift"].std()) > 0.0
