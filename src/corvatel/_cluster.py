"""Running the tasks of ``fit`` and ``recover`` on a Dask cluster.

The tasks go out in chunks. The first chunks hold one task each; later
ones are sized from the task times measured so far, so that a chunk holds
about ``CHUNK_SECONDS`` of work (the scheduling cost of a chunk, 1 to
10 ms on a local cluster, stays within 2 %), but never more than a
share of what is left, so that the last chunks are small and no worker
idles long at the end while another finishes a long chunk. Two chunks per
worker thread are in flight, so a worker always has the next one queued.

Results are put back by task position, so the table does not depend on
which worker ran what, in which order, or how often (Dask runs the chunks
of a worker that died again). Every chunk runs with the corvatel thread
count set to its Dask worker's thread count.

A scheduler is reached in two steps, each bounded by CONNECT_SECONDS: a
plain TCP connection (so that a refused port or an unknown host fails at
once, not after Dask's retries), then Dask's handshake (which Dask itself
waits for without a bound, so that a listener that never answers would
hang the client).

Dask is an optional extra: importing this module does not import it.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import re
import socket
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

from . import _progress

EXTRA = "corvatel[dask]"

# Work per chunk once task times are known, and chunks in flight per
# worker thread.
CHUNK_SECONDS = 0.5
IN_FLIGHT_PER_THREAD = 2
# How often to ask the scheduler how many threads the cluster has (it may grow).
THREADS_RECHECK_SECONDS = 1.0
# Bound on each step of reaching a scheduler (Dask's own default is 30 s).
CONNECT_SECONDS = 5.0
# The most threads corvatel.set_num_threads takes.
MAX_THREADS = 1024

# [tcp:// | tls:// | ws:// | wss://] host : port, the forms Dask prints for
# its schedulers; the host a name, an IPv4 address or a bracketed IPv6 one.
_ADDRESS = re.compile(r"(?:(?P<scheme>tcp|tls|ws|wss)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]@]+):(?P<port>\d{1,5})")

T = TypeVar("T")
R = TypeVar("R")


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError(f"running on a Dask cluster needs dask and distributed: pip install '{EXTRA}'",
                          name="distributed") from None
    return distributed


def check_client(client: Any) -> Any:
    """The client, checked: a ``dask.distributed.Client`` (None stays None).
    Raises ImportError naming the extra when Dask is not installed."""
    if client is None:
        return None
    distributed = _distributed()
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client or None, not {type(client).__name__}")
    if client.status != "running":
        raise ValueError(f"client is not connected (its status is {client.status!r})")
    if client.asynchronous:
        raise ValueError("client must be a synchronous Client (asynchronous=False): the calls wait for their results")
    return client


def chunk_size(seconds_per_task: float, remaining: int, threads: int) -> int:
    """Tasks in the next chunk: about CHUNK_SECONDS of work, but at most a
    1/(2 * in-flight chunks) share of what is left, unless that share is
    under a tenth of CHUNK_SECONDS (then the tail's imbalance costs less
    than more chunks would); at least one."""
    by_time = int(CHUNK_SECONDS / seconds_per_task) if seconds_per_task > 0 else remaining
    by_share = remaining // (2 * IN_FLIGHT_PER_THREAD * threads)
    return max(1, min(by_time, max(by_share, by_time // 10), remaining))


def run_on_cluster(client: Any, function: Callable[[T], R], tasks: Sequence[T], label: str,
                   progress: bool | None) -> list[R]:
    """function(task) for every task, run on the cluster; the results in
    task order. The progress bar counts tasks as their chunks come back."""
    distributed = _distributed()
    threads = cluster_threads(client)
    threads_checked = time.monotonic()
    results: list[Any] = [None] * len(tasks)
    arrivals = distributed.as_completed()
    in_flight: dict[str, tuple[Any, int, int]] = {}
    next_task = 0
    busy_seconds, finished = 0.0, 0

    def top_up() -> None:
        """Keep IN_FLIGHT_PER_THREAD chunks per worker thread submitted."""
        nonlocal next_task
        while next_task < len(tasks) and len(in_flight) < IN_FLIGHT_PER_THREAD * threads:
            size = chunk_size(busy_seconds / finished, len(tasks) - next_task, threads) if finished else 1
            start, stop = next_task, min(next_task + size, len(tasks))
            future = client.submit(run_chunk, function, list(tasks[start:stop]), pure=False)
            in_flight[future.key] = (future, start, stop)
            arrivals.add(future)
            next_task = stop

    distributed = _distributed()
    with _progress.Progress(len(tasks), label, _progress.wanted(progress)) as bar:
        try:
            top_up()
            for future in arrivals:
                try:
                    chunk_results, seconds = future.result()
                except (distributed.client.FutureCancelledError, distributed.KilledWorker) as error:
                    # Dask's own failures (the scheduler lost, workers dying
                    # on a task): the tasks' errors pass through unchanged.
                    reason = str(error) or type(error).__name__
                    raise ConnectionError(f"lost the Dask cluster while running {label}: {reason}") from error
                _, start, stop = in_flight.pop(future.key)
                results[start:stop] = chunk_results
                busy_seconds += seconds
                finished += stop - start
                bar.advance(stop - start)
                if time.monotonic() - threads_checked > THREADS_RECHECK_SECONDS:
                    threads, threads_checked = cluster_threads(client), time.monotonic()
                top_up()
        finally:
            # After an error or an interrupt nothing should go on running for us.
            if in_flight:
                # A client already closed cannot cancel; the error that
                # ended the run is the one to report.
                with contextlib.suppress(Exception):
                    client.cancel([future for future, _, _ in in_flight.values()])
    return results


def cluster_threads(client: Any) -> int:
    """Worker threads of the cluster (at least one, so work waits for workers)."""
    return max(1, int(sum(client.nthreads().values())))


def run_chunk(function: Callable[[T], R], tasks: list[T]) -> tuple[list[R], float]:
    """On a worker: the chunk's results and the seconds they took."""
    with worker_threads():
        start = time.perf_counter()
        results = [function(task) for task in tasks]
        return results, time.perf_counter() - start


