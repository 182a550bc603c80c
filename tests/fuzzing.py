"""Adversarial calls of simulate, fit_ez, fit_sim, bounds_logpdf,
wfpt_logpdf_grad and the module's fits between time-varying bounds, run in a
child process.

A case is plain data (tuples of strings and numbers) drawn by the hypothesis
strategies below, so it can be pickled to a child python that builds the
arguments and makes the call, one case after another; a child that dies is
replaced. A crash, a hang or an undocumented exception there fails the batch
with the case it happened in, never ends the caller, and hypothesis shrinks
the failing batch to the cases that matter.

Used by tests/test_fuzz.py (a bounded run) and tools/fuzz.py (a long one).
"""

import math
import pickle
import subprocess
import sys
from pathlib import Path

from hypothesis import strategies as st

FUNCTIONS = ("simulate", "fit_ez", "fit_sim", "bounds_logpdf", "wfpt_logpdf_grad", "fit_bounds_ml",
             "fit_bounds_ml_joint")
# Called on the extension module itself: the Python layer's own checks
# would stop most hostile arguments before they reach its conversions.
MODULE_FUNCTIONS = ("fit_bounds_ml", "fit_bounds_ml_joint")
# Their trials first, by position; every later argument by keyword.
DENSITIES = ("bounds_logpdf", "wfpt_logpdf_grad")
POSITIONAL = 6
GUESS_KEYS = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd")
DICT_MUTATION_ERRORS = ("dictionary changed size during iteration", "dictionary keys changed during iteration")


class Planted(Exception):
    """Raised by the test's own conversion methods; must reach the caller as is."""


# --- drawing cases (plain data) ---------------------------------------------

SPECIAL_FLOATS = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, -5e-324, 1.7976931348623157e308, 1e-300]
EDGE_INTS = [0, 1, -1, 2, 2**31, 2**32, 2**53 + 1, 2**61, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**64), 10**30, -(10**30)]
SAFE_N = st.integers(0, 2000)
HUGE_N = st.sampled_from([2**61, 2**62, 2**63, 2**64 - 1])


def _floats(valid):
    return st.one_of(valid, st.sampled_from(SPECIAL_FLOATS), st.floats(allow_nan=True, allow_infinity=True))


def _actions(targets):
    """What a conversion method does before it returns."""
    choices = [st.just(("none",)), st.tuples(st.just("raise"), st.sampled_from(["Planted", "TypeError", "ValueError", "OverflowError"]))]
    if targets:
        array_hows = ["shape_2d", "shape_0d", "shape_huge_zero", "dtype_int8", "dtype_float32", "dtype_bool", "resize_grow", "resize_zero", "readonly", "fill_nan"]
        dict_hows = ["clear", "pop_first", "add_key", "swap_key", "replace_value"]
        per_target = []
        for target in targets:
            hows = dict_hows if target == "initial_guess" else array_hows
            per_target.append(st.tuples(st.just("mutate"), st.just(target), st.sampled_from(hows)))
        # Changing other arguments is what breaks a careless reader: weigh it
        # as much as the rest together.
        choices += [st.one_of(per_target)] * 2
    return st.one_of(choices)


def scalars(base, targets=()):
    """A value recipe for a scalar argument: `base` draws the plain values."""
    return st.one_of(
        base.map(lambda v: ("plain", v)),
        st.sampled_from([("none",), ("str", "1.0"), ("bytes",), ("complex",), ("list",), ("dict",), ("object",)]),
        st.tuples(st.just("bool"), st.booleans()),
        st.tuples(st.just("np"), st.sampled_from(["float64", "float32", "float16", "longdouble", "int64", "uint64", "int8", "bool", "complex128"]), base),
        st.tuples(st.just("fraction"), st.integers(-50, 50), st.integers(1, 7)),
        st.tuples(st.just("decimal"), base),
        # An object with conversion methods, or a float/int subclass, whose
        # methods may raise or change the other arguments first.
        st.tuples(st.just("numlike"), base, st.sampled_from(["index", "float", "int", "index+float", "float_bad_return"]), _actions(targets)),
        st.tuples(st.just("float_sub"), base, _actions(targets)),
        st.tuples(st.just("int_sub"), base, _actions(targets)),
    )


