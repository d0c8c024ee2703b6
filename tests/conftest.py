"""Test-suite settings shared by every file.

Property tests check results, never timing: speed lives in benchmarks/. So
the Hypothesis deadline and its slow-generation health checks are off; a
loaded CI machine or a sanitizer build must not turn into a failure.
"""

import asyncio
import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "quorvane",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("quorvane")


@pytest.fixture(scope="session")
def scaled():
    """Scale a stress test's iteration count by QUORVANE_STRESS_SCALE (default 1).

    The sanitizer build runs the whole suite ten times slower; it sets a
    smaller scale rather than skipping the load and memory tests.
    """
    scale = float(os.environ.get("QUORVANE_STRESS_SCALE", "1"))

    def scaled(n: int, floor: int = 1) -> int:
        return max(floor, int(n * scale))

    return scaled


@pytest.fixture(scope="session")
def sanitized():
    """True under the sanitizer build (QUORVANE_SANITIZED=1): its allocator
    keeps freed memory in quarantine, so process RSS says nothing there."""
    return os.environ.get("QUORVANE_SANITIZED") == "1"


ASYNC_TIME_LIMIT = 10.0


async def _bounded(awaitable, seconds=ASYNC_TIME_LIMIT):
    try:
        return await asyncio.wait_for(awaitable, seconds)
    except asyncio.TimeoutError:
        pytest.fail(f"still waiting after {seconds:g} s: the test hangs", pytrace=False)


@pytest.fixture(scope="session")
def bounded():
    """bounded(awaitable) awaits it with a time limit of a few seconds, so a
    hang (a unit never given back, a task never woken) fails the one test
    with a clear message instead of stopping the suite. Every event-loop
    runner of the tests goes through it."""
    return _bounded
