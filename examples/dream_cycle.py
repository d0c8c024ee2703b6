"""A whole dream cycle over a handful of built-in memories.

    python examples/dream_cycle.py

Every chat request the cycle sends is printed, then the model's raw reply
and the clean result the library makes of it. The phases run as jobs of a
Trellan queue: evolution after consolidation, the journal after evolution.
Then two agents talk in a thread that a judge closes, and a team synthesises
what its members shared. quorvane's core never calls a model itself: it only
builds requests and cleans replies.

By default a scripted model answers with canned replies, some of them messy
on purpose to show the cleaning. To talk to a real model instead, name an
OpenAI-compatible server (a local llama.cpp server, Ollama, vLLM, a hosted
API):

    QUORVANE_DEMO_BASE_URL=http://127.0.0.1:11434/v1 QUORVANE_DEMO_MODEL=qwen2.5 \
        python examples/dream_cycle.py

QUORVANE_DEMO_API_KEY is sent as a bearer token when set, and
QUORVANE_DEMO_TIMEOUT (seconds, default 120) bounds each request as a whole.
Each request asks for at most a few hundred tokens, what its phase needs.
Without a model at hand, examples/fake_model_server.py plays one:

    python examples/fake_model_server.py --run-demo
"""

from __future__ import annotations

import argparse
import asyncio
import dataclasses
import logging
import os
import sys
import textwrap
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, Protocol

from chat_client import ChatClient, ChatSettings, Messages, ModelError

from quorvane._internal import (
    Proposal,
    brevick,
    calvendry,
    consolidation,
    evolution,
    journal,
    mirrandel,
    ostrel,
    trellan,
)

Brevick = brevick.Brevick

