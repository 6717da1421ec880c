"""MireloClassifier under scikit-learn's own estimator checks and model-selection tools."""

import copy
import importlib.metadata
import pickle
import sys
import tracemalloc
import unittest

import dask
import dask.array as da
import numpy as np
import pytest
from sklearn.calibration import CalibratedClassifierCV
from sklearn.datasets import load_digits, load_iris, load_wine, make_classification
from sklearn.decomposition import PCA
from sklearn.ensemble import VotingClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.neighbors import KNeighborsClassifier, NearestNeighbors
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.estimator_checks import parametrize_with_checks

import mirelo_dask
import mirelo_sklearn
from mirelo_sklearn import MireloClassifier, _native
from mirelo_sklearn import _saved_state
from mirelo_sklearn.engine import ModelState
from mirelo_sklearn._classifier import _loaded_fit


@parametrize_with_checks([MireloClassifier()])
def test_scikit_learn_estimator_checks(estimator, check):
    try:
        check(estimator)
    except unittest.SkipTest as skipped:  # reported from here rather than from pytest's unittest support
        pytest.skip(str(skipped))


@pytest.mark.parametrize("left, right", [(2, 10), (10, 2)])
def test_vote_ties_go_to_the_smallest_class(left, right):
    # Unpadded, class 10's label "10" would come before class 2's "2" in byte order.
    others = [c for c in range(12) if c not in (2, 10)]
    X = np.array([[-1.0], [1.0]] + [[100.0 + c] for c in others])
    model = MireloClassifier(n_neighbors=2).fit(X, [left, right, *others])
    assert model.predict([[0.0]]).tolist() == [2]


def test_parallel_grid_search_matches_scikit_learn():
    X, y = load_wine(return_X_y=True)
    ours = GridSearchCV(make_pipeline(StandardScaler(), MireloClassifier()),
                        {"mireloclassifier__n_neighbors": [1, 5], "mireloclassifier__n_components": [0.8, 0.95]},
                        n_jobs=2)
    theirs = GridSearchCV(make_pipeline(StandardScaler(), PCA(), KNeighborsClassifier(algorithm="brute")),
                          {"kneighborsclassifier__n_neighbors": [1, 5], "pca__n_components": [0.8, 0.95]})
    ours, theirs = ours.fit(X, y).cv_results_, theirs.fit(X, y).cv_results_
    assert ({(p["mireloclassifier__n_neighbors"], p["mireloclassifier__n_components"]): score
             for p, score in zip(ours["params"], ours["mean_test_score"])}
            == {(p["kneighborsclassifier__n_neighbors"], p["pca__n_components"]): score
                for p, score in zip(theirs["params"], theirs["mean_test_score"])})


def test_scale_matches_a_standard_scaler():
    # StandardScaler divides by the n-divisor deviation, scale=True by the n-1 one: a uniform factor.
    X, y = load_wine(return_X_y=True)
    reference = make_pipeline(StandardScaler(), PCA(0.95), KNeighborsClassifier(5, algorithm="brute"))
    assert (cross_val_score(MireloClassifier(n_neighbors=5, scale=True), X, y).tolist()
            == cross_val_score(reference, X, y).tolist())


@pytest.mark.parametrize("tool", [
    lambda: cross_val_score(MireloClassifier(n_neighbors=7, scale=True), *load_wine(return_X_y=True),
                            scoring="roc_auc_ovr"),
    lambda: VotingClassifier([("mirelo", MireloClassifier(n_neighbors=5)),
                              ("linear", LogisticRegression(max_iter=1000))], voting="soft").fit(*load_iris(return_X_y=True)).predict_proba(load_iris().data),
    lambda: CalibratedClassifierCV(MireloClassifier(n_neighbors=5), cv=3).fit(
        *load_iris(return_X_y=True)).predict_proba(load_iris().data),
], ids=["roc-auc-ovr", "soft-voting", "calibrated"])
def test_probability_tools(tool):
    assert np.isfinite(tool()).all()


@pytest.mark.parametrize("k", [1, 2, 4, 6])
@pytest.mark.parametrize("labels, rows", [(["d", "c", "b", "a"], 120), ([f"c{i}" for i in range(700)], 3000)],
                         ids=["four", "many"])
def test_predict_is_the_first_maximum_of_predict_proba(k, labels, rows):
    # Rounded data repeat points, so votes tie often; classes absent near a query get 0. With
    # many classes, the labels' byte order ("c10" < "c9") differs from their numbers'.
    rng = np.random.default_rng(k)
    X, queries = rng.normal(size=(rows, 4)).round(), rng.normal(size=(200, 4)).round()
    y = rng.choice(labels, size=rows)
    model = MireloClassifier(n_neighbors=k, n_components=4).fit(X, y)
    for n_neighbors in (k, k + 3):  # the engine's own k, and another
        proba = model.set_params(n_neighbors=n_neighbors).predict_proba(queries)
        assert proba.shape == (200, len(set(y))) and np.allclose(proba.sum(axis=1), 1.0) and (proba == 0).any()
        assert (model.predict(queries) == model.classes_[proba.argmax(axis=1)]).all()


