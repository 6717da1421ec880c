"""MireloClassifier: scikit-learn's classifier interface over the private ``_native`` module."""

import copy
import os
import sys
from numbers import Integral
from typing import Any, Callable, Dict, NoReturn, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csr_array, csr_matrix
from sklearn import get_config
from sklearn.base import BaseEstimator, ClassifierMixin, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.neighbors._base import KNeighborsMixin
from sklearn.utils._param_validation import Interval
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _get_feature_names, check_array, check_is_fitted, check_X_y, validate_data

from . import _model_file, _native, _saved_state
from ._model_state import ModelState
from ._parameters import CONSTRAINTS, current, engine_variance, neighbour_count, thread_count
from ._weights import neighbour_weights, uniform, weighted_shares

__all__ = ["MireloClassifier"]

# How the engine's message for a value that is not finite begins; scikit-learn's own checks
# name NaN and infinity.
_NOT_FINITE = "expected finite values in the training matrix"
# Inputs keep their precision in what comes back; the engine works in double either way, and
# reads training rows of either where they lie.
_DTYPES = [np.float64, np.float32]
# Training arrays of these kinds (numbers of up to eight bytes in the machine's byte order) reach
# the engine as they are, widened a block at a time; others are converted by the validation.
_READ_IN_PLACE = "biuf"
# Labels of these kinds are numbers: an addition's labels and the fit's are numbers alike or
# neither, since NumPy would turn numbers beside strings into strings.
_NUMBERS = "biuf"


def _training_dtype(X: Any) -> Any:
    """The dtype check_X_y is to give X: None (keep it) for an array the engine reads in place."""
    dtype = getattr(X, "dtype", None)
    if isinstance(X, np.ndarray) and dtype.kind in _READ_IN_PLACE and dtype.itemsize <= 8 and dtype.isnative:
        return None
    return _DTYPES

Neighbours = Tuple[np.ndarray, NDArray[np.intp]]


class _Fit:
    """Everything one fit produced, stored and read as a single attribute: a prediction, a
    pickle or a deepcopy taken while another fit runs sees this fit whole or the next one
    whole, never one fit's model with another's classes.

    The estimator pickles it with its own attributes under one digest (``_saved_state``); the
    counts and the rows' class codes are read back from the model, so a loaded one cannot
    disagree with itself.
    """

    __slots__ = ("model", "classes", "feature_names", "dtype", "scaled", "codes", "n_samples", "n_features",
                 "n_components", "explained_variance_ratio")

    def __init__(self, model: _native.Model, classes: np.ndarray, feature_names: Optional[np.ndarray],
                 dtype: np.dtype, scaled: bool) -> None:
        self.model = model
        self.classes = classes
        self.feature_names = feature_names
        self.dtype = np.dtype(dtype)  # the training data's, for the distances among training rows
        self.scaled = scaled
        self.codes = model.codes.astype(np.min_scalar_type(len(classes) - 1))  # each row's place in classes
        self.n_samples = model.n_samples
        self.n_features = model.n_features
        self.n_components = model.n_components
        self.explained_variance_ratio = model.explained_variance_ratio

    def neighbours(self, X: Optional[np.ndarray], count: int, threads: int) -> Neighbours:
        """Distances (in X's precision) and rows of each query's nearest; X None: the training
        rows' own, without themselves."""
        if X is not None:
            squared, rows = self.model.kneighbors(X, count, threads)
            return self._distances(squared, X.dtype), rows.astype(np.intp, copy=False)
        squared, rows = self.model.training_kneighbors(count + 1, threads)
        # Each row's own place, or the first one where lower duplicates crowd it out.
        others = rows != np.arange(len(rows))[:, None]
        others[others.all(axis=1), 0] = False
        shape = (len(rows), count)
        return (self._distances(squared[others].reshape(shape), self.dtype),
                rows[others].reshape(shape).astype(np.intp, copy=False))

    def shares(self, X: Optional[np.ndarray], count: int, weights: Any, threads: int) -> NDArray[np.float64]:
        """Each class's share of the (weighted) votes of the count nearest rows; X None: the
        training rows', each without itself."""
        if X is not None and uniform(weights):
            return self.model.vote_counts(X, count, threads) / count
        distances, rows = self.neighbours(X, count, threads)
        return weighted_shares(self.codes[rows], neighbour_weights(weights, distances), len(self.classes))

    def labels(self, X: Optional[np.ndarray], count: int, weights: Any, threads: int) -> np.ndarray:
        if X is not None and uniform(weights):
            return self.classes[self.model.predict(X, count, threads)]
        return self.classes[self.shares(X, count, weights, threads).argmax(axis=1)]

    def _distances(self, squared: np.ndarray, dtype: np.dtype) -> np.ndarray:
        # Rooted before the power of two comes off: the squares themselves may not be finite.
        return np.ldexp(np.sqrt(squared), -self.model.scale_exponent).astype(dtype, copy=False)


