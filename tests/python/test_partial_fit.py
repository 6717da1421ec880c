"""partial_fit: rows added to a fitted model answer exactly as one store of every row would."""

import pickle
import threading

import numpy as np
import pytest

from bounded import joined
from mirelo_sklearn import MireloClassifier, _native


def rebuilt(model):
    """A model whose store a single build made from the grown model's saved state."""
    state = model._fit.model.__getstate__()
    return _native.Model.from_state(state[:-1])


def grown(X, y, sizes, k=4, components=6):
    model = MireloClassifier(n_neighbors=k, n_components=components).fit(X[:sizes[0]], y[:sizes[0]])
    start = sizes[0]
    for size in sizes[1:]:
        model.partial_fit(X[start:start + size], y[start:start + size])
        start += size
    return model


def data(rows, seed, duplicates=True):
    rng = np.random.default_rng(seed)
    X = rng.integers(-3, 4, size=(rows, 9)).astype(np.float64)  # small integers: many ties
    if duplicates:
        X[rows // 2::7] = X[:len(X[rows // 2::7])]  # later rows repeating stored ones
    return X, rng.integers(0, 3, size=rows)


@pytest.mark.parametrize("sizes", [
    [40] + [1] * 12,            # single rows
    [300] + [17] * 30,          # many small additions, folded along the way
    [200, 900],                 # one addition larger than the store
    [2000, 3, 500, 1, 1200],    # mixed, at a larger scale
], ids=["single", "many-small", "large", "mixed"])
@pytest.mark.parametrize("threads", [1, 2])
def test_grown_answers_match_a_store_of_every_row(sizes, threads):
    X, y = data(sum(sizes), seed=len(sizes))
    model = grown(X, y, sizes)
    model.n_jobs = threads
    fit = model._fit
    assert model.n_samples_fit_ == len(X)
    state = dict(zip(_native.Model.state_fields, fit.model.__getstate__()))
    # The added rows are reduced as the fit reduces its own.
    np.testing.assert_array_equal(state["reduced"], np.ldexp(model.transform(X), fit.model.scale_exponent))
    whole = rebuilt(model)
    queries = np.vstack([X[::5] + 0.5, X[:20]])
    for count in [1, 4, 9]:
        distances, rows = fit.model.kneighbors(queries, count, threads)
        expected_distances, expected_rows = whole.kneighbors(queries, count, threads)
        np.testing.assert_array_equal(rows, expected_rows)
        np.testing.assert_array_equal(distances, expected_distances)
        # Brute force in NumPy: equal distances (the duplicates) go to the lower row.
        reduced = state["reduced"]
        query_rows = np.ldexp(model.transform(queries), fit.model.scale_exponent)
        squares = ((query_rows[:, None, :] - reduced[None, :, :]) ** 2).sum(axis=2)
        order = np.lexsort((np.broadcast_to(np.arange(len(reduced)), squares.shape), squares), axis=1)
        np.testing.assert_array_equal(rows, order[:, :count])
    np.testing.assert_array_equal(fit.model.predict(queries, 4, threads), whole.predict(queries, 4, threads))
    np.testing.assert_array_equal(fit.model.vote_counts(queries, 4, threads), whole.vote_counts(queries, 4, threads))
    np.testing.assert_array_equal(fit.model.training_kneighbors(5, threads)[1], whole.training_kneighbors(5, threads)[1])
    np.testing.assert_array_equal(fit.model.codes, whole.codes)


@pytest.mark.parametrize("before, added, classes, dtype", [
    (["b", "d"], ["a", "c", "d"], ["a", "b", "c", "d"], None),
    (["b", "d"], ["a", "c", "d"], ["a", "b", "c", "d"], object),  # as a DataFrame's column holds them
    (list(range(10)), [10, 3], list(range(11)), None),  # the codes' width grows
    ([5, 7], [6], [5, 6, 7], np.uint8),
])
def test_new_classes_join_in_sorted_order(before, added, classes, dtype):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(len(before) * 6, 5))
    y = np.array(before * 6, dtype=dtype)
    model = MireloClassifier(n_neighbors=1).fit(X, y)
    X_added = rng.normal(size=(len(added) * 4, 5))
    y_added = np.array(added * 4)
    model.partial_fit(X_added, y_added)
    np.testing.assert_array_equal(model.classes_, classes)
    stored = np.vstack([X, X_added])
    np.testing.assert_array_equal(model.predict(stored), np.concatenate([y, y_added]))
    proba = model.predict_proba(stored)
    assert proba.shape == (len(stored), len(classes))
    np.testing.assert_array_equal(model.classes_[proba.argmax(axis=1)], np.concatenate([y, y_added]))


