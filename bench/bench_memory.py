"""Peak extra memory of fit_ez and fit_sim against the size of their input.

Each measurement runs in a fresh process: the arrays are made and touched,
then the peak resident size (ru_maxrss) is read before and after the call.
Usage: python bench/bench_memory.py [n_trials ...]
"""

import subprocess
import sys

CHILD = """
import resource, sys
import numpy as np
import corvatel
n, call = int(sys.argv[1]), sys.argv[2]
# Made in place, so that no temporary raises the peak before the call.
rng = np.random.default_rng(1)
rts = np.empty(n)
rng.random(out=rts)
choices = np.empty(n, dtype=bool)
np.less(rts, 0.8, out=choices)
rts += 0.3
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if call == "fit_ez":
    corvatel.fit_ez(choices, rts)
else:
    corvatel.fit_sim(choices, rts, max_iters=2)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(choices.nbytes + rts.nbytes, (after - before) * 1024)
"""


def peak_extra(n, call):
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), call], capture_output=True, text=True, check=True)
    input_bytes, extra = map(int, out.stdout.split())
    return input_bytes, extra


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10**7, 10**8]
    for n in sizes:
        for call in ("fit_ez", "fit_sim"):
            input_bytes, extra = peak_extra(n, call)
            print(f"{call:8s} n={n:>11,d}  input {input_bytes / 1e9:6.3f} GB  peak extra {extra / 1e9:6.3f} GB")


if __name__ == "__main__":
    main()
