"""Figures: does the model fit (``fit_check``), and are parameters
recovered (``recovery``). Both need matplotlib (``pip install
'corvatel[plot]'``) and return a ``matplotlib.figure.Figure`` made without
pyplot, so they touch no global figure state; save it with
``figure.savefig(path)``."""

from __future__ import annotations

import math
import numbers
import textwrap
from collections.abc import Hashable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from _corvatel import simulate

from ._fitting import BOUND_COLUMNS, STAT_COLUMNS, truncation
from ._params import BY_FIT_NAME, BY_NAME, ML_PARAM_COLUMNS, PARAM_COLUMNS, WALK_NAMES, range_error
from ._recovery import RECOVERED, agreement, recovered_parameters
from ._simdata import check_count, check_seed, derive_seed
from .likelihood import BOUNDS, OUTLIER_WINDOW, bounds_logpdf, check_flag, wfpt_cdf, wfpt_pdf
from ._trials import Order, TrialTable, as_frame, check_order, require_columns

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

QUANTILES = (0.1, 0.3, 0.5, 0.7, 0.9)
# Fewer trials of one response than this give no quantiles in the
# quantile-probability plot: five quantiles of three trials mean little.
MIN_QUANTILE_TRIALS = 5
_UPPER_COLOUR, _LOWER_COLOUR, _MODEL_COLOUR = "tab:blue", "tab:orange", "black"
# Parameters with a unit: the times; the others are in the model's own units.
_UNITS = {"non_decision_time": "s", "st": "s"}
# Figures' least width (inches): matplotlib's default.
_MIN_WIDTH = 6.4
# The mean width of a character of an x-small tick label.
_LABEL_CHAR_INCHES = 0.06
# Quantile-probability panels' level labels (points: matplotlib's xx-small).
_LEVEL_LABEL_POINTS = 5.8
# Characters of a small title on a panel about 3.3 inches wide; longer
# titles (groups' keys) wrap rather than run into the next panel.
_PANEL_TITLE_CHARS = 44
# Characters of an x-small line inside such a panel's axes (about 2.6
# inches): an unfitted group's error wraps to stay in its panel.
_PANEL_NOTE_CHARS = 40
# A quantile-probability panel labels its levels up to this many.
_MAX_LEVEL_LABELS = 12
# Recovery panels' x axis: at most this many tick intervals, in steps of 1,
# 2 or 5 (2.5 adds a digit), so that labels of a narrow range stay apart.
_RECOVERY_X_INTERVALS = 4


def _figure(**kwargs: Any) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("corvatel.plot needs matplotlib: pip install 'corvatel[plot]'") from None
    return Figure(**kwargs)


def quantile_points(choices: np.ndarray, rts: np.ndarray) -> dict[str, Any]:
    """Response proportions and response-time quantiles (numpy's default,
    linear interpolation) of the upper and lower responses; quantiles are
    None for a response with fewer than MIN_QUANTILE_TRIALS trials."""
    n = len(choices)
    points: dict[str, Any] = {}
    for side, mask in (("upper", choices), ("lower", ~choices)):
        side_rts = rts[mask]
        points[f"p_{side}"] = len(side_rts) / n if n else math.nan
        points[f"q_{side}"] = (np.quantile(side_rts, QUANTILES) if len(side_rts) >= MIN_QUANTILE_TRIALS else None)
    return points


def _real_values(values: Mapping[str, Any]) -> dict[str, float] | None:
    """The values as floats, or None unless every one is a finite real
    number (numpy's and pandas' integer and nullable types included)."""
    if not all(isinstance(v, numbers.Real) and not isinstance(v, (bool, np.bool_)) and math.isfinite(v)
               for v in values.values()):
        return None
    return {name: float(v) for name, v in values.items()}


def predicted_trials(fit_row: pd.Series, n_sim: int, seed: int) -> tuple[np.ndarray, np.ndarray, int] | None:
    """Trials simulated at a group's fitted parameters (None if unfitted,
    or fitted outside the model's range, as EZ's t0 can be)."""
    values = _real_values({name: fit_row[BY_NAME[name].fit_name] for name in WALK_NAMES})
    if values is None:
        return None
    drift, boundary, start, t0, noise_sd = values.values()
    try:
        return simulate(drift, boundary, start, t0, n_sim, seed, noise_sd)
    except ValueError:
        return None


# Where the predicted curves of likelihood fits are drawn, and the grid
# (past the shortest possible time) on which their densities are integrated
# for response proportions and quantiles: 1 ms steps to 5 s, 50 ms to 30 s.
CURVE_POINTS = 400
_CDF_OFFSETS = np.concatenate([np.linspace(0.0, 5.0, 5001), np.linspace(5.0, 30.0, 501)[1:]])


