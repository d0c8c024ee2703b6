"""journal: building the journal request (memory lines with salience) and
cleaning the reply, against the same work written with json.dumps, f-strings
and str.strip."""

import json

from plain_reply import plain_clean
from sweep import COUNTS, LENGTHS, pair, repeat_to

from quorvane._internal import journal as j

SYSTEM = j._JOURNAL_SYSTEM
USER = j._JOURNAL_USER


def plain_build(memories):
    lines = []
    for i, m in enumerate(memories, 1):
        content = m["content"]
        if isinstance(content, dict):
            content = json.dumps(content, ensure_ascii=True, default=str)
        salience = m.get("salience", "N/A")
        lines.append(
            f"[{i}] ({m['event_type']}, salience={salience}, {m['created_at']}): {content}"
        )
    text = USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return SYSTEM, [{"role": "user", "content": text}]


def dict_memory(i):
    m = {
        "id": f"m-{i}",
        "event_type": "tool_call",
        "created_at": f"2026-11-02T09:{i % 60:02d}:11Z",
        "content": {
            "tool": "billing.lookup",
            "notes": ["prorated", "14-day window", i],
            "amount": 119.5 + i,
            "refundable": i % 2 == 0,
            "customer": {"city": "Zurich", "tier": 2},
        },
    }
    if i % 5:
        m["salience"] = round(0.05 * (i % 20), 2)
    return m


def text_memory(i):
    m = {
        "id": f"m-{i}",
        "event_type": "conversation",
        "created_at": f"2026-11-02T09:{i % 60:02d}:00Z",
        "content": f"Customer {i} asked twice for a refund of the annual plan"
        " before reading the FAQ.",
    }
    if i % 5:
        m["salience"] = 0.25 + (i % 3) * 0.25
    return m


for batch in ([dict_memory(i) for i in range(50)], [text_memory(i) for i in range(50)]):
    assert j.build_journal_prompt(batch) == plain_build(batch)

SHORT = '```\n"The week kept returning to refunds and the missing policy link."\n```\n'
LONG = '```\n"' + ("Journal text with some words. " * 35000)[: 1 << 20] + '"\n```\n'
assert j.parse_journal_output(LONG) == plain_clean(LONG)

CASES = []
for n in (20, 200, 2000):
    batch = [dict_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_journal_prompt {n} dict memories",
            lambda b=batch: j.build_journal_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
for n in (20, 200, 2000):
    batch = [text_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_journal_prompt {n} text memories",
            lambda b=batch: j.build_journal_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
CASES += [
    (
        "parse_journal_output short reply",
        lambda: j.parse_journal_output(SHORT),
        lambda: plain_clean(SHORT),
    ),
    (
        "parse_journal_output 1 MB reply",
        lambda: j.parse_journal_output(LONG),
        lambda: plain_clean(LONG),
    ),
]


def _mixed(n):
    return [dict_memory(i) if i % 2 else text_memory(i) for i in range(n)]


def _reply(length):
    return '```\n"' + repeat_to("Journal text with some words. ", length) + '"\n```\n'


SWEEPS = [
    (
        "build_journal_prompt",
        "memories (half dict, half text)",
        COUNTS,
        lambda n: pair(j.build_journal_prompt, plain_build, _mixed(n)),
    ),
    (
        "parse_journal_output",
        "reply length (characters)",
        LENGTHS,
        lambda n: pair(j.parse_journal_output, plain_clean, _reply(n)),
    ),
]
