"""Reading a table of trials: column checks, choice coding, response-time
checks and grouping, once, into a `TrialTable` that the fits, the fit-check
figure and the command line share. Everything here raises before any
fitting starts."""

from __future__ import annotations

import math
import numbers
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

# How many distinct values or row labels an error message shows.
_SHOWN = 8


def as_frame(data: Any, argument: str = "data") -> pd.DataFrame:
    """The argument as a DataFrame (anything pandas.DataFrame accepts)."""
    if isinstance(data, pd.DataFrame):
        return data
    try:
        return pd.DataFrame(data)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{argument} must be a pandas DataFrame or something pandas.DataFrame accepts; "
                        f"got {type(data).__name__} ({error})") from None


def _column_list(frame: pd.DataFrame) -> str:
    return ", ".join(repr(c) for c in frame.columns)


def require_columns(frame: pd.DataFrame, columns: Sequence[Hashable], argument: str) -> None:
    for column in columns:
        if column not in frame.columns:
            raise ValueError(f"{argument}: column {column!r} not found; the table has columns: "
                             f"{_column_list(frame) or '(none)'}")


def refuse_clashes(labels: Sequence[Hashable], produced: Sequence[str], argument: str) -> None:
    """Label columns carried into a result must not share a name with the
    columns the result adds."""
    clashes = [c for c in labels if c in produced]
    if clashes:
        raise ValueError(f"{argument}: column {clashes[0]!r} has the name of a result column; rename it")


def group_columns(by: Any) -> list[Hashable]:
    """`by` as a list of column names (None: the whole table is one group)."""
    if by is None:
        return []
    if isinstance(by, (list, tuple)):
        columns = list(by)
    elif isinstance(by, Hashable):
        columns = [by]
    else:
        raise TypeError(f"by must be a column name or a list of column names, not {type(by).__name__}")
    if len(set(columns)) != len(columns):
        raise ValueError(f"by names a column twice: {columns!r}")
    return columns


def show_values(values: Sequence[Any]) -> str:
    shown = ", ".join(repr(v.item() if isinstance(v, np.generic) else v) for v in values[:_SHOWN])
    return shown + (f", ... ({len(values)} in all)" if len(values) > _SHOWN else "")


def show_rows(frame: pd.DataFrame, mask: np.ndarray) -> str:
    labels = frame.index[mask]
    shown = ", ".join(str(label) for label in labels[:_SHOWN])
    return f"rows {shown}" + (", ..." if len(labels) > _SHOWN else "")


def _is_missing(value: Any) -> bool:
    return value is None or value is pd.NA or value is pd.NaT or (isinstance(value, float) and math.isnan(value))


def choice_column(frame: pd.DataFrame, column: Hashable, upper: Any) -> tuple[np.ndarray, np.ndarray]:
    """(choices, missing): the upper-boundary responses as a bool array and
    the rows whose choice is missing.

    Without `upper` the column must be bool or coded 0/1 (ints or floats);
    with it, the column may hold any two values and `upper` names the one
    that counts as the upper boundary."""
    series = frame[column]
    missing = series.isna().to_numpy(dtype=bool)
    found = pd.unique(series[~missing])
    if upper is None:
        if not all(isinstance(v, (bool, np.bool_, numbers.Number)) and v in (0, 1) for v in found):
            raise ValueError(f"choice column {column!r} must be bool or coded 0/1, or name its upper-boundary "
                             f"value with upper=; values found: {show_values(_with_missing(found, missing))}")
        upper = 1
    else:
        if len(found) > 2:
            raise ValueError(f"choice column {column!r} must hold two values; "
                             f"values found: {show_values(_with_missing(found, missing))}")
        if not any(v == upper for v in found):
            raise ValueError(f"upper={upper!r} is not among the values of choice column {column!r}: "
                             f"{show_values(_with_missing(found, missing))}")
    choices = (series == upper).to_numpy(dtype=bool, na_value=False)
    return choices, missing


def _with_missing(found: Any, missing: np.ndarray) -> list[Any]:
    values = list(found)
    if missing.any():
        values.append(float("nan"))
    return values


def rt_column(frame: pd.DataFrame, column: Hashable, rt_unit: str) -> tuple[np.ndarray, np.ndarray]:
    """(rts in seconds, bad): the response times as float64 and the rows
    whose time is NaN, infinite or negative."""
    if rt_unit not in ("s", "ms"):
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}")
    series = frame[column]
    if pd.api.types.is_bool_dtype(series.dtype) or not pd.api.types.is_numeric_dtype(series.dtype):
        odd = [v for v in pd.unique(series) if not isinstance(v, numbers.Real) or isinstance(v, bool)]
        raise ValueError(f"response-time column {column!r} must hold numbers; "
                         f"values found: {show_values(odd or list(pd.unique(series)))}")
    rts = series.to_numpy(dtype=np.float64, na_value=np.nan)
    if rt_unit == "ms":
        rts = rts / 1000.0
    bad = ~np.isfinite(rts) | (rts < 0.0)
    return np.ascontiguousarray(rts), bad


