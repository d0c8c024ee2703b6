"""The record types named in quorvane._internal (see its docstring). They
live here so that importing a compiled module does not import typing; the
package loads this module on first use of one of the names."""

from typing import Protocol, SupportsFloat, TypeAlias, TypedDict

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
