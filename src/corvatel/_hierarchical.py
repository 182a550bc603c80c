"""Hierarchical Bayesian fits of a table of trials: the participants'
drift rate, boundary separation, starting point and non-decision time
drawn from group distributions, sampled with PyMC's NUTS through
``corvatel.pymc.DDM``.

The participants' parameters are non-centred (a group mean plus a group
spread times a standard normal per participant), the parametrisation that
keeps NUTS clear of the funnel a small spread makes of a centred one.
PyMC and ArviZ are imported when a fit starts: they are the optional
``bayes`` extra.
"""

# pymc and arviz have no type information.
# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call, unused-ignore"

from __future__ import annotations

import math
import warnings
from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ._params import BY_NAME
from ._trials import TrialTable, as_frame, group_columns, group_rows, require_columns

DRIFT, BOUNDARY, START, T0 = (BY_NAME[name].fit_name for name in ("drift", "boundary", "start", "t0"))
FITTED = (DRIFT, BOUNDARY, START, T0)


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
# The group-level variables, in the summary's order.
GROUP_VARIABLES = tuple(f"{kind}_{r.short}" for r in RANDOM.values() for kind in ("mu", "sd"))
SUMMARY_COLUMNS = ["mean", "sd", "hdi_3%", "hdi_97%", "r_hat", "ess_bulk"]
MAX_R_HAT = 1.01


@dataclass(frozen=True)
class _Design:
    """The trials as the model takes them: (rt, choice) rows, each trial's
    participant and level, the participants and levels in order, the
    (participant, level) cells that have trials, and the fastest response
    that bounds each cell's t0."""

    observed: np.ndarray
    participant: np.ndarray
    level: np.ndarray
    participants: list[Any]
    levels: list[Any]
    cells: pd.DataFrame
    fastest: np.ndarray  # (participants, levels)


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


def _refuse_missing(frame: pd.DataFrame, column: Hashable, argument: str) -> None:
    if frame[column].isna().any():
        raise ValueError(f"{argument}: column {column!r} has {int(frame[column].isna().sum())} missing value(s)")


def _design(trials: TrialTable, subject: Hashable, level_column: Hashable | None, free: tuple[str, ...]) -> _Design:
    frame = trials.frame
    by = [subject] + ([] if level_column is None else [level_column])
    participants = list(group_rows(frame, [subject]).keys[subject])
    levels = [None] if level_column is None else list(group_rows(frame, [level_column]).keys[level_column])
    grouped = trials.grouped(by)
    keys = grouped.groups.keys
    sizes = grouped.stops - grouped.starts
    cell_participant = np.array([participants.index(v) for v in keys[subject]], dtype=np.int64)
    cell_level = (np.zeros(len(keys), dtype=np.int64) if level_column is None
                  else np.array([levels.index(v) for v in keys[level_column]], dtype=np.int64))
    participant = np.repeat(cell_participant, sizes)
    level = np.repeat(cell_level, sizes)
    # t0 is below every response it explains: the participant's fastest, or
    # the cell's when t0 has a mean per level.
    fastest = np.full((len(participants), len(levels)), np.inf)
    np.minimum.at(fastest, (participant, level), grouped.rts)
    if T0 not in free:
        fastest[:] = fastest.min(axis=1, keepdims=True)
    observed = np.column_stack([grouped.rts, grouped.choices.astype(np.float64)])
    cells = keys.copy()
    cells["n_trials"] = sizes.astype(np.int64)
    return _Design(observed, participant, level, participants, levels, cells, fastest)


