"""Every pure function on eight threads at once.

The same shared inputs are handed to eight threads that call every function
of the seven pure modules in turn; each result must equal the one thread's
result. A second run adds a ninth thread that edits the shared lists, dicts
and arrays while the eight read them: every call must then give a result of
the documented shape or a documented error, never a crash or a SystemError.

Some inputs are long enough for the functions that let other threads run
while they scan a long text or two float buffers, and the interpreter is set
to switch threads as often as it can.
"""

import collections.abc
import json
import logging
import math
import random
import sys
import threading
import time

import numpy as np
import pytest
from support import same

from quorvane._internal import calvendry, consolidation, evolution, journal, mirrandel, ostrel
from quorvane._internal.brevick import Brevick, replace

pytestmark = pytest.mark.stress

THREADS = 8
# Longer than the texts and vectors that are scanned with the GIL held.
LONG = 100_000


class Row:
    def __init__(self, content, team_score):
        self.content, self.team_score = content, team_score


class Yielding:
    """Converts like a fixed text or number, but lets the other threads run
    first: a call that reads it is suspended in the middle of its work."""

    def __init__(self, text, number=0.5):
        self.text, self.number = text, number

    def __str__(self):
        time.sleep(0)
        return self.text

    def __float__(self):
        time.sleep(0)
        return self.number


def long_text(seed, alphabet):
    rnd = random.Random(seed)
    words = ["refund", "ship", "alpha", "beta", "gamma", "\u00e9t\u00e9", "\U0001f600", "x|y"]
    words += list(alphabet)
    out, size = [], 0
    while size < LONG:
        w = rnd.choice(words)
        out.append(w)
        size += len(w) + 1
    return rnd.choice([" ", "\n", "\t "]).join(out)


