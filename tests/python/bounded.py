"""Waits that end: a test that stalls fails with what it was waiting for, rather than holding
the whole run until CI stops it."""

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


def joined(threads, what):
    """Joins the threads, failing as until() does if any is still running after SECONDS."""
    until(lambda: not any(thread.is_alive() for thread in threads), what)
