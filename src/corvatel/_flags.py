"""Flags of suspect fits: short fixed texts in a fit table's `warning`
column, set from a group's trials and its fitted values. A flag does not
change a fit; it says that its numbers deserve a look before they are used
(the README's "Flags" table says what each means and what to do)."""

from __future__ import annotations

import functools
import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from ._params import MODELS, PARAMETERS, Parameter, estimated, ml_parameters
from .likelihood import BOUNDS, OUTLIER_WINDOW, bounds_logpdf, wfpt_cdf

# An estimate within this fraction of its search interval's width of an end
# of the interval has stopped on the search's limit, not at the data's
# optimum: 1e-3 of the width is 0.03 of drift, 0.01 of boundary, 0.001 of
# start. The fits' own transform keeps points 1e-6 of the width inside.
BOUND_MARGIN = 1e-3
# A likelihood fit's shortest non-decision time (t0 - st/2) this close to the
# fastest response (seconds), its search limit: that response alone holds
# the estimate down; and this close to 0, the other end of its search: no
# response is encoded and made in no time, so responses too fast for the
# model (in this group, or in another level that shares t0) hold it there.
T0_MARGIN = 0.001
# Responses faster than this are anticipations or fast guesses rather than
# decisions (no sensory decision takes under 0.1 s); one of them alone can
# pull a likelihood fit's t0 to 0.
FAST_RT = 0.1
# Response times in seconds rarely have a median above this; in milliseconds
# almost always.
MS_MEDIAN = 20.0
# No decision has a median under 20 ms: times in seconds read as
# milliseconds (rt_unit="ms" on times already in seconds).
SECONDS_MEDIAN = 0.02
# The moment fits (ez, sim) use the variance of the correct response times;
# from fewer trials its relative standard error is above about 45%.
MIN_TRIALS = 10

# The fitted model's probability that the slowest of a group's responses is
# at least as slow as it is: below this, that response is one the model
# does not expect (a lapse, a response recorded late), and a single such
# trial moves a fit a long way (a 60 s response among 300 trials of drift
# 1 took a likelihood fit's drift from 1.00 to 0.67). Were the fitted values the true ones,
# a group of clean trials would be flagged at exactly this rate; fitted to
# the same trials, less often.
SLOW_ALPHA = 1e-3

# A likelihood fit whose fitted distribution of signed response times (the
# lower response's negated) the trials reject at this level in a one-sample
# Kolmogorov-Smirnov test. With the parameters fitted to the same trials the
# test is conservative: clean groups are flagged at well below this rate (none
# of 20 groups of 500 trials, smallest p 0.35), while 5% fast guesses at
# 0.1-0.2 s, which a fit can absorb only by moving t0 and the boundary far,
# were flagged in 19 of 20 such groups.
MISFIT_ALPHA = 0.01
# The distribution function with a variability costs 0.2 ms (sv) to 24 ms
# (all three) a value: the statistic of such a fit is taken at this many
# order statistics at most (a lower bound on the full statistic, so the test
# stays conservative).
MISFIT_POINTS = 40
# A simulation fit's final cost (squared relative errors of the simulated
# accuracy, mean and variance of correct response times, the last halved)
# above this matches the trials' moments no better than about 10% in one of
# them: its search stopped short or in a local minimum (a far initial_guess,
# a small max_iters), or the moments are out of the model's reach. Clean
# groups of 10-1000 trials ended below 5e-4 (158 of 158 fits; of 144 more,
# at extreme parameters too, the highest was 0.0032).
SIM_COST_LIMIT = 0.01

OUTSIDE_RANGE = "outside model range"
ON_BOUND = "at search bound"
T0_AT_FASTEST = "t0 at fastest response"
T0_AT_ZERO = "t0 at 0"
FAST_RESPONSES = "responses under 0.1 s"
LOOKS_LIKE_MS = "rt looks like ms"
LOOKS_LIKE_SECONDS = "rt looks like seconds read as ms"
EDGE_CORRECTION = "ez edge correction"
FEW_TRIALS = "few trials"
CONSTANT_RTS = "constant rts"
NOT_CONVERGED = "not converged"
ONE_RESPONSE = "one response only"
SLOW_RESPONSE = "improbably slow response"
MISFIT = "distribution misfit"
MOMENTS_UNMATCHED = "moments not matched"
# A recovery data set some of whose simulated trials reached the
# simulators' 10 s cap and were left out.
CAPPED = "trials past the 10 s cap"
# Parameters that, fitted to trials of one response only, the data cannot
# place: only their combination, the distance to the boundary reached, is
# pinned down.
ONE_RESPONSE_UNPLACED = ("boundary_separation", "starting_point")


