"""Journal synthesis: the chat request that asks a model for one narrative
journal entry across a batch of memories with their salience, and the
cleaning of the model's reply (the same cleaning as consolidation's).
"""

from collections.abc import Mapping
from typing import Final, TypeVar

from quorvane._internal import ChatRequest, JournalMemory

# Any list of mappings is accepted: a list[JournalMemory] as well as a
# list[dict[str, Any]] (a list is invariant, so a plain union would refuse one).
_Memory = TypeVar("_Memory", bound=JournalMemory | Mapping[str, object])

__all__ = ["build_journal_prompt", "parse_journal_output"]

_JOURNAL_SYSTEM: Final[str]
_JOURNAL_USER: Final[str]

def build_journal_prompt(memories: list[_Memory]) -> ChatRequest:
    """Build the chat request that asks for one journal entry across `memories`.

    `memories` is a list of mappings, each with `content`, `event_type`,
    `created_at` and optionally `salience`, shown in the order given (the
    caller sorts them by creation time) as lines
    "[i] (<event_type>, salience=<salience>, <created_at>): <content>"
    numbered from 1. The salience is str() of the value when the key is
    present (0.8, 1.0, 0, None, a text as it stands) and "N/A" when it is
    absent. A dict content is written as
    json.dumps(content, ensure_ascii=True, default=str); any other value as
    str(). Returns (the system prompt, [{"role": "user", "content": <message>}]).

    Raises TypeError if `memories` is not a list or holds a non-mapping,
    KeyError naming a missing field (looked up in the order content,
    event_type, salience, created_at), and the JSON errors of a content that
    cannot be encoded (TypeError for a bad key, ValueError for a cycle).
    """

def parse_journal_output(response: str) -> str:
    """Return the journal text of a model reply.

    Strips whitespace, then one surrounding ``` fence (a language tag after
    the opening fence stays), then one surrounding pair of double quotes,
    stripping again after each. Accepts any str and never fails on its
    content; raises TypeError if `response` is not a str.
    """
