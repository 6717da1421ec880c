"""Classify scikit-learn's bundled data sets with mirelo and compare with scikit-learn.

Each data set is split into a training and a held-out part; mirelo trains on the first,
classifies the second with predict_batch, and scikit-learn's PCA + k-neighbours pipeline
does the same on the same split.
"""

import os
import re
import sys
import tempfile
import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_digits, load_wine
from sklearn.decomposition import PCA
from sklearn.model_selection import train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import mirelo

K = 5
VARIANCE = 0.95
# (name, loader, scale): the wine and breast-cancer features have very different units.
DATA_SETS = [
    ("digits", load_digits, False),
    ("wine", load_wine, True),
    ("breast cancer", load_breast_cancer, True),
]


def train_and_read_components(engine, X, y, scale):
    """Trains, echoes the engine's progress lines and returns the kept component count.

    The engine writes to the process's standard output (file descriptor 1), not to
    sys.stdout, so the lines are caught at the descriptor.
    """
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    with tempfile.TemporaryFile(mode="w+") as sink:
        os.dup2(sink.fileno(), 1)
        try:
            engine.train(X, y, scale=scale)
        finally:
            os.dup2(saved_stdout, 1)
            os.close(saved_stdout)
        sink.seek(0)
        lines = sink.read()
    print(lines, end="")
    return int(re.search(r"Reduced to (\d+) dimensions", lines).group(1))


def run_mirelo(X_train, y_train, X_test, scale):
    config = mirelo.KNNConfig()
    config.k = K
    config.variance = VARIANCE
    engine = mirelo.KNNEngine(config)
    started = time.perf_counter()
    components = train_and_read_components(engine, X_train, y_train, scale)
    predicted = engine.predict_batch(X_test)
    return np.array(predicted), time.perf_counter() - started, components


def run_sklearn(X_train, y_train, X_test, scale):
    steps = [StandardScaler()] if scale else []
    steps += [PCA(n_components=VARIANCE), KNeighborsClassifier(n_neighbors=K, algorithm="brute")]
    pipeline = make_pipeline(*steps)
    started = time.perf_counter()
    pipeline.fit(X_train, y_train)
    predicted = pipeline.predict(X_test)
    return predicted, time.perf_counter() - started, pipeline.named_steps["pca"].n_components_


def main():
    rows = []
    for name, loader, scale in DATA_SETS:
        data = loader()
        labels = np.array([str(target) for target in data.target])
        X_train, X_test, y_train, y_test = train_test_split(
            data.data, labels, test_size=0.3, random_state=0, stratify=labels
        )
        print(f"--- {name}: {X_train.shape[0]} training rows x {X_train.shape[1]} features", flush=True)
        ours, our_time, our_components = run_mirelo(X_train, list(y_train), X_test, scale)
        theirs, their_time, their_components = run_sklearn(X_train, y_train, X_test, scale)
        rows.append((name, np.mean(ours == y_test), np.mean(theirs == y_test), our_components,
                     their_components, np.mean(ours == theirs), our_time, their_time))

    print()
    print(f"k = {K}, variance = {VARIANCE}; accuracy on the held-out 30%")
    print(f"{'':<14} {'accuracy':^16} {'components':^16}")
    print(f"{'data set':<14} {'mirelo':>7} {'sklearn':>8} {'mirelo':>7} {'sklearn':>8} "
          f"{'same labels':>12} {'mirelo s':>9} {'sklearn s':>10}")
    for name, ours, theirs, our_comps, their_comps, same, our_time, their_time in rows:
        print(f"{name:<14} {ours:>7.4f} {theirs:>8.4f} {our_comps:>7d} {their_comps:>8d} "
              f"{same:>12.2%} {our_time:>9.4f} {their_time:>10.4f}")


if __name__ == "__main__":
    main()
