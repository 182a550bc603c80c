"""Simulation-based calibration (Talts et al., 2018) of fit_hierarchical:
does the posterior of each group-level parameter cover the truth as often
as it claims, over data drawn from the model's own priors?

    python3 bench/sbc_hierarchical.py [--reps 100] [--jobs 1] [--participants 5] [--trials 80]
        [--chains 2] [--tune 500] [--draws 500] [--rank-draws 99] [--bins 10] [--seed 2018]
        [--results sbc_hierarchical.jsonl] [--json sbc_hierarchical.json] [--figure docs/sbc.png]

Replication r, from seeds derived from (--seed, r) alone, so that any
replication can be rerun on its own:
1. the group-level parameters from the priors of fit_hierarchical's
   docstring (``PRIORS``, ``draw_group``), the participants' deviations
   z ~ Normal(0, 1) and through the model's links their drift, boundary,
   start and t0 share s = sigmoid(mu_t0 + sd_t0 z);
2. each participant's trials: decision times by the Euler walk of
   ``simulate_bounds`` at dt = 0.1 ms (its boundaries act about 0.006
   further out each: 0.8% of the prior's median separation 1.5, 3% of
   its 2.5% quantile 0.37; the 1 ms walk of ``simulate`` would be 3.2
   times that) with t0 = 0; m, the fastest
   decision time; t0 = s m / (1 - s), added to every decision time, so
   that t0 / (fastest response) = s as the model's link has it. Trials
   still walking after 10 s are dropped (counted in ``n_excluded``; a
   truncation the likelihood does not know of);
3. fit_hierarchical (--chains x (--tune + --draws), its seed derived too;
   a fit that raises is recorded with its error, left out of the ranks
   and listed by the summary);
4. each group-level parameter's draws (chains joined) thinned to L =
   --rank-draws draws at evenly spaced positions, and the rank of the true
   value among them (0..L). Evenly spaced draws are roughly independent
   when the bulk ESS is at least L; replications where it is not are
   counted (``low_ess``), not dropped, since dropping them would select
   on the data.

The ranks of each parameter are uniform on 0..L when the fit's posterior
is the exact posterior of this generative model. They are tested by a
chi-square test over --bins equal bins of ranks, at a family-wise
false-alarm rate of 1% shared by Bonferroni over the group-level
parameters (0.125% each of 8).

The t0 link: the fit takes each participant's fastest response as a
fixed number, but here it is drawn with the rest. The map from the
decision times to the response times, rt_i = d_i + s m / (1 - s), has
Jacobian determinant (1 - s), so the likelihood of the response times is
the plain one times (1 - s_j) for each participant: fit_hierarchical has
that factor (a Potential), and with it this generative model is the fit's
exactly. Without it the posterior leans towards larger shares: a study of
99 replications before the factor was there rejected mu_t0 (p = 0.0004,
mean normalised rank 0.35). Each replication still measures what the
factor does: ``jacobian_shift`` is how far reweighting the fit's draws by
1 / prod_j (1 - s_j) (the posterior without it) moves each group
variable's posterior mean, in posterior sds (the summary's last column
averages it), and the reweighted draws' CDF at the truth
(``reweighted_cdf``) gets the chi-square test too (the summary's "p,
reweighted", which should reject for mu_t0).

Results are appended to --results as JSON lines as replications finish
(its first line holds the settings); a rerun with the same settings skips
the replications already there, so an interrupted study resumes. --jobs
runs replications in that many processes (one core each: fits are
single-threaded). The summary (chi-square per parameter, every rank) goes
to --json, the rank histograms with the 99% band of a uniform histogram
to --figure.
"""

import argparse
import json
import logging
import math
import os
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor, as_completed
from multiprocessing import get_context
from pathlib import Path

import numpy as np
import pandas as pd

warnings.simplefilter("ignore", FutureWarning)  # ArviZ's refactor notice

