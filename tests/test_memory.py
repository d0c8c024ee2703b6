"""Memory and reference counts of every public operation, success and error paths.

Each case runs one call many times and checks that nothing grows:

- the Python heap (tracemalloc) ends where it started, within a few KiB,
  whatever the number of calls;
- the process RSS and the bytes in use in the C allocator end where they
  started, within small bounds (these see what the C++ side allocates
  outside the Python allocators; the second also a leak that RSS would hide
  in holes the heap already had);
- every input object, everything inside a container input, and the cached
  objects a call may hand out or look up (prompt constants, interned keys,
  field values) has the reference count it had before.

One row of CASES is one case; async cases (the queue) run in one event loop
per test. The loops are sized with the `scaled` fixture, so the sanitizer run
can shrink them.
"""

import array
import asyncio
import copy
import ctypes
import dataclasses
import decimal
import fractions
import gc
import logging
import os
import pickle
import sys
import threading
import tracemalloc
import types
import weakref
from collections import OrderedDict
from collections.abc import Mapping

import numpy as np
import pytest
from hostile import BadStr, Boom, Faulty, Quiet, Record

from quorvane._internal import (
    brevick,
    calvendry,
    consolidation,
    evolution,
    journal,
    mirrandel,
    ostrel,
    trellan,
)
from quorvane._internal.brevick import Brevick

pytestmark = [pytest.mark.stress, pytest.mark.filterwarnings("error")]

# Calls per case: a cheap call, a call that raises (an exception and its
# traceback cost a few microseconds), a turn of the event loop. Even the
# smallest leak, one allocation per call, moves the bounds below by far more
# than they allow.
CHEAP_CALLS = 100_000
ERROR_CALLS = 20_000
ASYNC_CALLS = 3_000
TRACED_BOUND = 4 * 1024
ASYNC_TRACED_BOUND = 64 * 1024
# Between traced calls the run holds strs of these lengths, which fill the
# allocator's size classes that attribute names take (64 to 128 bytes).
SPACER_LENGTHS = (10, 26, 42, 58, 74)
RUN_TIMEOUT = 120.0
RSS_BOUND = 256 * 1024
# Thread.join() returns once the thread's Python state is gone, a moment
# before the OS thread has exited; a thread started in that moment finds the
# C allocator's arena still taken and gets a new one, which stays mapped.
# That is a one-off step of some hundreds of KiB, not growth, and the C heap
# measure still sees a leak on those threads.
THREAD_RSS_BOUND = 4 * 1024 * 1024
SANITIZED_TRACED_BOUND = 128 * 1024
MALLOC_BOUND = 16 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
# Objects the interpreter shares process-wide (the singletons, its cached
# small ints, the empty str and tuple, one-character Latin-1 strs): their
# counts move with whatever else runs (the collector, tracemalloc, a loop).
SINGLETONS = {
    id(x)
    for x in (
        None,
        True,
        False,
        Ellipsis,
        NotImplemented,
        (),
        "",
        *range(-5, 257),
        *map(chr, range(256)),
    )
}


@dataclasses.dataclass
class Case:
    name: str
    fn: object
    args: tuple = ()
    kwargs: dict = dataclasses.field(default_factory=dict)
    raises: type | tuple | None = None
    n: int = 100_000
    watch: tuple = ()
    traced_bound: int = TRACED_BOUND
    debug: bool = False
    spaced: bool = True


def case(name, fn, *args, raises=None, n=None, watch=(), debug=False, spaced=True, **kwargs):
    """One row: fn(*args, **kwargs) run n times (by default as many as take
    about a tenth of a second), raising `raises` each time if given; an async
    fn on an event loop in debug mode if `debug`; its traced calls spaced
    apart (see growth) unless `spaced` is false."""
    is_async = asyncio.iscoroutinefunction(fn)
    if n is None:
        n = ASYNC_CALLS if is_async else ERROR_CALLS if raises else CHEAP_CALLS
    # A run of event-loop turns moves the interpreter's free lists (contexts,
    # future iterators, frames) and the loop's queues by up to some tens of
    # KiB, growing ever more slowly, with no queue at all as with one; such a
    # case runs all its calls under tracemalloc, so a leak of one small object
    # a call still ends far past the larger bound.
    bound = ASYNC_TRACED_BOUND if is_async else TRACED_BOUND
    return pytest.param(
        Case(name, fn, args, kwargs, raises, n, tuple(watch), bound, debug, spaced), id=name
    )


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


