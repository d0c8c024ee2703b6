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

    At most `max_concurrency` submitted jobs execute at once; a job may name
    one earlier job that must finish successfully before it starts. Every
    task is tracked by name until its completion callback has run
    (active_count counts them).

    `max_concurrency` is an int (a bool counts as one); another real number
    is truncated toward zero, and anything else raises TypeError. A limit
    below 1 would leave every job waiting forever, so it raises ValueError.
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

        The job starts once the task named `after` (if given) has finished
        successfully and a unit of the limit is free, held while the job runs.
        If that predecessor fails or is cancelled, or this task is cancelled
        while it waits for it, the task ends with CancelledError("Predecessor
        'after' failed") caused by that error; the job never runs and the
        predecessor is left running.

        ValueError if `name` is still tracked or `after` is not (`coro` is
        closed first). TypeError if `coro` is not a coroutine, or (closing
        `coro`) `name` is not a str or `after` not a str or None. Without a
        running event loop the loop's RuntimeError, `coro` left open.
        """

    @property
    def active_count(self) -> int:
        """The number of tracked tasks: waiting, executing, or finished with their
        completion callback still to run.
        """

    def cancel_all(self) -> int:
        """Cancel every tracked task that is not done; return how many were
        cancelled. Tasks leave the queue through their completion callbacks.
        """

    def wait_all(
        self, timeout: SupportsFloat | SupportsIndex | None = None
    ) -> Coroutine[Any, Any, None]:
        """Return an awaitable that waits for the tasks tracked when it is awaited.

        It ends when they have all finished or after `timeout` seconds (a real
        number, or None for no limit), whichever comes first, and returns None.
        Timeouts, failed and cancelled tasks are not reported; nothing is
        cancelled. TypeError if `timeout` is not a real number or None.
        """