def _sort_ranks(uniques: Any) -> np.ndarray:
    """Rank of each distinct key value in the output order: the values'
    own order when they compare, else numbers before text before anything
    else; missing values last."""
    values = list(uniques)

    def fallback(v: Any) -> tuple[int, Any]:
        if _is_missing(v):
            return (3, 0)
        if isinstance(v, numbers.Real):
            return (0, float(v))
        if isinstance(v, str):
            return (1, v)
        return (2, repr(v))

    present = [i for i, v in enumerate(values) if not _is_missing(v)]
    missing = [i for i, v in enumerate(values) if _is_missing(v)]
    try:
        order = sorted(present, key=lambda i: values[i]) + missing
    except TypeError:
        order = sorted(range(len(values)), key=lambda i: fallback(values[i]))
    ranks = np.empty(len(values), dtype=np.int64)
    ranks[np.asarray(order, dtype=np.int64)] = np.arange(len(values), dtype=np.int64)
    return ranks


@dataclass(frozen=True)
class Groups:
    """Rows in group order (`order`, one stable sort), the slice bounds of
    each group in that order, and the key columns of the groups."""

    order: np.ndarray
    starts: np.ndarray
    stops: np.ndarray
    keys: pd.DataFrame


def group_rows(frame: pd.DataFrame, by: list[Hashable]) -> Groups:
    n = len(frame)
    if not by:
        return Groups(np.arange(n), np.array([0]), np.array([n]), pd.DataFrame(index=range(1)))
    ranked = []
    for column in by:
        series = frame[column]
        if isinstance(series.dtype, pd.CategoricalDtype):
            # The categories' own order; missing values last.
            codes = series.cat.codes.to_numpy(dtype=np.int64)
            ranked.append(np.where(codes < 0, len(series.cat.categories), codes))
            continue
        codes, uniques = pd.factorize(series, use_na_sentinel=False)
        ranked.append(_sort_ranks(uniques)[codes])
    # np.lexsort is stable and sorts by its last key first.
    order = np.lexsort(ranked[::-1])
    sorted_ranks = np.stack([r[order] for r in ranked])
    changes = np.flatnonzero((sorted_ranks[:, 1:] != sorted_ranks[:, :-1]).any(axis=0)) + 1
    starts = np.concatenate(([0], changes))
    stops = np.concatenate((changes, [n]))
    keys = frame[by].iloc[order[starts]].reset_index(drop=True)
    return Groups(order, starts, stops, keys)


def _refuse(frame: pd.DataFrame, rows: np.ndarray, what: str) -> None:
    if rows.any():
        raise ValueError(f"{what.format(count=int(rows.sum()))} ({show_rows(frame, rows)}); "
                         "pass drop_invalid=True to drop those rows")


@dataclass(frozen=True)
class GroupedTrials:
    """The trials of a table in group order, invalid ones left out: group g
    is choices[starts[g]:stops[g]] and rts[starts[g]:stops[g]]; `dropped`
    counts the invalid rows of each group, `groups` is the grouping itself."""

    groups: Groups
    choices: np.ndarray
    rts: np.ndarray
    starts: np.ndarray
    stops: np.ndarray
    dropped: np.ndarray


@dataclass(frozen=True)
class TrialTable:
    """A table of trials read once: `choices` (True at the upper boundary)
    and `rts` (seconds) as arrays in row order, and the `invalid` rows (a
    missing choice, or a NaN, infinite or negative response time), which
    `read` refuses unless told to drop them."""

    frame: pd.DataFrame
    choices: np.ndarray
    rts: np.ndarray
    invalid: np.ndarray

    @classmethod
    def read(cls, frame: pd.DataFrame, *, choice: Hashable, rt: Hashable, upper: Any, rt_unit: str,
             drop_invalid: bool) -> TrialTable:
        choices, missing = choice_column(frame, choice, upper)
        rts, bad = rt_column(frame, rt, rt_unit)
        if not drop_invalid:
            _refuse(frame, bad, f"response-time column {rt!r} has {{count}} NaN, infinite or negative value(s)")
            _refuse(frame, missing, f"choice column {choice!r} has {{count}} missing value(s)")
        return cls(frame, choices, rts, bad | missing)

    def grouped(self, by: list[Hashable]) -> GroupedTrials:
        """The valid trials grouped by the columns `by` (sorted key order)."""
        groups = group_rows(self.frame, by)
        order = groups.order
        choices, rts, invalid = self.choices[order], self.rts[order], self.invalid[order]
        # Dropped after sorting, so that a group that loses every row still has its bounds.
        dropped = (np.add.reduceat(invalid.astype(np.int64), groups.starts) if len(order)
                   else np.zeros(len(groups.starts), dtype=np.int64))
        keep = ~invalid
        kept_before = np.concatenate(([0], np.cumsum(keep)))
        return GroupedTrials(groups, choices[keep], rts[keep], kept_before[groups.starts], kept_before[groups.stops],
                             dropped)
