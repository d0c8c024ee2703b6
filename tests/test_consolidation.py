"""quorvane._internal.consolidation: the module constants, the request built
from a batch of memories, and the cleaning of the model's reply."""

import collections
import subprocess
import sys
import textwrap
import types

import pytest
from hostile import Record
from hypothesis import example, given, settings
from hypothesis import strategies as st
from memory_prompts import assert_missing_key, lookup_order, memory, plain_clean, request_text

from quorvane._internal import brevick, consolidation
from quorvane._internal.consolidation import (
    build_consolidation_prompt,
    parse_consolidation_output,
)

SYSTEM = (
    "You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    "patterns from a set of raw memories into a single insight.\n"
    "\n"
    "Rules:\n"
    "- Produce ONE concise insight (2-4 sentences).\n"
    "- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    "memories \u2014 not a summary.\n"
    "- Do NOT list the memories or repeat them.\n"
    "- Do NOT include preamble, explanation, or meta-commentary.\n"
    "- Respond with ONLY the insight text.\n"
)
HEAD = (
    "Below are {} memories captured by an AI agent. Identify the most significant "
    "pattern, insight, or connection.\n\nMemories:\n"
)


def message_of(memories):
    return request_text(build_consolidation_prompt, consolidation._CONSOLIDATION_SYSTEM, memories)


# --- constants -----------------------------------------------------------------


def test_prompt_texts_are_exact():
    assert consolidation._CONSOLIDATION_SYSTEM == SYSTEM
    assert len(SYSTEM) == 446
    user = consolidation._CONSOLIDATION_USER
    assert user == (
        "Below are {count} memories captured by an AI agent. Identify the most significant "
        "pattern, insight, or connection.\n\nMemories:\n{formatted_memories}\n"
    )
    assert len(user) == 147


def test_limits_come_from_a_default_profile():
    profile = consolidation._COMPAT_PROFILE
    assert isinstance(profile, brevick.Brevick)
    assert profile == brevick.Brevick()
    assert consolidation.MAX_CONSOLIDATION_INPUTS == profile.consolidation_max_inputs == 20
    assert consolidation.DEFAULT_CONSOLIDATION_MIN_SALIENCE == 0.4
    assert consolidation.TIER2_DEDUP_THRESHOLD == 0.95
    assert type(consolidation.MAX_CONSOLIDATION_INPUTS) is int
    assert type(consolidation.TIER2_DEDUP_THRESHOLD) is float
    assert consolidation.__all__ == [
        "MAX_CONSOLIDATION_INPUTS",
        "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
        "TIER2_DEDUP_THRESHOLD",
        "build_consolidation_prompt",
        "parse_consolidation_output",
    ]


def test_module_fails_to_load_without_the_profile_module():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["quorvane._internal.brevick"] = None
        try:
            import quorvane._internal.consolidation
        except ImportError:
            print("ImportError")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], check=False, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ImportError"


# --- building the request ---------------------------------------------------------


def test_empty_batch_fills_the_template_with_zero_and_nothing():
    assert message_of([]) == HEAD.format(0) + "\n"


def test_lines_are_numbered_from_one_and_joined_by_line_feeds():
    text = message_of(
        [
            memory("first", "conversation", "2026-11-02T09:14:00Z"),
            memory("second\nline", "tool_call", "2026-11-03"),
        ]
    )
    assert text == HEAD.format(2) + (
        "[1] (conversation, 2026-11-02T09:14:00Z): first\n"
        "[2] (tool_call, 2026-11-03): second\nline\n"
    )
    assert message_of([memory()]).startswith("Below are 1 memories ")