def digits():
    X, y = load_digits(return_X_y=True)
    return X[:1200], y[:1200], X[1200:]


def wide():
    X, y = make_classification(n_samples=160, n_features=600, n_informative=30, n_classes=4, random_state=0)
    return X[:120], y[:120], X[120:]


@pytest.mark.parametrize("data", [digits, wide])
@pytest.mark.parametrize("weights", ["uniform", "distance", lambda d: np.exp(-d / 8)], ids=["uniform", "distance",
                                                                                          "callable"])
def test_weights_match_scikit_learn(data, weights):
    X, y, queries = data()
    model = MireloClassifier(n_neighbors=7, weights=weights).fit(X, y)
    reference = make_pipeline(PCA(0.95), KNeighborsClassifier(7, weights=weights, algorithm="brute")).fit(X, y)
    assert (model.predict(queries) == reference.predict(queries)).all()
    np.testing.assert_allclose(model.predict_proba(queries), reference.predict_proba(queries), atol=1e-12)


@pytest.mark.parametrize("data", [digits, wide])
@pytest.mark.parametrize("weights", ["uniform", "distance"])
def test_training_rows_neighbours_match_scikit_learn(data, weights):
    X, y, _ = data()
    model = MireloClassifier(n_neighbors=5, weights=weights).fit(X, y)
    reference = KNeighborsClassifier(5, weights=weights, algorithm="brute").fit(PCA(0.95).fit_transform(X), y)
    assert (model.predict(None) == reference.predict(None)).all()
    np.testing.assert_allclose(model.predict_proba(None), reference.predict_proba(None), atol=1e-12)
    distances, indices = model.kneighbors()
    expected_distances, expected_indices = reference.kneighbors()
    assert (indices == expected_indices).all()
    np.testing.assert_allclose(distances, expected_distances, rtol=1e-9)
    for mode in ["connectivity", "distance"]:
        graph = model.kneighbors_graph(n_neighbors=3, mode=mode)
        expected = reference.kneighbors_graph(n_neighbors=3, mode=mode)
        assert type(graph) is type(expected) and (graph.indices == expected.indices).all()
        np.testing.assert_allclose(graph.data, expected.data, rtol=1e-9)


@pytest.mark.parametrize("copies, n_neighbors, expected", [
    (2, 1, [[1], [0]]), (2, 3, [[1, 2, 3], [0, 2, 3]]), (4, 2, [[1, 2], [0, 2], [0, 1], [1, 2]]),
])
def test_training_rows_neighbours_leave_out_the_row_itself(copies, n_neighbors, expected):
    # Copies are taken lowest first; where more of them than n_neighbors come before a row,
    # the first is left out in its place, as scikit-learn does.
    X = np.repeat([[0.0, 0.0], [1.0, 0.0], [0.0, 3.0]], copies, axis=0)
    model = MireloClassifier(n_neighbors=1, n_components=2).fit(X, np.arange(len(X)) % 2)
    distances, indices = model.kneighbors(n_neighbors=n_neighbors)
    assert indices[:copies].tolist() == expected and (distances[:, :min(copies - 1, n_neighbors)] == 0).all()


REFUSED_WEIGHTS = "finite, at least 0 and not all 0 for each query, got "


def on_second_query(value):
    return lambda d: np.where(np.arange(len(d))[:, None] == 1, value, np.ones_like(d))


@pytest.mark.parametrize("weights, match", [
    (lambda d: d[:, :1], r"one weight per distance, shape \(2, 2\), got shape \(2, 1\)"),
    (lambda d: d * np.nan, REFUSED_WEIGHTS + r"\[nan nan\] for query 0"),
    (on_second_query(np.inf), REFUSED_WEIGHTS + r"\[inf inf\] for query 1"),
    (on_second_query(-1e-3), REFUSED_WEIGHTS + r"\[-0.001 -0.001\] for query 1"),
    (lambda d: np.zeros_like(d), REFUSED_WEIGHTS + r"\[0. 0.\] for query 0"),
    (lambda d: np.ones_like(d) * [1.0, -1.0], REFUSED_WEIGHTS + r"\[ 1. -1.\] for query 0"),
    (lambda d: d.astype(str), "real numbers"),
], ids=["shape", "nan", "inf", "negative", "zeros", "zero-sum", "text"])
def test_weights_functions_that_cannot_weigh_raise(weights, match):
    model = MireloClassifier(n_neighbors=2, weights=weights).fit([[0.0], [1.0], [2.0]], ["a", "b", "a"])
    for call in (model.predict, model.predict_proba):
        with pytest.raises(ValueError, match=match):
            call([[0.4], [1.5]])


