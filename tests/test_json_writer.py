"""The JSON form of structured memory content, checked against the standard
library: it must equal json.dumps(content, ensure_ascii=True, default=str)
byte for byte, and fail where json fails, with the same error."""

import ast
import collections
import datetime
import decimal
import enum
import json
import math
import pathlib
import sys
import types
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._internal.consolidation import build_consolidation_prompt

DATA = pathlib.Path(__file__).parent / "data"
PREFIX = "Memories:\n[1] (e, c): "


def encode(content):
    """The content as the builder writes it into a memory line."""
    _, messages = build_consolidation_prompt(
        [{"content": content, "event_type": "e", "created_at": "c"}]
    )
    text = messages[0]["content"]
    start = text.index(PREFIX) + len(PREFIX)
    assert text.endswith("\n")
    return text[start:-1]


def oracle(content):
    return json.dumps(content, ensure_ascii=True, default=str)


def same_outcome(content):
    try:
        expected = oracle(content)
    except Exception as exc:  # noqa: BLE001 - any json error must be mirrored
        with pytest.raises(type(exc)) as info:
            encode(content)
        assert str(info.value) == str(exc)
        return
    assert encode(content) == expected


def read_tsv(path):
    rows = path.read_text(encoding="utf-8").splitlines()
    header = rows[0].split("\t")
    return [dict(zip(header, row.split("\t"), strict=True)) for row in rows[1:]]


# --- numbers -----------------------------------------------------------------


def test_float_forms_match_repr_on_the_cpython_table():
    rows = read_tsv(DATA / "cpython-float" / "repr-cases.tsv")
    assert len(rows) > 9000
    values = [float.fromhex(r["hex"]) if r["hex"] != "nan" else math.nan for r in rows]
    finite = [(v, r["repr"]) for v, r in zip(values, rows, strict=True) if math.isfinite(v)]
    # As values and as keys, in one document each.
    assert (
        encode({"v": [v for v, _ in finite]}) == '{"v": [' + ", ".join(r for _, r in finite) + "]}"
    )
    keyed = {v: 0 for v, _ in finite}
    assert encode(keyed) == oracle(keyed)


@settings(max_examples=3000)
@given(st.floats(allow_nan=True, allow_infinity=True))
def test_float_values_and_keys(x):
    assert encode({"x": x, "l": [x, -x]}) == oracle({"x": x, "l": [x, -x]})
    assert encode({x: 1}) == oracle({x: 1})


@given(st.integers(min_value=-(10**60), max_value=10**60) | st.integers())
def test_int_values_and_keys(n):
    assert encode({"n": n, n: [n]}) == oracle({"n": n, n: [n]})


def test_number_edge_forms():
    content = {
        "specials": [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e16, 1e-05, 1e-4, 1e15, 5e-324],
        "ints": [0, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**100],
        "consts": [True, False, None],
        math.nan: 1,
        math.inf: 2,
        True: 4,
        False: 5,
        None: 6,
        -(10**30): 7,
    }
    assert encode(content) == oracle(content)
    assert encode({"x": 1e16, "y": 1e-05}) == '{"x": 1e+16, "y": 1e-05}'
    assert encode({-0.0: 1, 2.0: 2}) == '{"-0.0": 1, "2.0": 2}'


def test_number_subclasses_use_the_base_forms():
    class Colour(enum.IntEnum):
        RED = 1

    class Flag(enum.IntFlag):
        A = 4

    class Weird(float):
        def __repr__(self):
            return "weird"

        __str__ = __repr__

    class Big(int):
        def __repr__(self):
            return "big"

    content = {
        "enum": Colour.RED,
        Colour.RED: Flag.A,
        "f": Weird(2.5),
        Weird(0.5): Big(10**40),
        Big(3): Weird(math.inf),
    }
    assert encode(content) == oracle(content)
    assert encode(content).startswith('{"enum": 1, "1": 4, "f": 2.5, "0.5": 1000')


def test_int_beyond_the_str_digits_limit_fails_like_json():
    if not hasattr(sys, "get_int_max_str_digits"):
        pytest.skip("no int string-conversion limit here")
    same_outcome({"n": 10 ** (sys.get_int_max_str_digits() + 5)})


# --- strings -----------------------------------------------------------------


def test_string_escapes_from_cpython_cases():
    rows = read_tsv(DATA / "cpython-json" / "encode-basestring-ascii.tsv")
    for row in rows:
        text, expected = ast.literal_eval(row["text"]), ast.literal_eval(row["json"])
        assert encode({"s": text}) == '{"s": ' + expected + "}"
        assert encode({text: 0}) == "{" + expected + ": 0}"


