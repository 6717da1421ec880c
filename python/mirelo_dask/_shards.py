"""What runs on the workers for sharded training: one shard's engine, its candidates for a
block of queries, and the exact merge of every shard's candidates."""

import sys
from typing import Any, Sequence, Tuple

import numpy as np

from mirelo_sklearn.engine import (ModelState, Reduction, model_from_state, neighbour_weights, row_statistics,
                                   weighted_shares)

from ._blocks import thread_budget

# Squared distances (times 4**scale_exponent, the same for every shard), global rows, class codes.
Candidates = Tuple[np.ndarray, np.ndarray, np.ndarray]


class Shard:
    """Consecutive training rows reduced onto the shared axes, searched by their own engine."""

    __slots__ = ("model", "codes", "first_row")

    def __init__(self, model, codes: np.ndarray, first_row: int) -> None:
        self.model = model
        self.codes = codes
        self.first_row = first_row

    def __reduce__(self):
        return Shard, (self.model, self.codes, self.first_row)

    def __sizeof__(self) -> int:
        return object.__sizeof__(self) + sys.getsizeof(self.model) + self.codes.nbytes


def _restored(k: int, variance: float, n_classes: int, r: Reduction, reduced: np.ndarray, codes: np.ndarray):
    """A native model from the fields of its pickled form, as unpickling builds one."""
    return model_from_state(ModelState.current(
        k=k, variance=variance, n_classes=n_classes, mean=r.mean, std_dev=r.std_dev, n_components=r.components.shape[1],
        components=r.components, explained_variance_ratio=r.explained_variance_ratio, reduced=reduced, codes=codes,
        scale_exponent=r.scale_exponent))


def block_statistics(first_row: int, n_rows: int, threads_per_host, block: np.ndarray) -> Any:
    """The fit's statistics of one block, rows first_row onwards of n_rows, where the block lies."""
    return row_statistics(block, first_row, n_rows, thread_budget(threads_per_host))


def block_classes(labels: np.ndarray) -> np.ndarray:
    """One block's distinct labels, refused as MireloClassifier refuses them (continuous, missing)."""
    from sklearn.utils.multiclass import check_classification_targets

    check_classification_targets(labels)
    return np.unique(labels)


def classes_of(*distinct: np.ndarray) -> np.ndarray:
    """The sorted distinct labels of all blocks, from each block's own."""
    return np.unique(np.concatenate(distinct))


def reduced_block(k: int, variance: float, n_classes: int, reduction: Reduction, threads_per_host,
                  block: np.ndarray) -> np.ndarray:
    """One block's rows reduced onto the shared axes, where the block lies: a shard then gathers
    only reduced rows, not raw ones."""
    m = reduction.components.shape[1]
    X = block if block.dtype == np.float32 else np.asarray(block, dtype=np.float64)
    if len(X) == 0:
        return np.empty((0, m))
    # The rows go through the same reduction as queries will, so a query equal to a training
    # row lands on it exactly.
    reducer = _restored(k, variance, n_classes, reduction, np.zeros((1, m)), np.zeros(1, dtype=np.int64))
    # transform gives the rows in the data's units; the saved state keeps them scaled.
    return np.ldexp(reducer.transform(X, thread_budget(threads_per_host)), reduction.scale_exponent)


def build_shard(k: int, variance: float, classes: np.ndarray, reduction: Reduction, first_row: int,
                reduced: Sequence[np.ndarray], labels: Sequence[np.ndarray]) -> Shard:
    y = np.concatenate(labels)
    found = np.searchsorted(classes, y)
    if (found >= len(classes)).any() or (classes[np.minimum(found, len(classes) - 1)] != y).any():
        raise ValueError("Expected the shard's labels among the classes found in y")
    codes = found.astype(np.int64)
    rows = np.concatenate(reduced)
    return Shard(_restored(k, variance, len(classes), reduction, rows, codes), codes, first_row)


def candidates(shard: Shard, block: np.ndarray, n_neighbors: int, threads_per_host) -> Candidates:
    """The shard's nearest rows for each query, by global row number."""
    block = np.ascontiguousarray(block, dtype=np.float64)
    if len(block) == 0:
        return np.empty((0, 0)), np.empty((0, 0), dtype=np.int64), np.empty((0, 0), dtype=np.int64)
    squared, rows = shard.model.kneighbors(block, n_neighbors, thread_budget(threads_per_host))
    return squared, rows + shard.first_row, shard.codes[rows]


def merged(n_neighbors: int, *parts: Candidates) -> Candidates:
    """Each query's n_neighbors nearest of all shards' candidates: by distance, then row."""
    squared, rows, codes = (np.concatenate(column, axis=1) for column in zip(*parts))
    order = np.lexsort((rows, squared), axis=-1)[:, :n_neighbors]
    return tuple(np.take_along_axis(a, order, axis=1) for a in (squared, rows, codes))


def answer(what: str, n_neighbors: int, classes: np.ndarray, scale_exponent: int, weights: Any,
           *parts: Candidates):
    """One block's kneighbors (stacked as in _blocks), predict_proba or predict from its candidates."""
    if len(parts[0][0]) == 0:
        shape = {"kneighbors": (0, n_neighbors, 2), "predict_proba": (0, len(classes)), "predict": (0,)}[what]
        return np.empty(shape, dtype=classes.dtype if what == "predict" else np.float64)
    squared, rows, codes = merged(n_neighbors, *parts)
    distances = np.ldexp(np.sqrt(squared), -scale_exponent)
    if what == "kneighbors":
        return np.stack([distances, rows.astype(np.float64)], axis=-1)
    shares = weighted_shares(codes, neighbour_weights(weights, distances), len(classes))
    if what == "predict_proba":
        return shares
    return classes[shares.argmax(axis=1)]  # a tie goes to the first class
