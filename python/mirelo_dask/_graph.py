"""Client-side pieces shared by every graph: the model as one key (its pickle or its file's
path), the cluster's thread layout, and queries shaped into blocks of whole rows."""

import hashlib
import math
import os
import pickle
import weakref
from collections import Counter
from typing import Any, Dict, Optional, Tuple

import dask.array as da
from mirelo_sklearn import MireloClassifier
from mirelo_sklearn.engine import saved_digest

from ._patience import no_workers_seconds
from ._waits import current_client, root

# Rows per block are capped so that one block of queries stays near this many bytes.
BLOCK_BYTES = 64 * 2**20


class ScatteredPickle:
    """A model's pickle held on the cluster under a key: what the graph carries in its place.

    Workers that have the model cached receive only this, so a compute ships the model to a
    worker once, not every time. On the client it holds the future that keeps the pickle on
    the cluster, so the pickle lives at least as long as any graph that names it; it pickles
    as the key alone.
    """

    def __init__(self, key: str, future: Any = None) -> None:
        self.key = key
        self.future = future

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        return ScatteredPickle, (self.key,)

    def restore(self) -> Any:
        """The model; run on a worker."""
        return pickle.loads(self.fetch())

    def fetch(self) -> bytes:
        """The pickle, from whichever worker holds it; run on a worker. Fails at once if the
        cluster lost it."""
        from distributed import Future, get_client

        # The client that scattered it keeps it in memory; this one only reads it.
        try:
            return Future(self.key, get_client(), state="memory").result()
        except Exception as error:
            raise RuntimeError("mirelo_dask: the model's pickle was lost from the cluster (a worker holding it "
                               "left) while this compute ran; compute again, and it is sent again") from error


class ModelFile:
    """A saved model's path and the digest its file ended with when the graph was built: what the
    graph carries in place of a pickle. Each worker process maps the file once and keeps the
    model (see _cache), so the workers of a machine read one copy of it from the page cache."""

    def __init__(self, path: str, digest: bytes) -> None:
        self.path = path
        self.digest = digest

    def __reduce__(self) -> Tuple[Any, Tuple[str, bytes]]:
        return ModelFile, (self.path, self.digest)

    def restore(self) -> Any:
        """The model; run on a worker. Fails when the file is no longer the one the graph was built on."""
        if saved_digest(self.path) != self.digest:
            raise RuntimeError(f"mirelo_dask: the model file {self.path!r} changed after the compute was built; "
                               "build it again")
        return MireloClassifier.load(self.path, mmap_mode="r")


def opened(path: Any) -> Tuple[Any, ModelFile]:
    """The model saved at a path, and what the graph carries for it."""
    path = os.path.abspath(os.fspath(path))
    source = ModelFile(path, saved_digest(path))
    return source.restore(), source


# The pickle each model last scattered, under its digest; dropped with the model.
_scattered: "weakref.WeakKeyDictionary[Any, Tuple[str, ScatteredPickle]]" = weakref.WeakKeyDictionary()


def _scattered_pickle(model: Any, pickled: bytes, digest: str, client: Any) -> Optional[ScatteredPickle]:
    """The model's pickle on the client's cluster, scattered again only when the model changed or
    the copy was lost; None when no worker is there to hold it."""
    held = _scattered.get(model)
    if held is not None and held[0] == digest:
        future = held[1].future
        if future.client is client and future.status == "finished":
            return held[1]
    if not client.nthreads():
        return None
    try:
        future = client.scatter(pickled, hash=False, timeout=no_workers_seconds())
    except TimeoutError:  # the workers left (or paused) since they were counted
        return None
    source = ScatteredPickle(future.key, future)
    _scattered[model] = (digest, source)
    return source


def model_key(model: Any, file: Optional[ModelFile] = None) -> Tuple[Any, str]:
    """The model as a single graph key, and the digest of its pickle, which workers cache it under.

    A model opened from a file goes as the file's path, named by the file's digest. Otherwise, on
    a distributed cluster with workers the key holds a ScatteredPickle; elsewhere the pickle
    itself, so that building the graph never waits for a worker. Either way the scheduler passes
    it on without unpickling the model: only a worker that runs a block ever restores it.
    """
    if file is not None:
        digest = f"file-{file.digest.hex()}"
        return root(file, f"model-{digest}"), digest
    pickled = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.blake2b(pickled, digest_size=16).hexdigest()
    client = current_client()
    source = None if client is None else _scattered_pickle(model, pickled, digest, client)
    if source is None:
        return root(pickled, f"model-{digest}"), digest
    # Named after the scattered copy too: once a copy is lost and sent again, the graph's key is
    # new, where the scheduler could still hold the old one's task and answer with the lost copy.
    return root(source, f"model-{digest}-{source.key}"), digest


def worker_threads() -> Dict[str, int]:
    """Task threads of each worker of the current cluster, by address; empty without a cluster."""
    client = current_client()
    return {} if client is None else client.nthreads()


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
