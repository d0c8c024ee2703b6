"""The concurrency-limited task queue Trellan.

Every scenario runs on each event-loop flavour: the default loop and uvloop,
and on Python 3.12+ each of them with asyncio.eager_task_factory, where a job
may start (and even finish) inside submit(). Warnings are errors here, and
every test ends with a collection that must report nothing unraisable, so a
coroutine left unawaited or unclosed fails the test that leaked it."""

import asyncio
import decimal
import fractions
import gc
import inspect
import sys
import types
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._internal import trellan
from quorvane._internal.trellan import Trellan

pytestmark = pytest.mark.filterwarnings("error")

try:
    import uvloop
except ImportError:  # pragma: no cover - uvloop is in the test extras
    uvloop = None

EAGER = hasattr(asyncio, "eager_task_factory")


def uvloop_takes_eager_factory():
    """uvloop 0.23 on 3.13.0 passes the factory an argument it does not take."""
    if uvloop is None or not EAGER:
        return False
    loop = uvloop.new_event_loop()
    loop.set_task_factory(asyncio.eager_task_factory)

    async def nothing():
        pass

    coro = nothing()
    try:
        loop.run_until_complete(coro)
        return True
    except TypeError:
        coro.close()
        return False
    finally:
        loop.close()


FLAVOURS = [
    pytest.param(("asyncio", False), id="asyncio"),
    pytest.param(
        ("uvloop", False),
        id="uvloop",
        marks=pytest.mark.skipif(uvloop is None, reason="uvloop not installed"),
    ),
    pytest.param(
        ("asyncio", True),
        id="asyncio-eager",
        marks=pytest.mark.skipif(not EAGER, reason="eager tasks need 3.12+"),
    ),
    pytest.param(
        ("uvloop", True),
        id="uvloop-eager",
        marks=pytest.mark.skipif(
            not uvloop_takes_eager_factory(), reason="needs 3.12+ and a uvloop that runs it"
        ),
    ),
]


@pytest.fixture(autouse=True)
def nothing_unraisable():
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert not [(u.exc_value, u.object) for u in seen]


@pytest.fixture(params=FLAVOURS)
def run(request, bounded):
    """run(async_fn) runs async_fn() to completion on a fresh loop of the
    flavour, within the suite's time limit."""
    kind, eager = request.param
    errors = []

    def runner(fn):
        loop = uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()
        loop.set_exception_handler(lambda _loop, ctx: errors.append(ctx))
        if eager:
            loop.set_task_factory(asyncio.eager_task_factory)
        try:
            return loop.run_until_complete(bounded(fn()))
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    runner.eager = eager
    runner.errors = errors
    return runner


async def settle(n=5):
    """Lets pending callbacks (completion callbacks among them) run."""
    for _ in range(n):
        await asyncio.sleep(0)


class Probe:
    """Jobs that record when they start and end, gated by events."""

    def __init__(self):
        self.log = []
        self.running = 0
        self.peak = 0

    async def job(self, name, result=None, gate=None, error=None, delay=0):
        self.log.append(("start", name))
        self.running += 1
        self.peak = max(self.peak, self.running)
        try:
            if gate is not None:
                await gate.wait()
            await asyncio.sleep(delay)
            if error is not None:
                raise error
            return result
        finally:
            self.running -= 1
            self.log.append(("end", name))

    def started(self):
        return [n for kind, n in self.log if kind == "start"]


async def then(fn, value=None, error=None):
    """A job whose `fn` runs after its task finished, before its completion callback."""
    asyncio.get_running_loop().call_soon(fn)
    if error is not None:
        raise error
    return value


def body_error(exc):
    """The CancelledError a task body raised, from what result() gives: asyncio
    hands out the body's own exception on the first call (3.11+) or a new one
    chained to it."""
    return exc if str(exc) else exc.__context__


def closed_unstarted(coro):
    return coro.cr_frame is None and coro.cr_code is not None


# ---------------------------------------------------------------------------
# Construction


