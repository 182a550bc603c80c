#!/usr/bin/env python3
"""A long fuzz run of simulate, fit_ez and fit_sim with the cases of
tests/fuzzing.py, in batches, each batch in a child process.

    python3 tools/fuzz.py --calls 100000 [--batch 25] [--function fit_sim] [--minutes 30]

Prints the calls made, the time taken, the outcomes by function and
exception type, and each failure as it is found, then the first one shrunk
by hypothesis to the smallest batch that still fails. Exits 1 on a failure.
With --minutes it stops early, after that long, and reports what it did.
"""

import argparse
import collections
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import fuzzing  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=100_000, help="calls to make in all (default 100000)")
    parser.add_argument("--batch", type=int, default=25, help="calls per hypothesis example (default 25)")
    parser.add_argument("--function", choices=fuzzing.FUNCTIONS, help="fuzz this function only")
    parser.add_argument("--minutes", type=float, default=math.inf, help="stop after this long")
    options = parser.parse_args()

    outcomes = collections.Counter()
    start = time.monotonic()
    failures = []

    # Rounds of a few examples each, so that the run can stop between them.
    @settings(max_examples=20, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(st.lists(fuzzing.cases(options.function), min_size=options.batch, max_size=options.batch))
    def fuzz(batch):
        failure, seen = fuzzing.run_batch(batch, timeout=600)
        done_before = sum(outcomes.values())
        outcomes.update(seen)
        done = sum(outcomes.values())
        if done // 5000 > done_before // 5000:
            print(f"{done} calls after {time.monotonic() - start:.0f} s", flush=True)
        if failure is not None:
            failures.append(failure)
            print(f"failure:\n{failure}", flush=True)
            raise AssertionError(failure)

    shrunk = None
    deadline = start + options.minutes * 60
    try:
        while sum(outcomes.values()) < options.calls and time.monotonic() < deadline:
            fuzz()
    except AssertionError as e:
        shrunk = str(e)
    elapsed = time.monotonic() - start
    fuzzing.close_child()

    calls = sum(outcomes.values())
    stopped = " (stopped at the time limit)" if calls < options.calls and shrunk is None else ""
    print(f"{calls} calls completed in {elapsed:.0f} s ({calls / elapsed:.0f} calls/s), {len(failures)} failing batches{stopped}")
    for (function, outcome), count in sorted(outcomes.items()):
        print(f"  {function:9} {outcome:22} {count}")
    if shrunk is not None:
        print(f"first failure, shrunk:\n{shrunk}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
