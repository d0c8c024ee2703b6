"""The JSON reader behind parse_evolution_output, checked against json.loads.

Every verdict is observed through the parser: a reply the reader refuses logs
the parse-failure warning. The oracle is a plain-Python parser written with
json.loads; Python's RecursionError counts as a refusal.
"""

import json
import logging
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import quorvane
from quorvane._internal import evolution
from quorvane._internal.evolution import parse_evolution_output

SUITE = Path(__file__).parent / "data" / "json-test-suite"
NOT_JSON = "evolve_directives: failed to parse LLM response as JSON"
NOT_OBJECT = "evolve_directives: LLM response is not a JSON object"
NOT_LIST = "evolve_directives: 'proposed' field is not a list"
MAX_DEPTH = 512


def payload(response):
    """The text the reader decodes: trimmed and unfenced."""
    text = response.strip()
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip()
        if text.startswith("json"):
            text = text[4:].strip()
    return text


def reference(response, ids):
    """parse_evolution_output in plain Python; returns (proposals, warning)."""
    try:
        data = json.loads(payload(response))
    except (ValueError, RecursionError):
        return [], (NOT_JSON, "response_preview", response[:200])
    if not isinstance(data, dict):
        return [], (
            NOT_OBJECT,
            "type",
            type(data).__name__,
        )
    proposed = data.get("proposed", [])
    if not isinstance(proposed, list):
        return [], (
            NOT_LIST,
            "type",
            type(proposed).__name__,
        )
    fallback = min(ids) if ids else ""
    out = []
    for item in proposed:
        if not isinstance(item, dict):
            continue
        text = item.get("text")
        if not isinstance(text, str) or not text.strip():
            continue
        source = item.get("source_insight_id")
        if not isinstance(source, str) or source not in ids:
            source = fallback
        out.append({"text": text.strip(), "source_insight_id": source})
    return out, None


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append(record)


RECORDER = Recorder()


@pytest.fixture(autouse=True, scope="module")
def _record_warnings():
    # Module-scoped (Hypothesis tests cannot take function-scoped fixtures),
    # and removed again so the handler stays out of every other test file.
    evolution.logger.addHandler(RECORDER)
    try:
        yield
    finally:
        evolution.logger.removeHandler(RECORDER)


def observe(response, ids=frozenset()):
    RECORDER.records.clear()
    out = parse_evolution_output(response, ids)
    assert len(RECORDER.records) <= 1
    warning = None
    if RECORDER.records:
        r = RECORDER.records[0]
        field = "type" if hasattr(r, "type") else "response_preview"
        warning = (r.getMessage(), field, getattr(r, field))
    return out, warning


def accepted(response):
    warning = observe(response)[1]
    return warning is None or warning[0] != NOT_JSON


def check_against_python(response, ids=frozenset()):
    assert observe(response, ids) == reference(response, ids)


# ---------------------------------------------------------------- conformance


def suite_files():
    for path in sorted((SUITE / "test_parsing").iterdir()):
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        yield pytest.param(text, id=path.name)


@pytest.mark.parametrize("text", list(suite_files()))
def test_conformance_suite(text):
    check_against_python(text)


def test_suite_table_matches_where_trimming_changes_nothing():
    table = {}
    for line in (SUITE / "python-acceptance.tsv").read_text().splitlines()[1:]:
        name, outcome, _ = line.split("\t")
        table[name] = outcome
    checked = 0
    for name, outcome in table.items():
        if outcome == "not-utf8":
            continue
        text = (SUITE / "test_parsing" / name).read_bytes().decode("utf-8")
        if payload(text) != text:
            continue
        assert accepted(text) == (outcome == "accept"), name
        checked += 1
    assert checked > 250


# -------------------------------------------------------------------- nesting