def test_string_escapes_cover_every_class():
    text = '\x00\x1f \x7f\x80\xff/\\"\b\f\n\r\t\u2028\ud800\udfff\U0001f600\U0010ffff~Z\u00fcrich'
    content = {"s": text, text: [text], "sub": type("S", (str,), {})(text)}
    assert encode(content) == oracle(content)
    assert encode({"s": "Z\u00fcrich"}) == '{"s": "Z\\u00fcrich"}'


@settings(max_examples=500)
@given(st.text(st.characters(exclude_categories=())))
def test_any_text_value_or_key(text):
    assert encode({"s": text, text: 1}) == oracle({"s": text, text: 1})


# --- structure ---------------------------------------------------------------


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


plain_scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(st.characters(exclude_categories=()), max_size=12)
)
keys = (
    st.text(st.characters(exclude_categories=()), max_size=6)
    | st.integers()
    | st.floats()
    | st.booleans()
    | st.none()
)
no_json_form = st.sampled_from(
    [
        datetime.datetime(2026, 11, 2, 9, 14),
        datetime.date(2026, 1, 1),
        {1, 2},
        frozenset(),
        uuid.UUID(int=12345),
        types.MappingProxyType({"a": 1}),
        b"bytes\x00",
        decimal.Decimal("1.10"),
        1 + 2j,
        range(3),
        collections.deque([1]),
    ]
)


def containers(children):
    return (
        st.lists(children, max_size=4)
        | st.lists(children, max_size=4).map(tuple)
        | st.lists(children, max_size=4).map(MyList)
        | st.lists(children, max_size=4).map(MyTuple)
        | st.dictionaries(keys, children, max_size=4)
        | st.dictionaries(keys, children, max_size=4).map(MyDict)
        | st.dictionaries(keys, children, max_size=4).map(collections.OrderedDict)
    )


documents = st.dictionaries(
    keys, st.recursive(plain_scalars | no_json_form, containers, max_leaves=25), max_size=5
)


@settings(max_examples=600)
@given(documents)
def test_nested_documents(content):
    assert encode(content) == oracle(content)


def test_insertion_order_and_separators():
    content = {"b": 1, "a": [1, 2], "n": {}, "l": [], "t": (), "d": {"z": (None,)}}
    assert encode(content) == '{"b": 1, "a": [1, 2], "n": {}, "l": [], "t": [], "d": {"z": [null]}}'


def test_jsonchecker_pass_documents_round_trip():
    rows = read_tsv(DATA / "cpython-json" / "jsonchecker-python.tsv")
    passes = [r for r in rows if r["name"].startswith("pass")]
    assert passes
    for row in passes:
        doc = json.loads(ast.literal_eval(row["json"]))
        assert encode({"doc": doc}) == oracle({"doc": doc})


def test_values_without_json_form_are_their_str():
    class Shown:
        def __str__(self):
            return 'caf\u00e9 "x"'

    content = {"when": datetime.datetime(2026, 1, 2, 3, 4, 5), "obj": Shown(), "set": {3}}
    assert encode(content) == oracle(content)
    assert encode({"obj": Shown()}) == '{"obj": "caf\\u00e9 \\"x\\""}'


def test_subclass_hooks_are_honoured_as_json_honours_them():
    class Items(dict):
        def items(self):
            return [("x", 1), (2, "y")]

    class Iter(list):
        def __iter__(self):
            return iter([9, 8])

    class Odd(tuple):
        def __iter__(self):
            return iter(["t"])

    content = {
        "items": Items(a=0),
        "empty": Items(),
        "iter": Iter([1, 2, 3]),
        "empty_iter": Iter(),
        "odd": Odd((1,)),
    }
    assert encode(content) == oracle(content)


# --- failures ------------------------------------------------------------------


@pytest.mark.parametrize(
    "content",
    [
        {(1, 2): "tuple key"},
        {"ok": {b"k": 1}},
        {"ok": [{frozenset(): 1}]},
        {"ok": 1, object(): 2},
    ],
    ids=["tuple", "bytes", "frozenset", "object"],
)
def test_bad_key_kinds_raise_type_error(content):
    with pytest.raises(TypeError, match="^keys must be str, int, float, bool or None, not "):
        encode(content)
    same_outcome(content)


def test_self_containing_records_raise_value_error():
    direct = {}
    direct["me"] = direct
    through_list = {"l": []}
    through_list["l"].append(through_list)
    nested_list = []
    nested_list.append([nested_list])
    sub = MyDict()
    sub["me"] = sub
    sub_list = MyList()
    sub_list.append({"in": sub_list})
    sub_tuple_holder = []
    sub_tuple = MyTuple((sub_tuple_holder,))
    sub_tuple_holder.append(sub_tuple)
    for content in (
        direct,
        through_list,
        {"x": nested_list},
        sub,
        {"l": sub_list},
        {"t": sub_tuple},
    ):
        with pytest.raises(ValueError, match="^Circular reference detected$"):
            encode(content)
    # A value seen twice but not inside itself is fine.
    shared = [1]
    assert encode({"a": shared, "b": [shared, shared]}) == '{"a": [1], "b": [[1], [1]]}'


