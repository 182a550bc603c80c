"""corvatel against HSSM, the field's PyMC-based tool, on the same
simulated data in one run: effective samples per second of wall time
(smallest bulk ESS over every parameter of the posterior, divided by the
wall time of a fresh process that imports, builds the model, compiles and
samples), with R-hat, divergences and posterior means.

    python3 bench/compare_hssm.py --peer-python /path/to/venv/bin/python \\
        [--case single|hier|full|both] [--peer-samplers pymc,nutpie] [--out results.json]

HSSM needs Python 3.12 or later; install it in a venv of its own, only to
compare (never a dependency of corvatel):
    python3.12 -m venv /tmp/venv-hssm && /tmp/venv-hssm/bin/pip install hssm==0.5.0 nutpie

Cases:
- single: one participant, 1,000 trials (drift 1, boundary 1.5, start
  0.5, t0 0.3), drift, boundary, start and t0 free with the same priors in
  both (drift Normal(0, 2), boundary Gamma(4, rate 2) = the peer's a
  Gamma(4, rate 4), start Beta(5, 5), t0 Uniform(0, fastest response)),
  2 chains x (1,000 tune + 1,000 draws). corvatel runs cold (empty compile
  caches) and warm.
- hier: 14 participants x 285 trials, random intercepts for drift,
  boundary, start and t0, 2 chains x (500 + 500); each tool's default
  priors and sampler settings (corvatel.fit_hierarchical; the peer's
  `v ~ 1 + (1|participant_id)` and so on).
- full: as hier, with sv 0.6, sz 0.2 and st 0.1 in the simulation and
  one sv, sz and st for the group in both models (corvatel's
  model="full", sampled by NUTS; the peer's "full_ddm", whose likelihood
  has no gradient, so that PyMC samples it by slice sampling).
Both tools run their chains on 2 cores; no contaminants in either model.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
SINGLE = {"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3}
N_SINGLE = 1000
N_PARTICIPANTS, N_HIER = 14, 285


def simulate(case, path):
    import corvatel

    if case == "single":
        choices, rts, _ = corvatel.simulate_full(*SINGLE.values(), N_SINGLE, 1000)
        frame = pd.DataFrame({"rt": rts, "choice": choices.astype(int)})
    else:
        rng = np.random.default_rng(2026)
        sets = pd.DataFrame({
            "subject": np.arange(1, N_PARTICIPANTS + 1),
            "drift": rng.normal(1.0, 0.5, N_PARTICIPANTS),
            "boundary": np.exp(rng.normal(np.log(1.5), 0.2, N_PARTICIPANTS)),
            "start": 1.0 / (1.0 + np.exp(-rng.normal(0.0, 0.2, N_PARTICIPANTS))),
            "t0": rng.uniform(0.2, 0.35, N_PARTICIPANTS),
        })
        if case == "full":
            sets = sets.assign(sv=0.6, sz=0.2, st=0.1)
        frame = corvatel.simulate_data(sets, N_HIER, seed=7)[["subject", "rt", "choice"]]
        frame["choice"] = frame["choice"].astype(int)
    frame.to_csv(path, index=False)


def corvatel_side(path, case, draws, tune, chains, seed):
    """Runs in a fresh process: import, model, compile, sample."""
    started = time.perf_counter()
    import warnings

    warnings.simplefilter("ignore")
    import arviz as az

    import corvatel

    trials = pd.read_csv(path)
    if case == "single":
        import nutpie
        from bench_pymc import model as single_model  # the same model and priors

        compiled = nutpie.compile_pymc_model(single_model(trials[["rt", "choice"]].to_numpy(dtype=np.float64)),
                                             backend="numba")
        sample_start = time.perf_counter()
        idata = nutpie.sample(compiled, draws=draws, tune=tune, chains=chains, cores=chains, seed=seed,
                              progress_bar=False)
        posterior = idata.posterior
    else:
        sample_start = time.perf_counter()
        fit = corvatel.fit_hierarchical(trials, chains=chains, draws=draws, tune=tune, seed=seed,
                                        model="full" if case == "full" else "ddm")
        idata = fit.idata
        posterior = idata.posterior
    finished = time.perf_counter()
    ess, rhat = az.ess(posterior), az.rhat(posterior)
    return {
        "tool": f"corvatel {corvatel.__version__}", "sampler": "nutpie (numba)",
        "sampling_s": finished - sample_start, "wall_s": finished - started,
        "min_ess_bulk": min(float(ess[name].min()) for name in ess.data_vars),
        "worst_ess": min(ess.data_vars, key=lambda name: float(ess[name].min())),
        "max_r_hat": max(float(rhat[name].max()) for name in rhat.data_vars),
        "divergences": int(idata.sample_stats["diverging"].sum()),
        "means": {name: float(posterior[name].mean()) for name in posterior.data_vars if posterior[name].ndim == 2},
    }


def run_child(command, env=None):
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - started
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        return {"error": done.stderr[-2000:]}
    result = json.loads(lines[-1])
    result["process_s"] = elapsed
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peer-python", help="the Python of a venv with HSSM (3.12+); without it corvatel only")
    parser.add_argument("--case", choices=["single", "hier", "full", "both"], default="both",
                        help="both: single and hier")
    parser.add_argument("--peer-samplers", default="pymc,nutpie")
    parser.add_argument("--draws", type=int, help="kept draws per chain (default 1,000 single, 500 otherwise)")
    parser.add_argument("--tune", type=int, help="tuning draws per chain (default as --draws)")
    parser.add_argument("--skip", default="", help="runs to leave out, e.g. 'corvatel cold'")
    parser.add_argument("--out", type=Path)
    parser.add_argument("--side", help=argparse.SUPPRESS)  # internal: CSV,case,draws,tune,chains,seed
    args = parser.parse_args()
    if args.side:
        path, case, draws, tune, chains, seed = args.side.split(",")
        print(json.dumps(corvatel_side(path, case, int(draws), int(tune), int(chains), int(seed))))
        return

    results = []
    with tempfile.TemporaryDirectory() as scratch:
        for case in (["single", "hier"] if args.case == "both" else [args.case]):
            draws = args.draws or (1000 if case == "single" else 500)
            tune = args.tune or draws
            path = os.path.join(scratch, f"{case}.csv")
            simulate(case, path)
            side = f"{path},{case},{draws},{tune},2,1"
            cold = dict(os.environ, PYTENSOR_FLAGS=f"base_compiledir={scratch}/cold-{case}",
                        NUMBA_CACHE_DIR=f"{scratch}/numba-{case}")
            runs = [("corvatel cold", [sys.executable, __file__, "--side", side], cold),
                    ("corvatel warm", [sys.executable, __file__, "--side", side], cold)]
            if args.peer_python:
                for sampler in args.peer_samplers.split(","):
                    runs.append((f"HSSM {sampler}", [args.peer_python, str(HERE / "_hssm_side.py"), path, case,
                                                     sampler, str(draws), str(tune), "2", "1"], None))
            for label, command, env in [run for run in runs if run[0] not in args.skip.split(",")]:
                result = run_child(command, env)
                result.update(case=case, run=label)
                results.append(result)
                print(json.dumps(result), flush=True)
    print(f"\n{'case':7} {'run':15} {'wall s':>8} {'sampling s':>10} {'min ESS':>8} {'ESS/s':>7} {'R-hat':>6} "
          f"{'div':>4}  worst")
    for r in results:
        if "error" in r:
            print(f"{r['case']:7} {r['run']:15} failed: {r['error'][-300:]}")
            continue
        print(f"{r['case']:7} {r['run']:15} {r['process_s']:8.1f} {r['sampling_s']:10.1f} {r['min_ess_bulk']:8.0f} "
              f"{r['min_ess_bulk'] / r['process_s']:7.2f} {r['max_r_hat']:6.3f} {r['divergences']:4d}  {r['worst_ess']}")
    if args.out:
        args.out.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
