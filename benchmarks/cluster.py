"""mirelo_dask.predict on a two-process LocalCluster (loopback only) against a local predict.

CPU seconds are summed over every process that takes part: the client (which hosts a
LocalCluster's scheduler) and the workers, background work of the cluster included. The queries are placed on the workers before the clock starts, as they would be
where they outgrow one machine.
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


def dask_workload(threads, rows, queries, features=200, workers=2):
    import dask.array as da
    from distributed import Client, LocalCluster
    from threadpoolctl import threadpool_limits

    import mirelo_dask
    from mirelo_sklearn import MireloClassifier

    w = workloads.synthetic("dask", rows, queries, features)
    model = MireloClassifier(k=w.k, variance=w.variance).fit(w.X, w.y)
    with threadpool_limits(limits={"blas": 1, "openmp": threads}):
        start_cpu, start = time.process_time(), time.perf_counter()
        local = model.predict(w.queries)
        local_cpu, local_wall = time.process_time() - start_cpu, time.perf_counter() - start

    figures = []
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # Scattered rather than put in the graph; the imports every worker makes once are done
        # before the clock starts too, so what is measured is the model's trip and the search.
        parts = [w.queries[i:i + 20_000] for i in range(0, queries, 20_000)]
        placed = da.concatenate([da.from_delayed(future, part.shape, dtype=part.dtype)
                                 for future, part in zip(client.scatter(parts), parts)])
        client.run(lambda: __import__("mirelo_dask") and None)
        for _ in range(2):  # the second compute finds the model in the workers' caches
            start_cpu, start = _cpu_seconds(client), time.perf_counter()
            labels = mirelo_dask.predict(model, placed).compute()
            figures.append((_cpu_seconds(client) - start_cpu, time.perf_counter() - start))
        built, on_scheduler = _builds(client)

    print(f"\n**dask: {rows} x {features} model ({model.n_components_} components), {queries} queries, "
          f"k={w.k}**: local on {threads} threads against {workers} workers x 1 thread on 127.0.0.1\n")
    print("| figure | local | cluster, first compute | cluster, second compute |")
    print("|---|---:|---:|---:|")
    print(f"| wall (s) | {local_wall:.3g} | {figures[0][1]:.3g} | {figures[1][1]:.3g} |")
    print(f"| CPU, all processes (s) | {local_cpu:.3g} | {figures[0][0]:.3g} | {figures[1][0]:.3g} |")
    print(f"| CPU ÷ local CPU | 1 | {figures[0][0] / local_cpu:.2f} | {figures[1][0] / local_cpu:.2f} |")
    print(f"\nModels unpickled per worker over both computes: {sorted(built.values())}; on the scheduler: "
          f"{on_scheduler}. Labels equal to the local predict: {'yes' if np.array_equal(labels, local) else 'NO'}.")