@pytest.mark.parametrize("factor", [1e308, np.finfo(np.float64).max])
def test_weights_whose_sum_overflows_give_the_same_shares(factor):
    X, y, queries = digits()
    shares = [MireloClassifier(n_neighbors=7, weights=lambda d, f=f: np.exp(-d / 8) * f).fit(X, y)
              .predict_proba(queries) for f in (1.0, factor)]
    np.testing.assert_allclose(shares[1], shares[0], rtol=1e-12)


def test_distance_weights_at_distance_zero_count_only_those_rows():
    model = MireloClassifier(n_neighbors=3, weights="distance").fit([[0.0], [0.0], [0.1], [5.0]], ["a", "b", "b", "c"])
    assert model.predict_proba([[0.0], [4.0]]).round(3).tolist() == [[0.5, 0.5, 0.0], [0.166, 0.17, 0.664]]


@pytest.mark.parametrize("data", [digits, wide])
@pytest.mark.parametrize("scale", [False, True])
def test_reduction_is_scikit_learns_pca(data, scale):
    X, y, queries = data()
    model = MireloClassifier(scale=scale).fit(X, y)
    scaler = StandardScaler(with_std=scale).fit(X)
    pca = PCA(0.95).fit(scaler.transform(X))
    # scale=True divides by the n - 1 deviation, StandardScaler by the n one: variances differ
    # by (n - 1) / n, except in constant columns, which both leave undivided.
    shrink = (len(X) - 1) / len(X) if scale else 1.0
    signs = np.sign((model.components_ * pca.components_).sum(axis=1))[:, None]
    np.testing.assert_allclose(model.components_ * signs, pca.components_, atol=1e-10)
    np.testing.assert_allclose(model.mean_, scaler.mean_, atol=1e-12)
    np.testing.assert_allclose(model.explained_variance_, pca.explained_variance_ * shrink, rtol=1e-10)
    np.testing.assert_allclose(model.explained_variance_ratio_, pca.explained_variance_ratio_, atol=1e-12)
    np.testing.assert_allclose(model.singular_values_, pca.singular_values_ * np.sqrt(shrink), rtol=1e-10)
    if scale:
        varies = scaler.var_ > 0
        np.testing.assert_allclose(model.scale_[varies], scaler.scale_[varies] / np.sqrt(shrink), rtol=1e-10)
        assert (model.scale_[~varies] == 1).all()
    else:
        assert model.scale_ is None
    expected = scaler.inverse_transform(pca.inverse_transform(pca.transform(scaler.transform(queries))))
    np.testing.assert_allclose(model.inverse_transform(model.transform(queries)), expected, atol=1e-9)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_outputs_keep_the_input_precision(dtype):
    X, y = load_wine(return_X_y=True)
    model = MireloClassifier(n_components=2).fit(X.astype(dtype), y)
    assert model.kneighbors()[0].dtype == dtype
    for queries in (X.astype(dtype), X.astype(dtype).tolist() if dtype == np.float64 else X.astype(dtype)):
        reduced = model.transform(queries)
        assert reduced.dtype == model.kneighbors(queries)[0].dtype == model.inverse_transform(reduced).dtype == dtype
    with pytest.raises(ValueError, match="Expected 2 columns, one per kept component, got 3"):
        model.inverse_transform(np.zeros((1, 3)))


def test_kneighbors_and_transform_match_a_search_on_the_reduced_rows():
    X, y = load_wine(return_X_y=True)
    model = MireloClassifier(n_neighbors=4, scale=True).fit(X[:150], y[:150])
    reduced = model.transform(X)
    assert reduced.shape == (178, model.n_components_) and model.explained_variance_ratio_.sum() >= 0.95
    expected_distances, expected_indices = NearestNeighbors(n_neighbors=6).fit(reduced[:150]).kneighbors(reduced)
    distances, indices = model.kneighbors(X, n_neighbors=6)
    assert (indices == expected_indices).all() and np.allclose(distances, expected_distances)
    assert (model.kneighbors(X, return_distance=False) == indices[:, :4]).all()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("shape, scale", [((400, 300), False), ((120, 700), True)], ids=["tall", "wide"])
def test_a_row_projects_to_the_same_bits_alone_as_in_any_batch(shape, scale, dtype):
    # Enough rows and features for the batch to be cut into blocks of both and shared by threads.
    rng = np.random.default_rng(8)
    X = rng.normal(size=shape) * rng.uniform(0.5, 4.0, size=shape[1]) + 3.0
    model = MireloClassifier(n_neighbors=3, n_components=12, scale=scale).fit(X, rng.integers(3, size=shape[0]))
    queries = (rng.normal(size=(150, shape[1])) * 2.0 + 3.0).astype(dtype)
    alone = np.vstack([model.transform(q[None, :]) for q in queries])
    for n_jobs in (1, 2):
        model.set_params(n_jobs=n_jobs)
        assert np.array_equal(model.transform(queries), alone)
        assert np.array_equal(model.transform(queries[::-1]), alone[::-1])
        assert np.array_equal(model.kneighbors(queries)[0], np.vstack([model.kneighbors(q[None, :])[0] for q in queries]))


