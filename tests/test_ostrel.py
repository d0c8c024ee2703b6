"""quorvane._internal.ostrel: the judge's constants, cosine similarity over
lists, tuples and buffers, the transcript, and the verdict parse, each
against a plain-Python reference of its definition."""

import array
import ctypes
import math
import pickle
import struct
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quorvane._internal import ostrel
from quorvane._internal.ostrel import (
    build_convergence_prompt,
    cosine_similarity,
    parse_convergence_verdict,
)

SYSTEM = (
    "You are a thread-completion classifier for a multi-agent conversation. Your only job is to "
    "decide whether the thread has reached a natural stopping point \u2014 i.e. the participants "
    "have either resolved the question, agreed to defer it, handed off to another agent, or run "
    "out of substantive new information to add. You are NOT a quality reviewer: do not judge "
    "whether the answer is correct, only whether the thread is *done*. A thread can be DONE even "
    "when the participants disagree, as long as the disagreement itself is the conclusion. A "
    "thread is OPEN when the most recent turn proposes a question, action, or claim that would "
    "normally invite a substantive response. Respond with exactly one line in the form "
    "``CONVERGED|<one-sentence summary>`` or ``OPEN|<one-sentence reason>``. No preamble, no "
    "trailing text."
)
HEADER = "Thread transcript (chronological):"
QUESTION = (
    "Is this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>."
)


def ref_cosine(a, b):
    if len(a) != len(b):
        raise ValueError(
            f"cosine_similarity expects equal-length vectors, got len(a)={len(a)} and len(b)={len(b)}."
        )
    if len(a) == 0:
        return 0.0
    dot = norm_a = norm_b = 0.0
    for x, y in zip(a, b, strict=True):
        x, y = float(x), float(y)
        dot += x * y
        norm_a += x * x
        norm_b += y * y
    if norm_a == 0.0 or norm_b == 0.0:
        return 0.0
    return dot / (math.sqrt(norm_a) * math.sqrt(norm_b))


def ref_prompt(turns):
    lines = [HEADER]
    for sender, content in turns:
        lines.append("- [" + sender + "] " + " ".join(content.split()))
    lines.append("\n" + QUESTION)
    return "\n".join(lines)


def ref_verdict(text):
    raw = text.strip()
    if not raw or "|" not in raw:
        return (False, raw)
    head, tail = raw.split("|", 1)
    token, summary = head.strip().upper(), tail.strip()
    if token == "CONVERGED" and summary:
        return (True, summary)
    if token == "OPEN":
        return (False, summary or "judge marked thread open")
    return (False, raw)


def same_float(x, y):
    return struct.pack("<d", x) == struct.pack("<d", y) or (math.isnan(x) and math.isnan(y))


# --- constants -----------------------------------------------------------------


def test_constants():
    prompt = ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT
    assert prompt == SYSTEM
    assert (len(prompt), len(prompt.encode())) == (811, 813)
    assert type(ostrel.STAGNATION_COSINE_THRESHOLD) is float
    assert ostrel.STAGNATION_COSINE_THRESHOLD == 0.92
    public = {n for n in dir(ostrel) if not n.startswith("_")}
    assert sorted(ostrel.__all__) == sorted(public) and len(public) == 5


# --- cosine_similarity ---------------------------------------------------------


def test_cosine_definition_cases():
    assert cosine_similarity([1, 0], [0, 1]) == 0.0
    assert cosine_similarity([1, 2, 3], [1, 2, 3]) == 1.0
    # The two roots are multiplied: sqrt(2) * sqrt(2) is just above 2.
    assert cosine_similarity([1, 1], [1, 1]) == 1 - 2**-52
    assert cosine_similarity([1, 2, 3], [4, 5, 6]) == 32 / (math.sqrt(14) * math.sqrt(77))
    assert cosine_similarity([1, 0], [0, 0]) == 0.0
    assert cosine_similarity([], []) == 0.0
    assert cosine_similarity((), []) == 0.0
    assert math.isnan(cosine_similarity([1.0, math.nan], [1.0, 2.0]))
    assert cosine_similarity([1.0, math.nan], [0.0, 0.0]) == 0.0
    assert math.isnan(cosine_similarity([1e200], [1e200]))  # inf / inf
    assert cosine_similarity([-1e-170, 1e-170], [1, 1]) == 0.0  # squares underflow to zero


