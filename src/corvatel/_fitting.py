"""Fits of a table of trials, one per group.

The work is a list of independent, picklable `FitTask` values, each turned
into one result row by the pure function `run_fit_task`; `run_tasks` maps
them in order. Methods are entries of `METHODS`: a per-group fit function
and the columns it adds. Joint likelihood fits of conditions (`depends_on`)
are `JointFitTask` values, each turned into one row per level by
`run_joint_task`. Likelihood fits with a time-varying bound, leak or
urgency (fit_ml's bound fits) are the "ml" method with a `bound` option;
their columns are those of `bounds_method`, jointly fitted or not."""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from _corvatel import SIM_INVALID_COST, CorvatelError, fit_ez, fit_sim, summary_stats

from .likelihood import (BOUND_MODELS, BOUNDS, OUTLIER_WINDOW, _solver_bound, bounds_parameters, check_flag,
                         check_p_outlier, fit_ml, fit_ml_joint)

from . import _progress
from ._cluster import check_client, run_on_cluster
from ._flags import ONE_RESPONSE_UNPLACED, group_flags, one_response
from ._params import GUESS_OPTIONAL, GUESS_REQUIRED, ML_PARAM_COLUMNS, MODELS, PARAM_COLUMNS, ml_parameters
from ._trials import (GroupedTrials, Order, TrialTable, as_frame, check_order, group_columns, group_rows,
                      refuse_clashes, require_columns)

# The error of a level of a joint fit that has no trials left to fit (the
# group's other levels are fitted without it).
EMPTY_LEVEL = "no trials at this level"
STAT_COLUMNS = ("n_valid", "n_upper", "accuracy", "mean_rt", "var_rt")
ML_COLUMNS = ML_PARAM_COLUMNS + ("converged", "iterations", "log_likelihood", "aic", "bic")
# Every likelihood model a table can be fitted with: the standard ones and the bounds named as models.
FIT_MODELS = MODELS + BOUND_MODELS
# The columns only fits with a time-varying bound, leak or urgency have.
BOUND_COLUMNS = tuple(dict.fromkeys(name for names in BOUNDS.values() for name in names)) + ("leak", "urgency")

Options = Mapping[str, Any]


@dataclass(frozen=True)
class Method:
    """A fit method: `fit(choices, rts, options)` returns a dict holding at
    least `columns`, or raises CorvatelError for data it cannot fit;
    `int_columns` and `bool_columns` are integer and bool columns (nullable,
    since failed fits have none)."""

    fit: Callable[[np.ndarray, np.ndarray, Options], Mapping[str, Any]]
    columns: tuple[str, ...]
    int_columns: tuple[str, ...] = ()
    bool_columns: tuple[str, ...] = ()


def _fit_ez(choices: np.ndarray, rts: np.ndarray, options: Options) -> Mapping[str, Any]:
    return fit_ez(choices, rts)


def _fit_sim(choices: np.ndarray, rts: np.ndarray, options: Options) -> Mapping[str, Any]:
    result = fit_sim(choices, rts, options["initial_guess"], options["max_iters"])
    if result["final_cost"] == SIM_INVALID_COST:
        # fit_sim returns its last point; in a table that is no fit.
        raise CorvatelError("the simulation fit found no admissible point: every point it tried had the invalid-point "
                            "cost (a negative non-decision time, a boundary too small to simulate, or no usable "
                            "simulated trials)")
    return result


def _fit_ml(choices: np.ndarray, rts: np.ndarray, options: Options) -> Mapping[str, Any]:
    # options["rt_window"]: the window the trials were kept in (or None),
    # to which the likelihood is truncated.
    return fit_ml(choices, rts, model=options["model"], p_outlier=options["p_outlier"],
                  outlier_window=options["outlier_window"], rt_window=truncation(options.get("rt_window")))


def _fit_bounds(choices: np.ndarray, rts: np.ndarray, options: Options) -> Mapping[str, Any]:
    return fit_ml(choices, rts, model=options["model"], bound=options["bound"], leak=options["leak"],
                  urgency=options["urgency"], p_outlier=options["p_outlier"],
                  outlier_window=options["outlier_window"], rt_window=truncation(options.get("rt_window")))


