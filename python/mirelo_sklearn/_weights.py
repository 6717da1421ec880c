"""Neighbour weights and the weighted votes they give, by KNeighborsClassifier's rules."""

from typing import Any

import numpy as np


def uniform(weights: Any) -> bool:
    """Whether every neighbour's vote counts the same: no distances are needed then."""
    return weights is None or (isinstance(weights, str) and weights == "uniform")


def neighbour_weights(weights: Any, distances: np.ndarray) -> np.ndarray:
    """Each neighbour's weight: 1 for uniform weights.

    "distance" weighs by the inverse distance, except that a query with a neighbour at
    distance 0 counts only those neighbours, each once. A callable gets the distances.
    """
    if uniform(weights):
        return np.ones(distances.shape)
    if isinstance(weights, str):  # "distance"; any other string is refused where the parameter is read
        with np.errstate(divide="ignore"):
            inverse = 1.0 / distances
        at_zero = np.isinf(inverse)
        rows = at_zero.any(axis=1)
        inverse[rows] = at_zero[rows]
        return inverse
    found = np.asarray(weights(distances))
    if found.shape != distances.shape:
        raise ValueError(f"Expected the weights function to return one weight per distance, shape "
                         f"{distances.shape}, got shape {found.shape}")
    if not np.issubdtype(found.dtype, np.number) or np.iscomplexobj(found):
        raise ValueError(f"Expected real numbers from the weights function, got {found.dtype} values")
    # Shares of a sum that is 0, or of weights of both signs, are no probabilities.
    with np.errstate(invalid="ignore"):
        usable = (np.isfinite(found) & (found >= 0)).all(axis=1) & (found > 0).any(axis=1)
    refused = np.flatnonzero(~usable)
    if len(refused):
        raise ValueError(f"Expected weights that are finite, at least 0 and not all 0 for each query, got "
                         f"{found[refused[0]]} for query {refused[0]}")
    return found


def weighted_shares(codes: np.ndarray, weights: np.ndarray, n_classes: int) -> np.ndarray:
    """Each class's share of each query's summed neighbour weights; codes: the neighbours' classes,
    weights: finite, at least 0 and some above 0 for each query."""
    # Each query's weights, as doubles, brought below 1 by a power of two, which changes no share's
    # bits, so that their sum cannot overflow.
    weights = weights.astype(np.float64, copy=False)
    weights = np.ldexp(weights, -np.frexp(weights.max(axis=1, keepdims=True))[1])
    n = len(codes)
    cells = (np.arange(n)[:, None] * n_classes + codes).ravel()
    sums = np.bincount(cells, weights=weights.ravel(), minlength=n * n_classes).reshape(n, n_classes)
    return sums / sums.sum(axis=1, keepdims=True)
