"""Likelihood of the diffusion model: first-passage time densities and
distribution functions over NumPy arrays and maximum-likelihood fits of one data set or of conditions
that share parameters.

The numbers come from the C++ core (``_corvatel``); this module broadcasts
arguments, groups trials by level and names the results.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt

import _corvatel

from ._params import MODELS, PARAMETERS, ml_parameters

# What the densities take: numbers or arrays (anything np.asarray accepts).
ArrayLike = npt.ArrayLike
Model = Literal["ddm", "full"]

__all__ = ["wfpt_pdf", "wfpt_logpdf", "wfpt_cdf", "wfpt_logcdf", "fit_ml", "fit_ml_joint"]


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


def _densities(function: Callable[..., npt.NDArray[np.float64]], rt: ArrayLike, choice: ArrayLike, drift: ArrayLike,
               boundary: ArrayLike, start: ArrayLike, t0: ArrayLike, noise_sd: ArrayLike, sv: ArrayLike,
               sz: ArrayLike, st: ArrayLike) -> Any:
    choices = _choice_codes(choice, "choice")
    floats = [np.asarray(x) for x in (rt, drift, boundary, start, t0, noise_sd, sv, sz, st)]
    shape = np.broadcast_shapes(choices.shape, *(x.shape for x in floats))
    size = int(np.prod(shape))
    if size == 0:
        return np.empty(shape, dtype=np.float64)
    # Everything the call holds at once, checked before anything is copied:
    # the output and each argument that broadcasting or a dtype change copies
    # to full size (a float64 array of the full shape is used in place).
    bytes_each = 8 + sum(8 for x in floats if _copies(x, np.float64, shape)) + _copies(choices, np.bool_, shape)
    if not _corvatel._memory_allows(size, bytes_each):
        what = "densities" if function.__name__.endswith("pdf") else "values"
        raise MemoryError(f"{function.__name__}: {size} {what} need more memory than this machine can give")
    args = [_flat(x.astype(np.float64, copy=False), shape) for x in floats]
    args.insert(1, _flat(choices, shape))
    out = function(*args)
    if shape == ():
        return float(out[0])
    if out.size != size:  # every argument was a number
        out = np.full(size, out[0])
    return out.reshape(shape)


def wfpt_logpdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
                t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
                st: ArrayLike = 0.0) -> Any:
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
    ``rt <= t0 - st/2`` gives -inf. Invalid parameters raise ``ValueError``
    naming the argument; a call whose output and broadcast copies need more
    memory than the machine can give raises ``MemoryError`` before copying.
    Large inputs run on the worker pool (the values do not depend on its
    size), and Ctrl-C stops the call.
    """
    return _densities(_corvatel.wfpt_logpdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


def wfpt_pdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
             t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
             st: ArrayLike = 0.0) -> Any:
    """First-passage time density of the diffusion model (see ``wfpt_logpdf``)."""
    return _densities(_corvatel.wfpt_pdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


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
    relative to themselves (so at most 1e-10 absolute).
    """
    function = _corvatel.wfpt_cdf_complement if complement else _corvatel.wfpt_cdf
    return _densities(function, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


def wfpt_logcdf(rt: ArrayLike, choice: ArrayLike, drift: ArrayLike, boundary: ArrayLike, start: ArrayLike,
                t0: ArrayLike, *, noise_sd: ArrayLike = 1.0, sv: ArrayLike = 0.0, sz: ArrayLike = 0.0,
                st: ArrayLike = 0.0, complement: bool = False) -> Any:
    """log of ``wfpt_cdf`` (with ``complement=True``, log(P(choice) -
    F(rt, choice))), finite also where the value underflows; -inf where it
    is 0."""
    function = _corvatel.wfpt_logcdf_complement if complement else _corvatel.wfpt_logcdf
    return _densities(function, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


_PARAMS = {model: ml_parameters(model) for model in MODELS}
# What a result names: every parameter a likelihood fit may estimate, then the fixed ones.
_REPORTED = _PARAMS["full"] + tuple(p.fit_name for p in PARAMETERS if not set(MODELS) & set(p.fitted_by))


def _data(choices: ArrayLike, rts: ArrayLike) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    choice_array = np.ascontiguousarray(_choice_codes(choices, "choices"))
    rt_array = np.ascontiguousarray(rts, dtype=np.float64)
    if choice_array.ndim != 1 or rt_array.ndim != 1:
        raise ValueError("choices and rts must be one-dimensional")
    return choice_array, rt_array


def _named(params: Mapping[str, object], fit: Mapping[str, Any]) -> dict[str, Any]:
    result: dict[str, Any] = {key: params[key] for key in _REPORTED}
    result.update({key: fit[key] for key in ("converged", "iterations", "log_likelihood", "aic", "bic", "n_params")})
    return result


def fit_ml(choices: ArrayLike, rts: ArrayLike, *, model: str = "ddm") -> dict[str, Any]:
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
    """
    choice_array, rt_array = _data(choices, rts)
    fit = _corvatel.fit_ml(choice_array, rt_array, cast(Model, model))
    return _named(fit["params"][0], fit)


def fit_ml_joint(choices: ArrayLike, rts: ArrayLike, levels: ArrayLike, *,
                 depends_on: str | Sequence[str] = ("drift_rate",), model: str = "ddm") -> list[dict[str, Any]]:
    """Joint maximum-likelihood fit of conditions that share parameters.

    ``levels`` holds one integer code per trial. The parameters named in
    ``depends_on`` are free for each level, the others shared by all levels.
    Returns a list of dicts, one per level in ascending code order, each
    with ``level``, the parameters (shared values repeated), the joint
    ``converged``, ``iterations``, ``log_likelihood``, ``aic``, ``bic``,
    ``n_params`` and the level's ``n_trials``.
    """
    choice_array, rt_array = _data(choices, rts)
    level_array = np.asarray(levels)
    if level_array.shape != rt_array.shape:
        raise ValueError("levels must have one code per trial")
    if level_array.size and not np.issubdtype(level_array.dtype, np.integer):
        raise TypeError("levels must be integer codes")
    dependent = (depends_on,) if isinstance(depends_on, str) else tuple(depends_on)
    if model not in _PARAMS:
        raise ValueError('model must be "ddm" or "full"')
    codes, inverse, counts = np.unique(level_array, return_inverse=True, return_counts=True)
    order = np.argsort(inverse, kind="stable")
    fit = _corvatel.fit_ml_joint(
        choice_array[order], rt_array[order], [int(c) for c in counts], cast(Model, model), dependent
    )
    results = []
    for code, count, p in zip(codes, counts, fit["params"]):
        row: dict[str, Any] = {"level": int(code)}
        row.update(_named(p, fit))
        row["n_trials"] = int(count)
        results.append(row)
    return results