@pytest.mark.parametrize("magnitude", [1e-200, 1e155, 1e300])
def test_kneighbors_distances_at_any_magnitude(magnitude):
    # Their squares overflow or underflow; the distances themselves must not.
    X, y = load_wine(return_X_y=True)
    model = MireloClassifier(n_neighbors=4).fit(X[:150], y[:150])
    distances, indices = model.kneighbors(X)
    found, found_indices = MireloClassifier(n_neighbors=4).fit(X[:150] * magnitude, y[:150]).kneighbors(X * magnitude)
    assert (found_indices == indices).all()
    np.testing.assert_allclose(found / magnitude, distances, rtol=1e-9)


@pytest.mark.parametrize("call, error, message", [
    (lambda m, X: m.predict(X), ValueError, "n_neighbors = 4, n_samples_fit = 3"),
    (lambda m, X: m.predict_proba(X), ValueError, "n_neighbors = 4, n_samples_fit = 3"),
    (lambda m, X: m.kneighbors(X, n_neighbors=4), ValueError, "n_neighbors = 4, n_samples_fit = 3"),
    (lambda m, X: m.kneighbors(X, n_neighbors=0), ValueError, "Expected n_neighbors > 0, got 0"),
    (lambda m, X: m.kneighbors(X, n_neighbors=2.0), TypeError, "n_neighbors does not take <class 'float'> value"),
    (lambda m, X: m.kneighbors(X, n_neighbors=True), TypeError, "n_neighbors does not take <class 'bool'> value"),
], ids=["predict", "predict_proba", "kneighbors", "zero", "float", "bool"])
def test_neighbour_counts_the_training_cannot_serve_raise(call, error, message):
    model = MireloClassifier(n_neighbors=4).fit([[0.0], [1.0], [2.0]], ["a", "b", "a"])
    with pytest.raises(error, match=message):
        call(model, [[0.5]])


def test_pickle_holds_the_trained_state_and_answers_bit_for_bit(capfd):
    X, y = load_wine(return_X_y=True)
    # Answering for a count other than the fitted one too.
    model = MireloClassifier(n_neighbors=1, verbose=True).fit(X, y).set_params(n_neighbors=25)
    expected = [model.predict(X), model.predict_proba(X), *model.kneighbors(X), model.transform(X)]
    capfd.readouterr()
    loaded = pickle.loads(pickle.dumps(model))
    assert capfd.readouterr().out == ""  # loading trains nothing
    found = [loaded.predict(X), loaded.predict_proba(X), *loaded.kneighbors(X), loaded.transform(X)]
    assert all(np.array_equal(a, b) for a, b in zip(found, expected))
    assert loaded.n_components_ == model.n_components_ and loaded.n_neighbors == 25


WINE_X, WINE_Y = load_wine(return_X_y=True)
WINE_MODEL = MireloClassifier(n_components=3).fit(WINE_X, WINE_Y)


def wine_answers(model):
    return [model.predict(WINE_X), model.predict_proba(WINE_X), *model.kneighbors(WINE_X), model.transform(WINE_X)]


def named_fields(state):
    """A native model's saved state by field name, without the digest that ends it."""
    return ModelState(*state[:-1])._asdict()


def test_pickled_state():
    fields = named_fields(WINE_MODEL._fit.model.__getstate__())
    held = WINE_MODEL._fit.model.__sizeof__()
    assert held >= fields["reduced"].nbytes + fields["components"].nbytes
    assert sys.getsizeof(WINE_MODEL) > held > sys.getsizeof(MireloClassifier().fit(WINE_X[:30], WINE_Y[:30]))
    restored = _native.Model.__new__(_native.Model)
    restored.__setstate__(_native.Model(3, 0.95).__getstate__())
    assert not restored.is_fitted and restored.k == 3


# The layout before the parameters came under the digest: a dict of attributes, the fit apart.
def test_class_codes_at_the_top_of_their_range_answer_and_save_as_they_came():
    fields = named_fields(WINE_MODEL._fit.model.__getstate__())
    top = 2**31 - 1
    codes = fields["codes"] + (top - 3)
    model = _native.Model.from_state(tuple({**fields, "n_classes": top, "codes": codes}.values()))
    assert model.n_classes == top and model.classes_held == 3 and (model.codes == codes).all()
    native = WINE_MODEL._fit.model
    assert (model.predict(WINE_X, native.k) == native.predict(WINE_X, native.k) + (top - 3)).all()
    saved = named_fields(model.__getstate__())
    assert saved["n_classes"] == top and saved["codes"].dtype == np.int64 and (saved["codes"] == codes).all()


def test_a_model_without_voters_answers_no_class_code():
    model = _native.Model(0, 0.95)
    classes, codes = np.unique(WINE_Y, return_inverse=True)
    model.fit(WINE_X, codes, len(classes), False, False)
    with pytest.raises(ValueError, match="k of at least 1, got 0"):
        model.predict(WINE_X[:3], 0)


