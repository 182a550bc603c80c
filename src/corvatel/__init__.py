"""Fast, exactly reproducible drift-diffusion model simulation and fitting.

``simulate`` draws batches of two-choice trials, reproducible bit for bit
from a seed whatever the number of threads; ``fit_ez`` recovers drift rate,
boundary separation and non-decision time in closed form (EZ-diffusion);
``fit_sim`` recovers them by a simulation-based Nelder-Mead search.
"""

from _corvatel import CorvatelError, __version__, fit_ez, fit_sim, simulate, simulate_full

from .likelihood import fit_ml, fit_ml_joint, wfpt_logpdf, wfpt_pdf

__all__ = ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim"]
__all__ += ["simulate_full", "wfpt_pdf", "wfpt_logpdf", "fit_ml", "fit_ml_joint"]
