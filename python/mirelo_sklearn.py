"""A scikit-learn classifier on mirelo's engine.

A module of its own so that ``import mirelo`` never needs scikit-learn.
"""

import numbers

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

import mirelo

__all__ = ["MireloClassifier"]


class MireloClassifier(ClassifierMixin, BaseEstimator):
    """Exact k-nearest-neighbour classifier on an adaptive PCA of the training data.

    Parameters
    ----------
    k : int, default=3
        Neighbours that vote; at least 1.
    variance : float, default=0.95
        Below 1.0, the share of variance the kept components must reach; from 1.0 up,
        the number of components to keep.
    scale : bool, default=False
        Divide each feature by its sample standard deviation before the PCA.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct training labels, sorted. A tie in the vote goes to the first.
    n_features_in_ : int
        The number of features seen by ``fit``.
    """

    def __init__(self, k=3, variance=0.95, scale=False):
        self.k = k
        self.variance = variance
        self.scale = scale

    def fit(self, X, y):
        # The engine answers "Unknown" when k <= 0, which names no class.
        if not isinstance(self.k, numbers.Integral) or self.k < 1:
            raise ValueError(f"k must be a positive integer, got {self.k!r}")
        # A copy, so that the retraining on unpickling sees the data as it was at fit.
        X, y = validate_data(self, X, y, dtype=np.float64, copy=True)
        check_classification_targets(y)
        classes, codes = np.unique(y, return_inverse=True)
        training = (X, codes, len(classes), int(self.k), self.variance, bool(self.scale))
        # classes_ and the engine change together once training succeeds, so a failed fit
        # never maps one training's answers through another's classes.
        self._engine = _train_engine(*training)
        self.classes_, self._training = classes, training
        return self

    def predict(self, X):
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return self.classes_[np.asarray(self._engine.predict_batch(X), dtype=np.intp)]

    # The engine cannot be pickled; the training data travels instead and is trained on again.
    def __getstate__(self):
        state = dict(super().__getstate__())
        state.pop("_engine", None)
        return state

    def __setstate__(self, state):
        super().__setstate__(state)
        if "_training" in state:
            self._engine = _train_engine(*self._training)


def _train_engine(X, codes, n_classes, k, variance, scale):
    config = mirelo.KNNConfig()
    config.k, config.variance = k, variance
    engine = mirelo.KNNEngine(config)
    # The engine breaks ties by byte order; zero-padded class indices make that the
    # order of classes_, so a tie goes to the smallest class as in scikit-learn.
    width = len(str(n_classes - 1))
    engine.train(X, [f"{code:0{width}d}" for code in codes], scale=scale)
    return engine
