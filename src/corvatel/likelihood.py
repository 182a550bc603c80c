"""Likelihood of the diffusion model: first-passage time densities and
distribution functions over NumPy arrays and maximum-likelihood fits of one data set or of conditions
that share parameters.

The numbers come from the C++ core (``_corvatel``); this module broadcasts
arguments, groups trials by level and names the results.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt

import _corvatel

from ._params import BY_NAME, MODELS, PARAMETERS, ml_parameters

# What the densities take: numbers or arrays (anything np.asarray accepts).
ArrayLike = npt.ArrayLike
Model = Literal["ddm", "full"]
# Where contaminants' response times lie unless a call says otherwise (seconds).
OUTLIER_WINDOW = (0.0, 5.0)

__all__ = ["wfpt_pdf", "wfpt_logpdf", "wfpt_logpdf_grad", "wfpt_cdf", "wfpt_logcdf", "fit_ml", "fit_ml_joint",
           "bounds_logpdf"]

# The time-varying bounds (see bounds_logpdf) and the parameters each takes,
# from the core's table of the terms: the constant bound first, then the
# others in the order of their terms.
_TERMS = _corvatel.bound_terms()
BOUNDS = {"constant": (), **{bound: tuple(t["name"] for t in _TERMS if bound in t["bounds"])
                             for term in _TERMS for bound in term["bounds"]}}
# The fit_ml models that are a bound's name.
BOUND_MODELS = ("angle", "weibull")


# The parameters wfpt_logpdf_grad differentiates in, in the module's order.
GRADIENT_PARAMETERS = ("drift", "boundary", "start", "t0", "sv", "sz", "st", "p_outlier")


def _choice_codes(value: ArrayLike, name: str) -> npt.NDArray[np.bool_]:
    """`value` as an array of bools: bools (Python or NumPy) as they are,
    integers 0 and 1 (Python ints, NumPy integer scalars and arrays) as
    False and True. Anything else is refused with an error naming the
    argument: TypeError for values of another type (floats, strings...),
    ValueError for integers other than 0 and 1."""
    if isinstance(value, int) and not isinstance(value, bool) and value not in (0, 1):
        raise ValueError(f"{name} must hold only bools or the integers 0 and 1, found {value}")
    array = np.asarray(value)
    if array.dtype == np.bool_:
        return array
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must hold bools or the integers 0 and 1, not {array.dtype} values")
    if array.size and (array.min() < 0 or array.max() > 1):
        found = array.min() if array.min() < 0 else array.max()
        raise ValueError(f"{name} must hold only bools or the integers 0 and 1, found {found}")
    return array.astype(np.bool_)


def _real_array(value: ArrayLike | None, name: str) -> npt.NDArray[Any]:
    """`value` as an array of real numbers (ints and bools included, any
    layout); text ("0.8"), complex numbers and dates are refused naming
    the argument (NumPy reads text as numbers and drops an imaginary part
    with only a warning)."""
    array = np.asarray(value)
    if array.dtype.kind not in "biufO":
        raise TypeError(f"{name} must be a number or an array of numbers, not {array.dtype} values")
    return array


def _flat(array: npt.NDArray[Any], shape: tuple[int, ...]) -> Any:
    """`array` as a number when it has one element, else as a contiguous
    1-D array over the broadcast shape (copied only when it is not one
    already, or when broadcasting repeats it)."""
    if array.size == 1 and array.ndim <= len(shape):
        return array.reshape(()).item()
    return np.ascontiguousarray(np.broadcast_to(array, shape)).reshape(-1)


def _copies(array: npt.NDArray[Any], dtype: type[np.generic], shape: tuple[int, ...]) -> bool:
    """Whether _flat(array as dtype) makes a full-size copy."""
    if array.size == 1:
        return False
    return array.dtype != dtype or array.shape != shape or not array.flags.c_contiguous


_DENSITY_ARGUMENTS = ("rt", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st", "p_outlier")


def _densities(function: Callable[..., Any], rt: ArrayLike, choice: ArrayLike, drift: ArrayLike,
               boundary: ArrayLike, start: ArrayLike, t0: ArrayLike, noise_sd: ArrayLike, sv: ArrayLike,
               sz: ArrayLike, st: ArrayLike, p_outlier: ArrayLike | None = None, outlier_window: Any = None) -> Any:
    """`function` over the broadcast arguments; the contaminant mixture's
    two only for the densities (`p_outlier` not None)."""
    choices = _choice_codes(choice, "choice")
    mixture = p_outlier is not None
    if mixture:
        _corvatel.check_outlier_window(outlier_window)
    model = (rt, drift, boundary, start, t0, noise_sd, sv, sz, st) + ((p_outlier,) if mixture else ())
    floats = [_real_array(x, name) for x, name in zip(model, _DENSITY_ARGUMENTS)]
    shape = np.broadcast_shapes(choices.shape, *(x.shape for x in floats))
    size = int(np.prod(shape))
    if size == 0:
        empty = np.empty(shape, dtype=np.float64)
        if function.__name__.endswith("_grad"):
            return empty, {name: empty.copy() for name in GRADIENT_PARAMETERS}
        return empty
    # Everything the call holds at once, checked before anything is copied:
    # the output and each argument that broadcasting or a dtype change copies
    # to full size (a float64 array of the full shape is used in place).
    gradient = function.__name__.endswith("_grad")
    outputs = 1 + gradient * len(GRADIENT_PARAMETERS)
    bytes_each = (8 * outputs + sum(8 for x in floats if _copies(x, np.float64, shape))
                  + _copies(choices, np.bool_, shape))
    if not _corvatel._memory_allows(size, bytes_each):
        what = "densities" if "pdf" in function.__name__ else "values"
        raise MemoryError(f"{function.__name__}: {size} {what} need more memory than this machine can give")
    args = [_flat(x.astype(np.float64, copy=False), shape) for x in floats]
    args.insert(1, _flat(choices, shape))
    out = (function(*args[:-1], p_outlier=args[-1], outlier_window=outlier_window) if mixture
           else function(*args))
    if gradient:
        logp, rows = out
        return _shaped(logp, shape, size), {name: _shaped(row, shape, size)
                                            for name, row in zip(GRADIENT_PARAMETERS, rows)}
    return _shaped(out, shape, size)


def _shaped(out: npt.NDArray[np.float64], shape: tuple[int, ...], size: int) -> Any:
    """The module's flat output in the arguments' broadcast shape (a float
    for scalar arguments)."""
    if shape == ():
        return float(out[0])
    if out.size != size:  # every argument was a number
        out = np.full(size, out[0])
    return out.reshape(shape)


def wfpt_logpdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
                t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
                st: ArrayLike = 0.0, p_outlier: ArrayLike = 0.0,
                outlier_window: tuple[float, float] = OUTLIER_WINDOW) -> Any:
    """Log first-passage time density of the diffusion model.

    The density of ending at the upper boundary (``choice`` true) or at 0 at
    response time ``rt`` (seconds, ``t0`` included); defective, so over
    ``rt`` it integrates to the probability of that response. ``start`` is
    relative (0-1); ``sv`` is the standard deviation of the drift across
    trials, ``sz`` the width of a uniform relative start centred on
    ``start``, ``st`` the width of a uniform non-decision time centred on
    ``t0``. ``choice`` holds bools or the integers 0 and 1 (anything else
    raises ``TypeError``, or ``ValueError`` for other integers). Arguments
    broadcast like NumPy ufuncs; a float comes back when all are scalars.
    ``rt <= t0 - st/2`` gives -inf.

    With ``p_outlier`` > 0 it is the density of a mixture: with probability
    ``p_outlier`` a trial is a contaminant, either response with probability
    1/2 at a time uniform on ``outlier_window`` = (lo, hi), so the density is
    ``(1 - p) * wfpt + p * 0.5 / (hi - lo)`` inside the window and
    ``(1 - p) * wfpt`` outside (its log computed as a sum of logs, without
    underflow). ``p_outlier`` 0 (the default) gives the diffusion model's
    own density, bit for bit. Invalid parameters raise ``ValueError``
    naming the argument; a call whose output and broadcast copies need more
    memory than the machine can give raises ``MemoryError`` before copying.
    Large inputs run on the worker pool (the values do not depend on its
    size), and Ctrl-C stops the call.
    """
    return _densities(_corvatel.wfpt_logpdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st,
                      p_outlier, outlier_window)


def wfpt_logpdf_grad(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
                     t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
                     st: ArrayLike = 0.0, p_outlier: ArrayLike = 0.0,
                     outlier_window: tuple[float, float] = OUTLIER_WINDOW) -> tuple[Any, dict[str, Any]]:
    """``wfpt_logpdf`` and its partial derivatives, computed together.

    Returns ``(logp, grad)``: ``logp`` is ``wfpt_logpdf`` of the same
    arguments, bit for bit, and ``grad`` a dict of the derivatives of
    ``logp`` in ``drift``, ``boundary``, ``start``, ``t0``, ``sv``, ``sz``,
    ``st`` and ``p_outlier`` (keyed by those names), each broadcast like
    ``logp`` (floats when all arguments are numbers). ``noise_sd`` is the
    scale the others are measured in and has no derivative here.

    Without ``sz`` and ``st`` the derivatives are the series' own,
    differentiated term by term. With them the density is a mean over a
    window of starts or non-decision times, and each derivative the mean of
    the density's over that window (``sz``'s and ``st``'s weighted by the
    place in the window), all integrated together to 1e-9 of their
    magnitude. At ``sz`` or ``st`` 0 their derivative is 0 (the one-sided
    limit). Where the density is 0 (``rt <= t0 - st/2``) the diffusion's
    derivatives are 0; with contaminants, ``p_outlier``'s is ``1/p_outlier``.

    >>> logp, grad = wfpt_logpdf_grad([0.5, 0.8], [True, False], 1.0, 1.5, 0.5, 0.3)
    >>> sorted(grad)
    ['boundary', 'drift', 'p_outlier', 'start', 'st', 'sv', 'sz', 't0']

    Arguments, broadcasting and errors are those of ``wfpt_logpdf``; large
    inputs run on the worker pool without the interpreter lock.
    """
    return cast(tuple[Any, dict[str, Any]],
                _densities(_corvatel.wfpt_logpdf_grad, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st,
                           p_outlier, outlier_window))


def wfpt_pdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
             t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
             st: ArrayLike = 0.0, p_outlier: ArrayLike = 0.0,
             outlier_window: tuple[float, float] = OUTLIER_WINDOW) -> Any:
    """First-passage time density of the diffusion model (see ``wfpt_logpdf``;
    with ``p_outlier`` > 0, of its mixture with contaminants)."""
    return _densities(_corvatel.wfpt_pdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st,
                      p_outlier, outlier_window)


def check_flag(name: str, value: Any) -> bool:
    """`value` if it is True or False: a truthy string such as "False"
    would quietly turn an option on."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def wfpt_cdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
             t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
             st: ArrayLike = 0.0, complement: bool = False) -> Any:
    """First-passage distribution function of the diffusion model.

    F(rt, choice): the probability that a trial ends at the upper boundary
    (``choice`` true) or at 0 with a response time at most ``rt`` (seconds,
    ``t0`` included), the integral of ``wfpt_pdf`` up to ``rt``. It is 0 for
    ``rt <= t0 - st/2`` and tends to the probability P(choice) of that
    response as ``rt`` grows (``rt=inf`` gives P(choice)). With
    ``complement=True`` it is P(choice) - F(rt, choice), the probability of
    that response after ``rt``, computed as such, so that it keeps its
    relative accuracy where it is far below P(choice) (the tail a response
    window cuts off). Arguments, broadcasting, choice codings and errors are
    those of ``wfpt_logpdf``; the values are within 1e-10 of the exact ones
    relative to themselves (so at most 1e-10 absolute). Where the
    complement's quadrature runs out of its budget (a drift spread above
    about 1.5 with a boundary above 3, often with sz or st) it is P(choice)
    - F where that is at least a thousandth of P(choice) (within 1e-10
    absolute), and further out in the tail may miss its relative accuracy
    (by up to about 1e-5).
    """
    function = _corvatel.wfpt_cdf_complement if check_flag("complement", complement) else _corvatel.wfpt_cdf
    return _densities(function, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


def wfpt_logcdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
                t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
                st: ArrayLike = 0.0, complement: bool = False) -> Any:
    """log of ``wfpt_cdf`` (with ``complement=True``, log(P(choice) -
    F(rt, choice))), finite also where the value underflows; -inf where it
    is 0."""
    function = _corvatel.wfpt_logcdf_complement if check_flag("complement", complement) else _corvatel.wfpt_logcdf
    return _densities(function, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


_PARAMS = {model: ml_parameters(model) for model in MODELS}
# What a result names: every parameter a likelihood fit may estimate, then
# the fixed ones, then p_outlier.
_REPORTED = (_PARAMS["full"] + tuple(p.fit_name for p in PARAMETERS if not set(MODELS) & set(p.fitted_by))
             + tuple(p.fit_name for p in PARAMETERS if p.mixture))


def check_p_outlier(p_outlier: Any, outlier_window: Any = OUTLIER_WINDOW) -> float | Literal["free"]:
    """A likelihood fit's p_outlier: "free", or a number in its range (as a
    float). Refuses, naming the argument, anything else and a bad window."""
    _corvatel.check_outlier_window(outlier_window)
    if isinstance(p_outlier, str):
        if p_outlier != "free":
            raise ValueError(f'p_outlier must be a number or "free", not {p_outlier!r}')
        return "free"
    if isinstance(p_outlier, bool) or not isinstance(p_outlier, (int, float, np.integer, np.floating)):
        raise TypeError(f'p_outlier must be a number or "free", not {p_outlier!r}')
    refusal = BY_NAME["p_outlier"].refusal(float(p_outlier))
    if refusal is not None:
        raise ValueError(f"p_outlier {refusal}, not {p_outlier!r}")
    return float(p_outlier)


def _data(choices: ArrayLike, rts: ArrayLike) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    choice_array = np.ascontiguousarray(_choice_codes(choices, "choices"))
    rt_array = np.ascontiguousarray(_real_array(rts, "rts"), dtype=np.float64)
    if choice_array.ndim != 1 or rt_array.ndim != 1:
        raise ValueError("choices and rts must be one-dimensional")
    return choice_array, rt_array


def _named(params: Mapping[str, object], fit: Mapping[str, Any]) -> dict[str, Any]:
    result: dict[str, Any] = {key: params[key] for key in _REPORTED}
    result.update({key: fit[key] for key in ("converged", "iterations", "log_likelihood", "aic", "bic", "n_params")})
    return result


def fit_ml(choices: ArrayLike, rts: ArrayLike, *, model: str = "ddm", p_outlier: float | str = 0.0,
           outlier_window: tuple[float, float] = OUTLIER_WINDOW,
           rt_window: tuple[float, float] | None = None, bound: str | None = None, leak: bool = False,
           urgency: bool = False, start: float | str | None = None) -> dict[str, Any]:
    """Maximum-likelihood fit of the diffusion model to one data set.

    ``model="ddm"`` estimates drift rate, boundary separation, starting point
    and non-decision time (noise fixed at 1); ``"full"`` adds ``sv``, ``sz``
    and ``st``. The upper boundary is ``choices`` true (bools, or the
    integers 0 and 1; other codings raise naming ``choices``). Returns a dict with
    the parameters (variabilities 0 for ``"ddm"``), ``noise_sd``,
    ``converged``, ``iterations``, ``log_likelihood``, ``aic``, ``bic`` and
    ``n_params``. Deterministic: the same data give the same result. Raises
    ``CorvatelError`` for data that cannot be fitted (too few trials,
    response times that are not positive and finite).

    ``p_outlier`` mixes contaminants into the likelihood (see
    ``wfpt_logpdf``): a number fixes their share, ``"free"`` estimates it
    within (0, 0.5) as one more parameter (counted in ``n_params``, AIC and
    BIC). The result's ``p_outlier`` is its value. With contaminants a trial
    inside ``outlier_window`` no longer bounds the non-decision time: t0
    stays below the fastest response outside the window and below the median
    response. The default 0 is the diffusion model's own likelihood.

    ``rt_window=(lo, hi)`` (seconds, ``hi`` may be ``inf``) says the trials
    were selected to lie in that window, as ``fit(min_rt=, max_rt=)``
    selects them: each trial's likelihood is divided by the model's
    probability of a response in the window (contaminants included), so
    the estimates are of the whole model and not of the cut distribution.
    A response time outside the window raises ``CorvatelError``.

    Time-varying bounds, leak and urgency (the model of ``bounds_logpdf``):
    ``model="angle"`` or ``"weibull"``, or ``bound=`` any of
    ``"constant"``, ``"angle"``, ``"weibull"``, ``"exponential"``,
    ``"hyperbolic"`` (with ``model`` left at ``"ddm"`` or naming the same
    bound), and ``leak=True`` / ``urgency=True``, fit drift rate, boundary
    separation, non-decision time, the bound's own parameters (``theta``;
    ``shape`` and ``scale``; ``rate``) and the leak and urgency when
    flagged, by maximising the likelihood computed by the first-passage
    solver (one solve per evaluation of the likelihood, at its default
    resolution). The start is fixed at ``start`` (default 0.5);
    ``start="free"`` estimates it. The search starts from the standard
    model's fit with a mild and a stronger collapse and keeps the best,
    deterministically. Returns ``drift_rate``, ``boundary_separation``,
    ``starting_point``, ``non_decision_time``, ``noise_sd`` (1), the bound's
    parameters, ``leak``, ``urgency`` (0 unless flagged), ``bound``, and the
    fit's ``converged``, ``iterations``, ``log_likelihood``, ``aic``,
    ``bic`` and ``n_params``. ``p_outlier``, ``outlier_window`` and
    ``rt_window`` apply as to the standard model: the contaminants mix into
    each trial's solved density, and the window's probability is the
    solved model's mass in it (from the same solve) mixed with theirs.
    """
    choice_array, rt_array = _data(choices, rts)
    solver_bound = _solver_bound(model, bound, leak, urgency, start)
    p_outlier = check_p_outlier(p_outlier, outlier_window)
    if solver_bound is not None:
        fixed_start = None if start == "free" else (0.5 if start is None else start)
        solved = _corvatel.fit_bounds_ml(choice_array, rt_array, cast(Any, solver_bound), bool(leak), bool(urgency),
                                         cast(Any, fixed_start), p_outlier, outlier_window, rt_window)
        return _bounds_named(solved["params"], solved, solver_bound)
    fit = _corvatel.fit_ml(choice_array, rt_array, cast(Model, model), p_outlier, outlier_window, rt_window)
    return _named(fit["params"][0], fit)


def fit_ml_joint(choices: ArrayLike, rts: ArrayLike, levels: ArrayLike, *,
                 depends_on: str | Sequence[str] = ("drift_rate",), model: str = "ddm",
                 p_outlier: float | str = 0.0,
                 outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                 rt_window: tuple[float, float] | None = None, bound: str | None = None, leak: bool = False,
                 urgency: bool = False, start: float | str | None = None) -> list[dict[str, Any]]:
    """Joint maximum-likelihood fit of conditions that share parameters.

    ``levels`` holds one integer code per trial. The parameters named in
    ``depends_on`` are free for each level, the others shared by all levels.
    Returns a list of dicts, one per level in ascending code order, each
    with ``level``, the parameters (shared values repeated), the joint
    ``converged``, ``iterations``, ``log_likelihood``, ``aic``, ``bic``,
    ``n_params`` and the level's ``n_trials``. ``p_outlier``,
    ``outlier_window`` and ``rt_window`` are those of ``fit_ml``; a free p_outlier is shared
    by all levels unless ``depends_on`` names it.

    ``model="angle"`` or ``"weibull"``, or ``bound=``, ``leak=True``,
    ``urgency=True`` and ``start=``, as in ``fit_ml``, fit the model between
    time-varying bounds jointly: ``depends_on`` may name any parameter the
    fit estimates (``drift_rate``, ``boundary_separation``,
    ``starting_point`` when ``start="free"``, ``non_decision_time``, the
    bound's ``theta``, ``shape``, ``scale`` or ``rate``, ``leak``,
    ``urgency``, and ``p_outlier`` when it is ``"free"``). Each level is
    fitted alone first (``fit_ml``); the joint search starts from those
    estimates, a shared parameter at the mean of the levels' (in the
    search's coordinates). Rows hold ``level``, the columns of ``fit_ml``'s
    bound fit and ``n_trials``.
    """
    choice_array, rt_array = _data(choices, rts)
    level_array = np.asarray(levels)
    if level_array.shape != rt_array.shape:
        raise ValueError("levels must have one code per trial")
    if level_array.size and not np.issubdtype(level_array.dtype, np.integer):
        raise TypeError("levels must be integer codes")
    dependent = (depends_on,) if isinstance(depends_on, str) else tuple(depends_on)
    solver_bound = _solver_bound(model, bound, leak, urgency, start)
    if solver_bound is None and model not in _PARAMS:
        raise ValueError('model must be "ddm" or "full"')
    codes, inverse, counts = np.unique(level_array, return_inverse=True, return_counts=True)
    order = np.argsort(inverse, kind="stable")
    p_outlier = check_p_outlier(p_outlier, outlier_window)
    if solver_bound is not None:
        fitted = bounds_parameters(solver_bound, bool(leak), bool(urgency), start == "free", p_outlier == "free")
        for name in dependent:
            if name not in fitted:
                raise ValueError(f"depends_on: {name!r} is not a parameter of this fit (bound {solver_bound!r}); "
                                 f"its parameters are {', '.join(fitted)}")
        fixed_start = None if start == "free" else (0.5 if start is None else start)
        solved = _corvatel.fit_bounds_ml_joint(
            choice_array[order], rt_array[order], [int(c) for c in counts], cast(Any, solver_bound), bool(leak),
            bool(urgency), cast(Any, fixed_start), dependent, p_outlier, outlier_window, rt_window)
        return [{"level": int(code), **_bounds_named(p, solved, solver_bound), "n_trials": int(count)}
                for code, count, p in zip(codes, counts, solved["params"])]
    fit = _corvatel.fit_ml_joint(
        choice_array[order], rt_array[order], [int(c) for c in counts], cast(Model, model), dependent, p_outlier,
        outlier_window, rt_window
    )
    results = []
    for code, count, p in zip(codes, counts, fit["params"]):
        row: dict[str, Any] = {"level": int(code)}
        row.update(_named(p, fit))
        row["n_trials"] = int(count)
        results.append(row)
    return results


def _solver_bound(model: Any, bound: Any, leak: Any, urgency: Any, start: Any) -> str | None:
    """The bound a fit_ml call asks the first-passage solver for, or None
    for a fit of the standard model ("ddm", "full")."""
    check_flag("leak", leak)
    check_flag("urgency", urgency)
    if model in BOUND_MODELS:
        if bound is not None and bound != model:
            raise ValueError(f"bound={bound!r} contradicts model={model!r}")
        bound = model
    elif model not in _PARAMS:
        raise ValueError('model must be "ddm", "full", "angle" or "weibull"')
    if bound is None and not leak and not urgency:
        if start is not None:
            raise ValueError("start applies to fits with time-varying bounds, leak or urgency; "
                             f'model {model!r} estimates it')
        return None
    if model == "full":
        raise ValueError('model "full" takes no bound, leak or urgency')
    if bound is None:
        bound = "constant"
    if bound not in BOUNDS:
        raise ValueError(f"bound must be one of {', '.join(repr(b) for b in BOUNDS)}, not {bound!r}")
    if start is not None and start != "free" and (isinstance(start, (str, bool))
                                                  or not isinstance(start, (int, float, np.integer, np.floating))):
        raise TypeError(f'start must be a number or "free", not {start!r}')
    return cast(str, bound)


def bounds_parameters(bound: str, leak: bool, urgency: bool, start_free: bool,
                      p_outlier_free: bool = False) -> tuple[str, ...]:
    """The parameters a fit with a time-varying bound, leak or urgency
    estimates, under the names of its results."""
    walk = ("drift", "boundary") + (("start",) if start_free else ()) + ("t0",)
    return (tuple(BY_NAME[name].fit_name for name in walk) + BOUNDS[bound] + (("leak",) if leak else ())
            + (("urgency",) if urgency else ()) + (("p_outlier",) if p_outlier_free else ()))


def _bounds_named(params: Mapping[str, float], fit: Mapping[str, Any], bound: str) -> dict[str, Any]:
    result: dict[str, Any] = {"drift_rate": params["drift"], "boundary_separation": params["boundary"],
                              "starting_point": params["start"], "non_decision_time": params["t0"],
                              "noise_sd": params["noise_sd"]}
    result.update({name: params[name] for name in BOUNDS[bound]})
    result.update({"leak": params["leak"], "urgency": params["urgency"], "p_outlier": params["p_outlier"],
                   "bound": bound})
    result.update({key: fit[key] for key in ("converged", "iterations", "log_likelihood", "aic", "bic", "n_params")})
    return result


def bounds_logpdf(rt: ArrayLike, choice: ArrayLike, drift: float, boundary: float, start: float, t0: float, *,
                  bound: str = "constant", theta: float = 0.0, shape: float = 1.0, scale: float = 1.0,
                  rate: float = 0.0, leak: float = 0.0, urgency: float = 0.0, noise_sd: float = 1.0,
                  sz: float = 0.0, st: float = 0.0, resolution: float | None = None) -> Any:
    """Log first-passage time density of the diffusion model between
    time-varying bounds, with leak and urgency.

    The walk runs in a band of half-width B(t) around its middle, which it
    starts ``start`` (relative, 0-1) of the way up, with drift ``drift``
    and noise ``noise_sd``; ``choice`` true is the upper bound. ``bound``
    names B(t), with ``a = boundary`` the initial width:

    - ``"constant"``: a/2, the standard model (``wfpt_logpdf``);
    - ``"angle"``: a/2 - t tan(``theta``), ``theta`` in radians (-pi/2,
      pi/2), a linear collapse that closes the band at
      t = a / (2 tan theta) when ``theta`` > 0;
    - ``"weibull"``: a/2 exp(-(t/``scale``)^``shape``), both positive;
    - ``"exponential"``: a/2 exp(-``rate`` t); ``"hyperbolic"``:
      a/2 / (1 + ``rate`` t), ``rate`` >= 0 per second.

    ``leak`` (>= 0, per second) pulls the walk toward the middle of the band
    (an Ornstein-Uhlenbeck process); ``urgency`` (>= 0, per second)
    multiplies drift and noise by 1 + urgency t. ``sz`` is the width of a
    uniform relative start around ``start``, ``st`` of a uniform
    non-decision time around ``t0`` (as in ``wfpt_logpdf``). Parameters a
    bound does not use are ignored.

    The model's parameters are numbers (one solve of the first-passage
    equations serves every trial); ``rt`` and ``choice`` broadcast against
    each other, and a float comes back when both are scalars. ``resolution``
    is the solver's grid step relative to the band's diffusion time
    (boundary / noise_sd)^2 (the smaller of it and the start's), default
    1/144: relative error below 1e-4 where the density exceeds 1% of its
    peak; 1/576 gives 1e-6, for 16 times the work; at most 1/16 (3% off in
    the tail). The step follows the
    band's initial width: where a steep collapse has narrowed the band to a
    small part of it, the error there is larger (9% where an angle of 1 rad
    has narrowed a band of 1.5 to an eighth; 0.1% at 1/576), and it follows
    ``start``, not the nearer end of the ``sz`` window: where that end is
    far closer to a bound, the error is larger (0.6% at 1% of the peak with
    start 0.306 and sz 0.448, the window's end at 0.082; 2e-4 at 1/576).
    The grid reaches the
    longest decision time among the finite ``rt`` and may take at most
    100000 steps. The solve runs without the interpreter lock; Ctrl-C stops
    it with ``KeyboardInterrupt``. Invalid
    values raise ``ValueError`` naming the argument.
    """
    choices = _choice_codes(choice, "choice")
    times = np.asarray(_real_array(rt, "rt"), dtype=np.float64)
    # As wfpt_logpdf: a missing response time is no trial to give -inf to.
    if np.isnan(times).any():
        raise ValueError("rt must not be NaN")
    shape_out = np.broadcast_shapes(choices.shape, times.shape)
    # The output, rt and choice at full size, checked before anything is copied.
    size = math.prod(shape_out)
    if not _corvatel._memory_allows(size, 8 + 8 + 1):
        raise MemoryError(f"bounds_logpdf: {size} densities need more memory than this machine can give")
    # Copies, never views of the caller's arrays: the module converts the
    # model's numbers after it holds the arrays, and a number's __float__
    # may resize the array a view was taken of.
    flat_rt = np.array(np.broadcast_to(times, shape_out), order="C").reshape(-1)
    flat_choice = np.array(np.broadcast_to(choices, shape_out), order="C").reshape(-1)
    out = _corvatel.bounds_logpdf(flat_rt, flat_choice, drift, boundary, start, t0, cast(Any, bound), theta, shape,
                                  scale, rate, leak, urgency, noise_sd, sz, st, resolution)
    if shape_out == ():
        return float(out[0])
    return out.reshape(shape_out)
