"""fit and recover on a real Dask cluster (worker processes on the loopback
interface) give the local tables bit for bit, also after a worker dies."""

import math
import operator
import os
import pickle
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import corvatel
from corvatel import _cluster
from cli_runner import COMMAND, run

distributed = pytest.importorskip("distributed")

TRUTH = pd.DataFrame({"set": ["a", "b", "c"], "drift": [0.8, 1.5, 2.0], "boundary": [1.0, 1.4, 1.2],
                      "start": 0.5, "t0": [0.3, 0.25, 0.2]})
QUICK = {"max_iters": 3}  # a few Nelder-Mead steps: the tables, not the fits, are under test
# For tests whose tables hold a hopeless group on purpose: fit's summary
# warnings of it (tests/test_flags.py checks them).
FLAGGED_ON_PURPOSE = pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups (flagged|failed):UserWarning")
THREADS_AT_START = {}  # the worker processes' own corvatel thread counts


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        THREADS_AT_START.update(client.run(corvatel.get_num_threads))
        yield client


@pytest.fixture(scope="module")
def trials():
    """Subjects x conditions, plus one group with too few correct responses
    to fit, whose row must carry its error."""
    grid = pd.DataFrame({"subject": np.repeat(["s1", "s2", "s3"], 3), "condition": np.tile([1, 2, 3], 3),
                         "drift": np.linspace(0.5, 2.5, 9), "boundary": 1.2, "start": 0.5, "t0": 0.3})
    data = corvatel.simulate_data(grid, 150, seed=11)
    hopeless = pd.DataFrame({"subject": "s4", "condition": 1, "trial": range(5),
                             "choice": [False, False, False, True, False], "rt": 0.5})
    return pd.concat([data, hopeless], ignore_index=True).sample(frac=1.0, random_state=3)


def method_options(method):
    return QUICK if method == "sim" else {}


@FLAGGED_ON_PURPOSE
@pytest.mark.parametrize("method", ["ez", "sim"])
def test_fit_on_the_cluster_is_the_local_table(client, trials, method):
    local = corvatel.fit(trials, by=["subject", "condition"], method=method, **method_options(method))
    remote = corvatel.fit(trials, by=["subject", "condition"], method=method, client=client,
                          **method_options(method))
    assert local["error"].iloc[-1] != "" and (local["error"].iloc[:-1] == "").all()
    pd.testing.assert_frame_equal(remote, local, check_exact=True)


@pytest.mark.parametrize("method", ["ez", "sim"])
def test_recover_on_the_cluster_is_the_local_table(client, method):
    local = corvatel.recover(TRUTH, 200, method=method, reps=2, seed=5, **method_options(method))
    remote = corvatel.recover(TRUTH, 200, method=method, reps=2, seed=5, client=client, **method_options(method))
    pd.testing.assert_frame_equal(remote, local, check_exact=True)


def test_each_task_runs_with_its_workers_thread_count(client):
    # operator.call(get_num_threads) on the workers: the count a task sees.
    seen = _cluster.run_on_cluster(client, operator.call, [corvatel.get_num_threads] * 6, "threads", False)
    assert seen == [1] * 6  # each worker has one thread
    # Between tasks the processes are back at their own count.
    assert client.run(corvatel.get_num_threads) == THREADS_AT_START


def test_a_failing_task_stops_the_study_with_its_own_exception(client):
    # Not a fit failure (those are rows with an error), a fault in the task.
    with pytest.raises(ValueError, match="math domain error"):
        _cluster.run_on_cluster(client, math.sqrt, [4.0, -1.0, 9.0], "sqrt", False)


def test_errors_that_cross_process_boundaries_pickle():
    try:
        corvatel.fit_sim(np.array([True, False, False]), np.array([0.4, 0.5, 0.6]))
    except corvatel.CorvatelError as error:
        fit_error = error
    try:
        with _without_dask():
            _cluster.check_client(object())
    except ImportError as error:
        missing_extra = error
    for error in (fit_error, missing_extra):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and str(copy) == str(error)


class _without_dask:
    def __enter__(self):
        self.saved = sys.modules.get("distributed")
        sys.modules["distributed"] = None  # makes `import distributed` fail

    def __exit__(self, *exc):
        sys.modules["distributed"] = self.saved


