"""predict, predict_proba and kneighbors of a fitted MireloClassifier over Dask collections."""

import os
import sys
from typing import Any, Optional, Tuple, Union

import dask.array as da
import numpy as np
from sklearn.utils.validation import check_is_fitted

from mirelo_sklearn import MireloClassifier
from mirelo_sklearn.engine import current, neighbour_count

from . import _blocks
from ._graph import BLOCK_BYTES, ModelFile, check_width, model_key, opened, threads_per_host, whole_rows


Model = Union[MireloClassifier, str, "os.PathLike[str]"]


def _fitted(model: Model, *parameters: str) -> Tuple[MireloClassifier, Optional[ModelFile]]:
    """The model, fitted (opened, given the path of a saved one, with what the graph carries for
    the file), with the parameters its blocks will use refused here as the model refuses them."""
    file = None
    if isinstance(model, (str, os.PathLike)):
        model, file = opened(model)
    if not isinstance(model, MireloClassifier):
        raise TypeError(f"Expected a fitted MireloClassifier or the path of a saved one, got {type(model).__name__}")
    check_is_fitted(model)
    for name in parameters:
        current(model, name)
    return model, file


def _as_frame(X: Any) -> Any:
    """X as a Dask DataFrame when it is a DataFrame (a pandas one is split into blocks), else None.

    A DataFrame can only come from a module already imported, so arrays never pay for importing
    pandas or dask.dataframe.
    """
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(X, pd.DataFrame):
        import dask.dataframe as dd

        partitions = -(-int(X.memory_usage(index=False).sum()) // BLOCK_BYTES)
        return dd.from_pandas(X, npartitions=max(1, partitions), sort=False)
    dd = sys.modules.get("dask.dataframe")
    return X if dd is not None and isinstance(X, dd.DataFrame) else None


def _check_columns(model: MireloClassifier, X: Any) -> None:
    names = getattr(model, "feature_names_in_", None)
    if names is not None and list(X.columns) != list(names):
        raise ValueError(f"Expected the columns the model was fitted with, {list(names)}, got {list(X.columns)}")
    check_width(len(X.columns), model.n_features_in_)


def _on_frame(model: MireloClassifier, file: Optional[ModelFile], X: Any, what: str, meta: Any,
              n_neighbors: int = 0) -> Any:
    _check_columns(model, X)
    source, digest = model_key(model, file)
    return X.map_partitions(_blocks.frame_results, source, digest, threads_per_host(), what, n_neighbors,
                            meta=meta, align_dataframes=False)


def _on_array(model: MireloClassifier, file: Optional[ModelFile], X: Any, block_function: Any,
              trailing: Tuple[int, ...], dtype: Any, **options: Any) -> da.Array:
    """block_function over whole-row blocks of X; its results have X's rows and `trailing` axes."""
    X = whole_rows(da.asarray(X), model.n_features_in_)
    source, digest = model_key(model, file)
    axes: dict = {}  # results have 1 + len(trailing) axes against X's two
    if not trailing:
        axes = {"drop_axis": 1}
    elif len(trailing) == 2:
        axes = {"new_axis": 2}
    return da.map_blocks(block_function, X, source, digest, threads_per_host(), **options, dtype=dtype,
                         meta=np.empty((0,) * (1 + len(trailing)), dtype=dtype),
                         chunks=(X.chunks[0], *((size,) for size in trailing)), **axes)


def predict(model: Model, X: Any) -> Any:
    """The labels of ``model.predict`` for each row of a Dask array or DataFrame, computed lazily.

    An array gives a Dask array with X's row chunks; a DataFrame gives a Series with its index.
    The model may be the path of one saved by ``MireloClassifier.save``: each worker process then
    maps the file once and keeps it, rather than receiving a pickle.
    """
    model, file = _fitted(model, "n_neighbors", "weights")
    dtype = model.classes_.dtype
    frame = _as_frame(X)
    if frame is not None:
        import pandas as pd

        return _on_frame(model, file, frame, "predict", pd.Series([], dtype=dtype))
    return _on_array(model, file, X, _blocks.predict, (), dtype)


def predict_proba(model: Model, X: Any) -> Any:
    """``model.predict_proba`` for each row: a Dask array, or for a DataFrame one with a column per class.
    The model may be a saved model's path, as for predict."""
    model, file = _fitted(model, "n_neighbors", "weights")
    frame = _as_frame(X)
    if frame is not None:
        import pandas as pd

        meta = pd.DataFrame({c: pd.Series([], dtype=float) for c in model.classes_})
        return _on_frame(model, file, frame, "predict_proba", meta)
    return _on_array(model, file, X, _blocks.predict_proba, (len(model.classes_),), np.float64)


def kneighbors(model: Model, X: Any, n_neighbors: Optional[int] = None,
               return_distance: bool = True) -> Union[Tuple[Any, Any], Any]:
    """``model.kneighbors`` for each row: (distances, indices), or indices alone.

    Arrays give Dask arrays; a DataFrame gives DataFrames with its index and a column per
    neighbour, nearest first. The model may be a saved model's path, as for predict.
    """
    model, file = _fitted(model)
    count = neighbour_count(current(model, "n_neighbors") if n_neighbors is None else n_neighbors,
                            model.n_samples_fit_)
    frame = _as_frame(X)
    if frame is not None:
        import pandas as pd

        meta = pd.concat([pd.DataFrame(np.empty((0, count))).add_prefix("distance"),
                          pd.DataFrame(np.empty((0, count), dtype=np.intp)).add_prefix("index")], axis=1)
        both = _on_frame(model, file, frame, "kneighbors", meta, count)
        distances = both[list(meta.columns[:count])].rename(columns=dict(zip(meta.columns[:count], range(count))))
        indices = both[list(meta.columns[count:])].rename(columns=dict(zip(meta.columns[count:], range(count))))
    else:
        both = _on_array(model, file, X, _blocks.stacked_kneighbors, (count, 2), np.float64, n_neighbors=count)
        distances, indices = both[..., 0], both[..., 1].astype(np.intp)
    return (distances, indices) if return_distance else indices
