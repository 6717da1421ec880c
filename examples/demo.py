"""Classify scikit-learn's bundled data sets with mirelo and compare with scikit-learn.

Each data set is split into a training and a held-out part; mirelo trains on the first,
classifies the second with predict_batch, and scikit-learn's PCA + k-neighbours pipeline
does the same on the same split. Then both train on the digits split again for a range of
`variance` values, and a plot of their held-out accuracy and mirelo's kept component count
against it goes to a PNG whose path the demo prints (``--plot PATH``, by default in the
current directory).
"""

import argparse
import os
import re
import sys
import tempfile
import time

import numpy as np
from matplotlib.figure import Figure
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
SWEPT_VARIANCES = [0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 0.99]
# Times are the best of a few runs: on a busy machine a single run can be off tenfold.
REPEATS = 3


def train_and_read_components(engine, X, y, scale, echo=True):
    """Trains, echoes the engine's progress lines unless told not to, and returns the
    kept component count.

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
    if echo:
        print(lines, end="")
    return int(re.search(r"Reduced to (\d+) dimensions", lines).group(1))


def best_of(repeats, run):
    """(what the last run returned, the shortest of the runs' times in seconds), after one
    untimed run: the first call pays for loading libraries and starting threads."""
    run()
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - started)
    return result, min(times)


def run_mirelo(X_train, y_train, X_test, scale, variance=VARIANCE, repeats=REPEATS, echo=True):
    """(labels, best fit + predict seconds, kept components); echoes the first run's lines."""
    config = mirelo.KNNConfig()
    config.k = K
    config.variance = variance
    echoes = iter([echo] + [False] * repeats)

    def fit_and_predict():
        engine = mirelo.KNNEngine(config)
        components = train_and_read_components(engine, X_train, y_train, scale, next(echoes))
        return engine.predict_batch(X_test), components

    (predicted, components), seconds = best_of(repeats, fit_and_predict)
    return np.array(predicted), seconds, components


def run_sklearn(X_train, y_train, X_test, scale, variance=VARIANCE, repeats=REPEATS):
    """(labels, best fit + predict seconds, kept components)."""
    steps = [StandardScaler()] if scale else []
    steps += [PCA(n_components=variance), KNeighborsClassifier(n_neighbors=K, algorithm="brute")]
    pipeline = make_pipeline(*steps)
    predicted, seconds = best_of(repeats, lambda: pipeline.fit(X_train, y_train).predict(X_test))
    return predicted, seconds, pipeline.named_steps["pca"].n_components_


def split(loader):
    data = loader()
    labels = np.array([str(target) for target in data.target])
    return train_test_split(data.data, labels, test_size=0.3, random_state=0, stratify=labels)


def plot_variance_sweep(path):
    X_train, X_test, y_train, y_test = split(load_digits)
    ours, theirs, components = [], [], []
    for variance in SWEPT_VARIANCES:
        predicted, _, kept = run_mirelo(X_train, list(y_train), X_test, False, variance, repeats=1, echo=False)
        ours.append(np.mean(predicted == y_test))
        components.append(kept)
        predicted, _, _ = run_sklearn(X_train, y_train, X_test, False, variance, repeats=1)
        theirs.append(np.mean(predicted == y_test))

    figure = Figure(figsize=(7, 4.5), layout="constrained")
    accuracy_axes = figure.add_subplot()
    lines = accuracy_axes.plot(SWEPT_VARIANCES, ours, "o-", color="tab:blue", label="mirelo accuracy")
    lines += accuracy_axes.plot(SWEPT_VARIANCES, theirs, "x:", color="tab:green", markersize=9,
                                label="scikit-learn accuracy")
    accuracy_axes.set_xlabel("share of variance kept (variance)")
    accuracy_axes.set_ylabel("accuracy on the held-out 30%")
    component_axes = accuracy_axes.twinx()
    lines += component_axes.plot(SWEPT_VARIANCES, components, "s--", color="tab:orange",
                                 label="components mirelo kept")
    component_axes.set_ylabel(f"components kept (of {X_train.shape[1]})", color="tab:orange")
    accuracy_axes.legend(lines, [line.get_label() for line in lines], loc="lower right")
    accuracy_axes.set_title(f"mirelo and scikit-learn on digits, k = {K}")
    figure.savefig(path, dpi=100)
    print(f"Accuracy and kept components against variance: {os.path.abspath(path)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="mirelo-variance.png", metavar="PATH",
                        help="where to write the PNG (default: %(default)s)")
    args = parser.parse_args()
    # Fail before the work, not after it.
    directory = os.path.dirname(os.path.abspath(args.plot))
    if not os.path.isdir(directory):
        parser.error(f"--plot {args.plot}: directory {directory} does not exist")

    rows = []
    for name, loader, scale in DATA_SETS:
        X_train, X_test, y_train, y_test = split(loader)
        print(f"--- {name}: {X_train.shape[0]} training rows x {X_train.shape[1]} features", flush=True)
        ours, our_time, our_components = run_mirelo(X_train, list(y_train), X_test, scale)
        theirs, their_time, their_components = run_sklearn(X_train, y_train, X_test, scale)
        rows.append((name, np.mean(ours == y_test), np.mean(theirs == y_test), our_components,
                     their_components, np.mean(ours == theirs), our_time, their_time))

    print()
    print(f"k = {K}, variance = {VARIANCE}, held-out 30% of each data set")
    print(f"{'':<14} {'accuracy':^16} {'components':^16} {'':>12} {'seconds':^20}")
    print(f"{'data set':<14} {'mirelo':>7} {'sklearn':>8} {'mirelo':>7} {'sklearn':>8} "
          f"{'same labels':>12} {'mirelo':>9} {'sklearn':>10}")
    for name, ours, theirs, our_comps, their_comps, same, our_time, their_time in rows:
        print(f"{name:<14} {ours:>7.4f} {theirs:>8.4f} {our_comps:>7d} {their_comps:>8d} "
              f"{same:>12.2%} {our_time:>9.4f} {their_time:>10.4f}")
    print()
    print("accuracy: share of held-out rows labelled correctly; components: principal axes kept;")
    print("same labels: share of held-out rows where mirelo and scikit-learn give the same label;")
    print(f"seconds: fit + predict of the held-out rows, best of {REPEATS} runs after one untimed.")
    print()
    plot_variance_sweep(args.plot)


if __name__ == "__main__":
    main()
