# Parameters take what the bindings convert: anything NumPy turns into float64 values,
# and labels as any sequence of str or bytes. Names that the bindings leave unnamed
# (arg0) are positional-only. pybind11 gives both classes a metaclass of its own, derived
# from type; naming type keeps stubtest from reporting the difference.
from collections.abc import Sequence

from numpy.typing import ArrayLike

class KNNConfig(metaclass=type):
    k: int
    variance: float
    def __init__(self) -> None: ...

class KNNEngine(metaclass=type):
    def __init__(self, config: KNNConfig, /) -> None: ...
    def train(self, X: ArrayLike, y: Sequence[str | bytes], scale: bool = False) -> None: ...
    def predict(self, x: ArrayLike, /) -> str: ...
    def predict_batch(self, X: ArrayLike, /) -> list[str]: ...
