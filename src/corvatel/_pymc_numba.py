"""The compiled path of ``WfptLogp``: under a graph compiled with Numba
(nutpie, PyMC's numba mode) the Op calls the core's C function
(corvatel_sampler_log_densities, which the module exports) from nopython
code, so a sampler's step pays no Python.

The compiled form takes the shapes a model gives the Op: every input
either one value for all trials (a static shape of ones) or an array with
every axis of the output, some of them of static length 1 (a drift per
trial against participants x trials); those are broadcast to the output's
shape. Anything else runs the Op's Python in object mode, as PyTensor
does for an Op without a compiled form.
"""

# numba and pytensor's numba dispatch have no type information.
# mypy: disable-error-code="import-untyped, import-not-found, misc, no-untyped-call, untyped-decorator, unused-ignore"

from __future__ import annotations

import hashlib
from typing import Any

import llvmlite.binding
import numba
import numpy as np
from pytensor.link.numba.dispatch.basic import generate_fallback_impl, numba_njit, register_funcify_and_cache_key

import _corvatel

from .pymc import OP_PARAMETERS, WfptLogp

# Called by its name, which the module exports, rather than by an address:
# compiled code that names it stays valid in the next process, so PyTensor
# can cache it.
llvmlite.binding.load_library_permanently(_corvatel.__file__)
_SAMPLER = numba.types.ExternalFunction(
    "corvatel_sampler_log_densities",
    numba.types.int32(numba.types.int64, numba.types.int64, numba.types.int64, numba.types.float64,
                      numba.types.float64, numba.types.int64, numba.types.int64))
# Part of the cache key: a new value when the C function's arguments change.
_C_INTERFACE = 1
# The C function's columns: rt, choice, then the parameters.
_COLUMNS = 2 + len(OP_PARAMETERS)
_NAMES = ("rt", "choice", *OP_PARAMETERS)
_N_GRADIENTS = len(OP_PARAMETERS)


def _one_value(variable: Any) -> bool:
    return all(length == 1 for length in variable.type.shape)


def _source(broadcastable: tuple[tuple[bool, ...] | None, ...], gradients: bool) -> str:
    """The compiled function's source for columns that are one value
    (None) or have every axis of the output, those of static length 1
    (broadcastable[k][axis]) broadcast along it."""
    full = {k: axes for k, axes in enumerate(broadcastable) if axes is not None}
    first = next(iter(full))
    ndim = len(full[first])
    # Each axis's length from the first column that has it, else 1.
    lengths = [next((f"x{k}.shape[{axis}]" for k, axes in full.items() if not axes[axis]), "1")
               for axis in range(ndim)]
    names = [f"x{k}" for k in range(_COLUMNS + 2)]
    lines = [f"def wfpt_logp({', '.join(names)}):",
             f"    shape = ({', '.join(lengths)},)",
             f"    addresses = np.empty({_COLUMNS}, np.int64)",
             f"    steps = np.zeros({_COLUMNS}, np.int64)",
             f"    values = np.empty({_COLUMNS})"]
    for k, axes in enumerate(broadcastable):
        if axes is None:
            lines += [f"    values[{k}] = x{k}.item()",
                      f"    addresses[{k}] = values.ctypes.data + {8 * k}"]
            continue
        differs = " or ".join(f"x{k}.shape[{axis}] != shape[{axis}]" for axis in range(ndim) if not axes[axis])
        if differs:
            lines += [f"    if {differs}:",
                      f"        raise ValueError('WfptLogp: {_NAMES[k]} and {_NAMES[first]} differ in shape; a "
                      "length-1 axis not declared broadcastable needs a static shape of 1 "
                      "(pt.specify_broadcastable) or its full length')"]
        whole = f"np.broadcast_to(x{k}, shape)" if any(axes) else f"x{k}"
        lines += [f"    c{k} = np.ascontiguousarray({whole})",
                  f"    addresses[{k}] = c{k}.ctypes.data",
                  f"    steps[{k}] = 1"]
    lines += ["    logp = np.empty(shape)",
              f"    slopes = np.empty(({_N_GRADIENTS},) + shape)",
              f"    status = sampler(logp.size, addresses.ctypes.data, steps.ctypes.data, x{_COLUMNS}.item(), "
              f"x{_COLUMNS + 1}.item(), logp.ctypes.data, {'slopes.ctypes.data' if gradients else '0'})",
              # The arrays whose addresses the call took are used after it,
              # so that they live until it returns.
              f"    used = values.size + addresses.size + steps.size + {' + '.join(f'c{k}.size' for k in full)}",
              "    if status == 1 or used < 0:",
              "        raise ValueError('WfptLogp: the contaminants window must have 0 <= lo < hi, both finite')",
              "    if status != 0:",
              "        raise MemoryError('WfptLogp: out of memory')"]
    if gradients:
        lines.append(f"    return (logp, {', '.join(f'slopes[{k}]' for k in range(_N_GRADIENTS))})")
    else:
        lines.append("    return logp")
    return "\n".join(lines) + "\n"


@register_funcify_and_cache_key(WfptLogp)
def _funcify_wfpt_logp(op: WfptLogp, node: Any, **kwargs: Any) -> tuple[Any, str | None]:
    out_ndim = node.outputs[0].type.ndim
    columns, window = node.inputs[:_COLUMNS], node.inputs[_COLUMNS:]
    broadcastable = tuple(None if _one_value(x) else x.type.broadcastable for x in columns)
    # A column with fewer axes than the output, or a window that varies, has
    # no compiled form.
    if (not all(_one_value(x) for x in window) or all(axes is None for axes in broadcastable)
            or any(axes is not None and len(axes) != out_ndim for axes in broadcastable)):
        return generate_fallback_impl(op, node, **kwargs), None
    source = _source(broadcastable, op.gradients)
    namespace: dict[str, Any] = {"np": np, "sampler": _SAMPLER}
    exec(source, namespace)  # noqa: S102 - source built above from fixed pieces
    key = hashlib.sha256(f"corvatel WfptLogp {_C_INTERFACE}\n{source}".encode()).hexdigest()
    return numba_njit(namespace["wfpt_logp"]), key