def joined(flags: list[str]) -> str:
    return "; ".join(flags)


def one_response(choices: np.ndarray) -> bool:
    """Whether every trial (at least one) ended at the same boundary."""
    return len(choices) > 0 and (bool(choices.all()) or not choices.any())


def _near_search_bound(parameter: Parameter, value: float) -> bool:
    """Whether `value` ended within the margin of a limit of its search
    interval, or past it (a moment fit has no limits): a limit that is not
    an end of the range the model allows (sv = 0 is a model; a boundary of
    0.05 is only where the search stops)."""
    assert parameter.search is not None
    low, high, _, _ = parameter.search
    range_low, range_high, has_low, has_high = parameter.range
    margin = BOUND_MARGIN * (high - low)
    at_low = value <= low + margin and not (low == range_low and has_low)
    at_high = value >= high - margin and not (high == range_high and has_high)
    return at_low or at_high


def _outside_range(parameter: Parameter, value: float) -> bool:
    low, high, has_low, has_high = parameter.range
    return value < low or value > high or (value == low and not has_low) or (value == high and not has_high)


def _model_values(row: Mapping[str, Any]) -> dict[str, float]:
    return {"drift": row["drift_rate"], "boundary": row["boundary_separation"],
            "start": row["starting_point"], "t0": row["non_decision_time"], "noise_sd": row.get("noise_sd", 1.0),
            **{name: row.get(name, 0.0) or 0.0 for name in ("sv", "sz", "st")}}


def _mixture_after(times: np.ndarray, choice: bool, row: Mapping[str, Any],
                   outlier_window: tuple[float, float], model: str = "ddm", reach: float = 0.0) -> np.ndarray:
    """The fitted mixture's probability of response `choice` after each of
    `times`: the model's, and the contaminants' (`row`'s p_outlier, either
    response at 1/2, uniform on `outlier_window`). `model`: "ddm", "full"
    or a time-varying bound (whose probabilities come from its densities up
    to `reach` seconds, and an exponential tail beyond). Raises ValueError
    for values the model does not allow."""
    p_outlier = row.get("p_outlier", 0.0) or 0.0
    lo, hi = outlier_window
    if model in MODELS:
        after = np.asarray(wfpt_cdf(times, choice, **_model_values(row), complement=True), dtype=float)
    else:
        after = _bounds_after(times, choice, row, model, reach)
    return (1.0 - p_outlier) * after + p_outlier * 0.5 * np.clip((hi - times) / (hi - lo), 0.0, 1.0)


# Times at which a time-varying bound's densities are integrated: denser at
# the leading edge (decision times reach * u^2 for evenly spaced u), up to
# this multiple of the slowest response (a solve costs the square of its
# length); past it an exponential tail.
BOUNDS_POINTS = 4000
BOUNDS_REACH = 1.25


def _bounds_after(times: np.ndarray, choice: bool, row: Mapping[str, Any], model: str, reach: float) -> np.ndarray:
    """A time-varying bound's probability of response `choice` after each of
    `times` (no closed form): its densities integrated by the trapezoid rule
    from each time to `reach`, and past it an exponential tail at the rate
    of the density's decay there."""
    t0 = float(row["non_decision_time"])
    values = _bounds_values(row)
    try:
        grid, after = _bounds_survival(model, values, max(reach, t0 + 1e-3))
    except ValueError:
        # A grid too long for the solver (a narrow band, a lapse far out):
        # to the slowest response only, and the tail beyond.
        grid, after = _bounds_survival(model, values, max(reach / BOUNDS_REACH, t0 + 1e-3))
    survival = after[0 if choice else 1]
    log_survival = np.log(np.maximum(survival, 1e-300))  # finite, for the interpolation
    times = np.asarray(times, dtype=float)
    out = np.exp(np.interp(times, grid, log_survival))
    out[times <= grid[0]] = survival[0]
    beyond = times > grid[-1]
    if beyond.any():
        rate = -(log_survival[-1] - log_survival[-2]) / (grid[-1] - grid[-2])
        out[beyond] = survival[-1] * np.exp(-rate * (times[beyond] - grid[-1])) if rate > 0 else 0.0
    return np.asarray(out, dtype=float)


# What bounds_logpdf takes beyond the walk: every bound's own terms (the
# core's table), leak and urgency.
_BOUND_TERMS = tuple(dict.fromkeys(term for terms in BOUNDS.values() for term in terms)) + ("leak", "urgency")


