"""Typical calls, checked by mypy --strict against the installed stubs."""

import numpy as np

import mirelo
from mirelo_sklearn import MireloClassifier


def classify(rows: list[list[float]], labels: list[str], queries: np.ndarray) -> list[str]:
    config = mirelo.KNNConfig()
    config.k = 5
    config.variance = 0.95
    engine = mirelo.KNNEngine(config)
    engine.train(rows, labels, scale=True)
    engine.train(np.asarray(rows), tuple(label.encode() for label in labels))
    first: str = engine.predict(queries[0])
    return [first, *engine.predict_batch(queries)]


def estimate(X: np.ndarray, y: list[str]) -> tuple[np.ndarray, int]:
    model = MireloClassifier(n_neighbors=5, n_components=0.9, scale=True).fit(X, y)
    distances, rows = model.kneighbors(X[:3], n_neighbors=2)
    return model.predict_proba(X) + distances.sum() + rows.sum(), model.n_components_
