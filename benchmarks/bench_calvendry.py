"""calvendry: rendering the team-synthesis body and hashing a prompt, against
the same work written with sorted(), f-strings and hashlib."""

import dataclasses
import hashlib

from sweep import COUNTS, LENGTHS, pair, repeat_to

from quorvane._internal import calvendry as c

HEADER = "Team-shared memories (one per line, prefixed with team_score):"
FOOTER = (
    "\nSynthesise a single team insight that captures the collective signal across the"
    " above memories."
)


@dataclasses.dataclass
class SharedMemory:
    id: str
    agent_id: str
    content: str
    team_score: float


def plain_build(rows):
    lines = [HEADER]
    for r in sorted(rows, key=lambda r: r.team_score, reverse=True):
        lines.append(f"- ({r.team_score:.3f}) {r.content}")
    lines.append(FOOTER)
    return "\n".join(lines)


def plain_hash(prompt):
    return hashlib.sha256(prompt.encode("utf-8")).hexdigest()[:16]


def row(i):
    return SharedMemory(
        id=f"sm-{i}",
        agent_id=f"agent-{i % 4}",
        content=f"Agent {i % 4} saw refund requests spike after the pricing page change ({i}).",
        team_score=((i * 7919) % 1000) / 997 if i % 6 else 0.5,
    )


for n in (0, 1, 50):
    rows = [row(i) for i in range(n)]
    assert c.build_calvendry_prompt(rows) == plain_build(rows)

CASES = []
for n in (50, 500, 5000):
    rows = [row(i) for i in range(n)]
    CASES.append(
        (
            f"build_calvendry_prompt {n} rows",
            lambda r=rows: c.build_calvendry_prompt(r),
            lambda r=rows: plain_build(r),
        )
    )

unit = c.build_calvendry_prompt([row(i) for i in range(30)])
texts = [
    ("2 KiB", (unit * 4)[:2048]),
    ("20 KiB", (unit * 40)[: 20 << 10]),
    ("200 KiB", (unit * 400)[: 200 << 10]),
    ("1 MiB", (unit * 2000)[: 1 << 20]),
    ("1 MiB non-ASCII", ("Z\u00fcrich \u2014 " + unit * 2000)[: 1 << 20]),
]
for label, text in texts:
    assert c.compute_prompt_hash(text) == plain_hash(text)
    CASES.append(
        (
            f"compute_prompt_hash {label} prompt",
            lambda t=text: c.compute_prompt_hash(t),
            lambda t=text: plain_hash(t),
        )
    )


SWEEPS = [
    (
        "build_calvendry_prompt",
        "rows",
        COUNTS,
        lambda n: pair(c.build_calvendry_prompt, plain_build, [row(i) for i in range(n)]),
    ),
    (
        "compute_prompt_hash",
        "prompt length (ASCII characters)",
        LENGTHS,
        lambda n: pair(c.compute_prompt_hash, plain_hash, repeat_to(unit, n)),
    ),
]
