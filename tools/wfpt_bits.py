"""Records wfpt_logpdf on a fixed set of points, or compares a build with a
recording, bit for bit: for checking that a change to the densities'
numerics leaves every point alone except the ones it means to correct.

    python3 tools/wfpt_bits.py record before.npz     # on the old build
    python3 tools/wfpt_bits.py compare before.npz    # on the new one

Two sets of points from fixed seeds: "ordinary" (boundary 0.3-5, |drift| up
to 10, start 0.05-0.95, rt up to 20 s past t0, noise_sd 0.5-2, sv up to 3,
windows up to nearly their limits; 40 000 points for each of the eight
combinations of sv, sz and st) and "wide" (magnitudes from 1e-150 to 1e150,
starts within 1e-17 of the edges, windows down to 1e-18 of their limit;
3000 points, one call each, with its time). `compare` prints how many
points changed, how, and the worst changes.
"""

import argparse
import itertools
import sys
import time

import numpy as np

import corvatel

FIELDS = ("rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st")


def ordinary_points(n_each=40_000, seed=11):
    rng = np.random.default_rng(seed)
    blocks = []
    for use_sv, use_sz, use_st in itertools.product([False, True], repeat=3):
        drift = np.where(rng.random(n_each) < 0.05, 0.0, rng.uniform(-10, 10, n_each))
        boundary = np.exp(rng.uniform(np.log(0.3), np.log(5), n_each))
        start = rng.uniform(0.05, 0.95, n_each)
        t0 = rng.uniform(0.1, 0.5, n_each)
        noise_sd = np.where(rng.random(n_each) < 0.7, 1.0, np.exp(rng.uniform(np.log(0.5), np.log(2), n_each)))
        sv = rng.uniform(0, 3, n_each) if use_sv else np.zeros(n_each)
        sz = rng.uniform(0, 0.95, n_each) * 2 * np.minimum(start, 1 - start) if use_sz else np.zeros(n_each)
        st = rng.uniform(0, 1, n_each) * 2 * t0 if use_st else np.zeros(n_each)
        rt = t0 - st / 2 + np.exp(rng.uniform(np.log(1e-3), np.log(20), n_each))
        choice = rng.random(n_each) < 0.5
        blocks.append(np.rec.fromarrays([rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st], names=FIELDS))
    return np.concatenate(blocks)


def wide_points(n=3000, seed=1):
    rng = np.random.default_rng(seed)

    def log_uniform(lo, hi):
        return 10.0 ** rng.uniform(lo, hi)

    rows = []
    while len(rows) < n:
        wide = rng.random() < 0.2

        def pick(lo, hi, wide_lo, wide_hi):
            return log_uniform(wide_lo, wide_hi) if wide else log_uniform(lo, hi)

        boundary = pick(-3, 3, -150, 150)
        noise_sd = 1.0 if rng.random() < 0.4 else pick(-3, 3, -150, 150)
        drift = 0.0 if rng.random() < 0.1 else rng.choice([-1, 1]) * pick(-4, 2, -150, 150)
        u = rng.random()
        start = rng.uniform(0.01, 0.99) if u < 0.7 else (log_uniform(-17, -1) if u < 0.85 else 1 - log_uniform(-16, -1))
        t0 = 0.0 if rng.random() < 0.3 else pick(-3, 0.5, -100, 10)
        sv = 0.0 if rng.random() < 0.5 else pick(-3, 1, -100, 150)
        narrow = log_uniform(-18, 0) if rng.random() < 0.3 else 1.0
        sz = 0.0 if rng.random() < 0.5 else 2 * min(start, 1 - start) * rng.uniform(0, 0.999) * narrow
        narrow = log_uniform(-18, 0) if rng.random() < 0.3 else 1.0
        st = 0.0 if rng.random() < 0.5 else 2 * t0 * rng.uniform(0, 1) * narrow
        rt = (t0 - st / 2) + pick(-4, 1.3, -300, 20)
        if start - sz / 2 <= 0 or start + sz / 2 >= 1 or not rt > t0 - st / 2:
            continue  # a window that rounds onto an edge is invalid
        rows.append((rt, rng.random() < 0.5, drift, boundary, start, t0, noise_sd, sv, sz, st))
    return np.rec.fromrecords(rows, names=FIELDS)


def evaluate(points, one_by_one):
    if not one_by_one:
        return corvatel.wfpt_logpdf(*(points[f] for f in FIELDS[:6]), noise_sd=points["noise_sd"],
                                    sv=points["sv"], sz=points["sz"], st=points["st"]), None
    values, seconds = np.empty(len(points)), np.empty(len(points))
    for i, p in enumerate(points):
        args = [bool(p[f]) if f == "choice" else float(p[f]) for f in FIELDS]
        began = time.perf_counter()
        values[i] = corvatel.wfpt_logpdf(*args[:6], noise_sd=args[6], sv=args[7], sz=args[8], st=args[9])
        seconds[i] = time.perf_counter() - began
    return values, seconds


def describe(name, points, before, after, show):
    same = before.view(np.int64) == after.view(np.int64)
    changed = np.flatnonzero(~same)
    print(f"{name}: {len(points)} points, {len(changed)} changed")
    if not len(changed):
        return
    kinds = {}
    for i in changed:
        b, a = before[i], after[i]
        kind = ("finite" if np.isfinite(b) else repr(b)) + " -> " + ("finite" if np.isfinite(a) else repr(a))
        kinds[kind] = kinds.get(kind, 0) + 1
    for kind, count in sorted(kinds.items()):
        print(f"  {kind}: {count}")
    both = changed[np.isfinite(before[changed]) & np.isfinite(after[changed])]
    if len(both):
        delta = np.abs(after[both] - before[both])
        rel = delta / np.maximum(1.0, np.abs(before[both]))
        print(f"  finite -> finite: max |dlog| {delta.max():.3g}, max |dlog| / max(1, |log|) {rel.max():.3g}")
        for i in both[np.argsort(-rel)][:show]:
            print("   ", {f: points[i][f].item() for f in FIELDS}, before[i], "->", after[i])
    for i in changed[~np.isfinite(before[changed])][:show]:
        print("   ", {f: points[i][f].item() for f in FIELDS}, before[i], "->", after[i])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["record", "compare"])
    parser.add_argument("file")
    parser.add_argument("--show", type=int, default=10, help="changed points to print per set")
    args = parser.parse_args()
    sets = {"ordinary": (ordinary_points(), False), "wide": (wide_points(), True)}
    if args.action == "record":
        out = {}
        for name, (points, one_by_one) in sets.items():
            began = time.perf_counter()
            values, seconds = evaluate(points, one_by_one)
            out[name] = values
            if seconds is not None:
                out[name + "_seconds"] = seconds
            print(f"{name}: {len(points)} points in {time.perf_counter() - began:.1f} s", flush=True)
        np.savez(args.file, **out)
        return
    recorded = np.load(args.file)
    for name, (points, one_by_one) in sets.items():
        values, seconds = evaluate(points, one_by_one)
        describe(name, points, recorded[name], values, args.show)
        if seconds is not None:
            before = recorded[name + "_seconds"]
            print(f"  slowest call {before.max():.3g} s before, {seconds.max():.3g} s now; "
                  f"total {before.sum():.3g} s before, {seconds.sum():.3g} s now")


if __name__ == "__main__":
    sys.exit(main())
