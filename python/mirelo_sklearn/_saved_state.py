"""A MireloClassifier as it is pickled: one digest over everything it holds, and checks that
refuse what no fit produces.

The saved state is (format, native model state or None, rest, digest). The rest is the pickle of
the estimator's attributes (its parameters among them) and the fit's classes, column names,
dtype and scale flag. The native model's state ends with its own digest over its fields, so
the one digest here, over that digest and the rest, covers everything: a damaged byte anywhere
is refused, and no part of one model loads beside another's.
"""

import hashlib
import pickle
from collections import Counter
from typing import Any, Dict, NoReturn, Optional, Tuple

import numpy as np

from . import _native

# The layout of a pickled estimator, changed whenever the layout changes. Only this one
# loads: a model saved under another is fitted again.
FORMAT = 2
# The precisions of the training data a fit records.
_DTYPES = {np.dtype(np.float64).str, np.dtype(np.float32).str}

# A fit's classes, column names (or None), training dtype and scale flag.
FitValues = Tuple[np.ndarray, Optional[np.ndarray], str, bool]


def refuse_format(format: Any) -> NoReturn:
    raise ValueError(f"This model was saved in format {format!r}, and mirelo {_native.__version__} reads format "
                     f"{FORMAT}: load it with the mirelo that saved it, or fit it again")


def digest(model_state: Optional[tuple], rest: bytes) -> bytes:
    hasher = hashlib.blake2b(f"{FORMAT}|".encode(), digest_size=32)
    hasher.update(b"-" if model_state is None else model_state[-1])
    hasher.update(b"|")
    hasher.update(rest)
    return hasher.digest()


def saved(attributes: Dict[str, Any], model: Optional[_native.Model], values: Optional[FitValues]) -> tuple:
    """The pickled state of an estimator with these attributes (its fit apart) and fit."""
    model_state = None if model is None else model.__getstate__()
    rest = pickle.dumps((attributes, values), protocol=pickle.HIGHEST_PROTOCOL)
    return (FORMAT, model_state, rest, digest(model_state, rest))


def restored(state: Any) -> Tuple[Dict[str, Any], Optional[_native.Model], Optional[FitValues]]:
    """The attributes, model and fit values of a saved state, each checked before it is used."""
    if not (isinstance(state, tuple) and len(state) == 4 and type(state[0]) is int):
        # The first layout pickled the attributes as a dict.
        refuse_format(1 if isinstance(state, dict) else type(state).__name__)
    format, model_state, rest, signature = state
    if format != FORMAT:
        refuse_format(format)
    signed = isinstance(rest, bytes) and isinstance(signature, bytes) and (model_state is None or (
        isinstance(model_state, tuple) and len(model_state) > 0 and isinstance(model_state[-1], bytes)))
    if not signed or signature != digest(model_state, rest):
        raise ValueError("Expected a saved MireloClassifier that matches its digest, got one that differs: it was "
                         "damaged after it was saved")
    contents = pickle.loads(rest)
    attributes, values = contents if isinstance(contents, tuple) and len(contents) == 2 else (contents, None)
    if not isinstance(attributes, dict) or (model_state is None) != (values is None):
        raise ValueError("Expected a saved MireloClassifier of attributes and, with a model, its fit; got "
                         f"{type(contents).__name__}")
    if model_state is None:
        return attributes, None, None
    model = _native.Model.__new__(_native.Model)
    model.__setstate__(model_state)
    return attributes, model, checked(model, values)


def checked(model: _native.Model, values: Any) -> FitValues:
    """The fit's values, after checking them and the model against what a fit of all the
    training rows gives (a shard's model, say, may hold fewer classes or components)."""
    if not (isinstance(values, tuple) and len(values) == 4):
        raise ValueError(f"Expected a saved fit of classes, feature names, dtype and scale flag, got {values!r}")
    if not model.is_fitted:
        raise ValueError("Expected a saved state holding a fitted model, got one without a fit")
    classes, feature_names, dtype, scaled = values
    n_classes = model.n_classes
    if not isinstance(classes, np.ndarray) or classes.shape != (n_classes,):
        raise ValueError(f"Expected saved classes of shape ({n_classes},), got {_description(classes)}")
    _require_classes(classes)
    if model.classes_held != n_classes:
        raise ValueError(f"Expected a saved state whose training rows hold each of its {n_classes} classes, got "
                         f"rows of {model.classes_held}")
    if feature_names is not None:
        _require_feature_names(feature_names, model.n_features)
    if dtype not in _DTYPES or type(scaled) is not bool:
        raise ValueError(f"Expected a saved state with a float dtype and a scale flag, got {dtype!r}, {scaled!r}")
    if not scaled and (model.std_dev != 1.0).any():
        raise ValueError("Expected a saved state whose spread vector is all 1 with scale=False, got spreads of "
                         f"{model.std_dev[model.std_dev != 1.0][:5]}")
    if model.n_components > model.n_samples:
        raise ValueError(f"Expected a saved state with at most as many components as its {model.n_samples} training "
                         f"rows, got {model.n_components}")
    # Ratios all 0 come from data that do not vary, whose rows reduce to the origin.
    if not model.explained_variance_ratio.any() and model.explained_variance.any():
        raise ValueError("Expected a saved state whose explained variance ratios are not all 0 while its reduced "
                         "training rows vary, got ratios all 0")
    return classes, feature_names, np.dtype(dtype), scaled


def _require_classes(classes: np.ndarray) -> None:
    # As np.unique gives a fit's labels: each once, in order; float labels are whole numbers.
    try:
        ordered = bool(np.all(classes[:-1] < classes[1:]))
        whole = classes.dtype.kind != "f" or bool(np.all(np.mod(classes, 1) == 0))
    except TypeError:
        ordered = whole = False
    if not (ordered and whole):
        raise ValueError(f"Expected saved classes that are distinct, sorted and (as floats) whole numbers, got "
                         f"{classes!r}")


def _require_feature_names(names: Any, n_features: int) -> None:
    if not (isinstance(names, np.ndarray) and names.shape == (n_features,) and names.dtype == object
            and all(isinstance(name, str) for name in names)):
        raise ValueError(f"Expected {n_features} saved feature names, each a str, got {_description(names)}")
    if len(set(names)) != n_features:
        repeated = sorted(name for name, count in Counter(names).items() if count > 1)
        raise ValueError(f"Expected distinct saved feature names, got {repeated} more than once")


def _description(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return f"an array of dtype {value.dtype} and shape {value.shape}"
    return type(value).__name__
