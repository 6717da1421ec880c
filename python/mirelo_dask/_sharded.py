"""ShardedClassifier: training rows that stay spread over the workers, searched exactly."""

from typing import Any, List, Optional, Union

import dask
import dask.array as da
import numpy as np
from dask.base import tokenize
from sklearn.base import BaseEstimator

from mirelo_sklearn.engine import (CONSTRAINTS, combined_statistics, current, engine_variance, neighbour_count,
                                   progress_lines, reduction)

from . import _shards
from ._graph import threads_per_host, whole_rows, worker_threads
from ._waits import computed, root, settled


def _as_array(X: Any) -> da.Array:
    import dask.dataframe as dd

    if isinstance(X, (dd.DataFrame, dd.Series)):
        return X.to_dask_array(lengths=list(computed(X.map_partitions(len))[0]))
    if isinstance(X, da.Array):
        return _with_known_rows(X)
    X = np.asarray(X)
    # Dask cannot size blocks of objects (labels with None, or of mixed types): one block, checked later.
    return da.from_array(X, chunks=-1 if X.dtype == object else "auto")


def _with_known_rows(X: da.Array) -> da.Array:
    """X with each block's row count known, counted under the bounded wait of computed."""
    if not any(np.isnan(rows) for rows in X.chunks[0]):
        return X
    counts = computed(*[dask.delayed(len)(block) for block in X.to_delayed().reshape(X.numblocks[0], -1)[:, 0]])
    return X.map_blocks(np.asarray, chunks=(counts, *X.chunks[1:]), dtype=X.dtype)


def _groups(chunks: tuple, count: int) -> List[List[int]]:
    """Consecutive numbers of the non-empty blocks in `count` groups of about equal rows."""
    total = sum(chunks)
    groups: List[List[int]] = [[]]
    done = 0
    for block, rows in enumerate(chunks):
        if rows == 0:
            continue
        if groups[-1] and done >= total * len(groups) / count:
            groups.append([])
        groups[-1].append(block)
        done += rows
    return groups


def _report(progress: Optional[Any], stage: str, done: float = 0.0) -> None:
    if progress is not None:
        progress.report(stage, done)


def _column_names(X: Any) -> Optional[np.ndarray]:
    """A DataFrame's column names when all are strings, as MireloClassifier records them; else None."""
    columns = getattr(X, "columns", None)
    if columns is None or not all(isinstance(name, str) for name in columns):
        return None
    return np.asarray(columns, dtype=object)


def _futures(shards: tuple) -> list:
    """The futures that hold the shards on a distributed cluster; none under a local scheduler."""
    try:
        from distributed import futures_of
    except ImportError:
        return []
    return futures_of(shards)


def _built(shards: tuple, progress: Optional[Any]) -> None:
    """Returns once every shard exists, reporting the share built; raises the error of the first
    that failed."""
    futures = _futures(shards)
    if not futures:  # a local scheduler built them in persist, raising there
        return
    settled(futures[0].client, futures, lambda done: _report(progress, "projection and store", done))
    for future in futures:
        if future.status == "error":
            raise future.exception()
        if future.status != "finished":
            raise RuntimeError(f"Expected every shard built, got one {future.status}: fit again")