def test_new_queue_is_empty_and_idle(run):
    async def main():
        q = Trellan()
        assert q._max_concurrency == 2 and type(q._max_concurrency) is int
        assert isinstance(q._semaphore, asyncio.Semaphore)
        assert q._tasks == {} and type(q._tasks) is dict
        assert q.active_count == 0
        assert q.cancel_all() == 0
        assert await q.wait_all() is None
        assert await q.wait_all(timeout=0) is None
        assert await q.wait_all(-1) is None

    run(main)


@pytest.mark.parametrize(
    "given, limit",
    [
        (1, 1),
        (True, 1),
        (3.9, 3),
        (2.0, 2),
        (fractions.Fraction(7, 2), 3),
        (decimal.Decimal("1e30") + decimal.Decimal("0.5"), 10**30),
        (10**30, 10**30),
    ],
)
def test_limit_conversions(given, limit):
    q = Trellan(given)
    assert q._max_concurrency == limit and type(q._max_concurrency) is int
    assert Trellan(max_concurrency=given)._max_concurrency == limit


@pytest.mark.parametrize("bad", ["2", None, [2], 2j])
def test_limit_kind_refused(bad):
    with pytest.raises(
        TypeError, match=r"^Trellan\(\) argument 'max_concurrency' must be int, not "
    ):
        Trellan(bad)


@pytest.mark.parametrize("bad", [0, False, -1, 0.99, -0.5, -(10**30)])
def test_limit_below_one_refused(bad):
    with pytest.raises(ValueError, match="max_concurrency must be at least 1"):
        Trellan(bad)


def test_attributes_and_module_surface():
    q = Trellan()
    for name in ("_semaphore", "_tasks", "_max_concurrency", "active_count"):
        with pytest.raises(AttributeError):
            setattr(q, name, None)
    with pytest.raises(TypeError):
        Trellan(1, 2)
    with pytest.raises(TypeError):
        type("Sub", (Trellan,), {})
    assert trellan.logger.name == "quorvane._internal.trellan"
    assert trellan.__all__ == ["Trellan", "logger"]
    r = weakref.ref(q)
    del q
    gc.collect()
    assert r() is None


# ---------------------------------------------------------------------------
# The limit


def test_default_limit_is_two_and_the_third_job_waits(run):
    async def main():
        p = Probe()
        q = Trellan()
        gates = [asyncio.Event() for _ in range(3)]
        tasks = [q.submit(f"j{i}", p.job(f"j{i}", gate=gates[i])) for i in range(3)]
        await settle()
        assert p.started() == ["j0", "j1"]
        assert q._semaphore.locked()
        gates[1].set()
        await settle()
        assert p.started() == ["j0", "j1", "j2"]
        gates[0].set()
        gates[2].set()
        await q.wait_all()
        assert [t.result() for t in tasks] == [None] * 3
        assert p.peak == 2

    run(main)


def test_limit_holds_across_many_jobs_and_every_unit_comes_back(run):
    async def main():
        p = Probe()
        q = Trellan(3)
        for i in range(20):
            err = RuntimeError(i) if i % 5 == 0 else None
            q.submit(str(i), p.job(i, error=err, delay=0.001 * (i % 3)))
        q.submit("x", p.job("x", delay=10)).cancel()
        await q.wait_all()
        await settle()
        assert p.peak == 3
        assert q.active_count == 0
        assert q._semaphore._value == 3

    run(main)


# ---------------------------------------------------------------------------
# submit's refusals


def test_duplicate_name_refused_until_the_callback_ran(run):
    async def main():
        q = Trellan()
        checked = []

        def between():
            # Finished, but its callback has not run yet: the name is still taken.
            assert first.done() and "alpha" in q._tasks
            with pytest.raises(ValueError, match="already submitted"):
                q.submit("alpha", asyncio.sleep(0))
            checked.append(True)

        first = q.submit("alpha", then(between, "one"))
        dup = asyncio.sleep(0)
        with pytest.raises(ValueError, match=r"^Task 'alpha' already submitted$"):
            q.submit("alpha", dup)
        assert closed_unstarted(dup)
        assert await first == "one"
        await settle()
        assert checked
        assert q.active_count == 0
        again = q.submit("alpha", asyncio.sleep(0, "two"))
        assert await again == "two"
        assert q._tasks == {"alpha": again} or again.done()

    run(main)


