"""Demo (python -m corvatel): simulate a data set, then recover its
parameters in closed form and by simulation. With a subcommand
(python -m corvatel fit ...), the command line of the ``corvatel`` script."""

import sys
import time
from collections.abc import Mapping

import numpy as np

import corvatel

TRUTH = {"drift_rate": 1.0, "boundary_separation": 1.5, "non_decision_time": 0.3}
N_TRIALS, SEED = 2000, 2024


def main() -> None:
    print(f"corvatel {corvatel.__version__}")
    start = time.perf_counter()
    choices, rts, n_excluded = corvatel.simulate(
        TRUTH["drift_rate"], TRUTH["boundary_separation"], 0.5, TRUTH["non_decision_time"], N_TRIALS, SEED
    )
    elapsed = time.perf_counter() - start
    print(f"simulated {N_TRIALS} trials (seed {SEED}) in {elapsed * 1e3:.1f} ms; "
          f"{n_excluded} hit the 10 s cap")
    quantiles = "  ".join(f"{q:.3f}" for q in np.quantile(rts, [0.1, 0.5, 0.9]))
    print(f"  accuracy {choices.mean():.3f}; mean rt correct {rts[choices].mean():.3f} s, "
          f"error {rts[~choices].mean():.3f} s; rt quantiles 10/50/90 % {quantiles} s")

    start = time.perf_counter()
    ez: Mapping[str, object] = corvatel.fit_ez(choices, rts)
    ez_seconds = time.perf_counter() - start
    start = time.perf_counter()
    sim: Mapping[str, object] = corvatel.fit_sim(choices, rts)
    sim_seconds = time.perf_counter() - start

    print()
    print(f"{'parameter':22}{'true':>10}{'fit_ez':>10}{'fit_sim':>10}")
    for key, true_value in TRUTH.items():
        print(f"{key:22}{true_value:10.4f}{ez[key]:10.4f}{sim[key]:10.4f}")
    print(f"{'wall time':22}{'':10}{ez_seconds * 1e3:8.2f}ms{sim_seconds:9.2f}s")
    print(f"fit_sim: {sim['iterations']} iterations, final cost {sim['final_cost']:.3g}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        from corvatel.cli import main as command_line

        sys.exit(command_line())
    main()
