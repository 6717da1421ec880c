"""The grow workload: a model fitted on half the rows and grown by partial_fit in equal additions,
against a model fitted on all of them at once."""

import statistics
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

import workloads


def one_row_latency(model, queries, calls):
    """The median seconds of a one-row predict."""
    times = []
    for q in range(calls):
        row = queries[q % len(queries)][None, :]
        start = time.perf_counter()
        model.predict(row)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def batch_time(model, queries):
    """The best of three predicts of every query."""
    times = []
    for _ in range(3):
        start = time.perf_counter()
        model.predict(queries)
        times.append(time.perf_counter() - start)
    return min(times)


def grow_workload(threads, rows, additions, batch, queries, calls, latent):
    from mirelo_sklearn import MireloClassifier

    total = rows + additions * batch
    w = workloads.large("grow", total, queries, 784, seed=2, latent=latent)
    y = np.asarray(w.y)
    with threadpool_limits(limits={"blas": 1, "openmp": threads}):
        whole = MireloClassifier(n_neighbors=w.k, n_components=w.variance)
        start = time.perf_counter()
        whole.fit(w.X, y)
        whole_fit = time.perf_counter() - start
        grown = MireloClassifier(n_neighbors=w.k, n_components=w.variance).fit(w.X[:rows], y[:rows])
        times = []
        for a in range(additions):
            top = rows + a * batch
            start = time.perf_counter()
            grown.partial_fit(w.X[top:top + batch], y[top:top + batch])
            times.append(time.perf_counter() - start)
        figures = {
            "one-row predict (ms)": [1e3 * one_row_latency(m, w.queries, calls) for m in (grown, whole)],
            f"{queries}-query predict (s)": [batch_time(m, w.queries) for m in (grown, whole)],
            "model memory (MB)": [sys.getsizeof(m) / 1e6 for m in (grown, whole)],
        }
        agreement = np.mean(grown.predict(w.queries) == whole.predict(w.queries))
    side = grown._fit.model.n_side_rows
    print(f"\n**grow: fit {rows} x 784, then {additions} additions of {batch} rows, against a fit of all "
          f"{total}** (k={w.k}, {grown.n_components_} components grown, {whole.n_components_} whole; "
          f"{threads} threads; {side} rows in the side runs at the end)\n")
    print("| figure | value |\n|---|---:|")
    print(f"| fit of all {total} rows (s) | {whole_fit:.3g} |")
    print(f"| all additions (s) | {sum(times):.3g} |")
    print(f"| all additions ÷ fit of all | {sum(times) / whole_fit:.3f} |")
    print(f"| median addition (ms) | {1e3 * statistics.median(times):.3g} |")
    print(f"| slowest addition (ms), a fold | {1e3 * max(times):.3g} |")
    print("\n| figure | grown | fitted whole | grown ÷ whole |\n|---|---:|---:|---:|")
    for name, (grown_value, whole_value) in figures.items():
        print(f"| {name} | {grown_value:.3g} | {whole_value:.3g} | {grown_value / whole_value:.3f} |")
    print(f"\nLabels the two models agree on: {agreement:.4f} (their reductions differ: the grown one keeps "
          "the first rows' axes)")