def shared_inputs():
    ascii_long = long_text(1, ["lorem", "ipsum"])
    wide_long = long_text(2, ["\u4e2d\u6587", "\u0130stanbul"])
    memories = [
        {"content": "short", "event_type": "note", "created_at": "2026-01-01", "salience": 0.5},
        {
            "content": {"k": [1, 2.5, None, "\u00fc"], "n": {"d": math.inf}},
            "event_type": "tool",
            "created_at": "2026-01-02",
        },
        {"content": ascii_long, "event_type": "note", "created_at": "2026-01-03", "salience": 1},
        {
            "content": {"nested": Yielding("from json")},
            "event_type": Yielding("yield"),
            "created_at": "2026-01-04",
            "salience": Yielding("0.75"),
        },
        {"content": Yielding(wide_long), "event_type": "e", "created_at": "2026-01-05"},
    ]
    insights = [{"id": f"ins-{i}", "text": f"insight {i} {{max_per_cycle}}"} for i in range(20)]
    directives = [f"Directive {i}" for i in range(30)] + [Yielding("yielding directive")]
    insights.append({"id": Yielding("ins-y"), "text": Yielding(ascii_long[:5000])})
    proposals = [
        {"text": f" proposal {i} ", "source_insight_id": f"ins-{i % 25}"} for i in range(50)
    ]
    proposals.append({"text": wide_long, "source_insight_id": "ins-3"})
    reply = "```json\n" + json.dumps({"proposed": proposals}) + "\n```"
    vec = np.random.default_rng(3).standard_normal(LONG)
    return {
        "ascii_long": ascii_long,
        "wide_long": wide_long,
        "memories": memories,
        "insights": insights,
        "directives": directives,
        "reply": reply,
        "bad_reply": "not json " + ascii_long[:1000],
        "ids": {f"ins-{i}" for i in range(20)},
        "va": vec,
        "vb": np.cos(vec),
        "vf32": vec.astype(np.float32)[::2],
        "la": list(vec[:5000]) + [Yielding("", 0.25)],
        "lb": [float(i % 7) for i in range(5001)],
        "turns": [("planner", ascii_long), ("billing", "ok  then\n"), ("qa", wide_long)],
        "rows": [Row(f"row {i}", (i * 37 % 11) / 10) for i in range(40)]
        + [Row(ascii_long[:2000], math.nan), Row("one", 1), Row(Yielding("y"), Yielding("", 0.3))],
        "changes": {
            "archive_days": 365,
            "decay_factor": Yielding("", 0.5),
            "dream_evolve_style_guidance": "x",
        },
        "verdict": "converged | " + wide_long,
        "keyword_last": "\u0130ndeed lorem " * (LONG // 14) + "ESCALATE",
        "profile": Brevick.for_research(),
    }


def calls(d):
    """(name, function of the shared inputs) for every pure entry point."""
    return [
        ("consolidation prompt", lambda: consolidation.build_consolidation_prompt(d["memories"])),
        ("consolidation reply", lambda: consolidation.parse_consolidation_output(d["ascii_long"])),
        ("journal prompt", lambda: journal.build_journal_prompt(d["memories"])),
        ("journal reply", lambda: journal.parse_journal_output(d["wide_long"])),
        (
            "evolution prompt",
            lambda: evolution.build_evolution_prompt(d["insights"], d["directives"], 3, " be x "),
        ),
        ("evolution reply", lambda: evolution.parse_evolution_output(d["reply"], d["ids"])),
        ("evolution bad reply", lambda: evolution.parse_evolution_output(d["bad_reply"], d["ids"])),
        ("classify ascii", lambda: mirrandel.classify_directive_domain(d["ascii_long"])),
        ("classify wide", lambda: mirrandel.classify_directive_domain(d["wide_long"])),
        ("classify tail", lambda: mirrandel.classify_directive_domain(d["keyword_last"])),
        ("cosine buffers", lambda: ostrel.cosine_similarity(d["va"], d["vb"])),
        ("cosine strided", lambda: ostrel.cosine_similarity(d["vf32"], d["vb"][: LONG // 2])),
        ("cosine lists", lambda: ostrel.cosine_similarity(d["la"], d["lb"])),
        ("convergence prompt", lambda: ostrel.build_convergence_prompt(d["turns"])),
        ("verdict", lambda: ostrel.parse_convergence_verdict(d["verdict"])),
        ("calvendry prompt", lambda: calvendry.build_calvendry_prompt(d["rows"])),
        ("hash", lambda: calvendry.compute_prompt_hash(d["wide_long"])),
        ("profile", lambda: Brevick(archive_days=10**30, decay_factor=0.25) == d["profile"]),
        ("replace", lambda: replace(d["profile"], d["changes"])),
        ("profile hash", lambda: hash(replace(d["profile"], decay_factor=2))),
    ]


@pytest.fixture
def frequent_switches():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    log = logging.getLogger("quorvane._internal.evolution")
    disabled, log.disabled = log.disabled, True
    yield
    sys.setswitchinterval(before)
    log.disabled = disabled


def run_threads(target, seconds, extra=()):
    """Start THREADS workers target(k, deadline) (and extra threads) together."""
    start = threading.Barrier(THREADS + len(extra))
    deadline = []

    def wrap(fn, k):
        start.wait()
        if not deadline:
            deadline.append(time.monotonic() + seconds)
        fn(k, deadline[0])

    threads = [threading.Thread(target=wrap, args=(target, k)) for k in range(THREADS)]
    threads += [threading.Thread(target=wrap, args=(fn, -1)) for fn in extra]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 120)
        assert not t.is_alive(), "a thread hangs"


@pytest.mark.usefixtures("frequent_switches")
def test_eight_threads_give_the_one_thread_results(scaled):
    d = shared_inputs()
    table = calls(d)
    expected = [fn() for _, fn in table]
    problems, counts = [], [0] * THREADS

    def worker(k, deadline):
        order = list(range(len(table)))
        random.Random(k).shuffle(order)
        while time.monotonic() < deadline:
            for i in order:
                name, fn = table[i]
                try:
                    got = fn()
                except BaseException as e:  # noqa: BLE001 - reported below
                    problems.append(f"{name}: raised {e!r}")
                    return
                if not same(got, expected[i]):
                    problems.append(f"{name}: differs from the one-thread result")
                    return
            counts[k] += 1

    run_threads(worker, scaled(1500, floor=200) / 1000)
    assert not problems, problems[:5]
    assert min(counts) >= 1, counts


# Per call: the result's kind and the errors an edited input may cause.
SHAPES = {
    "consolidation prompt": (tuple, (TypeError, KeyError, ValueError)),
    "consolidation reply": (str, ()),
    "journal prompt": (tuple, (TypeError, KeyError, ValueError)),
    "journal reply": (str, ()),
    "evolution prompt": (tuple, (TypeError, KeyError)),
    "evolution reply": (list, (TypeError,)),
    "evolution bad reply": (list, (TypeError,)),
    "classify ascii": (str, ()),
    "classify wide": (str, ()),
    "classify tail": (str, ()),
    "cosine buffers": (float, ()),
    "cosine strided": (float, ()),
    "cosine lists": (float, (TypeError, ValueError)),
    "convergence prompt": (str, (TypeError, ValueError)),
    "verdict": (tuple, ()),
    "calvendry prompt": (str, (TypeError, AttributeError, OverflowError)),
    "hash": (str, ()),
    "profile": (bool, ()),
    "replace": (Brevick, (TypeError,)),
    "profile hash": (int, ()),
}


class Hostile:
    """An element that edits a shared list when it is converted."""

    def __init__(self, victim):
        self.victim = victim

    def __str__(self):
        self.victim.clear()
        return "hostile"

    def __float__(self):
        self.victim.append(1.0)
        return 0.5


class Proxy(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def editor(d, stop):
    """Edit the shared inputs in place, in a random mix of ways, until stop is set."""
    rnd = random.Random(7)
    base = shared_inputs()
    edits = [
        lambda: d["memories"].append(dict(rnd.choice(base["memories"]))),
        lambda: d["memories"].clear(),
        lambda: d["memories"].extend([Proxy(base["memories"][0]), base["memories"][1]]),
        lambda: d["memories"] and d["memories"][0].pop("event_type", None),
        lambda: d["memories"] and d["memories"].__setitem__(0, Hostile(d["memories"])),
        lambda: d["memories"] and d["memories"][-1].update(content={"again": d["ascii_long"]}),
        lambda: d["insights"].append({"id": Hostile(d["insights"]), "text": "t"}),
        lambda: d["insights"].__setitem__(slice(None), base["insights"]),
        lambda: d["insights"] and d["insights"][0].pop("text", None),
        lambda: d["directives"].append(Hostile(d["directives"])),
        lambda: d["directives"].__setitem__(slice(None), base["directives"]),
        lambda: d["ids"].add(rnd.choice(["ins-1", "zz", 5])),
        lambda: d["ids"].discard(5),
        lambda: d["ids"].clear(),
        lambda: d["ids"].update(base["ids"]),
        lambda: d["va"].__setitem__(slice(None), base["vb"]),
        lambda: d["vb"].__setitem__(slice(0, 100), math.nan),
        lambda: d["la"].append(Hostile(d["la"])),
        lambda: d["la"].__setitem__(slice(None), base["la"]),
        lambda: d["lb"].__setitem__(rnd.randrange(100), rnd.choice([1, 2.5, "x", None])),
        lambda: d["lb"].__setitem__(slice(None), base["lb"]),
        lambda: d["turns"].append(("only one",)),
        lambda: d["turns"].__setitem__(0, ("s", "t" * rnd.randrange(LONG))),
        lambda: d["turns"].__setitem__(slice(None), base["turns"]),
        lambda: d["rows"].append(Row(Hostile(d["rows"]), Hostile(d["rows"]))),
        lambda: d["rows"] and setattr(d["rows"][0], "team_score", rnd.choice([1, "x", 2**2000])),
        lambda: d["rows"] and delattr(d["rows"][-1], "content"),
        lambda: d["rows"].__setitem__(slice(None), base["rows"]),
        lambda: d["changes"].update(archive_days=rnd.choice([1, 2.5, "x"])),
        lambda: d["changes"].pop("decay_factor", None),
        lambda: d["changes"].update(base["changes"]),
        lambda: d["memories"].__setitem__(slice(None), base["memories"]),
    ]
    while not stop.is_set():
        try:
            rnd.choice(edits)()
        except (AttributeError, IndexError):  # the readers edit too: a Hostile has no pop
            pass


@pytest.mark.usefixtures("frequent_switches")
def test_eight_threads_while_a_ninth_edits_the_inputs(scaled):
    d = shared_inputs()
    table = calls(d)
    # Calls on texts nobody edits keep their one-thread results.
    stable = {"consolidation reply", "journal reply", "classify ascii", "classify wide"}
    stable |= {"classify tail"}
    stable |= {"verdict", "hash", "evolution bad reply", "profile", "profile hash"}
    expected = {name: fn() for name, fn in table if name in stable}
    problems = []
    stop = threading.Event()

    def worker(k, deadline):
        rnd = random.Random(k)
        try:
            while time.monotonic() < deadline:
                name, fn = rnd.choice(table)
                kind, errors = SHAPES[name]
                try:
                    got = fn()
                except errors:
                    continue
                if not isinstance(got, kind):
                    problems.append(f"{name}: returned {type(got).__name__}")
                elif name in expected and not same(got, expected[name]):
                    problems.append(f"{name}: differs from the one-thread result")
        except BaseException as e:  # noqa: BLE001 - reported below
            problems.append(f"{name}: raised {e!r}")
        finally:
            if k == 0:
                stop.set()

    run_threads(worker, scaled(1500, floor=200) / 1000, extra=[lambda k, dl: editor(d, stop)])
    assert not problems, problems[:5]


def test_every_pure_call_is_covered():
    assert set(SHAPES) == {name for name, _ in calls(shared_inputs())}