class Density:
    """The predicted distributions of a likelihood fit: the exact
    first-passage densities at the fitted parameters, mixed with the
    contaminants of its p_outlier on `outlier_window`, and for trials kept
    in a response-time `window` (lo, hi) the density of those: zero
    outside, divided by the model's probability of a response inside."""

    def __init__(self, params: dict[str, float], outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                 window: tuple[float, float] | None = None) -> None:
        self.params = params
        self.outlier_window = outlier_window
        self.window = truncation(window)
        self.kept = 1.0 if self.window is None else self._window_probability(*self.window)

    def _cdf(self, t: float, upper: bool) -> float:
        p = self.params
        return float(wfpt_cdf(t, upper, p["drift_rate"], p["boundary_separation"], p["starting_point"],
                              p["non_decision_time"], noise_sd=p["noise_sd"], sv=p["sv"], sz=p["sz"], st=p["st"]))

    def _diffusion_mass(self, lo: float, hi: float) -> float:
        """The model's probability of a response in [lo, hi], without
        contaminants."""
        return sum(self._cdf(hi, c) - self._cdf(lo, c) for c in (False, True))

    def _window_probability(self, lo: float, hi: float) -> float:
        share = self.params["p_outlier"]
        out_lo, out_hi = self.outlier_window
        overlap = max(0.0, min(hi, out_hi) - max(lo, out_lo))
        return (1.0 - share) * self._diffusion_mass(lo, hi) + share * overlap / (out_hi - out_lo)

    def _mixed_pdf(self, times: np.ndarray, upper: bool) -> np.ndarray:
        """The density with contaminants, before any window."""
        p = self.params
        return np.asarray(wfpt_pdf(times, upper, p["drift_rate"], p["boundary_separation"], p["starting_point"],
                                   p["non_decision_time"], noise_sd=p["noise_sd"], sv=p["sv"], sz=p["sz"],
                                   st=p["st"], p_outlier=p["p_outlier"], outlier_window=self.outlier_window))

    def pdf(self, times: np.ndarray, upper: bool) -> np.ndarray:
        density = self._mixed_pdf(times, upper)
        if self.window is None:
            return density
        lo, hi = self.window
        inside = (times >= lo) & (times <= hi)
        return np.where(inside, density / self.kept if self.kept > 0 else 0.0, 0.0)

    def _offsets(self) -> np.ndarray:
        """The grid past the shortest time on which the densities are integrated."""
        return _CDF_OFFSETS

    def points(self) -> dict[str, Any]:
        """Response proportions and quantiles as quantile_points gives them,
        from the densities integrated (trapezoids) over a fine grid: from the
        earliest response (and the contaminants' first), clipped to the
        window."""
        shortest = max(0.0, self.params["non_decision_time"] - self.params["st"] / 2)
        starts = [shortest] + ([self.outlier_window[0]] if self.params["p_outlier"] else [])
        times = np.unique(np.concatenate([s + self._offsets() for s in starts]))
        if self.window is not None:
            lo, hi = self.window
            ends = [t for t in (lo, hi) if math.isfinite(t)]
            times = np.unique(np.concatenate([times[(times >= lo) & (times <= hi)], ends]))
        points: dict[str, Any] = {}
        for side, upper in (("upper", True), ("lower", False)):
            density = self.pdf(times, upper)
            cdf = np.concatenate(([0.0], np.cumsum((density[1:] + density[:-1]) / 2 * np.diff(times))))
            points[f"p_{side}"] = float(cdf[-1])
            points[f"q_{side}"] = (np.interp(np.asarray(QUANTILES) * cdf[-1], cdf, times) if cdf[-1] > 0 else None)
        return points


class BoundsDensity(Density):
    """The predicted distributions of a fit with a time-varying bound, leak
    or urgency: the first-passage densities at its parameters, as
    bounds_logpdf gives them (such fits have no across-trial variability),
    with contaminants and a window as in Density; the model's mass in a
    window is its densities integrated as `points` integrates them."""

    def __init__(self, params: dict[str, float], model: dict[str, Any],
                 outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                 window: tuple[float, float] | None = None) -> None:
        self.model = model
        self._solved: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None
        super().__init__({"p_outlier": 0.0, **params, "sv": 0.0, "sz": 0.0, "st": 0.0}, outlier_window, window)

    def _solve(self, times: np.ndarray, upper: bool) -> np.ndarray:
        # Both responses come from one solve; the other side's call reuses it.
        if self._solved is None or not np.array_equal(self._solved[0], times):
            p, n = self.params, len(times)
            log = bounds_logpdf(np.concatenate([times, times]), np.repeat([True, False], n), p["drift_rate"],
                                p["boundary_separation"], p["starting_point"], p["non_decision_time"],
                                noise_sd=p["noise_sd"], **self.model)
            self._solved = (times.copy(), np.exp(log[:n]), np.exp(log[n:]))
        return self._solved[1] if upper else self._solved[2]

    def _offsets(self) -> np.ndarray:
        # A solve costs the square of its steps, which follow the band's
        # diffusion time (boundary / noise_sd)^2: without leak, whose pull
        # holds walks in the band, 20 of those hold all of the mass (the
        # tail decays at least as e^(-pi^2 t / 2 (a / noise_sd)^2)), where
        # 30 s took minutes for a boundary of 0.3 and more steps than the
        # solver takes below 0.2. A band that short has decisions of a few
        # ms: 5,000 steps over it.
        if self.model.get("leak"):
            return _CDF_OFFSETS
        horizon = 20.0 * (self.params["boundary_separation"] / self.params["noise_sd"]) ** 2
        if horizon < 5.0:
            return np.linspace(0.0, horizon, len(_CDF_OFFSETS))
        return _CDF_OFFSETS[_CDF_OFFSETS <= horizon]

    def _diffusion_mass(self, lo: float, hi: float) -> float:
        times = self.params["non_decision_time"] + self._offsets()
        ends = [t for t in (lo, hi) if math.isfinite(t)]
        times = np.unique(np.concatenate([times[(times >= lo) & (times <= hi)], ends]))
        density = self._solve(times, True) + self._solve(times, False)
        return float(np.sum((density[1:] + density[:-1]) / 2 * np.diff(times)))

    def _mixed_pdf(self, times: np.ndarray, upper: bool) -> np.ndarray:
        share = self.params["p_outlier"]
        density = self._solve(times, upper)
        if not share:
            return density
        out_lo, out_hi = self.outlier_window
        inside = (times >= out_lo) & (times <= out_hi)
        return (1.0 - share) * density + np.where(inside, share * 0.5 / (out_hi - out_lo), 0.0)


