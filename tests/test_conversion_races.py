"""fit_sim converts initial_guess and max_iters after checking the arrays,
and a conversion can run user code (__index__, __float__) that reshapes,
retypes or resizes those arrays. Whatever it does, the arrays are read as
they are then, with the errors a direct call with them gives."""

import warnings

import numpy as np
import pytest

import corvatel


def fresh_arrays(n):
    choices = np.ones(n, dtype=bool)
    choices[::4] = False
    rts = 0.4 + np.arange(n, dtype=np.float64) / (10 * n)
    return choices, rts


def reshape_both_empty(c, r):
    c.shape = r.shape = (1 << 23, 0)


def make_rts_0d(c, r):
    r.shape = ()


def retype_rts(c, r):
    r.dtype = np.int8


def retype_choices(c, r):
    c.dtype = np.uint8


def make_rts_2d(c, r):
    r.shape = (r.size // 2, 2)


def shrink_rts(c, r):
    r.resize(r.size // 2, refcheck=False)


def shrink_both(c, r):
    c.resize(c.size // 2, refcheck=False)
    r.resize(r.size // 2, refcheck=False)


MUTATIONS = {
    "both reshaped to (2**23, 0)": (reshape_both_empty, 0),
    "rts made 0-d": (make_rts_0d, 1),
    "rts retyped to int8": (retype_rts, 40),
    "choices retyped to uint8": (retype_choices, 40),
    "rts made 2-d": (make_rts_2d, 40),
    "rts shrunk in place": (shrink_rts, 4000),
    "both shrunk in place": (shrink_both, 4000),
}


class Mutating:
    """A number whose conversion (__index__ or __float__) first changes the
    arrays."""

    def __init__(self, value, mutate, arrays):
        self.value, self.mutate, self.arrays = value, mutate, arrays

    def _changed(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # setting .dtype or .shape may be deprecated
            self.mutate(*self.arrays)
        return self.value

    def __index__(self):
        return int(self._changed())

    def __float__(self):
        return float(self._changed())


def outcome(call):
    try:
        return ("result", call())
    except Exception as e:  # noqa: BLE001 - the exact exception is what is compared
        return ("error", type(e), str(e), getattr(e, "__notes__", None))


@pytest.mark.parametrize("through", ["max_iters", "initial_guess"])
@pytest.mark.parametrize("mutate, n", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_arrays_changed_during_conversion(mutate, n, through):
    c, r = fresh_arrays(n)
    if through == "max_iters":
        got = outcome(lambda: corvatel.fit_sim(c, r, max_iters=Mutating(3, mutate, (c, r))))
        guess = None
    else:
        guess = {"drift_rate": 1.0, "boundary_separation": Mutating(1.2, mutate, (c, r)), "non_decision_time": 0.2}
        got = outcome(lambda: corvatel.fit_sim(c, r, guess, 3))
        guess = {**guess, "boundary_separation": 1.2}
    assert (c.shape, c.dtype, r.shape, r.dtype) != (fresh_arrays(n)[0].shape, bool, (n,), np.float64)
    # The arrays as the conversion left them, passed directly.
    assert got == outcome(lambda: corvatel.fit_sim(c, r, guess, 3))