def bounds_method(bound: str, leak: bool, urgency: bool, p_outlier: float | str = 0.0) -> Method:
    """The "ml" method of a fit with a time-varying bound, leak or urgency:
    the walk's parameters, the bound's own, leak and urgency when flagged,
    p_outlier when there are contaminants, then the fit's figures."""
    columns = (PARAM_COLUMNS + BOUNDS[bound] + (("leak",) if leak else ()) + (("urgency",) if urgency else ())
               + (("p_outlier",) if p_outlier != 0.0 else ())
               + ("converged", "iterations", "log_likelihood", "aic", "bic", "n_params"))
    return Method(_fit_bounds, columns, int_columns=("iterations", "n_params"), bool_columns=("converged",))


def method_of(method: str, options: Options) -> Method:
    """The fit method a checked request's options select."""
    if options.get("bound") is not None:
        return bounds_method(options["bound"], options["leak"], options["urgency"], options["p_outlier"])
    return METHODS[method]


def truncation(window: tuple[float, float] | None) -> tuple[float, float] | None:
    """The likelihood's truncation window for trials kept in `window`
    (min_rt, max_rt): response times are positive, so no lower end is 0."""
    if window is None:
        return None
    return max(window[0], 0.0), window[1]


METHODS: dict[str, Method] = {
    "ez": Method(_fit_ez, PARAM_COLUMNS),
    "sim": Method(_fit_sim, PARAM_COLUMNS + ("iterations", "final_cost"), int_columns=("iterations",)),
    "ml": Method(_fit_ml, ML_COLUMNS, int_columns=("iterations",), bool_columns=("converged",)),
}


def method_entry(method: Any) -> Method:
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(repr(m) for m in METHODS)}; got {method!r}")
    return METHODS[method]


def group_stats(choices: np.ndarray, rts: np.ndarray) -> dict[str, Any]:
    """The summary statistics the fits use (the core's): NaN where there
    are fewer than two upper-boundary trials."""
    return dict(summary_stats(choices, rts))


@dataclass(frozen=True)
class FitTask:
    """One group's fit: the group's trials and how to fit them."""

    choices: np.ndarray
    rts: np.ndarray
    method: str
    options: Mapping[str, Any] = field(default_factory=dict)


def run_fit_task(task: FitTask) -> dict[str, Any]:
    """The result row of one group: statistics, fitted columns, `error`
    (empty, or the fit's message with the fitted columns NaN) and
    `warning` (the flags of _flags.group_flags)."""
    method = method_of(task.method, task.options)
    row = group_stats(task.choices, task.rts)
    try:
        result = method.fit(task.choices, task.rts, task.options)
    except CorvatelError as error:
        row.update(dict.fromkeys(method.columns, math.nan))
        row["error"] = str(error)
    else:
        row.update({column: result[column] for column in method.columns})
        row["error"] = ""
    # A time-varying bound's fit is flagged by its bound's name (the flags solve its densities).
    flag_model = task.options.get("bound") or task.options.get("model", "ddm")
    row["warning"] = group_flags(task.method, flag_model, task.choices, task.rts, row,
                                 outlier_window=task.options.get("outlier_window", OUTLIER_WINDOW),
                                 rt_window=truncation(task.options.get("rt_window")),
                                 p_outlier_free=task.options.get("p_outlier") == "free")
    return row


@dataclass(frozen=True)
class JointFitTask:
    """One joint likelihood fit: a group's trials ordered by level, the
    number of trials of each level, and the parameters free per level."""

    choices: np.ndarray
    rts: np.ndarray
    level_sizes: tuple[int, ...]
    depends_on: tuple[str, ...]
    model: str
    p_outlier: float | str = 0.0
    outlier_window: tuple[float, float] = OUTLIER_WINDOW
    # The window the trials were kept in, to which the likelihood is truncated.
    rt_window: tuple[float, float] | None = None
    # A fit with a time-varying bound, leak or urgency: its bound (None: the standard model's fit).
    bound: str | None = None
    leak: bool = False
    urgency: bool = False


