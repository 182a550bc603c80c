"""Peak memory of simulate(n=10**8) against the two arrays it returns.

    python3 bench/bench_simulate_memory.py [--n 100000000]

Runs the call in a fresh child process and reports the growth of its peak
resident set size (ru_maxrss) over the call, next to the bytes of the
returned arrays (1 + 8 bytes per kept trial). Short trials (a narrow band)
keep the run to seconds; the memory does not depend on the trial length.
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, resource, sys
import corvatel
n = int(sys.argv[1])
corvatel.simulate(0.5, 0.05, 0.5, 0.2, 1000, 1)  # pool and NumPy loaded
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
choices, rts, excluded = corvatel.simulate(0.5, 0.05, 0.5, 0.2, n, 7)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"growth": peak - before, "arrays": choices.nbytes + rts.nbytes, "kept": len(rts)}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**8)
    args = parser.parse_args()
    out = subprocess.run([sys.executable, "-c", CHILD, str(args.n)], check=True, capture_output=True, text=True)
    r = json.loads(out.stdout)
    mib = 1024 * 1024
    print(f"simulate(n={args.n}): {r['kept']} trials kept")
    print(f"returned arrays      {r['arrays'] / mib:10.1f} MiB")
    print(f"peak RSS growth      {r['growth'] / mib:10.1f} MiB")
    print(f"growth / arrays      {r['growth'] / r['arrays']:10.3f}  (target <= 1.2 plus a constant)")


if __name__ == "__main__":
    main()