def predicted_density(fit_row: pd.Series, outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                      window: tuple[float, float] | None = None, bound: str | None = None) -> Density | None:
    """The densities at a likelihood fit's parameters (None if unfitted,
    or its values are outside the model's range); with `bound`, those of a
    fit with that time-varying bound (leak and urgency from their columns,
    0 without)."""
    if bound is not None:
        names = list(PARAM_COLUMNS) + list(BOUNDS[bound]) + [c for c in ("leak", "urgency") if c in fit_row]
        values = _real_values({c: fit_row[c] for c in names + (["p_outlier"] if "p_outlier" in fit_row else [])})
    else:
        values = _real_values({c: fit_row[c] for c in ML_PARAM_COLUMNS})
    if values is None:
        return None
    # An edited table may hold values the model does not allow (a fit's never do).
    columns = {BY_FIT_NAME[c].name: np.array([v]) for c, v in values.items() if c in ML_PARAM_COLUMNS}
    if range_error(columns, "density") is not None:
        return None
    try:
        if bound is None:
            return Density(values, outlier_window, window)
        walk = {c: values.pop(c) for c in PARAM_COLUMNS + (("p_outlier",) if "p_outlier" in values else ())}
        return BoundsDensity(walk, {"bound": bound, **values}, outlier_window, window)
    except ValueError:
        return None


def fitted_bound(fits: pd.DataFrame, columns: Sequence[Hashable], bound: str | None) -> str | None:
    """The bound a table of fits was made with (None: the standard model),
    from the columns only such fits have: theta for "angle", shape and
    scale for "weibull", rate for "exponential" or "hyperbolic" (which
    `bound` must then name), none of these but leak or urgency for
    "constant". `bound`, when given, must agree with them."""
    moving = [c for c in fits.columns if c in BOUND_COLUMNS and c not in columns]
    if not moving:
        if bound is not None:
            raise ValueError(f"fit_check: bound={bound!r}, but the fits have no bound, leak or urgency columns")
        return None
    own = {c for c in moving if c not in ("leak", "urgency")}
    candidates = [name for name, params in BOUNDS.items() if set(params) == own]
    if bound is not None:
        if bound not in candidates:
            raise ValueError(f"fit_check: bound={bound!r} does not match the fits' columns "
                             f"({', '.join(map(str, moving))})")
        return bound
    if len(candidates) != 1:
        raise ValueError(f"fit_check: the fits' columns ({', '.join(map(str, moving))}) fit bound "
                         f"{' or '.join(repr(c) for c in candidates)}; pass bound= to say which")
    return candidates[0]


def group_columns(fits: pd.DataFrame, by: Hashable | Sequence[Hashable] | None) -> list[Hashable]:
    """`by` as a list, or the columns of `fits` before its statistics."""
    if by is not None:
        return list(by) if isinstance(by, (list, tuple)) else [by]
    first_stat = list(fits.columns).index("n_valid")
    return [c for c in list(fits.columns)[:first_stat] if c not in ("n_dropped", "n_outside_window")]


def fit_method(fits: pd.DataFrame) -> str:
    """The method that made a fits table, from the columns only it has:
    a likelihood fit's log_likelihood, a simulation fit's final_cost."""
    if "log_likelihood" in fits.columns:
        return "ml"
    return "sim" if "final_cost" in fits.columns else "ez"


def fit_check(data: Any, fits: pd.DataFrame, *, by: Hashable | Sequence[Hashable] | None = None,
              choice: Hashable = "choice", rt: Hashable = "rt", upper: Any = None, rt_unit: str = "s",
              drop_invalid: bool = False, condition: Hashable | None = None, n_sim: int = 20_000,
              seed: int = 0, bins: int = 40, max_groups: int = 24, min_rt: float | None = None,
              max_rt: float | None = None, dropna: bool = False,
              order: Mapping[Hashable, Sequence[Any]] | None = None,
              outlier_window: tuple[float, float] = OUTLIER_WINDOW, bound: str | None = None) -> Figure:
    """Observed against predicted response-time distributions, per group,
    and quantile-probability plots.

    `fits` is the table that ``fit`` returned for `data` (same `choice`,
    `rt`, `upper`, `rt_unit`, `drop_invalid`, `min_rt`, `max_rt`, `dropna`,
    `order`); its columns before n_valid are the group columns (or give
    `by`). The title names the fits' method: "ml" for a table with
    log_likelihood, "sim" for one with final_cost, else "ez". Top: one panel per group (the
    first `max_groups`), upper responses above the axis and lower ones
    below, as defective densities (the areas are the response
    proportions); bars are the data, lines the model simulated at the
    fitted parameters (`n_sim` trials, seed ``derive_seed(seed, group)``),
    or for likelihood fits (`fits` from method "ml") the exact densities
    at the fitted parameters, and their quantiles and response
    proportions integrated from them: with their p_outlier mixed with
    contaminants on `outlier_window` (the fits' own), and with `min_rt` /
    `max_rt` the densities of the trials kept, as the fits' truncated
    likelihood has them. Fits with a time-varying bound, leak or urgency
    are drawn with their own densities (bounds_logpdf); the bound is read
    from their columns, except that "exponential" and "hyperbolic" (both
    with a rate column) need `bound` to tell them apart.
    Bottom: 0.1/0.3/0.5/0.7/0.9 response-time quantiles against response
    proportion (points: data; lines: model), one panel per value of the
    group columns other than `condition` (default: the last group column),
    across that column's values (labelled where a panel has at most 12),
    the first `max_groups` panels.
    """
    n_sim = check_count(n_sim, "n_sim")
    seed = check_seed(seed)
    bins = check_count(bins, "bins")
    max_groups = check_count(max_groups, "max_groups")
    frame = as_frame(data)
    if not isinstance(fits, pd.DataFrame):
        raise TypeError(f"fits must be the DataFrame that fit returned, not {type(fits).__name__}")
    require_columns(fits, list(STAT_COLUMNS) + list(PARAM_COLUMNS), "fit_check: fits")
    columns = group_columns(fits, by)
    require_columns(frame, columns + [choice, rt], "fit_check: data")
    check_flag("dropna", dropna)
    checked_order = check_order(frame, order, columns, "fit_check")
    trials = TrialTable.read(frame, choice=choice, rt=rt, upper=upper, rt_unit=rt_unit, drop_invalid=drop_invalid,
                             min_rt=min_rt, max_rt=max_rt, positive=fit_method(fits) == "ml")
    return fit_check_trials(trials, fits, columns, condition=condition, n_sim=n_sim, seed=seed, bins=bins,
                            max_groups=max_groups, dropna=dropna, order=checked_order, outlier_window=outlier_window,
                            bound=bound)