libc = ctypes.CDLL(None)
mallinfo2 = getattr(libc, "mallinfo2", None)
if mallinfo2 is not None:
    mallinfo2.restype = MallInfo2
    mallinfo2.argtypes = []


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back, on every thread's
    arena (glibc 2.33+; None elsewhere). RSS can miss a leak that fills holes
    the heap already had; this cannot."""
    if mallinfo2 is None:
        return None
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def watched_objects(c):
    """The inputs, what they hold (a few levels down) and the case's own extras,
    each once."""
    seen = {}

    def add(obj, depth):
        if id(obj) in seen:
            return
        seen[id(obj)] = obj
        if depth == 0:
            return
        if isinstance(obj, (list, tuple, set, frozenset)):
            items = list(obj)
        elif isinstance(obj, Mapping):
            items = [x for kv in obj.items() for x in kv]
        elif dataclasses.is_dataclass(obj) and not isinstance(obj, type):
            items = [getattr(obj, f.name) for f in dataclasses.fields(obj)]
        else:
            return
        for item in items:
            add(item, depth - 1)

    for obj in (c.fn, *c.args, *c.kwargs.keys(), *c.kwargs.values(), *c.watch):
        add(obj, 4)
    # Process-wide singletons change with everything the interpreter does.
    return [o for o in seen.values() if id(o) not in SINGLETONS]


def refcounts(objs):
    # The interpreter's attribute cache holds references to the names it has
    # seen; empty it so that only the calls under test move a count. The counts
    # are kept as machine integers: a list of ints would itself hold references
    # to the small ints it contains, some of which are watched.
    sys._clear_type_cache()
    return array.array("q", (sys.getrefcount(o) for o in objs))


def make_runner(c, loop):
    """run(n, held=None) calls the case n times; given a list `held`, it adds
    a few small strs to it after each call."""
    fn, args, kwargs = c.fn, c.args, c.kwargs
    raises = c.raises or ()  # catches nothing

    def space(held):
        if held is not None:
            held.extend("." * k for k in SPACER_LENGTHS)

    if asyncio.iscoroutinefunction(fn):

        async def many(n, held):
            for _ in range(n):
                await fn(*args, **kwargs)
                space(held)

        # A task that never finishes fails the case instead of hanging the
        # run. One timer for the whole run: a timer per call would leave
        # cancelled timers piling up in the loop's heap between its clean-ups,
        # tens of KiB that are the loop's and not the queue's.
        return lambda n, held=None: loop.run_until_complete(
            asyncio.wait_for(many(n, held), RUN_TIMEOUT)
        )

    def run(n, held=None):
        for _ in range(n):
            try:
                fn(*args, **kwargs)
            except raises:
                pass
            else:
                if raises:
                    raise AssertionError(f"{c.name}: no {raises}")
            space(held)

    return run


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Move everything alive now out of the collector's reach: the collections
    each case runs then walk only what the case made, not the whole test
    session."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def drop_record(record):
    return False


@pytest.fixture
def quiet_loggers():
    """The evolution parser logs a warning per unusable reply. A filter on the
    logger drops each record once it is made, before any handler (pytest adds
    capturing ones, which would keep them all) sees it."""
    loggers = (evolution.logger, trellan.logger)
    for logger in loggers:
        assert logger.isEnabledFor(logging.WARNING)
        logger.addFilter(drop_record)
    yield
    for logger in loggers:
        logger.removeFilter(drop_record)


def shut_down(loop):
    pending = asyncio.all_tasks(loop)
    for task in pending:
        task.cancel()
    if pending:
        loop.run_until_complete(asyncio.wait(pending))
    loop.run_until_complete(asyncio.sleep(0))
    loop.close()


# ---------------------------------------------------------------------------
# brevick

FIELD_NAMES = tuple(f.name for f in dataclasses.fields(Brevick))
FACTORIES = (
    "balanced",
    "for_research",
    "for_coding_assistant",
    "for_consumer_support",
    "for_strategic_advisors",
    "for_lightweight_local",
)
# The field values the factories hand out, shared by every profile they build.
FACTORY_VALUES = tuple(getattr(getattr(Brevick, f)(), n) for f in FACTORIES for n in FIELD_NAMES)
PROFILE = Brevick.for_coding_assistant()
OTHER = Brevick.for_research()
POSITIONAL = tuple(getattr(OTHER, n) for n in FIELD_NAMES)
CHANGES = {
    "decay_factor": 0.5,
    "archive_days": 365,
    "dream_evolve_style_guidance": "Keep it short.",
    "enable_fact_extraction": True,
    "weaken_days": 2**70,
}
CONVERTED = {
    "decay_factor": fractions.Fraction(1, 3),
    "coherence_threshold": 3,
    "weaken_days": np.int64(12),
    "entropy_volume_cap": decimal.Decimal("2.5"),
}
BAD_VALUE = {"decay_factor": 0.5, "archive_days": "many"}


class Unreal:
    """A number whose conversion fails."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __index__(self):
        raise ArithmeticError("no index")


RAISING_VALUE = {"decay_factor": 0.5, "coherence_threshold": Unreal()}
MAPPING_PROXY = types.MappingProxyType(CHANGES)


def read_fields(p):
    for name in FIELD_NAMES:
        getattr(p, name)


def set_field(p):
    p.decay_factor = 0.1


def del_field(p):
    del p.decay_factor


def set_new_attr(p):
    p.anything = 1


def pickle_round_trip(p):
    pickle.loads(pickle.dumps(p, protocol=pickle.HIGHEST_PROTOCOL))


def weak_round_trip(p):
    weakref.ref(p)()


NAN_PROFILE = Brevick(decay_factor=float("nan"), weaken_days=-(2**90))


def hash_fresh_nan():
    hash(brevick.replace(NAN_PROFILE, archive_days=1))


def hash_fresh():
    hash(Brevick(decay_factor=0.5))


def match_args(p):
    match p:
        case Brevick(salience_reinforcement_weight=w, decay_factor=d):
            return w, d


