import enum
import hashlib
import logging
import re
import sys

import pytest

from quorvane._internal import evolution
from quorvane._internal.evolution import build_evolution_prompt, parse_evolution_output

NOT_JSON = "evolve_directives: failed to parse LLM response as JSON"
NOT_OBJECT = "evolve_directives: LLM response is not a JSON object"
NOT_LIST = "evolve_directives: 'proposed' field is not a list"

SYSTEM_SHA256 = "4f4931e5a714f6abb70c09bb32486f27301a307d4b2901510301078848fbeb20"


def fill(directives_block, insights_block, max_per_cycle, style_block):
    """The template filled in one pass, written independently of the module."""
    values = {
        "directives_block": directives_block,
        "insights_block": insights_block,
        "max_per_cycle": str(max_per_cycle),
        "style_guidance_block": style_block,
    }
    return re.sub(
        r"\{\{|\}\}|\{(\w+)\}",
        lambda m: values[m.group(1)] if m.group(1) else m.group(0)[0],
        evolution._EVOLUTION_SYSTEM,
    )


def lines_after(prompt, header):
    return prompt.split(header + "\n", 1)[1]


class TestSystemTemplate:
    def test_shape(self):
        s = evolution._EVOLUTION_SYSTEM
        assert (len(s), len(s.encode()), s.count("\n")) == (840, 844, 19)
        assert hashlib.sha256(s.encode()).hexdigest() == SYSTEM_SHA256
        lines = s.split("\n")[:-1]
        assert [i + 1 for i, line in enumerate(lines) if not line] == [2, 5, 8, 10, 17]
        assert "\u2264" in lines[11] and "\u2014" in lines[17]
        assert s.endswith('{{"proposed": [{{"text": "...", "source_insight_id": "..."}}, ...]}}\n')
        assert "return an empty list.{style_guidance_block}\n" in s

    def test_logger(self):
        assert evolution.logger is logging.getLogger("quorvane._internal.evolution")


