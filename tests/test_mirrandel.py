"""The directive domain classifier and the evolution step's diversity constants.

The oracle is plain Python: ``text.lower()`` and ``in`` over the keyword
table, which is written out here on its own so a typo in the module's table
shows up as a disagreement."""

import random
import sys
import threading
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._internal import mirrandel
from quorvane._internal.mirrandel import DOMAIN_GENERAL, classify_directive_domain

TABLE = [
    (
        "billing",
        ("refund", "charge", "invoice", "payment", "billing", "subscription", "price", "discount"),
    ),
    (
        "security",
        (
            "password",
            "credential",
            "auth",
            "verify identity",
            "verification",
            "fraud",
            "phishing",
            "two-factor",
            "2fa",
            "pii",
        ),
    ),
    ("escalation", ("escalate", "supervisor", "manager", "human agent", "transfer to")),
    (
        "fulfillment",
        (
            "ship",
            "shipping",
            "delivery",
            "tracking",
            "warehouse",
            "fulfillment",
            "order status",
            "carrier",
        ),
    ),
    ("retention", ("cancel", "churn", "retain", "win back", "loyalty", "renew", "renewal")),
]
KEYWORDS = [kw for _, kws in TABLE for kw in kws]


def reference(text: str) -> str:
    low = text.lower()
    for domain, keywords in TABLE:
        if any(kw in low for kw in keywords):
            return domain
    return "general"


# -- the module's surface ----------------------------------------------------


def test_constants():
    assert mirrandel.EVOLVE_DEDUP_THRESHOLD == 0.85
    assert type(mirrandel.EVOLVE_DEDUP_THRESHOLD) is float
    assert mirrandel.EVOLVE_MAX_PER_DOMAIN == 1
    assert type(mirrandel.EVOLVE_MAX_PER_DOMAIN) is int
    assert DOMAIN_GENERAL == "general"
    assert type(mirrandel.DIRECTIVE_DOMAINS) is frozenset
    assert mirrandel.DIRECTIVE_DOMAINS == {d for d, _ in TABLE} | {"general"}


def test_public_names_and_load_order():
    assert mirrandel.__all__ == [
        "DIRECTIVE_DOMAINS",
        "DOMAIN_GENERAL",
        "EVOLVE_DEDUP_THRESHOLD",
        "EVOLVE_MAX_PER_DOMAIN",
        "classify_directive_domain",
    ]
    order = [
        "EVOLVE_DEDUP_THRESHOLD",
        "EVOLVE_MAX_PER_DOMAIN",
        "DOMAIN_GENERAL",
        "DIRECTIVE_DOMAINS",
        "_DOMAIN_KEYWORDS",
        "classify_directive_domain",
        "__all__",
    ]
    names = [n for n in vars(mirrandel) if n in order]
    assert names == order


def test_keyword_table_is_exact_ordered_and_read_only():
    table = mirrandel._DOMAIN_KEYWORDS
    assert isinstance(table, types.MappingProxyType)
    assert list(table.items()) == TABLE
    assert sum(len(v) for v in table.values()) == 38
    with pytest.raises(TypeError):
        table["general"] = ("x",)
    with pytest.raises(TypeError):
        table["billing"][0] = "x"
    # Every keyword is lowercase, so lowercasing the text is enough.
    assert all(kw == kw.lower() for kw in KEYWORDS)


def test_results_are_the_module_constants():
    assert classify_directive_domain("") is DOMAIN_GENERAL
    for _domain, keywords in TABLE:
        got = classify_directive_domain(keywords[0])
        assert got in mirrandel.DIRECTIVE_DOMAINS
        assert got is classify_directive_domain(keywords[-1])


def test_help_and_stub_tell_the_same_story():
    import ast
    import inspect
    import pathlib

    assert str(inspect.signature(classify_directive_domain)) == "(text)"
    stub = ast.parse(pathlib.Path(mirrandel.__file__).with_name("mirrandel.pyi").read_text())
    assert ast.get_docstring(stub) == inspect.cleandoc(mirrandel.__doc__)
    func = next(n for n in stub.body if isinstance(n, ast.FunctionDef))
    assert func.name == "classify_directive_domain"
    assert ast.get_docstring(func) == inspect.getdoc(classify_directive_domain)


# -- arguments ----------------------------------------------------------------


@pytest.mark.parametrize(
    "bad, type_name",
    [(None, "NoneType"), (3, "int"), (b"refund", "bytes"), (["refund"], "list")],
)
def test_non_str_raises_type_error(bad, type_name):
    with pytest.raises(TypeError) as exc:
        classify_directive_domain(bad)
    assert str(exc.value) == (
        f"classify_directive_domain() argument 'text' must be str, not {type_name}"
    )


