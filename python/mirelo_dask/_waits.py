"""How long mirelo_dask waits for a worker.

A wait fails with TimeoutError once the cluster has had no running worker for the time set
by ``mirelo.no-workers-timeout`` in Dask's configuration, counted from when the wait began
or a worker last ran, whichever is later. ``fit`` judges its own waits on the client. A
compute of the graphs that predict and the like build is the caller's wait, so the scheduler
judges it: a plugin there fails those graphs' root tasks, named with PREFIX, and every
answer that needs them fails with them.
"""

import weakref
from typing import Any, Callable, Optional, Sequence

import dask

from ._patience import POLL_SECONDS, PREFIX, Patience, timed_out


def current_client() -> Any:
    """The current distributed client, or None."""
    try:
        from distributed import get_client

        return get_client()
    except (ImportError, ValueError):
        return None


# Clients whose scheduler has the plugin; registering is idempotent, this only spares the round trip.
_watched: "weakref.WeakSet[Any]" = weakref.WeakSet()


def root(value: Any, name: str) -> Any:
    """value as a graph key of its own, which the scheduler fails in time if no worker comes to run it."""
    client = current_client()
    if client is not None and client not in _watched:
        from ._scheduler_plugin import FailWaitsWithoutWorkers

        client.register_plugin(FailWaitsWithoutWorkers())
        _watched.add(client)
    return dask.delayed(value, name=PREFIX + name, traverse=False)


def settled(client: Any, futures: Sequence[Any], progress: Optional[Callable[[float], None]] = None) -> None:
    """Returns once every future is done (finished or failed), reporting the share done; cancels
    them and raises TimeoutError once the cluster has had no worker for the configured time."""
    from distributed import wait

    patience = Patience()
    pending = list(futures)
    while pending:
        try:
            pending = list(wait(pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED").not_done)
        except TimeoutError:
            pass
        if progress is not None:
            progress(1 - len(pending) / len(futures))
        if pending and patience.exhausted(bool(client.nthreads())):
            client.cancel(list(futures))
            raise timed_out()


def computed(*collections: Any) -> tuple:
    """dask.compute, whose wait ends as settled's does on a distributed cluster."""
    client = current_client()
    if client is None:
        return dask.compute(*collections)
    futures = client.compute(list(collections))
    settled(client, futures)
    return tuple(client.gather(futures))
