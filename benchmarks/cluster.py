"""mirelo_dask.predict on a two-process LocalCluster (loopback only) against a local predict.

CPU seconds are summed over every process that takes part: the client (which hosts a
LocalCluster's scheduler) and the workers, the cluster's background work included. The
queries are placed on the workers before the clock starts, as they would be where they
outgrow one machine.
"""

import os
import sys
import time

import numpy as np

import workloads


def _cpu_seconds(client):
    own = time.process_time()
    scheduler = client.run_on_scheduler(time.process_time) if client.run_on_scheduler(os.getpid) != os.getpid() else 0.0
    return own + scheduler + sum(client.run(time.process_time).values())


def _builds(client):
    def count():
        cache = sys.modules.get("mirelo_dask._cache")
        return 0 if cache is None else cache.models.builds

    return client.run(count), client.run_on_scheduler(count)


def _timed(cpu_seconds, fn):
    """(result, CPU seconds, wall seconds) of one call."""
    start_cpu, start = cpu_seconds(), time.perf_counter()
    result = fn()
    return result, cpu_seconds() - start_cpu, time.perf_counter() - start


def _best(runs):
    """The run with the least CPU time, as (CPU seconds, wall seconds)."""
    return min((cpu, wall) for _, cpu, wall in runs)


# Dask's periodic work at intervals that cost little: the workers' statistical profiler
# (every 10 ms by default), each process's event-loop check (20 ms) and its resource and
# memory monitors. docs/dask.md suggests these settings for CPU-bound predictions.
QUIET_TIMERS = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.memory.monitor-interval": "1s",
}


# Ample on a loaded machine; a cluster that stalls fails the run instead of holding it.
WAIT_SECONDS = 300


def _wait_until_placed(placed):
    from distributed import wait

    try:
        wait(placed, timeout=WAIT_SECONDS)
    except TimeoutError:
        raise TimeoutError(f"the queries were not on the workers after {WAIT_SECONDS} s") from None


def _idle_blocks(placed, seconds):
    """placed's blocks mapped to tasks that only sleep: what Dask itself costs for such a compute."""
    def idle(block):
        time.sleep(seconds)
        return np.empty(len(block), dtype="<U1")

    return placed.map_blocks(idle, drop_axis=1, dtype="<U1")


def _cluster_runs(model, queries, workers, repeats, local):
    """mirelo_dask.predict's runs on a fresh cluster and the local runs, one after each; the
    models each worker and the scheduler unpickled; and runs whose tasks sleep as long as the
    local search takes per block."""
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster

    import mirelo_dask

    # The scheduler fails any compute left without workers, the tasks that sleep included.
    with dask.config.set({"distributed.scheduler.no-workers-timeout": f"{WAIT_SECONDS}s"}):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address="127.0.0.1:0")
    with cluster, Client(cluster) as client:
        # Scattered rather than put in the graph, and persisted as one array, as a user would keep
        # queries that are searched more than once; the imports every worker makes once are done
        # before the clock starts too, so what is measured is the model's trip and the search.
        parts = [queries[i:i + 20_000] for i in range(0, len(queries), 20_000)]
        placed = client.persist(da.concatenate([da.from_delayed(future, part.shape, dtype=part.dtype)
                                                for future, part in zip(client.scatter(parts), parts)]))
        _wait_until_placed(placed)
        client.run(lambda: __import__("mirelo_dask") and None)
        # The first compute unpickles the model on each worker; the later ones find it cached.
        runs, local_runs = [], []
        for _ in range(1 + repeats):
            runs.append(_timed(lambda: _cpu_seconds(client), lambda: mirelo_dask.predict(model, placed).compute()))
            local_runs.append(_timed(time.process_time, local))
        seconds = _best(local_runs)[0] / len(parts)
        idle_runs = [_timed(lambda: _cpu_seconds(client), _idle_blocks(placed, seconds).compute) for _ in range(repeats)]
        return runs, local_runs, _builds(client), idle_runs


def dask_workload(threads, rows, queries, features=200, workers=2, repeats=4):
    import dask
    from threadpoolctl import threadpool_limits

    from mirelo_sklearn import MireloClassifier

    w = workloads.synthetic("dask", rows, queries, features)
    model = MireloClassifier(n_neighbors=w.k, n_components=w.variance).fit(w.X, w.y)

    def local():
        with threadpool_limits(limits={"blas": 1, "openmp": threads}):
            return model.predict(w.queries)

    # Local runs alternate with the cluster's, so that a change in the machine's speed meets both;
    # each cluster figure is set against the best of as many local runs, taken beside it.
    results = {}
    for name, settings in (("Dask's defaults", {}), ("quiet timers", QUIET_TIMERS)):
        with dask.config.set(settings):
            results[name] = _cluster_runs(model, w.queries, workers, repeats, local)
    expected = results["Dask's defaults"][1][0][0]
    same = all(np.array_equal(labels, expected) for runs, local_runs, _, _ in results.values()
               for labels, _, _ in runs + local_runs)

    print(f"\n**dask: {rows} x {features} model ({model.n_components_} components), {queries} queries, "
          f"k={w.k}**: local on {threads} threads against {workers} workers x 1 thread on 127.0.0.1; a local "
          f"run follows each compute; later computes: the best of {repeats}, against the best of the "
          f"{repeats} local runs that follow them\n")
    print("| run | wall (s) | CPU, all processes (s) | local CPU beside it (s) | CPU ÷ local CPU |")
    print("|---|---:|---:|---:|---:|")
    for name, (runs, local_runs, _, idle_runs) in results.items():
        for which, part in (("first compute", slice(0, 1)), ("later computes", slice(1, None))):
            (cpu, wall), (local_cpu, _) = _best(runs[part]), _best(local_runs[part])
            print(f"| cluster, {name}: {which} | {wall:.3g} | {cpu:.3g} | {local_cpu:.3g} | {cpu / local_cpu:.2f} |")
        cpu, wall = _best(idle_runs)
        print(f"| cluster, {name}: tasks that sleep instead (Dask's own CPU) | {wall:.3g} | {cpu:.3g} | – | – |")
    local_cpu, local_wall = _best([run for _, local_runs, _, _ in results.values() for run in local_runs])
    print(f"\nLocal, best of all: {local_wall:.3g} s wall, {local_cpu:.3g} CPU seconds.")
    for name, (_, _, (built, on_scheduler), _) in results.items():
        print(f"\n{name}: models unpickled per worker over {1 + repeats} computes: {sorted(built.values())}; "
              f"on the scheduler: {on_scheduler}.")
    print(f"\nLabels equal to the local predict in every run: {'yes' if same else 'NO'}.")