def test_predecessor_refusals(run):
    async def main():
        q = Trellan()
        c = asyncio.sleep(0)
        with pytest.raises(ValueError, match=r"^Predecessor task 'nope' not found$"):
            q.submit("a", c, after="nope")
        assert closed_unstarted(c) and q.active_count == 0
        # after == name: not found while the name is free ...
        with pytest.raises(ValueError, match=r"^Predecessor task 'a' not found$"):
            q.submit("a", asyncio.sleep(0), after="a")
        # ... and a duplicate once it is taken (the duplicate check comes first).
        t = q.submit("a", asyncio.sleep(0.01))
        with pytest.raises(ValueError, match=r"^Task 'a' already submitted$"):
            q.submit("a", asyncio.sleep(0), after="a")
        with pytest.raises(ValueError, match=r"^Task 'a' already submitted$"):
            q.submit("a", asyncio.sleep(0), after="missing")
        # A finished and removed task is no longer a predecessor.
        await t
        await settle()
        with pytest.raises(ValueError, match="Predecessor task 'a' not found"):
            q.submit("b", asyncio.sleep(0), after="a")
        # The quoted form is repr() of the name.
        with pytest.raises(ValueError) as e:
            q.submit("it's\n\x00\u200b", asyncio.sleep(0), after="\"q'\\")
        assert str(e.value) == "Predecessor task " + repr("\"q'\\") + " not found"

    run(main)


def test_argument_kinds(run):
    async def main():
        q = Trellan()
        for args, kwargs, message in [
            ((1, None), {}, "submit() argument 'name' must be str, not int"),
            (("a", None), {"after": 3}, "submit() argument 'after' must be str or None, not int"),
            (("a", None, "b"), {}, "submit() takes 2 positional arguments but 3 were given"),
            (("a",), {}, "submit() missing required argument 'coro' (pos 2)"),
        ]:
            job = asyncio.sleep(0)
            args = tuple(job if a is None else a for a in args)
            with pytest.raises(TypeError) as e:
                q.submit(*args, **kwargs)
            assert str(e.value) == message
            if len(args) == 2:  # a refused submission closes its job
                assert inspect.getcoroutinestate(job) == inspect.CORO_CLOSED
            else:
                job.close()
        assert q.active_count == 0
        for bad in ("1", [], None.__class__):
            with pytest.raises(TypeError, match="'timeout' must be float or None"):
                q.wait_all(bad)
        assert await q.wait_all(1) is None
        assert await q.wait_all(True) is None  # a bool is an int: one second
        assert await q.wait_all(fractions.Fraction(1, 2)) is None
        with pytest.raises(TypeError):
            q.cancel_all(1)

    run(main)


def test_a_job_awaited_elsewhere_is_not_driven_twice(run):
    async def job():
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return 1

    async def main():
        q = Trellan()
        coro = job()
        first = q.submit("x1", coro)
        second = q.submit("x2", coro)
        await q.wait_all()
        assert first.result() == 1
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            second.result()

    run(main)


def test_without_a_running_loop_the_job_stays_open():
    q = Trellan()
    coro = asyncio.sleep(0, "later")
    with pytest.raises(RuntimeError, match="no running event loop"):
        q.submit("a", coro)
    assert q.active_count == 0
    assert asyncio.run(coro) == "later"  # not closed: still runnable


def test_str_subclass_names_are_used_by_value(run):
    class Loud(str):
        def __hash__(self):
            raise AssertionError("hash of the subclass must not run")

        __eq__ = __hash__

    async def main():
        q = Trellan()
        t = q.submit(Loud("n"), asyncio.sleep(0, 1))
        assert t.get_name() == "n" and type(next(iter(q._tasks))) is str
        u = q.submit("m", asyncio.sleep(0, 2), after=Loud("n"))
        assert await u == 2

    run(main)


