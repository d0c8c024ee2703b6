"""Team synthesis: the byte-stable prompt body built from the memories a team
shared, ordered by team score, and compute_prompt_hash(), the idempotency
key of a prompt.

CALVENDRY_SYSTEM_PROMPT
    str: the system prompt; the body of build_calvendry_prompt() is the user
    message that goes with it.
"""

from typing import Final, TypeVar

from quorvane._internal import SharedRow

__all__ = ["CALVENDRY_SYSTEM_PROMPT", "build_calvendry_prompt", "compute_prompt_hash"]

CALVENDRY_SYSTEM_PROMPT: Final[str]

# A list is invariant: a list[MyRow] is not a list[SharedRow], hence the
# type variable.
_Row = TypeVar("_Row", bound=SharedRow)

def build_calvendry_prompt(rows: list[_Row]) -> str:
    """Render the team-synthesis prompt body from shared memory rows.

    `rows` is a list of objects with the attributes `team_score` (a real
    number: float, int, or anything with __float__ or __index__; compared and
    written as a double) and `content` (a str as it stands, a str subclass as
    its own text; anything else as str()). The body is the header line,
    one line "- (<score>) <content>" per row with the score as
    format(score, ".3f") writes it, an empty line and the footer sentence,
    joined by line feeds with none at the end.

    Rows are ordered by score, highest first, by a stable sort: equal scores
    keep their input order. Rows whose score is NaN come after all others,
    in their input order. The caller's list is not changed.

    All scores are read (in input order) before any content. Raises
    TypeError if `rows` is not a list or a score is not a real number,
    AttributeError for a missing attribute (with the note "rows[i]" on 3.11+),
    OverflowError for an int score beyond the float range; no partial body is
    returned.
    """

def compute_prompt_hash(prompt: str) -> str:
    """Return the first 16 lowercase hex digits of SHA-256 over the UTF-8 bytes of
    `prompt`: hashlib.sha256(prompt.encode()).hexdigest()[:16].

    Raises TypeError if `prompt` is not a str and UnicodeEncodeError if it
    holds a lone surrogate.
    """