def fit_check_trials(trials: TrialTable, fits: pd.DataFrame, columns: list[Hashable], *,
                     condition: Hashable | None = None, n_sim: int = 20_000, seed: int = 0, bins: int = 40,
                     max_groups: int = 24, dropna: bool = False, order: Order | None = None,
                     outlier_window: tuple[float, float] = OUTLIER_WINDOW, bound: str | None = None) -> Figure:
    """fit_check of a table already read, grouped by `columns`."""
    if condition is None:
        condition = columns[-1] if columns else None
    elif condition not in columns:
        raise ValueError(f"fit_check: condition {condition!r} is not one of the group columns {columns!r}")
    bound = fitted_bound(fits, columns, bound)
    grouped = trials.grouped(columns, dropna=dropna, order=order)
    keys = grouped.groups.keys
    if not _same_keys(keys, fits[columns].reset_index(drop=True)):
        # The same groups in another order (fits made with another order=):
        # drawn in the data's.
        rows = _rows_by_key(keys, fits[columns])
        if rows is None:
            raise ValueError("fit_check: fits do not match the groups of data; pass the table that fit returned "
                             "for this data, and the dropna it was given")
        fits = fits.iloc[rows]
    # The same groups with other trials (another window, invalid rows kept
    # or dropped) would draw data the fits never saw.
    counts = grouped.stops - grouped.starts
    differ = np.flatnonzero(counts != fits["n_valid"].to_numpy())
    if len(differ):
        g = int(differ[0])
        raise ValueError(f"fit_check: group {_title(fits.iloc[g], columns) or 'of all trials'} has {int(counts[g])} "
                         f"trials in data but {fits['n_valid'].iloc[g]} in fits; pass the min_rt, max_rt, "
                         "drop_invalid and rt_unit that fit was given")
    # The same trials in another unit (rt_unit forgotten) would put the
    # model at a thousandth of the data's times.
    for g, (start, stop) in enumerate(zip(grouped.starts, grouped.stops)):
        upper = grouped.rts[start:stop][grouped.choices[start:stop]]
        fitted = _real_values({"mean": fits["mean_rt"].iloc[g]}) if "mean_rt" in fits else None
        if len(upper) and fitted is not None and fitted["mean"] > 0:
            if not 0.5 < float(upper.mean()) / fitted["mean"] < 2.0:
                raise ValueError(f"fit_check: group {_title(fits.iloc[g], columns) or 'of all trials'} has a mean "
                                 f"upper response time of {upper.mean():.4g} s in data but {fitted['mean']:.4g} s "
                                 "in fits; pass the rt_unit that fit was given")

    likelihood = all(c in fits.columns for c in ("log_likelihood", "sv", "sz", "st"))
    observed: list[tuple[np.ndarray, np.ndarray]] = []
    predicted: list[Prediction] = []
    for g, (start, stop) in enumerate(zip(grouped.starts, grouped.stops)):
        observed.append((grouped.choices[start:stop], grouped.rts[start:stop]))
        predicted.append(predicted_density(fits.iloc[g], outlier_window, trials.window, bound) if bound is not None
                         else predicted_density(fits.iloc[g], outlier_window, trials.window) if likelihood
                         else predicted_trials(fits.iloc[g], n_sim, derive_seed(seed, g)))
    # Simulated trials that all ran past the cap (times in ms fitted as
    # seconds: t0 near 300 s) leave nothing to draw.
    capped = [isinstance(p, tuple) and not len(p[1]) for p in predicted]
    predicted = [None if empty else p for p, empty in zip(predicted, capped)]

    shown = min(len(fits), max_groups)
    panel_keys = [c for c in columns if c != condition]
    panels = (fits[panel_keys].drop_duplicates().reset_index(drop=True) if panel_keys
              else pd.DataFrame(index=range(1)))
    n_panels = len(panels)
    panels = panels.iloc[:max_groups]
    dist_cols = min(4, shown)
    dist_rows = math.ceil(shown / dist_cols)
    qp_cols = min(4, len(panels))
    qp_rows = math.ceil(len(panels) / qp_cols)
    # At least matplotlib's default width, so that one group's titles read on a line or two.
    figure = _figure(figsize=(max(3.3 * max(dist_cols, qp_cols), _MIN_WIDTH), 2.5 * dist_rows + 3.0 * qp_rows),
                     layout="constrained")
    halves: Any = figure.subfigures(2, 1, height_ratios=[2.5 * dist_rows, 3.0 * qp_rows])
    top, bottom = halves[0], halves[1]
    dist_axes = np.atleast_1d(top.subplots(dist_rows, dist_cols, squeeze=False)).ravel()
    for g in range(shown):
        # A table read back from a file has NaN for an empty error.
        error = fits["error"].iloc[g] if "error" in fits else ""
        error = "" if pd.isna(error) else str(error)
        values = _real_values({BY_NAME[name].fit_name: fits[BY_NAME[name].fit_name].iloc[g] for name in WALK_NAMES})
        # Wrapped here: matplotlib's own wrapping fits the figure, not the panel.
        if error:
            note = f"not fitted:\n{textwrap.fill(error, _PANEL_NOTE_CHARS)}"
        elif capped[g]:
            note = "no model drawn:\nits simulated trials all ran past the 10 s cap"
        else:
            note = "not fitted" if values is None else "no model drawn:\nestimates outside the model's range"
        _distribution_panel(dist_axes[g], observed[g], predicted[g], n_sim, bins, _title(fits.iloc[g], columns), note)
    for ax in dist_axes[shown:]:
        ax.set_visible(False)
    # About 12 characters of a medium title per inch; narrow figures wrap.
    width = int(12 * figure.get_figwidth())
    # The bound, leak and urgency name the model (an angle fit's figure
    # looks like the standard model's).
    extras = [c for c in ("leak", "urgency") if c in fits.columns and c not in columns]
    model = "" if bound is None else f", {' with '.join([f'{bound} bound'] + extras)}"
    top.suptitle(textwrap.fill(f"Fit check ({fit_method(fits)} fits{model}). Response-time distributions: data "
                               "(bars) and model (lines); upper responses above, lower below"
                               + (f" (first {shown} of {len(fits)} groups)" if shown < len(fits) else ""), width),
                 fontsize="medium")

    qp_axes = np.atleast_1d(bottom.subplots(qp_rows, qp_cols, squeeze=False)).ravel()
    level_labels: list[list[tuple[float, float, str]]] = []
    for p in range(len(panels)):
        members = [g for g in range(len(fits))
                   if all(_same(fits[c].iloc[g], panels[c].iloc[p]) for c in panel_keys)]
        # A panel of one group is titled by that group's key.
        if panel_keys:
            title = _title(panels.iloc[p], panel_keys)
        elif len(members) == 1:
            title = _title(fits.iloc[members[0]], columns) or "all trials"
        else:
            title = "all groups"
        levels = [str(fits[condition].iloc[g]) for g in members] if condition is not None else [""] * len(members)
        labels = _qp_panel(qp_axes[p], [observed[g] for g in members], [predicted[g] for g in members], title, levels)
        # Past a few levels (participants as the condition) the labels
        # would only stack over one another.
        level_labels.append(labels if len(members) <= _MAX_LEVEL_LABELS else [])
    # One legend for the quantile-probability panels, below them: inside a
    # panel it covered points.
    bottom.legend(handles=[h for h in qp_axes[0].get_lines() if h.get_label().startswith("model")],
                  labels=[f"{q:g}" for q in QUANTILES], title="quantile", fontsize="x-small",
                  title_fontsize="x-small", loc="outside lower center", ncols=len(QUANTILES))
    if shown:
        dist_axes[0].legend(fontsize="x-small", loc="best")
    for ax in qp_axes[len(panels):]:
        ax.set_visible(False)
    bottom.suptitle(textwrap.fill("Quantile-probability plot" + (f" across {condition}" if condition is not None
                                                                  else "") + ": data (points) and model (lines)"
                                  + (f" (first {len(panels)} of {n_panels} panels)" if len(panels) < n_panels
                                     else ""), width), fontsize="medium")
    # The level labels are placed by the panels' sizes, so lay the figure
    # out first (the legend below takes height from the panels).
    engine = figure.get_layout_engine()
    if engine is not None:
        engine.execute(figure)
    for ax, labels in zip(qp_axes, level_labels):
        _level_labels(ax, labels)
    return figure