# fit_hierarchical's docstring priors: ("normal", mean, sd) or
# ("halfnormal", scale), in its summary's order.
PRIORS = {
    "mu_drift": ("normal", 0.0, 2.0), "sd_drift": ("halfnormal", 1.0),
    "mu_logb": ("normal", math.log(1.5), 0.5), "sd_logb": ("halfnormal", 0.5),
    "mu_start": ("normal", 0.0, 0.5), "sd_start": ("halfnormal", 0.3),
    "mu_t0": ("normal", 0.0, 1.5), "sd_t0": ("halfnormal", 0.5),
}
# The Euler step of the simulated walks, seconds.
DT = 1e-4
FAMILY_ALPHA = 0.01


def group_variables():
    """The group-level variables of fit_hierarchical, which must be those
    this study draws."""
    from corvatel._hierarchical import GROUP_VARIABLES

    if set(GROUP_VARIABLES) != set(PRIORS):
        raise RuntimeError(f"fit_hierarchical's group variables {GROUP_VARIABLES} are not this study's "
                           f"{tuple(PRIORS)}")
    return tuple(GROUP_VARIABLES)


def draw_group(rng, names=tuple(PRIORS)):
    """One draw of the named group-level variables from their priors."""
    group = {}
    for name in names:
        kind, *args = PRIORS[name]
        if kind == "normal":
            group[name] = float(rng.normal(args[0], args[1]))
        else:
            group[name] = float(abs(rng.normal(0.0, args[0])))
    return group


def sigmoid(x):
    return 1.0 / (1.0 + np.exp(-x))


def draw_participants(rng, group, n):
    """The participants' drift, boundary, start and t0 share through the
    model's links, z ~ Normal(0, 1) per participant and parameter."""
    z = rng.normal(size=(4, n))
    return pd.DataFrame({
        "subject": np.arange(n),
        "drift": group["mu_drift"] + group["sd_drift"] * z[0],
        "boundary": np.exp(group["mu_logb"] + group["sd_logb"] * z[1]),
        "start": sigmoid(group["mu_start"] + group["sd_start"] * z[2]),
        "share": sigmoid(group["mu_t0"] + group["sd_t0"] * z[3]),
    })


def simulate_trials(participants, n_trials, seed):
    """The participants' trials (subject, choice, rt) and the number of
    trials dropped at the 10 s cap; t0_j = s_j m_j / (1 - s_j), m_j the
    fastest decision time. Adds a t0 column to `participants`."""
    import corvatel

    frames, excluded, t0s = [], 0, []
    seeds = np.random.SeedSequence(seed).generate_state(len(participants), np.uint32)
    for row, walk_seed in zip(participants.itertuples(), seeds):
        choices, decisions, dropped = corvatel.simulate_bounds(
            n_trials, row.drift, row.boundary, row.start, 0.0, bound="constant", seed=int(walk_seed), dt=DT)
        excluded += int(dropped)
        if len(decisions) == 0:
            raise RuntimeError(f"participant {row.subject}: every trial hit the 10 s cap")
        t0 = row.share * decisions.min() / (1.0 - row.share)
        t0s.append(t0)
        frames.append(pd.DataFrame({"subject": row.subject, "choice": choices, "rt": decisions + t0}))
    participants["t0"] = t0s
    return pd.concat(frames, ignore_index=True), excluded


def thin(draws, n_keep):
    """n_keep draws at evenly spaced positions of the chains joined
    (draws: chains x draws)."""
    flat = np.asarray(draws).reshape(-1)
    if len(flat) < n_keep:
        raise ValueError(f"rank draws {n_keep} exceed the {len(flat)} posterior draws")
    return flat[np.round(np.linspace(0, len(flat) - 1, n_keep)).astype(np.int64)]


def rank_of(truth, draws):
    """How many of the draws lie below the truth (0..len(draws))."""
    return int(np.sum(np.asarray(draws) < truth))