def float_arg(low, high, targets=()):
    return scalars(_floats(st.floats(low, high)), targets)


def int_arg(valid, limit, refused_from, targets=()):
    """An integer argument. Values a call would take as valid but larger than
    `limit` are never drawn, so every call is quick: a trial count from 2**61
    up must fail at once, but one in between may allocate and run for
    minutes; an iteration budget below 2**64 is valid however large."""
    edges = [v for v in EDGE_INTS if v <= limit or v >= refused_from]
    invalid = st.one_of(st.integers(max_value=-1), st.integers(min_value=refused_from))
    return scalars(st.one_of(valid, st.sampled_from(edges), invalid), targets)


ARRAY_LAYOUTS = ["c", "c", "c", "strided", "2d", "0d", "readonly", "fortran2d", "misaligned", "subclass", "byteswapped", "empty_strided", "len1_view"]
ARRAY_DTYPES = ["bool", "float64", "float32", "int8", "int64", "uint8", "object", "complex128", "float16"]


def arrays(natural_dtype):
    """A recipe for an array argument, or something posing as one."""
    size = st.one_of(st.integers(0, 40), st.sampled_from([0, 1, 2, 3, 1000]))
    return st.one_of(
        st.tuples(st.just("array"), st.just(natural_dtype), size, st.sampled_from(ARRAY_LAYOUTS), st.sampled_from(["random", "special", "const"]), st.integers(0, 2**32 - 1)),
        st.tuples(st.just("array"), st.sampled_from(ARRAY_DTYPES), size, st.sampled_from(ARRAY_LAYOUTS), st.sampled_from(["random", "special", "const"]), st.integers(0, 2**32 - 1)),
        st.sampled_from([("none",), ("list",), ("tuple",), ("memoryview",), ("plain", 1.0), ("str", "abc"), ("matrix",)]),
    )


def guesses(targets):
    keys = st.one_of(st.sampled_from(GUESS_KEYS), st.sampled_from([("extra",), ("int_key",), ("bytes_key",), ("str_sub",)]))
    value = float_arg(-3.0, 3.0, targets)
    items = st.lists(st.tuples(keys, value), max_size=7)
    full = st.fixed_dictionaries({k: float_arg(0.1, 2.0, targets) for k in ("drift_rate", "boundary_separation", "non_decision_time")}).map(lambda d: list(d.items()))
    return st.one_of(
        st.just(("none",)),
        st.tuples(st.just("dict"), st.sampled_from(["dict", "dict", "subclass", "ordered", "defaultdict", "proxy", "pairs"]), st.one_of(full, items)),
        st.sampled_from([("list",), ("plain", 1.0)]),
    )


def _call_style():
    return st.sampled_from(["positional", "keyword"] * 4 + ["extra_keyword", "too_few"])


@st.composite
def _case(draw, function, sensible, hostile, sizes=None):
    """Most cases make one or two arguments hostile and keep the others
    sensible, so that the call gets past the first check; some make none or
    all of them hostile."""
    names = list(hostile)
    many = draw(st.sampled_from([0, 1, 1, 1, 2, 2, len(names)]))
    chosen = set(draw(st.lists(st.sampled_from(names), min_size=min(many, len(names)), max_size=min(many, len(names)), unique=True)))
    size = draw(sizes if sizes is not None else st.one_of(st.integers(0, 40), st.just(1000)))
    recipes = {}
    for name in names:
        if name in chosen:
            recipes[name] = draw(hostile[name])
        else:
            recipes[name] = draw(sensible[name](size) if callable(sensible[name]) else sensible[name])
    return (function, recipes, draw(_call_style()))


def _sensible_array(dtype):
    return lambda size: st.tuples(st.just("array"), st.just(dtype), st.just(size), st.just("c"), st.just("random"), st.integers(0, 2**32 - 1))


def _plain(values):
    return values.map(lambda v: ("plain", v))