def _bounds_values(row: Mapping[str, Any]) -> tuple[tuple[str, float], ...]:
    names = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd") + _BOUND_TERMS
    return tuple((name, float(row[name])) for name in names if name in row and row[name] is not None)


@functools.lru_cache(maxsize=16)
def _bounds_survival(model: str, values: tuple[tuple[str, float], ...],
                     reach: float) -> tuple[np.ndarray, tuple[np.ndarray, np.ndarray]]:
    """The grid of response times and, at each, the probability of an upper
    and of a lower response after it."""
    v = dict(values)
    t0 = v["non_decision_time"]
    grid = t0 + (reach - t0) * np.linspace(0.0, 1.0, BOUNDS_POINTS) ** 2
    grid[0] = t0
    terms = {name: v[name] for name in _BOUND_TERMS if name in v}
    both = np.concatenate([grid[1:], grid[1:]])
    choices = np.repeat([True, False], len(grid) - 1)
    log_density = np.asarray(bounds_logpdf(both, choices, v["drift_rate"], v["boundary_separation"],
                                           v["starting_point"], t0, bound=model, noise_sd=v.get("noise_sd", 1.0),
                                           **terms), dtype=float)
    afters = []
    for density in np.split(np.exp(log_density), 2):
        density = np.concatenate([[0.0], density])
        pieces = 0.5 * (density[1:] + density[:-1]) * np.diff(grid)
        # The tail past the grid: the density's decay over its last step.
        tail = 0.0
        if density[-1] > 0.0 and density[-2] > density[-1]:
            tail = density[-1] * (grid[-1] - grid[-2]) / math.log(density[-2] / density[-1])
        afters.append(np.concatenate([np.cumsum(pieces[::-1])[::-1], [0.0]]) + tail)
    return grid, (afters[0], afters[1])


def recording_step(rts: np.ndarray) -> float:
    """The coarsest decimal step (1 s down to 1 us) of which every time is a
    whole multiple, as times recorded in whole ms are; 0 for none."""
    for digits in range(7):
        scaled = rts * 10.0**digits
        if np.all(np.abs(scaled - np.round(scaled)) <= 1e-6):
            return 10.0**-digits
    return 0.0


def contaminated(method: str, row: Mapping[str, Any]) -> bool:
    """Whether a fit's mixture has contaminants: a likelihood fit with a
    p_outlier above 0 (a failed fit's NaN has none)."""
    p_outlier = row.get("p_outlier", 0.0)
    return method == "ml" and p_outlier is not None and bool(p_outlier > 0.0)