@pytest.mark.parametrize("load, format", [
    (lambda: _loaded_fit(1, WINE_MODEL._fit.model, b"", b""), "1"),
    (lambda: MireloClassifier().__setstate__(MireloClassifier().get_params()), "1"),
    (lambda: MireloClassifier().__setstate__((3, *WINE_MODEL.__getstate__()[1:])), "3"),
    (lambda: MireloClassifier().__setstate__(("2", *WINE_MODEL.__getstate__()[1:])), "'tuple'"),
], ids=["first-fitted", "first-unfitted", "later", "text"])
def test_pickles_of_other_formats_are_refused(load, format):
    with pytest.raises(ValueError, match=rf"saved in format {format}, and mirelo .* reads format 2"):
        load()


@pytest.mark.parametrize("change, message", [
    (lambda f: {**f, "format": 2}, r"saved in format 2, and mirelo .* reads format 1"),
    (lambda f: {**f, "format": "0.1.0"}, "begins with its format number, got '0.1.0'"),
    (lambda f: dict(list(f.items())[:5]), "3 or 12 fields, got 5"),
    (lambda f: {**f, "k": 0}, "k of at least 1"),
    (lambda f: {**f, "variance": np.nan}, "variance above zero and finite"),
    (lambda f: {**f, "mean": "mean"}, "mean is a contiguous float64 array of 1 dimension, got <class 'str'>"),
    (lambda f: {**f, "components": f["components"] * 0}, "at least one non-zero component"),
    (lambda f: {**f, "components": f["components"] * 1.01}, "orthonormal components"),
    (lambda f: {**f, "components": f["components"][:, [0, 0, 2]]}, "orthonormal components"),
    (lambda f: {**f, "explained_variance_ratio": -f["explained_variance_ratio"]}, "explained variance ratios"),
    (lambda f: {**f, "explained_variance_ratio": f["explained_variance_ratio"][::-1].copy()},
     "explained variance ratios"),
    (lambda f: {**f, "explained_variance_ratio": f["explained_variance_ratio"] * np.nan}, "explained variance ratios"),
    (lambda f: {**f, "reduced": f["reduced"][:, :1].copy()}, "reduced training matrix is 178 x"),
    (lambda f: {**f, "reduced": f["reduced"] * np.nan}, "finite values"),
    (lambda f: {**f, "codes": f["codes"] + 3}, "class codes from 0 to 2"),
    # Beyond int32, where a narrowed code would land back on a class.
    (lambda f: {**f, "codes": f["codes"] + 2**32}, "class codes from 0 to 2, got 4294967296"),
    (lambda f: {**f, "n_classes": 2**31}, "at most 2147483647 classes, got 2147483648"),
    (lambda f: {**f, "codes": f["codes"] + 0.7},
     "class code vector is a contiguous int64 array of 1 dimension, got float64"),
    (lambda f: {**f, "n_classes": 3.0}, "class count is an integer, got 3.0"),
    (lambda f: {**f, "n_components": True}, "component count is an integer, got True"),
    (lambda f: {**f, "n_components": 2**40}, "component count is from .* got 1099511627776"),
    (lambda f: {**f, "std_dev": f["std_dev"] * 1e-12},
     "spread vector holds 1 or finite values of at least 1e-09, got 1e-12"),
    (lambda f: {**f, "components": f["components"] * [1, 1, 0]}, "zero along component 2, an axis of zero length"),
    # About 1 KB that claims 8 TB: refused by its layout before anything is allocated.
    (lambda f: {**f, "mean": np.broadcast_to(0.0, (10**12,)), "std_dev": np.broadcast_to(1.0, (10**12,)),
                "components": np.broadcast_to(0.0, (10**12, 3))},
     r"mean is a contiguous float64 array .* strides \(0,\)"),
], ids=["format", "versioned", "fields", "k", "variance", "mean-type", "zero-axes", "long-axes", "same-axes",
        "negative-ratios", "rising-ratios", "nan-ratios", "reduced-width", "reduced-nan", "codes-range", "wide-codes", "many-classes",
        "float-codes", "float-class-count", "bool-count", "huge-count", "tiny-spread", "zero-axis-rows",
        "huge-broadcast"])
def test_saved_states_no_training_produces_are_refused(change, message):
    fields = named_fields(WINE_MODEL._fit.model.__getstate__())
    with pytest.raises(ValueError, match=message):
        _native.Model.from_state(tuple(change(fields).values()))


def crafted(change, base=WINE_MODEL):
    """base's pickled state after change(native fields, fit values, attributes), its digests made
    again: what no damage makes, only a deliberate edit."""
    _, model_state, rest, _ = base.__getstate__()
    attributes, values = pickle.loads(rest)
    fields, values, attributes = change(named_fields(model_state), list(values), attributes)
    return _saved_state.saved(attributes, _native.Model.from_state(tuple(fields.values())), tuple(values))