def cases(function=None):
    """A strategy for one case: (function, argument recipes, call style)."""
    sim = _case(
        "simulate",
        {
            "drift": _plain(st.floats(-3.0, 3.0)),
            "boundary": _plain(st.floats(0.3, 3.0)),
            "start": _plain(st.floats(0.0, 1.0)),
            "t0": _plain(st.floats(0.0, 1.0)),
            "n": _plain(st.integers(0, 500)),
            "seed": _plain(st.integers(0, 2**64 - 1)),
            "noise_sd": _plain(st.floats(0.5, 2.0)),
        },
        {
            "drift": float_arg(-5.0, 5.0),
            "boundary": float_arg(0.05, 4.0),
            "start": float_arg(0.0, 1.0),
            "t0": float_arg(0.0, 1.0),
            "n": st.one_of(int_arg(SAFE_N, 2000, 2**61), _plain(HUGE_N)),
            "seed": int_arg(st.integers(0, 2**64 - 1), 2**64, 2**64),
            "noise_sd": float_arg(0.2, 3.0),
        },
    )
    data = {"choices": _sensible_array("bool"), "rts": _sensible_array("float64")}
    ez = _case("fit_ez", data, {"choices": arrays("bool"), "rts": st.one_of(arrays("float64"), st.just(("alias",)))})
    # Arrays reshaped, retyped or reallocated by user code that runs while
    # fit_sim converts initial_guess and max_iters.
    targets = ("choices", "rts", "both", "initial_guess")
    fit = _case(
        "fit_sim",
        # Small budgets keep a valid fit to a fraction of a second.
        {**data, "initial_guess": st.just(("none",)), "max_iters": _plain(st.integers(0, 3))},
        {
            "choices": arrays("bool"),
            "rts": st.one_of(arrays("float64"), st.just(("alias",))),
            "initial_guess": guesses(targets),
            "max_iters": st.one_of(
                int_arg(st.integers(0, 4), 4, 2**64, targets),
                # The conversion that runs last, after the arrays were checked.
                st.tuples(st.just("numlike"), st.integers(0, 4), st.sampled_from(["index", "index+float"]), _actions(targets)),
            ),
        },
    )
    every = {"simulate": sim, "fit_ez": ez, "fit_sim": fit, "bounds_logpdf": _bounds_case(), "wfpt_logpdf_grad": _gradient_case(),
             "fit_bounds_ml": _bounds_fit_case(False), "fit_bounds_ml_joint": _bounds_fit_case(True)}
    return every[function] if function else st.one_of(*every.values())


def _quick(low, high):
    """A model number that keeps a solve quick: valid ones from [low, high]
    (ranges where the grid stays far below its cap of steps), and refused,
    special or enormous ones. Valid values between (a boundary of 0.05, a
    start 0.02 from an edge) would make a solve of minutes: slow, not a
    fault, so never drawn."""
    refused = st.one_of(st.floats(max_value=-1e-300), st.floats(min_value=1e6))
    return scalars(st.one_of(st.floats(low, high), st.sampled_from(SPECIAL_FLOATS), refused), ("choices", "rts"))


BOUND_NAMES = ["constant", "angle", "weibull", "exponential", "hyperbolic"]


