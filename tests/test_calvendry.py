"""quorvane._internal.calvendry: the team-synthesis body (order, number form,
byte stability, hardening against rows that run code) and the prompt hash
(published SHA-256 vectors, hashlib on generated texts)."""

import ast
import decimal
import fractions
import hashlib
import math
import pathlib
import random
import struct
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._internal import calvendry
from quorvane._internal.calvendry import build_calvendry_prompt, compute_prompt_hash

DATA = pathlib.Path(__file__).parent / "data"
HEADER = "Team-shared memories (one per line, prefixed with team_score):"
FOOTER = "Synthesise a single team insight that captures the collective signal across the above memories."
SYSTEM = (
    "You are the team's collective synthesis voice. Given a set of memories shared by multiple "
    "agents in this workspace, distill a single concise team insight that captures the "
    "consensus, pattern, or unresolved tension across them. Speak in the team's voice "
    "\u2014 do NOT attribute by agent. Do NOT invent facts beyond what the shared memories state."
)


class Row:
    def __init__(self, content, team_score, **extra):
        self.content = content
        self.team_score = team_score
        self.__dict__.update(extra)


def reference_body(rows):
    """The body written plainly in Python; NaN scores last, ties in input order."""

    def key(r):
        x = float(r.team_score)
        return (math.isnan(x), -x)

    lines = [HEADER]
    for r in sorted(rows, key=key):
        lines.append(f"- ({float(r.team_score):.3f}) {r.content}")
    lines.append("\n" + FOOTER)
    return "\n".join(lines)


def reference_hash(text):
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


def read_tsv(path):
    rows = path.read_text(encoding="utf-8").splitlines()
    header = rows[0].split("\t")
    return [dict(zip(header, row.split("\t"), strict=True)) for row in rows[1:]]


# --- the body ------------------------------------------------------------------------


def test_system_prompt_is_exact():
    assert calvendry.CALVENDRY_SYSTEM_PROMPT == SYSTEM
    assert len(SYSTEM) == 340 and len(SYSTEM.encode()) == 342
    public = {n for n in dir(calvendry) if not n.startswith("_")}
    assert public == {"CALVENDRY_SYSTEM_PROMPT", "build_calvendry_prompt", "compute_prompt_hash"}
    assert sorted(calvendry.__all__) == sorted(public)


def test_empty_list_gives_header_blank_and_footer():
    assert build_calvendry_prompt([]) == f"{HEADER}\n\n{FOOTER}"


def test_two_rows_highest_first_and_ties_in_input_order():
    a, b = Row("A", 0.2), Row("B", 0.9)
    assert build_calvendry_prompt([a, b]).split("\n") == [
        HEADER,
        "- (0.900) B",
        "- (0.200) A",
        "",
        FOOTER,
    ]
    x, y, z = Row("x", 0.5), Row("y", 0.5), Row("z", 1)
    first = build_calvendry_prompt([x, y, z])
    second = build_calvendry_prompt([y, x, z])
    assert first.split("\n")[1:4] == ["- (1.000) z", "- (0.500) x", "- (0.500) y"]
    assert second.split("\n")[1:4] == ["- (1.000) z", "- (0.500) y", "- (0.500) x"]
    assert compute_prompt_hash(first) != compute_prompt_hash(second)


