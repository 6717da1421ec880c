"""The three ways of doing PCA + k-nearest-neighbour classification that the benchmark compares.

Each method offers fit(X, y), predict_batch(Q) and predict_one(q); labels come back as str.
"""

import os
import re
import tempfile

import numpy as np


class Mirelo:
    name = "mirelo"

    def __init__(self, k, variance, scale):
        import mirelo

        config = mirelo.KNNConfig()
        config.k, config.variance = k, variance
        self.engine, self.scale, self.components = mirelo.KNNEngine(config), scale, None

    def fit(self, X, y):
        # The engine reports its progress on file descriptor 1; keep it out of the table
        # and read the kept component count from it.
        with tempfile.TemporaryFile(mode="w+") as out:
            saved = os.dup(1)
            os.dup2(out.fileno(), 1)
            try:
                self.engine.train(X, y, scale=self.scale)
            finally:
                os.dup2(saved, 1)
                os.close(saved)
            out.seek(0)
            self.components = int(re.search(r"Components: (\d+)", out.read()).group(1))

    def predict_batch(self, Q):
        return self.engine.predict_batch(Q)

    def predict_one(self, q):
        return self.engine.predict(q)


class ScikitLearn:
    name = "scikit-learn"

    def __init__(self, k, variance, scale):
        from sklearn.decomposition import PCA
        from sklearn.neighbors import KNeighborsClassifier
        from sklearn.pipeline import Pipeline
        from sklearn.preprocessing import StandardScaler

        steps = [("scale", StandardScaler())] if scale else []
        steps += [("pca", PCA(n_components=variance)),
                  ("knn", KNeighborsClassifier(n_neighbors=k, algorithm="brute"))]
        self.pipeline = Pipeline(steps)

    def fit(self, X, y):
        self.pipeline.fit(X, np.asarray(y))

    def predict_batch(self, Q):
        return list(self.pipeline.predict(Q))

    def predict_one(self, q):
        return self.pipeline.predict(q.reshape(1, -1))[0]


class Faiss:
    """faiss's PCA to mirelo's component count, a flat L2 index, and a vote in NumPy (float32)."""

    name = "faiss (float32)"

    def __init__(self, k, variance, scale, components):
        self.k, self.scale, self.components = k, scale, components

    def _prepare(self, X):
        X = np.asarray(X, dtype=np.float64)
        if self.scale:
            X = (X - self.mean) / self.spread
        return np.ascontiguousarray(X, dtype=np.float32)

    def fit(self, X, y):
        import faiss

        X = np.asarray(X, dtype=np.float64)
        self.mean, self.spread = X.mean(axis=0), X.std(axis=0, ddof=1)
        self.spread[self.spread < 1e-9] = 1.0
        data = self._prepare(X)
        self.pca = faiss.PCAMatrix(data.shape[1], self.components)
        self.pca.train(data)
        self.index = faiss.IndexFlatL2(self.components)
        self.index.add(self.pca.apply(data))
        # Codes in sorted label order, so argmax's first maximum is the label first in byte order.
        self.labels, self.codes = np.unique(np.asarray(y), return_inverse=True)

    def _vote(self, neighbours):
        counts = np.zeros((len(neighbours), len(self.labels)), dtype=np.int32)
        np.add.at(counts, (np.arange(len(neighbours))[:, None], self.codes[neighbours]), 1)
        return self.labels[counts.argmax(axis=1)]

    def predict_batch(self, Q):
        _, neighbours = self.index.search(self.pca.apply(self._prepare(Q)), self.k)
        return list(self._vote(neighbours))

    def predict_one(self, q):
        return self.predict_batch(q.reshape(1, -1))[0]
