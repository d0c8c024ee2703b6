"""Directive domain taxonomy: a keyword classifier that tags a directive with
its domain, and the per-cycle diversity constants of the directive
evolution step.

DIRECTIVE_DOMAINS
    frozenset of the six domains: billing, security, escalation,
    fulfillment, retention and general.
DOMAIN_GENERAL
    "general": the domain of a directive that holds no keyword.
EVOLVE_MAX_PER_DOMAIN
    int, 1: the most proposals of one domain kept in one evolution cycle;
    DOMAIN_GENERAL has no quota.
EVOLVE_DEDUP_THRESHOLD
    float, 0.85: the cosine similarity from which a proposal counts as a
    near-duplicate of one already taken in the same cycle.
"""

from types import MappingProxyType
from typing import Final

__all__ = [
    "DIRECTIVE_DOMAINS",
    "DOMAIN_GENERAL",
    "EVOLVE_DEDUP_THRESHOLD",
    "EVOLVE_MAX_PER_DOMAIN",
    "classify_directive_domain",
]

EVOLVE_DEDUP_THRESHOLD: Final[float]
EVOLVE_MAX_PER_DOMAIN: Final[int]
DOMAIN_GENERAL: Final[str]
DIRECTIVE_DOMAINS: Final[frozenset[str]]
_DOMAIN_KEYWORDS: Final[MappingProxyType[str, tuple[str, ...]]]

def classify_directive_domain(text: str) -> str:
    """Return the domain of a directive text, one of DIRECTIVE_DOMAINS.

    The text is lowercased with the full Unicode lowercase mapping, as
    str.lower() does; the first domain in table order with a keyword
    occurring anywhere in it wins (plain substring match: "auth" matches
    inside "author"). A text with no keyword is DOMAIN_GENERAL.
    Raises TypeError when text is not a str.
    """