def changed(items, index, value):
    items[index] = value
    return items


# Three rows, one per class: as many components as rows.
THREE_ROWS = MireloClassifier(n_components=None).fit(WINE_X[[0, 60, 130]], WINE_Y[[0, 60, 130]])


# Each case changes WINE_MODEL unless it names another model.
@pytest.mark.parametrize("change, message, base", [(*case, WINE_MODEL)[:3] for case in [
    (lambda f, v, a: (changed(f, "std_dev", f["std_dev"] * 2), v, a), "spread vector is all 1 with scale=False"),
    (lambda f, v, a: (f, changed(v, 0, np.array([0, 0, 2])), a), "distinct, sorted"),
    (lambda f, v, a: (f, changed(v, 0, np.array([2, 1, 0])), a), "distinct, sorted"),
    (lambda f, v, a: (f, changed(v, 0, np.array([0.5, 1.0, 2.0])), a), "whole numbers"),
    (lambda f, v, a: (f, changed(v, 0, np.array([0, "a", 2], dtype=object)), a), "distinct, sorted"),
    (lambda f, v, a: (f, changed(v, 0, np.array([0, 1])), a), r"classes of shape \(3,\)"),
    (lambda f, v, a: (changed(f, "codes", np.where(f["codes"] == 1, 0, f["codes"])), v, a),
     "each of its 3 classes, got rows of 2"),
    (lambda f, v, a: (f, changed(v, 1, np.array(["a"] * 13, dtype=object)), a), r"feature names, got \['a'\]"),
    (lambda f, v, a: (f, changed(v, 1, np.arange(13)), a), "13 saved feature names, each a str"),
    (lambda f, v, a: (f, changed(v, 2, "<i8"), a), "float dtype"),
    (lambda f, v, a: (f, changed(v, 3, 1), a), "scale flag"),
    (lambda f, v, a: (changed(f, "explained_variance_ratio", f["explained_variance_ratio"] * 0), v, a),
     "ratios are not all 0 while its reduced training rows vary"),
    (lambda f, v, a: ({**f, "reduced": f["reduced"][:2], "codes": f["codes"][:2], "n_classes": 2},
                      changed(v, 0, v[0][:2]), a),
     "at most as many components as its 2 training rows, got 3", THREE_ROWS),
    (lambda f, v, a: (f, v, {**a, "_fit": None}), r"unknown attributes \['_fit'\]"),
    (lambda f, v, a: (f, v, {k: a[k] for k in a if k != "weights"}), r"missing \['weights'\]"),
]], ids=["spreads-unscaled", "duplicate-classes", "unsorted-classes", "fractional-classes", "mixed-classes",
        "class-count", "class-missing", "repeated-names", "name-types", "dtype", "scale-flag", "zero-ratios",
        "components-above-rows", "fit-attribute", "missing-parameter"])
def test_saved_fits_no_training_produces_are_refused(change, message, base):
    with pytest.raises(ValueError, match=message):
        MireloClassifier().__setstate__(crafted(change, base))


def test_the_crafted_states_change_only_what_they_name():
    for base in (WINE_MODEL, THREE_ROWS):
        loaded = MireloClassifier()
        loaded.__setstate__(crafted(lambda f, v, a: (f, v, a), base))
        assert all(np.array_equal(a, b) for a, b in zip(wine_answers(loaded), wine_answers(base)))


def test_parts_of_two_pickles_never_load_together():
    other = MireloClassifier(n_components=3).fit(WINE_X[::-1], WINE_Y[::-1] + 10)
    ours, theirs = WINE_MODEL.__getstate__(), other.__getstate__()
    for spliced in [(2, ours[1], theirs[2], theirs[3]), (2, ours[1], theirs[2], ours[3]),
                    (2, theirs[1], ours[2], ours[3])]:
        with pytest.raises(ValueError, match="damaged after it was saved"):
            MireloClassifier().__setstate__(spliced)


@pytest.mark.parametrize("saved, damaged", [
    (b"n_neighbors\x94K\x03", b"n_neighbors\x94K\x07"), (b"\x8c\x07uniform", b"\x8c\x07uniforn"),
    (b"\x8c\x0bn_neighbors", b"\x8c\x0bn_neighborX"), (b"\x8c\x05scale", b"\x8c\x05scalX"),
], ids=["n_neighbors", "weights", "parameter-name", "other-name"])
def test_a_damaged_parameter_is_refused_at_load(saved, damaged):
    pickled = pickle.dumps(WINE_MODEL)
    assert pickled.count(saved) == 1
    with pytest.raises(ValueError, match="damaged after it was saved"):
        pickle.loads(pickled.replace(saved, damaged))


