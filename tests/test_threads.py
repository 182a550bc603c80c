"""The worker pool seen from Python: thread control, a process that exits
while a thread computes, and interrupts of long calls."""

import os
import platform
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from reference import results_in_threads, skip_under_sanitizer

import corvatel


def run_python(code, timeout=120, env=None, args_=(), **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *([args_] if isinstance(args_, str) else args_)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
        **kwargs,
    )


@pytest.fixture
def restore_threads():
    before = corvatel.get_num_threads()
    yield
    corvatel.set_num_threads(before)


def test_results_do_not_depend_on_the_thread_count(restore_threads, simulated_data):
    outputs = []
    for k in (1, 2, 3):
        corvatel.set_num_threads(k)
        assert corvatel.get_num_threads() == k
        c, r, x = corvatel.simulate(0.8, 1.3, 0.45, 0.2, 3000, 11)
        fit = corvatel.fit_sim(*simulated_data, max_iters=20)
        outputs.append((c.tobytes(), r.tobytes(), x, fit))
    assert outputs[1] == outputs[0]
    assert outputs[2] == outputs[0]


def test_changing_the_count_while_batches_run(restore_threads):
    """Batches in other threads go on with the workers that remain, and each
    gives the bits it gives alone."""
    expected = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 20_000, 5)
    stop = threading.Event()

    def resize():
        k = 0
        while not stop.is_set():
            corvatel.set_num_threads(k % 3 + 1)
            k += 1
        return k

    def batches():
        return [corvatel.simulate(1.0, 1.5, 0.5, 0.3, 20_000, 5) for _ in range(10)]

    resizer = threading.Thread(target=resize)
    resizer.start()
    try:
        results = results_in_threads([batches, batches])
    finally:
        stop.set()
        resizer.join()
    for c, r, x in (b for batch in results for b in batch):
        assert np.array_equal(c, expected[0]) and np.array_equal(r, expected[1]) and x == expected[2]