def rank_bins(ranks, n_draws, bins):
    """Counts of ranks (0..n_draws) in `bins` equal bins; n_draws + 1 must
    be a multiple of bins, so that each bin holds as many ranks."""
    if (n_draws + 1) % bins:
        raise ValueError(f"bins {bins} must divide rank-draws + 1 = {n_draws + 1}")
    ranks = np.asarray(ranks)
    if ranks.size and (ranks.min() < 0 or ranks.max() > n_draws):
        raise ValueError(f"ranks must lie in 0..{n_draws}")
    return np.bincount(ranks // ((n_draws + 1) // bins), minlength=bins)


def uniformity(ranks, n_draws, bins):
    """(counts, chi-square statistic, p-value) of the ranks against the
    uniform distribution over `bins` bins."""
    from scipy import stats

    counts = rank_bins(ranks, n_draws, bins)
    expected = len(ranks) / bins
    statistic = float(((counts - expected) ** 2 / expected).sum())
    return counts, statistic, float(stats.chi2.sf(statistic, bins - 1))


def pit_uniformity(values, bins):
    """uniformity() of values in [0, 1] (posterior CDFs at the truth)."""
    values = np.asarray(values, dtype=float)
    bins_of = np.minimum((values * bins).astype(np.int64), bins - 1)
    return uniformity(bins_of, bins - 1, bins)


def simulate_replication(rep, settings):
    """Replication rep's truths (group variables, participants), trials,
    number of trials dropped and the fit's seed, all from (seed, rep)."""
    data_seed, fit_seed = np.random.SeedSequence(settings["seed"], spawn_key=(rep,)).generate_state(2, np.uint32)
    rng = np.random.default_rng(int(data_seed))
    group = draw_group(rng, group_variables())
    participants = draw_participants(rng, group, settings["participants"])
    data, excluded = simulate_trials(participants, settings["trials"], int(rng.integers(2**32)))
    return group, participants, data, excluded, int(fit_seed)


def replicate(rep, settings):
    """One replication: truths, ranks and the sampler's diagnostics."""
    import arviz as az
    import pymc  # noqa: F401  (before quieting its logger: importing it sets the level)

    import corvatel

    logging.getLogger("pymc").setLevel(logging.ERROR)  # its progress notes, per fit
    started = time.perf_counter()
    names = group_variables()
    try:
        group, participants, data, excluded, fit_seed = simulate_replication(rep, settings)
    except RuntimeError as error:  # a prior draw whose walks all outlast the cap: reported like a failed fit
        return {"rep": rep, "error": str(error), "seconds": time.perf_counter() - started}
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fit = corvatel.fit_hierarchical(data, chains=settings["chains"], draws=settings["draws"],
                                            tune=settings["tune"], seed=fit_seed)
    except Exception as error:  # a failed fit is a result of the study, reported, not the study's end
        return {"rep": rep, "truth": group, "error": f"{type(error).__name__}: {error}"[:500],
                "participants": participants.drop(columns="subject").to_dict("list"),
                "seconds": time.perf_counter() - started}
    posterior = fit.idata.posterior
    ess = az.ess(fit.idata, var_names=list(names), method="bulk")
    ranks, ess_bulk = {}, {}
    for name in names:
        ranks[name] = rank_of(group[name], thin(posterior[name].to_numpy(), settings["rank_draws"]))
        ess_bulk[name] = float(ess[name])
    shift, cdf, weights_ess = t0_jacobian(posterior, data, group, names)
    return {"rep": rep, "truth": group, "ranks": ranks, "ess_bulk": ess_bulk, "jacobian_shift": shift,
            "reweighted_cdf": cdf, "jacobian_weights_ess": weights_ess,
            "divergences": int(fit.idata.sample_stats["diverging"].sum()),
            "warnings": sorted({str(w.message).split(";")[0] for w in caught if issubclass(w.category, UserWarning)}),
            "n_excluded": excluded, "participants": participants.drop(columns="subject").to_dict("list"),
            "seconds": time.perf_counter() - started}


def t0_jacobian(posterior, data, group, names, power=-1):
    """The fit's draws reweighted by prod_j (1 - s_j)**power (power -1:
    the posterior without the t0 link's Jacobian, which the fit has; +1:
    with it twice): each group variable's reweighted mean minus its mean
    in posterior sds; the reweighted posterior CDF at the truth; and the
    weights' effective sample size (small: both are rough)."""
    fastest = data.groupby("subject")["rt"].min()
    fastest = fastest.loc[list(posterior.coords["participant"].values)].to_numpy()
    share = posterior["non_decision_time"].to_numpy().reshape(-1, len(fastest)) / fastest
    log_w = power * np.log1p(-share).sum(axis=1)
    w = np.exp(log_w - log_w.max())
    w /= w.sum()
    shift, cdf = {}, {}
    for name in names:
        x = posterior[name].to_numpy().reshape(-1)
        shift[name] = float((w @ x - x.mean()) / x.std())
        cdf[name] = float(w @ (x < group[name]))
    return shift, cdf, float(1.0 / (w @ w))


def read_results(path, settings):
    """The replications already in `path` (a fresh file gets the settings
    line); refuses a file written with other settings."""
    done = {}
    if path.exists() and path.stat().st_size:
        with path.open() as f:
            lines = [json.loads(line) for line in f if line.strip()]
        if lines[0].get("settings") != settings:
            raise SystemExit(f"--results {path} holds a study with other settings {lines[0].get('settings')}; "
                             "name another file")
        done = {line["rep"]: line for line in lines[1:]}
    else:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps({"settings": settings}) + "\n")
    return done