def test_without_dask_the_package_imports_and_client_names_the_extra():
    code = ("import sys; sys.modules['dask'] = sys.modules['distributed'] = None\n"
            "import corvatel, corvatel.cli\n"
            "try:\n    corvatel.recover({'drift': 1, 'boundary': 1, 'start': 0.5, 't0': 0.2}, 10, client=object())\n"
            "except ImportError as e:\n    print(e)\n"
            "sys.exit(corvatel.cli.main(['fit', '-', '--method', 'ez', '--workers', '2', '-o', '-']))\n")
    done = subprocess.run([sys.executable, "-c", code], input="choice,rt\n1,0.5\n",
                          capture_output=True, text=True)
    assert "pip install 'corvatel[dask]'" in done.stdout
    assert done.returncode == 1 and "corvatel[dask]" in done.stderr and "Traceback" not in done.stderr


def test_client_must_be_a_client():
    with pytest.raises(TypeError, match="client must be a dask.distributed.Client"):
        corvatel.fit(pd.DataFrame({"choice": [True, False], "rt": [0.5, 0.6]}), method="ez",
                     client="tcp://127.0.0.1:8786")


@pytest.mark.parametrize("seconds_per_task, remaining, threads, expected", [
    (1.0, 400, 2, 1),            # slow tasks go one by one
    (2.0**-7, 1000, 2, 64),      # 7.8 ms tasks: 0.5 s of work per chunk
    (2.0**-7, 20, 2, 6),         # ... in the tail a share of what is left, but 50 ms at least
    (2.0**-14, 10**6, 2, 8192),  # a chunk never exceeds 0.5 s of work ...
    (2.0**-20, 1000, 2, 1000),   # ... and tiny tasks all go in one
])
def test_chunk_size(seconds_per_task, remaining, threads, expected):
    assert _cluster.chunk_size(seconds_per_task, remaining, threads) == expected


def test_a_killed_worker_costs_only_its_tasks(client):
    # Kill a worker process while it holds a running task; Dask runs that
    # chunk again on the other worker or on the nanny's restarted one. The
    # fits are long enough (about 0.2 s each, 12 of them) that the study is
    # still running when the killer, polling every few milliseconds, sees
    # two chunks done.
    study = dict(reps=4, seed=9, max_iters=30)
    local = corvatel.recover(TRUTH, 200, **study)
    killed = {}

    def kill_when_busy():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not killed:
            done, busy = client.run_on_scheduler(_scheduler_state)
            if done >= 2 and busy:
                address = busy[0]
                pid = client.run(os.getpid, workers=[address])[address]
                os.kill(pid, signal.SIGKILL)
                killed["pid"] = pid
                return
            time.sleep(0.005)

    killer = threading.Thread(target=kill_when_busy)
    killer.start()
    remote = corvatel.recover(TRUTH, 200, **study, client=client)
    killer.join()
    assert killed, "the study ended before a worker could be killed"
    pd.testing.assert_frame_equal(remote, local, check_exact=True)


def _scheduler_state(dask_scheduler):
    """(finished chunks, addresses of workers running a chunk)."""
    done = sum(1 for t in dask_scheduler.tasks.values() if t.state == "memory")
    busy = [w.address for w in dask_scheduler.workers.values() if w.processing]
    return done, busy


