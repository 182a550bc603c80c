"""The peer's half of bench/compare_hssm.py, run by the peer's own Python
(HSSM needs 3.12 or later): fits a CSV of trials and prints one JSON line
of timings, the smallest bulk ESS, the largest R-hat, divergences and
posterior means. Not part of corvatel; the peer is installed only beside
the benchmark, never as a dependency.

    python _hssm_side.py TRIALS.csv single|hier|full SAMPLER DRAWS TUNE CHAINS SEED
"""

import json
import sys
import time
import warnings

started = time.perf_counter()
warnings.simplefilter("ignore")

import arviz as az  # noqa: E402
import hssm  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

path, kind, sampler, draws, tune, chains, seed = sys.argv[1:8]
trials = pd.read_csv(path)
data = pd.DataFrame({"rt": trials["rt"], "response": np.where(trials["choice"] == 1, 1, -1)})
if kind in ("hier", "full"):
    data["participant_id"] = trials["subject"].astype(str)
    include = [{"name": name, "formula": f"{name} ~ 1 + (1|participant_id)"} for name in ("v", "a", "z", "t")]
else:
    # The priors of corvatel's single-participant model; the peer's a is
    # half of corvatel's boundary, so Gamma(4, rate 2) on the boundary is
    # Gamma(4, rate 4) on a.
    fastest = float(data["rt"].min())
    include = [
        {"name": "v", "prior": {"name": "Normal", "mu": 0.0, "sigma": 2.0}},
        {"name": "a", "prior": {"name": "Gamma", "alpha": 4.0, "beta": 4.0}},
        {"name": "z", "prior": {"name": "Beta", "alpha": 5.0, "beta": 5.0}},
        {"name": "t", "prior": {"name": "Uniform", "lower": 0.0, "upper": fastest}},
    ]
built = time.perf_counter()
model = hssm.HSSM(data=data, model="full_ddm" if kind == "full" else "ddm", include=include, p_outlier=None,
                  lapse=None)
sample_start = time.perf_counter()
idata = model.sample(sampler=sampler, draws=int(draws), tune=int(tune), chains=int(chains), cores=int(chains),
                     random_seed=int(seed), progressbar=False)
finished = time.perf_counter()
posterior = idata.posterior if hasattr(idata, "posterior") else idata["posterior"]
names = [name for name in posterior.data_vars if not name.endswith("_mean") or name in ("v", "a", "z", "t")]
ess = az.ess(posterior)
rhat = az.rhat(posterior)
sample_stats = idata.sample_stats if hasattr(idata, "sample_stats") else idata["sample_stats"]
means = {name: float(posterior[name].mean()) for name in posterior.data_vars if posterior[name].ndim == 2}
print(json.dumps({
    "tool": f"HSSM {hssm.__version__}", "sampler": sampler,
    "import_s": built - started, "model_s": sample_start - built, "sampling_s": finished - sample_start,
    "wall_s": finished - started,
    "min_ess_bulk": min(float(ess[name].min()) for name in ess.data_vars),
    "worst_ess": min(ess.data_vars, key=lambda name: float(ess[name].min())),
    "max_r_hat": max(float(rhat[name].max()) for name in rhat.data_vars),
    "divergences": int(sample_stats["diverging"].sum()),
    "means": means,
}))
