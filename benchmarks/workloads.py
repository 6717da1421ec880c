"""Synthetic and bundled data sets for the benchmark, each drawn from a fixed seed."""

from dataclasses import dataclass

import numpy as np


@dataclass
class Workload:
    name: str
    X: np.ndarray
    y: list
    queries: np.ndarray
    k: int = 5
    variance: float = 0.95
    scale: bool = False


def latent_mixture(n_train, n_queries, n_features, *, latent=48, classes=10, seed=0, points_seed=None):
    """Classes drawn around centres in a low-dimensional space, embedded in many noisy features.

    The latent axes have decaying spreads and the feature noise carries a few per cent of the
    variance, so a 0.95 variance PCA keeps tens of components rather than all of them.
    """
    rng = np.random.default_rng(seed)
    spreads = np.linspace(3.0, 1.0, latent)
    centres = rng.normal(scale=1.5, size=(classes, latent)) * spreads
    embedding = rng.normal(size=(latent, n_features)) / np.sqrt(latent)
    if points_seed is not None:  # the same classes, other points
        rng = np.random.default_rng(points_seed)
    n = n_train + n_queries
    codes = rng.integers(classes, size=n)
    points = centres[codes] + rng.normal(size=(n, latent)) * spreads
    X = points @ embedding + rng.normal(scale=0.4, size=(n, n_features))
    labels = [f"class{c}" for c in codes]
    return X[:n_train], labels[:n_train], X[n_train:]


def synthetic(name, n_train, n_queries, n_features, **kwargs):
    X, y, queries = latent_mixture(n_train, n_queries, n_features, **kwargs)
    return Workload(name, X, y, queries)


def hard(name, n_train, n_queries, n_features=784, *, latent=50, classes=10, noise=0.1, seed=0):
    """float32 rows drawn like a user's embeddings: isotropic in a few latent dimensions, embedded
    in many features with a little noise, labelled by the latent direction they lean furthest
    along. No clusters, so no box of near rows excludes much and the screen's per-row bound decides.
    """
    rng = np.random.default_rng(seed)
    embedding = rng.normal(size=(latent, n_features)) / np.sqrt(latent)
    directions = rng.normal(size=(latent, classes))
    n = n_train + n_queries
    points = rng.normal(size=(n, latent))
    X = (points @ embedding + rng.normal(scale=noise, size=(n, n_features))).astype(np.float32)
    labels = [f"class{c}" for c in (points @ directions).argmax(axis=1)]
    return Workload(name, X[:n_train], labels[:n_train], X[n_train:])


def large(name, n_train, n_queries, n_features, block=50_000, seed=0, latent=48):
    """Like synthetic, drawn a block of rows at a time so that only the result is held whole."""
    X = np.empty((n_train + n_queries, n_features))
    labels = []
    for start in range(0, len(X), block):
        rows = min(block, len(X) - start)
        part, part_labels, _ = latent_mixture(rows, 0, n_features, latent=latent, seed=seed,
                                               points_seed=start // block + 1)
        X[start:start + rows] = part
        labels += part_labels
    return Workload(name, X[:n_train], labels[:n_train], X[n_train:])


def digits(n_queries=500):
    """scikit-learn's bundled 8x8 digits: 1797 rows of 64 features; queries are its own rows."""
    from sklearn.datasets import load_digits

    data = load_digits()
    X = data.data.astype(np.float64)
    y = [str(v) for v in data.target]
    rng = np.random.default_rng(0)
    queries = X[rng.integers(len(X), size=n_queries)] + rng.normal(scale=0.5, size=(n_queries, X.shape[1]))
    return Workload("digits", X, y, queries)
