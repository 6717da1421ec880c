"""MireloClassifier: scikit-learn's classifier interface over the private ``_native`` module."""

import sys
from numbers import Integral
from typing import NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.utils._param_validation import Interval
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

from . import _native
from ._parameters import CONSTRAINTS, engine_variance, thread_count

__all__ = ["MireloClassifier"]

# What validating a training input records on the estimator.
_INPUT_RECORDS = ("n_features_in_", "feature_names_in_")


class _Trained(NamedTuple):
    # Read as one attribute, so that a prediction racing a refit never pairs one training's
    # model with another's classes.
    model: _native.Model
    classes: np.ndarray
    n_samples: int

    def distances(self, squared: np.ndarray) -> NDArray[np.float64]:
        # Rooted before the power of two comes off: the squares themselves may not be finite.
        return np.ldexp(np.sqrt(squared), -self.model.scale_exponent)


class MireloClassifier(ClassifierMixin, ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):
    """Exact k-nearest-neighbour classifier on an adaptive PCA of the training data.

    Training centres the data (and optionally scales it), keeps the principal axes that
    explain the requested share of the variance, and stores the training rows reduced onto
    them. A query is reduced the same way and takes the majority label of its
    ``n_neighbors`` nearest stored rows in Euclidean distance; a tie goes to the first class
    in ``classes_``.

    Parameters
    ----------
    n_neighbors : int, default=3
        Neighbours that vote; at least 1 and at most the number of training rows when
        predicting.
    n_components : int, float or None, default=0.95
        As for ``PCA``: a float strictly between 0 and 1 is the share of variance the kept
        components must reach (reaching it exactly is enough, where ``PCA`` keeps the first
        share above it); an int from 1 to min(n_samples, n_features) is the number of
        components; None keeps min(n_samples, n_features). ``"mle"`` and 0 are refused.
    scale : bool, default=False
        Divide each feature by its sample standard deviation before the PCA.
    n_jobs : int, default=None
        OpenMP threads of each call. None: the calling thread's setting (threadpoolctl's
        limit, else ``OMP_NUM_THREADS``, else every core); -1: every core; -2: all but one.
    verbose : bool, default=False
        Write the engine's two progress lines to ``sys.stdout`` after each fit.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The distinct training labels, sorted.
    n_features_in_ : int
        The number of features seen by ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        The column names, when ``X`` was a DataFrame with string column names.
    n_components_ : int
        The number of principal components kept.
    explained_variance_ratio_ : ndarray of shape (n_components_,)
        Each kept component's share of the total variance (zeros when the training data
        do not vary).
    n_samples_fit_ : int
        The number of training rows.

    Notes
    -----
    ``fit``, ``predict``, ``predict_proba``, ``kneighbors`` and ``transform`` release the GIL
    while the engine works, and use the calling thread's OpenMP thread count, which
    ``threadpoolctl.threadpool_limits`` sets. A fitted estimator pickles its trained state,
    not its training data; a pickle loads only into the mirelo version that wrote it.

    Examples
    --------
    >>> from sklearn.datasets import load_wine
    >>> from mirelo_sklearn import MireloClassifier
    >>> X, y = load_wine(return_X_y=True)
    >>> model = MireloClassifier(n_neighbors=5, scale=True).fit(X, y)
    >>> model.predict_proba(X[:1]).round(2)
    array([[1., 0., 0.]])
    """

    _parameter_constraints: dict = {
        **CONSTRAINTS,
        "n_jobs": [Interval(Integral, None, -1, closed="right"), Interval(Integral, 1, None, closed="left"), None],
        "verbose": ["boolean"],
    }

    def __init__(self, n_neighbors: int = 3, n_components: Union[int, float, None] = 0.95, scale: bool = False,
                 n_jobs: Optional[int] = None, verbose: bool = False) -> None:
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.scale = scale
        self.n_jobs = n_jobs
        self.verbose = verbose

    def fit(self, X: ArrayLike, y: ArrayLike) -> "MireloClassifier":
        """Fit the reduction and store the reduced training rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data, finite.
        y : array-like of shape (n_samples,)
            Class labels of any kind scikit-learn classifiers take.

        Returns
        -------
        self : MireloClassifier
            The fitted estimator. A fit that fails leaves a previous fit in place.
        """
        self._validate_params()
        # Validation records the input's width and column names; a fit that fails puts back
        # those of the fit in place.
        previous = {name: vars(self)[name] for name in _INPUT_RECORDS if name in vars(self)}
        try:
            X, y = validate_data(self, X, y, dtype=np.float64)
            check_classification_targets(y)
            classes, codes = np.unique(y, return_inverse=True)
            model = _native.Model(int(self.n_neighbors), engine_variance(self.n_components, *X.shape))
            lines = model.fit(X, codes, len(classes), bool(self.scale), bool(self.verbose),
                              thread_count(self.n_jobs))
        except BaseException:
            for name in _INPUT_RECORDS:
                vars(self).pop(name, None)
            vars(self).update(previous)
            raise
        self._trained = _Trained(model, classes, X.shape[0])
        self.classes_ = classes
        self.n_components_ = model.n_components
        self.explained_variance_ratio_ = model.explained_variance_ratio
        self.n_samples_fit_ = X.shape[0]
        if lines:
            sys.stdout.write(lines)
        return self

    def predict(self, X: ArrayLike) -> np.ndarray:
        """Predict the majority class of each row's ``n_neighbors`` nearest training rows.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Queries, finite.

        Returns
        -------
        labels : ndarray of shape (n_queries,)
            Labels from ``classes_``; a tie goes to the first class in ``classes_``, so this
            is the first maximum of ``predict_proba``.
        """
        trained, X = self._queries(X, None)
        return trained.classes[trained.model.predict(X, thread_count(self.n_jobs))]

    def predict_proba(self, X: ArrayLike) -> NDArray[np.float64]:
        """Each class's share of the votes of the ``n_neighbors`` nearest training rows.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Queries, finite.

        Returns
        -------
        proba : ndarray of shape (n_queries, n_classes)
            Vote counts over ``n_neighbors``, columns in the order of ``classes_``; a class none of
            the neighbours holds gets 0.
        """
        trained, X = self._queries(X, None)
        return trained.model.vote_counts(X, thread_count(self.n_jobs)) / trained.model.k

    def kneighbors(
        self, X: ArrayLike, n_neighbors: Optional[int] = None, return_distance: bool = True
    ) -> Union[Tuple[NDArray[np.float64], NDArray[np.intp]], NDArray[np.intp]]:
        """The nearest training rows of each query, in the reduced space.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Queries, finite.
        n_neighbors : int, default=None
            How many neighbours; the estimator's own when None. At most the number of training rows.
        return_distance : bool, default=True
            Return the distances as well as the indices.

        Returns
        -------
        distances : ndarray of shape (n_queries, n_neighbors)
            Euclidean distances in the reduced space, as ``KNeighborsClassifier`` reports
            them: the square roots of the exact squared distances that rank the
            neighbours. Only when ``return_distance`` is True.
        indices : ndarray of shape (n_queries, n_neighbors)
            Training row indices, nearest first; at equal distances the lower index first.
        """
        trained, X = self._queries(X, n_neighbors)
        count = trained.model.k if n_neighbors is None else int(n_neighbors)
        squared, indices = trained.model.kneighbors(X, count, thread_count(self.n_jobs))
        return (trained.distances(squared), indices) if return_distance else indices

    def transform(self, X: ArrayLike) -> NDArray[np.float64]:
        """Reduce rows onto the kept principal components.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Rows, finite.

        Returns
        -------
        reduced : ndarray of shape (n_samples, n_components_)
            Coordinates in the space where neighbours are searched.
        """
        check_is_fitted(self)
        trained = self._trained
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return trained.model.transform(X, thread_count(self.n_jobs))

    @property
    def _n_features_out(self) -> int:
        # Names the transform's columns: mireloclassifier0, mireloclassifier1, ...
        return self.n_components_

    def __sizeof__(self) -> int:
        # The trained state lives in the native model, whose own __sizeof__ counts it.
        seen = set()
        size = object.__sizeof__(self) + sys.getsizeof(self.__dict__)
        for value in [*self.__dict__.values(), *getattr(self, "_trained", ())]:
            if id(value) not in seen:
                seen.add(id(value))
                size += sys.getsizeof(value)
        return size

    def _queries(self, X: ArrayLike, n_neighbors: Optional[int]) -> Tuple[_Trained, np.ndarray]:
        check_is_fitted(self)
        trained = self._trained
        X = validate_data(self, X, dtype=np.float64, reset=False)
        count = trained.model.k if n_neighbors is None else n_neighbors
        if not isinstance(count, Integral) or isinstance(count, bool) or count < 1:
            raise ValueError(f"Expected n_neighbors > 0, got {count!r}")
        if count > trained.n_samples:
            raise ValueError(f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {count}, "
                             f"n_samples_fit = {trained.n_samples}, n_samples = {X.shape[0]}")
        return trained, X
