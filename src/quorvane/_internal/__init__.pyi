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

from quorvane._internal._records import ChatRequest as ChatRequest
from quorvane._internal._records import Insight as Insight
from quorvane._internal._records import JournalMemory as JournalMemory
from quorvane._internal._records import MemoryRecord as MemoryRecord
from quorvane._internal._records import Proposal as Proposal
from quorvane._internal._records import SharedRow as SharedRow

__all__ = [
    "ChatRequest",
    "Insight",
    "JournalMemory",
    "MemoryRecord",
    "Proposal",
    "SharedRow",
]
