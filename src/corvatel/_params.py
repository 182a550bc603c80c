"""The model's parameters as the core declares them (one table, read from
``_corvatel``): their names in simulation and in fit results, ranges and
their messages, defaults, and the fits that estimate them; among them the
contaminant mixture's share p_outlier, which no walk takes. The package's
parameter checks, result columns, ``true_*`` columns and command-line
options all come from here."""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np

import _corvatel

# The kinds of fit a parameter can be estimated by: the closed form, the
# simulation fit, and the likelihood fits' two models.
FIT_KINDS = ("ez", "sim", "ddm", "full")
MODELS = ("ddm", "full")


@dataclass(frozen=True)
class Parameter:
    name: str  # as simulate takes it and parameter tables name it: "drift"
    fit_name: str  # as fit results name it: "drift_rate"
    range: tuple[float, float, bool, bool]  # low, high, and whether each end belongs to it
    phrase: str  # the range in words: "positive"
    default: float | None  # None: required
    search: tuple[float, float, bool, bool] | None  # the likelihood fits' search interval
    fitted_by: tuple[str, ...]  # of FIT_KINDS
    variability: bool  # across-trial variability of the full model
    mixture: bool  # of the contaminant mixture: simulate takes it not, fits estimate it when asked

    @property
    def required(self) -> bool:
        return self.default is None

    @property
    def true_column(self) -> str:
        return f"true_{self.fit_name}"

    def refusal(self, value: float) -> str | None:
        """Why `value` is not allowed, as the core says it ("must be in
        [0, 1)", "must be finite"), or None: its range, then finiteness."""
        lo, hi, lo_closed, hi_closed = self.range
        above = value >= lo if lo_closed else value > lo
        below = value <= hi if hi_closed else value < hi
        if not (above and below):
            return f"must be {self.phrase}"
        if not np.isfinite(value):
            return "must be finite"
        return None

    @property
    def option(self) -> str:
        """The command-line option: "--noise-sd"."""
        return "--" + self.name.replace("_", "-")


PARAMETERS: tuple[Parameter, ...] = tuple(Parameter(**row) for row in _corvatel.parameters())
BY_NAME = {p.name: p for p in PARAMETERS}
BY_FIT_NAME = {p.fit_name: p for p in PARAMETERS}

# The five of a walk (simulate's), the full model's variabilities, and the
# contaminant mixture's share (p_outlier).
WALK_NAMES = tuple(p.name for p in PARAMETERS if not p.variability and not p.mixture)
VARIABILITY_NAMES = tuple(p.name for p in PARAMETERS if p.variability)
MIXTURE_NAMES = tuple(p.name for p in PARAMETERS if p.mixture)
REQUIRED_NAMES = tuple(p.name for p in PARAMETERS if p.required)

# The parameter columns of every fit, in the order the tables give them:
# those that every fit estimates, then those some fix.
PARAM_COLUMNS = (tuple(p.fit_name for p in PARAMETERS if p.name in WALK_NAMES and "ez" in p.fitted_by)
                 + tuple(p.fit_name for p in PARAMETERS if p.name in WALK_NAMES and "ez" not in p.fitted_by))
# What a likelihood fit reports besides: the variabilities (0 under "ddm"),
# and p_outlier (its fixed value unless estimated).
ML_PARAM_COLUMNS = (PARAM_COLUMNS + tuple(p.fit_name for p in PARAMETERS if p.variability)
                    + tuple(p.fit_name for p in PARAMETERS if p.mixture))


def estimated(kind: str) -> tuple[str, ...]:
    """The fit names of the parameters that a fit kind estimates, in table order."""
    return tuple(p.fit_name for p in PARAMETERS if kind in p.fitted_by)


# Estimated by every fit; estimated by some (starting point, variabilities).
ALWAYS_ESTIMATED = tuple(p.fit_name for p in PARAMETERS if set(FIT_KINDS) <= set(p.fitted_by))
SOMETIMES_ESTIMATED = tuple(p.fit_name for p in PARAMETERS
                            if p.fitted_by and p.fit_name not in ALWAYS_ESTIMATED)

# A fit_sim guess needs the parameters fit_sim estimates; it may give the rest.
GUESS_REQUIRED = estimated("sim")
GUESS_OPTIONAL = tuple(p.fit_name for p in PARAMETERS if p.name in WALK_NAMES and p.fit_name not in GUESS_REQUIRED)


def ml_parameters(model: str, p_outlier_free: bool = False) -> tuple[str, ...]:
    """The parameters a likelihood fit of `model` estimates (p_outlier only
    when it is free)."""
    return tuple(name for name in estimated(model) if p_outlier_free or not BY_FIT_NAME[name].mixture)


def _given_truth(p: Parameter, kinds: tuple[str, ...], given: Any) -> bool:
    """Whether a recovery study has p's true column: a walk parameter when
    any of `kinds` estimates it; a variability when the parameters give it;
    p_outlier when they give it and a likelihood fit is among `kinds`."""
    if p.variability:
        return p.name in given
    if p.mixture:
        return p.name in given and bool(set(kinds) & set(p.fitted_by))
    return bool(set(kinds) & set(p.fitted_by))


def true_columns(kinds: tuple[str, ...], given: tuple[str, ...]) -> tuple[str, ...]:
    """The true_* columns of a recovery study: the parameters that any of
    `kinds` estimates, then the variabilities (and p_outlier) that the
    study's parameters give."""
    return tuple(p.true_column for p in PARAMETERS if _given_truth(p, kinds, given))


@dataclass(frozen=True)
class RangeError:
    """The first rule that rows of parameters break: the parameter at fault,
    the rule in words ("must be positive"), and the rows that break it."""

    name: str
    wanted: str
    rows: np.ndarray


def range_error(columns: Mapping[str, np.ndarray],
                use: Literal["simulation", "density"] = "simulation") -> RangeError | None:
    """The first rule (in the core's order) that any row of the parameter
    columns breaks, or None; absent parameters take their defaults."""
    codes, messages = _corvatel.check_params({k: np.ascontiguousarray(v, dtype=np.float64)
                                              for k, v in columns.items()}, use)
    broken = codes >= 0
    if not broken.any():
        return None
    first = int(codes[broken].min())
    name, message = messages[first]
    # The core's messages begin with the argument's name.
    return RangeError(name, message[len(name) + 1:], codes == first)


# Parameters in units of the noise: the fits take noise_sd as 1, so a set
# simulated with another noise_sd is recovered as these divided by it.
NOISE_SCALED = ("drift", "boundary", "sv")


def true_values(row: Mapping[Hashable, Any], kinds: tuple[str, ...]) -> dict[str, float]:
    """A parameter set under its true_* names (with the variabilities it
    gives), on the fits' scale (noise_sd 1)."""
    noise_sd = float(row.get("noise_sd", 1.0))
    return {p.true_column: float(row[p.name]) / noise_sd if p.name in NOISE_SCALED else float(row[p.name])
            for p in PARAMETERS if _given_truth(p, kinds, row)}