class ShardedClassifier(BaseEstimator):
    """The classifier of MireloClassifier, trained on rows that stay spread over a Dask cluster.

    ``fit`` takes a Dask array (or DataFrame) of training rows and their labels. The principal
    axes come from each block's statistics, taken and combined in block order by the rules
    MireloClassifier's fit follows: blocks that start on multiples of its own block height
    (4,096 rows for up to 256 features) give its axes bit for bit. Each shard of consecutive
    rows is then reduced and kept by one worker.
    A query's ``n_neighbors`` nearest rows are merged exactly from every shard's candidates
    (by distance, then training row) before the vote, so the answers are those of one engine
    holding all the rows under the same axes.

    Parameters
    ----------
    n_neighbors, n_components, weights, scale
        As for MireloClassifier; a callable ``weights`` must pickle, since it runs on the
        workers.
    n_shards : int, default=None
        How many shards to hold the reduced rows in; one per worker when None.
    verbose : bool, default=False
        For a fit that runs longer than about two seconds, write a line to ``sys.stdout`` as
        each stage starts (statistics and covariance, eigen-decomposition, projection and
        store) and at most one a second within it, with the share of the shards stored.
    """

    _parameter_constraints = CONSTRAINTS

    def __init__(self, n_neighbors: int = 3, n_components: Union[int, float, None] = 0.95, weights: Any = "uniform",
                 scale: bool = False, n_shards: Optional[int] = None, verbose: bool = False) -> None:
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.weights = weights
        self.scale = scale
        self.n_shards = n_shards
        self.verbose = verbose

    def fit(self, X: Any, y: Any) -> "ShardedClassifier":
        """Learn the axes from all rows and keep the reduced rows in shards on the workers."""
        for name in CONSTRAINTS:  # each refused as MireloClassifier's fit refuses it
            current(self, name)
        feature_names = _column_names(X)
        X, y = _as_array(X), _as_array(y)
        if X.ndim != 2 or y.ndim != 1:
            raise ValueError(f"Expected X with 2 dimensions and y with 1, got {X.ndim} and {y.ndim}")
        if X.shape[0] < X.shape[1]:
            raise ValueError(f"Expected tall training data (at least as many rows as features), got {X.shape[0]} "
                             f"rows of {X.shape[1]} features: fit MireloClassifier on one machine instead")
        if y.shape[0] != X.shape[0]:
            raise ValueError(f"Expected one label per training row ({X.shape[0]}), got {y.shape[0]}")
        # float32 blocks stay as they are: the native reduction reads them where they lie.
        X = whole_rows(X if X.dtype == np.float32 else X.astype(np.float64), X.shape[1])
        y = y.rechunk((X.chunks[0],))
        blocks, labels = X.to_delayed()[:, 0], y.to_delayed()
        progress = progress_lines() if self.verbose else None
        _report(progress, "statistics and covariance")
        starts = np.concatenate([[0], np.cumsum(X.chunks[0])])
        statistics = dask.delayed(combined_statistics)(
            *[dask.delayed(_shards.block_statistics)(int(start), X.shape[0], threads_per_host(), b)
              for start, b in zip(starts, blocks)])
        uniques = dask.delayed(_shards.classes_of)(*[dask.delayed(_shards.block_classes)(part) for part in labels])
        statistics, classes = computed(statistics, uniques)
        variance = engine_variance(self.n_components, *X.shape)
        _report(progress, "eigen-decomposition")
        axes = reduction(statistics, variance, bool(self.scale))
        count = min(self.n_shards or len(worker_threads()) or 1, sum(1 for rows in X.chunks[0] if rows > 0))
        shared = dask.delayed(axes, traverse=False)
        k = int(self.n_neighbors)
        reduced = [dask.delayed(_shards.reduced_block)(k, variance, len(classes), shared, threads_per_host(), b)
                   for b in blocks]
        shards = [dask.delayed(_shards.build_shard)(k, variance, classes, shared, int(starts[g[0]]),
                                                    [reduced[i] for i in g], [labels[i] for i in g])
                  for g in _groups(X.chunks[0], count)]
        _report(progress, "projection and store")
        shards = dask.persist(*shards)
        _built(shards, progress)
        self._shards = shards
        self.feature_names_in_ = feature_names
        self._scale_exponent = axes.scale_exponent
        self.classes_ = classes
        self.n_features_in_ = X.shape[1]
        self.n_samples_fit_ = X.shape[0]
        self.n_components_ = axes.components.shape[1]
        self.components_ = axes.components.T
        self.explained_variance_ratio_ = axes.explained_variance_ratio
        return self

    def predict(self, X: Any) -> da.Array:
        """The majority class of each query's n_neighbors nearest training rows, as a Dask array."""
        return self._answers(X, "predict", current(self, "n_neighbors"), (), self.classes_.dtype)

    def predict_proba(self, X: Any) -> da.Array:
        """Each class's share of the n_neighbors nearest rows' votes, a column per class of classes_."""
        return self._answers(X, "predict_proba", current(self, "n_neighbors"), (len(self.classes_),), np.float64)

    def kneighbors(self, X: Any, n_neighbors: Optional[int] = None, return_distance: bool = True):
        """Distances (in the reduced space) and global training row indices, nearest first."""
        count = current(self, "n_neighbors") if n_neighbors is None else n_neighbors
        stacked = self._answers(X, "kneighbors", count, (count, 2), np.float64)
        distances, indices = stacked[..., 0], stacked[..., 1].astype(np.intp)
        return (distances, indices) if return_distance else indices

    def __getstate__(self) -> dict:
        if hasattr(self, "_shards"):
            raise TypeError("A fitted ShardedClassifier keeps its shards on the cluster and cannot be pickled: keep "
                            "it in the process that fitted it, or fit a MireloClassifier to save a model")
        return super().__getstate__()

    def _answers(self, X: Any, what: str, n_neighbors: Any, trailing: tuple, dtype: Any) -> da.Array:
        if not hasattr(self, "_shards"):
            raise AttributeError("This ShardedClassifier is not fitted yet; call fit first")
        lost = [future.status for future in _futures(self._shards) if future.status != "finished"]
        if lost:
            raise RuntimeError(f"This ShardedClassifier lost its shards (the workers holding them restarted or "
                               f"left; the shards are {lost[0]}): fit it again")
        names = self.feature_names_in_
        if names is not None and hasattr(X, "columns") and list(X.columns) != list(names):
            raise ValueError(f"Expected the columns the model was fitted with, {list(names)}, got {list(X.columns)}")
        count = neighbour_count(n_neighbors, self.n_samples_fit_)
        weights = current(self, "weights")
        X = whole_rows(_as_array(X), self.n_features_in_)
        threads = threads_per_host()
        # A root of every answer, so that a compute on a cluster left without workers ends in time.
        classes = root(self.classes_, f"classes-{tokenize(self.classes_)}")
        parts = []
        for rows, block in zip(X.chunks[0], X.to_delayed()[:, 0]):
            found = [dask.delayed(_shards.candidates)(shard, block, count, threads) for shard in self._shards]
            answer = dask.delayed(_shards.answer)(what, count, classes, self._scale_exponent, weights, *found)
            parts.append(da.from_delayed(answer, (rows, *trailing), dtype=dtype))
        return da.concatenate(parts)
