"""Fast, exactly reproducible drift-diffusion model simulation and fitting.

``simulate`` draws batches of two-choice trials, reproducible bit for bit
from a seed whatever the number of threads; ``fit_ez`` recovers drift rate,
boundary separation and non-decision time in closed form (EZ-diffusion);
``fit_sim`` recovers them by a simulation-based Nelder-Mead search.

On tables of trials (pandas DataFrames): ``fit`` fits every group of a
table, ``simulate_data`` simulates a table from parameter sets, ``recover``
and ``recovery_summary`` run and summarise parameter-recovery studies;
``plot`` draws fit checks and recovery figures, ``datasets`` holds an
example table; ``fit_hierarchical`` fits participants and their group
together by Bayesian sampling (PyMC).
"""

import typing as _typing

from _corvatel import (
    CorvatelError,
    __version__,
    fit_ez,
    fit_sim,
    get_num_threads,
    set_num_threads,
    simulate,
    simulate_full,
)

from . import datasets, plot
from ._fitting import fit
from ._hierarchical import HierarchicalFit, fit_hierarchical
from ._recovery import recover, recovery_summary
from ._simdata import derive_seed, simulate_bounds, simulate_data
from .likelihood import bounds_logpdf, fit_ml, fit_ml_joint, wfpt_cdf, wfpt_logcdf, wfpt_logpdf, wfpt_logpdf_grad, wfpt_pdf

if _typing.TYPE_CHECKING:
    # The result dicts' types, for annotations.
    from _corvatel import FitResult as FitResult
    from _corvatel import InitialGuess as InitialGuess
    from _corvatel import ParamsDict as ParamsDict

__all__ = ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim", "set_num_threads", "get_num_threads",
           "fit", "simulate_data", "recover", "recovery_summary", "derive_seed", "datasets", "plot"]
__all__ += ["simulate_full", "wfpt_pdf", "wfpt_logpdf", "fit_ml", "fit_ml_joint"]
__all__ += ["wfpt_cdf", "wfpt_logcdf", "wfpt_logpdf_grad", "bounds_logpdf", "fit_hierarchical", "simulate_bounds"]
