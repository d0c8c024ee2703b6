"""The text layer under the prompt builders: how a str value goes into a
prompt (subclasses, strs not yet "ready" on 3.10/3.11), large results built
in the per-thread buffers, what a thread keeps once a build is over, and the
whitespace folding's eight-units-at-a-time path."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from memory_prompts import memory
from memory_prompts import plain_message as shared_plain_message

from quorvane._internal import consolidation
from quorvane._internal.consolidation import build_consolidation_prompt, parse_consolidation_output
from quorvane._internal.evolution import build_evolution_prompt
from quorvane._internal.ostrel import build_convergence_prompt

HEAD = (
    "Below are {} memories captured by an AI agent. Identify the most significant "
    "pattern, insight, or connection.\n\nMemories:\n"
)


def message_of(memories):
    return build_consolidation_prompt(memories)[1][0]["content"]


def plain_message(memories):
    return shared_plain_message(memories, consolidation._CONSOLIDATION_USER)


# --- str subclasses ---------------------------------------------------------------


class Loud(str):
    """A str whose __str__ and __format__ say something else, and count calls."""

    calls = 0

    def __str__(self):
        Loud.calls += 1
        return "OVERRIDE"

    __format__ = lambda self, format_spec: "OVERRIDE"  # noqa: E731


class Raising(str):
    def __str__(self):
        raise AssertionError("__str__ of a str value must not be called")


@pytest.mark.parametrize(
    "text",
    ["short", "x" * 200, "caf\u00e9 \u2014 na\u00efve", "\U0001f600" * 70, ""],
    ids=["short-ascii", "long-ascii", "non-ascii", "astral", "empty"],
)
def test_str_subclasses_go_in_as_the_text_they_hold(text):
    Loud.calls = 0
    memories = [
        memory(Loud(text), Loud("evt-" + text), Loud(text + "-ts")),
        memory(Raising(text), Raising(text), Raising(text)),
        memory({"k": Loud(text), Loud("key"): [Raising(text)]}),
    ]
    expected = HEAD.format(3) + (
        f"[1] (evt-{text}, {text}-ts): {text}\n"
        f"[2] ({text}, {text}): {text}\n"
        "[3] (note, 2026-01-01T00:00:00Z): " + json.dumps({"k": text, "key": [text]}) + "\n"
    )
    assert message_of(memories) == expected
    assert Loud.calls == 0


def test_str_subclasses_in_evolution_fields_are_their_text():
    Loud.calls = 0
    system, _ = build_evolution_prompt(
        [{"id": Loud("ins-1"), "text": Raising("pattern seen")}],
        [Loud("Be brief."), Raising("Cite sources.")],
        3,
        Loud("Prefer verbs."),
    )
    assert "OVERRIDE" not in system
    for piece in ("ins-1", "pattern seen", "Be brief.", "Cite sources.", "Prefer verbs."):
        assert piece in system
    assert Loud.calls == 0


# --- strs made by the legacy wide-char API (3.10 and 3.11 only) ------------------

legacy_only = pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="the legacy wide-char str API is gone from 3.12"
)


def legacy_str(text):
    """A str made with PyUnicode_FromUnicode(NULL, n) and filled through its
    wchar_t buffer: not "ready" until something readies it."""
    import ctypes
    import warnings

    api = ctypes.pythonapi
    from_unicode = api.PyUnicode_FromUnicode
    from_unicode.restype = ctypes.py_object
    from_unicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    as_unicode = api.PyUnicode_AsUnicode
    as_unicode.restype = ctypes.c_void_p
    as_unicode.argtypes = [ctypes.py_object]
    assert ctypes.sizeof(ctypes.c_wchar) == 4
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        s = from_unicode(None, len(text))
    units = text.encode("utf-32-le")
    ctypes.memmove(as_unicode(s), units, len(units))
    # The "ready" bit of PyASCIIObject.state (after refcnt, type, length, hash).
    assert ctypes.c_uint8.from_address(id(s) + 32).value & 0x80 == 0
    return s


@legacy_only
@pytest.mark.parametrize(
    "text",
    ["plain ascii text", "caf\u00e9 \u2014 \U0001f600", "y" * 300],
    ids=["ascii", "non-ascii", "long"],
)
def test_unready_strs_are_read_in_full(text):
    def batch(make):
        return [
            memory(make(text), make("evt"), make("2026-11-02")),
            memory({"s": make(text), "l": [make(text), 1]}),
        ]

    assert message_of(batch(legacy_str)) == message_of(batch(str))
    reply = '  ```\n"' + text + '"\n```  '
    assert parse_consolidation_output(legacy_str(reply)) == text


# --- large results and the per-thread buffers ------------------------------------


def big_batch(n, width):
    return [
        memory(
            {"i": i, "rows": [{"k": f"r{j}", "v": j / 8} for j in range(width)]}
            if i % 2
            else f"text \u00e9 {i} " * 10,
            f"evt{i}",
            f"2026-11-02T09:{i % 60:02d}",
        )
        for i in range(n)
    ]


def test_large_builds_and_the_builds_after_them_are_exact():
    # Tables well past the size that gets blocks of its own, kept for later
    # calls: a larger build than the kept blocks hold, a smaller one, then
    # small builds on the same thread again.
    batches = (big_batch(3, 20_000), big_batch(8, 20_000), big_batch(20_000, 1), [memory()])
    for batch in batches + (big_batch(2, 3),):
        assert message_of(batch) == plain_message(batch)


def test_builds_on_many_threads_are_exact():
    import concurrent.futures

    batches = [big_batch(n, w) for n, w in ((1, 30_000), (400, 2), (5, 5), (3000, 1))]
    expected = [plain_message(b) for b in batches]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for _ in range(3):
            assert list(pool.map(message_of, batches)) == expected


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan has its own allocator")
def test_threads_keep_little_after_a_large_build():
    # Fixed malloc thresholds keep the allocator's own retention out of the
    # measure: what grows is what the threads themselves hold.
    code = textwrap.dedent(
        """
        import os, threading
        from quorvane._internal.consolidation import build_consolidation_prompt
        batch = [{"content": {"i": i, "notes": ["x" * 60, i / 3], "ok": True},
                  "event_type": "tool_call", "created_at": "2026-11-02T09:00:00Z"}
                 for i in range(6000)]
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        build_consolidation_prompt(batch)
        built = threading.Barrier(101)
        release = threading.Event()
        def work():
            build_consolidation_prompt(batch)
            built.wait()
            release.wait()
        before = rss()
        threads = [threading.Thread(target=work) for _ in range(100)]
        for t in threads:
            t.start()
        built.wait()
        print(rss() - before, flush=True)
        release.set()
        for t in threads:
            t.join()
        """
    )
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072", MALLOC_TRIM_THRESHOLD_="262144")
    done = subprocess.run(
        [sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True
    )
    per_thread = int(done.stdout) / 100
    assert per_thread < 256 * 1024, f"{per_thread / 1024:.0f} KiB held per thread"


# --- numbers shown as text ----------------------------------------------------------


def test_floats_outside_json_are_their_repr_on_the_cpython_table():
    import math
    import pathlib

    path = pathlib.Path(__file__).parent / "data" / "cpython-float" / "repr-cases.tsv"
    rows = [line.split("\t") for line in path.read_text(encoding="utf-8").splitlines()[1:]]
    cases = [(float.fromhex(h), r) for h, r, _ in rows if h not in ("nan", "inf", "-inf")]
    cases = [(x, r) for x, r in cases if math.isfinite(x)]
    assert len(cases) > 9000
    # As the content and as the fields, all in one batch.
    text = message_of([memory(x, x, -x) for x, _ in cases])
    lines = text[len(HEAD.format(len(cases))) : -1].split("\n")
    for line, (_, r) in zip(lines, cases, strict=True):
        neg = r[1:] if r.startswith("-") else "-" + r
        assert line.split(" ", 1)[1] == f"({r}, {neg}): {r}"


# --- whitespace folding, eight one-byte units at a time ----------------------------


@pytest.mark.parametrize("run", [" ", "  ", "   ", " \t ", "\n" + " " * 9])
def test_whitespace_folding_across_block_edges(run):
    # One-byte text is folded eight units at a time: a run of whitespace may
    # begin, end or lie across a block edge at any offset, or end the text.
    contents = [
        "w" * start + run + "x" * tail + run * again
        for start in range(18)
        for tail in (0, 1, 7, 8, 9)
        for again in (0, 1)
    ]
    lines = build_convergence_prompt([("s", c) for c in contents]).split("\n")
    assert lines[1 : 1 + len(contents)] == ["- [s] " + " ".join(c.split()) for c in contents]
