"""A recovery study on a local Dask cluster against the same study run
locally: 100 parameter sets x 4 replications = 400 fit_sim fits of 200
trials each, on a LocalCluster of 2 single-thread worker processes and
locally with 2 corvatel threads. Also the cluster's per-chunk overhead and
the chunk sizes the runner chose.

    python3 bench/bench_dask.py [--repeats 2] [--sets 100] [--max-iters 200]

Runs alternate (local, cluster, local, ...) so that a change in the load
of a shared machine hits both; medians are reported. The two tables are
checked to be identical.
"""

import argparse
import json
import operator
import os
import platform
import statistics
import time

import numpy as np
import pandas as pd


def parameter_grid(sets):
    rng = np.random.default_rng(2024)
    return pd.DataFrame({"drift": rng.uniform(0.5, 2.5, sets), "boundary": rng.uniform(0.8, 2.0, sets),
                         "start": 0.5, "t0": rng.uniform(0.2, 0.4, sets)})


def chunk_overhead(client, n=400):
    """Seconds per chunk of a task that does nothing: one at a time (a round
    trip), and n in flight at once (the scheduler's throughput)."""
    from corvatel._cluster import run_chunk

    round_trips = []
    for _ in range(50):
        start = time.perf_counter()
        client.submit(run_chunk, operator.call, [int], pure=False).result()
        round_trips.append(time.perf_counter() - start)
    start = time.perf_counter()
    futures = [client.submit(run_chunk, operator.call, [int], pure=False) for _ in range(n)]
    client.gather(futures)
    return statistics.median(round_trips), (time.perf_counter() - start) / n


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--sets", type=int, default=100)
    parser.add_argument("--reps", type=int, default=4)
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--max-iters", type=int, default=200)
    args = parser.parse_args()

    import distributed

    import corvatel
    from corvatel import _cluster

    params = parameter_grid(args.sets)
    study = dict(n_trials=args.trials, reps=args.reps, seed=1, max_iters=args.max_iters, progress=False)
    sizes = []
    choose = _cluster.chunk_size

    def recording_chunk_size(*a):
        sizes.append(choose(*a))
        return sizes[-1]

    _cluster.chunk_size = recording_chunk_size

    start = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
    client = distributed.Client(cluster)
    client.run(lambda: __import__("corvatel"))
    startup = time.perf_counter() - start
    round_trip, throughput = chunk_overhead(client)

    local_times, cluster_times = [], []
    reference = None
    for _ in range(args.repeats):
        corvatel.set_num_threads(2)
        start = time.perf_counter()
        local = corvatel.recover(params, **study)
        local_times.append(time.perf_counter() - start)
        sizes.clear()
        start = time.perf_counter()
        remote = corvatel.recover(params, client=client, **study)
        cluster_times.append(time.perf_counter() - start)
        pd.testing.assert_frame_equal(remote, local, check_exact=True)
        if reference is not None:
            pd.testing.assert_frame_equal(local, reference, check_exact=True)
        reference = local
        print(f"local {local_times[-1]:.1f} s, cluster {cluster_times[-1]:.1f} s", flush=True)
    client.close()
    cluster.close()

    fits = args.sets * args.reps
    local_s, cluster_s = statistics.median(local_times), statistics.median(cluster_times)
    result = {
        "machine": f"{platform.machine()}, {os.cpu_count()} processors, Python {platform.python_version()}",
        "study": f"{fits} fit_sim fits of {args.trials} trials, max_iters {args.max_iters}",
        "local_2_threads_s": local_times, "cluster_2x1_s": cluster_times,
        "median_local_s": round(local_s, 2), "median_cluster_s": round(cluster_s, 2),
        "cluster_over_local": round(cluster_s / local_s, 3),
        "seconds_per_fit_local": round(local_s / fits, 3),
        "cluster_startup_s": round(startup, 2),
        "chunk_round_trip_ms": round(round_trip * 1e3, 2), "chunk_throughput_ms": round(throughput * 1e3, 2),
        "chunks": _cluster.IN_FLIGHT_PER_THREAD * 2 + len(sizes), "largest_chunk": max(sizes, default=1),
    }
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