@pytest.mark.parametrize("where", ["--scheduler", "--workers"])
def test_command_line_on_a_cluster_writes_the_local_table(client, tmp_path, capsys, where):
    TRUTH.to_csv(tmp_path / "truth.csv", index=False)
    study = ["recover", "--params", tmp_path / "truth.csv", "--n-trials", 200, "--reps", 3, "--method", "ez"]
    assert run(capsys, *study, "-o", tmp_path / "local.csv")[0] == 0
    target = client.scheduler.address if where == "--scheduler" else 1
    status, _, err = run(capsys, *study, where, target, "--progress", "-o", tmp_path / "cluster.csv")
    assert status == 0
    assert "9/9" in err  # the progress bar counted every task
    assert (tmp_path / "cluster.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_command_line_takes_one_cluster(tmp_path, capsys):
    status, _, err = run(capsys, "fit", tmp_path / "t.csv", "--scheduler", "tcp://127.0.0.1:1",
                             "--workers", "2", "-o", tmp_path / "f.csv")
    assert status == 2 and "not allowed with argument" in err


class _Listener:
    """A TCP server on the loopback interface that accepts connections and
    then never answers (silent) or answers with bytes that are not Dask's
    protocol (junk)."""

    def __init__(self, reply):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.reply, self.connections = reply, []
        self.address = f"tcp://127.0.0.1:{self.server.getsockname()[1]}"
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            self.connections.append(connection)
            try:
                connection.sendall(self.reply)
            except OSError:
                pass

    def close(self):
        for connection in self.connections + [self.server]:
            connection.close()


def _refused_address():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
    return f"tcp://127.0.0.1:{port}"


# Garbage with a frame count of 2**64 - 1: Dask's reader would allocate
# exabytes for it.
JUNK = b"\xff" * 64 + b"HTTP/1.1 400 Bad Request\r\n\r\n" * 20

SCHEDULER_FAULTS = {
    "refused": (_refused_address, "connection refused"),
    "unknown host": (lambda: "tcp://nonexistent.invalid:8786", "cannot find host 'nonexistent.invalid'"),
    "silent": (lambda: _Listener(b""), "no answer within 5 s"),
    "junk": (lambda: _Listener(JUNK), "not a Dask scheduler"),
    "not an address": (lambda: "notaurl", "not a scheduler address; give one like tcp://scheduler-host:8786"),
    "port out of range": (lambda: "tcp://127.0.0.1:99999", "not a scheduler address"),
}


@pytest.mark.parametrize("fault", SCHEDULER_FAULTS)
def test_a_scheduler_that_cannot_be_used_is_one_line_within_seconds(tmp_path, fault):
    make, message = SCHEDULER_FAULTS[fault]
    target = make()
    address = target if isinstance(target, str) else target.address
    TRUTH.to_csv(tmp_path / "truth.csv", index=False)
    try:
        start = time.monotonic()
        done = subprocess.run([COMMAND, "recover", "--params", "truth.csv", "--n-trials", "50", "--method", "ez",
                               "--scheduler", address, "-o", "out.csv"], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60)
        seconds = time.monotonic() - start
    finally:
        if not isinstance(target, str):
            target.close()
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith(f"corvatel recover: error: --scheduler {address}: {message}")
    assert done.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == ["truth.csv"]
    # Two steps of at most 5 s each, and the interpreter's start (a few
    # seconds on a busy machine).
    assert seconds < 30


def test_a_scheduler_address_is_checked_before_anything_else(tmp_path, capsys):
    status, _, err = run(capsys, "fit", tmp_path / "missing.csv", "--scheduler", "scheduler-host", "-o", "-")
    assert (status, err) == (1, "corvatel fit: error: --scheduler scheduler-host: not a scheduler address; "
                                "give one like tcp://scheduler-host:8786\n")


def _kill_own_worker(_):
    os._exit(1)


def test_a_cluster_lost_while_running_is_a_connection_error():
    # A task that kills every worker it runs on: Dask gives up on it
    # (KilledWorker) and the study ends with one clear error, not Dask's.
    import dask

    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                     dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        with pytest.raises(ConnectionError, match="lost the Dask cluster while running kill"):
            _cluster.run_on_cluster(client, _kill_own_worker, [1, 2], "kill", False)


def test_an_asynchronous_client_is_refused(client):
    import asyncio

    async def fit_with_async_client():
        async with distributed.Client(client.scheduler.address, asynchronous=True) as async_client:
            corvatel.fit(pd.DataFrame({"choice": [True, False], "rt": [0.5, 0.6]}), method="ez", client=async_client)

    with pytest.raises(ValueError, match="client must be a synchronous Client"):
        asyncio.run(fit_with_async_client())


def test_a_worker_with_more_threads_than_the_pool_takes_uses_the_pools_most(monkeypatch):
    class Worker:
        class state:
            nthreads = 4096

    monkeypatch.setattr(distributed, "get_worker", lambda: Worker)
    before = corvatel.get_num_threads()
    with _cluster.worker_threads():
        assert corvatel.get_num_threads() == _cluster.MAX_THREADS
    assert corvatel.get_num_threads() == before