def test_cosine_is_not_fused():
    # dot = -1 + e*e: rounding the product first leaves 2**-29; a fused
    # multiply-add would keep the exact 2**-29 + 2**-60.
    e = 1 + 2**-30
    root = math.sqrt(2 + 2**-29)  # both norms are 1 + round(e*e)
    got = cosine_similarity([1.0, e], [-1.0, e])
    assert got == 2**-29 / (root * root)
    assert got != (2**-29 + 2**-60) / (root * root)


def test_cosine_length_mismatch_message():
    with pytest.raises(ValueError) as info:
        cosine_similarity([1, 2, 3], [1, 2])
    assert str(info.value) == (
        "cosine_similarity expects equal-length vectors, got len(a)=3 and len(b)=2."
    )
    with pytest.raises(ValueError, match=r"len\(a\)=0 and len\(b\)=1\.$"):
        cosine_similarity([], array.array("d", [1.0]))


reals = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1e3, max_value=1e3),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.booleans(),
)


@settings(max_examples=300)
@given(st.lists(st.tuples(reals, reals), max_size=40))
def test_cosine_matches_definition(pairs):
    a = [x for x, _ in pairs]
    b = [y for _, y in pairs]
    assert same_float(cosine_similarity(a, b), ref_cosine(a, b))
    assert same_float(cosine_similarity(tuple(a), b), ref_cosine(a, b))


def test_cosine_element_kinds():
    class Index:
        def __index__(self):
            return 3

    class Real:
        def __float__(self):
            return 0.5

    a = [Decimal("0.1"), Fraction(1, 3), Index(), Real(), True, 2**60]
    b = [1.0, 2, 3, 4, 5, 6]
    assert cosine_similarity(a, b) == ref_cosine(a, b)
    with pytest.raises(OverflowError):
        cosine_similarity([1.0, 10**400], [1.0, 1.0])
    for bad in ("1.0", None, 1j, [1.0]):
        with pytest.raises(TypeError, match=r"argument 'b' item 1 must be a real number"):
            cosine_similarity([1.0, 2.0], [1.0, bad])
    for bad in ({1: 2}, "ab", iter([1.0]), 1.0, None):
        with pytest.raises(TypeError, match="argument 'a' must be a list or tuple"):
            cosine_similarity(bad, [1.0])


def test_cosine_conversion_may_mutate_the_lists():
    # __float__ empties both lists and frees their other items: the call
    # keeps reading the vectors as they were when it started.
    a = [1.0, None, 3.0]
    b = [2.0, 5.0, 7.0]

    class Hostile:
        def __float__(self):
            a.clear()
            b[:] = [object()] * 100
            return 2.0

    a[1] = Hostile()
    assert cosine_similarity(a, b) == ref_cosine([1.0, 2.0, 3.0], [2.0, 5.0, 7.0])

    class Raises:
        def __float__(self):
            raise ArithmeticError("no")

    with pytest.raises(ArithmeticError):
        cosine_similarity([1.0, Raises()], [1.0, 2.0])


def test_cosine_reads_float_buffers_in_place():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(8)
    x, y = rng.standard_normal(301), rng.standard_normal(301)
    expected = ref_cosine(x.tolist(), y.tolist())
    assert cosine_similarity(x, y) == expected
    assert cosine_similarity(x, y.tolist()) == expected
    assert cosine_similarity(memoryview(x), array.array("d", y)) == expected
    # Strided, reversed and non-contiguous one-dimensional views.
    assert cosine_similarity(x[::3], y[::3]) == ref_cosine(x[::3].tolist(), y[::3].tolist())
    assert cosine_similarity(x[::-1], y[::-1]) == ref_cosine(x[::-1].tolist(), y[::-1].tolist())
    grid = np.stack([x, y], axis=1)  # columns are strided views
    assert cosine_similarity(grid[:, 0], grid[:, 1]) == expected
    # float32 elements widen exactly to double.
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    expected32 = ref_cosine([float(v) for v in x32], [float(v) for v in y32])
    assert cosine_similarity(x32, y32) == expected32
    assert cosine_similarity(array.array("f", x32.tolist()), y32) == expected32
    assert cosine_similarity(memoryview(x.tobytes()).cast("d"), y) == expected
    # Large enough to run without the GIL.
    big_x, big_y = rng.standard_normal(70_000), rng.standard_normal(70_000)
    assert cosine_similarity(big_x, big_y) == ref_cosine(big_x.tolist(), big_y.tolist())
    # Elements held in a list as NumPy scalars convert through __float__.
    assert cosine_similarity(list(x32), list(y)) == ref_cosine(x32.tolist(), y.tolist())


