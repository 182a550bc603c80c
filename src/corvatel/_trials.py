"""Reading a table of trials: column checks, choice coding, response-time
checks and grouping, once, into a `TrialTable` that the fits, the fit-check
figure and the command line share. Everything here raises before any
fitting starts."""

from __future__ import annotations

import math
import numbers
import os
import sys
import types
import warnings
from collections.abc import Hashable, Mapping, Sequence
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


def _names_a_column(frame: pd.DataFrame, column: Hashable) -> bool:
    if isinstance(frame.columns, pd.MultiIndex):
        # Part of a label ("a" of ("a", "x")) names a group of columns.
        return (isinstance(column, tuple) and len(column) == frame.columns.nlevels
                and column in frame.columns)
    return column in frame.columns


def require_columns(frame: pd.DataFrame, columns: Sequence[Hashable], argument: str) -> None:
    for column in columns:
        if not _names_a_column(frame, column):
            raise ValueError(f"{argument}: column {column!r} not found; the table has columns: "
                             f"{_column_list(frame) or '(none)'}")
        # frame[column] of a repeated name is a table, not a column.
        copies = len(frame.columns.get_indexer_for(pd.Index([column])))
        if copies > 1:
            raise ValueError(f"{argument}: column {column!r} appears {copies} times in the table; "
                             "rename or drop the copies")


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
    odd = [c for c in columns if not isinstance(c, Hashable)]
    if odd:
        raise TypeError(f"by must be a column name or a list of column names; {odd[0]!r} is not a column name")
    if len(set(columns)) != len(columns):
        raise ValueError(f"by names a column twice: {columns!r}")
    return columns


def show_values(values: Sequence[Any]) -> str:
    shown = ", ".join(repr(v.item() if isinstance(v, np.generic) else v) for v in values[:_SHOWN])
    return shown + (f", ... ({len(values)} in all)" if len(values) > _SHOWN else "")


def show_rows(frame: pd.DataFrame | pd.Series, mask: np.ndarray) -> str:
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
            # Counted, not guessed at: a timeout code can outnumber errors.
            counts = series[~missing].value_counts(sort=True)
            listed = ", ".join(f"{v.item() if isinstance(v, np.generic) else v!r} ({k} row{'s' if k != 1 else ''})"
                               for v, k in list(counts.items())[:_SHOWN])
            raise ValueError(f"choice column {column!r} must hold two values; values found: {listed}"
                             f"{', ...' if len(counts) > _SHOWN else ''}; leave out the rows of the responses "
                             "that are neither boundary (timeouts, misses) first")
        if not any(_equal(v, upper) for v in found):
            raise ValueError(f"upper={upper!r} is not among the values of choice column {column!r}: "
                             f"{show_values(_with_missing(found, missing))}")
    choices = (series == upper).to_numpy(dtype=bool, na_value=False)
    return choices, missing


def _equal(value: Any, upper: Any) -> bool:
    """Whether a choice value is `upper`; a comparison that cannot be made
    (an int beyond int64 against the column's int64) is no match."""
    try:
        return bool(value == upper)
    except (OverflowError, TypeError, ValueError):
        return False


def _with_missing(found: Any, missing: np.ndarray) -> list[Any]:
    values = list(found)
    if missing.any():
        values.append(float("nan"))
    return values


def as_numbers(series: pd.Series, described: str) -> np.ndarray:
    """The column as float64, missing values NaN. A column of Python
    numbers and missing values (object dtype, as a table built row by row
    holds them) is read as numbers; anything else not numeric is refused,
    naming the column as `described`. A categorical column of numbers
    (pd.Categorical, or a file's dictionary-encoded column) is its numbers."""
    if isinstance(series.dtype, pd.CategoricalDtype):
        categories = series.cat.categories.dtype
        if pd.api.types.is_numeric_dtype(categories) and not pd.api.types.is_bool_dtype(categories):
            series = series.astype(np.float64)
    if pd.api.types.is_bool_dtype(series.dtype) or not pd.api.types.is_numeric_dtype(series.dtype):
        found = pd.unique(series)
        odd = [v for v in found if not isinstance(v, numbers.Real) or isinstance(v, bool)]
        shown = [v for v in odd if not _is_missing(v)]
        if series.dtype != object or shown or len(odd) == len(found):
            # A code such as "." among numbers read as text: that code, and
            # where, rather than the first numbers.
            codes = [v for v in shown if not (isinstance(v, str) and _reads_as_number(v))]
            if codes and len(codes) < len(shown):
                rows = series.isin(codes).to_numpy(dtype=bool)
                raise ValueError(f"{described} must hold numbers; it holds them as text, with "
                                 f"{show_values(codes)} ({show_rows(series, rows)}): read such codes as missing "
                                 "(pandas.read_csv's na_values) and the column as numbers")
            raise ValueError(f"{described} must hold numbers; values found: {show_values(shown or odd or list(found))}")
        series = series.astype(np.float64)
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


