"""A native model's saved fields by name: the one record of their layout that the pickle, the
model file and mirelo_dask's shards share."""

from typing import Any, Dict, NamedTuple, Tuple

import numpy as np

from . import _native


class ModelState(NamedTuple):
    """A fitted native model's fields, in the order its pickle holds them (a digest follows them there)."""

    format: int
    k: int
    variance: float
    n_classes: int
    mean: np.ndarray                      # float64 (n_features,)
    std_dev: np.ndarray                   # float64 (n_features,), all 1 without scaling
    n_components: int
    components: np.ndarray                # float64 (n_features, n_components)
    explained_variance_ratio: np.ndarray  # float64 (n_components,)
    reduced: np.ndarray                   # float64 (n_samples, n_components), times 2**scale_exponent
    codes: np.ndarray                     # int64 (n_samples,), each row's place among the classes
    scale_exponent: int

    @classmethod
    def of(cls, model: _native.Model) -> "ModelState":
        """The fields of a fitted model."""
        return cls(*model.__getstate__()[:-1])

    @classmethod
    def current(cls, **fields: Any) -> "ModelState":
        """A record in the format this mirelo reads, from every other field by name."""
        return cls(format=_native.Model.state_format, **fields)

    def model(self) -> _native.Model:
        """The native model these fields rebuild, each checked as an unpickled one is."""
        return _native.Model.from_state(tuple(self))


# The array fields' element types and dimensions, and the types of the others: what a reader
# of the fields from anywhere but a pickle checks before handing them on.
ARRAYS: Dict[str, Tuple[np.dtype, int]] = {
    "mean": (np.dtype("<f8"), 1), "std_dev": (np.dtype("<f8"), 1), "components": (np.dtype("<f8"), 2),
    "explained_variance_ratio": (np.dtype("<f8"), 1), "reduced": (np.dtype("<f8"), 2), "codes": (np.dtype("<i8"), 1),
}
NUMBERS: Dict[str, type] = {"format": int, "k": int, "variance": float, "n_classes": int, "n_components": int,
                            "scale_exponent": int}

if ModelState._fields != _native.Model.state_fields or set(ModelState._fields) != set(ARRAYS) | set(NUMBERS):
    raise ImportError(f"mirelo_sklearn's ModelState {ModelState._fields} does not match its native module's "
                      f"fields {_native.Model.state_fields}: the installation is mixed")
