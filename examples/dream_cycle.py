"""A whole dream cycle over a handful of built-in memories, against a
scripted model that answers with canned replies.

    python examples/dream_cycle.py

Every chat request the cycle would send is printed, then the model's raw
reply and the clean result the library makes of it. Nothing here calls a
real model: quorvane's core only builds requests and cleans replies.
"""

from __future__ import annotations

import dataclasses
import logging
import sys
import textwrap

from quorvane._internal import brevick, consolidation, evolution, mirrandel

Brevick = brevick.Brevick

MEMORIES = [
    {
        "id": "m-1",
        "event_type": "conversation",
        "created_at": "2026-11-02T09:14:00Z",
        "content": "Customer asked twice for a refund of the annual plan before reading the FAQ.",
        "salience": 0.8,
    },
    {
        "id": "m-2",
        "event_type": "tool_call",
        "created_at": "2026-11-02T09:20:11Z",
        "content": {
            "tool": "billing.lookup",
            "plan": "annual",
            "amount": 119.0,
            "refundable": True,
            "notes": ["prorated", "14-day window"],
            "customer": {"city": "Zürich", "tier": 2},
        },
    },
    {
        "id": "m-3",
        "event_type": "observation",
        "created_at": "2026-11-03T16:02:45Z",
        "content": "Shipping questions spike every Monday; most are answered by the tracking page.",
    },
    {
        "id": "m-4",
        "event_type": "feedback",
        "created_at": "2026-11-04T11:30:00Z",
        "content": "User thanked the agent for a short answer with one link"
        " instead of a long {template}.",
    },
]


class ScriptedModel:
    """Stands in for an LLM: returns canned replies in order."""

    def __init__(self, replies: list[str]) -> None:
        self._replies = list(replies)

    def generate(self, system: str, messages: list[dict[str, str]]) -> str:
        return self._replies.pop(0)


def banner(title: str) -> None:
    print()
    print("=" * 78)
    print(title)
    print("=" * 78)


def show_request(system: str, messages: list[dict[str, str]]) -> None:
    print("--- system prompt ---")
    print(system, end="" if system.endswith("\n") else "\n")
    for message in messages:
        print(f"--- {message['role']} message ---")
        print(message["content"], end="" if message["content"].endswith("\n") else "\n")


def show_reply(raw: str) -> None:
    print("--- raw model reply ---")
    print(repr(raw))


def phase_profiles() -> Brevick:
    banner("Tuning profiles: the six archetypes (fields that differ from balanced)")
    base = Brevick.balanced()
    names = [f.name for f in dataclasses.fields(Brevick)]
    for factory in (
        "balanced",
        "for_research",
        "for_coding_assistant",
        "for_consumer_support",
        "for_strategic_advisors",
        "for_lightweight_local",
    ):
        profile = getattr(Brevick, factory)()
        diff = [n for n in names if getattr(profile, n) != getattr(base, n)]
        print(f"{factory}: {len(diff)} field(s) differ")
        for n in diff:
            value = getattr(profile, n)
            if isinstance(value, str):
                value = textwrap.shorten(value, 60)
            print(f"    {n} = {value!r}")
    chosen = Brevick.for_consumer_support()
    print("\nThis cycle runs with Brevick.for_consumer_support().")
    return chosen


def phase_consolidation() -> str:
    banner("Phase 1: consolidation (memories -> one insight)")
    print(f"batch limit MAX_CONSOLIDATION_INPUTS = {consolidation.MAX_CONSOLIDATION_INPUTS}")
    batch = MEMORIES[: consolidation.MAX_CONSOLIDATION_INPUTS]
    system, messages = consolidation.build_consolidation_prompt(batch)
    show_request(system, messages)
    model = ScriptedModel(
        [
            '```\n"Customers who ask about money twice usually have not found the policy page; '
            "answering with the exact rule and one link ends the thread faster than a long "
            'explanation."\n```\n'
        ]
    )
    raw = model.generate(system, messages)
    show_reply(raw)
    insight = consolidation.parse_consolidation_output(raw)
    print("--- cleaned insight ---")
    print(insight)
    return insight


def phase_evolution(profile: Brevick, insight: str) -> list[dict[str, str]]:
    banner("Phase 2: directive evolution (insights + directives -> proposals)")
    insights = [
        {"id": "ins-1", "text": insight},
        {"id": "ins-2", "text": "Monday shipping questions are answered by the tracking page."},
    ]
    directives = ["Greet the user by name when it is known.", "Never promise delivery dates."]
    system, messages = evolution.build_evolution_prompt(
        insights,
        directives,
        profile.dream_evolve_max_per_cycle,
        profile.dream_evolve_style_guidance,
    )
    show_request(system, messages)
    ids = {i["id"] for i in insights}
    replies = [
        # A clean reply.
        '{"proposed": [{"text": "When a refund is asked for twice, quote the refund rule and '
        'link the policy page.", "source_insight_id": "ins-1"}, {"text": "When a shipping '
        'question arrives, share the tracking link first.", "source_insight_id": "ins-2"}]}',
        # Fenced with a json tag; one entry cites an unknown insight, one is blank.
        '```json\n{"proposed": [{"text": "  Offer a discount only after the charge is '
        'explained.  ", "source_insight_id": "ins-9"}, {"text": "   "}, {"text": "Keep '
        'answers to three sentences unless asked for more."}]}\n```',
        # Not JSON at all: the parser logs a warning and proposes nothing.
        "Sure! Here are some directives: be kind, be quick.",
    ]
    model = ScriptedModel(replies)
    proposals: list[dict[str, str]] = []
    for _ in replies:
        raw = model.generate(system, messages)
        show_reply(raw)
        parsed = evolution.parse_evolution_output(raw, ids)
        print("--- parsed proposals ---")
        for p in parsed:
            print(f"    {p}")
        if not parsed:
            print("    (none)")
        proposals.extend(parsed)

    print("\n--- domain tags and the per-domain quota ---")
    kept: list[dict[str, str]] = []
    per_domain: dict[str, int] = {}
    for p in proposals:
        domain = mirrandel.classify_directive_domain(p["text"])
        taken = per_domain.get(domain, 0)
        keep = domain == mirrandel.DOMAIN_GENERAL or taken < mirrandel.EVOLVE_MAX_PER_DOMAIN
        verdict = "keep" if keep else "drop (domain quota reached)"
        print(f"    [{domain}] {p['text']!r}: {verdict}")
        if keep:
            per_domain[domain] = taken + 1
            kept.append(p)
    print(f"{len(kept)} of {len(proposals)} proposals kept")
    return kept


class ExtraFieldFormatter(logging.Formatter):
    """Shows the extra field that the evolution warnings carry."""

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        for field in ("response_preview", "type"):
            if hasattr(record, field):
                text += f" [{field}={getattr(record, field)!r}]"
        return text


def main() -> None:
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(ExtraFieldFormatter("%(levelname)s %(name)s: %(message)s"))
    logging.basicConfig(level=logging.WARNING, handlers=[handler])
    profile = phase_profiles()
    insight = phase_consolidation()
    phase_evolution(profile, insight)


if __name__ == "__main__":
    main()
