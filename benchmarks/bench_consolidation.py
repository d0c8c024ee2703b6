"""consolidation: building the insight request and cleaning the reply, against
the same work written with json.dumps, f-strings and str.strip."""

import json

from quorvane._internal import consolidation as c

SYSTEM = c._CONSOLIDATION_SYSTEM
USER = c._CONSOLIDATION_USER


def plain_build(memories):
    lines = []
    for i, m in enumerate(memories, 1):
        content = m["content"]
        if isinstance(content, dict):
            content = json.dumps(content, ensure_ascii=True, default=str)
        lines.append(f"[{i}] ({m['event_type']}, {m['created_at']}): {content}")
    text = USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return SYSTEM, [{"role": "user", "content": text}]


def plain_clean(text):
    text = text.strip()
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip() if len(text) > 6 else ""
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1].strip() if len(text) > 2 else ""
    return text


def dict_memory(i):
    return {
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


def text_memory(i):
    return {
        "id": f"m-{i}",
        "event_type": "conversation",
        "created_at": f"2026-11-02T09:{i % 60:02d}:00Z",
        "content": f"Customer {i} asked twice for a refund of the annual plan"
        " before reading the FAQ.",
    }


def mixed(n):
    return [dict_memory(i) if i % 2 else text_memory(i) for i in range(n)]


assert c.build_consolidation_prompt(mixed(50)) == plain_build(mixed(50))

SHORT = (
    '```\n"Refund questions repeat when the policy link is missing from the first answer."\n```\n'
)
LONG = '```\n"' + ("Insight text with some words. " * 35000)[: 1 << 20] + '"\n```\n'
assert c.parse_consolidation_output(LONG) == plain_clean(LONG)

CASES = []
for n in (1, 20, 10_000):
    batch = [dict_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_consolidation_prompt {n} dict memories",
            lambda b=batch: c.build_consolidation_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
for n in (20, 10_000):
    batch = [text_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_consolidation_prompt {n} text memories",
            lambda b=batch: c.build_consolidation_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
batch = mixed(10_000)
CASES.append(
    (
        "build_consolidation_prompt 10000 mixed memories",
        lambda: c.build_consolidation_prompt(batch),
        lambda: plain_build(batch),
    )
)
CASES += [
    (
        "parse_consolidation_output short reply",
        lambda: c.parse_consolidation_output(SHORT),
        lambda: plain_clean(SHORT),
    ),
    (
        "parse_consolidation_output 1 MB reply",
        lambda: c.parse_consolidation_output(LONG),
        lambda: plain_clean(LONG),
    ),
]