def t0_limit(rts: np.ndarray, contaminants: bool, outlier_window: tuple[float, float]) -> float | None:
    """Where a likelihood fit's search stops the shortest non-decision time:
    the fastest response; with contaminants, which may hold the fastest
    trials, the fastest outside their window (None where that is above the
    trials' median, the limit then, or there is none)."""
    if not len(rts):
        return None
    if not contaminants:
        return float(rts.min())
    lo, hi = outlier_window
    outside = rts[(rts < lo) | (rts > hi)]
    median = float(np.sort(rts)[(len(rts) - 1) // 2])
    return float(outside.min()) if len(outside) and outside.min() <= median else None


def slowest_probability(rts: np.ndarray, row: Mapping[str, Any], outlier_window: tuple[float, float],
                        rt_window: tuple[float, float] | None, model: str = "ddm") -> float:
    """The fitted model's probability that the slowest of len(rts) trials
    is at least as slow as the slowest of `rts`: 1 - (1 - S)^n, S the
    probability of a response (either) after it, with the fit's
    contaminants (`row`'s p_outlier, uniform on `outlier_window`, either
    response) and, for trials kept in `rt_window`, conditional on a
    response in the window; `model` as _mixture_after's. NaN for values
    the model does not allow."""
    window = (0.0, math.inf) if rt_window is None else rt_window
    # A time recorded in steps (whole ms) stands for one within half a step
    # of it: without that, a slowest response rounded onto max_rt would have
    # no probability after it at all.
    slowest = float(rts.max()) - recording_step(rts) / 2
    times = np.array([slowest, *window])
    try:
        reach = BOUNDS_REACH * float(rts.max())
        later = (_mixture_after(times, True, row, outlier_window, model, reach)
                 + _mixture_after(times, False, row, outlier_window, model, reach))
    except ValueError:
        return math.nan
    # Conditional on the window: (S(t) - S(end)) / (S(start) - S(end)).
    tail = (later[0] - later[2]) / (later[1] - later[2])
    if tail >= 1.0:  # nothing before the slowest (log1p(-1) would warn)
        return 1.0
    return float(-np.expm1(len(rts) * np.log1p(-max(tail, 0.0))))


def kolmogorov_p(statistic: float, n: int) -> float:
    """The p-value of a one-sample Kolmogorov-Smirnov statistic of n
    trials: the asymptotic Kolmogorov distribution's upper tail, with
    Stephens' small-sample scaling of the statistic."""
    root = math.sqrt(n)
    lam = (root + 0.12 + 0.11 / root) * statistic
    if lam < 0.2:
        return 1.0
    tail = 2.0 * sum((-1) ** (k - 1) * math.exp(-2.0 * k * k * lam * lam) for k in range(1, 101))
    return float(min(max(tail, 0.0), 1.0))


def misfit_statistic(choices: np.ndarray, rts: np.ndarray, row: Mapping[str, Any],
                     outlier_window: tuple[float, float], rt_window: tuple[float, float] | None,
                     model: str = "ddm") -> float:
    """The one-sample Kolmogorov-Smirnov statistic of the trials' signed
    response times (upper +rt, lower -rt) against the fitted model's
    distribution of them, with its contaminants (either response, uniform
    on `outlier_window`) and, for trials kept in `rt_window`, conditional
    on a response in the window; with sv, sz or st, taken at MISFIT_POINTS
    order statistics. Times recorded in a decimal step (recording_step)
    count as anywhere within half a step. NaN for values the model does
    not allow."""
    values = _model_values(row)
    start, end = (0.0, math.inf) if rt_window is None else rt_window
    upper = np.asarray(choices, dtype=bool)
    signed = np.where(upper, rts, -rts)
    order = np.argsort(signed, kind="stable")
    n = len(rts)
    ranks = np.arange(n)
    if values["sv"] or values["sz"] or values["st"]:
        ranks = np.unique(np.linspace(0, n - 1, min(n, MISFIT_POINTS)).round().astype(np.int64))
    at_upper, at_rt = upper[order[ranks]], rts[order[ranks]]

    def later(times: np.ndarray, choice: bool) -> np.ndarray:
        return _mixture_after(times, choice, row, outlier_window, model, BOUNDS_REACH * float(rts.max()))

    try:
        lower_ends = later(np.array([start, end]), False)
        upper_ends = later(np.array([start, end]), True)
    except ValueError:
        return math.nan
    lower_kept = lower_ends[0] - lower_ends[1]
    upper_kept = upper_ends[0] - upper_ends[1]

    def signed_cdf(shift: float) -> np.ndarray:
        """The signed distribution function, within the window, at each
        trial's signed time moved up by `shift` (its own value included)."""
        times = np.clip(np.where(at_upper, at_rt + shift, at_rt - shift), start, end)
        own_after = np.empty(len(times))
        own_after[at_upper] = later(times[at_upper], True)
        own_after[~at_upper] = later(times[~at_upper], False)
        below = np.where(at_upper, lower_kept + upper_kept - (own_after - upper_ends[1]), own_after - lower_ends[1])
        return np.asarray(below / (lower_kept + upper_kept))

    # A time recorded in steps (whole ms, or 10 ms) stands for any within
    # half a step of it: the data's steps up and down are measured against
    # the model there, else thousands of trials rounded to 10 ms alone fail
    # the test.
    half = recording_step(rts) / 2
    try:
        after, before = signed_cdf(half), signed_cdf(-half) if half else None
    except ValueError:
        return math.nan
    before = after if before is None else before
    return max(float(np.max((ranks + 1) / n - after)), float(np.max(before - ranks / n)))


def estimate_flags(row: Mapping[str, Any], estimated: tuple[str, ...], fastest: float | None,
                   t0_bounded: bool) -> list[str]:
    """Flags of a fitted row's estimates (`estimated`: the parameters the
    fit estimates): values the model does not allow (the closed form's t0
    can be negative), values at or past the likelihood fits' search limits,
    and for a fit whose t0 search stops at the fastest response
    (`t0_bounded`; `fastest`, None for no trials) a shortest non-decision
    time there."""
    flags = []
    fitted = [p for p in PARAMETERS if p.fit_name in estimated]
    outside = [p.fit_name for p in fitted if _outside_range(p, row[p.fit_name])]
    if outside:
        flags.append(f"{OUTSIDE_RANGE} ({', '.join(outside)})")
    on_bound = [p.fit_name for p in fitted if p.search is not None and _near_search_bound(p, row[p.fit_name])]
    if on_bound:
        flags.append(f"{ON_BOUND} ({', '.join(on_bound)})")
    shortest = row["non_decision_time"] - (row.get("st", 0.0) or 0.0) / 2
    if t0_bounded and fastest is not None and shortest > fastest - T0_MARGIN:
        flags.append(T0_AT_FASTEST)
    return flags


def group_flags(method: str, model: str, choices: np.ndarray, rts: np.ndarray, row: Mapping[str, Any],
                t0_trials: np.ndarray | None = None, unplaced: bool | None = None,
                outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                rt_window: tuple[float, float] | None = None, p_outlier_free: bool = False) -> str:
    """The `warning` of a group's row: flags of its trials whatever the fit
    made of them, then, when it was fitted, of its estimates (`model`: a
    likelihood fit's). `t0_trials`: the response times that bound t0 when
    they are not this group's own (a joint fit's shared t0 lies below the
    fastest response of all its levels). `unplaced`: whether the
    boundary and start rest on trials of one response only, when that is
    not a question of this group's own trials (a joint fit's shared ones
    are placed by any level with both responses). `outlier_window`: the
    contaminants' (of a fit with p_outlier); `rt_window`: the window the
    trials were kept in (min_rt, max_rt), or None; `p_outlier_free`:
    whether a likelihood fit estimated p_outlier."""
    flags = []
    if len(rts) and float(np.median(rts)) > MS_MEDIAN:
        flags.append(LOOKS_LIKE_MS)
    elif len(rts) and float(np.median(rts)) < SECONDS_MEDIAN:
        flags.append(LOOKS_LIKE_SECONDS)
    if method != "ml":
        # The likelihood fits refuse these themselves.
        if len(rts) < MIN_TRIALS:
            flags.append(FEW_TRIALS)
        if len(rts) >= 2 and rts.min() == rts.max():
            flags.append(CONSTANT_RTS)
    # Contaminants in a likelihood fit already account for fast guesses
    # inside their window.
    contaminants = contaminated(method, row)
    fast = rts[rts < FAST_RT]
    lo, hi = outlier_window
    if len(fast) and not (contaminants and fast.min() >= lo and fast.max() <= hi):
        flags.append(FAST_RESPONSES)
    if row["error"]:
        return joined(flags)
    if method == "ez" and choices.all():
        flags.append(EDGE_CORRECTION)
    # EZ's edge correction above says as much for its fits.
    if method != "ez" and (one_response(choices) if unplaced is None else unplaced):
        flags.append(ONE_RESPONSE)
    # A likelihood search that ended on its iteration or work budget.
    converged = row.get("converged")
    if method == "ml" and converged is not None and not bool(converged):
        flags.append(NOT_CONVERGED)
    if method == "sim" and row["final_cost"] > SIM_COST_LIMIT:
        flags.append(MOMENTS_UNMATCHED)
    # Only the likelihood fits keep t0 below a limit; the moment fits' t0
    # often lies a few ms past the fastest of a clean sample.
    limit = t0_limit(rts if t0_trials is None else t0_trials, contaminants, outlier_window)
    if method != "ml":
        fitted = estimated(method)
    elif model in MODELS:
        fitted = ml_parameters(model, p_outlier_free)
    else:
        # A time-varying bound's fit searches drift and boundary (and a free
        # p_outlier) in the standard model's intervals; its bound's own
        # terms are limited by the solver, not by a search interval.
        fitted = ("drift_rate", "boundary_separation") + (("p_outlier",) if p_outlier_free else ())
    flags.extend(estimate_flags(row, fitted, limit, t0_bounded=method == "ml"))
    shortest = row["non_decision_time"] - (row.get("st", 0.0) or 0.0) / 2
    if method == "ml" and shortest < T0_MARGIN and T0_AT_FASTEST not in flags:
        flags.append(T0_AT_ZERO)
    if len(rts) and slowest_probability(rts, row, outlier_window, rt_window, model) < SLOW_ALPHA:
        flags.append(SLOW_RESPONSE)
    # Only a likelihood fit is the model closest to the trials' whole
    # distribution; the moment fits match a few moments (and a start of 0.5).
    if method == "ml" and len(rts):
        statistic = misfit_statistic(choices, rts, row, outlier_window, rt_window, model)
        if kolmogorov_p(statistic, len(rts)) < MISFIT_ALPHA:
            flags.append(MISFIT)
    return joined(flags)
