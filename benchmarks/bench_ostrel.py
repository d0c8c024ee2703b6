"""ostrel: cosine similarity, the judge's transcript and the verdict parse,
against the same work written in plain Python (a zip loop with math.sqrt,
str.split/join with f-strings, str.strip/partition/upper) and, for NumPy
arrays, the expression a NumPy user would write."""

import math
import random

from sweep import COUNTS, LENGTHS, VECTOR_LENGTHS, pair, repeat_to

from quorvane._internal import ostrel as o

try:
    import numpy as np
except ImportError:  # the NumPy rows need the test extra
    np = None


def plain_cosine(a, b):
    if len(a) != len(b):
        raise ValueError("length mismatch")
    if not a:
        return 0.0
    dot = norm_a = norm_b = 0.0
    for x, y in zip(a, b):  # noqa: B905 (the loop a user would write)
        dot += x * y
        norm_a += x * x
        norm_b += y * y
    if norm_a == 0.0 or norm_b == 0.0:
        return 0.0
    return dot / (math.sqrt(norm_a) * math.sqrt(norm_b))


QUESTION = (
    "\nIs this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>."
)


def plain_prompt(turns):
    lines = ["Thread transcript (chronological):"]
    for sender, content in turns:
        lines.append(f"- [{sender}] {' '.join(content.split())}")
    lines.append(QUESTION)
    return "\n".join(lines)


def plain_verdict(text):
    raw = text.strip()
    if not raw or "|" not in raw:
        return (False, raw)
    head, _, tail = raw.partition("|")
    token = head.strip().upper()
    summary = tail.strip()
    if token == "CONVERGED" and summary:
        return (True, summary)
    if token == "OPEN":
        return (False, summary or "judge marked thread open")
    return (False, raw)


rng = random.Random(8)
WORDS = (
    "the billing agent proposed to defer the refund question until the next cycle and "
    "the support agent agreed, noting that the customer had\nalready been told twice"
).split(" ")


def content(chars):
    out, size = [], 0
    while size < chars:
        w = rng.choice(WORDS)
        out.append(w)
        size += len(w) + 1
    return " ".join(out)


def turns(n):
    return [(f"agent-{i % 3}", content(300)) for i in range(n)]


def vec(n):
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


CASES = []
for n in (1536, 15_360, 153_600):
    a, b = vec(n), vec(n)
    assert o.cosine_similarity(a, b) == plain_cosine(a, b)
    CASES.append(
        (
            f"cosine_similarity lists of {n} floats",
            lambda a=a, b=b: o.cosine_similarity(a, b),
            lambda a=a, b=b: plain_cosine(a, b),
        )
    )
if np is not None:
    for n in (1536, 15_360, 153_600):
        a, b = np.array(vec(n)), np.array(vec(n))
        CASES.append(
            (
                f"cosine_similarity float64 arrays of {n} (vs NumPy)",
                lambda a=a, b=b: o.cosine_similarity(a, b),
                lambda a=a, b=b: float(a @ b / (np.linalg.norm(a) * np.linalg.norm(b))),
            )
        )
for n in (50, 500, 5000):
    t = turns(n)
    assert o.build_convergence_prompt(t) == plain_prompt(t)
    CASES.append(
        (
            f"build_convergence_prompt {n} turns of ~300 chars",
            lambda t=t: o.build_convergence_prompt(t),
            lambda t=t: plain_prompt(t),
        )
    )
REPLY = "CONVERGED|The agents agreed to defer the refund question to billing.\n"
for k in (1, 10, 100):
    text = REPLY * k
    assert o.parse_convergence_verdict(text) == plain_verdict(text)
    CASES.append(
        (
            f"parse_convergence_verdict {len(text)}-char reply",
            lambda s=text: o.parse_convergence_verdict(s),
            lambda s=text: plain_verdict(s),
        )
    )


SWEEPS = [
    (
        "cosine_similarity",
        "vector length (list of floats)",
        VECTOR_LENGTHS,
        lambda n: pair(o.cosine_similarity, plain_cosine, vec(n), vec(n)),
    ),
    (
        "build_convergence_prompt",
        "turns (~300 characters each)",
        COUNTS,
        lambda n: pair(o.build_convergence_prompt, plain_prompt, turns(n)),
    ),
    (
        "parse_convergence_verdict",
        "reply length (characters)",
        LENGTHS,
        lambda n: pair(o.parse_convergence_verdict, plain_verdict, repeat_to(REPLY, n)),
    ),
]