MEMORIES: list[Mapping[str, Any]] = [
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


# How many tokens each reply may take, a few times what its prompt asks for.
# Without a limit a server generates until the model's context is full.
INSIGHT_TOKENS = 256  # "ONE concise insight (2-4 sentences)"
JOURNAL_TOKENS = 512  # "aim for 3-8 sentences"
VERDICT_TOKENS = 96  # one CONVERGED|... or OPEN|... line
TEAM_TOKENS = 256  # "a single concise team insight"


def directive_tokens(max_per_cycle: int) -> int:
    """The reply budget of the evolution request: the JSON object around at
    most `max_per_cycle` directives of 15 words or fewer, each with its id."""
    return 64 + 64 * max(max_per_cycle, 1)


class Model(Protocol):
    """What the cycle needs from a model: replies to chat requests."""

    def samples(self, phase: str) -> int:
        """How many replies to ask for in `phase`."""
        ...

    async def chat(
        self,
        phase: str,
        system: str,
        messages: Messages,
        *,
        max_tokens: int,
        temperature: float | None = None,
    ) -> str: ...


# The scripted model's replies, per phase, in order. Several replies to one
# request show how a parser treats the shapes models really answer with.
SCRIPT: dict[str, list[str]] = {
    "consolidation": [
        '```\n"Customers who ask about money twice usually have not found the policy page; '
        "answering with the exact rule and one link ends the thread faster than a long "
        'explanation."\n```\n'
    ],
    "evolution": [
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
    ],
    "journal": [
        "  Money questions came twice before the policy page was read, and the billing "
        "lookup showed the plan was refundable all along. Shipping questions cluster on "
        "Mondays, and the tracking page already answers them. The clearest thanks came "
        "for the shortest answer: one rule, one link.  "
    ],
    "judge": [
        "converged | Refunds above 100 EUR go to human review.",
        "OPEN|",
        "I think we are done here.",
    ],
    # No team reply: the prompt and its key are what the team phase shows.
    "team": [],
}


class ScriptedModel:
    """Stands in for an LLM: answers each phase with its canned replies, in order."""

    def __init__(self, script: Mapping[str, list[str]]) -> None:
        self._script = {phase: list(replies) for phase, replies in script.items()}

    def samples(self, phase: str) -> int:
        return len(self._script[phase])

    async def chat(
        self,
        phase: str,
        system: str,
        messages: Messages,
        *,
        max_tokens: int,
        temperature: float | None = None,
    ) -> str:
        await asyncio.sleep(0)  # a real model is awaited here
        return self._script[phase].pop(0)


class ServedModel:
    """A real model behind an OpenAI-compatible server, asked once per request."""

    def __init__(self, client: ChatClient) -> None:
        self._client = client

    def samples(self, phase: str) -> int:
        return 1

    async def chat(
        self,
        phase: str,
        system: str,
        messages: Messages,
        *,
        max_tokens: int,
        temperature: float | None = None,
    ) -> str:
        return await self._client.chat(phase, system, messages, temperature, max_tokens)


def banner(title: str) -> None:
    print()
    print("=" * 78)
    print(title)
    print("=" * 78)


def show_request(system: str, messages: Messages) -> None:
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


async def phase_consolidation(model: Model) -> str:
    banner("Phase 1: consolidation (memories -> one insight)")
    print(f"batch limit MAX_CONSOLIDATION_INPUTS = {consolidation.MAX_CONSOLIDATION_INPUTS}")
    batch = MEMORIES[: consolidation.MAX_CONSOLIDATION_INPUTS]
    system, messages = consolidation.build_consolidation_prompt(batch)
    show_request(system, messages)
    raw = await model.chat("consolidation", system, messages, max_tokens=INSIGHT_TOKENS)
    show_reply(raw)
    insight = consolidation.parse_consolidation_output(raw)
    print("--- cleaned insight ---")
    print(insight)
    return insight


async def phase_evolution(model: Model, profile: Brevick, insight: str) -> list[Proposal]:
    banner("Phase 2: directive evolution (insights + directives -> proposals)")
    insights: list[Mapping[str, Any]] = [
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
    proposals: list[Proposal] = []
    for _ in range(model.samples("evolution")):
        raw = await model.chat(
            "evolution",
            system,
            messages,
            max_tokens=directive_tokens(profile.dream_evolve_max_per_cycle),
            temperature=profile.dream_evolve_temperature,
        )
        show_reply(raw)
        parsed = evolution.parse_evolution_output(raw, ids)
        print("--- parsed proposals ---")
        for p in parsed:
            print(f"    {p}")
        if not parsed:
            print("    (none)")
        proposals.extend(parsed)

    print("\n--- domain tags and the per-domain quota ---")
    kept: list[Proposal] = []
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


class StdoutHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes log records to stdout among the demo's own lines. A record that
    cannot be written because stdout is a closed pipe is dropped without a
    report: the demo's next line ends the run quietly."""

    def __init__(self) -> None:
        super().__init__(sys.stdout)

    def handleError(self, record: logging.LogRecord) -> None:
        if not isinstance(sys.exc_info()[1], BrokenPipeError):
            super().handleError(record)


class ExtraFieldFormatter(logging.Formatter):
    """Shows the extra field that the evolution warnings carry."""

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        for field in ("response_preview", "type"):
            if hasattr(record, field):
                text += f" [{field}={getattr(record, field)!r}]"
        return text


async def phase_journal(model: Model) -> str:
    banner("Phase 3: journal (memories with salience -> one journal entry)")
    system, messages = journal.build_journal_prompt(MEMORIES)
    show_request(system, messages)
    raw = await model.chat("journal", system, messages, max_tokens=JOURNAL_TOKENS)
    show_reply(raw)
    entry = journal.parse_journal_output(raw)
    print("--- cleaned journal entry ---")
    print(entry)
    return entry


async def dream_cycle(model: Model, profile: Brevick) -> None:
    """Runs the phases as jobs of one queue: evolution waits for the insight,
    the journal waits for evolution. While a job awaits the model, the event
    loop is free for other work."""
    queue = trellan.Trellan(max_concurrency=2)
    consolidated = queue.submit("consolidate", phase_consolidation(model))

    async def evolve() -> list[Proposal]:
        # Runs only once consolidation has succeeded, so its result is there.
        return await phase_evolution(model, profile, consolidated.result())

    evolved = queue.submit("evolve", evolve(), after="consolidate")
    last = queue.submit("journal", phase_journal(model), after="evolve")
    print(f"\n(queued 3 jobs, {queue.active_count} tracked)")
    await queue.wait_all()
    # wait_all() reports no failures: a failed job is found on its task. The
    # jobs after it were cancelled because of it.
    for task in (consolidated, evolved, last):
        error = None if task.cancelled() else task.exception()
        if error is not None:
            raise error
    print(f"\n(all jobs done: journal task {last.get_name()!r}, {queue.active_count} tracked)")


class Turn(NamedTuple):
    sender_id: str
    content: str


async def phase_thread(model: Model) -> None:
    banner("Thread exit policy: a convergence judge and a stagnation gate")
    turns: list[Turn] = [
        Turn("planner", "Should refunds over 100 EUR go to a human?\n  Policy is unclear."),
        Turn(
            "billing",
            "Yes.\n\nAbove 100 EUR the policy requires a human review; I will route them.",
        ),
    ]
    body = ostrel.build_convergence_prompt(turns)
    system = ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT
    messages = [{"role": "user", "content": body}]
    show_request(system, messages)
    for _ in range(model.samples("judge")):
        raw = await model.chat("judge", system, messages, max_tokens=VERDICT_TOKENS)
        show_reply(raw)
        print(f"    verdict: {ostrel.parse_convergence_verdict(raw)}")

    # Embeddings of the last two turns of each agent (made-up, tiny vectors).
    last = (0.12, 0.80, 0.31, 0.05)
    before = (0.10, 0.82, 0.30, 0.07)
    similarity = ostrel.cosine_similarity(last, before)
    stagnant = similarity >= ostrel.STAGNATION_COSINE_THRESHOLD
    print(
        f"\ncosine similarity {similarity:.4f} vs threshold "
        f"{ostrel.STAGNATION_COSINE_THRESHOLD}: {'stagnant, close' if stagnant else 'moving'}"
    )


class SharedMemory(NamedTuple):
    content: str
    team_score: float


async def phase_team(model: Model) -> None:
    banner("Team dream: the team-synthesis prompt and its idempotency key")
    rows = (
        SharedMemory("Monday shipping questions are answered by the tracking page.", 0.62),
        SharedMemory("Refund rules quoted verbatim end billing threads fastest.", 0.9),
        SharedMemory("Users thank short answers with one link.", 0.62),
        SharedMemory("A refund over 100 EUR needs human review.", 1),
    )
    body = calvendry.build_calvendry_prompt(list(rows))
    system = calvendry.CALVENDRY_SYSTEM_PROMPT
    messages = [{"role": "user", "content": body}]
    show_request(system, messages)
    key = calvendry.compute_prompt_hash(body)
    print(f"\nprompt hash {key}: the same rows always give the same key")
    assert key == calvendry.compute_prompt_hash(calvendry.build_calvendry_prompt(list(rows)))
    for _ in range(model.samples("team")):
        raw = await model.chat("team", system, messages, max_tokens=TEAM_TOKENS)
        show_reply(raw)
        print("--- team insight ---")
        print(raw.strip())


def model_from_env(env: Mapping[str, str]) -> Model:
    """The served model the environment names, or the scripted one."""
    settings = ChatSettings.from_env(env)
    if settings is None:
        return ScriptedModel(SCRIPT)
    print(
        f"Talking to {settings.endpoint} (model {settings.model}, timeout {settings.timeout:g} s)."
    )
    return ServedModel(ChatClient(settings))


async def run(model: Model) -> None:
    profile = phase_profiles()
    await dream_cycle(model, profile)
    await phase_thread(model)
    await phase_team(model)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="dream_cycle.py",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.parse_args(argv)
    handler = StdoutHandler()
    handler.setFormatter(ExtraFieldFormatter("%(levelname)s %(name)s: %(message)s"))
    logging.basicConfig(level=logging.WARNING, handlers=[handler])
    status, problem = 0, ""
    try:
        try:
            asyncio.run(run(model_from_env(os.environ)))
        except ModelError as error:
            status, problem = 1, f"error: {' '.join(str(error).split())}"
        except KeyboardInterrupt:
            status, problem = 130, "interrupted"
        # What is still buffered goes out here, where a closed pipe is handled.
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader left (`... | head`). Python flushes stdout again at exit:
        # point it at devnull so that flush has nowhere to fail, and exit 1 as
        # Python does on a broken pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    if problem:
        print(f"dream_cycle: {problem}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