class HierarchicalFit:
    """A hierarchical fit: ``idata`` (ArviZ InferenceData with posterior,
    sample_stats, observed_data and log_likelihood), ``summary()`` of the
    group-level parameters and ``participants()``, the participants'
    posterior means."""

    def __init__(self, idata: Any, subject: Hashable, level_column: Hashable | None, cells: pd.DataFrame) -> None:
        self.idata = idata
        self.subject = subject
        self.level_column = level_column
        self._cells = cells

    def summary(self) -> pd.DataFrame:
        """mean, sd, hdi_3%, hdi_97%, r_hat and ess_bulk of each group-level
        parameter (arviz.summary; a mean per level is a row per level)."""
        import arviz as az

        table = az.summary(self.idata, var_names=list(GROUP_VARIABLES), hdi_prob=0.94)
        assert isinstance(table, pd.DataFrame)  # kind="all" gives a table
        return table[SUMMARY_COLUMNS]

    def participants(self) -> pd.DataFrame:
        """One row per participant (and level, with depends_on) that has
        trials: the subject (and level) column, then the posterior means of
        drift_rate, boundary_separation, starting_point and
        non_decision_time."""
        posterior = self.idata.posterior
        table = self._cells.drop(columns="n_trials").reset_index(drop=True)
        participants = list(posterior.coords["participant"].values)
        cell: Any = [participants.index(v) for v in table[self.subject]]
        if self.level_column is not None:
            levels = list(posterior.coords["level"].values)
            cell = (cell, [levels.index(v) for v in table[self.level_column]])
        for name in FITTED:
            table[name] = posterior[name].mean(dim=("chain", "draw")).to_numpy()[cell]
        return table


