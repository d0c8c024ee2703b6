"""Directive evolution against json.loads plus a loop, and str.format."""

import json
import logging

from sweep import COUNTS, pair

from quorvane._internal import evolution
from quorvane._internal.evolution import build_evolution_prompt, parse_evolution_output

# Records are created and handled on both sides, but printed by neither.
for name in ("quorvane._internal.evolution", "bench.plain_evolution"):
    logging.getLogger(name).addHandler(logging.NullHandler())
    logging.getLogger(name).propagate = False
plain_logger = logging.getLogger("bench.plain_evolution")


def plain_parse(response, insight_ids):
    text = response.strip()
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip()
        if text.startswith("json"):
            text = text[4:].strip()
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):
        plain_logger.warning(
            "evolve_directives: failed to parse LLM response as JSON",
            extra={"response_preview": response[:200]},
        )
        return []
    if not isinstance(data, dict):
        plain_logger.warning(
            "evolve_directives: LLM response is not a JSON object",
            extra={"type": type(data).__name__},
        )
        return []
    proposed = data.get("proposed", [])
    if not isinstance(proposed, list):
        plain_logger.warning(
            "evolve_directives: 'proposed' field is not a list",
            extra={"type": type(proposed).__name__},
        )
        return []
    fallback = min(insight_ids) if insight_ids else ""
    out = []
    for item in proposed:
        if not isinstance(item, dict):
            continue
        text_val = item.get("text")
        if not isinstance(text_val, str) or not text_val.strip():
            continue
        source = item.get("source_insight_id")
        if not isinstance(source, str) or source not in insight_ids:
            source = fallback
        out.append({"text": text_val.strip(), "source_insight_id": source})
    return out


PLAIN_SYSTEM = evolution._EVOLUTION_SYSTEM


def plain_build(insights, directives, max_per_cycle, style_guidance=None):
    if directives:
        directives_block = "\n".join(f"{i}. {d}" for i, d in enumerate(directives, 1))
    else:
        directives_block = "(none)"
    insights_block = "\n".join(f"[{ins['id']}]: {ins['text']}" for ins in insights)
    style = style_guidance.strip() if style_guidance else ""
    system = PLAIN_SYSTEM.format(
        directives_block=directives_block,
        insights_block=insights_block,
        max_per_cycle=max_per_cycle,
        style_guidance_block=f"\n- {style}" if style else "",
    )
    return system, [{"role": "user", "content": "Generate directive proposals."}]


IDS = {"ins-1", "ins-2", "ins-3", "ins-4"}


def reply(n):
    entries = [
        {
            "text": f"When a tool call fails twice, report the error number {i}.",
            "source_insight_id": f"ins-{i % 5}",
        }
        for i in range(n)
    ]
    return "```json\n" + json.dumps({"proposed": entries}, indent=2) + "\n```"


REPLY_3 = reply(3)
REPLY_50 = reply(50)
INVALID = "Sure! Here are the directives you asked for:\n" + REPLY_3
DEEP = "[" * 100_000
# A megabyte of values nothing reads: validated, never stored.
WIDE = "[" + "0, " * 349_525 + "0]"

INSIGHTS = [
    {"id": f"ins-{i}", "text": f"Users abandon the flow when step {i} takes too long."}
    for i in range(5)
]
DIRECTIVES = [f"Confirm the user's goal before acting on request kind {i}." for i in range(8)]


def _case(label, args, ours, plain):
    assert ours(*args) == plain(*args)
    return (label, lambda: ours(*args), lambda: plain(*args))


CASES = [
    _case(
        "parse_evolution_output: 3-proposal reply",
        (REPLY_3, IDS),
        parse_evolution_output,
        plain_parse,
    ),
    _case(
        "parse_evolution_output: 50-proposal reply",
        (REPLY_50, IDS),
        parse_evolution_output,
        plain_parse,
    ),
    _case(
        "parse_evolution_output: invalid reply (logs)",
        (INVALID, IDS),
        parse_evolution_output,
        plain_parse,
    ),
    _case(
        "parse_evolution_output: 100,000-deep reply (logs)",
        (DEEP, IDS),
        parse_evolution_output,
        plain_parse,
    ),
    _case(
        "parse_evolution_output: 1 MB array reply (logs)",
        (WIDE, IDS),
        parse_evolution_output,
        plain_parse,
    ),
    _case(
        "build_evolution_prompt: 5 insights, 8 directives",
        (INSIGHTS, DIRECTIVES, 3, "Phrase rules from the user's side."),
        build_evolution_prompt,
        plain_build,
    ),
]


def _insights(n):
    return [
        {"id": f"ins-{i}", "text": f"Users abandon the flow when step {i} takes too long."}
        for i in range(n)
    ]


SWEEPS = [
    (
        "parse_evolution_output",
        "proposals in the reply",
        COUNTS,
        lambda n: pair(parse_evolution_output, plain_parse, reply(n), IDS),
    ),
    (
        "build_evolution_prompt",
        "insights (8 directives)",
        COUNTS,
        lambda n: pair(build_evolution_prompt, plain_build, _insights(n), DIRECTIVES, 3),
    ),
]