def test_bad_items_raise_like_json():
    class NotPairs(dict):
        def items(self):
            return [("a", 1, 2)]

    class NotIterable(dict):
        def items(self):
            return 5

    same_outcome({"x": NotPairs(a=1)})
    same_outcome({"x": NotIterable(a=1)})
    with pytest.raises(ValueError, match="items must return 2-tuples"):
        encode({"x": NotPairs(a=1)})


def test_deep_nesting_raises_recursion_error():
    for wrap in (lambda v: [v], lambda v: {"k": v}, lambda v: MyTuple((v,))):
        deep = 0
        for _ in range(100_000):
            deep = wrap(deep)
        with pytest.raises(RecursionError):
            encode({"deep": deep})


def test_errors_from_str_propagate():
    class Broken:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        encode({"a": [1, Broken()]})


def test_mutation_during_encoding_is_safe_and_matches_json():
    class Clearing:
        """Empties its container when it is turned into text."""

        def __init__(self, target):
            self.target = target

        def __str__(self):
            self.target.clear()
            return "cleared"

    def fresh():
        inner = {"a": [1, 2, 3], "b": "x" * 50, "c": {"deep": [4.5]}}
        inner["z"] = Clearing(inner)
        items = [1, [2], "three"]
        items.insert(1, Clearing(items))
        return {"inner": inner, "items": items}

    assert encode(fresh()) == oracle(fresh())

    class Growing:
        """Adds members to every dict it was given when turned into text."""

        def __init__(self, *targets):
            self.targets = targets

        def __str__(self):
            for t in self.targets:
                t.clear()
                t.update({f"new{i}": i for i in range(50)})
            return "grown"

    def nested():
        outer = {"first": 1, "deep": None, "after": "kept", "more": [2.5]}
        middle = {"m0": 0, "list": [], "m2": {"x": 1}}
        middle["list"].append(Growing(outer, middle))
        outer["deep"] = {"middle": middle, "tail": True}
        return {"outer": outer, "last": "end"}

    if sys.version_info < (3, 12):
        assert encode(nested()) == oracle(nested())
    else:
        # From 3.12 json walks a dict in place while a __str__ rewrites it;
        # the writer keeps the snapshot rule of 3.11, whose text is still
        # valid JSON with every member the dicts held when they were reached.
        assert json.loads(encode(nested()))["last"] == "end"


def test_a_dict_rewritten_while_written_gives_each_member_once_and_ends():
    # From 3.12 json.dumps walks an exact dict in place: a __str__ that puts
    # its own member back writes that name again, and one that adds a member
    # each time never finishes. The writer writes every dict from the members
    # it held when reached (json's rule up to 3.11), on every version.
    class Again:
        def __init__(self, d):
            self.d = d

        def __str__(self):
            self.d["x"] = self.d.pop("x")
            return "again"

    class Spawning:
        calls = 0

        def __init__(self, d):
            self.d = d

        def __str__(self):
            Spawning.calls += 1
            assert Spawning.calls < 100, "still writing"
            self.d[f"k{Spawning.calls}"] = Spawning(self.d)
            return "s"

    again = {}
    again["x"] = Again(again)
    assert encode(again) == '{"x": "again"}'
    spawning = {}
    spawning["k0"] = Spawning(spawning)
    assert encode({"outer": spawning}) == '{"outer": {"k0": "s"}}'
    assert Spawning.calls == 1


def test_deep_nesting_on_a_small_thread_stack_with_a_raised_limit(sanitized):
    # The recursion counter alone would let the C stack overflow here; run in
    # a child process so a crash shows up as a failure, not a dead test run.
    # The writer's fixed depth is sized for optimised frames.
    if sanitized:
        pytest.skip("sanitizer frames are several times larger than optimised ones")
    import subprocess
    import textwrap

    code = textwrap.dedent(
        """
        import os, sys, threading
        from quorvane._internal.consolidation import build_consolidation_prompt
        sys.setrecursionlimit(10**6)
        outcome = []
        keep = []  # freeing the nest on the small stack can crash CPython itself (3.13)
        def run():
            deep = 0
            for _ in range(19_000):
                deep = {"k": deep}
            keep.append(deep)
            try:
                build_consolidation_prompt(
                    [{"content": {"d": deep}, "event_type": "e", "created_at": "c"}])
                outcome.append("ok")
            except RecursionError:
                outcome.append("RecursionError")
        threading.stack_size(1 << 19)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        print(outcome[0], flush=True)
        os._exit(0)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "RecursionError"
