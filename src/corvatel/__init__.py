"""Fast, exactly reproducible drift-diffusion model simulation and fitting.

``simulate`` draws batches of two-choice trials, reproducible bit for bit
from a seed whatever the number of threads; ``fit_ez`` recovers drift rate,
boundary separation and non-decision time in closed form (EZ-diffusion);
``fit_sim`` recovers them by a simulation-based Nelder-Mead search.
"""

from _corvatel import (
    CorvatelError,
    __version__,
    fit_ez,
    fit_sim,
    get_num_threads,
    set_num_threads,
    simulate,
)

__all__ = ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim", "set_num_threads", "get_num_threads"]
