"""The task queue against the same queue written in plain Python, and against
the floor every asyncio queue pays.

Each operation runs a whole batch of jobs on a fresh default event loop, so
ns/op is per batch; divide by the batch size for per job. Each job only
suspends once (so a dependent really waits for its predecessor), which leaves
the queue's own cost as large a share as it can be.

- plain: the obvious Python queue, an ``async def`` wrapper per job that awaits
  the predecessor and then runs the job inside ``async with semaphore``.
- floor: no wrapper at all: the submitter acquires the semaphore itself, then
  ``create_task`` plus a done callback that forgets the task and releases the
  unit. It tracks names but has no dependencies, so it prices the chain case
  as if it were free.

A queue creates every task at submit, so all of a batch's tasks are alive at
once, where the floor keeps only `limit` of them: with 100,000 pending tasks
CPython's cyclic collector takes about half of either queue's time, which is
why the cost per job grows with the batch.

``python3 benchmarks/bench_trellan.py`` also prints the memory held per
tracked task (tracemalloc, jobs excluded) for both queues.
"""

from __future__ import annotations

import asyncio
import gc
import tracemalloc

from sweep import COUNTS

from quorvane._internal.trellan import Trellan


class PlainQueue:
    def __init__(self, max_concurrency=2):
        self._semaphore = asyncio.Semaphore(max_concurrency)
        self._tasks = {}
        self._max_concurrency = max_concurrency

    def submit(self, name, coro, *, after=None):
        if name in self._tasks:
            coro.close()
            raise ValueError(f"Task {name!r} already submitted")
        if after is not None and after not in self._tasks:
            coro.close()
            raise ValueError(f"Predecessor task {after!r} not found")
        predecessor = self._tasks[after] if after is not None else None

        async def _wrapper():
            if predecessor is not None:
                try:
                    await predecessor
                except (asyncio.CancelledError, Exception) as err:
                    raise asyncio.CancelledError(f"Predecessor {after!r} failed") from err
            async with self._semaphore:
                return await coro

        task = asyncio.create_task(_wrapper(), name=name)
        self._tasks[name] = task

        def _on_done(t):
            self._tasks.pop(t.get_name(), None)
            coro.close()

        task.add_done_callback(_on_done)
        return task

    async def wait_all(self, timeout=None):
        if not self._tasks:
            return
        await asyncio.wait(list(self._tasks.values()), timeout=timeout)


async def job():
    await asyncio.sleep(0)  # suspends once, as any real job does


NAMES = [f"job-{i}" for i in range(100_000)]


def run(main):
    # timeit switches the cyclic collector off while it times, but the
    # collections that a queue's pending tasks cause are part of what it
    # costs a real program: each batch runs with the collector on.
    collecting = gc.isenabled()
    gc.enable()
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()
        if not collecting:
            gc.disable()


def queue_batch(make, n, limit, chain):
    async def main():
        q = make(limit)
        prev = None
        for name in NAMES[:n]:
            q.submit(name, job(), after=prev)
            if chain:
                prev = name
        await q.wait_all()

    return lambda: run(main)


def floor_batch(n, limit):
    async def main():
        sem = asyncio.Semaphore(limit)
        tasks = {}
        create_task = asyncio.create_task

        def done(t):
            tasks.pop(t.get_name(), None)
            sem.release()

        for name in NAMES[:n]:
            await sem.acquire()
            t = create_task(job(), name=name)
            tasks[name] = t
            t.add_done_callback(done)
        await asyncio.wait(list(tasks.values()))

    return lambda: run(main)


SHAPES = [
    ("10,000 independent jobs, limit 2", 10_000, 2, False),
    ("10,000 jobs in one chain, limit 2", 10_000, 2, True),
    ("100,000 independent jobs, limit 8", 100_000, 8, False),
]

CASES = []
for label, n, limit, chain in SHAPES:
    ours = queue_batch(Trellan, n, limit, chain)
    CASES.append((f"{label} (vs plain queue)", ours, queue_batch(PlainQueue, n, limit, chain)))
    CASES.append((f"{label} (vs floor)", ours, floor_batch(n, limit)))

# One point is a whole batch on a fresh loop, against the plain queue.
SWEEPS = [
    (
        "Trellan: independent jobs, limit 8",
        "jobs per batch (ns per batch)",
        COUNTS,
        lambda n: (queue_batch(Trellan, n, 8, False), queue_batch(PlainQueue, n, 8, False)),
    ),
    (
        "Trellan: jobs in one chain, limit 2",
        "jobs per batch (ns per batch)",
        COUNTS,
        lambda n: (queue_batch(Trellan, n, 2, True), queue_batch(PlainQueue, n, 2, True)),
    ),
]


def memory_per_task(make, n=10_000, chain=False):
    """Bytes held per tracked task, waiting for its unit (or, in a chain, for
    its predecessor), jobs excluded."""

    async def main():
        gate = asyncio.Event()
        jobs = [gate.wait() for _ in range(n)]  # allocated before measuring
        q = make(1)
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        prev = None
        for name, j in zip(NAMES, jobs, strict=False):
            q.submit(name, j, after=prev)
            if chain:
                prev = name
        await asyncio.sleep(0)
        held = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        gate.set()
        await q.wait_all()
        return held / n

    return run(main)


if __name__ == "__main__":
    for chain in (False, True):
        for name, make in [("Trellan", Trellan), ("plain queue", PlainQueue)]:
            what = "in a chain" if chain else "independent"
            per_task = memory_per_task(make, chain=chain)
            print(f"{name:<12} {what:<12} {per_task:8.0f} bytes per tracked task")