BREVICK_CASES = [
    case("brevick.new_default", Brevick, watch=FACTORY_VALUES),
    case("brevick.new_keywords", Brevick, watch=FIELD_NAMES, **CHANGES),
    case("brevick.new_converted", Brevick, watch=FIELD_NAMES, **CONVERTED),
    case("brevick.new_positional", Brevick, *POSITIONAL, n=50_000),
    *(
        case(f"brevick.{f}", getattr(Brevick, f), watch=FACTORY_VALUES + (getattr(Brevick, f),))
        for f in FACTORIES
    ),
    case("brevick.read_fields", read_fields, PROFILE, n=20_000, watch=FIELD_NAMES),
    case("brevick.eq_same", PROFILE.__eq__, Brevick.for_coding_assistant()),
    case("brevick.eq_other", PROFILE.__eq__, OTHER),
    case("brevick.eq_foreign", PROFILE.__eq__, "profile"),
    case("brevick.hash", hash, PROFILE),
    case("brevick.hash_fresh", hash_fresh),
    case("brevick.eq_nan", NAN_PROFILE.__eq__, brevick.replace(NAN_PROFILE)),
    case("brevick.hash_nan", hash_fresh_nan),
    case("brevick.dunder_new", Brevick.__new__, Brevick, **CHANGES),
    case("brevick.repr", repr, PROFILE, n=20_000, watch=FACTORY_VALUES),
    case("brevick.replace_keywords", brevick.replace, PROFILE, watch=FIELD_NAMES, **CHANGES),
    case("brevick.replace_mapping", brevick.replace, PROFILE, CHANGES, watch=FIELD_NAMES),
    case("brevick.replace_proxy", brevick.replace, PROFILE, MAPPING_PROXY),
    case("brevick.replace_nothing", brevick.replace, PROFILE),
    case("brevick.dunder_replace", PROFILE.__replace__, **CHANGES),
    case("brevick.dataclasses_replace", dataclasses.replace, PROFILE, n=20_000, **CHANGES),
    case("brevick.dataclasses_fields", dataclasses.fields, PROFILE),
    case("brevick.dataclasses_asdict", dataclasses.asdict, PROFILE, n=5_000),
    case("brevick.dataclasses_astuple", dataclasses.astuple, PROFILE, n=5_000),
    # The unpickler looks the class up by names it reads afresh from the
    # stream: each spaced call leaves the interpreter's cache a new copy.
    case("brevick.pickle", pickle_round_trip, PROFILE, n=20_000, spaced=False),
    case("brevick.reduce", PROFILE.__reduce__),
    case("brevick.copy", copy.copy, PROFILE),
    case("brevick.deepcopy", copy.deepcopy, PROFILE, n=10_000),
    case("brevick.weakref", weak_round_trip, PROFILE),
    case("brevick.match", match_args, PROFILE),
    case("brevick.set_field", set_field, PROFILE, raises=dataclasses.FrozenInstanceError),
    case("brevick.del_field", del_field, PROFILE, raises=dataclasses.FrozenInstanceError),
    case("brevick.set_new_attr", set_new_attr, PROFILE, raises=dataclasses.FrozenInstanceError),
    case("brevick.new_unknown_name", Brevick, raises=TypeError, decay_factor=0.5, nope=1),
    case("brevick.new_bad_value", Brevick, raises=TypeError, watch=FIELD_NAMES, **BAD_VALUE),
    case("brevick.new_bool", Brevick, weaken_days=True, decay_factor=False),
    case("brevick.new_bad_truth", Brevick, raises=TypeError, enable_fact_extraction=1),
    case("brevick.new_bad_text", Brevick, raises=TypeError, dream_evolve_style_guidance=3),
    case("brevick.new_too_many", Brevick, *POSITIONAL, 1.0, raises=TypeError),
    case(
        "brevick.new_twice",
        Brevick,
        0.1,
        raises=TypeError,
        salience_reinforcement_weight=0.2,
    ),
    case("brevick.new_overflow_float", Brevick, raises=OverflowError, decay_factor=10**400),
    case("brevick.factory_args", Brevick.balanced, 1, raises=TypeError),
    case("brevick.replace_unknown", brevick.replace, PROFILE, {"nope": 1}, raises=TypeError),
    case("brevick.replace_unknown_kw", brevick.replace, PROFILE, raises=TypeError, nope=1),
    case("brevick.replace_bad_value", brevick.replace, PROFILE, BAD_VALUE, raises=TypeError),
    case(
        "brevick.replace_raising_value",
        brevick.replace,
        PROFILE,
        RAISING_VALUE,
        raises=ArithmeticError,
    ),
    case("brevick.new_raising_value", Brevick, raises=ArithmeticError, weaken_days=Unreal()),
    case("brevick.replace_bad_key", brevick.replace, PROFILE, {1: 2}, raises=TypeError),
    case("brevick.replace_both", brevick.replace, PROFILE, CHANGES, raises=TypeError, x=1),
    case("brevick.replace_not_mapping", brevick.replace, PROFILE, [1], raises=TypeError),
    case("brevick.replace_not_profile", brevick.replace, CHANGES, raises=TypeError),
    case("brevick.dunder_replace_unknown", PROFILE.__replace__, raises=TypeError, nope=1),
]


# ---------------------------------------------------------------------------
# consolidation and journal


class Text(str):
    def __str__(self):
        return "never used"


def memory(content, **extra):
    return {
        "content": content,
        "event_type": "feedback",
        "created_at": "2026-11-01T10:00:00Z",
        **extra,
    }


NESTED = {"tool": "search", "hits": 3, "ratio": 0.25, "tags": ["a", "é", None, True], "n": {}}
MEMORIES = [
    memory("User prefers short answers."),
    memory(NESTED, salience=0.8),
    memory(42, salience=None),
    memory(Quiet(), salience="high"),
    memory(Text("a str subclass ✓"), salience=1),
    memory({"when": decimal.Decimal("1.5"), 3: 1.5e300, 2.5: float("nan")}),
    OrderedDict(memory("ordered")),
    Record(**memory("a record mapping", salience=0.1)),
]
cyclic = {"a": 1}
cyclic["self"] = cyclic
deep = {}
node = deep
for _ in range(50):
    node["d"] = node = {}

too_deep = []
node = too_deep
for _ in range(sys.getrecursionlimit() + 100):
    node.append({"d": (node := [])})


MEMORY_KEYS = tuple(sys.intern(k) for k in ("content", "event_type", "created_at", "salience"))
MISSING_CONTENT = [memory("ok"), {"event_type": "x", "created_at": "y"}]
MISSING_CREATED = [{"content": "x", "event_type": "y", "salience": 0.5}]
REPLIES = (
    "plain",
    '  ```\n"Short answers win."\n```  ',
    "```text\nfenced with a tag ✓\n```",
    '"only quotes"',
    "",
    "```",
    "\u2028\u3000 wide space \x85",
)


def parse_all(parse, replies):
    for r in replies:
        parse(r)


