"""The ways of doing PCA + k-nearest-neighbour classification that the benchmark compares.

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


def label_codes(y):
    """The distinct labels in sorted order and each row's code among them, so that argmax's first
    maximum is the label first in byte order."""
    return np.unique(np.asarray(y), return_inverse=True)


def vote(labels, codes, neighbours):
    """The plain majority label of each row of neighbour indices."""
    counts = np.zeros((len(neighbours), len(labels)), dtype=np.int32)
    np.add.at(counts, (np.arange(len(neighbours))[:, None], codes[neighbours]), 1)
    return labels[counts.argmax(axis=1)]


def exact_neighbours(data, queries, k):
    """The k nearest rows of data for each query by squared distance, nearest first, in blocks of
    queries so that no queries x rows matrix is held whole."""
    norms = np.einsum("ij,ij->i", data, data)
    block = max(1, 2**25 // len(data))
    found = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), block):
        part = queries[start:start + block]
        distances = norms[None, :] - 2.0 * (part @ data.T)
        nearest = np.argpartition(distances, k - 1, axis=1)[:, :k]
        order = np.take_along_axis(distances, nearest, axis=1).argsort(axis=1)
        found[start:start + block] = np.take_along_axis(nearest, order, axis=1)
    return found


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
        self.labels, self.codes = label_codes(y)

    def predict_batch(self, Q):
        _, neighbours = self.index.search(self.pca.apply(self._prepare(Q)), self.k)
        return list(vote(self.labels, self.codes, neighbours))

    def predict_one(self, q):
        return self.predict_batch(q.reshape(1, -1))[0]


class Hnswlib:
    """scikit-learn's PCA to mirelo's component count, then an hnswlib graph (M=16,
    ef_construction=200) searched at the smallest ef whose recall@k against the exact neighbours
    is at least 0.99, and a vote in NumPy (float32)."""

    name = "hnswlib (float32)"
    ef_choices = (8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024)

    def __init__(self, k, variance, scale, components, threads):
        self.k, self.scale, self.components, self.threads = k, scale, components, threads
        self.ef = None

    def fit(self, X, y):
        import hnswlib
        from sklearn.decomposition import PCA
        from sklearn.pipeline import make_pipeline
        from sklearn.preprocessing import StandardScaler

        steps = [StandardScaler()] if self.scale else []
        self.pca = make_pipeline(*steps, PCA(n_components=self.components)).fit(X)
        # A block at a time: the projection of the whole would first centre a copy of every row.
        self.data = np.concatenate([self._project(X[start:start + 50_000]) for start in range(0, len(X), 50_000)])
        self.index = hnswlib.Index(space="l2", dim=self.components)
        self.index.init_index(max_elements=len(self.data), M=16, ef_construction=200, random_seed=0)
        self.index.add_items(self.data, num_threads=self.threads)
        self.index.set_num_threads(self.threads)
        self.labels, self.codes = label_codes(y)

    def _project(self, Q):
        return np.ascontiguousarray(self.pca.transform(Q), dtype=np.float32)

    def tune(self, Q, sample=1000):
        """Sets ef to the smallest choice whose recall@k on up to `sample` queries reaches 0.99."""
        projected = self._project(Q[:sample])
        exact = exact_neighbours(self.data.astype(np.float64), projected.astype(np.float64), self.k)
        for ef in self.ef_choices:
            if ef < self.k:
                continue
            self.index.set_ef(ef)
            found, _ = self.index.knn_query(projected, k=self.k)
            recall = np.mean([len(set(f) & set(e)) / self.k for f, e in zip(found, exact)])
            if recall >= 0.99:
                break
        self.ef = ef
        return recall

    def predict_batch(self, Q):
        neighbours, _ = self.index.knn_query(self._project(Q), k=self.k)
        return list(vote(self.labels, self.codes, neighbours.astype(np.int64)))

    def predict_one(self, q):
        return self.predict_batch(q.reshape(1, -1))[0]