def fit_hierarchical(data: Any, *, subject: Hashable = "subject",
                     depends_on: Mapping[str, Hashable] | None = None, chains: int = 2, draws: int = 500,
                     tune: int = 500, seed: int = 0, progress: bool = False, choice: Hashable = "choice",
                     rt: Hashable = "rt", upper: Any = None, rt_unit: str | None = None) -> HierarchicalFit:
    """A hierarchical Bayesian fit of the drift-diffusion model (drift rate,
    boundary separation, starting point, non-decision time; noise 1) to a
    table of trials from several participants, sampled with PyMC's NUTS.
    Needs the ``bayes`` extra (PyMC, ArviZ).

    Participant j's parameters, non-centred (z ~ Normal(0, 1) per
    participant and parameter):
      drift_rate_j = mu_drift + sd_drift * z_drift_j
      boundary_separation_j = exp(mu_logb + sd_logb * z_logb_j)
      starting_point_j = sigmoid(mu_start + sd_start * z_start_j)
      non_decision_time_j = fastest_rt_j * sigmoid(mu_t0 + sd_t0 * z_t0_j)
    where fastest_rt_j is j's fastest response (so t0 stays below it) and
    the starting point is relative (0.5 unbiased, in (0, 1)).
    Priors: mu_drift ~ Normal(0, 2), sd_drift ~ HalfNormal(1);
    mu_logb ~ Normal(log 1.5, 0.5), sd_logb ~ HalfNormal(0.5);
    mu_start ~ Normal(0, 0.5), sd_start ~ HalfNormal(0.3) (log-odds);
    mu_t0 ~ Normal(0, 1.5) (t0 as a log-odds share of the fastest
    response), sd_t0 ~ HalfNormal(0.5).

    depends_on, e.g. ``{"drift_rate": "condition"}``: the named parameters
    (drift_rate, boundary_separation, starting_point, non_decision_time)
    get a group mean per level of that column (one column for all), each
    with the prior above; a participant's deviation z is shared across the
    levels. A non-decision time per level is bounded by the participant's
    fastest response in that level.

    choice, rt, upper, rt_unit: the columns and their coding, as in
    ``fit`` (rt_unit None means seconds); rows with a missing choice or a
    NaN, infinite or negative response time are refused, and so is a
    missing subject or level.

    Sampling: ``pm.sample(draws, tune=tune, chains=chains, cores=1,
    random_seed=seed)``: the same seed gives the same draws. Warns
    (UserWarning) of divergences and, with two chains or more, of a
    group-level r_hat above 1.01.
    """
    import pymc  # noqa: F401  (the bayes extra: refuse early when it is missing)

    frame = as_frame(data)
    require_columns(frame, [subject], "subject")
    require_columns(frame, [choice, rt], "fit_hierarchical")
    free, level_column = _check_depends_on(depends_on, frame, subject)
    for name, value, least in (("chains", chains, 1), ("draws", draws, 1), ("tune", tune, 0), ("seed", seed, 0)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer of at least {least}, not {value!r}")
    if len(frame) == 0:
        raise ValueError("fit_hierarchical: data has no rows")
    _refuse_missing(frame, subject, "subject")
    if level_column is not None:
        _refuse_missing(frame, level_column, "depends_on")
    trials = TrialTable.read(frame, choice=choice, rt=rt, upper=upper, rt_unit="s" if rt_unit is None else rt_unit,
                             drop_invalid=False)
    design = _design(trials, subject, level_column, free)

    model = _model(design, free)
    idata = _sample(model, draws=int(draws), tune=int(tune), chains=int(chains), seed=int(seed),
                    progress=bool(progress))
    _warn_of_sampling(idata)
    return HierarchicalFit(idata, subject, level_column, design.cells)


def _model(design: _Design, free: tuple[str, ...]) -> Any:
    """The PyMC model of the trials of `design` (`free`: the parameters with
    a group mean per level)."""
    import pymc as pm

    from .pymc import DDM

    with_levels = design.levels != [None]
    coords = {"participant": design.participants, **({"level": design.levels} if with_levels else {})}
    cell_dims = ("participant", "level") if with_levels else ("participant",)
    n_levels = len(design.levels)
    trial_cell = (design.participant, design.level)

    with pm.Model(coords=coords) as model:
        # Each parameter on its link's scale, (participants, levels): a mean
        # per level or one, plus the participant's deviation, which the
        # levels share.
        linear = {}
        for name, random in RANDOM.items():
            mu = pm.Normal(f"mu_{random.short}", *random.mu_prior, dims="level" if name in free else None)
            sd = pm.HalfNormal(f"sd_{random.short}", random.sd_prior)
            z = pm.Normal(f"z_{random.short}", 0.0, 1.0, dims="participant")
            means = mu if name in free else mu * np.ones(n_levels)
            linear[name] = means[None, :] + sd * z[:, None]
        values = {DRIFT: linear[DRIFT], BOUNDARY: pm.math.exp(linear[BOUNDARY]),
                  START: pm.math.sigmoid(linear[START]),
                  T0: design.fastest * pm.math.sigmoid(linear[T0])}
        for name in FITTED:
            pm.Deterministic(name, values[name] if with_levels else values[name][:, 0], dims=cell_dims)
        DDM("trials", drift=values[DRIFT][trial_cell], boundary=values[BOUNDARY][trial_cell],
            start=values[START][trial_cell], t0=values[T0][trial_cell], observed=design.observed)
    return model


def _sample(model: Any, *, draws: int, tune: int, chains: int, seed: int, progress: bool) -> Any:
    """The posterior of `model` as ArviZ InferenceData, with the pointwise
    log-likelihood."""
    import pymc as pm

    with model:
        return pm.sample(draws=draws, tune=tune, chains=chains, cores=1, random_seed=seed, progressbar=progress,
                         idata_kwargs={"log_likelihood": True})


def _warn_of_sampling(idata: Any) -> None:
    import arviz as az

    divergences = int(idata.sample_stats["diverging"].sum())
    if divergences:
        # stacklevel: the caller of fit_hierarchical.
        warnings.warn(f"{divergences} divergent transitions; the posterior may be biased (more tune draws, "
                      "or simpler depends_on)", UserWarning, stacklevel=3)
    if idata.posterior.sizes["chain"] < 2:
        return  # r_hat compares chains
    r_hat = az.rhat(idata, var_names=list(GROUP_VARIABLES))
    worst = max(float(r_hat[name].max()) for name in r_hat.data_vars)
    if not worst <= MAX_R_HAT:
        warnings.warn(f"max r_hat {worst:.3f} above {MAX_R_HAT}: the chains disagree; draw more", UserWarning,
                      stacklevel=3)
