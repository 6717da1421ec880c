"""A scikit-learn classifier on mirelo's engine.

A package of its own so that ``import mirelo`` never needs scikit-learn.
"""

try:
    import sklearn  # noqa: F401
except ModuleNotFoundError as error:
    if error.name != "sklearn":
        raise
    raise ModuleNotFoundError('mirelo_sklearn needs scikit-learn: pip install "scikit-learn>=1.6" '
                              '(or, in mirelo\'s checkout, pip install ".[sklearn]")', name=error.name) from error

from ._classifier import MireloClassifier
from ._native import __version__

__all__ = ["MireloClassifier", "__version__"]