def run_joint_task(task: JointFitTask) -> list[dict[str, Any]]:
    """The result rows of one joint fit, one per level: the level's
    statistics, the fitted columns (shared values repeated, the joint
    log-likelihood, AIC and BIC) and `error` (for every level when the
    joint fit fails) and `warning` (each level's flags, from its own
    trials)."""
    bounds = np.concatenate(([0], np.cumsum(task.level_sizes, dtype=np.int64)))
    slices = [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:])]
    rows = [group_stats(task.choices[s], task.rts[s]) for s in slices]
    # A level left without trials (all dropped, or outside the window) has
    # nothing to fit: the others are fitted jointly without it.
    present = [k for k, size in enumerate(task.level_sizes) if size > 0]
    levels = np.repeat(np.arange(len(present), dtype=np.int64), [task.level_sizes[k] for k in present])
    arguments: dict[str, Any] = {"p_outlier": task.p_outlier, "outlier_window": task.outlier_window,
                                 "rt_window": truncation(task.rt_window)}
    if task.bound is not None:
        columns = bounds_method(task.bound, task.leak, task.urgency, task.p_outlier).columns
        arguments.update(bound=task.bound, leak=task.leak, urgency=task.urgency)
    else:
        columns = ML_COLUMNS
    for row in rows:
        row.update(dict.fromkeys(columns, math.nan))
        row["error"] = EMPTY_LEVEL
    try:
        results = (fit_ml_joint(task.choices, task.rts, levels, depends_on=task.depends_on, model=task.model,
                                **arguments) if present else [])
    except CorvatelError as error:
        for k in present:
            rows[k]["error"] = str(error)
    else:
        for k, result in zip(present, results, strict=True):
            rows[k].update({column: result[column] for column in columns})
            rows[k]["error"] = ""
    # A shared t0 lies below the fastest response of all the levels.
    shared_trials = task.rts if "non_decision_time" not in task.depends_on else None
    # A time-varying bound's fit is flagged by its bound's name (the flags solve its densities).
    flag_model = task.bound or task.model
    # A level's own boundary or start is placed by its own trials only; shared
    # ones by any level with both responses.
    own = any(name in task.depends_on for name in ONE_RESPONSE_UNPLACED)
    shared_unplaced = one_response(task.choices)
    for row, s in zip(rows, slices):
        unplaced = shared_unplaced or (own and one_response(task.choices[s]))
        row["warning"] = group_flags("ml", flag_model, task.choices[s], task.rts[s], row, shared_trials, unplaced,
                                     task.outlier_window, truncation(task.rt_window), task.p_outlier == "free")
    return rows


def run_group_task(task: FitTask | JointFitTask) -> list[dict[str, Any]]:
    """The result rows of either kind of task."""
    return run_joint_task(task) if isinstance(task, JointFitTask) else [run_fit_task(task)]


T = TypeVar("T")
R = TypeVar("R")


def run_tasks(function: Callable[[T], R], tasks: Sequence[T], label: str, progress: bool | None,
              client: Any = None) -> list[R]:
    """function(task) for every task, in order, with a progress bar; on the
    Dask cluster of `client` when one is given."""
    if client is not None:
        return run_on_cluster(client, function, tasks, label, progress)
    results = []
    with _progress.Progress(len(tasks), label, _progress.wanted(progress)) as bar:
        for task in tasks:
            results.append(function(task))
            bar.advance()
    return results


def result_frame(rows: list[dict[str, Any]], method: Method) -> pd.DataFrame:
    """The statistics, fitted, `warning` and `error` columns of a list of result rows."""
    columns = list(STAT_COLUMNS) + list(method.columns) + ["warning", "error"]
    frame = pd.DataFrame.from_records(rows, columns=columns) if rows else pd.DataFrame(columns=columns)
    frame = frame.astype({"n_valid": np.int64, "n_upper": np.int64, "error": object, "warning": object})
    for column in method.int_columns:
        frame[column] = frame[column].astype("Int64")
    for column in method.bool_columns:
        frame[column] = frame[column].astype("boolean")
    return frame


def check_guess(initial_guess: Any) -> dict[str, float] | None:
    if initial_guess is None:
        return None
    if not isinstance(initial_guess, Mapping):
        raise TypeError(f"initial_guess must be a parameter dict or None, not {type(initial_guess).__name__}")
    missing = [k for k in GUESS_REQUIRED if k not in initial_guess]
    if missing:
        raise ValueError(f"initial_guess lacks {', '.join(repr(k) for k in missing)}")
    guess = {}
    for key in GUESS_REQUIRED + GUESS_OPTIONAL:
        if key in initial_guess:
            value = initial_guess[key]
            if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"initial_guess[{key!r}] must be a number, not {value!r}")
            guess[key] = float(value)
    return guess


def check_max_iters(max_iters: Any) -> int:
    if isinstance(max_iters, bool) or not isinstance(max_iters, (int, np.integer)):
        raise TypeError(f"max_iters must be an integer, not {max_iters!r}")
    if not 1 <= max_iters <= 2**63 - 1:
        raise ValueError(f"max_iters must be positive, not {max_iters}")
    return int(max_iters)


def check_model(model: Any, method: str, models: tuple[str, ...] = MODELS) -> str:
    """The likelihood model, one of `models`; None means "ddm". Only method "ml" takes one."""
    if model is None:
        return "ddm"
    if method != "ml":
        raise ValueError(f"model applies to method 'ml' only; got model={model!r} with method={method!r}")
    if not isinstance(model, str) or model not in models:
        raise ValueError(f"model must be one of {', '.join(repr(m) for m in models)}; got {model!r}")
    return model


def check_bound(model: str, bound: Any, leak: Any, urgency: Any, method: str) -> str | None:
    """The time-varying bound a fit asks for (model "angle" or "weibull",
    or `bound`, leak or urgency; "constant" for leak or urgency alone), or
    None for a fit of the standard model."""
    check_flag("leak", leak)
    check_flag("urgency", urgency)
    if bound is not None and not isinstance(bound, str):
        raise TypeError(f"bound must be a bound's name or None, not {bound!r}")
    if method != "ml" and (bound is not None or leak or urgency):
        raise ValueError(f"bound=, leak= and urgency= apply to method 'ml' only; got method={method!r}")
    return _solver_bound(model, bound, leak, urgency, None)


def check_outliers(p_outlier: Any, outlier_window: Any, method: str) -> tuple[float | str, tuple[float, float]]:
    """A likelihood fit's contaminants; None means p_outlier 0 and the
    default window. Only method "ml" takes them."""
    if method != "ml" and (p_outlier is not None or outlier_window is not None):
        raise ValueError(f"p_outlier and outlier_window apply to method 'ml' only; got method={method!r}")
    window = OUTLIER_WINDOW if outlier_window is None else outlier_window
    p = check_p_outlier(0.0 if p_outlier is None else p_outlier, window)
    return p, (float(window[0]), float(window[1]))


def fit_options(initial_guess: Any, max_iters: Any, model: str = "ddm", p_outlier: Any = None,
                outlier_window: Any = None, method: str = "ml") -> dict[str, Any]:
    p, window = check_outliers(p_outlier, outlier_window, method)
    return {"initial_guess": check_guess(initial_guess), "max_iters": check_max_iters(max_iters), "model": model,
            "p_outlier": p, "outlier_window": window}


def check_depends_on(depends_on: Any, method: str, model: str, frame: pd.DataFrame,
                     by: list[Hashable], p_outlier_free: bool = False,
                     fitted: tuple[str, ...] | None = None) -> tuple[tuple[str, ...], list[Hashable]]:
    """(parameters free per level, level columns) of a `depends_on` mapping;
    `fitted`: the fit's parameters when they are not `model`'s (a fit with
    a time-varying bound, leak or urgency). Every named parameter must
    depend on the same column(s): the joint fit has one set of levels."""
    if method != "ml":
        raise ValueError(f"depends_on needs method='ml'; got method={method!r}")
    if not isinstance(depends_on, Mapping) or not depends_on:
        raise TypeError("depends_on must be a non-empty mapping of parameter names to a column name or a "
                        f"list of column names, e.g. {{'drift_rate': 'coh'}}; got {depends_on!r}")
    columns = None
    if fitted is None:
        fitted = ml_parameters(model, p_outlier_free)
    for parameter, value in depends_on.items():
        if parameter not in fitted:
            raise ValueError(f"depends_on: {parameter!r} is not a parameter of model {model!r}; "
                             f"its parameters are {', '.join(fitted)}")
        these = group_columns(value)
        if not these:
            raise ValueError(f"depends_on[{parameter!r}] must name at least one column")
        if columns is not None and these != columns:
            raise ValueError("depends_on: every parameter must depend on the same column(s); "
                             f"got {columns!r} and {these!r}")
        columns = these
    assert columns is not None
    require_columns(frame, columns, "depends_on")
    both = [c for c in columns if c in by]
    if both:
        raise ValueError(f"depends_on: column {both[0]!r} is also a by column")
    return tuple(depends_on), columns