def summarise(everything, settings):
    results = [r for r in everything if "error" not in r]
    if not results:
        raise SystemExit(f"every one of the {len(everything)} fits failed: {everything[0]['error']}")
    names = list(results[0]["ranks"])
    n_draws, bins = settings["rank_draws"], settings["bins"]
    alpha = FAMILY_ALPHA / len(names)
    table = {}
    for name in names:
        ranks = [r["ranks"][name] for r in results]
        counts, statistic, p = uniformity(ranks, n_draws, bins)
        _, _, p_reweighted = pit_uniformity([r["reweighted_cdf"][name] for r in results], bins)
        table[name] = {"counts": counts.tolist(), "chi2": statistic, "p": p, "rejected": p < alpha,
                       "p_reweighted": p_reweighted,
                       "mean_rank": float(np.mean(ranks)) / n_draws,
                       "low_ess": int(sum(r["ess_bulk"][name] < n_draws for r in results)),
                       "mean_jacobian_shift": float(np.mean([r["jacobian_shift"][name] for r in results])),
                       "ranks": ranks}
    return {"settings": settings, "replications": len(results), "alpha_per_parameter": alpha,
            "failed_fits": {r["rep"]: r["error"] for r in everything if "error" in r},
            "divergent_replications": int(sum(r["divergences"] > 0 for r in results)),
            "replications_with_excluded_trials": int(sum(r["n_excluded"] > 0 for r in results)),
            "seconds_per_replication": float(np.mean([r["seconds"] for r in results])),
            "median_weights_ess": float(np.median([r["jacobian_weights_ess"] for r in results])),
            "parameters": table}


