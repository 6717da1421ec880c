"""A fitted MireloClassifier over Dask arrays and DataFrames, and training sharded across workers.

Nothing here is imported by ``mirelo`` or ``mirelo_sklearn``.
"""

try:
    import dask  # noqa: F401
except ModuleNotFoundError as error:
    if error.name != "dask":
        raise
    raise ModuleNotFoundError('mirelo_dask needs Dask: pip install "dask[distributed,dataframe]>=2024.8" '
                              '(or, in mirelo\'s checkout, pip install ".[dask]")', name=error.name) from error

from mirelo_sklearn import __version__

from ._predict import kneighbors, predict, predict_proba
from ._sharded import ShardedClassifier

__all__ = ["ShardedClassifier", "__version__", "kneighbors", "predict", "predict_proba"]
