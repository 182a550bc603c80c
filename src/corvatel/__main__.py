"""Demo: simulate a data set and summarise it (python -m corvatel)."""

import time

import numpy as np

import corvatel


def main():
    truth = dict(drift_rate=1.0, boundary_separation=1.5, non_decision_time=0.3)
    n, seed = 20_000, 2024
    start = time.perf_counter()
    choices, rts, n_excluded = corvatel.simulate(
        truth["drift_rate"], truth["boundary_separation"], 0.5, truth["non_decision_time"], n, seed
    )
    elapsed = time.perf_counter() - start
    print(f"corvatel {corvatel.__version__}")
    print(f"simulated {n} trials (seed {seed}) in {elapsed * 1000:.1f} ms; {n_excluded} hit the 10 s cap")
    print(f"  accuracy (upper boundary)  {choices.mean():.4f}")
    print(f"  mean rt, correct           {rts[choices].mean():.4f} s")
    print(f"  mean rt, error             {rts[~choices].mean():.4f} s")
    quantiles = np.quantile(rts, [0.1, 0.5, 0.9])
    print("  rt quantiles 10/50/90 %    " + "  ".join(f"{q:.3f}" for q in quantiles))


if __name__ == "__main__":
    main()