def test_argument_binding():
    assert classify_directive_domain(text="Issue a refund") == "billing"
    with pytest.raises(TypeError, match="missing required argument 'text'"):
        classify_directive_domain()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        classify_directive_domain("a", "b")
    with pytest.raises(TypeError, match="unexpected keyword argument 'txt'"):
        classify_directive_domain(txt="a")
    with pytest.raises(TypeError, match="multiple values for argument 'text'"):
        classify_directive_domain("a", text="b")


def test_str_subclass_is_classified_by_its_text():
    class Loud(str):
        def lower(self):  # the classifier reads the characters, not overrides
            return "refund"

    assert classify_directive_domain(Loud("Keep it brief")) == "general"
    assert classify_directive_domain(Loud("CANCEL")) == "retention"


# -- behaviour ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, domain",
    [
        ("", "general"),
        ("Escalate billing disputes to a manager", "billing"),
        ("Offer a loyalty discount before processing a cancellation", "billing"),
        ("Always require 2FA before account changes", "security"),
        ("Transfer to a human agent when asked", "escalation"),
        ("Transfer to anything", "escalation"),
        ("Transfer  to the queue", "general"),
        ("Build a warm relationship with every customer", "fulfillment"),
        ("Cite the author of an article", "security"),
        ("Describe fulfilment steps", "general"),
        ("Be polite and concise", "general"),
        # Plain substrings, no word boundaries.
        ("Discharge the patient", "billing"),
        ("A renewal is due", "retention"),
        ("Spell out two-factor setup", "security"),
        ("two factor", "general"),
        ("Mention the carrier", "fulfillment"),
        ("win  back", "general"),
        # A match at the very start and the very end.
        ("refund", "billing"),
        ("please REFUND", "billing"),
        ("pii", "security"),
        ("pi", "general"),
    ],
)
def test_examples(text, domain):
    assert classify_directive_domain(text) == domain
    assert reference(text) == domain


def test_every_keyword_alone_and_in_any_case():
    for domain, keywords in TABLE:
        for kw in keywords:
            for form in (kw, kw.upper(), kw.title(), f"xx{kw.swapcase()}yy"):
                assert classify_directive_domain(form) == domain, form
            # One character short never matches (unless a shorter keyword is left).
            assert classify_directive_domain(kw[:-1]) == reference(kw[:-1]), kw


def test_first_row_wins_whatever_the_position():
    firsts = [(domain, keywords[0]) for domain, keywords in TABLE]
    for i, (domain, kw) in enumerate(firsts):
        later = [k for _, k in firsts[i + 1 :]]
        assert classify_directive_domain(" ".join(later + [kw])) == domain
        assert classify_directive_domain(" ".join([kw] + later)) == domain


def test_overlapping_keywords():
    # Keywords that share prefixes and suffixes inside one another: the
    # matcher must not lose a keyword while following a longer one.
    for text in [
        "shipshipping",
        "renewrenewal",
        "shippin",
        "paymenpayment",
        "esca2fa",
        "transfer t",
        "transfer transfer to",
        "piipi",
        "ppii",
        "ververify identity",
        "human humanagent human agent",
        "authentication",
    ]:
        assert classify_directive_domain(text) == reference(text), text


# -- text beyond ASCII ----------------------------------------------------------


@pytest.mark.parametrize(
    "text, domain",
    [
        ("PI\u0130", "security"),  # "pii\u0307": the dot follows the match
        ("P\u0130I", "general"),  # "pi\u0307i": the dot splits it
        ("WIN BAC\u212a", "retention"),  # Kelvin sign lowers to "k"
        ("TRAC\u212aING", "fulfillment"),
        ("\u212a", "general"),
        ("Caf\xe9 REFUND", "billing"),  # 1-byte storage above ASCII
        ("\u0391\u03a3 CHARGE", "billing"),  # 2-byte storage
        ("\U0001f600 fraud \U0001f600", "security"),  # 4-byte storage
        ("fr\xe4ud", "general"),
        ("ref\u00adund", "general"),  # soft hyphen is still a character
        ("sh\ud800ip", "general"),  # lone surrogate
        ("\udfffship\ud800", "fulfillment"),
        ("PAYMENT \u03a3", "billing"),  # final sigma does not disturb ASCII
    ],
)
def test_non_ascii_text(text, domain):
    assert classify_directive_domain(text) == domain
    assert reference(text) == domain