def _bounds_case():
    trials = {"rts": _sensible_array("float64"), "choices": _sensible_array("bool")}
    sensible = {
        **trials,
        "drift": _plain(st.floats(-3.0, 3.0)), "boundary": _plain(st.floats(0.5, 3.0)),
        "start": _plain(st.floats(0.3, 0.7)), "t0": _plain(st.floats(0.0, 0.2)),
        "bound": _plain(st.sampled_from(BOUND_NAMES)), "theta": _plain(st.floats(-1.0, 1.2)),
        "shape": _plain(st.floats(0.5, 5.0)), "scale": _plain(st.floats(0.2, 5.0)),
        "rate": _plain(st.floats(0.0, 3.0)), "leak": _plain(st.floats(0.0, 5.0)),
        "urgency": _plain(st.floats(0.0, 5.0)), "noise_sd": _plain(st.floats(0.5, 2.0)),
        "sz": _plain(st.floats(0.0, 0.2)), "st": _plain(st.floats(0.0, 0.2)),
        "resolution": _plain(st.sampled_from([None, 1 / 36, 1 / 144])),
    }
    bound = st.one_of(_plain(st.sampled_from(BOUND_NAMES + ["Angle", "", "linear", "angle "])),
                      st.sampled_from([("none",), ("bytes",), ("plain", 1), ("list",), ("object",)]))
    hostile = {
        "rts": st.one_of(arrays("float64"), st.just(("alias",))), "choices": arrays("bool"),
        "drift": _quick(-5.0, 5.0), "boundary": _quick(0.5, 5.0), "start": _quick(0.3, 0.7),
        "t0": _quick(0.0, 2.0), "bound": bound, "theta": _quick(-1.5, 1.5), "shape": _quick(0.3, 10.0),
        "scale": _quick(0.1, 10.0), "rate": _quick(0.0, 10.0), "leak": _quick(0.0, 50.0),
        "urgency": _quick(0.0, 50.0), "noise_sd": _quick(0.5, 2.0), "sz": _quick(0.0, 0.3),
        "st": _quick(0.0, 0.3), "resolution": _quick(1 / 144, 1.0),
    }
    return _case("bounds_logpdf", sensible, hostile)


def _small_arrays(natural_dtype):
    """Array recipes of at most 40 elements: a fit between time-varying
    bounds of 1,000 trials of noise can take minutes (slow, not a fault)."""
    return st.tuples(st.just("array"), st.sampled_from([natural_dtype] * 3 + ARRAY_DTYPES), st.integers(0, 40),
                     st.sampled_from(ARRAY_LAYOUTS), st.sampled_from(["random", "special", "const"]), st.integers(0, 2**32 - 1))


def _windows(targets):
    """A (lo, hi) argument: sensible, reversed, special, the wrong length or
    not a pair at all."""
    pair = st.tuples(st.one_of(st.floats(0.0, 1.0), st.sampled_from(SPECIAL_FLOATS)),
                     st.one_of(st.floats(0.5, 6.0), st.sampled_from(SPECIAL_FLOATS)))
    return st.one_of(_plain(pair), _plain(st.sampled_from([(1.0,), (0.0, 1.0, 2.0), ()])),
                     scalars(st.floats(0.0, 5.0), targets))