_threads_lock = threading.Lock()
_running_chunks = 0
_threads_before = 0


@contextmanager
def worker_threads() -> Iterator[None]:
    """Run with the corvatel thread count equal to this Dask worker's
    thread count, so that the worker's threads never oversubscribe its
    processors. The count is process-wide: it is set when the first chunk
    in this process starts and put back when the last one running ends
    (which matters when the workers share the client's process)."""
    import corvatel
    from distributed import get_worker

    global _running_chunks, _threads_before
    # The worker pool's limit: a worker may run more threads than that.
    nthreads = min(get_worker().state.nthreads, MAX_THREADS)
    with _threads_lock:
        if _running_chunks == 0:
            _threads_before = corvatel.get_num_threads()
            if _threads_before != nthreads:
                corvatel.set_num_threads(nthreads)
        _running_chunks += 1
    try:
        yield
    finally:
        with _threads_lock:
            _running_chunks -= 1
            if _running_chunks == 0 and corvatel.get_num_threads() != _threads_before:
                corvatel.set_num_threads(_threads_before)


def check_scheduler_address(address: str) -> tuple[str, int]:
    """(host, port) of a scheduler address such as tcp://scheduler-host:8786;
    ValueError for anything else."""
    match = _ADDRESS.fullmatch(address)
    if match is None or not 0 < int(match["port"]) < 65536:
        raise ValueError("not a scheduler address; give one like tcp://scheduler-host:8786")
    return match["host"].strip("[]"), int(match["port"])


def reach_scheduler(address: str, seconds: float = CONNECT_SECONDS) -> None:
    """Check that a Dask scheduler answers at `address`, in at most about
    2 * `seconds`; ConnectionError saying why not."""
    host, port = check_scheduler_address(address)
    try:
        with socket.create_connection((host, port), timeout=seconds):
            pass
    except socket.gaierror as error:
        raise ConnectionError(f"cannot find host {host!r} ({error.strerror})") from None
    except ConnectionRefusedError:
        raise ConnectionError("connection refused (no scheduler listens there)") from None
    except TimeoutError:
        raise ConnectionError(f"no connection within {seconds:g} s") from None
    except OSError as error:
        raise ConnectionError(f"cannot connect ({error.strerror or error})") from None
    distributed = _distributed()

    async def handshake() -> None:
        arguments = distributed.Security().get_connection_args("client")
        comm = await distributed.comm.connect(address, timeout=seconds, **arguments)
        await comm.close()

    try:
        asyncio.run(asyncio.wait_for(handshake(), seconds))
    except asyncio.TimeoutError:
        raise ConnectionError(f"no answer within {seconds:g} s (is it a Dask scheduler?)") from None
    except Exception as error:
        # A server speaking another protocol gives anything from a parse
        # error to a MemoryError for a frame of absurd length.
        text = " ".join(str(error).split()) or type(error).__name__
        raise ConnectionError(f"not a Dask scheduler ({text})") from None


@contextmanager
def open_client(scheduler: str | None = None, workers: int | None = None) -> Iterator[Any]:
    """A client of the scheduler at `scheduler` (checked first by
    reach_scheduler), or of a local cluster of `workers` processes started
    for the occasion (loopback only, the processors shared out among them);
    closed, with that cluster, on exit."""
    distributed = _distributed()
    if scheduler is not None and workers is None:
        reach_scheduler(scheduler)
        with distributed.Client(scheduler, timeout=CONNECT_SECONDS) as client:
            yield client
        return
    if workers is None or scheduler is not None:
        raise ValueError("give either a scheduler address or a number of workers")
    processors = len(os.sched_getaffinity(0))
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=max(1, processors // workers),
                                  processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as client:
            yield client
