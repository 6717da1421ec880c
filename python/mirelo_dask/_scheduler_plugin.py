"""The scheduler's side of the bounded waits: mirelo's roots fail once no worker came in time.

Loaded on the scheduler when a client first builds a graph there; the time is read from the
scheduler's own Dask configuration.
"""

import pickle
import time
from typing import Any, Dict

from distributed.diagnostics.plugin import SchedulerPlugin
from tornado.ioloop import PeriodicCallback

from ._patience import POLL_SECONDS, PREFIX, Patience, timed_out

_WAITING_FOR_A_WORKER = ("queued", "no-worker")


def _named_by_mirelo(key: Any) -> bool:
    name = key[0] if isinstance(key, tuple) else key  # a DataFrame's graph keys its roots by name and index
    return isinstance(name, str) and name.startswith(PREFIX)


class FailWaitsWithoutWorkers(SchedulerPlugin):
    name = "mirelo-no-workers-timeout"
    idempotent = True

    def __init__(self) -> None:
        self._waiting: Dict[Any, Patience] = {}

    async def start(self, scheduler: Any) -> None:
        self._scheduler = scheduler
        self._callback = PeriodicCallback(self._check, POLL_SECONDS * 1000)
        self._callback.start()

    async def close(self) -> None:
        self._callback.stop()

    def _check(self) -> None:
        scheduler = self._scheduler
        if scheduler.running:  # roots wait for a free thread then, not for a worker
            self._waiting.clear()
            return
        roots = [ts for ts in (*scheduler.unrunnable, *scheduler.queued) if _named_by_mirelo(ts.key)]
        self._waiting = {ts.key: self._waiting.get(ts.key) or Patience() for ts in roots}
        stimulus = f"mirelo-no-workers-timeout-{time.time()}"
        recommendations: Dict[Any, str] = {}
        for ts in roots:
            if ts.state in _WAITING_FOR_A_WORKER and self._waiting[ts.key].exhausted(False):
                del self._waiting[ts.key]  # a compute that sends the key again waits anew
                error = timed_out()
                recommendations.update(scheduler.transition(
                    ts.key, "erred", stimulus, cause=ts.key, exception=pickle.dumps(error),
                    exception_text=str(error)))
        if recommendations:
            scheduler.transitions(recommendations, stimulus)