def test_cosine_buffers_without_stride_tables():
    # ctypes exports its arrays with no shape or stride table (contiguous
    # memory, as the buffer protocol allows), in "<d"-style formats.
    doubles = (ctypes.c_double * 3)(1, 2, 3)
    floats = (ctypes.c_float * 3)(1, 2, 3)
    expected = ref_cosine([1, 2, 3], [1, 2, 3])
    for a in (doubles, floats, pickle.PickleBuffer(doubles), pickle.PickleBuffer(floats)):
        assert cosine_similarity(a, [1.0, 2.0, 3.0]) == expected
        assert cosine_similarity([1.0, 2.0, 3.0], a) == expected
    for empty in ((ctypes.c_double * 0)(), pickle.PickleBuffer((ctypes.c_float * 0)())):
        assert cosine_similarity(empty, []) == 0.0
    with pytest.raises(ValueError, match="len"):
        cosine_similarity((ctypes.c_double * 2)(1, 2), [1.0])
    for bad, what in (
        ((ctypes.c_int * 3)(1, 2, 3), "format"),
        (((ctypes.c_double * 2) * 2)(), "one-dimensional"),
        (pickle.PickleBuffer(b"abc"), "format"),
        (pickle.PickleBuffer((ctypes.c_long * 1)()), "format"),
    ):
        with pytest.raises(TypeError, match=what):
            cosine_similarity(bad, [1.0, 2.0, 3.0])


def test_cosine_buffer_formats_and_shapes():
    raw = struct.pack("=3d", 1, 2, 3)
    native = {"d": [1.0, 2.0, 3.0], "f": [1.0, 2.0, 3.0]}
    for code, values in native.items():
        assert cosine_similarity(array.array(code, values), values) == ref_cosine(values, values)
    assert cosine_similarity(memoryview(raw).cast("d"), [1, 2, 3]) == ref_cosine(
        [1, 2, 3], [1, 2, 3]
    )
    for bad, what in (
        (memoryview(raw), "format"),  # bytes
        (memoryview(raw).cast("d", (1, 3)), "one-dimensional"),
        (memoryview(raw).cast("q"), "format"),
        (array.array("i", [1, 2, 3]), "format"),
    ):
        with pytest.raises(TypeError, match=what):
            cosine_similarity(bad, [1.0, 2.0, 3.0])


def test_cosine_numpy_views():
    np = pytest.importorskip("numpy")
    v = np.ones(3)
    ro = np.arange(6.0)[::2]
    ro.flags.writeable = False
    assert cosine_similarity(ro, [1.0, 1.0, 1.0]) == ref_cosine([0.0, 2.0, 4.0], [1, 1, 1])
    other = ">f8" if sys.byteorder == "little" else "<f8"
    swapped = np.ones(3, dtype=other)
    for good in (np.ones(3, dtype="=f8"), np.ones(3, dtype="=f4"), np.ones(3, dtype="f8")[::-1]):
        assert cosine_similarity(good, v) == ref_cosine([1, 1, 1], [1, 1, 1])
    for bad, what in (
        (np.ones(3, dtype=np.int64), "format"),
        (swapped, "format"),
        (swapped.astype(other.replace("8", "4")), "format"),
        (np.ones(3, dtype=np.complex128), "format"),
        (np.ones(3, dtype=np.float16), "format"),
        (b"abc", "format"),
        (np.ones((3, 1)), "one-dimensional"),
        (np.ones((1, 3))[:, ::2], "one-dimensional"),
        (np.float64(1.0), "one-dimensional"),
        (np.array(1.0), "one-dimensional"),
    ):
        with pytest.raises(TypeError, match=what):
            cosine_similarity(bad, v)