def _bounds_fit_case(joint):
    """fit_bounds_ml (and its joint form) with small arrays and quick
    options when sensible: a constant or angle bound, fixed start."""
    targets = ("choices", "rts", "both")
    sensible = {
        "choices": _sensible_array("bool"), "rts": _sensible_array("float64"),
        "bound": _plain(st.sampled_from(["constant", "angle"])), "leak": _plain(st.just(False)),
        "urgency": _plain(st.just(False)), "start": _plain(st.sampled_from([0.5, 0.4])),
        "p_outlier": _plain(st.sampled_from([0.0, 0.05, "free"])), "outlier_window": _plain(st.just((0.0, 5.0))),
        "rt_window": _plain(st.sampled_from([None, (0.1, 2.0), (0.2, math.inf)])),
    }
    # Hostile flags are false or fail to convert, and the hostile bounds
    # quick or refused: a weibull bound with leak and urgency on trials of
    # noise can search for minutes (slow, not a fault).
    flag = st.one_of(_plain(st.sampled_from([False, 0, 0.0, None, ""])), st.just(("bool_raises",)),
                     st.tuples(st.just("np"), st.just("bool"), st.just(0.0)))
    hostile = {
        "choices": _small_arrays("bool"), "rts": st.one_of(_small_arrays("float64"), st.just(("alias",))),
        "bound": st.one_of(_plain(st.sampled_from(["constant", "angle", "Angle", "", "linear"])),
                           st.sampled_from([("none",), ("bytes",), ("list",)])),
        "leak": flag, "urgency": flag,
        "start": st.one_of(float_arg(0.0, 1.0, targets), _plain(st.just(None))),
        "p_outlier": st.one_of(float_arg(0.0, 1.0, targets), _plain(st.sampled_from(["free", "Free", ""]))),
        "outlier_window": _windows(targets), "rt_window": st.one_of(_windows(targets), _plain(st.just(None))),
    }
    if joint:
        sizes = st.lists(st.integers(-1, 25), max_size=3)
        sensible["level_sizes"] = lambda size: _plain(st.just([size // 2, size - size // 2]))
        sensible["depends_on"] = _plain(st.sampled_from([(), ("drift_rate",), ("non_decision_time",)]))
        hostile["level_sizes"] = st.one_of(_plain(sizes), _plain(st.just([2**63, 2**63])), scalars(st.integers(0, 40), targets))
        hostile["depends_on"] = st.one_of(_plain(st.sampled_from([("theta",), ("p_outlier",), ("drift",), "drift_rate", ("starting_point",)])),
                                          scalars(st.integers(0, 3), targets))
        # The joint signature's order: the level sizes come third.
        order = ["choices", "rts", "level_sizes", "bound", "leak", "urgency", "start", "depends_on", "p_outlier",
                 "outlier_window", "rt_window"]
        sensible = {k: sensible[k] for k in order}
        hostile = {k: hostile[k] for k in order}
    return _case("fit_bounds_ml_joint" if joint else "fit_bounds_ml", sensible, hostile, st.integers(0, 40))


def _gradient_case():
    sensible = {
        "rts": _sensible_array("float64"), "choices": _sensible_array("bool"),
        "drift": _plain(st.floats(-3.0, 3.0)), "boundary": _plain(st.floats(0.5, 3.0)),
        "start": _plain(st.floats(0.2, 0.8)), "t0": _plain(st.floats(0.0, 0.2)),
        "noise_sd": _plain(st.floats(0.5, 2.0)), "sv": _plain(st.floats(0.0, 2.0)),
        # Windows of both kinds cost a nested quadrature per trial: seldom.
        "sz": _plain(st.sampled_from([0.0, 0.0, 0.2])), "st": _plain(st.sampled_from([0.0, 0.0, 0.1])),
        "p_outlier": _plain(st.floats(0.0, 0.2)),
    }
    odd_window = scalars(st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(max_value=-1e-300), st.floats(min_value=2.0)), ("choices", "rts"))
    hostile = {
        "rts": st.one_of(arrays("float64"), st.just(("alias",))), "choices": arrays("bool"),
        "drift": float_arg(-5.0, 5.0), "boundary": float_arg(0.05, 5.0), "start": float_arg(0.0, 1.0),
        "t0": float_arg(0.0, 1.0), "noise_sd": float_arg(0.2, 3.0), "sv": float_arg(0.0, 3.0),
        "sz": odd_window, "st": odd_window, "p_outlier": float_arg(0.0, 1.0),
    }
    return _case("wfpt_logpdf_grad", sensible, hostile)


# --- building and calling (in the child) --------------------------------------


def _apply(action, args):
    import numpy as np

    kind = action[0]
    if kind == "none":
        return
    if kind == "abort":  # the harness's own check that a crash is caught
        import os

        os.abort()
    if kind == "raise":
        raise {"Planted": Planted, "TypeError": TypeError, "ValueError": ValueError, "OverflowError": OverflowError}[action[1]]("planted")
    _, target, how = action
    if target == "both":  # the same change to both arrays, as one statement would
        _apply(("mutate", "choices", how), args)
        _apply(("mutate", "rts", how), args)
        return
    obj = args.get(target)
    try:
        if isinstance(obj, dict):
            if how == "clear":
                obj.clear()
            elif how == "pop_first" and obj:
                obj.pop(next(iter(obj)))
            elif how == "add_key":
                obj[f"added{len(obj)}"] = 1.0
            elif how == "swap_key" and obj:
                obj.pop(next(iter(obj)))
                obj[f"swapped{len(obj)}"] = 1.0
            elif how == "replace_value" and obj:
                obj[next(iter(obj))] = 2.0
        elif isinstance(obj, np.ndarray):
            if how == "shape_2d":
                obj.shape = (1, -1)
            elif how == "shape_0d":
                obj.shape = ()
            elif how == "shape_huge_zero":
                obj.shape = (1 << 23, 0)
            elif how in ("dtype_int8", "dtype_float32", "dtype_bool"):
                obj.dtype = {"dtype_int8": np.int8, "dtype_float32": np.float32, "dtype_bool": np.bool_}[how]
            elif how == "resize_grow":
                obj.resize(obj.size * 4 + 8, refcheck=False)
            elif how == "resize_zero":
                obj.resize(0, refcheck=False)
            elif how == "readonly":
                obj.flags.writeable = False
            elif how == "fill_nan":
                obj[...] = np.nan
    except (ValueError, TypeError, AttributeError):
        pass  # numpy refused this change to this array


def _numlike(base, methods, action, args):
    def as_int():
        _apply(action, args)
        return int(base) if not isinstance(base, float) or math.isfinite(base) else 0

    def as_float():
        _apply(action, args)
        return float(base)

    namespace = {}
    if "index" in methods:
        namespace["__index__"] = lambda self: as_int()
    if methods.startswith("float"):
        namespace["__float__"] = (lambda self: "not a float") if methods == "float_bad_return" else (lambda self: as_float())
    if "+float" in methods:
        namespace["__float__"] = lambda self: as_float()
    if methods == "int":
        namespace["__int__"] = lambda self: as_int()
    return type("Numlike", (), namespace)()


def _scalar(recipe, args):
    import decimal
    import fractions

    import numpy as np

    kind = recipe[0]
    if kind == "plain":
        return recipe[1]
    if kind == "none":
        return None
    if kind == "str":
        return recipe[1]
    if kind == "bytes":
        return b"1"
    if kind == "complex":
        return 1 + 1j
    if kind == "list":
        return [1.0]
    if kind == "dict":
        return {}
    if kind == "object":
        return object()
    if kind == "bool_raises":

        class NoTruth:
            def __bool__(self):
                raise Planted("planted")

        return NoTruth()
    if kind == "bool":
        return recipe[1]
    if kind == "np":
        try:
            with np.errstate(all="ignore"):
                return np.dtype(recipe[1]).type(recipe[2])
        except (OverflowError, ValueError, TypeError):
            return np.dtype(recipe[1]).type(0)
    if kind == "fraction":
        return fractions.Fraction(recipe[1], recipe[2])
    if kind == "decimal":
        return decimal.Decimal(repr(recipe[1])) if isinstance(recipe[1], float) else decimal.Decimal(recipe[1])
    if kind == "numlike":
        return _numlike(recipe[1], recipe[2], recipe[3], args)
    if kind == "float_sub":
        base, action = recipe[1], recipe[2]

        class FloatSub(float):
            def __float__(self):
                _apply(action, args)
                return float(base)

        try:
            return FloatSub(base)
        except OverflowError:  # an int too large for a float
            return FloatSub(math.inf)
    if kind == "int_sub":
        base, action = recipe[1], recipe[2]
        value = int(base) if not isinstance(base, float) or math.isfinite(base) else 0

        class IntSub(int):
            def __index__(self):
                _apply(action, args)
                return value

        return IntSub(value)
    raise AssertionError(f"unknown scalar recipe {recipe!r}")


def _array(recipe, args):
    import numpy as np

    kind = recipe[0]
    if kind != "array":
        if kind == "tuple":
            return (True, False)
        if kind == "memoryview":
            return memoryview(b"\x01\x00")
        if kind == "matrix":
            return np.asmatrix([[1.0, 2.0]])
        return _scalar(recipe, args)
    _, dtype, size, layout, fill, seed = recipe
    rng = np.random.default_rng(seed)
    if fill == "special":
        values = rng.choice(np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, -1.0, 1e308, 5e-324, 0.3, 0.5]), size * 2 + 2)
    elif fill == "const":
        values = np.full(size * 2 + 2, 0.5)
    else:
        values = rng.random(size * 2 + 2) + 0.2
    with np.errstate(all="ignore"):
        if dtype == "bool":
            base = rng.random(size * 2 + 2) < 0.7
        elif dtype == "object":
            base = values.astype(object)
        else:
            base = values.astype(dtype)
    if layout == "strided":
        return base[: 2 * size : 2]
    if layout == "2d":
        return base[: size - size % 2].reshape(2, -1) if size >= 2 else base[:size].reshape(1, -1)
    if layout == "0d":
        return np.array(base[0])
    if layout == "readonly":
        out = base[:size].copy()
        out.flags.writeable = False
        return out
    if layout == "fortran2d":
        return np.asfortranarray(base[: 2 * size].reshape(2, -1))
    if layout == "misaligned":
        raw = np.zeros(base.itemsize * size + 1, dtype=np.uint8)[1:]
        try:
            out = raw.view(base.dtype)
        except (ValueError, TypeError):
            return base[:size].copy()
        with np.errstate(all="ignore"):
            out[...] = base[:size]
        return out
    if layout == "subclass":
        cls = type("ArraySub", (np.ndarray,), {})
        return base[:size].copy().view(cls)
    if layout == "byteswapped":
        out = base[:size].copy()
        return out.byteswap().view(out.dtype.newbyteorder()) if out.dtype.kind in "fiuc" else out
    if layout == "empty_strided":
        return base[:0:2]
    if layout == "len1_view":
        return base[1:2]
    return base[:size].copy()


