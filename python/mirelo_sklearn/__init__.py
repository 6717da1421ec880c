"""A scikit-learn classifier on mirelo's engine.

A package of its own so that ``import mirelo`` never needs scikit-learn.
"""

try:
    import sklearn  # noqa: F401
except ModuleNotFoundError as error:
    if error.name != "sklearn":
        raise
    raise ModuleNotFoundError('mirelo_sklearn needs scikit-learn: pip install "mirelo[sklearn]"',
                              name=error.name) from error

from ._classifier import MireloClassifier

__all__ = ["MireloClassifier"]
