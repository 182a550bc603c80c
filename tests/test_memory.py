"""The fits read the caller's arrays in place: their peak extra memory stays
far below the size of the input (a per-trial copy would be several times it).
Measured in a fresh process, whose peak resident size starts at the input."""

import subprocess
import sys

import pytest

CHILD = """
import resource, sys
import numpy as np
import corvatel
n = 5_000_000
rts = np.empty(n)
np.random.default_rng(1).random(out=rts)
choices = np.empty(n, dtype=bool)
np.less(rts, 0.8, out=choices)
rts += 0.3
corvatel.simulate(1.0, 1.0, 0.5, 0.3, 1000, 1)  # the pool and its first batch
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
getattr(corvatel, sys.argv[1])(choices, rts, *sys.argv[2:] and [None, 2])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(choices.nbytes + rts.nbytes, (after - before) * 1024)
"""


@pytest.mark.parametrize("call", [["fit_ez"], ["fit_sim", "2"]], ids=["fit_ez", "fit_sim"])
def test_fits_need_no_copy_of_their_input(call):
    out = subprocess.run([sys.executable, "-c", CHILD, *call], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    input_bytes, extra = map(int, out.stdout.split())
    assert extra < input_bytes // 4