@pytest.mark.parametrize(
    "opening, closing",
    [("[", "]"), ('{"a":', "}"), ('[{"proposed":', "}]")],
)
def test_depth_limit(opening, closing):
    def nested(depth):
        per = opening.count("[") + opening.count("{")
        reps = -(-depth // per)
        return opening * reps + "0" + closing * reps

    assert accepted(nested(MAX_DEPTH))
    assert not accepted(nested(MAX_DEPTH + 1))


@pytest.mark.parametrize(
    "reply",
    [
        "[" * 100_000,
        "[" * 100_000 + "]" * 100_000,
        '{"proposed":' * 100_000 + "[]" + "}" * 100_000,
        "[{" * 50_000,
        "```json\n" + "[" * 100_000 + "\n```",
    ],
)
def test_very_deep_replies_are_ordinary_failures(reply):
    out, warning = observe(reply, {"a"})
    assert out == [] and warning == (NOT_JSON, "response_preview", reply[:200])


def test_depth_counts_open_containers_not_total():
    wide = "[" + ",".join(["[[1]]"] * 5000) + "]"
    assert accepted(wide)
    assert accepted("[" * 300 + "]" * 300 + " " * 10)
    assert not accepted("[" * 300 + "]" * 301)


# ----------------------------------------------------------- specific verdicts


@pytest.mark.parametrize(
    "text",
    [
        "1" * 5000,  # integers of any length are valid
        "-" + "9" * 10000,
        "[1E400, -1e-400, 0.0e+0, 1.5E-7]",
        '{"a": 1, "a": 2}',
        '"\\ud800"',
        '"\\udc00\\ud800"',
        '"\ud800"',  # a raw lone surrogate in the reply
        '"\\u00E9\\uABcd"',
        "[NaN, Infinity, -Infinity]",
        " \t\r\n[ \t\r\n1 \t\r\n, \t\r\n{ \t\r\n} \t\r\n] \t\r\n",
        '"\x7f\u2028\U0010ffff"',
    ],
)
def test_accepted(text):
    assert accepted(text)


@pytest.mark.parametrize(
    "text",
    [
        "\ufeff[]",
        "[\ufeff]",
        "[1,]",
        '{"a":1,}',
        "[01]",
        "-01",
        "1.",
        ".5",
        "1.e5",
        "1e",
        "1e+",
        "+1",
        "-",
        "-Inf",
        "-NaN",
        "nan",
        "infinity",
        "Infinit",
        "nul",
        "tru",
        '"\\u12"',
        '"\\u12G4"',
        '"\\x41"',
        '"\\U0041"',
        '"a\x00"',
        '"a\x1f"',
        '"a\n"',
        '"abc',
        '"\\',
        '"\\"',
        "[\x0c1]",
        "[\xa01]",
        "{'a': 1}",
        '{"a" 1}',
        '{"a":}',
        "{1: 2}",
        "[1 2]",
        "[] []",
        "{]",
        "[}",
        "]",
    ],
)
def test_refused(text):
    assert not accepted(text)


# ------------------------------------------------------------------ properties

ids_strategy = st.frozensets(
    st.sampled_from(["ins-1", "ins-2", "ins-10", "b", "\U0001f600", "\ud800", ""])
)

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**60), max_value=10**60)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text()
)
values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=6), inner, max_size=5)
    ),
    max_leaves=25,
)
entries = st.fixed_dictionaries(
    {},
    optional={
        "text": st.text() | scalars,
        "source_insight_id": st.sampled_from(["ins-1", "ins-2", "ins-10", "nope", "\ud800"])
        | scalars,
        "extra": values,
    },
)
replies = st.fixed_dictionaries(
    {"proposed": st.lists(entries | values, max_size=6) | values},
    optional={"other": values, "proposals": values},
)
whitespace = st.text(alphabet=" \t\n\r", max_size=3)
outer_space = st.text(alphabet=" \t\n\r\x0b\x0c\x1c\x85\xa0\u2003\u3000", max_size=3)


@st.composite
def rendered(draw, value_strategy):
    """json.dumps output with random whitespace, escaping and a fence."""
    value = draw(value_strategy)
    ws = draw(whitespace)
    text = json.dumps(
        value,
        ensure_ascii=draw(st.booleans()),
        separators=(ws + "," + draw(whitespace), draw(whitespace) + ":" + ws),
    )
    fence = draw(st.sampled_from(["", "```", "```json", "```JSON", "```js"]))
    if fence:
        text = fence + draw(outer_space) + text + draw(outer_space) + "```"
    return draw(outer_space) + text + draw(outer_space)


# Characters that matter to the grammar, plus some that must be refused.
mutation_alphabet = st.sampled_from(
    list('{}[],:"\\/ \t\n\r0123456789.eE+-uabfnrtlsNIy\x00\x0c\x1f\xa0\ufeff\ud800`')
)


@st.composite
def mutated(draw):
    text = draw(rendered(replies | values))
    for _ in range(draw(st.integers(1, 4))):
        if not text:
            text = draw(mutation_alphabet)
            continue
        i = draw(st.integers(0, len(text) - 1))
        op = draw(st.sampled_from(["insert", "delete", "replace", "duplicate"]))
        if op == "insert":
            text = text[:i] + draw(mutation_alphabet) + text[i:]
        elif op == "delete":
            text = text[:i] + text[i + 1 :]
        elif op == "replace":
            text = text[:i] + draw(mutation_alphabet) + text[i + 1 :]
        else:
            j = draw(st.integers(i, len(text)))
            text = text[:j] + text[i:j] + text[j:]
    return text


fast = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@fast
@given(rendered(replies), ids_strategy)
def test_replies_agree_with_python(reply, ids):
    check_against_python(reply, ids)


