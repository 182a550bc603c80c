"""The diffusion model as a PyMC distribution: ``DDM`` for a user's own
``pm.Model()``, with corvatel's densities and their exact derivatives
(``wfpt_logpdf_grad``) behind PyTensor Ops, and draws by ``simulate_full``.

A value of ``DDM`` is a pair (rt, choice) in its last axis: the response
time in seconds and 1.0 for the upper boundary, 0.0 for the lower. The
log-likelihood is per trial, as PyMC's pointwise log-likelihood (LOO, WAIC)
wants it; PyMC sums it for sampling.

The Ops call the C++ core from Python (the interpreter lock released while
it computes) under PyTensor's C backend (PyMC 5's default); under its Numba
backend (PyMC 6's default, nutpie, PyMC 5's numba mode) they are compiled,
calling the core's C function with no Python in between (_pymc_numba.py).
Needs the ``bayes`` extra: ``pip install "corvatel[bayes]"``.
"""

# pymc has no type information and pytensor only some: subclassing their
# classes and calling their untyped functions is what this module does.
# mypy: disable-error-code="import-untyped, import-not-found, misc, no-untyped-call, untyped-decorator, unused-ignore"

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
import pymc as pm
from pymc.distributions.shape_utils import rv_size_is_none
import pytensor.tensor as pt
from pytensor.gradient import disconnected_type, grad_not_implemented
from pytensor.graph.basic import Apply
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.random.op import RandomVariable
from pytensor.tensor.rewriting.basic import register_specialize

import _corvatel

from ._params import BY_NAME
from .likelihood import GRADIENT_PARAMETERS, OUTLIER_WINDOW, _choice_codes, _flat

__all__ = ["DDM", "WfptLogp", "observed_trials"]

# The Ops' inputs after (rt, choice): the parameters in wfpt_logpdf_grad's
# order, then the contaminants' window (lo, hi), which has no derivative.
OP_PARAMETERS = GRADIENT_PARAMETERS
# A trial whose walk has not ended after 10 s of model time is dropped by
# simulate_full; draws replace it, giving up after this many rounds.
_MAX_REDRAWS = 1000


def _static_shape(inputs: list[Any]) -> tuple[int | None, ...]:
    """The broadcast of the inputs' static shapes (None: known only when run)."""
    ndim = max(x.type.ndim for x in inputs)
    shape: list[int | None] = []
    for axis in range(ndim):
        lengths = [x.type.shape[axis - ndim + x.type.ndim] for x in inputs if axis - ndim + x.type.ndim >= 0]
        known = {n for n in lengths if n is not None and n != 1}
        if known:
            shape.append(known.pop())
        elif all(n == 1 for n in lengths):
            shape.append(1)
        else:
            shape.append(None)
    return tuple(shape)


def _check_runtime_broadcast(node: Any, values: Sequence[npt.NDArray[Any]]) -> tuple[int, ...]:
    """The broadcast shape of `values`; refuses what PyTensor's elementwise
    Ops refuse, a length-1 axis that the graph did not declare broadcastable,
    since the gradient sums only over declared axes."""
    shape = np.broadcast_shapes(*(v.shape for v in values))
    for variable, value in zip(node.inputs, values):
        offset = len(shape) - value.ndim
        for axis, (length, static) in enumerate(zip(value.shape, variable.type.shape)):
            if length == 1 and static != 1 and shape[offset + axis] != 1:
                raise ValueError(f"{variable} has length 1 on axis {axis} but is not declared broadcastable "
                                 f"there; give it a static shape of 1 (pt.specify_broadcastable) or its full length")
    return shape


def _sum_to(gradient: Any, variable: Any) -> Any:
    """`gradient` (of the broadcast shape) summed over the axes along which
    `variable` was broadcast, so that it has `variable`'s shape."""
    extra = gradient.ndim - variable.ndim
    if extra:
        gradient = gradient.sum(axis=tuple(range(extra)))
    axes = tuple(axis for axis, static in enumerate(variable.type.shape) if static == 1)
    if axes:
        gradient = gradient.sum(axis=axes, keepdims=True)
    return gradient