# ---------------------------------------------------------------------------
# Dependencies


def test_failing_chain_cancels_dependents_with_causes(run):
    async def main():
        p = Probe()
        q = Trellan()
        boom = ValueError("boom")
        a = q.submit("A", p.job("A", error=boom))
        cb, cc = p.job("B"), p.job("C")
        b = q.submit("B", cb, after="A")
        c = q.submit("C", cc, after="B")
        await q.wait_all()
        assert a.exception() is boom
        assert b.cancelled() and c.cancelled()
        with pytest.raises(asyncio.CancelledError) as ec:
            c.result()
        c_err = body_error(ec.value)
        assert str(c_err) == "Predecessor 'B' failed"
        # C took B's outcome first, so B's own error is C's cause.
        b_err = body_error(c_err.__cause__)
        assert str(b_err) == "Predecessor 'A' failed"
        assert b_err.__cause__ is boom
        await settle()
        assert p.started() == ["A"]
        assert closed_unstarted(cb) and closed_unstarted(cc)
        assert q.active_count == 0 and q._semaphore._value == 2

    run(main)


def test_many_dependents_of_one_predecessor(run):
    async def main():
        p = Probe()
        q = Trellan(1)
        gate = asyncio.Event()
        q.submit("root", p.job("root", gate=gate))
        deps = [q.submit(f"d{i}", p.job(f"d{i}", result=i), after="root") for i in range(30)]
        await settle()
        assert p.started() == ["root"] and q.active_count == 31
        gate.set()
        await q.wait_all()
        assert [d.result() for d in deps] == list(range(30))

        gate2 = asyncio.Event()
        q.submit("bad", p.job("bad", gate=gate2, error=OSError("x")))
        jobs = [p.job(f"e{i}") for i in range(5)]
        deps = [q.submit(f"e{i}", j, after="bad") for i, j in enumerate(jobs)]
        gate2.set()
        await q.wait_all()
        assert all(d.cancelled() for d in deps)
        assert all(closed_unstarted(j) for j in jobs)

    run(main)


def test_limit_one_with_a_waiting_dependent_does_not_deadlock(run):
    async def main():
        p = Probe()
        q = Trellan(1)
        gate = asyncio.Event()
        q.submit("A", p.job("A", gate=gate))
        b = q.submit("B", p.job("B", result="b"), after="A")
        await settle()
        assert p.started() == ["A"]
        gate.set()
        await asyncio.wait_for(q.wait_all(), 5)
        assert b.result() == "b" and p.log == [
            ("start", "A"),
            ("end", "A"),
            ("start", "B"),
            ("end", "B"),
        ]

    run(main)


def test_cancelling_a_waiting_dependent_spares_the_predecessor_and_siblings(run):
    async def main():
        p = Probe()
        q = Trellan()
        gate = asyncio.Event()
        a = q.submit("A", p.job("A", gate=gate, result="a"))
        jb = p.job("B")
        b = q.submit("B", jb, after="A")
        c = q.submit("C", p.job("C", result="c"), after="A")
        await settle()
        assert b.cancel()
        await settle()
        assert b.cancelled() and not a.done() and not c.done()
        gate.set()
        await q.wait_all()
        assert a.result() == "a" and c.result() == "c"
        with pytest.raises(asyncio.CancelledError) as e:
            b.result()
        assert str(body_error(e.value)) == "Predecessor 'A' failed"
        assert isinstance(body_error(e.value).__cause__, asyncio.CancelledError)
        assert closed_unstarted(jb) and p.started() == ["A", "C"]
        await settle()
        assert q.active_count == 0

    run(main)