def _same(a: Any, b: Any) -> bool:
    """Whether two group keys are the same value: both missing, or equal
    (pandas' NA first, whose comparisons have no truth value)."""
    if pd.isna(a) or pd.isna(b):
        return bool(pd.isna(a) and pd.isna(b))
    return bool(a == b)


def _same_keys(keys: pd.DataFrame, given: pd.DataFrame) -> bool:
    """Whether two tables of group keys hold the same values row by row,
    whatever their dtypes: a fits table read back from a file has text
    where the data had categories."""
    return keys.shape == given.shape and all(_same(a, b) for c in range(keys.shape[1])
                                             for a, b in zip(keys.iloc[:, c], given.iloc[:, c]))


def _rows_by_key(keys: pd.DataFrame, given: pd.DataFrame) -> list[int] | None:
    """The row of `given` with each row's key of `keys`, when the two hold
    the same keys once each in some order (missing equal to missing);
    else None."""
    def key(row: Any) -> tuple[Any, ...]:
        return tuple(_MISSING if pd.isna(v) else v for v in row)

    if keys.shape != given.shape:
        return None
    position = {key(row): i for i, row in enumerate(given.itertuples(index=False))}
    rows = [position.get(key(row), -1) for row in keys.itertuples(index=False)]
    return rows if len(position) == len(given) and sorted(rows) == list(range(len(given))) else None


_MISSING = object()


def _title(row: Any, columns: Sequence[Hashable]) -> str:
    return ", ".join(f"{c}={'(missing)' if pd.isna(row[c]) else row[c]}" for c in columns)


def _defective_density(values: np.ndarray, edges: np.ndarray, total: int) -> np.ndarray:
    if total == 0:  # a group left with no trials: no density, not 0/0
        return np.zeros(len(edges) - 1)
    counts, _ = np.histogram(values, bins=edges)
    return np.asarray(counts / (total * np.diff(edges)))


Prediction = tuple[np.ndarray, np.ndarray, int] | Density | None


