"""PyMC with corvatel.pymc.DDM: one participant, 1,000 simulated trials
(drift 1, boundary 1.5, start 0.5, t0 0.3), four free parameters.

    python3 bench/bench_pymc.py [--reps 200] [--cores 1] [--skip-nutpie]

1. The cost of one logp+dlogp call of the compiled model (what NUTS calls
   at every leapfrog step) against the bare core call it makes
   (``_corvatel.wfpt_logpdf_grad``) and the public ``wfpt_logpdf_grad``:
   wall time, the minimum over blocks of calls.
2. PyMC's NUTS, 2 chains x (1,000 tune + 1,000 draws), in a child process
   with an empty PyTensor compile cache (cold) and again with the cache it
   left (warm): wall time of the whole child (import, model, compile,
   sampling), PyMC's sampling time, the smallest bulk ESS of the four
   parameters and ESS per second of sampling and of wall time.
3. nutpie on the same model (its numba backend, where the Op is compiled
   code calling the core): the same figures, or why it failed.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import timeit
import warnings
from pathlib import Path

import numpy as np

warnings.simplefilter("ignore", FutureWarning)  # ArviZ's refactor notice

N_TRIALS = 1000
TRUTH = {"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3}
NAMES = tuple(TRUTH)


def data():
    import corvatel

    choices, rts, _ = corvatel.simulate_full(*TRUTH.values(), N_TRIALS, 1000)
    return np.column_stack([rts, choices])


def model(observed):
    import pymc as pm

    from corvatel.pymc import DDM

    with pm.Model() as m:
        drift = pm.Normal("drift", 0.0, 2.0)
        boundary = pm.Gamma("boundary", 4.0, 2.0)
        start = pm.Beta("start", 5.0, 5.0)
        t0 = pm.Uniform("t0", 0.0, float(observed[:, 0].min()))
        DDM("obs", drift=drift, boundary=boundary, start=start, t0=t0, observed=observed)
    return m


def per_call(reps):
    import _corvatel

    import corvatel

    observed = data()
    m = model(observed)
    function = m.logp_dlogp_function(ravel_inputs=True)
    function.set_extra_values({})
    point = m.initial_point()
    x = np.concatenate([np.atleast_1d(point[v.name]).ravel() for v in function._grad_vars])
    rts, upper = np.ascontiguousarray(observed[:, 0]), observed[:, 1] == 1.0
    calls = {
        "model logp+dlogp": lambda: function(x),
        "wfpt_logpdf_grad": lambda: corvatel.wfpt_logpdf_grad(rts, upper, 1.0, 1.5, 0.5, 0.3),
        "_corvatel.wfpt_logpdf_grad": lambda: _corvatel.wfpt_logpdf_grad(
            rts, upper, 1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.0, p_outlier=0.0, outlier_window=(0.0, 5.0)),
    }
    return {name: min(timeit.repeat(call, number=reps, repeat=7)) / reps for name, call in calls.items()}


def nuts(cores):
    """Run in a child: the whole job from import, timed."""
    start = time.perf_counter()
    import arviz as az
    import pymc as pm

    m = model(data())
    with m:
        idata = pm.sample(draws=1000, tune=1000, chains=2, cores=cores, random_seed=2024, progressbar=False,
                          compute_convergence_checks=False)
    wall = time.perf_counter() - start
    ess = az.ess(idata, var_names=list(NAMES), method="bulk")
    sampling = float(idata.posterior.attrs["sampling_time"])
    smallest = min(float(ess[name]) for name in NAMES)
    return {"wall_s": wall, "sampling_s": sampling, "min_bulk_ess": smallest,
            "ess_per_s_sampling": smallest / sampling, "ess_per_s_wall": smallest / wall,
            "divergences": int(idata.sample_stats["diverging"].sum()),
            "means": {name: float(idata.posterior[name].mean()) for name in NAMES}}


def nutpie_run():
    start = time.perf_counter()
    import arviz as az
    import nutpie

    m = model(data())
    try:
        compiled = nutpie.compile_pymc_model(m, backend="numba")
        compile_s = time.perf_counter() - start
        idata = nutpie.sample(compiled, draws=1000, tune=1000, chains=2, seed=2024, progress_bar=False)
    except Exception as error:  # report whatever stops it
        return {"error": f"{type(error).__name__}: {error}"[:500]}
    wall = time.perf_counter() - start
    ess = az.ess(idata, var_names=list(NAMES), method="bulk")
    smallest = min(float(ess[name]) for name in NAMES)
    return {"wall_s": wall, "compile_s": compile_s, "sampling_s": wall - compile_s, "min_bulk_ess": smallest,
            "ess_per_s_wall": smallest / wall,
            "divergences": int(idata.sample_stats["diverging"].sum()),
            "means": {name: float(idata.posterior[name].mean()) for name in NAMES}}


def child(function, *args, compiledir):
    env = dict(os.environ, PYTENSOR_FLAGS=f"compiledir={compiledir}")
    code = (f"import sys, json, warnings; warnings.simplefilter('ignore'); "
            f"sys.path.insert(0, {str(Path(__file__).parent)!r}); "
            f"import bench_pymc as b; print(json.dumps(b.{function}(*{args!r})))")
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=200)
    parser.add_argument("--cores", type=int, default=1, help="PyMC's processes for the 2 chains")
    parser.add_argument("--skip-nutpie", action="store_true")
    args = parser.parse_args()

    print(f"one logp+dlogp of {N_TRIALS} trials (wall, minimum over 7 blocks of {args.reps}):")
    times = per_call(args.reps)
    bare = times["_corvatel.wfpt_logpdf_grad"]
    for name, seconds in times.items():
        print(f"  {name:30s} {seconds * 1e6:8.1f} us  ({seconds / bare:.2f} x the bare core call)")

    with tempfile.TemporaryDirectory() as compiledir:
        for label in ("cold", "warm"):
            result = child("nuts", args.cores, compiledir=compiledir)
            print(f"PyMC NUTS, {label} compile cache: {json.dumps(result)}")
        if not args.skip_nutpie:
            try:
                import nutpie  # noqa: F401
            except ImportError:
                print("nutpie: not installed")
            else:
                print(f"nutpie (numba backend): {json.dumps(child('nutpie_run', compiledir=compiledir))}")


if __name__ == "__main__":
    main()
