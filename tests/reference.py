"""Reference vectors and bit-pattern helpers shared by the tests."""

import json
import os
import struct
from pathlib import Path

import numpy as np
import pytest

# Reference values computed independently of this project, copied into the
# repository (data/README.md says from where); CORVATEL_VECTORS names another
# folder.
VECTORS = Path(os.environ.get("CORVATEL_VECTORS", Path(__file__).resolve().parent / "data"))


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


def ticks_during(call):
    """How often this thread could count while `call` ran on another thread;
    near zero when `call` keeps the interpreter lock."""
    import threading

    started, done = threading.Event(), threading.Event()

    def work():
        started.set()
        call()
        done.set()

    thread = threading.Thread(target=work)
    thread.start()
    started.wait()
    ticks = 0
    while not done.is_set():
        ticks += 1
    thread.join()
    return ticks


def results_in_threads(calls):
    """The results of `calls`, each run on its own thread, all at once."""
    import threading

    results = [None] * len(calls)

    def work(i):
        results[i] = calls[i]()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


# Newer Pythons warn when a process with threads forks; the worker pool's
# threads are exactly what the fork tests are about.
FORK_WITH_THREADS = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def _put_result(queue, function, args):
    queue.put(function(*args))


# The sanitizer the module was built with, if any (tools/ci/sanitizers.sh sets
# it): a few tests cannot work under one and skip themselves.
SANITIZER = os.environ.get("CORVATEL_SANITIZER", "")


def skip_under_sanitizer(reason):
    return pytest.mark.skipif(bool(SANITIZER), reason=f"under the {SANITIZER} sanitizer: {reason}")


def result_in_forked_child(function, *args, timeout=120):
    """function(*args) in a child made by fork; fails the test on a hang."""
    import multiprocessing

    if SANITIZER:
        # The fork tests run in the plain build.
        pytest.skip(f"under the {SANITIZER} sanitizer a child forked from a threaded process can block on the sanitizer allocator's lock")

    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_put_result, args=(queue, function, args))
    child.start()
    child.join(timeout=timeout)
    if child.is_alive():
        child.kill()
        pytest.fail(f"the forked child hung in {function.__name__}")
    assert child.exitcode == 0
    return queue.get(timeout=5)