def _distribution_panel(ax: Axes, observed: tuple[np.ndarray, np.ndarray], predicted: Prediction, n_sim: int,
                        bins: int, title: str, note: str) -> None:
    choices, rts = observed
    pooled = rts if predicted is None or isinstance(predicted, Density) else np.concatenate([rts, predicted[1]])
    top = _shown_range(pooled)
    edges = np.linspace(0.0, top, bins + 1)
    if len(pooled) and pooled.max() > top:
        # A last, wide bin beyond the shown range keeps every trial counted,
        # so the areas stay the response proportions.
        edges = np.append(edges, pooled.max())
    # The height each side reaches within the shown range: the last wide bin
    # lies beyond it, and a narrow one (a slowest trial just past the 0.995
    # quantile) would otherwise stretch the axis by a bar no one sees.
    reach = {1: 0.0, -1: 0.0}
    for sign, mask, colour, label in ((1, choices, _UPPER_COLOUR, "upper"), (-1, ~choices, _LOWER_COLOUR, "lower")):
        density = _defective_density(rts[mask], edges, len(rts))
        ax.stairs(sign * density, edges, fill=True, alpha=0.45, color=colour, label=f"data {label}")
        shown = [density[:bins]]
        if isinstance(predicted, Density):
            times = np.linspace(0.0, top, CURVE_POINTS)
            curve = predicted.pdf(times, sign > 0)
            ax.plot(times, sign * curve, color=_MODEL_COLOUR, linewidth=1.2, label=_model_label(sign))
            shown.append(curve)
        elif predicted is not None:
            sim_choices, sim_rts, _ = predicted
            side = sim_choices if sign > 0 else ~sim_choices
            model = _defective_density(sim_rts[side], edges, n_sim)
            centres = (edges[:-1] + edges[1:]) / 2
            ax.plot(centres, sign * model, color=_MODEL_COLOUR, linewidth=1.2, label=_model_label(sign))
            shown.append(model[:bins])
        values = np.concatenate(shown)
        values = values[np.isfinite(values)]
        reach[sign] = float(values.max()) if len(values) else 0.0
    if reach[1] > 0.0 or reach[-1] > 0.0:
        margin = 0.05 * max(reach.values())
        ax.set_ylim(-(reach[-1] + margin), reach[1] + margin)
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.set_xlim(0.0, top)
    ax.set_title(textwrap.fill(title or "all trials", _PANEL_TITLE_CHARS), fontsize="small")
    ax.set_xlabel("response time (s)", fontsize="small")
    ax.set_ylabel("density (1/s)", fontsize="small")
    ax.tick_params(labelsize="x-small")
    if predicted is None:
        ax.text(0.5, 0.5, note, transform=ax.transAxes, ha="center", va="center", fontsize="x-small",
                bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8})
    past = int((rts > top).sum())
    if len(rts) and top < float(np.quantile(rts, 0.995)):
        ax.text(0.98, 0.97, f"{past} trial{'s' if past > 1 else ''} past {top:.3g} s", transform=ax.transAxes,
                ha="right", va="top", fontsize="xx-small", color="dimgrey")


def _model_label(sign: int) -> str:
    # One legend entry for the two lines of one colour.
    return "model" if sign > 0 else "_model lower"


def _shown_range(times: np.ndarray) -> float:
    """The end of a distribution panel's time axis: the 0.995 quantile, but
    no further than 3 times the 10-90% spread past the 90% quantile, where
    a first-passage time's exponential tail has long ended, so that one
    lapse among a few hundred trials does not squeeze the rest into a
    corner (the last, wide bin still counts it)."""
    if not len(times):
        return 1.0
    q10, q90, q995 = np.quantile(times, [0.1, 0.9, 0.995])
    top = float(min(q995, q90 + 3.0 * (q90 - q10)))
    return top if top > 0.0 else float(q995) or 1.0


def _qp_panel(ax: Axes, observed: list[tuple[np.ndarray, np.ndarray]],
              predicted: list[Prediction], title: str, levels: list[str]) -> list[tuple[float, float, str]]:
    """Quantiles against response proportions of the groups of one panel;
    returns the labels for _level_labels: each group's `levels` entry
    above its slowest quantile."""
    data_points = [quantile_points(c, r) for c, r in observed]
    labels = [(point[f"p_{side}"], point[f"q_{side}"][-1], label) for point, label in zip(data_points, levels)
              for side in ("upper", "lower") if label and point[f"q_{side}"] is not None]
    model_points = [p.points() if isinstance(p, Density) else quantile_points(p[0], p[1]) if p is not None else None
                    for p in predicted]
    # A response the model expects fewer trials of than the data need for
    # quantiles has none drawn either: with contaminants its quantiles are
    # theirs (0.5-4.5 s for an error rate of 0.005), far above every trial.
    sizes = [len(rts) for _, rts in observed]
    for k, level in enumerate(QUANTILES):
        xs, ys, mx, my = [], [], [], []
        for side in ("upper", "lower"):
            for point in data_points:
                if point[f"q_{side}"] is not None:
                    xs.append(point[f"p_{side}"])
                    ys.append(point[f"q_{side}"][k])
            for model_point, size in zip(model_points, sizes):
                if model_point is not None and model_point[f"q_{side}"] is not None and \
                        model_point[f"p_{side}"] * size >= MIN_QUANTILE_TRIALS:
                    mx.append(model_point[f"p_{side}"])
                    my.append(model_point[f"q_{side}"][k])
        ax.plot(xs, ys, linestyle="none", marker="o", markersize=4, color=f"C{k}", label=f"data q{level}")
        order = np.argsort(mx, kind="stable")
        ax.plot(np.asarray(mx)[order], np.asarray(my)[order], color=f"C{k}", linewidth=1,
                label=f"model q{level}")
    ax.set_xlim(0.0, 1.0)
    ax.set_xlabel("response proportion (lower | upper)", fontsize="small")
    ax.set_ylabel("RT quantile (s)", fontsize="small")
    ax.set_title(textwrap.fill(title, _PANEL_TITLE_CHARS), fontsize="small")
    ax.tick_params(labelsize="x-small")
    return labels