def _guess(recipe, args):
    import collections
    import types

    kind = recipe[0]
    if kind != "dict":
        return _scalar(recipe, args)
    _, cls, items = recipe
    built = {}
    for key_recipe, value_recipe in items:
        if isinstance(key_recipe, tuple):
            key = {"extra": "extra", "int_key": 3, "bytes_key": b"drift_rate", "str_sub": type("StrSub", (str,), {})("drift_rate")}[key_recipe[0]]
        else:
            key = key_recipe
        built[key] = _scalar(value_recipe, args)
    if cls == "subclass":
        return type("DictSub", (dict,), {"__getitem__": lambda self, k: 1.0, "keys": lambda self: []})(built)
    if cls == "ordered":
        return collections.OrderedDict(built)
    if cls == "defaultdict":
        return collections.defaultdict(float, built)
    if cls == "proxy":
        return types.MappingProxyType(built)
    if cls == "pairs":
        return list(built.items())
    return built


def build(case):
    """The function name and the arguments, in signature order, of a case."""
    function, recipes, style = case
    args = {}
    # Arrays first: conversion methods of later arguments refer to them.
    for name, recipe in recipes.items():
        if name in ("choices", "rts") and recipe[0] != "alias":
            args[name] = _array(recipe, args)
    if recipes.get("rts", ("",))[0] == "alias":
        args["rts"] = args["choices"]
    for name, recipe in recipes.items():
        if name == "initial_guess":
            args[name] = _guess(recipe, args)
        elif name not in ("choices", "rts"):
            args[name] = _scalar(recipe, args)
    return function, [(name, args[name]) for name in recipes], style