@fast
@given(rendered(values))
def test_any_json_value_agrees_with_python(text):
    check_against_python(text)


@settings(max_examples=1500, deadline=None)
@given(mutated(), ids_strategy)
@example('{"proposed": [{"text": "\\ud83d\\ude00"}]}', frozenset())
@example('{"proposed": [{"text": "\\ud83d\\u0041"}]}', frozenset())
@example('{"proposed": [{"text": "\\ud83d\\ud83d\\ude00 "}]}', frozenset())
def test_mutated_text_agrees_with_python(text, ids):
    check_against_python(text, ids)


@settings(max_examples=300, deadline=None)
@given(st.text(), ids_strategy)
def test_arbitrary_text_never_raises(text, ids):
    check_against_python(text, ids)


@fast
@given(st.text(), st.booleans())
@example("\U00010000\U0010ffff \udbff\udc00", True)
@example("\udbff\udbff\udfff\udc00\udfff\ud800", True)
def test_string_values_decode_like_python(s, ascii_only):
    reply = json.dumps({"proposed": [{"text": s, "source_insight_id": s}]}, ensure_ascii=ascii_only)
    check_against_python(reply, frozenset({s, "~"}))


def test_number_kinds():
    for text in [
        "0",
        "-0",
        "12345678901234567890",
        "1.0",
        "1e1",
        "-1E-1",
        "NaN",
        "-Infinity",
        "1.5e+300",
    ]:
        out, warning = observe(text)
        kind = type(json.loads(text)).__name__
        assert out == [] and warning[2] == kind, text


# ---------------------------------------------------------------------- memory

# Runs in a child process whose address space is capped at its size after
# building the reply plus `headroom` bytes, so an allocation beyond that
# fails there rather than in the test run.
MEMORY_SCRIPT = textwrap.dedent(
    """
    import logging, resource, sys
    from quorvane._internal import evolution

    records = []

    class Keep(logging.Handler):
        def emit(self, r):
            records.append((r.getMessage(), getattr(r, "type", None),
                            len(getattr(r, "response_preview", ""))))

    evolution.logger.addHandler(Keep(logging.WARNING))
    evolution.logger.propagate = False

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    head, item, last, tail, count, headroom = sys.argv[1:]
    reply = head + item * (int(count) - 1) + last + tail
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + int(headroom), -1))
    try:
        out = evolution.parse_evolution_output(reply, {"a"})
        texts = [(len(p["text"]), p["text"][:2], p["source_insight_id"]) for p in out[:2]]
        print(repr((len(out), records) + ((texts,) if texts else ())))
    except BaseException as e:
        print(repr(("raised", type(e).__name__)))
    """
)

MB = 1 << 20


def parse_capped(head, item, last, tail, count, headroom):
    env = dict(os.environ, PYTHONPATH=str(Path(quorvane.__file__).parents[1]))
    args = [head, item, last, tail, str(count), str(headroom)]
    run = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    return eval(run.stdout)  # noqa: S307 - our own child's repr output


needs_address_limit = pytest.mark.skipif(
    not sys.platform.startswith("linux") or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs /proc and RLIMIT_AS (AddressSanitizer reserves terabytes of address space)",
)


@needs_address_limit
@pytest.mark.parametrize(
    "head, tail, warning",
    [
        ("[", "]", (NOT_OBJECT, "list", 0)),
        ('{"proposed": [', "]}", None),
        ('{"x": [', '], "proposed": null}', (NOT_LIST, "NoneType", 0)),
    ],
)
def test_unread_values_cost_no_memory(head, tail, warning):
    # 100 MB of tokens nothing reads: json.loads needs about 400 MB more than
    # the text for them; the reader must validate them in far less.
    count = 50 * MB
    got = parse_capped(head, "0,", "0", tail, count, 128 * MB)
    assert got == (0, [warning] if warning else [])


@needs_address_limit
@pytest.mark.parametrize("headroom", [24 * MB, 160 * MB, 400 * MB])
def test_proposals_beyond_memory_are_an_unreadable_reply(headroom):
    # 2.5 million proposals: their ranges, or else their dicts, do not fit.
    # The parser never raises for a reply; it warns and returns [].
    got = parse_capped(
        '{"proposed": [', '{"text": "a"},', '{"text": "a"}', "]}", 2_500_000, headroom
    )
    assert got == (0, [(NOT_JSON, None, 200)])


@needs_address_limit
def test_escaped_text_is_decoded_without_a_wide_copy():
    # 10 million escaped code points become a 10 MB one-byte str, decoded
    # straight into it: no four-byte buffer of the whole text on the way.
    count = 10_000_000
    got = parse_capped('{"proposed": [{"text": " ', "\\u00e9", "x", ' "}]}', count, 48 * MB)
    assert got == (1, [], [(count, "\xe9\xe9", "a")])
