"""What the module does with the interpreter lock: fit_ez keeps it (it reads
the caller's arrays in place, which another thread could otherwise resize
under it), the densities' gradients release it, and the first load of NumPy's interface never waits while holding
it."""

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import corvatel


def _stamps_during(call):
    """How many times a thread that wakes every millisecond could record the
    time while `call` ran on this thread, and how long the call took."""
    stamps, stop = [], threading.Event()

    def record():
        while not stop.is_set():
            time.sleep(0.001)
            stamps.append(time.perf_counter())

    # With a long switch interval the recorder gets the lock only when the
    # call lets go of it, not when the interpreter hands it over between
    # this function's own steps (on a loaded machine, several times before
    # the call starts).
    interval = sys.getswitchinterval()
    recorder = threading.Thread(target=record)
    recorder.start()
    try:
        time.sleep(0.02)
        sys.setswitchinterval(5.0)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        recorder.join()
    return sum(start < t < end for t in stamps), end - start


def test_fit_ez_keeps_the_interpreter_lock():
    """While fit_ez holds the lock the recorder cannot stamp at all (one
    stamp may slip in as the call starts); a call that lets go of the lock
    for as long, a sleep, shows the recorder does run meanwhile. Counting
    rather than timing keeps the test steady on a busy machine."""
    n = 20_000_000
    choices = np.ones(n, dtype=bool)
    choices[::3] = False
    rts = np.linspace(0.3, 1.5, n)
    inside_fit, duration = _stamps_during(lambda: corvatel.fit_ez(choices, rts))
    inside_sleep, _ = _stamps_during(lambda: time.sleep(max(duration, 0.05)))
    assert inside_sleep >= 5
    assert inside_fit <= 2


def test_wfpt_logpdf_grad_releases_the_interpreter_lock():
    # Some hundred milliseconds of gradients (sz and st, about 2 us a trial)
    # while a thread that wakes every millisecond keeps stamping.
    rts = np.linspace(0.35, 2.0, 100_000)
    inside, duration = _stamps_during(
        lambda: corvatel.wfpt_logpdf_grad(rts, True, 1.0, 1.5, 0.5, 0.3, sz=0.2, st=0.1))
    assert inside >= 0.2 * duration / 0.001


def test_first_numpy_load_never_waits_holding_the_lock():
    """A thread starts the first load of NumPy; while that import runs (and
    lets go of the lock), a second thread also needs NumPy. Waiting for the
    first thread while holding the lock would deadlock both."""
    code = """
        import sys, threading, time
        import _corvatel

        class SecondCallerDuringImport:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" and not hasattr(self, "thread"):
                    self.thread = threading.Thread(target=call)
                    self.thread.start()
                    time.sleep(0.3)  # the second caller runs now
                return None

        def call():
            try:
                _corvatel.fit_ez(1, 2)
            except TypeError:
                pass

        hook = SecondCallerDuringImport()
        sys.meta_path.insert(0, hook)
        call()
        hook.thread.join()
        print("ok")
        """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
