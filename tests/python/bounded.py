"""Waits that end: a test that stalls fails with what it was waiting for, rather than holding
the whole run until CI stops it."""

import threading
import time

# Ample for processes to start and data to move on a loaded machine, far below CI's limit.
SECONDS = 300.0


def until(condition, what, seconds=SECONDS):
    """Returns once condition() is true; raises TimeoutError naming `what` if it is not within `seconds`."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up after {seconds:g} s waiting for {what}")
        time.sleep(0.02)


def joined(threads, what, seconds=SECONDS):
    """Joins the threads, failing as until() does if any is still running after `seconds`."""
    until(lambda: not any(thread.is_alive() for thread in threads), what, seconds)


def called(fn, what, seconds=SECONDS):
    """fn() on a thread of its own, given up on as until() does: a call that stalls fails the
    test instead of holding the run (its thread is left behind)."""
    outcome = {}

    def run():
        try:
            outcome["value"] = fn()
        except BaseException as error:  # handed to the caller below
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    joined([thread], what, seconds)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]