def test_content_forms():
    structured = {"b": 1, "a": [1, 2], "city": "Z\u00fcrich", "n": None}
    text = message_of(
        [
            memory(structured),
            memory("Z\u00fcrich \U0001f600 {count} {formatted_memories} {{x}}"),
            memory(3.0),
            memory(None),
            memory([1, "x"]),
            memory(collections.OrderedDict([("z", True)])),
            memory(types.MappingProxyType({"k": 1})),
        ]
    )
    lines = text[len(HEAD.format(7)) : -1].split("\n")
    contents = [line.split("): ", 1)[1] for line in lines]
    assert contents == [
        '{"b": 1, "a": [1, 2], "city": "Z\\u00fcrich", "n": null}',
        "Z\u00fcrich \U0001f600 {count} {formatted_memories} {{x}}",
        "3.0",
        "None",
        "[1, 'x']",
        '{"z": true}',
        str(types.MappingProxyType({"k": 1})),
    ]


def test_fields_that_are_not_text_are_shown_as_str():
    class Stamp:
        def __str__(self):
            return "T+1"

    text = message_of(
        [
            memory("x", 7, Stamp()),
            memory("y", None, 1.5),
            memory("z", True, 10**30),
            memory("w", float("nan"), -0.0),
            memory("v", type("S", (str,), {})("sub"), "\ud800"),
        ]
    )
    assert text.endswith(
        "[1] (7, T+1): x\n[2] (None, 1.5): y\n"
        f"[3] (True, {10**30}): z\n[4] (nan, -0.0): w\n[5] (sub, \ud800): v\n"
    )


def test_other_keys_are_ignored_and_mappings_are_accepted():
    class Defaulting(dict):
        def __missing__(self, key):
            return f"<{key}>"

    text = message_of(
        [
            memory("a", id="m-1", salience=0.9),
            Record(content="b", event_type="e", created_at="c"),
            collections.UserDict(memory("c")),
            Defaulting(content="d"),
        ]
    )
    assert "m-1" not in text and "0.9" not in text
    assert text.endswith(
        "(e, c): b\n[3] (note, 2026-01-01T00:00:00Z): c\n[4] (<event_type>, <created_at>): d\n"
    )


def test_each_call_returns_new_objects():
    batch = [memory()]
    first = build_consolidation_prompt(batch)
    second = build_consolidation_prompt(memories=batch)
    assert first == second
    assert first[1] is not second[1] and first[1][0] is not second[1][0]


def test_batch_edited_while_rendering_is_shown_as_it_was():
    batch = []

    class Growing:
        def __str__(self):
            batch.append(memory("late"))
            batch.clear()
            return "grown"

    batch.extend([memory(Growing()), memory("second")])
    text = message_of(batch)
    assert text == HEAD.format(2) + (
        "[1] (note, 2026-01-01T00:00:00Z): grown\n[2] (note, 2026-01-01T00:00:00Z): second\n"
    )


# --- failures of the builder ---------------------------------------------------------


@pytest.mark.parametrize("bad", [None, (), {"content": "x"}, "text", iter([])])
def test_memories_must_be_a_list(bad):
    with pytest.raises(TypeError, match=r"argument 'memories' must be list, not "):
        build_consolidation_prompt(bad)


def test_call_signature():
    with pytest.raises(TypeError):
        build_consolidation_prompt()
    with pytest.raises(TypeError):
        build_consolidation_prompt([], [])
    with pytest.raises(TypeError, match="unexpected keyword argument 'items'"):
        build_consolidation_prompt(items=[])


@pytest.mark.parametrize("bad", [None, "content", ["content"], 3, ("a", "b")])
def test_a_memory_must_be_a_mapping(bad):
    with pytest.raises(TypeError, match="must be a mapping"):
        build_consolidation_prompt([memory(), bad])
    # Kinds are checked before any work, ahead of an earlier memory's missing key.
    with pytest.raises(TypeError, match="item 1 must be a mapping"):
        build_consolidation_prompt([{"content": "x"}, bad])


@pytest.mark.parametrize("key", ["content", "event_type", "created_at"])
def test_missing_key_names_it_even_when_others_are_complete(key):
    assert_missing_key(build_consolidation_prompt, key)