def test_cosine_releases_buffers_on_every_path():
    # array.array refuses to grow while a buffer export is held.
    a, b = array.array("d", [1.0, 2.0]), array.array("f", [3.0, 4.0])
    cosine_similarity(a, b)
    for args, exc in (
        ((a, [1.0]), ValueError),
        ((a, [1.0, "x"]), TypeError),
        ((b, bytearray(2)), TypeError),
        ((a, b"xy"), TypeError),
    ):
        with pytest.raises(exc):
            cosine_similarity(*args)
    for buf in (a, b):
        buf.append(0.0)
    assert len(a) == len(b) == 3


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ is new in 3.12")
def test_cosine_python_buffer_exporters_are_released():
    released = []

    class Exporter:
        def __init__(self, values):
            self.data = array.array("d", values)

        def __buffer__(self, flags):
            return memoryview(self.data)

        def __release_buffer__(self, view):
            released.append(view)

    assert cosine_similarity(Exporter([1.0, 2.0]), Exporter([2.0, 4.0])) == ref_cosine(
        [1, 2], [2, 4]
    )
    with pytest.raises(ValueError, match="len"):
        cosine_similarity(Exporter([1.0]), Exporter([1.0, 2.0]))
    with pytest.raises(TypeError, match="item 0"):
        cosine_similarity(Exporter([1.0]), ["x"])
    assert len(released) == 5


# --- build_convergence_prompt --------------------------------------------------


def test_prompt_layout():
    turns = [("A", "Shall we ship it?"), ("B", "Yes.\n\nLet's ship today.")]
    assert build_convergence_prompt(turns) == "\n".join(
        [HEADER, "- [A] Shall we ship it?", "- [B] Yes. Let's ship today.", "", QUESTION]
    )
    assert build_convergence_prompt([]) == HEADER + "\n\n" + QUESTION
    assert build_convergence_prompt(()) == HEADER + "\n\n" + QUESTION
    # Only the content folds; the sender is inserted as it stands.
    assert build_convergence_prompt([(" a\nb ", " \t\u3000")]).split("\n")[1:3] == ["- [ a", "b ] "]


# Text that exercises every whitespace code point, the three str layouts,
# lone surrogates, and the 8-unit blocks of the one-byte path.
WS = " \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"
texts = st.text(
    alphabet=st.one_of(
        st.sampled_from(WS + "ab.,-é\x7f\x80\xff"), st.characters(exclude_categories=())
    ),
    max_size=60,
) | st.lists(st.sampled_from(["word", " ", "  ", "\n", "x", "\u3000", "é"]), max_size=30).map(
    "".join
)


@settings(max_examples=200)
@given(st.lists(st.tuples(texts, texts), max_size=6))
@example([("a", "\xa0\u3000b\u3000")])  # only whitespace widens the content
def test_prompt_matches_definition(turns):
    assert build_convergence_prompt(turns) == ref_prompt(turns)
    assert build_convergence_prompt([list(t) for t in turns]) == ref_prompt(turns)


def test_prompt_turn_errors():
    with pytest.raises(TypeError, match="argument 'turns' must be list or tuple, not dict"):
        build_convergence_prompt({"a": "b"})
    for turn in [("a",), ("a", "b", "c"), [], ["a", "b", "c"]]:
        with pytest.raises(ValueError, match=r"turns\[1\] must have exactly 2 elements"):
            build_convergence_prompt([("x", "y"), turn])
    for turn in [None, 3, "ab", {"a": 1, "b": 2}, {"a", "b"}, memoryview(b"ab")]:
        with pytest.raises(TypeError, match=r"turns\[0\] must be a \(sender_id, content\)"):
            build_convergence_prompt([turn])
    with pytest.raises(TypeError, match=r"turns\[0\]\[0\] \(sender_id\) must be str, not int"):
        build_convergence_prompt([(1, "b")])
    with pytest.raises(TypeError, match=r"turns\[0\]\[1\] \(content\) must be str, not bytes"):
        build_convergence_prompt([("a", b"b")])