# Seconds a verbose fit runs before its progress lines start: a short fit stays silent.
_QUIET_START = 2.0


def _print_line(line: str) -> None:
    print(line, file=sys.stdout, flush=True)


def _loaded_fit(format: Any, *fields: Any) -> NoReturn:
    """Where a pickle of the first layout, whose digests left the parameters out, loads its fit:
    refused by its format number."""
    _saved_state.refuse_format(format)


def _fitted_attribute(name: str, read: Callable[[_Fit], Any], doc: str) -> Any:
    def get(self: "MireloClassifier") -> Any:
        fit = vars(self).get("_fit")
        value = None if fit is None else read(fit)
        if value is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        return value

    return property(get, doc=doc)


class MireloClassifier(KNeighborsMixin, ClassifierMixin, ClassNamePrefixFeaturesOutMixin, TransformerMixin,
                       BaseEstimator):
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
        predicting. A value set after the fit serves every later call.
    n_components : int, float or None, default=0.95
        As for ``PCA``: a float strictly between 0 and 1 is the share of variance the kept
        components must reach (reaching it exactly is enough, where ``PCA`` keeps the first
        share above it); an int from 1 to min(n_samples, n_features) is the number of
        components; None keeps min(n_samples, n_features). ``"mle"`` and 0 are refused.
    scale : bool, default=False
        Divide each feature by its sample standard deviation before the PCA.
    weights : {"uniform", "distance"}, callable or None, default="uniform"
        How the neighbours' votes count, as in ``KNeighborsClassifier``: "uniform" (or None)
        the same; "distance" by the inverse of their distance, where a neighbour at distance 0
        leaves only the neighbours at distance 0, counting the same; a callable takes the
        distances (n_queries, n_neighbors) and returns as many weights, finite, at least 0
        and not all 0 for any query.
    n_jobs : int, default=None
        OpenMP threads of each call. None: the calling thread's setting (threadpoolctl's
        limit, else ``OMP_NUM_THREADS``, else every core); -1: every core; -2: all but one.
    verbose : bool, default=False
        Write the engine's two progress lines to ``sys.stdout`` after each fit; a fit that
        runs longer than about two seconds also reports each stage as it starts and the
        share of it done, at most once a second.

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
    components_ : ndarray of shape (n_components_, n_features_in_)
        The kept principal axes, as ``PCA.components_`` (an axis's sign may differ).
    mean_ : ndarray of shape (n_features_in_,)
        The training data's column means, subtracted first.
    scale_ : ndarray of shape (n_features_in_,) or None
        With ``scale=True``, what each centred column is divided by: its sample standard
        deviation (divisor n - 1), or 1 where that is nearly 0. None otherwise.
    explained_variance_ : ndarray of shape (n_components_,)
        Each kept component's variance over the training rows (divisor n - 1).
    explained_variance_ratio_ : ndarray of shape (n_components_,)
        Each kept component's share of the total variance (zeros when the training data
        do not vary).
    singular_values_ : ndarray of shape (n_components_,)
        The norms of the training rows' reduced coordinates, one per component.
    n_samples_fit_ : int
        The number of training rows.

    Notes
    -----
    ``fit``, ``predict``, ``predict_proba``, ``kneighbors`` and ``transform`` release the GIL
    while the engine works, and use the calling thread's OpenMP thread count, which
    ``threadpoolctl.threadpool_limits`` sets; Ctrl-C on the main thread stops them with
    ``KeyboardInterrupt``, leaving the model as it was. A fitted estimator pickles its trained
    state, not its training data, under a format number and a digest checked on load.

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

    def __init__(self, n_neighbors: int = 3, n_components: Union[int, float, None] = 0.95, weights: Any = "uniform",
                 scale: bool = False, n_jobs: Optional[int] = None, verbose: bool = False) -> None:
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.weights = weights
        self.scale = scale
        self.n_jobs = n_jobs
        self.verbose = verbose

    def fit(self, X: ArrayLike, y: ArrayLike) -> "MireloClassifier":
        """Fit the reduction and store the reduced training rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data, finite. Arrays of floats, integers or bools (memory maps too)
            are read where they lie, with the answers float64 of the same values would give.
        y : array-like of shape (n_samples,)
            Class labels of any kind scikit-learn classifiers take.

        Returns
        -------
        self : MireloClassifier
            The fitted estimator. A fit that fails leaves a previous fit in place.
        """
        self._validate_params()
        # Validated without recording anything on self: until the new fit is stored whole,
        # readers keep seeing the previous one.
        feature_names = _get_feature_names(X)
        # The engine checks that every value is finite as it reads them: no pass of its own here.
        X, y = check_X_y(X, y, dtype=_training_dtype(X), ensure_all_finite=False, estimator=self)
        # As a column, as KNeighborsClassifier checks its labels: the check refuses bytes labels
        # in one dimension only.
        check_classification_targets(y.reshape(-1, 1))
        classes, codes = np.unique(y, return_inverse=True)
        model = _native.Model(int(self.n_neighbors), engine_variance(self.n_components, *X.shape))
        try:
            lines = model.fit(X, codes, len(classes), bool(self.scale), bool(self.verbose),
                              thread_count(self.n_jobs), progress=_print_line if self.verbose else None,
                              quiet_start=_QUIET_START)
        except ValueError as error:
            if str(error).startswith(_NOT_FINITE):
                raise ValueError(f"Input X contains NaN or infinity: {error}") from None
            raise
        dtype = X.dtype if X.dtype in _DTYPES else np.dtype(np.float64)
        self._fit = _Fit(model, classes, feature_names, dtype, bool(self.scale))
        if lines:
            sys.stdout.write(lines)
        return self

    def partial_fit(self, X: ArrayLike, y: ArrayLike, classes: Optional[ArrayLike] = None) -> "MireloClassifier":
        """Add labelled rows to the fitted model without refitting; on an unfitted one, ``fit``.

        The rows are reduced with the fitted reduction, which does not change, and stored after
        every row stored before: answers are exactly those of a model whose store held all of
        them. Labels may name classes not seen before; ``classes_`` grows in sorted order.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Rows, finite, as many features as the fit saw.
        y : array-like of shape (n_samples,)
            Their class labels, of the kind the fit's labels were.
        classes : array-like of shape (n_classes,), default=None
            As scikit-learn's incremental classifiers take it: when given, every label of y must
            be among them. ``classes_`` holds the labels stored rows carry.

        Returns
        -------
        self : MireloClassifier
            The grown estimator. An addition that fails leaves the model as it was.
        """
        if classes is not None and not np.isin(np.asarray(y), np.asarray(classes)).all():
            raise ValueError(f"Expected labels among classes {np.asarray(classes)!r}, got {np.setdiff1d(y, classes)!r}")
        if "_fit" not in vars(self):
            return self.fit(X, y)
        fit = vars(self)["_fit"]
        # Checked against the fit grown, and stored only when the grown one is whole.
        X, y = validate_data(self, X, y, dtype=_training_dtype(X), ensure_all_finite=False, reset=False)
        check_classification_targets(y.reshape(-1, 1))
        if (y.dtype.kind in _NUMBERS) != (fit.classes.dtype.kind in _NUMBERS):
            raise ValueError(f"Expected labels of the kind the fit saw ({fit.classes.dtype}), got {y.dtype}")
        classes = np.union1d(fit.classes, y)
        try:
            model = fit.model.grown(X, np.searchsorted(classes, y), np.searchsorted(classes, fit.classes),
                                    len(classes), self._threads())
        except ValueError as error:
            if str(error).startswith(_NOT_FINITE):
                raise ValueError(f"Input X contains NaN or infinity: {error}") from None
            raise
        self._fit = _Fit(model, classes, fit.feature_names, fit.dtype, fit.scaled)
        return self

    def predict(self, X: Optional[ArrayLike]) -> np.ndarray:
        """Predict the majority class of each row's ``n_neighbors`` nearest training rows.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features) or None
            Queries, finite. None: the training rows, each without itself among its
            neighbours, as ``kneighbors()`` finds them.

        Returns
        -------
        labels : ndarray of shape (n_queries,)
            Labels from ``classes_``, the first maximum of ``predict_proba``: a tie goes to
            the first class in ``classes_``.
        """
        return self._labels(X, self._threads())

    def predict_proba(self, X: Optional[ArrayLike]) -> NDArray[np.float64]:
        """Each class's share of the (weighted) votes of the ``n_neighbors`` nearest training rows.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features) or None
            Queries, finite. None: the training rows, as for ``predict``.

        Returns
        -------
        proba : ndarray of shape (n_queries, n_classes)
            Each class's votes (or weights) over all of them, columns in the order of
            ``classes_``; a class none of the neighbours holds gets 0.
        """
        return self._shares(X, self._threads())

    def kneighbors(
        self, X: Optional[ArrayLike] = None, n_neighbors: Optional[int] = None, return_distance: bool = True
    ) -> Union[Neighbours, NDArray[np.intp]]:
        """The nearest training rows of each query, in the reduced space.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features), default=None
            Queries, finite. None: each training row's neighbours, itself left out (where
            more duplicates of a row than ``n_neighbors`` come before it, the first of them
            is left out instead).
        n_neighbors : int, default=None
            How many neighbours; the estimator's own when None. At most the number of training
            rows, and fewer when X is None.
        return_distance : bool, default=True
            Return the distances as well as the indices.

        Returns
        -------
        distances : ndarray of shape (n_queries, n_neighbors)
            Euclidean distances in the reduced space, as ``KNeighborsClassifier`` reports
            them: the square roots of the exact squared distances that rank the
            neighbours; float32 for float32 queries (or training data, when X is None).
            Only when ``return_distance`` is True.
        indices : ndarray of shape (n_queries, n_neighbors)
            Training row indices, nearest first; at equal distances the lower index first.
        """
        fit, X, count = self._queries(X, n_neighbors)
        distances, indices = fit.neighbours(X, count, self._threads())
        return (distances, indices) if return_distance else indices

    def kneighbors_graph(self, X: Optional[ArrayLike] = None, n_neighbors: Optional[int] = None,
                         mode: str = "connectivity") -> Union[csr_matrix, csr_array]:
        """The neighbours of ``kneighbors`` as a sparse matrix, a row per query.

        Parameters
        ----------
        X, n_neighbors
            As for ``kneighbors``.
        mode : {"connectivity", "distance"}, default="connectivity"
            Each neighbour's entry: 1, or its distance.

        Returns
        -------
        graph : sparse matrix of shape (n_queries, n_samples_fit_)
            In CSR format, of scikit-learn's configured sparse interface: row i holds query
            i's neighbours in the columns of their training rows.
        """
        if mode not in ("connectivity", "distance"):
            raise ValueError(f'Expected mode "connectivity" or "distance", got {mode!r}')
        # The columns and the shape come from the one fit that found the neighbours.
        fit, X, count = self._queries(X, n_neighbors)
        distances, indices = fit.neighbours(X, count, self._threads())
        values = distances.ravel() if mode == "distance" else np.ones(indices.size)
        graph = csr_matrix((values, indices.ravel(), np.arange(0, indices.size + 1, count)),
                           shape=(len(indices), fit.n_samples))
        return csr_array(graph) if get_config().get("sparse_interface") == "sparray" else graph

    def transform(self, X: ArrayLike) -> NDArray[np.float64]:
        """Reduce rows onto the kept principal components.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Rows, finite.

        Returns
        -------
        reduced : ndarray of shape (n_samples, n_components_)
            Coordinates in the space where neighbours are searched, in X's precision.
        """
        fit, X = self._checked(X)
        return fit.model.transform(X, self._threads()).astype(X.dtype, copy=False)

    def inverse_transform(self, X: ArrayLike) -> NDArray[np.float64]:
        """The rows in feature space whose reduced coordinates are X: ``transform`` undone, up
        to the variance the dropped components held.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_components_)
            Reduced coordinates.

        Returns
        -------
        restored : ndarray of shape (n_samples, n_features_in_)
            In X's precision.
        """
        model = self._fitted_model()
        X = check_array(X, dtype=_DTYPES)
        if X.shape[1] != model.n_components:
            raise ValueError(f"Expected {model.n_components} columns, one per kept component, got {X.shape[1]}")
        restored = X @ model.components.T * model.std_dev + model.mean
        return restored.astype(X.dtype, copy=False)

    @property
    def components_(self) -> NDArray[np.float64]:
        return self._fitted_model().components.T

    @property
    def mean_(self) -> NDArray[np.float64]:
        return self._fitted_model().mean

    @property
    def scale_(self) -> Optional[NDArray[np.float64]]:
        check_is_fitted(self)
        fit = vars(self)["_fit"]
        return fit.model.std_dev if fit.scaled else None

    @property
    def explained_variance_(self) -> NDArray[np.float64]:
        return self._fitted_model().explained_variance

    @property
    def singular_values_(self) -> NDArray[np.float64]:
        check_is_fitted(self)
        fit = vars(self)["_fit"]
        return np.sqrt(fit.model.explained_variance * max(fit.n_samples - 1, 1))

    def _fitted_model(self) -> _native.Model:
        check_is_fitted(self)
        return vars(self)["_fit"].model

    classes_ = _fitted_attribute("classes_", lambda fit: fit.classes, "The distinct training labels, sorted.")
    n_features_in_ = _fitted_attribute("n_features_in_", lambda fit: fit.n_features, "Features seen by fit.")
    feature_names_in_ = _fitted_attribute("feature_names_in_", lambda fit: fit.feature_names,
                                          "Column names seen by fit, when it had string names.")
    n_components_ = _fitted_attribute("n_components_", lambda fit: fit.n_components, "Components kept.")
    explained_variance_ratio_ = _fitted_attribute("explained_variance_ratio_", lambda fit: fit.explained_variance_ratio,
                                                  "Each kept component's share of the variance.")
    n_samples_fit_ = _fitted_attribute("n_samples_fit_", lambda fit: fit.n_samples, "Training rows.")

    def __sklearn_is_fitted__(self) -> bool:
        return "_fit" in vars(self)

    def __getstate__(self) -> tuple:
        # One copy of the attributes, taken at once: the fit in it is whole.
        attributes = vars(self).copy()
        fit = attributes.pop("_fit", None)
        if fit is None:
            return _saved_state.saved(attributes, None, None)
        return _saved_state.saved(attributes, fit.model, (fit.classes, fit.feature_names, fit.dtype.str, fit.scaled))

    def __setstate__(self, state: Any) -> None:
        self._restore(*_saved_state.restored(state))

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Write the fitted model to one file that :meth:`load` opens without running any code.

        The file holds the parameters, the classes, the column names, the reduction and the
        stored rows as named arrays, with a digest over all of it. It is written beside `path`
        and then renamed over it, so a reader finds the old file or the new one, never a mix.
        Parameters other than numbers, strings, bools and None (a function as ``weights``), and
        classes other than numbers, str or bytes, cannot be saved this way: pickle such a model.
        """
        check_is_fitted(self)
        fit = vars(self)["_fit"]
        _model_file.write(path, self.get_params(), ModelState.of(fit.model), fit.classes, fit.feature_names,
                          fit.dtype, fit.scaled, fit.model.store_sections())

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"], mmap_mode: Optional[str] = None,
             verify: bool = True) -> "MireloClassifier":
        """A fitted estimator from a file written by :meth:`save`.

        ``mmap_mode="r"`` maps the file read-only instead of reading it. Loading never unpickles:
        a damaged, truncated, foreign or future-format file raises ``ValueError``. ``verify=False``
        skips checking the digest over the whole file (it reads every byte), for files from a
        trusted source; every size, offset and index is still checked.
        """
        contents = _model_file.read(path, mmap_mode, verify)
        model = contents.model()
        values = _saved_state.checked(model, (contents.classes, contents.feature_names, contents.dtype,
                                              contents.scaled))
        loaded = cls.__new__(cls)
        loaded._restore(contents.parameters, model, values)
        loaded._validate_params()  # a file is read as it comes, so its values are checked at once
        return loaded

    def _restore(self, attributes: Dict[str, Any], model: Optional[_native.Model],
                 values: Optional[_saved_state.FitValues]) -> None:
        parameters = set(self._get_param_names())
        # Beside the parameters, only scikit-learn's own records (set_output, metadata routing).
        unknown = {name for name in attributes if name not in parameters
                   and not name.startswith(("_sklearn", "_metadata_request"))}
        missing = parameters - set(attributes)
        if unknown or missing:
            raise ValueError(f"Expected a saved MireloClassifier with the parameters {sorted(parameters)} and "
                             f"at most a fit, got unknown attributes {sorted(unknown)} and missing {sorted(missing)}")
        if model is not None:
            attributes["_fit"] = _Fit(model, *values)
        vars(self).update(attributes)

    # Copies take the attributes as they are rather than through the pickled form, so that a
    # parameter that does not pickle (a lambda as weights) copies as it always has.
    def __copy__(self) -> "MireloClassifier":
        copied = type(self).__new__(type(self))
        vars(copied).update(vars(self).copy())
        return copied

    def __deepcopy__(self, memo: Dict[int, Any]) -> "MireloClassifier":
        copied = type(self).__new__(type(self))
        memo[id(self)] = copied
        vars(copied).update(copy.deepcopy(vars(self).copy(), memo))
        return copied

    @property
    def _n_features_out(self) -> int:
        # Names the transform's columns: mireloclassifier0, mireloclassifier1, ...
        return self.n_components_

    def __sizeof__(self) -> int:
        # The trained state lives in the native model, whose own __sizeof__ counts it.
        seen = set()
        size = object.__sizeof__(self) + sys.getsizeof(self.__dict__)
        fit = vars(self).get("_fit")
        held = [getattr(fit, name) for name in _Fit.__slots__] if fit is not None else []
        for value in [*self.__dict__.values(), *held]:
            if id(value) not in seen:
                seen.add(id(value))
                size += sys.getsizeof(value)
        return size

    def _labels(self, X: Optional[ArrayLike], threads: int) -> np.ndarray:
        """predict's answer with this many threads (also each Dask block's)."""
        fit, X, count = self._queries(X)
        return fit.labels(X, count, current(self, "weights"), threads)

    def _shares(self, X: Optional[ArrayLike], threads: int) -> NDArray[np.float64]:
        """predict_proba's answer with this many threads (also each Dask block's)."""
        fit, X, count = self._queries(X)
        return fit.shares(X, count, current(self, "weights"), threads)

    def _threads(self) -> int:
        return thread_count(current(self, "n_jobs"))

    def _queries(self, X: Optional[ArrayLike], n_neighbors: Any = None) -> Tuple[_Fit, Optional[np.ndarray], int]:
        """The current fit, X checked against it and the neighbour count, all for the same fit:
        n_neighbors when given, else the estimator's own as it is now. None stays None (the
        training rows as queries)."""
        count = current(self, "n_neighbors") if n_neighbors is None else n_neighbors
        fit, queries = self._checked(X)
        n_queries = fit.n_samples if queries is None else len(queries)
        return fit, queries, neighbour_count(count, fit.n_samples, n_queries, training_rows=queries is None)

    def _checked(self, X: Optional[ArrayLike]) -> Tuple[_Fit, Optional[np.ndarray]]:
        """The current fit and X checked against it; None stays None."""
        check_is_fitted(self)
        while True:
            fit = vars(self)["_fit"]
            try:
                queries = None if X is None else validate_data(self, X, dtype=_DTYPES, reset=False)
            except Exception:
                if vars(self)["_fit"] is fit:
                    raise
                continue  # checked against a fit stored meanwhile: check again
            if vars(self)["_fit"] is fit:
                return fit, queries