def test_dependent_cancelled_after_its_predecessor_finished_but_before_waking(run):
    async def main():
        q = Trellan()
        made = {}

        async def a_job():
            await asyncio.sleep(0)
            # Runs after A finished, before B's wake-up: B is cancelled anyway.
            asyncio.get_running_loop().call_soon(made["b"].cancel)
            return "a"

        a = q.submit("A", a_job())
        job = asyncio.sleep(0)
        made["b"] = b = q.submit("B", job, after="A")
        await q.wait_all()
        assert a.result() == "a" and b.cancelled()
        with pytest.raises(asyncio.CancelledError) as e:
            b.result()
        assert str(body_error(e.value)) == "Predecessor 'A' failed"
        await settle()
        assert closed_unstarted(job) and q.active_count == 0

    run(main)


def test_cancel_all_reaches_waiting_dependents_with_the_predecessor_message(run):
    async def main():
        q = Trellan(1)
        a = q.submit("A", asyncio.sleep(10))
        b = q.submit("B", asyncio.sleep(10), after="A")
        c = q.submit("C", asyncio.sleep(10))  # waits for a unit
        await settle()
        assert q.cancel_all() == 3
        await q.wait_all()
        assert a.cancelled() and b.cancelled() and c.cancelled()
        with pytest.raises(asyncio.CancelledError) as e:
            b.result()
        assert str(body_error(e.value)) == "Predecessor 'A' failed"
        await settle()
        assert q.active_count == 0 and q._semaphore._value == 1

    run(main)


def test_task_cancelled_before_it_ran(run):
    async def main():
        q = Trellan()
        q.submit("A", asyncio.sleep(10))
        job = asyncio.sleep(0)
        b = q.submit("B", job, after="A")
        b.cancel()
        await asyncio.wait([b])
        with pytest.raises(asyncio.CancelledError) as e:
            b.result()
        # An eager body already waits for A when the cancellation comes.
        assert str(body_error(e.value) or "") == ("Predecessor 'A' failed" if run.eager else "")
        await settle()
        assert closed_unstarted(job) and q.active_count == 1
        q.cancel_all()
        await q.wait_all()

    run(main)


def test_finished_but_tracked_predecessor(run):
    async def main():
        q = Trellan()
        job = asyncio.sleep(0)
        made = {}

        def submit_dependents():
            assert ok.done() and bad.done()
            assert "ok" in q._tasks and "bad" in q._tasks  # callbacks still to run
            made["x"] = q.submit("x", asyncio.sleep(0, "x"), after="ok")
            made["y"] = q.submit("y", job, after="bad")

        ok = q.submit("ok", asyncio.sleep(0, "fine"))
        bad = q.submit("bad", then(submit_dependents, error=OSError("bad")))
        await asyncio.wait([ok, bad])
        after_ok, after_bad = made["x"], made["y"]
        assert await after_ok == "x"
        with pytest.raises(asyncio.CancelledError) as e:
            await after_bad
        assert str(body_error(e.value)) == "Predecessor 'bad' failed"
        assert isinstance(body_error(e.value).__cause__, OSError)
        await settle()
        assert closed_unstarted(job) and q.active_count == 0

    run(main)


# ---------------------------------------------------------------------------
# cancel_all, wait_all, results


def test_cancel_all_counts_only_unfinished_tasks(run):
    async def main():
        q = Trellan(3)
        counts = []

        def between():
            counts.append(q.active_count)
            counts.append(q.cancel_all())
            counts.append(q.active_count)

        q.submit("a", asyncio.sleep(10))
        q.submit("b", asyncio.sleep(10))
        await settle()
        q.submit("done", then(between))
        await settle()
        assert counts == [3, 2, 3]
        assert q.active_count == 0

    run(main)


def test_wait_all_timeout_leaves_jobs_running(run):
    async def main():
        p = Probe()
        q = Trellan()
        gate = asyncio.Event()
        t = q.submit("slow", p.job("slow", gate=gate, result=5))
        loop = asyncio.get_running_loop()
        start = loop.time()
        assert await q.wait_all(timeout=0.05) is None
        assert loop.time() - start >= 0.04
        assert not t.done() and q.active_count == 1
        # The snapshot is taken when wait_all() is awaited; tasks submitted
        # later are not waited for.
        w = asyncio.ensure_future(q.wait_all())
        await settle()
        late = q.submit("late", asyncio.sleep(10))
        gate.set()
        await w
        assert t.result() == 5 and not late.done()
        late.cancel()
        q.submit("fail", p.job("fail", error=KeyError("k")))
        q.submit("gone", asyncio.sleep(10)).cancel()
        assert await q.wait_all() is None
        assert await q.wait_all() is None  # "fail" and "gone" may still be tracked
        await settle()
        assert q.active_count == 0

    run(main)