@pytest.mark.parametrize(
    "score, shown",
    [
        (1, "1.000"),
        (True, "1.000"),
        (False, "0.000"),
        (0.9996, "1.000"),
        (0.0004, "0.000"),
        (0.0005, "0.001"),  # the double lies just above the tie
        (0.125, "0.125"),
        (0.0625, "0.062"),  # an exact tie goes to the even digit
        (2.5e-4, "0.000"),
        (-0.0, "-0.000"),
        (-1e-9, "-0.000"),
        (-3, "-3.000"),
        (1e22, "10000000000000000000000.000"),
        (2**53 + 1, "9007199254740992.000"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (math.nan, "nan"),
        (-math.nan, "nan"),
    ],
)
def test_score_forms(score, shown):
    assert build_calvendry_prompt([Row("c", score)]).split("\n")[1] == f"- ({shown}) c"
    assert format(score, ".3f") == shown


def test_scores_match_format_on_the_cpython_float_table():
    rows = read_tsv(DATA / "cpython-float" / "repr-cases.tsv")
    values = [math.nan if r["hex"] == "nan" else float.fromhex(r["hex"]) for r in rows]
    body = build_calvendry_prompt([Row(i, v) for i, v in enumerate(values)])
    shown = {}
    for line in body.split("\n")[1:-2]:
        score, index = line[3:].split(") ")
        shown[int(index)] = score
    assert len(shown) == len(rows)
    assert all(shown[i] == r["fixed3"] for i, r in enumerate(rows))


def test_scores_match_format_on_random_doubles():
    # Every exponent and the decimal ties around the rounding points.
    rnd = random.Random(11)
    values = [
        struct.unpack("<d", rnd.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(4000)
    ]
    values += [rnd.uniform(-1e5, 1e5) for _ in range(4000)]
    values += [(k + 0.5) / 1000 for k in range(-3000, 3000)]
    values += [2.0**52 + d for d in (-1.5, -1, -0.5, 0, 1, 2)] + [2.0**-1074, -(2.0**-1022)]
    body = build_calvendry_prompt([Row(i, v) for i, v in enumerate(values)])
    for line in body.split("\n")[1:-2]:
        score, index = line[3:].split(") ")
        assert score == format(values[int(index)], ".3f")


def test_real_numbers_beyond_int_and_float():
    class Score(float):
        def __format__(self, format_spec):
            return "never used"

    class Index:  # an integer without __float__, read as float() reads it
        def __index__(self):
            return 3

    rows = [
        Row("decimal", decimal.Decimal("0.3335")),
        Row("fraction", fractions.Fraction(2, 3)),
        Row("subclass", Score(0.25)),
        Row("index", Index()),
    ]
    assert build_calvendry_prompt(rows).split("\n")[1:5] == [
        "- (3.000) index",
        "- (0.667) fraction",
        "- (0.334) decimal",
        "- (0.250) subclass",
    ]
    np = pytest.importorskip("numpy")
    rows = [Row("f32", np.float32(0.1)), Row("i64", np.int64(2)), Row("f64", np.float64(0.5))]
    assert build_calvendry_prompt(rows).split("\n")[1:4] == [
        "- (2.000) i64",
        "- (0.500) f64",
        "- (0.100) f32",
    ]


def test_nan_scores_go_last_in_input_order():
    rows = [Row("n1", math.nan), Row("low", -math.inf), Row("n2", -math.nan), Row("hi", 2)]
    assert build_calvendry_prompt(rows).split("\n")[1:5] == [
        "- (2.000) hi",
        "- (-inf) low",
        "- (nan) n1",
        "- (nan) n2",
    ]


def test_integers_compare_as_doubles():
    # 2**53 + 1 and 2.0**53 are the same double: a tie, kept in input order.
    rows = [Row("int", 2**53 + 1), Row("float", 2.0**53), Row("zero", 0), Row("negzero", -0.0)]
    assert build_calvendry_prompt(rows).split("\n")[1:5] == [
        "- (9007199254740992.000) int",
        "- (9007199254740992.000) float",
        "- (0.000) zero",
        "- (-0.000) negzero",
    ]


def test_content_forms():
    class Sub(str):
        def __str__(self):
            return "overridden"

    class Stamp:
        def __str__(self):
            return "T+1"

    rows = [
        Row("line one\nline two", 6),
        Row("Z\u00fcrich \U0001f600 \ud800 {count}", 5),
        Row(Sub("own value"), 4),
        Row(Stamp(), 3),
        Row(None, 2),
        Row(1.5, 1),
        Row({"k": [1]}, 0),
        Row("", -1),
        Row("x" * 200, -2),
    ]
    assert build_calvendry_prompt(rows).split("\n")[1:12] == [
        "- (6.000) line one",
        "line two",
        "- (5.000) Z\u00fcrich \U0001f600 \ud800 {count}",
        "- (4.000) own value",
        "- (3.000) T+1",
        "- (2.000) None",
        "- (1.000) 1.5",
        "- (0.000) {'k': [1]}",
        "- (-1.000) ",
        "- (-2.000) " + "x" * 200,
        "",
    ]
    assert type(build_calvendry_prompt([Row(Sub("s"), 1)])) is str


def test_only_content_and_team_score_are_read():
    read = []

    class Logged:
        def __init__(self, name, score):
            self._name, self._score = name, score

        @property
        def team_score(self):
            read.append(("team_score", self._name))
            return self._score

        @property
        def content(self):
            read.append(("content", self._name))
            return self._name

    build_calvendry_prompt([Logged("a", 0.1), Logged("b", 0.9)])
    # Every score first, in input order; then the contents in output order.
    assert read == [("team_score", "a"), ("team_score", "b"), ("content", "b"), ("content", "a")]


@pytest.mark.parametrize("bad", [None, (), "rows", iter([]), {0: Row("c", 1)}])
def test_rows_must_be_a_list(bad):
    with pytest.raises(TypeError, match=r"build_calvendry_prompt\(\) argument 'rows' must be list"):
        build_calvendry_prompt(bad)


@pytest.mark.parametrize("score", ["0.5", None, 1j, object(), [1.0], b"1"])
def test_non_real_scores_raise_type_error(score):
    with pytest.raises(TypeError, match=r"item 1: team_score must be a real number, not "):
        build_calvendry_prompt([Row("ok", 1), Row("bad", score)])


def test_malformed_rows():
    class NoScore:
        content = "c"

    class NoContent:
        team_score = 1.0

    class BadFloat:
        def __float__(self):
            raise ValueError("no float")

    class BadStr:
        def __str__(self):
            raise RuntimeError("no str")

    with pytest.raises(AttributeError, match="team_score"):
        build_calvendry_prompt([Row("c", 1), NoScore()])
    with pytest.raises(AttributeError, match="content"):
        build_calvendry_prompt([NoContent(), Row("c", 1)])
    # A missing score is found before a missing content in an earlier row.
    with pytest.raises(AttributeError, match="team_score"):
        build_calvendry_prompt([NoContent(), NoScore()])
    with pytest.raises(ValueError, match="no float"):
        build_calvendry_prompt([Row("c", BadFloat())])
    with pytest.raises(RuntimeError, match="no str"):
        build_calvendry_prompt([Row(BadStr(), 1)])
    with pytest.raises(OverflowError):
        build_calvendry_prompt([Row("c", 10**400)])
    # Rows are read by attribute: a mapping is not a row.
    with pytest.raises(AttributeError):
        build_calvendry_prompt([{"content": "c", "team_score": 1}])


def test_a_missing_attribute_names_its_row():
    class NoScore:
        content = "c"

    class NoContent:
        team_score = 1.0

    for rows, name, index in (
        ([Row("c", 1)] * 4 + [NoScore()], "team_score", 4),
        ([Row("c", 1), NoContent()], "content", 1),
    ):
        with pytest.raises(AttributeError) as info:
            build_calvendry_prompt(rows)
        plain = AttributeError(f"'{type(rows[-1]).__name__}' object has no attribute '{name}'")
        assert info.value.args == plain.args
        assert getattr(info.value, "__notes__", None) == (
            [f"rows[{index}]"] if sys.version_info >= (3, 11) else None
        )


def test_call_signature():
    with pytest.raises(TypeError):
        build_calvendry_prompt()
    with pytest.raises(TypeError):
        build_calvendry_prompt([], [])
    assert build_calvendry_prompt(rows=[]) == build_calvendry_prompt([])
    with pytest.raises(TypeError, match="unexpected keyword argument 'text'"):
        compute_prompt_hash(text="x")


def test_the_callers_list_is_never_reordered():
    rows = [Row("a", 0.1), Row("b", 0.5), Row("c", 0.3)]
    before = list(rows)
    build_calvendry_prompt(rows)
    assert rows == before


def test_rows_that_edit_the_list_while_it_is_read():
    rows = []

    class Score:
        def __float__(self):
            rows.clear()
            rows.extend(Row(str(i), i) for i in range(100))
            return 0.7

    class Content:
        def __str__(self):
            del rows[:]
            victim.__dict__.clear()
            return "edited"

    victim = Row(Content(), Score())
    rows.extend([Row("first", 0.1), victim, Row("last", 0.9)])
    assert build_calvendry_prompt(rows).split("\n")[1:4] == [
        "- (0.900) last",
        "- (0.700) edited",
        "- (0.100) first",
    ]
    assert rows == []


def test_nested_call_from_a_content_str():
    inner_rows = [Row("x" * 100, 0.5), Row("\u00e9", 0.25)]
    inner = build_calvendry_prompt(inner_rows)

    class Nested:
        def __str__(self):
            assert build_calvendry_prompt(inner_rows) == inner
            return compute_prompt_hash(inner)

    body = build_calvendry_prompt([Row(Nested(), 1), Row("y" * 100, 0)])
    assert body.split("\n")[1:3] == [f"- (1.000) {reference_hash(inner)}", "- (0.000) " + "y" * 100]


scores = (
    st.floats()
    | st.integers(-(2**60), 2**60)
    | st.booleans()
    | st.sampled_from([0.5, 0.25, 1, 0.0, -0.0])
)
contents = st.text(max_size=20) | st.integers() | st.none() | st.floats()


@settings(max_examples=400)
@given(st.lists(st.builds(Row, contents, scores), max_size=12))
def test_matches_the_plain_rendering(rows):
    body = build_calvendry_prompt(rows)
    assert body == reference_body(rows)
    assert not body.endswith("\n")


# --- the hash ------------------------------------------------------------------------


def test_published_and_generated_vectors():
    limit = 1 << 23  # rows up to 8 MiB; the gigabyte messages are left out
    rows = read_tsv(DATA / "sha256" / "vectors.tsv")
    assert len(rows) == 225
    checked = 0
    for row in rows:
        literal, _, count = row["text"].rpartition(" * ")
        if literal and literal[-1] in "'\"":
            text, repeat = ast.literal_eval(literal), int(count)
        else:
            text, repeat = ast.literal_eval(row["text"]), 1
        if len(text.encode()) * repeat > limit:
            continue
        assert compute_prompt_hash(text * repeat) == row["sha256"][:16], row["text"][:40]
        checked += 1
    assert checked == 221


@settings(max_examples=400)
@given(st.text(st.characters(exclude_categories=("Cs",))))
def test_hash_matches_hashlib(text):
    assert compute_prompt_hash(text) == reference_hash(text)


def test_hash_form_and_sensitivity():
    body = build_calvendry_prompt([Row("a \u2014 b", 1)])
    h = compute_prompt_hash(body)
    assert len(h) == 16 and set(h) <= set("0123456789abcdef")
    assert compute_prompt_hash(body) == h
    assert compute_prompt_hash(body + "\n") != h
    assert h == hashlib.sha256(body.encode()).hexdigest()[:16]
    # The em dash is hashed as its three UTF-8 bytes.
    assert compute_prompt_hash("\u2014") == hashlib.sha256(b"\xe2\x80\x94").hexdigest()[:16]
    assert compute_prompt_hash(type("P", (str,), {})("abc")) == "ba7816bf8f01cfea"


def test_lone_surrogate_and_wrong_kinds():
    for text in ("\ud800", "ok \udfff", "x" * 5000 + "\ud83d"):
        with pytest.raises(UnicodeEncodeError):
            compute_prompt_hash(text)
    for bad in (None, b"abc", bytearray(b"abc"), memoryview(b"abc"), 1):
        with pytest.raises(TypeError, match=r"compute_prompt_hash\(\) argument 'prompt' must"):
            compute_prompt_hash(bad)


def test_hash_leaves_no_utf8_copy_on_the_str():
    for text in ("".join(["caf\u00e9 \u2014 "] * 500), "\U0001f600" * 100, "a" * 3000):
        size = sys.getsizeof(text)
        compute_prompt_hash(text)
        assert sys.getsizeof(text) == size


def test_hash_from_threads_on_large_prompts():
    # Large inputs are digested with the GIL released, while the prompt is
    # held only by the call; every thread must see its own bytes.
    texts = [chr(ord("a") + i) * (3 << 20) for i in range(4)] + ["\u00e9" * (1 << 20)]
    expected = [reference_hash(t) for t in texts]
    results = [None] * len(texts)

    def work(i):
        results[i] = compute_prompt_hash(texts[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected
