"""Hierarchical Bayesian fits of a table of trials: the participants'
drift rate, boundary separation, starting point and non-decision time
drawn from group distributions (in model "full" with across-trial
variabilities shared by the group, optionally with contaminants and with
trial-level regressions), sampled with PyMC's NUTS through
``corvatel.pymc.DDM``.

The participants' parameters are non-centred (a group mean plus a group
spread times a standard normal per participant), the parametrisation that
keeps NUTS clear of the funnel a small spread makes of a centred one,
unless the data pin each participant down (many trials, and for the
starting point a clear spread), where the centred form mixes better.
Every parameter is built inside the model's ranges (links, and shares of
the room the others leave), since the likelihood's -inf outside them
would be a divergence to NUTS. PyMC and ArviZ are imported when a fit
starts: they are the optional ``bayes`` extra.
"""

# pymc and arviz have no type information.
# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call, unused-ignore"

from __future__ import annotations

import logging
import math
import numbers
import os
import signal
import threading
import warnings
from collections.abc import Hashable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from . import _arviz
from ._fitting import STAT_COLUMNS, group_stats
from ._flags import (FAST_RESPONSES, FAST_RT, LOOKS_LIKE_MS, MISFIT, MISFIT_ALPHA, MS_MEDIAN, SLOW_ALPHA,
                     SLOW_RESPONSE, joined, kolmogorov_p, misfit_statistic, slowest_probability)
from ._params import BY_NAME, ML_PARAM_COLUMNS, MODELS, PARAM_COLUMNS
from ._trials import (TrialTable, as_frame, group_columns, group_rows, refuse_clashes, refuse_rows,
                      require_columns, show_values)
from .likelihood import OUTLIER_WINDOW, check_p_outlier

DRIFT, BOUNDARY, START, T0 = (BY_NAME[name].fit_name for name in ("drift", "boundary", "start", "t0"))
FITTED = (DRIFT, BOUNDARY, START, T0)
VARIABILITIES = ("sv", "sz", "st")


@dataclass(frozen=True)
class _Random:
    """A participant-level parameter: its group variables mu_<short> and
    sd_<short> (mean and spread on the link's scale) and their priors,
    mu ~ Normal(*mu_prior), sd ~ HalfNormal(sd_prior)."""

    short: str
    mu_prior: tuple[float, float]
    sd_prior: float


RANDOM = {DRIFT: _Random("drift", (0.0, 2.0), 1.0),
          BOUNDARY: _Random("logb", (math.log(1.5), 0.5), 0.5),
          START: _Random("start", (0.0, 0.5), 0.3),
          T0: _Random("t0", (0.0, 1.5), 0.5)}
# With contaminants in the model t0 is free of the fastest response (a fast
# guess below t0 is a contaminant), on the log scale: mu_t0 ~ Normal(log
# 0.3, 0.6) puts 95% of the group's t0 between 0.09 and 1 s.
T0_WITH_CONTAMINANTS = _Random("t0", (math.log(0.3), 0.6), 0.5)
# The group-level variables of the plain model, in the summary's order.
GROUP_VARIABLES = tuple(f"{kind}_{r.short}" for r in RANDOM.values() for kind in ("mu", "sd"))
# A regression's coefficients other than the intercept: group mean and spread.
SLOPE_MU_PRIOR = (0.0, 1.0)
SLOPE_SD_PRIOR = 0.5
# Beyond this standard deviation a covariate's scale is warned of: its
# slopes' spread prior then lets participants' link values differ by
# tens (percent coherences: 67 divergences and an r_hat in the millions on
# a boundary regression that mixed at the 0-1 scale).
WIDEST_COVARIATE = 5.0
# "/" in a coefficient's name (PyMC refuses it) reads as this.
DIVIDED = "\N{DIVISION SIGN}"
# Model "full": sv = exp(log_sv), st = exp(log_st), sz = room * sigmoid(logit_sz).
LOG_SV_PRIOR = (math.log(0.5), 1.0)
LOGIT_SZ_PRIOR = (-1.0, 1.0)
LOG_ST_PRIOR = (math.log(0.1), 1.0)
# A free p_outlier ~ Beta(1, 9): mean 0.1, 95% of it below 0.28.
P_OUTLIER_PRIOR = (1.0, 9.0)
SUMMARY_COLUMNS = ["mean", "sd", "hdi_3%", "hdi_97%", "r_hat", "ess_bulk"]
PARAMETRIZATIONS = ("auto", "centred", "non-centred")
# parametrization="auto" centres the participants' drift, boundary and t0
# when every participant has at least this many trials. Measured on 14 simulated
# participants, 2 chains x (500 + 500): at 285 trials the centred form's
# smallest bulk ESS was 818 against the non-centred form's 157, at 100 the
# non-centred one's 142 against 79 and 33 divergences, at 40 298 against
# a centred chain that did not mix.
CENTRED_FROM = 200
# ... and the starting point too when its spread over participants clearly
# exceeds the noise of their own estimates (below): centred, a clear spread
# mixed better (smallest bulk ESS 429-544 against 313-400, seeds 0-3, 14 x
# 285 trials, start spread 0.2 on the log-odds scale), a spread near 0 far
# worse (33-93, with divergences). The estimate of the spread needs
# participants: with fewer than this the start stays non-centred.
CLEAR_SPREAD_FROM = 10
# NUTS' target acceptance with a centred starting point, above PyMC's and
# nutpie's 0.8: that form's mild funnel otherwise gave a few divergences.
CENTRED_START_TARGET_ACCEPT = 0.9
DEFAULT_TARGET_ACCEPT = 0.8
SAMPLERS = ("nutpie", "pymc")
MAX_SEED = 2**64 - 1  # the samplers' seeds are 64-bit
MAX_R_HAT = 1.01
R_HAT_FLAG = "r_hat above 1.01"
# The columns the participants' table adds to the subject and level columns
# (a level or subject column of one of these names would be overwritten).
RESULT_COLUMNS = ("n_dropped", *STAT_COLUMNS, *PARAM_COLUMNS, *VARIABILITIES, "p_outlier",
                  *(f"{name}_sd" for name in (*FITTED, *VARIABILITIES, "p_outlier")), "warning", "error")
NO_VALID_TRIALS = "no valid trials: every row dropped as invalid"


@dataclass(frozen=True)
class _Regression:
    """A parameter's trial-level design: its formula, the coefficients'
    names (formulaic's, "Intercept" first) and the matrix, one row per
    trial in the design's order."""

    formula: str
    names: list[str]
    matrix: np.ndarray


@dataclass(frozen=True)
class _Options:
    """What the model has besides the participant-level parameters."""

    model: str = "ddm"
    p_outlier: float | str = 0.0
    outlier_window: tuple[float, float] = OUTLIER_WINDOW
    free: tuple[str, ...] = ()
    regression: Mapping[str, _Regression] = field(default_factory=dict)
    # The participant-level parameters drawn as such (centred), not as a
    # mean plus a spread times a standard normal.
    centred: frozenset[str] = frozenset()

    @property
    def contaminants(self) -> bool:
        """Whether contaminants are in the model; without them t0 is a
        share of the fastest response (below which the model has no trial)."""
        return self.p_outlier != 0.0

    def random(self, name: str) -> _Random:
        """The group variables and priors of a participant-level parameter."""
        return T0_WITH_CONTAMINANTS if name == T0 and self.contaminants else RANDOM[name]

    @property
    def group_variables(self) -> list[str]:
        """The group-level variables, in the summary's order: each
        parameter's mean and spread (a regression's coefficients, mean then
        spread of each), then sv, sz, st and a free p_outlier."""
        names: list[str] = []
        for name, random in RANDOM.items():
            if name in self.regression:
                for coefficient in self.regression[name].names:
                    names += [f"{name}_{coefficient}", f"sd_{name}_{coefficient}"]
            else:
                names += [f"mu_{random.short}", f"sd_{random.short}"]
        if self.model == "full":
            names += list(VARIABILITIES)
        if self.p_outlier == "free":
            names.append("p_outlier")
        return names


@dataclass(frozen=True)
class _Dropped:
    """With drop_invalid, every (participant, level) group of the table
    before its invalid rows were dropped, in the design's order: the
    groups' keys, the rows dropped from each, the design cell each became
    (-1: none, every row dropped), and the participants left with no trial."""

    keys: pd.DataFrame
    counts: np.ndarray
    cell: np.ndarray
    lost: list[Any]


@dataclass(frozen=True)
class _Design:
    """The trials as the model takes them: (rt, choice) rows, each trial's
    participant and level, the participants and levels in order, the
    (participant, level) cells that have trials (keys, and their slices of
    the rows), the fastest response that bounds each cell's t0, and the
    trials' rows of the table in this order."""

    observed: np.ndarray
    participant: np.ndarray
    level: np.ndarray
    participants: list[Any]
    levels: list[Any]
    cells: pd.DataFrame
    starts: np.ndarray
    stops: np.ndarray
    fastest: np.ndarray  # (participants, levels)
    rows: pd.DataFrame
    dropped: _Dropped | None = None

    @property
    def with_levels(self) -> bool:
        return self.levels != [None]


def _check_depends_on(depends_on: Any, frame: pd.DataFrame,
                      subject: Hashable) -> tuple[tuple[str, ...], Hashable | None]:
    """(parameters with a group mean per level, the level column or None)."""
    if depends_on is None:
        return (), None
    if not isinstance(depends_on, Mapping) or not depends_on:
        raise TypeError("depends_on must be a non-empty mapping of parameter names to a column name, "
                        f"e.g. {{'{DRIFT}': 'condition'}}; got {depends_on!r}")
    columns: list[Hashable] | None = None
    for parameter, value in depends_on.items():
        if parameter not in FITTED:
            raise ValueError(f"depends_on: {parameter!r} is not a parameter of the hierarchical model; "
                             f"its parameters are {', '.join(FITTED)}")
        these = group_columns(value)
        if len(these) != 1:
            raise ValueError(f"depends_on[{parameter!r}] must name one column; got {value!r}")
        if columns is not None and these != columns:
            raise ValueError("depends_on: every parameter must depend on the same column; "
                             f"got {columns!r} and {these!r}")
        columns = these
    assert columns is not None
    require_columns(frame, columns, "depends_on")
    if columns[0] == subject:
        raise ValueError(f"depends_on: column {subject!r} is the subject column")
    return tuple(depends_on), columns[0]


def _check_regression(regression: Any, free: tuple[str, ...], frame: pd.DataFrame) -> dict[str, str]:
    """The regression's formulas by parameter, checked but not yet built."""
    if regression is None:
        return {}
    if not isinstance(regression, Mapping) or not regression:
        raise TypeError("regression must be a non-empty mapping of parameter names to a formula, "
                        f"e.g. {{'{DRIFT}': '1 + coh'}}; got {regression!r}")
    for parameter, formula in regression.items():
        if parameter not in FITTED:
            raise ValueError(f"regression: {parameter!r} is not a parameter of the hierarchical model; "
                             f"its parameters are {', '.join(FITTED)}")
        if parameter in free:
            raise ValueError(f"{parameter!r} is in both depends_on and regression; give it in one of them "
                             "(a column of levels in a regression is C(column))")
        if not isinstance(formula, str) or "~" in formula:
            raise TypeError(f"regression[{parameter!r}] must be a right-hand-side formula such as '1 + coh', "
                            f"not {formula!r}")
        # A repeated name is a table, not a column; formulaic would not say which.
        require_columns(frame, [v for v in _formula_variables(parameter, formula) if v in frame.columns],
                        f"regression[{parameter!r}]")
    return dict(regression)


def _formula_variables(parameter: str, formula: str) -> list[str]:
    """The variables (columns, if the table has them) that `formula` reads."""
    import formulaic

    try:
        return sorted(str(v) for v in formulaic.Formula(formula).required_variables)
    except formulaic.errors.FormulaicError as error:
        reason = str(error).splitlines()[0]
        raise ValueError(f"regression[{parameter!r}]: {formula!r}: {reason}") from None


def _build_regression(parameter: str, formula: str, rows: pd.DataFrame) -> _Regression:
    """The design matrix of `formula` over the trials `rows` (formulaic)."""
    import formulaic

    required = [v for v in _formula_variables(parameter, formula) if v in rows.columns]
    missing = [v for v in required if rows[v].isna().any()]
    if missing:
        raise ValueError(f"regression[{parameter!r}]: column {missing[0]!r} has missing values")
    categorical = [v for v in required if isinstance(rows[v].dtype, pd.CategoricalDtype)]
    if categorical:
        # formulaic codes every category, used or not: an unused one would
        # be a column of zeros, refused below as if levels co-occurred.
        rows = rows.copy()
        for v in categorical:
            rows[v] = rows[v].cat.remove_unused_categories()
    try:
        matrix = formulaic.model_matrix(formula, rows, na_action="raise")
    except formulaic.errors.FormulaicError as error:
        reason = str(error).splitlines()[0]
        raise ValueError(f"regression[{parameter!r}]: {formula!r}: {reason}") from None
    # PyMC refuses "/" in a variable's name (I(coh/100), a level "70/30").
    names = [str(c).replace("/", DIVIDED) for c in matrix.columns]
    if "Intercept" not in names:
        raise ValueError(f"regression[{parameter!r}]: {formula!r} has no intercept; write it as '1 + ...'")
    values = np.asarray(matrix, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError(f"regression[{parameter!r}]: {formula!r} gives values that are not finite")
    if np.linalg.matrix_rank(values) < values.shape[1]:
        # Coefficients that trade off exactly: only their priors would hold them.
        raise ValueError(f"regression[{parameter!r}]: {formula!r} has columns that the others determine over "
                         f"these trials ({', '.join(names)}): a constant covariate, or levels that always co-occur")
    order = [names.index("Intercept")] + [k for k, n in enumerate(names) if n != "Intercept"]
    return _Regression(formula, [names[k] for k in order], np.ascontiguousarray(values[:, order]))


def _refuse_missing(frame: pd.DataFrame, column: Hashable, argument: str) -> None:
    if frame[column].isna().any():
        raise ValueError(f"{argument}: column {column!r} has {int(frame[column].isna().sum())} missing value(s)")


def _design(trials: TrialTable, subject: Hashable, level_column: Hashable | None, free: tuple[str, ...],
            drop_invalid: bool = False) -> _Design:
    """The design of the trials of `trials`, its `invalid` rows left out
    (and with drop_invalid counted per group, in `dropped`)."""
    frame = trials.frame
    by = [subject] + ([] if level_column is None else [level_column])
    # One grouping of every row: a group that loses all of its rows keeps its key and its count.
    grouped = trials.grouped(by)
    sizes = grouped.stops - grouped.starts
    kept = sizes > 0
    if not kept.any():
        raise ValueError("fit_hierarchical: data has no valid rows")
    valid = frame[~trials.invalid]
    participants = list(group_rows(valid, [subject]).keys[subject])
    levels = [None] if level_column is None else list(group_rows(valid, [level_column]).keys[level_column])
    keys = grouped.groups.keys[kept].reset_index(drop=True)
    starts, stops = grouped.starts[kept], grouped.stops[kept]
    cell_participant = np.array([participants.index(v) for v in keys[subject]], dtype=np.int64)
    cell_level = (np.zeros(len(keys), dtype=np.int64) if level_column is None
                  else np.array([levels.index(v) for v in keys[level_column]], dtype=np.int64))
    participant = np.repeat(cell_participant, sizes[kept])
    level = np.repeat(cell_level, sizes[kept])
    # t0 is below every response it explains: the participant's fastest, or
    # the cell's when t0 has a mean per level.
    fastest = np.full((len(participants), len(levels)), np.inf)
    np.minimum.at(fastest, (participant, level), grouped.rts)
    own = fastest.min(axis=1, keepdims=True)
    if T0 not in free:
        fastest = np.broadcast_to(own, fastest.shape).copy()
    else:
        # A cell without trials has no response of its own to stay below:
        # its t0, the group's prediction, is a share of the participant's fastest.
        fastest = np.where(np.isinf(fastest), own, fastest)
    observed = np.column_stack([grouped.rts, grouped.choices.astype(np.float64)])
    cells = keys.copy()
    cells["n_trials"] = sizes[kept].astype(np.int64)
    order = grouped.groups.order
    rows = frame.iloc[order[~trials.invalid[order]]].reset_index(drop=True)
    dropped = None
    if drop_invalid:
        everyone = group_rows(frame, [subject]).keys[subject]
        dropped = _Dropped(grouped.groups.keys, grouped.dropped.astype(np.int64),
                           np.where(kept, np.cumsum(kept) - 1, -1), [v for v in everyone if v not in participants])
    return _Design(observed, participant, level, participants, levels, cells, starts, stops, fastest, rows, dropped)


def _values(linear: Mapping[str, Any], fastest: Any, st: Any, exp: Any, sigmoid: Any) -> dict[str, Any]:
    """The parameters from their link-scale values: the boundary's log, the
    start's log-odds, t0's log-odds share of the fastest response (the
    window's lower end, t0 - st/2, below it), or with `fastest` None the
    log of that lower end; the same for arrays and tensors."""
    lower = exp(linear[T0]) if fastest is None else fastest * sigmoid(linear[T0])
    return {DRIFT: linear[DRIFT], BOUNDARY: exp(linear[BOUNDARY]), START: sigmoid(linear[START]), T0: lower + st / 2}


def _trial_flags(rts: np.ndarray, *, contaminants: bool) -> list[str]:
    """The flags of a participant's trials, as in fit's tables: response
    times that look like milliseconds, and responses under 0.1 s, which pull
    the participant's t0 to them unless contaminants are in the model."""
    flags = []
    if len(rts) and float(np.median(rts)) > MS_MEDIAN:
        flags.append(LOOKS_LIKE_MS)
    if len(rts) and float(rts.min()) < FAST_RT and not contaminants:
        flags.append(FAST_RESPONSES)
    return flags


def _with_dropped(table: pd.DataFrame, dropped: _Dropped) -> pd.DataFrame:
    """The participants' table with drop_invalid, in the shape of fit's:
    a row for every group of the table (a group whose every row was
    dropped has an error and no estimates), n_dropped after the keys."""
    keys = dropped.keys.reset_index(drop=True)
    rows = table.drop(columns=list(keys.columns)).reindex(dropped.cell).reset_index(drop=True)
    rows = rows.fillna({"n_valid": 0, "n_upper": 0}).astype({"n_valid": np.int64, "n_upper": np.int64})
    empty = dropped.cell < 0
    rows.loc[empty, "warning"] = ""
    rows.loc[empty, "error"] = NO_VALID_TRIALS
    rows.insert(0, "n_dropped", dropped.counts)
    return pd.concat([keys, rows], axis=1)


class HierarchicalFit:
    """A hierarchical fit: ``idata`` (ArviZ's InferenceData, a DataTree with
    ArviZ 1, with posterior, sample_stats, observed_data and
    log_likelihood), ``summary()`` of the group-level parameters,
    ``participants()``, a table of the participants' posterior means in the
    shape of ``fit``'s, and ``fit_check()``, the posterior-predictive check
    of the data."""

    def __init__(self, idata: Any, subject: Hashable, level_column: Hashable | None, design: _Design,
                 options: _Options) -> None:
        self.idata = idata
        self.subject = subject
        self.level_column = level_column
        self.model = options.model
        self._design = design
        self._options = options

    @property
    def group_variables(self) -> list[str]:
        """The group-level variables of the summary, in its order."""
        return self._options.group_variables

    def summary(self) -> pd.DataFrame:
        """mean, sd, hdi_3%, hdi_97%, r_hat and ess_bulk of each group-level
        parameter (arviz.summary; a mean per level is a row per level)."""
        return _arviz.summary(self.idata, self.group_variables)[SUMMARY_COLUMNS]

    def participants(self) -> pd.DataFrame:
        """One row per participant (and level, with depends_on) that has
        trials, in the columns of ``fit``'s method="ml" table: the subject
        (and level) column, with drop_invalid=True n_dropped (the rows
        dropped as invalid; a participant or level whose every row was
        dropped has a row of its own, with no estimates and an error),
        n_valid, n_upper, accuracy, mean_rt, var_rt (of
        the row's trials), the posterior means of drift_rate,
        boundary_separation, non_decision_time and starting_point, noise_sd
        (1), sv, sz and st (model "full": the group's; else 0), p_outlier
        (fixed, or the posterior mean of a free one); not the search's
        columns (converged, iterations, log_likelihood, aic, bic). Then the
        posterior sd of each estimated parameter
        (<name>_sd), warning and error. With a regression the table gives
        the participant's value at the intercept (every covariate 0).
        warning: as in ``fit``'s tables, "rt looks like ms" (a median
        response time above 20 s) and "responses under 0.1 s" (without
        contaminants in the model: such a response holds the participant's
        t0 below it), "improbably slow response" (the model at the row's
        posterior means gives its slowest response a probability below
        0.001 of being so slow: a lapse that may have distorted the fit)
        and "distribution misfit" (a Kolmogorov-Smirnov test of the row's
        trials against the model at its posterior means rejects them at
        p < 0.01: fast guesses, typically), neither with a regression,
        whose values at the intercept are not those of the trials; then
        "r_hat above 1.01 (names)" when the chains
        disagree on the row's parameters (two chains or more); error is
        empty but for those rows without trials."""
        design, options = self._design, self._options
        posterior = _arviz.group(self.idata, "posterior")
        table = design.cells.drop(columns="n_trials").reset_index(drop=True)
        rows = [group_stats(design.observed[a:b, 1] == 1.0, np.ascontiguousarray(design.observed[a:b, 0]))
                for a, b in zip(design.starts, design.stops)]
        stats = pd.DataFrame.from_records(rows, columns=list(STAT_COLUMNS)).astype({"n_valid": np.int64,
                                                                                     "n_upper": np.int64})
        table = pd.concat([table, stats], axis=1)
        # The rows' places in the posterior's arrays, which follow the
        # design's order: by position, whatever the ids (the posterior's
        # coordinates may hold them as strings).
        first = design.starts
        cell: Any = ((design.participant[first], design.level[first]) if design.with_levels
                     else design.participant[first])
        estimated: list[str] = []
        means, sds = {}, {}
        for name in FITTED:
            means[name] = posterior[name].mean(dim=("chain", "draw")).to_numpy()[cell]
            sds[name] = posterior[name].std(dim=("chain", "draw")).to_numpy()[cell]
            estimated.append(name)
        group = list(VARIABILITIES) if options.model == "full" else []
        if options.p_outlier == "free":
            group.append("p_outlier")
        for name in group:
            means[name] = np.full(len(table), float(posterior[name].mean()))
            sds[name] = np.full(len(table), float(posterior[name].std()))
            estimated.append(name)
        # The parameters the model fixes, as fit's tables give them: the
        # variabilities 0 without model "full", p_outlier its fixed value.
        for name in (*VARIABILITIES, "p_outlier"):
            if name not in means:
                means[name] = np.full(len(table), float(options.p_outlier) if name == "p_outlier" else 0.0)
        means["noise_sd"] = np.ones(len(table))
        columns = list(ML_PARAM_COLUMNS)
        for name in columns:
            table[name] = means[name]
        for name in columns:  # in the table's order
            if name in estimated:
                table[f"{name}_sd"] = sds[name]
        flags = [_trial_flags(design.observed[a:b, 0], contaminants=options.contaminants)
                 for a, b in zip(design.starts, design.stops)]
        # A regression's table holds the values at the intercept, not those
        # of each trial: no single distribution to ask of the slowest.
        if not options.regression:
            for k, (a, b) in enumerate(zip(design.starts, design.stops)):
                row = {name: float(means[name][k]) for name in columns}
                rts = np.ascontiguousarray(design.observed[a:b, 0])
                if slowest_probability(rts, row, options.outlier_window, None) < SLOW_ALPHA:
                    flags[k].append(SLOW_RESPONSE)
                statistic = misfit_statistic(design.observed[a:b, 1] == 1.0, rts, row, options.outlier_window, None)
                if kolmogorov_p(statistic, len(rts)) < MISFIT_ALPHA:
                    flags[k].append(MISFIT)
        table["warning"] = [joined(these + ([r_hat] if r_hat else []))
                            for these, r_hat in zip(flags, self._r_hat_flags(cell, len(table)))]
        table["error"] = ""
        table = table.astype({"warning": object, "error": object})
        return table if design.dropped is None else _with_dropped(table, design.dropped)

    def _r_hat_flags(self, cell: Any, n: int) -> list[str]:
        import xarray as xr

        posterior = _arviz.group(self.idata, "posterior")
        if posterior.sizes["chain"] < 2:
            return [""] * n
        high: list[list[str]] = [[] for _ in range(n)]
        # The rows' cells only: a cell without trials (a participant's
        # missing level) holds the group's prediction, not a fit to data.
        where = (slice(None), slice(None), *(cell if isinstance(cell, tuple) else (cell,)))
        cells = xr.Dataset({name: (("chain", "draw", "row"), posterior[name].to_numpy()[where]) for name in FITTED})
        r_hat = _arviz.rhat({"posterior": cells}, FITTED)
        for name in FITTED:
            for row in np.flatnonzero(~(r_hat[name].to_numpy() <= MAX_R_HAT)):
                high[row].append(name)
        group = [name for name in self.group_variables if name in VARIABILITIES or name == "p_outlier"]
        if group:
            shared = _arviz.rhat(self.idata, group)
            for name in group:
                if not float(shared[name]) <= MAX_R_HAT:
                    for names in high:
                        names.append(name)
        return [f"{R_HAT_FLAG} ({', '.join(names)})" if names else "" for names in high]

    def fit_check(self, *, n_draws: int = 50, seed: int = 0, interval: float = 0.9) -> Any:
        """The posterior-predictive check of the data, a matplotlib Figure
        (see ``corvatel.plot.posterior_check``; needs matplotlib): RT
        quantiles and response proportions of the data against those of
        trials simulated from `n_draws` posterior draws, with their central
        `interval`, per level of depends_on."""
        from .plot import posterior_check

        return posterior_check(self, n_draws=n_draws, seed=seed, interval=interval)

    def _predictive(self, n_draws: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
        """The observed (rt, choice) rows and those of `n_draws` draws
        spread evenly over the posterior (draws, trials, 2), simulated by the
        model's own distribution from `seed`."""
        import pymc as pm

        posterior = _arviz.group(self.idata, "posterior")
        chains, draws = posterior.sizes["chain"], posterior.sizes["draw"]
        picks = np.unique(np.linspace(0, chains * draws - 1, min(n_draws, chains * draws)).astype(np.int64))
        stacked = posterior.stack(sample=("chain", "draw")).isel(sample=picks)
        thinned = stacked.drop_vars(["sample", "chain", "draw"]).rename(sample="draw").expand_dims(chain=1)
        logger = logging.getLogger("pymc")
        level = logger.level
        with warnings.catch_warnings():
            # PyMC notes that the deterministics are recomputed, which is what
            # is wanted, and logs "Sampling: [trials]" (on the command line's
            # standard error), which tells nothing here.
            warnings.simplefilter("ignore", UserWarning)
            logger.setLevel(logging.WARNING)
            try:
                predictive = pm.sample_posterior_predictive(thinned, model=_model(self._design, self._options),
                                                            var_names=["trials"], random_seed=seed,
                                                            progressbar=False, return_inferencedata=False)
            finally:
                logger.setLevel(level)
        simulated = np.asarray(predictive["trials"]).reshape(len(picks), *self._design.observed.shape)
        return self._design.observed, simulated


def fit_hierarchical(data: Any, *, subject: Hashable = "subject",
                     depends_on: Mapping[str, Hashable] | None = None, model: str = "ddm",
                     p_outlier: float | str | None = None, outlier_window: tuple[float, float] | None = None,
                     regression: Mapping[str, str] | None = None, chains: int = 2, draws: int = 500,
                     tune: int = 500, seed: int = 0, progress: bool = False, choice: Hashable = "choice",
                     rt: Hashable = "rt", upper: Any = None, rt_unit: str | None = None,
                     drop_invalid: bool = False, parametrization: str = "auto",
                     sampler: str = "nutpie", target_accept: float | None = None) -> HierarchicalFit:
    """A hierarchical Bayesian fit of the drift-diffusion model (drift rate,
    boundary separation, starting point, non-decision time; noise 1) to a
    table of trials from several participants, sampled by NUTS (nutpie on
    the model compiled with Numba, by default). Needs the ``bayes`` extra
    (PyMC, ArviZ, nutpie, formulaic).

    Participant j's parameters, non-centred (z ~ Normal(0, 1) per
    participant and parameter):
      drift_rate_j = mu_drift + sd_drift * z_drift_j
      boundary_separation_j = exp(mu_logb + sd_logb * z_logb_j)
      starting_point_j = sigmoid(mu_start + sd_start * z_start_j)
      non_decision_time_j = fastest_rt_j * sigmoid(mu_t0 + sd_t0 * z_t0_j)
    where fastest_rt_j is j's fastest response (so t0 stays below it) and
    the starting point is relative (0.5 unbiased, in (0, 1)). As the
    fastest response is itself data, t0 as its share s_j is a change of
    variables of the responses, whose Jacobian, (1 - s_j) per participant
    (per cell with a t0 per level), is in the model (the Potential
    t0_share_jacobian); without it the posterior of t0 leans high. With a
    regression on t0, whose share varies by trial, it is left out.
    Priors: mu_drift ~ Normal(0, 2), sd_drift ~ HalfNormal(1);
    mu_logb ~ Normal(log 1.5, 0.5), sd_logb ~ HalfNormal(0.5);
    mu_start ~ Normal(0, 0.5), sd_start ~ HalfNormal(0.3) (log-odds);
    mu_t0 ~ Normal(0, 1.5) (t0 as a log-odds share of the fastest
    response), sd_t0 ~ HalfNormal(0.5).

    model="full" adds the across-trial variabilities, one value each for
    the whole group (not per participant), built inside the model's ranges:
      sv = exp(log_sv), log_sv ~ Normal(log 0.5, 1);
      sz = room * sigmoid(logit_sz), logit_sz ~ Normal(-1, 1), where room
        = 2 * min(start, 1 - start) over every participant (and trial), so
        start +- sz/2 stays inside (0, 1) for all of them;
      st = exp(log_st), log_st ~ Normal(log 0.1, 1); the share above then
        places the window's lower end: non_decision_time_j - st/2 =
        fastest_rt_j * sigmoid(...), so t0 - st/2 lies in (0, the fastest
        response), all the density needs (t0 itself, the window's centre,
        may exceed the fastest response).
    sv, sz and st are in the posterior as such (and log_sv, logit_sz,
    log_st, the sampled ones).

    p_outlier: None or 0 (no contaminants), a number in [0, 1) (that
    share of the trials are contaminants, uniform on outlier_window, with
    a random choice), or "free": one group-level p_outlier ~ Beta(1, 9)
    (mean 0.1, 95% below 0.28). outlier_window: as in ``fit``, default
    (0, 5) seconds. With contaminants a response faster than t0 is one of
    them, so t0 is no longer bounded by the fastest response (a fast guess
    would hold it down): non_decision_time_j - st/2 = exp(mu_t0 + sd_t0 *
    z_t0_j), mu_t0 ~ Normal(log 0.3, 0.6), sd_t0 ~ HalfNormal(0.5), and
    the share's Jacobian is not needed.

    depends_on, e.g. ``{"drift_rate": "condition"}``: the named parameters
    (drift_rate, boundary_separation, starting_point, non_decision_time)
    get a group mean per level of that column (one column for all), each
    with the prior above; a participant's deviation z is shared across the
    levels. A non-decision time per level is bounded by the participant's
    fastest response in that level.

    regression, e.g. ``{"drift_rate": "1 + coh"}``: trial-level
    covariates (a formulaic formula of the table's columns; "1 +
    C(condition)" for levels) with participant-level random intercepts and
    slopes. For each named parameter the link-scale value of trial i of
    participant j is X_i . beta_j (identity for drift, log for boundary,
    log-odds for start, the log-odds share for t0, so t0 stays below the
    participant's fastest response on every trial), each coefficient
    non-centred: beta_jk = <parameter>_<coefficient> +
    sd_<parameter>_<coefficient> * z_jk, e.g. drift_rate_Intercept,
    sd_drift_rate_Intercept, drift_rate_coh, sd_drift_rate_coh. The
    intercept's priors are those of the parameter's mu and sd above; the
    others' Normal(0, 1) and HalfNormal(0.5). The formula must have an
    intercept and no column that the others determine over the trials (a
    constant covariate; a category of a categorical column that no trial
    has is left out, as depends_on leaves out such a level), and a
    parameter may not be in both depends_on and regression, nor depend on
    the choice or rt column. The slopes' priors suit covariates of about
    unit scale: one whose standard deviation exceeds 5 is warned of
    (rescale it: scale(coh), or percents / 100), and so is one constant
    within every participant (an age), whose participants' slopes are one
    with their intercepts. A "/" in a coefficient's name (I(coh/100))
    reads as a division sign there, which PyMC's names allow.

    choice, rt, upper, rt_unit: the columns and their coding, as in
    ``fit`` (rt_unit None means seconds); rows with a missing choice or a
    NaN, infinite, negative or zero response time (t0 lies below each
    participant's fastest response) are refused, or with drop_invalid=True
    left out and counted per participant (and level) in the participants'
    table's n_dropped, where a participant left with no trial has a row
    with an error (it is not in the model, and the fit warns of it); a
    missing subject, level or covariate is refused, and so is a subject or
    level column named like a column of the participants' table.

    parametrization: "non-centred" as above; "centred" draws each
    parameter that has one group mean (not in depends_on or regression) as
    such, e.g. drift_participant_j ~ Normal(mu_drift, sd_drift), on the
    same link scales and with the same priors (the same model, sampled in
    other coordinates: logb_participant, start_participant,
    t0_participant); "auto" (default) centres drift, boundary and t0 when
    every participant has at least 200 trials, where the data pin each
    participant down and the non-centred form mixes slowly, and the
    starting point with them only when its spread over participants is
    clear (its spread is often near 0, a funnel for the centred form): with
    10 participants or more, maximum-likelihood fits of two halves of each
    participant's trials must differ across participants well beyond their
    noise (a spread of 0 passes by chance 3.3% of the time at 10
    participants, 1.8% at 14).

    target_accept: NUTS' target acceptance rate; None (default) is 0.9
    with the starting point centred, whose mild funnel otherwise gave a few
    divergences, and 0.8 (PyMC's and nutpie's own) otherwise. Raise it
    (0.95, 0.99) when a fit warns of divergences: smaller steps, slower
    sampling.

    Sampling: sampler="nutpie" (default) runs nutpie's NUTS on the model
    compiled with Numba (the DDM likelihood called from compiled code), its
    chains in parallel on the machine's cores; "pymc" runs PyMC's NUTS on
    one core. The same seed and chain count give the same draws, whatever
    corvatel's thread count (with the same versions of PyMC and nutpie:
    others may start or step the chains differently); the compiled code
    is built for this processor, so another may differ in the last bits.
    The pointwise log-likelihood is in ``idata.log_likelihood`` (ArviZ's
    loo). The posterior's participant and level coordinates are the ids,
    as text where they mix types (101 and "101b").
    Warns (UserWarning) of divergences, of draws at the sampler's maximum
    tree depth and, with two chains or more, of a group-level r_hat above
    1.01, and before sampling of participants whose
    response times look like milliseconds or, without contaminants, who
    have responses under 0.1 s, and of those drop_invalid left with no trial. Ctrl-C stops the fit with
    KeyboardInterrupt (the samplers' own draws so far are not kept).
    """
    import pymc  # noqa: F401  (the bayes extra: refuse early when it is missing)

    design, options, level_column = _prepare(data, subject=subject, depends_on=depends_on, model=model,
                                             p_outlier=p_outlier, outlier_window=outlier_window,
                                             regression=regression, choice=choice, rt=rt, upper=upper,
                                             rt_unit=rt_unit, drop_invalid=bool(drop_invalid))
    for name, value, least in (("chains", chains, 1), ("draws", draws, 1), ("tune", tune, 0), ("seed", seed, 0)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer of at least {least}, not {value!r}")
    if seed > MAX_SEED:
        raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, not {seed!r}")
    if parametrization not in PARAMETRIZATIONS:
        raise ValueError(f"parametrization must be one of {', '.join(map(repr, PARAMETRIZATIONS))}; "
                         f"got {parametrization!r}")
    if sampler not in SAMPLERS:
        raise ValueError(f"sampler must be one of {', '.join(map(repr, SAMPLERS))}; got {sampler!r}")
    if target_accept is not None:
        if isinstance(target_accept, bool) or not isinstance(target_accept, (int, float, np.integer, np.floating)):
            raise TypeError(f"target_accept must be a number in (0, 1) or None, not {target_accept!r}")
        if not 0.0 < target_accept < 1.0:
            raise ValueError(f"target_accept must be in (0, 1), not {target_accept!r}")
    options = replace(options, centred=_centred(parametrization, design, options))
    if target_accept is None:
        target_accept = CENTRED_START_TARGET_ACCEPT if START in options.centred else DEFAULT_TARGET_ACCEPT
    _warn_of_lost_participants(design)
    _warn_of_trials(design, options)
    _warn_of_covariates(design, options)
    idata = _sample(_model(design, options), draws=int(draws), tune=int(tune), chains=int(chains), seed=int(seed),
                    progress=bool(progress), sampler=sampler, target_accept=float(target_accept))
    _warn_of_sampling(idata, options.group_variables)
    return HierarchicalFit(idata, subject, level_column, design, options)


def _centred(parametrization: str, design: _Design, options: _Options) -> frozenset[str]:
    """The parameters drawn centred: with "centred", or "auto" when every
    participant has CENTRED_FROM trials, each with one group mean (a mean
    per level or a regression keeps the non-centred form)."""
    plain = frozenset(name for name in RANDOM if name not in options.free and name not in options.regression)
    if parametrization == "centred":
        return plain
    fewest = int(np.bincount(design.participant, minlength=len(design.participants)).min())
    if parametrization == "non-centred" or fewest < CENTRED_FROM:
        return frozenset()
    # The starting point's spread over participants is often near 0, where
    # the centred form is a funnel: centred only when the data show one.
    if START in plain and not options.regression and _start_spread_is_clear(design, options):
        return plain
    return plain - {START}


def _start_spread_is_clear(design: _Design, options: _Options) -> bool:
    """Whether the participants' starting points differ by more than their
    estimates' noise: each participant's trials (of each level) split into
    two halves, fitted by maximum likelihood; over participants, the
    covariance of the halves' log-odds starts estimates the true spread's
    variance (their noises are independent), and a quarter of the variance
    of their difference the noise variance of an estimate from all the
    trials. Clear: the spread above (1 + 5 / sqrt(n - 1)) times the noise
    for n participants, which spreads of 0 pass by chance 3.3% of the time
    for 10, 1.8% for 14, 0.1% for 40 (by simulation). A failed fit counts
    as no spread."""
    from ._fitting import fit

    n = len(design.participants)
    if n < CLEAR_SPREAD_FROM:
        return False
    trials = pd.DataFrame({"subject": design.participant, "level": design.level, "rt": design.observed[:, 0],
                           "choice": design.observed[:, 1] == 1.0})
    half = trials.groupby(["subject", "level"]).cumcount().to_numpy() % 2
    depends_on = {name: "level" for name in options.free} or None
    p_outlier = options.p_outlier if options.contaminants else None
    starts = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the halves' own flags are not the fit's
        for part in (0, 1):
            try:
                table = fit(trials[half == part], by="subject", method="ml", depends_on=depends_on,
                            p_outlier=p_outlier, outlier_window=options.outlier_window)
            except ValueError:
                return False
            starts.append(table.groupby("subject")["starting_point"].first().to_numpy())
    if len(starts[0]) != len(starts[1]) or not all(np.isfinite(a).all() and ((a > 0) & (a < 1)).all() for a in starts):
        return False
    first, second = (np.log(a / (1.0 - a)) for a in starts)
    spread = float(np.cov(first, second)[0, 1])
    noise = float(np.var(first - second, ddof=1)) / 4.0
    return spread > (1.0 + 5.0 / math.sqrt(n - 1)) * noise


def _prepare(data: Any, *, subject: Hashable, depends_on: Any, model: Any, p_outlier: Any, outlier_window: Any,
             regression: Any, choice: Hashable, rt: Hashable, upper: Any, rt_unit: str | None,
             drop_invalid: bool = False) -> tuple[_Design, _Options, Hashable | None]:
    """The checked arguments of fit_hierarchical: the trials as the model
    takes them, what the model has, and the level column (or None)."""
    frame = as_frame(data)
    require_columns(frame, [subject], "subject")
    require_columns(frame, [choice, rt], "fit_hierarchical")
    for name, column in (("choice", choice), ("rt", rt)):
        if column == subject:
            raise ValueError(f"subject: column {subject!r} is the {name} column")
    free, level_column = _check_depends_on(depends_on, frame, subject)
    responses = {choice: "choice", rt: "rt"}
    if level_column in responses:
        raise ValueError(f"depends_on: column {level_column!r} is the {responses[level_column]} column: a "
                         "parameter cannot depend on the response it explains")
    refuse_clashes([subject], RESULT_COLUMNS, "subject")
    if level_column is not None:
        refuse_clashes([level_column], RESULT_COLUMNS, "depends_on")
    formulas = _check_regression(regression, free, frame)
    for parameter, formula in formulas.items():
        for variable in _formula_variables(parameter, formula):
            if variable in responses:
                raise ValueError(f"regression[{parameter!r}]: column {variable!r} is the {responses[variable]} "
                                 "column: a parameter cannot depend on the response it explains")
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"model must be one of {', '.join(repr(m) for m in MODELS)}; got {model!r}")
    window = OUTLIER_WINDOW if outlier_window is None else outlier_window
    # fit's checks: a pair of finite numbers 0 <= lo < hi, then p_outlier.
    contaminants = check_p_outlier(0.0 if p_outlier is None else p_outlier, window)
    window = (float(window[0]), float(window[1]))
    if len(frame) == 0:
        raise ValueError("fit_hierarchical: data has no rows")
    _refuse_missing(frame, subject, "subject")
    if level_column is not None:
        _refuse_missing(frame, level_column, "depends_on")
    unit = "s" if rt_unit is None else rt_unit
    trials = TrialTable.read(frame, choice=choice, rt=rt, upper=upper, rt_unit=unit, drop_invalid=drop_invalid)
    # t0 lies below each participant's fastest response: a response at 0
    # leaves that participant no non-decision time.
    at_zero = ~trials.invalid & (trials.rts == 0.0)
    if not drop_invalid:
        refuse_rows(frame, at_zero, f"response-time column {rt!r} has {{count}} response time(s) of 0")
    design = _design(replace(trials, invalid=trials.invalid | at_zero), subject, level_column, free, drop_invalid)
    options = _Options(model, contaminants, window, free,
                       {name: _build_regression(name, formula, design.rows) for name, formula in formulas.items()})
    return design, options, level_column


def _labels(values: Sequence[Any]) -> Sequence[Any]:
    """A coordinate's labels: the ids themselves when they are all text,
    all numbers or all booleans, else as text (nutpie takes labels of one
    type only: ids of a spreadsheet such as 101 and "101b"), as repr where
    two would read alike (1 and "1")."""
    def kind(value: Any) -> type | None:
        for k in (bool, np.bool_, str, numbers.Number):
            if isinstance(value, k):
                return bool if k is np.bool_ else k
        return None

    kinds = {kind(v) for v in values}
    if len(kinds) == 1 and None not in kinds:
        return values
    text = [str(v) for v in values]
    return text if len(set(text)) == len(text) else [repr(v) for v in values]


def _model(design: _Design, options: _Options) -> Any:
    """The PyMC model of the trials of `design`."""
    import pymc as pm
    import pytensor.tensor as pt

    from .pymc import DDM

    with_levels = design.with_levels
    coords = {"participant": _labels(design.participants),
              **({"level": _labels(design.levels)} if with_levels else {})}
    cell_dims = ("participant", "level") if with_levels else ("participant",)
    n_levels = len(design.levels)

    with pm.Model(coords=coords) as model:
        # The trials as data, not constants: Numba then caches the compiled
        # model for the next fit of the same structure.
        participant = pm.Data("participant_of_trial", design.participant)
        trial_cell = (participant, pm.Data("level_of_trial", design.level))
        # Each parameter on its link's scale: per trial, and per cell
        # (participants, levels) as the participants' table reports it.
        trial, cell = {}, {}
        for name in RANDOM:
            random = options.random(name)
            if name in options.regression:
                regression = options.regression[name]
                coefficients = []
                for coefficient in regression.names:
                    mu_prior, sd_prior = ((random.mu_prior, random.sd_prior) if coefficient == "Intercept"
                                          else (SLOPE_MU_PRIOR, SLOPE_SD_PRIOR))
                    mu = pm.Normal(f"{name}_{coefficient}", *mu_prior)
                    sd = pm.HalfNormal(f"sd_{name}_{coefficient}", sd_prior)
                    z = pm.Normal(f"z_{name}_{coefficient}", 0.0, 1.0, dims="participant")
                    coefficients.append(mu + sd * z)
                beta = pt.stack(coefficients, axis=1)  # (participants, coefficients)
                matrix = pm.Data(f"design_{name}", regression.matrix)
                trial[name] = (matrix * beta[participant]).sum(axis=1)
                cell[name] = beta[:, 0][:, None] * np.ones((1, n_levels))  # the intercept
            elif name in options.centred:
                mu = pm.Normal(f"mu_{random.short}", *random.mu_prior)
                sd = pm.HalfNormal(f"sd_{random.short}", random.sd_prior)
                value = pm.Normal(f"{random.short}_participant", mu, sd, dims="participant")
                cell[name] = value[:, None] * np.ones(n_levels)
                trial[name] = cell[name][trial_cell]
            else:
                mu = pm.Normal(f"mu_{random.short}", *random.mu_prior, dims="level" if name in options.free else None)
                sd = pm.HalfNormal(f"sd_{random.short}", random.sd_prior)
                z = pm.Normal(f"z_{random.short}", 0.0, 1.0, dims="participant")
                # A mean per level or one; the levels share the participant's deviation.
                means = mu if name in options.free else mu * np.ones(n_levels)
                cell[name] = means[None, :] + sd * z[:, None]
                trial[name] = cell[name][trial_cell]
        extra: dict[str, Any] = {}
        st: Any = 0.0
        if options.model == "full":
            start = pm.math.sigmoid(trial[START])
            # The trials of a participant share its start: min's gradient
            # would go to every one of them (the true one times their
            # number), sort's goes to one.
            ordered = start.sort()
            room = 2.0 * pt.minimum(ordered[0], 1.0 - ordered[-1])
            extra["sv"] = pm.Deterministic("sv", pm.math.exp(pm.Normal("log_sv", *LOG_SV_PRIOR)))
            extra["sz"] = pm.Deterministic("sz", room * pm.math.sigmoid(pm.Normal("logit_sz", *LOGIT_SZ_PRIOR)))
            extra["st"] = st = pm.Deterministic("st", pm.math.exp(pm.Normal("log_st", *LOG_ST_PRIOR)))
        if options.p_outlier == "free":
            extra["p_outlier"] = pm.Beta("p_outlier", *P_OUTLIER_PRIOR)
        elif options.p_outlier != 0.0:
            extra["p_outlier"] = options.p_outlier
        exp, sigmoid = pm.math.exp, pm.math.sigmoid
        bound = not options.contaminants  # t0 below the fastest response
        for name, value in _values(cell, design.fastest if bound else None, st, exp, sigmoid).items():
            pm.Deterministic(name, value if with_levels else value[:, 0], dims=cell_dims)
        if bound and T0 not in options.regression:
            # t0 = s * fastest response makes the responses a change of
            # variables of the decision times (shifted by s/(1 - s) times
            # the fastest of them), whose Jacobian is 1 - s per cell: left
            # out, the posterior of t0 leans high (by 0.6 posterior sds of
            # mu_t0 in the calibration study).
            if T0 in options.free:
                present = np.zeros(design.fastest.shape, dtype=bool)
                present[design.participant, design.level] = True
                pm.Potential("t0_share_jacobian", pt.log1p(-sigmoid(cell[T0]))[present.nonzero()].sum())
            else:
                pm.Potential("t0_share_jacobian", pt.log1p(-sigmoid(cell[T0][:, 0])).sum())
        fastest = pm.Data("fastest_of_trial", design.fastest[design.participant, design.level]) if bound else None
        values = _values(trial, fastest, st, exp, sigmoid)
        DDM("trials", drift=values[DRIFT], boundary=values[BOUNDARY], start=values[START], t0=values[T0],
            outlier_window=options.outlier_window, observed=pm.Data("trials_observed", design.observed), **extra)
    return model


def _sample(model: Any, *, draws: int, tune: int, chains: int, seed: int, progress: bool,
            sampler: str = "nutpie", target_accept: float = DEFAULT_TARGET_ACCEPT) -> Any:
    """The posterior of `model` as PyMC returns it (InferenceData, or a
    DataTree with PyMC 6), with the pointwise log-likelihood. nutpie runs
    the model compiled with Numba (the DDM Op's compiled path), its chains
    in parallel on the machine's cores, each with its own stream of the
    seed: the same draws whatever the cores. "pymc" is PyMC's own NUTS on
    one core (with PyMC 5 the Op called from Python, with PyMC 6 compiled
    too). Ctrl-C raises KeyboardInterrupt."""
    import pymc as pm

    with model, _interrupts() as interrupted:
        try:
            if sampler == "pymc":
                def stop_if_interrupted(**_: Any) -> None:
                    if interrupted.is_set():
                        raise KeyboardInterrupt  # PyMC ends the chain on it

                idata = pm.sample(draws=draws, tune=tune, chains=chains, cores=1, random_seed=seed,
                                  target_accept=target_accept, progressbar=progress, callback=stop_if_interrupted)
            else:
                idata = _sample_nutpie(pm, draws=draws, tune=tune, chains=chains, seed=seed, progress=progress,
                                       target_accept=target_accept)
        finally:
            # Whatever the sampler made of the draws so far, or failed on.
            if interrupted.is_set():
                raise KeyboardInterrupt
        pm.compute_log_likelihood(idata, model=model, progressbar=False)
    return idata


def _sample_nutpie(pm: Any, *, draws: int, tune: int, chains: int, seed: int, progress: bool,
                   target_accept: float) -> Any:
    """nutpie's draws of the model in context, compiled with Numba."""
    from numba.core.errors import NumbaWarning

    cores = min(chains, os.cpu_count() or 1)
    # PyMC 6 hands nutpie its own `cores` and compile_kwargs; PyMC 5 neither
    # (nutpie's default is every core).
    passed = ({"cores": cores, "compile_kwargs": {"backend": "numba"}} if int(pm.__version__.split(".")[0]) >= 6
              else {"nuts_sampler_kwargs": {"backend": "numba", "cores": cores}})
    with warnings.catch_warnings():
        # Numba does not cache a function that holds the trials as
        # constants; it compiles it again, which is all that means.
        warnings.filterwarnings("ignore", ".*Cannot cache compiled function", NumbaWarning)
        return pm.sample(draws=draws, tune=tune, chains=chains, random_seed=seed, progressbar=progress,
                         target_accept=target_accept, nuts_sampler="nutpie", compute_convergence_checks=False,
                         **passed)


@contextmanager
def _interrupts() -> Iterator[threading.Event]:
    """An event set by Ctrl-C (SIGINT) while the block runs, the signal's
    own handler still called. The samplers take KeyboardInterrupt as the
    end of sampling and return the draws so far (PyMC's NUTS ends only the
    chain it is on): a fit of some or none of the draws asked for, which
    the caller refuses. Only the main thread handles signals; elsewhere, or
    with SIGINT ignored, the event stays clear."""
    interrupted = threading.Event()
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield interrupted
        return

    def handler(signum: int, frame: Any) -> None:
        interrupted.set()
        previous(signum, frame)

    signal.signal(signal.SIGINT, handler)
    try:
        yield interrupted
    finally:
        signal.signal(signal.SIGINT, previous)


def _warn_of_trials(design: _Design, options: _Options) -> None:
    """Warns, before the sampling, of the participants whose trials carry
    a flag of the participants' table (the flags that make a fit wrong)."""
    flagged: dict[str, list[str]] = {}
    for a, b in zip(design.starts, design.stops):
        participant = str(design.participants[design.participant[a]])
        for flag in _trial_flags(design.observed[a:b, 0], contaminants=options.contaminants):
            if participant not in flagged.setdefault(flag, []):
                flagged[flag].append(participant)
    advice = {LOOKS_LIKE_MS: "a median response time above 20 s; pass rt_unit='ms' if they are milliseconds",
              FAST_RESPONSES: "each participant's t0 lies below its fastest response; pass p_outlier to take "
                              "such responses as contaminants, or drop them"}
    for flag, participants in flagged.items():
        shown = ", ".join(participants[:5]) + (", ..." if len(participants) > 5 else "")
        warnings.warn(f"{flag}: participant(s) {shown} ({advice[flag]})", UserWarning, stacklevel=3)


def _warn_of_covariates(design: _Design, options: _Options) -> None:
    """Warns of a regression's covariate far from unit scale, and of one
    that is constant within every participant."""
    for parameter, regression in options.regression.items():
        covariates = regression.matrix[:, 1:]
        lowest = np.full((len(design.participants), covariates.shape[1]), np.inf)
        highest = np.full_like(lowest, -np.inf)
        np.minimum.at(lowest, design.participant, covariates)
        np.maximum.at(highest, design.participant, covariates)
        constant = [name for name, same in zip(regression.names[1:], (lowest == highest).all(axis=0)) if same]
        if constant and len(design.participants) > 1:
            warnings.warn(f"regression[{parameter!r}]: {', '.join(map(repr, constant))} is constant within each "
                          "participant: a participant's slope is then one with its intercept, and the slope's "
                          "spread over participants is held by its prior alone (slow sampling; its mean is "
                          "still the between-participant effect)", UserWarning, stacklevel=3)
        spreads = covariates.std(axis=0)
        if spreads.size and spreads.max() > WIDEST_COVARIATE:
            widest = int(spreads.argmax())
            warnings.warn(f"regression[{parameter!r}]: {regression.names[1 + widest]!r} has a standard deviation of "
                          f"{spreads[widest]:.3g} over the trials: the slopes' priors (Normal{SLOPE_MU_PRIOR}, "
                          f"spreads HalfNormal({SLOPE_SD_PRIOR}) on the parameter's link scale) suit covariates of "
                          "about unit scale, and the sampler may not mix; rescale it (scale(...) in the formula, "
                          "or percents / 100 in the table)", UserWarning, stacklevel=3)


def _warn_of_lost_participants(design: _Design) -> None:
    """Warns, before the sampling, of the participants that drop_invalid
    left with no trial: they are not in the model."""
    if design.dropped is not None and design.dropped.lost:
        warnings.warn(f"every row of participant(s) {show_values(design.dropped.lost)} was dropped as invalid: "
                      "they are not in the model (see n_dropped and error in the participants' table)", UserWarning,
                      stacklevel=3)


def _warn_of_sampling(idata: Any, variables: Sequence[str] = GROUP_VARIABLES) -> None:
    """Warns of divergences, of draws at the sampler's tree-depth limit
    and of an r_hat of the group-level `variables` above MAX_R_HAT."""
    stats = _arviz.group(idata, "sample_stats")
    divergences = int(stats["diverging"].sum())
    if divergences:
        # stacklevel: the caller of fit_hierarchical.
        warnings.warn(f"{divergences} divergent transitions; the posterior may be biased (a higher "
                      "target_accept, such as 0.95, more tune draws, or simpler depends_on)", UserWarning,
                      stacklevel=3)
    # nutpie's name, PyMC's: a draw whose trajectory was cut at the longest
    # the sampler takes, as on the long ridges of a weakly identified model.
    at_limit = next((stats[name] for name in ("maxdepth_reached", "reached_max_treedepth") if name in stats), None)
    if at_limit is not None and int(at_limit.sum()):
        warnings.warn(f"{int(at_limit.sum())} of {at_limit.size} draws reached the sampler's maximum tree depth: "
                      "slow sampling that may not have explored the posterior (a parameter the trials hardly "
                      "inform, such as sv, sz or st from few trials; a simpler model or more trials)", UserWarning,
                      stacklevel=3)
    if _arviz.group(idata, "posterior").sizes["chain"] < 2:
        warnings.warn("one chain: r_hat, which compares chains, is not computed and convergence goes unchecked; "
                      "sample chains=2 or more", UserWarning, stacklevel=3)
        return
    r_hat = _arviz.rhat(idata, variables)
    worst = max(float(r_hat[name].max()) for name in r_hat.data_vars)
    if not worst <= MAX_R_HAT:
        warnings.warn(f"max r_hat {worst:.3f} above {MAX_R_HAT}: the chains disagree; draw more", UserWarning,
                      stacklevel=3)