def test_results_pass_through_untouched(run):
    async def main():
        q = Trellan()
        marker = object()
        for value in [marker, (1, 2), (), None, StopIteration("x"), [marker]]:

            async def job(v=value):
                await asyncio.sleep(0)
                return v

            assert await q.submit(f"r{id(value)}", job()) is value

    run(main)


def test_eager_job_finishes_inside_submit(run):
    async def main():
        q = Trellan()
        t = q.submit("quick", asyncio.sleep(0, "r") if not run.eager else immediate())
        if run.eager:
            assert t.done() and t.result() == "now"
        assert q.active_count == 1  # tracked until its callback ran
        await settle()
        assert q.active_count == 0 and q._semaphore._value == 2

    async def immediate():
        return "now"

    run(main)


# ---------------------------------------------------------------------------
# Hostile jobs and callers


class DuckCoroutine:
    """A coroutine in C's manner: __await__, send, throw and close."""

    def __init__(self, value):
        self.value, self.closed = value, False

    def __await__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, _):
        raise StopIteration(self.value)

    def throw(self, exc):
        raise exc

    def close(self):
        self.closed = True


def test_a_job_must_be_a_coroutine(run):
    async def main():
        q = Trellan()
        future = asyncio.get_running_loop().create_future()

        def plain_generator():
            yield

        q.submit("dup", asyncio.sleep(0))
        for job in [asyncio.sleep, future, 42, plain_generator()]:
            for name in ("j", "dup"):  # the kind is checked before the name
                with pytest.raises(TypeError) as e:
                    q.submit(name, job)
                assert str(e.value).startswith("submit() argument 'coro' must be coroutine, not ")
                assert str(e.value).endswith(type(job).__name__)
        future.cancel()
        assert list(q._tasks) == ["dup"]
        duck = DuckCoroutine("quack")
        assert await q.submit("duck", duck) == "quack"
        assert await q.submit("wrapped", yielding([])) == ()
        await settle()
        assert q.active_count == 0 and q._semaphore._value == 2

    run(main)


def test_jobs_that_reenter_the_queue(run):
    async def main():
        q = Trellan()
        seen = []

        async def meddler():
            seen.append(q.active_count)
            q.submit("child", asyncio.sleep(0, "c"))
            seen.append(q.cancel_all())
            q._tasks.clear()  # the callbacks must cope with missing names
            return "m"

        t = q.submit("meddler", meddler())
        await asyncio.wait([t])
        if run.eager:
            # It ran inside submit, before it was tracked.
            assert seen == [0, 1] and t.result() == "m"
        else:
            assert seen == [1, 2] and t.cancelled()  # cancel_all reached itself
        await settle()
        assert q.active_count == 0 and q._semaphore._value == 2

    run(main)


def test_cancel_inside_the_job_and_while_waiting_for_a_unit(run):
    async def main():
        q = Trellan(1)
        gate = asyncio.Event()
        p = Probe()
        a = q.submit("a", p.job("a", gate=gate))
        jb = p.job("b")
        b = q.submit("b", jb)
        await settle()
        b.cancel()  # waiting for the unit
        a.cancel()  # inside its job
        await q.wait_all()
        assert a.cancelled() and b.cancelled() and closed_unstarted(jb)
        assert p.log == [("start", "a"), ("end", "a")]
        assert await q.submit("c", asyncio.sleep(0, 3)) == 3
        assert q._semaphore._value == 1

    run(main)


# ---------------------------------------------------------------------------
# The task body as a coroutine, driven by hand


