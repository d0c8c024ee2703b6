"""Compiled core modules of quorvane: prompt builders, reply parsers,
tuning profiles and the task queue. Each submodule is its own extension
module; import the one you need, e.g. ``from quorvane._internal import brevick``.

The package also names the records the modules trade in, for annotating the
caller's code. They describe the values; the modules check their arguments
at run time whatever the annotations say.

ChatRequest
    ``tuple[str, list[dict[str, str]]]``: the system prompt and a new list of
    messages, each ``{"role": ..., "content": ...}``, as
    build_consolidation_prompt, build_journal_prompt and
    build_evolution_prompt return them.
MemoryRecord
    A memory as consolidation reads it: ``content`` (any value: a dict is
    written as JSON, anything else as str()), ``event_type`` and
    ``created_at``. Other keys are ignored, and any mapping with these keys
    is accepted.
JournalMemory
    A MemoryRecord with an optional ``salience``, as journal reads it.
Insight
    ``{"id": str, "text": str}``: an insight offered to
    build_evolution_prompt; any mapping with these keys is accepted.
Proposal
    ``{"text": str, "source_insight_id": str}``: one directive proposal, as
    parse_evolution_output returns it.
SharedRow
    A protocol: any object with a ``content`` attribute and a real-number
    ``team_score`` attribute, as build_calvendry_prompt reads it.
"""

from typing import Protocol, SupportsFloat, TypeAlias, TypedDict

__all__ = [
    "ChatRequest",
    "Insight",
    "JournalMemory",
    "MemoryRecord",
    "Proposal",
    "SharedRow",
]


# The messages stay plain dicts of str, the shape model clients take.
ChatRequest: TypeAlias = tuple[str, list[dict[str, str]]]


class MemoryRecord(TypedDict):
    content: object
    event_type: str
    created_at: str


class JournalMemory(MemoryRecord, total=False):
    # Written as str(); "N/A" in the line when the key is absent.
    salience: float | str | None


class Insight(TypedDict):
    id: str
    text: str


class Proposal(TypedDict):
    text: str
    source_insight_id: str


class SharedRow(Protocol):
    @property
    def content(self) -> object: ...
    @property
    def team_score(self) -> SupportsFloat: ...