def call(case):
    import _corvatel

    import corvatel

    function, named, style = build(case)
    fn = getattr(_corvatel if function in MODULE_FUNCTIONS else corvatel, function)
    if function in DENSITIES:  # (rt, choice, ...) with the rest keyword-only
        named = [({"rts": "rt", "choices": "choice"}.get(name, name), value) for name, value in named]
        if style == "positional":
            return fn(*[v for _, v in named[:POSITIONAL]], **dict(named[POSITIONAL:]))
    if style == "positional":
        return fn(*[v for _, v in named])
    if style == "extra_keyword":
        return fn(**dict(named), unexpected=1)
    if style == "too_few":
        return fn(*[v for _, v in named][:1])
    return fn(**dict(named))


def outcome_problem(case, result, error):
    """Why this outcome is not a documented one, or None."""
    import numpy as np

    if error is not None:
        if isinstance(error, (TypeError, OverflowError, ValueError, MemoryError, Planted)):
            return None
        if type(error) is RuntimeError and str(error) in DICT_MUTATION_ERRORS:
            return None
        return f"undocumented exception {type(error).__qualname__}: {error}"
    function = case[0]
    if function == "simulate":
        ok = (
            isinstance(result, tuple)
            and len(result) == 3
            and isinstance(result[0], np.ndarray)
            and result[0].dtype == np.bool_
            and isinstance(result[1], np.ndarray)
            and result[1].dtype == np.float64
            and len(result[0]) == len(result[1])
            and type(result[2]) is int
        )
        return None if ok else f"simulate returned {result!r}"
    if function in DENSITIES:
        logp = result[0] if function == "wfpt_logpdf_grad" else result
        ok = isinstance(logp, float) or (isinstance(logp, np.ndarray) and logp.dtype == np.float64)
        if function == "wfpt_logpdf_grad":
            ok = ok and isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], dict)
        return None if ok else f"{function} returned {result!r}"
    if function in MODULE_FUNCTIONS:
        keys = ["params", "converged", "iterations", "n_params", "log_likelihood", "aic", "bic"]
        ok = isinstance(result, dict) and sorted(result) == sorted(keys)
        ok = ok and isinstance(result["params"], list if function == "fit_bounds_ml_joint" else dict)
        return None if ok else f"{function} returned {result!r}"
    keys = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]
    if function == "fit_sim":
        keys += ["iterations", "final_cost"]
    if not isinstance(result, dict) or list(result) != keys:
        return f"{function} returned {result!r}"
    return None


