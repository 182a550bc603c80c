"""Collapsing bounds against PyDDM: the same angle models (linear collapse,
with leak, with leak and urgency) solved by corvatel's integral-equation
solver (fpt_solver.h) and by PyDDM's finite-difference solver, compared for
accuracy, for the time of one likelihood of 1,000 trials, and in a
maximum-likelihood fit. PyDDM is a peer package used only here, to compare
against; install it beside corvatel to run this (`pip install pyddm`).

    taskset -c 1 python3 bench/compare_pyddm_bounds.py [--reps 9] [--fit-maxiter 100] [--json out.json]

The models, in the middle-of-band coordinate x with g(t) = 1 + urgency t:
dX = (g v - leak X) dt + g dW between +-B(t), B(t) = boundary/2 - t tan(theta),
started in the middle. PyDDM gets them through `pyddm.gddm`: drift
`lambda t, x: g(t) v - leak x`, noise `lambda t: g(t)`, bound
`lambda t: max(B(t), 0)`, starting position 0, no lapse mixture
(`mixture_coef=0`), and solves them with its default choice (`Model.solve`;
for bounds that move it gives exactly the densities of its backward-Euler
solver, `solve_numerical_implicit`, which the script checks).

1. Accuracy, for those three models and two harder ones (drift 3 with leak
   and urgency; theta 1.0 with leak). The reference is corvatel at
   resolution 1/2304; an independent check of it is PyDDM's finest run
   (dt = 1e-4, dx = 5e-4) and its Richardson extrapolation 2 p(dt) - p(2 dt)
   (PyDDM's error is first order in dt). Each setting's error is the largest
   relative difference from the reference over the bulk (where the reference
   density exceeds 1% of its peak), at both bounds: PyDDM's at its grid
   times, corvatel's on a 1 ms grid. The decision time of the largest and
   the median over the bulk are printed beside it.
2. One likelihood of 1,000 trials, drawn from the angle + leak model (drift
   1, boundary 1.5, theta 0.3, leak 1, t0 0.3) by inverse-CDF sampling of
   the reference densities (trapezoid masses of 0.25 ms cells, the
   distribution function linear inside a cell; seed 2026). Timed: corvatel's
   `bounds_logpdf(...).sum()` and PyDDM's `LossLikelihood(...).loss(model)`
   (the solve and the look-up its fits do per evaluation), both on one
   thread: the median wall and CPU time of --reps rounds that call every
   setting once (after a warm-up round), so that other work on the machine
   falls alike on all settings. Beside each time: the error of the summed
   log-likelihood against the reference. For every PyDDM setting the ratio
   is taken against the cheapest corvatel setting whose errors (bulk density
   and summed log-likelihood) are both no larger.
3. Fit of the angle + leak model to those trials: `corvatel.fit_ml(...,
   model="angle", leak=True)` and PyDDM's `Model.fit` (differential
   evolution, its default, capped at --fit-maxiter generations, at its default
   dt = dx = 0.005), with wall times, both estimates scored by the reference
   log-likelihood, and PyDDM's own log-likelihood at the truth and at
   corvatel's estimate. --skip-pyddm-fit leaves PyDDM's fit out and reports
   only those two.

bench/README.md has the figures of one run and what they show.
"""

import argparse
import json
import math
import time

import numpy as np
import pyddm

import corvatel

T0 = 0.3
ANGLE = dict(drift=1.0, boundary=1.5, theta=0.3, leak=0.0, urgency=0.0)
MODELS = {
    "angle": ANGLE,
    "angle+leak": dict(ANGLE, leak=1.0),
    "angle+leak+urgency": dict(ANGLE, leak=1.0, urgency=0.5),
    # harder cases: a strong drift puts the bulk's start inside the second
    # grid step of the default resolution; a steep collapse closes the band
    # within 31 steps
    "drift 3, leak+urgency": dict(ANGLE, drift=3.0, leak=1.0, urgency=0.5),
    "theta 1.0, leak": dict(ANGLE, theta=1.0, leak=1.0),
}
FITTED = "angle+leak"
REFERENCE_RESOLUTION = 1 / 2304
CORVATEL_RESOLUTIONS = (1 / 9, 1 / 18, 1 / 36, 1 / 72, 1 / 144, 1 / 288, 1 / 576)
PYDDM_DEFAULT_STEP = 0.005
PYDDM_STEPS = (0.005, 0.002, 0.001, 0.0005)  # dt = dx
PYDDM_FINE = (1e-4, 5e-4)  # dt, dx
N_TRIALS = 1000
SEED = 2026