def memory_cases(mod, build, parse, system):
    prefix = mod.__name__.rsplit(".", 1)[1]
    extras = (system, *MEMORY_KEYS)
    return [
        case(f"{prefix}.build", build, MEMORIES, n=20_000, watch=extras),
        case(f"{prefix}.build_deep", build, [memory(deep)], n=10_000, watch=extras),
        case(f"{prefix}.build_empty", build, [], watch=extras),
        case(f"{prefix}.build_not_list", build, tuple(MEMORIES), raises=TypeError),
        case(f"{prefix}.build_not_mapping", build, [memory("x"), "y"], raises=TypeError),
        case(f"{prefix}.build_missing", build, MISSING_CONTENT, raises=KeyError, watch=extras),
        case(f"{prefix}.build_missing_last", build, MISSING_CREATED, raises=KeyError, watch=extras),
        case(f"{prefix}.build_bad_key", build, [memory({(1, 2): 3})], raises=TypeError),
        case(f"{prefix}.build_cycle", build, [memory(cyclic)], raises=ValueError),
        case(
            f"{prefix}.build_too_deep",
            build,
            [memory({"deep": too_deep})],
            raises=RecursionError,
            n=100,
        ),
        case(f"{prefix}.build_lookup_raises", build, [Faulty(**memory("x"))], raises=Boom),
        case(f"{prefix}.build_str_raises", build, [memory(BadStr())], raises=Boom),
        case(f"{prefix}.build_json_raises", build, [memory({"x": BadStr()})], raises=Boom),
        case(f"{prefix}.build_no_args", build, raises=TypeError),
        case(f"{prefix}.parse", parse_all, parse, REPLIES, n=20_000),
        case(f"{prefix}.parse_not_str", parse, b"bytes", raises=TypeError),
    ]


MEMORY_CASES = memory_cases(
    consolidation,
    consolidation.build_consolidation_prompt,
    consolidation.parse_consolidation_output,
    consolidation._CONSOLIDATION_SYSTEM,
) + memory_cases(
    journal, journal.build_journal_prompt, journal.parse_journal_output, journal._JOURNAL_SYSTEM
)


# ---------------------------------------------------------------------------
# evolution

INSIGHTS = [
    {"id": "ins-1", "text": "Refund requests repeat when the policy is unclear."},
    {"id": 7, "text": Quiet(), "extra": [1, 2]},
    Record(id="ins-{3}", text="Braces {stay} as they are ✓"),
]
DIRECTIVES = ["Be concise.", Text("subclass"), 3.5, "{max_per_cycle}"]
IDS = frozenset({"ins-1", "ins-2", "ins-9"})
GOOD_REPLY = (
    '```json\n{"proposed": [{"text": "  Quote the refund rule first.  ", '
    '"source_insight_id": "ins-1"}, {"text": "Esc\\u00e9aped \\"x\\"\\ud800", '
    '"source_insight_id": "unknown"}, {"text": "   "}, {"text": 3}, 7, '
    '{"text": "no id"}], "other": [1, 2.5e10, null, true]}\n```'
)
WARNING_REPLIES = (
    "not json at all",
    "[1, 2, 3]",
    '{"proposed": {"text": "x"}}',
    "[" * 600 + "]" * 600,
    '{"proposed": [1, 2], "x": "\\ud83d"',
    "",
)


def parse_warnings(ids):
    for reply in WARNING_REPLIES:
        evolution.parse_evolution_output(reply, ids)


EVOLUTION_CASES = [
    case(
        "evolution.build",
        evolution.build_evolution_prompt,
        INSIGHTS,
        DIRECTIVES,
        3,
        "Use plain words.",
        n=30_000,
        watch=(evolution._EVOLUTION_SYSTEM, "id", "text", "role", "content"),
    ),
    case(
        "evolution.build_keywords",
        evolution.build_evolution_prompt,
        insights=INSIGHTS,
        directives=[],
        max_per_cycle=2**80,
        style_guidance=None,
        n=30_000,
    ),
    case(
        "evolution.build_blank_style",
        evolution.build_evolution_prompt,
        [],
        DIRECTIVES,
        1,
        " \t",
        n=30_000,
    ),
    case(
        "evolution.build_insights_not_list",
        evolution.build_evolution_prompt,
        tuple(INSIGHTS),
        DIRECTIVES,
        3,
        raises=TypeError,
    ),
    case(
        "evolution.build_directives_not_list",
        evolution.build_evolution_prompt,
        INSIGHTS,
        "Be concise.",
        3,
        raises=TypeError,
    ),
    case(
        "evolution.build_max_not_int",
        evolution.build_evolution_prompt,
        INSIGHTS,
        DIRECTIVES,
        "3",
        raises=TypeError,
    ),
    case(
        "evolution.build_style_not_str",
        evolution.build_evolution_prompt,
        INSIGHTS,
        DIRECTIVES,
        3,
        b"style",
        raises=TypeError,
    ),
    case(
        "evolution.build_missing_text",
        evolution.build_evolution_prompt,
        [{"id": "ins-1"}],
        DIRECTIVES,
        3,
        raises=KeyError,
        watch=("text",),
    ),
    case(
        "evolution.build_missing_id",
        evolution.build_evolution_prompt,
        [INSIGHTS[0], {"text": "t"}],
        DIRECTIVES,
        3,
        raises=KeyError,
        watch=("id",),
    ),
    case(
        "evolution.build_str_raises",
        evolution.build_evolution_prompt,
        [{"id": BadStr(), "text": "t"}],
        [],
        3,
        raises=Boom,
    ),
    case(
        "evolution.build_insight_not_mapping",
        evolution.build_evolution_prompt,
        ["ins-1"],
        [],
        3,
        raises=TypeError,
    ),
    case(
        "evolution.parse",
        evolution.parse_evolution_output,
        GOOD_REPLY,
        IDS,
        n=50_000,
        watch=("text", "source_insight_id", "proposed", "ins-1"),
    ),
    case("evolution.parse_set", evolution.parse_evolution_output, GOOD_REPLY, set(IDS), n=50_000),
    case(
        "evolution.parse_subclass_ids",
        evolution.parse_evolution_output,
        GOOD_REPLY,
        frozenset({Text("ins-1"), Text("ins-0")}),
        n=50_000,
    ),
    case(
        "evolution.parse_no_ids",
        evolution.parse_evolution_output,
        '{"proposed": [{"text": "a"}]}',
        frozenset(),
    ),
    case("evolution.parse_warnings", parse_warnings, IDS, n=5_000),
    case("evolution.parse_not_str", evolution.parse_evolution_output, 1, IDS, raises=TypeError),
    case(
        "evolution.parse_ids_list",
        evolution.parse_evolution_output,
        GOOD_REPLY,
        ["ins-1"],
        raises=TypeError,
    ),
    case(
        "evolution.parse_ids_not_str",
        evolution.parse_evolution_output,
        GOOD_REPLY,
        frozenset({"ins-1", 2}),
        raises=TypeError,
    ),
]


