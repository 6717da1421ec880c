"""The parameters MireloClassifier shares with ShardedClassifier, and how they reach the engine."""

import functools
import os
from numbers import Integral
from typing import Any, Optional, Tuple, Union

from sklearn.utils._param_validation import (Interval, RealNotInt, StrOptions, make_constraint,
                                             validate_parameter_constraints)

_INT32_MAX = 2**31 - 1


class _Count(Interval):
    """An integer interval that refuses bools, which would otherwise pass as 0 and 1."""

    def is_satisfied_by(self, val: object) -> bool:
        return not isinstance(val, bool) and super().is_satisfied_by(val)


# PCA's own rule for n_components, less what a neighbour search cannot use: 0 components
# (every distance would be 0) and "mle", which needs every eigenvalue of the data.
CONSTRAINTS: dict = {
    "n_neighbors": [_Count(Integral, 1, _INT32_MAX, closed="both")],
    "n_components": [Interval(Integral, 1, None, closed="left"), Interval(RealNotInt, 0, 1, closed="neither"), None],
    "weights": [StrOptions({"uniform", "distance"}), callable, None],
    "scale": ["boolean"],
}


def current(estimator: Any, name: str) -> Any:
    """The parameter's value, read once and checked as fit checks it: a value set after the fit
    (by set_params, or in a damaged saved state) is refused where it is used, never taken for
    another."""
    value = getattr(estimator, name)
    if not any(constraint.is_satisfied_by(value) for constraint in _constraints(type(estimator), name)):
        validate_parameter_constraints({name: estimator._parameter_constraints[name]}, {name: value},
                                       caller_name=type(estimator).__name__)  # raises, naming what it takes
    return value


@functools.lru_cache(maxsize=None)
def _constraints(estimator_type: type, name: str) -> Tuple[Any, ...]:
    # Made once per parameter: building them is most of a check's cost, and every query pays it.
    return tuple(make_constraint(constraint) for constraint in estimator_type._parameter_constraints[name])


def neighbour_count(count: Any, n_samples_fit: int, n_queries: Optional[int] = None,
                    training_rows: bool = False) -> int:
    """The count as an int, if queries may ask for that many neighbours: from 1 to n_samples_fit,
    or below it when the queries are the training rows (each leaves itself out). n_queries is
    named in the message; None where the queries are not counted yet (a lazy collection)."""
    if isinstance(count, bool) or not isinstance(count, Integral):
        raise TypeError(f"n_neighbors does not take {type(count)} value, enter integer value")
    most = n_samples_fit - 1 if training_rows else n_samples_fit
    if n_queries is None:
        if not 1 <= count <= most:
            raise ValueError(f"Expected n_neighbors from 1 to n_samples_fit = {n_samples_fit}, got {count!r}")
    elif count < 1:
        raise ValueError(f"Expected n_neighbors > 0, got {count}")
    elif count > most:
        raise ValueError(f"Expected n_neighbors {'<' if training_rows else '<='} n_samples_fit, but n_neighbors = "
                         f"{count}, n_samples_fit = {n_samples_fit}, n_samples = {n_queries}")
    return int(count)


def engine_variance(n_components: Union[int, float, None], n_samples: int, n_features: int) -> float:
    """The engine's ``variance`` for a validated ``n_components``: a share below 1, else a count.

    Raises ValueError, as PCA does, for a count above min(n_samples, n_features).
    """
    most = min(n_samples, n_features)
    if n_components is None:
        return float(most)
    if isinstance(n_components, Integral):
        if n_components > most:
            raise ValueError(f"n_components={n_components} must be between 1 and "
                             f"min(n_samples, n_features)={most}")
        return float(n_components)
    return float(n_components)


def thread_count(n_jobs: Optional[int]) -> int:
    """OpenMP threads for one call: 0 keeps the calling thread's setting (threadpoolctl's limit
    or OMP_NUM_THREADS); -1 is every core this process may run on, -2 all but one, and so on."""
    if n_jobs is None:
        return 0
    if n_jobs > 0:
        return int(n_jobs)
    return max(1, len(os.sched_getaffinity(0)) + 1 + int(n_jobs))
