"""quorvane._internal.journal: the prompt texts, the request built from a batch
of memories with their salience, and the reply cleaning it shares with
consolidation."""

import collections
import math

import pytest
from hostile import Record
from hypothesis import given, settings
from hypothesis import strategies as st
from memory_prompts import (
    ABSENT,
    assert_missing_key,
    lookup_order,
    memory,
    plain_message,
    request_text,
)

from quorvane._internal import journal
from quorvane._internal.consolidation import parse_consolidation_output
from quorvane._internal.journal import build_journal_prompt, parse_journal_output

SYSTEM = (
    "You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    "cohesive journal entry from a set of memories.\n"
    "\n"
    "Rules:\n"
    "- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, "
    "surface tensions or contradictions.\n"
    "- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    "- Keep the output concise: aim for 3-8 sentences.\n"
    "- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    "- Do NOT wrap the output in quotes or markdown code fences.\n"
    "- Respond with ONLY the journal entry text.\n"
)
USER = (
    "Below are {count} memories captured by an AI agent. Synthesize them into a single journal "
    "entry that captures the key themes, patterns, and connections.\n"
    "\n"
    "Memories (sorted by creation time):\n"
    "{formatted_memories}\n"
)


def message_of(memories):
    return request_text(build_journal_prompt, journal._JOURNAL_SYSTEM, memories)


def lines_of(memories):
    head = USER.format(count=len(memories), formatted_memories="")
    text = message_of(memories)
    assert text.startswith(head[:-1]) and text.endswith("\n")
    return text[len(head) - 1 : -1].split("\n")


def test_prompt_texts_are_exact():
    assert journal._JOURNAL_SYSTEM == SYSTEM and len(SYSTEM) == 548
    assert journal._JOURNAL_USER == USER and len(USER) == 211
    assert not hasattr(journal, "MAX_CONSOLIDATION_INPUTS")
    assert journal.__all__ == ["build_journal_prompt", "parse_journal_output"]


def test_empty_batch_and_single_memory():
    assert message_of([]) == USER.format(count=0, formatted_memories="")
    assert message_of([]).split("\n") == [
        USER.split("\n")[0].format(count=0),
        "",
        "Memories (sorted by creation time):",
        "",
        "",
    ]
    assert message_of([memory()]).startswith("Below are 1 memories captured")


@pytest.mark.parametrize(
    "salience, shown",
    [
        (ABSENT, "N/A"),
        (0.8, "0.8"),
        (0.75, "0.75"),
        (1.0, "1.0"),
        (0, "0"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1e-05, "1e-05"),
        (1e16, "1e+16"),
        (0.1 + 0.2, "0.30000000000000004"),
        (10**20, str(10**20)),
        (True, "True"),
        (None, "None"),
        (math.nan, "nan"),
        (-math.inf, "-inf"),
        ("high", "high"),
        ("", ""),
        ("N/A", "N/A"),
        ("h\u00f6ch \U0001f600 {count}", "h\u00f6ch \U0001f600 {count}"),
        ([0.5], "[0.5]"),
    ],
)
def test_salience_forms(salience, shown):
    (line,) = lines_of([memory("text", "insight", "2026-11-02T09:14:00Z", salience)])
    assert line == f"[1] (insight, salience={shown}, 2026-11-02T09:14:00Z): text"


def test_lines_keep_the_given_order_and_never_show_identifiers():
    batch = [
        memory("late", "e", "2026-03-01", 0.9, id="m-3"),
        memory({"k": "Z\u00fcrich"}, "e", "2026-01-01", id="m-1"),
        memory(7, "e", "2026-02-01", 0, id="m-2"),
    ]
    assert lines_of(batch) == [
        "[1] (e, salience=0.9, 2026-03-01): late",
        '[2] (e, salience=N/A, 2026-01-01): {"k": "Z\\u00fcrich"}',
        "[3] (e, salience=0, 2026-02-01): 7",
    ]
    assert "m-" not in message_of(batch)