def closing_time(m):
    return m["boundary"] / 2 / math.tan(m["theta"])


def pyddm_model(m, dt, dx, t0=0.0, t_dur=None):
    drift, leak, urgency = m["drift"], m["leak"], m["urgency"]
    half, tan_theta = m["boundary"] / 2, math.tan(m["theta"])
    return pyddm.gddm(drift=lambda t, x: (1 + urgency * t) * drift - leak * x,
                      noise=lambda t: 1 + urgency * t,
                      bound=lambda t: max(half - t * tan_theta, 0.0),
                      nondecision=t0, starting_position=0.0, mixture_coef=0.0,
                      dt=dt, dx=dx, T_dur=t_dur if t_dur is not None else math.ceil(closing_time(m) * 10) / 10)


def corvatel_logpdf(t, choice, m, resolution, t0=0.0):
    return corvatel.bounds_logpdf(t, choice, m["drift"], m["boundary"], 0.5, t0, bound="angle", theta=m["theta"],
                                  leak=m["leak"], urgency=m["urgency"], resolution=resolution)


def reference_pdf(t, choice, m):
    """The reference density at decision times t, 0 outside (0, closing time)."""
    out = np.zeros_like(t)
    inside = (t > 0) & (t < closing_time(m))
    out[inside] = np.exp(corvatel_logpdf(t[inside], choice, m, REFERENCE_RESOLUTION))
    return out


def bulk_error(t, densities, m):
    """(max, median) relative error over the reference's bulk at both bounds,
    and the decision time of the max; densities maps a choice to values at t."""
    errors, times = [], []
    for choice in (True, False):
        ref = reference_pdf(t, choice, m)
        bulk = ref > 0.01 * ref.max()
        errors.append(np.abs(densities[choice][bulk] / ref[bulk] - 1))
        times.append(t[bulk])
    errors, times = np.concatenate(errors), np.concatenate(times)
    return dict(max_rel=float(errors.max()), median_rel=float(np.median(errors)),
                worst_t=float(times[np.argmax(errors)]))


def pyddm_densities(solution):
    return {True: solution.pdf("correct"), False: solution.pdf("error")}


def accuracy(name, m):
    rows = []
    grid = np.arange(1, int(closing_time(m) / 1e-3)) * 1e-3
    for resolution in CORVATEL_RESOLUTIONS:
        densities = {c: np.exp(corvatel_logpdf(grid, c, m, resolution)) for c in (True, False)}
        rows.append(dict(model=name, package="corvatel", setting=f"resolution 1/{round(1 / resolution)}",
                         resolution=resolution, **bulk_error(grid, densities, m)))
    for step in PYDDM_STEPS:
        solution = pyddm_model(m, step, step).solve()
        implicit = pyddm_model(m, step, step).solve_numerical_implicit()
        if not np.array_equal(solution.pdf("correct"), implicit.pdf("correct")):
            print(f"  note: PyDDM's solve() differs from its implicit solver at dt = dx = {step:g} ({name})")
        rows.append(dict(model=name, package="pyddm", setting=f"dt=dx={step:g}", dt=step, dx=step,
                         **bulk_error(solution.t_domain, pyddm_densities(solution), m)))
    dt, dx = PYDDM_FINE
    fine = pyddm_model(m, dt, dx).solve()
    coarse = pyddm_model(m, 2 * dt, dx).solve()
    rows.append(dict(model=name, package="pyddm", setting=f"fine dt={dt:g} dx={dx:g}", dt=dt, dx=dx,
                     **bulk_error(fine.t_domain, pyddm_densities(fine), m)))
    extrapolated = {c: 2 * pyddm_densities(fine)[c][::2] - pyddm_densities(coarse)[c] for c in (True, False)}
    rows.append(dict(model=name, package="pyddm", setting="Richardson of fine and 2 dt",
                     **bulk_error(coarse.t_domain, extrapolated, m)))
    times = np.arange(0, 400001) * closing_time(m) / 400000
    mass = {}
    for choice in (True, False):
        density = reference_pdf(times, choice, m)
        mass[choice] = float((density.sum() - 0.5 * (density[0] + density[-1])) * closing_time(m) / 400000)
    rows.append(dict(model=name, package="both", setting="response probabilities",
                     p_upper_reference=mass[True], p_total_reference=mass[True] + mass[False],
                     p_upper_pyddm_fine=float(fine.prob("correct")),
                     p_total_pyddm_fine=float(fine.prob("correct") + fine.prob("error"))))
    return rows