def fit(data: Any, *, by: Hashable | Sequence[Hashable] | None = None, method: str = "sim",
        choice: Hashable = "choice", rt: Hashable = "rt", upper: Any = None, rt_unit: str = "s",
        initial_guess: Mapping[str, float] | None = None, max_iters: int = 200,
        drop_invalid: bool = False, progress: bool | None = None, model: str | None = None,
        depends_on: Mapping[str, Hashable | Sequence[Hashable]] | None = None, client: Any = None,
        p_outlier: float | str | None = None, outlier_window: tuple[float, float] | None = None,
        min_rt: float | None = None, max_rt: float | None = None, dropna: bool = False,
        order: Mapping[Hashable, Sequence[Any]] | None = None, bound: str | None = None, leak: bool = False,
        urgency: bool = False) -> pd.DataFrame:
    """Fit the drift-diffusion model to every group of a table of trials.

    Returns one row per group, in sorted key order: the group columns,
    n_valid, n_upper, accuracy, mean_rt, var_rt, the fitted parameters
    (drift_rate, boundary_separation, non_decision_time, starting_point,
    noise_sd; for method "sim" also iterations and final_cost), warning
    (empty, or flags joined by "; ", below) and error (empty for a fitted
    group, else why it could not be fitted). Each group's numbers
    are those of fit_ez / fit_sim on the group's arrays; a fit_sim search
    that found no admissible point (final cost the invalid-point cost) is a
    failed group.

    method="ml" maximises the likelihood (fit_ml) of model "ddm" (the
    default) or "full", and adds the columns sv, sz, st, converged,
    iterations, log_likelihood, aic and bic. With depends_on, e.g.
    ``{"drift_rate": "coh"}``, each `by` group gets one joint fit
    (fit_ml_joint) in which the named parameters are free per level of the
    named column(s) and the others shared: one row per group and level,
    shared values repeated, with the joint log-likelihood, AIC and BIC.
    initial_guess and max_iters apply to method "sim" only.
    p_outlier (a number, or "free") and outlier_window (default (0, 5) s)
    apply to method "ml" only: they mix contaminants into the likelihood
    (fit_ml), and the column p_outlier reports the value (0 by default).

    method="ml" with model "angle" or "weibull", or with bound= (any
    bound of bounds_logpdf), leak=True or urgency=True, fits each group
    with fit_ml's time-varying-bound fit (the numbers are exactly fit_ml's
    with the same model, bound, leak and urgency): the columns are
    drift_rate, boundary_separation, non_decision_time, starting_point
    (0.5, fixed), noise_sd (1), the bound's own parameters (theta; shape
    and scale; rate), leak and urgency when flagged, then converged,
    iterations, log_likelihood, aic, bic and n_params. With depends_on
    each group gets one joint fit (fit_ml_joint with the same bound, leak
    and urgency), rows per level as above; depends_on may name any of the
    fit's parameters (the bound's own, leak and urgency included, and
    p_outlier when free). p_outlier, outlier_window, min_rt and max_rt
    apply as to the standard model's fits (a p_outlier column when there are
    contaminants); their flags judge only t0 and the trials.

    choice: a bool or 0/1 column, or any two-valued column with `upper`
    naming the upper-boundary (correct) value. rt: response times in
    seconds, or milliseconds with rt_unit="ms". Rows with a NaN, infinite
    or negative response time (for ml also a time of 0, which no likelihood
    admits) or a missing choice are refused, unless drop_invalid=True drops
    them (counted per group in n_dropped).
    min_rt, max_rt: seconds (after rt_unit); trials outside [min_rt,
    max_rt] are left out before any fit, counted per group in
    n_outside_window. The ml fits truncate their likelihood to the window
    (fit_ml's rt_window); ez and sim fit the kept trials as they are.

    Groups: a missing key (None, NaN) is a group of its own, last (pandas'
    groupby drops such rows; dropna=True does that too). Keys come in
    sorted order, a categorical column's in its categories' order;
    order={"condition": ["easy", "medium", "hard"]} sets a group column's
    order (every level in the data must be listed).

    Flags in warning (they change no number; the README's table says what
    to do about each):
      "at search bound (names)": an estimate ended within 0.001 of its
        search interval's width of a limit of the likelihood fits' search
        (not a value the model allows, such as sv = 0), or for ez and sim
        past it;
      "outside model range (names)": an estimate the model does not allow
        (EZ's t0 below 0);
      "t0 at fastest response": a likelihood fit's t0 - st/2 within 1 ms of
        the group's fastest response (with contaminants, the fastest
        outside their window);
      "t0 at 0": a likelihood fit's t0 - st/2 under 1 ms (held down by
        responses too fast for the model, or left unplaced by a min_rt
        above the distribution's leading edge);
      "responses under 0.1 s": any response faster than 0.1 s (not when a
        likelihood fit's contaminants, with their window, cover them);
      "rt looks like ms": median response time above 20 s;
      "rt looks like seconds read as ms": median response time under 20 ms;
      "ez edge correction": accuracy 1, so fit_ez used 1 - 1/(2n);
      "few trials": fewer than 10 trials (ez, sim; ml refuses them);
      "constant rts": all response times equal (ez, sim; ml refuses them);
      "not converged": a likelihood search ended on its budget;
      "moments not matched": a simulation fit's final cost above 0.01 (its
        moments about 10% or more off the trials': stopped short or in a
        local minimum);
      "one response only": every trial ended at the same boundary;
      "improbably slow response": the fitted model gives the slowest
        response a probability under 0.001 of being that slow;
      "distribution misfit": a likelihood fit's distribution rejected by
        the trials (Kolmogorov-Smirnov, p < 0.01).
    With depends_on each row's flags come from its level's own trials,
    except that a shared t0 is compared with the fastest response of all
    the levels.
    A call with flagged groups issues one UserWarning, "k of n groups
    flagged; see the warning column", and one with failed groups another,
    "k of n groups failed; see the error column".

    client: a dask.distributed.Client to fit the groups on its cluster (the
    table is the same, bit for bit); needs the extra corvatel[dask].
    """
    frame = as_frame(data)
    request = FitRequest.check(frame, by=by, method=method, choice=choice, rt=rt, initial_guess=initial_guess,
                               max_iters=max_iters, drop_invalid=drop_invalid, model=model, depends_on=depends_on,
                               client=client, p_outlier=p_outlier, outlier_window=outlier_window,
                               dropna=dropna, order=order, bound=bound, leak=leak, urgency=urgency, min_rt=min_rt,
                               max_rt=max_rt)
    trials = TrialTable.read(frame, choice=choice, rt=rt, upper=upper, rt_unit=rt_unit, drop_invalid=drop_invalid,
                             min_rt=min_rt, max_rt=max_rt, positive=request.method == "ml")
    return request.run(trials, progress)