def test_prompt_turns_of_other_kinds_are_refused_before_any_copy():
    class Pair:
        """A sequence of two strs: still not a turn, and never read."""

        def __len__(self):
            raise AssertionError("read")

        def __getitem__(self, i):
            raise AssertionError("read")

    for turn in (range(10**9), Pair(), iter(["a", "b"])):
        with pytest.raises(TypeError, match=r"turns\[1\] must be a \(sender_id, content\) list or"):
            build_convergence_prompt([("planner", "ok"), turn])
    with pytest.raises(ValueError, match=r"turns\[1\] must have exactly 2 elements"):
        build_convergence_prompt([("planner", "ok"), list(range(10**6))])


# --- parse_convergence_verdict -------------------------------------------------


@pytest.mark.parametrize(
    "text, verdict",
    [
        ("CONVERGED|They agreed.", (True, "They agreed.")),
        ("  converged |  They agreed.  \n", (True, "They agreed.")),
        ("OPEN|", (False, "judge marked thread open")),
        ("OPEN|  \n ", (False, "judge marked thread open")),
        ("open|Waiting on B.", (False, "Waiting on B.")),
        ("Open | Waiting on B.", (False, "Waiting on B.")),
        ("CONVERGED|", (False, "CONVERGED|")),
        ("CONVERGED", (False, "CONVERGED")),
        ("DONE|x", (False, "DONE|x")),
        ("", (False, "")),
        (" \n ", (False, "")),
        ("CONVERGED|x|y", (True, "x|y")),
        ("OPEN|x\nsecond line", (False, "x\nsecond line")),
        ("|x", (False, "|x")),
        ("Verdict: CONVERGED|x", (False, "Verdict: CONVERGED|x")),
        ("CON VERGED|x", (False, "CON VERGED|x")),
        ("\u3000OPEN\u2003|\x85why\u2029", (False, "why")),
        ("OPEN\x00|x", (False, "OPEN\x00|x")),
        ("CONVERGED|\ud800", (True, "\ud800")),
    ],
)
def test_verdict_cases(text, verdict):
    assert parse_convergence_verdict(text) == verdict


@settings(max_examples=250)
@given(
    st.lists(
        st.sampled_from(["CONVERGED", "converged", "OPEN", "oPeN", "|", " ", "\n", "x", "ı", "ß"])
        | st.characters(exclude_categories=()),
        max_size=12,
    ).map("".join)
)
def test_verdict_matches_definition(text):
    got = parse_convergence_verdict(text)
    assert got == ref_verdict(text)
    assert type(got[0]) is bool and type(got[1]) is str


def test_verdict_returns_slices_of_the_input():
    text = "CONVERGED|" + "é" * 10
    assert parse_convergence_verdict(text)[1] == "é" * 10
    assert parse_convergence_verdict(text)[0] is True
    whole = "no pipe here"
    assert parse_convergence_verdict(whole)[1] is whole
    with pytest.raises(TypeError, match="argument 'text' must be str, not bytes"):
        parse_convergence_verdict(b"OPEN|x")


def test_verdict_token_case_over_every_code_point():
    # The token is upper-cased as str.upper() does, one code point at a time
    # (upper() has no context). A code point can only help spell CONVERGED
    # or OPEN if its upper case is a piece of one of them: only ASCII letters
    # qualify, so an ASCII case-insensitive comparison is exact.
    words = ("CONVERGED", "OPEN")
    pieces = {w[i:j] for w in words for i in range(len(w)) for j in range(i + 1, len(w) + 1)}
    spelling = {cp for cp in range(sys.maxunicode + 1) if chr(cp).upper() in pieces}
    assert spelling == {ord(c) for c in "CONVERGDPconvergdp"}
    # So head.strip().upper() spells a verdict word with one code point
    # swapped only for that letter in either case (a stripped whitespace
    # leaves the token one letter short). The parser agrees for every code
    # point, surrogates included, at either end of a token.
    for template, letter in (("{}PEN|r", "o"), ("CONVERGE{}|r", "d")):
        texts = map(template.format, map(chr, range(sys.maxunicode + 1)))
        verdicts = map(parse_convergence_verdict, texts)
        accepted = {cp for cp, (_, text) in enumerate(verdicts) if text == "r"}
        assert accepted == {ord(letter), ord(letter.upper())}
