"""What the module does with the interpreter lock: fit_ez keeps it (it reads
the caller's arrays in place, which another thread could otherwise resize
under it), and the first load of NumPy's interface never waits while holding
it."""

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import corvatel


def test_fit_ez_keeps_the_interpreter_lock():
    """A thread that wakes every millisecond stamps the time; while fit_ez
    holds the lock it cannot, so its stamps show a pause as long as the call."""
    n = 5_000_000
    choices = np.ones(n, dtype=bool)
    choices[::3] = False
    rts = np.linspace(0.3, 1.5, n)
    alone = []
    for _ in range(3):
        start = time.perf_counter()
        corvatel.fit_ez(choices, rts)
        alone.append(time.perf_counter() - start)
    stamps, stop = [], threading.Event()

    def record():
        while not stop.is_set():
            time.sleep(0.001)
            stamps.append(time.perf_counter())

    recorder = threading.Thread(target=record)
    recorder.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        corvatel.fit_ez(choices, rts)
        end = time.perf_counter()
        time.sleep(0.02)
    finally:
        stop.set()
        recorder.join()
    around = [t for t in stamps if t < start][-1:] + [t for t in stamps if start <= t <= end] + [t for t in stamps if t > end][:1]
    longest_pause = max(b - a for a, b in zip(around, around[1:]))
    # Released, the pauses would stay near 1 ms.
    assert longest_pause > 0.8 * min(alone)


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
