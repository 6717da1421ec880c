"""MireloClassifier under scikit-learn's own estimator checks and model-selection tools."""

import pickle
import unittest

import numpy as np
import pytest
from sklearn.datasets import load_wine
from sklearn.decomposition import PCA
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from mirelo_sklearn import MireloClassifier


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
    model = MireloClassifier(k=2).fit(X, [left, right, *others])
    assert model.predict([[0.0]]).tolist() == [2]


def test_parallel_grid_search_matches_scikit_learn():
    X, y = load_wine(return_X_y=True)
    ours = GridSearchCV(make_pipeline(StandardScaler(), MireloClassifier()),
                        {"mireloclassifier__k": [1, 5], "mireloclassifier__variance": [0.8, 0.95]}, n_jobs=2)
    theirs = GridSearchCV(make_pipeline(StandardScaler(), PCA(), KNeighborsClassifier(algorithm="brute")),
                          {"kneighborsclassifier__n_neighbors": [1, 5], "pca__n_components": [0.8, 0.95]})
    assert ours.fit(X, y).cv_results_["mean_test_score"].tolist() == theirs.fit(X, y).cv_results_[
        "mean_test_score"].tolist()


def test_scale_matches_a_standard_scaler():
    # StandardScaler divides by the n-divisor deviation, scale=True by the n-1 one: a uniform factor.
    X, y = load_wine(return_X_y=True)
    reference = make_pipeline(StandardScaler(), PCA(0.95), KNeighborsClassifier(5, algorithm="brute"))
    assert (cross_val_score(MireloClassifier(k=5, scale=True), X, y).tolist()
            == cross_val_score(reference, X, y).tolist())


def test_unpickling_retrains_with_the_fitted_parameters():
    X, y = load_wine(return_X_y=True)
    model = MireloClassifier(k=1).fit(X, y)
    expected = model.predict(X)
    model.set_params(k=25)
    assert (pickle.loads(pickle.dumps(model)).predict(X) == expected).all()


@pytest.mark.parametrize("k", [0, -3, 2.5])
def test_rejects_k_that_names_no_neighbour(k):
    with pytest.raises(ValueError, match="k must be a positive integer"):
        MireloClassifier(k=k).fit([[0.0], [1.0]], ["a", "b"])


def test_failed_fit_keeps_the_last_classes_and_engine():
    model = MireloClassifier(k=1).fit([[0.0], [1.0]], ["a", "b"])
    with pytest.raises(ValueError):  # differences from the mean overflow inside the engine
        model.fit([[1.7e308], [1.7e308], [-1.7e308]], ["x", "y", "z"])
    assert model.predict([[0.1], [0.9]]).tolist() == ["a", "b"]