def draw_trials(m, n, seed, step=2.5e-4):
    """(choices, rts) drawn by inverse-CDF sampling of the reference densities
    on a grid of decision times (the distribution function linear inside a
    cell)."""
    t = np.arange(0, int(closing_time(m) / step) + 1) * step
    upper, lower = reference_pdf(t, True, m), reference_pdf(t, False, m)
    both = np.concatenate([upper, lower])
    cells = 0.5 * (both[1:] + both[:-1]) * step
    cells[len(t) - 1] = 0.0  # the cell joining the last upper time to the first lower one
    cdf = np.concatenate([[0.0], np.cumsum(cells)])
    rng = np.random.default_rng(seed)
    u = rng.random(n) * cdf[-1]
    k = np.clip(np.searchsorted(cdf, u, side="right") - 1, 0, len(cells) - 1)
    fraction = (u - cdf[k]) / cells[k]
    choices = k < len(t) - 1
    index = np.where(choices, k, k - len(t))
    return choices, T0 + t[index] + fraction * step


def interleaved_medians(functions, reps):
    """Median wall and CPU seconds of each function, timed in rounds that
    call every function once (after a warm-up round), so that the load of a
    shared machine falls alike on all of them."""
    for function in functions:
        function()
    wall = [[] for _ in functions]
    cpu = [[] for _ in functions]
    for _ in range(reps):
        for i, function in enumerate(functions):
            w0, c0 = time.perf_counter(), time.process_time()
            function()
            cpu[i].append(time.process_time() - c0)
            wall[i].append(time.perf_counter() - w0)
    return [(float(np.median(w)), float(np.median(c))) for w, c in zip(wall, cpu)]


def pyddm_sample(choices, rts):
    return pyddm.Sample.from_numpy_array(np.column_stack([rts, choices.astype(float)]), [])


def likelihood_timing(choices, rts, reps):
    m = MODELS[FITTED]
    reference_ll = float(corvatel_logpdf(rts, choices, m, REFERENCE_RESOLUTION, t0=T0).sum())
    rows, functions = [], []
    for resolution in CORVATEL_RESOLUTIONS:
        def evaluate(resolution=resolution):
            return float(corvatel_logpdf(rts, choices, m, resolution, t0=T0).sum())
        rows.append(dict(package="corvatel", setting=f"resolution 1/{round(1 / resolution)}", resolution=resolution))
        functions.append(evaluate)
    sample = pyddm_sample(choices, rts)
    t_dur = math.ceil((rts.max() + 0.05) * 10) / 10
    for step in PYDDM_STEPS:
        model = pyddm_model(m, step, step, t0=T0, t_dur=t_dur)
        loss = pyddm.LossLikelihood(sample, dt=step, T_dur=t_dur)
        rows.append(dict(package="pyddm", setting=f"dt=dx={step:g}", dt=step))
        functions.append(lambda loss=loss, model=model: -float(loss.loss(model)))
    for row, function, (wall, cpu) in zip(rows, functions, interleaved_medians(functions, reps)):
        ll = function()
        row.update(ms=1e3 * wall, cpu_ms=1e3 * cpu, loglik=ll, loglik_error=abs(ll - reference_ll))
    return reference_ll, rows