def child_main():
    """Serves cases: each a length-prefixed pickle on stdin, each answered by
    one line on stdout ("done FUNCTION OUTCOME" or "problem TEXT")."""
    import struct
    import warnings

    warnings.simplefilter("ignore")
    stdin, out = sys.stdin.buffer, sys.stdout
    out.write("ready\n")
    out.flush()
    while True:
        header = stdin.read(4)
        if len(header) < 4:
            return
        case = pickle.loads(stdin.read(struct.unpack("<I", header)[0]))
        result, error = None, None
        try:
            result = call(case)
        except BaseException as e:  # noqa: BLE001 - every escape is judged below
            error = e
        problem = outcome_problem(case, result, error)
        outcome = "returned" if error is None else type(error).__qualname__
        out.write(f"problem {problem}\n" if problem else f"done {case[0]} {outcome}\n")
        out.flush()
        del result, error


CHILD = "import sys; sys.path.insert(0, {path!r}); import fuzzing; fuzzing.child_main()"


class Child:
    """A python that makes the calls, replaced after it dies."""

    def __init__(self):
        import tempfile

        self.stderr = tempfile.TemporaryFile()
        code = CHILD.format(path=str(Path(__file__).resolve().parent))
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr)
        self.lines = self.proc.stdout
        if self._line(120) != "ready":
            raise RuntimeError(f"the fuzz child did not start: {self._stderr()}")

    def _line(self, timeout):
        import select

        ready, _, _ = select.select([self.lines], [], [], timeout)
        if not ready:
            return None  # a hang
        return self.lines.readline().decode(errors="replace").rstrip("\n")

    def _stderr(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")[-3000:]

    def run(self, case, timeout):
        """("done", function, outcome), ("problem", text) or ("dead", text)."""
        import struct

        data = pickle.dumps(case)
        try:
            self.proc.stdin.write(struct.pack("<I", len(data)) + data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        line = self._line(timeout)
        if line is None:
            self.proc.kill()
            self.close()
            return ("dead", f"the call hung (over {timeout} s)")
        if line.startswith("done "):
            return ("done", *line.split()[1:3])
        if line.startswith("problem "):
            return ("problem", line[len("problem ") :])
        status = self.proc.wait()
        stderr = self._stderr()
        self.close()
        return ("dead", f"the child ended with status {status}\n{stderr}")

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()


_child = None


def close_child():
    """Ends the child that serves the cases, if there is one."""
    global _child
    if _child is not None:
        _child.close()
        _child = None


def run_batch(batch, timeout=120):
    """Makes the calls in a child python, one case at a time. Returns a
    description of the first failure (None if there is none) and the
    outcomes before it, as (function, "returned" or exception type name)."""
    global _child
    outcomes = []
    for i, case in enumerate(batch):
        if _child is not None and _child.proc.poll() is not None:
            close_child()
        if _child is None:
            _child = Child()
        answer = _child.run(case, timeout)
        if answer[0] == "done":
            outcomes.append(answer[1:])
            continue
        if answer[0] == "dead":
            _child = None  # already closed
        return f"case {i}: {answer[1]}\n  in case {case!r}", outcomes
    return None, outcomes
