"""Every public function called the way a typed caller calls it.

`mypy --strict` checks this file against the type stubs (.ci/typecheck):
assert_type pins what each call returns, and each `# type: ignore[code]`
pins a call the stubs must refuse (--strict reports an ignore that is not
needed). test_package.py also runs it, so a stub that accepts what the module
refuses at run time fails there.
"""

from __future__ import annotations

import array
import asyncio
import dataclasses
import logging
from collections.abc import Mapping
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from quorvane._internal import (
    ChatRequest,
    Insight,
    JournalMemory,
    MemoryRecord,
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
from quorvane._internal.brevick import Brevick, replace

if TYPE_CHECKING:  # checked only: typing.assert_type is new in 3.11
    from typing_extensions import assert_type
else:

    def assert_type(value, typ, /):
        return value


def refused(exc: type[Exception], call: object) -> None:
    """`call` is a zero-argument callable that must raise `exc`."""
    assert callable(call)
    try:
        call()
    except exc:
        return
    raise AssertionError(f"expected {exc.__name__}")


def use_brevick() -> None:
    profile = Brevick()
    assert_type(profile, Brevick)
    for factory in (
        Brevick.balanced,
        Brevick.for_research,
        Brevick.for_coding_assistant,
        Brevick.for_consumer_support,
        Brevick.for_strategic_advisors,
        Brevick.for_lightweight_local,
    ):
        assert_type(factory(), Brevick)
    assert_type(profile.decay_factor, float)
    assert_type(profile.weaken_days, int)
    assert_type(profile.enable_fact_extraction, bool)
    assert_type(profile.dream_evolve_style_guidance, str | None)
    assert isinstance(profile.decay_factor, float) and isinstance(profile.weaken_days, int)

    # Real fields take ints and integer fields anything with __index__.
    built = Brevick(0.5, decay_factor=1, weaken_days=np.int64(3), dream_evolve_style_guidance="x")
    assert built.decay_factor == 1.0 and built.weaken_days == 3

    assert_type(replace(profile, coherence_threshold=0.9), Brevick)
    assert_type(replace(profile, {"weaken_days": 10}), Brevick)
    assert_type(brevick.replace(profile), Brevick)
    assert_type(dataclasses.replace(profile, archive_days=5), Brevick)
    assert_type(dataclasses.asdict(profile), dict[str, Any])
    assert len(dataclasses.fields(profile)) == 54
    match Brevick.for_research():
        case Brevick(reinforcement, emotion, decay_factor=decay):
            assert_type(reinforcement, float)
            assert_type(emotion, float)
            assert_type(decay, float)
        case _:
            raise AssertionError("a profile matches its own class pattern")

    def assign() -> None:
        profile.decay_factor = 0.1  # type: ignore[misc]

    refused(dataclasses.FrozenInstanceError, assign)
    refused(TypeError, lambda: Brevick(weaken_days="30"))  # type: ignore[arg-type]
    refused(TypeError, lambda: Brevick(enable_fact_extraction=None))  # type: ignore[arg-type]


def use_memory_builders() -> None:
    records: list[MemoryRecord] = [
        {"content": "User prefers short answers.", "event_type": "feedback", "created_at": "t1"},
        {"content": {"tool": "search", "hits": 3}, "event_type": "tool_call", "created_at": "t2"},
    ]
    request = consolidation.build_consolidation_prompt(records)
    assert_type(request, ChatRequest)
    system, messages = request
    assert_type(system, str)
    assert_type(messages, list[dict[str, str]])
    assert messages[0]["role"] == "user"

    # Records straight from a store: plain dicts with more keys than are read.
    stored: list[dict[str, object]] = [
        {"id": 7, "content": 1.5, "event_type": "note", "created_at": "t3", "salience": 0.2}
    ]
    assert_type(consolidation.build_consolidation_prompt(stored), ChatRequest)
    views: list[Mapping[str, str]] = [
        MappingProxyType({"content": "c", "event_type": "e", "created_at": "t"})
    ]
    assert_type(consolidation.build_consolidation_prompt(views), ChatRequest)

    salient: list[JournalMemory] = [
        {"content": "A", "event_type": "e", "created_at": "t", "salience": 0.8},
        {"content": "B", "event_type": "e", "created_at": "t"},
    ]
    assert_type(journal.build_journal_prompt(salient), ChatRequest)
    assert_type(journal.build_journal_prompt(records), ChatRequest)
    assert_type(journal.build_journal_prompt(stored), ChatRequest)
    assert_type(consolidation.build_consolidation_prompt(salient), ChatRequest)

    assert_type(consolidation.parse_consolidation_output('```\n"x"\n```'), str)
    assert_type(journal.parse_journal_output(" entry "), str)
    assert_type(consolidation.MAX_CONSOLIDATION_INPUTS, int)
    assert_type(consolidation.DEFAULT_CONSOLIDATION_MIN_SALIENCE, float)
    assert_type(consolidation.TIER2_DEDUP_THRESHOLD, float)

    refused(TypeError, lambda: consolidation.build_consolidation_prompt(["x"]))  # type: ignore[type-var]
    refused(TypeError, lambda: journal.build_journal_prompt(tuple(records)))  # type: ignore[arg-type]
    refused(TypeError, lambda: journal.parse_journal_output(None))  # type: ignore[arg-type]


def use_evolution() -> None:
    insights: list[Insight] = [{"id": "ins-1", "text": "Refunds repeat when unclear."}]
    request = evolution.build_evolution_prompt(insights, ["Be concise."], 3)
    assert_type(request, ChatRequest)
    as_dicts: list[dict[str, str]] = [{"id": "ins-2", "text": "t", "score": "high"}]
    style = Brevick.for_consumer_support().dream_evolve_style_guidance
    assert_type(evolution.build_evolution_prompt(as_dicts, [], 1, style), ChatRequest)

    reply = '{"proposed": [{"text": "Quote the rule.", "source_insight_id": "ins-1"}]}'
    proposals = evolution.parse_evolution_output(reply, {"ins-1"})
    assert_type(proposals, list[Proposal])
    assert_type(proposals[0]["source_insight_id"], str)
    assert proposals == [{"text": "Quote the rule.", "source_insight_id": "ins-1"}]
    assert_type(evolution.parse_evolution_output('{"proposed": []}', frozenset()), list[Proposal])
    assert_type(evolution.logger, logging.Logger)

    ids = {"ins-1": 1}.keys()
    refused(TypeError, lambda: evolution.parse_evolution_output(reply, ids))  # type: ignore[arg-type]
    refused(TypeError, lambda: evolution.build_evolution_prompt(insights, [], 2.5))  # type: ignore[arg-type]


def use_mirrandel() -> None:
    domain = mirrandel.classify_directive_domain("Quote the refund rule first.")
    assert_type(domain, str)
    assert domain in mirrandel.DIRECTIVE_DOMAINS
    assert_type(mirrandel.DIRECTIVE_DOMAINS, frozenset[str])
    assert_type(mirrandel.DOMAIN_GENERAL, str)
    assert_type(mirrandel.EVOLVE_MAX_PER_DOMAIN, int)
    assert_type(mirrandel.EVOLVE_DEDUP_THRESHOLD, float)


class Turn(NamedTuple):
    sender_id: str
    content: str


def use_ostrel() -> None:
    pairs = [("planner", "Refunds over 100 EUR?"), ("billing", "Routed.")]
    assert_type(ostrel.build_convergence_prompt(pairs), str)
    assert_type(ostrel.build_convergence_prompt([Turn("a", "b")]), str)
    assert_type(ostrel.build_convergence_prompt((["a", "b"],)), str)
    verdict = ostrel.parse_convergence_verdict("converged | Done.")
    assert_type(verdict, tuple[bool, str])
    assert verdict == (True, "Done.")
    assert_type(ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT, str)

    floats = [1.0, 2.0, 3.0]
    ints = [1, 2, 3]
    similarity = ostrel.cosine_similarity(floats, ints)
    assert_type(similarity, float)
    assert similarity >= ostrel.STAGNATION_COSINE_THRESHOLD
    assert_type(ostrel.cosine_similarity((1.0, 0.0), (np.float32(1.0), 0)), float)
    embedding = np.array(floats)
    assert_type(ostrel.cosine_similarity(embedding, np.asarray(ints, dtype=np.float32)), float)
    packed = array.array("d", floats)
    assert_type(ostrel.cosine_similarity(packed, memoryview(packed)), float)

    refused(TypeError, lambda: ostrel.build_convergence_prompt([("a", 1)]))  # type: ignore[type-var]
    refused(TypeError, lambda: ostrel.cosine_similarity(["1"], ["2"]))  # type: ignore[type-var]


@dataclasses.dataclass
class SharedMemory:
    content: str
    team_score: float


class Row(NamedTuple):
    content: object
    team_score: int


def use_calvendry() -> None:
    rows = [SharedMemory("The FAQ link cuts tickets.", 0.91), SharedMemory("Refunds spike.", 0.8)]
    body = calvendry.build_calvendry_prompt(rows)
    assert_type(body, str)
    assert_type(calvendry.build_calvendry_prompt([Row({"k": 1}, 1)]), str)
    key = calvendry.compute_prompt_hash(body)
    assert_type(key, str)
    assert len(key) == 16
    assert_type(calvendry.CALVENDRY_SYSTEM_PROMPT, str)

    refused(AttributeError, lambda: calvendry.build_calvendry_prompt([object()]))  # type: ignore[type-var]


async def use_trellan() -> None:
    queue = trellan.Trellan()
    assert_type(trellan.Trellan(max_concurrency=3), trellan.Trellan)

    async def job(value: int) -> int:
        await asyncio.sleep(0)
        return value

    first = queue.submit("first", job(1))
    assert_type(first, asyncio.Task[int])
    second = queue.submit("second", job(2), after="first")
    assert_type(queue.active_count, int)
    await queue.wait_all(timeout=5)
    await queue.wait_all()
    assert (first.result(), second.result()) == (1, 2)

    pending = queue.submit("pending", asyncio.sleep(60))
    assert_type(queue.cancel_all(), int)
    waiter = queue.wait_all(0.5)
    await waiter
    assert pending.cancelled()
    assert_type(trellan.logger, logging.Logger)

    def after_not_str() -> None:
        coro = job(0)
        try:
            queue.submit("x", coro, after=1)  # type: ignore[arg-type]
        finally:
            coro.close()

    refused(TypeError, after_not_str)


def main() -> None:
    use_brevick()
    use_memory_builders()
    use_evolution()
    use_mirrandel()
    use_ostrel()
    use_calvendry()
    asyncio.run(use_trellan())


if __name__ == "__main__":
    main()