def figure(summary, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from scipy import stats

    table = summary["parameters"]
    n, bins = summary["replications"], summary["settings"]["bins"]
    lo, hi = stats.binom.ppf([0.005, 0.995], n, 1 / bins)
    columns = 2
    rows = math.ceil(len(table) / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(8, 2.2 * rows), sharex=True, squeeze=False)
    for ax, (name, entry) in zip(axes.flat, table.items()):
        ax.axhspan(lo, hi, color="0.85", zorder=0)
        ax.axhline(n / bins, color="0.5", lw=0.8, zorder=1)
        ax.bar(np.arange(bins), entry["counts"], width=0.9, color="C3" if entry["rejected"] else "C0", zorder=2)
        ax.set_title(f"{name}: p = {entry['p']:.3g}, mean rank {entry['mean_rank']:.2f}", fontsize=9)
        ax.set_xticks(np.arange(bins))
    for ax in axes.flat[len(table):]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.set_xlabel(f"rank bin ({bins} bins of {summary['settings']['rank_draws'] + 1} ranks)")
    fig.suptitle(f"SBC of fit_hierarchical, {n} replications: the grey band holds 99% of each bin's count "
                 f"under uniform ranks", fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _one_thread():
    # Replications run side by side, one core each.
    for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[name] = "1"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--participants", type=int, default=5)
    parser.add_argument("--trials", type=int, default=80)
    parser.add_argument("--chains", type=int, default=2)
    parser.add_argument("--tune", type=int, default=500)
    parser.add_argument("--draws", type=int, default=500)
    parser.add_argument("--rank-draws", type=int, default=99)
    parser.add_argument("--bins", type=int, default=10)
    parser.add_argument("--seed", type=int, default=2018)
    parser.add_argument("--results", type=Path, default=Path("sbc_hierarchical.jsonl"))
    parser.add_argument("--json", type=Path, default=Path("sbc_hierarchical.json"))
    parser.add_argument("--figure", type=Path, default=None)
    args = parser.parse_args()
    for name in ("reps", "jobs", "participants", "trials", "chains", "draws", "rank_draws", "bins"):
        if getattr(args, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if (args.rank_draws + 1) % args.bins:
        parser.error(f"--bins {args.bins} must divide --rank-draws + 1 = {args.rank_draws + 1}")
    if args.rank_draws > args.chains * args.draws:
        parser.error("--rank-draws exceeds --chains x --draws")

    settings = {"seed": args.seed, "participants": args.participants, "trials": args.trials,
                "chains": args.chains, "tune": args.tune, "draws": args.draws, "rank_draws": args.rank_draws,
                "bins": args.bins, "group_variables": list(group_variables()), "dt": DT}
    done = read_results(args.results, settings)
    todo = [rep for rep in range(args.reps) if rep not in done]
    print(f"{len(done)} replications in {args.results}, {len(todo)} to run", file=sys.stderr)

    def record(result):
        done[result["rep"]] = result
        with args.results.open("a") as f:
            f.write(json.dumps(result) + "\n")
        print(f"rep {result['rep']}: {result['seconds']:.0f} s, {result.get('ranks') or result['error']}",
              file=sys.stderr)

    _one_thread()
    if args.jobs == 1:
        for rep in todo:
            record(replicate(rep, settings))
    else:
        with ProcessPoolExecutor(args.jobs, mp_context=get_context("spawn")) as pool:
            for future in as_completed([pool.submit(replicate, rep, settings) for rep in todo]):
                record(future.result())

    results = [done[rep] for rep in range(args.reps)]
    summary = summarise(results, settings)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(summary, indent=1))
    print(f"{summary['replications']} replications, {summary['seconds_per_replication']:.0f} s each; "
          f"{summary['divergent_replications']} with divergences, "
          f"{summary['replications_with_excluded_trials']} with trials dropped at 10 s; "
          f"{len(summary['failed_fits'])} failed fits left out{summary['failed_fits'] or ''}")
    print(f"chi-square over {args.bins} bins, rejected at p < {summary['alpha_per_parameter']:.4g} "
          f"(1% family-wise, Bonferroni):")
    print("| parameter | chi2 | p | mean rank / L | low ESS | uniform? | t0 Jacobian's shift (sd) | "
          "p, reweighted |")
    print("|---|---|---|---|---|---|---|---|")
    for name, entry in summary["parameters"].items():
        print(f"| {name} | {entry['chi2']:.1f} | {entry['p']:.3g} | {entry['mean_rank']:.3f} | {entry['low_ess']} | "
              f"{'REJECTED' if entry['rejected'] else 'yes'} | {entry['mean_jacobian_shift']:+.3f} | "
              f"{entry['p_reweighted']:.3g} |")
    print(f"(reweighted: the fit's draws without the t0 link's Jacobian; median weights' ESS "
          f"{summary['median_weights_ess']:.0f} of {args.chains * args.draws} draws)")
    if args.figure is not None:
        figure(summary, args.figure)
        print(f"figure: {args.figure}")


if __name__ == "__main__":
    main()