@pytest.mark.parametrize(
    "k, error, message",
    [
        (0, ValueError, "k must be a whole number of threads from 1 to 1024, got 0"),
        (-3, ValueError, "k must be a whole number of threads from 1 to 1024, got -3"),
        (1025, ValueError, "k must be a whole number of threads from 1 to 1024, got 1025"),
        (2**70, ValueError, f"k must be a whole number of threads from 1 to 1024, got {2**70}"),
        (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("2", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_bad_thread_counts(restore_threads, k, error, message):
    before = corvatel.get_num_threads()
    with pytest.raises(error) as info:
        corvatel.set_num_threads(k)
    assert str(info.value) == message
    if error is TypeError:
        assert info.value.__notes__ == ["while processing 'k'"]
    assert corvatel.get_num_threads() == before


def test_the_largest_thread_count_is_taken():
    # In a fresh process the pool has not started, so no threads are made.
    out = run_python(
        """
        import corvatel
        corvatel.set_num_threads(1024)
        print(corvatel.get_num_threads())
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1024"


@pytest.mark.parametrize(
    "value, expected, warns",
    [("2", 2, False), ("1", 1, False), ("1024", 1024, False), ("0", None, True), ("many", None, True),
     ("-1", None, True), ("1025", None, True)],
)
def test_environment_variable(value, expected, warns):
    out = run_python(
        """
        import os, warnings
        warnings.simplefilter("always")
        with warnings.catch_warnings(record=True) as caught:
            import corvatel
        print(corvatel.get_num_threads(), len(os.sched_getaffinity(0)), [str(w.message) for w in caught])
        """,
        env={"CORVATEL_NUM_THREADS": value},
    )
    assert out.returncode == 0, out.stderr
    count, processors, warnings = out.stdout.split(" ", 2)
    assert int(count) == (expected if expected is not None else int(processors))
    if warns:
        assert f'CORVATEL_NUM_THREADS="{value}" is not a whole number from 1 to 1024' in warnings
    else:
        assert warnings.strip() == "[]"


# Each call runs in a daemon thread that is still computing when the main
# thread ends; at shutdown, re-taking the interpreter lock ends that thread.
BUSY_AT_EXIT = {
    "simulate": "corvatel.simulate(1.0, 1.5, 0.5, 0.3, 20_000, 1)",
    "long simulate": "corvatel.simulate(0.0, 3.0, 0.5, 0.3, 3_000_000, 1)",
    "fit_sim": "corvatel.fit_sim(choices, rts, max_iters=10**9)",
    "fit_sim near its end": "corvatel.fit_sim(choices, rts, max_iters=3)",
}


# ASan's own no-return hook reports its sigaltstack bookkeeping as a stack
# overflow while the thread is unwound at shutdown; the plain build runs this.
@skip_under_sanitizer("the forced unwind at shutdown trips the sanitizer's own no-return hook")
@pytest.mark.parametrize("call", BUSY_AT_EXIT.values(), ids=BUSY_AT_EXIT.keys())
def test_exit_while_a_daemon_thread_computes(call):
    code = f"""
        import threading, time
        import numpy as np
        import corvatel
        choices = np.ones(100, dtype=bool)
        rts = np.full(100, 0.5)
        choices[::3] = False
        rts[::2] = 0.7
        def work():
            while True:
                {call}
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.3)
        """
    for _ in range(3):
        out = run_python(code, timeout=60)
        assert "terminate called" not in out.stderr
        assert out.returncode == 0, out.stderr


# Constant response times: every cost is the invalid one, and the search
# would run all of max_iters.
INTERRUPTIBLE = {
    "fit_sim": "corvatel.fit_sim(np.ones(200, dtype=bool), np.full(200, 0.5), max_iters=10**12)",
    "simulate": "corvatel.simulate(0.0, 4.0, 0.5, 0.3, 50_000_000, 3)",
    "simulate_full": "corvatel.simulate_full(1, 1.5, .5, .3, 5*10**6, 3)",
    "simulate_bounds": "corvatel.simulate_bounds(5*10**6, 1, 1.5, .5, .3, bound='angle', theta=0.1, seed=3)",
    # Likelihood fits of made-up trials, minutes long: the full model between
    # cheap evaluations; 12 levels of 20 000 trials, summed on the pool; and
    # the table layer's one group of 200 000 trials.
    "fit_ml full": "corvatel.fit_ml(np.arange(3000) % 3 > 0, 0.3 + np.arange(3000) % 997 / 1000, model='full')",
    "fit_ml_joint": "corvatel.fit_ml_joint(np.arange(240_000) % 3 > 0, 0.3 + np.arange(240_000) % 997 / 1000, "
                    "np.arange(240_000) % 12)",
    # A joint fit of the angle model: two levels of 20 000 made-up trials.
    "fit_ml_joint angle": "corvatel.fit_ml_joint(np.arange(40_000) % 3 > 0, 0.3 + np.arange(40_000) % 997 / 1000, "
                          "np.arange(40_000) % 2, model='angle')",
    "fit ml table": "corvatel.fit(__import__('pandas').DataFrame({'choice': np.arange(200_000) % 3 > 0, "
                    "'rt': 0.3 + np.arange(200_000) % 997 / 1000}), method='ml')",
    "wfpt_logpdf": "corvatel.wfpt_logpdf(np.full(5_000_000, 0.6), True, 1.0, 1.5, 0.5, 0.3, sv=1.0, sz=0.2, st=0.2)",
    "wfpt_cdf": "corvatel.wfpt_cdf(np.full(1_000_000, 0.6), True, 1.0, 1.5, 0.5, 0.3, sv=1.0, sz=0.2, st=0.2)",
    "wfpt_logpdf_grad": "corvatel.wfpt_logpdf_grad(np.full(1_000_000, 0.6), True, 1.0, 1.5, 0.5, 0.3, sz=0.2, st=0.2)",
    # One solve on a grid of 87 000 steps (a response time in milliseconds
    # taken for seconds): minutes in a single loop.
    "bounds_logpdf": "corvatel.bounds_logpdf(600.0, True, 0.5, 1.0, 0.5, 0.3, leak=0.5)",
}


def default_sigint():
    """A shell that starts a job in the background ignores SIGINT in it, and
    a Python started with SIGINT ignored installs no KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("call", INTERRUPTIBLE.values(), ids=INTERRUPTIBLE.keys())
def test_ctrl_c_interrupts_a_long_call(call):
    code = f"""
        import sys, time
        import numpy as np
        import corvatel
        corvatel.simulate(1.0, 1.0, 0.5, 0.3, 10, 1)  # starts the pool
        print("ready", flush=True)
        started = time.monotonic()
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted after", time.monotonic() - started, flush=True)
            # the pool is still usable, and nothing of the stopped call remains
            print(corvatel.simulate(1.0, 1.0, 0.5, 0.3, 1000, 1)[0].size + 0, flush=True)
            sys.exit(0)
        sys.exit(3)
        """
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=default_sigint,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        reacted = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    assert "interrupted after" in out
    # Generous for a loaded machine: without the check the call runs for
    # hours (fit) or about a minute (simulate).
    assert reacted < 10


def obtainable_bytes():
    """MemAvailable + SwapFree, read independently of the module."""
    fields = {}
    with open("/proc/meminfo") as f:
        for line in f:
            key, value = line.split(":")
            fields[key] = int(value.split()[0]) * 1024
    return fields["MemAvailable"] + fields.get("SwapFree", 0)


def test_batch_larger_than_memory_raises_at_once():
    """Half again as many trials as fit: the kernel's overcommit grants the
    buffers, so without the check the call would start filling them (for
    minutes, until the process is killed) instead of raising."""
    n = obtainable_bytes() * 3 // 2 // 9  # the two output arrays alone take 9 bytes a trial
    out = run_python(
        f"""
        import corvatel
        try:
            corvatel.simulate(1.0, 1.5, 0.5, 0.3, {n}, 1)
        except MemoryError as e:
            print(e)
        print(corvatel.simulate(1.0, 1.5, 0.5, 0.3, 10, 1)[2] + 1)
        """,
        timeout=20,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"simulate: {n} trials need more memory than this machine can give", "1"]


@pytest.mark.parametrize("n", [0, 1, 7])
def test_every_result_array_has_the_same_kind_of_owner(n):
    reference = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 3, 1)
    for got, like in zip(corvatel.simulate(1.0, 1.5, 0.5, 0.3, n, 1)[:2], reference[:2]):
        assert got.size == n and got.dtype == like.dtype
        assert type(got.base) is type(like.base)
        assert got.flags.owndata is False and got.flags.writeable


ROUNDING_UPWARD = {"x86_64": 0x800, "aarch64": 0x400000}  # FE_UPWARD of each platform's <fenv.h>

FLOATING_POINT_PROBE = """
import ctypes, platform, sys
import numpy as np
if sys.argv[1] != "default":
    assert ctypes.CDLL(None).fesetround(int(sys.argv[1])) == 0
import corvatel  # the pool starts from this thread, under its modes
# Inputs exact in binary (dyadic), so that they do not depend on the mode.
c, r, x = corvatel.simulate(0.875, 1.25, 0.4375, 0.25, 2000, 17)
choices = np.array([i % 4 != 0 for i in range(300)])
rts = np.array([(300 + (i * 7919) % 613) / 1024 for i in range(300)])
print(c.tobytes().hex(), r.tobytes().hex(), x)
print(sorted((k, float(v).hex()) for k, v in corvatel.fit_ez(choices, rts).items()))
print(sorted((k, float(v).hex()) for k, v in corvatel.fit_sim(choices, rts, max_iters=6).items()))
"""


@pytest.mark.skipif(platform.machine() not in ROUNDING_UPWARD, reason="FE_UPWARD's value is known per platform")
def test_callers_rounding_mode_changes_nothing():
    outputs = [
        run_python(FLOATING_POINT_PROBE, args_=mode)
        for mode in ("default", str(ROUNDING_UPWARD[platform.machine()]))
    ]
    for out in outputs:
        assert out.returncode == 0, out.stderr
    assert outputs[1].stdout == outputs[0].stdout