def test_partial_fit_on_an_unfitted_model_fits():
    X, y = data(80, seed=1)
    first = MireloClassifier().partial_fit(X, y)
    second = MireloClassifier().fit(X, y)
    np.testing.assert_array_equal(first.kneighbors(X)[1], second.kneighbors(X)[1])


@pytest.mark.parametrize("X, y, error", [
    (np.ones((3, 8)), [0, 1, 2], "features"),
    (np.full((2, 9), np.nan), [0, 1], "NaN"),
    (np.ones((3, 9)), [0, 1], "inconsistent"),
    (np.ones((2, 9)), ["a", "b"], "kind"),
    (np.ones((2, 9), dtype=complex), [0, 1], "omplex"),
], ids=["width", "nan", "label-count", "label-kind", "dtype"])
def test_a_rejected_addition_changes_nothing(X, y, error):
    X_fit, y_fit = data(60, seed=2)
    model = grown(X_fit, y_fit, [50, 10])
    fit = model._fit
    before = model.predict_proba(X_fit)
    with pytest.raises(ValueError, match=error):
        model.partial_fit(X, y)
    assert model._fit is fit
    np.testing.assert_array_equal(model.predict_proba(X_fit), before)


def test_a_grown_model_pickles_whole():
    X, y = data(370, seed=4)
    model = grown(X, y, [300, 40, 30])
    assert model._fit.model.n_side_rows > 0
    loaded = pickle.loads(pickle.dumps(model))
    assert loaded.n_samples_fit_ == model.n_samples_fit_ == len(X)
    np.testing.assert_array_equal(loaded.kneighbors(X + 0.25)[1], model.kneighbors(X + 0.25)[1])
    np.testing.assert_array_equal(loaded.predict(None), model.predict(None))


def test_readers_see_a_whole_model_before_or_after_each_addition():
    X, y = data(1200, seed=5)
    sizes = [400] + [40] * 20
    model = grown(X, y, sizes[:1])
    queries = X[::9] + 0.5
    # The answers of each stage, found alone.
    expected = {}
    reference = MireloClassifier(n_neighbors=4, n_components=6).fit(X[:400], y[:400])
    expected[400] = reference.kneighbors(queries)[1]
    start = 400
    for size in sizes[1:]:
        reference.partial_fit(X[start:start + size], y[start:start + size])
        start += size
        expected[start] = reference.kneighbors(queries)[1]
    failures = []
    done = threading.Event()

    def reader():
        while not done.is_set():
            fit = model._fit
            rows = fit.model.kneighbors(queries, 4, 1)[1]
            if not np.array_equal(rows, expected[fit.n_samples]):
                failures.append(fit.n_samples)

    def writer():
        try:
            start = 400
            for size in sizes[1:]:
                model.partial_fit(X[start:start + size], y[start:start + size])
                start += size
        finally:
            done.set()

    threads = [threading.Thread(target=reader, daemon=True) for _ in range(3)]
    threads.append(threading.Thread(target=writer, daemon=True))
    for thread in threads:
        thread.start()
    joined(threads, "the readers and the additions")
    assert not failures
    assert model.n_samples_fit_ == len(X)