@pytest.mark.parametrize("take", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_keep_parameters_that_do_not_pickle(take):
    model = MireloClassifier(weights=lambda d: 1 / (1 + d), n_components=3).fit(WINE_X, WINE_Y)
    copied = take(model)
    assert copied.weights is model.weights
    assert np.array_equal(copied.predict_proba(WINE_X), model.predict_proba(WINE_X))


def test_a_damaged_pickle_never_loads_as_another_model():
    saved, expected = pickle.dumps(WINE_MODEL), wine_answers(WINE_MODEL)
    rng = np.random.default_rng(0)
    for position in rng.choice(len(saved), 300, replace=False):
        damaged = bytearray(saved)
        damaged[position] ^= 1 << int(rng.integers(8))
        try:
            loaded = pickle.loads(bytes(damaged))
        except Exception:
            continue
        if not isinstance(loaded, MireloClassifier):
            continue  # the damage changed what the pickle builds, as for any pickle
        assert all(np.array_equal(a, b) for a, b in zip(wine_answers(loaded), expected)), position
        assert loaded.get_params() == WINE_MODEL.get_params(), position


@pytest.mark.parametrize("params", [
    {"n_neighbors": 0}, {"n_neighbors": -3}, {"n_neighbors": 2.5}, {"n_neighbors": True}, {"n_neighbors": 2**31},
    {"n_components": 0}, {"n_components": "mle"}, {"weights": "inverse"}, {"weights": 2}, {"scale": "yes"},
    {"scale": 1}, {"n_jobs": 0}, {"n_jobs": 1.5}, {"verbose": "loud"},
])
def test_rejects_parameters(params):
    with pytest.raises(InvalidParameterError, match=f"'{next(iter(params))}' parameter of MireloClassifier"):
        MireloClassifier(**params).fit([[0.0], [1.0]], ["a", "b"])


# Every call that reads n_neighbors; the first four read weights as well.
QUERY_CALLS = {
    "predict": lambda m, X: m.predict(X),
    "predict_proba": lambda m, X: m.predict_proba(X),
    "dask-predict": lambda m, X: mirelo_dask.predict(m, da.from_array(X, chunks=50)).compute(),
    "dask-predict_proba": lambda m, X: mirelo_dask.predict_proba(m, da.from_array(X, chunks=50)).compute(),
    "kneighbors": lambda m, X: m.kneighbors(X),
    "kneighbors_graph": lambda m, X: m.kneighbors_graph(X, mode="distance").toarray(),
    "dask-kneighbors": lambda m, X: dask.compute(*mirelo_dask.kneighbors(m, da.from_array(X, chunks=50))),
}
WEIGHING_CALLS = list(QUERY_CALLS)[:4]


@pytest.mark.parametrize("name, queries", [(name, WINE_X[::5]) for name in QUERY_CALLS]
                         + [(name, None) for name in QUERY_CALLS if not name.startswith("dask")])
@pytest.mark.parametrize("params", [{"n_neighbors": 5}, {"n_neighbors": 2, "weights": "distance"}])
def test_parameters_set_after_a_fit_serve_every_call(name, queries, params):
    changed = pickle.loads(pickle.dumps(WINE_MODEL)).set_params(**params)
    refitted = MireloClassifier(n_components=3, **params).fit(WINE_X, WINE_Y)
    found, expected = (np.asarray(QUERY_CALLS[name](m, queries)) for m in (changed, refitted))
    assert np.array_equal(found, expected)


@pytest.mark.parametrize("name, param, value", [
    *[(name, "n_neighbors", value) for name in QUERY_CALLS for value in (0, 2.0, 2**31)],
    *[(name, "weights", "unifrom") for name in WEIGHING_CALLS],
])
@pytest.mark.parametrize("how", ["set_params", "loaded"])
def test_parameters_set_after_a_fit_are_checked_at_each_call(name, param, value, how):
    model = pickle.loads(pickle.dumps(WINE_MODEL))
    if how == "set_params":
        model.set_params(**{param: value})
    else:  # as a damaged saved state would hold it
        vars(model)[param] = value
    with pytest.raises(InvalidParameterError, match=f"'{param}' parameter of MireloClassifier"):
        QUERY_CALLS[name](model, WINE_X[:10])


@pytest.mark.parametrize("labels", [np.array([b"b", b"ab"] * 15), [b"b", b"ab"] * 15], ids=["array", "list"])
def test_bytes_labels_as_k_neighbors_classifier_takes_them(labels):
    model = MireloClassifier(n_neighbors=1).fit(WINE_X[:30], labels)
    reference = KNeighborsClassifier(n_neighbors=1).fit(WINE_X[:30], labels)
    for found, expected in [(model.classes_, reference.classes_),
                            (model.predict(WINE_X[:30]), reference.predict(WINE_X[:30]))]:
        assert found.dtype == expected.dtype and found.tolist() == expected.tolist()


@pytest.mark.parametrize("n_components", [
    1, 4, 5, np.int64(2), True, None, 0.5, 0.999, np.float64(0.3), 1.0, 0.0, 1.5, 2.0, -1, np.nan, np.inf,
    np.float32(0.5), "0.5",
])
def test_n_components_as_pca_takes_it(n_components):
    # The share, count and None of PCA, down to which types it refuses; a count must fit the data.
    X, y = load_wine(return_X_y=True)
    X, y = X[::20, :4], y[::20]
    try:
        expected = PCA(n_components).fit(X).n_components_
    except ValueError as error:
        with pytest.raises(type(error)):
            MireloClassifier(n_components=n_components).fit(X, y)
    else:
        assert MireloClassifier(n_components=n_components).fit(X, y).n_components_ == expected


@pytest.mark.parametrize("verbose, capture, long_fit", [
    (False, "capfd", False), (False, "capfd", True), (True, "capsys", False), (True, "capsys", True),
])
def test_fit_is_quiet_unless_verbose(request, monkeypatch, verbose, capture, long_fit):
    # capfd sees file descriptors 1 and 2; capsys only sys.stdout and sys.stderr. A long fit is
    # one past the quiet start, brought down to nothing here so as not to wait for it.
    captured = request.getfixturevalue(capture)
    if long_fit:
        monkeypatch.setattr(mirelo_sklearn._classifier, "_QUIET_START", 0.0)
    X, y = load_wine(return_X_y=True)
    MireloClassifier(n_components=3, verbose=verbose).fit(X, y)
    stages = ["statistics and covariance", "eigen-decomposition", "projection", "store"]
    progress = "".join(f"[mirelo] {stage}: 0% done\n" for stage in stages) if long_fit else ""
    expected = (progress + "[PCA] Fit complete. Mode: Standard | Components: 3\n"
                "[Engine] Trained successfully. Reduced to 3 dimensions.\n") if verbose else ""
    assert captured.readouterr() == (expected, "")


@pytest.mark.parametrize("X", [
    [[0.0], [np.nan]], [[0.0, 1.0], [np.nan, 1.0]], [[1.7e308, 0.0], [1.7e308, 0.0], [-1.7e308, 0.0]],
], ids=["nan", "wider-nan", "wider-overflow"])  # differences from the mean overflow in the last
def test_failed_fit_keeps_the_last_fit(X):
    model = MireloClassifier(n_neighbors=1).fit([[0.0], [1.0]], ["a", "b"])
    with pytest.raises(ValueError):
        model.fit(X, ["x", "y", "z"][:len(X)])
    assert model.n_features_in_ == 1 and model.predict([[0.1], [0.9]]).tolist() == ["a", "b"]


def test_packages_carry_the_build_version():
    import mirelo_dask

    assert mirelo_dask.__version__ == mirelo_sklearn.__version__ == importlib.metadata.version("mirelo")


TALL, WIDE = (6000, 120), (60, 3000)


@pytest.mark.parametrize("dtype, layout, shape", [
    *[(np.float32, layout, shape) for layout in ["C", "F", "memmap"] for shape in [TALL, WIDE]],
    *[(dtype, "C", TALL) for dtype in [np.float16, np.int8, np.int32, np.int64, np.uint8, np.uint16, np.uint64, bool]],
    (np.int16, "F", WIDE), (np.uint32, "memmap", TALL),
])
def test_numeric_rows_are_read_where_they_lie(tmp_path, dtype, layout, shape):
    rng = np.random.default_rng(3)
    values = rng.normal(size=shape) * [3.0] + rng.normal(size=shape[1])
    if np.dtype(dtype).kind in "iu":
        values = np.abs(values) * 20 if np.dtype(dtype).kind == "u" else values * 20
    X = (values > 0) if dtype is bool else values.astype(dtype)
    y = rng.integers(3, size=shape[0])
    if layout == "F":
        X = np.asfortranarray(X)
    elif layout == "memmap":
        np.save(tmp_path / "X.npy", X)
        X = np.load(tmp_path / "X.npy", mmap_mode="r")
    tracemalloc.start()
    single = MireloClassifier(n_components=5, scale=True).fit(X, y)
    peaks = [tracemalloc.get_traced_memory()[1]]
    if dtype == np.float32:  # the queries the estimator takes as they are
        tracemalloc.reset_peak()
        answers = single.predict(X)
        peaks.append(tracemalloc.get_traced_memory()[1])
    tracemalloc.stop()
    # A float64 copy would take eight bytes a value.
    assert max(peaks) < 2 * X.size
    # Widening these values is exact: the same values as doubles give the same bits.
    double = MireloClassifier(n_components=5, scale=True).fit(np.asarray(X, dtype=np.float64), y)
    queries = rng.normal(size=(50, shape[1]))
    assert np.array_equal(single.transform(queries), double.transform(queries))
    assert np.array_equal(single.explained_variance_ratio_, double.explained_variance_ratio_)
    assert np.array_equal(single.predict_proba(queries), double.predict_proba(queries))
    if dtype == np.float32:
        assert np.array_equal(answers, double.predict(np.asarray(X, dtype=np.float64)))