def _reads_as_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def rt_column(frame: pd.DataFrame, column: Hashable, rt_unit: str,
              positive: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """(rts in seconds, bad): the response times as float64 and the rows
    whose time is NaN, infinite or negative (or 0, when `positive`). A
    column of Python numbers and missing values (object dtype, as a table
    built row by row holds them) is read as numbers."""
    if rt_unit not in ("s", "ms"):
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}")
    rts = as_numbers(frame[column], f"response-time column {column!r}")
    if rt_unit == "ms":
        rts = rts / 1000.0
    bad = ~np.isfinite(rts) | (rts < 0.0)
    if positive:
        bad |= rts == 0.0
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


def check_window(min_rt: Any, max_rt: Any) -> tuple[float, float] | None:
    """The response-time window (seconds) that trials must fall in to be
    kept, ends included; None when neither end is given."""
    if min_rt is None and max_rt is None:
        return None
    ends = []
    for name, value, default in (("min_rt", min_rt, -math.inf), ("max_rt", max_rt, math.inf)):
        if value is None:
            ends.append(default)
            continue
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a number of seconds or None, not {value!r}")
        if math.isnan(value):
            raise ValueError(f"{name} must be a number of seconds, not NaN")
        ends.append(float(value))
    if not ends[0] < ends[1]:
        raise ValueError(f"min_rt must be below max_rt; got min_rt={min_rt!r}, max_rt={max_rt!r}")
    return ends[0], ends[1]


def refuse_window_in_ms(rts: np.ndarray, outside: np.ndarray, min_rt: Any, max_rt: Any) -> None:
    """A window that leaves out every trial of a table in milliseconds but
    would keep some read in milliseconds itself: an easy slip, since it is
    in seconds whatever the table's unit."""
    if not len(rts) or not outside.all():
        return
    lo, hi = (-math.inf if min_rt is None else min_rt / 1000.0), (math.inf if max_rt is None else max_rt / 1000.0)
    if ((rts >= lo) & (rts <= hi)).any():
        ends = [(name, value) for name, value in (("min_rt", min_rt), ("max_rt", max_rt)) if value is not None]
        given = ", ".join(f"{name}={value!r}" for name, value in ends)
        meant = ", ".join(f"{name}={value / 1000.0:g}" for name, value in ends)
        raise ValueError(f"no trial lies in the window {given}: min_rt and max_rt are in seconds, also with "
                         f"rt_unit 'ms' (did you mean {meant}?)")


def warn_of_max_in_ms(rts: np.ndarray, max_rt: Any) -> None:
    """A max_rt meant in milliseconds that leaves out nothing (max_rt=3000 is
    50 minutes) but read in milliseconds would leave out a few slow trials:
    the same slip as above, silent since it keeps every trial."""
    if max_rt is None or max_rt < 100 or not len(rts) or (rts > max_rt).any():
        return
    if 0 < (rts > max_rt / 1000.0).mean() <= 0.5:
        warnings.warn(f"max_rt={max_rt:g} leaves out no trial: min_rt and max_rt are in seconds, also with "
                      f"rt_unit 'ms' (did you mean max_rt={max_rt / 1000.0:g}?)", UserWarning,
                      stacklevel=_caller_level())


def _caller_level() -> int:
    """The stacklevel of the first frame outside this package, so that a
    warning points at the caller's line."""
    package = os.path.dirname(__file__)
    frame: types.FrameType | None = sys._getframe(1)
    level = 1
    while frame is not None and os.path.dirname(frame.f_code.co_filename) == package:
        frame, level = frame.f_back, level + 1
    return level


Order = dict[Hashable, list[Any]]


