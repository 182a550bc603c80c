"""Type stubs for the compiled module ``_corvatel`` (re-exported by ``corvatel``)."""

from collections.abc import Mapping, Sequence
from typing import Final, Literal, TypedDict

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__: list[str]
# fit_sim's cost of a point it cannot simulate (not listed in __all__).
SIM_INVALID_COST: Final[float]

class CorvatelError(ValueError):
    """Raised when parameter recovery fails on bad or degenerate input data."""

class ParamsDict(TypedDict):
    drift_rate: float
    boundary_separation: float
    starting_point: float
    non_decision_time: float
    noise_sd: float

class _InitialGuessRequired(TypedDict):
    drift_rate: float
    boundary_separation: float
    non_decision_time: float

class InitialGuess(_InitialGuessRequired, total=False):
    starting_point: float
    noise_sd: float

class FitResult(ParamsDict):
    iterations: int
    final_cost: float

def simulate(
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    n: int,
    seed: int,
    noise_sd: float = 1.0,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]: ...
def fit_ez(choices: npt.NDArray[np.bool_], rts: npt.NDArray[np.float64]) -> ParamsDict: ...
def fit_sim(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    initial_guess: InitialGuess | ParamsDict | Mapping[str, float] | None = None,
    max_iters: int = 200,
) -> FitResult: ...
def set_num_threads(k: int) -> None: ...
def get_num_threads() -> int: ...

_FloatArg = float | npt.NDArray[np.float64]

def simulate_full(
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    n: int,
    seed: int,
    noise_sd: float = 1.0,
    sv: float = 0.0,
    sz: float = 0.0,
    st: float = 0.0,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]: ...
def wfpt_pdf(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
    *,
    p_outlier: _FloatArg = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
) -> npt.NDArray[np.float64]: ...
def wfpt_cdf(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
) -> npt.NDArray[np.float64]: ...
def wfpt_logcdf(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
) -> npt.NDArray[np.float64]: ...
def wfpt_cdf_complement(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
) -> npt.NDArray[np.float64]: ...
def wfpt_logcdf_complement(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
) -> npt.NDArray[np.float64]: ...
def _memory_allows(count: int, bytes_each: int) -> bool: ...
def wfpt_logpdf(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
    *,
    p_outlier: _FloatArg = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
) -> npt.NDArray[np.float64]: ...

def wfpt_logpdf_grad(
    rt: _FloatArg,
    choice: bool | npt.NDArray[np.bool_],
    drift: _FloatArg,
    boundary: _FloatArg,
    start: _FloatArg,
    t0: _FloatArg,
    noise_sd: _FloatArg = 1.0,
    sv: _FloatArg = 0.0,
    sz: _FloatArg = 0.0,
    st: _FloatArg = 0.0,
    *,
    p_outlier: _FloatArg = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

class MlParams(TypedDict):
    drift_rate: float
    boundary_separation: float
    starting_point: float
    non_decision_time: float
    sv: float
    sz: float
    st: float
    p_outlier: float
    noise_sd: float

class MlFitResult(TypedDict):
    params: list[MlParams]
    converged: bool
    iterations: int
    log_likelihood: float
    n_params: int
    aic: float
    bic: float

def fit_ml(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    model: Literal["ddm", "full"] = "ddm",
    p_outlier: float | Literal["free"] = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
    rt_window: tuple[float, float] | None = None,
) -> MlFitResult: ...
def fit_ml_joint(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    level_sizes: Sequence[int],
    model: Literal["ddm", "full"],
    depends_on: Sequence[str],
    p_outlier: float | Literal["free"] = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
    rt_window: tuple[float, float] | None = None,
) -> MlFitResult: ...

class BoundsFitResult(TypedDict):
    params: dict[str, float]
    converged: bool
    iterations: int
    log_likelihood: float
    n_params: int
    aic: float
    bic: float

Bound = Literal["constant", "angle", "weibull", "exponential", "hyperbolic"]

def simulate_bounds(
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    n: int,
    seed: int,
    bound: Bound = "constant",
    theta: float = 0.0,
    shape: float = 1.0,
    scale: float = 1.0,
    rate: float = 0.0,
    leak: float = 0.0,
    urgency: float = 0.0,
    noise_sd: float = 1.0,
    sv: float = 0.0,
    sz: float = 0.0,
    st: float = 0.0,
    dt: float = 0.001,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]: ...
def bounds_logpdf(
    rt: npt.NDArray[np.float64],
    choice: npt.NDArray[np.bool_],
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    bound: Bound = "constant",
    theta: float = 0.0,
    shape: float = 1.0,
    scale: float = 1.0,
    rate: float = 0.0,
    leak: float = 0.0,
    urgency: float = 0.0,
    noise_sd: float = 1.0,
    sz: float = 0.0,
    st: float = 0.0,
    resolution: float | None = None,
) -> npt.NDArray[np.float64]: ...
def fit_bounds_ml(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    bound: Bound = "constant",
    leak: bool = False,
    urgency: bool = False,
    start: float | None = 0.5,
    p_outlier: float | Literal["free"] = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
    rt_window: tuple[float, float] | None = None,
) -> BoundsFitResult: ...

class BoundsJointFitResult(TypedDict):
    params: list[dict[str, float]]
    converged: bool
    iterations: int
    log_likelihood: float
    n_params: int
    aic: float
    bic: float

def fit_bounds_ml_joint(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    level_sizes: Sequence[int],
    bound: Bound = "constant",
    leak: bool = False,
    urgency: bool = False,
    start: float | None = 0.5,
    depends_on: Sequence[str] = (),
    p_outlier: float | Literal["free"] = 0.0,
    outlier_window: tuple[float, float] = (0.0, 5.0),
    rt_window: tuple[float, float] | None = None,
) -> BoundsJointFitResult: ...

class _Parameter(TypedDict):
    name: str
    fit_name: str
    range: tuple[float, float, bool, bool]
    phrase: str
    default: float | None
    search: tuple[float, float, bool, bool] | None
    fitted_by: tuple[str, ...]
    variability: bool
    mixture: bool

def parameters() -> tuple[_Parameter, ...]: ...

class _BoundTerm(TypedDict):
    name: str
    range: tuple[float, float, bool, bool]
    phrase: str
    bounds: tuple[str, ...]

def bound_terms() -> tuple[_BoundTerm, ...]: ...
def check_outlier_window(outlier_window: tuple[float, float]) -> None: ...
def check_params(
    columns: Mapping[str, npt.NDArray[np.float64]], use: Literal["simulation", "density"] = "simulation"
) -> tuple[npt.NDArray[np.int64], dict[int, tuple[str, str]]]: ...

class _SummaryStats(TypedDict):
    n_valid: int
    n_upper: int
    accuracy: float
    mean_rt: float
    var_rt: float

def summary_stats(choices: npt.NDArray[np.bool_], rts: npt.NDArray[np.float64]) -> _SummaryStats: ...
def information_criteria(log_likelihood: float, n_params: int, n_trials: int) -> tuple[float, float]: ...
