"""The model's parameters as the core declares them (one table, read from
``_corvatel``): their names in simulation and in fit results, ranges and
their messages, defaults, and the fits that estimate them. The package's
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

    @property
    def required(self) -> bool:
        return self.default is None

    @property
    def true_column(self) -> str:
        return f"true_{self.fit_name}"

    @property
    def option(self) -> str:
        """The command-line option: "--noise-sd"."""
        return "--" + self.name.replace("_", "-")


PARAMETERS: tuple[Parameter, ...] = tuple(Parameter(**row) for row in _corvatel.parameters())
BY_NAME = {p.name: p for p in PARAMETERS}
BY_FIT_NAME = {p.fit_name: p for p in PARAMETERS}

# The five of a walk (simulate's), and the full model's variabilities.
WALK_NAMES = tuple(p.name for p in PARAMETERS if not p.variability)
VARIABILITY_NAMES = tuple(p.name for p in PARAMETERS if p.variability)
REQUIRED_NAMES = tuple(p.name for p in PARAMETERS if p.required)

# The parameter columns of every fit, in the order the tables give them:
# those that every fit estimates, then those some fix.
PARAM_COLUMNS = (tuple(p.fit_name for p in PARAMETERS if not p.variability and "ez" in p.fitted_by)
                 + tuple(p.fit_name for p in PARAMETERS if not p.variability and "ez" not in p.fitted_by))
# What a likelihood fit reports besides: the variabilities (0 under "ddm").
ML_PARAM_COLUMNS = PARAM_COLUMNS + tuple(p.fit_name for p in PARAMETERS if p.variability)


def estimated(kind: str) -> tuple[str, ...]:
    """The fit names of the parameters that a fit kind estimates, in table order."""
    return tuple(p.fit_name for p in PARAMETERS if kind in p.fitted_by)


# Estimated by every fit; estimated by some (starting point, variabilities).
ALWAYS_ESTIMATED = tuple(p.fit_name for p in PARAMETERS if set(FIT_KINDS) <= set(p.fitted_by))
SOMETIMES_ESTIMATED = tuple(p.fit_name for p in PARAMETERS
                            if p.fitted_by and p.fit_name not in ALWAYS_ESTIMATED)

# A fit_sim guess needs the parameters fit_sim estimates; it may give the rest.
GUESS_REQUIRED = estimated("sim")
GUESS_OPTIONAL = tuple(p.fit_name for p in PARAMETERS if not p.variability and p.fit_name not in GUESS_REQUIRED)


def ml_parameters(model: str) -> tuple[str, ...]:
    """The parameters a likelihood fit of `model` estimates."""
    return estimated(model)


def true_columns(kinds: tuple[str, ...], variabilities: tuple[str, ...]) -> tuple[str, ...]:
    """The true_* columns of a recovery study: the parameters that any of
    `kinds` estimates, then the variabilities the study's parameters give."""
    return (tuple(p.true_column for p in PARAMETERS if not p.variability and set(kinds) & set(p.fitted_by))
            + tuple(BY_NAME[name].true_column for name in VARIABILITY_NAMES if name in variabilities))


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


def true_values(row: Mapping[Hashable, Any], kinds: tuple[str, ...]) -> dict[str, float]:
    """A parameter set under its true_* names (with the variabilities it gives)."""
    return {p.true_column: float(row[p.name]) for p in PARAMETERS
            if (not p.variability and set(kinds) & set(p.fitted_by)) or (p.variability and p.name in row)}