def check_order(frame: pd.DataFrame, order: Any, columns: Sequence[Hashable], argument: str) -> Order | None:
    """`order` (group column -> its levels in output order) checked against
    the table: every column a group column, no level twice, every level of
    the column's data listed."""
    if order is None:
        return None
    if not isinstance(order, Mapping):
        raise TypeError(f"{argument}: order must be a mapping of group columns to lists of levels, "
                        f"e.g. {{'condition': ['easy', 'hard']}}; got {type(order).__name__}")
    checked: Order = {}
    for column, levels in order.items():
        if column not in columns:
            raise ValueError(f"{argument}: order names column {column!r}, which is not a group column "
                             f"({', '.join(repr(c) for c in columns) or 'none'})")
        if isinstance(levels, (str, bytes)) or not isinstance(levels, Sequence):
            raise TypeError(f"{argument}: order[{column!r}] must be a list of levels, not {levels!r}")
        listed = list(levels)
        if len(listed) != len(set(listed)):
            repeated = [v for i, v in enumerate(listed) if v in listed[:i]]
            raise ValueError(f"{argument}: order[{column!r}] lists {repeated[0]!r} twice")
        found = pd.Series(frame[column]).dropna().unique()
        unlisted = [v for v in found if v not in listed]
        if unlisted:
            raise ValueError(f"{argument}: order[{column!r}] lacks the level(s) {show_values(unlisted)} found in "
                             "the data; list every level")
        checked[column] = listed
    return checked


def _listed_ranks(series: pd.Series, levels: list[Any]) -> np.ndarray:
    """Rank of each row's value among `levels` (checked to hold them all);
    missing values last."""
    codes, uniques = pd.factorize(series, use_na_sentinel=False)
    ranks = np.array([len(levels) if _is_missing(u) else levels.index(u) for u in uniques], dtype=np.int64)
    return ranks[codes]


@dataclass(frozen=True)
class Groups:
    """Rows in group order (`order`, one stable sort), the slice bounds of
    each group in that order, and the key columns of the groups."""

    order: np.ndarray
    starts: np.ndarray
    stops: np.ndarray
    keys: pd.DataFrame


def group_rows(frame: pd.DataFrame, by: list[Hashable], *, dropna: bool = False,
               order: Order | None = None) -> Groups:
    """The groups of the columns `by`: sorted, in a categorical column's
    own order, or in the order `order` lists a column's levels. A missing
    key is a group of its own, last (pandas' groupby drops it: dropna=True
    leaves those rows out)."""
    n = len(frame)
    if not by:
        return Groups(np.arange(n), np.array([0]), np.array([n]), pd.DataFrame(index=range(1)))
    ranked = []
    missing = np.zeros(n, dtype=bool)
    for column in by:
        series = frame[column]
        missing |= series.isna().to_numpy(dtype=bool)
        _warn_of_spaced_levels(column, pd.unique(series))
        if order is not None and column in order:
            ranked.append(_listed_ranks(series, order[column]))
        elif isinstance(series.dtype, pd.CategoricalDtype):
            # The categories' own order; missing values last.
            codes = series.cat.codes.to_numpy(dtype=np.int64)
            ranked.append(np.where(codes < 0, len(series.cat.categories), codes))
        else:
            codes, uniques = pd.factorize(series, use_na_sentinel=False)
            ranked.append(_sort_ranks(uniques)[codes])
    rows = np.flatnonzero(~missing) if dropna else np.arange(n)
    if len(rows) == 0:
        raise ValueError(f"every row has a missing value in {', '.join(repr(c) for c in by)}; "
                         "with dropna=True no group is left")
    # np.lexsort is stable and sorts by its last key first.
    order_of_rows = rows[np.lexsort([r[rows] for r in ranked[::-1]])]
    sorted_ranks = np.stack([r[order_of_rows] for r in ranked])
    changes = np.flatnonzero((sorted_ranks[:, 1:] != sorted_ranks[:, :-1]).any(axis=0)) + 1
    starts = np.concatenate(([0], changes))
    stops = np.concatenate((changes, [len(rows)]))
    keys = frame[by].iloc[order_of_rows[starts]].reset_index(drop=True)
    return Groups(order_of_rows, starts, stops, keys)


