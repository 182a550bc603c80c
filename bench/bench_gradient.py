"""Gradient speed: wfpt_logpdf_grad against wfpt_logpdf over simulated
trials, for the four-parameter model, with sv, sz, st, sz and st, and all
three (sz a fifth of its room, and nine tenths), on one worker thread.

    python3 bench/bench_gradient.py [--trials 100000] [--reps 5]

Each figure is the minimum over the repetitions of the process's CPU time
per trial (one worker, so CPU time is the work; other processes on a shared
machine inflate it less than wall time). The trials are simulated from the
model itself (simulate_full, seed 7), so the times cover its own range of
response times, leading edge and tail included; the windowed models use a
tenth of the trials.
"""

import argparse
import json
import time

import corvatel

MODELS = {
    "four parameters": {},
    "sv": dict(sv=0.8),
    "sz": dict(sz=0.2),
    "st": dict(st=0.1),
    "sz + st": dict(sz=0.2, st=0.1),
    "sv + sz + st": dict(sv=0.8, sz=0.2, st=0.1),
    "sv + sz + st, sz 0.9": dict(sv=0.8, sz=0.9, st=0.1),
    "four parameters, p_outlier": dict(p_outlier=0.05),
}
BASE = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)


def per_trial(function, trials, reps, **kw):
    times = []
    for _ in range(reps):
        c0 = time.process_time()
        function(trials["rts"], trials["choices"], **BASE, **kw)
        times.append(time.process_time() - c0)
    return min(times) / len(trials["rts"]) * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=100_000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    corvatel.set_num_threads(1)
    rows = []
    for name, kw in MODELS.items():
        n = args.trials if not (kw.get("sz") or kw.get("st")) else args.trials // 10
        choices, rts, _ = corvatel.simulate_full(n=n, seed=7, **BASE,
                                                 **{k: v for k, v in kw.items() if k != "p_outlier"})
        trials = {"rts": rts, "choices": choices}
        value = per_trial(corvatel.wfpt_logpdf, trials, args.reps, **kw)
        both = per_trial(corvatel.wfpt_logpdf_grad, trials, args.reps, **kw)
        rows.append({"model": name, "trials": n, "value_us": round(value, 3), "value_and_gradient_us": round(both, 3),
                     "ratio": round(both / value, 2)})
        print(f"{name:28s} value {value:8.3f} us  value+gradient {both:8.3f} us  ratio {both / value:5.2f}")
    print(json.dumps(rows))


if __name__ == "__main__":
    main()