def test_mappings_other_than_dict_read_salience_through_getitem():
    assert lines_of(
        [
            Record(content="a", event_type="e", created_at="c", salience=0.5),
            Record(content="b", event_type="e", created_at="c"),
            collections.UserDict(memory("u")),
        ]
    ) == [
        "[1] (e, salience=0.5, c): a",
        "[2] (e, salience=N/A, c): b",
        "[3] (note, salience=N/A, 2026-01-01T00:00:00Z): u",
    ]

    class Failing(dict):
        def __getitem__(self, key):
            if key == "salience":
                raise LookupError("not a KeyError")
            return super().__getitem__(key)

    # Only a missing key means "N/A"; any other lookup error stops the build.
    with pytest.raises(LookupError, match="not a KeyError"):
        build_journal_prompt([Failing(memory(salience=1))])


def test_salience_is_read_only_when_the_memory_contains_it():
    class Refusing(dict):
        def __missing__(self, key):
            raise AssertionError(f"looked up {key!r}")

    records = [
        collections.defaultdict(float, memory()),
        collections.Counter(memory()),
        Refusing(memory()),
    ]
    before = [dict(r) for r in records]
    assert [line.split(", ")[1] for line in lines_of(records)] == ["salience=N/A"] * 3
    assert [dict(r) for r in records] == before


def test_lookup_order_and_missing_keys():
    order = lookup_order(build_journal_prompt, salience=0.5)
    assert order == ["content", "str(content)", "event_type", "salience", "created_at"]
    for key in ("content", "event_type", "created_at"):
        for salience in (ABSENT, 0.5):
            assert_missing_key(build_journal_prompt, key, salience=salience)


def test_argument_kinds():
    for bad in (None, (), {"content": "x"}, iter([])):
        with pytest.raises(
            TypeError, match=r"build_journal_prompt\(\) argument 'memories' must be"
        ):
            build_journal_prompt(bad)
    with pytest.raises(TypeError, match="item 1 must be a mapping"):
        build_journal_prompt([memory(), "text"])
    for bad in (None, b"x", 1):
        with pytest.raises(TypeError, match=r"parse_journal_output\(\) argument 'response' must"):
            parse_journal_output(bad)
    with pytest.raises(ValueError, match="Circular reference detected"):
        content = {}
        content["me"] = content
        build_journal_prompt([memory(content)])


def test_salience_str_that_edits_the_batch_and_the_memory():
    batch = []

    class Editing:
        def __str__(self):
            first.clear()
            batch.clear()
            batch.append(memory("late"))
            return "edited"

    first = memory("a", "e", "c", Editing())
    batch.extend([first, memory("b", "e", "c", 0.1)])
    assert lines_of(batch) == ["[1] (e, salience=edited, c): a", "[2] (e, salience=0.1, c): b"]


def test_nested_build_from_a_salience_str():
    inner = [memory({"x": [1, 2.5]}, salience=0.25)]
    expected = message_of(inner)

    class Nested:
        def __str__(self):
            assert message_of(inner) == expected
            return "n"

    assert lines_of([memory(salience=Nested())]) == [
        "[1] (note, salience=n, 2026-01-01T00:00:00Z): c"
    ]


scalars = (
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=12)
)
memories = st.lists(
    st.fixed_dictionaries(
        {
            "content": scalars | st.dictionaries(st.text(max_size=5), scalars, max_size=3),
            "event_type": st.text(max_size=10),
            "created_at": st.text(max_size=10),
        },
        optional={"salience": scalars, "id": st.text(max_size=4)},
    ),
    max_size=6,
)


@settings(max_examples=300)
@given(memories)
def test_matches_the_plain_rendering(batch):
    assert message_of(batch) == plain_message(batch, USER, salience=True)


@settings(max_examples=500)
@given(st.text(st.sampled_from(["`", '"', " ", "\n", "\u3000", "a", "\U0001f600"]), max_size=12))
def test_reply_cleaning_is_the_consolidation_cleaning(reply):
    assert parse_journal_output(reply) == parse_consolidation_output(reply)


@pytest.mark.parametrize(
    "reply, expected",
    [
        ("  Entry text.\n", "Entry text."),
        ('```\n"The week turned on one question."\n```', "The week turned on one question."),
        ("```markdown\nEntry\n```", "markdown\nEntry"),
        ('"```x```"', "```x```"),
        ("```", ""),
        ('"', ""),
        ("'kept'", "'kept'"),
    ],
)
def test_reply_cleaning_cases(reply, expected):
    assert parse_journal_output(response=reply) == expected
