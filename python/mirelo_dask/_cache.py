"""Each worker process's fitted models, unpickled once and kept while memory allows.

A task names its model by the digest of its pickle and brings the pickle, or on a
distributed cluster the key it is held under, or the path of its saved file. The worker
restores it the first time one of its tasks needs it (fetching the pickle or mapping the file)
and keeps the result under the digest, so later blocks and later computes reuse it.
"""

import pickle
import sys
import threading
from collections import OrderedDict
from typing import Any, Dict

import dask
from dask.utils import parse_bytes

# Used when the worker has no memory limit and the configuration names no bound.
_DEFAULT_BYTES = 4 * 2**30


def _limit_bytes() -> int:
    configured = dask.config.get("mirelo.cache-bytes", None)
    if configured is not None:
        return parse_bytes(configured) if isinstance(configured, str) else int(configured)
    try:
        from distributed import get_worker

        memory_limit = get_worker().memory_manager.memory_limit
    except (ImportError, ValueError):
        memory_limit = None
    return memory_limit // 4 if memory_limit else _DEFAULT_BYTES


class ModelCache:
    """Least recently used models, bounded by the bytes they hold.

    The model just used always stays, even alone above the bound, so a model larger than the
    bound costs one unpickling per task rather than failing. Threads asking for a model that
    another thread is unpickling wait for it instead of unpickling it again.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._models: "OrderedDict[str, Any]" = OrderedDict()
        self._sizes: Dict[str, int] = {}
        self._loading: Dict[str, threading.Event] = {}
        self.builds = 0

    def get(self, digest: str, source: Any) -> Any:
        """The model under this digest; `source` is its pickle, a ScatteredPickle or a ModelFile."""
        while True:
            with self._lock:
                if digest in self._models:
                    self._models.move_to_end(digest)
                    return self._models[digest]
                loading = self._loading.get(digest)
                if loading is None:
                    self._loading[digest] = threading.Event()
                    break
            loading.wait()
        try:
            model = pickle.loads(source) if isinstance(source, bytes) else source.restore()
            with self._lock:
                self.builds += 1
                self._models[digest] = model
                self._sizes[digest] = sys.getsizeof(model)
                self._evict(_limit_bytes())
            return model
        finally:
            with self._lock:
                self._loading.pop(digest).set()

    def _evict(self, limit: int) -> None:
        while len(self._models) > 1 and sum(self._sizes.values()) > limit:
            oldest, _ = self._models.popitem(last=False)
            del self._sizes[oldest]

    def clear(self) -> None:
        with self._lock:
            self._models.clear()
            self._sizes.clear()


models = ModelCache()
