"""The task queue under load.

One long, seeded run of random jobs per event-loop flavour (the default loop
and uvloop): native and generator-based jobs that succeed, fail or swallow a
cancellation, stepping by bare yields or by futures; random predecessors
(executing, waiting, finished but still tracked, gone, never submitted);
duplicate names, some given as str subclasses; cancellations at every stage
of a task's life, cancel_all and wait_all() watchers (some cancelled) at
random moments, under a random limit. Every task's outcome is checked
against a model of the queue's rules as the run goes. Afterwards nothing may
be left: no tracked task, no open job, no unit of the limit held, nothing for
the cyclic collector, no memory.

A failure names its seed; QUORVANE_LOAD_SEED=<seed> replays it.
"""

import asyncio
import functools
import gc
import inspect
import os
import random
import sys
import tracemalloc
import types
import weakref

import pytest

from quorvane._internal.trellan import Trellan

pytestmark = pytest.mark.filterwarnings("error")

try:
    import uvloop
except ImportError:  # pragma: no cover - uvloop is in the test extras
    uvloop = None

FLAVOURS = [
    pytest.param("asyncio", id="asyncio"),
    pytest.param(
        "uvloop",
        id="uvloop",
        marks=pytest.mark.skipif(uvloop is None, reason="uvloop not installed"),
    ),
]


def new_loop(flavour):
    return uvloop.new_event_loop() if flavour == "uvloop" else asyncio.new_event_loop()


class JobError(Exception):
    pass


# What a job does when it is not cancelled.
OK, RAISE, STUBBORN = "ok", "raise", "stubborn"

# The stage a task was in when it was first cancelled, which decides how it ends.
FRESH = "fresh"  # its body has not run yet: plain CancelledError
RUNNING = "running"  # its job is executing: the job gets the CancelledError
AWAITING = "awaiting"  # waiting for its predecessor: "Predecessor ... failed"
UNIT = "unit"  # waiting for a unit of the limit: plain CancelledError
WAKING = "waking"  # its predecessor just succeeded; either of the two above

# A dependent takes in its predecessor's success within this many loop turns
# of the predecessor's completion callbacks (asyncio needs one or two); until
# then a cancellation may still find it waiting for the predecessor.
WAKE_TURNS = 4


class Stats:
    """Shared by the jobs. It holds no exception, task or coroutine, so a job's
    frame (kept alive by a traceback) never closes a reference cycle."""

    __slots__ = ("running", "peak", "limit", "started", "caught", "last_caught", "violations")

    def __init__(self, limit):
        self.running = 0
        self.peak = 0
        self.limit = limit
        self.started = set()
        self.caught = set()  # stubborn jobs that have swallowed a cancellation
        self.last_caught = None
        self.violations = []


def begin(stats, uid, pred):
    if pred is not None:
        if not pred.done() or pred.cancelled() or pred.exception() is not None:
            stats.violations.append(f"job {uid} started before its predecessor succeeded")
    stats.running += 1
    stats.peak = max(stats.peak, stats.running)
    if stats.running > stats.limit:
        stats.violations.append(f"job {uid} made {stats.running} executing jobs")
    stats.started.add(uid)


def swallowed(stats, uid):
    stats.caught.add(uid)
    stats.last_caught = uid


def resolve(fut):
    if not fut.done():
        fut.set_result(None)


def step_future():
    """A future the next loop turn resolves: a step the task waits on, where
    a bare yield only reschedules it."""
    fut = asyncio.get_running_loop().create_future()
    fut.get_loop().call_soon(resolve, fut)
    return fut


async def job(stats, uid, steps, action, pred, via_future):
    begin(stats, uid, pred)
    pred = None
    try:
        for _ in range(steps):
            await (step_future() if via_future else asyncio.sleep(0))
    except asyncio.CancelledError:
        if action != STUBBORN:
            raise
        # Swallow it and go on a little: a second cancellation now gets through.
        swallowed(stats, uid)
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return (STUBBORN, uid)
    finally:
        stats.running -= 1
    if action == RAISE:
        raise JobError(uid)
    return (OK, uid)


@types.coroutine
def gen_job(stats, uid, steps, action, pred, via_future):
    """The same job as a generator-based coroutine."""
    begin(stats, uid, pred)
    pred = None
    try:
        for _ in range(steps):
            if via_future:
                yield from step_future()
            else:
                yield
    except asyncio.CancelledError:
        if action != STUBBORN:
            raise
        swallowed(stats, uid)
        yield
        yield
        return (STUBBORN, uid)
    finally:
        stats.running -= 1
    if action == RAISE:
        raise JobError(uid)
    return (OK, uid)


