"""What runs on the workers: one block of queries against a cached model.

Each call sets the OpenMP team of its own thread from the worker's share of the cores, so
that processes x threads x OpenMP threads never exceed the machine.
"""

import os
from typing import Any, Dict, Mapping

import dask
import numpy as np

from mirelo_sklearn import engine

from ._cache import models


def thread_budget(threads_per_host: Mapping[str, int]) -> int:
    """The cores this host has for each task thread of all the workers it runs."""
    cores = len(os.sched_getaffinity(0))
    try:
        from distributed import get_worker
        from distributed.comm import get_address_host

        worker = get_worker()
    except (ImportError, ValueError):  # Dask's own thread pool, one thread per core by default
        threads = dask.config.get("num_workers", None) or cores
    else:
        threads = threads_per_host.get(get_address_host(worker.address), worker.state.nthreads)
    return max(1, cores // max(1, threads))


def predict(block, source, digest, threads_per_host):
    model = models.get(digest, source)
    if len(block) == 0:
        return np.empty(0, dtype=model.classes_.dtype)
    return engine.labels(model, block, thread_budget(threads_per_host))


def predict_proba(block, source, digest, threads_per_host):
    model = models.get(digest, source)
    if len(block) == 0:
        return np.empty((0, len(model.classes_)))
    return engine.shares(model, block, thread_budget(threads_per_host))


def kneighbors(block, source, digest, threads_per_host, n_neighbors):
    """Distances and row indices, nearest first, as the estimator's kneighbors returns them."""
    model = models.get(digest, source)
    if len(block) == 0:
        return np.empty((0, n_neighbors)), np.empty((0, n_neighbors), dtype=np.intp)
    return engine.neighbours(model, block, n_neighbors, thread_budget(threads_per_host))


def stacked_kneighbors(block, source, digest, threads_per_host, n_neighbors):
    """kneighbors as one array: [..., 0] the distances, [..., 1] the indices (exact below 2**53)."""
    return np.stack(kneighbors(block, source, digest, threads_per_host, n_neighbors), axis=-1)


def frame_results(part, source: Any, digest: str, threads_per_host: Dict[str, int], what: str,
                  n_neighbors: int = 0):
    """One DataFrame partition's answers, indexed like the partition."""
    import pandas as pd

    if what == "predict":
        return pd.Series(predict(part, source, digest, threads_per_host), index=part.index)
    if what == "predict_proba":
        classes = models.get(digest, source).classes_
        return pd.DataFrame(predict_proba(part, source, digest, threads_per_host), index=part.index,
                            columns=classes)
    distances, rows = kneighbors(part, source, digest, threads_per_host, n_neighbors)
    return pd.concat([pd.DataFrame(distances, index=part.index).add_prefix("distance"),
                      pd.DataFrame(rows, index=part.index).add_prefix("index")], axis=1)