def equal_accuracy_ratios(accuracy_rows, timing_rows):
    """For each PyDDM setting: the cheapest corvatel resolution no less
    accurate by both measures, and the time ratio."""
    bulk = {r["setting"]: r["max_rel"] for r in accuracy_rows if r.get("model") == FITTED and "max_rel" in r}
    corvatel_rows = [r for r in timing_rows if r["package"] == "corvatel"]
    out = []
    for p in (r for r in timing_rows if r["package"] == "pyddm"):
        matches = [c for c in corvatel_rows
                   if bulk[c["setting"]] <= bulk[p["setting"]] and c["loglik_error"] <= p["loglik_error"]]
        best = min(matches, key=lambda c: c["ms"]) if matches else None
        out.append(dict(pyddm=p["setting"], pyddm_ms=p["ms"], pyddm_cpu_ms=p["cpu_ms"], pyddm_max_rel=bulk[p["setting"]],
                        pyddm_loglik_error=p["loglik_error"],
                        corvatel=best and best["setting"], corvatel_ms=best and best["ms"],
                        corvatel_cpu_ms=best and best["cpu_ms"], cpu_ratio=best and p["cpu_ms"] / best["cpu_ms"],
                        corvatel_max_rel=best and bulk[best["setting"]],
                        corvatel_loglik_error=best and best["loglik_error"],
                        ratio=best and p["ms"] / best["ms"]))
    return out