def _level_labels(ax: Axes, labels: list[tuple[float, float, str]]) -> None:
    """Each (x, y, text) written just above its point; a label that would
    cover one already written goes up a line at a time, and the y axis
    grows to hold the highest. Groups of near-equal response proportion
    (a lower response at 0.48 and another level's upper at 0.52) would
    otherwise write their levels over each other."""
    if not labels:
        return
    # Sizes in points, from the axes as laid out now: the final layout moves
    # them by little.
    width = ax.bbox.width * 72.0 / ax.figure.dpi
    height = ax.bbox.height * 72.0 / ax.figure.dpi
    line = _LEVEL_LABEL_POINTS * 1.3
    ax.autoscale_view()
    lo, hi = ax.get_ylim()
    # A label near either side moves in to stay inside the axes.
    halves = [0.3 * _LEVEL_LABEL_POINTS * len(text) for _, _, text in labels]
    shifts = [float(np.clip(x * width, half, max(half, width - half))) - x * width
              for (x, _, _), half in zip(labels, halves)]
    lifts: list[float] = []
    for _ in range(3):  # growing the axis moves the points, so place again
        placed: list[tuple[float, float, float]] = []
        lifts = []
        for (x, y, text), half, shift in zip(labels, halves, shifts):
            across = x * width + shift
            up = (y - lo) / (hi - lo) * height
            lift = 4.0
            while any(abs(across - px) < half + ph and abs(up + lift - py) < line for px, py, ph in placed):
                lift += line
            placed.append((across, up + lift, half))
            lifts.append(lift)
        # The top at which each label's line ends inside the axes (none for
        # a label stacked past the axes' own height).
        room = max((lo + (y - lo) / (1.0 - (lift + line) / height)
                    for (_, y, _), lift in zip(labels, lifts) if lift + line < height), default=hi)
        if room <= hi:
            break
        hi = room
        ax.set_ylim(lo, hi)
    for (x, y, text), lift, shift in zip(labels, lifts, shifts):
        ax.annotate(text, (x, y), textcoords="offset points", xytext=(shift, lift), ha="center",
                    fontsize=_LEVEL_LABEL_POINTS, color="dimgrey")


def recovery(table: pd.DataFrame) -> Figure:
    """Fitted against true values of each recovered parameter, from the
    table that ``recover`` returned: successful fits as points and the
    identity line; above each panel bias, RMSE, Pearson r (when defined)
    and failed fits. A parameter whose true value is the same in every row
    has that value as its one x tick, in the middle of its panel."""
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table must be the DataFrame that recover returned, not {type(table).__name__}")
    require_columns(table, [c for p in RECOVERED for c in (f"true_{p}", p)] + ["error"], "recovery")
    failed = table["error"].fillna("").astype(str).to_numpy() != ""
    parameters = recovered_parameters(table)
    figure = _figure(figsize=(3.5 * min(len(parameters), 4), 3.6 * math.ceil(len(parameters) / 4)),
                     layout="constrained")
    from matplotlib.font_manager import FontProperties
    from matplotlib.ticker import MaxNLocator

    summary_points = FontProperties(size="small").get_size_in_points()
    axes = np.atleast_1d(figure.subplots(math.ceil(len(parameters) / 4), min(len(parameters), 4))).ravel()
    for ax in axes[len(parameters):]:
        ax.set_visible(False)
    for ax, parameter in zip(axes, parameters):
        true = table[f"true_{parameter}"].to_numpy(dtype=np.float64)
        fitted = table[parameter].to_numpy(dtype=np.float64)
        ok = ~failed & np.isfinite(fitted) & np.isfinite(true)
        ax.plot(true[ok], fitted[ok], linestyle="none", marker="o", markersize=3.5, alpha=0.6, label="fits")
        truths = np.unique(true[np.isfinite(true)])
        if len(truths) == 1:
            # A fixed truth: ticks spread over the fits' range would crowd
            # (and say nothing); the fits stand in the middle, at its tick.
            centre = float(truths[0])
            half = 1.1 * float(np.max(np.abs(fitted[ok] - centre), initial=0.0)) or 0.05 * (abs(centre) or 1.0)
            low, high = centre - half, centre + half
            ax.set_xticks([centre], [f"{centre:.6g}"])
        else:
            low = float(np.nanmin(np.concatenate([true, fitted[ok]]))) if len(true) else 0.0
            high = float(np.nanmax(np.concatenate([true, fitted[ok]]))) if len(true) else 1.0
            pad = 0.05 * (high - low or 1.0)
            low, high = low - pad, high + pad
            ax.xaxis.set_major_locator(MaxNLocator(nbins=_RECOVERY_X_INTERVALS, steps=[1, 2, 5, 10]))
        ax.plot([low, high], [low, high], color="grey", linewidth=1, label="identity")
        stats = agreement(true[ok], fitted[ok])
        r = f"r {stats['r']:.3f}, " if math.isfinite(stats["r"]) else ""
        # Above the axes, under the title: inside, it covered points.
        errors = (f"bias {stats['bias']:+.3g}, RMSE {stats['rmse']:.3g}" if ok.any()
                  else "no fits to compare")
        summary = f"{errors}\n{r}failed {int((~ok).sum())} of {len(ok)}"
        ax.annotate(summary, (0.5, 1.0), xycoords="axes fraction", xytext=(0, 4), textcoords="offset points",
                    ha="center", va="bottom", fontsize="small")
        # The title above the summary's two lines (about 3 font sizes with
        # their spacing and descent) and a gap.
        ax.set_title(parameter.replace("_", " "), fontsize="medium", pad=7 + 3 * summary_points)
        unit = f" ({_UNITS[parameter]})" if parameter in _UNITS else ""
        ax.set_xlabel(f"true{unit}")
        ax.set_ylabel(f"fitted{unit}")
    figure.suptitle(f"Parameter recovery: {len(table)} fits", fontsize="medium")
    return figure


