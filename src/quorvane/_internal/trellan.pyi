"""The concurrency-limited task queue Trellan: named asyncio jobs, at most
max_concurrency at a time, each optionally after one predecessor whose
failure cancels it.

logger
    The logging.Logger named "quorvane._internal.trellan". The queue writes
    no records to it: a job's failure shows only in its task.
"""

import asyncio
import logging
from collections.abc import Coroutine
from typing import Any, Final, SupportsFloat, SupportsIndex, TypeVar, final

__all__ = ["Trellan", "logger"]

_T = TypeVar("_T")

logger: Final[logging.Logger]

@final
class Trellan:
    """A concurrency-limited queue of named asyncio jobs.

    At most `max_concurrency` jobs execute at once; a job may name one earlier
    job that must succeed before it starts. The limit is an int, or another real
    number truncated toward zero (else TypeError); below 1 it raises ValueError.
    """

    @property
    def _semaphore(self) -> asyncio.Semaphore: ...
    @property
    def _tasks(self) -> dict[str, asyncio.Task[Any]]: ...
    @property
    def _max_concurrency(self) -> int: ...
    def __new__(cls, max_concurrency: SupportsIndex | SupportsFloat = 2) -> Trellan: ...
    def submit(
        self, name: str, coro: Coroutine[Any, Any, _T], *, after: str | None = None
    ) -> asyncio.Task[_T]:
        """Run the coroutine `coro` as a task named `name` and return the task.

        The job starts once a unit of the limit is free and the task named `after`,
        if given, has succeeded. If that task fails or is cancelled, or this one is
        cancelled while waiting for it, this task ends with
        CancelledError("Predecessor 'after' failed") from that error; the job
        never runs and the predecessor is not cancelled.

        ValueError if `name` is still tracked or `after` is not; TypeError for an
        argument of the wrong kind. `coro` is closed unless it is not a coroutine
        or no event loop is running.
        """

    @property
    def active_count(self) -> int:
        """The number of tracked tasks: waiting, executing, or finished with their
        completion callback still to run.
        """

    def cancel_all(self) -> int:
        """Cancel every tracked task that is not done; return how many."""

    def wait_all(
        self, timeout: SupportsFloat | SupportsIndex | None = None
    ) -> Coroutine[Any, Any, None]:
        """Return an awaitable that waits for the tasks tracked when it is awaited.

        It ends when they have all finished or after `timeout` seconds (a real
        number, or None for no limit) and returns None: it reports no timeout or
        failure and cancels nothing.
        """