def _core_call(gradients: bool, shape: tuple[int, ...], columns: list[Any],
               window: tuple[float, float]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    """The module's density (with its derivatives, one row per parameter,
    when `gradients`) of `columns` = (rt, choice, *OP_PARAMETERS), each a
    number or an array that broadcasts to `shape`: flat arrays of the full
    size. Called straight, without the public function's checks, which the
    Op's inputs do not need (float64, broadcast already checked)."""
    size = int(np.prod(shape))
    rt, upper, drift, boundary, start, t0, sv, sz, st, p_outlier = (_flat(np.asarray(x), shape) for x in columns)
    args = (rt, upper, drift, boundary, start, t0, 1.0, sv, sz, st)
    rows: npt.NDArray[np.float64] | None = None
    if gradients:
        logp, rows = _corvatel.wfpt_logpdf_grad(*args, p_outlier=p_outlier, outlier_window=window)
    else:
        logp = _corvatel.wfpt_logpdf(*args, p_outlier=p_outlier, outlier_window=window)
    if logp.size != size:  # every argument was a number
        logp = np.full(size, logp[0])
        rows = None if rows is None else np.repeat(rows, size, axis=1)
    return logp, rows


def _masked_call(gradients: bool, shape: tuple[int, ...], rt: Any, choice: Any, params: list[Any],
                 window: tuple[float, float]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    """`_core_call` with -inf (and derivatives 0) where a trial's parameters
    lie outside the model's ranges, its choice is neither 0 nor 1 or its
    response time is NaN, as a density is 0 outside its support; the
    others' values are the module's own."""
    upper = choice == 1.0
    bad_choice = (choice != 0.0) & (choice != 1.0)
    # The usual case: every trial valid, one call.
    if not bad_choice.any():
        try:
            return _core_call(gradients, shape, [rt, upper, *params], window)
        except ValueError:
            pass
    size = int(np.prod(shape))
    full = [np.ascontiguousarray(np.broadcast_to(np.asarray(x), shape)).reshape(-1) for x in (rt, upper, *params)]
    columns = dict(zip(OP_PARAMETERS, full[2:]), noise_sd=np.ones(size))
    codes, _ = _corvatel.check_params(columns, "density")
    valid = (codes < 0) & ~np.broadcast_to(bad_choice, shape).reshape(-1) & ~np.isnan(full[0])
    logp = np.full(size, -np.inf)
    rows = np.zeros((len(OP_PARAMETERS), size)) if gradients else None
    if valid.any():
        kept = [column[valid] for column in full]
        kept_logp, kept_rows = _core_call(gradients, (int(valid.sum()),), kept, window)
        logp[valid] = kept_logp
        if rows is not None and kept_rows is not None:
            rows[:, valid] = kept_rows
    return logp, rows


class WfptLogp(Op):
    """Per-trial log density of the diffusion model (``wfpt_logpdf``) of
    inputs (rt, choice, drift, boundary, start, t0, sv, sz, st, p_outlier,
    outlier_lo, outlier_hi), broadcast like NumPy's; ``choice`` is 1.0 for
    the upper boundary and 0.0 for the lower.

    With ``gradients=True`` it has eight more outputs, the derivatives of
    the log density in each parameter (``wfpt_logpdf_grad``, whose log
    density is ``wfpt_logpdf``'s bit for bit). The plain Op's gradient is
    built from that one, and a rewrite lets a graph that needs both the
    values and the gradient compute them in one call, and a graph that
    needs only the values skip the derivatives (with ``sz`` or ``st`` they
    cost about ten times the values).

    The derivative in ``rt`` is minus the one in ``t0`` (the density
    depends on them through rt - t0 only; the contaminants' uniform part is
    flat inside its window). ``choice`` and the window have none.
    """

    __props__ = ("gradients",)

    def __init__(self, gradients: bool = False) -> None:
        self.gradients = gradients

    def make_node(self, *inputs: Any) -> Any:
        if len(inputs) != 2 + len(OP_PARAMETERS) + 2:
            raise TypeError(f"WfptLogp takes rt, choice, {', '.join(OP_PARAMETERS)}, outlier_lo and outlier_hi")
        variables = [pt.as_tensor_variable(x, dtype="float64") if not hasattr(x, "type") else pt.cast(x, "float64")
                     if x.type.dtype != "float64" else x for x in inputs]
        shape = _static_shape(variables)
        outputs = [pt.tensor(dtype="float64", shape=shape) for _ in range(1 + len(OP_PARAMETERS) * self.gradients)]
        return Apply(self, variables, outputs)

    def perform(self, node: Any, inputs: Sequence[Any], output_storage: list[list[Any]]) -> None:
        rt, choice, *params, lo, hi = inputs
        shape = _check_runtime_broadcast(node, inputs)
        if 0 in shape:
            for storage in output_storage:
                storage[0] = np.empty(shape)
            return
        if np.ptp(lo) or np.ptp(hi):
            raise ValueError("the contaminants' window must be the same for every trial")
        window = (float(lo.flat[0]), float(hi.flat[0]))
        logp, rows = _masked_call(self.gradients, shape, rt, choice, params, window)
        output_storage[0][0] = logp.reshape(shape)
        if rows is not None:
            for storage, row in zip(output_storage[1:], rows):
                storage[0] = row.reshape(shape)

    def infer_shape(self, *args: Any) -> list[Any]:
        # PyTensor 2 passes (fgraph, node, input_shapes), PyTensor 3 (node, input_shapes).
        node, input_shapes = args[-2:]
        shape = pt.broadcast_shape(*input_shapes, arrays_are_shapes=True)
        return [tuple(shape)] * len(node.outputs)

    def connection_pattern(self, node: Any) -> list[list[bool]]:
        connected = [True] + [False] + [True] * len(OP_PARAMETERS) + [False, False]
        return [[c] * len(node.outputs) for c in connected]

    def pullback(self, inputs: Sequence[Any], outputs: Sequence[Any], output_grads: Sequence[Any]) -> list[Any]:
        if self.gradients:
            # Second derivatives are not computed.
            return [grad_not_implemented(self, i, x) for i, x in enumerate(inputs)]
        (g,) = output_grads
        _, *slopes = WfptLogp(gradients=True)(*inputs)
        by_name = dict(zip(OP_PARAMETERS, slopes))
        param_grads = [_sum_to(g * slope, x) for slope, x in zip(slopes, inputs[2:-2])]
        rt_grad = _sum_to(-g * by_name["t0"], inputs[0])
        return [rt_grad, disconnected_type()] + param_grads + [disconnected_type(), disconnected_type()]

    # PyTensor 2 differentiates through L_op, PyTensor 3 through pullback.
    L_op = pullback


wfpt_logp = WfptLogp(gradients=False)
wfpt_logp_grad = WfptLogp(gradients=True)


@register_specialize
@node_rewriter([WfptLogp])
def local_wfpt_one_call(fgraph: Any, node: Any) -> Any:
    """One call for both: a values-only WfptLogp whose inputs also feed a
    WfptLogp with gradients takes its values from that one; a WfptLogp with
    gradients whose derivatives nobody uses becomes a values-only one."""
    if node.op.gradients:
        if any(fgraph.clients.get(out) for out in node.outputs[1:]):
            return None
        return {node.outputs[0]: wfpt_logp(*node.inputs)}
    for client, _ in fgraph.clients.get(node.inputs[0], []):
        if (client is not node and isinstance(client.op, WfptLogp) and client.op.gradients
                and client.inputs == node.inputs):
            return [client.outputs[0]]
    return None


class DDMRV(RandomVariable):
    """Draws (rt, choice) pairs of the diffusion model with ``simulate_full``,
    contaminants mixed in with probability ``p_outlier``."""

    name = "ddm"
    signature = "(),(),(),(),(),(),(),(),(),()->(2)"
    dtype = "float64"
    _print_name = ("DDM", "\\operatorname{DDM}")

    @classmethod
    def rng_fn(cls, rng: np.random.Generator, drift: Any, boundary: Any, start: Any, t0: Any, sv: Any, sz: Any,
               st: Any, p_outlier: Any, outlier_lo: Any, outlier_hi: Any, size: Any) -> npt.NDArray[np.float64]:
        params = [np.asarray(x, dtype=np.float64)
                  for x in (drift, boundary, start, t0, sv, sz, st, p_outlier, outlier_lo, outlier_hi)]
        batch = tuple(size) if size is not None else np.broadcast_shapes(*(x.shape for x in params))
        rows = np.stack([np.broadcast_to(x, batch).reshape(-1) for x in params], axis=1)
        n = rows.shape[0]
        rts = np.empty(n)
        choices = np.empty(n)
        # One simulate_full call per distinct parameter set, in the order of
        # np.unique (sorted), each seeded from `rng`.
        unique, inverse = np.unique(rows[:, :7], axis=0, return_inverse=True)
        inverse = inverse.reshape(-1)
        for k, (d, a, z, t, s_v, s_z, s_t) in enumerate(unique):
            where = np.flatnonzero(inverse == k)
            upper, times = _simulate(rng, where.size, d, a, z, t, s_v, s_z, s_t)
            rts[where] = times
            choices[where] = upper
        # The simulator checks the walk's parameters (and the distribution
        # its window); the contaminants' share is drawn here.
        share, lo, hi = rows[:, 7], rows[:, 8], rows[:, 9]
        bad = ~((share >= 0.0) & (share < 1.0))
        if bad.any():
            raise ValueError(f"DDM draws: p_outlier must be in [0, 1), not {share[bad][0]}")
        contaminant = rng.random(n) < share
        count = int(contaminant.sum())
        if count:
            rts[contaminant] = rng.uniform(lo[contaminant], hi[contaminant])
            choices[contaminant] = rng.random(count) < 0.5
        return np.stack([rts, choices], axis=1).reshape(*batch, 2)


def _simulate(rng: np.random.Generator, n: int, drift: float, boundary: float, start: float, t0: float,
              sv: float, sz: float, st: float) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """`n` trials of simulate_full, those it drops at its 10 s cap drawn
    again with fresh seeds (so the draws are of the model given that the
    walk ends within the cap)."""
    upper_parts, rt_parts = [], []
    missing = n
    for _ in range(_MAX_REDRAWS):
        if missing == 0:
            break
        seed = int(rng.integers(0, 2**64, dtype=np.uint64))
        upper, times, _ = _corvatel.simulate_full(float(drift), float(boundary), float(start), float(t0), missing,
                                                  seed, 1.0, float(sv), float(sz), float(st))
        upper_parts.append(upper)
        rt_parts.append(times)
        missing -= upper.size
    if missing:
        raise ValueError(f"DDM draws: the walk with drift {drift}, boundary {boundary}, start {start} hardly ever "
                         f"ends within simulate_full's 10 s cap")
    return np.concatenate(upper_parts), np.concatenate(rt_parts)


ddm_rv = DDMRV()


def observed_trials(observed: Any) -> Any:
    """`observed` as DDM takes it: a float64 array of (rt, choice) rows.

    Takes an array of shape (n, 2) (or (..., 2)) of response times and
    choices, or a pandas DataFrame with columns ``rt`` and ``choice`` (other
    columns are ignored). Choices are bools or the numbers 0 and 1 (1: the
    upper boundary); anything else raises ValueError or TypeError. Response
    times must not be NaN. PyTensor variables (``pm.Data``) pass unchanged.
    """
    if isinstance(observed, pd.DataFrame):
        missing = [c for c in ("rt", "choice") if c not in observed.columns]
        if missing:
            raise ValueError(f"observed DataFrame needs columns rt and choice; missing {', '.join(missing)}")
        rt = observed["rt"].to_numpy(dtype=np.float64)
        choice = observed["choice"].to_numpy()
    elif hasattr(observed, "type") or observed is None:
        return observed
    else:
        array = np.asarray(observed)
        if array.ndim < 1 or array.shape[-1] != 2:
            raise ValueError(f"observed must have (rt, choice) in its last axis, of length 2; got shape {array.shape}")
        rt = array[..., 0].astype(np.float64)
        choice = array[..., 1]
    if np.issubdtype(np.asarray(choice).dtype, np.floating):
        choice = np.asarray(choice)
        odd = choice[(choice != 0.0) & (choice != 1.0)]
        if odd.size:
            raise ValueError(f"observed choices must be bools or the numbers 0 and 1, found {odd[0]}")
        upper = choice == 1.0
    else:
        upper = _choice_codes(choice, "observed choice")
    if np.isnan(rt).any():
        raise ValueError("observed response times must not be NaN")
    return np.stack([rt, upper.astype(np.float64)], axis=-1)


class DDM(pm.Continuous):
    """The diffusion model of two-choice response times, as a PyMC distribution.

    ``DDM("obs", drift=..., boundary=..., t0=..., start=0.5, sv=0, sz=0,
    st=0, p_outlier=0, outlier_window=(0, 5), observed=...)``. Each value
    is (rt, choice) in the last axis: rt in seconds (``t0`` included),
    choice 1.0 for the upper boundary (the walk ends at ``boundary``, the
    full separation) and 0.0 for the lower. The parameters are those of
    ``wfpt_logpdf`` (noise fixed at 1), each a scalar or an array that
    broadcasts over the trials. ``observed`` is what ``observed_trials``
    takes: an (n, 2) array or a DataFrame with ``rt`` and ``choice``.

    The log-likelihood is per trial, -inf where a parameter is outside its
    range; its gradient is corvatel's exact one. Draws (prior and posterior
    predictive) come from ``simulate_full`` seeded by PyMC's generator, so a
    fixed ``random_seed`` gives the same draws.
    """

    rv_op = ddm_rv
    rv_type = DDMRV

    def __new__(cls, name: str, *args: Any, observed: Any = None, **kwargs: Any) -> Any:
        return super().__new__(cls, name, *args, observed=observed_trials(observed), **kwargs)

    @classmethod
    def dist(cls, drift: Any, boundary: Any, t0: Any, start: Any = None, sv: Any = None, sz: Any = None,
             st: Any = None, p_outlier: Any = None, outlier_window: tuple[float, float] = OUTLIER_WINDOW,
             **kwargs: Any) -> Any:
        _corvatel.check_outlier_window((float(outlier_window[0]), float(outlier_window[1])))
        defaults = {name: BY_NAME[name].default for name in ("sv", "sz", "st", "p_outlier")}
        given = {"sv": sv, "sz": sz, "st": st, "p_outlier": p_outlier}
        filled = {name: defaults[name] if value is None else value for name, value in given.items()}
        start = 0.5 if start is None else start
        params = [drift, boundary, start, t0, filled["sv"], filled["sz"], filled["st"], filled["p_outlier"],
                  float(outlier_window[0]), float(outlier_window[1])]
        return super().dist([pt.as_tensor_variable(x, dtype="float64") for x in params], **kwargs)

    @staticmethod
    def logp(value: Any, drift: Any, boundary: Any, start: Any, t0: Any, sv: Any, sz: Any, st: Any,
             p_outlier: Any, outlier_lo: Any, outlier_hi: Any) -> Any:
        return wfpt_logp(value[..., 0], value[..., 1], drift, boundary, start, t0, sv, sz, st, p_outlier,
                         outlier_lo, outlier_hi)

    @staticmethod
    def support_point(rv: Any, size: Any, drift: Any, boundary: Any, start: Any, t0: Any, sv: Any, sz: Any,
                      st: Any, p_outlier: Any, outlier_lo: Any, outlier_hi: Any) -> Any:
        # A response inside the density's support: t0's window plus a
        # quarter of the squared boundary (an unbiased walk's mean time
        # without drift), at the upper boundary.
        rt, *_ = pt.broadcast_arrays(t0 + st / 2 + boundary**2 / 4, drift, start, sv, sz, p_outlier)
        point = pt.stack([rt, pt.ones_like(rt)], axis=-1)
        if not rv_size_is_none(size):
            point = pt.full(pt.concatenate([size, [2]]), point)
        return point


# The compiled path registers itself with PyTensor's Numba backend.
from . import _pymc_numba  # noqa: E402,F401