def posterior_check(fit: Any, *, n_draws: int = 50, seed: int = 0, interval: float = 0.9) -> Figure:
    """The posterior-predictive check of a hierarchical fit (``fit``, a
    ``HierarchicalFit``): `n_draws` draws spread evenly over the posterior's
    chains and draws, each simulating every trial of the data at its
    parameters (the model's own draws: ``simulate_full`` per draw and
    participant, contaminants mixed in, seeded by `seed`, so the figure is
    the same for the same seed). Top: per level of depends_on (or for all
    trials), the 0.1/0.3/0.5/0.7/0.9 response-time quantiles of the
    upper and lower responses against their proportions, pooled over the
    participants: data as points, the draws' medians as crosses with their
    central `interval` as bars in both directions. Bottom: each
    participant's (and level's) proportion of upper responses, data
    against the draws' interval."""
    if isinstance(n_draws, bool) or not isinstance(n_draws, (int, np.integer)) or n_draws < 2:
        raise ValueError(f"n_draws must be an integer of at least 2, not {n_draws!r}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, not {seed!r}")
    if isinstance(interval, bool) or not isinstance(interval, (int, float)) or not 0.0 < interval < 1.0:
        raise ValueError(f"interval must be a number between 0 and 1, not {interval!r}")
    observed, simulated = fit._predictive(int(n_draws), int(seed))  # (trials, 2) and (draws, trials, 2)
    design = fit._design
    tails = (0.5 - interval / 2, 0.5, 0.5 + interval / 2)
    levels = design.levels
    panels = [(level, design.level == k) for k, level in enumerate(levels)]
    columns = min(4, len(panels))
    rows = math.ceil(len(panels) / columns)
    cells = design.cells
    cell_labels = [" ".join(str(cell[c]) for c in cells.columns if c != "n_trials") for _, cell in cells.iterrows()]
    # Wide enough for the titles and for a label per participant below;
    # labels that would crowd one another stand on end.
    inches = max(3.6 * columns, _MIN_WIDTH, 1.0 + 0.15 * len(cell_labels))
    upright = sum(len(label) + 2 for label in cell_labels) * _LABEL_CHAR_INCHES > inches - 1.0
    figure = _figure(figsize=(inches, 3.2 * rows + 3.0), layout="constrained")
    halves: Any = figure.subfigures(2, 1, height_ratios=[3.2 * rows, 3.0])
    axes = np.atleast_1d(halves[0].subplots(rows, columns, squeeze=False)).ravel()
    for ax, (level, mask) in zip(axes, panels):
        data = quantile_points(observed[mask, 1] == 1.0, observed[mask, 0])
        draws = [quantile_points(s[mask, 1] == 1.0, s[mask, 0]) for s in simulated]
        for side in ("upper", "lower"):
            p = np.array([d[f"p_{side}"] for d in draws])
            quantiles = np.array([d[f"q_{side}"] for d in draws if d[f"q_{side}"] is not None])
            p_lo, p_mid, p_hi = np.quantile(p, tails)
            for k, q in enumerate(QUANTILES):
                # As for the data: quantiles where most draws have enough
                # trials of this response for them.
                if len(quantiles) >= max(2, len(draws) / 2):
                    q_lo, q_mid, q_hi = np.quantile(quantiles[:, k], tails)
                    ax.errorbar([p_mid], [q_mid], xerr=[[p_mid - p_lo], [p_hi - p_mid]],
                                yerr=[[q_mid - q_lo], [q_hi - q_mid]], color=f"C{k}", marker="x", markersize=5,
                                linewidth=1, capsize=2, alpha=0.8,
                                label=f"model {q:g}" if side == "upper" else None)
                if data[f"q_{side}"] is not None:
                    ax.plot([data[f"p_{side}"]], [data[f"q_{side}"][k]], linestyle="none", marker="o",
                            markersize=5, markerfacecolor="none", color=f"C{k}",
                            label=f"data {q:g}" if side == "upper" else None)
        ax.set_xlim(0.0, 1.0)
        ax.set_title(textwrap.fill("all trials" if level is None else f"{fit.level_column} = {level}",
                                   _PANEL_TITLE_CHARS), fontsize="small")
        ax.set_xlabel("response proportion (lower | upper)", fontsize="small")
        ax.set_ylabel("RT quantile (s)", fontsize="small")
        ax.tick_params(labelsize="x-small")
    for ax in axes[len(panels):]:
        ax.set_visible(False)
    handles, labels = axes[0].get_legend_handles_labels()
    model = [i for i, label in enumerate(labels) if label.startswith("model")]
    axes[0].legend([handles[i] for i in model], [labels[i].split()[1] for i in model], title="quantile",
                   fontsize="xx-small", title_fontsize="xx-small", loc="best")
    width = int(12 * figure.get_figwidth())
    halves[0].suptitle(textwrap.fill(
        f"Posterior-predictive check ({len(simulated)} draws): RT quantiles against response proportions, pooled "
        f"over participants; data (circles), model median (crosses) and central {interval:.0%} (bars)", width),
        fontsize="medium")

    ax = halves[1].subplots()
    for c, (start, stop) in enumerate(zip(design.starts, design.stops)):
        p = simulated[:, start:stop, 1].mean(axis=1)
        lo, mid, hi = np.quantile(p, tails)
        ax.errorbar([c], [mid], yerr=[[mid - lo], [hi - mid]], color=_MODEL_COLOUR, marker="x", markersize=5,
                    linewidth=1, capsize=2, label="model" if c == 0 else None)
        ax.plot([c], [observed[start:stop, 1].mean()], linestyle="none", marker="o", markersize=5,
                markerfacecolor="none", color=_UPPER_COLOUR, label="data" if c == 0 else None)
    ax.set_xticks(range(len(cell_labels)), cell_labels, rotation=90 if upright else 0, fontsize="x-small")
    ax.set_ylim(-0.02, 1.02)
    ax.set_ylabel("P(upper)", fontsize="small")
    ax.set_xlabel(" ".join(str(c) for c in cells.columns if c != "n_trials"), fontsize="small")
    ax.tick_params(labelsize="x-small")
    ax.legend(fontsize="x-small", loc="best")
    halves[1].suptitle(textwrap.fill(
        f"Upper-response proportion per participant: data and model's central {interval:.0%}", width),
        fontsize="medium")
    return figure