def _warn_of_spaced_levels(column: Hashable, levels: Any) -> None:
    """Levels that differ only in spaces at their ends ("s1" and "s1 ", a
    slip in typing ids) are groups of their own, as written: said once."""
    seen: dict[str, str] = {}
    for level in levels:
        if isinstance(level, str):
            first = seen.setdefault(level.strip(), level)
            if first != level:
                warnings.warn(f"column {column!r}: levels {first!r} and {level!r} differ only in spaces at their "
                              "ends and are fitted apart; strip them if they are one", UserWarning,
                              stacklevel=_caller_level())
                return


def refuse_rows(frame: pd.DataFrame, rows: np.ndarray, what: str) -> None:
    """A ValueError naming `rows` of `frame` and drop_invalid, if any."""
    if rows.any():
        raise ValueError(f"{what.format(count=int(rows.sum()))} ({show_rows(frame, rows)}); "
                         "pass drop_invalid=True to drop those rows")


@dataclass(frozen=True)
class GroupedTrials:
    """The trials of a table in group order, invalid ones left out: group g
    is choices[starts[g]:stops[g]] and rts[starts[g]:stops[g]]; `dropped`
    counts the invalid rows of each group, `outside_window` the valid ones
    outside the response-time window, `groups` is the grouping itself."""

    groups: Groups
    choices: np.ndarray
    rts: np.ndarray
    starts: np.ndarray
    stops: np.ndarray
    dropped: np.ndarray
    outside_window: np.ndarray


@dataclass(frozen=True)
class TrialTable:
    """A table of trials read once: `choices` (True at the upper boundary)
    and `rts` (seconds) as arrays in row order, and the `invalid` rows (a
    missing choice, or a NaN, infinite or negative response time), which
    `read` refuses unless told to drop them; `window` (seconds, ends
    included, or None) and the valid rows `outside` it, which are left out
    too."""

    frame: pd.DataFrame
    choices: np.ndarray
    rts: np.ndarray
    invalid: np.ndarray
    window: tuple[float, float] | None = None
    outside: np.ndarray | None = None

    @classmethod
    def read(cls, frame: pd.DataFrame, *, choice: Hashable, rt: Hashable, upper: Any, rt_unit: str,
             drop_invalid: bool, min_rt: Any = None, max_rt: Any = None, positive: bool = False) -> TrialTable:
        """`positive`: a time of 0 is invalid too (a likelihood has none there)."""
        window = check_window(min_rt, max_rt)
        choices, missing = choice_column(frame, choice, upper)
        rts, bad = rt_column(frame, rt, rt_unit, positive)
        if not drop_invalid:
            what = "NaN, infinite, negative or zero" if positive else "NaN, infinite or negative"
            refuse_rows(frame, bad, f"response-time column {rt!r} has {{count}} {what} value(s)")
            refuse_rows(frame, missing, f"choice column {choice!r} has {{count}} missing value(s)")
        invalid = bad | missing
        outside = None if window is None else ~invalid & ((rts < window[0]) | (rts > window[1]))
        if outside is not None and rt_unit == "ms":
            refuse_window_in_ms(rts[~invalid], outside[~invalid], min_rt, max_rt)
            warn_of_max_in_ms(rts[~invalid], max_rt)
        return cls(frame, choices, rts, invalid, window, outside)

    def grouped(self, by: list[Hashable], *, dropna: bool = False, order: Order | None = None) -> GroupedTrials:
        """The valid trials inside the window grouped by the columns `by`
        (see group_rows)."""
        groups = group_rows(self.frame, by, dropna=dropna, order=order)
        rows = groups.order
        choices, rts, invalid = self.choices[rows], self.rts[rows], self.invalid[rows]
        outside = np.zeros(len(rows), dtype=bool) if self.outside is None else self.outside[rows]
        # Counted after sorting, so that a group that loses every row still has its bounds.
        dropped, outside_window = (
            (np.add.reduceat(mask.astype(np.int64), groups.starts) if len(rows)
             else np.zeros(len(groups.starts), dtype=np.int64)) for mask in (invalid, outside))
        keep = ~(invalid | outside)
        kept_before = np.concatenate(([0], np.cumsum(keep)))
        return GroupedTrials(groups, choices[keep], rts[keep], kept_before[groups.starts], kept_before[groups.stops],
                             dropped, outside_window)