# ---------------------------------------------------------------------------
# mirrandel

DIRECTIVE_TEXTS = (
    "Quote the REFUND rule first.",
    "Nothing matches here at all, just a long sentence with no keyword in it.",
    "\u0130ç\u212a Ünïcode without a keyword ✓ 😀",
    "",
)


def classify_all(texts):
    for t in texts:
        mirrandel.classify_directive_domain(t)


MIRRANDEL_CASES = [
    case(
        "mirrandel.classify",
        classify_all,
        DIRECTIVE_TEXTS,
        n=50_000,
        watch=(*mirrandel.DIRECTIVE_DOMAINS, mirrandel.DOMAIN_GENERAL),
    ),
    case("mirrandel.classify_not_str", mirrandel.classify_directive_domain, 3, raises=TypeError),
]


# ---------------------------------------------------------------------------
# ostrel

VEC = [0.5, -1.25, 3, np.float64(2.0), fractions.Fraction(1, 3), decimal.Decimal("0.1")]
VEC2 = (1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
F64 = np.linspace(0.0, 1.0, 64)
F32 = np.linspace(1.0, 2.0, 64, dtype=np.float32)
STRIDED = np.linspace(0.0, 1.0, 128)[::2]
ARR_D = array.array("d", F64.tolist())
ARR_F = array.array("f", F32.tolist())
VIEW = memoryview(ARR_D)
TURNS = [("planner", "Refunds over 100 EUR:\n  human review?"), ("billing", "Yes,\u3000routed.")]
VERDICTS = (
    "converged | Refunds go to review.",
    "OPEN|",
    "open | still | arguing\nmore",
    "no pipe at all",
    "  Converged|  ",
    "ﬃ|x",
)


def verdict_all(texts):
    for t in texts:
        ostrel.parse_convergence_verdict(t)


OSTREL_CASES = [
    case("ostrel.cosine_lists", ostrel.cosine_similarity, VEC, list(VEC2), n=50_000),
    case("ostrel.cosine_tuples", ostrel.cosine_similarity, VEC2, VEC2),
    case("ostrel.cosine_empty", ostrel.cosine_similarity, [], ()),
    case("ostrel.cosine_zero", ostrel.cosine_similarity, [0.0], [1.0]),
    case("ostrel.cosine_numpy64", ostrel.cosine_similarity, F64, F64),
    case("ostrel.cosine_numpy32", ostrel.cosine_similarity, F32, F32[::-1]),
    case("ostrel.cosine_strided", ostrel.cosine_similarity, STRIDED, F64),
    case("ostrel.cosine_array_d", ostrel.cosine_similarity, ARR_D, F64),
    case("ostrel.cosine_array_f", ostrel.cosine_similarity, ARR_F, list(VEC2) * 10 + [1.0] * 4),
    case("ostrel.cosine_memoryview", ostrel.cosine_similarity, VIEW, ARR_D),
    case("ostrel.cosine_length", ostrel.cosine_similarity, F64, F32[:3], raises=ValueError),
    case("ostrel.cosine_length_lists", ostrel.cosine_similarity, VEC, VEC2[:2], raises=ValueError),
    case(
        "ostrel.cosine_str_item", ostrel.cosine_similarity, [1.0, "2"], VEC2[:2], raises=TypeError
    ),
    case("ostrel.cosine_none_item", ostrel.cosine_similarity, VEC2, [None] * 6, raises=TypeError),
    case("ostrel.cosine_complex", ostrel.cosine_similarity, [1j], [1.0], raises=TypeError),
    case(
        "ostrel.cosine_overflow", ostrel.cosine_similarity, [10**400], [1.0], raises=OverflowError
    ),
    case(
        "ostrel.cosine_int_buffer",
        ostrel.cosine_similarity,
        array.array("i", [1]),
        [1.0],
        raises=TypeError,
    ),
    case("ostrel.cosine_2d", ostrel.cosine_similarity, np.ones((2, 2)), F64[:4], raises=TypeError),
    case("ostrel.cosine_bytes", ostrel.cosine_similarity, b"abcdefgh", [1.0], raises=TypeError),
    case("ostrel.cosine_not_vector", ostrel.cosine_similarity, 3.0, [1.0], raises=TypeError),
    case(
        "ostrel.prompt",
        ostrel.build_convergence_prompt,
        TURNS,
        n=50_000,
        watch=(ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT,),
    ),
    case("ostrel.prompt_tuple_of_lists", ostrel.build_convergence_prompt, tuple(map(list, TURNS))),
    case("ostrel.prompt_empty", ostrel.build_convergence_prompt, []),
    case("ostrel.prompt_not_list", ostrel.build_convergence_prompt, iter(TURNS), raises=TypeError),
    case("ostrel.prompt_turn_str", ostrel.build_convergence_prompt, ["ab"], raises=TypeError),
    case(
        "ostrel.prompt_turn_len",
        ostrel.build_convergence_prompt,
        [("a", "b", "c")],
        raises=ValueError,
    ),
    case("ostrel.prompt_sender_int", ostrel.build_convergence_prompt, [(1, "b")], raises=TypeError),
    case(
        "ostrel.prompt_content_bytes",
        ostrel.build_convergence_prompt,
        [("a", b"b")],
        raises=TypeError,
    ),
    case("ostrel.verdict", verdict_all, VERDICTS, n=50_000),
    case("ostrel.verdict_not_str", ostrel.parse_convergence_verdict, None, raises=TypeError),
]


# ---------------------------------------------------------------------------
# calvendry


@dataclasses.dataclass
class Row:
    content: object
    team_score: object


class NoScore:
    content = "x"


class NoContent:
    team_score = 0.5


ROWS = [
    Row("The FAQ link cuts repeat tickets.", 0.91),
    Row("Refunds spike after pricing changes.", 0.82),
    Row(Text("subclass ✓"), 1),
    Row(Quiet(), float("nan")),
    Row({"structured": [1, 2]}, np.float32(0.5)),
    Row("tie", 0.82),
    Row("negative", -0.0005),
]
PROMPT = calvendry.build_calvendry_prompt(ROWS)

CALVENDRY_CASES = [
    case(
        "calvendry.prompt",
        calvendry.build_calvendry_prompt,
        ROWS,
        n=30_000,
        watch=("team_score", "content"),
    ),
    case("calvendry.prompt_empty", calvendry.build_calvendry_prompt, []),
    case(
        "calvendry.prompt_not_list", calvendry.build_calvendry_prompt, tuple(ROWS), raises=TypeError
    ),
    case(
        "calvendry.prompt_score_str",
        calvendry.build_calvendry_prompt,
        [*ROWS, Row("x", "0.5")],
        raises=TypeError,
    ),
    case(
        "calvendry.prompt_no_score",
        calvendry.build_calvendry_prompt,
        [*ROWS, NoScore()],
        raises=AttributeError,
    ),
    case(
        "calvendry.prompt_no_content",
        calvendry.build_calvendry_prompt,
        [*ROWS, NoContent()],
        raises=AttributeError,
    ),
    case(
        "calvendry.prompt_overflow",
        calvendry.build_calvendry_prompt,
        [*ROWS, Row("x", 10**400)],
        raises=OverflowError,
    ),
    case(
        "calvendry.prompt_str_raises",
        calvendry.build_calvendry_prompt,
        [*ROWS, Row(BadStr(), 0.1)],
        raises=Boom,
    ),
    case("calvendry.hash", calvendry.compute_prompt_hash, PROMPT),
    case("calvendry.hash_ascii", calvendry.compute_prompt_hash, "plain ascii prompt"),
    case(
        "calvendry.hash_not_str", calvendry.compute_prompt_hash, PROMPT.encode(), raises=TypeError
    ),
    case(
        "calvendry.hash_surrogate",
        calvendry.compute_prompt_hash,
        "a\ud800b",
        raises=UnicodeEncodeError,
    ),
]


# ---------------------------------------------------------------------------
# trellan


async def job():
    return 1


async def failing_job():
    raise RuntimeError("job failed")


async def forever():
    await asyncio.Event().wait()


async def settle():
    for _ in range(3):
        await asyncio.sleep(0)


async def submit_and_wait(q, name):
    q.submit(name, job())
    await q.wait_all()
    await settle()
    assert q.active_count == 0


async def submit_chain(q, first, second):
    q.submit(first, job())
    q.submit(second, job(), after=first)
    await q.wait_all(timeout=None)
    await settle()


async def predecessor_failed(q, first, second):
    a = q.submit(first, failing_job())
    b = q.submit(second, job(), after=first)
    await q.wait_all()
    await settle()
    assert isinstance(a.exception(), RuntimeError)
    assert b.cancelled()


async def cancel_everything(q, first, second, third):
    # One job running, one waiting for it, one waiting for the only unit.
    q.submit(first, forever())
    q.submit(second, job(), after=first)
    q.submit(third, job())
    await settle()
    assert q.active_count == 3
    assert q.cancel_all() == 3
    await q.wait_all()
    await settle()
    assert q.active_count == 0


async def wait_with_timeout(q, name):
    q.submit(name, forever())
    await q.wait_all(0)
    await q.wait_all(timeout=fractions.Fraction(1, 10**6))
    q.cancel_all()
    await settle()


async def fresh_queue(name):
    q = trellan.Trellan(1)
    q.submit(name, forever())
    await settle()
    q.cancel_all()
    await settle()


async def keep_one(q, name):
    if name not in q._tasks:
        q.submit(name, forever())
        await settle()


async def duplicate(q, name):
    await keep_one(q, name)
    try:
        q.submit(name, job())
    except ValueError:
        pass
    else:
        raise AssertionError("no ValueError")


async def missing_predecessor(q, name, after):
    try:
        q.submit(name, job(), after=after)
    except ValueError:
        pass
    else:
        raise AssertionError("no ValueError")


async def bad_submit(q, name, after):
    coro = job()
    try:
        q.submit(name, coro, after=after)
    except TypeError:
        pass
    else:
        raise AssertionError("no TypeError")
    finally:
        coro.close()


async def cancel_before_start(q, name):
    t = q.submit(name, job())
    t.cancel()
    await settle()
    assert t.cancelled()
    assert q.active_count == 0


async def cancel_waiting_dependent(q, first, second):
    # Cancelling the dependent through its handle leaves the predecessor
    # running; the predecessor then finishes on its own.
    gate = asyncio.Event()
    a = q.submit(first, gate.wait())
    b = q.submit(second, job(), after=first)
    await settle()
    b.cancel()
    await settle()
    assert b.cancelled()
    assert not a.done()
    gate.set()
    await q.wait_all()
    await settle()
    assert q.active_count == 0


async def after_finished(q, first, second, job_fn):
    # The predecessor has finished but its completion callback has not run:
    # the dependent takes its outcome at once.
    a = q.submit(first, job_fn())
    await asyncio.sleep(0)
    assert a.done()
    assert first in q._tasks
    q.submit(second, job(), after=first)
    await q.wait_all()
    await settle()
    if not a.cancelled():
        a.exception()
    assert q.active_count == 0


async def active_count(q, name):
    await keep_one(q, name)
    for _ in range(100):
        assert q.active_count == 1


def submit_outside_loop(q, name):
    coro = job()
    try:
        q.submit(name, coro)
    finally:
        coro.close()


QUEUE_NAMES = ("consolidate", "evolve")
TRELLAN_CASES = [
    case("trellan.new_default", trellan.Trellan),
    case("trellan.new_int", trellan.Trellan, 5),
    case("trellan.new_float", trellan.Trellan, 2.7),
    case("trellan.new_zero", trellan.Trellan, 0, raises=ValueError),
    case("trellan.new_bool", trellan.Trellan, True),
    case("trellan.not_a_coroutine", trellan.Trellan().submit, "x", asyncio.sleep, raises=TypeError),
    case("trellan.new_str", trellan.Trellan, "2", raises=TypeError),
    case("trellan.submit", submit_and_wait, trellan.Trellan(), "consolidate"),
    case("trellan.submit_after", submit_chain, trellan.Trellan(1), *QUEUE_NAMES),
    case("trellan.predecessor_failed", predecessor_failed, trellan.Trellan(), *QUEUE_NAMES),
    case("trellan.cancel_all", cancel_everything, trellan.Trellan(1), *QUEUE_NAMES, "journal"),
    case("trellan.wait_timeout", wait_with_timeout, trellan.Trellan(), "consolidate"),
    case("trellan.fresh_queue", fresh_queue, "consolidate"),
    case("trellan.cancel_before_start", cancel_before_start, trellan.Trellan(), "consolidate"),
    case("trellan.cancel_dependent", cancel_waiting_dependent, trellan.Trellan(), *QUEUE_NAMES),
    case("trellan.after_succeeded", after_finished, trellan.Trellan(), *QUEUE_NAMES, job),
    case("trellan.after_failed", after_finished, trellan.Trellan(), *QUEUE_NAMES, failing_job),
    case("trellan.name_subclass", submit_and_wait, trellan.Trellan(), Text("consolidate")),
    case("trellan.wait_all_dropped", trellan.Trellan().wait_all, 1.5),
    # asyncio's debug mode checks every callback the queue hands the loop.
    case(
        "trellan.debug_submit",
        submit_and_wait,
        trellan.Trellan(),
        "consolidate",
        n=100,
        debug=True,
    ),
    case(
        "trellan.debug_predecessor_failed",
        predecessor_failed,
        trellan.Trellan(),
        *QUEUE_NAMES,
        n=100,
        debug=True,
    ),
    case(
        "trellan.debug_cancel_all",
        cancel_everything,
        trellan.Trellan(1),
        *QUEUE_NAMES,
        "journal",
        n=100,
        debug=True,
    ),
    case("trellan.duplicate", duplicate, trellan.Trellan(), "consolidate", n=20_000),
    case(
        "trellan.missing_predecessor",
        missing_predecessor,
        trellan.Trellan(),
        *QUEUE_NAMES,
        n=20_000,
    ),
    case("trellan.name_not_str", bad_submit, trellan.Trellan(), 1, None, n=20_000),
    case("trellan.after_not_str", bad_submit, trellan.Trellan(), "x", 2, n=20_000),
    case("trellan.active_count", active_count, trellan.Trellan(), "consolidate", n=2_000),
    case(
        "trellan.no_loop",
        submit_outside_loop,
        trellan.Trellan(),
        "consolidate",
        raises=RuntimeError,
    ),
    case("trellan.wait_all_bad_timeout", trellan.Trellan().wait_all, "1", raises=TypeError),
    case("trellan.cancel_all_empty", trellan.Trellan().cancel_all),
]


# ---------------------------------------------------------------------------
# Large inputs and threads
#
# Past 64 Ki code units the text work runs without the GIL; a result's
# buffers belong to the call that builds it, so a thread keeps nothing of a
# large build, and nothing at all once it ends.

BIG_TEXT = ("Ship it. The cafe\u0301 bill \u2713 came  \n\t back " * 3000).strip()
BIG_MEMORIES = [memory(BIG_TEXT, salience=0.9), memory({"log": BIG_TEXT, "n": list(range(500))})]
BIG_REPLY = (
    '{"proposed": ['
    + ", ".join(
        f'{{"text": "Rule {i} \\u00e9 {"x" * (i % 40)}", "source_insight_id": "ins-{i % 3}"}}'
        for i in range(1000)
    )
    + "]}"
)
BIG_F64 = np.linspace(-1.0, 1.0, 70_000)
BIG_ROWS = [
    Row(f"shared memory {i} " + "z" * (i % 50), (i * 7919 % 1000) / 1000) for i in range(4000)
]
BIG_TURNS = [("planner", BIG_TEXT), ("billing", BIG_TEXT.upper())]


def in_thread(fn, *args):
    t = threading.Thread(target=fn, args=args)
    t.start()
    t.join()


LARGE_CASES = [
    case(
        "large.consolidation_build",
        consolidation.build_consolidation_prompt,
        BIG_MEMORIES,
        n=1_000,
    ),
    case("large.journal_build", journal.build_journal_prompt, BIG_MEMORIES, n=1_000),
    case("large.consolidation_parse", consolidation.parse_consolidation_output, BIG_TEXT),
    case(
        "large.evolution_build",
        evolution.build_evolution_prompt,
        [{"id": f"ins-{i}", "text": BIG_TEXT[: 50 + i]} for i in range(200)],
        [BIG_TEXT],
        3,
        BIG_TEXT,
        n=1_000,
    ),
    case("large.evolution_parse", evolution.parse_evolution_output, BIG_REPLY, IDS, n=200),
    case("large.mirrandel", mirrandel.classify_directive_domain, BIG_TEXT, n=1_000),
    case("large.cosine_numpy", ostrel.cosine_similarity, BIG_F64, BIG_F64[::-1], n=3_000),
    case("large.cosine_list", ostrel.cosine_similarity, BIG_F64.tolist(), BIG_F64, n=300),
    case("large.convergence_prompt", ostrel.build_convergence_prompt, BIG_TURNS, n=300),
    case("large.verdict", ostrel.parse_convergence_verdict, "OPEN | " + BIG_TEXT, n=3_000),
    case("large.calvendry_prompt", calvendry.build_calvendry_prompt, BIG_ROWS, n=100),
    case("large.calvendry_hash", calvendry.compute_prompt_hash, BIG_TEXT, n=1_000),
    case(
        "thread.consolidation_build",
        in_thread,
        consolidation.build_consolidation_prompt,
        BIG_MEMORIES,
        n=500,
    ),
    case("thread.journal_build", in_thread, journal.build_journal_prompt, MEMORIES, n=1_000),
    case(
        "thread.evolution_build",
        in_thread,
        evolution.build_evolution_prompt,
        INSIGHTS,
        DIRECTIVES,
        3,
        n=1_000,
    ),
    case("thread.convergence_prompt", in_thread, ostrel.build_convergence_prompt, TURNS, n=1_000),
    case("thread.calvendry_prompt", in_thread, calvendry.build_calvendry_prompt, ROWS, n=1_000),
    case("thread.brevick_repr", in_thread, repr, PROFILE, n=1_000),
]


CASES = [
    *BREVICK_CASES,
    *MEMORY_CASES,
    *EVOLUTION_CASES,
    *MIRRANDEL_CASES,
    *OSTREL_CASES,
    *CALVENDRY_CASES,
    *TRELLAN_CASES,
    *LARGE_CASES,
]


def growth(c, n):
    """Run case c n times (after a warm-up) and report what grew: the watched
    objects whose reference count changed, process RSS, and, over a tenth of
    the calls under tracemalloc, the Python heap."""
    loop = asyncio.new_event_loop()
    if c.debug:
        loop.set_debug(True)
        loop.slow_callback_duration = 60.0  # a loaded machine is not a finding
    try:
        run = make_runner(c, loop)
        run(max(100, n // 20))
        watched = watched_objects(c)

        gc.collect()
        refs_before = refcounts(watched)
        rss_before, heap_before = rss(), malloc_in_use()
        run(n)
        gc.collect()
        rss_after, heap_after = rss(), malloc_in_use()
        refs_after = refcounts(watched)

        # Under tracemalloc every allocation costs several times as much; a
        # tenth of the calls still shows any object left behind per call.
        traced_n = n if c.traced_bound > TRACED_BOUND else max(n // 10, min(n, 2_000))
        tracemalloc.start()
        try:
            run(max(100, traced_n // 10))
            gc.collect()
            traced_before = tracemalloc.get_traced_memory()[0]
            # Spaced apart by the strs it holds until the end, each call's
            # short-lived objects sit at new addresses, so a cache that keys
            # on the object (a name made afresh for each call, say) keeps a
            # new entry every call instead of the same few.
            held = [] if c.spaced else None
            run(traced_n, held)
            del held
            gc.collect()
            traced_after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
    finally:
        shut_down(loop)

    changed = [
        (repr(o)[:60], b, a)
        for o, b, a in zip(watched, refs_before, refs_after, strict=True)
        if a != b
    ]
    heap = None if heap_before is None else heap_after - heap_before
    return changed, traced_after - traced_before, traced_n, rss_after - rss_before, heap


def problems(c, n, sanitized):
    changed, traced, traced_n, rss_growth, heap = growth(c, n)
    found = []
    if changed:
        found.append(f"reference counts changed over {n} calls: {changed}")
    # The sanitizer run is a twentieth of the size, too short to fill the
    # interpreter's caches (floats, dicts, frames) before measuring; they level
    # off at tens of KiB. The full-size run holds the tight bound.
    traced_bound = max(c.traced_bound, SANITIZED_TRACED_BOUND) if sanitized else c.traced_bound
    if traced > traced_bound:
        found.append(f"traced memory grew {traced} B over {traced_n} calls")
    rss_bound = THREAD_RSS_BOUND if c.name.startswith("thread.") else RSS_BOUND
    if not sanitized and rss_growth > rss_bound:
        found.append(f"RSS grew {rss_growth} B over {n} calls")
    if not sanitized and heap is not None and heap > MALLOC_BOUND:
        found.append(f"C heap grew {heap} B over {n} calls")
    return found


@pytest.mark.usefixtures("quiet_loggers")
@pytest.mark.parametrize("c", CASES)
def test_no_growth(c, scaled, sanitized):
    found = problems(c, scaled(c.n, floor=100), sanitized)
    assert not found, f"{c.name}: " + "; ".join(found)


# Calls that leak on purpose, one way each, to show that each measure sees
# its kind of leak at the sizes used above.
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
Py_IncRef = ctypes.pythonapi.Py_IncRef
Py_IncRef.argtypes = [ctypes.py_object]
kept = []


def leak_reference(x):
    Py_IncRef(x)


def leak_object(x):
    kept.append(bytearray(48))


def leak_malloc(x):
    libc.malloc(48)


@pytest.mark.parametrize(
    ("leak", "seen_as"),
    [
        (leak_reference, "reference counts"),
        (leak_object, "traced memory"),
        (leak_malloc, "C heap"),
    ],
)
def test_each_measure_sees_its_leak(leak, seen_as, sanitized):
    if seen_as == "C heap" and (sanitized or mallinfo2 is None):
        pytest.skip("needs glibc's own allocator")
    c = case("leak", leak, [object()], n=ERROR_CALLS).values[0]
    try:
        found = problems(c, c.n, sanitized)
    finally:
        kept.clear()
    assert [f for f in found if f.startswith(seen_as)], found