def test_keys_are_looked_up_and_content_rendered_in_order():
    # Content that cannot be written is reported before a later missing key.
    with pytest.raises(TypeError, match="keys must be"):
        build_consolidation_prompt([{"content": {(1,): 1}}])
    with pytest.raises(KeyError, match="event_type"):
        build_consolidation_prompt([{"content": "x"}])
    with pytest.raises(KeyError, match="created_at"):
        build_consolidation_prompt([{"content": "x", "event_type": "e"}])
    order = lookup_order(build_consolidation_prompt, salience=1.0)
    assert order == ["content", "str(content)", "event_type", "created_at"]


def test_cyclic_content_raises_value_error():
    content = {"a": 1}
    content["self"] = [content]
    with pytest.raises(ValueError, match="Circular reference detected"):
        build_consolidation_prompt([memory("fine"), memory(content)])


# --- reply cleaning ---------------------------------------------------------------


@pytest.mark.parametrize(
    "reply, expected",
    [
        ("  Insight text.\n", "Insight text."),
        ('```json\n{"a": 1}\n```', 'json\n{"a": 1}'),
        ('```\n"Quoted insight."\n```\n', "Quoted insight."),
        ('"```inner```"', "```inner```"),
        ("```", ""),
        ("``````", ""),
        ("````", ""),
        ('"', ""),
        ('""', ""),
        ('" "', ""),
        ("```x```", "x"),
        ("text```", "text```"),
        ("```text", "```text"),
        ("'single'", "'single'"),
        ("OK", "OK"),
        ('ok"', 'ok"'),
        ('``` \u3000"\u2003 both \u00a0"\n```', "both"),
        ('```"a"```', "a"),
        ('"```a```"', "```a```"),
        ("```\n```\n```", "```"),
        ('""x""', '"x"'),
        ("", ""),
        (" \t\n\x1c\x85", ""),
        ("\ud800 lone \udfff", "\ud800 lone \udfff"),
        ("**bold**", "**bold**"),
    ],
)
def test_reply_cleaning_cases(reply, expected):
    assert parse_consolidation_output(reply) == expected
    assert plain_clean(reply) == expected


fenceish = st.text(
    st.sampled_from(["`", '"', " ", "\n", "\u3000", "\x1f", "a", "\u00e9", "\U0001f600", "\ud800"]),
    max_size=14,
)


@settings(max_examples=2000)
@given(fenceish | st.text(st.characters(exclude_categories=())))
@example("x" * 1000 + "```")
def test_reply_cleaning_matches_the_plain_rule(reply):
    assert parse_consolidation_output(reply) == plain_clean(reply)


def test_reply_result_is_a_plain_str_and_shares_when_unchanged():
    clean = "Already clean."
    assert parse_consolidation_output(clean) is clean
    sub = type("Reply", (str,), {})('  "x"  ')
    result = parse_consolidation_output(response=sub)
    assert type(result) is str and result == "x"


@pytest.mark.parametrize("bad", [None, b"text", 3, ["x"]])
def test_reply_must_be_str(bad):
    with pytest.raises(TypeError, match=r"argument 'response' must be str, not "):
        parse_consolidation_output(bad)


def test_nested_build_from_a_str_call_leaves_the_outer_build_intact():
    inner_batch = [memory({"inner": ["x" * 40, 1.5]}), memory("inner text")]
    inner_text = message_of(inner_batch)

    class Reentrant:
        def __str__(self):
            assert message_of(inner_batch) == inner_text
            return "outer value"

    outer = [
        memory({"before": "y" * 30, "nested": {"v": Reentrant(), "after": [1, 2]}}),
        memory(Reentrant(), Reentrant()),
    ]
    text = message_of(outer)
    assert text.endswith(
        '[1] (note, 2026-01-01T00:00:00Z): {"before": "'
        + "y" * 30
        + '", "nested": {"v": "outer value", "after": [1, 2]}}\n'
        "[2] (outer value, 2026-01-01T00:00:00Z): outer value\n"
    )
