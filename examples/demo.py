"""Classify scikit-learn's bundled data sets with mirelo and compare with scikit-learn.

Each data set is split into a training and a held-out part; mirelo's scikit-learn estimator
trains on the first and classifies the second, and scikit-learn's PCA + k-neighbours pipeline
does the same on the same split. Then it trains on the digits split again for a range of
`variance` values and plots the held-out accuracy and the kept component count against it,
into a PNG whose path it prints (``--plot PATH``, by default in the current directory).
"""

import argparse
import os
import time

import numpy as np
from matplotlib.figure import Figure
from sklearn.datasets import load_breast_cancer, load_digits, load_wine
from sklearn.decomposition import PCA
from sklearn.model_selection import train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from mirelo_sklearn import MireloClassifier

K = 5
VARIANCE = 0.95
# (name, loader, scale): the wine and breast-cancer features have very different units.
DATA_SETS = [
    ("digits", load_digits, False),
    ("wine", load_wine, True),
    ("breast cancer", load_breast_cancer, True),
]
SWEPT_VARIANCES = [0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 0.99]


def run_mirelo(X_train, y_train, X_test, scale, variance=VARIANCE, echo=True):
    # verbose writes the engine's two progress lines through sys.stdout.
    model = MireloClassifier(k=K, variance=variance, scale=scale, verbose=echo)
    started = time.perf_counter()
    predicted = model.fit(X_train, y_train).predict(X_test)
    return predicted, time.perf_counter() - started, model.n_components_


def run_sklearn(X_train, y_train, X_test, scale):
    steps = [StandardScaler()] if scale else []
    steps += [PCA(n_components=VARIANCE), KNeighborsClassifier(n_neighbors=K, algorithm="brute")]
    pipeline = make_pipeline(*steps)
    started = time.perf_counter()
    pipeline.fit(X_train, y_train)
    predicted = pipeline.predict(X_test)
    return predicted, time.perf_counter() - started, pipeline.named_steps["pca"].n_components_


def split(loader):
    data = loader()
    labels = np.array([str(target) for target in data.target])
    return train_test_split(data.data, labels, test_size=0.3, random_state=0, stratify=labels)


def plot_variance_sweep(path):
    X_train, X_test, y_train, y_test = split(load_digits)
    accuracies, components = [], []
    for variance in SWEPT_VARIANCES:
        predicted, _, kept = run_mirelo(X_train, list(y_train), X_test, False, variance, echo=False)
        accuracies.append(np.mean(predicted == y_test))
        components.append(kept)

    figure = Figure(figsize=(7, 4.5), layout="constrained")
    accuracy_axes = figure.add_subplot()
    accuracy_axes.plot(SWEPT_VARIANCES, accuracies, "o-", color="tab:blue")
    accuracy_axes.set_xlabel("variance")
    accuracy_axes.set_ylabel("accuracy on the held-out 30%", color="tab:blue")
    component_axes = accuracy_axes.twinx()
    component_axes.plot(SWEPT_VARIANCES, components, "s--", color="tab:orange")
    component_axes.set_ylabel(f"components kept (of {X_train.shape[1]})", color="tab:orange")
    accuracy_axes.set_title(f"mirelo on digits, k = {K}")
    figure.savefig(path, dpi=100)
    print(f"Accuracy and kept components against variance: {os.path.abspath(path)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="mirelo-variance.png", metavar="PATH",
                        help="where to write the PNG (default: %(default)s)")
    args = parser.parse_args()

    rows = []
    for name, loader, scale in DATA_SETS:
        X_train, X_test, y_train, y_test = split(loader)
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
    print()
    plot_variance_sweep(args.plot)


if __name__ == "__main__":
    main()
