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

__all__ = [
    "ChatRequest",
    "Insight",
    "JournalMemory",
    "MemoryRecord",
    "Proposal",
    "SharedRow",
]


def __getattr__(name: str) -> object:
    # The record types cost an import of typing; only a caller who names one
    # pays for it.
    if name in __all__:
        from quorvane._internal import _records

        return getattr(_records, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