def test_only_two_code_points_lower_into_ascii():
    # The classifier relies on this: no other code point beyond ASCII has a
    # lowercase form holding an ASCII character.
    into_ascii = {}
    for cp in range(0x80, sys.maxunicode + 1):
        low = chr(cp).lower()
        if any(ord(c) < 0x80 for c in low):
            into_ascii[cp] = low
    assert into_ascii == {0x130: "i\u0307", 0x212A: "k"}


def test_every_code_point_in_every_keyword_position_class():
    # For each character the keywords use, knock it out of one keyword and
    # put each code point in its place; the classifier must agree with the
    # oracle for every code point (only the character itself, its uppercase
    # form, U+0130 for "i" and U+212A for "k" restore a keyword).
    alphabet = sorted(set("".join(KEYWORDS)))
    segments = []
    for ch in alphabet:
        kw = next(k for k in KEYWORDS if ch in k)
        i = kw.index(ch)
        segments.append(kw[:i] + "\0" + kw[i + 1 :])
    template = "|".join(segments)
    assert reference(template) == "general"
    block = 4096
    for start in range(0, sys.maxunicode + 1, block):
        for cp in range(start, min(start + block, sys.maxunicode + 1)):
            text = template.replace("\0", chr(cp))
            got = classify_directive_domain(text)
            if got != "general" or cp in (0x130, 0x212A) or cp < 0x80:
                assert got == reference(text), hex(cp)


# -- properties against the oracle --------------------------------------------------

_pieces = st.one_of(
    st.sampled_from(KEYWORDS),
    st.sampled_from(KEYWORDS).flatmap(
        lambda kw: st.integers(0, len(kw)).map(lambda k: kw[:k] if k % 2 else kw[k:])
    ),
    st.sampled_from(KEYWORDS).map(str.upper),
    st.sampled_from(KEYWORDS).map(str.swapcase),
    st.sampled_from(
        [
            "\u0130",
            "\u212a",
            "\u0307",
            "\xdf",
            "\u03a3",
            " ",
            "  ",
            "-",
            "I",
            "K",
            "\ud800",
            "\U0001f600",
            "\xe9",
            "\u2126",
            "\u01c5",
        ]
    ),
    st.text(max_size=4),
)


@settings(max_examples=600, deadline=None)
@given(st.lists(_pieces, max_size=12).map("".join))
def test_agrees_with_lower_and_in(text):
    assert classify_directive_domain(text) == reference(text)


def test_random_text_never_raises_and_agrees():
    rng = random.Random(20240611)
    ranges = [
        (0x20, 0x7E),
        (0x80, 0xFF),
        (0x100, 0x2FFF),
        (0xD800, 0xDFFF),
        (0x10000, 0x10FFFF),
        (0x130, 0x130),
        (0x212A, 0x212A),
    ]
    for _ in range(3000):
        parts = []
        for _ in range(rng.randrange(0, 30)):
            if rng.random() < 0.15:
                kw = rng.choice(KEYWORDS)
                parts.append(kw.upper() if rng.random() < 0.3 else kw)
            else:
                lo, hi = rng.choice(ranges)
                parts.append(chr(rng.randint(lo, hi)))
        text = "".join(parts)
        assert classify_directive_domain(text) == reference(text), ascii(text)


# -- long texts ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "filler", ["polite and concise ", "h\xf6flich ", "\u0394\u03b5 ", "\U0001f600 "]
)
def test_long_text_keyword_at_the_end(filler):
    body = filler * 20000  # long enough to scan without the GIL
    assert classify_directive_domain(body) == "general"
    for domain, keywords in TABLE:
        assert classify_directive_domain(body + keywords[-1].upper()) == domain
    # A later, higher-priority keyword still wins after an early lower one.
    assert classify_directive_domain("renew " + body + "invoice") == "billing"


def test_concurrent_calls_agree():
    texts = [("x" * 100000) + kw for kw in KEYWORDS] + ["y" * 100000]
    expected = [reference(t) for t in texts]
    failures = []

    def work():
        for _ in range(5):
            if [classify_directive_domain(t) for t in texts] != expected:
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def test_a_second_module_instance_has_its_own_state():
    import gc
    import importlib.util

    module_spec = importlib.util.find_spec("quorvane._internal.mirrandel")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other is not mirrandel and other.DIRECTIVE_DOMAINS == mirrandel.DIRECTIVE_DOMAINS
    assert [n for n in vars(other) if not n.startswith("__")] == [
        n for n in vars(mirrandel) if not n.startswith("__")
    ]
    classify = other.classify_directive_domain
    del other
    gc.collect()
    assert classify("Refund it") == "billing" and classify("") == "general"
