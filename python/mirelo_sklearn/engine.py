"""What layers built on MireloClassifier (such as ``mirelo_dask``) use of it.

The estimator's parameters and how they reach the engine, the count of neighbours a query may
ask for, the vote of the neighbours, a fitted estimator's answers with a chosen number of
threads, and the native model a saved state (one named ModelState) rebuilds. Everything else in ``mirelo_sklearn``
is private and may change.
"""

from typing import Any, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _model_file, _native
from ._classifier import MireloClassifier, _print_line
from ._model_state import ModelState
from ._parameters import CONSTRAINTS, current, engine_variance, neighbour_count
from ._weights import neighbour_weights, weighted_shares

__all__ = ["CONSTRAINTS", "ModelState", "current", "engine_variance", "labels", "model_from_state", "neighbour_count",
           "neighbour_weights", "neighbours", "progress_lines", "saved_digest", "shares", "weighted_shares"]


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