@dataclass(frozen=True)
class FitRequest:
    """What `fit` was asked for, checked: the group and level columns, the
    method and its options, the parameters free per level, how groups are
    formed and ordered."""

    by: list[Hashable]
    level_columns: list[Hashable]
    free: tuple[str, ...]
    method: str
    options: Mapping[str, Any]
    drop_invalid: bool
    client: Any
    dropna: bool = False
    order: Order | None = None

    @classmethod
    def check(cls, frame: pd.DataFrame, *, by: Any, method: Any, choice: Hashable, rt: Hashable,
              initial_guess: Any, max_iters: Any, drop_invalid: Any, model: Any, depends_on: Any,
              client: Any, p_outlier: Any = None, outlier_window: Any = None, dropna: Any = False,
              order: Any = None, bound: Any = None, leak: Any = False, urgency: Any = False, min_rt: Any = None,
              max_rt: Any = None) -> FitRequest:
        entry = method_entry(method)
        model = check_model(model, method, FIT_MODELS)
        solver_bound = check_bound(model, bound, leak, urgency, method)
        if solver_bound is not None:
            entry = bounds_method(solver_bound, leak, urgency, 0.0 if p_outlier is None else p_outlier)
        columns = group_columns(by)
        require_columns(frame, columns + [choice, rt], "fit")
        free: tuple[str, ...] = ()
        level_columns: list[Hashable] = []
        if depends_on is not None:
            fitted = (None if solver_bound is None
                      else bounds_parameters(solver_bound, bool(leak), bool(urgency), start_free=False,
                                             p_outlier_free=isinstance(p_outlier, str) and p_outlier == "free"))
            free, level_columns = check_depends_on(depends_on, method, model, frame, columns,
                                                   isinstance(p_outlier, str) and p_outlier == "free", fitted)
        refuse_clashes(columns + level_columns,
                       ("n_dropped", "n_outside_window") + STAT_COLUMNS + entry.columns + ("warning", "error"),
                       "fit: by" if not level_columns else "fit: by or depends_on")
        if len(frame) == 0:
            raise ValueError("fit: data has no rows")
        options = fit_options(initial_guess, max_iters, model, p_outlier, outlier_window, method)
        if solver_bound is not None:
            options.update(bound=solver_bound, leak=leak, urgency=urgency)
        check_flag("drop_invalid", drop_invalid)
        check_flag("dropna", dropna)
        checked_order = check_order(frame, order, columns + level_columns, "fit")
        return cls(columns, level_columns, free, method, options, drop_invalid, check_client(client), dropna,
                   checked_order)

    def with_client(self, client: Any) -> FitRequest:
        return replace(self, client=check_client(client))

    def run(self, trials: TrialTable, progress: bool | None) -> pd.DataFrame:
        """The fits table of `trials`, read from the frame this request was
        checked against; warns of flagged and failed groups."""
        # With depends_on the rows of a result are the levels within each group.
        grouped = trials.grouped(self.by + self.level_columns, dropna=self.dropna, order=self.order)
        options = {**self.options, "rt_window": trials.window}
        tasks: list[FitTask | JointFitTask]
        if self.level_columns:
            tasks = list(joint_tasks(trials, self.by, grouped, self.free, self.options, self.dropna, self.order))
        else:
            tasks = [FitTask(grouped.choices[a:b], grouped.rts[a:b], self.method, options)
                     for a, b in zip(grouped.starts, grouped.stops)]
        # One call for both kinds of task, so that every fit runs the same way.
        results = run_tasks(run_group_task, tasks, f"fit ({self.method})", progress, self.client)
        rows = [row for result in results for row in result]
        table = pd.concat([grouped.groups.keys, result_frame(rows, method_of(self.method, self.options))], axis=1)
        counts = len(self.by) + len(self.level_columns)
        if self.drop_invalid:
            table.insert(counts, "n_dropped", grouped.dropped.astype(np.int64))
            counts += 1
        if trials.window is not None:
            table.insert(counts, "n_outside_window", grouped.outside_window.astype(np.int64))
        warn_of_groups(table)
        return table


