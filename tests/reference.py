"""Reference vectors and bit-pattern helpers shared by the tests."""

import json
import os
import struct
from pathlib import Path

import numpy as np
import pytest

# Reference values computed independently of this project, kept beside the
# repository (override with CORVATEL_VECTORS).
VECTORS = Path(os.environ.get("CORVATEL_VECTORS", Path(__file__).resolve().parents[2] / "shared" / "vectors"))


def load_vectors(name):
    path = VECTORS / name
    if not path.exists():
        pytest.fail(f"reference vectors not found at {path}; set CORVATEL_VECTORS")
    with open(path) as f:
        return json.load(f)


def f64(bits_hex):
    """The float whose IEEE-754 bit pattern is the 16 hex digits given."""
    return struct.unpack(">d", bytes.fromhex(bits_hex))[0]


def bits(value):
    return struct.pack(">d", value).hex()


def trials_arrays(trials):
    """choices/rts arrays from a vector file's trial description."""
    if "runs" in trials:
        choices, rts = [], []
        for choice, rt_bits, count in trials["runs"]:
            choices += [choice == 1] * int(count)
            rts += [f64(rt_bits)] * int(count)
        return np.array(choices, dtype=bool), np.array(rts, dtype=np.float64)
    choices = np.array([c == "1" for c in trials["choices"]], dtype=bool)
    rts = np.array([f64(b) for b in trials["rts"]], dtype=np.float64)
    return choices, rts
