"""Type stubs for the compiled module ``_corvatel`` (re-exported by ``corvatel``)."""

from collections.abc import Mapping
from typing import Final, TypedDict

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__: list[str]

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