class TestBuildPrompt:
    def test_full_request(self):
        insights = [
            {"id": "ins-1", "text": "Users retry\nafter errors", "extra": 1},
            {"id": 7, "text": 2.5},
        ]
        system, messages = build_evolution_prompt(
            insights, ["Be brief.", "Cite sources."], 3, "  Speak plainly.  "
        )
        assert system == fill(
            "1. Be brief.\n2. Cite sources.",
            "[ins-1]: Users retry\nafter errors\n[7]: 2.5",
            3,
            "\n- Speak plainly.",
        )
        assert "Derive at most 3 new behavioral directives.\n" in system
        assert "return an empty list.\n- Speak plainly.\n\nRespond" in system
        assert system.endswith('{"proposed": [{"text": "...", "source_insight_id": "..."}, ...]}\n')
        assert messages == [{"role": "user", "content": "Generate directive proposals."}]
        assert list(messages[0]) == ["role", "content"]

    def test_empty_lists(self):
        system, _ = build_evolution_prompt([], [], 0)
        assert lines_after(system, "CURRENT DIRECTIVES:").startswith("(none)\n\n")
        assert lines_after(system, "INSIGHTS FROM THIS REFLECTION CYCLE:").startswith(
            "\n\nDerive at most 0 "
        )
        assert "INSIGHTS FROM THIS REFLECTION CYCLE:\n\n\nDerive" in system

    @pytest.mark.parametrize("guidance", [None, "", "   ", "\u3000\n\t"])
    def test_blank_style_guidance_adds_nothing(self, guidance):
        system, _ = build_evolution_prompt([], [], 1, guidance)
        assert "return an empty list.\n\nRespond with JSON" in system

    def test_values_are_not_rescanned(self):
        insights = [{"id": "{insights_block}", "text": "{max_per_cycle} {{x}} }"}]
        system, _ = build_evolution_prompt(
            insights, ["{directives_block}"], 9, "{style_guidance_block}"
        )
        assert "1. {directives_block}\n" in system
        assert "[{insights_block}]: {max_per_cycle} {{x}} }\n" in system
        assert "\n- {style_guidance_block}\n" in system
        assert "Derive at most 9 " in system

    def test_numbers_and_str_conversion(self):
        class Rule:
            def __str__(self):
                return "Rule ☃"

        class Level(enum.IntEnum):
            HIGH = 12

        big = 10**40
        system, _ = build_evolution_prompt([], [Rule(), 5] + ["d"] * 9, big)
        assert "1. Rule ☃\n2. 5\n" in system and "\n11. d\n" in system
        assert f"Derive at most {big} new" in system
        for value, shown in [(-4, "-4"), (Level.HIGH, "12"), (-(2**63), str(-(2**63)))]:
            assert f"Derive at most {shown} new" in build_evolution_prompt([], [], value)[0]

    def test_non_ascii_and_surrogates_survive(self):
        system, _ = build_evolution_prompt(
            [{"id": "\U0001f600", "text": "x\ud800y"}], ["é"], 1, "\U00010000"
        )
        assert (
            "[\U0001f600]: x\ud800y\n" in system
            and "1. é\n" in system
            and "- \U00010000\n" in system
        )

    def test_keywords_and_fresh_results(self):
        a = build_evolution_prompt(style_guidance=None, max_per_cycle=2, directives=[], insights=[])
        b = build_evolution_prompt([], [], 2)
        assert a == b and a[1] is not b[1] and a[1][0] is not b[1][0]

    @pytest.mark.parametrize(
        "args, message",
        [
            (((), [], 1), "argument 'insights' must be list, not tuple"),
            (([], "abc", 1), "argument 'directives' must be list, not str"),
            (([], [], True), "argument 'max_per_cycle' must be int, not bool"),
            (([], [], 1.0), "argument 'max_per_cycle' must be int, not float"),
            (([], [], 1, b"x"), "argument 'style_guidance' must be str or None, not bytes"),
            # the kind check comes before any insight is looked at
            (([{}], [], "3"), "argument 'max_per_cycle' must be int, not str"),
        ],
    )
    def test_argument_kinds(self, args, message):
        with pytest.raises(TypeError, match=re.escape("build_evolution_prompt() " + message)):
            build_evolution_prompt(*args)

    def test_argument_binding(self):
        with pytest.raises(TypeError):
            build_evolution_prompt([], [])
        with pytest.raises(TypeError):
            build_evolution_prompt([], [], 1, None, None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'guidance'"):
            build_evolution_prompt([], [], 1, guidance="x")

    def test_missing_insight_fields(self):
        with pytest.raises(KeyError) as e:
            build_evolution_prompt([{"id": "a", "text": "t"}, {}], [], 1)
        assert e.value.args == ("id",)
        with pytest.raises(KeyError) as e:
            build_evolution_prompt([{"id": "a", "text": "t"}] * 2 + [{"id": "a"}], [], 1)
        assert type(e.value) is KeyError and e.value.args == ("text",)
        assert getattr(e.value, "__notes__", ["insights[2]"]) == ["insights[2]"]
        with pytest.raises(TypeError):
            build_evolution_prompt(["not a record"], [], 1)

    def test_other_mappings(self):
        class Lookup(dict):
            def __missing__(self, key):
                return key.upper()

        system, _ = build_evolution_prompt([Lookup()], [], 1)
        assert "[ID]: TEXT\n" in system

    def test_list_mutated_by_str(self):
        directives = []

        class Evil:
            def __str__(self):
                directives.clear()
                return "evil"

        directives.extend([Evil(), "keep" * 10])
        system, _ = build_evolution_prompt([], directives, 1)
        assert "1. evil\n2. " + "keep" * 10 + "\n" in system


def capture(records):
    class Collect(logging.Handler):
        def emit(self, record):
            records.append(record)

    return Collect(logging.WARNING)


@pytest.fixture
def warnings():
    records = []
    handler = capture(records)
    evolution.logger.addHandler(handler)
    try:
        yield records
    finally:
        evolution.logger.removeHandler(handler)


def only_warning(records, message, field, value):
    assert len(records) == 1
    (r,) = records
    assert (r.levelno, r.getMessage(), getattr(r, field)) == (logging.WARNING, message, value)
    other = {"response_preview", "type"} - {field}
    assert not any(hasattr(r, name) for name in other)


class TestParse:
    def test_fenced_reply(self, warnings):
        assert parse_evolution_output('```json\n{"proposed": []}\n```', {"a"}) == []
        assert warnings == []
        assert parse_evolution_output('```JSON\n{"proposed": []}\n```', {"a"}) == []
        only_warning(warnings, NOT_JSON, "response_preview", '```JSON\n{"proposed": []}\n```')

    @pytest.mark.parametrize(
        "reply",
        ['```\n{"proposed": []}\n```', ' \n```json{"proposed": []}```\u2003', '{"proposed": []}'],
    )
    def test_accepted_wrappings(self, reply, warnings):
        assert parse_evolution_output(reply, set()) == [] and warnings == []

    @pytest.mark.parametrize(
        "reply",
        [
            '```json\n{"proposed": []}',  # no closing fence
            'Here you go: {"proposed": []}',
            '"{"proposed": []}"',
            '```python\n{"proposed": []}\n```',
            "``````",
            "```",
            "",
            "   ",
            "\ufeff{}",
            '{"proposed": []} {}',
        ],
    )
    def test_rejected_wrappings(self, reply, warnings):
        assert parse_evolution_output(reply, set()) == []
        only_warning(warnings, NOT_JSON, "response_preview", reply[:200])

    def test_preview_is_first_200_code_points_of_raw_reply(self, warnings):
        reply = "  \n" + "\U0001f600é" * 150
        parse_evolution_output(reply, set())
        only_warning(warnings, NOT_JSON, "response_preview", reply[:200])
        assert len(warnings[0].response_preview) == 200

    @pytest.mark.parametrize(
        "reply, message, kind",
        [
            ("[]", NOT_OBJECT, "list"),
            ('"x"', NOT_OBJECT, "str"),
            ("-0", NOT_OBJECT, "int"),
            ("1" * 5000, NOT_OBJECT, "int"),
            ("1e5", NOT_OBJECT, "float"),
            ("-Infinity", NOT_OBJECT, "float"),
            ("NaN", NOT_OBJECT, "float"),
            ("true", NOT_OBJECT, "bool"),
            ("null", NOT_OBJECT, "NoneType"),
            ('{"proposed": null}', NOT_LIST, "NoneType"),
            ('{"proposed": {}}', NOT_LIST, "dict"),
            ('{"proposed": "[]"}', NOT_LIST, "str"),
            ('{"proposed": 1.0}', NOT_LIST, "float"),
            ('{"proposed": [{"text": "a"}], "proposed": false}', NOT_LIST, "bool"),
        ],
    )
    def test_kind_warnings(self, reply, message, kind, warnings):
        assert parse_evolution_output(reply, {"x"}) == []
        only_warning(warnings, message, "type", kind)

    @pytest.mark.parametrize("reply", ['{"proposals": []}', "{}", '{"proposed": []}'])
    def test_nothing_proposed_is_silent(self, reply, warnings):
        assert parse_evolution_output(reply, {"x"}) == [] and warnings == []

    def test_proposals(self, warnings):
        reply = """{"proposed": [
            {"text": "  When a tool fails, retry once.  ", "source_insight_id": "ins-7"},
            {"text": 5, "source_insight_id": "ins-2"},
            {"text": "   ", "source_insight_id": "ins-2"},
            "When X, do Y.",
            ["text", "x"],
            {"source_insight_id": "ins-2"},
            {"text": "Ask before deleting.", "source_insight_id": "ins-2", "why": [1, {"text": 2}]},
            {"text": "Log it.", "source_insight_id": 2},
            {"text": "Log it.", "source_insight_id": "INS-2"},
            {"text": "Log it.", "source_insight_id": " ins-2"},
            {"text": "Log it."},
            {"text": "x", "source_insight_id": null}
        ], "other": 1}"""
        out = parse_evolution_output(reply, {"ins-2", "ins-10"})
        assert out == [
            {"text": "When a tool fails, retry once.", "source_insight_id": "ins-10"},
            {"text": "Ask before deleting.", "source_insight_id": "ins-2"},
        ] + [{"text": "Log it.", "source_insight_id": "ins-10"}] * 4 + [
            {"text": "x", "source_insight_id": "ins-10"}
        ]
        assert all(list(p) == ["text", "source_insight_id"] for p in out)
        assert warnings == []

    def test_empty_id_set_and_frozenset(self):
        reply = '{"proposed": [{"text": "a", "source_insight_id": "a"}]}'
        assert parse_evolution_output(reply, set()) == [{"text": "a", "source_insight_id": ""}]
        ids = frozenset({"b", "\U0001f600", "\uffff", "ab"})
        assert parse_evolution_output(reply, ids) == [{"text": "a", "source_insight_id": "ab"}]

    def test_fallback_is_code_point_smallest(self):
        # U+FFFF sorts before U+10000 in code points (not in UTF-16 order).
        ids = {"\U00010000", "\uffff", "\ue000"}
        out = parse_evolution_output('{"proposed": [{"text": "t"}]}', ids)
        assert out[0]["source_insight_id"] == "\ue000"
        assert (
            parse_evolution_output('{"proposed": [{"text": "t"}]}', {"\U00010000", "\uffff"})[0][
                "source_insight_id"
            ]
            == "\uffff"
        )

    def test_escapes_and_duplicates(self):
        reply = r"""{"propos\u0065d": [
            {"text": "first", "t\u0065xt": "\u0020 line\none \ud83d\ude00 \ud800 \/ \" ", "source_insight_id": "ins\u002d2"},
            {"text": "a", "source_insight_id": "zz", "source_insight_id": "ins-2"}
        ]}"""
        out = parse_evolution_output(reply, {"ins-2", "ins-3"})
        assert out == [
            {"text": 'line\none \U0001f600 \ud800 / "', "source_insight_id": "ins-2"},
            {"text": "a", "source_insight_id": "ins-2"},
        ]

    def test_many_proposals_all_kept_in_order(self):
        entries = ", ".join(
            f'{{"text": "rule {i}", "source_insight_id": "i{i % 3}"}}' for i in range(50)
        )
        out = parse_evolution_output('{"proposed": [' + entries + "]}", {"i0", "i1"})
        assert [p["text"] for p in out] == [f"rule {i}" for i in range(50)]
        assert [p["source_insight_id"] for p in out] == [
            f"i{i % 3}" if i % 3 < 2 else "i0" for i in range(50)
        ]

    @pytest.mark.parametrize("width", ["a", "é", "\u20ac", "\U0001f600"])
    def test_every_str_layout(self, width):
        reply = f'{{"proposed": [{{"text": " {width}x\\u00e9 ", "source_insight_id": "{width}"}}]}}'
        assert parse_evolution_output(reply, {width, "zzz"}) == [
            {"text": f"{width}x\u00e9", "source_insight_id": width}
        ]

    def test_results_are_new_objects(self):
        reply = '{"proposed": [{"text": "a"}]}'
        a, b = parse_evolution_output(reply, {"i"}), parse_evolution_output(reply, {"i"})
        assert a == b and a is not b and a[0] is not b[0]

    @pytest.mark.parametrize(
        "ids, message",
        [
            (["a"], "argument 'insight_ids' must be set or frozenset, not list"),
            ({"a": 1}, "argument 'insight_ids' must be set or frozenset, not dict"),
            ({"a", 1}, "argument 'insight_ids' must contain only str, not int"),
        ],
    )
    def test_argument_kinds(self, ids, message):
        with pytest.raises(TypeError, match=re.escape("parse_evolution_output() " + message)):
            parse_evolution_output("{}", ids)
        with pytest.raises(TypeError, match="argument 'response' must be str, not bytes"):
            parse_evolution_output(b"{}", set())

    def test_keywords(self):
        assert parse_evolution_output(
            insight_ids={"a"}, response='{"proposed": [{"text": "t"}]}'
        ) == [{"text": "t", "source_insight_id": "a"}]

    def test_disabled_logger_emits_nothing(self, warnings):
        evolution.logger.disabled = True
        try:
            assert parse_evolution_output("nope", set()) == []
        finally:
            evolution.logger.disabled = False
        assert warnings == []

    def test_caplog_sees_the_record(self, caplog):
        with caplog.at_level(logging.WARNING, logger="quorvane._internal.evolution"):
            parse_evolution_output("[1]", set())
        assert [(r.name, r.levelname, r.message, r.type) for r in caplog.records] == [
            ("quorvane._internal.evolution", "WARNING", NOT_OBJECT, "list")
        ]

    def test_large_replies_from_several_threads(self):
        # Long replies are parsed without the GIL; results must not mix.
        from concurrent.futures import ThreadPoolExecutor

        def reply(tag):
            entries = ", ".join(
                f'{{"text": "{tag} rule {i} \\u00e9", "source_insight_id": "{tag}"}}'
                for i in range(2000)
            )
            return '{"proposed": [' + entries + "]}"

        replies = {tag: reply(tag) for tag in ("a", "b", "c", "d")}
        assert all(len(r) > 65536 for r in replies.values())
        with ThreadPoolExecutor(4) as pool:
            results = dict(
                zip(
                    replies,
                    pool.map(lambda t: parse_evolution_output(replies[t], {t}), replies),
                    strict=True,
                )
            )
        for tag, out in results.items():
            assert out == [
                {"text": f"{tag} rule {i} \u00e9", "source_insight_id": tag} for i in range(2000)
            ]


class TestReplyShape:
    """Only the reply's own members and its proposals' own members count."""

    @pytest.mark.parametrize(
        "reply, expected",
        [
            ('{"a": {"proposed": [{"text": "x"}]}}', []),
            ('[{"proposed": [{"text": "x"}]}]', None),
            ('{"proposed": [[{"text": "x"}], {"x": {"text": "y"}}, {"text": {"text": "z"}}]}', []),
            ('{"proposed": [{"text": "x", "more": {"text": "y", "source_insight_id": "b"}}]}', "x"),
            ('{"proposed": [{"text": "x"}], "proposed": []}', []),
            ('{"proposed": [], "proposed": [{"text": "x"}]}', "x"),
            ('{"proposed": [{"text": "x"}], "proposed": 1, "proposed": [{"text": "y"}]}', "y"),
            ('{"proposed": [{"text": "x", "text": 1}, {"text": 1, "text": " y "}]}', "y"),
        ],
    )
    def test_decoys(self, reply, expected, warnings):
        out = parse_evolution_output(reply, {"a", "b"})
        if expected is None:
            only_warning(warnings, NOT_OBJECT, "type", "list")
            assert out == []
            return
        assert warnings == []
        want = [{"text": expected, "source_insight_id": "a"}] if expected else []
        assert out == want

    def test_last_source_member_wins_even_when_not_a_string(self):
        reply = (
            '{"proposed": [{"text": "x", "source_insight_id": "b", "source_insight_id": 2},'
            ' {"text": "y", "source_insight_id": 2, "source_insight_id": "b"}]}'
        )
        assert [p["source_insight_id"] for p in parse_evolution_output(reply, {"a", "b"})] == [
            "a",
            "b",
        ]


class TestHostileCallers:
    def test_set_member_eq_that_empties_the_set(self):
        # The fallback is owned by the parser, so emptying the set while it
        # is searched cannot free the identifier being returned.
        ids = set()

        class Sly(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                ids.clear()
                return str.__eq__(self, other)

        ids.add(Sly("a" * 50))
        reply = '{"proposed": [{"text": "t", "source_insight_id": "%s"}]}' % ("a" * 50)
        out = parse_evolution_output(reply, ids)
        assert out == [{"text": "t", "source_insight_id": "a" * 50}] and ids == set()

    def test_handler_reenters_the_parser(self, warnings):
        inner = []

        class Reenter(logging.Handler):
            def emit(self, record):
                if record.getMessage() == NOT_JSON:
                    inner.append(parse_evolution_output('{"proposed": [{"text": "in"}]}', {"i"}))

        handler = Reenter(logging.WARNING)
        evolution.logger.addHandler(handler)
        try:
            assert parse_evolution_output("not json", {"o"}) == []
        finally:
            evolution.logger.removeHandler(handler)
        assert inner == [[{"text": "in", "source_insight_id": "i"}]]

    def test_a_second_module_instance_has_its_own_state(self):
        import gc
        import importlib.util

        module_spec = importlib.util.find_spec("quorvane._internal.evolution")
        other = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(other)
        assert other is not evolution and other._EVOLUTION_SYSTEM == evolution._EVOLUTION_SYSTEM
        reply = '{"proposed": [{"text": " t "}]}'
        assert other.parse_evolution_output(reply, {"a"}) == [
            {"text": "t", "source_insight_id": "a"}
        ]
        build = other.build_evolution_prompt
        del other
        gc.collect()
        assert build([], [], 1) == build_evolution_prompt([], [], 1)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the legacy wide-char str API is gone")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_legacy_strings_that_are_not_ready_yet():
    import ctypes

    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]

    def unready(text):
        # Made through the wide-char API and left unready: nothing may read
        # its length or data before the parser does.
        s = api.PyUnicode_FromUnicode(None, len(text))
        wide = ctypes.create_unicode_buffer(text, len(text))
        ctypes.memmove(api.PyUnicode_AsUnicode(s), wide, ctypes.sizeof(wide))
        return s

    reply = '```json\n{"proposed": [{"text": " Keep it short. ", "source_insight_id": "é"}]}\n```'
    assert parse_evolution_output(unready(reply), {"é", "z"}) == [
        {"text": "Keep it short.", "source_insight_id": "é"}
    ]
    system, _ = build_evolution_prompt([], [], 1, unready("  Be kind.  "))
    assert "\n- Be kind.\n" in system


def test_help_and_stub_tell_the_same_story():
    import ast
    import inspect
    import pathlib

    stub = ast.parse(pathlib.Path(evolution.__file__).with_name("evolution.pyi").read_text())
    assert ast.get_docstring(stub) == inspect.cleandoc(evolution.__doc__)
    funcs = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert set(funcs) == {"build_evolution_prompt", "parse_evolution_output"}
    assert evolution.__all__ == ["build_evolution_prompt", "parse_evolution_output", "logger"]
    for name in funcs:
        func = getattr(evolution, name)
        assert ast.get_docstring(funcs[name]) == inspect.getdoc(func), name
        params = [a.arg for a in funcs[name].args.args]
        assert list(inspect.signature(func).parameters) == params, name
