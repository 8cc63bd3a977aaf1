"""Bounded waits shared by the Python tests: each ends as soon as what it waits
for comes and fails only after its bound, so a busy machine slows a test down
without failing it."""

from __future__ import annotations

import threading
import time
from typing import Callable

WAIT = 30.0  # seconds: the default bound of every wait


def wait_until(predicate: Callable[[], object], what: str, timeout: float = WAIT, step: float = 0.05) -> object:
    """Calls the predicate until it gives something true and returns that;
    AssertionError naming `what` after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(step)


def wait_on(changed: threading.Condition, predicate: Callable[[], object], failure: Callable[[], str],
            timeout: float = WAIT) -> object:
    """Waits, holding `changed`, until predicate() gives something true (woken when
    something arrives, and every 0.5 s at least); AssertionError with failure()
    after `timeout` s."""
    deadline = time.monotonic() + timeout
    with changed:
        while True:
            result = predicate()
            if result:
                return result
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(failure())
            changed.wait(min(remaining, 0.5))
