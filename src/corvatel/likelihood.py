"""Likelihood of the diffusion model: first-passage time densities over
NumPy arrays and maximum-likelihood fits of one data set or of conditions
that share parameters.

The numbers come from the C++ core (``_corvatel``); this module broadcasts
arguments, groups trials by level and names the results.
"""

from __future__ import annotations

import numpy as np

import _corvatel

__all__ = ["wfpt_pdf", "wfpt_logpdf"]


def _flat(value, dtype, shape):
    """`value` as a number when it has one element, else as a contiguous
    1-D array over the broadcast shape (copied only when it is not one
    already, or when broadcasting repeats it)."""
    array = np.asarray(value, dtype=dtype)
    if array.size == 1 and array.ndim <= len(shape):
        return array.reshape(()).item()
    return np.ascontiguousarray(np.broadcast_to(array, shape)).reshape(-1)


def _densities(function, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st):
    floats = [rt, drift, boundary, start, t0, noise_sd, sv, sz, st]
    shape = np.broadcast_shapes(*(np.shape(x) for x in [rt, choice, *floats[1:]]))
    size = int(np.prod(shape))
    args = [_flat(x, np.float64, shape) for x in floats]
    args.insert(1, _flat(choice, np.bool_, shape))
    if size == 0:
        return np.empty(shape, dtype=np.float64)
    out = function(*args)
    if shape == ():
        return float(out[0])
    if out.size != size:  # every argument was a number
        out = np.full(size, out[0])
    return out.reshape(shape)


def wfpt_logpdf(rt, choice, drift, boundary, start, t0, *, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0):
    """Log first-passage time density of the diffusion model.

    The density of ending at the upper boundary (``choice`` true) or at 0 at
    response time ``rt`` (seconds, ``t0`` included); defective, so over
    ``rt`` it integrates to the probability of that response. ``start`` is
    relative (0-1); ``sv`` is the standard deviation of the drift across
    trials, ``sz`` the width of a uniform relative start centred on
    ``start``, ``st`` the width of a uniform non-decision time centred on
    ``t0``. Arguments broadcast like NumPy ufuncs; a float comes back when
    all are scalars. ``rt <= t0 - st/2`` gives -inf. Invalid parameters raise
    ``ValueError`` naming the argument.
    """
    return _densities(_corvatel.wfpt_logpdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)


def wfpt_pdf(rt, choice, drift, boundary, start, t0, *, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0):
    """First-passage time density of the diffusion model (see ``wfpt_logpdf``)."""
    return _densities(_corvatel.wfpt_pdf, rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st)