@types.coroutine
def yielding(values):
    got = []
    for v in values:
        try:
            got.append((yield v))
        except ValueError as e:
            got.append(("caught", e.args))
    return tuple(got)


class NamedFuture(asyncio.Future):
    name = None

    def get_name(self):
        return self.name

    def set_name(self, name):
        self.name = name


def captured_bodies(loop, *submissions):
    """Submits (name, job, after) through a task factory that hands back the
    bodies unrun, each with a future standing in for its task."""
    bodies, futures = [], []

    def factory(loop, coro, **kwargs):
        bodies.append(coro)
        futures.append(NamedFuture(loop=loop))
        futures[-1].name = kwargs.get("name")
        return futures[-1]

    loop.set_task_factory(factory)
    try:
        q = Trellan()
        for name, job, after in submissions:
            q.submit(name, job, after=after)
    finally:
        loop.set_task_factory(None)
    return q, bodies, futures


def test_body_driven_by_hand():
    async def main():
        loop = asyncio.get_running_loop()
        q, [body], [fut] = captured_bodies(loop, ("n", yielding(["x", "y", "z"]), None))
        assert asyncio.iscoroutine(body) and body.__await__() is body
        assert body.__qualname__.endswith("_wrapper")
        with pytest.raises(TypeError, match="just-started"):
            body.send(1)
        assert body.send(None) == "x"
        assert q._semaphore._value == 1  # holds a unit while the job runs
        assert body.send("a") == "y"
        assert body.throw(ValueError("v")) == "z"
        with pytest.raises(TypeError):
            body.throw(ValueError, "w", None)  # the one-argument form only
        with pytest.raises(StopIteration) as stop:
            body.throw(ValueError)
        assert stop.value.value == ("a", ("caught", ("v",)), ("caught", ()))
        assert q._semaphore._value == 2
        with pytest.raises(RuntimeError, match="cannot reuse"):
            body.send(None)
        body.close()
        fut.set_result(None)

        # close() while the job is suspended closes the job and frees the unit.
        job = yielding(["x"])
        q, [body], _ = captured_bodies(loop, ("n", job, None))
        assert next(body) == "x"
        body.close()
        assert q._semaphore._value == 2 and job.gi_frame is None
        with pytest.raises(KeyError):
            body.throw(KeyError("after close"))

        # Thrown in while waiting for the predecessor: an ordinary error becomes
        # the predecessor failure, with it as cause; others pass unchanged.
        jobs = [asyncio.sleep(0) for _ in range(4)]
        subs = [("A", jobs[0], None)] + [(f"B{i}", jobs[i], "A") for i in (1, 2, 3)]
        q, bodies, futures = captured_bodies(loop, *subs)
        waits = [b.send(None) for b in bodies[1:]]
        assert all(asyncio.isfuture(w) for w in waits)  # the shield, not A itself
        with pytest.raises(asyncio.CancelledError) as e:
            bodies[1].throw(ValueError("v"))
        assert str(e.value) == "Predecessor 'A' failed"
        assert isinstance(e.value.__cause__, ValueError)
        with pytest.raises(KeyboardInterrupt):
            bodies[2].throw(KeyboardInterrupt())
        bodies[3].close()
        assert q._semaphore._value == 2  # no body ever held a unit
        # throw() before the start ends the body; the callback closes its job.
        with pytest.raises(ZeroDivisionError):
            bodies[0].throw(ZeroDivisionError)
        for f in futures:
            f.set_result(None)
        await settle()
        assert not q._tasks and all(closed_unstarted(j) for j in jobs)

        w = q.wait_all()
        with pytest.raises(StopIteration):
            w.send(None)  # nothing tracked: done at once
        with pytest.raises(RuntimeError):
            next(w)
        q.wait_all().close()  # never started: nothing to do, nothing warned

    asyncio.run(main())


# ---------------------------------------------------------------------------
# Memory


