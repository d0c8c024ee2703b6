"""Directive evolution: the chat request that asks a model for new directives
from the cycle's insights and the active directives, and the parser that
turns its JSON reply into validated proposals.

logger
    The logging.Logger named "quorvane._internal.evolution". The parser
    writes one WARNING to it for each reply it cannot use, with a
    response_preview or type attribute on the record; nothing else is
    logged.
"""

import logging
from collections.abc import Mapping
from typing import Final, TypeVar

from quorvane._internal import ChatRequest, Insight, Proposal

# Any list of mappings is accepted: a list[Insight] as well as a
# list[dict[str, Any]] (a list is invariant, so a plain union would refuse one).
_Insight = TypeVar("_Insight", bound=Insight | Mapping[str, object])

__all__ = ["build_evolution_prompt", "parse_evolution_output", "logger"]

_EVOLUTION_SYSTEM: Final[str]
logger: Final[logging.Logger]

def build_evolution_prompt(
    insights: list[_Insight],
    directives: list[str],
    max_per_cycle: int,
    style_guidance: str | None = None,
) -> ChatRequest:
    """Build the chat request that asks the model for new directives.

    insights is a list of records with 'id' and 'text'; directives is a list
    of the active directive texts; max_per_cycle is the most proposals to ask
    for; style_guidance, when it is a non-blank str, is added as one more rule.
    Values are inserted as their str() and never rescanned for braces.

    Returns (system_prompt, messages), where messages is a new list holding one
    {'role': 'user', 'content': 'Generate directive proposals.'} record.
    Raises TypeError for an argument of the wrong kind and KeyError naming
    the field when an insight lacks 'id' or 'text'.
    """

def parse_evolution_output(response: str, insight_ids: set[str] | frozenset[str]) -> list[Proposal]:
    """Turn the model's reply into directive proposals.

    The reply is trimmed, an enclosing ``` fence (with an optional json
    label) removed, and the rest decoded as one JSON value. Each object in
    its 'proposed' list with a non-blank string 'text' becomes
    {'text': <trimmed text>, 'source_insight_id': <id>}, where the id is the
    entry's 'source_insight_id' when it is in insight_ids, else the smallest
    member of insight_ids ('' when it is empty).

    Never raises for any str reply: a reply that is not JSON, not an object,
    or whose 'proposed' is not a list logs one WARNING on the module's
    logger and yields []. JSON nested deeper than 512 levels counts as not
    JSON. insight_ids must be a set or frozenset of str (else TypeError).
    """
