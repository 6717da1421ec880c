"""What layers built on MireloClassifier (such as ``mirelo_dask``) use of it.

The estimator's parameters and how they reach the engine, the count of neighbours a query may
ask for, the vote of the neighbours, a fitted estimator's answers with a chosen number of
threads, the native model a saved state (one named ModelState) rebuilds, and the steps of a fit
whose rows are read in runs elsewhere (row statistics, their combination in row order and the axes
they give). Everything else in ``mirelo_sklearn`` is private and may change.
"""

from typing import Any, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _model_file, _native
from ._classifier import MireloClassifier, _print_line
from ._model_state import ModelState
from ._parameters import CONSTRAINTS, current, engine_variance, neighbour_count
from ._weights import neighbour_weights, weighted_shares

__all__ = ["CONSTRAINTS", "ModelState", "Reduction", "combined_statistics", "current", "engine_variance", "labels",
           "model_from_state", "neighbour_count", "neighbour_weights", "neighbours", "progress_lines", "reduction",
           "row_statistics", "saved_digest", "shares", "weighted_shares"]


class Reduction(NamedTuple):
    """What a fit learns before it reduces the rows, as the saved state holds it."""

    mean: NDArray[np.float64]
    std_dev: NDArray[np.float64]        # all ones without scaling
    components: NDArray[np.float64]     # n_features x n_components, one axis a column
    explained_variance_ratio: NDArray[np.float64]
    scale_exponent: int                 # the power of two the reduced rows carry


def labels(model: MireloClassifier, X: Optional[ArrayLike], threads: int) -> np.ndarray:
    """``model.predict(X)`` with this many OpenMP threads."""
    return model._labels(X, threads)


def shares(model: MireloClassifier, X: Optional[ArrayLike], threads: int) -> NDArray[np.float64]:
    """``model.predict_proba(X)`` with this many OpenMP threads."""
    return model._shares(X, threads)


def neighbours(model: MireloClassifier, X: Optional[ArrayLike], n_neighbors: Any,
               threads: int) -> Tuple[np.ndarray, NDArray[np.intp]]:
    """``model.kneighbors(X, n_neighbors)`` with this many OpenMP threads."""
    fit, queries, count = model._queries(X, n_neighbors)
    return fit.neighbours(queries, count, threads)


def model_from_state(state: ModelState) -> Any:
    """A native model built from the fields of its saved state, checked as an unpickled one is."""
    return state.model()


def saved_digest(path: Any) -> bytes:
    """The digest a file written by ``MireloClassifier.save`` ends with: a name for its contents,
    read without reading the rest."""
    return _model_file.stored_digest(path)


def progress_lines() -> Any:
    """What a verbose fit reports its stages to: lines on ``sys.stdout``, after a quiet start and
    at most one a second; ``report(stage, done)`` gives the stage and the share of it done."""
    return _native.ProgressLines(_print_line)


def row_statistics(X: ArrayLike, first_row: int, n_rows: int, threads: int) -> Any:
    """The fit's statistics of X, whose rows are rows ``first_row`` onwards of a training matrix of
    ``n_rows`` rows; they pickle, without the rows."""
    return _native.row_statistics(X, first_row, n_rows, threads)


def combined_statistics(*parts: Any) -> Any:
    """The statistics of consecutive runs of rows, given in row order, as those of all of them."""
    return _native.combined_statistics(list(parts))


def reduction(statistics: Any, variance: float, scale: bool, threads: int = 0) -> Reduction:
    """The means, spreads and axes a fit on all the rows the statistics describe keeps, for the
    engine's ``variance`` (``engine_variance``). Runs that start where the fit's own blocks do
    give its bits exactly; others the same up to rounding."""
    return Reduction(*_native.reduction(statistics, variance, scale, threads))
