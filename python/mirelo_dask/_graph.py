"""Client-side pieces shared by every graph: the model as one key, the cluster's thread layout,
and queries shaped into blocks of whole rows."""

import hashlib
import math
import pickle
from collections import Counter
from typing import Any, Dict, Tuple

import dask
import dask.array as da

# Rows per block are capped so that one block of queries stays near this many bytes.
BLOCK_BYTES = 64 * 2**20


def model_key(model: Any) -> Tuple[Any, str]:
    """The pickled model as a single graph key, and the digest workers cache it under.

    The key holds bytes, so the scheduler passes it on without unpickling it: only a worker
    that runs a block ever restores the model.
    """
    pickled = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.blake2b(pickled, digest_size=16).hexdigest()
    return dask.delayed(pickled, name=f"mirelo-model-{digest}"), digest


def worker_threads() -> Dict[str, int]:
    """Task threads of each worker of the current cluster, by address; empty without a cluster."""
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        return {}
    return client.nthreads()


def threads_per_host() -> Dict[str, int]:
    """Task threads per host over the current cluster's workers; empty without a cluster."""
    workers = worker_threads()
    if not workers:
        return {}
    from distributed.comm import get_address_host

    counts: Counter = Counter()
    for address, threads in workers.items():
        counts[get_address_host(address)] += threads
    return dict(counts)


def check_width(n_columns: int, n_features: int) -> None:
    if n_columns != n_features:
        raise ValueError(f"X has {n_columns} features, but the model is expecting {n_features} features as input")


def _split(rows: float, limit: int) -> Tuple[float, ...]:
    if math.isnan(rows) or rows <= limit:
        return (rows,)
    parts = -(-int(rows) // limit)
    base, extra = divmod(int(rows), parts)
    return tuple(base + 1 if i < extra else base for i in range(parts))


def whole_rows(X: da.Array, n_features: int) -> da.Array:
    """X with each block holding whole rows, none larger than BLOCK_BYTES.

    The caller's row chunks are kept (empty ones too) and only split where too large.
    """
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-dimensional array of queries, got {X.ndim} dimension(s)")
    check_width(X.shape[1], n_features)
    limit = max(1, BLOCK_BYTES // (X.dtype.itemsize * max(1, n_features)))
    rows = tuple(part for chunk in X.chunks[0] for part in _split(chunk, limit))
    if rows == X.chunks[0] and X.numblocks[1] == 1:
        return X
    return X.rechunk((rows, (n_features,)))