def closed(coro):
    if inspect.iscoroutine(coro):
        return inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    return inspect.getgeneratorstate(coro) == inspect.GEN_CLOSED


def outcome(task):
    """("ok", result) | ("error", exc) | ("cancelled", message, cause).

    The first to ask a cancelled task gets its body's own error, later askers
    a plain CancelledError. This is usually the first (it runs from a callback
    registered right after the queue's); on_done covers the exception."""
    if task.cancelled():
        try:
            task.result()
        except asyncio.CancelledError as e:
            return ("cancelled", str(e), e.__cause__)
    exc = task.exception()
    if exc is not None:
        return ("error", exc)
    return ("ok", task.result())


class Alias(str):
    """A name given as a str subclass: the queue goes by its value."""

    def __repr__(self):
        return "<not the quoted form>"


class Rec:
    """One accepted submission, as the model sees it."""

    __slots__ = (
        "uid",
        "name",
        "after",
        "pred",
        "task",
        "job",
        "action",
        "step",
        "stage",
        "end_tick",
        "want",
        "owed",
        "again",
    )


class Load:
    NAME_STYLES = ["j{}"] * 12 + [
        "it's {}",
        'say "{}"',
        "both'\"{}",
        "tab\t{}",
        "é{}",
        "zw\u200b{}",
    ]

    def __init__(self, seed, n, flavour, debug=False):
        self.debug = debug
        self.seed = seed
        self.rng = random.Random(seed)
        self.n = n
        self.flavour = flavour
        self.problems = []
        self.counts = {}
        self.loop_errors = []

    def problem(self, text):
        if len(self.problems) < 25:
            self.problems.append(text)

    def count(self, key):
        self.counts[key] = self.counts.get(key, 0) + 1

    def tick(self):
        self.ticks += 1
        if self.ticking:
            self.loop.call_soon(self.tick)

    # -- the model's side of a task's end ---------------------------------

    def on_done(self, rec, task):
        # Registered right after the queue's own completion callback, so that
        # one has just run: the name is free and the job is closed.
        if rec.name in self.q._tasks:
            self.problem(f"{rec.name!r} still tracked after its callback")
        if self.tracked.pop(rec.name, None) is not rec:
            self.problem(f"{rec.name!r} ended but the model did not track it")
        if not closed(rec.job):
            self.problem(f"job {rec.uid} not closed after its task ended")
        rec.job = None
        rec.end_tick = self.ticks
        del self.live[rec.uid]

        got = outcome(task)
        pred = rec.pred
        stage = rec.stage
        must_run = False
        if stage in (FRESH, UNIT):
            want = ("plain",)
        elif stage == AWAITING:
            want = ("pred", asyncio.CancelledError)
        elif stage == WAKING:
            want = ("either",)
        elif pred is not None and not pred.task.done():
            self.problem(f"task {rec.uid} ended before its predecessor {pred.uid}")
            want = ("pred", asyncio.CancelledError)
        elif pred is not None and pred.task.cancelled():
            want = ("pred", asyncio.CancelledError)
        elif pred is not None and pred.task.exception() is not None:
            want = ("pred", pred.task.exception())
        else:
            must_run = True
            if stage == RUNNING and (rec.action != STUBBORN or rec.again):
                want = ("plain",)
            elif rec.action == RAISE:
                want = ("raise",)
            else:
                want = ("ok", (STUBBORN if stage == RUNNING else OK, rec.uid))
        rec.want = want
        self.count(want[0] if stage is None else f"{want[0]}/{stage}{'/again' * rec.again}")

        started = rec.uid in self.stats.started
        if started != must_run:
            self.problem(f"job {rec.uid} started={started}, want {must_run} ({want}, {stage})")
        if got[0] == "cancelled" and want[0] == "pred" and got[1:] == ("", None):
            # A dependent whose body first ran between this task's end and
            # this callback took the body's own error: it must show up as
            # that dependent's cause.
            rec.owed = True
            self.owed += 1
        elif not self.matches(rec, got, want):
            self.problem(f"task {rec.uid} {rec.name!r} after {rec.after!r}: {got}, want {want}")
        if got[0] == "cancelled":
            self.settle_causes(pred, got[2])

    def settle_causes(self, pred, cause):
        """A cause carrying a message is the body error of the predecessor it
        names, which may have been taken from that predecessor's own task."""
        while pred is not None and isinstance(cause, asyncio.CancelledError) and str(cause):
            if pred.want is None or not self.matches(
                pred, ("cancelled", str(cause), cause.__cause__), pred.want
            ):
                self.problem(
                    f"task {pred.uid} ended with {cause!r} from {cause.__cause__!r}, want {pred.want}"
                )
            if pred.owed:
                pred.owed = False
                self.owed -= 1
            pred, cause = pred.pred, cause.__cause__

    def matches(self, rec, got, want):
        kind = want[0]
        if kind == "ok":
            return got == want
        if kind == "raise":
            return got[0] == "error" and type(got[1]) is JobError and got[1].args == (rec.uid,)
        if got[0] != "cancelled":
            return False
        plain = got[1] == "" and got[2] is None
        pred = got[1] == f"Predecessor {rec.after!r} failed"
        if kind == "plain":
            return plain
        if kind == "either":
            return plain or (pred and isinstance(got[2], asyncio.CancelledError))
        cause = want[1]
        if isinstance(cause, type):
            return pred and isinstance(got[2], cause)
        return pred and got[2] is cause

    # -- cancellation ------------------------------------------------------

    def stage_of(self, rec):
        """The stage of a task that is not done, from what the model knows."""
        if rec.step == self.step:
            return FRESH
        if rec.uid in self.stats.started:
            return RUNNING
        pred = rec.pred
        if pred is None:
            return UNIT
        if not pred.task.done():
            return AWAITING
        if pred.task.cancelled() or pred.task.exception() is not None:
            return AWAITING  # it has not taken that failure in yet
        if pred.end_tick is None or self.ticks - pred.end_tick < WAKE_TURNS:
            return WAKING
        return UNIT

    def note_cancel(self, rec):
        # The first cancellation decides how the task ends; a stubborn job
        # that already swallowed one is the exception.
        if rec.stage is None:
            rec.stage = self.stage_of(rec)
        elif rec.uid in self.stats.caught:
            rec.again = True

    def cancel(self, rec):
        if rec.task.done():
            return
        self.note_cancel(rec)
        rec.task.cancel()

    def cancel_all(self):
        pending = [rec for rec in self.tracked.values() if not rec.task.done()]
        for rec in pending:
            self.note_cancel(rec)
        got = self.q.cancel_all()
        self.count("cancel_all")
        if got != len(pending):
            self.problem(f"cancel_all() returned {got}, {len(pending)} tasks were pending")

    # -- waiting ---------------------------------------------------------

    def watch(self):
        """A task of its own awaiting wait_all(); some are cancelled on the way."""
        timeout = self.rng.choice([0, None])
        watcher = asyncio.ensure_future(self.q.wait_all(timeout))
        self.watchers[watcher] = False
        watcher.add_done_callback(self.watcher_done)
        self.count("watcher")

    def watcher_done(self, watcher):
        cancelled = self.watchers.pop(watcher)
        if cancelled != watcher.cancelled() or not cancelled and watcher.result() is not None:
            self.problem(f"a wait_all() watcher ended {watcher}, cancelled by us: {cancelled}")

    def cancel_watcher(self):
        watcher = next(iter(self.watchers))
        if not watcher.done() and not self.watchers[watcher]:
            self.watchers[watcher] = True
            watcher.cancel()
            self.count("watcher cancelled")

    # -- submission --------------------------------------------------------

    def fresh_name(self):
        self.names += 1
        return self.rng.choice(self.NAME_STYLES).format(self.names)

    def submit_one(self, uid):
        rng = self.rng
        r = rng.random()
        if r < 0.9 or not self.recent_names:
            name = self.fresh_name()
        else:
            name = rng.choice(self.recent_names)
        r = rng.random()
        if r < 0.45 or not self.recent:
            after = None
        elif r < 0.85:
            after = rng.choice(self.recent).name
        elif r < 0.98:
            after = self.recent[-1].name
        else:
            after = f"ghost {uid}"
        r = rng.random()
        action = OK if r < 0.75 else RAISE if r < 0.95 else STUBBORN
        r = rng.random()
        steps = rng.randrange(4) if r < 0.75 else rng.randrange(4, 20) if r < 0.98 else 60
        pred = self.tracked.get(after) if after is not None else None
        make = job if rng.random() < 0.8 else gen_job
        via_future = rng.random() < 0.3
        coro = make(self.stats, uid, steps, action, pred.task if pred else None, via_future)

        refusal = None
        if name in self.tracked:
            refusal = f"Task {name!r} already submitted"
        elif after is not None and pred is None:
            refusal = f"Predecessor task {after!r} not found"
        given_name = Alias(name) if rng.random() < 0.03 else name
        given_after = Alias(after) if after is not None and rng.random() < 0.03 else after
        try:
            task = self.q.submit(given_name, coro, after=given_after)
        except ValueError as e:
            message = str(e)
        else:
            message = None
        if refusal is not None or message is not None:
            self.count("refused")
            if message != refusal:
                self.problem(f"submit({name!r}, after={after!r}): {message!r}, want {refusal!r}")
            if not closed(coro):
                self.problem(f"refused job {uid} left open")
            if message is None:
                task.cancel()
            return None

        if pred is not None:
            if pred.task.done():
                self.count("after finished")
            elif pred.uid in self.stats.started:
                self.count("after executing")
            else:
                self.count("after waiting")
        rec = Rec()
        rec.uid, rec.name, rec.after, rec.pred = uid, name, after, pred
        rec.task, rec.job, rec.action = task, coro, action
        rec.step, rec.stage, rec.end_tick = self.step, None, None
        rec.want, rec.owed, rec.again = None, False, False
        self.tracked[name] = rec
        self.live[uid] = rec
        task.add_done_callback(functools.partial(self.on_done, rec))
        if task.get_name() != name or self.q._tasks.get(name) is not task:
            self.problem(f"task {uid} not tracked under {name!r}")
        self.recent.append(rec)
        if len(self.recent) > 100:
            del self.recent[0]
        self.recent_names.append(name)
        if len(self.recent_names) > 200:
            del self.recent_names[0]
        return rec

    async def pause(self):
        await asyncio.sleep(0)
        self.step += 1

    async def drive(self):
        rng = self.rng
        self.loop = asyncio.get_running_loop()
        self.loop.set_exception_handler(lambda _loop, ctx: self.loop_errors.append(ctx))
        self.ticks, self.ticking = 0, True
        self.loop.call_soon(self.tick)
        self.step = 0
        self.names = 0
        self.owed = 0
        self.tracked = {}  # name -> Rec, in submission order, as the queue keeps them
        self.live = {}  # uid -> Rec of every task that has not ended
        self.recent, self.recent_names = [], []
        self.watchers = {}  # task awaiting wait_all() -> whether it was cancelled
        limit = rng.choice([1, 2, 3, 4, 8, 16, 64, 2.5])
        self.q = q = Trellan(limit)
        self.limit = int(limit)
        self.stats = Stats(self.limit)
        if q._max_concurrency != self.limit:
            self.problem(f"Trellan({limit})._max_concurrency is {q._max_concurrency}")
        cancel_all_every = max(50, self.n // 15)
        window = rng.choice([200, 1000, 3000])
        yield_p = 0.2

        for uid in range(self.n):
            if uid % 997 == 0:
                yield_p = rng.choice([0.02, 0.1, 0.3, 0.7])
                window = rng.choice([100, 500, 1000, 3000])
            rec = self.submit_one(uid)
            if q.active_count != len(self.tracked):
                self.problem(f"active_count {q.active_count}, {len(self.tracked)} tracked")
            r = rng.random()
            if r < 0.03 and rec is not None:
                self.cancel(rec)
            elif r < 0.08 and self.recent:
                self.cancel(rng.choice(self.recent))
            elif r < 0.1 and self.stats.last_caught in self.live:
                self.cancel(self.live[self.stats.last_caught])
            if rng.randrange(cancel_all_every) == 0:
                self.cancel_all()
            if uid % 509 == 0:
                names = list(q._tasks)
                if names != list(self.tracked) or any(type(k) is not str for k in names):
                    self.problem(f"tracked names differ at {uid}")
            if rng.random() < yield_p:
                await self.pause()
            r = rng.random()
            if r < 0.001:
                await q.wait_all(0 if q.active_count > 50 else None)
                self.step += 1
            elif r < 0.003:
                self.watch()
            elif r < 0.004 and self.watchers:
                self.cancel_watcher()
            turns = 0
            while q.active_count > window and turns < 20_000:
                await self.pause()
                turns += 1
            if turns == 20_000:
                self.problem(f"{q.active_count} tasks made no progress in {turns} loop turns")
                break

        await q.wait_all(60)
        if self.watchers:
            await asyncio.wait(list(self.watchers), timeout=60)
        for _ in range(100):
            if not self.live and not self.watchers:
                break
            await self.pause()
        self.ticking = False
        if self.live or self.tracked or q._tasks or q.active_count or self.watchers:
            self.problem(
                f"left at the end: {len(self.live)} live, {len(self.tracked)} tracked, "
                f"{len(self.watchers)} watchers, "
                f"{len(q._tasks)} in the queue, active_count {q.active_count}"
            )
        if self.owed:
            self.problem(f"{self.owed} tasks ended plain where 'Predecessor ... failed' was due")
        if q._semaphore._value != self.limit:
            self.problem(f"{self.limit - q._semaphore._value} units never given back")
        stats = self.stats
        if stats.running or stats.peak > self.limit:
            self.problem(f"{stats.running} jobs still executing, peak {stats.peak}")
        self.problems.extend(stats.violations[:10])
        self.counts["limit"], self.counts["peak"] = self.limit, stats.peak
        self.q_ref = weakref.ref(q)
        # Drop every reference into the run before the loop goes.
        self.q = self.stats = self.tracked = self.live = self.recent = self.watchers = None

    def run(self):
        loop = new_loop(self.flavour)
        loop.set_debug(self.debug)
        try:
            loop.run_until_complete(self.drive())
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()
        self.loop = None
        del loop


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def jobs_alive():
    codes = (job.__code__, gen_job.__code__)
    return sum(
        1
        for o in gc.get_objects()
        if (type(o) is types.CoroutineType and o.cr_code in codes)
        or (type(o) is types.GeneratorType and o.gi_code in codes)
    )


@pytest.fixture
def unraisable():
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = old


def seed_for_run():
    env = os.environ.get("QUORVANE_LOAD_SEED")
    return int(env) if env else random.randrange(2**32)


def warm_up(seed, n, flavour):
    """A run that fills what any run leaves sized to its peak (free lists,
    asyncio's table of all tasks), so what stays after the measured run is
    that run's own."""
    Load(seed, n, flavour).run()
    gc.collect()


def run_and_collect(seed, n, flavour, collecting=False):
    """One run, then a collection that saves what it finds. Returns the run's
    findings and the type names of everything the collector found.

    By default the collector is off during the run, so a reference cycle made
    on the way is still there afterwards. With `collecting` it runs very
    often instead, walking the queue's objects while tasks are in flight."""
    thresholds = gc.get_threshold()
    if collecting:
        gc.set_threshold(50, 5, 5)
    else:
        gc.disable()
    try:
        load = Load(seed, n, flavour)
        load.run()
        found = (load.problems, load.loop_errors, load.counts, load.q_ref)
        del load
        gc.set_debug(gc.DEBUG_SAVEALL)
        gc.collect()
        garbage = sorted({f"{type(o).__module__}.{type(o).__qualname__}" for o in gc.garbage})
        gc.garbage.clear()
    finally:
        gc.set_debug(0)
        gc.set_threshold(*thresholds)
        gc.enable()
    return found, garbage


def check_findings(where, found, garbage, unraisable):
    problems, loop_errors, counts, q_ref = found
    assert not problems, f"{where}:\n" + "\n".join(problems)
    assert not loop_errors, f"{where}: the loop reported {loop_errors[:5]}"
    assert not [(u.exc_value, u.object) for u in unraisable], where
    assert q_ref() is None, f"{where}: the queue outlived its run"
    assert jobs_alive() == 0, f"{where}: job coroutines outlived the run"
    assert not garbage, f"{where}: reference cycles among {garbage[:20]}"
    return counts


@pytest.mark.stress
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_queue_under_load(flavour, scaled, sanitized, unraisable):
    seed = seed_for_run()
    n = scaled(100_000, floor=2_000)
    where = f"seed {seed} (replay: QUORVANE_LOAD_SEED={seed}), {flavour}, {n} jobs"
    warm_up(seed + 1, 500, flavour)
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_bytes()
    found, garbage = run_and_collect(seed, n, flavour)
    gc.collect()
    blocks_after = sys.getallocatedblocks()
    rss_after = rss_bytes()
    counts = check_findings(where, found, garbage, unraisable)
    # Every object of the run is gone (a leaked task, job or error alone is
    # several blocks; 100,000 of them would be hundreds of thousands).
    assert blocks_after - blocks_before < 2_000, f"{where}: {counts}"
    if not sanitized:
        grown = (rss_after - rss_before) >> 20
        assert grown < 16, f"{where}: RSS grew by {grown} MiB"
    # The run reached every stage it means to check, and the limit.
    if n >= 20_000:
        stages = ["ok", "raise", "pred", "refused", "cancel_all", "plain/fresh", "plain/running"]
        stages += ["plain/unit", "pred/awaiting", "after waiting", "after executing"]
        stages += ["after finished", "watcher", "watcher cancelled"]
        missing = [key for key in stages if not counts.get(key)]
        assert not missing, f"{where}: no {missing} in {counts}"
        assert counts["peak"] == counts["limit"], f"{where}: {counts}"


@pytest.mark.stress
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_traced_memory_returns_after_a_run(flavour, scaled, unraisable):
    """The same run, shorter (tracing every allocation is slow), with the
    collector running all the time and the traced size before and after
    compared, the largest growth named."""
    seed = seed_for_run()
    n = scaled(5_000, floor=1_000)
    where = f"seed {seed} (replay: QUORVANE_LOAD_SEED={seed}), {flavour}, {n} jobs"
    warm_up(seed, n, flavour)  # the same run fills them exactly as far
    sys._clear_type_cache()
    tracemalloc.start(8)
    try:
        found, garbage = run_and_collect(seed, n, flavour, collecting=True)
        gc.collect()
        # CPython's attribute cache keeps the last name looked up in each
        # slot alive; those names are not the run's.
        sys._clear_type_cache()
        # Tracing began with the run, so whatever is still traced came from
        # it; asyncio's table of all tasks keeps the size it grew to.
        left = tracemalloc.take_snapshot().filter_traces(
            [tracemalloc.Filter(False, "*/_weakrefset.py")]
        )
    finally:
        tracemalloc.stop()
    check_findings(where, found, garbage, unraisable)
    stats = left.statistics("traceback")
    growth = sum(stat.size for stat in stats)
    top = "\n".join(line for stat in stats[:3] for line in [str(stat), *stat.traceback.format()])
    # Free lists (asyncio's future iterators, uvloop's handles) may end up
    # holding objects of this run in place of older ones: a few tens of KiB,
    # however long the run. One object left per job would be 5,000 of them.
    assert growth <= 65_536, f"{where}: {growth} bytes more traced after the run:\n{top}"


@pytest.mark.stress
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_queue_under_load_in_debug_mode(flavour, scaled, unraisable):
    """A shorter run on a loop in asyncio's debug mode, which checks every
    callback it schedules (and records where each task was made: slow)."""
    seed = seed_for_run()
    n = scaled(2_000, floor=500)
    where = f"seed {seed} (replay: QUORVANE_LOAD_SEED={seed}), {flavour}, {n} jobs, debug"
    load = Load(seed, n, flavour, debug=True)
    load.run()
    assert not load.problems, f"{where}:\n" + "\n".join(load.problems)
    assert not load.loop_errors, f"{where}: the loop reported {load.loop_errors[:5]}"
    assert not [(u.exc_value, u.object) for u in unraisable], where


# ---------------------------------------------------------------------------
# Regressions found by the runs above


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_completion_callbacks_run_on_a_debug_mode_loop(flavour):
    """asyncio in debug mode refuses to schedule a coroutine as a callback. A
    completion callback that is one breaks the task's ending: no callback of
    it runs, the queue keeps its name, and whoever awaits it waits forever."""
    errors = []

    async def fails():
        raise JobError(0)

    async def main():
        q = Trellan(1)
        a = q.submit("a", asyncio.sleep(0, "a"))
        b = q.submit("b", fails(), after="a")
        c_job = asyncio.sleep(0)
        c = q.submit("c", c_job, after="b")
        await q.wait_all(5)
        for _ in range(3):
            await asyncio.sleep(0)
        return q.active_count, a, b, c, c_job

    loop = new_loop(flavour)
    loop.set_debug(True)
    loop.set_exception_handler(lambda _loop, ctx: errors.append(ctx))
    try:
        active, a, b, c, c_job = loop.run_until_complete(main())
    finally:
        loop.close()
    assert not errors
    assert active == 0
    assert a.result() == "a" and type(b.exception()) is JobError and c.cancelled()
    assert closed(c_job)
