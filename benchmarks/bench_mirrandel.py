"""Directive domain classification against lower() plus `in` over the table."""

from sweep import LENGTHS, pair, repeat_to

from quorvane._internal.mirrandel import _DOMAIN_KEYWORDS, classify_directive_domain

TABLE = [(domain, tuple(keywords)) for domain, keywords in _DOMAIN_KEYWORDS.items()]


def plain_classify(text: str) -> str:
    low = text.lower()
    for domain, keywords in TABLE:
        for kw in keywords:
            if kw in low:
                return domain
    return "general"


SHORT_ASCII = "Answer politely and keep every reply under three sentences."
SHORT_FIRST_ROW = "Issue a refund when the parcel arrives damaged."
SHORT_LAST_ROW = "Offer a retention call before closing the account."
SHORT_LATIN1 = "R\xe9ponds poliment et bri\xe8vement \xe0 chaque client, sans d\xe9tour."
SHORT_CYRILLIC = (
    "\u041e\u0442\u0432\u0435\u0447\u0430\u0439 \u0432\u0435\u0436\u043b\u0438\u0432\u043e"
    " \u0438 \u043a\u0440\u0430\u0442\u043a\u043e, Kelvin \u212a."
)
SHORT_ASTRAL = "Greet each customer warmly \U0001f600 and stay on topic."
LONG_ASCII = SHORT_ASCII * 200
LONG_LATIN1 = SHORT_LATIN1 * 200
LONG_CYRILLIC = SHORT_CYRILLIC * 200


def _case(label, text):
    assert classify_directive_domain(text) == plain_classify(text)
    return (
        f"{label} ({len(text)} chars)",
        lambda: classify_directive_domain(text),
        lambda: plain_classify(text),
    )


CASES = [
    _case("classify short ASCII, no keyword", SHORT_ASCII),
    _case("classify short ASCII, first-row keyword", SHORT_FIRST_ROW),
    _case("classify short ASCII, last-row keyword", SHORT_LAST_ROW),
    _case("classify short Latin-1, no keyword", SHORT_LATIN1),
    _case("classify short Cyrillic, no keyword", SHORT_CYRILLIC),
    _case("classify short with emoji, no keyword", SHORT_ASTRAL),
    _case("classify long ASCII, no keyword", LONG_ASCII),
    _case("classify long Latin-1, no keyword", LONG_LATIN1),
    _case("classify long Cyrillic, no keyword", LONG_CYRILLIC),
]

# A text without any keyword: every keyword is looked for over the whole text.
SWEEPS = [
    (
        "classify_directive_domain",
        "text length (characters, no keyword)",
        LENGTHS,
        lambda n: pair(classify_directive_domain, plain_classify, repeat_to(SHORT_ASCII, n)),
    ),
]