def fit_both(choices, rts, maxiter, skip_pyddm):
    w0 = time.perf_counter()
    ours = corvatel.fit_ml(choices, rts, model="angle", leak=True)
    ours_wall = time.perf_counter() - w0
    estimates = {"corvatel": dict(drift=ours["drift_rate"], boundary=ours["boundary_separation"],
                                  theta=ours["theta"], t0=ours["non_decision_time"], leak=ours["leak"])}
    walls = {"corvatel": ours_wall}
    m = MODELS[FITTED]
    truth = dict(drift=m["drift"], boundary=m["boundary"], theta=m["theta"], t0=T0, leak=m["leak"])

    sample = pyddm_sample(choices, rts)
    t_dur = math.ceil((rts.max() + 0.05) * 10) / 10
    step = PYDDM_DEFAULT_STEP

    def fittable(ranges):
        return pyddm.gddm(drift=lambda drift, leak, x: drift - leak * x,
                          bound=lambda half, theta, t: max(half - t * math.tan(theta), 0.0),
                          nondecision="t0", starting_position=0.0, mixture_coef=0.0, parameters=ranges,
                          dt=step, dx=step, T_dur=t_dur)

    def pyddm_loglik(p):
        model = fittable(dict(drift=p["drift"], leak=p["leak"], half=p["boundary"] / 2, theta=p["theta"],
                              t0=p["t0"]))
        return -float(pyddm.LossLikelihood(sample, dt=step, T_dur=t_dur).loss(model))

    method = None
    if not skip_pyddm:
        ranges = dict(drift=(-3.0, 3.0), leak=(0.0, 5.0), half=(0.25, 1.5), theta=(0.0, 1.2),
                      t0=(0.0, float(rts.min())))
        model = fittable(ranges)
        w0 = time.perf_counter()
        model.fit(sample, lossfunction=pyddm.LossLikelihood, fitting_method="differential_evolution",
                  fitparams=dict(maxiter=maxiter, seed=SEED), verbose=False)
        walls["pyddm"] = time.perf_counter() - w0
        fitted = dict(zip(model.get_model_parameter_names(), (float(v) for v in model.get_model_parameters())))
        estimates["pyddm"] = dict(drift=fitted["drift"], boundary=2 * fitted["half"], theta=fitted["theta"],
                                  t0=fitted["nondectime"], leak=fitted["leak"])
        method = model.fitresult.method

    def reference_ll(p):
        return float(corvatel.bounds_logpdf(rts, choices, p["drift"], p["boundary"], 0.5, p["t0"], bound="angle",
                                            theta=p["theta"], leak=p["leak"], resolution=REFERENCE_RESOLUTION).sum())

    return dict(truth=truth, estimates=estimates, wall_s=walls, pyddm_solver=method, pyddm_maxiter=maxiter,
                pyddm_step=step,
                reference_loglik={k: reference_ll(p) for k, p in [("truth", truth), *estimates.items()]},
                pyddm_loglik={k: pyddm_loglik(p) for k, p in [("truth", truth), *estimates.items()]},
                corvatel_reported_loglik=ours["log_likelihood"], corvatel_iterations=ours["iterations"],
                corvatel_converged=ours["converged"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=9)
    parser.add_argument("--fit-maxiter", type=int, default=100,
                        help="generations of PyDDM's differential evolution")
    parser.add_argument("--skip-pyddm-fit", action="store_true")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    corvatel.set_num_threads(1)
    pyddm.set_N_cpus(1)
    pyddm.set_log_level("ERROR")  # else a warning for every -inf log-likelihood the fit's search meets

    print(f"PyDDM {pyddm.__version__}, corvatel {corvatel.__version__}")
    print("\n1. Densities against the reference (corvatel, resolution 1/2304): bulk = reference > 1% of its peak")
    accuracy_rows = []
    for name, m in MODELS.items():
        rows = accuracy(name, m)
        accuracy_rows += rows
        for r in rows:
            if "max_rel" in r:
                print(f"  {name:21s} {r['package']:8s} {r['setting']:28s} max rel {r['max_rel']:9.2e}"
                      f" (t {r['worst_t']:.4f})  median rel {r['median_rel']:9.2e}")
            else:
                print(f"  {name:21s} P(upper), P(upper) + P(lower): reference {r['p_upper_reference']:.6f},"
                      f" {r['p_total_reference']:.6f}; PyDDM fine {r['p_upper_pyddm_fine']:.6f},"
                      f" {r['p_total_pyddm_fine']:.6f}")

    choices, rts = draw_trials(MODELS[FITTED], N_TRIALS, SEED)
    print(f"\n2. One likelihood of {N_TRIALS} trials (angle + leak; {choices.mean():.3f} upper, "
          f"rt {rts.min():.3f}-{rts.max():.3f} s), median of {args.reps} rounds, one thread")
    reference_ll, timing_rows = likelihood_timing(choices, rts, args.reps)
    print(f"  reference log-likelihood {reference_ll:.4f}")
    for r in timing_rows:
        print(f"  {r['package']:8s} {r['setting']:20s} {r['ms']:10.3f} ms wall {r['cpu_ms']:10.3f} ms CPU"
              f"  log-likelihood error {r['loglik_error']:9.2e}")
    ratios = equal_accuracy_ratios(accuracy_rows, timing_rows)
    print("  equal or better accuracy (bulk max rel and log-likelihood error both no larger):")
    for r in ratios:
        if r["corvatel"] is None:
            print(f"    PyDDM {r['pyddm']:12s}: no corvatel setting in the ladder is as accurate by both measures")
        else:
            print(f"    PyDDM {r['pyddm']:12s} {r['pyddm_ms']:9.3f} ms vs corvatel {r['corvatel']:16s}"
                  f" {r['corvatel_ms']:7.3f} ms: {r['ratio']:6.1f}x wall, {r['cpu_ratio']:6.1f}x CPU")

    print(f"\n3. Fit of angle + leak to the {N_TRIALS} trials")
    fit = fit_both(choices, rts, args.fit_maxiter, args.skip_pyddm_fit)
    names = ("drift", "boundary", "theta", "t0", "leak")
    print(f"  {'':10s}" + "".join(f"{n:>10s}" for n in names) + f"{'wall s':>10s}{'ref LL':>12s}{'PyDDM LL':>12s}")
    for label, p in [("truth", fit["truth"]), *fit["estimates"].items()]:
        wall = fit["wall_s"].get(label)
        print(f"  {label:10s}" + "".join(f"{p[n]:10.3f}" for n in names)
              + (f"{wall:10.2f}" if wall is not None else f"{'':10s}")
              + f"{fit['reference_loglik'][label]:12.3f}{fit['pyddm_loglik'][label]:12.3f}")
    print(f"  PyDDM: solver {fit['pyddm_solver']}, differential evolution at most {args.fit_maxiter} generations, "
          f"dt = dx = {fit['pyddm_step']}; ref LL is the reference log-likelihood, PyDDM LL PyDDM's own at dt = dx"
          f" = {fit['pyddm_step']}")

    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(pyddm_version=pyddm.__version__, corvatel_version=corvatel.__version__,
                           accuracy=accuracy_rows, reference_loglik=reference_ll, likelihood=timing_rows,
                           equal_accuracy=ratios, fit=fit), f, indent=1)


if __name__ == "__main__":
    main()
