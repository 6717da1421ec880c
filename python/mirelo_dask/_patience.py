"""The rule both sides of a bounded wait share: how long a wait may go without a running worker.

The client judges ``fit``'s own waits by it; the scheduler plugin judges computes by it.
"""

import time

import dask
from dask.utils import parse_timedelta

CONFIG_KEY = "mirelo.no-workers-timeout"
DEFAULT = "60s"
# The graphs' roots that a scheduler without workers fails in time.
PREFIX = "mirelo-"
# How often a wait looks again at the cluster's workers.
POLL_SECONDS = 0.25


def no_workers_seconds() -> float:
    return parse_timedelta(dask.config.get(CONFIG_KEY, DEFAULT), default="seconds")


def timed_out() -> TimeoutError:
    return TimeoutError(f"mirelo_dask: gave up after {no_workers_seconds():g} s on a cluster with no running worker "
                        f"(set {CONFIG_KEY} in Dask's configuration to wait longer)")


class Patience:
    """How long one wait has gone without a running worker."""

    def __init__(self) -> None:
        self._since = time.monotonic()

    def exhausted(self, workers_running: bool) -> bool:
        now = time.monotonic()
        if workers_running:
            self._since = now
        return now - self._since > no_workers_seconds()