def test_queue_tasks_and_jobs_are_freed(run):
    async def main():
        q = Trellan()
        gate = asyncio.Event()

        box = [q]

        async def job(i):
            await gate.wait()
            return box  # the queue reached through a task's result

        tasks = [q.submit(str(i), job(i)) for i in range(5)]
        tasks.append(q.submit("dep", job(9), after="0"))
        refs = [weakref.ref(q)] + [weakref.ref(t) for t in tasks]
        refs += [weakref.ref(t.get_coro()) for t in tasks]
        gate.set()
        await q.wait_all()
        await settle()
        return refs

    refs = run(main)
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_pending_tasks_dropped_with_their_loop_free_the_queue():
    """Tasks destroyed while pending (asyncio reports "Task was destroyed but
    it is pending!") free everything. Their jobs are closed when the task
    body is finalized first; when the collector finalizes a job first, the
    job warns that it was never awaited, as asyncio's own coroutines do."""
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda *_: None)  # "Task was destroyed but it is pending!"
    job = asyncio.sleep(0)

    async def submit_only():
        q = Trellan(1)
        q.submit("a", asyncio.sleep(10))
        q.submit("b", job, after="a")
        return weakref.ref(q)

    ref = loop.run_until_complete(submit_only())
    loop.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()
    assert ref() is None


# ---------------------------------------------------------------------------
# Random dependency forests against their logical outcome


def expected_outcomes(plan):
    """name -> ("ok", value) | ("error", None) | ("cancelled", predecessor)."""
    out = {}
    for name, after, fails, _ in plan:
        if after is not None and out[after][0] != "ok":
            out[name] = ("cancelled", after)
        else:
            out[name] = ("error", None) if fails else ("ok", name.upper())
    return out


plans = st.integers(1, 12).flatmap(
    lambda n: st.tuples(
        st.integers(1, 3),
        st.lists(
            st.tuples(st.integers(-1, n - 1), st.booleans(), st.integers(0, 3)),
            min_size=n,
            max_size=n,
        ),
    )
)


@settings(max_examples=25)
@given(plans)
def test_random_forests_end_as_their_dependencies_say(drawn):
    limit, rows = drawn
    plan = []
    for i, (pred, fails, steps) in enumerate(rows):
        after = f"t{pred}" if 0 <= pred < i else None
        plan.append((f"t{i}", after, fails, steps))
    want = expected_outcomes(plan)
    for kind in ["asyncio", "uvloop"] if uvloop else ["asyncio"]:
        for eager in [False, True] if EAGER and kind == "asyncio" else [False]:
            loop = uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()
            if eager:
                loop.set_task_factory(asyncio.eager_task_factory)
            try:
                got, probe, jobs = loop.run_until_complete(run_plan(plan, limit))
            finally:
                loop.close()
            assert got == want, (kind, eager)
            assert probe.peak <= limit
            ran = {n for n in probe.started()}
            for name, (outcome, _) in want.items():
                assert (name in ran) == (outcome != "cancelled")
                assert jobs[name].cr_frame is None  # finished or closed


async def run_plan(plan, limit):
    q = Trellan(limit)
    p = Probe()
    jobs, tasks = {}, {}

    async def job(name, fails, steps):
        for _ in range(steps):
            await asyncio.sleep(0)
        return await p.job(name, result=name.upper(), error=OSError(name) if fails else None)

    for name, after, fails, steps in plan:
        jobs[name] = job(name, fails, steps)
        tasks[name] = q.submit(name, jobs[name], after=after)
    await q.wait_all()
    await settle()
    assert q.active_count == 0 and q._semaphore._value == limit
    got = {}
    for name, t in tasks.items():
        if t.cancelled():
            exc = None
            try:
                t.result()
            except asyncio.CancelledError as e:
                exc = body_error(e)
            # The first result() call may have been taken by a dependent.
            message = str(exc) if exc is not None else ""
            after = next(a for n, a, _, _ in plan if n == name)
            assert message in ("", f"Predecessor {after!r} failed")
            got[name] = ("cancelled", after)
        elif t.exception() is not None:
            got[name] = ("error", None)
        else:
            got[name] = ("ok", t.result())
    return got, p, jobs
