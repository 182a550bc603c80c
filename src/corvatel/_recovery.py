"""Parameter-recovery studies: simulate from known parameters, fit, compare."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from _corvatel import _memory_allows

from ._cluster import check_client
from ._fitting import (STAT_COLUMNS, FitTask, check_model, fit_options, method_entry, result_frame, run_fit_task,
                       run_tasks)
from ._flags import CAPPED, joined
from ._params import ALWAYS_ESTIMATED, PARAMETERS, SOMETIMES_ESTIMATED, true_values
from ._simdata import (OUTLIER_WINDOW, check_count, check_seed, check_window, derive_seed, label_columns, param_table,
                       sim_names, simulate_row)
from ._trials import refuse_clashes, require_columns

RECOVERED = ALWAYS_ESTIMATED
# Recovered too when the table has their true and fitted columns (method "ml").
RECOVERED_IF_PRESENT = SOMETIMES_ESTIMATED


@dataclass(frozen=True)
class RecoveryTask:
    """One simulated data set and its fit."""

    params: Mapping[Any, float]
    n_trials: int
    seed: int
    method: str
    options: Mapping[str, Any] = field(default_factory=dict)
    outlier_window: tuple[float, float] = OUTLIER_WINDOW


def run_recovery_task(task: RecoveryTask) -> dict[str, Any]:
    choices, rts, n_excluded = simulate_row(task.params, task.n_trials, task.seed, task.outlier_window)
    row: dict[str, Any] = {"n_excluded": n_excluded}
    row.update(run_fit_task(FitTask(choices, rts, task.method, task.options)))
    if n_excluded:
        row["warning"] = joined([flag for flag in (str(row["warning"]), CAPPED) if flag])
    return row


# What one data set of a study holds on to until the study ends: its task,
# its fit's row and its share of the table (about 2 kB in all; its trials
# are gone once fitted).
_BYTES_PER_DATA_SET = 2048


def _check_room(n_sets: int, reps: int) -> None:
    """A MemoryError, before any work, for more data sets than the process
    can hold the rows of (reps=10**12 grew for minutes first)."""
    count = n_sets * reps
    if count >= 2**64 or not _memory_allows(count, _BYTES_PER_DATA_SET):
        raise MemoryError(f"recover: {n_sets} parameter rows x reps={reps} data sets need more memory than this "
                          "machine can give for their fits' rows")


def recover(params: Any, n_trials: int, *, method: str = "sim", reps: int = 1, seed: int = 0,
            initial_guess: Mapping[str, float] | None = None, max_iters: int = 200,
            progress: bool | None = None, model: str | None = None, client: Any = None,
            p_outlier: float | str | None = None,
            outlier_window: tuple[float, float] = OUTLIER_WINDOW) -> pd.DataFrame:
    """Simulate `reps` data sets of `n_trials` trials from every parameter
    row and fit each.

    Replication r of all rows is ``simulate_data(params, n_trials,
    derive_seed(seed, r))``. Returns one row per (parameter row,
    replication): the label columns (param_set, the row's position, for a
    table of several rows without them), rep, true_drift_rate,
    true_boundary_separation, true_non_decision_time, n_excluded (trials
    that hit the 10 s cap), the statistics and fitted columns of ``fit``,
    error and warning (fit's flags, and "trials past the 10 s cap" where
    some were left out: the fits do not know of the cap, so such a row's
    estimates are biased, the boundary low). The fits take noise_sd as 1,
    so the truth of a row with another noise_sd is on their scale: its
    drift, boundary and sv divided by its noise_sd (0.2, 0.12 and noise_sd
    0.1 come out as 2 and 1.2). The same call gives the same table bit for
    bit, also on the Dask cluster of `client` (a dask.distributed.Client;
    needs the extra corvatel[dask]).

    With method="ml" (model "ddm" or "full") the table also has
    true_starting_point, and params' sv, sz, st columns (if any) come out
    as true_sv, true_sz, true_st.

    A p_outlier column in params (default 0) simulates contaminants, as in
    ``simulate_data``, on ``outlier_window`` (seconds; the same window for
    the fits of method "ml"); with method "ml" it comes out as
    true_p_outlier. ``p_outlier`` is the likelihood fits' (a number, or
    "free"; 0 by default), as in ``fit``.
    """
    table = param_table(params)
    entry = method_entry(method)
    n_trials = check_count(n_trials, "n_trials")
    reps = check_count(reps, "reps")
    seed = check_seed(seed)
    model = check_model(model, method)
    window = check_window(outlier_window)
    options = fit_options(initial_guess, max_iters, model, p_outlier, window if method == "ml" else None, method)
    true_names = tuple(p.true_column for p in PARAMETERS if p.fitted_by)
    refuse_clashes(label_columns(table), ("rep", "n_excluded", "error", "warning") + true_names + STAT_COLUMNS
                   + entry.columns,
                   "params")
    client = check_client(client)

    sets = table[sim_names(table)].to_dict("records")
    _check_room(len(sets), reps)
    rep_seeds = [derive_seed(seed, r) for r in range(reps)]
    tasks = [RecoveryTask(row, n_trials, derive_seed(rep_seeds[r], i), method, options, window)
             for i, row in enumerate(sets) for r in range(reps)]
    rows = run_tasks(run_recovery_task, tasks, f"recover ({method})", progress, client)

    index = np.repeat(np.arange(len(table)), reps)
    front = table[label_columns(table)].take(index).reset_index(drop=True)
    if front.columns.empty and len(table) > 1:
        # As simulate_data names the sets of a table without labels.
        front.insert(0, "param_set", index)
    front["rep"] = np.tile(np.arange(reps, dtype=np.int64), len(table))
    # The truth of what the method estimates (a likelihood fit: its model),
    # and of the variabilities the parameters give.
    kinds = (model,) if method == "ml" else (method,)
    truth = pd.DataFrame([true_values(sets[i], kinds) for i in index])
    excluded = pd.DataFrame({"n_excluded": np.array([r.pop("n_excluded") for r in rows], dtype=np.int64)})
    return pd.concat([front, truth, excluded, result_frame(rows, entry)], axis=1)


def recovery_summary(table: pd.DataFrame) -> pd.DataFrame:
    """Per recovered parameter (drift_rate, boundary_separation,
    non_decision_time, and for method "ml" starting_point and the true
    variabilities given): the number of successful fits `n`, the
    number of failed ones `n_failed`, and over the successful ones the bias
    (mean of fitted - true), RMSE and Pearson r between true and fitted
    (NaN when either side is constant or fewer than two fits succeeded)."""
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table must be a DataFrame from recover, not {type(table).__name__}")
    needed = [c for p in RECOVERED for c in (f"true_{p}", p)] + ["error"]
    require_columns(table, needed, "recovery_summary")
    failed = table["error"].fillna("").astype(str).to_numpy() != ""
    rows = []
    for parameter in recovered_parameters(table):
        true = table[f"true_{parameter}"].to_numpy(dtype=np.float64)
        fitted = table[parameter].to_numpy(dtype=np.float64)
        ok = ~failed & np.isfinite(fitted) & np.isfinite(true)
        rows.append({"parameter": parameter, "n": int(ok.sum()), "n_failed": int((~ok).sum()),
                     **agreement(true[ok], fitted[ok])})
    return pd.DataFrame(rows)


def recovered_parameters(table: pd.DataFrame) -> tuple[str, ...]:
    """RECOVERED, and those of RECOVERED_IF_PRESENT whose true and fitted
    columns the table has."""
    return RECOVERED + tuple(p for p in RECOVERED_IF_PRESENT if f"true_{p}" in table.columns and p in table.columns)


def agreement(true: np.ndarray, fitted: np.ndarray) -> dict[str, float]:
    """Bias, RMSE and Pearson r of fitted against true values."""
    if len(true) == 0:
        return {"bias": math.nan, "rmse": math.nan, "r": math.nan}
    error = fitted - true
    r = math.nan
    if len(true) >= 2 and np.ptp(true) > 0 and np.ptp(fitted) > 0:
        r = float(np.corrcoef(true, fitted)[0, 1])
    return {"bias": float(error.mean()), "rmse": float(np.sqrt((error * error).mean())), "r": r}