def warn_of_groups(table: pd.DataFrame) -> None:
    """One UserWarning for the flagged groups of a fits table, one for the failed ones."""
    for column, what in (("warning", "flagged"), ("error", "failed")):
        k = int((table[column] != "").sum())
        if k:
            # stacklevel: the caller of fit (warn_of_groups <- run <- fit <- caller).
            warnings.warn(f"{k} of {len(table)} groups {what}; see the {column} column", UserWarning, stacklevel=4)


def joint_tasks(trials: TrialTable, by: list[Hashable], levels: GroupedTrials, free: tuple[str, ...],
                options: Options, dropna: bool = False, order: Order | None = None) -> list[JointFitTask]:
    """The joint fits, one per `by` group. The (group, level) blocks come
    from one sort with `by` leading, so the blocks of a group are adjacent
    and start where the group starts in a sort by `by` alone (of the rows
    the blocks keep: with dropna, those with no key missing)."""
    frame = trials.frame
    if dropna:
        frame = frame[~frame[list(levels.groups.keys.columns)].isna().any(axis=1).to_numpy()]
    group_starts = group_rows(frame, by, order=order).starts
    group_of_block = np.searchsorted(group_starts, levels.groups.starts, side="right") - 1
    first_blocks = np.flatnonzero(np.diff(group_of_block, prepend=-1))
    last_blocks = np.append(first_blocks[1:], len(group_of_block))
    starts, stops = levels.starts, levels.stops
    return [JointFitTask(levels.choices[starts[f]:stops[l - 1]], levels.rts[starts[f]:stops[l - 1]],
                         tuple(int(n) for n in stops[f:l] - starts[f:l]), free, options["model"],
                         options["p_outlier"], options["outlier_window"], trials.window, options.get("bound"),
                         bool(options.get("leak", False)), bool(options.get("urgency", False)))
            for f, l in zip(first_blocks, last_blocks)]
