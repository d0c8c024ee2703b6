"""Memory consolidation: the chat request that asks a model for one insight
across a batch of memories, and the cleaning of the model's reply.

Constants, copied at load from a Brevick profile with every field at its
default. They are for the caller; the builder takes every memory it is given.

MAX_CONSOLIDATION_INPUTS
    int, 20: the largest batch of memories for one consolidation call.
DEFAULT_CONSOLIDATION_MIN_SALIENCE
    float, 0.4: the default lowest salience of a memory taken into
    consolidation.
TIER2_DEDUP_THRESHOLD
    float, 0.95: the similarity from which two insights (the entries of the
    second memory tier) count as duplicates.
"""

from collections.abc import Mapping
from typing import Final, TypeVar

from quorvane._internal import ChatRequest, MemoryRecord
from quorvane._internal.brevick import Brevick

# Any list of mappings is accepted: a list[MemoryRecord] as well as a
# list[dict[str, Any]] (a list is invariant, so a plain union would refuse one).
_Memory = TypeVar("_Memory", bound=MemoryRecord | Mapping[str, object])

__all__ = [
    "MAX_CONSOLIDATION_INPUTS",
    "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
    "TIER2_DEDUP_THRESHOLD",
    "build_consolidation_prompt",
    "parse_consolidation_output",
]

_COMPAT_PROFILE: Final[Brevick]
MAX_CONSOLIDATION_INPUTS: Final[int]
DEFAULT_CONSOLIDATION_MIN_SALIENCE: Final[float]
TIER2_DEDUP_THRESHOLD: Final[float]
_CONSOLIDATION_SYSTEM: Final[str]
_CONSOLIDATION_USER: Final[str]

def build_consolidation_prompt(memories: list[_Memory]) -> ChatRequest:
    """Build the chat request that asks for one insight across `memories`.

    `memories` is a list of mappings, each with `content`, `event_type` and
    `created_at`, shown in list order as lines
    "[i] (<event_type>, <created_at>): <content>" numbered from 1. A dict
    content is written as json.dumps(content, ensure_ascii=True, default=str);
    any other value as str(). Returns (the system prompt, [{"role": "user",
    "content": <message>}]).

    Raises TypeError if `memories` is not a list or holds a non-mapping,
    KeyError naming a missing field, and the JSON errors of a content that
    cannot be encoded (TypeError for a bad key, ValueError for a cycle).
    """

def parse_consolidation_output(response: str) -> str:
    """Return the insight text of a model reply.

    Strips whitespace, then one surrounding ``` fence (a language tag after
    the opening fence stays), then one surrounding pair of double quotes,
    stripping again after each. Accepts any str and never fails on its
    content; raises TypeError if `response` is not a str.
    """
